#!/bin/sh
# The dynamic symbols a shared library defines are exactly the functions its
# public headers declare with the export mark: no internal function and no
# inline or template code of the implementation leaks into the ABI, and no
# declared function is missing.
# usage: exports_test.sh LIBRARY MARK HEADER...
set -eu
lib=$1
mark=$2
shift 2
exported=$(nm -D --defined-only "$lib" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort)
declared=$(sed -n "s/^$mark [^(]*[ *]\([A-Za-z_0-9]*\)(.*/\1/p" "$@" | sort)
if [ -z "$declared" ]; then
  echo "no declarations marked $mark in $*"
  exit 1
fi
if [ "$exported" != "$declared" ]; then
  echo "exported (<) and declared (>) differ:"
  printf '%s\n' "$exported" >"${TMPDIR:-/tmp}/exports.$$.a"
  printf '%s\n' "$declared" >"${TMPDIR:-/tmp}/exports.$$.b"
  diff "${TMPDIR:-/tmp}/exports.$$.a" "${TMPDIR:-/tmp}/exports.$$.b" || true
  rm -f "${TMPDIR:-/tmp}/exports.$$.a" "${TMPDIR:-/tmp}/exports.$$.b"
  exit 1
fi
echo "$(printf '%s\n' "$exported" | wc -l) functions exported, all declared"
