// The FUSE operation table of tav_standalone: each request becomes one
// library call whose callback answers it.
//
// Every request is answered exactly once and its context freed exactly once:
// a handler either answers at once (and frees what it allocated), or hands
// the context to a library call whose callback answers and frees it.  A
// context's request pointer is cleared by the answer, and freeing a context
// that was never answered is an assertion.
#include <assert.h>
#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <unordered_set>

#include "inode_map.h"
#include "standalone.h"

namespace {

constexpr double kTimeout = 1.0;
constexpr size_t kPage = 4096;

// Directory buffer of one readdir: the whole listing, encoded.
struct dirbuf {
    char *buf_ptr;
    size_t buf_size;
    off_t off;
    size_t size;
};

struct fuse_tav_ctx {
    fuse_req_t req;
    struct fuse_file_info fi;
    unsigned char gfid[16];
    struct {
        struct stat stat;
        int flags;
        char *name;
        void *value;
        void *data;
        size_t size;
    } args;
    struct {
        union {
            struct stat stat;
            struct statvfs statvfs;
        };
        void *data;
    } args_cbk;
    struct iovec iov;
    dirbuf dir;
};

struct standalone_state {
    tav *instance;     // s_tav: set by the init callback, cleared when shutdown begins
    bool init_pending; // tav_init_async launched, its callback not yet come
    bool stopping;     // shutdown has begun
    int exit_status;
    struct fuse_session *se;
    struct tav_config *cfg;
    int fd_registered;
};

standalone_state s;

// The open-file handles given to the kernel and not yet released by it.
std::unordered_set<tav_fd *> &open_handles() {
    static std::unordered_set<tav_fd *> set;
    return set;
}

struct stat make_root_st() {
    struct stat st = {};
    st.st_ino = TAV_ROOT_INO;
    st.st_nlink = 2;
    st.st_mode = S_IFDIR | 0755;
    return st;
}
const struct stat root_st = make_root_st();

fuse_tav_ctx *ctx_new(fuse_req_t req) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(calloc(1, sizeof(fuse_tav_ctx)));
    if (ctx != nullptr)
        ctx->req = req;
    return ctx;
}

void ctx_free(fuse_tav_ctx *ctx) {
    assert(ctx->req == nullptr); // answered before it goes
    free(ctx->args.name);
    free(ctx->args.value);
    free(ctx->args.data);
    free(ctx->args_cbk.data);
    free(ctx->dir.buf_ptr);
    free(ctx);
}

// Takes the request out of the context for its one answer.
fuse_req_t take_req(fuse_tav_ctx *ctx) {
    fuse_req_t req = ctx->req;
    assert(req != nullptr);
    ctx->req = nullptr;
    return req;
}

void answer_err(fuse_tav_ctx *ctx, int err) {
    fuse_reply_err(take_req(ctx), err);
    ctx_free(ctx);
}

// A library call that could not start is answered with its code at once.
void answer_start(fuse_tav_ctx *ctx, int ret) {
    if (ret < 0)
        answer_err(ctx, -ret);
}

void *alloc_aligned(size_t size) {
    void *p = nullptr;
    size_t rounded = (size + kPage - 1) / kPage * kPage;
    if (rounded == 0)
        rounded = kPage;
    if (posix_memalign(&p, kPage, rounded) != 0)
        return nullptr;
    return p;
}

void check_ino(fuse_ino_t ino) {
    assert(ino < TAV_INODE_MAP_SIZE);
    (void)ino;
}

tav_fd *handle_of(const struct fuse_file_info *fi) {
    if (fi == nullptr)
        return nullptr;
    return reinterpret_cast<tav_fd *>(static_cast<uintptr_t>(fi->fh));
}

bool readonly() {
    return s.cfg != nullptr && s.cfg->readonly;
}

// Hands a new handle to the kernel with the open or create reply; a reply
// the kernel no longer waits for (-ENOENT: the request was interrupted)
// means it will never release the handle, so it is closed here.
void hand_out(tav_fd *fd, int reply_ret) {
    if (reply_ret == -ENOENT)
        tav_close(fd);
    else
        open_handles().insert(fd);
}

