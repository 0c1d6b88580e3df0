// Memory accounting by tag and the three page-aligned I/O buffer pools.
//
// Fatal assertions stay active in every build type: they guard the pool and
// tree invariants whose breach would hand one buffer to two owners.
#include <assert.h>

#include "memory.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

#include <new>
#include <set>

#include "list.h"
#include "logger.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
/* Free pool buffers are poisoned so that a use after tav_iobuf_put is
 * reported like a use after free. */
#define IOBUF_POISON(p, n)   ASAN_POISON_MEMORY_REGION(p, n)
#define IOBUF_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define IOBUF_POISON(p, n)   ((void)(p), (void)(n))
#define IOBUF_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

/* ---- accounting -------------------------------------------------------- */

/* One live accounted block.  The tree orders nodes by address; its nodes are
 * allocated with the plain allocator, never through the accounted wrappers. */
struct tav_mem_node {
    uintptr_t addr;
    size_t size;
    tav_mem_type_t type;
};

struct by_addr {
    using is_transparent = void;
    bool operator()(const tav_mem_node &a, const tav_mem_node &b) const { return a.addr < b.addr; }
    bool operator()(const tav_mem_node &a, uintptr_t b) const { return a.addr < b; }
    bool operator()(uintptr_t a, const tav_mem_node &b) const { return a < b.addr; }
};

using mem_tree = std::set<tav_mem_node, by_addr>;

