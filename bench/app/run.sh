#!/usr/bin/env bash
# The window's run against its floor: a whole-disc MP3 128k run through the main
# window (offscreen, driven as the tests drive it) on a generated 45-minute
# 10-track image, side by side with the ffmpeg program converting the same ten
# WAV files one after the other with the same settings. Prints both wall times,
# their ratio and the peak memory of each; with ROUNDS > 1 the two are measured
# in turn that many times, one line pair and ratio per round.
#
#   bench/app/run.sh [BUILD_DIR]          (default: <repo>/build)
# Environment: MINUTES (45), TRACKS (10), ROUNDS (1), WORK (a temporary folder,
# kept when given).
# Goals: the window's MP3 run at most 1.00x of ffmpeg converting the tracks one
# after another (the first track's grab, the per-track hand-overs and the grab
# ahead all paid for within that); peak memory under 150 MB.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
minutes=${MINUTES:-45}
tracks=${TRACKS:-10}
rounds=${ROUNDS:-1}
work=${WORK:-$(mktemp -d /tmp/tonvale-bench.XXXXXX)}
keep=${WORK:+1}
cleanup() { [[ -n "${keep:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tonvale-bench-window tonvale-demodisc tonvale-cli >/dev/null
bin="$build/bin"
command -v ffmpeg >/dev/null || { echo "missing ffmpeg (Debian package ffmpeg)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (Debian package time)" >&2; exit 2; }

echo "== a $minutes-minute disc of $tracks tracks in $work"
mkdir -p "$work/disc" "$work/wav"
"$bin/tonvale-demodisc" --minutes "$minutes" --tracks "$tracks" "$work/disc" >/dev/null
export TONVALE_VIRTUAL_DRIVES="$work/disc/tonvale-demo.cue"
export QT_QPA_PLATFORM=offscreen
export XDG_CONFIG_HOME="$work/config"
for ((t = 1; t <= tracks; t++)); do
  "$bin/tonvale-cli" grab "$t" "$work/wav/Track$t.wav" 2>/dev/null
done

floor() { # the ten WAV files, one after the other
  local t
  rm -rf "$work/floor" && mkdir -p "$work/floor"
  for ((t = 1; t <= tracks; t++)); do
    ffmpeg -nostdin -v error -y -i "$work/wav/Track$t.wav" -vn -c:a libmp3lame -b:a 128k \
      -ar 44100 -ac 2 "$work/floor/Track$t.mp3"
  done
}
export -f floor
export work tracks

audio=$(echo "$minutes * 60" | bc -l)
row() { printf '%-34s %10.2f %14.1f %14.1f\n' "$1" "$2" "$(echo "$audio / $2" | bc -l)" \
  "$(echo "$3 / 1024" | bc -l)"; }
printf '%-34s %10s %14s %14s\n' "" "seconds" "x real time" "peak MB"
for ((round = 1; round <= rounds; round++)); do
  ((rounds == 1)) || echo "== round $round of $rounds"
  /usr/bin/time -f '%e %M' -o "$work/floor.time" bash -c floor
  read -r floor_s floor_kb <"$work/floor.time"

  rm -rf "$work/out"
  /usr/bin/time -f '%e %M' -o "$work/window.time" \
    "$bin/tonvale-bench-window" "$work/out" 1 2 >"$work/window.out" 2>"$work/window.err" || {
    cat "$work/window.err" >&2
    exit 1
  }
  ours_s=$(tail -n 1 "$work/window.out")
  read -r _ ours_kb <"$work/window.time"
  made=$(find "$work/out" -name 'Track*.mp3' | wc -l)
  [[ "$made" -eq "$tracks" ]] || { echo "the window wrote $made of $tracks files" >&2; exit 1; }

  row "ffmpeg, the WAVs in turn (floor)" "$floor_s" "$floor_kb"
  row "Tonvale window, whole disc" "$ours_s" "$ours_kb"
  printf 'ratio (window / floor): %.3fx   goal <= 1.00x; peak memory goal < 150 MB\n' \
    "$(echo "$ours_s / $floor_s" | bc -l)"
done
