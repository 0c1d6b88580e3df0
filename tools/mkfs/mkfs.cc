// tav_mkfs: formats a regular file or a block device as a fresh instance:
// block 0 with both superblock copies and its backup, an empty zone map over
// every zone-map block, and inode group 0.  The layout and the format come
// from the library (tav_format.h), so a formatted device is exactly what an
// instance start expects.
//
// It refuses, before writing anything: a device that already holds a legal
// superblock (unless -f), a size too small for the layout, an inode-group
// count outside 1..8, an engine that is not available.
#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdarg.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include "evdriver.h"
#include "kvol.h"
#include "tav_format.h"

namespace {

const char kProg[] = "tav_mkfs";

void usage(FILE *out) {
    fprintf(out,
            "usage: %s [-i libaio|kvol] [-s SIZE] [-g INODE_GROUPS] [-f] PATH\n"
            "\n"
            "Formats PATH (a regular file or a block device) as a tav instance.\n"
            "\n"
            "Options:\n"
            "  -i, --ioengine=NAME       I/O engine: libaio or kvol (default: $TAV_IOENGINE,\n"
            "                            else kvol)\n"
            "  -s, --size=SIZE           instance size in bytes, with an optional K, M, G or T\n"
            "                            suffix (powers of 1024); a regular file is created or\n"
            "                            grown to it; default: the size of PATH\n"
            "  -g, --inode-groups=N      inode groups the instance may use, 1..8, 16384 files\n"
            "                            each (default: 8)\n"
            "  -f, --force               overwrite an existing instance\n"
            "  -h, --help                show this message\n",
            kProg);
}

int fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int fail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", kProg);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 1;
}

/* Bytes from "123", "4G", "2000000M"; false on anything else. */
bool parse_size(const char *s, uint64_t *out) {
    if (*s < '0' || *s > '9')
        return false;
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno)
        return false;
    unsigned shift = 0;
    switch (*end) {
    case '\0': break;
    case 'k':
    case 'K': shift = 10; break;
    case 'm':
    case 'M': shift = 20; break;
    case 'g':
    case 'G': shift = 30; break;
    case 't':
    case 'T': shift = 40; break;
    default: return false;
    }
    if (shift && end[1] != '\0')
        return false;
    if (shift && v > (~0ULL >> shift))
        return false;
    *out = v << shift;
    return true;
}

struct format_result {
    int64_t ret = 0;
    uint32_t err = 0;
    bool done = false;
};

void format_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    format_result *r = static_cast<format_result *>(data);
    r->ret = op_ret;
    r->err = op_errno;
    r->done = true;
}

