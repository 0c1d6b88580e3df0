// Request statistics of an instance or of one inode: counts, depth and
// latency per operation, and transfers per size class.  The request layer
// fills them; the inode keeps its own so that a query about one file needs
// no walk.  I/O thread only.
#ifndef TAV_FILES_STATUS_H
#define TAV_FILES_STATUS_H

#include <stdint.h>

#include "stats.h"
#include "tav.h"

typedef struct fop_status {
    uint64_t received_count;
    uint64_t finished_count;
    uint64_t max_depth;
    tav_latency latency;
} fop_status;

typedef struct tav_status {
    uint64_t fd_cnt;
    fop_status fops[TAV_OP_MAX];
    uint64_t bsrange[2][TAV_BSRANGE_COUNT]; /* 0 read, 1 write */
} tav_status;

#endif
