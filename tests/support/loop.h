// Event-loop helpers for tests: the libev driver, running the loop until a
// condition holds (failing the test instead of hanging), and running a body
// inside a coroutine driven by that loop.
#ifndef TAV_TEST_LOOP_H
#define TAV_TEST_LOOP_H

#include <functional>
#include <string>

#include "tav.h"

namespace tavtest {

// The libev default-loop driver shared by the tests of a process.
ev_driver *driver();

// Runs the loop until `done()` is true or `timeout_s` seconds pass; returns
// whether `done()` became true.
bool run_until(const std::function<bool()> &done, double timeout_s = 30.0);

// Runs `body` in a fresh coroutine, entering it now and driving the loop
// until it returns.  Returns false (and records a test failure) on timeout.
bool run_coroutine(std::function<void()> body, double timeout_s = 30.0);

// Creates (or truncates) a sparse file of `size` bytes.
void make_file(const std::string &path, off_t size);

} // namespace tavtest

#endif