void fill_entry(struct fuse_entry_param *e, const struct stat *st, fuse_ino_t ino) {
    memset(e, 0, sizeof(*e));
    e->ino = ino;
    e->generation = 0;
    e->attr = *st;
    e->attr.st_ino = ino;
    e->attr_timeout = kTimeout;
    e->entry_timeout = kTimeout;
}

// ---- lifecycle ------------------------------------------------------------

void break_loop() {
    ev_break(static_cast<struct ev_loop *>(s.cfg->driver->handle), EVBREAK_ALL);
}

void fuse_tav_destroy_cbk(int64_t, uint32_t, void *) {
    break_loop();
}

void finish_instance(tav *instance) {
    int ret = tav_fini(instance, fuse_tav_destroy_cbk, nullptr);
    if (ret < 0) {
        fprintf(stderr, "tav: finishing the instance failed: %s\n", strerror(-ret));
        s.exit_status = 1;
        break_loop();
    }
}

void fuse_tav_init_cbk(ssize_t op_ret, uint32_t op_errno, void *, tav *instance) {
    s.init_pending = false;
    if (op_ret != 0) {
        fprintf(stderr, "tav: cannot start the instance on %s: %s\n", s.cfg->path,
                strerror(static_cast<int>(op_errno)));
        s.exit_status = 1;
        break_loop();
        return;
    }
    assert(instance != nullptr);
    if (s.stopping) { // shutdown began while the instance was starting
        finish_instance(instance);
        return;
    }
    s.instance = instance;
}

void fuse_tav_init(void *userdata, struct fuse_conn_info *) {
    tav_config *cfg = static_cast<tav_config *>(userdata);
    assert(cfg != nullptr && cfg->driver != nullptr);
    s.cfg = cfg;
    if (cfg->path == nullptr || cfg->ioengine == nullptr) {
        fprintf(stderr, "tav: path or ioengine not given\n");
        s.exit_status = 1;
        break_loop();
        return;
    }
    if (cfg->debug)
        setenv("TAV_LOG_TARGET", "STDERR", 1);
    setenv("TAV_IOENGINE", cfg->ioengine, 1);
    s.init_pending = true;
    int ret =
        tav_init_async(cfg->driver, cfg->path, cfg->readonly ? O_RDONLY : O_RDWR, fuse_tav_init_cbk, nullptr);
    if (ret < 0) {
        s.init_pending = false;
        fprintf(stderr, "tav: cannot start the instance on %s: %s%s\n", cfg->path, strerror(-ret),
                ret == -EWOULDBLOCK ? " (another process serves it)" : "");
        s.exit_status = 1;
        break_loop();
        return;
    }
}

void fuse_tav_destroy(void *) {
    standalone_shutdown();
}

// ---- attributes -----------------------------------------------------------

void lookup_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    int64_t ino = inode_map_set(ctx->args_cbk.stat.st_ino, ctx->gfid);
    if (ino < 0)
        return answer_err(ctx, static_cast<int>(-ino));
    struct fuse_entry_param e;
    fill_entry(&e, &ctx->args_cbk.stat, static_cast<fuse_ino_t>(ino));
    fuse_reply_entry(take_req(ctx), &e);
    ctx_free(ctx);
}

// A name-based request's context (lookup, create, unlink): only the root
// has entries (ENOENT under another parent), and the name must parse as a
// uuid (EINVAL), with the create suffix when `flags` is given and exactly
// otherwise; ENOMEM without memory.  Null when already answered.
fuse_tav_ctx *name_ctx(fuse_req_t req, fuse_ino_t parent, const char *name, int *flags) {
    check_ino(parent);
    if (parent != TAV_ROOT_INO) {
        fuse_reply_err(req, ENOENT);
        return nullptr;
    }
    fuse_tav_ctx *ctx = ctx_new(req);
    if (ctx == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return nullptr;
    }
    int ret =
        flags != nullptr ? name_parse_create(name, ctx->gfid, flags) : name_parse_exact(name, ctx->gfid);
    if (ret < 0) {
        answer_err(ctx, EINVAL);
        return nullptr;
    }
    return ctx;
}

