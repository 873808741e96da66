#!/bin/bash
# A tour of the four programs against a real sendmail, on this machine only.
#
# Run as root on a Debian machine. It installs what is missing, builds the
# programs for the install root demo/root/ of this checkout, installs them
# there set-user-id, lays a private installation beside them, owned as in
# production (bin/zun by the account zun-demo, made when missing, the rest
# by root), and then, as zun-demo, uses each program in turn and applies
# each change by restarting the mail server, showing what the program
# changed and what the server makes of it. The mail server listens on
# 127.0.0.1 only (port 2525, or $DEMO_PORT); nothing goes beyond the
# loopback interface. It can be run again; it ends with the mail server
# stopped, and with a non-zero status when a step fails.
set -eEuo pipefail

top=$(cd "$(dirname "$0")/.." && pwd -P)
root=$top/demo/root
build=$top/build-demo
port=${DEMO_PORT:-2525}
mail=$root/sendmail/etc/mail
init=$root/sendmail/etc/init.d/sendmail
sbin=$root/sbin
account=zun-demo
snap=$(mktemp)

# ---------------------------------------------------------------- output

say() { printf '%s\n' "$*"; }
if [ -t 1 ]; then
    title() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
    title() { printf '\n== %s\n' "$*"; }
fi
fail() {
    printf '\ndemo: FAILED: %s\n' "$*" >&2
    exit 1
}
check() {  # DESCRIPTION COMMAND...
    if "${@:2}"; then
        say "   ok: $1"
    else
        fail "$1"
    fi
}

