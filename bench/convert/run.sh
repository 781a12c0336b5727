#!/usr/bin/env bash
# Converts a 10-minute 44.1 kHz stereo WAV with `tonvale-cli convert` and with
# the ffmpeg program (same encoder and settings), side by side, and prints the
# CPU-time ratio (user + system) and the peak-memory ratio (max RSS) per format.
#
#   bench/convert/run.sh [BUILD_DIR] [RUNS]
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
wav="$work/in.wav"
# Music-like input: two tones with a slow tremolo plus some pink noise.
ffmpeg -v error -y -f lavfi -i "aevalsrc=0.3*sin(2*PI*440*t)*(0.6+0.4*sin(2*PI*0.5*t))|0.3*sin(2*PI*660*t)+0.1*sin(2*PI*97*t):s=44100:d=600" \
  -f lavfi -i "anoisesrc=c=pink:r=44100:a=0.05:d=600" \
  -filter_complex "[0][1]amix=inputs=2:normalize=0" -ac 2 -c:a pcm_s16le "$wav"

aac=aac
if ffmpeg -hide_banner -encoders 2>/dev/null | grep -q ' libfaac '; then aac=libfaac; fi

# measure OUT_VAR CMD...: best user+sys seconds and the max RSS (kB) over the runs
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

printf "%-5s %-11s %10s %10s %7s %10s %10s %7s\n" format encoder "cpu tv(s)" "cpu ff(s)" ratio "rss tv(MB)" "rss ff(MB)" ratio
status=0
for spec in "MP3 mp3 libmp3lame" "AAC aac $aac" "WMA wma wmav2" "OGG ogg libvorbis"; do
  read -r label ext enc <<<"$spec"
  vn=(-vn 1); [[ $ext == ogg ]] && vn=()
  extra=(); [[ $ext == wma ]] && extra=(-metadata comment=tonvale.example.org)
  read -r tv_cpu tv_rss < <(measure "$cli" convert --quiet "${vn[@]}" -i "$wav" \
    -acodec "$enc" -ab 128000 -ar 44100 -ac 2 -vn 1 -sn 1 "${extra[@]}" "$work/tv.$ext")
  ffextra=(); [[ $ext == wma ]] && ffextra=(-metadata comment=tonvale.example.org)
  read -r ff_cpu ff_rss < <(measure ffmpeg -nostdin -v error -y -i "$wav" -vn -sn \
    -c:a "$enc" -b:a 128k -ar 44100 -ac 2 "${ffextra[@]}" "$work/ff.$ext")
  cpu_ratio=$(echo "$tv_cpu / $ff_cpu" | bc -l)
  rss_ratio=$(echo "$tv_rss / $ff_rss" | bc -l)
  printf "%-5s %-11s %10.2f %10.2f %6.3fx %10.1f %10.1f %6.3fx\n" "$label" "$enc" "$tv_cpu" "$ff_cpu" \
    "$cpu_ratio" "$(echo "$tv_rss / 1024" | bc -l)" "$(echo "$ff_rss / 1024" | bc -l)" "$rss_ratio"
  if (($(echo "$cpu_ratio > 1.05 || $rss_ratio > 1.2" | bc -l))); then status=1; fi
done
exit $status