void fuse_tav_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    int flags = 0;
    fuse_tav_ctx *ctx = name_ctx(req, parent, name, &flags);
    if (ctx == nullptr)
        return;
    answer_start(ctx, tav_getattr_async(s.instance, ctx->gfid, &ctx->args_cbk.stat, lookup_cbk, ctx));
}

void attr_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    fuse_reply_attr(take_req(ctx), &ctx->args_cbk.stat, kTimeout);
    ctx_free(ctx);
}

// A known file's context: ESTALE for an inode the daemon never gave out
// (the root included), ENOMEM without memory; null when already answered.
fuse_tav_ctx *file_ctx(fuse_req_t req, fuse_ino_t ino) {
    check_ino(ino);
    const unsigned char *gfid = inode_map_get(ino);
    if (gfid == nullptr) {
        fuse_reply_err(req, ESTALE);
        return nullptr;
    }
    fuse_tav_ctx *ctx = ctx_new(req);
    if (ctx == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return nullptr;
    }
    memcpy(ctx->gfid, gfid, 16);
    return ctx;
}

void fuse_tav_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    check_ino(ino);
    if (ino == TAV_ROOT_INO) {
        fuse_reply_attr(req, &root_st, kTimeout);
        return;
    }
    fuse_tav_ctx *ctx = file_ctx(req, ino);
    if (ctx == nullptr)
        return;
    tav_fd *fd = handle_of(fi);
    int ret = fd ? tav_fgetattr_async(fd, &ctx->args_cbk.stat, attr_cbk, ctx)
                 : tav_getattr_async(s.instance, ctx->gfid, &ctx->args_cbk.stat, attr_cbk, ctx);
    answer_start(ctx, ret);
}

void setattr_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    if (ctx->args.flags & FUSE_SET_ATTR_SIZE) {
        // The size goes through truncate by name, also when the attributes
        // went through a handle; its post-state is the answer.
        return answer_start(ctx, tav_truncate_async(s.instance, ctx->gfid, ctx->args.stat.st_size, nullptr,
                                                    &ctx->args_cbk.stat, attr_cbk, ctx));
    }
    attr_cbk(0, 0, ctx);
}

void fuse_tav_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
                      struct fuse_file_info *fi) {
    check_ino(ino);
    if (ino == TAV_ROOT_INO) {
        fuse_reply_attr(req, &root_st, kTimeout);
        return;
    }
    fuse_tav_ctx *ctx = file_ctx(req, ino);
    if (ctx == nullptr)
        return;
    if (readonly())
        return answer_err(ctx, EROFS);
    ctx->args.stat = *attr;
    ctx->args.flags = to_set;
    tav_fd *fd = handle_of(fi);
    int ret =
        fd ? tav_fsetattr_async(fd, &ctx->args.stat, to_set, nullptr, &ctx->args_cbk.stat, setattr_cbk, ctx)
           : tav_setattr_async(s.instance, ctx->gfid, &ctx->args.stat, to_set, nullptr, &ctx->args_cbk.stat,
                               setattr_cbk, ctx);
    answer_start(ctx, ret);
}

void fuse_tav_statfs(fuse_req_t req, fuse_ino_t ino) {
    check_ino(ino);
    fuse_tav_ctx *ctx = nullptr;
    if (ino == TAV_ROOT_INO) {
        ctx = ctx_new(req);
        if (ctx == nullptr) {
            fuse_reply_err(req, ENOMEM);
            return;
        }
    } else if ((ctx = file_ctx(req, ino)) == nullptr) {
        return;
    }
    answer_start(ctx, tav_statfs_async(
                          s.instance, &ctx->args_cbk.statvfs,
                          [](int64_t op_ret, uint32_t op_errno, void *data) {
                              fuse_tav_ctx *c = static_cast<fuse_tav_ctx *>(data);
                              if (op_ret < 0)
                                  return answer_err(c, static_cast<int>(op_errno));
                              fuse_reply_statfs(take_req(c), &c->args_cbk.statvfs);
                              ctx_free(c);
                          },
                          ctx));
}

// ---- namespace ------------------------------------------------------------

void status_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    answer_err(ctx, op_ret < 0 ? static_cast<int>(op_errno) : 0);
}

