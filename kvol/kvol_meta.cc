// Volume metadata: record checksums, copy choice, load and store.
#include "kvol_meta.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <uuid/uuid.h>

#include "kvol_badtrack.h"
#include "kvol_crc.h"
#include "kvol_log.h"

namespace {

template <typename T> uint32_t record_crc(const T *rec) {
    return tier_crc32(reinterpret_cast<const unsigned char *>(rec) + 4, sizeof(T) - 4);
}

const char *uuid_text(const unsigned char *uuid, char out[37]) {
    uuid_unparse(uuid, out);
    return out;
}

// Geometry that the rest of the code relies on: a record with a good
// checksum but other values cannot come from this volume manager, and each
// value below sizes a read, a loop or an allocation at open.  True when
// every field is one kvol_mkfs and kvol_expand can produce; else false, with
// the first field out of range, its value and what it must be in *e.
struct field_error {
    const char *field;
    uint64_t value;
    const char *expected;
};

bool sb_field_check(const kvol_super_block_t *sb, field_error *e) {
    auto bad = [e](const char *field, uint64_t value, const char *expected) {
        *e = {field, value, expected};
        return false;
    };
    if (sb->sb_version != KVOL_VERSION)
        return bad("sb_version", sb->sb_version, "0x10000");
    if (sb->sb_amtlb_start != KVOL_AMTLB_START)
        return bad("sb_amtlb_start", sb->sb_amtlb_start, "0x800000");
    if (sb->sb_amtlb_entry_size != KVOL_RECORD_SIZE)
        return bad("sb_amtlb_entry_size", sb->sb_amtlb_entry_size, "512");
    if (sb->sb_amtlb_entry_max < 2 || sb->sb_amtlb_entry_max > 2ULL * KVOL_MAX_MAPPING ||
        sb->sb_amtlb_entry_max % 2 != 0)
        return bad("sb_amtlb_entry_max", sb->sb_amtlb_entry_max, "even, 2..65536");
    if (sb->sb_amtlb_entry_num < 2 || sb->sb_amtlb_entry_num > sb->sb_amtlb_entry_max ||
        sb->sb_amtlb_entry_num % 2 != 0)
        return bad("sb_amtlb_entry_num", sb->sb_amtlb_entry_num, "even, 2..sb_amtlb_entry_max");
    if (sb->sb_btbmp_start != KVOL_BTBMP_START)
        return bad("sb_btbmp_start", sb->sb_btbmp_start, "0x2000");
    if (sb->sb_btbmp_size < 1 || sb->sb_btbmp_size > KVOL_BTBMP_SIZE)
        return bad("sb_btbmp_size", sb->sb_btbmp_size, "1..4096");
    if (sb->sb_btbmp_gran != KVOL_GRAN)
        return bad("sb_btbmp_gran", sb->sb_btbmp_gran, "0x1000000");
    if (sb->sb_frspc_start != KVOL_FRSPC_START)
        return bad("sb_frspc_start", sb->sb_frspc_start, "0x13000000");
    if (sb->sb_va_len_total == 0 || sb->sb_va_len_total % KVOL_GRAN != 0 ||
        kvol_btbmp_needed(sb->sb_va_len_total) > KVOL_MAX_BTBLOCKS)
        return bad("sb_va_len_total", sb->sb_va_len_total, "a non-zero multiple of 16 MiB the bitmap covers");
    if (sb->sb_va_len_avail > sb->sb_va_len_total || sb->sb_va_len_avail % KVOL_GRAN != 0)
        return bad("sb_va_len_avail", sb->sb_va_len_avail, "a multiple of 16 MiB up to sb_va_len_total");
    return true;
}

// The same for the chosen copy of address-map entry `j`: an entry that fails
// is treated as a damaged one (an empty, unavailable mapping), so that no
// request can reach a backing through it.
bool am_field_check(const kvol_t *kvol, const kvol_am_entry_t *am, uint64_t j, field_error *e) {
    auto bad = [e](const char *field, uint64_t value, const char *expected) {
        *e = {field, value, expected};
        return false;
    };
    if (am->am_version != KVOL_VERSION)
        return bad("am_version", am->am_version, "0x10000");
    if (memcmp(am->am_owner, kvol->sb.sb_uuid, sizeof(am->am_owner)) != 0)
        return bad("am_owner", 0, "the volume's sb_uuid");
    if (am->am_state > KVOL_ST_RECYCLED)
        return bad("am_state", am->am_state, "0..3");
    if (am->am_va_start % KVOL_GRAN != 0)
        return bad("am_va_start", am->am_va_start, "a multiple of 16 MiB");
    if (am->am_length % KVOL_GRAN != 0)
        return bad("am_length", am->am_length, "a multiple of 16 MiB");
    if (am->am_pa_offset > UINT64_MAX - am->am_length)
        return bad("am_pa_offset", am->am_pa_offset, "an offset the mapping's length fits after");
    if (memchr(am->am_path, '\0', sizeof(am->am_path)) == nullptr)
        return bad("am_path", 0, "a terminated path");
    // Mapping 0 is the data area of the volume device: anything in front of
    // it would put volume addresses on the volume's own metadata.
    if (j == 0 && am->am_length > 0 && am->am_pa_offset != KVOL_FRSPC_START)
        return bad("am_pa_offset", am->am_pa_offset, "0x13000000 for mapping 0");
    if (j > 0 && am->am_path[0] != '\0' && strcmp(am->am_path, kvol->path) == 0)
        return bad("am_path", j, "a backing other than the volume device");
    return true;
}

} // namespace

