#!/usr/bin/env bash
# Whole-disc rip benchmark: `tonvale-cli rip --format mp3 --jobs 2` (MP3 128k) on a
# generated 45-minute 10-track image, side by side with
#   - the floor: the ffmpeg program encoding the ten WAV files of the same disc (grabbed
#     beforehand, not timed) with the same settings, two at a time, longest first;
#   - abcde (Debian package) where it can read the input (see below).
# Prints the wall time, x real time, CPU time (user + system) and peak memory of each and
# the ratios to the floor. The runs take turns round by round and the fastest round of each
# counts, so that other work on the machine weighs on all of them alike.
#
#   bench/rip/run.sh [BUILD_DIR]          (default: <repo>/build)
# Environment: MINUTES (45), TRACKS (10), JOBS (2), ROUNDS (3), WORK (a temporary folder,
# kept when given), ABCDE_FLAC=1 (time abcde on a FLAC copy of the disc).
# Goals: the rip within 1.05x of the floor; faster than every peer measured.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
minutes=${MINUTES:-45}
tracks=${TRACKS:-10}
jobs=${JOBS:-2}
rounds=${ROUNDS:-3}
work=${WORK:-$(mktemp -d /tmp/tonvale-bench-rip.XXXXXX)}
keep=${WORK:+1}
cleanup() { [[ -n "${keep:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tonvale-demodisc tonvale-cli >/dev/null
bin="$build/bin"
command -v ffmpeg >/dev/null || { echo "missing ffmpeg (Debian package ffmpeg)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (Debian package time)" >&2; exit 2; }

echo "== a $minutes-minute disc of $tracks tracks in $work"
mkdir -p "$work/disc" "$work/wav"
"$bin/tonvale-demodisc" --minutes "$minutes" --tracks "$tracks" "$work/disc" >/dev/null
export TONVALE_VIRTUAL_DRIVES="$work/disc/tonvale-demo.cue"
for ((t = 1; t <= tracks; t++)); do
  "$bin/tonvale-cli" grab "$t" "$work/wav/Track$t.wav" 2>/dev/null
done

floor() { # the WAV files JOBS at a time, longest first
  rm -rf "$work/floor" && mkdir -p "$work/floor"
  ls -S "$work/wav"/*.wav | xargs -P "$jobs" -I{} sh -c \
    'ffmpeg -nostdin -v error -y -i "$1" -vn -c:a libmp3lame -b:a 128k -ar 44100 -ac 2 \
       "$2/$(basename "$1" .wav).mp3"' _ {} "$work/floor" 2>"$work/floor.log"
}
ours() {
  rm -rf "$work/out"
  "$bin/tonvale-cli" rip --format mp3 --preset standard --jobs "$jobs" "$work/out" \
    >"$work/ours.out" 2>"$work/ours.log"
}

# abcde reads a CD drive (a block device: its TOC through cd-discid's ioctl) or a
# single-track FLAC file with an embedded cue sheet; it has no way to read a CUE/BIN
# image, so it can only be timed on a FLAC copy of the same disc (ABCDE_FLAC=1, needs the
# Debian packages abcde, flac, lame and eyed3), which it decodes instead of grabbing.
abcde() {
  rm -rf "$work/abcde" && mkdir -p "$work/abcde"
  command abcde -c "$work/abcde.conf" -d "$work/disc.flac" -j "$jobs" -N -n \
    -a read,encode,move,clean >"$work/abcde.log" 2>&1
}
names=(floor ours)
abcde_note=""
if ! command -v abcde >/dev/null; then
  abcde_note="not installed (Debian package abcde)"
elif [[ "${ABCDE_FLAC:-}" != "1" ]]; then
  abcde_note="cannot read a CUE/BIN image (ABCDE_FLAC=1 times it on a FLAC copy)"
elif ! command -v flac >/dev/null || ! command -v lame >/dev/null || ! command -v eyeD3 >/dev/null; then
  abcde_note="needs the Debian packages flac, lame and eyed3 for a FLAC copy and MP3"
else
  # One FLAC file of the whole disc with the disc's cue sheet embedded.
  ffmpeg -nostdin -v error -y -f s16le -ar 44100 -ac 2 \
    -i <(for ((t = 1; t <= tracks; t++)); do tail -c +45 "$work/wav/Track$t.wav"; done) \
    "$work/disc.flac"
  metaflac --import-cuesheet-from="$work/disc/tonvale-demo.cue" "$work/disc.flac"
  cat >"$work/abcde.conf" <<EOF
OUTPUTDIR="$work/abcde"
WAVOUTPUTDIR="$work/abcde"
OUTPUTTYPE=mp3
LAMEOPTS="-b 128"
INTERACTIVE=n
# No network here: the disc lookup is pointed at a closed local port and fails at once.
CDDBMETHOD=cddb
CDDBURL="http://127.0.0.1:9/"
EOF
  names+=(abcde)
  abcde_note="a FLAC copy of the disc as input"
fi
export -f floor ours abcde
export work jobs bin

# best[name]: "wall cpu kilobytes" of the fastest round.
declare -A best
for ((r = 1; r <= rounds; r++)); do
  for name in "${names[@]}"; do
    echo "== round $r: $name"
    /usr/bin/time -f '%e %U %S %M' -o "$work/$name.time" bash -c "$name" || {
      tail -n 20 "$work/$name.log" >&2 2>/dev/null || true
      echo "$name failed" >&2
      exit 1
    }
    read -r wall user sys kb <"$work/$name.time"
    cpu=$(echo "$user + $sys" | bc -l)
    if [[ -z "${best[$name]:-}" ]] || (($(echo "$wall < ${best[$name]%% *}" | bc -l))); then
      best[$name]="$wall $cpu $kb"
    fi
  done
done
made=$(find "$work/out" -name '*.mp3' | wc -l)
[[ "$made" -eq "$tracks" ]] || { echo "the rip wrote $made of $tracks files" >&2; exit 1; }

audio=$(echo "$minutes * 60" | bc -l)
read -r floor_s floor_cpu _ <<<"${best[floor]}"
row() { # label name
  local s cpu kb
  read -r s cpu kb <<<"${best[$2]}"
  printf '%-46s %8.2f %12.1f %8.2f %8.1f %9.3fx\n' "$1" "$s" "$(echo "$audio / $s" | bc -l)" \
    "$cpu" "$(echo "$kb / 1024" | bc -l)" "$(echo "$s / $floor_s" | bc -l)"
}
printf '%-46s %8s %12s %8s %8s %10s\n' "" "seconds" "x real time" "CPU s" "peak MB" "vs floor"
row "ffmpeg, $tracks WAVs $jobs at a time (floor)" floor
row "tonvale-cli rip --jobs $jobs (grab + encode)" ours
if [[ -n "${best[abcde]:-}" ]]; then
  row "abcde -j $jobs ($abcde_note)" abcde
else
  printf '%-46s %s\n' "abcde" "$abcde_note"
fi
read -r ours_s ours_cpu _ <<<"${best[ours]}"
printf 'ratio (rip / floor): %.3fx wall, %.3fx CPU   goal <= 1.05x' \
  "$(echo "$ours_s / $floor_s" | bc -l)" "$(echo "$ours_cpu / $floor_cpu" | bc -l)"
if [[ -n "${best[abcde]:-}" ]]; then
  printf ';  rip / abcde: %.3fx   goal < 1' "$(echo "$ours_s / ${best[abcde]%% *}" | bc -l)"
fi
printf '\n'
