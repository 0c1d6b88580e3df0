/*
 * tav: a user-space, extent-based file system for large files named by UUIDs.
 *
 * Threading: the library creates no threads and runs no loop.  The caller owns
 * an event loop and hands every instance an `ev_driver`; the thread that runs
 * that loop is the instance's I/O thread.  Every call below must be made on
 * it, and every callback is delivered on it.  Nothing here takes a lock.
 *
 * Asynchronous calls: each `tav_*_async` entry point checks its arguments and
 * either returns a negative errno (no callback follows) or returns 0, after
 * which exactly one callback follows.  The callback may run before the entry
 * point returns (when the operation completes without waiting).  Callbacks
 * receive (op_ret, op_errno, data, ...): op_ret >= 0 on success, op_ret == -1
 * with a positive op_errno on failure.
 *
 * Ownership: the caller owns the `ev_driver` record and every buffer it passes
 * (I/O vectors and their memory, stat records, xattr buffers, dictionaries)
 * until the request's callback has run.
 */
#ifndef TAV_H
#define TAV_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAV_API __attribute__((visibility("default")))

/* Units of the file system. */
#define TAV_BLOCK_SIZE    1048576ULL      /* a block is 1 MiB */
#define TAV_SLICE_SIZE    131072ULL       /* a slice is 128 KiB, 8 per block */
#define TAV_UNIT_SIZE     4096ULL         /* written-data bitmaps count 4 KiB units */
#define TAV_MAX_FILE_SIZE 0x4000000000ULL /* 256 GiB */

/* File-kind bits of the open flags; only the low 28 bits are kept. */
#define TAV_FLAG_BD             0x10000000
#define TAV_FLAG_COMPRESSED     0x20000000
#define TAV_FLAG_UNCOMPRESSIBLE 0x40000000
#define TAV_OPEN_FLAGS_MASK     0x0fffffff

/* Set-attribute mask. */
#define TAV_SET_ATTR_MODE  0x1
#define TAV_SET_ATTR_UID   0x2
#define TAV_SET_ATTR_GID   0x4
#define TAV_SET_ATTR_ATIME 0x10
#define TAV_SET_ATTR_MTIME 0x20
#define TAV_SET_ATTR_CTIME 0x40

/* List-file flag. */
#define TAV_LIST_ALL_FILE 0
#define TAV_LIST_UNOPEN   1

/* Extended-attribute sync flags (`syncflag` of set and remove, `flags` of the
 * sync requests).  0, 1 and 2 write the change through at once (1 and 2 carry
 * no create-only or replace-only meaning); 3 leaves it to the next dirty
 * flush (within 3 seconds); 4 keeps the file's record in memory until a sync
 * with 5 releases it (set only; remove treats 4 like 0). */
#define TAV_XATTR_CREATE       1
#define TAV_XATTR_REPLACE      2
#define TAV_XATTR_SYNC_DELAYED 3
#define TAV_XATTR_SYNC_HOLD    4
#define TAV_XATTR_SYNC_RESUME  5

/* Compression state of a file. */
#define TAV_STATEX_UNCOMPRESSED 0
#define TAV_STATEX_COMPRESSING  1
#define TAV_STATEX_COMPRESSED   2

/* Modes of tav_fallocate_async. */
typedef enum tav_falloc_mode {
    TAV_FALLOC_DEFAULT = 0,         /* allocate; the range keeps reading as zeros */
    TAV_FALLOC_HARD = 65537,        /* allocate and mark every whole 4 KiB page written, without
                                     * writing the device: the range reads what the device holds */
    TAV_FALLOC_TEST = 65538,        /* only check that the space would suffice */
    TAV_FALLOC_HARD_CACHED = 65539, /* as HARD, metadata written at the next sync */
} tav_falloc_mode;

/* Modes of tav_zerofill_async. */
typedef enum tav_zerofill_mode {
    TAV_ZEROFILL_DEFAULT = 0,  /* whole pages become unwritten; zeros written over partial pages */
    TAV_ZEROFILL_HARD = 65537, /* zeros written over the range wherever a page holds data */
} tav_zerofill_mode;

