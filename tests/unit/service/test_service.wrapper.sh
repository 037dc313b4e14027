#!/usr/bin/env bash
# Runs the test on a private session bus, where it plays the polkit authority itself.
set -euo pipefail
config="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../support" && pwd)/empty-session-bus.conf"
exec dbus-run-session --config-file="$config" -- "$@"
