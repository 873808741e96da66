#!/bin/sh
# Measures the line editor against the physical limit of a full rewrite (dd
# conv=fsync of the old file into a new one, plus the release of the old
# one, as an edit frees the file it replaces) and against sed -i, on a
# generated access-style file of about SIZE bytes (default 1G; K, M, G
# suffixes).
#
#   [ROUNDS=3] [BEFORE=REV] bench/edit_bench.sh [SIZE] [WORKDIR]
#
# WORKDIR (default: a new directory under /var/tmp) must lie on the file
# system to measure and have room for four times SIZE; the files made there
# are removed at the end. Run as root with mkfs.xfs (Debian package
# xfsprogs) and a free loop device, the benchmark also makes an XFS image
# with reflink=1 in WORKDIR (three times SIZE and 1 GiB more) and prints
# the same table for it. BEFORE names a git revision whose line editor is
# measured beside the current one on appends and small edits. The drivers
# are built from the sources with -O2.
set -eu

size_arg=${1:-1G}
rounds=${ROUNDS:-3}
before=${BEFORE:-}
small_edits=200
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
bench_files="big big.tmp old copy small small.tmp ten ten.tmp time.out gen.big gen.small"
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

mkdir -p "$work/drv/before"
# The line editor's own sources; a revision holds those of them it had.
editor_files="edit_file.h edit_file.cc edit_lines.cc span_copy.h span_copy.cc file_attrs.h
              file_attrs.cc safe_path.cc"
build() {  # DIR OUTPUT
    dir=$1 out=$2
    set --
    for f in $editor_files; do
        case $f in *.cc) if [ -f "$dir/$f" ]; then set -- "$@" "$dir/$f"; fi ;; esac
    done
    ${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$dir" "$@" "$src/bench/bench_edit.cc" -o "$out"
}
drv=$work/drv/after
build "$src/suid" "$drv"
old_drv=
if [ -n "$before" ]; then
    for f in $editor_files; do
        if git -C "$src" cat-file -e "$before:suid/$f" 2>/dev/null; then
            git -C "$src" show "$before:suid/$f" >"$work/drv/before/$f"
        fi
    done
    old_drv=$work/drv/before/bench_edit
    build "$work/drv/before" "$old_drv"
fi

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

# Line numbers 1, 1+step, ... : 100 of them spread over the file.
hundred() {
    lines=$(wc -l <"$1")
    step=$(( lines / 100 > 0 ? lines / 100 : 1 ))
    seq 1 "$step" "$(( step * 100 ))" | head -n 100 | tr '\n' ' '
}

# The first field of the 50th line from the end, which every round edits.
tab=$(printf '\t')
near_end() {
    n=$(( $(wc -l <"$1") - 50 ))
    sed -n "${n}p" "$1" | cut -f1
}

entry="From:bench@example.org${tab}REJECT"

# Lays the files of one file system: the big one, an old copy of it for the
# release, a 1 KiB one and one of 10 lines.
lay() {
    cp --reflink=never "$work/gen.big" "$1/big"
    cp --reflink=never "$work/gen.big" "$1/old"
    cp "$work/gen.small" "$1/small"
    head -n 10 "$work/gen.small" >"$1/ten"
    chmod 644 "$1/big" "$1/small" "$1/ten"
}

# one_round DIR FS ROUND
one_round() {
    d=$1 fs=$2
    # Every command on the big file starts with the file it reads in the
    # page cache, as the editor needs it for an edit near the end.
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
    before_lines=$(wc -l <"$d/big")
    cat "$d/big" >/dev/null
    measure "$fs" "editor: append" "$label" "$drv" append "$d/big" "$entry"
    # Where the kernel shares blocks, the append reads nothing, and freeing
    # the old file's cached pages costs it more than all the rest.
    dd if="$d/big" iflag=nocache count=0 status=none
    measure "$fs" "editor: append, not cached" "$label" "$drv" append "$d/big" "$entry"
    added=2
    if [ -n "$old_drv" ]; then
        cat "$d/big" >/dev/null
        measure "$fs" "before: append" "$label" "$old_drv" append "$d/big" "$entry"
        added=3
    fi
    cat "$d/big" >/dev/null
    # shellcheck disable=SC2046
    measure "$fs" "editor: remove 100 lines" "$label" "$drv" rm "$d/big" $(hundred "$d/big")
    after_lines=$(wc -l <"$d/big")
    if [ "$after_lines" -ne $(( before_lines + added - 100 )) ]; then
        echo "edit_bench: expected $(( before_lines + added - 100 )) lines, found $after_lines" >&2
        exit 1
    fi
    field=$(near_end "$d/big")
    cat "$d/big" >/dev/null
    measure "$fs" "editor: edit near the end" "$label" \
        "$drv" edit "$d/big" "$field$tab" "$field${tab}DISCARD"
    cat "$d/big" >/dev/null
    measure "$fs" "sed -i: append" "$label" sed -i "\$a\\
$entry" "$d/big"
    measure "$fs" "editor: append" 1.0K "$drv" append "$d/small" "$entry"
    # shellcheck disable=SC2046
    measure "$fs" "editor: remove 100 lines" 1.0K "$drv" rm "$d/small" $(hundred "$d/small")
    ten_field=$(sed -n 5p "$d/ten" | cut -f1)
    # Which of the two goes first changes from round to round.
    for which in $(if [ $(( $3 % 2 )) = 0 ]; then echo editor before; else echo before editor; fi)
    do
        edit_drv=$drv
        if [ "$which" = before ]; then
            [ -n "$old_drv" ] || continue
            edit_drv=$old_drv
        fi
        measure "$fs" "$which: edit x$small_edits" 10-line \
            "$edit_drv" edit "$d/ten" "$ten_field$tab" "$ten_field${tab}RELAY" "$small_edits"
    done
}