typedef struct tav tav;
typedef struct tav_fd tav_fd;
typedef struct xdict xdict;
struct fiemap;

/* ---- event driver ------------------------------------------------------ */

/* Called by the caller's loop when a watched descriptor is ready; each of
 * poll_in, poll_out and poll_err is 0 or 1.  `idx` is the driver's own index
 * for the registration, handed back to ev_unregister. */
typedef int (*ev_handler_fn)(int fd, int idx, void *priv, int poll_in, int poll_out, int poll_err);

typedef struct ev_driver {
    /* Start watching `fd`; returns a negative value on failure. */
    int (*ev_register)(void *handle, int fd, ev_handler_fn handler, void *priv, int poll_in, int poll_out);
    /* Stop watching `fd`. */
    int (*ev_unregister)(void *handle, int fd, int idx);
    void *handle; /* the caller's loop object, first argument of both functions */
    void *priv;   /* when set, the volume engine takes it as an open kvol_t* it must not close */
} ev_driver;

/* ---- operation codes --------------------------------------------------- */

typedef enum tav_op_t {
    TAV_OP_NULL = 0,
    TAV_OP_TIMER = 1,
    TAV_OP_INIT = 2,
    TAV_OP_STATFS = 3,
    TAV_OP_UNLINK = 4,
    TAV_OP_LISTFILE = 5,
    TAV_OP_OPEN = 6,
    TAV_OP_GETATTR = 7,
    TAV_OP_FGETATTR = 8,
    TAV_OP_SETATTR = 9,
    TAV_OP_FSETATTR = 10,
    TAV_OP_GETXATTR = 11,
    TAV_OP_FGETXATTR = 12,
    TAV_OP_SETXATTR = 13,
    TAV_OP_FSETXATTR = 14,
    TAV_OP_REMOVEXATTR = 15,
    TAV_OP_FREMOVEXATTR = 16,
    TAV_OP_LISTXATTR = 17,
    TAV_OP_FLISTXATTR = 18,
    TAV_OP_READ = 19,
    TAV_OP_WRITE = 20,
    TAV_OP_TRUNCATE = 21,
    TAV_OP_FTRUNCATE = 22,
    TAV_OP_FALLOCATE = 23,
    TAV_OP_DISCARD = 24,
    TAV_OP_FIEMAP = 25,
    TAV_OP_ZEROFILL = 26,
    TAV_OP_SYNC = 27,
    TAV_OP_FSYNC = 28,
    TAV_OP_COMPRESS = 29,
    TAV_OP_STATEX = 30,
    TAV_OP_SETIOLOG = 31,
    TAV_OP_EXPAND = 32,
    TAV_OP_MAX = 33,
} tav_op_t;

/* ---- notifications ----------------------------------------------------- */

enum {
    TAV_NOTIFY_NONE = 0,
    TAV_NOTIFY_COMPRESSED = 1,
    TAV_NOTIFY_FREE_BLOCKS = 2,
    TAV_NOTIFY_ALLOC_EXTENT = 3,
    TAV_NOTIFY_INLINE_TRANSFORM = 4,
    TAV_NOTIFY_MAX = 5,
};

/* One record written to the instance's notification descriptor (native
 * byte order, 32 bytes). */
typedef struct notify_argv_t {
    unsigned char gfid[16];
    int64_t size;
    uint32_t type;
    uint32_t pad;
} notify_argv_t;

/* ---- records ----------------------------------------------------------- */

typedef struct tav_statex {
    uint64_t slices;
    uint64_t slice_size;
    uint32_t type;
    uint32_t statex;
} tav_statex;

/* ---- callbacks --------------------------------------------------------- */

