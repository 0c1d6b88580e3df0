// The daemon's inode map and its file names: see inode_map.h.
#include "inode_map.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <uuid/uuid.h>

#include "tav.h"

namespace {

unsigned char s_uuid_table[TAV_INODE_MAP_SIZE][16];

bool is_zero(const unsigned char *u) {
    static const unsigned char zero[16] = {};
    return memcmp(u, zero, 16) == 0;
}

int parse_uuid_text(const char *name, unsigned char gfid[16]) {
    char text[TAV_UUID_TEXT_LEN + 1] = {};
    memcpy(text, name, TAV_UUID_TEXT_LEN);
    if (uuid_parse(text, gfid) != 0 || is_zero(gfid))
        return -EINVAL;
    return 0;
}

} // namespace

const unsigned char *inode_map_get(uint64_t ino) {
    assert(ino < TAV_INODE_MAP_SIZE);
    const unsigned char *u = s_uuid_table[ino];
    return is_zero(u) ? nullptr : u;
}

int64_t inode_map_fuse_ino(ino_t lib_ino) {
    if (lib_ino >= TAV_INODE_MAP_SIZE - 2)
        return -EOVERFLOW;
    return static_cast<int64_t>(lib_ino) + 2;
}

int64_t inode_map_set(ino_t lib_ino, const unsigned char gfid[16]) {
    int64_t ino = inode_map_fuse_ino(lib_ino);
    if (ino >= 0)
        memcpy(s_uuid_table[ino], gfid, 16);
    return ino;
}

int name_parse_create(const char *name, unsigned char gfid[16], int *flags) {
    size_t len = strlen(name);
    *flags = 0;
    if (len < TAV_UUID_TEXT_LEN || (len > TAV_UUID_TEXT_LEN && name[TAV_UUID_TEXT_LEN] != '@'))
        return -EINVAL;
    if (parse_uuid_text(name, gfid) != 0)
        return -EINVAL;
    for (const char *p = name + TAV_UUID_TEXT_LEN + (len > TAV_UUID_TEXT_LEN ? 1 : 0); *p; p++) {
        if (*p == 'B')
            *flags |= TAV_FLAG_BD;
        else if (*p == 'C')
            *flags |= TAV_FLAG_COMPRESSED;
    }
    return 0;
}

int name_parse_exact(const char *name, unsigned char gfid[16]) {
    if (strlen(name) != TAV_UUID_TEXT_LEN)
        return -EINVAL;
    return parse_uuid_text(name, gfid);
}
