/*
 * kvol: a volume manager that makes one linear volume address space ("VA")
 * out of a volume device (block device or large regular file) and further
 * backing devices or files, keeps a bad-track bitmap with 16 MiB granules and
 * offers synchronous and asynchronous vectored I/O over that space.
 *
 * Threading: a `kvol_t` is used from one thread.  Nothing inside is locked;
 * an exclusive flock(2) on the volume device keeps a second writer process
 * out.  Asynchronous completions are signalled on the eventfd given with
 * kvol_set_eventfd(); the owner watches it on its own loop and calls
 * kvol_event_handler(), which runs the completion functions on that thread.
 *
 * Results: 0 (or a count) on success; -22 (EINVAL) for invalid arguments and
 * -22 or -1 for failures, as documented per call.  Every failure is logged
 * through the volume's own logger (KVOL_LOG_TARGET, KVOL_LOG_LEVEL).
 *
 * Ownership: the caller owns the volume handle from kvol_init() until
 * kvol_fini(), and every buffer it passes (I/O vectors and their memory)
 * until the request's completion function has run.
 */
#ifndef KVOL_H
#define KVOL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KVOL_API __attribute__((visibility("default")))

typedef struct kvol kvol_t;

/* Attribute bits of a mapping. */
#define KVOL_ATTR_IFREG   1u /* backing is a regular file; opened with O_DSYNC */
#define KVOL_ATTR_ODIRECT 2u /* opened with O_DIRECT */
#define KVOL_ATTR_DISCARD 4u /* backing accepts BLKDISCARD */
#define KVOL_ATTR_LEGACY  8u
#define KVOL_ATTR_FOREIGN 16u /* backing may vanish; can be unmapped and recycled */

/* Mapping states. */
enum {
    KVOL_ST_OK = 0,
    KVOL_ST_BADTRACK = 1,    /* some granules bad */
    KVOL_ST_UNAVAILABLE = 2, /* unusable; its descriptor is closed */
    KVOL_ST_RECYCLED = 3,    /* final */
};

/* Event bits sent to listeners. */
#define KVOL_EVENT_RECYCLABLE      1u
#define KVOL_EVENT_RECYCLED        2u
#define KVOL_EVENT_EXPAND_START    4u
#define KVOL_EVENT_EXPAND_END      8u
#define KVOL_EVENT_SUPER_MODIFIED  16u
#define KVOL_EVENT_ENTRY_MODIFIED  32u
#define KVOL_EVENT_BITMAP_MODIFIED 64u

/* Dump classes of kvol_dump(). */
enum {
    KVOL_DUMP_CLASS_MAPPINGS = 0,
    KVOL_DUMP_CLASS_SUPERBLOCK = 1,
    KVOL_DUMP_CLASS_BADTRACK = 2,
    KVOL_DUMP_CLASS_STATISTICS = 3,
    KVOL_DUMP_CLASS_STATISTICS_RESET = 4,
    KVOL_DUMP_CLASS_LOOKUP_UNMAP = 5,
    KVOL_DUMP_CLASS_EXPAND = 6,
};

/* Logger levels and targets. */
enum {
    KVOL_LOG_LEVEL_NONE = 0,
    KVOL_LOG_LEVEL_ERROR = 1,
    KVOL_LOG_LEVEL_WARN = 2,
    KVOL_LOG_LEVEL_INFO = 3,
    KVOL_LOG_LEVEL_DEBUG = 4,
    KVOL_LOG_LEVEL_ALERT = 5, /* allocation failures */
};
enum {
    KVOL_LOG_TARGET_SYSLOG = 0,
    KVOL_LOG_TARGET_STDOUT = 1,
};

/* I/O request types. */
enum {
    KVOL_OP_WRITE = 0,
    KVOL_OP_READ = 1,
};

typedef struct kvol_stat {
    uint64_t va_total;   /* total VA length */
    uint64_t va_avail;   /* VA length not marked bad */
    uint64_t va_native;  /* VA length of mappings without KVOL_ATTR_FOREIGN */
    uint64_t btbmp_gran; /* bytes of VA per bad-track bit */
    uint64_t phy_blksz;  /* st_blksize of the volume device at creation */
} kvol_stat_t;

