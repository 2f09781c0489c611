#!/bin/sh
# Builds the DEB and RPM packages from a release build of the source tree and
# checks them as a distribution's reviewer would: file lists and dependencies,
# lintian and rpmlint (no error; each remaining warning waived by a file in
# waivers/ that gives the reason), the RPMs signed and verified, hardening of
# the shipped binaries, debug symbols in their own packages; then builds and
# runs a caller's program against the unpacked DEBs and against the unpacked
# RPMs.
# Usage: check_packages.sh SOURCE_DIR
set -eu
source=$(cd "$1" && pwd)
here="$source/tests/package"
scratch=$(mktemp -d)
# rpm, rpmbuild and rpmsign read their macros (and keep their database) under
# HOME, gpg its keyrings and agent under GNUPGHOME: scratch ones leave the
# host's untouched. The agent gpg starts is stopped on the way out.
export HOME="$scratch/home" GNUPGHOME="$scratch/gnupg"
# lintian leaves a database file in TMPDIR for each run: a scratch one.
export TMPDIR="$scratch/tmp"
mkdir "$HOME" "$TMPDIR"
cleanup() {
    if [ -d "$GNUPGHOME" ]; then
        gpgconf --kill gpg-agent 2>/dev/null || true
        gpgconf --remove-socketdir 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() { echo "check_packages: $*" >&2; exit 1; }
# has LIST PATTERN...: every extended regular expression matches a line of LIST.
has() {
    list=$1; shift
    for pattern in "$@"; do
        printf '%s\n' "$list" | grep -Eq -- "$pattern" || fail "no match for '$pattern' in:
$list"
    done
}
lacks() {
    list=$1; shift
    for pattern in "$@"; do
        if printf '%s\n' "$list" | grep -Eq -- "$pattern"; then fail "unexpected '$pattern' in:
$list"; fi
    done
}

# The release build: its own, as the build this test runs in may be a Debug or
# sanitizer build. The RPM -debuginfo packages carry the sources only when the
# source and build paths are longer than /usr/src/debug/neskutils-<version>,
# hence the long names.
ln -s "$source" "$scratch/neskutils-source-tree-for-packages"
build="$scratch/neskutils-release-build-for-packages"
{
    cmake -S "$scratch/neskutils-source-tree-for-packages" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DNESK_WERROR=ON -DNESK_BUILD_TESTS=OFF -DNESK_BUILD_BENCHMARKS=OFF &&
        cmake --build "$build" -j2
} >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; fail "release build failed"; }
(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out") >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }

# shellcheck disable=SC2086
one() { set -- "$scratch"/out/$1; [ -f "$1" ] || fail "no package $1"; echo "$1"; }
deb_platform=$(one 'libneskplatform1_*.deb')
deb_utils=$(one 'libneskutils1_*.deb')
deb_tool=$(one 'nesk-disks_*.deb')
deb_dev=$(one 'libneskutils-dev_*.deb')
rpm_libs=$(one 'neskutils-libs-[0-9]*.rpm')
rpm_tool=$(one 'neskutils-[0-9]*.rpm')
rpm_devel=$(one 'neskutils-devel-*.rpm')
debs=$(ls "$scratch"/out/*.deb "$scratch"/out/*.ddeb)
rpms=$(ls "$scratch"/out/*.rpm)
[ "$(echo "$debs" | wc -l)" -eq 7 ] || fail "expected 4 .deb and 3 -dbgsym .ddeb packages: $debs"
[ "$(echo "$rpms" | wc -l)" -eq 5 ] || fail "expected 3 RPM and 2 -debuginfo packages: $rpms"

# The rpmbuild template is CPack's own less the tags the Fedora/RHEL guidelines
# drop: compared with the one this CMake writes, so that a change in CPack's
# is noticed.
cpack --config "$build/CPackConfig.cmake" -G RPM -B "$scratch/template" \
    -D CPACK_RPM_GENERATE_USER_BINARY_SPECFILE_TEMPLATE=ON >"$scratch/template.log" 2>&1 || true
cpack_template=$(find "$scratch/template" -name '*.spec.in' | head -n 1)
[ -n "$cpack_template" ] || { cat "$scratch/template.log" >&2; fail "cpack wrote no rpmbuild template"; }
# substance FILE DROPPED: the lines of FILE but comments, blank lines and
# those matching DROPPED.
substance() { grep -Ev '^(#|$)' "$1" | grep -Ev "$2" || true; }
substance "$cpack_template" '^(BuildRoot|Group|Vendor):|^%clean$' >"$scratch/cpack-template"
substance "$source/packaging/rpm/neskutils-rpmbuild.in" '^%\{!\?(packager|vendor):' >"$scratch/our-template"
diff -u "$scratch/cpack-template" "$scratch/our-template" >&2 ||
    fail "packaging/rpm/neskutils-rpmbuild.in no longer follows CPack's template"

# The RPMs signed as a release signs them, here with a throwaway key, and
# verified against it alone (the scratch rpm database holds no other key);
# rpmlint finds the signatures known too.
signer="package-check@neskutils.invalid"
mkdir -m 700 "$GNUPGHOME"
printf '%s\n' "%_dbpath $scratch/rpmdb" "%__gpg $(command -v gpg)" "%_gpg_name $signer" >"$HOME/.rpmmacros"
# shellcheck disable=SC2086
{
    gpg --batch --passphrase '' --quick-gen-key "neskutils package check <$signer>" rsa3072 sign 1d &&
        rpmsign --addsign $rpms &&
        gpg --batch --armor --export "$signer" >"$scratch/signer.asc" &&
        rpm --import "$scratch/signer.asc"
} >"$scratch/sign.log" 2>&1 || { cat "$scratch/sign.log" >&2; fail "signing the RPMs failed"; }
# shellcheck disable=SC2086
verified=$(rpm -K $rpms 2>&1) || fail "RPM signatures do not verify: $verified"
[ "$(printf '%s\n' "$verified" | grep -c ': digests signatures OK$')" -eq 5 ] ||
    fail "not every RPM is signed: $verified"

# Contents: Debian's multiarch library directory, RHEL's lib64; the manual
# compressed; Debian's copyright and changelog in every package.
deb_files() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's/^\.//'; }
rpm_files() { rpm -qlp "$1" 2>/dev/null; }
lib="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
if [ "$(getconf LONG_BIT)" -eq 64 ]; then lib64=/usr/lib64; else lib64=/usr/lib; fi
debian_docs() { echo "^/usr/share/doc/$1/copyright$" "^/usr/share/doc/$1/changelog\.gz$"; }
devel_files='/include/nesk/nesk_blkdev\.h$ /include/nesk/nesk_version\.h$ /libneskutils\.so$ /libneskplatform\.so$
    /pkgconfig/neskutils\.pc$ /cmake/neskutils/neskutilsConfig\.cmake$'
tool_files='^/usr/bin/nesk-disks$ ^/usr/share/man/man8/nesk-disks\.8\.gz$
    ^/usr/share/bash-completion/completions/nesk-disks$
    ^/usr/lib/systemd/system/nesk-disks-metrics\.service$ ^/usr/lib/systemd/system/nesk-disks-metrics\.timer$'
# shellcheck disable=SC2046,SC2086
{
    list=$(deb_files "$deb_platform")
    has "$list" "^$lib/libneskplatform\.so\.1$" "^$lib/libneskplatform\.so\.1\.[0-9.]+$" $(debian_docs libneskplatform1)
    lacks "$list" 'libneskutils' '\.so$'
    list=$(deb_files "$deb_utils")
    has "$list" "^$lib/libneskutils\.so\.1$" "^$lib/libneskutils\.so\.1\.[0-9.]+$" $(debian_docs libneskutils1)
    lacks "$list" 'libneskplatform' '\.so$'
    list=$(deb_files "$deb_tool"); has "$list" $tool_files $(debian_docs nesk-disks); lacks "$list" '\.so'
    list=$(deb_files "$deb_dev"); has "$list" $devel_files "^$lib/pkgconfig/" $(debian_docs libneskutils-dev)
    lacks "$list" '\.so\.1' 'bin/'
    list=$(rpm_files "$rpm_libs")
    has "$list" "^$lib64/libneskutils\.so\.1$" "^$lib64/libneskplatform\.so\.1\.[0-9.]+$"
    lacks "$list" '\.h$' '\.so$' 'bin/'
    has "$(rpm -qp --licensefiles "$rpm_libs" 2>/dev/null)" '^/usr/share/licenses/neskutils-libs/LICENSE$'
    has "$(rpm -qp --changelog "$rpm_libs" 2>/dev/null)" '^\* [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{4} neskutils developers '

    list=$(rpm_files "$rpm_tool"); has "$list" $tool_files; lacks "$list" '\.so'
    list=$(rpm_files "$rpm_devel"); has "$list" $devel_files "^$lib64/pkgconfig/"; lacks "$list" '\.so\.1' 'bin/'
}

# Dependencies: what the libraries run, weak ones for what only some callers'
# helpers run, the libraries of the same version, shlibs for callers' packages.
field() { dpkg-deb -f "$1" "$2" | tr ',' '\n' | sed 's/^ *//'; }
has "$(field "$deb_utils" Depends)" '^libneskplatform1 \(= [0-9.]+\)$' '^mount$' '^parted$' '^mdadm$' '^lvm2$' \
    '^xfsprogs$' '^libblkid1 '
has "$(field "$deb_utils" Recommends)" '^openssh-client$' '^sshpass$'
has "$(field "$deb_utils" Suggests)" '^systemd$'
has "$(field "$deb_tool" Depends)" '^libneskutils1 \(= [0-9.]+\)$'
has "$(field "$deb_dev" Depends)" '^libneskutils1 \(= [0-9.]+\)$' '^libneskplatform1 \(= [0-9.]+\)$'
has "$(dpkg-deb -I "$deb_utils" shlibs)" '^libneskutils 1 libneskutils1 \(>= [0-9.]+\)$'
has "$(dpkg-deb -I "$deb_platform" shlibs)" '^libneskplatform 1 libneskplatform1 \(>= [0-9.]+\)$'
has "$(rpm -qpR "$rpm_libs" 2>/dev/null)" '^parted$' '^mdadm$' '^lvm2$' '^xfsprogs$' '^util-linux$' '^libblkid\.so\.1'
has "$(rpm -qp --suggests "$rpm_libs" 2>/dev/null)" '^openssh-clients$' '^sshpass$' '^tar$' '^systemd$'
same_libs='^neskutils-libs\([a-z0-9_-]+\) = [0-9.]+-[0-9]+$'
has "$(rpm -qpR "$rpm_tool" 2>/dev/null)" "$same_libs"
has "$(rpm -qpR "$rpm_devel" 2>/dev/null)" "$same_libs"
has "$(rpm -qp --provides "$rpm_devel" 2>/dev/null)" '^pkgconfig\(neskutils\) = '
# shellcheck disable=SC2086
has "$(rpm -qp --qf '%{NAME} %{PREFIXES}\n' $rpms 2>/dev/null)" '^neskutils \(none\)$'
# shellcheck disable=SC2086
lacks "$(rpm -qp --qf '%{NAME} %{PREFIXES}\n' $rpms 2>/dev/null)" ' /'

# lint TOOL OUTPUT ERROR WARNING: OUTPUT has no error line (ERROR; errors are
# never waived); every warning line (WARNING) matches a waiver in
# waivers/TOOL/, and every waiver still matches one.
lint() {
    errors=$(grep -E "$3" "$2" || true)
    [ -z "$errors" ] || { cat "$2" >&2; fail "$1 reports errors:
$errors"; }
    grep -E "$4" "$2" >"$scratch/warnings" || true
    patterns="$scratch/$1.waivers"
    : >"$patterns"
    for waiver in "$here/waivers/$1"/*; do
        [ -f "$waiver" ] || continue
        grep -Ev '^(#|$)' "$waiver" >"$scratch/waiver"
        grep -Eq -f "$scratch/waiver" "$scratch/warnings" || fail "waiver $waiver matches no warning: drop it"
        cat "$scratch/waiver" >>"$patterns"
    done
    unwaived=$(grep -Ev -f "$patterns" "$scratch/warnings" || true)
    [ -z "$unwaived" ] || { cat "$2" >&2; fail "$1 warns (not waived):
$unwaived"; }
}
# lintian's exit status tells errors found (2) from its own failures unless
# told to fail on nothing; what it found is judged from its output.
# shellcheck disable=SC2086
lintian --fail-on none -EvIL +pedantic $debs >"$scratch/lintian.txt" 2>&1 ||
    { cat "$scratch/lintian.txt" >&2; fail "lintian failed"; }
lint lintian "$scratch/lintian.txt" '^E: ' '^W: '
# shellcheck disable=SC2086
rpmlint -c "$source/packaging/rpmlint.toml" $rpms >"$scratch/rpmlint.txt" 2>&1 || true
grep -q '^ *5 packages and 0 specfiles checked' "$scratch/rpmlint.txt" ||
    { cat "$scratch/rpmlint.txt" >&2; fail "rpmlint did not check the 5 packages"; }
lint rpmlint "$scratch/rpmlint.txt" ': E: ' ': W: '

# The shipped binaries: stripped, their symbols in the debug package under
# their build-id, hardened. hardening-check's control-flow test needs a CET
# note that Debian 12's start files lack; instead every global function must
# begin with endbr64 (the start files' _init, _fini and _start aside).
for format in deb rpm; do
    root="$scratch/$format-root"
    mkdir -p "$root"
    if [ "$format" = deb ]; then
        for package in $debs; do dpkg-deb -x "$package" "$root"; done
        libdir=$lib
    else
        for package in $rpms; do rpm2cpio "$package" | (cd "$root" && cpio -idmu --quiet); done
        libdir=$lib64
    fi
    for binary in "$root/usr/bin/nesk-disks" "$root$libdir/libneskutils.so.1."* "$root$libdir/libneskplatform.so.1."*; do
        ! readelf -S "$binary" | grep -Eq ' \.(symtab|debug_info) ' || fail "$binary is not stripped"
        id=$(readelf -n "$binary" | sed -n 's/.*Build ID: //p')
        symbols="$root/usr/lib/debug/.build-id/$(echo "$id" | cut -c1-2)/$(echo "$id" | cut -c3-).debug"
        readelf -S "$symbols" 2>/dev/null | grep -q ' \.debug_info ' || fail "no debug symbols for $binary ($id)"
        hardening-check --quiet --nocfprotection "$binary" || fail "$binary is not hardened"
        objdump -d --no-show-raw-insn "$binary" | awk '/\tendbr64/ { sub(":", "", $1); print $1 }' >"$scratch/endbr"
        nm --defined-only "$symbols" | awk '$2 == "T" && $3 !~ /^_(init|fini|start)$/ { print $1 }' |
            sed 's/^0*//' >"$scratch/functions"
        [ -s "$scratch/functions" ] || fail "no functions in $symbols"
        missing=$(grep -Fxvc -f "$scratch/endbr" "$scratch/functions" || true)
        [ "$missing" -eq 0 ] || fail "$binary: $missing global functions do not begin with endbr64"
    done

    # A caller's program builds against the unpacked development package.
    pc="$root$libdir/pkgconfig"
    export NESK_LOG_DIR="$scratch" NESK_CONFIG_FILE="$scratch/config.ini"
    # shellcheck disable=SC2046
    c++ -std=c++17 "$source/tests/install/caller.cpp" -o "$scratch/caller-$format" \
        $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs neskutils) -Wl,-rpath,"$root$libdir"
    "$scratch/caller-$format"
    LD_LIBRARY_PATH="$root$libdir" "$root/usr/bin/nesk-disks" --version >/dev/null
done
echo "packages: DEB and RPM layouts, dependencies, no lintian or rpmlint error, warnings waived," \
    "RPMs signed, hardened, stripped with separate debug symbols; callers link against both"
