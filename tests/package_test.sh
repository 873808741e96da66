#!/bin/sh
# An install of a build that carries the placeholder install root is refused,
# by cmake --install and by cpack alike, before anything is written. The
# Debian package of a build for a real root holds the four programs
# root:root with mode 4755 in usr/sbin, stripped and hardened, the manual
# pages in section 8, the copyright file and the changelog, and nothing
# else; lintian, where installed, finds no error and no warning in it.
# Usage: package_test.sh CMAKE CPACK SOURCE_DIR GENERATOR CXX. Exit 77 means
# skipped.
set -eu

cmake=$1
cpack=$2
src=$3
generator=$4
cxx=$5
progs="hookset routeset permitset mtactl"
refusal="set -DZUN_PATH to the real install root"

work=$(mktemp -d "${TMPDIR:-/tmp}/zun-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A release build without the tests, which would lay a tree at its root.
build_tree() {
    dir=$1
    shift
    if ! { "$cmake" -S "$src" -B "$dir" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
               -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZUN_SANITIZE=OFF "$@" &&
           "$cmake" --build "$dir" --config Release -j "$(nproc)"; } >"$dir.log" 2>&1; then
        cat "$dir.log"
        echo "FAIL: build of $dir"
        exit 1
    fi
}

build_tree "$work/placeholder"
mkdir "$work/dest"
if DESTDIR="$work/dest" "$cmake" --install "$work/placeholder" --config Release \
    --prefix "$work/prefix" >"$work/install.log" 2>&1; then
    fail "cmake --install of a placeholder build succeeded"
fi
grep -qF "$refusal" "$work/install.log" || { cat "$work/install.log"; fail "install message"; }
if [ -n "$(ls -A "$work/dest")" ] || [ -e "$work/prefix" ]; then
    find "$work/dest" "$work/prefix" || true
    fail "the refused install wrote files"
fi
# cpack runs the same install rules.
if (cd "$work/placeholder" && "$cpack" -G DEB -C Release -B "$work/refused") \
    >"$work/refused.log" 2>&1; then
    fail "cpack of a placeholder build succeeded"
fi
grep -qF "$refusal" "$work/refused.log" || { cat "$work/refused.log"; fail "cpack message"; }
if ls "$work/refused"/*.deb >/dev/null 2>&1; then
    fail "the refused cpack wrote a package"
fi
if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "placeholder install and package refused"

if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "SKIP: dpkg-deb is not installed"
    exit 77
fi

root=/opt/zun/
build=$work/real
build_tree "$build" -DZUN_PATH="$root"
if ! (cd "$build" && "$cpack" -G DEB -C Release -B "$work/out") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
set -- "$work"/out/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    ls -l "$work/out"
    echo "FAIL: expected exactly one .deb"
    exit 1
fi
deb=$1
echo "package: $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package)" = zun-suid ] || fail "Package field"

# Columns of dpkg-deb -c: mode owner/group size date time path.
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' >"$work/listing"
expected="$work/expected"
: >"$expected"
for p in $progs; do
    echo "-rwsr-xr-x root/root ./usr/sbin/$p" >>"$expected"
    echo "-rw-r--r-- root/root ./usr/share/man/man8/$p.8.gz" >>"$expected"
done
for f in copyright changelog.gz; do
    echo "-rw-r--r-- root/root ./usr/share/doc/zun-suid/$f" >>"$expected"
done
grep -v '^d' "$work/listing" | sort >"$work/files"
sort -o "$expected" "$expected"
if ! cmp -s "$expected" "$work/files"; then
    echo "files in the package differ from the expected ones (-expected +package):"
    diff "$expected" "$work/files" || true
    fail "package contents"
fi
if grep '^d' "$work/listing" | grep -v '^drwxr-xr-x root/root ' >/dev/null; then
    grep '^d' "$work/listing"
    fail "directories must be drwxr-xr-x root/root"
fi

# Unpacked, the files keep the modes (and, as root, the owners) of the archive.
dpkg-deb -x "$deb" "$work/root"
for p in $progs; do
    f="$work/root/usr/sbin/$p"
    [ "$(stat -c %a "$f")" = 4755 ] || fail "$p unpacks with mode $(stat -c %a "$f")"
    if [ "$(id -u)" = 0 ]; then
        [ "$(stat -c %u:%g "$f")" = 0:0 ] || fail "$p unpacks owned by $(stat -c %u:%g "$f")"
    fi
    [ -x "$f" ] || fail "$p is not executable"
    page="$work/root/usr/share/man/man8/$p.8.gz"
    [ "$(stat -c %a "$page")" = 644 ] || fail "$p.8.gz unpacks with mode $(stat -c %a "$page")"
    # A page names the real paths and the section it is installed in.
    gzip -dc "$page" >"$work/$p.8" || fail "$p.8.gz is not gzip"
    grep -q "^\.Dt $(echo "$p" | tr a-z A-Z) 8\$" "$work/$p.8" || fail "$p.8 is not in section 8"
    grep -qF "$root" "$work/$p.8" || fail "$p.8 does not name the install root $root"
    grep -qF "/usr/sbin/$p " "$work/$p.8" || fail "$p.8 does not name /usr/sbin/$p"
    grep -qaF "${root}sendmail/etc/mail/sendmail.mc" "$f" || fail "$p is not built for $root"
done

# What the compiler and linker made of the programs, not the flags asked
# for: a position-independent executable, relocations read-only after
# start-up with every symbol bound then (full RELRO), a stack that is not
# executable, the stack protector and at least one fortified call. And no
# symbol table: the package's programs are stripped.
hardening() {  # PROGRAM: prints what it lacks
    readelf -hldSW --dyn-syms "$1" >"$work/elf"
    grep -q 'Type: *DYN' "$work/elf" && grep -q 'FLAGS_1.* PIE' "$work/elf" || echo "not PIE;"
    grep -q GNU_RELRO "$work/elf" || echo "no RELRO;"
    grep -Eq 'BIND_NOW|FLAGS_1.* NOW' "$work/elf" || echo "no BIND_NOW;"
    grep GNU_STACK "$work/elf" | grep -qv RWE || echo "executable stack;"
    grep -q ' UND __stack_chk_fail' "$work/elf" || echo "no __stack_chk_fail;"
    grep -Eq ' UND __[a-z0-9_]+_chk(@|$)' "$work/elf" || echo "no fortified function;"
    ! grep -q ' \.symtab ' "$work/elf" || echo "not stripped;"
}
for p in $progs; do
    lacks=$(hardening "$work/root/usr/sbin/$p")
    [ -z "$lacks" ] || fail "$p:" $lacks
done

if command -v lintian >/dev/null 2>&1; then
    allow_root=
    [ "$(id -u)" != 0 ] || allow_root=--allow-root
    if lintian $allow_root --fail-on error,warning "$deb"; then
        echo "lintian: no error, no warning"
    else
        fail "lintian"
    fi
else
    echo "lintian is not installed: not run"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package checks passed"
