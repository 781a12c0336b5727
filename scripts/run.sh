#!/usr/bin/env bash
# Installs what is missing, builds Tonvale and starts the window.
#
# Without an optical drive the demo disc (build/demo/) is used as a virtual
# drive. Where there is no display the window runs on a virtual X server: the
# script waits until the disc's tracks are listed, saves
# build/screenshots/main.png, then starts an MP3 run of the demo disc and saves
# build/screenshots/running.png while it goes, prints both paths and ends.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"
bin="$top/build/bin"

headless=""
[[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]] || headless=yes
if [[ -z "${TONVALE_VIRTUAL_DRIVES:-}" ]] && ! ls /dev/sr[0-9]* >/dev/null 2>&1; then
  # Headless, the demo disc is album-sized, so that the run screenshot shows a
  # file's progress between the 500 ms reports.
  demo="$top/build/demo"
  args=()
  if [[ -n "$headless" ]]; then demo="$top/build/demo-album"; args=(--minutes 24 --tracks 6); fi
  [[ -f "$demo/tonvale-demo.cue" ]] || "$bin/tonvale-demodisc" "${args[@]}" "$demo" >/dev/null
  export TONVALE_VIRTUAL_DRIVES="$demo/tonvale-demo.cue"
  echo "No optical drive here: using the demo disc $TONVALE_VIRTUAL_DRIVES"
fi

if [[ -z "$headless" ]]; then
  exec "$bin/tonvale"
fi

# No display: a virtual X server, two screenshots, then the end.
shots="$top/build/screenshots"
mkdir -p "$shots"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=99
while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

# The window's settings and output stay inside the build folder.
export XDG_CONFIG_HOME="$work/config"
out="$top/build/demo-output"
mkdir -p "$XDG_CONFIG_HOME/Brisklane" "$out"
printf '[Configuration]\nOutPath=%s/\n' "$out" >"$XDG_CONFIG_HOME/Brisklane/Tonvale.ini"

"$bin/tonvale" >"$work/tonvale.log" 2>&1 &
pids+=($!)
listed=""
for _ in $(seq 300); do
  if grep -q 'audio tracks listed' "$work/tonvale.log"; then listed=yes; break; fi
  sleep 0.1
done
if [[ -z "$listed" ]]; then
  echo "The window did not list the disc's tracks:" >&2
  cat "$work/tonvale.log" >&2
  exit 1
fi
sleep 0.5
import -window root "$shots/main.png"
echo "Screenshot of the window: $shots/main.png"

# An MP3 run, started as a user would: choose MP3, press Convert.
win=$(xdotool search --name '^Tonvale 1\.0$' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$win")"
# cbFormats sits at (20, 372) of the window's client area, Convert at (594, 460).
xdotool mousemove $((X + 60)) $((Y + 383)) click 1
sleep 0.3
xdotool key Down Return
sleep 0.3
xdotool mousemove $((X + 639)) $((Y + 477)) click 1
# Keep the first screenshot whose progress bar (client 20..590 at 467) is partly filled.
blue() { # 1 when the pixel at client (x, y) of the screenshot is the bar's colour
  convert "$1" -format '%[fx:(p{'"$((X + $2))"','"$((Y + $3))"'}.b > 0.6 && p{'"$((X + $2))"','"$((Y + $3))"'}.r < 0.5) ? 1 : 0]' info:
}
caught=""
for _ in $(seq 100); do
  import -window root "$work/shot.png"
  if [[ $(blue "$work/shot.png" 24 467) == 1 && $(blue "$work/shot.png" 574 467) == 0 ]]; then
    caught=yes
    break
  fi
  sleep 0.05
done
[[ -n "$caught" ]] || echo "(the run ended before a screenshot caught its bar moving)" >&2
cp "$work/shot.png" "$shots/running.png"
echo "Screenshot of a run in progress: $shots/running.png"
