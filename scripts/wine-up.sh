#!/usr/bin/env bash
# Starts one persistent wineserver for the project's prefix and boots the prefix.
# All three standard streams of Wine's own processes go to /dev/null, so that the
# background services never hold a caller's pipes open (ctest would hang on them).
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
mkdir -p "$WINEPREFIX"
# An already running server for this prefix is fine (it answers the same way).
"$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating Wine prefix $WINEPREFIX"
  "$WINE64" wineboot -i </dev/null >/dev/null 2>&1
  # Creating the prefix leaves a second service control manager running beside the first,
  # and the two answer service calls in turn (a service created through one is unknown to
  # the other). A restart of the prefix leaves one.
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
else
  "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
fi
# A first trivial program makes sure the server and the boot services are up.
"$WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
