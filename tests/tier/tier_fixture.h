// Test fixtures for hx_tier: cache device images built byte by byte from the
// tier metadata format tables (independently of the tool), the values each
// record was built from, their expected JSON dump forms, and a runner that
// starts the tool as a process.
#ifndef TIER_FIXTURE_H
#define TIER_FIXTURE_H

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tiertest {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kBlk = 4096;

// CRC-32 computed bit by bit from its definition: the reference the tool's
// checksums are compared against.
uint32_t crc32(const void *p, size_t n);

// A sparse device image made of 4096-byte blocks.
class Image {
public:
    explicit Image(uint64_t size) : size_(size) {}
    void put(uint64_t off, const void *p, size_t n);
    void put_le(uint64_t off, uint64_t v, unsigned bytes);
    void put8(uint64_t off, uint8_t v) { put_le(off, v, 1); }
    void put16(uint64_t off, uint16_t v) { put_le(off, v, 2); }
    void put32(uint64_t off, uint32_t v) { put_le(off, v, 4); }
    void put64(uint64_t off, uint64_t v) { put_le(off, v, 8); }
    std::vector<uint8_t> get(uint64_t off, size_t n) const;
    uint64_t get_le(uint64_t off, unsigned bytes) const;
    uint32_t crc(uint64_t off, size_t n) const {
        auto b = get(off, n);
        return crc32(b.data(), n);
    }
    void write(const std::string &path) const;
    uint64_t size() const { return size_; }

private:
    uint64_t size_;
    std::map<uint64_t, std::array<uint8_t, kBlk>> blocks_;
};

using Uuid = std::array<uint8_t, 16>;
Uuid uuid_of(uint8_t seed);           // seed, seed+1, ... seed+15
std::string uuid_text(const Uuid &u); // lower-case 36 characters
std::string utc_text(uint64_t ns);    // "%Y-%m-%d %H:%M:%S" of ns / 10^9 in UTC
std::string hex(uint64_t v);          // "0x..." lower case

constexpr const char *kCdevUuid = "abcdef-0123-4567-89ab-cdef-0123-456789"; // 38 characters
std::string brick_id(uint8_t seed);                                         // a used brick's 93-character id

// ---- records shared by the versions

struct BrickVals {
    uint32_t use = 1, no = 0;
    Uuid uuid{};
    std::string id;
    uint32_t unlink = 0, reserved = 0;
};
// Writes the brick at `off` with its CRC (spoiled when `bad_crc`).
void put_brick(Image &img, uint64_t off, uint32_t magic, const BrickVals &b, bool bad_crc = false);
std::string brick_json(const Image &img, uint64_t off, const BrickVals &b, uint32_t magic, long meta_offset);

struct InodeVals {
    uint64_t atime = 0, ctime = 0, mtime = 0, dtime = 0;
    Uuid uuid{};
    uint64_t size = 0;
    uint32_t priority = 0, no = 0, brick_no = 0;
    uint16_t unlink = 0, use = 1;
    uint64_t w80 = 0, w88 = 0; // new_data, i_blocks (v2, v3) or the v1 reserved words
};
void put_inode(Image &img, uint64_t off, uint32_t magic, const InodeVals &in, bool bad_crc = false);
// v1 prints "reserved1"/"reserved2" where v2/v3 print "new_data"/"blocks".
std::string inode_json(const Image &img, uint64_t off, const InodeVals &in, uint32_t magic, bool v1,
                       long meta_offset);
// The repair form of an inode (keys with "i_" prefix, times as numbers).
std::string inode_repair_json(const InodeVals &in, bool v1);

// ---- v3

struct V3Geo {
    uint64_t brick_off = kMiB + kBlk, brick_cnt = 4;
    uint64_t inode_off = brick_off + 4 * kBlk, inode_cnt = 8;
    uint64_t shard_off = inode_off + 8 * kBlk, shard_cnt = 1024; // 2 pages
    uint64_t hot_off = shard_off + 2 * kBlk, hot_size = 2 * kBlk;
    uint64_t extent_off = hot_off + 2 * kBlk, extent_cnt = 1024; // 2 pages
    uint64_t data_off = extent_off + 2 * kBlk, block_size = 8192, block_cnt = 16;
    uint64_t ctime = 1700000000123456789ull;
    Uuid uuid = uuid_of(0x10);
    uint64_t end() const { return data_off + block_size * block_cnt; }
};
constexpr uint32_t kV3SbMagic = 0xcacbdcbd, kV3BrickMagic = 0x42584b69, kV3InodeMagic = 0x498e4f54,
                   kShardMagic = 0x2183ba9d;
void put_v3_super(Image &img, const V3Geo &g);
std::string v3_super_json(const Image &img, const V3Geo &g);

struct ExtEntry { // one v3 extent entry (in_use set by the caller's choice)
    unsigned e;
    uint32_t lba, shard, dirty, bitmap, in_use, sense, demote, dm_err, reserved;
};
uint64_t ext_word(const ExtEntry &x);
// Writes a v3 extent page with its CRC spread over bit 0 of entries 0..31.
void put_extent_page(Image &img, uint64_t off, const std::vector<ExtEntry> &entries, bool bad_crc = false);
uint32_t extent_page_crc(const Image &img, uint64_t off); // the CRC spelled by the page

struct ShardSlot {
    unsigned s;
    uint32_t ino, in_use, reserved, index;
};
void put_shard_page(Image &img, uint64_t off, const std::vector<ShardSlot> &slots, bool bad_crc = false);

// The v3 test device: records listed in tier_fixture.cc.
struct V3Dev {
    V3Geo g;
    Image img{0};
    std::vector<BrickVals> bricks; // slots 0..3 (slot 2 has a bad CRC)
    std::vector<InodeVals> inodes; // slots 0..4 good or bad as documented
};
V3Dev make_v3();

// ---- v1 and v2

struct V12Geo {
    uint32_t sb_size = 0x100000, brick_cnt = 4, inode_cnt = 8, block_size = 0x40000, block_cnt = 4;
    uint32_t extent_size = 72;
    uint64_t ctime = 1600000000000000000ull;
    Uuid uuid = uuid_of(0x20);
    // v2 only
    uint16_t exp_magic = 0x4558;
    uint8_t exp_area = 6, exp_inuse = 0x53;
    uint32_t min_alloc = 65536, map_cnt = 4, mapped_meta = 16, hot = 64;

    uint64_t brick_table_size() const { return uint64_t{brick_cnt} * kBlk; }
    uint64_t brick_start() const { return 4096 + uint64_t{sb_size}; }
    uint64_t inode_start() const { return brick_start() + brick_table_size(); }
    uint64_t inode_table_size() const; // up to the next 1 MiB boundary
    uint64_t extent_start() const { return inode_start() + inode_table_size(); }
    uint64_t extent_table_size() const { return uint64_t{block_cnt} * kBlk; }
    uint64_t data_off() const;
    uint64_t exp_start() const { return data_off() + uint64_t{block_size} * block_cnt + kMiB; }
    uint32_t total_extent_size() const { return extent_size + map_cnt * mapped_meta + hot; }
};
constexpr uint32_t kV12SbMagic = 0xcacbcccd, kV12BrickMagic = 0x42524b49, kV12InodeMagic = 0x494e4f44;
void put_v12_super(Image &img, const V12Geo &g, bool v1);
std::string v12_super_json(const Image &img, const V12Geo &g, bool v1);

struct MapVals {
    unsigned slot;
    uint64_t offset;
    uint32_t clean, orig_len;
    uint16_t begin, cnt;
};
struct ExtVals {
    uint32_t block = 0;
    uint64_t size = 0;
    uint32_t inode_no = 0, s_low = 0, s_mid = 0, s_high = 0;
    uint16_t use = 1, clean = 0;
    uint32_t ntime = 0;
    uint64_t hot = 0, no = 0;
    std::vector<uint64_t> bitmap;
    std::vector<MapVals> maps; // v2
};
// `crc_end`: the checksum covers bytes 4 .. crc_end - 1.
void put_extent_rec(Image &img, uint64_t off, const ExtVals &x, const V12Geo &g, uint32_t crc_end,
                    bool bad_crc = false);
std::string v1_extent_json(const Image &img, uint64_t off, const ExtVals &x, long meta_offset);
std::string v2_extent_json(const Image &img, uint64_t off, const ExtVals &x, const V12Geo &g,
                           long meta_offset);

struct V12Dev {
    V12Geo g;
    Image img{0};
    std::vector<BrickVals> bricks;
    std::vector<InodeVals> inodes; // main table slots 0..3, then the expansion inodes
    std::vector<ExtVals> extents;  // slots 0..2
};
V12Dev make_v2(bool exp_area);
inline V12Dev make_v2() {
    return make_v2(true);
}
V12Dev make_v1();

// ---- running the tool

struct ToolRun {
    int status = -1;
    std::string out, err;
};
// Runs hx_tier with TZ=UTC; "-l <dir>/hx_tier.log" is put first when `log`.
ToolRun run_tool(const std::string &dir, const std::vector<std::string> &args, bool log = true);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
std::vector<uint8_t> read_bytes(const std::string &path, uint64_t off, size_t n);

} // namespace tiertest

#endif
