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
/* Finishes the instance: deferred to the loop; `cbk(0, 0, data)` follows when
 * the last reference is gone.  Every handle must be closed and every callback
 * received first.  A second call gives -EINVAL. */
TAV_API int tav_fini(tav *instance, tav_fini_cbk_fn cbk, void *data);
TAV_API tav *tav_ref(tav *instance);
TAV_API void tav_unref(tav *instance);
TAV_API int tav_set_notify_fd(tav *instance, int fd);
TAV_API int tav_set_logger_sync(tav *instance, logger_extern_fn_t logger_fn, void *logger_ctx);
TAV_API void tav_dump(const char *title, tav *instance, int index);

/* ---- asynchronous API -------------------------------------------------- */

TAV_API int tav_statfs_async(tav *instance, struct statvfs *stbuf, tav_statfs_cbk_fn cbk, void *data);
TAV_API int tav_open_async(tav *instance, const unsigned char *name, int flags, mode_t mode,
                           tav_open_cbk_fn cbk, void *data);
TAV_API int tav_create_async(tav *instance, const unsigned char *name, int flags, mode_t mode,
                             tav_open_cbk_fn cbk, void *data);
TAV_API int tav_open_with_dict_async(tav *instance, const unsigned char *name, int flags, mode_t mode,
                                     xdict *xattr, tav_open_cbk_fn cbk, void *data);
TAV_API int tav_create_ex(tav *instance, const unsigned char *name, off_t phyoff, size_t phylen,
                          size_t realsize, int flags, mode_t mode, uint32_t type, tav_open_cbk_fn cbk,
                          void *data);
TAV_API int tav_close(tav_fd *fd);
TAV_API int tav_unlink_async(tav *instance, const unsigned char *name, tav_unlink_cbk_fn cbk, void *data);
TAV_API int tav_getattr_async(tav *instance, const unsigned char *name, struct stat *stbuf,
                              tav_getattr_cbk_fn cbk, void *data);
TAV_API int tav_fgetattr_async(tav_fd *fd, struct stat *stbuf, tav_getattr_cbk_fn cbk, void *data);
TAV_API int tav_setattr_async(tav *instance, const unsigned char *name, struct stat *stbuf, int valid,
                              struct stat *prestat, struct stat *poststat, tav_setattr_cbk_fn cbk,
                              void *data);
TAV_API int tav_fsetattr_async(tav_fd *fd, struct stat *stbuf, int valid, struct stat *prestat,
                               struct stat *poststat, tav_setattr_cbk_fn cbk, void *data);
TAV_API int tav_getxattr_async(tav *instance, const unsigned char *name, const char *key, void *value,
                               size_t size, tav_getxattr_cbk_fn cbk, void *data);
TAV_API int tav_fgetxattr_async(tav_fd *fd, const char *key, void *value, size_t size,
                                tav_getxattr_cbk_fn cbk, void *data);
TAV_API int tav_setxattr_async(tav *instance, const unsigned char *name, const char *key, const void *value,
                               size_t size, int syncflag, struct stat *prestat, struct stat *poststat,
                               tav_setxattr_cbk_fn cbk, void *data);
TAV_API int tav_fsetxattr_async(tav_fd *fd, const char *key, const void *value, size_t size, int syncflag,
                                struct stat *prestat, struct stat *poststat, tav_setxattr_cbk_fn cbk,
                                void *data);
TAV_API int tav_setxattr_with_dict_async(tav *instance, const unsigned char *name, xdict *xattr, int syncflag,
                                         struct stat *prestat, struct stat *poststat, tav_setxattr_cbk_fn cbk,
                                         void *data);
TAV_API int tav_fsetxattr_with_dict_async(tav_fd *fd, xdict *xattr, int syncflag, struct stat *prestat,
                                          struct stat *poststat, tav_setxattr_cbk_fn cbk, void *data);
TAV_API int tav_getxattr_with_dict_async(tav *instance, const unsigned char *name, xdict *xattr,
                                         tav_getxattr_cbk_fn cbk, void *data);