void fuse_tav_unlink(fuse_req_t req, fuse_ino_t parent, const char *name) {
    fuse_tav_ctx *ctx = name_ctx(req, parent, name, nullptr);
    if (ctx == nullptr)
        return;
    if (readonly())
        return answer_err(ctx, EROFS);
    answer_start(ctx, tav_unlink_async(s.instance, ctx->gfid, status_cbk, ctx));
}

void open_cbk(int64_t op_ret, uint32_t op_errno, void *data, tav_fd *fd) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    if (s.stopping) { // the instance is being finished: no new handles
        tav_close(fd);
        return answer_err(ctx, EIO);
    }
    ctx->fi.fh = reinterpret_cast<uintptr_t>(fd);
    hand_out(fd, fuse_reply_open(take_req(ctx), &ctx->fi));
    ctx_free(ctx);
}

void fuse_tav_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    check_ino(ino);
    if (ino == TAV_ROOT_INO) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    fuse_tav_ctx *ctx = file_ctx(req, ino);
    if (ctx == nullptr)
        return;
    if (fi == nullptr)
        return answer_err(ctx, EINVAL);
    if (readonly() && ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)))
        return answer_err(ctx, EROFS);
    ctx->fi = *fi;
    answer_start(ctx, tav_open_async(s.instance, ctx->gfid, fi->flags, 2, open_cbk, ctx));
}

void create_attr_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    tav_fd *fd = handle_of(&ctx->fi);
    if (op_ret < 0) {
        // The handle was never given to the kernel: close it here.
        tav_close(fd);
        return answer_err(ctx, static_cast<int>(op_errno));
    }
    int64_t ino = inode_map_set(ctx->args_cbk.stat.st_ino, ctx->gfid);
    if (ino < 0) {
        tav_close(fd);
        return answer_err(ctx, static_cast<int>(-ino));
    }
    struct fuse_entry_param e;
    fill_entry(&e, &ctx->args_cbk.stat, static_cast<fuse_ino_t>(ino));
    hand_out(fd, fuse_reply_create(take_req(ctx), &e, &ctx->fi));
    ctx_free(ctx);
}

void create_cbk(int64_t op_ret, uint32_t op_errno, void *data, tav_fd *fd) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    if (s.stopping) {
        tav_close(fd);
        return answer_err(ctx, EIO);
    }
    ctx->fi.fh = reinterpret_cast<uintptr_t>(fd);
    int ret = tav_fgetattr_async(fd, &ctx->args_cbk.stat, create_attr_cbk, ctx);
    if (ret < 0) {
        tav_close(fd);
        answer_err(ctx, -ret);
    }
}

void fuse_tav_create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
                     struct fuse_file_info *fi) {
    int flags = 0;
    fuse_tav_ctx *ctx = name_ctx(req, parent, name, &flags);
    if (ctx == nullptr)
        return;
    if (readonly())
        return answer_err(ctx, EROFS);
    if (fi != nullptr)
        ctx->fi = *fi;
    answer_start(ctx, tav_create_async(s.instance, ctx->gfid, flags, mode, create_cbk, ctx));
}

void fuse_tav_release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    check_ino(ino);
    tav_fd *fd = handle_of(fi);
    if (fd == nullptr || open_handles().erase(fd) == 0) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    fuse_reply_err(req, -tav_close(fd));
}

// ---- listing --------------------------------------------------------------

void dirbuf_add(fuse_req_t req, dirbuf *b, const char *name, const struct stat *st) {
    size_t old = b->buf_size;
    size_t len = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
    char *p = static_cast<char *>(realloc(b->buf_ptr, old + len));
    if (p == nullptr)
        return; // the entry is left out, the listing goes on
    b->buf_ptr = p;
    b->buf_size = old + len;
    fuse_add_direntry(req, p + old, len, name, st, static_cast<off_t>(b->buf_size));
}

int readdir_filter(tav *instance, unsigned char *name, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    struct stat st;
    int ret = tav_getattr(instance, name, &st);
    if (ret == -ENOENT)
        return 0; // removed while the listing ran
    if (ret < 0)
        return ret;
    int64_t ino = inode_map_fuse_ino(st.st_ino);
    if (ino < 0)
        return 0; // a number the map cannot hold is not listed
    st.st_ino = (ino_t)ino;
    char text[TAV_UUID_TEXT_LEN + 1];
    uuid_unparse(name, text);
    dirbuf_add(ctx->req, &ctx->dir, text, &st);
    return 0;
}

