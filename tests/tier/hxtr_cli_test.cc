// hx_tier's command line as a process: usage, option errors, device errors,
// version selection, the log file and exit statuses.
#include <gtest/gtest.h>

#include <random>

#include "tier_test.h"

using namespace tiertest;

namespace {

std::string usage(const std::string &p) {
    return "usage: " + p +
           " -p <path> -c <command> [options]\n"
           "--help        | -h show help info\n"
           "--cmd         | -c sub command. dump|repair\n"
           "--path        | -p tcache device path, such as /dev/xxx/xxx-tcache\n"
           "--no          | -n number of repair info\n"
           "--repair_conf | -f json file with the repairing meta info\n"
           "--version     | -v tier version, only use in super-block repair\n"
           "--output      | -o output file for dump command\n"
           "--filter      | -g filter for dump command, such as -g 'use=1'\n"
           "--log-file    | -l log file\n"
           "--debug       | -D enable debug mode\n"
           "\n"
           "'dump' command(s): -c [dump_super|dump_brick|dump_inode|dump_extent|dump_shard|dump_hot] [-n "
           "no|-g filter] "
           "[-o file]\n"
           "\n"
           "  'filter' option minimized the dump output when [-n no] not specified, support filter key(s) "
           "are:\n"
           "    use=[0|1]; filter used or not used meta, default action is dump all of them\n"
           "    owner=no; filter meta by its parent, such as filter 'inode' by brick no\n"
           "    id=str; filter meta by 'id' string, such as gfid or brickid\n"
           "    error=[0|1]; filter meta by dump state. 'error=1' means only dump the meta which read error "
           "or check "
           "error\n"
           "\n"
           "Examples:\n" +
           p + " -p /dev/xxx -c dump_super\n" + p +
           " -p /dev/xxx -c dump_brick  [-n b_no  | -g 'id=brickid'] [-o file]\n" + p +
           " -p /dev/xxx -c dump_inode  [-n i_no  | -g 'owner=b_no'] [-o file]\n" + p +
           " -p /dev/xxx -c dump_extent [-n te_no | -g 'use=1']      [-o file]\n"
           "\n"
           "'repair' command(s): -c [repair_super|convert_super|repair_brick|repair_inode|repair_extent] [-v "
           "tier_ver] "
           "[-f conf] [-y]\n"
           "Examples:\n" +
           p + " -p /dev/xxx -c repair_super -v 2 -f xxxx.json [-y]\n" + p +
           " -p /dev/xxx -c repair_brick -f xxxx.json [-y]\n";
}

// The device path is part of each command line here.
class CliTest : public OnDevice<TierToolTest, V3Dev, make_v3> {
protected:
    std::string log_path = dir.path() + "/hx_tier.log";
};

TEST_F(CliTest, UsageWithoutArgumentsOrWithHelp) {
    ToolRun r = run_tool(dir.path(), {}, false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage(HX_TIER_BIN));
    EXPECT_EQ(r.err, "");
    for (const char *h : {"-h", "--help"}) {
        r = run({h, "-c", "dump_super", "-p", dev});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage(HX_TIER_BIN));
    }
}

TEST_F(CliTest, OptionErrors) {
    const std::string help = std::string(". <") + HX_TIER_BIN + " -h> for help";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-c", "bogus", "-p", dev}, "unkown cmd <bogus>" + help},
        {{"-c", "dump_super", "-p", dev, "-x"}, "unrecognize option '-x'" + help},
        {{"-c", "dump_super", "-p", dev, "--commit"}, "unrecognize option '-y'" + help}, // needs an argument
        {{"-c", "dump_super", "-p", dev, "--bogus"}, "unrecognize option '--bogus'"},
        {{"-c", "dump_super", "-p", dev, "-n"}, "unrecognize option '-n'"},
        {{"-c", "dump_super"}, "cmd and dev path must be specified" + help},
        {{"-p", dev}, "cmd and dev path must be specified"},
        {{"-c", "dump_brick", "-p", dev, "-n", "12abc"}, "invalid no <12abc>"},
        {{"-c", "dump_brick", "-p", dev, "-g", "use=x"}, "invalid filter <use=x>"},
        {{"-c", "dump_brick", "-p", dev, "-v", "three"}, "invalid version <three>"},
        {{"-c", "dump_super", "-p", dev, "-v", "4"}, "version V4 is not supported"},
        {{"-c", "dump_super", "-p", dev, "-v", "0"}, "version V0 is not supported"},
        {{"-c", "dump_shard", "-p", dev, "-v", "1"}, "version V1 not support cmd:dump_shard"},
        {{"-c", "dump_brick", "-p", dev, "-v", "3"}, "needs the super block"},
        {{"-c", "dump_super", "-p", dev, "-v", "3"}, "needs the super block"},
        {{"-c", "dump_super", "-p", dev, "-l", dir.path() + "/no/dir/log"},
         "cannot open log file " + dir.path() + "/no/dir/log, error:No such file or directory"},
    };
    for (const Case &c : cases) {
        ToolRun r = run(c.args);
        EXPECT_EQ(r.status, 22) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.message;
    }
}

