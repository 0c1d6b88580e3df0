// Property dictionary: string keys with binary values, kept in 63 hash
// buckets, and its serialised form (the extended attributes stored in an
// inode page).
//
// The dictionary owns copies of every key and value.  Keys are non-empty
// strings; values are 1..65535 bytes, stored with one extra zero byte after
// them (not part of the value) so that xdict_get_str and the numeric getters
// never read past a value that lacks its own terminator.  At most 65535
// items.
//
// Iteration, serialisation and key listing visit buckets 0..62 and each
// bucket in insertion order; a key's bucket is string_hash(key) % 63.
//
// Serialised form, all integers 16-bit little-endian, no padding:
//   item_count, then per item: key_size (strlen + 1), the key and its zero
//   byte, value_size, the value bytes.
// Readers accept items in any order; a repeated key replaces the earlier
// value.  Truncated input gives -ERANGE, a malformed key field -EFAULT, and
// either leaves the dictionary empty.
//
// Programming errors (null dictionary, empty key, null or empty value,
// unserialising into a non-empty dictionary) are fatal assertions.  No
// locking; nothing yields.
#ifndef TAV_UTILS_XDICT_H
#define TAV_UTILS_XDICT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "list.h"

#define XDICT_HASH_SIZE 63
#define XDICT_MAX_ITEMS 65535
#define XDICT_MAX_VALUE 65535

typedef struct xdict_item {
    list_head list; /* link in its bucket */
    char *key;
    void *value; /* `size` bytes, then a zero byte not counted in `size` */
    uint16_t size;
} xdict_item;

typedef struct xdict {
    list_head head[XDICT_HASH_SIZE];
    uint16_t count;
} xdict;

/* SuperFastHash string hash; 1 for a length below 2 or no data. */
uint32_t string_hash(const char *data, size_t len);

xdict *xdict_new(void);
/* Frees the dictionary and its items; null is ignored. */
void xdict_destroy(xdict *dict);
/* Removes every item. */
void xdict_cleanup(xdict *dict);

/* 1 when added, 0 when an existing value was replaced; -EINVAL when `size`
 * exceeds 65535; -ENOSPC when the dictionary already holds 65535 items (even
 * for a replacement); -ENOMEM (a replaced value keeps its old content). */
int xdict_set(xdict *dict, const char *key, const void *value, size_t size);

xdict_item *xdict_get(const xdict *dict, const char *key);
/* The value and its size, or null when absent. */
void *xdict_get_data(const xdict *dict, const char *key, size_t *size);
/* The value as a zero-terminated string, or null when absent. */
char *xdict_get_str(const xdict *dict, const char *key);
/* Parse the value as decimal text: 0, -ENODATA when absent, -ERANGE when the
 * number overflows an unsigned long.  The 32-bit variant keeps the low 32
 * bits of the parsed number. */
int xdict_get_uint32(const xdict *dict, const char *key, uint32_t *val);
int xdict_get_uint64(const xdict *dict, const char *key, uint64_t *val);

/* 0, or -ENODATA when absent. */
int xdict_del(xdict *dict, const char *key);
int xdict_item_cnt(const xdict *dict);

/* Called for every item in iteration order; `fn` may delete the item it is
 * given.  A negative result stops the walk and is returned, else 0. */
typedef int (*xdict_iter_fn)(const char *key, const void *value, size_t size, void *priv);
int xdict_for_each(const xdict *dict, xdict_iter_fn fn, void *priv);

/* A new dictionary with copies of all items, or null. */
xdict *xdict_dup(const xdict *dict);
/* Sets every item of `from` into `to`; 0 or the first negative result (the
 * items set before it stay). */
int xdict_copy(const xdict *from, xdict *to);

/* 2 + the sum over items of (key length + value size + 5). */
size_t xdict_serialized_length(const xdict *dict);
/* 0, or -ERANGE when `size` is too small (the buffer then holds a partial
 * image).  size >= 2 (assertion). */
int xdict_serialize(const xdict *dict, void *buf, size_t size);
/* Into an empty dictionary, size >= 2 (assertions): the last set result (0
 * or 1; 0 for no items), or -ERANGE / -EFAULT / -ENOMEM with the dictionary
 * left empty.  Items with an empty value carry nothing a dictionary can hold
 * and are skipped.  Bytes after the last item are ignored. */
int xdict_unserialize(xdict *dict, const void *buf, size_t size);
/* The keys, each followed by its zero byte.  Without a buffer (null, size 0)
 * returns the length needed; with one, writes the list and returns its
 * length, or -ERANGE as soon as a key does not fit. */
ssize_t xdict_serialize_keys(const xdict *dict, char *buf, size_t size);

#endif
