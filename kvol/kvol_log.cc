// The volume manager's logger: level filter, line format, targets.
#include "kvol_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <syslog.h>

namespace {

int g_level = KVOL_LOG_LEVEL_INFO;
int g_target = KVOL_LOG_TARGET_SYSLOG;

const char *const kLetter[] = {"", "E", "W", "I", "D", "A"};

} // namespace

int kvol_log_enabled(int level) {
    return level != KVOL_LOG_LEVEL_NONE && level <= g_level;
}

extern "C" {

KVOL_API void kvol_logging_init(void) {
    const char *target = getenv("KVOL_LOG_TARGET");
    g_target = (target != nullptr && strcasecmp(target, "STDOUT") == 0) ? KVOL_LOG_TARGET_STDOUT
                                                                        : KVOL_LOG_TARGET_SYSLOG;
    const char *level = getenv("KVOL_LOG_LEVEL");
    if (level == nullptr || strcasecmp(level, "INFO") == 0)
        g_level = KVOL_LOG_LEVEL_INFO;
    else if (strcasecmp(level, "ERROR") == 0)
        g_level = KVOL_LOG_LEVEL_ERROR;
    else if (strcasecmp(level, "WARN") == 0)
        g_level = KVOL_LOG_LEVEL_WARN;
    else if (strcasecmp(level, "DEBUG") == 0)
        g_level = KVOL_LOG_LEVEL_DEBUG;
    else
        g_level = KVOL_LOG_LEVEL_NONE;
}

KVOL_API void kvol_logger_level(int level) {
    if (level >= KVOL_LOG_LEVEL_NONE && level <= KVOL_LOG_LEVEL_ALERT)
        g_level = level;
}

KVOL_API void kvol_logger_target(int target) {
    if (target == KVOL_LOG_TARGET_SYSLOG || target == KVOL_LOG_TARGET_STDOUT)
        g_target = target;
}

KVOL_API void kvol_logger_log(const char *file, const char *function, int line, int level, const char *fmt,
                              ...) {
    if (!kvol_log_enabled(level))
        return;
    thread_local char msg[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    if (g_target == KVOL_LOG_TARGET_STDOUT) {
        fprintf(stdout, "%s [%s:%d:%s] %s\n", kLetter[level], file, line, function, msg);
        fflush(stdout);
    } else {
        syslog(LOG_ERR, "%s [%s:%d:%s] %s\n", kLetter[level], file, line, function, msg);
    }
}

} // extern "C"

void kvol_fatal(const char *file, const char *function, int line, const char *fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    kvol_logger_log(file, function, line, KVOL_LOG_LEVEL_ERROR, "%s", msg);
    fprintf(stderr, "E [%s:%d:%s] fatal: %s\n", file, line, function, msg);
    abort();
}
