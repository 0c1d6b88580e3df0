// Volume metadata: load and store of the superblock, bad-track bitmap blocks
// and address-map entries, each kept in two copies.
//
// Loading checks magic and checksum of both copies and takes the one with the
// greater generation (copy 0 on a tie).  A damaged superblock or bitmap copy
// refuses the open; a damaged address-map entry becomes an empty mapping in
// state KVOL_ST_UNAVAILABLE and loading goes on.
//
// Storing writes generation + 1 into the record, recomputes its checksum and
// writes one 4096-byte slot: copy 0 for an even generation, copy 1 for an odd
// one, so the other copy always keeps the previous good record.  A failed
// write leaves the in-memory generation as it was, so the next write repairs
// the same slot instead of overwriting the last good copy.
//
// Nothing here yields.
#ifndef KVOL_META_H
#define KVOL_META_H

#include "kvol_volume.h"

/* Whole-length pread/pwrite loops.  0 or a negative errno. */
int kvol_readn(int fd, void *buf, size_t len, uint64_t offset);
int kvol_writen(int fd, const void *buf, size_t len, uint64_t offset);

/* Checksums over the record (bytes 4..end) and validity of one copy. */
void kvol_sb_seal(kvol_super_block_t *sb);
void kvol_bt_seal(kvol_btbmp_t *bt);
void kvol_am_seal(kvol_am_entry_t *am);
bool kvol_sb_valid(const kvol_super_block_t *sb);

/* A fresh bitmap block: magic, version, generation 0, clean, 4064 valid
 * bytes, current time, zero bitmap. */
void kvol_bt_init(kvol_btbmp_t *bt);
/* Builds the on-disk entry of a mapping with the given generation and owner
 * (the volume's uuid).  REQUIRES: the path fits the record. */
void kvol_am_build(const unsigned char *owner, const kvol_mapping_t *m, uint64_t generation,
                   kvol_am_entry_t *am);

int kvol_sync_super(kvol_t *kvol);
int kvol_sync_btbmp(kvol_t *kvol, uint32_t n);
int kvol_sync_mapping(kvol_t *kvol, kvol_mapping_t *m);

int kvol_load_super(kvol_t *kvol);
int kvol_load_btbmp(kvol_t *kvol);
int kvol_load_addressmap(kvol_t *kvol);
/* After the address map is loaded: sb_va_len_total is the length its
 * mappings (and, for a volume of mapping 0 alone, the volume device)
 * describe; sb_va_len_avail, at most the total, follows.  0, or -1 with the
 * field, its value and the bound logged. */
int kvol_check_va_lengths(const kvol_t *kvol);
/* Makes sb_va_len_avail agree with the loaded bitmap (total length less the
 * bad granules), writing the superblock when open for writing.  0 or the
 * write's error. */
int kvol_reconcile_avail(kvol_t *kvol);

/* Grows the in-memory bitmap to `cnt` fresh blocks (no write: the on-disk
 * slots hold the empty blocks written at creation).  0 or -22. */
int kvol_btbmp_grow(kvol_t *kvol, uint32_t cnt);
/* Bitmap blocks needed to cover `va_len` bytes of VA. */
uint64_t kvol_btbmp_needed(uint64_t va_len);

#endif
