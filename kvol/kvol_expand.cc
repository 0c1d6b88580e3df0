// Expansion: appending mappings from a list or from a JSON description.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cjson/cJSON.h>
#include <uuid/uuid.h>

#include "kvol_log.h"
#include "kvol_meta.h"
#include "kvol_notify.h"
#include "kvol_volume.h"

namespace {

constexpr off_t kJsonMax = 0x6400000;

const char *gfid_text(const unsigned char *gfid, char out[37]) {
    uuid_unparse(gfid, out);
    return out;
}

bool path_mapped(const kvol_t *kvol, const char *path) {
    for (uint32_t j = 0; j < kvol->table_length; j++) {
        const kvol_mapping_t *m = kvol->mappings[j];
        if (m->path != nullptr && strcmp(m->path, path) == 0)
            return true;
    }
    return false;
}

// Checks one entry; fills *blksize.  0 or -22 (logged).
int check_entry(const kvol_t *kvol, const kvol_expand_entry_t *list, int i, uint64_t *blksize) {
    const kvol_expand_entry_t &e = list[i];
    char gfid[37];
    gfid_text(e.gfid, gfid);
    if (e.path == nullptr || e.length == 0) {
        kvol_log_error("expand failed path null or length=0 gfrid=%s, shard_no=%u", gfid, e.shard_no);
        return -EINVAL;
    }
    if (strlen(e.path) >= KVOL_PATH_MAX || access(e.path, R_OK | W_OK) != 0) {
        kvol_log_error("expand failed path=%s gfrid=%s, shard_no=%u", e.path, gfid, e.shard_no);
        return -EINVAL;
    }
    struct stat st;
    int fd = open(e.path, O_RDONLY | O_CLOEXEC);
    off_t size = fd >= 0 ? lseek(fd, 0, SEEK_END) : -1;
    int st_ret = fd >= 0 ? fstat(fd, &st) : -1;
    if (fd >= 0)
        close(fd);
    if (size < 0 || st_ret != 0) {
        kvol_log_error("expand failed path=%s gfrid=%s, shard_no=%u", e.path, gfid, e.shard_no);
        return -EINVAL;
    }
    *blksize = e.blksize != 0 ? e.blksize : static_cast<uint64_t>(st.st_blksize);
    if (e.offset > static_cast<uint64_t>(size) || e.length > static_cast<uint64_t>(size) - e.offset) {
        kvol_log_error("expand path %s error, offset=%lu + length=%zu > size=%zu", e.path, e.offset,
                       static_cast<size_t>(e.length), static_cast<size_t>(size));
        return -EINVAL;
    }
    if (e.length % KVOL_GRAN != 0) {
        kvol_log_error("expand length not align path %s, offset=%lu, length=%zu, size=%zu", e.path, e.offset,
                       static_cast<size_t>(e.length), static_cast<size_t>(size));
        return -EINVAL;
    }
    bool dup = path_mapped(kvol, e.path);
    for (int k = 0; k < i && !dup; k++)
        dup = strcmp(list[k].path, e.path) == 0;
    if (dup) {
        kvol_log_error("expand failed path already exsit path=%s gfrid=%s, shard_no=%u", e.path, gfid,
                       e.shard_no);
        return -EINVAL;
    }
    return 0;
}

void free_mappings(kvol_mapping_t **ms, int n) {
    for (int i = 0; i < n; i++) {
        if (ms[i] != nullptr)
            free(ms[i]->path);
        free(ms[i]);
    }
}

} // namespace

