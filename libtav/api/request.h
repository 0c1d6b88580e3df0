// The inode side of a name-based request: before its handler runs, the file
// is looked up (without creating it) and loaded; afterwards the reference is
// dropped.
#ifndef TAV_REQUEST_H
#define TAV_REQUEST_H

#include <stdint.h>

#include "stub.h"
#include "coroutine.h"

/* Looks up and loads the stub's file into stub->inode; 0, or the positive
 * errno to report (ENOENT, the load error, EACCES). */
TAV_COROUTINE_FN int tav_request_find_inode(tav_stub *stub);
/* Drops the reference taken by tav_request_find_inode. */
void tav_request_put_inode(tav_stub *stub);
/* The file identity printed in log prefixes. */
void tav_request_inode_ident(struct tav_inode_info *inode, unsigned char *gfid, int64_t *ino);
/* The per-inode request statistics. */
tav_status *tav_request_inode_status(struct tav_inode_info *inode);

#endif
