#!/usr/bin/env bash
# Two private buses offering nothing: the outer one stands in for the system bus (logind and
# NetworkManager, played by the test), the inner one is the session bus (the notification
# server, also played by the test). dbus-run-session ends each daemon when its child ends.
set -euo pipefail
config="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../support" && pwd)/empty-session-bus.conf"
exec dbus-run-session --config-file="$config" -- bash -c '
  export DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS"
  exec dbus-run-session --config-file="$0" -- "$@"' "$config" "$@"
