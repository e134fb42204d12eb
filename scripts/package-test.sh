#!/usr/bin/env bash
# The Debian package as an operator meets it: builds it (scripts/package.sh), installs it with
# apt-get into a clean Debian 12 root (debootstrap minbase, made here and removed at the end)
# and runs the installed program there: --help, its manual page, the example settings file
# and a stub and delete round trip on local volumes. As root.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(scripts/package.sh | tail -1)

root=$(mktemp -d /var/tmp/tarn-package-test-XXXXXX)
chmod 755 "$root"  # apt-get there downloads as its own user
cleanup() {
  for m in dev proc; do umount -l "$root/$m" 2>/dev/null || true; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
echo "=== a clean Debian 12 root from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.debootstrap.log" 2>&1 ||
  { tail -20 "$root.debootstrap.log"; rm -f "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
# This machine's apt settings (proxies), so that apt-get there reaches the mirror the same way.
cp -a /etc/apt/apt.conf.d/. "$root/etc/apt/apt.conf.d/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d" && chmod 755 "$root/usr/sbin/policy-rc.d"
mount --bind /proc "$root/proc"
mount --bind /dev "$root/dev"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

echo "=== apt-get install ./$(basename "$deb")"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/tmp/$(basename "$deb")" man-db \
  > "$root/tmp/install.log" 2>&1 || { tail -30 "$root/tmp/install.log"; exit 1; }

echo "=== the installed program"
in_root bash -euo pipefail -s <<'CHECKS'
fail() { echo "package test: $*" >&2; exit 1; }
tarn-stubber --help | grep -q '^Usage: tarn-stubber' || fail "no usage from --help"
tarn-stubber --version
MANWIDTH=80 man tarn-stubber 2> /dev/null | grep -q 'trusted.riridized.uuid' || fail "no manual page"
grep -q '^#sync_copies = on$' /etc/tarn/tarncore.conf || fail "no example settings file"

volumes=/var/lib/tarn/volumes   # the local backend's default root
mkdir -p /run/gluster/shared_storage "$volumes/live/d" "$volumes/live/lists" "$volumes/backup"
echo '{"livefsvolname": "live", "backupvolname": "backup", "nodes": []}' \
  > /run/gluster/shared_storage/livefs.json
head -c 100000 /dev/urandom > "$volumes/live/d/a"
echo two > "$volumes/live/d/b"
printf '/d/a\n/d/b\n' > "$volumes/live/lists/p-1"
printf 'lists/p-1\n' > "$volumes/live/lists/c"
mkdir -p "$volumes/.snaps" && cp -a "$volumes/live" "$volumes/.snaps/livesnap"

TARNCORE_LOG=stderr tarn-stubber -q stub live backup lists/c || fail "stub failed"
cmp "$volumes/live/d/a" "$volumes/backup/p/00000000/a" || fail "copy differs"
[ "$(getfattr --absolute-names --only-values -n trusted.riridized.uuid "$volumes/live/d/b")" = p/00000000/b ] ||
  fail "no mark on the live file"
TARNCORE_LOG=stderr tarn-stubber -q delete live backup lists/c || fail "delete failed"
[ ! -e "$volumes/backup/p/00000000/a" ] && [ ! -e "$volumes/backup/p/00000000/b" ] ||
  fail "copies left after delete"
echo "package test: installed, --help, man page, settings file, stub and delete: passed"
CHECKS
