#!/usr/bin/env bash
# Stops the project's wineserver and every Wine process of its prefix.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
"$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
"$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
