#!/usr/bin/env bash
# Whole-disc rip benchmark on a generated 45-minute 10-track image, side by side with the
# reference tools doing the same work (ratios: ours / theirs, lower is better):
#
#   wav       `tonvale-cli rip --format wav`            vs `cd-paranoia -B` (wall, peak memory)
#             (wav and mp3 with --no-replaygain: the peers measure no loudness; `wav+rg`,
#             the same rip measuring ReplayGain, shows what the loudness costs)
#   mp3       `tonvale-cli rip --format mp3 --jobs J`   vs the serial peer pipeline:
#             `cd-paranoia -B`, then the ffmpeg program encoding the WAV files J at a time,
#             longest first; and vs the CPU bound (read CPU + encode CPU) / cores, with the
#             read CPU of our WAV rip and the encode CPU of those ffmpeg encodes
#   floor     the same ffmpeg encodes alone (grabbed beforehand, not timed)
#   flac,mp3  `tonvale-cli rip --format flac,mp3` (one read, both encodes) vs two rips, one
#             `--format flac`, then one `--format mp3`
#   speed N   at TONVALE_VIRTUAL_SPEED=N (a drive reading at N x real time), the MP3 rip
#             against the time to read the disc at that speed (our WAV rip at that speed)
#             plus the encode of the last track (ffmpeg, alone): the encodes must hide
#             behind the reading
#
# The unthrottled runs take turns round by round and the fastest round of each counts, so
# that other work on the machine weighs on all of them alike; the throttled runs run once.
#
#   bench/rip/run.sh [BUILD_DIR]          (default: <repo>/build)
# Environment: MINUTES (45), TRACKS (10), JOBS (2), ROUNDS (3), SPEEDS ("8 24"; "" skips
# them), WORK (a temporary folder, kept when given), ABCDE_FLAC=1 (also time abcde on a
# FLAC copy of the disc: it cannot read a CUE/BIN image).
# Goals: wav <= 1.00x of cd-paranoia's wall, peak memory <= 1.5x; mp3 <= 1.00x of the serial
# peer pipeline and <= 1.05x of the CPU bound; flac,mp3 < 1.00x of the two rips; at each
# speed <= 1.03x of read + last encode.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
minutes=${MINUTES:-45}
tracks=${TRACKS:-10}
jobs=${JOBS:-2}
rounds=${ROUNDS:-3}
speeds=${SPEEDS-8 24}
work=${WORK:-$(mktemp -d /tmp/tonvale-bench-rip.XXXXXX)}
keep=${WORK:+1}
cleanup() { [[ -n "${keep:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tonvale-demodisc tonvale-cli >/dev/null
bin="$build/bin"
for tool in ffmpeg cd-paranoia; do
  command -v "$tool" >/dev/null || { echo "missing $tool (Debian package $tool)" >&2; exit 2; }
done
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (Debian package time)" >&2; exit 2; }

echo "== a $minutes-minute disc of $tracks tracks in $work"
mkdir -p "$work/disc" "$work/wav"
"$bin/tonvale-demodisc" --minutes "$minutes" --tracks "$tracks" "$work/disc" >/dev/null
cue="$work/disc/tonvale-demo.cue"
export TONVALE_VIRTUAL_DRIVES="$cue"
# The rip's lookups ask no service: a refused connection is a note and costs nothing.
export TONVALE_ACCURATERIP_URL=http://127.0.0.1:1 TONVALE_CTDB_URL=http://127.0.0.1:1
for ((t = 1; t <= tracks; t++)); do
  "$bin/tonvale-cli" grab "$t" "$work/wav/Track$t.wav" 2>/dev/null
done
cat "$work/disc/tonvale-demo.bin" >/dev/null # every reader starts from the page cache

encode_all() { # the WAV files in $1, JOBS at a time, longest first, into $2
  rm -rf "$2" && mkdir -p "$2"
  ls -S "$1"/*.wav | xargs -P "$jobs" -I{} sh -c \
    'ffmpeg -nostdin -v error -y -i "$1" -vn -c:a libmp3lame -b:a 128k -ar 44100 -ac 2 \
       "$2/$(basename "$1" .wav).mp3"' _ {} "$2"
}
floor() { encode_all "$work/wav" "$work/floor" 2>"$work/floor.log"; }
paranoia() { # cd-paranoia -B writes track01.cdda.wav ... into the current folder
  rm -rf "$work/par" && mkdir -p "$work/par" && cd "$work/par"
  cd-paranoia -q -d "$cue" -B >"$work/paranoia.log" 2>&1
}
peers() { paranoia && encode_all "$work/par" "$work/peers" 2>>"$work/paranoia.log"; }
wav() {
  rm -rf "$work/out-wav"
  "$bin/tonvale-cli" rip --offline --format wav --no-replaygain --template %t "$work/out-wav" \
    >/dev/null 2>"$work/wav.log"
}
wavrg() {
  rm -rf "$work/out-wavrg"
  "$bin/tonvale-cli" rip --offline --format wav --template %t "$work/out-wavrg" >/dev/null \
    2>"$work/wavrg.log"
}
mp3() {
  rm -rf "$work/out-mp3"
  "$bin/tonvale-cli" rip --offline --format mp3 --preset standard --jobs "$jobs" --template %t \
    --no-replaygain "$work/out-mp3" >/dev/null 2>"$work/mp3.log"
}
both() { # FLAC and MP3 from one read
  rm -rf "$work/out-both"
  "$bin/tonvale-cli" rip --offline --format flac,mp3 --preset standard --jobs "$jobs" \
    --template %t "$work/out-both" >/dev/null 2>"$work/both.log"
}
two() { # the same as two rips
  rm -rf "$work/out-flac" "$work/out-mp3-2"
  "$bin/tonvale-cli" rip --offline --format flac --jobs "$jobs" --template %t \
    "$work/out-flac" >/dev/null 2>"$work/two.log" &&
    "$bin/tonvale-cli" rip --offline --format mp3 --preset standard --jobs "$jobs" \
      --template %t "$work/out-mp3-2" >/dev/null 2>>"$work/two.log"
}
last_encode() { # the last track read, encoded alone
  ffmpeg -nostdin -v error -y -i "$work/wav/Track$tracks.wav" -vn -c:a libmp3lame -b:a 128k \
    -ar 44100 -ac 2 "$work/last.mp3"
}
abcde() {
  rm -rf "$work/abcde" && mkdir -p "$work/abcde"
  command abcde -c "$work/abcde.conf" -d "$work/disc.flac" -j "$jobs" -N -n \
    -a read,encode,move,clean >"$work/abcde.log" 2>&1
}
names=(wav paranoia mp3 peers floor both two wavrg)
labels=([0]="tonvale-cli rip --format wav" [1]="cd-paranoia -B"
  [2]="tonvale-cli rip --format mp3 --jobs $jobs" [3]="cd-paranoia -B, then ffmpeg -P $jobs"
  [4]="ffmpeg -P $jobs on grabbed WAVs (floor)" [5]="tonvale-cli rip --format flac,mp3"
  [6]="tonvale-cli rip --format flac, then mp3" [7]="tonvale-cli rip --format wav (ReplayGain)")
if [[ "${ABCDE_FLAC:-}" == "1" ]] && command -v abcde flac lame eyeD3 >/dev/null; then
  # One FLAC file of the whole disc with the disc's cue sheet embedded; no network: the
  # disc lookup is pointed at a closed local port and fails at once.
  ffmpeg -nostdin -v error -y -f s16le -ar 44100 -ac 2 \
    -i <(for ((t = 1; t <= tracks; t++)); do tail -c +45 "$work/wav/Track$t.wav"; done) \
    "$work/disc.flac"
  metaflac --import-cuesheet-from="$cue" "$work/disc.flac"
  printf '%s\n' "OUTPUTDIR=\"$work/abcde\"" "WAVOUTPUTDIR=\"$work/abcde\"" OUTPUTTYPE=mp3 \
    'LAMEOPTS="-b 128"' INTERACTIVE=n CDDBMETHOD=cddb 'CDDBURL="http://127.0.0.1:9/"' \
    >"$work/abcde.conf"
  names+=(abcde)
  labels+=([8]="abcde -j $jobs (a FLAC copy as input)")
fi
export -f encode_all floor paranoia peers wav wavrg mp3 both two last_encode abcde
export work jobs bin cue tracks

# run NAME: times it into $work/NAME.time as "wall cpu kilobytes".
run() {
  /usr/bin/time -f '%e %U %S %M' -o "$work/$1.raw" bash -c "$1" || {
    tail -n 20 "$work/$1.log" >&2 2>/dev/null || true
    echo "$1 failed" >&2
    exit 1
  }
  read -r wall user sys kb <"$work/$1.raw"
  echo "$wall $(echo "$user + $sys" | bc -l) $kb" >"$work/$1.time"
}

declare -A best
for ((r = 1; r <= rounds; r++)); do
  for name in "${names[@]}"; do
    echo "== round $r: $name"
    run "$name"
    read -r wall cpu kb <"$work/$name.time"
    if [[ -z "${best[$name]:-}" ]] || (($(echo "$wall < ${best[$name]%% *}" | bc -l))); then
      best[$name]="$wall $cpu $kb"
    fi
  done
done
made=$(find "$work/out-mp3" -name '*.mp3' | wc -l)
[[ "$made" -eq "$tracks" ]] || { echo "the rip wrote $made of $tracks files" >&2; exit 1; }
made=$(find "$work/out-both" -name '*.mp3' -o -name '*.flac' | wc -l)
[[ "$made" -eq $((2 * tracks)) ]] || { echo "flac,mp3 wrote $made of $((2 * tracks)) files" >&2; exit 1; }
for ((t = 1; t <= tracks; t++)); do
  cmp -s <(tail -c +45 "$work/out-wav/$(printf %02d "$t").wav") \
    <(tail -c +45 "$work/par/track$(printf %02d "$t").cdda.wav") ||
    echo "warning: track $t differs between the WAV rip and cd-paranoia" >&2
done

declare -A throttled
for speed in $speeds; do
  echo "== speed ${speed}x: the WAV rip (the read alone), the MP3 rip, the last encode"
  TONVALE_VIRTUAL_SPEED=$speed run wav
  read -r read_s _ <"$work/wav.time"
  TONVALE_VIRTUAL_SPEED=$speed run mp3
  read -r rip_s _ <"$work/mp3.time"
  run last_encode
  read -r last_s _ <"$work/last_encode.time"
  throttled[$speed]="$rip_s $read_s $last_s"
done

audio=$(echo "$minutes * 60" | bc -l)
cores=$(nproc)
field() { local a; read -r -a a <<<"${best[$1]}"; echo "${a[$2]}"; }
ratio() { printf '%.3fx' "$(echo "$1 / $2" | bc -l)"; }
echo
printf '%-46s %8s %12s %8s %8s\n' "" "seconds" "x real time" "CPU s" "peak MB"
for i in "${!names[@]}"; do
  name=${names[$i]}
  printf '%-46s %8.2f %12.1f %8.2f %8.1f\n' "${labels[$i]}" "$(field "$name" 0)" \
    "$(echo "$audio / $(field "$name" 0)" | bc -l)" "$(field "$name" 1)" \
    "$(echo "$(field "$name" 2) / 1024" | bc -l)"
done
bound=$(echo "($(field wav 1) + $(field floor 1)) / $cores" | bc -l)
echo
printf '%-58s %-10s %s\n' "ratio" "measured" "goal"
printf '%-58s %-10s %s\n' "wav: rip / cd-paranoia -B, wall" "$(ratio "$(field wav 0)" "$(field paranoia 0)")" "<= 1.00x"
printf '%-58s %-10s %s\n' "wav: rip / cd-paranoia -B, peak memory" "$(ratio "$(field wav 2)" "$(field paranoia 2)")" "<= 1.50x"
printf '%-58s %-10s %s\n' "mp3: rip / serial peer pipeline, wall" "$(ratio "$(field mp3 0)" "$(field peers 0)")" "<= 1.00x"
printf '%-58s %-10s %s\n' "mp3: rip / CPU bound $(printf '%.2f' "$bound") s ((read + encode CPU) / $cores)" "$(ratio "$(field mp3 0)" "$bound")" "<= 1.05x"
printf '%-58s %-10s %s\n' "mp3: rip / floor, wall" "$(ratio "$(field mp3 0)" "$(field floor 0)")" "(for reference)"
printf '%-58s %-10s %s\n' "flac,mp3: one rip / two rips, wall" "$(ratio "$(field both 0)" "$(field two 0)")" "< 1.00x"
printf '%-58s %-10s %s\n' "wav: ReplayGain on / off, wall" "$(ratio "$(field wavrg 0)" "$(field wav 0)")" "(for reference)"
if [[ -n "${best[abcde]:-}" ]]; then
  printf '%-58s %-10s %s\n' "mp3: rip / abcde, wall" "$(ratio "$(field mp3 0)" "$(field abcde 0)")" "< 1"
fi
for speed in $speeds; do
  read -r rip_s read_s last_s <<<"${throttled[$speed]}"
  printf '%-58s %-10s %s\n' \
    "speed ${speed}x: rip $(printf '%.1f' "$rip_s") s / (read $(printf '%.1f' "$read_s") s + last encode $(printf '%.1f' "$last_s") s)" \
    "$(ratio "$rip_s" "$(echo "$read_s + $last_s" | bc -l)")" "<= 1.03x"
done