#define MEM_INFO(tag)                                                                                        \
    { #tag, 0, 0, 0, 0 }
tav_mem_info g_mem_info[TAV_MEM_TYPE_COUNT] = {
    MEM_INFO(TAV_MEM_IOBUF_POOL),
    MEM_INFO(TAV_MEM_MBUF_ALIGNED_BUFFER),
    MEM_INFO(TAV_MEM_IO_ALIGNED_BUFFER),
    MEM_INFO(TAV_MEM_IOENGINE_ALIGNED_BUFFER),
    MEM_INFO(TAV_MEM_IOENGINE),
    MEM_INFO(TAV_MEM_ZMAP_PAGE),
    MEM_INFO(TAV_MEM_EXTENT_PAGE),
    MEM_INFO(TAV_MEM_IMAP_BUFFER),
    MEM_INFO(TAV_MEM_TAV),
    MEM_INFO(TAV_MEM_TIMER),
    MEM_INFO(TAV_MEM_INODE),
    MEM_INFO(TAV_MEM_INODE_INLINE_BUFFER),
    MEM_INFO(TAV_MEM_FD),
    MEM_INFO(TAV_MEM_STUB),
    MEM_INFO(TAV_MEM_IOVEC),
    MEM_INFO(TAV_MEM_OTHER),
    MEM_INFO(TAV_MEM_IOLOG),
};
#undef MEM_INFO

bool g_acct_on = false;

/* Created on first use and never destroyed, so blocks freed from static
 * destructors at exit still find a live tree. */
mem_tree &live_blocks() {
    static mem_tree *tree = new mem_tree();
    return *tree;
}

void info_add(tav_mem_type_t type, size_t size) {
    tav_mem_info &info = g_mem_info[type];
    info.total_alloc_size += size;
    if (info.total_alloc_size > info.max_alloc_size)
        info.max_alloc_size = info.total_alloc_size;
    info.total_alloc_count++;
}

void info_sub(tav_mem_type_t type, size_t size) {
    tav_mem_info &info = g_mem_info[type];
    info.total_alloc_size -= size;
    info.total_free_count++;
}

void mem_record(void *ptr, size_t size, tav_mem_type_t type) {
    if (!g_acct_on)
        return;
    assert((unsigned)type < TAV_MEM_TYPE_COUNT);
    assert(ptr != nullptr && size != 0);
    std::pair<mem_tree::iterator, bool> res;
    try {
        res = live_blocks().insert({(uintptr_t)ptr, size, type});
    } catch (const std::bad_alloc &) {
        return; /* no node: the block simply stays unaccounted */
    }
    if (!res.second) {
        log_error("memory block %p (%lu bytes, %s) is already accounted", ptr, (unsigned long)size,
                  g_mem_info[type].name);
        abort();
    }
    info_add(type, size);
}

void mem_forget(void *ptr) {
    if (!g_acct_on || ptr == nullptr)
        return;
    mem_tree &tree = live_blocks();
    auto it = tree.find((uintptr_t)ptr);
    if (it == tree.end())
        return; /* allocated before accounting was on, or left unaccounted */
    info_sub(it->type, it->size);
    tree.erase(it);
}

void log_oom(size_t size, tav_mem_type_t type) {
    log_error("failed to allocate %lu bytes for %s: Out of memory", (unsigned long)size,
              (unsigned)type < TAV_MEM_TYPE_COUNT ? g_mem_info[type].name : "?");
}

/* ---- I/O buffer pools ------------------------------------------------- */

struct tav_iobuf {
    list_head list; /* on its pool's free or used list */
    void *ptr;      /* its buffer inside the pool's region */
    bool in_use;
    bool accounted; /* counted under TAV_MEM_IOBUF_POOL when taken */
};

struct tav_iobuf_pool {
    list_head used_list;
    list_head free_list;
    size_t count;
    size_t size;
    tav_iobuf *iobufs;
    void *mem; /* count * size bytes, 4096-aligned; null when not set up */
};

constexpr size_t kIobufAlign = 4096;

tav_iobuf_pool g_pools[] = {
    {{nullptr, nullptr}, {nullptr, nullptr}, 128, 4096, nullptr, nullptr},
    {{nullptr, nullptr}, {nullptr, nullptr}, 16, 8192, nullptr, nullptr},
    {{nullptr, nullptr}, {nullptr, nullptr}, 1, 1048576, nullptr, nullptr},
};

bool pool_contains(const tav_iobuf_pool &pool, const void *ptr) {
    if (pool.mem == nullptr)
        return false;
    uintptr_t start = (uintptr_t)pool.mem, p = (uintptr_t)ptr;
    return p >= start && p < start + pool.count * pool.size;
}

/* Region and descriptors come from the plain allocator: buffers are
 * accounted under TAV_MEM_IOBUF_POOL when handed out, not when reserved. */
bool pool_setup(tav_iobuf_pool &pool) {
    void *mem = nullptr;
    if (posix_memalign(&mem, kIobufAlign, pool.count * pool.size) != 0)
        return false;
    auto *iobufs = static_cast<tav_iobuf *>(calloc(pool.count, sizeof(tav_iobuf)));
    if (iobufs == nullptr) {
        free(mem);
        return false;
    }
    INIT_LIST_HEAD(&pool.used_list);
    INIT_LIST_HEAD(&pool.free_list);
    for (size_t i = 0; i < pool.count; i++) {
        iobufs[i].ptr = static_cast<char *>(mem) + i * pool.size;
        list_add_tail(&iobufs[i].list, &pool.free_list);
    }
    IOBUF_POISON(mem, pool.count * pool.size);
    pool.iobufs = iobufs;
    pool.mem = mem;
    return true;
}

} // namespace

void tav_acct_toggle(int onoff) {
    /* Accounting is never switched off again: blocks recorded so far would
     * otherwise be freed without being forgotten. */
    if (onoff)
        g_acct_on = true;
}

int tav_acct_enabled(void) {
    return g_acct_on;
}

int tav_mem_info_foreach(int (*fn)(const tav_mem_info *info, void *priv), void *priv) {
    if (!g_acct_on)
        return -ENODATA;
    for (int t = 0; t < TAV_MEM_TYPE_COUNT; t++) {
        int ret = fn(&g_mem_info[t], priv);
        if (ret != 0)
            return ret;
    }
    return 0;
}

void *tav_malloc(size_t size, tav_mem_type_t type) {
    void *ptr = malloc(size);
    if (ptr == nullptr) {
        log_oom(size, type);
        return nullptr;
    }
    mem_record(ptr, size, type);
    return ptr;
}

