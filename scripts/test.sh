#!/usr/bin/env bash
# Sets up from nothing and runs every test: the plain build, then the same suite
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
jobs=${JOBS:-2}

bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

bash scripts/build.sh build-asan -DTAV_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
   UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j"$jobs" --timeout 900)

# Every build type builds warning-free: the optimised one without debug
# information is compiled too (its inlining finds warnings the others miss).
bash scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