int kvol_readn(int fd, void *buf, size_t len, uint64_t offset) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, static_cast<char *>(buf) + done, len - done, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            return -EIO; // short device: the record is not there
        done += n;
    }
    return 0;
}

int kvol_writen(int fd, const void *buf, size_t len, uint64_t offset) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, static_cast<const char *>(buf) + done, len - done, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            return -EIO;
        done += n;
    }
    return 0;
}

void kvol_sb_seal(kvol_super_block_t *sb) {
    sb->sb_checksum = record_crc(sb);
}
void kvol_bt_seal(kvol_btbmp_t *bt) {
    bt->bt_checksum = record_crc(bt);
}
void kvol_am_seal(kvol_am_entry_t *am) {
    am->am_checksum = record_crc(am);
}

bool kvol_sb_valid(const kvol_super_block_t *sb) {
    return sb->sb_magic == KVOL_SB_MAGIC && sb->sb_checksum == record_crc(sb);
}

void kvol_bt_init(kvol_btbmp_t *bt) {
    memset(bt, 0, sizeof(*bt));
    bt->bt_version = KVOL_VERSION;
    bt->bt_magic = KVOL_BT_MAGIC;
    bt->bt_generation = 0;
    bt->bt_state = KVOL_BADTRACK_CLEAN;
    bt->bt_valid_len = KVOL_BT_VALID_LEN;
    bt->bt_mtime = kvol_now();
    kvol_bt_seal(bt);
}

void kvol_am_build(const unsigned char *owner, const kvol_mapping_t *m, uint64_t generation,
                   kvol_am_entry_t *am) {
    memset(am, 0, sizeof(*am));
    am->am_version = KVOL_VERSION;
    am->am_magic = KVOL_AM_MAGIC;
    am->am_generation = generation;
    memcpy(am->am_owner, owner, sizeof(am->am_owner));
    am->am_attribute = m->attribute;
    am->am_state = m->state;
    am->am_va_start = m->va_start;
    am->am_length = m->va_length;
    if (m->path != nullptr) {
        size_t len = strlen(m->path);
        if (len + 1 > sizeof(am->am_path))
            KVOL_FATAL("mapping path too long for its record: %s", m->path);
        memcpy(am->am_path, m->path, len);
    }
    am->am_pa_offset = m->pa_offset;
    am->am_phy_blksz = m->psy_blksz;
    am->am_ts_create = m->ts_create;
    am->am_ts_modify = m->ts_modify;
    memcpy(am->am_gfid, m->gfid, sizeof(am->am_gfid));
    am->am_shard_no = m->shard_no;
    am->am_ts_failed = m->ts_failed;
    kvol_am_seal(am);
}

