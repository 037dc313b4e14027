#!/usr/bin/env bash
# Runs the test on a private session bus, where it plays the desktop portal itself.
set -euo pipefail
exec dbus-run-session -- "$1"
