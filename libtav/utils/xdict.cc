// Property dictionary and its serialised form.
//
// Fatal assertions stay active in every build type: they catch callers that
// would otherwise store an empty key or value, which the serialised form
// cannot carry back.
#include <assert.h>

#include "xdict.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "memory.h"

namespace {

inline uint32_t get16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

inline void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

list_head *bucket(const xdict *dict, const char *key) {
    uint32_t h = string_hash(key, strlen(key)) % XDICT_HASH_SIZE;
    return const_cast<list_head *>(&dict->head[h]);
}

/* A value copy followed by one zero byte that is not part of the value. */
void *value_copy(const void *value, size_t size) {
    auto *copy = static_cast<char *>(tav_malloc(size + 1, TAV_MEM_OTHER));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, value, size);
    copy[size] = '\0';
    return copy;
}

void item_free(xdict_item *item) {
    tav_free(item->value);
    tav_free(item); /* the key lives in the item's block */
}

} // namespace

uint32_t string_hash(const char *data, size_t len) {
    if (len < 2 || data == nullptr)
        return 1;
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    uint32_t hash = static_cast<uint32_t>(len), tmp;
    size_t rem = len & 3;

    for (size_t rounds = len >> 2; rounds > 0; rounds--) {
        hash += get16(p);
        tmp = (get16(p + 2) << 11) ^ hash;
        hash = (hash << 16) ^ tmp;
        p += 4;
        hash += hash >> 11;
    }
    switch (rem) {
    case 3:
        hash += get16(p);
        hash ^= hash << 16;
        hash ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(p[2]))) << 18;
        hash += hash >> 11;
        break;
    case 2:
        hash += get16(p);
        hash ^= hash << 11;
        hash += hash >> 17;
        break;
    case 1:
        hash += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(p[0])));
        hash ^= hash << 10;
        hash += hash >> 1;
        break;
    }
    hash ^= hash << 3;
    hash += hash >> 5;
    hash ^= hash << 4;
    hash += hash >> 17;
    hash ^= hash << 25;
    hash += hash >> 6;
    return hash;
}

xdict *xdict_new(void) {
    auto *dict = static_cast<xdict *>(tav_calloc(1, sizeof(xdict), TAV_MEM_OTHER));
    if (dict == nullptr)
        return nullptr;
    for (list_head &h : dict->head)
        INIT_LIST_HEAD(&h);
    return dict;
}

void xdict_cleanup(xdict *dict) {
    assert(dict != nullptr);
    for (list_head &h : dict->head) {
        list_head *pos, *n;
        list_for_each_safe(pos, n, &h) {
            list_del_init(pos);
            item_free(list_entry(pos, xdict_item, list));
        }
    }
    dict->count = 0;
}

void xdict_destroy(xdict *dict) {
    if (dict == nullptr)
        return;
    xdict_cleanup(dict);
    tav_free(dict);
}

xdict_item *xdict_get(const xdict *dict, const char *key) {
    assert(dict != nullptr && key != nullptr);
    list_head *h = bucket(dict, key), *pos;
    list_for_each(pos, h) {
        xdict_item *item = list_entry(pos, xdict_item, list);
        if (strcmp(item->key, key) == 0)
            return item;
    }
    return nullptr;
}

int xdict_set(xdict *dict, const char *key, const void *value, size_t size) {
    assert(dict != nullptr && key != nullptr && key[0] != '\0');
    assert(value != nullptr && size > 0);
    if (size > XDICT_MAX_VALUE)
        return -EINVAL;
    if (dict->count >= XDICT_MAX_ITEMS)
        return -ENOSPC;

    xdict_item *item = xdict_get(dict, key);
    if (item != nullptr) {
        void *copy = value_copy(value, size);
        if (copy == nullptr)
            return -ENOMEM;
        tav_free(item->value);
        item->value = copy;
        item->size = static_cast<uint16_t>(size);
        return 0;
    }

    size_t keylen = strlen(key);
    item = static_cast<xdict_item *>(tav_malloc(sizeof(xdict_item) + keylen + 1, TAV_MEM_OTHER));
    if (item == nullptr)
        return -ENOMEM;
    item->value = value_copy(value, size);
    if (item->value == nullptr) {
        tav_free(item);
        return -ENOMEM;
    }
    item->key = reinterpret_cast<char *>(item + 1);
    memcpy(item->key, key, keylen + 1);
    item->size = static_cast<uint16_t>(size);
    list_add_tail(&item->list, bucket(dict, key));
    dict->count++;
    return 1;
}

void *xdict_get_data(const xdict *dict, const char *key, size_t *size) {
    xdict_item *item = xdict_get(dict, key);
    if (item == nullptr)
        return nullptr;
    if (size != nullptr)
        *size = item->size;
    return item->value;
}

char *xdict_get_str(const xdict *dict, const char *key) {
    xdict_item *item = xdict_get(dict, key);
    return item ? static_cast<char *>(item->value) : nullptr;
}

namespace {

int parse_decimal(const xdict *dict, const char *key, unsigned long long *val) {
    const char *s = xdict_get_str(dict, key);
    if (s == nullptr)
        return -ENODATA;
    errno = 0;
    unsigned long long v = strtoull(s, nullptr, 10);
    if (errno == ERANGE && v == ULLONG_MAX)
        return -ERANGE;
    *val = v;
    return 0;
}

} // namespace

int xdict_get_uint32(const xdict *dict, const char *key, uint32_t *val) {
    unsigned long long v;
    int ret = parse_decimal(dict, key, &v);
    if (ret == 0)
        *val = static_cast<uint32_t>(v);
    return ret;
}

