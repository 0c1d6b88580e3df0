// Operations whose handlers are not part of the library yet.  Their entry
// points check arguments and launch requests like every other; the request
// then completes with ENOSYS, so callers see an honest "not implemented".
#include <errno.h>

#include "handlers.h"

namespace {
void not_implemented(tav_stub *stub) {
    tav_stub_complete(stub, -1, ENOSYS);
}
} // namespace

void tav_setiolog_handler(tav_stub *stub) {
    not_implemented(stub);
}
void tav_compress_handler(tav_stub *stub) {
    not_implemented(stub);
}
