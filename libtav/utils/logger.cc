// Process-wide logger: level filter, line format, targets.
#include "logger.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>

namespace {

struct logger_state {
    logtarget_t target = LOG_TARGET_STDOUT;
    FILE *fp = nullptr; // null means standard output
    char path[LOGGER_PATH_MAX] = {};
    logger_hook_fn hookfn = nullptr;
    logger_extern_fn_t logger_extern_fn = nullptr;
    void *logger_extern_ctx = nullptr;
};

logger_state g_logger;

const char *const kLevelLetter[] = {"", "E", "W", "I", "D", "T", ""};
const char *const kLevelName[] = {"NONE", "ERROR", "WARNING", "INFO", "DEBUG", "TRACE", "ALL"};
const char *const kTargetName[] = {"STDOUT", "STDERR", "FILE", "SYSLOG", "EXTERN"};

bool is_std_stream(FILE *fp) {
    return fp == nullptr || fp == stdout || fp == stderr;
}

} // namespace

extern "C" {

loglevel_t logger_current_level = LOG_LEVEL_ALL;

int logger_enabled(loglevel_t level) {
    return level != LOG_LEVEL_NONE && level <= logger_current_level;
}

void logger_vlog(const char *file, const char *function, int line, loglevel_t level, const char *fmt,
                 va_list ap) {
    if (!logger_enabled(level))
        return;
    static char msg[LOGGER_MSG_MAX];
    vsnprintf(msg, sizeof(msg), fmt, ap);
    const char *prefix = g_logger.hookfn ? g_logger.hookfn() : "";
    if (prefix == nullptr)
        prefix = "";
    const char *letter = kLevelLetter[level <= LOG_LEVEL_ALL ? level : LOG_LEVEL_ALL];

    switch (g_logger.target) {
    case LOG_TARGET_STDOUT:
    case LOG_TARGET_STDERR:
    case LOG_TARGET_FILE: {
        FILE *fp = g_logger.fp ? g_logger.fp : stdout;
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        fprintf(fp, "[%s] %s %s [%s:%d:%s] %s\n", time2str_usec(tv.tv_sec, tv.tv_usec), letter, prefix, file,
                line, function, msg);
        fflush(fp);
        break;
    }
    case LOG_TARGET_SYSLOG:
        syslog(LOG_ERR, "%s %s [%s:%d:%s] %s\n", letter, prefix, file, line, function, msg);
        break;
    case LOG_TARGET_EXTERN:
        g_logger.logger_extern_fn(g_logger.logger_extern_ctx, 3, "%s %s [%s:%d:%s] %s", letter, prefix, file,
                                  line, function, msg);
        break;
    default: abort();
    }
}

void logger_log(const char *file, const char *function, int line, loglevel_t level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    logger_vlog(file, function, line, level, fmt, ap);
    va_end(ap);
}

void logger_set_loglevel(loglevel_t level) {
    logger_current_level = level;
}
loglevel_t logger_get_loglevel(void) {
    return logger_current_level;
}
const char *logger_get_loglevel_string(void) {
    return logger_current_level <= LOG_LEVEL_ALL ? kLevelName[logger_current_level] : "";
}

int logger_set_target(logtarget_t target, const char *opt) {
    FILE *fp = nullptr;
    char path[LOGGER_PATH_MAX] = {};
    switch (target) {
    case LOG_TARGET_STDOUT: fp = stdout; break;
    case LOG_TARGET_STDERR: fp = stderr; break;
    case LOG_TARGET_FILE:
        if (opt == nullptr || opt[0] == '\0' || strlen(opt) >= LOGGER_PATH_MAX)
            return -EINVAL;
        fp = fopen(opt, "a");
        if (fp == nullptr)
            return -errno;
        snprintf(path, sizeof(path), "%s", opt);
        break;
    case LOG_TARGET_SYSLOG: break;
    default: return -EINVAL;
    }
    if (!is_std_stream(g_logger.fp))
        fclose(g_logger.fp);
    g_logger.fp = fp;
    g_logger.target = target;
    memcpy(g_logger.path, path, sizeof(path));
    return 0;
}

int logger_set_logger(logger_extern_fn_t fn, void *ctx) {
    if (fn == nullptr)
        return -EINVAL;
    g_logger.logger_extern_fn = fn;
    g_logger.logger_extern_ctx = ctx;
    g_logger.target = LOG_TARGET_EXTERN;
    return 0;
}

logtarget_t logger_get_target(void) {
    return g_logger.target;
}

const char *logger_get_target_string(void) {
    static char buf[LOGGER_PATH_MAX + 8];
    if (g_logger.target == LOG_TARGET_FILE) {
        snprintf(buf, sizeof(buf), "%s:%s", kTargetName[LOG_TARGET_FILE], g_logger.path);
        return buf;
    }
    return g_logger.target <= LOG_TARGET_EXTERN ? kTargetName[g_logger.target] : "";
}

void logger_hook(logger_hook_fn hookfn) {
    if (hookfn != nullptr)
        g_logger.hookfn = hookfn;
}

static const char *time2str(long sec, long frac, const char *fracfmt) {
    static char buf[64];
    time_t t = sec;
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr)
        return "";
    size_t n = strftime(buf, sizeof(buf), "%F %T", &tm);
    if (n == 0)
        return "";
    snprintf(buf + n, sizeof(buf) - n, fracfmt, frac);
    return buf;
}

const char *time2str_usec(long sec, long usec) {
    return time2str(sec, usec, ".%06ld");
}
const char *time2str_nsec(long sec, long nsec) {
    return time2str(sec, nsec, ".%09ld");
}

} // extern "C"
