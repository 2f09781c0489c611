#!/bin/sh
# Compares the demangled dynamic symbols that each shared library defines with
# the list kept beside this script, so that an accidental export or a lost one
# fails the suite. Symbols the sanitizer runtimes add are left out.
#   check_symbols.sh BUILD_DIR           compare
#   check_symbols.sh BUILD_DIR --update  rewrite the lists from the build
set -eu

build=$1
here=$(cd "$(dirname "$0")" && pwd)
status=0
for lib in neskutils neskplatform; do
    list="$here/lib$lib.symbols"
    actual=$(mktemp)
    nm -D --defined-only -C "$build/lib$lib.so" |
        sed -E 's/^[0-9a-f]+ [A-Za-z] //' |
        grep -Ev '^(__odr_asan|__asan|__ubsan|__sanitizer|__lsan|_init$|_fini$|_edata$|_end$|__bss_start$)' |
        LC_ALL=C sort -u >"$actual"
    if [ "${2:-}" = "--update" ]; then
        cp "$actual" "$list"
    elif ! diff -u "$list" "$actual"; then
        echo "lib$lib.so: exported symbols differ from $list (- lost, + new export)" >&2
        status=1
    fi
    rm -f "$actual"
done
exit $status
