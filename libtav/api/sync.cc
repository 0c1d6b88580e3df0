// The sync and fsync requests: write one file's record, zone map and
// extent pages now instead of at the next dirty-timer tick.
#include <errno.h>

#include "handlers.h"
#include "itable.h"

TAV_COROUTINE_FN void tav_sync_handler(tav_stub *stub) {
    int ret = tav_inode_sync(stub->inode, stub->args.flags);
    tav_stub_complete(stub, ret < 0 ? -1 : 0, ret < 0 ? static_cast<uint32_t>(-ret) : 0);
}
