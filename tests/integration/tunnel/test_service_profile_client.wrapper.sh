#!/usr/bin/env bash
# Runs the test on a private session bus, where it plays the tunnel service itself.
exec dbus-run-session --config-file="$(dirname "$0")/../../support/empty-session-bus.conf" -- "$@"
