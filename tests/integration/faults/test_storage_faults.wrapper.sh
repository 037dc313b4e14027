#!/usr/bin/env bash
# Runs the storage fault tests in a private mount namespace, where a tiny tmpfs stands for
# a full disk and a read-only bind mount for a folder that cannot be written (root ignores
# file modes, so chmod cannot make one), on a private session bus that offers no Secret
# Service. Without a mount namespace the cases that need one are skipped.
set -euo pipefail
scratch="${QOR_TEST_SCRATCH:-$(mktemp -d)}/faults"
rm -rf "$scratch" && mkdir -p "$scratch/full" "$scratch/readonly" "$scratch/readonly-source"
bus="$(dirname "$0")/../../support/empty-session-bus.conf"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID GNOME_KEYRING_CONTROL
# Inside the namespace: the mounts, then the bus, then the test.
inner='set -e
  mount -t tmpfs -o size=256k,mode=0755 qor-full "$1/full"
  mount --bind "$1/readonly-source" "$1/readonly" && mount -o remount,bind,ro "$1/readonly"
  export QOR_FAULT_FULL="$1/full" QOR_FAULT_READONLY="$1/readonly" QOR_FAULT_READONLY_SOURCE="$1/readonly-source"
  exec dbus-run-session --config-file="$2" -- "${@:3}"'
for flags in -m -rm; do # as root, else in a user namespace
  if { [ "$flags" = -rm ] || [ "$(id -u)" = 0 ]; } && unshare $flags --propagation private true 2>/dev/null; then
    exec unshare $flags --propagation private bash -c "$inner" mounts "$scratch" "$bus" "$@"
  fi
done
echo "no mount namespace available: full-disk and read-only cases are skipped" >&2
exec dbus-run-session --config-file="$bus" -- "$@"
