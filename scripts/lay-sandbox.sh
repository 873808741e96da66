#!/bin/bash
# Lays a complete private installation under ROOT, as the programs expect
# it when they are built with -DZUN_PATH=ROOT/:
#
#   ROOT/bin/zun                          the product's main program (a stub)
#   ROOT/sendmail/etc/mail/               sendmail.mc, the two templates, the
#                                         access and mailertable sources and
#                                         what the daemon reads besides
#   ROOT/sendmail/etc/mail/port           the port the daemon listens on
#   ROOT/sendmail/etc/mail/stand-in       with --stand-in only: no sendmail
#   ROOT/sendmail/etc/init.d/sendmail     the init script
#   ROOT/sendmail/var/run/                its PID file
#   ROOT/sendmail/var/spool/mqueue/       its queue
#
# Everything belongs to the caller. With --owner, which only root may give,
# the tree is laid as a production installation is: bin/zun belongs to
# ACCOUNT (the account the management application runs as) and its group,
# everything else to root. With --stand-in the init script starts a
# stand-in that only records a process id in place of sendmail, for a
# machine without it. Laying again over an earlier tree replaces the files
# above and leaves anything else there alone.
#
# usage: scripts/lay-sandbox.sh [--owner ACCOUNT] [--stand-in] ROOT [PORT]
set -eu

usage() {
    echo "usage: $0 [--owner ACCOUNT] [--stand-in] ROOT [PORT]" >&2
    exit 2
}

owner=
stand_in=
while [ $# -ge 1 ]; do
    case "$1" in
    --owner)
        [ $# -ge 2 ] || usage
        owner=$2
        shift 2
        owner_uid=$(id -u -- "$owner" 2>/dev/null) || {
            echo "$0: no such account '$owner'" >&2
            exit 2
        }
        owner_gid=$(id -g -- "$owner")
        if [ "$(id -u)" -ne 0 ]; then
            echo "$0: --owner needs root: only root can give the files to root and to $owner" >&2
            exit 2
        fi
        ;;
    --stand-in)
        stand_in=1
        shift
        ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] && [ $# -le 2 ] || usage
root=${1%/}
port=${2:-2525}
case "$root" in
/*) ;;
*) root=$(pwd)/$root ;;
esac
[[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || {
    echo "$0: bad port '$port'" >&2
    exit 2
}

kit=$(cd "$(dirname "$0")/../sandbox" && pwd -P)
umask 022

mkdir -p "$root/bin" "$root/sendmail/etc/mail" "$root/sendmail/etc/init.d" \
    "$root/sendmail/var/run" "$root/sendmail/var/spool/mqueue"
chmod 0700 "$root/sendmail/var/spool/mqueue"

install_file() {  # MODE SOURCE TARGET
    cp -f "$2" "$3.lay"
    chmod "$1" "$3.lay"
    mv -f "$3.lay" "$3"
}

cat >"$root/bin/zun.lay" <<'EOF'
#!/bin/sh
# Stands in for the product's main program: only its owner matters to the
# privileged programs.
echo "zun: the mail-filtering product's main program"
EOF
chmod 0755 "$root/bin/zun.lay"
mv -f "$root/bin/zun.lay" "$root/bin/zun"

for f in sendmail.mc example-gateway.mc example-hub.mc access mailertable \
    aliases hosts nsswitch.conf service.switch local-host-names; do
    install_file 0644 "$kit/$f" "$root/sendmail/etc/mail/$f"
done
printf '%s\n' "$port" >"$root/sendmail/etc/mail/port"
chmod 0644 "$root/sendmail/etc/mail/port"
install_file 0755 "$kit/init.d/sendmail" "$root/sendmail/etc/init.d/sendmail"
if [ -n "$stand_in" ]; then
    echo "# Laid with --stand-in: the init script starts a stand-in, not sendmail." \
        >"$root/sendmail/etc/mail/stand-in"
    chmod 0644 "$root/sendmail/etc/mail/stand-in"
else
    rm -f "$root/sendmail/etc/mail/stand-in"
fi

if [ -n "$owner" ]; then
    # Directories an earlier lay made may belong to someone else; what this
    # one wrote is root's already.
    chown 0:0 "$root" "$root/bin" "$root/sendmail" "$root/sendmail/etc" \
        "$root/sendmail/etc/mail" "$root/sendmail/etc/init.d" "$root/sendmail/var" \
        "$root/sendmail/var/run" "$root/sendmail/var/spool" "$root/sendmail/var/spool/mqueue"
    chown "$owner_uid:$owner_gid" "$root/bin/zun"
fi

# sendmail will not trust files under a directory that others may write to.
dir=$root
while [ "$dir" != / ]; do
    if [ -n "$(find "$dir" -maxdepth 0 -perm /022)" ]; then
        echo "$0: warning: $dir is writable by group or others;" \
            "sendmail will refuse the files below it" >&2
    fi
    dir=$(dirname "$dir")
done

what="laid a private installation under $root (port $port)"
if [ -n "$owner" ]; then
    what="$what, bin/zun owned by $owner"
fi
if [ -n "$stand_in" ]; then
    what="$what, with a stand-in for sendmail"
fi
echo "$what"