# Prints the command as it would be typed, then runs it.
run() {
    local shown
    shown=$(printf '%q ' "$@")
    shown=${shown//"$root"/\$ROOT}
    printf '$ %s\n' "${shown% }"
    "$@"
}

# Runs one of the programs as the application account, as the product's
# management application would, and prints it as that account would type
# it. It runs from inside the programs' directory, the demo's working
# directory: the account needs no access to the directories above it then,
# such as /root (mode 0700) holding the checkout.
as_app() {  # PROGRAM ARGUMENT...
    runuser -u "$account" -- "./$1" "${@:2}"
}
app() {  # PROGRAM ARGUMENT...
    local shown
    shown=$(printf '%q ' "./$1" "${@:2}")
    printf '%s$ %s\n' "$account" "${shown% }"
    as_app "$@"
}

# Prints a set-up command and runs it; its output is shown only when it
# fails.
quietly() {
    local shown
    shown=$(printf '%q ' "$@")
    printf '$ %s\n' "${shown% }"
    if ! "$@" >"$snap" 2>&1; then
        cat "$snap" >&2
        fail "$1 failed"
    fi
}

# Runs a command and shows how it changed FILE.
changes() {  # FILE COMMAND...
    local file=$1 name=${1#"$root"/}
    shift
    cp "$file" "$snap"
    app "$@"
    diff -u --label "$name (before)" --label "$name (after)" "$snap" "$file" ||
        [ $? -eq 1 ] || fail "diff $name"
}

same() { cmp -s "$1" "$2"; }
# A process that has ended but was not yet waited for does not count.
running() {
    kill -0 "$1" 2>/dev/null && [[ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null)" != Z* ]]
}
has_line() { grep -q "$1" "$2"; }

stop_daemon() {
    if [ -x "$init" ]; then
        "$init" stop >/dev/null || true
    fi
}

cleanup() {
    stop_daemon
    rm -f "$snap"
}
trap cleanup EXIT
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

# ---------------------------------------------------------------- sendmail

# One SMTP session with the daemon: sends each command after the server's
# reply to the previous one and prints the dialogue. The last reply line of
# each exchange is kept in REPLIES.
REPLIES=()
smtp() {
    local fd line cmd
    REPLIES=()
    exec {fd}<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect to 127.0.0.1 port $port"
    for cmd in "$@" ''; do
        while :; do
            IFS= read -r -t 10 line <&"$fd" || fail "no reply from the mail server"
            line=${line%$'\r'}
            say "   S: $line"
            [[ "$line" == [0-9][0-9][0-9]-* ]] || break
        done
        REPLIES+=("$line")
        [ -n "$cmd" ] || break
        say "   C: $cmd"
        printf '%s\r\n' "$cmd" >&"$fd"
    done
    exec {fd}<&-
}

reply_is() {  # INDEX CODE
    [[ "${REPLIES[$1]}" == "$2"* ]]
}

# A sender whose domain the sandbox cannot resolve: refused unless the
# access table says otherwise.
try_sender() {
    smtp 'HELO client.example' 'MAIL FROM:<news@example.org>' QUIT
}

# sendmail in address test mode, with the host name and name service that
# the init script gives the daemon.
address_test() {  # INPUT
    printf '$ printf %q | sendmail -bt -C $ROOT/sendmail/etc/mail/sendmail.cf   # as the daemon runs\n' "$1"
    printf '%s' "$1" | unshare -u -m sh -c '
        set -e
        mount --bind "$1/hosts" /etc/hosts
        mount --bind "$1/nsswitch.conf" /etc/nsswitch.conf
        hostname sandbox.example
        exec /usr/sbin/sendmail -bt -C "$1/sendmail.cf"' sh "$mail" | tee "$snap"
    echo
}

# The programs edit the sources only: the application applies a change by
# restarting the server, whose init script rebuilds sendmail.cf and the maps.
restart() {
    app mtactl -s stop
    app mtactl -s start
    pid=$(as_app mtactl -p | sed -n '1p')
    check "the restarted server ($pid) is running" running "$pid"
}

# ---------------------------------------------------------------- set-up

[ "$(id -u)" -eq 0 ] || fail "run me as root: the programs are installed set-user-id root"

title "Installing what is missing and building the programs for $root/"
say "ROOT=$root"
quietly "$top/scripts/deps.sh"
stop_daemon
rm -rf "$root"
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    fail "something already listens on 127.0.0.1 port $port; set DEMO_PORT to a free port"
fi
quietly cmake -S "$top" -B "$build" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
    -DZUN_PATH="$root/"
quietly cmake --build "$build" -j"$(nproc)"
quietly cmake --install "$build" --prefix "$root"
ls -l "$sbin"
if ! id "$account" >/dev/null 2>&1; then
    quietly useradd --system --user-group --home-dir /nonexistent --no-create-home \
        --shell /usr/sbin/nologin "$account"
fi
run "$top/scripts/lay-sandbox.sh" --owner "$account" "$root" "$port"
run ls -l "$root/bin/zun" "$mail/sendmail.mc" "$init"
say "   from here on $account, the owner of \$ROOT/bin/zun, runs the programs, from \$ROOT/sbin:"
run cd "$sbin"

# ---------------------------------------------------------------- mtactl

title "mtactl: switch the mail server between its roles"
changes "$mail/sendmail.mc" mtactl -h
check "sendmail.mc is the hub template" same "$mail/sendmail.mc" "$mail/example-hub.mc"
check "the previous sendmail.mc is kept as sendmail.mc.bak" \
    same "$mail/sendmail.mc.bak" "$top/sandbox/sendmail.mc"
changes "$mail/sendmail.mc" mtactl -g
check "sendmail.mc is the gateway template" same "$mail/sendmail.mc" "$mail/example-gateway.mc"
check "the hub configuration is now the backup" same "$mail/sendmail.mc.bak" "$mail/example-hub.mc"

title "mtactl: start the mail server and ask for its process id"
app mtactl -s start
printf '%s$ ./mtactl -p\n' "$account"
pid=$(as_app mtactl -p)
say "$pid"
check "the recorded process ($pid) is running" running "$pid"
say "   process $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" | sed 's/ *$//')"
say "   reading the greeting on 127.0.0.1 port $port:"
smtp QUIT
check "the server greets with 220" reply_is 0 220

# ---------------------------------------------------------------- permitset

title "permitset: the access table"
say "   before: a sender from example.org, a domain the sandbox cannot resolve"
try_sender
check "the sender is refused (553)" reply_is 2 553

changes "$mail/access" permitset -a -h $'From:example.org\tOK\n'
restart
try_sender
check "the access entry lets the sender in (250)" reply_is 2 250

changes "$mail/access" permitset -e -H 'From:example.org' -h $'From:example.org\tREJECT\n'
restart
try_sender
check "the edited entry rejects the sender (550)" reply_is 2 550

changes "$mail/access" permitset -r -H 'From:example.org'
restart
try_sender
check "without the entry the sender is refused again (553)" reply_is 2 553

# ---------------------------------------------------------------- routeset

title "routeset: the mailertable"
address_test $'3,0 user@partner.example\n'
check "without an entry, mail for partner.example goes to the domain itself" \
    has_line 'parse *returns: \$# esmtp \$@ partner \. example \.' "$snap"

changes "$mail/mailertable" routeset -a -d partner.example -h 'smtp:[mx.partner.example]'
restart
address_test $'/map mailertable partner.example\n3,0 user@partner.example\n'
check "the new entry routes it to [mx.partner.example]" \
    has_line 'parse *returns: \$# smtp \$@ \[ mx \. partner \. example \]' "$snap"

changes "$mail/mailertable" routeset -e -D partner.example -d partner.example \
    -h 'relay:[relay.partner.example]'
restart
address_test $'3,0 user@partner.example\n'
check "the edited entry routes it through the relay mailer" \
    has_line 'parse *returns: \$# relay \$@ \[ relay \. partner \. example \]' "$snap"

changes "$mail/mailertable" routeset -r -D partner.example
restart
address_test $'3,0 user@partner.example\n'
check "without the entry it goes to the domain itself again" \
    has_line 'parse *returns: \$# esmtp \$@ partner \. example \.' "$snap"

# ---------------------------------------------------------------- hookset

# A fixed path: hookset refuses words that m4 would expand, and the path of
# the checkout might hold one.
socket=unix:/var/run/demo-scanner.sock
title "hookset: a milter that rejects mail while it is down"
say "   (nothing listens on $socket)"
changes "$mail/sendmail.mc" hookset -a -m scanner -s "$socket" -t enabled -f 1 \
    -C 1 -R 2 -E 5 -S 1
restart
run grep '^Xscanner' "$mail/sendmail.cf"
smtp 'HELO client.example' 'MAIL FROM:<root@sandbox.example>' QUIT
check "the server refuses the session (554) and its commands (550)" \
    eval 'reply_is 0 554 && reply_is 2 550'

title "hookset: the same milter, disabled"
changes "$mail/sendmail.mc" hookset -m scanner -s "$socket" -t disabled -f 1 \
    -C 1 -R 2 -E 5 -S 1
restart
check "sendmail.cf declares no milter" eval '! has_line "^Xscanner" "$mail/sendmail.cf"'
smtp 'HELO client.example' 'MAIL FROM:<root@sandbox.example>' QUIT
check "the server serves the session normally (220, 250)" \
    eval 'reply_is 0 220 && reply_is 2 250'

title "hookset: enabled again, failing temporarily while it is down"
changes "$mail/sendmail.mc" hookset -m scanner -s "$socket" -t enabled -f 0 \
    -C 1 -R 2 -E 5 -S 1
restart
run grep '^Xscanner' "$mail/sendmail.cf"
smtp 'HELO client.example' 'MAIL FROM:<root@sandbox.example>' QUIT
check "the server defers the mail (451)" reply_is 2 451

# ---------------------------------------------------------------- the end

title "mtactl: stop the mail server"
app mtactl -s stop
check "process $pid is gone" eval '! running "$pid"'

title "demo: all steps passed"
