#include "ondisk_util.h"

#include <md5.h>
#include <string.h>

#include <algorithm>

#include "support/bytes.h"
#include "support/device.h"

namespace ondisk {

using tavtest::put16;
using tavtest::put32;
using tavtest::put64;
using tavtest::xxh64_1011;

Layout layout_of(uint64_t blocks, uint64_t groups) {
    Layout l;
    l.inode_blocks = groups * 16384 * 4096 * 2 / MiB;
    l.first_bitmap = 1 + l.inode_blocks;
    const uint64_t pages = (blocks + 4079) / 4080;
    l.bitmap_blocks = std::max<uint64_t>(32, (pages + 255) / 256);
    l.first_data = l.first_bitmap + l.bitmap_blocks + 1;
    return l;
}

std::vector<uint8_t> expected_sb_page(const SbFields &f) {
    std::vector<uint8_t> pg(4096, 0);
    uint8_t *p = pg.data();
    memcpy(p + 8, "_TAVSB_", 8); // with its terminating zero
    put64(p + 16, f.version);
    put64(p + 24, f.generation);
    put64(p + 32, 464);
    put32(p + 40, 1);
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const uint8_t *>(f.path.data()), f.path.size());
    MD5Final(p + 48, &ctx);
    const Layout l = layout_of(f.blocks, f.groups);
    put64(p + 64, f.state);
    put64(p + 72, MiB);
    put64(p + 80, f.blocks);
    put64(p + 88, 1);
    put64(p + 96, l.inode_blocks);
    put64(p + 104, l.first_bitmap);
    put64(p + 112, l.bitmap_blocks);
    put64(p + 120, l.first_data);
    put64(p + 128, 16384 * f.groups);
    put64(p + 136, 4096);
    put64(p + 144, 16384);
    put64(p + 152, f.active);
    put64(p + 160, f.groups);
    put64(p + 168, f.ts_modify);
    put64(p + 176, f.ts_fsck);
    put64(p + 184, f.ts_format);
    put64(p + 192, f.fsck_interval);
    put64(p + 200, f.crash);
    put64(p + 208, f.crash_limit);
    put64(p, xxh64_1011(p + 8, 4088));
    return pg;
}

void write_sb_copies(const std::string &device, const SbFields &f) {
    auto page = expected_sb_page(f);
    tavtest::write_file_bytes(device, 0x10000, page.data(), page.size());
    tavtest::write_file_bytes(device, 0x12000, page.data(), page.size());
}

std::vector<uint8_t> expected_zmap_page(const uint8_t *map) {
    std::vector<uint8_t> pg(4096, 0);
    memcpy(pg.data(), "_blkbmp_", 8);
    if (map)
        memcpy(pg.data() + 16, map, 4080);
    put64(pg.data() + 8, xxh64_1011(pg.data() + 16, 4080));
    return pg;
}

namespace {

// Fills in the magic and checksum of every page of a zone-map image whose
// maps (bytes 16..4095 of each page) are already set.
void seal_zmap_pages(std::vector<uint8_t> &img) {
    for (size_t off = 0; off < img.size(); off += 4096) {
        memcpy(&img[off], "_blkbmp_", 8);
        put64(&img[off + 8], xxh64_1011(&img[off + 16], 4080));
    }
}

} // namespace

std::vector<uint8_t> v1_zmap_image(uint64_t bitmap_blocks, const Runs &used) {
    std::vector<uint8_t> img(bitmap_blocks * MiB, 0);
    const uint64_t per_page = 4080 * 8, pages = bitmap_blocks * 256;
    for (const auto &[first, count] : used)
        for (uint64_t b = first; b < first + count && b / per_page < pages; b++)
            img[b / per_page * 4096 + 16 + b % per_page / 8] |= static_cast<uint8_t>(1u << (b % 8));
    seal_zmap_pages(img);
    return img;
}

std::vector<uint8_t> v2_zmap_image(uint64_t bitmap_blocks, const std::vector<uint8_t> &bytes) {
    std::vector<uint8_t> img(bitmap_blocks * MiB, 0);
    for (uint64_t b = 0; b < bytes.size() && b / 4080 < bitmap_blocks * 256; b++)
        img[b / 4080 * 4096 + 16 + b % 4080] = bytes[b];
    seal_zmap_pages(img);
    return img;
}

