#!/usr/bin/env bash
# Runs the test in a private network namespace when it may (as root), so that the
# tunnel interfaces the simulated providers create never appear on the host and the
# Tavrin client's port 1080, which one case holds itself, is free.
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up 2>/dev/null || true; exec "$0"' "$1"
fi
exec "$1"