typedef void (*tav_common_cbk_fn)(int64_t op_ret, uint32_t op_errno, void *data);
typedef void (*tav_open_cbk_fn)(int64_t op_ret, uint32_t op_errno, void *data, tav_fd *fd);
typedef void (*tav_init_cbk_fn)(ssize_t op_ret, uint32_t op_errno, void *data, tav *instance);
typedef int (*tav_listfile_filter_fn)(tav *instance, unsigned char *name, void *data);

typedef tav_common_cbk_fn tav_statfs_cbk_fn;
typedef tav_common_cbk_fn tav_unlink_cbk_fn;
typedef tav_common_cbk_fn tav_getattr_cbk_fn;
typedef tav_common_cbk_fn tav_setattr_cbk_fn;
typedef tav_common_cbk_fn tav_getxattr_cbk_fn;
typedef tav_common_cbk_fn tav_setxattr_cbk_fn;
typedef tav_common_cbk_fn tav_removexattr_cbk_fn;
typedef tav_common_cbk_fn tav_listxattr_cbk_fn;
typedef tav_common_cbk_fn tav_preadv_cbk_fn;
typedef tav_common_cbk_fn tav_pwritev_cbk_fn;
typedef tav_common_cbk_fn tav_truncate_cbk_fn;
typedef tav_common_cbk_fn tav_fallocate_cbk_fn;
typedef tav_common_cbk_fn tav_discard_cbk_fn;
typedef tav_common_cbk_fn tav_fiemap_cbk_fn;
typedef tav_common_cbk_fn tav_zerofill_cbk_fn;
typedef tav_common_cbk_fn tav_listfile_cbk_fn;
typedef tav_common_cbk_fn tav_setiolog_cbk_fn;
typedef tav_common_cbk_fn tav_sync_cbk_fn;
typedef tav_common_cbk_fn tav_compress_cbk_fn;
typedef tav_common_cbk_fn tav_expand_cbk_fn;
typedef tav_common_cbk_fn tav_statex_cbk_fn;
typedef tav_common_cbk_fn tav_fini_cbk_fn;

/* External log sink: called once per line with priority 3 and a format
 * without a trailing newline. */
typedef void (*logger_extern_fn_t)(void *ctx, int priority, const char *fmt, ...);

/* ---- instance lifecycle ------------------------------------------------ */

/* Opens the instance on `path` (a device, a file or a volume, through the
 * engine named by TAV_IOENGINE, "kvol" by default).  Returns 0 when the load
 * has started; `cbk` then follows exactly once with the instance or with
 * (-1, errno, data, NULL).  A negative result means no callback: -EINVAL
 * (arguments), -ENOMEM, the lock file's error (-EWOULDBLOCK when another
 * process serves the device), or the engine's open error (for a volume,
 * -EIO when its metadata is damaged or impossible).  A load that meets
 * damaged or impossible metadata calls back with EIO (EACCES for a damaged
 * zone-map page).
 * `flags & 3`: 0 read-only, 1 or 2 writable with a lock file, 3 writable
 * without a lock file. */
TAV_API int tav_init_async(ev_driver *driver, const char *path, int flags, tav_init_cbk_fn cbk, void *data);
/* Finishes the instance: deferred to a loop tick, so it may be called from a
 * callback.  Notifications stop at once.  `cbk` (may be null) gets
 * (0, 0, data) when the last reference is gone; when marking the superblock
 * stopped fails it first gets (-1, errno, data) and later the (0, 0, data)
 * of the release as well.  Every handle must be closed and every callback
 * received first.  -EINVAL for a null instance or a second call; -ENOMEM (or
 * -1) when the deferral cannot be armed, in which case the caller's
 * reference has been dropped all the same. */
TAV_API int tav_fini(tav *instance, tav_fini_cbk_fn cbk, void *data);
/* References on the instance; the last unref destroys it (see tav_fini). */
TAV_API tav *tav_ref(tav *instance);
TAV_API void tav_unref(tav *instance);
/* Synchronous.  Sets the descriptor that receives notify_argv_t records;
 * the caller keeps owning it.  -EINVAL for a negative `fd`; it may be set
 * only once per instance (a second set is a fatal assertion). */