/* One run of bad granules, in bytes (same layout as the engine's range). */
typedef struct kvol_range {
    uint64_t start;
    uint64_t length;
} kvol_range_t;

typedef struct kvol_mkfs_param {
    int force;            /* overwrite a valid volume */
    uint32_t max_mapping; /* 1..32768; anything else means 32768 */
    const char *path;     /* volume device or file */
} kvol_mkfs_param_t;

typedef struct kvol_expand_entry {
    uint64_t offset;    /* byte offset in the backing where the mapping starts */
    uint64_t length;    /* bytes, a non-zero multiple of 16 MiB */
    uint32_t attribute; /* KVOL_ATTR_* */
    uint64_t blksize;   /* 0: taken from the backing's st_blksize */
    uint32_t shard_no;
    unsigned char gfid[16];
    const char *path; /* backing device or file, at most 255 characters */
} kvol_expand_entry_t;

/* Completion of an asynchronous request: bytes transferred (possibly fewer
 * than asked when a piece failed or a mapping is unavailable) or a negative
 * errno value.  Called exactly once, from kvol_event_handler(). */
typedef void (*kvol_cbk_fn)(kvol_t *kvol, ssize_t result, void *data);

/* ---- volume ---------------------------------------------------------------- */

/* Opens the volume at `path`; `flags` is O_RDONLY, O_WRONLY or O_RDWR.  A
 * writable open holds an exclusive lock on the device until kvol_fini().
 * Returns the volume, or NULL (logged) on any failure with errno set to its
 * cause: EINVAL (flags), ENAMETOOLONG (path), ENOMEM, the error of open(2)
 * or flock(2) (EWOULDBLOCK when another writer holds the volume), EIO when
 * the volume's metadata is unreadable, damaged or describes a geometry this
 * volume manager cannot have made, or the error of io_setup(2). */
KVOL_API kvol_t *kvol_init(const char *path, int flags);
/* Releases the lock and everything owned.  REQUIRES: no asynchronous request
 * is outstanding. */
KVOL_API void kvol_fini(kvol_t *kvol);
KVOL_API int kvol_stat(kvol_t *kvol, kvol_stat_t *stat);
KVOL_API int kvol_get_kvol_uuid(kvol_t *kvol, unsigned char uuid[16]);
/* Index of the mapping containing `va`, or -1 (a gap left by a damaged
 * entry).  REQUIRES: 0 <= va < total VA length. */
KVOL_API int kvol_lookup_mapping(kvol_t *kvol, uint64_t va);

/* ---- bad tracks, unmap, recycle, discard ---------------------------------- */

/* Without `badtracks` (or maxcnt <= 0): 1 when [offset, offset+size) holds a
 * bad granule, else 0.  With it: the number of runs of bad granules written,
 * at most `maxcnt`.  -22 when the range is not inside the VA. */
KVOL_API int kvol_test_badtrack(kvol_t *kvol, uint64_t offset, uint64_t size, kvol_range_t *badtracks,
                                int maxcnt);
/* Offset and size multiples of 16 MiB, inside the VA.  0 or -22 / -1. */
KVOL_API int kvol_mark_badtrack(kvol_t *kvol, uint64_t offset, uint64_t size);
KVOL_API int kvol_clear_badtrack(kvol_t *kvol, uint64_t offset, uint64_t size);
/* Marks the foreign parts of the range bad; listeners learn which mappings
 * became recyclable.  Non-foreign mappings are left alone. */
KVOL_API int kvol_unmap(kvol_t *kvol, uint64_t offset, uint64_t size);
/* Recycles the foreign, unavailable mappings named by `paths`. */
KVOL_API int kvol_recycle(kvol_t *kvol, const char *const *paths, int count);
/* Issues BLKDISCARD for the parts of the range whose mapping accepts it,
 * addressed on the backing device through the mapping's offset there. */
KVOL_API int kvol_discard(kvol_t *kvol, uint64_t offset, uint64_t size);

/* ---- listeners --------------------------------------------------------------- */

/* Lines "<time> <uuid> <event>\n" are written to `fd` for every event in
 * `events`.  Registering a path again adds events to its slot.  0, -22 for
 * bad arguments, -1 when all 64 slots are busy. */