void readdir_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    dirbuf *b = &ctx->dir;
    fuse_req_t req = take_req(ctx);
    if (b->off >= 0 && static_cast<size_t>(b->off) < b->buf_size) {
        size_t n = b->buf_size - static_cast<size_t>(b->off);
        fuse_reply_buf(req, b->buf_ptr + b->off, n < b->size ? n : b->size);
    } else {
        fuse_reply_buf(req, nullptr, 0);
    }
    ctx_free(ctx);
}

void fuse_tav_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *) {
    check_ino(ino);
    if (ino != TAV_ROOT_INO) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    fuse_tav_ctx *ctx = ctx_new(req);
    if (ctx == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    ctx->dir.off = off;
    ctx->dir.size = size;
    dirbuf_add(req, &ctx->dir, ".", &root_st);
    dirbuf_add(req, &ctx->dir, "..", &root_st);
    answer_start(ctx, tav_list_file(s.instance, readdir_filter, readdir_cbk, TAV_LIST_ALL_FILE, ctx));
}

// ---- data -----------------------------------------------------------------

// A handle-based request's context: EINVAL without a handle.
fuse_tav_ctx *handle_ctx(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi, tav_fd **fd) {
    check_ino(ino);
    *fd = handle_of(fi);
    if (*fd == nullptr) {
        fuse_reply_err(req, EINVAL);
        return nullptr;
    }
    fuse_tav_ctx *ctx = ctx_new(req);
    if (ctx == nullptr)
        fuse_reply_err(req, ENOMEM);
    return ctx;
}

void fuse_tav_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi) {
    tav_fd *fd;
    fuse_tav_ctx *ctx = handle_ctx(req, ino, fi, &fd);
    if (ctx == nullptr)
        return;
    ctx->args_cbk.data = alloc_aligned(size);
    if (ctx->args_cbk.data == nullptr)
        return answer_err(ctx, ENOMEM);
    ctx->iov = {ctx->args_cbk.data, size};
    answer_start(ctx, tav_preadv_async(
                          fd, &ctx->iov, 1, off, nullptr, nullptr,
                          [](int64_t op_ret, uint32_t op_errno, void *data) {
                              fuse_tav_ctx *c = static_cast<fuse_tav_ctx *>(data);
                              if (op_ret < 0)
                                  return answer_err(c, static_cast<int>(op_errno));
                              fuse_reply_buf(take_req(c), static_cast<char *>(c->args_cbk.data),
                                             static_cast<size_t>(op_ret));
                              ctx_free(c);
                          },
                          ctx));
}

void write_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    fuse_reply_write(take_req(ctx), static_cast<size_t>(op_ret));
    ctx_free(ctx);
}

void start_write(fuse_tav_ctx *ctx, tav_fd *fd, size_t len, off_t off) {
    ctx->iov = {ctx->args.data, len};
    answer_start(ctx, tav_pwritev_async(fd, &ctx->iov, 1, off, nullptr, nullptr, write_cbk, ctx));
}

void fuse_tav_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t off,
                    struct fuse_file_info *fi) {
    tav_fd *fd;
    fuse_tav_ctx *ctx = handle_ctx(req, ino, fi, &fd);
    if (ctx == nullptr)
        return;
    if (readonly())
        return answer_err(ctx, EROFS);
    ctx->args.data = malloc(size ? size : 1);
    if (ctx->args.data == nullptr)
        return answer_err(ctx, ENOMEM);
    memcpy(ctx->args.data, buf, size);
    start_write(ctx, fd, size, off);
}

// Reads what is left of a spliced write from its pipe and drops it, so that
// the next request read through the pipe starts at its own header.
void drain_pipe(struct fuse_buf *b) {
    static char scratch[65536];
    size_t left = b->size;
    while (left > 0) {
        ssize_t n = read(b->fd, scratch, left < sizeof(scratch) ? left : sizeof(scratch));
        if (n <= 0 && !(n < 0 && errno == EINTR))
            break;
        if (n > 0)
            left -= static_cast<size_t>(n);
    }
}