std::vector<uint8_t> make_v1_instance(const std::string &device, uint64_t blocks, uint64_t groups,
                                      const Runs &used) {
    SbFields f;
    f.version = 1;
    f.blocks = blocks;
    f.groups = groups;
    f.path = device;
    f.ts_fsck = f.ts_format = tavtest::now_ns();
    write_sb_copies(device, f);
    const Layout l = layout_of(blocks, groups);
    auto img = v1_zmap_image(l.bitmap_blocks, used);
    tavtest::write_file_bytes(device, l.first_bitmap * MiB, img.data(), img.size());
    return img;
}

std::vector<uint8_t> upgraded_zmap_image(uint64_t blocks, uint64_t groups, const Runs &used) {
    const Layout l = layout_of(blocks, groups);
    std::vector<uint8_t> bytes(blocks, 0);
    for (const auto &[first, count] : used)
        for (uint64_t b = first; b < first + count; b++)
            if (b >= l.first_data && b < blocks)
                bytes[b] = 0xFF;
    return v2_zmap_image(l.bitmap_blocks, bytes);
}

std::vector<uint8_t> expected_inode_page(const InodeFields &f) {
    std::vector<uint8_t> p(4096, 0);
    memcpy(p.data() + 8, "_TAVINO_", 8);
    put64(p, 16, 1); // version
    put64(p, 24, f.generation);
    put64(p, 32, 464); // length
    put32(p, 40, 2);   // TAV_META_INODE
    put64(p, 48, f.ino);
    put64(p, 56, f.state);
    memcpy(p.data() + 64, f.gfid.data(), 16);
    put64(p, 80, f.type);
    put64(p, 88, f.mode);
    put64(p, 136, f.time); // i_atime
    put64(p, 144, f.time); // i_ctime
    put64(p, 152, f.time); // i_mtime
    for (size_t k = 0; k < 16; k++)
        put64(p, 208 + 8 * k, f.extents[k]);
    put64(p, 496, f.blkmap_type);
    put64(p, 0, xxh64_1011(p.data() + 8, 4088));
    return p;
}

void write_inode(const std::string &device, const InodeFields &f) {
    auto page = expected_inode_page(f);
    const uint64_t slot = MiB + f.ino * 8192;
    tavtest::write_file_bytes(device, slot + ((f.generation & 1) ? 0 : 4096), page.data(), page.size());
}

std::vector<uint8_t> block_extent_image(const std::map<uint64_t, uint64_t> &maps) {
    std::vector<uint8_t> img(MiB, 0);
    for (uint64_t n = 0; n < MiB / 64; n++) {
        uint8_t *e = &img[n * 64];
        auto it = maps.find(n);
        memcpy(e, "_blkmap_", 8);
        put32(e + 12, it == maps.end() ? 1 : 2); // INIT or MAPPED
        put64(e + 16, it == maps.end() ? 0 : it->second);
        put16(e + 24, 0xFFFF);
        put16(e + 26, 0); // BLOCK
        put32(e + 8, static_cast<uint32_t>(xxh64_1011(e + 12, 52)));
    }
    return img;
}

std::vector<uint8_t> slice_v2_extent_image(const std::map<uint64_t, std::pair<uint64_t, int>> &maps) {
    std::vector<uint8_t> img(MiB, 0);
    for (uint64_t n = 0; n < MiB / 16; n++) {
        uint8_t *e = &img[n * 16];
        auto it = maps.find(n);
        e[4] = it == maps.end() ? 1 : 2;
        e[5] = it == maps.end() ? 0xFF : static_cast<uint8_t>(it->second.second);
        put32(e + 8, it == maps.end() ? 0 : static_cast<uint32_t>(it->second.first));
        put32(e, static_cast<uint32_t>(xxh64_1011(e + 4, 12)));
    }
    return img;
}

std::vector<uint8_t> slice_v1_extent_image(const std::map<uint64_t, std::pair<uint64_t, int>> &maps) {
    std::vector<uint8_t> img(MiB, 0);
    for (uint64_t n = 0; n < MiB / 64; n++) {
        uint8_t *e = &img[n * 64];
        auto it = maps.find(n);
        memcpy(e, "_blkmap_", 8);
        put32(e + 12, it == maps.end() ? 1 : 2); // INIT or MAPPED
        put64(e + 16, it == maps.end() ? 0 : it->second.first);
        put16(e + 24, it == maps.end() ? 0xFFFF : static_cast<uint16_t>(it->second.second));
        put16(e + 26, 1); // SLICE
        put32(e + 8, static_cast<uint32_t>(xxh64_1011(e + 12, 52)));
    }
    return img;
}

} // namespace ondisk
