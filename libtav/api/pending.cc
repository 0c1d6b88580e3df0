// Operations whose handlers are not part of the library yet.  Their entry
// points check arguments and launch requests like every other; the request
// then completes with ENOSYS, so callers see an honest "not implemented".
#include <errno.h>

#include "handlers.h"

namespace {
void not_implemented(tav_stub *stub) {
    tav_stub_complete(stub, -1, ENOSYS);
}
void open_not_implemented(tav_stub *stub) {
    tav_stub_complete_open(stub, -1, ENOSYS, nullptr);
}
} // namespace

void tav_open_handler(tav_stub *stub) {
    open_not_implemented(stub);
}
void tav_unlink_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_getattr_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_setattr_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_getxattr_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_setxattr_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_setxattr_with_dict_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_getxattr_with_dict_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_removexattr_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_listxattr_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_listfile_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_setiolog_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_file_is_borrow_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_get_inode_info_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_preadv_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_pwritev_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_truncate_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_fallocate_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_discard_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_fiemap_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_zerofill_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_compress_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_statex_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_expand_handler(tav_stub *stub) {
    not_implemented(stub);
}