void fuse_tav_write_buf(fuse_req_t req, fuse_ino_t ino, struct fuse_bufvec *bufv, off_t off,
                        struct fuse_file_info *fi) {
    assert(bufv->count == 1 && bufv->idx == 0);
    struct fuse_buf *b = &bufv->buf[0];
    bool is_fd = (b->flags & FUSE_BUF_IS_FD) != 0;
    tav_fd *fd;
    fuse_tav_ctx *ctx = handle_ctx(req, ino, fi, &fd);
    if (ctx == nullptr || readonly() || (ctx->args.data = alloc_aligned(b->size)) == nullptr) {
        if (is_fd)
            drain_pipe(b);
        if (ctx != nullptr)
            answer_err(ctx, readonly() ? EROFS : ENOMEM);
        return;
    }
    size_t len = b->size;
    if (is_fd) {
        ssize_t n;
        do {
            n = (b->flags & FUSE_BUF_FD_SEEK) ? pread(b->fd, ctx->args.data, b->size, b->pos)
                                              : read(b->fd, ctx->args.data, b->size);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return answer_err(ctx, errno);
        len = static_cast<size_t>(n);
    } else {
        memcpy(ctx->args.data, b->mem, len);
    }
    bufv->off = len;
    start_write(ctx, fd, len, off);
}

void fuse_tav_flush(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    tav_fd *fd;
    fuse_tav_ctx *ctx = handle_ctx(req, ino, fi, &fd);
    if (ctx != nullptr)
        answer_start(ctx, tav_fsync_async(fd, 0, status_cbk, ctx));
}

void fuse_tav_fsync(fuse_req_t req, fuse_ino_t ino, int, struct fuse_file_info *fi) {
    fuse_tav_flush(req, ino, fi);
}

// fallocate: PUNCH_HOLE discards, ZERO_RANGE zero-fills (hard), anything
// else allocates.  The library's allocation always grows the file to the
// end of the range and its zero-fill never does; so that KEEP_SIZE keeps
// the size and a zero range without it grows the file as the caller asked,
// those two first read the size: an allocation with KEEP_SIZE is cut at the
// end of the file, a zero range without it is followed by a truncate that
// grows the file to the range's end.
void falloc_start(fuse_tav_ctx *ctx, tav_fd *fd, int mode, off_t offset, size_t len, tav_common_cbk_fn cbk) {
    int ret;
    if (mode & FALLOC_FL_PUNCH_HOLE)
        ret = tav_discard_async(fd, offset, len, nullptr, nullptr, cbk, ctx);
    else if (mode & FALLOC_FL_ZERO_RANGE)
        ret = tav_zerofill_async(fd, TAV_ZEROFILL_HARD, offset, len, nullptr, nullptr, cbk, ctx);
    else
        ret = tav_fallocate_async(fd, TAV_FALLOC_DEFAULT, offset, len, nullptr, nullptr, cbk, ctx);
    answer_start(ctx, ret);
}

void zero_range_grow_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    off_t end = ctx->args.stat.st_size;
    if (end > ctx->args_cbk.stat.st_size)
        return answer_start(ctx,
                            tav_ftruncate_async(handle_of(&ctx->fi), end, nullptr, nullptr, status_cbk, ctx));
    status_cbk(0, 0, ctx);
}

void falloc_size_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    tav_fd *fd = handle_of(&ctx->fi);
    off_t offset = static_cast<off_t>(ctx->args.size), size = ctx->args_cbk.stat.st_size;
    size_t len = static_cast<size_t>(ctx->args.stat.st_size - offset);
    if (ctx->args.flags & FALLOC_FL_ZERO_RANGE)
        return falloc_start(ctx, fd, ctx->args.flags, offset, len, zero_range_grow_cbk);
    if (offset >= size) // nothing inside the file
        return status_cbk(0, 0, ctx);
    if (static_cast<off_t>(len) > size - offset)
        len = static_cast<size_t>(size - offset);
    falloc_start(ctx, fd, ctx->args.flags, offset, len, status_cbk);
}

