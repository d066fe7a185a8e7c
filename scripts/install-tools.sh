#!/usr/bin/env bash
# Places the built companion tools where the service looks for them inside the prefix
# (the common application-data folder of the suite).
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
appdata="$WINEPREFIX/drive_c/ProgramData/Veltrane/Consumer/KAL/9"
if [ -f "$BUILD_DIR/tools/Compactor.exe" ]; then
  mkdir -p "$appdata"
  cp -f "$BUILD_DIR/tools/Compactor.exe" "$appdata/"
fi
