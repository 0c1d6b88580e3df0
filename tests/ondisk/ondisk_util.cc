#include "ondisk_util.h"

#include <md5.h>
#include <string.h>

#include <algorithm>

#include "support/bytes.h"

namespace ondisk {

using tavtest::put32;
using tavtest::put64;
using tavtest::xxh64_1011;

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
    const uint64_t inode_blocks = f.groups * 16384 * 4096 * 2 / MiB;
    const uint64_t first_bitmap = 1 + inode_blocks;
    const uint64_t pages = (f.blocks + 4079) / 4080;
    const uint64_t bitmap_blocks = std::max<uint64_t>(32, (pages + 255) / 256);
    put64(p + 64, f.state);
    put64(p + 72, MiB);
    put64(p + 80, f.blocks);
    put64(p + 88, 1);
    put64(p + 96, inode_blocks);
    put64(p + 104, first_bitmap);
    put64(p + 112, bitmap_blocks);
    put64(p + 120, first_bitmap + bitmap_blocks + 1);
    put64(p + 128, 16384 * f.groups);
    put64(p + 136, 4096);
    put64(p + 144, 16384);
    put64(p + 152, f.active);
    put64(p + 160, f.groups);
    put64(p + 168, f.ts_modify);
    put64(p + 176, f.ts_fsck);
    put64(p + 184, f.ts_format);
    put64(p + 192, 2592000);
    put64(p + 200, f.crash);
    put64(p + 208, 100);
    put64(p, xxh64_1011(p + 8, 4088));
    return pg;
}

std::vector<uint8_t> expected_zmap_page(const uint8_t *map) {
    std::vector<uint8_t> pg(4096, 0);
    memcpy(pg.data(), "_blkbmp_", 8);
    if (map)
        memcpy(pg.data() + 16, map, 4080);
    put64(pg.data() + 8, xxh64_1011(pg.data() + 16, 4080));
    return pg;
}

} // namespace ondisk
