#!/usr/bin/env bash
# A private mount namespace: a tiny tmpfs is a full disk, a read-only bind mount an unwritable folder (root
# ignores chmod); a private bus offers no Secret Service. Without the namespace those cases skip.
set -euo pipefail
scratch="${QOR_TEST_SCRATCH:-$(mktemp -d)}/faults"
rm -rf "$scratch" && mkdir -p "$scratch/full" "$scratch/readonly" "$scratch/readonly-source"
bus="$(dirname "$0")/../../support/empty-session-bus.conf"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID GNOME_KEYRING_CONTROL
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
