#!/usr/bin/env bash
# Runs the test on a private session bus, where it plays the tunnel service itself.
set -euo pipefail
test_exe="$1"
shift
config="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../support" && pwd)/empty-session-bus.conf"
exec dbus-run-session --config-file="$config" -- "$test_exe" "$@"
