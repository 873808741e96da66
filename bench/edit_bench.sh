#!/bin/sh
# Measures the table requests (an add, which checks every key; removals by
# number; an edit by key) against the physical limit of a full rewrite (dd
# conv=fsync of the old file into a new one, plus the release of the old
# one, as an edit frees the file it replaces) and against one plain read
# (wc -l), on a generated access-style file of about SIZE bytes (default 1G;
# K, M, G suffixes). On a table of real size (50000 entries, about 2.25 MB)
# it sets an edit beside the least that a commit costs: the bytes written to
# a new file, one fsync of it, the rename and one fsync of the directory,
# both repeated in one process.
#
#   [ROUNDS=3] [BEFORE=REV] bench/edit_bench.sh [SIZE] [WORKDIR]
#
# WORKDIR (default: a new directory under /var/tmp) must lie on the file
# system to measure and have room for four times SIZE; the files made there
# are removed at the end. Run as root with mkfs.xfs (Debian package
# xfsprogs) and a free loop device, the benchmark also makes an XFS image
# with reflink=1 in WORKDIR (three times SIZE and 1 GiB more) and measures
# there as well. BEFORE names a git revision (one with add_edit_entry) whose
# requests are measured beside the current ones. The drivers are built from
# the sources with -O2. The tables end with the targets, met or missed.
set -eu

size_arg=${1:-1G}
rounds=${ROUNDS:-3}
before=${BEFORE:-}
small_edits=200
real_lines=50000
real_edits=20
src=$(cd "$(dirname "$0")/.." && pwd)
work=${2:-}
if [ -z "$work" ]; then
    work=$(mktemp -d /var/tmp/edit_bench.XXXXXX)
    made_work=1
else
    mkdir -p "$work"
    made_work=0
fi
xfs=$work/xfs
loop=
bench_files="big big.tmp old copy small small.tmp ten ten.tmp real real.tmp time.out gen.big
             gen.small gen.real"
cleanup() {
    if mountpoint -q "$xfs" 2>/dev/null; then
        umount "$xfs" || echo "edit_bench: cannot unmount $xfs" >&2
    fi
    if [ -n "$loop" ]; then
        losetup -d "$loop" || echo "edit_bench: cannot detach $loop" >&2
    fi
    rm -f "$work/xfs.img"
    if [ -d "$xfs" ]; then rmdir "$xfs"; fi
    for f in $bench_files; do rm -f "$work/$f"; done
    rm -rf "$work/drv"
    [ "$made_work" = 1 ] && rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM

if [ ! -x /usr/bin/time ]; then
    echo "edit_bench: /usr/bin/time is missing (apt-get install time)" >&2
    exit 1
fi
size=$(numfmt --from=iec "$size_arg")
label=$(numfmt --to=iec "$size")

# A driver from the library's sources in DIR (the programs' own mains left
# out), for an install root it never touches.
build() {  # DIR OUTPUT
    dir=$1 out=$2
    mkdir -p "$out.gen"
    printf '#define ZUN_ROOT "%s/root/"\n#define ZUN_ROOT_DEFAULT ""\n' "$work" \
        >"$out.gen/zun_paths.h"
    set --
    for f in "$dir"/*.cc; do
        case ${f##*/} in hookset.cc | routeset.cc | permitset.cc | mtactl.cc) ;; *) set -- "$@" "$f" ;; esac
    done
    ${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$dir" -I"$out.gen" "$@" \
        "$src/bench/bench_edit.cc" -o "$out"
}
mkdir -p "$work/drv/before"
drv=$work/drv/editor
build "$src/suid" "$drv"
drivers=editor
if [ -n "$before" ]; then
    git -C "$src" archive "$before" suid | tar -x -C "$work/drv/before"
    build "$work/drv/before/suid" "$work/drv/before/bench_edit"
    drivers="editor before"
fi
driver() {  # NAME
    if [ "$1" = before ]; then echo "$work/drv/before/bench_edit"; else echo "$drv"; fi
}

# The XFS image, when it can be had; otherwise the reason why not.
xfs_skip=
if [ "$(id -u)" -ne 0 ]; then
    xfs_skip="not root"
