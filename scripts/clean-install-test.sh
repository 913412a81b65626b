#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian root made with debootstrap
# and proves it works there and leaves nothing behind:
#   - every file the package lists is installed with the right checksum;
#   - kestrelvox --version and kestrelvox-directory --help run
#     (kestrelvox-file --help too, when the package ships it);
#   - the desktop entry's Exec line, started under Xvfb, shows the main
#     window with the program's name and icon;
#   - removing the package leaves no file behind but configuration.
# Needs root and Debian's mirror (scripts/install-deps.sh installs the rest).
# Not part of CI (it downloads about 60 MB); it takes a few minutes.
#
# usage: scripts/clean-install-test.sh [PACKAGE.deb]
#   KV_ROOT_TARBALL=FILE  reuse a tarball from debootstrap --make-tarball
#   KV_KEEP_ROOT=1        leave the root in place for a look afterwards
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
started=$(date +%s)

deb=${1:-$(ls -t out/kestrelvox_*.deb 2>/dev/null | head -1)}
[ -f "$deb" ] || { echo "no package: run scripts/build-deb.sh first" >&2; exit 2; }
deb=$(realpath "$deb")
suite=bookworm
mirror=http://deb.debian.org/debian

root=$(mktemp -d /var/tmp/kv-clean-root.XXXXXX)
chmod 755 "$root"
before=$root.before
xvfb_pid=""
display=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  for m in tmp/.X11-unix proc dev/pts; do
    mountpoint -q "$root/$m" && umount -l "$root/$m"
  done
  rm -f "$before"
  if [ "${KV_KEEP_ROOT:-0}" = 1 ]; then echo "root kept: $root"; else rm -rf --one-file-system "$root"; fi
}
trap cleanup EXIT

failures=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

echo "== a clean $suite root in $root"
if [ -n "${KV_ROOT_TARBALL:-}" ]; then
  debootstrap --variant=minbase --unpack-tarball="$(realpath "$KV_ROOT_TARBALL")" "$suite" "$root" "$mirror" >/dev/null
else
  debootstrap --variant=minbase "$suite" "$root" "$mirror" >/dev/null
fi
mount -t proc proc "$root/proc"
mkdir -p "$root/dev/pts" && mount -t devpts devpts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# No service may start inside the root while packages install.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d" && chmod +x "$root/usr/sbin/policy-rc.d"
cp "$deb" "$root/tmp/"
pkg=/tmp/$(basename "$deb")

echo "== install with its dependencies, then remove it again to have the dependencies alone"
in_root apt-get update -qq
# systemd comes along only to check the unit with its own tools.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$pkg" systemd >/dev/null
in_root dpkg -r kestrelvox >/dev/null
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./tmp -o -path ./sys -o -path ./run \
     -o -path ./var/lib/dpkg -o -path ./var/lib/apt -o -path ./var/cache -o -path ./var/log \) -prune \
     -o -print | sort)
}
snapshot > "$before"

echo "== install the package"
in_root dpkg -i "$pkg" >/dev/null
listed=$(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | grep -v '/$')
missing=0
for f in $listed; do [ -f "$root$f" ] || { echo "  missing: $f"; missing=$((missing + 1)); }; done
if [ "$missing" -eq 0 ] && in_root dpkg --verify kestrelvox; then
  pass "all $(echo "$listed" | wc -l) files of the package are in place with their checksums"
else
  fail "$missing files missing or changed"
fi
[ "$(in_root dpkg -L kestrelvox | sort | grep -v '^/\.$')" = "$(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | sed 's|/$||' | grep -v '^$' | sort)" ] \
  && pass "dpkg -L lists what the package holds" || fail "dpkg -L differs from the package contents"

echo "== the service unit"
unit=/usr/lib/systemd/system/kestrelvox-directory.service
# The manual pages are checked with the commands; man-db is not in this root.
# It reports unknown keys and bad values as warnings with status 0: any output fails.
if out=$(in_root systemd-analyze verify --man=no "$unit" 2>&1) && [ -z "$out" ]; then
  pass "systemd-analyze verify: no complaints"
else
  fail "systemd-analyze verify: $out"
fi
score=$(in_root systemd-analyze security --offline=yes "$unit" 2>&1 | grep 'Overall exposure' || true)
[ -n "$score" ] && pass "$score" || fail "no exposure score"

