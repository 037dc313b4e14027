#!/usr/bin/env bash
# As root, a private network namespace keeps the simulated providers' tunnel interfaces off the host.
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up 2>/dev/null || true; exec "$0"' "$1"
fi
exec "$1"