// ---- store -------------------------------------------------------------------

int kvol_sync_super(kvol_t *kvol) {
    kvol_super_block_t *sb = &kvol->sb;
    sb->sb_generation++;
    kvol_sb_seal(sb);
    memset(kvol->buff, 0, KVOL_SLOT_SIZE);
    memcpy(kvol->buff, sb, sizeof(*sb));
    int ret = kvol_writen(kvol->fd, kvol->buff, KVOL_SLOT_SIZE, kvol_sb_slot(sb->sb_generation % 2));
    if (ret < 0) {
        sb->sb_generation--;
        kvol_sb_seal(sb);
        kvol_log_error("kvol_sync_super failed, kvol_writen error");
    }
    return ret;
}

int kvol_sync_btbmp(kvol_t *kvol, uint32_t n) {
    assert(n < kvol->bmpblk_cnt);
    kvol_btbmp_t *bt = &kvol->bmpblks[n];
    bt->bt_generation++;
    kvol_bt_seal(bt);
    memcpy(kvol->buff, bt, sizeof(*bt));
    int ret = kvol_writen(kvol->fd, kvol->buff, KVOL_SLOT_SIZE, kvol_bt_slot(n, bt->bt_generation % 2));
    if (ret < 0) {
        bt->bt_generation--;
        kvol_bt_seal(bt);
        kvol_log_error("kvol_sync_btbmp failed, kvol_writen error");
    }
    return ret;
}

int kvol_sync_mapping(kvol_t *kvol, kvol_mapping_t *m) {
    uint64_t gen = m->generation + 1;
    memset(kvol->buff, 0, KVOL_SLOT_SIZE);
    kvol_am_build(kvol->sb.sb_uuid, m, gen, reinterpret_cast<kvol_am_entry_t *>(kvol->buff));
    int ret = kvol_writen(kvol->fd, kvol->buff, KVOL_SLOT_SIZE, kvol_am_slot(m->index, gen % 2));
    if (ret < 0)
        kvol_log_error("kvol_sync_mapping failed, kvol_writen error");
    return ret;
}

// ---- load --------------------------------------------------------------------

int kvol_load_super(kvol_t *kvol) {
    int ret = kvol_readn(kvol->fd, kvol->buff, KVOL_PAIR_SIZE, KVOL_SB_OFFSET);
    if (ret < 0) {
        kvol_log_error("read superblock of %s failed: %s", kvol->path, strerror(-ret));
        return -1;
    }
    const auto *c0 = reinterpret_cast<const kvol_super_block_t *>(kvol->buff);
    const auto *c1 = reinterpret_cast<const kvol_super_block_t *>(kvol->buff + KVOL_SLOT_SIZE);
    if (c0->sb_magic != KVOL_SB_MAGIC || c1->sb_magic != KVOL_SB_MAGIC) {
        kvol_log_error("superblock crc magic generation=%lu %lu != %lu generation=%lu %lu != %lu",
                       c0->sb_generation, c0->sb_magic, KVOL_SB_MAGIC, c1->sb_generation, c1->sb_magic,
                       KVOL_SB_MAGIC);
        return -1;
    }
    uint32_t crc0 = record_crc(c0), crc1 = record_crc(c1);
    if (crc0 != c0->sb_checksum || crc1 != c1->sb_checksum) {
        kvol_log_error("superblock crc checknum generation=%lu 0x%x != 0x%x generation=%lu 0x%x != 0x%x",
                       c0->sb_generation, c0->sb_checksum, crc0, c1->sb_generation, c1->sb_checksum, crc1);
        return -1;
    }
    const kvol_super_block_t *sb = c1->sb_generation > c0->sb_generation ? c1 : c0;
    field_error fe;
    if (!sb_field_check(sb, &fe)) {
        kvol_log_error("superblock geometry invalid path=%s generation=%lu: %s=%lu, expected %s", kvol->path,
                       sb->sb_generation, fe.field, fe.value, fe.expected);
        return -1;
    }
    kvol->sb = *sb;
    kvol->table_length = static_cast<uint32_t>(sb->sb_amtlb_entry_num / 2);
    char uuid[37];
    kvol_log_info("load superblock path=%s checksum=0x%x version=0x%x magic=0x%lx generation=%lu "
                  "uuid=%s amtlb_start=%lu amtlb_entry_num=%lu amtlb_entry_max=%lu "
                  "amtlb_entry_size=%lu btbmp_start=%lu btbmp_size=%lu btbmp_gran=%lu "
                  "frspc_start=%lu va_len_total=%lu va_len_avail=%lu phy_blksz=%u ts_format=%u "
                  "ts_expand=%u",
                  kvol->path, sb->sb_checksum, sb->sb_version, sb->sb_magic, sb->sb_generation,
                  uuid_text(sb->sb_uuid, uuid), sb->sb_amtlb_start, sb->sb_amtlb_entry_num,
                  sb->sb_amtlb_entry_max, sb->sb_amtlb_entry_size, sb->sb_btbmp_start, sb->sb_btbmp_size,
                  sb->sb_btbmp_gran, sb->sb_frspc_start, sb->sb_va_len_total, sb->sb_va_len_avail,
                  sb->sb_phy_blksz, sb->sb_ts_format, sb->sb_ts_expand);
    return 0;
}

