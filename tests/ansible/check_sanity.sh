#!/bin/sh
# ansible-test sanity on the Ansible collection, with Debian's ansible-core
# and the system's Python packages (the Python package index is not
# reachable). The collection is copied under a temporary
# ansible_collections/<namespace>/<name> tree, where ansible-test expects it
# and may write its output.
#
# Usage: check_sanity.sh COLLECTION_DIR
# Exits 0 when every test passed, 77 (skipped) when ansible-test or
# voluptuous is missing, 1 otherwise.
set -eu

collection=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3

if ! command -v ansible-test >/dev/null 2>&1; then
    echo "SKIP: ansible-test is not installed (scripts/install-deps.sh installs ansible-core)"
    exit 77
fi
if ! "$python" -c 'import voluptuous' 2>/dev/null; then
    echo "SKIP: $python has no voluptuous (scripts/install-deps.sh installs python3-voluptuous)"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
namespace=$(sed -n 's/^namespace:[[:space:]]*//p' "$collection/galaxy.yml")
name=$(sed -n 's/^name:[[:space:]]*//p' "$collection/galaxy.yml")
copy="$work/ansible_collections/$namespace/$name"
mkdir -p "$copy"
(cd "$collection" && tar --exclude=./tests/output -cf - .) | (cd "$copy" && tar -xf -)

# Tests left out need tools or pinned versions that only the package index
# has: pylint, pep8 (pycodestyle), yamllint, import (builds its own virtual
# environment with pip), changelog (antsibull-changelog), pslint
# (PowerShell), shellcheck.
skipped="pylint pep8 yamllint import changelog pslint shellcheck"
skip_args=""
for test in $skipped; do skip_args="$skip_args --skip-test $test"; done

export HOME="$work/home"
export PYTHONDONTWRITEBYTECODE=1
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tests=$(cd "$copy" && ansible-test sanity --list-tests $skip_args 2>/dev/null)
"$python" "$here/prepare_sanity_venvs.py" $tests
cd "$copy"
# shellcheck disable=SC2086
ansible-test sanity --local --python-interpreter "$python" --python "$version" $skip_args --color no
