#!/usr/bin/env bash
# A real GNOME Keyring ("test", unlocked) on a private bus, HOME and XDG in scratch: the user's keyring
# is untouched, QtKeychain finds no other back end or screen to prompt, the daemon ends with the bus.
set -euo pipefail
scratch="${QOR_TEST_SCRATCH:-$(mktemp -d)}/keyring"
rm -rf "$scratch"
mkdir -p "$scratch/home" "$scratch/data" "$scratch/config" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
       XDG_RUNTIME_DIR="$scratch/runtime" QOR_KEYRING_SANDBOX="$scratch"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID \
      GNOME_KEYRING_CONTROL SSH_AUTH_SOCK DISPLAY WAYLAND_DISPLAY
exec dbus-run-session -- bash -c '
  echo -n test | gnome-keyring-daemon --unlock --components=secrets >/dev/null
  for _ in $(seq 50); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
    sleep 0.1
  done
  exec "$@"' keyring-session "$@"
