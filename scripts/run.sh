#!/usr/bin/env bash
# Installs what is missing, builds Tonvale and runs the main program.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"
exec "$top/build/bin/tonvale-cli" libs "$@"
