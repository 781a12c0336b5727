#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh [BUILD_DIR] [extra cmake args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DTONVALE_WERROR="$werror" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