uint64_t kvol_btbmp_needed(uint64_t va_len) {
    uint64_t per_block = KVOL_GRAN * KVOL_BITS_PER_BLOCK;
    return va_len / per_block + (va_len % per_block != 0); // no wrap for any length
}

int kvol_load_btbmp(kvol_t *kvol) {
    uint64_t cnt = kvol_btbmp_needed(kvol->sb.sb_va_len_total);
    if (cnt < 1 || cnt > KVOL_MAX_BTBLOCKS) {
        kvol_log_error("load badtrack error count=%u, va_len_total=%lu", static_cast<unsigned>(cnt),
                       kvol->sb.sb_va_len_total);
        return -1;
    }
    size_t len = cnt * KVOL_PAIR_SIZE;
    auto *raw = static_cast<unsigned char *>(kvol_aligned_alloc(len));
    auto *blocks = static_cast<kvol_btbmp_t *>(kvol_calloc(cnt * sizeof(kvol_btbmp_t)));
    int ret = -1;
    if (raw == nullptr || blocks == nullptr)
        goto out;
    if (int r = kvol_readn(kvol->fd, raw, len, kvol->sb.sb_btbmp_start); r < 0) {
        kvol_log_error("read badtrack of %s failed: %s", kvol->path, strerror(-r));
        goto out;
    }
    for (uint64_t n = 0; n < cnt; n++) {
        const auto *c0 = reinterpret_cast<const kvol_btbmp_t *>(raw + n * KVOL_PAIR_SIZE);
        const auto *c1 = reinterpret_cast<const kvol_btbmp_t *>(raw + n * KVOL_PAIR_SIZE + KVOL_SLOT_SIZE);
        if (c0->bt_magic != KVOL_BT_MAGIC || c1->bt_magic != KVOL_BT_MAGIC) {
            kvol_log_error("badtrack crc magic generation=%lu %lu != %lu generation=%lu %lu != %lu",
                           c0->bt_generation, c0->bt_magic, KVOL_BT_MAGIC, c1->bt_generation, c1->bt_magic,
                           KVOL_BT_MAGIC);
            goto out;
        }
        uint32_t crc0 = record_crc(c0), crc1 = record_crc(c1);
        if (crc0 != c0->bt_checksum || crc1 != c1->bt_checksum) {
            kvol_log_error("badtrack crc checknum generation=%lu 0x%x != 0x%x generation=%lu 0x%x != 0x%x",
                           c0->bt_generation, c0->bt_checksum, crc0, c1->bt_generation, c1->bt_checksum,
                           crc1);
            goto out;
        }
        const kvol_btbmp_t *bt = c1->bt_generation > c0->bt_generation ? c1 : c0;
        if (bt->bt_valid_len > KVOL_BT_VALID_LEN) {
            kvol_log_error("badtrack block=%lu valid_len=%u invalid", n, bt->bt_valid_len);
            goto out;
        }
        blocks[n] = *bt;
    }
    free(kvol->bmpblks);
    kvol->bmpblks = blocks;
    kvol->bmpblk_cnt = static_cast<uint32_t>(cnt);
    blocks = nullptr;
    ret = 0;
out:
    free(raw);
    free(blocks);
    return ret;
}

