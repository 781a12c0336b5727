#!/usr/bin/env bash
# Conversion runs on one and on two threads: ten generated WAV files of unequal
# length, in disc order (an album's tracks: 3:10 4:45 2:30 5:50 3:40 7:20 2:55
# 4:10 3:25 6:05, 43 minutes in all), converted to MP3 128k through the
# conversion component (`tonvale-cli convert --threads N`, one task per file),
# side by side, with the speed-up.
#
#   bench/threads/run.sh [BUILD_DIR]      (default: <repo>/build)
# Environment: FILES (10, at most 10), SCALE (1.0: multiplies every length),
# WORK (a temporary folder).
# Target on a 2-core machine: a speed-up of at least 1.9x.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
files=${FILES:-10}
scale=${SCALE:-1.0}
lengths=(190 285 150 350 220 440 175 250 205 365)
work=${WORK:-$(mktemp -d /tmp/tonvale-bench.XXXXXX)}
keep=${WORK:+1}
cleanup() { [[ -n "${keep:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tonvale-cli >/dev/null
cli="$build/bin/tonvale-cli"

echo "== generating $files WAV files of unequal length in $work"
mkdir -p "$work/in"
wavs=()
total=0
for ((i = 0; i < files; i++)); do
  seconds=$(echo "${lengths[i]} * $scale" | bc -l)
  total=$(echo "$total + $seconds" | bc -l)
  wav="$work/in/in$i.wav"
  # A different chord per file, with a little noise, so no two inputs are alike.
  ffmpeg -v error -y -f lavfi \
    -i "aevalsrc=0.3*sin(2*PI*(220+20*$i)*t)|0.3*sin(2*PI*(330+30*$i)*t):s=44100:d=$seconds" \
    -f lavfi -i "anoisesrc=c=pink:r=44100:a=0.03:d=$seconds" \
    -filter_complex "[0][1]amix=inputs=2:normalize=0" -ac 2 -c:a pcm_s16le "$wav"
  wavs+=("$wav")
done

run() { # THREADS -> prints seconds
  local n=$1 out="$work/out$1" args=() w start end
  rm -rf "$out"
  mkdir -p "$out"
  for w in "${wavs[@]}"; do
    args+=(-vn 1 -i "$w" -acodec libmp3lame -ab 128000 -ar 44100 -ac 2 "$out/$(basename "${w%.wav}").mp3")
  done
  start=$(date +%s.%N)
  "$cli" convert --quiet --threads "$n" "${args[@]}" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

echo "== converting with tonvale-cli convert --threads N on $(nproc) cores"
t1=$(run 1)
t2=$(run 2)
audio=$total
printf '%-10s %12s %16s\n' "threads" "seconds" "x real time"
printf '%-10s %12.2f %16.1f\n' 1 "$t1" "$(echo "$audio / $t1" | bc -l)"
printf '%-10s %12.2f %16.1f\n' 2 "$t2" "$(echo "$audio / $t2" | bc -l)"
speedup=$(echo "$t1 / $t2" | bc -l)
printf 'speed-up (1 -> 2 threads): %.2fx (goal >= 1.9x: %s)\n' "$speedup" \
  "$([[ $(echo "$speedup >= 1.9" | bc -l) == 1 ]] && echo met || echo "NOT met")"
