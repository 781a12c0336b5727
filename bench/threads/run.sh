#!/usr/bin/env bash
# Conversion runs on one and on two threads: ten generated 3-minute WAV files
# converted to MP3 128k through the conversion component, side by side, with
# the speed-up. Uses `tonvale-cli convert --threads N` when the CLI has it, and
# otherwise a small program (bench_threads.cpp) that drives the component the
# way the application does.
#
#   bench/threads/run.sh [BUILD_DIR]      (default: <repo>/build)
# Environment: FILES (10), SECONDS_EACH (180), WORK (a temporary folder).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
files=${FILES:-10}
seconds=${SECONDS_EACH:-180}
work=${WORK:-$(mktemp -d /tmp/tonvale-bench.XXXXXX)}
keep=${WORK:+1}
cleanup() { [[ -n "${keep:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target media tonvale-cli >/dev/null

# The bench program links the media library of that build.
bench="$build/bin/bench_threads"
if [[ ! -x "$bench" || "$here/bench_threads.cpp" -nt "$bench" || "$build/Src/libmedia.a" -nt "$bench" ]]; then
  # shellcheck disable=SC2046
  g++ -std=c++20 -O2 -fPIC -o "$bench" "$here/bench_threads.cpp" -I"$top/Src" \
    $(pkg-config --cflags Qt6Core Qt6Gui) "$build/Src/libmedia.a" \
    $(pkg-config --libs Qt6Core Qt6Gui) -ldl -lpthread
fi

echo "== generating $files WAV files of $seconds s in $work"
"$bench" generate "$work/in" "$files" "$seconds"
wavs=("$work"/in/in*.wav)

cli="$build/bin/tonvale-cli"
use_cli=0
if "$cli" --help 2>/dev/null | grep -q -- '--threads'; then
  use_cli=1
fi

run() { # THREADS -> prints seconds
  local n=$1 out="$work/out$1"
  rm -rf "$out"
  mkdir -p "$out"
  if [[ $use_cli == 1 ]]; then
    local args=() w
    for w in "${wavs[@]}"; do
      args+=(-i "$w" -acodec libmp3lame -ab 128000 -ar 44100 -ac 2 "$out/$(basename "${w%.wav}").mp3")
    done
    local start end
    start=$(date +%s.%N)
    "$cli" convert --quiet --threads "$n" "${args[@]}" >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
  else
    "$bench" convert "$n" "$out" "${wavs[@]}" | sed -n 's/.*seconds=//p'
  fi
}

via=$([[ $use_cli == 1 ]] && echo "tonvale-cli convert --threads N" || echo "bench_threads (component, StartConvert(N))")
echo "== converting with $via on $(nproc) cores"
t1=$(run 1)
t2=$(run 2)
audio=$(echo "$files * $seconds" | bc -l)
printf '%-10s %12s %16s\n' "threads" "seconds" "x real time"
printf '%-10s %12.2f %16.1f\n' 1 "$t1" "$(echo "$audio / $t1" | bc -l)"
printf '%-10s %12.2f %16.1f\n' 2 "$t2" "$(echo "$audio / $t2" | bc -l)"
printf 'speed-up (1 -> 2 threads): %.2fx\n' "$(echo "$t1 / $t2" | bc -l)"
