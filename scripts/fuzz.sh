#!/bin/bash
# Builds the libFuzzer targets under fuzz/ with clang and, for each target,
# replays its saved regressions and then fuzzes it for SECONDS_PER_TARGET
# seconds (default 60; 0 replays the seeds and regressions only) from a
# scratch copy of its seed corpus. Fails on any crash, leak, sanitizer
# report or model mismatch; the input that found it is kept under
# BUILD_DIR/artifacts/<target>/ and the log under BUILD_DIR/logs/.
#
# usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
build=${2:-$top/build-fuzz}
case $secs in
    '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET] [BUILD_DIR]" >&2; exit 2 ;;
esac
case $build in
    /*) ;;
    *) build=$(pwd)/$build ;;
esac

cxx=${FUZZ_CXX:-}
if [ -z "$cxx" ]; then
    for c in clang++ clang++-14; do
        if command -v "$c" >/dev/null; then cxx=$c; break; fi
    done
fi
if [ -z "$cxx" ]; then
    echo "fuzz: no clang++ found (set FUZZ_CXX)" >&2
    exit 1
fi

cmake -S "$top/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The editor target's files; a memory file system makes its syncs cheap.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    TMPDIR=$(mktemp -d /dev/shm/zun-fuzz-tmp.XXXXXX)
else
    TMPDIR=$(mktemp -d)
fi
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

# A log that shows a finding even if the exit status somehow did not.
finding='ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|FUZZ MISMATCH|SUMMARY: .*Sanitizer'

mkdir -p "$build/logs"
status=0
for t in edit_file_fuzz line_numbers_fuzz milter_fuzz; do
    bin=$build/$t
    log=$build/logs/$t.log
    : >"$log"
    regressions=()
    if [ -d "$top/fuzz/regressions/$t" ]; then
        while IFS= read -r -d '' f; do regressions+=("$f"); done \
            < <(find "$top/fuzz/regressions/$t" -type f -print0 | sort -z)
    fi
    seeds=("$top/fuzz/corpus/$t"/*)
    rc=0
    # Every regression and seed once, each by name so a failure names it.
    "$bin" ${regressions[@]+"${regressions[@]}"} "${seeds[@]}" >>"$log" 2>&1 || rc=$?
    execs=
    if [ "$rc" -eq 0 ] && [ "$secs" -gt 0 ]; then
        scratch=$build/corpus/$t
        artifacts=$build/artifacts/$t
        rm -rf "$scratch"
        mkdir -p "$scratch" "$artifacts"
        cp "${seeds[@]}" "$scratch/"
        dict=()
        [ -f "$top/fuzz/$t.dict" ] && dict=(-dict="$top/fuzz/$t.dict")
        "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$artifacts/" ${dict[@]+"${dict[@]}"} "$scratch" >>"$log" 2>&1 || rc=$?
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    fi
    if [ "$rc" -ne 0 ] || grep -Eq "$finding" "$log"; then
        echo "fuzz: $t FAILED (status $rc); log: $log" >&2
        # The input that failed: the file being replayed, or the one written.
        awk -v re="$finding" '/^Running: /{last=$0} /^Executed /{last=""} $0 ~ re {if (last != "") print last; last=""; print}
             /^case: |Test unit written/{print}' "$log" | tail -20 >&2
        status=1
    elif [ -n "$execs" ]; then
        echo "fuzz: $t: ${execs} runs in ${secs} s (${rate}/s), no finding"
    else
        echo "fuzz: $t: seeds and regressions replayed, no finding"
    fi
done
exit $status