TEST_F(CliTest, CommitForms) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-y"}, {"--commit=yes"}, {"--commit", "x"}}) {
        std::vector<std::string> a{"-c", "dump_super", "-p", dev};
        a.insert(a.end(), args.begin(), args.end());
        ToolRun r = run(a);
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(CliTest, DeviceErrors) {
    ToolRun r = run({"-c", "dump_super", "-p", dir.path() + "/missing"});
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(r.err.find("open " + dir.path() + "/missing failed. errno: No such file or directory"),
              std::string::npos)
        << r.err;

    Image tiny(6000); // the super block cannot be read whole
    tiny.put32(4096, 0xcacbdcbd);
    tiny.write(dev);
    r = run({"-c", "dump_super", "-p", dev});
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(r.err.find("read super failed. path:" + dev + ", ret: 1904"), std::string::npos) << r.err;

    std::mt19937_64 rng(99);
    Image junk(1 << 20);
    for (uint64_t off = 0; off < junk.size(); off += 8)
        junk.put64(off, rng());
    junk.write(dev);
    for (const char *cmd : {"dump_super", "dump_brick", "repair_brick", "dump_hot"}) {
        r = run({"-c", cmd, "-p", dev});
        EXPECT_EQ(r.status, 14) << cmd;
        EXPECT_NE(r.err.find("super block may corrupt. path:" + dev), std::string::npos) << r.err;
    }
    // A super block of one version with a wrong checksum is no version's.
    d.img.put32(4096, d.img.get_le(4096, 4) ^ 0x100);
    d.img.write(dev);
    r = run({"-c", "dump_super", "-p", dev});
    EXPECT_EQ(r.status, 14);
}

TEST_F(CliTest, LogFileAndDebugMode) {
    ToolRun r = run({"-c", "dump_brick", "-p", dev, "-n", "9"});
    EXPECT_EQ(r.status, 22);
    const std::string log = read_file(log_path);
    EXPECT_NE(log.find("[DEBUG] [hxtr_prepare_param:"), std::string::npos) << log;
    EXPECT_NE(log.find("] dev:" + dev +
                       ", cmd:dump_brick, spec_ver:0, meta_no:9 repair_conf:, out_path:, filter: "
                       "use=-1, error=-1, owner_no=-1, id=\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[ERROR] [hxtr_dump_common:"), std::string::npos) << log;
    EXPECT_NE(log.find("] invalid bi_no 9, max cnt:4\n"), std::string::npos) << log;
    // Errors always reach stderr; debug lines only with -D.
    EXPECT_EQ(r.err.find("[DEBUG]"), std::string::npos);
    EXPECT_NE(r.err.find("[ERROR] [hxtr_dump_common:"), std::string::npos);
    r = run({"-D", "-c", "dump_super", "-p", dev});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("[DEBUG] [hxtr_prepare_param:"), std::string::npos) << r.err;
    // The log is appended to, and a second -l replaces the first.
    const std::string other = dir.path() + "/other.log";
    r = run({"-c", "dump_super", "-p", dev, "-l", other, "-n", "x"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(read_file(other).find("invalid no <x>"), std::string::npos);
    EXPECT_EQ(read_file(log_path).find("invalid no <x>"), std::string::npos);
    EXPECT_NE(read_file(log_path).find("invalid bi_no 9"), std::string::npos);
}

} // namespace