TAV_API int tav_set_notify_fd(tav *instance, int fd);
/* Synchronous.  Routes every log line of the process to `logger_fn`;
 * -EINVAL for a null instance or function. */
TAV_API int tav_set_logger_sync(tav *instance, logger_extern_fn_t logger_fn, void *logger_ctx);
/* Synchronous.  Logs the superblock and the cached inodes of inode hash
 * bucket `index` (0..4095), or of every bucket when `index` is negative. */
TAV_API void tav_dump(const char *title, tav *instance, int index);

/* ---- asynchronous API -------------------------------------------------- */

/* Common contract of every call below.
 *
 * Return value: 0 when the request was launched (exactly one callback
 * follows, possibly before the call returns); otherwise no callback, and
 * -EINVAL (an argument check failed, logged), -EFBIG (the byte range ends
 * beyond TAV_MAX_FILE_SIZE; a range ending exactly there is accepted) or
 * -ENOMEM (no request record, I/O vector copy or coroutine).
 *
 * Arguments: `instance`, `fd` and `cbk` are never null.  `name` is a 16-byte
 * file UUID and never the null UUID.  `fd` is an open handle; it may be
 * closed while a request on it runs (the request keeps it alive).  Every
 * `prestat` and `poststat` may be null; when given they receive the file's
 * attributes before and after the operation.
 *
 * Callbacks: (op_ret >= 0, 0) on success, op_ret given per call below (0
 * when nothing is said); (-1, errno) on failure.  EIO means the device or
 * the file's metadata could not be read or written.  A name-based request
 * first finds the file: ENOENT when it does not exist, EACCES when it is not
 * in the normal state, EIO when its record cannot be read; those are not
 * repeated below. */

/* Fills `stbuf` (never null) with the file system's counters.  Errors:
 * EIO, or the engine's error when the device size cannot be read. */
TAV_API int tav_statfs_async(tav *instance, struct statvfs *stbuf, tav_statfs_cbk_fn cbk, void *data);
/* Opening and creating: the callback gets (0, 0, data, handle), to be
 * released by tav_close, or (-1, errno, data, NULL).  `flags` are open(2)
 * flags: O_CREAT creates a missing file (waiting for a concurrent create of
 * the same name), O_CREAT | O_EXCL refuses an existing one; at creation the
 * TAV_FLAG_* bits choose the file's kind (BD, created compressed, never
 * compressed); only the low 28 bits are kept.  `mode` gives the permission
 * bits of a new file.  tav_create_async adds O_CREAT | O_EXCL.
 * tav_open_with_dict_async gives a new file the attributes of `xattr` (may
 * be null; ignored when the file exists).  Errors: ENOENT (missing, without
 * O_CREAT), EEXIST, EOPNOTSUPP (a key of `xattr` outside the "security.",
 * "system.", "trusted." and "user." namespaces), ENOSPC (no inode number
 * left), ENOMEM, EIO. */
TAV_API int tav_open_async(tav *instance, const unsigned char *name, int flags, mode_t mode,
                           tav_open_cbk_fn cbk, void *data);
TAV_API int tav_create_async(tav *instance, const unsigned char *name, int flags, mode_t mode,
                             tav_open_cbk_fn cbk, void *data);
TAV_API int tav_open_with_dict_async(tav *instance, const unsigned char *name, int flags, mode_t mode,
                                     xdict *xattr, tav_open_cbk_fn cbk, void *data);
