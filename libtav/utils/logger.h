// Process-wide logger.
//
// One line per message: "[time] L prefix [file:line:function] text" for the
// stream targets, the same without the time for syslog and the external sink.
// The prefix comes from a hook (the library's hook names the request served by
// the running coroutine).  Messages are cut at 4095 characters.
//
// Threading: formatting and prefix buffers are static and unlocked; the logger
// is meant for the library's single I/O thread.  Before anything is configured
// it writes every level to standard output with an empty prefix.
#ifndef TAV_UTILS_LOGGER_H
#define TAV_UTILS_LOGGER_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum loglevel_t {
    LOG_LEVEL_NONE = 0,
    LOG_LEVEL_ERROR = 1,
    LOG_LEVEL_WARNING = 2,
    LOG_LEVEL_INFO = 3,
    LOG_LEVEL_DEBUG = 4,
    LOG_LEVEL_TRACE = 5,
    LOG_LEVEL_ALL = 6,
} loglevel_t;

typedef enum logtarget_t {
    LOG_TARGET_STDOUT = 0,
    LOG_TARGET_STDERR = 1,
    LOG_TARGET_FILE = 2,
    LOG_TARGET_SYSLOG = 3,
    LOG_TARGET_EXTERN = 4,
} logtarget_t;

#define LOGGER_MSG_MAX  4096
#define LOGGER_PATH_MAX 512

typedef const char *(*logger_hook_fn)(void);
/* A caller's log sink (the same type as the public API's). */
typedef void (*logger_extern_fn_t)(void *ctx, int priority, const char *fmt, ...);

void logger_log(const char *file, const char *function, int line, loglevel_t level, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void logger_vlog(const char *file, const char *function, int line, loglevel_t level, const char *fmt,
                 va_list ap);
/* True when a message of `level` would be written (cheap pre-check). */
int logger_enabled(loglevel_t level);
/* The level set by logger_set_loglevel, read inline by the log macros so that
 * a message below it costs one comparison and no call. */
extern loglevel_t logger_current_level;
static inline int logger_level_on(loglevel_t level) {
    return level != LOG_LEVEL_NONE && level <= logger_current_level;
}

void logger_set_loglevel(loglevel_t level);
loglevel_t logger_get_loglevel(void);
const char *logger_get_loglevel_string(void);
/* Returns 0 or a negative errno; on failure the previous target stays. */
int logger_set_target(logtarget_t target, const char *opt);
int logger_set_logger(logger_extern_fn_t fn, void *ctx);
logtarget_t logger_get_target(void);
const char *logger_get_target_string(void);
void logger_hook(logger_hook_fn hookfn);

/* Local time as "%F %T.uuuuuu" / "%F %T.nnnnnnnnn" in a static buffer. */
const char *time2str_usec(long sec, long usec);
const char *time2str_nsec(long sec, long nsec);

#ifdef __cplusplus
}
#endif

#define TAV_LOG(level, fmt, ...)                                                                             \
    do {                                                                                                     \
        if (logger_level_on(level))                                                                          \
            logger_log(__FILE_NAME__, __func__, __LINE__, level, fmt, ##__VA_ARGS__);                        \
    } while (0)

#define log_error(fmt, ...) TAV_LOG(LOG_LEVEL_ERROR, fmt, ##__VA_ARGS__)
#define log_warn(fmt, ...)  TAV_LOG(LOG_LEVEL_WARNING, fmt, ##__VA_ARGS__)
#define log_info(fmt, ...)  TAV_LOG(LOG_LEVEL_INFO, fmt, ##__VA_ARGS__)
#define log_debug(fmt, ...) TAV_LOG(LOG_LEVEL_DEBUG, fmt, ##__VA_ARGS__)
#define log_trace(fmt, ...) TAV_LOG(LOG_LEVEL_TRACE, fmt, ##__VA_ARGS__)

#endif
