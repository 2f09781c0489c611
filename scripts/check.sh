#!/bin/sh
# Installs what is missing, builds the library, tools, tests and benchmarks with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs the whole test
# suite, then builds the fuzz targets with clang and runs each briefly. Any test
# failure, sanitizer report or fuzz finding fails the run. Needs root for the
# tests that build simulated nodes (they skip, saying why, without it).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build="${NESK_BUILD_DIR:-$top/build-check}"

"$top/scripts/install-deps.sh"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DNESK_SANITIZE=ON -DNESK_WERROR=ON
cmake --build "$build" -j "$(nproc)"

# halt_on_error makes every report fatal; a leak is a report too.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
(cd "$build" && ctest --output-on-failure -j "$(nproc)")

# Then the fuzz targets: a clang build of their own, each target run for a few
# seconds from its seed corpus; any crash or oracle failure fails the run.
if command -v clang++ >/dev/null 2>&1; then
    NESK_FUZZ_BUILD_DIR="${NESK_FUZZ_BUILD_DIR:-$build-fuzz}" "$top/scripts/fuzz.sh" -t 6
else
    echo "clang++ is not installed: fuzz targets not built or run" >&2
fi
