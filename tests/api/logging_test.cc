// Logging glue: configuration from the environment and request prefixes.
#include "logging.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "instance.h"
#include "stub.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "support/tmpdir.h"
#include "coroutine.h"
#include "logger.h"

namespace {

class LoggingEnv : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("TAV_LOG_TARGET");
        unsetenv("TAV_LOG_LEVEL");
        logger_set_target(LOG_TARGET_STDOUT, nullptr);
        logger_set_loglevel(LOG_LEVEL_ALL);
    }
    tavtest::TempDir dir_;
};

TEST_F(LoggingEnv, TargetsAndLevelsFromEnvironment) {
    std::string file = dir_.path() + "/x.log";
    struct Case {
        const char *target; // null: unset
        const char *level;
        const char *want_target;
        loglevel_t want_level;
    } cases[] = {
        {nullptr, nullptr, "SYSLOG", LOG_LEVEL_INFO},
        {"stderr", "debug", "STDERR", LOG_LEVEL_DEBUG},
        {"StdOut", "NoNe", "STDOUT", LOG_LEVEL_NONE},
        {"syslog", "bogus", "SYSLOG", LOG_LEVEL_INFO}, // unknown level keeps INFO
        {file.c_str(), "trace", nullptr, LOG_LEVEL_TRACE},
        {"/no/such/dir/x.log", "ALL", "SYSLOG", LOG_LEVEL_ALL}, // unusable file keeps SYSLOG
    };
    for (const auto &c : cases) {
        tavtest::set_env("TAV_LOG_TARGET", c.target);
        tavtest::set_env("TAV_LOG_LEVEL", c.level);
        tav_logging_init();
        std::string want = c.want_target ? c.want_target : "FILE:" + file;
        EXPECT_EQ(want, logger_get_target_string()) << (c.target ? c.target : "unset");
        EXPECT_EQ(c.want_level, logger_get_loglevel());
    }
    // The file target appends.
    setenv("TAV_LOG_TARGET", file.c_str(), 1);
    tav_logging_init();
    log_info("first");
    tav_logging_init();
    log_info("second");
    std::vector<std::string> lines = tavtest::read_lines(file);
    lines.resize(std::max<size_t>(lines.size(), 2)); // a missing line reads as empty
    EXPECT_NE(std::string::npos, lines[0].find("] I [TAV] [logging_test.cc:")) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("second"));
}

TEST(ModeString, FileTypesAndPermissions) {
    EXPECT_STREQ("-rw-r--r--", tav_mode_string(S_IFREG | 0644));
    EXPECT_STREQ("drwxr-x--x", tav_mode_string(S_IFDIR | 0751));
    EXPECT_STREQ("b---------", tav_mode_string(S_IFBLK));
    EXPECT_STREQ("crwxrwxrwx", tav_mode_string(S_IFCHR | 07777)); // set-id bits not shown
    EXPECT_STREQ("lrwxrwxrwx", tav_mode_string(S_IFLNK | 0777));
}

TEST(OpString, Names) {
    EXPECT_STREQ("NULL", tav_op_string(TAV_OP_NULL));
    EXPECT_STREQ("TIMER", tav_op_string(TAV_OP_TIMER));
    EXPECT_STREQ("FREMOVEXATTR", tav_op_string(TAV_OP_FREMOVEXATTR));
    EXPECT_STREQ("EXPAND", tav_op_string(TAV_OP_EXPAND));
    EXPECT_TRUE(is_printable("abc", 4));
    EXPECT_TRUE(is_printable("ab\x01", 3)) << "the last byte is not tested";
    EXPECT_FALSE(is_printable("a\x01"
                              "c",
                              4));
}

// Runs `stub` as the argument of a coroutine and returns the prefix seen
// from inside it.
std::string prefix_of(tav_stub *stub) {
    static std::string seen;
    coroutine_enter(coroutine_create([](void *) { seen = tav_logging_hook(); }, stub));
    return seen;
}

