#!/usr/bin/env bash
# Converts one minute of 640x480 test video (25 frames per second) to MPEG-4
# Part 2 and to H.264 with `tonvale-cli convert` and with the ffmpeg program at
# the same settings (same encoder, bit rate, one thread each), side by side, and
# prints the CPU-time ratio (user + system) and the peak-memory ratio (max RSS).
#
#   bench/video/run.sh [BUILD_DIR] [RUNS]
# BUILD_DIR defaults to ./build; RUNS (default 3) runs per tool, best taken.
# Targets: CPU at most 1.05x, peak memory at most 1.2x of the ffmpeg program.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
runs=${2:-3}
cli="$build/bin/tonvale-cli"
[[ -x "$cli" ]] || { echo "no $cli: build first (scripts/build.sh $build)" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "the ffmpeg program is needed (Debian package ffmpeg)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is needed (Debian package time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
input="$work/in.avi"
# A moving test picture, stored at high quality so that decoding it costs little.
ffmpeg -v error -y -f lavfi -i "testsrc2=size=640x480:rate=25:duration=60" \
  -c:v mpeg4 -q:v 2 -an "$input"

# measure CMD...: best user+sys seconds and the lowest max RSS (kB) over the runs
measure() {
  local best_cpu="" best_rss=""
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
      cat "$work/err" >&2; return 1; }
    read -r u s m <"$work/time"
    cpu=$(echo "$u + $s" | bc -l)
    if [[ -z "$best_cpu" ]] || (($(echo "$cpu < $best_cpu" | bc -l))); then best_cpu=$cpu; fi
    if [[ -z "$best_rss" ]] || ((m < best_rss)); then best_rss=$m; fi
  done
  echo "$best_cpu $best_rss"
}

printf "%-8s %-8s %10s %10s %7s %10s %10s %7s\n" format encoder "cpu tv(s)" "cpu ff(s)" ratio \
  "rss tv(MB)" "rss ff(MB)" ratio
encoders=$(ffmpeg -hide_banner -encoders 2>/dev/null)
status=0
for spec in "MPEG-4 mpeg4 avi" "H.264 libx264 mp4"; do
  read -r label enc ext <<<"$spec"
  if ! grep -q " $enc " <<<"$encoders"; then
    printf "%-8s %-8s (encoder not available)\n" "$label" "$enc"
    continue
  fi
  # The engine decodes and encodes with one thread; so does the reference here.
  read -r tv_cpu tv_rss < <(measure "$cli" convert --quiet -i "$input" \
    -vcodec "$enc" -b 1000000 -g 250 -an 1 "$work/tv.$ext")
  read -r ff_cpu ff_rss < <(measure ffmpeg -nostdin -v error -y -threads 1 -i "$input" -an \
    -threads 1 -filter_threads 1 -c:v "$enc" -b:v 1000000 -g 250 "$work/ff.$ext")
  cpu_ratio=$(echo "$tv_cpu / $ff_cpu" | bc -l)
  rss_ratio=$(echo "$tv_rss / $ff_rss" | bc -l)
  printf "%-8s %-8s %10.2f %10.2f %6.3fx %10.1f %10.1f %6.3fx\n" "$label" "$enc" "$tv_cpu" \
    "$ff_cpu" "$cpu_ratio" "$(echo "$tv_rss / 1024" | bc -l)" "$(echo "$ff_rss / 1024" | bc -l)" \
    "$rss_ratio"
  if (($(echo "$cpu_ratio > 1.05 || $rss_ratio > 1.2" | bc -l))); then status=1; fi
done
exit $status
