// hx_tier dump commands run as a process on cache devices built byte by byte:
// exact output per command and version, single records, table bounds,
// filters, error objects, and damaged devices.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <random>

#include "tier_test.h"

using namespace tiertest;

namespace {

std::string err_obj(int err, const char *key, long no, long off) {
    char buf[256];
    snprintf(buf, sizeof(buf), "{\"error\":%d, \"%s\":%ld, \"meta_offset\":%ld}", err, key, no, off);
    return buf;
}

// The framing of a dump of all records: "[", objects separated by ",", each
// ending its line, "]".
std::string array(const std::vector<std::string> &objs) {
    std::string s = "[";
    for (size_t i = 0; i < objs.size(); i++)
        s += (i ? "," : "") + objs[i] + "\n";
    return s + "]";
}

std::string entry_json(uint64_t w, uint64_t eno) {
    char buf[256];
    snprintf(buf, sizeof(buf),
             "{\"lba\":%u,\"shard\":%u,\"dirty\":%u,\"in_use\":%u,\"sense\":%u,\"demote\":%u,\"dm_err\":%u,"
             "\"reserved\":%u,\"eno\":%lu,\"bitmap\":%u}",
             unsigned(w >> 1 & 0x7ffff), unsigned(w >> 20 & 0x7ffff), unsigned(w >> 39 & 1),
             unsigned(w >> 56 & 1), unsigned(w >> 57 & 0xf), unsigned(w >> 61 & 1), unsigned(w >> 62 & 1),
             unsigned(w >> 63), static_cast<unsigned long>(eno), unsigned(w >> 40 & 0xffff));
    return buf;
}

std::string slot_json(uint64_t lo, uint64_t hi, uint64_t sno) {
    char buf[256];
    snprintf(buf, sizeof(buf), "{\"ino\":%u,\"in_use\":%u,\"reserved\":%u,\"sno\":%lu,\"index\":%u}",
             unsigned(lo & 0x3ffff), unsigned(lo >> 18 & 1), unsigned(lo >> 19),
             static_cast<unsigned long>(sno), unsigned(hi));
    return buf;
}

bool valid_json(const std::string &text) {
    cJSON *root = cJSON_Parse(text.c_str());
    cJSON_Delete(root);
    return root != nullptr;
}

class DumpV3 : public OnDevice<TierToolTest, V3Dev, make_v3> {
protected:
    std::string brick(unsigned no) {
        return brick_json(d.img, d.g.brick_off + no * kBlk, d.bricks[no], kV3BrickMagic,
                          d.g.brick_off + no * kBlk);
    }
    std::string inode(unsigned no) {
        return inode_json(d.img, d.g.inode_off + no * kBlk, d.inodes[no], kV3InodeMagic, false,
                          d.g.inode_off + no * kBlk);
    }
    std::string inode_err(unsigned no) { return err_obj(14, "no", no, d.g.inode_off + no * kBlk); }
    // Extent page 0 listing the entries `keep` selects.
    std::string extent_page0(bool (*keep)(uint64_t w)) {
        std::string s = "{\"checksum\":\"" + hex(extent_page_crc(d.img, d.g.extent_off)) +
                        "\",\"meta_offset\": " + std::to_string(d.g.extent_off) + ",\"extents\":[";
        const char *sep = "";
        for (unsigned e = 0; e < 512; e++) {
            const uint64_t w = d.img.get_le(d.g.extent_off + 8 * e, 8);
            if (!keep(w))
                continue;
            s += sep;
            s += entry_json(w, e);
            sep = ",";
        }
        return s + "]}";
    }
    std::string shard_page(unsigned p, bool (*keep)(uint64_t lo)) {
        const uint64_t off = d.g.shard_off + p * kBlk;
        std::string s = "{\"checksum\":\"" + hex(d.img.get_le(off, 4)) +
                        "\",\"magic\":\"0x2183ba9d\",\"meta_offset\": " + std::to_string(off) +
                        ",\"shards\":[";
        const char *sep = "";
        for (unsigned slot = 1; slot < 512; slot++) {
            const uint64_t lo = d.img.get_le(off + 8 * slot, 4), hi = d.img.get_le(off + 8 * slot + 4, 4);
            if (!keep(lo))
                continue;
            s += sep;
            s += slot_json(lo, hi, p * 512 + slot);
            sep = ",";
        }
        return s + "]}";
    }
};

TEST_F(DumpV3, SuperBlock) {
    ToolRun r = tool({"-c", "dump_super"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, v3_super_json(d.img, d.g) + "\n");
}

TEST_F(DumpV3, AllBricksWithTheErrorObjectOfABadRecord) {
    ToolRun r = tool({"-c", "dump_brick"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              array({brick(0), brick(1), err_obj(14, "bi_no", 2, d.g.brick_off + 2 * kBlk), brick(3)}) +
                  "\n");
    EXPECT_NE(r.err.find("no:2, brick no: 2 magic: 0x42584b69"), std::string::npos) << r.err;
    // The failed record goes to the log in its dump form, with offset 0.
    EXPECT_NE(log().find(brick_json(d.img, d.g.brick_off + 2 * kBlk, d.bricks[2], kV3BrickMagic, 0)),
              std::string::npos);
}

TEST_F(DumpV3, SingleRecordsAndTableBounds) {
    ToolRun r = tool({"-c", "dump_brick", "-n", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, brick(3) + "\n");

    r = tool({"-c", "dump_inode", "-n", "0x1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, inode(1) + "\n");
    EXPECT_NE(r.out.find("\"size\":18446744073709551615"), std::string::npos);

    r = tool({"-c", "dump_brick", "-n", "2"}); // fails its check
    EXPECT_EQ(r.status, 14);
    EXPECT_EQ(r.out, "");

    r = tool({"-c", "dump_inode", "-n", "5"}); // stored number 9 in slot 5
    EXPECT_EQ(r.status, 14);

    r = tool({"-c", "dump_brick", "-n", "4"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("invalid bi_no 4, max cnt:4"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    r = tool({"-c", "dump_extent", "-n", "2"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("invalid extent_no 2, max cnt:2"), std::string::npos) << r.err;
}

TEST_F(DumpV3, BrickFilters) {
    struct Case {
        std::string filter;
        std::vector<std::string> expect;
    } cases[] = {
        {"use=0", {brick(1), err_obj(14, "bi_no", 2, d.g.brick_off + 2 * kBlk)}},
        {"use=1,error=0", {brick(0), brick(3)}},
        {"error=1", {err_obj(14, "bi_no", 2, d.g.brick_off + 2 * kBlk)}},
        {"id=" + brick_id(3) + ",error=0", {brick(3)}},
        {"id=/nothing,error=0", {}},
    };
    for (const Case &c : cases) {
        ToolRun r = tool({"-c", "dump_brick", "-g", c.filter});
        EXPECT_EQ(r.status, 0) << c.filter << r.err;
        EXPECT_EQ(r.out, array(c.expect) + "\n") << c.filter;
    }
}

TEST_F(DumpV3, InodeFilters) {
    ToolRun r = tool({"-c", "dump_inode"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, array({inode(0), inode(1), inode(2), inode_err(3), inode(4), inode_err(5), inode_err(6),
                            inode_err(7)}) +
                         "\n");

    r = tool({"-c", "dump_inode", "-g", "use=1,owner=3,error=0"});
    EXPECT_EQ(r.out, array({inode(1), inode(4)}) + "\n");
    r = tool({"-c", "dump_inode", "-g", "error=1"});
    EXPECT_EQ(r.out, array({inode_err(3), inode_err(5), inode_err(6), inode_err(7)}) + "\n");
    r = tool({"-c", "dump_inode", "-g", "id=" + uuid_text(d.inodes[4].uuid) + ",error=0"});
    EXPECT_EQ(r.out, array({inode(4)}) + "\n");
    r = tool({"-c", "dump_inode", "-g", "owner=99,error=0"});
    EXPECT_EQ(r.out, "[]\n");
    // Dropped records are logged at debug level, shown on stderr with -D.
    r = tool({"-D", "-c", "dump_inode", "-g", "owner=99,error=0"});
    EXPECT_NE(r.err.find("ignore inode 0, i_use:1, i_uuid:" + uuid_text(d.inodes[0].uuid) + ", i_brick_no:0"),
              std::string::npos)
        << r.err;
}

TEST_F(DumpV3, ExtentPages) {
    const std::string bad_page = err_obj(14, "extent_no", 1, d.g.extent_off + kBlk);
    ToolRun r = tool({"-c", "dump_extent"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, array({extent_page0([](uint64_t) { return true; }), bad_page}) + "\n");
    EXPECT_NE(r.err.find("extent no: 1, crc_ondisk: 0x"), std::string::npos) << r.err;

    r = tool({"-c", "dump_extent", "-g", "use=1"});
    EXPECT_EQ(r.out, array({extent_page0([](uint64_t w) { return (w >> 56 & 1) != 0; }), bad_page}) + "\n");
    EXPECT_NE(r.out.find("\"eno\":511"), std::string::npos);
    r = tool({"-c", "dump_extent", "-g", "owner=1,error=0"});
    EXPECT_EQ(r.out,
              array({extent_page0([](uint64_t w) { return (w >> 56 & 1) && (w >> 20 & 0x7ffff) == 1; })}) +
                  "\n");
    r = tool({"-c", "dump_extent", "-g", "owner=12345,error=0"});
    EXPECT_EQ(r.out, "[]\n");

    r = tool({"-c", "dump_extent", "-n", "0", "-g", "owner=12345"}); // one page: printed even when empty
    EXPECT_EQ(r.out, extent_page0([](uint64_t) { return false; }) + "\n");
    r = tool({"-c", "dump_extent", "-n", "1"});
    EXPECT_EQ(r.status, 14);
}

TEST_F(DumpV3, ShardPages) {
    ToolRun r = tool({"-c", "dump_shard"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, array({shard_page(0, [](uint64_t) { return true; }),
                            shard_page(1, [](uint64_t) { return true; })}) +
                         "\n");
    r = tool({"-c", "dump_shard", "-g", "use=1"}); // page 1 has no shard in use: left out
    EXPECT_EQ(r.out, array({shard_page(0, [](uint64_t lo) { return (lo >> 18 & 1) != 0; })}) + "\n");
    EXPECT_NE(r.out.find("{\"ino\":262143,\"in_use\":1,\"reserved\":8191,\"sno\":511,\"index\":4294967295}"),
              std::string::npos);
    r = tool({"-c", "dump_shard", "-g", "owner=3"});
    EXPECT_EQ(r.out,
              array({shard_page(0, [](uint64_t lo) { return (lo & 0x3ffff) == 3 && (lo >> 18 & 1); })}) +
                  "\n");

    // A page with a wrong magic fails its check.
    d.img.put32(d.g.shard_off + kBlk + 4, 0x12345678);
    d.img.write(dev);
    r = tool({"-c", "dump_shard", "-g", "use=1"});
    EXPECT_EQ(r.out, array({shard_page(0, [](uint64_t lo) { return (lo >> 18 & 1) != 0; }),
                            err_obj(14, "shard_no", 1, d.g.shard_off + kBlk)}) +
                         "\n");
    EXPECT_NE(r.err.find("shard no: 1, magic_ondisk: 0x12345678 magic: 0x2183ba9d"), std::string::npos)
        << r.err;
}

TEST_F(DumpV3, HotPagesAndOutputFile) {
    const std::string out = dir.path() + "/out.json";
    ToolRun r = tool({"-c", "dump_hot", "-o", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(out), array({"{\"meta_offset\":" + std::to_string(d.g.hot_off) + "}",
                                     "{\"meta_offset\":" + std::to_string(d.g.hot_off + kBlk) + "}"}) +
                                  "\n");
    r = tool({"-c", "dump_hot", "-g", "error=1"});
    EXPECT_EQ(r.out, "[]\n");
    r = tool({"-c", "dump_hot", "-o", dir.path() + "/no/such/dir/out"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("open path " + dir.path() + "/no/such/dir/out failed:"), std::string::npos) << r.err;
}

// A device cut short after the inode table: unreadable units print error
// objects with EIO and the dump still succeeds.
TEST_F(DumpV3, UnreadableUnitsPrintEioObjects) {
    ASSERT_EQ(truncate(dev.c_str(), static_cast<off_t>(d.g.inode_off + 6 * kBlk)), 0);
    ToolRun r = tool({"-c", "dump_inode", "-g", "error=1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, array({inode_err(3), inode_err(5), err_obj(5, "no", 6, d.g.inode_off + 6 * kBlk),
                            err_obj(5, "no", 7, d.g.inode_off + 7 * kBlk)}) +
                         "\n");
    r = tool({"-c", "dump_inode", "-n", "7"});
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(r.err.find("read no 7 failed:"), std::string::npos) << r.err;
}

// Any bytes in the tables (with a good super block) give valid JSON.
TEST_F(DumpV3, GarbageTablesStillGiveValidJson) {
    std::mt19937_64 rng(1234);
    for (uint64_t off = d.g.brick_off; off < d.g.data_off; off += 8)
        d.img.put64(off, rng());
    // A brick whose id holds quotes, escapes, control bytes and no NUL, with
    // a good checksum so that it is printed.
    std::string id(128, 'x');
    for (int i = 0; i < 128; i++)
        id[i] = static_cast<char>(i * 37 + 1);
    put_brick(d.img, d.g.brick_off, kV3BrickMagic, {1, 0, uuid_of(1), id, 0xffffffff, 0});
    d.img.write(dev);
    for (const char *cmd : {"dump_brick", "dump_inode", "dump_extent", "dump_shard", "dump_hot"}) {
        ToolRun r = tool({"-c", cmd});
        EXPECT_EQ(r.status, 0) << cmd << r.err;
        EXPECT_TRUE(valid_json(r.out)) << cmd << r.out;
    }
    ToolRun r = tool({"-c", "dump_brick", "-n", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(valid_json(r.out)) << r.out;
    EXPECT_NE(r.out.find("\"bi_unlink\":4294967295"), std::string::npos) << r.out;
}

class DumpV2 : public OnDevice<TierToolTest, V12Dev, make_v2> {
protected:
    std::string inode(size_t i, uint64_t off) {
        return inode_json(d.img, off, d.inodes[i], kV12InodeMagic, false, static_cast<long>(off));
    }
    std::string extent(unsigned no) {
        const uint64_t off = d.g.extent_start() + no * kBlk;
        return v2_extent_json(d.img, off, d.extents[no], d.g, static_cast<long>(off));
    }
};

TEST_F(DumpV2, SuperBlockBricksAndExtents) {
    ToolRun r = tool({"-c", "dump_super"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, v12_super_json(d.img, d.g, false) + "\n");

    r = tool({"-c", "dump_brick", "-n", "0"});
    EXPECT_EQ(r.out,
              brick_json(d.img, d.g.brick_start(), d.bricks[0], kV12BrickMagic, d.g.brick_start()) + "\n");

    const std::string bad = err_obj(14, "te_no", 3, d.g.extent_start() + 3 * kBlk);
    r = tool({"-c", "dump_extent"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, array({extent(0), extent(1), extent(2), bad}) + "\n");
    EXPECT_NE(r.out.find("\"te_sampling_low\":\"44332211\""), std::string::npos);
    EXPECT_NE(r.err.find("extent no: 3, checksum: 0x"), std::string::npos) << r.err;
    r = tool({"-c", "dump_extent", "-g", "owner=3"});
    EXPECT_EQ(r.out, array({extent(1), bad}) + "\n");
    r = tool({"-c", "dump_extent", "-g", "use=0,error=0"});
    EXPECT_EQ(r.out, array({extent(2)}) + "\n");
}

TEST_F(DumpV2, InodesIncludingTheExpansionArea) {
    const uint64_t exp = d.g.exp_start(), last_off = exp + (153600 - 1) * kBlk;
    ToolRun r = tool({"-c", "dump_inode", "-g", "error=0"});
    EXPECT_EQ(r.status, 0);
    const uint64_t in0 = d.g.inode_start();
    EXPECT_EQ(r.out, "{ \"inode\":" + array({inode(0, in0), inode(1, in0 + kBlk), inode(2, in0 + 2 * kBlk)}) +
                         ", \"exp_inode\":" + array({inode(4, exp), inode(5, last_off)}) + "}\n");
    EXPECT_TRUE(valid_json(r.out));

    r = tool({"-c", "dump_inode", "-n", "8"}); // the first expansion inode
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, inode(4, exp) + "\n");
    r = tool({"-c", "dump_inode", "-n", "153607"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, inode(5, last_off) + "\n");
    r = tool({"-c", "dump_inode", "-n", "153608"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("invalid no 153608, max cnt:153600"), std::string::npos) << r.err;
}

TEST_F(DumpV2, WithoutExpansionAreaOnlyTheMainTable) {
    d = make_v2(false);
    d.img.write(dev);
    ToolRun r = tool({"-c", "dump_inode", "-g", "use=1,error=0"});
    EXPECT_EQ(r.status, 0) << r.err;
    const uint64_t in0 = d.g.inode_start();
    EXPECT_EQ(r.out, "{ \"inode\":" + array({inode(0, in0), inode(1, in0 + kBlk)}) + "}\n");
    r = tool({"-c", "dump_inode", "-n", "8"});
    EXPECT_EQ(r.status, 22);
    EXPECT_NE(r.err.find("exp inode not format, invalid inode 8"), std::string::npos) << r.err;
}

// A super block with a good checksum but impossible geometry (extent and
// mapped-meta sizes past the record) is dumped without reading past records.
TEST_F(DumpV2, ImpossibleGeometryStaysInsideTheRecord) {
    d.g.extent_size = 4000;
    d.g.map_cnt = 64;
    put_v12_super(d.img, d.g, false);
    d.img.write(dev);
    ToolRun r = tool({"-c", "dump_extent"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(valid_json(r.out)) << r.out;
}

using DumpV1 = OnDevice<TierToolTest, V12Dev, make_v1>;

TEST_F(DumpV1, SuperBlockInodesAndExtents) {
    ToolRun r = tool({"-c", "dump_super"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, v12_super_json(d.img, d.g, true) + "\n");

    const uint64_t in1 = d.g.inode_start() + kBlk;
    r = tool({"-c", "dump_inode", "-n", "1"});
    EXPECT_EQ(r.out,
              inode_json(d.img, in1, d.inodes[1], kV12InodeMagic, true, static_cast<long>(in1)) + "\n");

    const uint64_t ex = d.g.extent_start();
    r = tool({"-c", "dump_extent"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, array({v1_extent_json(d.img, ex, d.extents[0], static_cast<long>(ex)),
                            v1_extent_json(d.img, ex + kBlk, d.extents[1], static_cast<long>(ex + kBlk)),
                            err_obj(14, "te_no", 2, ex + 2 * kBlk), err_obj(14, "te_no", 3, ex + 3 * kBlk)}) +
                         "\n");
    EXPECT_NE(r.out.find("\"te_no\":0,\"meta_offset\":" + std::to_string(ex) +
                         ",\"te_bitmap\":\"0xffffffffffffffff 0x0000000000000000 0x0123456789abcdef "
                         "0x8000000000000000 \"}"),
              std::string::npos)
        << r.out;
}

TEST_F(DumpV1, ImpossibleExtentSizeStaysInsideTheRecord) {
    for (uint32_t size : {0u, 40u, 5000u, 0xffffffffu}) {
        d.g.extent_size = size;
        put_v12_super(d.img, d.g, true);
        d.img.write(dev);
        ToolRun r = tool({"-c", "dump_extent"});
        EXPECT_EQ(r.status, 0) << size << r.err;
        EXPECT_TRUE(valid_json(r.out)) << r.out;
    }
}

TEST_F(DumpV1, CommandsAVersionLacks) {
    for (auto dev_of : {+[] { return make_v1(); }, +[] { return make_v2(false); }}) {
        V12Dev v = dev_of();
        v.img.write(dev);
        for (const char *cmd : {"dump_shard", "dump_hot", "repair_shard"}) {
            ToolRun r = tool({"-c", cmd});
            EXPECT_EQ(r.status, 22) << cmd;
            EXPECT_NE(r.err.find(std::string("not support cmd:") + cmd), std::string::npos) << r.err;
        }
    }
    ToolRun r = tool({"-c", "dump_shard"}); // the v2 device
    EXPECT_NE(r.err.find("version V2 not support cmd:dump_shard"), std::string::npos) << r.err;
}

} // namespace
