#!/usr/bin/env bash
# Places the built companion tools where the service looks for them inside the prefix:
# the archiver starts "<common application data>\Veltrane\Consumer\KAL\9\Compactor.exe",
# and the common application-data folder (CSIDL_COMMON_APPDATA) is C:\ProgramData
# under Wine.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
appdata="$WINEPREFIX/drive_c/ProgramData/Veltrane/Consumer/KAL/9"
if [ -f "$BUILD_DIR/tools/Compactor.exe" ]; then
  mkdir -p "$appdata"
  cp -f "$BUILD_DIR/tools/Compactor.exe" "$appdata/"
else
  echo "install-tools: $BUILD_DIR/tools/Compactor.exe not built; logs will not be packed" >&2
fi
