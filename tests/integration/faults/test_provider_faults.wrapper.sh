#!/usr/bin/env bash
# As root, runs the test in a private network namespace, so that the tunnel interfaces of
# the simulated providers never appear on the host and the Tavrin client's port 1080,
# which one case holds itself, is free.
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up 2>/dev/null || true; exec "$0"' "$1"
fi
exec "$1"
