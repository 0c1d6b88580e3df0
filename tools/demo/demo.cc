// tav_demo: a short tour of the library on its own libev loop.
//
// It makes a volume on a sparse image file, formats an instance on it, starts
// the instance through tav_init_async, sends a few requests through the
// asynchronous API and finishes the instance.  Requests whose handlers are
// not part of the library yet complete with ENOSYS, and the demo says so.
#include <ev.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "evdriver.h"
#include "inode.h"
#include "ioengine.h"
#include "kvol.h"
#include "super.h"
#include "tav.h"
#include "coroutine.h"
#include "logger.h"
#include "memory.h"

namespace {

struct Result {
    bool done = false;
    int64_t ret = 0;
    uint32_t err = 0;
    tav *instance = nullptr;
    tav_fd *fd = nullptr;
};

void common_cbk(int64_t ret, uint32_t err, void *data) {
    Result *r = static_cast<Result *>(data);
    r->done = true;
    r->ret = ret;
    r->err = err;
}

void init_cbk(ssize_t ret, uint32_t err, void *data, tav *instance) {
    common_cbk(ret, err, data);
    static_cast<Result *>(data)->instance = instance;
}

void open_cbk(int64_t ret, uint32_t err, void *data, tav_fd *fd) {
    common_cbk(ret, err, data);
    static_cast<Result *>(data)->fd = fd;
}

void run(Result *r) {
    struct ev_loop *loop = static_cast<struct ev_loop *>(evdriver_env()->handle);
    while (!r->done)
        ev_run(loop, EVRUN_ONCE);
}

const char *outcome(const Result &r) {
    static char buf[128];
    if (r.ret >= 0)
        snprintf(buf, sizeof(buf), "ok (%ld)", static_cast<long>(r.ret));
    else
        snprintf(buf, sizeof(buf), "%s%s", strerror(static_cast<int>(r.err)),
                 r.err == ENOSYS ? " - not part of the library yet" : "");
    return buf;
}

struct FormatJob {
    tav_sb_format_args args;
    int ret = -1;
    bool done = false;
};

// Makes the volume and formats the instance on its address space.
bool make_instance(const std::string &path) {
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0644);
    if (fd < 0 || ftruncate(fd, 2LL << 30) < 0) {
        perror(path.c_str());
        return false;
    }
    close(fd);
    kvol_mkfs_param_t vp = {1, 0, path.c_str()};
    if (kvol_mkfs(&vp) != 0) {
        fprintf(stderr, "kvol_mkfs failed\n");
        return false;
    }
    tav_iobuf_pool_init();
    if (ioengine_default_init(evdriver_env(), "kvol", path.c_str(), O_RDWR) < 0)
        return false;
    ioengine_statdev st;
    ioengine_statdev_get(ioengine_get_default(), &st);
    FormatJob job;
    job.args = {st.phy_length >> 20, 1, path.c_str()};
    coroutine_enter(coroutine_create(
        [](void *p) {
            FormatJob *j = static_cast<FormatJob *>(p);
            j->ret = tav_sb_format_instance(
                &j->args, [](void *, blkno_t b, uint64_t n) { return tav_inode_format(b, n); }, nullptr);
            j->done = true;
        },
        &job));
    struct ev_loop *loop = static_cast<struct ev_loop *>(evdriver_env()->handle);
    while (!job.done)
        ev_run(loop, EVRUN_ONCE);
    ioengine_default_fini();
    tav_iobuf_pool_fini();
    printf("formatted a %lu MiB instance on a volume in %s\n",
           static_cast<unsigned long>(job.args.blocks_count), path.c_str());
    return job.ret == 0;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    logger_set_target(LOG_TARGET_STDERR, nullptr);
    logger_set_loglevel(LOG_LEVEL_WARNING);
    kvol_logger_level(KVOL_LOG_LEVEL_ERROR);
    std::string path = argc > 1 ? argv[1] : "/var/tmp/tav_demo.img";
    if (!make_instance(path))
        return 1;

    setenv("TAV_LOG_TARGET", "STDERR", 0);
    setenv("TAV_LOG_LEVEL", "WARNING", 0);
    Result init;
    if (tav_init_async(evdriver_env(), path.c_str(), O_RDWR, init_cbk, &init) != 0)
        return 1;
    run(&init);
    printf("tav_init_async: %s\n", outcome(init));
    if (init.ret < 0)
        return 1;
    tav *fs = init.instance;

    struct statvfs st;
    Result statfs;
    tav_statfs_async(fs, &st, common_cbk, &statfs);
    run(&statfs);
    printf("tav_statfs_async: %s: %lu of %lu blocks of 1 MiB free, %lu files possible\n", outcome(statfs),
           static_cast<unsigned long>(st.f_bfree), static_cast<unsigned long>(st.f_blocks),
           static_cast<unsigned long>(st.f_files));

    const unsigned char name[16] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Result create;
    tav_create_async(fs, name, O_RDWR, 0644, open_cbk, &create);
    run(&create);
    printf("tav_create_async: %s\n", outcome(create));

    const char value[] = "demo";
    Result setx;
    tav_setxattr_async(fs, name, "user.demo", value, sizeof(value), 0, nullptr, nullptr, common_cbk, &setx);
    run(&setx);
    printf("tav_setxattr_async: %s\n", outcome(setx));

    struct stat attr;
    Result getattr;
    tav_fgetattr_async(create.fd, &attr, common_cbk, &getattr);
    run(&getattr);
    printf("tav_fgetattr_async: %s: inode %lu, mode %o, size %ld\n", outcome(getattr),
           static_cast<unsigned long>(attr.st_ino), static_cast<unsigned>(attr.st_mode),
           static_cast<long>(attr.st_size));

    Result sync;
    tav_sync_async(fs, name, 0, common_cbk, &sync);
    run(&sync);
    printf("tav_sync_async: %s\n", outcome(sync));

    // Every handle is closed before the instance is finished.
    if (create.fd)
        tav_close(create.fd);
    Result unlink_file;
    tav_unlink_async(fs, name, common_cbk, &unlink_file);
    run(&unlink_file);
    printf("tav_unlink_async: %s\n", outcome(unlink_file));

    Result fini;
    tav_fini(fs, common_cbk, &fini);
    run(&fini);
    printf("tav_fini: %s\n", outcome(fini));
    if (argc <= 1)
        unlink(path.c_str());
    return 0;
}
