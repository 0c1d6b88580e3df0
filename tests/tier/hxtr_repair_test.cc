// hx_tier repair commands run as a process: a record dumped, turned into
// repair input and repaired gives back the original block byte for byte;
// without -y the device is unchanged; refused input writes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

#include "tier_test.h"

using namespace tiertest;

namespace {

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    const size_t at = text.find(from);
    if (at == std::string::npos)
        throw std::logic_error("no " + from);
    return text.replace(at, from.size(), to);
}

class RepairTest : public TierToolTest {
protected:
    std::string conf = dir.path() + "/repair.json";

    // Writes `json` as the repair file and runs `cmd` with it.
    ToolRun repair(const std::string &cmd, const std::string &json, std::vector<std::string> extra = {}) {
        write_file(conf, json);
        std::vector<std::string> args{"-c", cmd, "-f", conf};
        args.insert(args.end(), extra.begin(), extra.end());
        return tool(args);
    }
    std::vector<uint8_t> block(uint64_t off) { return read_bytes(dev, off, kBlk); }
    void zero_block(uint64_t off) {
        std::vector<uint8_t> z(kBlk, 0);
        int fd = open(dev.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, z.data(), kBlk, static_cast<off_t>(off)), static_cast<ssize_t>(kBlk));
        close(fd);
    }
    // Dump -> repair input -> repair with -y restores the zeroed block.
    void expect_restored(uint64_t off, const std::vector<uint8_t> &orig, const std::string &cmd,
                         const std::string &json, const std::string &printed,
                         std::vector<std::string> extra = {}) {
        zero_block(off);
        ToolRun r = repair(cmd, json, extra); // without -y: nothing written
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, printed);
        EXPECT_EQ(block(off), std::vector<uint8_t>(kBlk, 0));
        extra.push_back("-y");
        r = repair(cmd, json, extra);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, printed);
        EXPECT_EQ(block(off), orig);
    }
    // A repair input that must be refused with status 22 and `message`.
    struct Refusal {
        const char *cmd;
        std::string json, message;
    };
    // Runs the refused input with -y and checks the refusal; the run is
    // returned for the caller's further checks.
    ToolRun expect_refused(const Refusal &c) {
        ToolRun r = repair(c.cmd, c.json, {"-y"});
        EXPECT_EQ(r.status, 22) << c.json;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.json << "\n" << r.err;
        return r;
    }
};

using RepairV3 = OnDevice<RepairTest, V3Dev, make_v3>;

