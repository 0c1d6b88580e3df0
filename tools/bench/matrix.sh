#!/usr/bin/env bash
# The standard matrix on one loop device over a file, in one table:
#   - tav_bench on the loop device: raw libaio batched (A), the "libaio" engine
#     (B) and the file API (F), interleaved, medians;
#   - fio (libaio, direct=1) on the raw loop device;
#   - fio on a file of XFS made on the same loop device;
#   - fio on a file of a FUSE mount of tav_standalone on the same loop device,
#     when a tav_standalone binary exists (it is looked for, never built).
#
# Usage: tools/bench/matrix.sh [--quick] [--runs N] [--time SEC] [--size SIZE]
#                              [--dir DIR] [--build DIR] [--keep-log]
# Needs root (losetup, mount), fio and xfsprogs (scripts/setup.sh installs
# them).  Everything it makes (backing file, loop device, mounts, daemon) is
# removed on every way out.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
runs=5
secs=2
size_mib=1024
dir=/var/tmp
build=$top/build
keep_log=0

usage() {
  sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}

while [ $# -gt 0 ]; do
  case $1 in
    --quick) runs=3; secs=0.5; size_mib=256 ;;
    --runs) runs=$2; shift ;;
    --time) secs=$2; shift ;;
    --size)
      case $2 in
        *g|*G) size_mib=$(( ${2%[gG]} * 1024 )) ;;
        *m|*M) size_mib=${2%[mM]} ;;
        *) echo "matrix.sh: --size takes a number with m or g" >&2; exit 2 ;;
      esac
      shift ;;
    --dir) dir=$2; shift ;;
    --build) build=$2; shift ;;
    --keep-log) keep_log=1 ;;
    -h|--help) usage 0 ;;
    *) echo "matrix.sh: unknown argument $1" >&2; usage 2 >&2 ;;
  esac
  shift
done

bench=$build/tools/bench/tav_bench
mkfs_tav=$build/tools/mkfs/tav_mkfs
[ -x "$bench" ] || { echo "matrix.sh: $bench is missing: build first (scripts/build.sh build)" >&2; exit 1; }
for tool in fio losetup mkfs.xfs mount umount; do
  command -v "$tool" >/dev/null || { echo "matrix.sh: $tool is missing: run scripts/setup.sh" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "matrix.sh: needs root for losetup and mount" >&2; exit 1; }

# The FUSE daemon, when another build has made it.
standalone=""
for c in "${TAV_STANDALONE:-}" "$build/tools/standalone/tav_standalone" "$(command -v tav_standalone || true)"; do
  if [ -n "$c" ] && [ -x "$c" ]; then standalone=$c; break; fi
done

# name rw bs depth alloc: the rows of tav_bench's standard matrix.
matrix=(
  "randread-4k-qd1 randread 4k 1 0"
  "randwrite-4k-qd1 randwrite 4k 1 0"
  "randread-4k-qd32 randread 4k 32 0"
  "randwrite-4k-qd32 randwrite 4k 32 0"
  "write-1m-qd8 write 1m 8 0"
  "read-1m-qd8 read 1m 8 0"
  "allocwrite-4k-qd32 randwrite 4k 32 1"
  "allocwrite-1m-qd8 write 1m 8 1"
)

work=$(mktemp -d "$dir/tav_matrix.XXXXXX")
img=$work/loop.img
mnt=$work/mnt
loopdev=""
daemon=""
log=$work/log
mkdir -p "$mnt"
: > "$log"

