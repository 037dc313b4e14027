#!/usr/bin/env bash
# Runs the storage fault tests in a private mount namespace, where a tiny tmpfs stands
# for a full disk and a read-only bind mount for a folder that cannot be written
# (root ignores file modes, so chmod cannot make one), on a private session bus that
# offers no Secret Service. Without the right to make a mount namespace the test runs
# as it is and skips the cases that need one.
set -euo pipefail
test_exe="$1"
shift
scratch="${QOR_TEST_SCRATCH:-$(mktemp -d)}/faults"
rm -rf "$scratch"
mkdir -p "$scratch/full" "$scratch/readonly" "$scratch/readonly-source"

bus_config="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../support" && pwd)/empty-session-bus.conf"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID \
      GNOME_KEYRING_CONTROL

# Inside the namespace: the mounts, then the bus, then the test.
inner='
  set -e
  mount -t tmpfs -o size=256k,mode=0755 qor-full "$1/full"
  mount --bind "$1/readonly-source" "$1/readonly"
  mount -o remount,bind,ro "$1/readonly"
  export QOR_FAULT_FULL="$1/full" QOR_FAULT_READONLY="$1/readonly" QOR_FAULT_READONLY_SOURCE="$1/readonly-source"
  shift
  exec dbus-run-session --config-file="$1" -- "${@:2}"'

if [ "$(id -u)" = 0 ] && unshare -m --propagation private true 2>/dev/null; then
  exec unshare -m --propagation private bash -c "$inner" mounts "$scratch" "$bus_config" "$test_exe" "$@"
elif unshare -rm --propagation private true 2>/dev/null; then
  exec unshare -rm --propagation private bash -c "$inner" mounts "$scratch" "$bus_config" "$test_exe" "$@"
fi
echo "no mount namespace available: full-disk and read-only cases are skipped" >&2
exec dbus-run-session --config-file="$bus_config" -- "$test_exe" "$@"
