// Opening and closing a volume, mapping descriptors, address lookup.
#include "kvol_volume.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "kvol_log.h"
#include "kvol_meta.h"

namespace {

uint32_t g_aio_max = KVOL_AIO_MAX;
constexpr uint32_t kMinAioMax = 64;

double now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void release(kvol_t *kvol) {
    kvol_cache_drain(kvol);
    if (kvol->aio_ctx != nullptr)
        io_destroy(kvol->aio_ctx);
    if (kvol->mappings != nullptr) {
        for (uint32_t j = 0; j < kvol->table_length; j++) {
            kvol_mapping_t *m = kvol->mappings[j];
            if (m == nullptr)
                continue;
            kvol_mapping_close(kvol, m);
            free(m->path);
            free(m);
        }
        free(kvol->mappings);
    }
    for (auto &l : kvol->listeners)
        free(l.path);
    free(kvol->correct_mappings);
    free(kvol->bmpblks);
    free(kvol->buff);
    if (kvol->fd >= 0) {
        if ((kvol->openflags & O_ACCMODE) != O_RDONLY)
            flock(kvol->fd, LOCK_UN);
        close(kvol->fd);
    }
    free(kvol);
}

} // namespace

void kvol_test_set_aio_max(uint32_t max) {
    g_aio_max = max == 0 ? KVOL_AIO_MAX : max;
}

uint32_t kvol_now(void) {
    return static_cast<uint32_t>(time(nullptr));
}

void *kvol_calloc(size_t size) {
    void *p = calloc(1, size);
    if (p == nullptr)
        kvol_log_alert("kvol malloc size=%zu", size);
    return p;
}

// Every cached object starts with this header; the caller's memory follows
// at a 16-byte boundary.
struct kvol_cache_obj {
    union {
        kvol_cache_obj *next; // while kept in the cache
        uint64_t cls;         // while handed out: its class, or kUncached
    };
    uint64_t pad;
};
static_assert(sizeof(kvol_cache_obj) == 16);

namespace {

constexpr uint64_t kUncached = ~0ull;

} // namespace

void *kvol_cache_alloc(kvol_t *kvol, size_t size) {
    kvol_obj_cache &c = kvol->cache;
    uint64_t cls = 0;
    while (cls < KVOL_CACHE_CLASSES &&
           (size_t(1) << (cls + KVOL_CACHE_MIN_SHIFT)) - sizeof(kvol_cache_obj) < size)
        cls++;
    kvol_cache_obj *o;
    if (cls < KVOL_CACHE_CLASSES && c.free[cls] != nullptr) {
        o = c.free[cls];
        c.free[cls] = o->next;
        c.count[cls]--;
    } else {
        size_t total = cls < KVOL_CACHE_CLASSES ? size_t(1) << (cls + KVOL_CACHE_MIN_SHIFT)
                                                : sizeof(kvol_cache_obj) + size;
        o = static_cast<kvol_cache_obj *>(malloc(total));
        if (o == nullptr) {
            kvol_log_alert("kvol malloc size=%zu", total);
            return nullptr;
        }
        c.fresh++;
        if (cls >= KVOL_CACHE_CLASSES)
            cls = kUncached;
    }
    o->cls = cls;
    memset(o + 1, 0, size);
    return o + 1;
}

void kvol_cache_free(kvol_t *kvol, void *p) {
    if (p == nullptr)
        return;
    kvol_obj_cache &c = kvol->cache;
    kvol_cache_obj *o = static_cast<kvol_cache_obj *>(p) - 1;
    uint64_t cls = o->cls;
    if (cls == kUncached ||
        (uint64_t(c.count[cls]) + 1) << (cls + KVOL_CACHE_MIN_SHIFT) > KVOL_CACHE_CLASS_BYTES) {
        free(o);
        return;
    }
    o->next = c.free[cls];
    c.free[cls] = o;
    c.count[cls]++;
}

void kvol_cache_drain(kvol_t *kvol) {
    kvol_obj_cache &c = kvol->cache;
    for (int cls = 0; cls < KVOL_CACHE_CLASSES; cls++) {
        while (c.free[cls] != nullptr) {
            kvol_cache_obj *o = c.free[cls];
            c.free[cls] = o->next;
            free(o);
        }
        c.count[cls] = 0;
    }
}

void *kvol_aligned_alloc(size_t size) {
    void *p = nullptr;
    if (posix_memalign(&p, 4096, size) != 0) {
        kvol_log_alert("kvol malloc size=%zu", size);
        return nullptr;
    }
    memset(p, 0, size);
    return p;
}

char *kvol_strdup(const char *s) {
    char *p = strdup(s);
    if (p == nullptr)
        kvol_log_alert("kvol malloc size=%zu", strlen(s) + 1);
    return p;
}