void fuse_tav_fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length,
                        struct fuse_file_info *fi) {
    tav_fd *fd;
    fuse_tav_ctx *ctx = handle_ctx(req, ino, fi, &fd);
    if (ctx == nullptr)
        return;
    if (readonly())
        return answer_err(ctx, EROFS);
    if (offset < 0 || length <= 0 || length > static_cast<off_t>(TAV_MAX_FILE_SIZE))
        return answer_err(ctx, EINVAL);
    bool keep = (mode & FALLOC_FL_KEEP_SIZE) != 0;
    if (mode & FALLOC_FL_PUNCH_HOLE)
        return falloc_start(ctx, fd, mode, offset, static_cast<size_t>(length), status_cbk);
    bool zero = (mode & FALLOC_FL_ZERO_RANGE) != 0;
    if (zero == keep)
        return falloc_start(ctx, fd, mode, offset, static_cast<size_t>(length), status_cbk);
    ctx->fi.fh = reinterpret_cast<uintptr_t>(fd);
    ctx->args.flags = mode;
    ctx->args.size = static_cast<size_t>(offset);
    ctx->args.stat.st_size = offset + length; // the range's end
    answer_start(ctx, tav_fgetattr_async(fd, &ctx->args_cbk.stat, falloc_size_cbk, ctx));
}

// ---- extended attributes --------------------------------------------------

void xattr_buf_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    fuse_tav_ctx *ctx = static_cast<fuse_tav_ctx *>(data);
    if (op_ret < 0)
        return answer_err(ctx, static_cast<int>(op_errno));
    fuse_req_t req = take_req(ctx);
    if (ctx->args_cbk.data != nullptr)
        fuse_reply_buf(req, static_cast<char *>(ctx->args_cbk.data), static_cast<size_t>(op_ret));
    else
        fuse_reply_xattr(req, static_cast<size_t>(op_ret));
    ctx_free(ctx);
}

// The reply buffer of a get or list: the kernel's size zero-filled, none for
// a size query.
bool xattr_reply_buffer(fuse_tav_ctx *ctx, size_t size) {
    ctx->args.size = size;
    if (size == 0)
        return true;
    ctx->args_cbk.data = calloc(1, size);
    return ctx->args_cbk.data != nullptr;
}

// A compression the library does not offer is answered EOPNOTSUPP: the
// kernel takes ENOSYS from setxattr as "no extended attributes at all" and
// would refuse every later set on the mount without asking.
void compress_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    status_cbk(op_ret, op_errno == ENOSYS ? EOPNOTSUPP : op_errno, data);
}

// The root directory has no extended attributes: gets and removes find
// none, the list is empty and sets are not supported.  (ESTALE would tell
// tools such as ls -l that the mount itself had gone.)
bool root_xattr(fuse_req_t req, fuse_ino_t ino, int err) {
    check_ino(ino);
    if (ino != TAV_ROOT_INO)
        return false;
    if (err == 0)
        fuse_reply_xattr(req, 0);
    else
        fuse_reply_err(req, err);
    return true;
}

void fuse_tav_setxattr(fuse_req_t req, fuse_ino_t ino, const char *name, const char *value, size_t size,
                       int) {
    if (root_xattr(req, ino, EOPNOTSUPP))
        return;
    fuse_tav_ctx *ctx = file_ctx(req, ino);
    if (ctx == nullptr)
        return;
    if (readonly())
        return answer_err(ctx, EROFS);
    if (strcmp(name, "compress") == 0)
        return answer_start(ctx, tav_compress_async(s.instance, ctx->gfid, compress_cbk, ctx));
    ctx->args.name = strdup(name);
    ctx->args.value = malloc(size ? size : 1);
    if (ctx->args.name == nullptr || ctx->args.value == nullptr)
        return answer_err(ctx, ENOMEM);
    memcpy(ctx->args.value, value, size);
    ctx->args.size = size;
    answer_start(ctx, tav_setxattr_async(s.instance, ctx->gfid, ctx->args.name, ctx->args.value, size, 0,
                                         nullptr, nullptr, status_cbk, ctx));
}