TAV_API int tav_fgetxattr_with_dict_async(tav_fd *fd, xdict *xattr, tav_getxattr_cbk_fn cbk, void *data);
TAV_API int tav_removexattr_async(tav *instance, const unsigned char *name, const char *key, int syncflag,
                                  struct stat *prestat, struct stat *poststat, tav_removexattr_cbk_fn cbk,
                                  void *data);
TAV_API int tav_fremovexattr_async(tav_fd *fd, const char *key, int syncflag, struct stat *prestat,
                                   struct stat *poststat, tav_removexattr_cbk_fn cbk, void *data);
TAV_API int tav_listxattr_async(tav *instance, const unsigned char *name, void *value, size_t size,
                                tav_listxattr_cbk_fn cbk, void *data);
TAV_API int tav_flistxattr_async(tav_fd *fd, void *value, size_t size, tav_listxattr_cbk_fn cbk, void *data);
TAV_API int tav_list_file(tav *instance, tav_listfile_filter_fn fn, tav_listfile_cbk_fn cbk, int flag,
                          void *data);
TAV_API int tav_set_iolog(tav *instance, int priv_iolog, tav_setiolog_cbk_fn cbk, void *data);
TAV_API int tav_file_is_borrow(tav *instance, const unsigned char *name, tav_common_cbk_fn cbk, void *data);
TAV_API int tav_get_inode_info(tav *instance, const unsigned char *name, const char *key, void *value,
                               size_t size, tav_common_cbk_fn cbk, void *data);
TAV_API int tav_preadv_async(tav_fd *fd, const struct iovec *iov, int count, off_t offset,
                             struct stat *prestat, struct stat *poststat, tav_preadv_cbk_fn cbk, void *data);
TAV_API int tav_preadv_async_with_flags(tav_fd *fd, const struct iovec *iov, int count, off_t offset,
                                        struct stat *prestat, struct stat *poststat, int flags,
                                        tav_preadv_cbk_fn cbk, void *data);
TAV_API int tav_pwritev_async(tav_fd *fd, const struct iovec *iov, int count, off_t offset,
                              struct stat *prestat, struct stat *poststat, tav_pwritev_cbk_fn cbk,
                              void *data);
TAV_API int tav_truncate_async(tav *instance, const unsigned char *name, off_t length, struct stat *prestat,
                               struct stat *poststat, tav_truncate_cbk_fn cbk, void *data);
TAV_API int tav_ftruncate_async(tav_fd *fd, off_t length, struct stat *prestat, struct stat *poststat,
                                tav_truncate_cbk_fn cbk, void *data);
TAV_API int tav_fallocate_async(tav_fd *fd, int mode, off_t offset, size_t length, struct stat *prestat,
                                struct stat *poststat, tav_fallocate_cbk_fn cbk, void *data);
TAV_API int tav_discard_async(tav_fd *fd, off_t offset, size_t length, struct stat *prestat,
                              struct stat *poststat, tav_discard_cbk_fn cbk, void *data);
TAV_API int tav_fiemap_async(tav_fd *fd, struct fiemap *fieinfo, struct stat *prestat, struct stat *poststat,
                             tav_fiemap_cbk_fn cbk, void *data);
TAV_API int tav_zerofill_async(tav_fd *fd, int mode, off_t offset, size_t length, struct stat *prestat,
                               struct stat *poststat, tav_zerofill_cbk_fn cbk, void *data);
TAV_API int tav_sync_async(tav *instance, const unsigned char *name, int flags, tav_sync_cbk_fn cbk,
                           void *data);
TAV_API int tav_fsync_async(tav_fd *fd, int flags, tav_sync_cbk_fn cbk, void *data);
TAV_API int tav_compress_async(tav *instance, const unsigned char *name, tav_compress_cbk_fn cbk, void *data);
TAV_API int tav_statex_async(tav *instance, const unsigned char *name, tav_statex *statex,
                             tav_statex_cbk_fn cbk, void *data);
TAV_API int tav_expand_async(tav *instance, size_t length, tav_expand_cbk_fn cbk, void *data);

/* ---- synchronous helpers (inside a coroutine of the I/O thread only) ---- */

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
