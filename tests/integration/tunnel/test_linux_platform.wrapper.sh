#!/usr/bin/env bash
# As root, runs the test in a private network namespace, so that its interfaces and
# routes never appear on the host.
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up 2>/dev/null || true; exec "$0"' "$1"
fi
exec "$1"