int kvol_check_va_lengths(const kvol_t *kvol) {
    const uint64_t total = kvol->sb.sb_va_len_total;
    const uint32_t tl = kvol->table_length;
    // The mappings follow one another from VA 0 in index order and each
    // expansion appends at the end and grows the total by what it added, so
    // the total is where the last mapping ends.  A damaged entry has lost its
    // length: when the last entry is one, only the bound below is known.
    const kvol_mapping_t *last = kvol->mappings[tl - 1];
    if (!kvol_mapping_empty(last)) {
        uint64_t end = last->va_start + last->va_length;
        if (total != end) {
            kvol_log_error("superblock length invalid path=%s: sb_va_len_total=%lu, expected %lu (the end of "
                           "mapping %u)",
                           kvol->path, total, end, tl - 1);
            return -1;
        }
    } else if (tl == 1) {
        // A volume of mapping 0 alone: the volume device holds all of it.
        off_t size = lseek(kvol->fd, 0, SEEK_END);
        uint64_t room = size > 0 && static_cast<uint64_t>(size) > kvol->sb.sb_frspc_start
                            ? static_cast<uint64_t>(size) - kvol->sb.sb_frspc_start
                            : 0;
        if (total > room) {
            kvol_log_error(
                "superblock length invalid path=%s: sb_va_len_total=%lu, expected at most %lu (the "
                "volume device's data area)",
                kvol->path, total, room);
            return -1;
        }
    }
    // sb_va_len_avail lies within the total (checked at load), so within the
    // mappings too; kvol_reconcile_avail then makes it follow the bitmap.
    return 0;
}

int kvol_reconcile_avail(kvol_t *kvol) {
    uint64_t granules = kvol->sb.sb_va_len_total / KVOL_GRAN, bad = 0;
    for (uint64_t g = 0; g < granules; g++)
        bad += kvol_bt_get(kvol, g);
    uint64_t avail = kvol->sb.sb_va_len_total - bad * KVOL_GRAN;
    if (avail == kvol->sb.sb_va_len_avail)
        return 0;
    // The bitmap is written before the superblock when tracks are marked or
    // cleared, so after a crash in between it is the one that is right.
    kvol_log_warn("superblock va_len_avail=%lu disagrees with the bad-track bitmap (%lu bad granules of "
                  "%lu), using %lu",
                  kvol->sb.sb_va_len_avail, bad, granules, avail);
    kvol->sb.sb_va_len_avail = avail;
    if ((kvol->openflags & O_ACCMODE) == O_RDONLY)
        return 0;
    return kvol_sync_super(kvol);
}

int kvol_btbmp_grow(kvol_t *kvol, uint32_t cnt) {
    if (cnt <= kvol->bmpblk_cnt)
        return 0;
    if (cnt > KVOL_MAX_BTBLOCKS)
        return -EINVAL;
    auto *blocks = static_cast<kvol_btbmp_t *>(kvol_calloc(cnt * sizeof(kvol_btbmp_t)));
    if (blocks == nullptr)
        return -ENOMEM;
    if (kvol->bmpblk_cnt > 0)
        memcpy(blocks, kvol->bmpblks, kvol->bmpblk_cnt * sizeof(kvol_btbmp_t));
    for (uint32_t n = kvol->bmpblk_cnt; n < cnt; n++)
        kvol_bt_init(&blocks[n]);
    free(kvol->bmpblks);
    kvol->bmpblks = blocks;
    kvol->bmpblk_cnt = cnt;
    return 0;
}

