// Log lines of the library's logger, as tests look for them.
//
// LogCapture routes the logger to an in-memory sink while alive: every line
// at or above `level` lands in lines(), without the time stamp the stream
// targets add.  Captures nest: the innermost one receives the lines, and
// when it ends the enclosing one receives them again; when the outermost
// ends the logger writes to standard output, as it does unconfigured.  The
// previous level comes back with it.
//
// read_lines() reads a log file written through the logger's file target
// (what an instance configured from the environment writes); set_env()
// prepares such a configuration.
#ifndef TAV_TEST_LOG_CAPTURE_H
#define TAV_TEST_LOG_CAPTURE_H

#include <stddef.h>

#include <string>
#include <vector>

#include "logger.h"

namespace tavtest {

class LogCapture {
public:
    explicit LogCapture(loglevel_t level = LOG_LEVEL_TRACE);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<std::string> &lines() const { return lines_; }
    bool contains(const std::string &needle) const { return count(needle) > 0; }
    // Lines holding `needle`.
    size_t count(const std::string &needle) const;
    // Every line, one a line, for failure messages.
    std::string text() const;
    void clear() { lines_.clear(); }

private:
    static void sink(void *ctx, int prio, const char *fmt, ...);

    std::vector<std::string> lines_;
    LogCapture *outer_;
    loglevel_t saved_level_;
};

// The lines of a text file (empty when it cannot be read).
std::vector<std::string> read_lines(const std::string &path);
// Lines of `lines` that hold `needle`.
size_t count_lines_with(const std::vector<std::string> &lines, const std::string &needle);

// Sets the environment variable `name` to `value`, or removes it when `value`
// is null: how tests configure loggers that read their settings from the
// environment.
void set_env(const char *name, const char *value);

} // namespace tavtest

#endif
