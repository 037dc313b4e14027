#!/usr/bin/env bash
# Fails when a process started from a test's scratch folder outlived its test. The folder
# comes without its trailing slash, so this script's own command line does not match.
set -uo pipefail
left="$(pgrep -af "$1/" || true)"
if [ -n "$left" ]; then
  echo "processes started by tests are still running:"
  echo "$left"
  exit 1
fi
