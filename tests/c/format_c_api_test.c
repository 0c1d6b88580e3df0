/* The format calls from C: this file includes only tav_format.h (and through
 * it tav.h), is compiled as C11 and links the shared library.  It computes a
 * layout, formats a file through a libev loop, probes it and reads its
 * version back, and checks the refusals the header documents.  Exit status 0
 * on success; every failed check is printed. */
#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tav_format.h"

#include "c_evdriver.h"

struct result {
    int done;
    int64_t ret;
    uint32_t err;
};

static void cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    struct result *r = data;
    r->done = 1;
    r->ret = op_ret;
    r->err = op_errno;
}

static struct ev_loop *loop;

/* Runs the loop until the callback came; 0 when it never does. */
static int wait_for(struct result *r) {
    for (int i = 0; i < 100000 && !r->done; i++)
        ev_run(loop, EVRUN_ONCE);
    return r->done;
}

static int failures;

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                         \
            failures++;                                                                                      \
        }                                                                                                    \
    } while (0)

/* The superblock version field (offset 16 of a copy), read raw. */
static uint64_t raw_version(const char *path, off_t copy) {
    uint64_t v = 0;
    int fd = open(path, O_RDONLY);
    if (fd >= 0) {
        if (pread(fd, &v, sizeof(v), copy + 16) != (ssize_t)sizeof(v))
            v = 0;
        close(fd);
    }
    return v;
}

static int make_file(const char *path, off_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return -1;
    int ret = ftruncate(fd, size);
    close(fd);
    return ret;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s WORKDIR\n", argv[0]);
        return 2;
    }
    char dev[4096], blank[4096], missing[4096];
    snprintf(dev, sizeof(dev), "%s/format_c_api.img", argv[1]);
    snprintf(blank, sizeof(blank), "%s/format_c_api_blank.img", argv[1]);
    snprintf(missing, sizeof(missing), "%s/format_c_api_missing.img", argv[1]);
    char cmd[4200];
    snprintf(cmd, sizeof(cmd), "mkdir -p '%s'", argv[1]);
    if (system(cmd) != 0 || make_file(dev, 200 * TAV_BLOCK_SIZE) != 0 ||
        make_file(blank, 200 * TAV_BLOCK_SIZE) != 0) {
        fprintf(stderr, "cannot make the files under %s\n", argv[1]);
        return 1;
    }
    CHECK(tav_format_set_log(TAV_FORMAT_LOG_ERRORS) == 0);
    CHECK(tav_format_set_log(7) == -EINVAL);
    CHECK(tav_ioengine_available("libaio") == 1);
    CHECK(tav_ioengine_available("kvol") == 1);
    CHECK(tav_ioengine_available("nope") == 0);
    CHECK(tav_ioengine_available("") == 0);

    /* The layout of 200 blocks with one inode group: 16384 inodes of two
     * 4096-byte copies fill blocks 1..128, the zone map takes its minimum of
     * 32 blocks (8192 pages), block 161 holds the backup superblock. */
    tav_format_layout l, again, other;
    CHECK(tav_format_layout_of(dev, 200, 1, &l) == 0);
    CHECK(l.blocks_count == 200 && l.inode_groups == 1 && l.inode_per_group == 16384);
    CHECK(l.first_inode_block == 1 && l.inode_blocks == 128);
    CHECK(l.first_bitmap_block == 129 && l.bitmap_blocks == 32 && l.zmap_pages == 8192);
    CHECK(l.first_data_block == 162);
    static const unsigned char null_uuid[16];
    CHECK(memcmp(l.uuid, null_uuid, 16) != 0);
    CHECK(tav_format_layout_of(dev, 200, 1, &again) == 0 && memcmp(l.uuid, again.uuid, 16) == 0);
    CHECK(tav_format_layout_of(blank, 200, 1, &other) == 0 && memcmp(l.uuid, other.uuid, 16) != 0);
    /* Too small: the figures still say what would fit. */
    CHECK(tav_format_layout_of(dev, 162, 1, &other) == -ENOSPC && other.first_data_block == 162);
    CHECK(tav_format_layout_of(dev, 163, 1, &other) == 0);
    CHECK(tav_format_layout_of(dev, 200, 0, &other) == -EINVAL);
    CHECK(tav_format_layout_of(dev, 200, TAV_FORMAT_MAX_INODE_GROUPS + 1, &other) == -EINVAL);
    CHECK(tav_format_layout_of(dev, 0, 1, &other) == -EINVAL);

    CHECK(tav_format_probe(dev) == 0);
    CHECK(tav_format_probe(missing) == -ENOENT);

    loop = ev_default_loop(0);
    ev_driver driver = {reg, unreg, loop, NULL};

    /* Refused before anything starts: no callback follows. */
    struct result r = {0};
    CHECK(tav_format_async(&driver, "libaio", dev, 162, 1, cbk, &r) == -EINVAL);
    CHECK(tav_format_async(NULL, "libaio", dev, 200, 1, cbk, &r) == -EINVAL);
    CHECK(tav_format_async(&driver, NULL, dev, 200, 1, cbk, &r) == -EINVAL);
    CHECK(!r.done);

    CHECK(tav_format_async(&driver, "libaio", dev, 200, 1, cbk, &r) == 0);
    /* While it runs, the thread's engine is taken. */
    struct result busy = {0};
    uint64_t version = 0;
    CHECK(tav_upgrade_get_version_async(&driver, "libaio", dev, &version, cbk, &busy) == -EBUSY);
    CHECK(wait_for(&r) && r.ret == 0 && r.err == 0);
    CHECK(!busy.done);

    CHECK(tav_format_probe(dev) == 1);
    CHECK(raw_version(dev, 0x10000) == 2 && raw_version(dev, 0x12000) == 2);

    struct result v = {0};
    CHECK(tav_upgrade_get_version_async(&driver, "libaio", dev, &version, cbk, &v) == 0);
    CHECK(wait_for(&v) && v.ret == 0 && version == 2);

    /* A file without an instance, and one that does not exist. */
    struct result b = {0}, m = {0};
    version = 0;
    CHECK(tav_upgrade_get_version_async(&driver, "libaio", blank, &version, cbk, &b) == 0);
    CHECK(wait_for(&b) && b.ret == -1 && b.err != 0 && version == 0);
    CHECK(tav_upgrade_get_version_async(&driver, "libaio", missing, &version, cbk, &m) == 0);
    CHECK(wait_for(&m) && m.ret == -1 && m.err == EINVAL);
    /* Backups are required. */
    CHECK(tav_upgrade_async(&driver, "libaio", dev, NULL, cbk, &m) == -EINVAL);
    CHECK(tav_upgrade_restore_async(&driver, "libaio", dev, NULL, cbk, &m) == -EINVAL);

    unlink(dev);
    unlink(blank);
    if (failures == 0)
        printf("formatted, probed and read version 2 through the shared library\n");
    return failures == 0 ? 0 : 1;
}