elif ! command -v mkfs.xfs >/dev/null; then
    xfs_skip="mkfs.xfs is missing (Debian package xfsprogs)"
else
    # Written out, and not discarded by mkfs, so that no write into it has
    # to allocate room in the work directory's file system first.
    dd if=/dev/zero of="$work/xfs.img" bs=1M count=$(( size * 3 / 1048576 + 1024 )) \
        conv=fsync status=none
    mkfs.xfs -q -K -m reflink=1 "$work/xfs.img"
    if ! loop=$(losetup -f --show --direct-io=on "$work/xfs.img" 2>/dev/null); then
        loop=
        xfs_skip="no loop device"
    else
        mkdir "$xfs"
        mount "$loop" "$xfs"
    fi
fi

# On a virtual machine that hands freed memory back to its host, whichever
# command first needs that memory again pays for getting it back, several
# times what the command itself costs: every command is measured right after
# memory for twice SIZE (at most half of what is available) has been
# touched and freed.
avail_kib=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo 2>/dev/null || true)
warm=$(( size * 2 ))
if [ $(( ${avail_kib:-0} * 512 )) -lt "$warm" ]; then
    warm=$(( ${avail_kib:-0} * 512 ))
fi

# measure FS NAME SIZE-LABEL COMMAND...: one line "fs|name|size|seconds|KiB".
measure() {
    m_fs=$1 m_name=$2 m_label=$3
    shift 3
    sync
    if [ "$warm" -gt 0 ]; then
        "$drv" warm "$warm"
    fi
    t0=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/time.out" "$@" >/dev/null
    t1=$(date +%s%N)
    printf '%s|%s|%s|%d.%06d|%s\n' "$m_fs" "$m_name" "$m_label" $(( (t1 - t0) / 1000000000 )) \
        $(( (t1 - t0) / 1000 % 1000000 )) "$(cat "$work/time.out")"
}

# Line numbers 1, 1+step, ... : 100 of them spread over the file, or all of
# a shorter one (a number past the end is refused).
hundred() {
    lines=$(wc -l <"$1")
    step=$(( lines / 100 > 0 ? lines / 100 : 1 ))
    seq 1 "$step" "$lines" | head -n 100 | tr '\n' ' '
}

# The number of the 50th line from the end, and its key.
tab=$(printf '\t')
near_end() {
    echo $(( $(wc -l <"$1") - 50 ))
}
key_of() {  # FILE N
    sed -n "${2}p" "$1" | cut -f1
}

# Lays the files of one file system: the big one, an old copy of it for the
# release, one of 1 KiB, one of 10 lines and one of real size.
lay() {
    cp --reflink=never "$work/gen.big" "$1/big"
    cp --reflink=never "$work/gen.big" "$1/old"
    cp "$work/gen.small" "$1/small"
    head -n 10 "$work/gen.small" >"$1/ten"
    cp "$work/gen.real" "$1/real"
    chmod 644 "$1/big" "$1/small" "$1/ten" "$1/real"
}

