#!/usr/bin/env bash
# Runs the test on a private session bus that offers no services at all, so the test
# sees "no Secret Service" even on a desktop whose keyring could be started on demand,
# and never touches the user's own keyring.
set -euo pipefail
test_exe="$1"
shift
scratch="${QOR_TEST_SCRATCH:-$(mktemp -d)}"
mkdir -p "$scratch"
config="$scratch/empty-session-bus.conf"
cat >"$config" <<'CONF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID
exec dbus-run-session --config-file="$config" -- "$test_exe" "$@"