int xdict_get_uint64(const xdict *dict, const char *key, uint64_t *val) {
    unsigned long long v;
    int ret = parse_decimal(dict, key, &v);
    if (ret == 0)
        *val = v;
    return ret;
}

int xdict_del(xdict *dict, const char *key) {
    xdict_item *item = xdict_get(dict, key);
    if (item == nullptr)
        return -ENODATA;
    list_del_init(&item->list);
    item_free(item);
    dict->count--;
    return 0;
}

int xdict_item_cnt(const xdict *dict) {
    assert(dict != nullptr);
    return dict->count;
}

int xdict_for_each(const xdict *dict, xdict_iter_fn fn, void *priv) {
    assert(dict != nullptr && fn != nullptr);
    for (const list_head &h : dict->head) {
        list_head *pos, *n;
        list_for_each_safe(pos, n, &h) {
            xdict_item *item = list_entry(pos, xdict_item, list);
            int ret = fn(item->key, item->value, item->size, priv);
            if (ret < 0)
                return ret;
        }
    }
    return 0;
}

int xdict_copy(const xdict *from, xdict *to) {
    assert(to != nullptr);
    return xdict_for_each(
        from,
        [](const char *key, const void *value, size_t size, void *priv) {
            int ret = xdict_set(static_cast<xdict *>(priv), key, value, size);
            return ret < 0 ? ret : 0;
        },
        to);
}

xdict *xdict_dup(const xdict *dict) {
    xdict *dup = xdict_new();
    if (dup == nullptr)
        return nullptr;
    if (xdict_copy(dict, dup) < 0) {
        xdict_destroy(dup);
        return nullptr;
    }
    return dup;
}

size_t xdict_serialized_length(const xdict *dict) {
    size_t len = 2;
    xdict_for_each(
        dict,
        [](const char *key, const void *, size_t size, void *priv) {
            *static_cast<size_t *>(priv) += strlen(key) + size + 5;
            return 0;
        },
        &len);
    return len;
}

int xdict_serialize(const xdict *dict, void *buf, size_t size) {
    assert(dict != nullptr && buf != nullptr && size >= 2);
    struct cursor {
        uint8_t *p;
        size_t left;
    } cur = {static_cast<uint8_t *>(buf), size};
    put16(cur.p, dict->count);
    cur.p += 2;
    cur.left -= 2;
    return xdict_for_each(
        dict,
        [](const char *key, const void *value, size_t vsize, void *priv) {
            auto *c = static_cast<cursor *>(priv);
            size_t ksize = strlen(key) + 1;
            if (c->left < 2)
                return -ERANGE;
            put16(c->p, static_cast<uint32_t>(ksize));
            c->p += 2, c->left -= 2;
            if (c->left < ksize)
                return -ERANGE;
            memcpy(c->p, key, ksize);
            c->p += ksize, c->left -= ksize;
            if (c->left < 2)
                return -ERANGE;
            put16(c->p, static_cast<uint32_t>(vsize));
            c->p += 2, c->left -= 2;
            if (c->left < vsize)
                return -ERANGE;
            memcpy(c->p, value, vsize);
            c->p += vsize, c->left -= vsize;
            return 0;
        },
        &cur);
}

int xdict_unserialize(xdict *dict, const void *buf, size_t size) {
    assert(dict != nullptr && dict->count == 0 && buf != nullptr && size >= 2);
    const auto *p = static_cast<const uint8_t *>(buf);
    size_t left = size - 2;
    uint32_t nitems = get16(p);
    p += 2;
    int ret = 0;

    for (uint32_t i = 0; i < nitems; i++) {
        if (left < 2) {
            ret = -ERANGE;
            break;
        }
        size_t ksize = get16(p);
        p += 2, left -= 2;
        if (left < ksize) {
            ret = -ERANGE;
            break;
        }
        const char *key = reinterpret_cast<const char *>(p);
        /* The key field must be exactly one non-empty string and its zero. */
        if (ksize == 0 || key[ksize - 1] != '\0' || strnlen(key, ksize) + 1 != ksize) {
            ret = -EFAULT;
            break;
        }
        p += ksize, left -= ksize;
        if (left < 2) {
            ret = -ERANGE;
            break;
        }
        size_t vsize = get16(p);
        p += 2, left -= 2;
        if (left < vsize) {
            ret = -ERANGE;
            break;
        }
        const uint8_t *value = p;
        p += vsize, left -= vsize;
        if (vsize == 0)
            continue;
        ret = xdict_set(dict, key, value, vsize);
        if (ret < 0)
            break;
    }
    if (ret < 0)
        xdict_cleanup(dict);
    return ret;
}

ssize_t xdict_serialize_keys(const xdict *dict, char *buf, size_t size) {
    assert(dict != nullptr && (buf != nullptr || size == 0));
    struct cursor {
        char *buf;
        size_t size, len;
    } cur = {buf, size, 0};
    int ret = xdict_for_each(
        dict,
        [](const char *key, const void *, size_t, void *priv) {
            auto *c = static_cast<cursor *>(priv);
            size_t klen = strlen(key) + 1;
            if (c->buf != nullptr) {
                if (c->size - c->len < klen)
                    return -ERANGE;
                memcpy(c->buf + c->len, key, klen);
            }
            c->len += klen;
            return 0;
        },
        &cur);
    return ret < 0 ? ret : static_cast<ssize_t>(cur.len);
}