bool kvol_range_valid(const kvol_t *kvol, uint64_t offset, uint64_t size) {
    uint64_t total = kvol->sb.sb_va_len_total;
    return size > 0 && offset < total && size <= total - offset;
}

namespace {

// Releases a volume that failed to open and reports why through errno.
kvol_t *open_failed(kvol_t *kvol, int err) {
    if (kvol != nullptr)
        release(kvol);
    errno = err;
    return nullptr;
}

} // namespace

kvol_t *kvol_open_volume(const char *path, int flags, bool with_aio) {
    double start = now_ms();
    kvol_logging_init();
    if (path == nullptr)
        return open_failed(nullptr, EINVAL);
    if (flags != O_RDONLY && flags != O_WRONLY && flags != O_RDWR) {
        kvol_log_error("init kvol error flags=%o path=%s", flags, path);
        return open_failed(nullptr, EINVAL);
    }
    auto *kvol = static_cast<kvol_t *>(kvol_calloc(sizeof(kvol_t)));
    if (kvol == nullptr)
        return open_failed(nullptr, ENOMEM);
    kvol->fd = -1;
    kvol->evfd = -1;
    kvol->openflags = flags;
    kvol->aio_max = g_aio_max;
    kvol->max_continuous_error = 10;
    kvol_list_init(&kvol->pending_io);
    kvol_list_init(&kvol->running_io);
    kvol_list_init(&kvol->blocking_io);
    for (auto &l : kvol->listeners)
        l.fd = -1;
    size_t len = strlen(path);
    kvol->buff = static_cast<unsigned char *>(kvol_aligned_alloc(KVOL_SCRATCH_SIZE));
    if (kvol->buff == nullptr || len >= sizeof(kvol->path)) {
        kvol_log_error("init kvol error buf_size=%d path=%s,size=%zu", int(sizeof(kvol->path)), path, len);
        return open_failed(kvol, kvol->buff == nullptr ? ENOMEM : ENAMETOOLONG);
    }
    memcpy(kvol->path, path, len + 1);

    // The volume reads its own metadata whatever the caller asked for: a
    // write-only open gets a read-write descriptor (and the writer's lock).
    int oflags = flags == O_WRONLY ? O_RDWR : flags;
    struct stat st;
    if (stat(path, &st) == 0 && (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)))
        oflags |= O_DIRECT;
    kvol->fd = open(path, oflags | O_CLOEXEC);
    if (kvol->fd < 0) {
        int err = errno;
        kvol_log_error("open %s flag=%o error: %s", path, oflags, strerror(err));
        return open_failed(kvol, err);
    }
    if (flags != O_RDONLY && flock(kvol->fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        kvol_log_error("kvol try lock fail path %s errno=%s", path, strerror(err));
        close(kvol->fd); // never locked: nothing to release
        kvol->fd = -1;
        return open_failed(kvol, err);
    }
    // Metadata that is unreadable, damaged or impossible: an I/O error for
    // the caller, the details in the volume's log.  The superblock is
    // written back (its available length made to follow the bitmap) only
    // once its lengths agree with the address map, so that a damaged copy
    // never becomes the source of a write over the good one.
    if (kvol_load_super(kvol) < 0 || kvol_load_btbmp(kvol) < 0 || kvol_load_addressmap(kvol) < 0 ||
        kvol_check_va_lengths(kvol) < 0 || kvol_reconcile_avail(kvol) < 0)
        return open_failed(kvol, EIO);
    if (with_aio) {
        // The AIO contexts of all processes share one system-wide limit
        // (fs.aio-max-nr): when it is reached, a smaller queue still works,
        // with more requests waiting on the blocking list.
        int ret;
        while ((ret = io_setup(static_cast<int>(kvol->aio_max), &kvol->aio_ctx)) == -EAGAIN &&
               kvol->aio_max > kMinAioMax) {
            kvol_log_warn("io_setup %u failed path=%s: %s, trying %u", kvol->aio_max, path, strerror(-ret),
                          kvol->aio_max / 2);
            kvol->aio_max /= 2;
        }
        if (ret < 0) {
            kvol->aio_ctx = nullptr;
            kvol_log_error("io_setup %u failed path=%s: %s", kvol->aio_max, path, strerror(-ret));
            return open_failed(kvol, -ret);
        }
    }
    kvol_log_info("kvol init successed use time=%f", now_ms() - start);
    return kvol;
}

