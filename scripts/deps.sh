#!/bin/bash
# Installs the Debian packages the build, the tests and the demo need, when
# run as root and something is missing. Nothing else is fetched.
set -eu

# file: CPack's Debian generator refuses to work without it; acl: the
# tests set and read ACLs; xfsprogs: the editor's block sharing is tested
# and measured on an XFS image; binutils (readelf) and lintian: the
# package test checks the programs' hardening and the package; passwd
# (useradd): the demo makes the application account.
packages=(cmake g++ make libgtest-dev m4 sendmail-bin sendmail-cf
          mandoc clang libclang-rt-14-dev clang-tidy cppcheck strace
          util-linux time dpkg-dev file acl xfsprogs binutils lintian passwd)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages (run as root to install): ${missing[*]}" >&2
    exit 0
fi

echo "deps: installing ${missing[*]}"
# Keep package scripts from starting the system's own mail daemon.
added_policy=no
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    added_policy=yes
fi
trap '[ "$added_policy" = yes ] && rm -f /usr/sbin/policy-rc.d' EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
