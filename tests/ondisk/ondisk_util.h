// Expected images of the on-disk records of an instance, laid out by hand
// from the format tables (never through the code under test).
#ifndef TAV_TEST_ONDISK_UTIL_H
#define TAV_TEST_ONDISK_UTIL_H

#include <stdint.h>

#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ondisk {

constexpr uint64_t MiB = 1048576;

// Where the regions of a formatted device lie.
struct Layout {
    uint64_t inode_blocks, first_bitmap, bitmap_blocks, first_data;
};
Layout layout_of(uint64_t blocks, uint64_t groups);

// The 4096-byte superblock page the format tables describe.
struct SbFields {
    uint64_t version = 2, generation = 0, blocks = 0, groups = 8, state = 0;
    uint64_t active = 1, crash = 0, ts_modify = 0, ts_fsck = 0, ts_format = 0;
    uint64_t fsck_interval = 2592000, crash_limit = 100;
    std::string path;
};
std::vector<uint8_t> expected_sb_page(const SbFields &f);
// Writes the page of `f` as both superblock copies of the device file.
void write_sb_copies(const std::string &device, const SbFields &f);

// An empty zone-map page: magic, checksum of 4080 zero bytes, zero map.
std::vector<uint8_t> expected_zmap_page(const uint8_t *map4080 = nullptr);

// Runs of blocks: first block, count.
using Runs = std::vector<std::pair<uint64_t, uint64_t>>;
// The zone-map blocks (bitmap_blocks MiB) in the version-1 encoding (one bit
// per block, 32640 blocks a page) with the blocks of `used` set.
std::vector<uint8_t> v1_zmap_image(uint64_t bitmap_blocks, const Runs &used);
// The same in the version-2 encoding: byte b of `bytes` for block b, zero
// beyond.
std::vector<uint8_t> v2_zmap_image(uint64_t bitmap_blocks, const std::vector<uint8_t> &bytes);

// Rewrites the instance formatted on `device` (`blocks`, `groups`) as
// version 1, with both superblock copies at generation 0 and an old map that
// has the blocks of `used` set; returns the zone-map blocks as written.
std::vector<uint8_t> make_v1_instance(const std::string &device, uint64_t blocks, uint64_t groups,
                                      const Runs &used);
// The zone-map blocks an upgrade of that instance must leave: every block of
// `used` inside the data area in use, every other block free.
std::vector<uint8_t> upgraded_zmap_image(uint64_t blocks, uint64_t groups, const Runs &used);

// An inode page (one copy).
struct InodeFields {
    uint64_t ino = 0, state = 4, generation = 0, type = 0, blkmap_type = 0, time = 0, mode = 0;
    std::array<uint8_t, 16> gfid{};
    std::array<uint64_t, 16> extents{};
};
std::vector<uint8_t> expected_inode_page(const InodeFields &f);
// Writes the page as the copy its generation selects (odd: A) of slot ino.
void write_inode(const std::string &device, const InodeFields &f);

// A 1 MiB extent block of BLOCK maps (64-byte version-1 entries): entry
// iblock maps `maps[iblock]`; every other entry is empty.
std::vector<uint8_t> block_extent_image(const std::map<uint64_t, uint64_t> &maps);
// A 1 MiB extent block of SLICE_V2 maps (16-byte entries): entry
// iblock * 8 + islice maps (pblock, pslice).
std::vector<uint8_t> slice_v2_extent_image(const std::map<uint64_t, std::pair<uint64_t, int>> &maps);
// The same with SLICE maps (64-byte version-1 entries of type 1).
std::vector<uint8_t> slice_v1_extent_image(const std::map<uint64_t, std::pair<uint64_t, int>> &maps);

} // namespace ondisk

#endif
