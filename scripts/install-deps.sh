#!/bin/sh
# Installs the Debian packages that building, testing, fuzzing (clang and its
# libFuzzer runtime), packaging (rpm, and the package checks: lintian,
# rpmlint, hardening-check from devscripts, gnupg to sign the RPMs), the demo,
# the stalled-disk tests (FUSE), the Ansible collection's tests (ansible-core,
# with voluptuous for ansible-test's validate-modules) and the metrics test
# (promtool, from the prometheus package) need and that are not installed yet.
# Needs root.
set -eu

packages="build-essential cmake pkg-config libgtest-dev libbenchmark-dev libboost-dev
          libblkid-dev libsmartcols-dev xfsprogs attr lvm2 parted fdisk util-linux mount dosfstools tar gzip
          diffutils e2fsprogs cryptsetup-bin rpm openssh-server openssh-client sshpass
          nlohmann-json3-dev groff-base clang libclang-rt-14-dev file cpio lintian rpmlint
          devscripts gnupg libfuse3-dev fuse3 ansible-core python3-voluptuous
          prometheus"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # Packages with services (openssh-server) must not start them here: the
    # tests start their own servers. A policy-rc.d that refuses every start is
    # put in place for the install when the host has none.
    policy=/usr/sbin/policy-rc.d
    own_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' > "$policy"
        chmod 755 "$policy"
        own_policy=yes
    fi
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing || status=$?
    [ -z "$own_policy" ] || rm -f "$policy"
    [ "${status:-0}" -eq 0 ] || exit "$status"
    # Only promtool is wanted from the prometheus package: the server that
    # the package enables when it is installed is disabled again (it was not
    # started, as above).
    case " $missing " in
    *" prometheus "*)
        update-rc.d prometheus disable
        ;;
    esac
fi
