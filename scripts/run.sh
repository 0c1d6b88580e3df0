#!/usr/bin/env bash
# Sets up from nothing, builds, and runs the main job.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
bash scripts/build.sh build
# Until the FUSE daemon exists, the main job is a demonstration: a volume on a
# sparse image, an instance formatted and started on it, a few requests.
exec build/tools/demo/tav_demo "$@"
