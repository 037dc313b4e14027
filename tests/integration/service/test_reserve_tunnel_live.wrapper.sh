#!/usr/bin/env bash
# Runs the test in a network namespace of its own (as root): the tunnel service, qorctl
# and the test's account server live there, the far side in a second namespace the
# test makes. Elsewhere the test skips with its reason.
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n -- sh -c 'ip link set lo up; exec "$0"' "$1"
fi
exec "$1"
