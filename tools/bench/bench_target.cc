// The files and devices the sides run on: the test file or the caller's path
// for sides A and B, the volume for side C.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench.h"
#include "evdriver.h"
#include "ioengine.h"
#include "kvol.h"

namespace bench {

namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kVolumeFileSize = 2ull << 30;

int fail_errno(const char *what, const std::string &path) {
    int err = errno;
    fprintf(stderr, "tav_bench: %s %s: %s\n", what, path.c_str(), strerror(err));
    return -err;
}

std::string scratch_name(const std::string &dir, const char *suffix) {
    return dir + "/tav_bench." + std::to_string(getpid()) + suffix;
}

} // namespace

int target_create_file(Target *t, const std::string &dir, uint64_t size) {
    t->path = scratch_name(dir, ".img");
    int fd = open(t->path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail_errno("cannot create", t->path);
    t->owned = true;
    t->writable = true;
    t->region = size;
    int ret = 0;
    if (ftruncate(fd, (off_t)size) < 0) {
        ret = fail_errno("cannot size", t->path);
    } else if (fallocate(fd, 0, 0, (off_t)size) < 0) {
        if (errno == EOPNOTSUPP)
            fprintf(stderr, "tav_bench: %s stays sparse: preallocation not supported\n", t->path.c_str());
        else
            ret = fail_errno("cannot preallocate", t->path);
    }
    close(fd);
    return ret;
}

int target_use_path(Target *t, const std::string &path, uint64_t size, uint64_t cap, bool writable) {
    t->path = path;
    t->writable = writable;
    struct stat st;
    if (stat(path.c_str(), &st) < 0)
        return fail_errno("cannot use", path);
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        fprintf(stderr, "tav_bench: %s is neither a regular file nor a block device\n", path.c_str());
        return -EINVAL;
    }
    t->is_blockdev = S_ISBLK(st.st_mode);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail_errno("cannot open", path);
    off_t len = lseek(fd, 0, SEEK_END);
    close(fd);
    if (len < 0)
        return fail_errno("cannot size", path);
    if (size == 0)
        size = (uint64_t)len < cap ? (uint64_t)len : cap;
    if (size > (uint64_t)len) {
        fprintf(stderr, "tav_bench: %s holds %lld bytes, fewer than the %llu asked for\n", path.c_str(),
                (long long)len, (unsigned long long)size);
        return -EINVAL;
    }
    t->region = size / kMiB * kMiB;
    if (t->region == 0) {
        fprintf(stderr, "tav_bench: %s is smaller than 1 MiB\n", path.c_str());
        return -EINVAL;
    }
    return 0;
}

int target_open(Target *t) {
    int flags = (t->writable ? O_RDWR : O_RDONLY) | O_DIRECT;
    t->fd = open(t->path.c_str(), flags | O_CLOEXEC);
    if (t->fd < 0) {
        // Without O_DIRECT the page cache would be measured, not the device.
        return fail_errno("cannot open with O_DIRECT", t->path);
    }
    t->libaio = ioengine_init(evdriver_env(), "libaio", t->path.c_str(), flags);
    if (t->libaio == nullptr) {
        fprintf(stderr, "tav_bench: the libaio engine cannot open %s\n", t->path.c_str());
        return -EIO;
    }
    return 0;
}

int target_make_volume(Target *t, const std::string &dir) {
    t->vol_path = scratch_name(dir, ".vol");
    int fd = open(t->vol_path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail_errno("cannot create", t->vol_path);
    t->vol_owned = true;
    int r = ftruncate(fd, (off_t)kVolumeFileSize);
    if (r < 0)
        r = fail_errno("cannot size", t->vol_path);
    close(fd);
    if (r < 0)
        return r;
    kvol_mkfs_param_t p = {0, 0, t->vol_path.c_str()};
    if (kvol_mkfs(&p) != 0) {
        fprintf(stderr, "tav_bench: kvol_mkfs on %s failed\n", t->vol_path.c_str());
        return -EIO;
    }
    t->kvol = ioengine_init(evdriver_env(), "kvol", t->vol_path.c_str(), O_RDWR | O_DIRECT);
    if (t->kvol == nullptr) {
        fprintf(stderr, "tav_bench: the kvol engine cannot open %s\n", t->vol_path.c_str());
        return -EIO;
    }
    ioengine_statdev st;
    r = ioengine_statdev_get(t->kvol, &st);
    if (r < 0)
        return r;
    if (st.phy_avail_length < t->region) {
        fprintf(stderr, "tav_bench: the volume offers %llu bytes, fewer than the region of %llu\n",
                (unsigned long long)st.phy_avail_length, (unsigned long long)t->region);
        return -ENOSPC;
    }
    return 0;
}

void target_close(Target *t) {
    if (t->kvol)
        ioengine_fini(t->kvol);
    t->kvol = nullptr;
    if (t->libaio)
        ioengine_fini(t->libaio);
    t->libaio = nullptr;
    if (t->fd >= 0)
        close(t->fd);
    t->fd = -1;
    if (t->vol_owned && unlink(t->vol_path.c_str()) < 0)
        fail_errno("cannot remove", t->vol_path);
    t->vol_owned = false;
    if (t->owned && unlink(t->path.c_str()) < 0)
        fail_errno("cannot remove", t->path);
    t->owned = false;
}

} // namespace bench