cleanup() {
  set +e
  if [ -n "$daemon" ]; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null
    kill "$daemon" 2>/dev/null
    wait "$daemon" 2>/dev/null
  fi
  mountpoint -q "$mnt" && umount "$mnt"
  [ -n "$loopdev" ] && losetup -d "$loopdev"
  if [ "$keep_log" -eq 1 ]; then
    cp "$log" "$dir/tav_matrix.log" && echo "log kept in $dir/tav_matrix.log" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The device: the instance of side F (its files hold as many bytes as the
# region, plus its metadata and room for extent pages) and the region after
# it, with which sides A and B work.
dev_mib=$(( 2 * size_mib + size_mib / 8 + 512 ))
truncate -s "${dev_mib}M" "$img"
fallocate -l "${dev_mib}M" "$img" 2>/dev/null || true
loopdev=$(losetup --direct-io=on --show -f "$img" 2>/dev/null || losetup --show -f "$img")
echo "loop device $loopdev over $img (${dev_mib} MiB, direct I/O); region ${size_mib} MiB;" \
     "$runs runs of $secs s" >&2
echo "load average at start: $(cat /proc/loadavg)" >&2

declare -A cell
runtime_ms=$(awk -v s="$secs" 'BEGIN { printf "%d", s * 1000 }') # fio reads a bare number as seconds

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# --- tav_bench: A, B and F on the loop device -------------------------------
echo "tav_bench on $loopdev ..." >&2
"$bench" --path "$loopdev" --overwrite --sides ABF --runs "$runs" --time "$secs" \
  --size "${size_mib}m" >> "$log" 2>&1 || { echo "matrix.sh: tav_bench failed:" >&2; tail -20 "$log" >&2; exit 1; }
# Summary lines: "<workload> A raw IOPS MiB/s lat p99 cpu" then "B libaio ..."
# and "F files ... IOPS/A cpu/A".
summary=$(sed -n '/^== summary/,$p' "$log")
current=""
while read -r first rest; do
  case $first in
    ""|==|workload|load) continue ;;
  esac
  if [ "$first" = "A" ] || [ "$first" = "B" ] || [ "$first" = "F" ]; then
    side=$first; set -- $rest
  else
    current=$first; set -- $rest; side=$1; shift
  fi
  shift # the label's second word
  cell[$current,$side,iops]=$1; cell[$current,$side,mibs]=$2; cell[$current,$side,cpu]=$5
done <<< "$summary"

# --- fio ----------------------------------------------------------------------
# One cell: the median over the runs of IOPS (reads plus writes) and MiB/s.
fio_cell() { # key target-file rw bs depth alloc [extra fio args...]
  local key=$1 file=$2 rw=$3 bs=$4 depth=$5 alloc=$6; shift 6
  local iops_list="" mibs_list=""
  for ((r = 1; r <= runs; r++)); do
    if [ "$alloc" -eq 1 ] && [ ! -b "$file" ]; then
      rm -f "$file" # first writes: a new file every run
    fi
    local args=(--name=m --filename="$file" --rw="$rw" --bs="$bs" --iodepth="$depth" --ioengine=libaio
                --direct=1 --size="${size_mib}M" --runtime="$runtime_ms"ms --minimal --randseed="$r")
    if [ "$alloc" -eq 1 ] && [ ! -b "$file" ]; then
      args+=(--fallocate=none) # every offset once, into unallocated space
    else
      args+=(--time_based)
    fi
    local out
    out=$(fio "${args[@]}" "$@" 2>>"$log") || { echo "matrix.sh: fio failed on $file" >&2; tail -5 "$log" >&2; exit 1; }
    echo "fio $key run $r: $out" >> "$log"
    iops_list+="$(echo "$out" | awk -F';' '{ print $8 + $49 }')"$'\n'
    mibs_list+="$(echo "$out" | awk -F';' '{ print ($7 + $48) / 1024 }')"$'\n'
  done
  cell[$key,iops]=$(printf '%s' "$iops_list" | median)
  cell[$key,mibs]=$(printf '%s' "$mibs_list" | median)
}

precondition_file() { # file: written once in full, so reads and overwrites meet data
  fio --name=p --filename="$1" --rw=write --bs=1m --iodepth=8 --ioengine=libaio --direct=1 \
      --size="${size_mib}M" --minimal >> "$log" 2>&1
}

echo "fio on $loopdev ..." >&2
precondition_file "$loopdev"
for row in "${matrix[@]}"; do
  set -- $row
  fio_cell "$1,raw" "$loopdev" "$2" "$3" "$4" "$5"
done

echo "fio on XFS on $loopdev ..." >&2
mkfs.xfs -f -q "$loopdev" >> "$log" 2>&1
mount "$loopdev" "$mnt"
precondition_file "$mnt/data"
for row in "${matrix[@]}"; do
  set -- $row
  if [ "$5" -eq 1 ]; then
    fio_cell "$1,xfs" "$mnt/fresh" "$2" "$3" "$4" 1
    rm -f "$mnt/fresh"
  else
    fio_cell "$1,xfs" "$mnt/data" "$2" "$3" "$4" 0
  fi
done
umount "$mnt"

if [ -n "$standalone" ]; then
  echo "fio through the FUSE mount of $standalone ..." >&2
  [ -x "$mkfs_tav" ] || { echo "matrix.sh: $mkfs_tav is missing" >&2; exit 1; }
  "$mkfs_tav" -f -i libaio -g 1 "$loopdev" >> "$log" 2>&1
  "$standalone" -i libaio -p "$loopdev" -f "$mnt" >> "$log" 2>&1 &
  daemon=$!
  for ((i = 0; i < 100; i++)); do
    mountpoint -q "$mnt" && break
    kill -0 "$daemon" 2>/dev/null || { echo "matrix.sh: tav_standalone ended:" >&2; tail -5 "$log" >&2; exit 1; }
    sleep 0.1
  done
  mountpoint -q "$mnt" || { echo "matrix.sh: the FUSE mount did not appear" >&2; exit 1; }
  data=$mnt/$(cat /proc/sys/kernel/random/uuid)
  precondition_file "$data"
  for row in "${matrix[@]}"; do
    set -- $row
    if [ "$5" -eq 1 ]; then
      fresh=$mnt/$(cat /proc/sys/kernel/random/uuid)
      fio_cell "$1,fuse" "$fresh" "$2" "$3" "$4" 1
      rm -f "$fresh"
    else
      fio_cell "$1,fuse" "$data" "$2" "$3" "$4" 0
    fi
  done
  umount "$mnt"
  wait "$daemon" 2>/dev/null || true
  daemon=""
fi

# --- the table ----------------------------------------------------------------
# 4 KiB rows in IOPS, 1 MiB rows in MiB/s; ratios to tav_bench's raw side A.
echo
echo "load average at end: $(cat /proc/loadavg)"
echo "loop device over a file in $dir, ${size_mib} MiB region, medians of $runs runs of $secs s;" \
     "4k rows in IOPS, 1m rows in MiB/s"
hdr=$(printf '%-19s %10s %10s %6s %10s %6s %8s %10s %10s' workload "raw A" "engine B" "B/A" "files F" "F/A" \
      "F cpu/A" "fio raw" "fio xfs")
[ -n "$standalone" ] && hdr+=$(printf ' %10s %9s' "fio fuse" "fuse/xfs")
echo "$hdr"
for row in "${matrix[@]}"; do
  set -- $row
  name=$1; bs=$3
  unit=iops; [ "$bs" = "1m" ] && unit=mibs
  a=${cell[$name,A,$unit]:-0}; b=${cell[$name,B,$unit]:-0}; f=${cell[$name,F,$unit]:-0}
  acpu=${cell[$name,A,cpu]:-0}; fcpu=${cell[$name,F,cpu]:-0}
  line=$(awk -v n="$name" -v a="$a" -v b="$b" -v f="$f" -v ac="$acpu" -v fc="$fcpu" \
             -v r="${cell[$name,raw,$unit]:-0}" -v x="${cell[$name,xfs,$unit]:-0}" \
    'function q(p, d) { return d > 0 ? p / d : 0 }
     BEGIN { printf "%-19s %10.0f %10.0f %6.3f %10.0f %6.3f %8.3f %10.0f %10.0f", n, a, b, q(b, a), f, q(f, a), q(fc, ac), r, x }')
  if [ -n "$standalone" ]; then
    line+=$(awk -v u="${cell[$name,fuse,$unit]:-0}" -v x="${cell[$name,xfs,$unit]:-0}" \
      'BEGIN { printf " %10.0f %9.3f", u, (x > 0 ? u / x : 0) }')
  fi
  echo "$line"
done
[ -n "$standalone" ] || echo "(no tav_standalone binary found: FUSE column left out)"
