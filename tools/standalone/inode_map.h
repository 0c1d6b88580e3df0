// The daemon's inode map and its file names.
//
// FUSE inode 1 is the root directory; a file whose library inode number is n
// is FUSE inode n + 2, and the map entry n + 2 holds its uuid.  Entries are
// written by lookup and create and never cleared (the daemon has no forget):
// the kernel only uses numbers the daemon gave out, and a number whose file
// was removed leads to the library's answer for a missing file.  An all-zero
// entry marks an inode the daemon never gave out.
//
// Called on the loop thread only; nothing here blocks.
#ifndef TAV_STANDALONE_INODE_MAP_H
#define TAV_STANDALONE_INODE_MAP_H

#include <stdint.h>
#include <sys/types.h>

#define TAV_INODE_MAP_SIZE 131072u
#define TAV_ROOT_INO       1u
#define TAV_UUID_TEXT_LEN  36u

/* The uuid of FUSE inode `ino`, or null when the inode is unknown (the root
 * included).  REQUIRES: ino < TAV_INODE_MAP_SIZE. */
const unsigned char *inode_map_get(uint64_t ino);

/* The FUSE inode number of library inode `lib_ino`: -EOVERFLOW when it does
 * not fit the map.  inode_map_set also records `gfid` under that number. */
int64_t inode_map_fuse_ino(ino_t lib_ino);
int64_t inode_map_set(ino_t lib_ino, const unsigned char gfid[16]);

/* Lookup and create names: the 36-character uuid text (any case), optionally
 * followed by "@" and flag letters ("B": TAV_FLAG_BD, "C":
 * TAV_FLAG_COMPRESSED, others ignored).  Returns 0 with the uuid and the
 * flag bits, or -EINVAL for a name that is shorter, is not a uuid, or is
 * longer without "@" right after the uuid. */
int name_parse_create(const char *name, unsigned char gfid[16], int *flags);
/* Unlink names: exactly the uuid text.  0 or -EINVAL. */
int name_parse_exact(const char *name, unsigned char gfid[16]);

#endif