extern "C" KVOL_API int kvol_expand(kvol_t *kvol, const kvol_expand_entry_t *list, int count) {
    if (kvol == nullptr || list == nullptr || count <= 0)
        return -EINVAL;
    if ((kvol->openflags & O_ACCMODE) == O_RDONLY) {
        kvol_log_error("expand failed, kvol %s is opened read-only", kvol->path);
        return -EINVAL;
    }
    uint64_t limit = kvol->sb.sb_amtlb_entry_max / 2 < KVOL_MAX_MAPPING ? kvol->sb.sb_amtlb_entry_max / 2
                                                                        : KVOL_MAX_MAPPING;
    if (static_cast<uint64_t>(kvol->table_length) + count > limit) {
        kvol_log_error("expand failed table_length=%u, max_cnt=%u count=%d too big", kvol->table_length,
                       unsigned(limit), count);
        return -EINVAL;
    }
    auto *blksizes = static_cast<uint64_t *>(kvol_calloc(count * sizeof(uint64_t)));
    if (blksizes == nullptr)
        return -EINVAL;
    uint64_t added = 0;
    for (int i = 0; i < count; i++) {
        if (check_entry(kvol, list, i, &blksizes[i]) < 0) {
            free(blksizes);
            return -EINVAL;
        }
        added += list[i].length;
    }
    // New mappings start at the end of the VA.  That is where the last
    // mapping ends on a sound volume; when the last entry is damaged (it
    // loads empty) its range is still claimed on disk and in the bitmap, so
    // the end of the highest loaded mapping would be the wrong place.
    uint64_t va = kvol->sb.sb_va_len_total;
    uint64_t new_total = va + added;
    uint64_t old_blocks = kvol->bmpblk_cnt;
    uint64_t new_blocks = kvol_btbmp_needed(new_total);
    if (new_total < va || new_blocks > KVOL_MAX_BTBLOCKS) {
        kvol_log_error("expand badtrack failed:%d", -EINVAL);
        free(blksizes);
        return -EINVAL;
    }
    uint32_t tl = kvol->table_length;
    auto **ms = static_cast<kvol_mapping_t **>(kvol_calloc((tl + count) * sizeof(kvol_mapping_t *)));
    if (ms == nullptr) {
        free(blksizes);
        return -EINVAL;
    }
    memcpy(ms, kvol->mappings, tl * sizeof(kvol_mapping_t *));

    kvol_notify(kvol, KVOL_EVENT_EXPAND_START);
    uint32_t now = kvol_now();
    int ret = -1;
    for (int i = 0; i < count; i++) {
        const kvol_expand_entry_t &e = list[i];
        auto *m = static_cast<kvol_mapping_t *>(kvol_calloc(sizeof(kvol_mapping_t)));
        ms[tl + i] = m;
        if (m == nullptr || (m->path = kvol_strdup(e.path)) == nullptr)
            goto fail;
        m->index = tl + i;
        m->fd = -1;
        m->va_start = va;
        m->va_length = e.length;
        m->pa_offset = e.offset;
        m->psy_blksz = blksizes[i];
        m->attribute = e.attribute;
        memcpy(m->gfid, e.gfid, sizeof(m->gfid));
        m->shard_no = e.shard_no;
        m->state = KVOL_ST_OK;
        m->ts_create = m->ts_modify = now;
        va += e.length;
        kvol_log_info("expand start mapping info path=%s", m->path);
        memset(kvol->buff, 0, KVOL_PAIR_SIZE);
        for (unsigned copy = 0; copy < 2; copy++)
            kvol_am_build(kvol->sb.sb_uuid, m, copy,
                          reinterpret_cast<kvol_am_entry_t *>(kvol->buff + copy * KVOL_SLOT_SIZE));
        if (kvol_writen(kvol->fd, kvol->buff, KVOL_PAIR_SIZE, kvol_am_slot(m->index, 0)) < 0) {
            char gfid[37];
            kvol_log_error("write expand path failed offset=%lu length=%d gfid=%s shar_no=%u", e.offset,
                           int(e.length), gfid_text(e.gfid, gfid), e.shard_no);
            goto fail;
        }
    }
    {
        // Publishing the superblock makes the new entries part of the volume;
        // until then they are invisible.
        kvol_super_block_t old = kvol->sb;
        kvol->sb.sb_va_len_total += added;
        kvol->sb.sb_va_len_avail += added;
        kvol->sb.sb_amtlb_entry_num += 2ULL * count;
        kvol->sb.sb_ts_expand = now;
        if (kvol_sync_super(kvol) < 0) {
            kvol_log_error("write super block error kvol=%s num=%lu avail=%lu total=%lu", kvol->path,
                           kvol->sb.sb_amtlb_entry_num, kvol->sb.sb_va_len_avail, kvol->sb.sb_va_len_total);
            kvol->sb = old;
            goto fail;
        }
    }
    kvol_notify(kvol, KVOL_EVENT_SUPER_MODIFIED);
    if (new_blocks > old_blocks) {
        kvol_log_info("expand badtrack %u -> %u (supported va_len: %lu -> %lu)", unsigned(old_blocks),
                      unsigned(new_blocks), old_blocks * KVOL_BITS_PER_BLOCK * KVOL_GRAN,
                      new_blocks * KVOL_BITS_PER_BLOCK * KVOL_GRAN);
        if (int r = kvol_btbmp_grow(kvol, static_cast<uint32_t>(new_blocks)); r < 0)
            kvol_log_error("expand badtrack failed:%d", r);
    }
    free(kvol->mappings);
    kvol->mappings = ms;
    kvol->table_length = tl + count;
    if (kvol_build_correct_mappings(kvol) < 0) {
        free(blksizes);
        return -1;
    }
    free(blksizes);
    kvol_notify(kvol, KVOL_EVENT_EXPAND_END | KVOL_EVENT_ENTRY_MODIFIED);
    kvol_log_info("expand successed count=%d", count);
    return 0;
fail:
    free_mappings(ms + tl, count);
    free(ms);
    free(blksizes);
    return ret;
}

