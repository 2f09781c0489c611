#!/bin/sh
# Installs what is missing, builds the library, tools, tests and benchmarks with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs the whole test
# suite. Any test failure or sanitizer report fails the run. Needs root for the
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
cd "$build"
ctest --output-on-failure -j "$(nproc)"