namespace {

// Checks one copy pair; returns the chosen copy or null (logged) when either
// copy is damaged.
const kvol_am_entry_t *choose_entry(const kvol_t *kvol, const kvol_am_entry_t *c0, const kvol_am_entry_t *c1,
                                    uint64_t j) {
    if (c0->am_magic != KVOL_AM_MAGIC || c1->am_magic != KVOL_AM_MAGIC) {
        kvol_log_error("adressmap crc magic generation=%lu %lu != %lu generation=%lu %lu != %lu",
                       c0->am_generation, c0->am_magic, KVOL_AM_MAGIC, c1->am_generation, c1->am_magic,
                       KVOL_AM_MAGIC);
    } else {
        uint32_t crc0 = record_crc(c0), crc1 = record_crc(c1);
        if (crc0 != c0->am_checksum || crc1 != c1->am_checksum) {
            kvol_log_error("adressmap crc checksum generation=%lu 0x%x != 0x%x generation=%lu 0x%x != 0x%x",
                           c0->am_generation, c0->am_checksum, crc0, c1->am_generation, c1->am_checksum,
                           crc1);
        } else {
            const kvol_am_entry_t *am = c1->am_generation > c0->am_generation ? c1 : c0;
            field_error fe;
            if (am_field_check(kvol, am, j, &fe))
                return am;
            kvol_log_error("adressmap entry invalid index=%lu generation=%lu: %s=%lu, expected %s", j,
                           am->am_generation, fe.field, fe.value, fe.expected);
        }
    }
    kvol_log_error("addressmap crc error kvol = %s, index=%lu, amtlb_num=%lu", kvol->path, j,
                   kvol->sb.sb_amtlb_entry_num);
    return nullptr;
}

// Derives the state of a loaded entry from the bitmap; true when it changed.
bool repair_state(const kvol_t *kvol, kvol_mapping_t *m) {
    if (m->state == KVOL_ST_UNAVAILABLE || m->state == KVOL_ST_RECYCLED || kvol->bmpblk_cnt == 0)
        return false;
    uint64_t first = m->va_start / KVOL_GRAN;
    uint64_t end = (m->va_start + m->va_length + KVOL_GRAN - 1) / KVOL_GRAN;
    uint64_t bad = 0;
    uint32_t state = m->state;
    if (kvol_bt_count(kvol, first, end, &bad) < 0)
        state = KVOL_ST_UNAVAILABLE;
    else if (bad > 0 && bad < end - first)
        state = KVOL_ST_BADTRACK;
    else if (bad > 0 && bad == end - first)
        state = KVOL_ST_UNAVAILABLE;
    if (state == m->state)
        return false;
    m->state = state;
    m->ts_modify = kvol_now();
    return true;
}

} // namespace

