#!/usr/bin/env bash
# Grab benchmark: every track of a generated 45-minute audio CD image, grabbed one track
# per call with `tonvale-cli grab TRACK` (virtual drive) and read one track per call with
# cd-paranoia in its default paranoia mode (full paranoia, bounded retries: the mode the
# drive library uses), side by side. Prints the x-realtime of both, the ratio of the
# one-track calls' times and the peak memory of each, and checks that both produce the same
# WAV bytes. Tonvale's time includes making each file durable (fsync before the rename,
# then the folder's), which cd-paranoia does not do: on a disk with slow flushes that alone
# is tens of milliseconds a call (see it with strace -T -e trace=fsync,rename).
#
#   bench/grab/run.sh [--build DIR] [--minutes M] [--tracks N] [--rounds R] [--work DIR]
#
# Goals: a one-track grab <= 1.00x of cd-paranoia's one-track read; peak memory < 50 MB.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${TONVALE_BUILD:-$here/../../build}
minutes=45
tracks=10
rounds=2
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --tracks) tracks=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

demodisc=$build/bin/tonvale-demodisc
cli=$build/bin/tonvale-cli
for tool in "$demodisc" /usr/bin/time; do
  [ -x "$tool" ] || { echo "missing $tool" >&2; exit 2; }
done
command -v cd-paranoia >/dev/null || { echo "missing cd-paranoia (Debian package cd-paranoia)" >&2; exit 2; }
have_cli=1
[ -x "$cli" ] || { echo "note: $cli not built: only cd-paranoia's half runs" >&2; have_cli=0; }

if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/tonvale-grab-bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/ours" "$work/ref"

echo "generating a ${minutes}-minute image with $tracks tracks ..."
cue=$("$demodisc" --minutes "$minutes" --tracks "$tracks" "$work")
cat "${cue%.cue}.bin" > /dev/null # both readers start from the page cache

now() { date +%s.%N; }
# peak RSS in KB from a /usr/bin/time -v log
peak() { awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$1"; }

# run_all NAME DIR COMMAND...: grabs every track (TRACK and OUT are substituted); prints
# "seconds peak_kb".
run_all() {
  local name=$1 dir=$2; shift 2
  local start end max=0 kb t
  start=$(now)
  for t in $(seq 1 "$tracks"); do
    local out="$dir/track$t.wav" args=()
    for a in "$@"; do a=${a//TRACK/$t}; args+=("${a//OUT/$out}"); done
    if ! /usr/bin/time -v -o "$dir/time.log" "${args[@]}" > "$dir/run.log" 2>&1; then
      echo "$name failed on track $t:" >&2; tail -5 "$dir/run.log" >&2; exit 1
    fi
    kb=$(peak "$dir/time.log"); [ "$kb" -gt "$max" ] && max=$kb
  done
  end=$(now)
  echo "$(echo "$end - $start" | bc -l) $max"
}

best_ours=""; best_ref=""; mem_ours=0; mem_ref=0
for r in $(seq 1 "$rounds"); do
  if [ $have_cli = 1 ]; then
    read -r s kb < <(TONVALE_VIRTUAL_DRIVES="$cue" run_all tonvale-cli "$work/ours" "$cli" grab TRACK OUT)
    [ -z "$best_ours" ] || [ "$(echo "$s < $best_ours" | bc -l)" = 1 ] && best_ours=$s
    [ "$kb" -gt "$mem_ours" ] && mem_ours=$kb
  fi
  read -r s kb < <(run_all cd-paranoia "$work/ref" cd-paranoia -d "$cue" TRACK OUT)
  [ -z "$best_ref" ] || [ "$(echo "$s < $best_ref" | bc -l)" = 1 ] && best_ref=$s
  [ "$kb" -gt "$mem_ref" ] && mem_ref=$kb
done

audio_seconds=$(echo "$minutes * 60" | bc -l)
printf '\naudio: %.0f s in %d tracks, best of %d rounds\n' "$audio_seconds" "$tracks" "$rounds"
printf '%-14s %10s %12s %12s\n' reader "seconds" "x-realtime" "peak MB"
printf '%-14s %10.2f %12.1f %12.1f\n' cd-paranoia "$best_ref" \
  "$(echo "$audio_seconds / $best_ref" | bc -l)" "$(echo "$mem_ref / 1024" | bc -l)"
if [ $have_cli = 1 ]; then
  printf '%-14s %10.2f %12.1f %12.1f\n' tonvale-cli "$best_ours" \
    "$(echo "$audio_seconds / $best_ours" | bc -l)" "$(echo "$mem_ours / 1024" | bc -l)"
  ratio=$(echo "$best_ours / $best_ref" | bc -l)
  printf '\nratio (one-track grab / cd-paranoia one-track read, wall): %.3fx (goal <= 1.00x)\n' "$ratio"
  printf 'peak memory of tonvale-cli: %.1f MB (target < 50)\n' "$(echo "$mem_ours / 1024" | bc -l)"
  same=1
  for t in $(seq 1 "$tracks"); do
    cmp -s "$work/ours/track$t.wav" "$work/ref/track$t.wav" || { same=0; echo "track $t: WAV files differ"; }
  done
  [ $same = 1 ] && echo "WAV files of both readers are identical"
fi
