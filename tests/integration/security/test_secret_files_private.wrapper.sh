#!/usr/bin/env bash
# Runs the test as the first process of a private process-id namespace with its own /proc,
# where it may choose the id of the next process and so recycle one on purpose: as root
# directly, otherwise in a user namespace; where neither is allowed the test runs as it is
# and skips the recycling case.
for user in "" "--user --map-root-user"; do
  if unshare $user --pid --fork --mount-proc true 2>/dev/null; then exec unshare $user --pid --fork --mount-proc -- "$1"; fi
done
exec "$1"
