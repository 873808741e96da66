#!/bin/bash
# The whole test suite: installs what is missing (as root), builds with
# AddressSanitizer and UndefinedBehaviorSanitizer at the default install
# root, and runs every test through CTest.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZUN_TEST_BUILD:-$top/build-test}

"$top/scripts/deps.sh"
cmake -S "$top" -B "$build" -DZUN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure --timeout 900
