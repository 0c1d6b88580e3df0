// Shared piece of the extent, inode and inode-table tests: coroutines that
// carry a charge record, as the space-accounting hooks expect.
#ifndef TAV_TEST_FILES_SUPPORT_H
#define TAV_TEST_FILES_SUPPORT_H

#include <functional>

#include "stats.h"

namespace filestest {

// Runs `body` in a coroutine that carries a charge record (the
// space-accounting hooks add new blocks to it): `charge`, or one of its own.
bool run_charged(std::function<void()> body, tav_charge *charge = nullptr);

} // namespace filestest

#endif