// ---- expansion from a JSON file -------------------------------------------------

namespace {

// A number member: a JSON number that is a non-negative integer held exactly
// by a double, or a string of decimal digits (64-bit).
bool json_u64(const cJSON *item, uint64_t *out) {
    if (cJSON_IsNumber(item)) {
        double v = item->valuedouble;
        if (v >= 0 && v < 9007199254740992.0 && v == floor(v)) {
            *out = static_cast<uint64_t>(v);
            return true;
        }
    } else if (cJSON_IsString(item) && item->valuestring[0] != '\0') {
        uint64_t v = 0;
        const char *s = item->valuestring;
        for (; *s != '\0'; s++) {
            if (!isdigit(static_cast<unsigned char>(*s)) || v > (UINT64_MAX - (*s - '0')) / 10)
                break;
            v = v * 10 + (*s - '0');
        }
        if (*s == '\0') {
            *out = v;
            return true;
        }
    }
    kvol_log_error("expand json parase str=%s type=%d", item->string ? item->string : "", item->type);
    return false;
}

// Optional number member: absent means 0.
bool json_opt(const cJSON *obj, const char *name, uint64_t *out) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
    *out = 0;
    return item == nullptr || json_u64(item, out);
}

// The foreign rule: after "/dev/", the text from its sixth character up to
// the next "/" must not occur again in the rest of the path.
bool foreign_path(const char *path) {
    const char *dev = strstr(path, "/dev/");
    if (dev == nullptr || strlen(dev) < 6)
        return false;
    const char *name = dev + 6;
    const char *slash = strchr(name, '/');
    size_t len = slash ? size_t(slash - name) : strlen(name);
    if (len == 0)
        return false;
    for (const char *p = name + len; *p != '\0'; p++)
        if (strncmp(p, name, len) == 0)
            return false;
    return true;
}

