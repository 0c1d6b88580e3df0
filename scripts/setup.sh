#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages when missing.
# Idempotent: a machine that already has them is left alone.
set -euo pipefail

packages=(
  g++ cmake pkg-config make
  libev-dev libaio-dev uuid-dev libxxhash-dev libisal-dev libcjson-dev libmd-dev zlib1g-dev
  libfuse3-dev fuse3 libgtest-dev
  fio qemu-utils attr util-linux e2fsprogs uuid-runtime xfsprogs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Each AIO context of the engines reserves 32768 events (the kernel counts
# twice that against fs.aio-max-nr, whose default of 65536 would allow a single
# instance per machine).  Raise the limit so that several instances and
# parallel tests can run.
want_aio=4194304
if [ -w /proc/sys/fs/aio-max-nr ] && [ "$(cat /proc/sys/fs/aio-max-nr)" -lt "$want_aio" ]; then
  echo "$want_aio" > /proc/sys/fs/aio-max-nr
fi
