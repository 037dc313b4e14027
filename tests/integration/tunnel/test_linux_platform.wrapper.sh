#!/usr/bin/env bash
# Runs the test on a private session bus, where it plays the tunnel service, and as root in
# a private network namespace, so that its interfaces and routes never appear on the host.
bus=(dbus-run-session --config-file="$(dirname "$0")/../../support/empty-session-bus.conf" --)
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up 2>/dev/null || true; exec "$@"' sh "${bus[@]}" "$1"
fi
exec "${bus[@]}" "$1"