int kvol_load_addressmap(kvol_t *kvol) {
    uint32_t tl = kvol->table_length;
    if (tl == 0 || tl != kvol->sb.sb_amtlb_entry_num / 2) {
        kvol_log_error("kvol load addressmap failed path=%s table=%u sb_num=%lu \n", kvol->path, tl,
                       kvol->sb.sb_amtlb_entry_num);
        return -1;
    }
    constexpr size_t kChunk = 1 << 20;
    constexpr uint64_t kEntriesPerChunk = kChunk / KVOL_PAIR_SIZE;
    auto *chunk = static_cast<unsigned char *>(kvol_aligned_alloc(kChunk));
    auto **mappings = static_cast<kvol_mapping_t **>(kvol_calloc(tl * sizeof(kvol_mapping_t *)));
    bool writable = (kvol->openflags & O_ACCMODE) != O_RDONLY;
    int ret = -1;
    if (chunk == nullptr || mappings == nullptr)
        goto fail;
    for (uint64_t j = 0; j < tl; j++) {
        uint64_t in_chunk = j % kEntriesPerChunk;
        if (in_chunk == 0) {
            uint64_t n = tl - j < kEntriesPerChunk ? tl - j : kEntriesPerChunk;
            int r =
                kvol_readn(kvol->fd, chunk, n * KVOL_PAIR_SIZE, kvol->sb.sb_amtlb_start + j * KVOL_PAIR_SIZE);
            if (r < 0) {
                kvol_log_error("read addressmap of %s failed at index=%lu: %s", kvol->path, j, strerror(-r));
                goto fail;
            }
        }
        const auto *c0 = reinterpret_cast<const kvol_am_entry_t *>(chunk + in_chunk * KVOL_PAIR_SIZE);
        const auto *c1 =
            reinterpret_cast<const kvol_am_entry_t *>(chunk + in_chunk * KVOL_PAIR_SIZE + KVOL_SLOT_SIZE);
        auto *m = static_cast<kvol_mapping_t *>(kvol_calloc(sizeof(kvol_mapping_t)));
        if (m == nullptr)
            goto fail;
        m->fd = -1;
        m->index = static_cast<uint32_t>(j);
        mappings[j] = m;
        const kvol_am_entry_t *am = choose_entry(kvol, c0, c1, j);
        if (am == nullptr) {
            m->state = KVOL_ST_UNAVAILABLE;
            continue;
        }
        if (am->am_va_start > kvol->sb.sb_va_len_total ||
            am->am_length > kvol->sb.sb_va_len_total - am->am_va_start) {
            kvol_log_error("check address is invalid offset=%lu, size=%zu, totalsize=%lu", am->am_va_start,
                           static_cast<size_t>(am->am_length), kvol->sb.sb_va_len_total);
            goto fail;
        }
        if (j == 0 && am->am_length > 0) {
            // Mapping 0 lives on the volume device: a device cut short (a
            // truncated image, a smaller disk) cannot hold what it maps.
            off_t size = lseek(kvol->fd, 0, SEEK_END);
            if (size < 0 || static_cast<uint64_t>(size) < am->am_pa_offset + am->am_length) {
                kvol_log_error("volume device %s holds %ld bytes, mapping 0 needs %lu", kvol->path,
                               static_cast<long>(size), am->am_pa_offset + am->am_length);
                goto fail;
            }
        }
        if (am->am_path[0] != '\0' && access(am->am_path, R_OK | W_OK) != 0)
            kvol_log_warn("kvol = %s, check addresmap fail am_path=%s,error=%s", kvol->path, am->am_path,
                          strerror(errno));
        m->va_start = am->am_va_start;
        m->va_length = am->am_length;
        m->pa_offset = am->am_pa_offset;
        m->attribute = am->am_attribute;
        m->state = am->am_state;
        m->ts_create = am->am_ts_create;
        m->ts_modify = am->am_ts_modify;
        m->shard_no = am->am_shard_no;
        m->ts_failed = am->am_ts_failed;
        m->psy_blksz = am->am_phy_blksz;
        m->generation = am->am_generation;
        memcpy(m->gfid, am->am_gfid, sizeof(m->gfid));
        if (am->am_path[0] != '\0' && (m->path = kvol_strdup(am->am_path)) == nullptr)
            goto fail;
        if (repair_state(kvol, m) && writable && kvol_sync_mapping(kvol, m) < 0) {
            kvol_log_error("kvol = %s, change addresmap state write fail am_path=%s", kvol->path,
                           am->am_path);
            goto fail;
        }
    }
    kvol->mappings = mappings;
    mappings = nullptr;
    if (kvol_build_correct_mappings(kvol) < 0)
        goto fail;
    if (kvol->mappings[0]->va_length > 0 && kvol->mappings[0]->state != KVOL_ST_UNAVAILABLE &&
        kvol->mappings[0]->state != KVOL_ST_RECYCLED)
        kvol->mappings[0]->fd = kvol->fd;
    kvol_log_info("load %s amtlb %s", kvol->path, "success\n");
    ret = 0;
fail:
    if (mappings != nullptr) {
        for (uint32_t j = 0; j < tl; j++) {
            if (mappings[j] != nullptr)
                free(mappings[j]->path);
            free(mappings[j]);
        }
        free(mappings);
    }
    free(chunk);
    return ret;
}
