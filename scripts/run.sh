#!/usr/bin/env bash
# The main job: sets up, builds, and mounts an instance with tav_standalone.
#
#   bash scripts/run.sh [-i IMAGE] [-s SIZE] [-m MOUNTPOINT]
#
# IMAGE (default /var/tmp/tav/default.img) is created when missing: a sparse
# file of SIZE (default 4G) made a volume and formatted by tav_mkfs on the
# default engine.  It is mounted at MOUNTPOINT (default /var/tmp/tav/mnt) by
# tav_standalone in the background; its output goes to IMAGE.log.  Run again
# while mounted, it only says so.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

img=/var/tmp/tav/default.img
size=4G
mnt=/var/tmp/tav/mnt
usage() { echo "usage: $0 [-i IMAGE] [-s SIZE] [-m MOUNTPOINT]" >&2; exit 2; }
while getopts "i:s:m:h" opt; do
  case $opt in
    i) img=$OPTARG ;;
    s) size=$OPTARG ;;
    m) mnt=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 0 ] || usage

is_mounted() { grep -qs " $(realpath -m "$mnt") fuse" /proc/self/mounts; }
how_to_use() {
  echo "make a file:  touch \"$mnt/\$(uuidgen)\""
  echo "unmount:      fusermount3 -u $mnt"
}

if is_mounted; then
  echo "already mounted: $mnt"
  how_to_use
  exit 0
fi

bash scripts/setup.sh
bash scripts/build.sh build

mkdir -p "$(dirname "$img")" "$mnt" /var/run/hx
if [ ! -e "$img" ]; then
  echo "creating $img ($size)"
  build/tools/mkfs/tav_mkfs -s "$size" "$img" >/dev/null
fi

log=$img.log
setsid nohup build/tools/standalone/tav_standalone -f -o debug -i kvol -p "$(realpath "$img")" "$mnt" \
  >"$log" 2>&1 </dev/null &
pid=$!
# The mount serves once the instance has started (statfs answers).
for _ in $(seq 1 600); do
  if is_mounted && stat -f "$mnt" >/dev/null 2>&1; then
    echo "mounted $img at $mnt (tav_standalone pid $pid, log $log)"
    how_to_use
    exit 0
  fi
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "tav_standalone failed to mount $img:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
echo "tav_standalone did not serve $mnt within a minute; see $log" >&2
exit 1