"$drv" gen "$work/gen.small" 1024
"$drv" gen "$work/gen.big" "$size"
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
rm "$work/gen.big" "$work/gen.small"

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
                          -v reflink="$2" -v n="$small_edits" '
    function median(key,    c, i, j, t, v) {
        c = cnt[key]
        for (i = 1; i <= c; i++) v[i] = secs[key, i]
        for (i = 1; i <= c; i++)
            for (j = i + 1; j <= c; j++)
                if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
    }
    function target(what, value, limit, unit) {
        printf "  %-52s %8.2f%-4s %s (target: %s%s or less)\n", what, value, unit,
               value <= limit ? "met   " : "MISSED", limit, unit
    }
    $1 == fs {
        key = $2 "|" $3
        if (!(key in cnt)) order[++nkeys] = key
        secs[key, ++cnt[key]] = $4
        if ($5 > rss[key]) rss[key] = $5
    }
    END {
        dd = median("dd bs=1M conv=fsync|" big)
        yard = median("dd conv=fsync + release|" big)
        printf "%s\n%-28s %7s %9s %7s %9s %12s   (medians of %d rounds)\n", fs, "command",
               "file", "wall", "vs dd", "vs dd+rel", "peak RSS", rounds
        for (k = 1; k <= nkeys; k++) {
            split(order[k], p, "|")
            m = median(order[k])
            r1 = p[2] == big && dd > 0 ? sprintf("%.2fx", m / dd) : ""
            r2 = p[2] == big && yard > 0 ? sprintf("%.2fx", m / yard) : ""
            printf "%-28s %7s %7.3f s %7s %9s %8d KiB\n", p[1], p[2], m, r1, r2, rss[order[k]]
        }
        print "targets:"
        if (reflink) {
            # dd alone can only be faster than dd with a release; when its
            # row says otherwise, the other one is the fairer measure.
            if (yard < dd) dd = yard
            target("append / dd conv=fsync", 100 * median("editor: append|" big) / dd, 5, "%")
            target("append, not cached / dd conv=fsync",
                   100 * median("editor: append, not cached|" big) / dd, 5, "%")
            target("edit near the end / dd conv=fsync",
                   100 * median("editor: edit near the end|" big) / dd, 25, "%")
        } else {
            target("append / (dd conv=fsync + release)",
                   median("editor: append|" big) / yard, 1.1, "x")
            target("remove 100 lines / (dd conv=fsync + release)",
                   median("editor: remove 100 lines|" big) / yard, 1.1, "x")
        }
        for (k = 1; k <= nkeys; k++) {
            split(order[k], p, "|")
            if (p[1] !~ /^editor: (append|remove 100 lines)$/ || p[2] != big) continue
            target(sprintf("peak RSS, %s: %s over 1.0K", p[1], big),
                   rss[order[k]] - rss[p[1] "|1.0K"], 1024, " KiB")
        }
        old = median("before: edit x" n "|10-line")
        if (old > 0)
            target("edit x" n " of a 10-line file / before", median("editor: edit x" n "|10-line") / old, 1, "x")
        print ""
    }'
}

report "$work_fs" 0
if [ -z "$xfs_skip" ]; then
    report "$xfs_fs" 1
else
    echo "XFS with reflink: not measured: $xfs_skip"
fi