/* Creates a legacy (pre-mapped) file over the caller's device range
 * [phyoff, phyoff + phylen): an exclusive create, then the range is reserved
 * in the zone map and file block i maps device block phyoff / 1 MiB + i,
 * every 4 KiB unit marked written; the file's size is `realsize`.  Its type
 * becomes LEGACY | BD | `type` (extra inode type bits, or-ed in unchecked),
 * without COMPRESSIBLE.  `phyoff` and `phylen` are multiples of 1 MiB,
 * `phylen` and `realsize` non-zero and at most TAV_MAX_FILE_SIZE, and the
 * range starts in the data area (else -EINVAL at once).  The callback is the
 * open callback; when laying out fails after the create succeeded it gets
 * (-1, errno, data, handle) and the caller closes that handle.  Errors: those
 * of create, EINVAL (range beyond the device), EFAULT (part of the range is
 * already allocated), EROFS (a format whose zone map is read only), ENOSPC,
 * ENOMEM, EIO. */
TAV_API int tav_create_ex(tav *instance, const unsigned char *name, off_t phyoff, size_t phylen,
                          size_t realsize, int flags, mode_t mode, uint32_t type, tav_open_cbk_fn cbk,
                          void *data);
/* Synchronous.  Drops the caller's reference on the handle; 0, or -EINVAL
 * for a null handle.  Requests still running on it finish normally. */
TAV_API int tav_close(tav_fd *fd);
/* Removes the file from the namespace; open handles stay valid until
 * closed, and its space is reclaimed after the last one is.  Errors: ENOENT
 * (unlinked meanwhile), EIO. */
TAV_API int tav_unlink_async(tav *instance, const unsigned char *name, tav_unlink_cbk_fn cbk, void *data);
/* Fills `stbuf` (never null).  Errors: EIO (also when `stbuf` was filled
 * but repairing the file's BD type bit could not be written). */
TAV_API int tav_getattr_async(tav *instance, const unsigned char *name, struct stat *stbuf,
                              tav_getattr_cbk_fn cbk, void *data);
TAV_API int tav_fgetattr_async(tav_fd *fd, struct stat *stbuf, tav_getattr_cbk_fn cbk, void *data);
/* Sets the attributes of `stbuf` (never null) that `valid` selects, a
 * non-zero mask of TAV_SET_ATTR_*: MODE (permission bits; the file stays
 * regular), UID, GID, ATIME and MTIME from st_atim and st_mtim, CTIME from
 * st_ctim (without it ctime becomes now); other bits are ignored and sizes
 * change only by truncate.  The change reaches the device with the next
 * dirty flush.  Errors: EIO. */
TAV_API int tav_setattr_async(tav *instance, const unsigned char *name, struct stat *stbuf, int valid,
                              struct stat *prestat, struct stat *poststat, tav_setattr_cbk_fn cbk,
                              void *data);
TAV_API int tav_fsetattr_async(tav_fd *fd, struct stat *stbuf, int valid, struct stat *prestat,
                               struct stat *poststat, tav_setattr_cbk_fn cbk, void *data);

/* Extended attributes.  `key` is a non-empty string.  `syncflag` is one of
 * the TAV_XATTR_* values above.
 *
 * Get: op_ret is the value's size; the value is copied into `value` when
 * given.  `value` and `size` are both given or both absent (NULL and 0: a
 * size query).  Errors: ENODATA (no such key), ERANGE (`size` too small),
 * EIO. */
TAV_API int tav_getxattr_async(tav *instance, const unsigned char *name, const char *key, void *value,
                               size_t size, tav_getxattr_cbk_fn cbk, void *data);
TAV_API int tav_fgetxattr_async(tav_fd *fd, const char *key, void *value, size_t size,
                                tav_getxattr_cbk_fn cbk, void *data);
/* Set one: adds or replaces `key` with `size` (> 0) bytes of `value` (never
 * null); the result is the same either way.  Errors: EOPNOTSUPP (key outside
 * the four namespaces), ENOSPC (the file's attributes would no longer fit its
 * record: 1536 bytes serialised while the file is inline, 3584 after; nothing
 * changes), EINVAL (value too large for the dictionary), ENOMEM, EIO (the
 * write failed; the new value stays in memory). */
TAV_API int tav_setxattr_async(tav *instance, const unsigned char *name, const char *key, const void *value,
                               size_t size, int syncflag, struct stat *prestat, struct stat *poststat,
                               tav_setxattr_cbk_fn cbk, void *data);
