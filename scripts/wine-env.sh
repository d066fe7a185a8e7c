# Sourced: the Wine settings every project script and the test runner share.
# WINEPREFIX may be set by the caller; the default lives under the build folder.
_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$_root/build}
export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEARCH=win64
if [ -x /usr/lib/wine/wine64 ]; then WINE64=/usr/lib/wine/wine64; else WINE64=$(command -v wine64 || command -v wine); fi
if [ -x /usr/lib/wine/wineserver64 ]; then WINESERVER=/usr/lib/wine/wineserver64; else WINESERVER=$(command -v wineserver); fi
export WINE64 WINESERVER
