#!/usr/bin/env bash
# Installs what is missing, builds Tonvale and runs the main program. Until the
# window exists that is tonvale-cli: the media libraries, the drives and the
# disc's tracks. Without an optical drive a demo disc image is used as a
# virtual drive.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"
bin="$top/build/bin"

if [[ -z "${TONVALE_VIRTUAL_DRIVES:-}" ]] && ! ls /dev/sr[0-9]* >/dev/null 2>&1; then
  demo="$top/build/demo"
  [[ -f "$demo/tonvale-demo.cue" ]] || "$bin/tonvale-demodisc" "$demo" >/dev/null
  export TONVALE_VIRTUAL_DRIVES="$demo/tonvale-demo.cue"
  echo "No optical drive here: using the demo disc $TONVALE_VIRTUAL_DRIVES"
fi

echo "== media libraries"
"$bin/tonvale-cli" libs
echo "== drives"
"$bin/tonvale-cli" drives
echo "== tracks"
"$bin/tonvale-cli" toc
