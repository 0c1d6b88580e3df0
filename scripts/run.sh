#!/usr/bin/env bash
# Sets up from nothing, builds, and runs the main job.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
bash scripts/build.sh build
if [ -x build/tools/demo/tav_demo ]; then
  exec build/tools/demo/tav_demo "$@"
fi
echo "tav: the libraries are built; no runnable program exists yet."
