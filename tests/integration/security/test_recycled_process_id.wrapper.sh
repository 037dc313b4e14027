#!/usr/bin/env bash
# Runs the test as the first process of a private process-id namespace with its own
# /proc, where it may choose the id of the next process and so recycle one on purpose.
# As root the namespace is made directly, otherwise inside a user namespace; where
# neither is allowed the test runs as it is and skips the recycling case.
set -euo pipefail
if unshare --pid --fork --mount-proc true 2>/dev/null; then
  exec unshare --pid --fork --mount-proc -- "$1"
fi
if unshare --user --map-root-user --pid --fork --mount-proc true 2>/dev/null; then
  exec unshare --user --map-root-user --pid --fork --mount-proc -- "$1"
fi
exec "$1"