# one_round DIR FS ROUND
one_round() {
    d=$1 fs=$2
    # Which driver goes first changes from round to round.
    if [ $(( $3 % 2 )) = 0 ]; then order=$drivers; else order=$(echo "$drivers" | awk '{ for (i = NF; i; i--) printf "%s ", $i }'); fi
    # Whatever the last round left the disk to do falls on this copy, which
    # is not measured, and not on the first command measured.
    dd if="$d/big" of="$d/copy" bs=1M conv=fsync status=none
    rm "$d/copy"
    sync
    # Every command on the big file starts with the file it reads in the
    # page cache, as it stands after the last change of it.
    cat "$d/big" >/dev/null
    measure "$fs" "dd bs=1M conv=fsync" "$label" \
        dd if="$d/big" of="$d/copy" bs=1M conv=fsync status=none
    rm -f "$d/copy"
    # A rewrite reads the old file and then frees it, cached pages and all.
    cat "$d/old" >/dev/null
    # shellcheck disable=SC2016
    measure "$fs" "dd conv=fsync + release" "$label" \
        sh -c 'dd if="$1/old" of="$1/copy" bs=1M conv=fsync status=none && rm "$1/old"' - "$d"
    mv "$d/copy" "$d/old"
    cat "$d/big" >/dev/null
    measure "$fs" "wc -l" "$label" wc -l "$d/big"
    for which in $order; do
        run=$(driver "$which")
        # A new key each time: an add of a key the table has is refused.
        entry="From:bench-$which-$3@example.org${tab}REJECT"
        lines=$(wc -l <"$d/big")
        cat "$d/big" >/dev/null
        measure "$fs" "$which: append" "$label" "$run" append "$d/big" "$entry"
        cat "$d/big" >/dev/null
        # shellcheck disable=SC2046
        measure "$fs" "$which: remove 100 lines" "$label" "$run" rm "$d/big" $(hundred "$d/big")
        cat "$d/big" >/dev/null
        measure "$fs" "$which: remove near the end" "$label" "$run" rm "$d/big" "$(near_end "$d/big")"
        n=$(near_end "$d/big")
        key=$(key_of "$d/big" "$n")
        cat "$d/big" >/dev/null
        measure "$fs" "$which: edit near the end" "$label" \
            "$run" edit "$d/big" "$key" "$key${tab}DISCARD"
        now=$(wc -l <"$d/big")
        if [ "$now" -ne $(( lines + 1 - 100 - 1 )) ] ||
           [ "$(sed -n "${n}p" "$d/big")" != "$key${tab}DISCARD" ]; then
            echo "edit_bench: $which: expected $(( lines - 100 )) lines and the new entry for" \
                 "$key on line $n, found $now lines" >&2
            exit 1
        fi
        measure "$fs" "$which: append" 1.0K "$run" append "$d/small" "$entry"
        # shellcheck disable=SC2046
        measure "$fs" "$which: remove 100 lines" 1.0K "$run" rm "$d/small" $(hundred "$d/small")
        ten_key=$(key_of "$d/ten" 5)
        measure "$fs" "$which: edit x$small_edits" 10-line \
            "$run" edit "$d/ten" "$ten_key" "$ten_key${tab}RELAY" "$small_edits"
        real_key=$(key_of "$d/real" $(( real_lines / 2 )))
        measure "$fs" "$which: edit x$real_edits" "$real_size" \
            "$run" edit "$d/real" "$real_key" "$real_key${tab}RELAY" "$real_edits"
    done
    measure "$fs" "floor x$real_edits" "$real_size" "$drv" floor "$d/real" "$real_edits"
    cat "$d/big" >/dev/null
    measure "$fs" "sed -i: append" "$label" sed -i "\$a\\
From:sed-$3@example.org${tab}REJECT" "$d/big"
}

"$drv" gen "$work/gen.small" 1024
"$drv" gen "$work/gen.big" "$size"
"$drv" entries "$work/gen.real" "$real_lines"
real_size=$(numfmt --to=iec --format=%.2f "$(wc -c <"$work/gen.real")")
work_fs=$(findmnt -n -o FSTYPE -T "$work")
if findmnt -n -o OPTIONS -T "$work" | tr ',' '\n' | grep -qx discard; then
    work_fs="$work_fs, discard"
fi
work_fs="$work ($work_fs)"
xfs_fs="XFS image with reflink=1 on $loop"
lay "$work"
if [ -z "$xfs_skip" ]; then
    lay "$xfs"
fi
rm "$work/gen.big" "$work/gen.small" "$work/gen.real"

# Rounds interleave the commands and the file systems, so that a slow spell
# of the disk does not fall on one of them only; the tables show each
# command's median time and its highest peak RSS.
results=$(
    round=0
    while [ "$round" -lt "$rounds" ]; do
        one_round "$work" "$work_fs" "$round"
        if [ -z "$xfs_skip" ]; then
            one_round "$xfs" "$xfs_fs" "$round"
        fi
        round=$(( round + 1 ))
    done
)

