#!/usr/bin/env bash
# Installs the Debian package with apt as a user would, checks that client
# is on the PATH with its manual page, removes it, and checks that both are
# gone. Needs root; leaves alone a package named client that is not ours.
#
#   tests/package.sh build/client_VERSION_ARCH.deb
set -euo pipefail
deb=$(realpath "$1")
name=$(dpkg-deb -f "$deb" Package)
maintainer=$(dpkg-deb -f "$deb" Maintainer)
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing a package needs root"
  exit 0
fi
if installed=$(dpkg-query -W -f '${Status}|${Maintainer}' "$name" 2>/dev/null) &&
  [ "${installed%%|*}" = "install ok installed" ] && [ "${installed#*|}" != "$maintainer" ]; then
  echo "skipped: another package named $name is installed"
  exit 0
fi
fail() { echo "package: $*" >&2; exit 1; }

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" </dev/null >/dev/null
[ "$(command -v client)" = /usr/bin/client ] || fail "client is not on the PATH after installing"
[ "$(man -w client 2>/dev/null)" = /usr/share/man/man1/client.1.gz ] ||
  fail "man does not find the page after installing"
# The installed client works: it delivers into a file and exits 0.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'status\n' >"$work/command"
client "$work/out" "$work/command" >/dev/null || fail "the installed client failed"
cmp -s "$work/command" "$work/out" || fail "the installed client did not deliver"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq "$name" </dev/null >/dev/null
hash -r
! command -v client >/dev/null || fail "client is still on the PATH after removing"
[ ! -e /usr/share/man/man1/client.1.gz ] || fail "the manual page is still there after removing"
echo "installed with apt: client on the PATH, man client found; removed: both gone"
