// Handlers of the data requests (read, write, truncate, fallocate, discard,
// zero-fill, fiemap): each unpacks its stub, runs the file's operation and
// reports the result through the stub's callback.
#include <errno.h>

#include "fd.h"
#include "data.h"
#include "handlers.h"
#include "inode.h"

namespace {

void complete(tav_stub *stub, int64_t ret) {
    tav_stub_complete(stub, ret < 0 ? -1 : ret, ret < 0 ? static_cast<uint32_t>(-ret) : 0);
}

tav_data_req data_req(tav_stub *stub) {
    tav_data_req req = {};
    req.iov = stub->args.iovec;
    req.iovcnt = stub->args.iovcnt;
    req.offset = static_cast<uint64_t>(stub->args.offset);
    req.size = stub->args.size;
    req.flags = stub->args.flags;
    req.prestat = stub->args.prestat;
    req.poststat = stub->args.poststat;
    return req;
}

} // namespace

TAV_COROUTINE_FN void tav_pwritev_handler(tav_stub *stub) {
    tav_fd *fd = stub->args.fd;
    tav_data_req req = data_req(stub);
    // The first write through each handle puts the inode on the device.
    req.force_flush = fd->wcnt == 0;
    req.charged = &stub->charge.blocks;
    int64_t ret = tav_file_pwritev(stub->inode, &req);
    if (ret > 0)
        fd->wcnt++;
    complete(stub, ret);
}

TAV_COROUTINE_FN void tav_preadv_handler(tav_stub *stub) {
    tav_data_req req = data_req(stub);
    complete(stub, tav_file_preadv(stub->inode, &req));
}

TAV_COROUTINE_FN void tav_truncate_handler(tav_stub *stub) {
    complete(stub, tav_file_truncate(stub->inode, static_cast<uint64_t>(stub->args.offset),
                                     stub->args.prestat, stub->args.poststat));
}

TAV_COROUTINE_FN void tav_fallocate_handler(tav_stub *stub) {
    complete(stub, tav_file_fallocate(stub->inode, static_cast<int>(stub->args.mode),
                                      static_cast<uint64_t>(stub->args.offset), stub->args.size,
                                      stub->args.prestat, stub->args.poststat));
}

TAV_COROUTINE_FN void tav_discard_handler(tav_stub *stub) {
    complete(stub, tav_file_discard(stub->inode, static_cast<uint64_t>(stub->args.offset), stub->args.size,
                                    stub->args.prestat, stub->args.poststat));
}

TAV_COROUTINE_FN void tav_zerofill_handler(tav_stub *stub) {
    complete(stub, tav_file_zerofill(stub->inode, static_cast<int>(stub->args.mode),
                                     static_cast<uint64_t>(stub->args.offset), stub->args.size,
                                     stub->args.prestat, stub->args.poststat));
}

TAV_COROUTINE_FN void tav_fiemap_handler(tav_stub *stub) {
    complete(stub, tav_file_fiemap(stub->inode, static_cast<struct fiemap *>(stub->args.other),
                                   stub->args.prestat, stub->args.poststat));
}