void *tav_calloc(size_t nmemb, size_t size, tav_mem_type_t type) {
    void *ptr = calloc(nmemb, size);
    if (ptr == nullptr) {
        // What was asked for in all; a product that does not fit is reported
        // as the largest size.
        size_t total;
        if (__builtin_mul_overflow(nmemb, size, &total))
            total = SIZE_MAX;
        log_oom(total, type);
        return nullptr;
    }
    mem_record(ptr, nmemb * size, type);
    return ptr;
}

void *tav_realloc(void *ptr, size_t size, tav_mem_type_t type) {
    if (size == 0) {
        /* realloc(p, 0) frees p; doing it explicitly keeps the accounting
         * right and does not report a release as an allocation failure. */
        tav_free(ptr);
        return nullptr;
    }
    mem_forget(ptr);
    void *nptr = realloc(ptr, size);
    if (nptr == nullptr) {
        log_oom(size, type);
        return nullptr; /* the old block stays valid, now unaccounted */
    }
    mem_record(nptr, size, type);
    return nptr;
}

int tav_memalign(void **memptr, size_t alignment, size_t size, tav_mem_type_t type) {
    assert(alignment >= sizeof(void *) && (alignment & (alignment - 1)) == 0);
    void *ptr = nullptr;
    if (posix_memalign(&ptr, alignment, size) != 0 || ptr == nullptr) {
        log_oom(size, type);
        *memptr = nullptr;
        return -ENOMEM;
    }
    mem_record(ptr, size, type);
    *memptr = ptr;
    return 0;
}

void tav_free(void *ptr) {
    mem_forget(ptr);
    free(ptr);
}

void tav_iobuf_pool_init(void) {
    for (tav_iobuf_pool &pool : g_pools) {
        if (pool.mem != nullptr)
            continue; /* still set up: kept by a fini while buffers were in use */
        if (!pool_setup(pool))
            break; /* this and the following pools fall back to allocation */
    }
}

void tav_iobuf_pool_fini(void) {
    for (tav_iobuf_pool &pool : g_pools) {
        if (pool.mem == nullptr || !list_empty(&pool.used_list))
            continue;
        IOBUF_UNPOISON(pool.mem, pool.count * pool.size);
        free(pool.iobufs);
        free(pool.mem);
        pool.iobufs = nullptr;
        pool.mem = nullptr;
    }
}

void *tav_iobuf_get(size_t size, tav_mem_type_t type) {
    for (tav_iobuf_pool &pool : g_pools) {
        if (pool.size != size || pool.mem == nullptr)
            continue;
        if (list_empty(&pool.free_list))
            break;
        tav_iobuf *iobuf = list_first_entry(&pool.free_list, tav_iobuf, list);
        list_move_tail(&iobuf->list, &pool.used_list);
        iobuf->in_use = true;
        iobuf->accounted = g_acct_on;
        if (g_acct_on)
            info_add(TAV_MEM_IOBUF_POOL, size);
        IOBUF_UNPOISON(iobuf->ptr, size);
        return iobuf->ptr;
    }
    void *ptr = nullptr;
    if (tav_memalign(&ptr, kIobufAlign, size, type) != 0)
        return nullptr;
    return ptr;
}

void tav_iobuf_put(void *ptr) {
    for (tav_iobuf_pool &pool : g_pools) {
        if (!pool_contains(pool, ptr))
            continue;
        size_t off = (uintptr_t)ptr - (uintptr_t)pool.mem;
        assert(off % pool.size == 0); /* the start of one of its buffers */
        tav_iobuf *iobuf = &pool.iobufs[off / pool.size];
        assert(iobuf->in_use);
        iobuf->in_use = false;
        IOBUF_POISON(iobuf->ptr, pool.size);
        list_move_tail(&iobuf->list, &pool.free_list);
        /* A buffer taken before accounting was on was never added. */
        if (iobuf->accounted)
            info_sub(TAV_MEM_IOBUF_POOL, pool.size);
        iobuf->accounted = false;
        return;
    }
    tav_free(ptr);
}