/* Whether the device holds a volume that opens (read-only, quietly). */
bool holds_volume(const char *path) {
    kvol_logger_level(KVOL_LOG_LEVEL_NONE);
    kvol_t *vol = kvol_init(path, O_RDONLY);
    kvol_logger_level(KVOL_LOG_LEVEL_ERROR);
    if (vol == nullptr)
        return false;
    kvol_fini(vol);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    const char *engine = getenv("TAV_IOENGINE");
    if (engine == nullptr || *engine == '\0')
        engine = "kvol";
    uint64_t size = 0, groups = TAV_FORMAT_MAX_INODE_GROUPS;
    bool have_size = false, force = false;

    static const struct option opts[] = {
        {"ioengine", required_argument, nullptr, 'i'},
        {"size", required_argument, nullptr, 's'},
        {"inode-groups", required_argument, nullptr, 'g'},
        {"force", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "i:s:g:fh", opts, nullptr)) != -1) {
        switch (c) {
        case 'i': engine = optarg; break;
        case 's':
            if (!parse_size(optarg, &size) || size < TAV_BLOCK_SIZE)
                return fail(
                    "invalid size '%s': give bytes (at least 1M) with an optional K, M, G or T suffix",
                    optarg);
            have_size = true;
            break;
        case 'g': {
            char *end;
            errno = 0;
            unsigned long v = strtoul(optarg, &end, 10);
            if (errno || *end || end == optarg || v < 1 || v > TAV_FORMAT_MAX_INODE_GROUPS)
                return fail("invalid inode group count '%s': it must be between 1 and %d", optarg,
                            TAV_FORMAT_MAX_INODE_GROUPS);
            groups = v;
            break;
        }
        case 'f': force = true; break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (optind != argc - 1) {
        usage(stderr);
        return 2;
    }
    const char *path = argv[optind];

    tav_format_set_log(TAV_FORMAT_LOG_ERRORS);

    if (!tav_ioengine_available(engine))
        return fail("unknown ioengine \"%s\": use libaio or kvol", engine);
    const bool on_volume = strcmp(engine, "kvol") == 0;

    /* What is there and how large it is. */
    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (!exists && errno != ENOENT)
        return fail("cannot access %s: %s", path, strerror(errno));
    bool is_blk = exists && S_ISBLK(st.st_mode);
    if (exists && !is_blk && !S_ISREG(st.st_mode))
        return fail("%s is neither a regular file nor a block device", path);
    uint64_t have = 0;
    if (is_blk) {
        int fd = open(path, O_RDONLY);
        if (fd < 0 || ioctl(fd, BLKGETSIZE64, &have) < 0) {
            int err = errno;
            if (fd >= 0)
                close(fd);
            return fail("cannot read the size of %s: %s", path, strerror(err));
        }
        close(fd);
    } else if (exists) {
        have = static_cast<uint64_t>(st.st_size);
    }
    if (!have_size) {
        if (!exists)
            return fail("%s does not exist: give -s SIZE to create it", path);
        size = have;
    }
    if (is_blk && size > have)
        return fail("size %llu exceeds the device %s (%llu bytes)", static_cast<unsigned long long>(size),
                    path, static_cast<unsigned long long>(have));

    /* On a volume the instance lives in the volume's address space, which
     * the volume's own metadata makes smaller than the device. */
    uint64_t fs_size = size;
    if (on_volume) {
        fs_size = kvol_mkfs_va_length(size);
        if (fs_size == 0)
            return fail("%s is too small for a volume: %llu bytes, at least 1 GiB needed", path,
                        static_cast<unsigned long long>(size));
    }

    /* The layout, checked before anything is written. */
    const uint64_t blocks = fs_size / TAV_BLOCK_SIZE;
    if (blocks == 0)
        return fail("%s is too small: %llu bytes", path, static_cast<unsigned long long>(size));
    tav_format_layout made;
    int ret = tav_format_layout_of(path, blocks, groups, &made);
    if (ret == -ENOSPC)
        return fail("%s is too small: %lu MiB, but %lu inode group%s need%s at least %lu MiB "
                    "(inode table, zone map, backup superblock and one data block)",
                    path, blocks, groups, groups == 1 ? "" : "s", groups == 1 ? "s" : "",
                    made.first_data_block + 1);
    // What a start will accept, checked with the start's own rule.
    if (ret != 0)
        return fail("internal error: the layout for %lu blocks would not load", blocks);

    if (exists && !force && tav_format_probe(path) == 1)
        return fail("%s already holds a tav instance; use -f to overwrite it", path);
    if (exists && !force && holds_volume(path))
        return fail("%s already holds a volume; use -f to overwrite it", path);

    if (!is_blk && (!exists || have < size)) {
        int fd = open(path, O_WRONLY | O_CREAT, 0644);
        if (fd < 0)
            return fail("cannot create %s: %s", path, strerror(errno));
        if (ftruncate(fd, static_cast<off_t>(size)) < 0) {
            int err = errno;
            close(fd);
            return fail("cannot grow %s to %llu bytes: %s", path, static_cast<unsigned long long>(size),
                        strerror(err));
        }
        close(fd);
    }

    if (on_volume) {
        /* Without -f the volume manager refuses a device on which either
         * superblock copy of a volume is valid, also when the other copy is
         * damaged and the volume does not open (holds_volume above). */
        kvol_mkfs_param_t param = {force ? 1 : 0, 0, path};
        if (kvol_mkfs(&param) != 0)
            return fail(force ? "creating a volume on %s failed"
                              : "creating a volume on %s failed; if it holds a volume, use -f to "
                                "overwrite it",
                        path);
    }

    ev_driver *driver = evdriver_env();
    format_result job;
    ret = tav_format_async(driver, engine, path, blocks, groups, format_cbk, &job);
    if (ret < 0)
        return fail("formatting %s failed: %s", path, strerror(-ret));
    struct ev_loop *loop = static_cast<struct ev_loop *>(driver->handle);
    while (!job.done)
        ev_run(loop, EVRUN_ONCE);
    if (job.ret < 0)
        return fail("formatting %s failed: %s", path, strerror(static_cast<int>(job.err)));

    /* What was made. */
    char uuid[37];
    uuid_unparse(made.uuid, uuid);
    printf("%s: formatted %s with ioengine %s\n", kProg, path, engine);
    if (on_volume)
        printf("  volume:           %llu bytes of address space on %llu bytes of device\n",
               static_cast<unsigned long long>(fs_size), static_cast<unsigned long long>(size));
    printf("  uuid:             %s\n", uuid);
    printf("  blocks:           %lu of 1 MiB (%lu MiB)\n", made.blocks_count, made.blocks_count);
    printf("  inode table:      blocks %lu-%lu, %lu inode group%s of %lu files, group 0 formatted\n",
           made.first_inode_block, made.first_inode_block + made.inode_blocks - 1, made.inode_groups,
           made.inode_groups == 1 ? "" : "s", made.inode_per_group);
    printf("  zone map:         blocks %lu-%lu (%lu pages)\n", made.first_bitmap_block,
           made.first_bitmap_block + made.bitmap_blocks - 1, made.zmap_pages);
    printf("  backup superblock: block %lu\n", made.first_data_block - 1);
    printf("  data blocks:      %lu-%lu (%lu blocks)\n", made.first_data_block, made.blocks_count - 1,
           made.blocks_count - made.first_data_block);
    return 0;
}