int hexval(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// gfid: the hex digits between the last "_" and the last "." of the last
// component (16 or 32 digits); shard: the decimal number after the last ".".
bool parse_name(const char *path, unsigned char gfid[16], uint32_t *shard) {
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    const char *us = strrchr(base, '_');
    const char *dot = strrchr(base, '.');
    memset(gfid, 0, 16);
    if (us == nullptr || dot == nullptr || dot < us) {
        kvol_log_error("uuid=%s len=%d not match", base, -1);
        return false;
    }
    const char *hex = us + 1;
    int len = static_cast<int>(dot - hex);
    bool ok = len == 16 || len == 32;
    for (int i = 0; ok && i < len; i += 2) {
        int hi = hexval(hex[i]), lo = hexval(hex[i + 1]);
        ok = hi >= 0 && lo >= 0;
        if (ok)
            gfid[i / 2] = static_cast<unsigned char>(hi * 16 + lo);
    }
    if (!ok) {
        kvol_log_error("uuid=%.*s len=%d not match", len, hex, len);
        return false;
    }
    const char *num = dot + 1;
    uint64_t v = 0;
    if (*num == '\0')
        ok = false;
    for (const char *s = num; ok && *s != '\0'; s++) {
        ok = isdigit(static_cast<unsigned char>(*s)) && v <= UINT32_MAX / 10;
        v = v * 10 + (*s - '0');
        ok = ok && v <= UINT32_MAX;
    }
    if (!ok) {
        kvol_log_error("expand json shard_no=%s invalid path=%s", num, path);
        return false;
    }
    *shard = static_cast<uint32_t>(v);
    return true;
}

char *read_json(const char *jsonfile) {
    int fd = open(jsonfile, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        kvol_log_error("expand open json file %s failed: %s", jsonfile, strerror(errno));
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    if (st.st_size > kJsonMax) {
        kvol_log_error("json file too big size=%ld", static_cast<long>(st.st_size));
        close(fd);
        return nullptr;
    }
    auto *text = static_cast<char *>(kvol_calloc(st.st_size + 1));
    size_t done = 0;
    while (text != nullptr && done < size_t(st.st_size)) {
        ssize_t n = read(fd, text + done, st.st_size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            kvol_log_error("expand read json file %s failed", jsonfile);
            free(text);
            text = nullptr;
            break;
        }
        done += n;
    }
    close(fd);
    return text;
}

int build_entry(const cJSON *el, kvol_expand_entry_t *e) {
    const cJSON *path = cJSON_GetObjectItemCaseSensitive(el, "path");
    const cJSON *offset = cJSON_GetObjectItemCaseSensitive(el, "offset");
    const cJSON *length = cJSON_GetObjectItemCaseSensitive(el, "length");
    if (!cJSON_IsObject(el) || !cJSON_IsString(path) || offset == nullptr || length == nullptr) {
        kvol_log_error("expand json parase element error, path/offset/length required");
        return -1;
    }
    uint64_t legacy, foreign, discard;
    if (!json_u64(offset, &e->offset) || !json_u64(length, &e->length) || !json_opt(el, "legacy", &legacy) ||
        !json_opt(el, "foreign", &foreign) || !json_opt(el, "discard", &discard))
        return -1;
    if (e->length == 0) {
        kvol_log_error("expand json parase str=%s type=%d", "length", length->type);
        return -1;
    }
    e->path = path->valuestring;
    struct stat st;
    if (stat(e->path, &st) != 0) {
        kvol_log_error("expand failed path=%s error=%s", e->path, strerror(errno));
        return -1;
    }
    e->attribute = 0;
    if (legacy)
        e->attribute |= KVOL_ATTR_LEGACY;
    if (discard)
        e->attribute |= KVOL_ATTR_DISCARD;
    if (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))
        e->attribute |= KVOL_ATTR_ODIRECT;
    if (S_ISREG(st.st_mode))
        e->attribute |= KVOL_ATTR_IFREG;
    if (foreign && foreign_path(e->path))
        e->attribute |= KVOL_ATTR_FOREIGN;
    e->blksize = static_cast<uint64_t>(st.st_blksize);
    return parse_name(e->path, e->gfid, &e->shard_no) ? 0 : -1;
}

} // namespace

extern "C" KVOL_API int kvol_static_expand(const char *path, const char *jsonfile) {
    if (path == nullptr || jsonfile == nullptr)
        return -1;
    char *text = read_json(jsonfile);
    if (text == nullptr)
        return -1;
    cJSON *root = cJSON_Parse(text);
    free(text);
    const cJSON *list = root ? cJSON_GetObjectItemCaseSensitive(root, "expand_list") : nullptr;
    int count = cJSON_IsArray(list) ? cJSON_GetArraySize(list) : 0;
    if (count <= 0 || count > int(KVOL_MAX_MAPPING)) {
        kvol_log_error("expand json parase expand_list error size = %d", count);
        cJSON_Delete(root);
        return -1;
    }
    auto *entries = static_cast<kvol_expand_entry_t *>(kvol_calloc(count * sizeof(kvol_expand_entry_t)));
    int ret = entries == nullptr ? -1 : 0;
    int i = 0;
    for (const cJSON *el = list->child; ret == 0 && el != nullptr; el = el->next, i++)
        ret = build_entry(el, &entries[i]);
    if (ret == 0) {
        kvol_t *kvol = kvol_open_volume(path, O_RDWR, false);
        ret = kvol != nullptr && kvol_expand(kvol, entries, count) == 0 ? 0 : -1;
        if (kvol != nullptr)
            kvol_fini(kvol);
    }
    free(entries);
    cJSON_Delete(root);
    return ret;
}