KVOL_API int kvol_notify_add_listener(kvol_t *kvol, uint32_t events, int fd, const char *path);
KVOL_API int kvol_notify_del_listener(kvol_t *kvol, int fd);

/* ---- creation, expansion, metadata backup ------------------------------------ */

/* Creates a volume on a device or file of at least 1 GiB; refuses one that
 * holds a valid superblock unless `force`.  0, -22 or -1. */
KVOL_API int kvol_mkfs(const kvol_mkfs_param_t *param);
/* The address space a volume created by kvol_mkfs on a device of
 * `device_size` bytes offers, or 0 when the device is too small for one. */
KVOL_API uint64_t kvol_mkfs_va_length(uint64_t device_size);
/* Appends mappings at the end of the VA.  0, -22 or -1; nothing is written
 * when a check fails. */
KVOL_API int kvol_expand(kvol_t *kvol, const kvol_expand_entry_t *list, int count);
/* Opens the volume at `path` for writing and expands it from the
 * "expand_list" of a JSON file.  0 or -1. */
KVOL_API int kvol_static_expand(const char *path, const char *jsonfile);
/* Text of one class into `buff`; its length, -22 for bad arguments, -1 when
 * it does not fit. */
KVOL_API int kvol_dump(kvol_t *kvol, int dump_class, char *buff, int maxlen);
/* Raw CRC-32 of the first `metadata_len` bytes, or 0 on failure. */
KVOL_API uint32_t kvol_metadata_checksum(const char *path, int64_t metadata_len);
/* Copies the volume's metadata into an existing backup file; returns the
 * checksum of the copy, or 0 on failure. */
KVOL_API uint32_t kvol_backup_metadata(const char *lv_path, const char *bak_file_path, int64_t metadata_len);
/* Copies a backup whose checksum is `checksum` back onto the volume.  0 or -1. */
KVOL_API int kvol_recover_metadata(const char *lv_path, const char *bak_file_path, int64_t metadata_len,
                                   uint32_t checksum);

/* ---- I/O --------------------------------------------------------------------- */

/* Every later completion is signalled on `fd` (ignored when negative). */
KVOL_API void kvol_set_eventfd(kvol_t *kvol, int fd);
/* Prepare a request and queue it for kvol_aio_submit().  Buffers must be
 * aligned to 4096 bytes in address and length.  0 (exactly one completion
 * follows once submitted), -22 for bad arguments, -1 when no byte of the
 * request can be mapped. */
KVOL_API int kvol_aio_prep_preadv(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset,
                                  kvol_cbk_fn cbk, void *data);
KVOL_API int kvol_aio_prep_pwritev(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset,
                                   kvol_cbk_fn cbk, void *data);
/* Submits every prepared request (requests wait inside the volume when the
 * queue is full).  0, or -1 when some request could not be submitted at all:
 * such requests are dropped without a completion.  `sub_cnt` (may be NULL)
 * receives the number of pieces accepted by the kernel. */
KVOL_API int kvol_aio_submit(kvol_t *kvol, int *sub_cnt);
/* Call when the eventfd is readable: reaps completions, runs completion
 * functions, submits waiting requests. */
KVOL_API void kvol_event_handler(kvol_t *kvol);
/* Synchronous variants: bytes transferred or a negative value. */
KVOL_API ssize_t kvol_preadv(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset);
KVOL_API ssize_t kvol_writev(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset);

/* ---- logging ----------------------------------------------------------------- */

/* Reads KVOL_LOG_TARGET ("STDOUT", any case, else syslog) and KVOL_LOG_LEVEL
 * ("ERROR", "WARN", "INFO", "DEBUG", any case; unset means INFO; anything
 * else NONE). */
KVOL_API void kvol_logging_init(void);
KVOL_API void kvol_logger_level(int level);
KVOL_API void kvol_logger_target(int target);
KVOL_API void kvol_logger_log(const char *file, const char *function, int line, int level, const char *fmt,
                              ...) __attribute__((format(printf, 5, 6)));

#ifdef __cplusplus
}
#endif

#endif
