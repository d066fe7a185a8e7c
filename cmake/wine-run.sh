#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's prefix.
# scripts/wine-env.sh sets WINEPREFIX; without it the prefix beside the build is used.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../scripts/wine-env.sh"
exec "$WINE64" "$@"
