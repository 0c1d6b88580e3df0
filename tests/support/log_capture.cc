#include "support/log_capture.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>

namespace tavtest {

namespace {
LogCapture *g_current; // the innermost live capture
}

LogCapture::LogCapture(loglevel_t level) : outer_(g_current), saved_level_(logger_get_loglevel()) {
    g_current = this;
    EXPECT_EQ(0, logger_set_logger(sink, this));
    logger_set_loglevel(level);
}

LogCapture::~LogCapture() {
    // Captures end in the reverse order of their start (scopes and members).
    EXPECT_EQ(this, g_current) << "log captures ended out of order";
    g_current = outer_;
    if (outer_ != nullptr)
        logger_set_logger(sink, outer_);
    else
        logger_set_target(LOG_TARGET_STDOUT, nullptr);
    logger_set_loglevel(saved_level_);
}

void LogCapture::sink(void *ctx, int, const char *fmt, ...) {
    char line[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    static_cast<LogCapture *>(ctx)->lines_.emplace_back(line);
}

size_t LogCapture::count(const std::string &needle) const {
    return count_lines_with(lines_, needle);
}

std::string LogCapture::text() const {
    std::string t;
    for (const auto &l : lines_)
        t += l + "\n";
    return t;
}

std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

size_t count_lines_with(const std::vector<std::string> &lines, const std::string &needle) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string &l) { return l.find(needle) != std::string::npos; });
}

void set_env(const char *name, const char *value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

} // namespace tavtest
