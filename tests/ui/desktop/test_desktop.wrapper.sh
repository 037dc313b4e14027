#!/usr/bin/env bash
# Runs the test on a private session bus offering nothing, where it plays the status-bar
# watcher itself; the bus ends with the test.
set -euo pipefail
exec dbus-run-session --config-file="$(dirname "$0")/../../support/empty-session-bus.conf" -- "$1"
