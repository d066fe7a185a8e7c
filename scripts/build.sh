#!/usr/bin/env bash
# Configures and builds the whole project (service, tools, tests, benchmarks), or the
# targets given as arguments (--target A B ...).
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/wine-env.sh"
cmake -S "$root" -B "$BUILD_DIR" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} >/dev/null
cmake --build "$BUILD_DIR" -j "${JOBS:-$(nproc)}" "$@"