report() {
    echo "$results" | awk -F'|' -v fs="$1" -v big="$label" -v rounds="$rounds" \
                          -v reflink="$2" -v n="$small_edits" -v rn="$real_edits" \
                          -v real="$real_size" -v drivers="$drivers" '
    function median(key,    c, i, j, t, v) {
        c = cnt[key]
        if (c == 0) return -1
        for (i = 1; i <= c; i++) v[i] = secs[key, i]
        for (i = 1; i <= c; i++)
            for (j = i + 1; j <= c; j++)
                if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
    }
    # One target: the ratio of row to base for the editor, and beside it for
    # the revision measured before.
    function target(what, row, base, limit, unit,    d, m, v, line, b) {
        line = sprintf("  %-46s", what)
        for (d = 1; d <= ndrv; d++) {
            m = median(drv[d] ": " row)
            b = median(base)
            v = unit == "x" ? m / b : 100 * m / b
            if (d == 1)
                line = line sprintf(" %7.2f%-2s %s", v, unit, v <= limit ? "met   " : "MISSED")
            else
                line = line sprintf("   %s: %.2f%s", drv[d], v, unit)
        }
        printf "%s  (target: %s%s or less)\n", line, limit, unit
    }
    function rss_target(row,    d, line, v) {
        line = sprintf("  %-46s", "peak RSS, " row ", " big " over 1.0K")
        for (d = 1; d <= ndrv; d++) {
            v = rss[drv[d] ": " row "|" big] - rss[drv[d] ": " row "|1.0K"]
            if (d == 1)
                line = line sprintf(" %5d KiB %s", v, v <= 1024 ? "met   " : "MISSED")
            else
                line = line sprintf("   %s: %d KiB", drv[d], v)
        }
        printf "%s  (target: 1024 KiB or less)\n", line
    }
    BEGIN { ndrv = split(drivers, drv, " ") }
    $1 == fs {
        key = $2 "|" $3
        if (!(key in cnt)) order[++nkeys] = key
        secs[key, ++cnt[key]] = $4
        if ($5 > rss[key]) rss[key] = $5
    }
    END {
        dd = median("dd bs=1M conv=fsync|" big)
        yard = median("dd conv=fsync + release|" big)
        # dd alone can only be faster than dd with a release; when its row
        # says otherwise, the other one is the fairer measure.
        if (yard < dd) dd = yard
        wc = median("wc -l|" big)
        printf "%s\n%-28s %7s %9s %7s %9s %7s %12s   (medians of %d rounds)\n", fs, "command",
               "file", "wall", "vs dd", "vs dd+rel", "vs wc", "peak RSS", rounds
        for (k = 1; k <= nkeys; k++) {
            split(order[k], p, "|")
            m = median(order[k])
            r1 = p[2] == big && dd > 0 ? sprintf("%.3fx", m / dd) : ""
            r2 = p[2] == big && yard > 0 ? sprintf("%.2fx", m / yard) : ""
            r3 = p[2] == big && wc > 0 ? sprintf("%.2fx", m / wc) : ""
            printf "%-28s %7s %7.3f s %7s %9s %7s %8d KiB\n", p[1], p[2], m, r1, r2, r3,
                   rss[order[k]]
        }
        print "targets:"
        if (reflink) {
            target("append / dd conv=fsync", "append|" big, "dd bs=1M conv=fsync|" big, 5, "%")
            target("remove near the end / dd conv=fsync", "remove near the end|" big,
                   "dd bs=1M conv=fsync|" big, 5, "%")
        } else {
            target("append / (dd conv=fsync + release)", "append|" big,
                   "dd conv=fsync + release|" big, 1.1, "x")
            target("remove 100 lines / (dd conv=fsync + release)", "remove 100 lines|" big,
                   "dd conv=fsync + release|" big, 1.1, "x")
        }
        rss_target("append")
        rss_target("remove 100 lines")
        target("edit x" rn " of " real " / floor x" rn, "edit x" rn "|" real,
               "floor x" rn "|" real, 1.5, "x")
        print ""
    }'
}

report "$work_fs" 0
if [ -z "$xfs_skip" ]; then
    report "$xfs_fs" 1
else
    echo "XFS with reflink: not measured: $xfs_skip"
fi
