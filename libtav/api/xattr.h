// Extended attributes of a file: string keys with binary values, kept in the
// in-memory inode's dictionary and, serialised, in its inode page.
//
// Keys must start with one of the namespaces "security.", "system.",
// "trusted." or "user." (a namespace alone is a valid key).  The serialised
// dictionary of a file may take 1536 bytes while the file is INLINE and 3584
// bytes otherwise; a set that would pass the limit is refused and leaves the
// dictionary as it was.  A change is in memory at once and reaches the device
// according to its sync flag (TAV_XATTR_* in tav.h).
//
// The handlers (handlers.h) run in their request's coroutine on the I/O
// thread; the key checks below do not yield.
#ifndef TAV_XATTR_H
#define TAV_XATTR_H

#include <stddef.h>

#include "coroutine.h"
#include "xdict.h"

/* 0 when `key` starts with a supported namespace, else logs "namespace for
 * key[%s] not supported" and returns -EOPNOTSUPP.  Has the signature of a
 * dictionary walk callback (value, size and priv are unused). */
int tav_check_namespace(const char *key, const void *value, size_t size, void *priv);
/* tav_check_namespace over every key of `xattr` (0 for a null dictionary). */
int tav_check_xattr(const xdict *xattr);

struct stat;
struct tav_inode_info;

/* The changes behind the set and remove handlers, on a file already found:
 * each loads the inode, fills prestat, changes the dictionary, stamps ctime,
 * fills poststat and takes the change to the device as `syncflag` says.
 * 0 or negative errno (-ENOSPC past the page's limit, -ENODATA for an absent
 * key on remove, -EIO); a refused change leaves the file as it was.  May
 * yield. */
TAV_COROUTINE_FN int tav_setxattr_update_inode(struct tav_inode_info *inode, const char *key,
                                               const void *value, size_t size, int syncflag,
                                               struct stat *prestat, struct stat *poststat);
TAV_COROUTINE_FN int tav_setxattr_with_dict_update_inode(struct tav_inode_info *inode, const xdict *xattr,
                                                         int syncflag, struct stat *prestat,
                                                         struct stat *poststat);
TAV_COROUTINE_FN int tav_removexattr_update_inode(struct tav_inode_info *inode, const char *key, int syncflag,
                                                  struct stat *prestat, struct stat *poststat);

#endif
