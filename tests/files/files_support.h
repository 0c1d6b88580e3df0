// Shared piece of the extent, inode and inode-table tests: coroutines that run
// under a request stub, as the space-accounting hooks expect.
#ifndef TAV_TEST_FILES_SUPPORT_H
#define TAV_TEST_FILES_SUPPORT_H

#include <functional>

#include "stub.h"

namespace filestest {

// Runs `body` in a coroutine whose argument is a live request stub (the
// space-accounting hooks charge blocks to it): `stub`, or a write stub of
// its own.
bool run_in_stub(std::function<void()> body, tav_stub *stub = nullptr);

} // namespace filestest

#endif
