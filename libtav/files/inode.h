// The on-disk inode, its two copies, and the in-memory inode.
//
// Every file is one inode: a 512-byte record (`tav_disk_inode`) at the start
// of a 4 KiB inode page that also holds the file's serialised extended
// attributes and, for an INLINE file, up to 2 KiB of its data.  Inode number
// `ino` owns the 8 KiB slot at byte 1048576 + ino * 8192 of the inode area
// (blocks 1..1024): copy A in its first 4 KiB, copy B in its second.  Writes
// alternate between the copies by generation (odd generations in A, even in
// B), so a torn write never destroys the last good version:
//   - a write first increments the generation; after a failed write the
//     generation is kept, so the retry goes to the copy that failed;
//   - a read uses the current generation's copy, or after a failed write the
//     other one (the last good copy).
// The page checksum (XXH64, seed 1011, bytes 8..4095) covers attributes and
// inline data as well as the record.
//
// Ownership: a `tav_inode_info` belongs to the inode table of its instance
// and lives while references exist (see itable.h).  `ondisk` is the only copy
// of the inode's metadata that code reads and changes; `mbuf` ties it to the
// device.  A coroutine that changes the record calls tav_inode_read, changes
// the record and calls tav_inode_write without yielding in between.
//
// Threading: the instance's I/O thread.  Functions marked TAV_COROUTINE_FN may
// yield and must run in a coroutine; device I/O goes through the thread's
// default engine.  Errors are negative errno values.
#ifndef TAV_INODE_H
#define TAV_INODE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include "extent.h"
#include "flock.h"
#include "format.h"
#include "status.h"
#include "super.h"
#include "tav.h"
#include "co_lock.h"
#include "list.h"
#include "mbuf.h"
#include "xdict.h"

#define TAV_INODE_EREAD 305 /* tav_inode_read on an ERROR inode */

/* Update flags of tav_inode_update_amctime. */
#define TAV_INODE_ATIME 1
#define TAV_INODE_MTIME 2
#define TAV_INODE_CTIME 4

typedef enum tav_bak_stat_type {
    A_OK = 0,
    B_OK = 1,
    AB_OK = 2,
    AB_ERROR = 3,
    AB_UNUSED = 4,
} tav_bak_stat_type;

typedef enum tav_inode_load_ret {
    I_ERROR = 0,
    I_OK = 1,
    I_UNUSED = 2,
    I_CALLOC_FAILE = 3,
} tav_inode_load_ret;

enum { TAV_BLKMAP_MODE_NORMAL = 0, TAV_BLKMAP_MODE_COMPACT = 1 };

/* The record (tav_disk_inode), the page layout, the i_type bits and the
 * i_state values are in format.h. */

struct tav_inode_table;

/* The in-memory inode. */
typedef struct tav_inode_info {
    tav_disk_inode ondisk;
    tav_status status;
    uint64_t extents[TAV_EXTENT_BLOCKS_PER_FILE]; /* lazily filled copy of i_extents */
    list_head entry;                              /* hash bucket, vacant list or unlink list */
    int linked;                                   /* in the hash table */
    list_head dirty_entry;
    list_head compress_entry;
    list_head fd_list; /* open handles */
    uint64_t fd_cnt;
    ext_cache_t extent_cache;
    xdict *xattr;        /* always present */
    void *inline_buffer; /* 2048 bytes while INLINE */
    struct tav *tav;
    struct tav_inode_table *itable;
    uint32_t ref;
    CoMutex lock;
    CoFlock flock;  /* range locks of the data */
    int last_errno; /* result of the last failed write; 0 after a good I/O */
    int dirty_flag;
    int dirty_hold;
    int blkmap_mode;
    struct mbuf mbuf;
    int cacheing;
    int btype; /* tav_bak_stat_type of the slot at load */
    CoMutex flush_lock;
} tav_inode_info;

/* ---- the page --------------------------------------------------------------- */

/* XXH64 (seed 1011) of page bytes 8..4095. */
uint64_t tav_inode_checksum(const void *page);
/* 0 legal, 1 illegal, 2 unused (never written, or INIT).  `offset` only names
 * the copy in the log (-1 when unknown). */
int tav_inode_is_legal(const void *page, off_t offset = -1);
tav_bak_stat_type tav_inode_check(int ret_a, int ret_b);
/* Byte offset of inode `ino`'s slot; and back (offset inside the inode area,
 * a programming error otherwise). */
uint64_t tav_inode_slot_offset(uint64_t ino);
uint64_t tav_inode_offset_to_ino(uint64_t offset);

/* Header = "_TAVINO_", version 1, generation 0, length 464, type 2; state
 * INIT; i_uuid = gfid (null: zero); a/m/ctime now; everything else 0. */
void tav_inode_fill_default(tav_disk_inode *disk_inode, const unsigned char *gfid);
/* Lays out a default page (INIT, `gfid`, no attributes) with its checksum. */
void tav_inode_default_page(void *page, const unsigned char *gfid);
/* The block-map type the extent layer uses for the file. */
ext_type_t tav_inode_blkmap_type(const tav_disk_inode *d);

