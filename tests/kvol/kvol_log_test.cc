// The volume's logger: configuration from the environment and line shape.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "kvol_test_util.h"
#include "support/log_capture.h"

using namespace kvoltest;

namespace {

struct Env {
    const char *target; // null: unset
    const char *level;
};

void configure(const Env &e) {
    tavtest::set_env("KVOL_LOG_TARGET", e.target);
    tavtest::set_env("KVOL_LOG_LEVEL", e.level);
    kvol_logging_init();
}

std::string emit_all() {
    return capture_log([] {
        kvol_logger_log("f.cc", "fn", 7, KVOL_LOG_LEVEL_ERROR, "e %d", 1);
        kvol_logger_log("f.cc", "fn", 8, KVOL_LOG_LEVEL_WARN, "w %s", "x");
        kvol_logger_log("f.cc", "fn", 9, KVOL_LOG_LEVEL_INFO, "i");
        kvol_logger_log("f.cc", "fn", 10, KVOL_LOG_LEVEL_DEBUG, "d");
    });
}

TEST(KvolLog, EnvironmentSelectsTargetAndLevel) {
    const std::string e = "E [f.cc:7:fn] e 1\n", w = "W [f.cc:8:fn] w x\n", i = "I [f.cc:9:fn] i\n",
                      d = "D [f.cc:10:fn] d\n";
    struct Case {
        Env env;
        std::string expect;
    } cases[] = {
        {{"STDOUT", "warn"}, e + w},
        {{"stdout", "Error"}, e},
        {{"StdOut", nullptr}, e + w + i}, // INFO by default
        {{"stdout", "DEBUG"}, e + w + i + d},
        {{"stdout", "verbose"}, ""}, // anything else: nothing
        {{nullptr, "debug"}, ""},    // syslog
        {{"stderr", "debug"}, ""},   // syslog too
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.env.target ? c.env.target : "-") + "/" +
                     (c.env.level ? c.env.level : "-"));
        configure(c.env);
        EXPECT_EQ(emit_all(), c.expect);
    }
    // Set directly; the allocation-failure level needs the highest setting.
    kvol_logger_target(KVOL_LOG_TARGET_STDOUT);
    kvol_logger_level(KVOL_LOG_LEVEL_INFO);
    EXPECT_EQ(emit_all(), e + w + i);
    std::string a = capture_log([] { kvol_logger_log("f.cc", "fn", 3, KVOL_LOG_LEVEL_ALERT, "a"); });
    EXPECT_EQ(a, "");
    kvol_logger_level(KVOL_LOG_LEVEL_ALERT);
    a = capture_log([] { kvol_logger_log("f.cc", "fn", 3, KVOL_LOG_LEVEL_ALERT, "a"); });
    EXPECT_EQ(a, "A [f.cc:3:fn] a\n");
    // Long texts are cut, not overrun.
    kvol_logger_level(KVOL_LOG_LEVEL_DEBUG);
    std::string big(10000, 'x');
    a = capture_log([&] { kvol_logger_log("f.cc", "fn", 1, KVOL_LOG_LEVEL_ERROR, "%s", big.c_str()); });
    EXPECT_EQ(a.size(), std::string("E [f.cc:1:fn] \n").size() + 4095);
    configure({"stdout", "debug"});
}

} // namespace