TEST_F(RepairV3, DumpedBrickInodeAndSuperBlockComeBackByteForByte) {
    const uint64_t b3 = d.g.brick_off + 3 * kBlk;
    ToolRun dump = tool({"-c", "dump_brick", "-n", "3"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    expect_restored(b3, d.img.get(b3, kBlk), "repair_brick", dump.out, dump.out);

    // Values of 2^53 and above survive exactly.
    const uint64_t i1 = d.g.inode_off + kBlk;
    expect_restored(i1, d.img.get(i1, kBlk), "repair_inode", inode_repair_json(d.inodes[1], false),
                    inode_json(d.img, i1, d.inodes[1], kV3InodeMagic, false, static_cast<long>(i1)) + "\n");

    // The super block, on a device whose super block is destroyed: -v 3.
    dump = tool({"-c", "dump_super"});
    ASSERT_EQ(dump.status, 0);
    zero_block(4096);
    ToolRun r = repair("repair_super", dump.out);
    EXPECT_EQ(r.status, 14);
    EXPECT_NE(r.err.find("super block may corrupt. path:" + dev), std::string::npos) << r.err;
    expect_restored(4096, d.img.get(4096, kBlk), "repair_super", dump.out, dump.out, {"-v", "3"});
}

TEST_F(RepairV3, UnusedBrickGetsAFreshUuid) {
    const std::string json = "{\"bi_use\":0,\"bi_no\":1}";
    ToolRun a = repair("repair_brick", json), b = repair("repair_brick", json);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0);
    auto uuid = [](const std::string &out) { return out.substr(out.find("\"bi_uuid\":\"") + 11, 36); };
    EXPECT_NE(uuid(a.out), uuid(b.out));
    EXPECT_NE(uuid(a.out), "00000000-0000-0000-0000-000000000000");
    EXPECT_NE(a.out.find("\"bi_use\":0,\"bi_no\":1,"), std::string::npos) << a.out;
}

TEST_F(RepairV3, ShardExtentAndHotPages) {
    // The expected pages are built from the format tables by the fixture.
    Image want(d.img.size());
    put_shard_page(want, 0, {{1, 5, 1, 0, 7}, {2, 3, 1, 0x1abc, 1}, {511, 0x3ffff, 1, 0, 0xffffffff}});
    const uint64_t s1 = d.g.shard_off + kBlk;
    std::string json = "{\"meta_offset\":" + std::to_string(s1) +
                       ",\"shards\":[{\"sno\":513,\"ino\":5,\"index\":7},{\"sno\":514,\"ino\":3,\"index\":1,"
                       "\"reserved\":6844},{\"sno\":1023,\"ino\":262143,\"index\":4294967295}]}";
    expect_restored(s1, want.get(0, kBlk), "repair_shard", json, "");

    put_extent_page(
        want, kBlk,
        {{2, 0x7ffff, 0x7ffff, 1, 0xffff, 1, 15, 1, 1, 1}, {600 - 512, 7, 8, 0, 9, 1, 0, 0, 0, 0}});
    const uint64_t e1 = d.g.extent_off + kBlk;
    json = "{\"meta_offset\":" + std::to_string(e1) +
           ",\"extents\":[{\"eno\":514,\"lba\":524287,\"shard\":524287,\"dirty\":1,\"bitmap\":65535,"
           "\"sense\":15,"
           "\"demote\":1,\"dm_err\":1,\"reserved\":1},{\"eno\":600,\"lba\":7,\"shard\":8,\"dirty\":0,"
           "\"bitmap\":9}]}";
    expect_restored(e1, want.get(kBlk, kBlk), "repair_extent", json, "");
    ToolRun r = tool({"-c", "dump_extent", "-n", "1", "-g", "use=1"}); // the repaired page passes its check
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"eno\":600,\"bitmap\":9}]}"), std::string::npos) << r.out;

    const uint64_t h1 = d.g.hot_off + kBlk;
    d.img.put32(h1, 0xabcdef);
    d.img.write(dev);
    r = repair("repair_hot", "{\"meta_offset\":" + std::to_string(h1) + "}", {"-y"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(block(h1), std::vector<uint8_t>(kBlk, 0));
}

// Refused input: status 22 with the message, and nothing written.
TEST_F(RepairV3, RefusedInputWritesNothing) {
    // A shard table of one page inside a two-page window before the hot table.
    d.g.shard_cnt = 512;
    put_v3_super(d.img, d.g);
    d.img.write(dev);
    const std::string so = std::to_string(d.g.shard_off), eo = std::to_string(d.g.extent_off);
    const Refusal cases[] = {
        {"repair_inode", "{\"i_no\":4294967295,\"i_use\":0}", "parse i_no failed"},
        {"repair_inode", "{\"i_no\":-1,\"i_use\":0}", "parse i_no failed"},
        {"repair_inode", "{\"i_no\":8,\"i_use\":0}",
         "i_no 8 or brick_no 0 is invalid, max i_cnt:8, max b_cnt:4"},
        {"repair_inode", "{\"i_no\":1,\"i_use\":65536}", "parse i_use failed"},
        {"repair_inode", "{\"i_no\":\"1\",\"i_use\":0}", "parse i_no failed"},
        {"repair_inode",
         "{\"i_no\":1,\"i_use\":1,\"i_uuid\":\"not-a-uuid\",\"i_size\":1,\"i_priority\":1,\"i_brick_no\":0}",
         "parse uuid not-a-uuid failed:-1"},
        {"repair_brick", "{\"bi_use\":0,\"bi_no\":4}", "bi_no 4 is invalid, max: 4"},
        {"repair_brick",
         "{\"bi_use\":1,\"bi_no\":0,\"bi_uuid\":\"" + uuid_text(uuid_of(1)) + "\",\"bi_brickid\":\"/short\"}",
         "parse bi_brickid failed"},
        {"repair_brick", "{\"bi_no\":0}", "parse bi_use failed"},
        {"repair_shard", "{\"meta_offset\":" + std::to_string(d.g.shard_off + kBlk) + ",\"shards\":[]}",
         "meta_offset: " + std::to_string(d.g.shard_off + kBlk) + " invalid"},
        {"repair_shard", "{\"meta_offset\":" + std::to_string(d.g.shard_off + 8) + ",\"shards\":[]}",
         "invalid"},
        {"repair_shard", "{\"meta_offset\":" + so + ",\"shards\":[{\"sno\":512,\"ino\":1,\"index\":1}]}",
         "shards_json sno: 512 invalid"},
        {"repair_shard", "{\"meta_offset\":" + so + ",\"shards\":[{\"sno\":513,\"ino\":1,\"index\":1}]}",
         "shards_json sno: 513 invalid"},
        {"repair_shard", "{\"meta_offset\":" + so + ",\"shards\":[{\"sno\":1,\"ino\":262144,\"index\":1}]}",
         "parse ino failed"},
        {"repair_shard", "{\"meta_offset\":" + so + ",\"shards\":[7]}", "shards_json index: 0 invalid"},
        {"repair_shard", "{\"meta_offset\":" + so + ",\"shards\":{}}", "shards_json is invalid"},
        {"repair_extent",
         "{\"meta_offset\":" + eo +
             ",\"extents\":[{\"eno\":512,\"lba\":1,\"shard\":1,\"dirty\":0,"
             "\"bitmap\":0}]}",
         "extents_json eno: 512 invalid"},
        {"repair_extent",
         "{\"meta_offset\":" + eo +
             ",\"extents\":[{\"eno\":1,\"lba\":524288,\"shard\":1,"
             "\"dirty\":0,\"bitmap\":0}]}",
         "parse lba failed"},
        {"repair_extent", "{\"meta_offset\":" + std::to_string(d.g.data_off) + ",\"extents\":[]}", "invalid"},
        {"repair_hot", "{\"meta_offset\":" + eo + "}", "meta_offset: " + eo + " invalid"},
    };
    const std::string before = read_file(dev);
    for (const Refusal &c : cases) {
        ToolRun r = expect_refused(c);
        EXPECT_NE(r.err.find("parse meta info failed:-22"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(read_file(dev) == before);

    std::string many = "{\"meta_offset\":" + so + ",\"shards\":[";
    for (int i = 0; i < 512; i++)
        many += std::string(i ? "," : "") + "{}";
    ToolRun r = repair("repair_shard", many + "]}", {"-y"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("shards_cnt: 512 bigger than 512"), std::string::npos) << r.err;
}

TEST_F(RepairV3, BadRepairFiles) {
    struct Case {
        std::string content, message;
    } cases[] = {
        {"", "load repair conf " + conf + " failed:"},
        {"{\"bi_use\":", "cJSON_Parse failed, path:" + conf},
        {"[1,2,3]", "parse bi_use failed"},
        {"\"text\"", "parse bi_use failed"},
    };
    for (const Case &c : cases) {
        ToolRun r = repair("repair_brick", c.content, {"-y"});
        EXPECT_EQ(r.status, 22) << c.content;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    ToolRun r = tool({"-c", "repair_brick", "-f", dir.path() + "/missing.json"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("load repair conf " + dir.path() + "/missing.json failed:No such file"),
              std::string::npos);
    r = tool({"-c", "repair_brick"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("failed to get repair_conf or open repair_conf fd"), std::string::npos) << r.err;
}

TEST_F(RepairV3, SuperBlockInvariantsUnlessForced) {
    ToolRun dump = tool({"-c", "dump_super"});
    ASSERT_EQ(dump.status, 0);
    std::string json = replaced(dump.out, "\"brick_cnt\":4", "\"brick_cnt\":0");
    ToolRun r = repair("repair_super", json, {"-y"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("__check_sb_params_v3"), std::string::npos) << r.err;
    EXPECT_NE(
        r.err.find("brick params is invalid. brick_cnt:0, brick_table_size:16384, expect brick_cnt:[1-300]"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(block(4096), d.img.get(4096, kBlk));
    r = repair("repair_super", json, {"-F"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"brick_cnt\":0,"), std::string::npos);

    json = replaced(dump.out, "\"version\":\"0x30000\"", "\"version\":\"0x20000\"");
    r = repair("repair_super", json);
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("version 131072 is invalid, cmd:9"), std::string::npos) << r.err;
}

// Damaged repair files never crash the tool: each run ends with 0 or 22, and
// without -y nothing reaches the device.
TEST_F(RepairV3, MutatedInputsNeverCrash) {
    const std::string s1 = std::to_string(d.g.shard_off), e1 = std::to_string(d.g.extent_off);
    const std::vector<std::pair<std::string, std::string>> seeds{
        {"repair_brick", tool({"-c", "dump_brick", "-n", "0"}).out},
        {"repair_super", tool({"-c", "dump_super"}).out},
        {"repair_inode", inode_repair_json(d.inodes[1], false)},
        {"repair_shard", "{\"meta_offset\":" + s1 + ",\"shards\":[{\"sno\":5,\"ino\":1,\"index\":2}]}"},
        {"repair_extent", "{\"meta_offset\":" + e1 +
                              ",\"extents\":[{\"eno\":5,\"lba\":1,\"shard\":2,\"dirty\":1,\"bitmap\":3}]}"},
    };
    const std::string alphabet = "{}[]\",:-+0123456789eE.x \\\xff";
    const char *numbers[] = {"18446744073709551616",    "-1",    "1e400", "0.5",
                             "99999999999999999999999", "\"7\"", "null"};
    const std::string before = read_file(dev);
    std::mt19937 rng(2024);
    int accepted = 0, refused = 0;
    for (int i = 0; i < 60; i++) {
        auto [cmd, json] = seeds[rng() % seeds.size()];
        ASSERT_FALSE(json.empty());
        for (int k = rng() % 3 + 1; k > 0; k--) {
            const size_t at = rng() % json.size();
            switch (rng() % 3) {
            case 0: json.erase(at, 1 + rng() % 4); break;
            case 1: json.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
            default: {
                const size_t colon = json.find(':', at);
                if (colon != std::string::npos) {
                    size_t end = colon + 1;
                    while (end < json.size() &&
                           (isdigit(static_cast<unsigned char>(json[end])) || json[end] == '-'))
                        end++;
                    json.replace(colon + 1, end - colon - 1, numbers[rng() % 7]);
                }
            }
            }
            if (json.empty())
                json.push_back('{');
        }
        ToolRun r = repair(cmd, json);
        EXPECT_TRUE(r.status == 0 || r.status == 22) << r.status << " " << cmd << " " << json << "\n"
                                                     << r.err;
        (r.status == 0 ? accepted : refused)++;
    }
    EXPECT_GT(accepted, 0); // the mutations reach both outcomes
    EXPECT_GT(refused, 0);
    EXPECT_TRUE(read_file(dev) == before);
}

using RepairV2 = OnDevice<RepairTest, V12Dev, make_v2>;

TEST_F(RepairV2, SuperBlockInodeAndExtentComeBack) {
    ToolRun dump = tool({"-c", "dump_super"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    expect_restored(4096, d.img.get(4096, kBlk), "repair_super", dump.out, dump.out, {"-v", "2"});

    // The last inode of the expansion area goes back to its place there.
    const uint64_t last = d.g.exp_start() + (153600 - 1) * kBlk;
    expect_restored(last, d.img.get(last, kBlk), "repair_inode", inode_repair_json(d.inodes[5], false),
                    inode_json(d.img, last, d.inodes[5], kV12InodeMagic, false, static_cast<long>(last)) +
                        "\n");

    const uint64_t e0 = d.g.extent_start();
    const std::string json =
        "{\"te_use\":1,\"te_no\":0,\"te_inode_no\":1,\"te_sampling_low\":287454020,\"te_sampling_mid\":5,"
        "\"te_sampling_high\":6,\"te_mapped_meta\":[{\"mapno\":3,\"offset\":123,\"clean\":0,\"len\":8192,"
        "\"begin\":62,\"cnt\":2},{\"mapno\":0,\"offset\":1099511627776,\"clean\":1,\"len\":262144,\"begin\":"
        "0,"
        "\"cnt\":16}]}";
    expect_restored(e0, d.img.get(e0, kBlk), "repair_extent", json,
                    v2_extent_json(d.img, e0, d.extents[0], d.g, static_cast<long>(e0)) + "\n");
}

TEST_F(RepairV2, RefusedInput) {
    const Refusal cases[] = {
        {"repair_inode", "{\"i_no\":153608,\"i_use\":0}", "repiar_file i_no 153608 input ino: 153608"},
        {"repair_inode",
         "{\"i_no\":4,\"i_use\":1,\"i_uuid\":\"" + uuid_text(uuid_of(1)) +
             "\",\"i_size\":1,\"i_priority\":1,\"i_brick_no\":4}",
         "brick_no 4 is invalid"},
        {"repair_extent",
         "{\"te_use\":1,\"te_no\":0,\"te_inode_no\":1,\"te_sampling_low\":1,\"te_mapped_meta\":"
         "[{\"mapno\":4,\"offset\":1,\"clean\":0,\"len\":1,\"begin\":0,\"cnt\":1}]}",
         "te_mapped_meta mapno 4 is invalid, index:0, map_cnt:4"},
        {"repair_extent",
         "{\"te_use\":1,\"te_no\":0,\"te_inode_no\":1,\"te_sampling_low\":1,\"te_mapped_meta\":"
         "[{\"mapno\":0,\"offset\":1,\"clean\":0,\"len\":262145,\"begin\":0,\"cnt\":1}]}",
         "map 0 orig_len(262145) is invalid, block_size:262144"},
        {"repair_extent",
         "{\"te_use\":1,\"te_no\":0,\"te_inode_no\":1,\"te_sampling_low\":1,\"te_mapped_meta\":[1]}",
         "te_mapped_meta index 0 is invalid"},
        {"repair_extent", "{\"te_use\":0,\"te_no\":4}",
         "te_no 4 or i_no 0 is invalid, block_cnt:4, inode_cnt:8"},
    };
    // The blocks these inputs aim at (the device is too large to compare whole).
    std::vector<uint64_t> offs{d.g.inode_start() + 4 * kBlk, d.g.exp_start() + 153599 * kBlk};
    for (uint64_t e = 0; e < 5; e++)
        offs.push_back(d.g.extent_start() + e * kBlk);
    std::vector<std::vector<uint8_t>> before;
    for (uint64_t off : offs)
        before.push_back(block(off));
    for (const Refusal &c : cases)
        expect_refused(c);
    for (size_t i = 0; i < offs.size(); i++)
        EXPECT_EQ(block(offs[i]), before[i]) << offs[i];
}

// Expansion inode numbers are valid only while the area is formatted and in
// use, and never from 500000 on.
TEST_F(RepairV2, ExpansionInodeNumbers) {
    d.g.exp_area = 255; // room up to number 8 + 6528000 - 1, cut at 499999
    put_v12_super(d.img, d.g, false);
    d.img.write(dev);
    ToolRun r = repair("repair_inode", "{\"i_no\":499999,\"i_use\":0}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"meta_offset\":" + std::to_string(d.g.exp_start() + (499999 - 8) * kBlk) + "}"),
              std::string::npos)
        << r.out;
    r = repair("repair_inode", "{\"i_no\":500000,\"i_use\":0}");
    EXPECT_EQ(r.status, 22);

    d.g.exp_inuse = 0;
    put_v12_super(d.img, d.g, false);
    d.img.write(dev);
    r = repair("repair_inode", "{\"i_no\":8,\"i_use\":0}");
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("exp_magic :0x4558 exp exp_inuse: 0x0max i_cnt:8, max b_cnt:4"), std::string::npos)
        << r.err;
    r = repair("repair_inode", "{\"i_no\":7,\"i_use\":0}");
    EXPECT_EQ(r.status, 0) << r.err;
}

// The expansion area of the repair form must be formatted on the device.
TEST_F(RepairV2, ExpansionAreaMustBeFormatted) {
    ToolRun dump = tool({"-c", "dump_super"});
    ASSERT_EQ(dump.status, 0);
    zero_block(d.g.exp_start()); // the first expansion inode is gone
    ToolRun r = repair("repair_super", dump.out);
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("inode ondisk no: 0(off: " + std::to_string(d.g.exp_start()) + ") inode_no: 8"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("check exp inode first failed"), std::string::npos) << r.err;

    // Any other magic text: no expansion area.
    std::string json = replaced(dump.out, "\"exp_inode_magic\":\"0x4558\"", "\"exp_inode_magic\":\"none\"");
    r = repair("repair_super", json);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"exp_inode_magic\":\"0x0\",\"exp_inode_cnt\":0,\"exp_inode_inuse\":\"0x0\""),
              std::string::npos)
        << r.out;
}

TEST_F(RepairV2, ConvertFindsTheMapCountOfAV1Device) {
    // A v1 device of 1 MiB blocks whose extent records carry checksums of
    // records with 33 mapped-meta entries (680 bytes).
    V12Geo g;
    g.block_size = 0x100000;
    g.extent_size = 88;
    Image img(g.data_off());
    put_v12_super(img, g, true);
    for (uint64_t r = 0; r < 256; r++) {
        const uint64_t off = g.extent_start() + r * kBlk;
        img.put64(off + 8, r * 0x9e3779b97f4a7c15ull);
        img.put64(off + 48, r);
        img.put64(off + 600, ~r);
        img.put32(off, img.crc(off + 4, 676));
    }
    img.write(dev);
    ToolRun dump = tool({"-c", "dump_super"});
    ASSERT_EQ(dump.status, 0) << dump.err;

    V12Geo want = g;
    want.exp_magic = 0, want.exp_area = 0, want.exp_inuse = 0;
    want.min_alloc = 32768, want.map_cnt = 33, want.mapped_meta = 16, want.hot = 64;
    Image sb(8192);
    put_v12_super(sb, want, false);
    const std::string before = read_file(dev);
    ToolRun r = repair("convert_super", dump.out, {"-v", "2", "-y", "-D"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, v12_super_json(sb, want, false) + "\n");
    EXPECT_NE(r.err.find("find map_cnt:33"), std::string::npos) << r.err;
    EXPECT_TRUE(read_file(dev) == before); // convert never writes

    // repair_super of v2 does not take a v1 description.
    r = repair("repair_super", dump.out, {"-v", "2"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("version 65536 is invalid, cmd:9"), std::string::npos) << r.err;

    // No candidate fits records of another size.
    for (uint64_t rec = 0; rec < 256; rec++)
        img.put32(g.extent_start() + rec * kBlk, 0);
    img.write(dev);
    r = repair("convert_super", dump.out, {"-v", "2"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("cannot find valid map_cnt. ret:-22, map_cnt:65"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("convert super block failed:-22"), std::string::npos) << r.err;

    // Nothing of the extent area can be read.
    ASSERT_EQ(truncate(dev.c_str(), static_cast<off_t>(g.extent_start())), 0);
    r = repair("convert_super", dump.out, {"-v", "2"});
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(r.err.find("all extent area read failed"), std::string::npos) << r.err;
}

using RepairV1 = OnDevice<RepairTest, V12Dev, make_v1>;

TEST_F(RepairV1, SuperBlockBrickAndExtentComeBack) {
    ToolRun dump = tool({"-c", "dump_super"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    expect_restored(4096, d.img.get(4096, kBlk), "repair_super", dump.out, dump.out, {"-v", "1"});

    dump = tool({"-c", "dump_brick", "-n", "0"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    const uint64_t b0 = d.g.brick_start();
    expect_restored(b0, d.img.get(b0, kBlk), "repair_brick", dump.out, dump.out);

    const uint64_t e0 = d.g.extent_start();
    const std::string json =
        "{\"te_use\":1,\"te_no\":0,\"te_block\":3,\"te_size\":4611686018427387904,\"te_inode_no\":1,"
        "\"te_sampling_low\":2712847316,\"te_sampling_mid\":1,\"te_sampling_high\":2,\"te_clean\":1,\"te_"
        "ntime\":4,"
        "\"te_hot\":5,\"te_bitmap\":[18446744073709551615,0,81985529216486895,9223372036854775808]}";
    expect_restored(e0, d.img.get(e0, kBlk), "repair_extent", json,
                    v1_extent_json(d.img, e0, d.extents[0], static_cast<long>(e0)) + "\n");
}

TEST_F(RepairV1, RefusedInput) {
    const Refusal cases[] = {
        {"repair_inode", "{\"i_no\":8,\"i_use\":0}",
         "i_no 8 or brick_no 0 is invalid, max i_cnt:8, max b_cnt:4"},
        {"repair_extent",
         "{\"te_use\":1,\"te_no\":0,\"te_block\":3,\"te_size\":1,\"te_inode_no\":1,"
         "\"te_sampling_low\":1,\"te_clean\":1,\"te_bitmap\":[1,2,3]}",
         "te_bitmap is invalid."},
        {"repair_extent",
         "{\"te_use\":1,\"te_no\":0,\"te_block\":3,\"te_size\":1,\"te_inode_no\":1,"
         "\"te_sampling_low\":1,\"te_clean\":1,\"te_bitmap\":[1,2,\"3\",4]}",
         "te_bitmap index 2 is invalid"},
        {"repair_extent",
         "{\"te_use\":1,\"te_no\":0,\"te_block\":3,\"te_size\":1,\"te_inode_no\":8,"
         "\"te_sampling_low\":1,\"te_clean\":1,\"te_bitmap\":[1,2,3,4]}",
         "te_no 0 or i_no 8 is invalid, block_cnt:4, inode_cnt:8"},
        {"convert_super", "{}", "version V1 not support cmd:convert_super"},
    };
    const std::string before = read_file(dev);
    for (const Refusal &c : cases)
        expect_refused(c);
    EXPECT_TRUE(read_file(dev) == before);
}

} // namespace