extern "C" {

KVOL_API kvol_t *kvol_init(const char *path, int flags) {
    return kvol_open_volume(path, flags, true);
}

KVOL_API void kvol_fini(kvol_t *kvol) {
    if (kvol == nullptr)
        return;
    assert(kvol->aio_depth == 0 && kvol_list_empty(&kvol->pending_io) && kvol_list_empty(&kvol->running_io) &&
           kvol_list_empty(&kvol->blocking_io));
    release(kvol);
}

KVOL_API int kvol_stat(kvol_t *kvol, kvol_stat_t *stat) {
    if (kvol == nullptr || stat == nullptr)
        return -EINVAL;
    stat->va_total = kvol->sb.sb_va_len_total;
    stat->va_avail = kvol->sb.sb_va_len_avail;
    stat->va_native = 0;
    for (uint32_t j = 0; j < kvol->table_length; j++) {
        const kvol_mapping_t *m = kvol->mappings[j];
        if (!(m->attribute & KVOL_ATTR_FOREIGN))
            stat->va_native += m->va_length;
    }
    stat->btbmp_gran = kvol->sb.sb_btbmp_gran;
    stat->phy_blksz = kvol->sb.sb_phy_blksz;
    return 0;
}

KVOL_API int kvol_get_kvol_uuid(kvol_t *kvol, unsigned char uuid[16]) {
    if (kvol == nullptr || uuid == nullptr)
        return -EINVAL;
    memcpy(uuid, kvol->sb.sb_uuid, 16);
    return 0;
}

KVOL_API int kvol_lookup_mapping(kvol_t *kvol, uint64_t va) {
    assert(kvol != nullptr && va < kvol->sb.sb_va_len_total && kvol->correct_table_length > 0);
    return kvol_find_mapping(kvol, va);
}

} // extern "C"

int kvol_find_mapping(const kvol_t *kvol, uint64_t va) {
    if (va >= kvol->sb.sb_va_len_total || kvol->correct_table_length == 0)
        return -1;
    // The entry with the greatest start <= va is the only candidate.
    uint32_t lo = 0, hi = kvol->correct_table_length;
    while (hi - lo > 1) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (kvol->correct_mappings[mid].va_start <= va)
            lo = mid;
        else
            hi = mid;
    }
    const kvol_correct_mapping_t &c = kvol->correct_mappings[lo];
    if (va < c.va_start || va - c.va_start >= c.va_length)
        return -1;
    return static_cast<int>(c.mapings_index);
}

int kvol_build_correct_mappings(kvol_t *kvol) {
    auto *cm = static_cast<kvol_correct_mapping_t *>(
        kvol_calloc((kvol->table_length + 1) * sizeof(kvol_correct_mapping_t)));
    if (cm == nullptr)
        return -EINVAL;
    uint32_t n = 0;
    for (uint32_t j = 0; j < kvol->table_length; j++) {
        const kvol_mapping_t *m = kvol->mappings[j];
        if (kvol_mapping_empty(m))
            continue;
        if (j > 0) {
            const kvol_mapping_t *prev = kvol->mappings[j - 1];
            if (!kvol_mapping_empty(prev) && prev->va_start + prev->va_length != m->va_start) {
                kvol_log_error("kvol path %s check address collision address=%lu length=%zu index=%u",
                               kvol->path, m->va_start, static_cast<size_t>(m->va_length), j);
                free(cm);
                return -EINVAL;
            }
        }
        cm[n].va_start = m->va_start;
        cm[n].va_length = m->va_length;
        cm[n].mapings_index = j;
        n++;
    }
    free(kvol->correct_mappings);
    kvol->correct_mappings = cm;
    kvol->correct_table_length = n;
    return 0;
}

int kvol_mapping_open(kvol_t *kvol, kvol_mapping_t *m) {
    if (m->fd >= 0)
        return 0;
    if (m->index == 0 && kvol->fd >= 0) {
        m->fd = kvol->fd; // mapping 0 lives on the volume device
        return 0;
    }
    if (m->path == nullptr) {
        kvol_log_error("bad mapping, path is NULL");
        return -EINVAL;
    }
    uint32_t now = kvol_now();
    if ((m->attribute & KVOL_ATTR_FOREIGN) && m->ts_failed == now)
        return -EAGAIN;
    int flags = O_RDWR | O_CLOEXEC;
    if (m->attribute & KVOL_ATTR_ODIRECT) {
        flags |= O_DIRECT;
        kvol_log_info("open device/file %s with flag O_DIRECT.\n", m->path);
    }
    if (m->attribute & KVOL_ATTR_IFREG) {
        flags |= O_DSYNC;
        kvol_log_info("open device/file %s with flag O_DSYNC.\n", m->path);
    }
    int fd = open(m->path, flags);
    if (fd < 0) {
        int err = errno;
        m->ts_failed = now;
        kvol_log_error("open device/file %s failed, errno %d, flags %x", m->path, err, flags);
        if (access(m->path, R_OK | W_OK) != 0)
            kvol_log_error("open device/file %s failed, can not access.", m->path);
        return -err;
    }
    m->ts_failed = 0;
    m->fd = fd;
    kvol_log_info("open device/file %s, fd: %d success.", m->path, fd);
    return 0;
}

void kvol_mapping_close(kvol_t *kvol, kvol_mapping_t *m) {
    if (m->fd >= 0 && m->fd != kvol->fd)
        close(m->fd);
    m->fd = -1;
}
