#!/bin/sh
# Builds the library and nesk-disks, then runs the main job on a simulated node:
# which disks are new and may be given to storage. The node lives in a private
# mount namespace of the demo process (its own /sys, /dev, /tmp, /proc/devices)
# with real loop devices that the kernel detaches when the demo ends, so
# nothing is left on this machine. Needs root.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build="${NESK_BUILD_DIR:-$top/build-demo}"

"$top/scripts/install-deps.sh" >/dev/null
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNESK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target nesk-disks nesk-demo-node >/dev/null

exec "$build/tests/nesk-demo-node" "$build/nesk-disks"
