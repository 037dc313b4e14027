#!/usr/bin/env bash
# Runs the test on a private session bus that offers no services at all, so the test
# sees "no Secret Service" even on a desktop whose keyring could be started on demand,
# and never touches the user's own keyring.
set -euo pipefail
config="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../support" && pwd)/empty-session-bus.conf"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID
exec dbus-run-session --config-file="$config" -- "$@"