void fuse_tav_getxattr(fuse_req_t req, fuse_ino_t ino, const char *name, size_t size) {
    if (root_xattr(req, ino, ENODATA))
        return;
    fuse_tav_ctx *ctx = file_ctx(req, ino);
    if (ctx == nullptr)
        return;
    ctx->args.name = strdup(name);
    if (ctx->args.name == nullptr || !xattr_reply_buffer(ctx, size))
        return answer_err(ctx, ENOMEM);
    answer_start(ctx, tav_getxattr_async(s.instance, ctx->gfid, ctx->args.name, ctx->args_cbk.data, size,
                                         xattr_buf_cbk, ctx));
}

void fuse_tav_listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
    if (ino == TAV_ROOT_INO) {
        if (size == 0)
            fuse_reply_xattr(req, 0);
        else
            fuse_reply_buf(req, nullptr, 0);
        return;
    }
    fuse_tav_ctx *ctx = file_ctx(req, ino);
    if (ctx == nullptr)
        return;
    if (!xattr_reply_buffer(ctx, size))
        return answer_err(ctx, ENOMEM);
    answer_start(ctx,
                 tav_listxattr_async(s.instance, ctx->gfid, ctx->args_cbk.data, size, xattr_buf_cbk, ctx));
}

void fuse_tav_removexattr(fuse_req_t req, fuse_ino_t ino, const char *name) {
    if (root_xattr(req, ino, ENODATA))
        return;
    fuse_tav_ctx *ctx = file_ctx(req, ino);
    if (ctx == nullptr)
        return;
    if (readonly())
        return answer_err(ctx, EROFS);
    ctx->args.name = strdup(name);
    if (ctx->args.name == nullptr)
        return answer_err(ctx, ENOMEM);
    answer_start(ctx, tav_removexattr_async(s.instance, ctx->gfid, ctx->args.name, 0, nullptr, nullptr,
                                            status_cbk, ctx));
}

struct fuse_lowlevel_ops make_ops() {
    struct fuse_lowlevel_ops ops = {};
    ops.init = fuse_tav_init;
    ops.destroy = fuse_tav_destroy;
    ops.lookup = fuse_tav_lookup;
    ops.getattr = fuse_tav_getattr;
    ops.setattr = fuse_tav_setattr;
    ops.unlink = fuse_tav_unlink;
    ops.open = fuse_tav_open;
    ops.read = fuse_tav_read;
    ops.write = fuse_tav_write;
    ops.flush = fuse_tav_flush;
    ops.release = fuse_tav_release;
    ops.fsync = fuse_tav_fsync;
    ops.readdir = fuse_tav_readdir;
    ops.statfs = fuse_tav_statfs;
    ops.setxattr = fuse_tav_setxattr;
    ops.getxattr = fuse_tav_getxattr;
    ops.listxattr = fuse_tav_listxattr;
    ops.removexattr = fuse_tav_removexattr;
    ops.create = fuse_tav_create;
    ops.write_buf = fuse_tav_write_buf;
    ops.fallocate = fuse_tav_fallocate;
    return ops;
}

} // namespace

const struct fuse_lowlevel_ops s_tav_ops = make_ops();

void standalone_set_session(struct fuse_session *se, struct tav_config *cfg, int fd_registered) {
    s.se = se;
    s.cfg = cfg;
    s.fd_registered = fd_registered;
}

void standalone_stop_reading(void) {
    if (s.fd_registered) {
        s.cfg->driver->ev_unregister(s.cfg->driver->handle, fuse_session_fd(s.se), 0);
        s.fd_registered = 0;
    }
}

void standalone_shutdown(void) {
    if (s.stopping || s.cfg == nullptr)
        return;
    s.stopping = true;
    // No request is read any more; those in flight still get their answers.
    standalone_stop_reading();
    // Handles the kernel still holds (files open when a signal ends the
    // daemon) would keep the instance alive: the kernel's releases will not
    // be read any more, so they are closed here.
    for (tav_fd *fd : open_handles())
        tav_close(fd);
    open_handles().clear();
    if (s.instance != nullptr) {
        tav *instance = s.instance;
        s.instance = nullptr;
        finish_instance(instance);
    } else if (!s.init_pending) {
        break_loop();
    }
}

int standalone_exit_status(void) {
    return s.exit_status;
}