TEST(RequestPrefix, FormsByOperation) {
    EXPECT_STREQ("[TAV]", tav_logging_hook()) << "outside any coroutine";
    const unsigned char name[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                    0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00};
    const std::string U = "11223344-5566-7788-99aa-bbccddeeff00";
    char val[] = "v1";
    char bin[] = {'a', 1, 0};
    struct Case {
        tav_op_t op;
        bool named;
        std::function<void(tav_stub_args &)> fill;
        std::string want;
    } cases[] = {
        {TAV_OP_UNLINK, true, [](tav_stub_args &) {}, "[TAV:7:" + U + "(-1):UNLINK]"},
        {TAV_OP_STATFS, false, [](tav_stub_args &) {}, "[TAV:7:STATFS]"},
        {TAV_OP_OPEN, true,
         [](tav_stub_args &a) {
             a.flags = 0x2 | 0x40 | TAV_FLAG_BD;
             a.mode = S_IFREG | 0644;
         },
         "[TAV:7:" + U + "(-1):OPEN(flags=0x42,mode=-rw-r--r--,bd=1,compressed=0)]"},
        {TAV_OP_SETATTR, true, [](tav_stub_args &a) { a.valid = 0x31; },
         "[TAV:7:" + U + "(-1):SETATTR(valid=0x31)]"},
        {TAV_OP_GETXATTR, true,
         [](tav_stub_args &a) {
             a.key = "user.k";
             a.size = 64;
         },
         "[TAV:7:" + U + "(-1):GETXATTR(key=user.k,sz=64)]"},
        {TAV_OP_GETXATTR, true, [](tav_stub_args &) {}, "[TAV:7:" + U + "(-1):GETXATTR(xattr)]"},
        {TAV_OP_SETXATTR, true,
         [&](tav_stub_args &a) {
             a.key = "user.k";
             a.value = val;
             a.size = 3;
             a.flags = 1;
         },
         "[TAV:7:" + U + "(-1):SETXATTR(key=user.k,val=v1,sz=3,flg=0x1)]"},
        {TAV_OP_SETXATTR, true,
         [&](tav_stub_args &a) {
             a.key = "user.k";
             a.value = bin;
             a.size = 3;
         },
         "[TAV:7:" + U + "(-1):SETXATTR(key=user.k,val=...,sz=3,flg=0x0)]"},
        {TAV_OP_SETXATTR, true, [](tav_stub_args &a) { a.flags = 2; },
         "[TAV:7:" + U + "(-1):SETXATTR(xattr,flg=0x2)]"},
        {TAV_OP_REMOVEXATTR, true, [](tav_stub_args &a) { a.key = "user.x"; },
         "[TAV:7:" + U + "(-1):REMOVEXATTR(key=user.x,flg=0x0)]"},
        {TAV_OP_LISTXATTR, true, [](tav_stub_args &a) { a.size = 5; },
         "[TAV:7:" + U + "(-1):LISTXATTR(sz=5)]"},
        {TAV_OP_READ, true,
         [](tav_stub_args &a) {
             a.offset = 4096;
             a.size = 512;
         },
         "[TAV:7:" + U + "(-1):READ(off=4096,sz=512)]"},
        {TAV_OP_TRUNCATE, true, [](tav_stub_args &a) { a.offset = 99; },
         "[TAV:7:" + U + "(-1):TRUNCATE(len=99)]"},
        {TAV_OP_FALLOCATE, true,
         [](tav_stub_args &a) {
             a.offset = 0;
             a.size = 1;
             a.mode = 65536 + 3;
         },
         "[TAV:7:" + U + "(-1):FALLOCATE(off=0,sz=1,mode=HARD_CACHED)]"},
        {TAV_OP_ZEROFILL, true,
         [](tav_stub_args &a) {
             a.size = 1;
             a.mode = 3;
         },
         "[TAV:7:" + U + "(-1):ZEROFILL(off=0,sz=1,mode=DEFAULT)]"},
        {TAV_OP_EXPAND, false, [](tav_stub_args &a) { a.size = 1 << 30; }, "[TAV:7:EXPAND(len=1073741824)]"},
    };
    for (auto &c : cases) {
        tav_stub stub = {};
        stub.magic = TAV_STUB_MAGIC;
        stub.id = 7;
        stub.op = c.op;
        if (c.named)
            memcpy(stub.args.name, name, 16);
        c.fill(stub.args);
        EXPECT_EQ(c.want, prefix_of(&stub)) << tav_op_string(c.op);
    }
    tav_stub dead = {};
    dead.op = TAV_OP_STATFS; // magic 0: not a live stub
    EXPECT_EQ("[TAV]", prefix_of(&dead));
}

} // namespace
