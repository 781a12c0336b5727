#!/usr/bin/env bash
# Start-up and small-job cost of tonvale-cli against cd-paranoia, side by side:
#   version  `tonvale-cli --version`                  vs `cd-paranoia --version`
#   toc      `tonvale-cli toc` of a one-track image     vs `cd-paranoia -d IMAGE -Q`
#   grab     `tonvale-cli grab 1` of a 1-second track   vs `cd-paranoia -d IMAGE 1 OUT`
#   grab5min the same on a 5-minute track (its peak memory is the memory goal)
# Each command runs ROUNDS times; the script prints the mean wall and CPU time per call,
# the largest peak memory, and our/their ratios.
#
#   bench/startup/run.sh [BUILD_DIR]      (default: <repo>/build)
# Environment: ROUNDS (20), WORK (a temporary folder, kept when given).
# Goals: start-up (version) within 4x of cd-paranoia's wall time; peak memory of the
# 5-minute grab within 1.4x of cd-paranoia's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
rounds=${ROUNDS:-20}
work=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/tonvale-startup.XXXXXX")}
keep=${WORK:+1}
cleanup() { [[ -n "${keep:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT

command -v cd-paranoia >/dev/null || { echo "missing cd-paranoia (Debian package cd-paranoia)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (Debian package time)" >&2; exit 2; }
if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tonvale-cli tonvale-demodisc >/dev/null
cli="$build/bin/tonvale-cli"

# A one-track disc of one second, and one of a five-minute track for the memory of a grab.
mkdir -p "$work/short" "$work/long"
cue=$("$build/bin/tonvale-demodisc" --minutes 0.0167 --tracks 1 "$work/short")
longcue=$("$build/bin/tonvale-demodisc" --minutes 5 --tracks 1 "$work/long")
cat "${cue%.cue}.bin" "${longcue%.cue}.bin" >/dev/null

# measure COMMAND...: runs it ROUNDS times; prints "wall_ms cpu_ms peak_kb": the mean wall
# and CPU time per call (the whole loop timed at once, so that short calls are measured
# finely) and the largest peak memory of one call. OUT in the command is replaced by an
# output file.
measure() {
  local args=() a start end e u s m
  for a in "$@"; do args+=("${a//OUT/$work/out.wav}"); done
  "${args[@]}" >"$work/run.log" 2>&1 || { echo "failed: $*" >&2; tail -5 "$work/run.log" >&2; exit 1; }
  /usr/bin/time -f "%M" -o "$work/peak.log" "${args[@]}" >/dev/null 2>&1
  m=$(tail -1 "$work/peak.log")
  start=$(date +%s.%N)
  /usr/bin/time -f "%U %S" -o "$work/cpu.log" bash -c \
    'for ((i = 0; i < $0; i++)); do "$@" >/dev/null 2>&1 || exit 1; done' "$rounds" "${args[@]}"
  end=$(date +%s.%N)
  read -r u s <"$work/cpu.log"
  rm -f "$work/out.wav"
  printf "%.2f %.2f %d\n" "$(echo "($end - $start) * 1000 / $rounds" | bc -l)" \
    "$(echo "($u + $s) * 1000 / $rounds" | bc -l)" "$m"
}

ratio() { printf "%.2f" "$(echo "$1 / ($2 + 0.0001)" | bc -l)"; }

printf "%-8s | %-26s | %-26s | %s\n" "job" "tonvale-cli wall/cpu/peak" "cd-paranoia wall/cpu/peak" \
  "ratios wall cpu peak"
declare -A ours theirs
run_pair() {
  local job=$1
  shift
  local split
  for ((split = 1; split <= $#; split++)); do [[ "${!split}" == "--" ]] && break; done
  local a=("${@:1:split-1}") b=("${@:split+1}")
  read -r ow oc op < <(TONVALE_VIRTUAL_DRIVES="$cue" measure "${a[@]}")
  read -r tw tc tp < <(measure "${b[@]}")
  ours[$job]="$ow $oc $op"
  theirs[$job]="$tw $tc $tp"
  printf "%-8s | %7s ms %7s ms %6s KB | %7s ms %7s ms %6s KB | %s %s %s\n" "$job" "$ow" "$oc" \
    "$op" "$tw" "$tc" "$tp" "$(ratio "$ow" "$tw")" "$(ratio "$oc" "$tc")" "$(ratio "$op" "$tp")"
}

run_pair version "$cli" --version -- cd-paranoia --version
run_pair toc "$cli" toc -- cd-paranoia -d "$cue" -Q
run_pair grab "$cli" grab 1 OUT -- cd-paranoia -q -d "$cue" 1 OUT
cue=$longcue rounds=2 run_pair grab5min "$cli" grab 1 OUT -- cd-paranoia -q -d "$longcue" 1 OUT

read -r ow _ _ <<<"${ours[version]}"
read -r tw _ _ <<<"${theirs[version]}"
read -r _ _ op <<<"${ours[grab5min]}"
read -r _ _ tp <<<"${theirs[grab5min]}"
start_ratio=$(ratio "$ow" "$tw")
mem_ratio=$(ratio "$op" "$tp")
ok() { [[ $(echo "$1 <= $2" | bc -l) == 1 ]] && echo "met" || echo "NOT met"; }
echo "goal: start-up within 4x of cd-paranoia's: ${start_ratio}x ($(ok "$start_ratio" 4))"
echo "goal: grab peak memory (5-minute track) within 1.4x of cd-paranoia's: ${mem_ratio}x ($(ok "$mem_ratio" 1.4))"
