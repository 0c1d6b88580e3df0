#include "hxtr_log.h"

#include <errno.h>
#include <stdio.h>

namespace {

FILE *s_log_fp;
bool s_log_tried; // an open was attempted (the default is tried only once)
bool s_debug;

FILE *log_file() {
    if (s_log_fp == nullptr && !s_log_tried) {
        s_log_tried = true;
        s_log_fp = fopen(HXTR_DEFAULT_LOG_PATH, "a");
    }
    return s_log_fp;
}

} // namespace

void hxtr_log_set_debug(int on) {
    s_debug = on != 0;
}

int hxtr_log_open(const char *path) {
    hxtr_log_close();
    s_log_tried = true;
    s_log_fp = fopen(path, "a");
    return s_log_fp != nullptr ? 0 : -errno;
}

void hxtr_log_close(void) {
    if (s_log_fp != nullptr)
        fclose(s_log_fp);
    s_log_fp = nullptr;
}

int hxtr_log_is_open(void) {
    return s_log_fp != nullptr;
}

void hxtr_log_msg(hxtr_log_level level, const char *func, int line, const char *fmt, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);

    const char *tag = level == HXTR_LOG_ERROR ? "ERROR" : "DEBUG";
    if (FILE *fp = log_file()) {
        fprintf(fp, "[%s] [%s:%d] %s\n", tag, func, line, text);
        // Errors reach the file at once; debug lines (one per record dropped
        // by a filter) are buffered until the log is closed.
        if (level == HXTR_LOG_ERROR)
            fflush(fp);
    }
    if (level == HXTR_LOG_ERROR || s_debug)
        fprintf(stderr, "[%s] [%s:%d] %s\n", tag, func, line, text);
}

void hxtr_log_text(const char *text) {
    if (s_log_fp == nullptr)
        return;
    fprintf(s_log_fp, "%s\n", text);
    fflush(s_log_fp);
}