echo "== the commands"
for cmd in "kestrelvox --version" "kestrelvox-directory --help" "kestrelvox-file --help"; do
  bin=${cmd%% *}
  if ! echo "$listed" | grep -qx "/usr/bin/$bin"; then
    echo "  $bin: not in this package"
    continue
  fi
  if out=$(in_root $cmd 2>&1); then
    pass "$cmd: $(echo "$out" | head -1)"
  else
    fail "$cmd exits with status $?: $out"
  fi
done
man_pages=$(echo "$listed" | grep -c '^/usr/share/man/')
in_root sh -c 'ls /usr/share/man/man1/kestrelvox.1.gz /usr/share/man/man8/kestrelvox-directory.8.gz \
  /usr/share/man/man1/kestrelvox-file.1.gz' >/dev/null \
  && pass "$man_pages man pages installed" || fail "man pages missing"

echo "== the desktop entry's Exec line under Xvfb"
entry=$root/usr/share/applications/kestrelvox.desktop
desktop-file-validate "$entry" && pass "desktop-file-validate: no complaints" || fail "desktop-file-validate"
exec_line=$(sed -n 's/^Exec=//p' "$entry" | sed 's/ *%[fFuUdDnNickvm]//g')
for n in $(seq 90 120); do [ -e /tmp/.X11-unix/X$n ] || { display=:$n; break; }; done
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
mkdir -p "$root/tmp/.X11-unix" && mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
# Its own network namespace: the program binds UDP 2047 and talks to itself
# on the way out, and must reach nothing else.
unshare -n sh -c "ip link set lo up; exec chroot '$root' env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  DISPLAY=$display NO_AT_BRIDGE=1 XDG_RUNTIME_DIR=/tmp $exec_line" >"$root/tmp/program.out" 2>&1 &
prog=$!
wid=""
for _ in $(seq 100); do
  wid=$(DISPLAY=$display xdotool search --onlyvisible --name '^Kestrelvox$' 2>/dev/null | head -1 || true)
  [ -n "$wid" ] && break
  sleep 0.1
done
if [ -n "$wid" ]; then
  pass "Exec=$exec_line shows the main window \"$(DISPLAY=$display xdotool getwindowname "$wid")\""
  class=$(DISPLAY=$display xprop -id "$wid" WM_CLASS || true)
  icon=$(DISPLAY=$display xprop -id "$wid" -notype _NET_WM_ICON 2>&1 | head -c 300 || true)
  case "$class" in *'"kestrelvox", "Kestrelvox"'*) pass "$class";; *) fail "window class: $class";; esac
  case "$icon" in *"Icon ("*) pass "the window carries an icon: $(echo "$icon" | sed -n 's/.*\(Icon ([0-9]* x [0-9]*)\).*/\1/p' | head -1)";;
    *) fail "no icon on the window";; esac
  if [ -n "${KV_SCREENSHOT:-}" ]; then DISPLAY=$display import -window root "$KV_SCREENSHOT"; fi
else
  fail "no main window within 10 s; program output:"; cat "$root/tmp/program.out"
fi
# unshare, sh, chroot and env each exec the next: $prog is the program.
kill "$prog" 2>/dev/null || true
wait "$prog" 2>/dev/null || true
sed 's/^/  program said: /' "$root/tmp/program.out"
umount -l "$root/tmp/.X11-unix"

echo "== remove the package"
in_root dpkg -r kestrelvox >/dev/null
left=0
for f in $listed; do [ -e "$root$f" ] && { echo "  left: $f"; left=$((left + 1)); }; done
[ "$left" -eq 0 ] && pass "no file of the package is left" || fail "$left files left"
status=$(in_root dpkg-query -W -f='${db:Status-Abbrev}' kestrelvox 2>/dev/null || true)
echo "  package state after removal: ${status:-not installed, nothing of it recorded}"
after=$(snapshot)
diff=$(diff <(cat "$before") <(echo "$after") || true)
if [ -z "$diff" ]; then
  pass "the root is as it was before the package came, apart from dpkg's records"
else
  other=$(echo "$diff" | grep '^[<>]' | grep -v '^> \./root/\.\(config\|cache\|local\)' || true)
  echo "$diff" | grep '^[<>]' | sed 's/^/  /'
  [ -z "$other" ] && pass "only the user's own settings and caches remain" || fail "files left behind or lost"
fi
in_root dpkg -P kestrelvox >/dev/null 2>&1 || true

echo "== $failures failures, $(( $(date +%s) - started )) s"
[ "$failures" -eq 0 ]
