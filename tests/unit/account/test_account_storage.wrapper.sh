#!/usr/bin/env bash
# A private session bus with no services: "no Secret Service" even on a desktop, and never the user's keyring.
set -euo pipefail
config="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../support" && pwd)/empty-session-bus.conf"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID
exec dbus-run-session --config-file="$config" -- "$@"
