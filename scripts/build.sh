#!/usr/bin/env bash
# Configures and builds one tree.  Usage: build.sh DIR [extra cmake args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
jobs=${JOBS:-2}
cmake -S "$top" -B "$top/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$top/$dir" -j"$jobs"