TAV_API int tav_fsetxattr_async(tav_fd *fd, const char *key, const void *value, size_t size, int syncflag,
                                struct stat *prestat, struct stat *poststat, tav_setxattr_cbk_fn cbk,
                                void *data);
/* Set many: every item of `xattr` (never null; still the caller's), as set
 * one.  Any key outside the namespaces refuses the whole request with
 * EOPNOTSUPP, a result that would not fit the record with ENOSPC, both
 * before anything changes.  Errors otherwise: ENOMEM (items copied before it
 * stay), EIO. */
TAV_API int tav_setxattr_with_dict_async(tav *instance, const unsigned char *name, xdict *xattr, int syncflag,
                                         struct stat *prestat, struct stat *poststat, tav_setxattr_cbk_fn cbk,
                                         void *data);
TAV_API int tav_fsetxattr_with_dict_async(tav_fd *fd, xdict *xattr, int syncflag, struct stat *prestat,
                                          struct stat *poststat, tav_setxattr_cbk_fn cbk, void *data);
/* Get many: copies every attribute of the file into `xattr` (never null),
 * adding or replacing.  Errors: ENOMEM, EIO. */
TAV_API int tav_getxattr_with_dict_async(tav *instance, const unsigned char *name, xdict *xattr,
                                         tav_getxattr_cbk_fn cbk, void *data);
TAV_API int tav_fgetxattr_with_dict_async(tav_fd *fd, xdict *xattr, tav_getxattr_cbk_fn cbk, void *data);
/* Remove one.  Only TAV_XATTR_SYNC_DELAYED defers the write; every other
 * `syncflag` (TAV_XATTR_SYNC_HOLD included) writes at once.  Errors: ENODATA
 * (no such key), EIO. */
TAV_API int tav_removexattr_async(tav *instance, const unsigned char *name, const char *key, int syncflag,
                                  struct stat *prestat, struct stat *poststat, tav_removexattr_cbk_fn cbk,
                                  void *data);
TAV_API int tav_fremovexattr_async(tav_fd *fd, const char *key, int syncflag, struct stat *prestat,
                                   struct stat *poststat, tav_removexattr_cbk_fn cbk, void *data);
/* List: op_ret is the length of the file's keys, each followed by a zero
 * byte, written into `value` when given (`value` and `size` both given or
 * both absent, as for get).  Errors: ERANGE (`size` too small), EIO. */
TAV_API int tav_listxattr_async(tav *instance, const unsigned char *name, void *value, size_t size,
                                tav_listxattr_cbk_fn cbk, void *data);
TAV_API int tav_flistxattr_async(tav_fd *fd, void *value, size_t size, tav_listxattr_cbk_fn cbk, void *data);

/* Calls `fn` (never null) with (instance, a copy of the file's UUID, data)
 * for every file in the table, in hash order; `flag` is TAV_LIST_ALL_FILE or
 * TAV_LIST_UNOPEN (skip files with open handles).  `fn` runs inside the
 * request's coroutine, so it may call the synchronous helpers below; a
 * negative result stops the walk and fails the request with its errno.
 * Errors also: ENOMEM.  A failed check returns -EINVAL without a log line. */
TAV_API int tav_list_file(tav *instance, tav_listfile_filter_fn fn, tav_listfile_cbk_fn cbk, int flag,
                          void *data);
/* Not implemented yet: launched like every request, it calls back
 * (-1, ENOSYS).  A failed check returns -EINVAL without a log line. */
TAV_API int tav_set_iolog(tav *instance, int priv_iolog, tav_setiolog_cbk_fn cbk, void *data);
/* Borrow query: (0, 0) when the file's type has the BORROW bit, (-1, 0)
 * when it has not.  Errors: ENOENT, EIO. */
