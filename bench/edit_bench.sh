#!/bin/sh
# Measures the line editor against the physical limit of one read and one
# durable write (dd conv=fsync) and against sed -i, on a generated
# access-style file of about SIZE bytes (default 1G; K, M, G suffixes).
#
#   [ROUNDS=3] bench/edit_bench.sh [SIZE] [WORKDIR]
#
# WORKDIR (default: a new directory under /var/tmp) must lie on the file
# system to measure and have room for three times SIZE; the files made there
# are removed at the end. The driver is built from the sources with -O2.
set -eu

size_arg=${1:-1G}
rounds=${ROUNDS:-3}
src=$(cd "$(dirname "$0")/.." && pwd)
work=${2:-}
if [ -z "$work" ]; then
    work=$(mktemp -d /var/tmp/edit_bench.XXXXXX)
    made_work=1
else
    mkdir -p "$work"
    made_work=0
fi
cleanup() {
    rm -f "$work/big" "$work/big.tmp" "$work/copy" "$work/small" "$work/small.tmp" \
          "$work/bench_edit" "$work/time.out"
    [ "$made_work" = 1 ] && rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

if [ ! -x /usr/bin/time ]; then
    echo "edit_bench: /usr/bin/time is missing (apt-get install time)" >&2
    exit 1
fi
size=$(numfmt --from=iec "$size_arg")
drv=$work/bench_edit
${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$src/suid" \
    "$src/suid/edit_file.cc" "$src/bench/bench_edit.cc" -o "$drv"

# measure NAME SIZE-LABEL COMMAND...: one line "name|size|seconds|KiB".
measure() {
    m_name=$1 m_label=$2
    shift 2
    sync
    /usr/bin/time -v -o "$work/time.out" "$@" >/dev/null
    awk -v name="$m_name" -v label="$m_label" '
        /Elapsed \(wall clock\)/ {
            n = split($NF, p, ":"); s = 0
            for (i = 1; i <= n; i++) s = s * 60 + p[i]
        }
        /Maximum resident set size/ { rss = $NF }
        END { printf "%s|%s|%.2f|%d\n", name, label, s, rss }' "$work/time.out"
}

# Line numbers 1, 1+step, ... : 100 of them spread over the file.
hundred() {
    lines=$(wc -l <"$1")
    step=$(( lines / 100 > 0 ? lines / 100 : 1 ))
    seq 1 "$step" "$(( step * 100 ))" | head -n 100 | tr '\n' ' '
}

label=$(numfmt --to=iec "$size")
small_label=1.0K
entry='From:bench@example.org	REJECT'

"$drv" gen "$work/small" 1024
"$drv" gen "$work/big" "$size"
chmod 644 "$work/small" "$work/big"

one_round() {
    measure "dd bs=1M conv=fsync" "$label" \
        dd if="$work/big" of="$work/copy" bs=1M conv=fsync status=none
    rm -f "$work/copy"
    measure "dd bs=128K conv=fsync" "$label" \
        dd if="$work/big" of="$work/copy" bs=128K conv=fsync status=none
    rm -f "$work/copy"
    before=$(wc -l <"$work/big")
    measure "editor: append" "$label" "$drv" append "$work/big" "$entry"
    # shellcheck disable=SC2046
    measure "editor: remove 100 lines" "$label" "$drv" rm "$work/big" $(hundred "$work/big")
    after=$(wc -l <"$work/big")
    if [ "$after" -ne $(( before + 1 - 100 )) ]; then
        echo "edit_bench: expected $(( before + 1 - 100 )) lines, found $after" >&2
        exit 1
    fi
    measure "sed -i: append" "$label" sed -i "\$a\\
$entry" "$work/big"
    measure "editor: append" "$small_label" "$drv" append "$work/small" "$entry"
    # shellcheck disable=SC2046
    measure "editor: remove 100 lines" "$small_label" "$drv" rm "$work/small" \
        $(hundred "$work/small")
}

# Rounds interleave the commands, so that a slow spell of the disk does not
# fall on one of them only; the table shows each command's median time and
# its highest peak RSS.
results=$(
    round=0
    while [ "$round" -lt "$rounds" ]; do
        one_round
        round=$(( round + 1 ))
    done
)

echo "$results" | awk -F'|' -v big="$label" -v small="$small_label" -v rounds="$rounds" '
    function median(key,    n, i, j, t, v) {
        n = cnt[key]
        for (i = 1; i <= n; i++) v[i] = secs[key, i]
        for (i = 1; i <= n; i++)
            for (j = i + 1; j <= n; j++)
                if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    {
        key = $1 "|" $2
        if (!(key in cnt)) order[++nkeys] = key
        secs[key, ++cnt[key]] = $3
        if ($4 > rss[key]) rss[key] = $4
    }
    END {
        dd = median("dd bs=1M conv=fsync|" big)
        printf "%-26s %6s %9s %7s %12s   (median of %d rounds)\n",
               "command", "file", "wall", "vs dd", "peak RSS", rounds
        for (k = 1; k <= nkeys; k++) {
            split(order[k], p, "|")
            m = median(order[k])
            ratio = p[2] == big && dd > 0 ? sprintf("%.2fx", m / dd) : ""
            printf "%-26s %6s %7.2f s %7s %8d KiB\n", p[1], p[2], m, ratio, rss[order[k]]
        }
        worst = 0
        for (k = 1; k <= nkeys; k++) {
            split(order[k], p, "|")
            if (p[1] ~ /^editor/ && p[2] == big && median(order[k]) > worst)
                worst = median(order[k])
        }
        sed = median("sed -i: append|" big)
        printf "\neditor (slower of its two) / dd:  %.2fx  (target: 1.30x or less)\n",
               (dd > 0 ? worst / dd : 0)
        printf "editor (slower of its two) / sed: %.2fx  (target: below 1)\n",
               (sed > 0 ? worst / sed : 0)
        for (k = 1; k <= nkeys; k++) {
            split(order[k], p, "|")
            if (p[1] !~ /^editor/ || p[2] != big) continue
            s = rss[p[1] "|" small]
            printf "peak RSS, %s: %d KiB at %s, %d KiB at %s: difference %d KiB (target: 1024 or less)\n",
                   p[1], rss[order[k]], big, s, small, rss[order[k]] - s
        }
    }'
