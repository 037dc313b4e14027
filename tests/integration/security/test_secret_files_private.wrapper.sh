#!/usr/bin/env bash
# Runs the test as the first process of a private process-id namespace with its own /proc (as root,
# or else in a user namespace), where it may choose the next process id and so recycle one on
# purpose; where neither is allowed it runs as it is and skips the recycling.
for user in "" "--user --map-root-user"; do
  if unshare $user --pid --fork --mount-proc true 2>/dev/null; then exec unshare $user --pid --fork --mount-proc -- "$1"; fi
done
exec "$1"