TAV_API int tav_file_is_borrow(tav *instance, const unsigned char *name, tav_common_cbk_fn cbk, void *data);
/* Copies the 8-byte value of one on-disk inode field into `value` (never
 * null), `key` (never null) one of "i_uid", "i_type", "i_state", "i_size",
 * "i_no", "i_mode", "i_gid", "i_blocks", "i_flags", "lba_start", "lba_len".
 * Errors: ENOENT, ENODATA (unknown key), EINVAL (`size` below 8), ENOMEM,
 * EIO. */
TAV_API int tav_get_inode_info(tav *instance, const unsigned char *name, const char *key, void *value,
                               size_t size, tav_common_cbk_fn cbk, void *data);

/* Data transfers on an open handle.  `iov` holds `count` (> 0) elements of
 * `iov_len` bytes summing to more than 0; the vector itself is copied, its
 * buffers stay the caller's until the callback.  `offset` >= 0.  Buffers
 * need no alignment (unaligned ones cost a copy).  op_ret is the number of
 * bytes transferred; it may be short when a later segment failed.
 *
 * Read: ends at the file size (0 bytes at or beyond it); unwritten ranges
 * read as zeros.  `flags` of tav_preadv_async_with_flags: with TAV_FLAG_BD
 * and a `poststat`, a read that touched no device data reports
 * poststat->st_blocks 0; other bits are ignored (tav_preadv_async passes 0).
 * The new atime stays in memory until the inode is written for another
 * reason.  Errors: ENOMEM, EIO. */
TAV_API int tav_preadv_async(tav_fd *fd, const struct iovec *iov, int count, off_t offset,
                             struct stat *prestat, struct stat *poststat, tav_preadv_cbk_fn cbk, void *data);
TAV_API int tav_preadv_async_with_flags(tav_fd *fd, const struct iovec *iov, int count, off_t offset,
                                        struct stat *prestat, struct stat *poststat, int flags,
                                        tav_preadv_cbk_fn cbk, void *data);
/* Write: the data is on the device before the callback; the first write
 * through each handle and every write that grows the file also write the
 * inode before it.  Errors: ENOSPC (no free block), EFBIG (beyond what the
 * file's block maps can address: 128 GiB for compressible files with the
 * newer slice maps), ENOMEM, EIO. */
TAV_API int tav_pwritev_async(tav_fd *fd, const struct iovec *iov, int count, off_t offset,
                              struct stat *prestat, struct stat *poststat, tav_pwritev_cbk_fn cbk,
                              void *data);

/* Space operations on an open handle (truncate also by name).
 *
 * Truncate: sets the size to `length` (0 .. TAV_MAX_FILE_SIZE); shrinking
 * releases the blocks past the end and zeroes the tail of the last 4 KiB
 * unit.  A BD file never shrinks (the request succeeds without change).
 * Errors: ENOMEM, EIO. */
TAV_API int tav_truncate_async(tav *instance, const unsigned char *name, off_t length, struct stat *prestat,
                               struct stat *poststat, tav_truncate_cbk_fn cbk, void *data);
TAV_API int tav_ftruncate_async(tav_fd *fd, off_t length, struct stat *prestat, struct stat *poststat,
                                tav_truncate_cbk_fn cbk, void *data);
/* Fallocate of [offset, offset + length), `length` > 0, `mode` a
 * tav_falloc_mode (see above); every mode but TEST grows the size to cover
 * the range.  Errors: EINVAL (unknown mode), ENOSPC, ENOMEM, EIO. */
TAV_API int tav_fallocate_async(tav_fd *fd, int mode, off_t offset, size_t length, struct stat *prestat,
                                struct stat *poststat, tav_fallocate_cbk_fn cbk, void *data);
/* Discard of [offset, offset + length): `offset` and `length` multiples of
 * 4096, `length` > 0.  Whole blocks go back to the zone map, partial ones
 * become unwritten (reading as zeros); the part beyond the file size is
 * ignored; a legacy file is zero-filled instead.  Errors: ENOMEM, EIO. */
