#!/usr/bin/env bash
# Runs the real-tunnel test in network and mount namespaces of its own (as root): the
# tunnel service, qorctl and the account server live there, the far side in a second
# network namespace the test makes. Name look-ups go to a resolver address on loopback
# where nothing answers, so a name meant to be unresolvable fails here instead of reaching
# a real resolver. WireGuard's control sockets get a folder of their own: a concurrent
# service would remove a stale socket of the reserve link, and wireguard-go ends when its
# socket is removed. Elsewhere the test skips with its reason.
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && unshare -n -m true 2>/dev/null; then
  resolv="$(mktemp)"
  printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > "$resolv"
  trap 'rm -f "$resolv"' EXIT
  unshare -n -m -- sh -c 'mount --bind "$1" /etc/resolv.conf && mkdir -p /run/wireguard && mount -t tmpfs -o mode=0700 qor-wireguard /run/wireguard && ip link set lo up && exec "$0"' "$1" "$resolv"
  exit $?
fi
exec "$1"
