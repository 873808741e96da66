#!/bin/bash
# The whole test suite: installs what is missing (as root), builds with
# AddressSanitizer and UndefinedBehaviorSanitizer at the default install
# root, and runs every test through CTest: those that lay the install tree
# one after another, and beside them the ones that do not (fuzzing, static
# analysis, the package). Each fuzz target replays its seeds and its
# regressions and then fuzzes for 10 seconds, or for SECONDS with --fuzz.
#
# usage: scripts/test.sh [--fuzz SECONDS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZUN_TEST_BUILD:-$top/build-test}
usage() {
    echo "usage: $0 [--fuzz SECONDS]" >&2
    exit 2
}
fuzz_seconds=10
while [ $# -gt 0 ]; do
    case $1 in
        --fuzz) [ $# -ge 2 ] || usage; fuzz_seconds=$2; shift 2 ;;
        *) usage ;;
    esac
done
case $fuzz_seconds in '' | *[!0-9]*) usage ;; esac

"$top/scripts/deps.sh"
cmake -S "$top" -B "$build" -DZUN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DZUN_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
jobs=$(nproc)
[ "$jobs" -ge 2 ] || jobs=2
ctest --output-on-failure --timeout 900 -j"$jobs"
