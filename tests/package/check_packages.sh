#!/bin/sh
# Builds the RPM and DEB packages of a build tree with CPack, checks what each
# component holds and requires, then unpacks the DEBs into a scratch root and
# builds and runs a caller's program against that root.
# Usage: check_packages.sh BUILD_DIR CALLER_DIR [EXTRA_FLAGS]
set -eu
build=$1
caller=$2
flags=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "check_packages: $*" >&2; exit 1; }
# has LIST PATTERN...: every extended regular expression matches a line of LIST.
has() {
    list=$(printf '%s\n' "$1" | sed 's/ -> .*//'); shift
    for pattern in "$@"; do
        printf '%s\n' "$list" | grep -Eq -- "$pattern" || fail "no match for '$pattern' in:
$list"
    done
}
lacks() {
    list=$(printf '%s\n' "$1" | sed 's/ -> .*//'); shift
    for pattern in "$@"; do
        if printf '%s\n' "$list" | grep -Eq -- "$pattern"; then fail "unexpected '$pattern' in:
$list"; fi
    done
}

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >cpack.log 2>&1) ||
    { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }

one() { set -- "$scratch"/out/$1; [ -f "$1" ] || fail "no package $1"; echo "$1"; }
rpm_runtime=$(one 'neskutils-[0-9]*.rpm')
rpm_devel=$(one 'neskutils-devel-*.rpm')
deb_runtime=$(one 'neskutils_*.deb')
deb_devel=$(one 'neskutils-dev_*.deb')

runtime_files='/bin/nesk-disks$ /libneskutils\.so\.1$ /libneskutils\.so\.1\.[0-9.]+$
    /libneskplatform\.so\.1$ /man8/nesk-disks\.8 /completions/nesk-disks$'
devel_files='/include/nesk/nesk_blkdev\.h$ /include/nesk/nesk_version\.h$ /libneskutils\.so$
    /pkgconfig/neskutils\.pc$ /cmake/neskutils/neskutilsConfig\.cmake$'
# shellcheck disable=SC2086
{
    list=$(rpm -qlp "$rpm_runtime" 2>/dev/null); has "$list" $runtime_files; lacks "$list" '\.h$' '\.so$'
    list=$(rpm -qlp "$rpm_devel" 2>/dev/null); has "$list" $devel_files; lacks "$list" '\.so\.1' 'bin/'
    list=$(dpkg-deb -c "$deb_runtime"); has "$list" $runtime_files; lacks "$list" '\.h$' '\.so$'
    list=$(dpkg-deb -c "$deb_devel"); has "$list" $devel_files; lacks "$list" '\.so\.1' 'bin/'
}
has "$(rpm -qpR "$rpm_runtime" 2>/dev/null)" '^xfsprogs' '^lvm2' '^mdadm' '^util-linux' '^/usr/bin/mount'
has "$(rpm -qpR "$rpm_devel" 2>/dev/null)" '^neskutils = '
has "$(dpkg-deb -f "$deb_runtime" Depends | tr ',' '\n' | sed 's/^ *//')" \
    '^mount' '^xfsprogs' '^lvm2' '^mdadm' '^util-linux' '^libblkid1'
has "$(dpkg-deb -f "$deb_devel" Depends | tr ',' '\n' | sed 's/^ *//')" '^neskutils \(= '

root="$scratch/root"
dpkg-deb -x "$deb_runtime" "$root"
dpkg-deb -x "$deb_devel" "$root"
pc=$(find "$root" -name neskutils.pc)
libdir=$(dirname "$(dirname "$pc")")
export NESK_LOG_DIR="$scratch" NESK_CONFIG_FILE="$scratch/config.ini"
# shellcheck disable=SC2086
c++ -std=c++17 $flags "$caller/caller.cpp" -o "$scratch/caller" \
    $(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs neskutils) \
    -Wl,-rpath,"$libdir"
"$scratch/caller"
"$root/usr/bin/nesk-disks" --version >/dev/null
echo "packages: RPM and DEB built, contents and dependencies as declared, DEB root links"