TAV_API int tav_discard_async(tav_fd *fd, off_t offset, size_t length, struct stat *prestat,
                              struct stat *poststat, tav_discard_cbk_fn cbk, void *data);
/* Zero-fill of [offset, offset + length), `length` > 0, `mode` a
 * tav_zerofill_mode (see above).  Errors: EINVAL (any other mode), ENOMEM,
 * EIO. */
TAV_API int tav_zerofill_async(tav_fd *fd, int mode, off_t offset, size_t length, struct stat *prestat,
                               struct stat *poststat, tav_zerofill_cbk_fn cbk, void *data);
/* Fills the caller's `fieinfo` (never null) with the mapped ranges of
 * [fm_start, fm_start + fm_length) widened to whole 1 MiB blocks
 * (fm_length 0: to the end of the file); with fm_extent_count 0 only
 * fm_mapped_extents is counted.  Errors: ENOSPC (more extents than
 * fm_extent_count), ENOMEM, EIO. */
TAV_API int tav_fiemap_async(tav_fd *fd, struct fiemap *fieinfo, struct stat *prestat, struct stat *poststat,
                             tav_fiemap_cbk_fn cbk, void *data);

/* Writes the file's dirty record, its zone-map pages and extent pages now.
 * `flags` TAV_XATTR_SYNC_RESUME instead releases a record held by
 * TAV_XATTR_SYNC_HOLD, which the next dirty flush then writes (the zone map
 * and extent pages are still written now); other values are ignored.
 * Errors: EIO. */
TAV_API int tav_sync_async(tav *instance, const unsigned char *name, int flags, tav_sync_cbk_fn cbk,
                           void *data);
TAV_API int tav_fsync_async(tav_fd *fd, int flags, tav_sync_cbk_fn cbk, void *data);
/* Not implemented yet: launched like every name-based request (the file
 * must exist), it calls back (-1, ENOSYS). */
TAV_API int tav_compress_async(tav *instance, const unsigned char *name, tav_compress_cbk_fn cbk, void *data);
/* Fills `statex` (never null) with the file's compression state.  Errors:
 * EIO. */
TAV_API int tav_statex_async(tav *instance, const unsigned char *name, tav_statex *statex,
                             tav_statex_cbk_fn cbk, void *data);
/* Grows the file system to `length` bytes rounded down to whole MiB (0: the
 * device's size).  The current size succeeds without change.  Errors: EINVAL
 * (smaller than now, larger than the device, or more blocks than the zone
 * map was formatted for), EIO, the engine's error when the device size
 * cannot be read. */
TAV_API int tav_expand_async(tav *instance, size_t length, tav_expand_cbk_fn cbk, void *data);

/* ---- synchronous helpers ----------------------------------------------- */

/* These run inline and may suspend the calling coroutine: call them only
 * inside a coroutine of the I/O thread, such as a tav_list_file filter
 * (outside one is a fatal assertion).  They look the file up without
 * creating it: -ENOENT when it is unknown, -EIO when its record cannot be
 * read.
 *
 * tav_getattr, tav_statex_get: 0 and the filled record.
 * tav_getxattr: the value's size, copied to `buf` when given; 0 when the key
 * is absent; -EINVAL when `size` is too small, or for a null or empty key.
 * tav_get_open_count: the number of open handles (the record is not read).
 * tav_get_all_keys: the key list as tav_listxattr_async gives it (`buf` and
 * `size` both given or both absent; -ERANGE when too small); -EINVAL, not
 * -ENOENT, for an unknown file. */
TAV_API int tav_getattr(tav *instance, const unsigned char *name, struct stat *stbuf);
TAV_API int tav_statex_get(tav *instance, const unsigned char *name, tav_statex *statex);
TAV_API ssize_t tav_getxattr(tav *instance, const unsigned char *name, const char *key, void *buf,
                             size_t size);
TAV_API int tav_get_open_count(tav *instance, const unsigned char *name);
TAV_API ssize_t tav_get_all_keys(tav *instance, const unsigned char *name, char *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TAV_H */
