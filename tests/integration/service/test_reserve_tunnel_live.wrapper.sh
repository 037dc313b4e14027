#!/usr/bin/env bash
exec bash "$(dirname "$0")/private-namespaces.sh" "$@"
