// Namespace and attribute handlers.
#include <errno.h>
#include <string.h>

#include "handlers.h"
#include "instance.h"
#include "logger.h"

void tav_statfs_handler(tav_stub *stub) {
    tav *instance = stub->tav;
    int err = 0;
    if (tav_sb_read(&instance->sb) < 0) {
        log_error("super access failed, return -EIO");
        err = EIO;
    } else {
        int ret = tav_super_get_statfs(instance, stub->args.statvfs);
        if (ret < 0)
            err = -ret;
    }
    if (err)
        log_error("statfs: %d(%s)", -1, strerror(err));
    else
        log_trace("statfs: %d(%s)", 0, strerror(0));
    tav_stub_complete(stub, err ? -1 : 0, (uint32_t)err);
}
