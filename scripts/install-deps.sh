#!/bin/sh
# Installs the Debian packages that building, testing and the demo need and
# that are not installed yet. Needs root.
set -eu

packages="build-essential cmake pkg-config libgtest-dev libbenchmark-dev libboost-dev
          libblkid-dev xfsprogs attr lvm2 parted fdisk util-linux mount dosfstools tar gzip
          diffutils e2fsprogs cryptsetup-bin rpm nlohmann-json3-dev groff-base"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi
