#!/bin/sh
# Builds the libFuzzer targets of fuzz/ with clang in a build directory of
# their own and runs each one, one after the other, starting from its seed
# corpus in fuzz/corpus/<target>. Any crash, sanitizer report, oracle failure
# or timeout fails the run; the failing input is printed and kept.
#
#   scripts/fuzz.sh [-t SECONDS | -r RUNS] [TARGET...]
#
# -t runs each target for SECONDS (default 6), -r for RUNS inputs instead;
# without TARGET all targets run. NESK_FUZZ_BUILD_DIR is the build directory
# (default build-fuzz); NESK_FUZZ_WORK_DIR, when set, keeps the corpora grown
# and the failing inputs there (default: a temporary directory, removed).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build="${NESK_FUZZ_BUILD_DIR:-$top/build-fuzz}"
limit="-max_total_time=6"
while getopts t:r: option; do
    case $option in
        t) limit="-max_total_time=$OPTARG" ;;
        r) limit="-runs=$OPTARG" ;;
        *) echo "usage: $0 [-t SECONDS | -r RUNS] [TARGET...]" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

if [ $# -eq 0 ]; then
    set -- $(cd "$top/fuzz" && ls ./*_fuzz.cpp | sed 's|^\./||; s|_fuzz\.cpp$||')
fi

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DNESK_FUZZ=ON -DNESK_BUILD_TESTS=OFF \
    -DNESK_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target nesk_fuzz

if [ -n "${NESK_FUZZ_WORK_DIR:-}" ]; then
    work="$NESK_FUZZ_WORK_DIR"
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
failed=""
for target in "$@"; do
    mkdir -p "$work/$target"
    log="$work/$target.log"
    # New inputs go to the work corpus (the first directory); the seeds in the
    # tree are only read.
    if "$build/fuzz/${target}_fuzz" "$limit" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/$target-" \
        "$work/$target" "$top/fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
        cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
        echo "fuzz $target: $runs runs, $speed/s, $cov"
    else
        echo "fuzz $target: FAILED" >&2
        grep -v '^#' "$log" | tail -n 40 >&2
        for input in "$work/$target"-*; do
            [ -e "$input" ] || continue
            echo "failing input $input:" >&2
            od -c "$input" | head -n 20 >&2
        done
        failed="$failed $target"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz targets failed:$failed" >&2
    exit 1
fi