/* ---- the in-memory inode --------------------------------------------------- */

/* New inode with ref 1, bound to the table's instance and extent table.  With
 * `srcbuf` (a 4096-byte page) the page is decoded, else the record gets the
 * defaults for `gfid`.  `xattr` is copied (an empty dictionary without it).
 * Null on failure ("tav inode:%s init failed"). */
tav_inode_info *tav_inode_create(struct tav_inode_table *itable, const unsigned char *gfid,
                                 const void *srcbuf, const xdict *xattr);
void tav_inode_bind(tav_inode_info *inode, uint64_t ino);
/* REQUIRES: ref == 0 and on no list. */
void tav_inode_free(tav_inode_info *inode);

/* Makes the in-memory record valid (reads only when stale); -305 for an
 * ERROR inode. */
TAV_COROUTINE_FN int tav_inode_read(tav_inode_info *inode);
/* Writes the record to the next copy.  REQUIRES: tav_inode_read in the same
 * run of the coroutine.  Clears dirty_flag and dirty_hold (restored on
 * failure) and takes the inode off the dirty list when nobody dirtied it
 * again meanwhile. */
TAV_COROUTINE_FN int tav_inode_write(tav_inode_info *inode);
/* New inode: both copies become default pages, then the record (state
 * NORMAL) is written to its first copy. */
TAV_COROUTINE_FN int tav_inode_fresh_write(tav_inode_info *inode);
/* Formats `count` inode blocks from block `ibegin`: every copy of every slot
 * becomes a default page. */
TAV_COROUTINE_FN int tav_inode_format(uint64_t ibegin, uint64_t count);
/* Writes the record with i_state replaced by `state` as a page of its own at
 * byte `offset` (the rest of the page zero). */
TAV_COROUTINE_FN int tav_inode_writev(tav_inode_info *inode, off_t offset, uint64_t state);

/* Bytes the serialised attributes may take in the inode page: 1536 while
 * the page also carries inline data, 3584 otherwise. */
size_t tav_inode_xattr_limit(const tav_inode_info *inode);
/* Serialised length the attributes would have after setting `key` to a
 * value of `size` bytes (adding or replacing it). */
size_t tav_inode_xattr_length_with(const tav_inode_info *inode, const char *key, size_t size);
/* The same after copying every item of `from` in. */
size_t tav_inode_xattr_length_with_dict(const tav_inode_info *inode, const xdict *from);

/* A new file's kind from its creation flags: INLINE, BD with TAV_FLAG_BD,
 * COMPRESSIBLE unless TAV_FLAG_UNCOMPRESSIBLE, created compressed (compact
 * slice allocation) with TAV_FLAG_COMPRESSED; i_flags the low 28 bits,
 * version-2 slice maps, `mode`'s permission bits as a regular file.  Gives
 * the inode its inline-data buffer: 0 or -ENOMEM. */
int tav_inode_setup_new(tav_inode_info *inode, int flags, mode_t mode);

/* The attribute whose presence marks a block-device-backed file. */
#define TAV_XATTR_BD_KEY "user.glusterfs.bd"
/* Adds the BD type bit to a file that carries TAV_XATTR_BD_KEY but lacks the
 * bit; true when the record changed (the caller writes it). */
bool tav_inode_bd_repair(tav_inode_info *inode);

/* The inode information keys ("i_uid", "i_type", "i_state", "i_size", "i_no",
 * "i_mode", "i_gid", "i_blocks", "i_flags", "lba_start", "lba_len"), each with
 * the 8 bytes of its record field; null when out of memory. */
xdict *tav_inode_info2dict(const tav_inode_info *inode);

void tav_inode_get_stat(const tav_inode_info *inode, struct stat *st);
void tav_inode_get_statex(const tav_inode_info *inode, tav_statex *statex);
/* flags: TAV_INODE_ATIME | MTIME | CTIME (at least one).  With `ts` the
 * fields become *ts; without, max(field, now). */
void tav_inode_update_amctime(tav_inode_info *inode, int flags, const uint64_t *ts);
void tav_inode_dump(const char *title, const tav_inode_info *inode);

/* Decodes one 8 KiB slot (copy A then copy B).  I_OK hands back a new inode
 * in *inode (ref 1). */
tav_inode_load_ret tav_inode_page_init(tav_inode_info **inode, const void *slot_buffer, size_t page_size,
                                       struct tav_inode_table *itable);

/* ---- the inode-number bitmap -------------------------------------------------- */

/* Zeroed bitmap of (count + 7) / 8 bytes; null when out of memory or when
 * `count` is 0 or above TAV_INODE_MAX_SLOTS (logged). */
uint8_t *tav_imap_init(uint64_t count);
void tav_imap_destroy(uint8_t *imap);

/* The gfid reserved for the system's "shmlog" file. */
extern const unsigned char tav_shmlog_gfid[16];

#endif
