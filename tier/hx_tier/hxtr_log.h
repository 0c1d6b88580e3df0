// Logging of hx_tier.
//
// One line per message: "[ERROR] [function:line] text" or
// "[DEBUG] [function:line] text".  Error messages go to the log and always to
// standard error; debug messages go to the log, and to standard error only in
// debug mode.  The log is the file given with hxtr_log_open (-l), or else
// HXTR_DEFAULT_LOG_PATH opened for appending at the first message; when the
// log cannot be opened, messages go to standard error only.  A log file the
// user named but that could not be opened is never replaced by the default.
//
// Single-threaded: the state is process-wide and unlocked.
#ifndef HXTR_LOG_H
#define HXTR_LOG_H

#include <stdarg.h>

#define HXTR_DEFAULT_LOG_PATH "/qo/log/hx/hx_tier.log"

enum hxtr_log_level { HXTR_LOG_ERROR, HXTR_LOG_DEBUG };

void hxtr_log_set_debug(int on);
/* Opens `path` for appending as the log, closing a previous one first.
 * Returns 0 or a negative errno (the log then stays closed for the run). */
int hxtr_log_open(const char *path);
void hxtr_log_close(void);
/* True when the log file is open. */
int hxtr_log_is_open(void);

void hxtr_log_msg(hxtr_log_level level, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
/* Writes `text` and a newline to the log file only, when it is open (a record
 * that failed its check, in its dump form). */
void hxtr_log_text(const char *text);

#define hxtr_err(fmt, ...) hxtr_log_msg(HXTR_LOG_ERROR, __func__, __LINE__, fmt, ##__VA_ARGS__)
#define hxtr_dbg(fmt, ...) hxtr_log_msg(HXTR_LOG_DEBUG, __func__, __LINE__, fmt, ##__VA_ARGS__)

#endif
