// The volume manager's own logger (independent of libtav's).
//
// One line per message, "L [file:line:function] text", to standard output or
// to syslog (priority LOG_ERR).  A message is written when its level is not
// NONE and not above the configured level; texts are cut at 4095 characters.
// kvol_logging_init() takes target and level from KVOL_LOG_TARGET and
// KVOL_LOG_LEVEL.  Before it runs, INFO and above go to syslog.
//
// Threading: the format buffer is per thread; configuration is plain global
// state meant to be set before volumes are used.
#ifndef KVOL_LOG_H
#define KVOL_LOG_H

#include "kvol.h"

int kvol_log_enabled(int level);

#define KVOL_LOG(level, fmt, ...)                                                                            \
    do {                                                                                                     \
        if (kvol_log_enabled(level))                                                                         \
            kvol_logger_log(__FILE_NAME__, __func__, __LINE__, level, fmt, ##__VA_ARGS__);                   \
    } while (0)

#define kvol_log_error(fmt, ...) KVOL_LOG(KVOL_LOG_LEVEL_ERROR, fmt, ##__VA_ARGS__)
#define kvol_log_warn(fmt, ...)  KVOL_LOG(KVOL_LOG_LEVEL_WARN, fmt, ##__VA_ARGS__)
#define kvol_log_info(fmt, ...)  KVOL_LOG(KVOL_LOG_LEVEL_INFO, fmt, ##__VA_ARGS__)
#define kvol_log_debug(fmt, ...) KVOL_LOG(KVOL_LOG_LEVEL_DEBUG, fmt, ##__VA_ARGS__)
#define kvol_log_alert(fmt, ...) KVOL_LOG(KVOL_LOG_LEVEL_ALERT, fmt, ##__VA_ARGS__)

#endif

/* Violated preconditions (programming errors, or records that only a broken
 * writer could produce) stop the process, after logging the reason and
 * printing it on standard error. */
[[noreturn]] void kvol_fatal(const char *file, const char *function, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
#define KVOL_FATAL(fmt, ...) kvol_fatal(__FILE_NAME__, __func__, __LINE__, fmt, ##__VA_ARGS__)
