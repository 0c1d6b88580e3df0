// Logger: level filter, line format, message cut, targets.
#include "logger.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/tmpdir.h"

namespace {

using tavtest::read_lines;

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.path() + "/log.txt";
        ASSERT_EQ(0, logger_set_target(LOG_TARGET_FILE, path_.c_str()));
    }
    void TearDown() override {
        logger_set_target(LOG_TARGET_STDOUT, nullptr);
        logger_set_loglevel(LOG_LEVEL_ALL);
    }
    tavtest::TempDir dir_;
    std::string path_;
};

TEST_F(LoggerTest, LevelFilterAndLineFormat) {
    logger_set_loglevel(LOG_LEVEL_INFO);
    log_debug("hidden %d", 1);
    log_error("shown %d", 2);
    logger_set_loglevel(LOG_LEVEL_NONE);
    log_error("never");
    auto lines = read_lines(path_);
    ASSERT_EQ(1u, lines.size());
    // "[YYYY-MM-DD HH:MM:SS.uuuuuu] E  [logger_test.cc:NN:TestBody] shown 2"
    const std::string &l = lines[0];
    ASSERT_EQ('[', l[0]);
    EXPECT_EQ(']', l[27]) << l;
    EXPECT_EQ('.', l[20]) << l;
    EXPECT_NE(std::string::npos, l.find("] E  [logger_test.cc:")) << l;
    EXPECT_NE(std::string::npos, l.find(":TestBody] shown 2")) << l;
}

TEST_F(LoggerTest, LongMessageIsCutAt4095) {
    std::string big(5000, 'x');
    log_error("%s", big.c_str());
    auto lines = read_lines(path_);
    ASSERT_EQ(1u, lines.size());
    size_t pos = lines[0].find("TestBody] ");
    ASSERT_NE(std::string::npos, pos);
    EXPECT_EQ(4095u, lines[0].size() - pos - strlen("TestBody] "));
}

TEST_F(LoggerTest, HookPrefixAppearsInLine) {
    logger_hook(nullptr); // ignored: a hook cannot be removed
    static const char *prefix = "[TAV:7:X]";
    logger_hook([]() -> const char * { return prefix; });
    log_info("hello");
    prefix = "";
    auto lines = read_lines(path_);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("] I [TAV:7:X] [logger_test.cc")) << lines[0];
}

TEST_F(LoggerTest, FileTargetAppendsAndNamesItself) {
    log_info("one");
    EXPECT_EQ("FILE:" + path_, logger_get_target_string());
    ASSERT_EQ(0, logger_set_target(LOG_TARGET_FILE, path_.c_str()));
    log_info("two");
    EXPECT_EQ(2u, read_lines(path_).size());
}

TEST_F(LoggerTest, BadTargetsKeepThePreviousOne) {
    struct Case {
        logtarget_t target;
        const char *opt;
        int expect;
    } cases[] = {
        {LOG_TARGET_FILE, "", -EINVAL},
        {LOG_TARGET_FILE, nullptr, -EINVAL},
        {LOG_TARGET_FILE, "/nonexistent-dir/x/log", -ENOENT},
        {LOG_TARGET_EXTERN, nullptr, -EINVAL},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.expect, logger_set_target(c.target, c.opt));
        EXPECT_EQ(LOG_TARGET_FILE, logger_get_target());
    }
    std::string longpath(600, 'a');
    EXPECT_EQ(-EINVAL, logger_set_target(LOG_TARGET_FILE, longpath.c_str()));
    EXPECT_EQ("FILE:" + path_, logger_get_target_string());
}

std::vector<std::string> g_extern_lines;
void extern_sink(void *ctx, int prio, const char *fmt, ...) {
    EXPECT_EQ(&g_extern_lines, ctx);
    EXPECT_EQ(3, prio);
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    g_extern_lines.push_back(buf);
}

TEST_F(LoggerTest, ExternalSinkGetsLinesWithoutTime) {
    EXPECT_EQ(-EINVAL, logger_set_logger(nullptr, nullptr));
    ASSERT_EQ(0, logger_set_logger(extern_sink, &g_extern_lines));
    EXPECT_STREQ("EXTERN", logger_get_target_string());
    log_warn("w %d", 5);
    ASSERT_EQ(1u, g_extern_lines.size());
    EXPECT_EQ(0u, g_extern_lines[0].find("W  [logger_test.cc:")) << g_extern_lines[0];
    EXPECT_NE(std::string::npos, g_extern_lines[0].find(":TestBody] w 5"));
}

TEST(LoggerTime, FormatsMicroAndNanoSeconds) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_STREQ("1970-01-02 00:00:01.000042", time2str_usec(86401, 42));
    EXPECT_STREQ("1970-01-02 00:00:01.000000042", time2str_nsec(86401, 42));
}

} // namespace
