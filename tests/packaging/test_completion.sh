#!/usr/bin/env bash
# tonvale-cli's bash completion, called as bash calls it (COMP_WORDS, COMP_CWORD, then
# COMPREPLY read back), and held against the program: every command and every option that
# `tonvale-cli --help` shows must be completed.
# Usage: test_completion.sh COMPLETION_FILE TONVALE_CLI
set -u
completion=$1 cli=$2
# shellcheck source=/dev/null
source "$completion"
failures=0

# What completing the last word of "tonvale-cli WORDS..." offers, sorted, on one line.
offered() {
    COMP_WORDS=(tonvale-cli "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _tonvale_cli 2>/dev/null # compopt works only inside a completion
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}
expect() { # WANT WORDS...
    local want=$1 got
    shift
    got=$(offered "$@")
    if [[ $got != "$want" ]]; then
        echo "FAIL: tonvale-cli $* -> '$got', want '$want'"
        failures=$((failures + 1))
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/out dir" && touch "$work/track two.wav" "$work/disc.json"
real=0
for device in /dev/sr[0-9]*; do [[ -b $device ]] && real=$((real + 1)); done
drives=$(seq 0 $((real + 2)) | paste -sd' ')

export TONVALE_VIRTUAL_DRIVES="$work/a.cue:$work/b.cue:$work/missing.cue"
expect "--help --version convert drives grab libs lookup offset options probe rip toc" ""
expect "rip" r
expect "aac flac mp3 ogg opus wav wma" rip --format ""
expect "ogg opus" rip --format = o
expect "" probe x.wav --format ""
expect "economy" rip --preset e
expect "$drives" rip --drive ""
expect "--drive --json" toc --
expect "--drive" toc --json --d
expect "--threads" convert --preview --t
expect "--threads -i" convert --preview -i a.wav b.mp3 -
expect "" rip --template ""
expect "$work/track two.wav" grab 2 "$work/tr"
expect "$work/disc.json" lookup --metadata "$work/d"
expect "$work/out dir" libs --folder "$work/"
expect "" frobnicate --

# Every command and option of --help is completed.
help=$("$cli" --help) || { echo "FAIL: $cli --help"; exit 1; }
commands=$(sed -n '/^Commands:/,/^$/p' <<<"$help" | awk '/^  [a-z]/ {print $1}' | sort -u)
[[ -n $commands ]] || { echo "FAIL: no commands in --help"; exit 1; }
for command in $commands; do
    [[ $(offered "${command:0:3}") == *"$command"* ]] ||
        { echo "FAIL: command $command not completed"; failures=$((failures + 1)); }
    usage=$(grep -E "^  $command( |$)" <<<"$help")
    for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$usage" | sort -u); do
        [[ " $(offered "$command" --) " == *" $option "* ]] ||
            { echo "FAIL: $command $option not completed"; failures=$((failures + 1)); }
    done
done

echo "completion: $failures failures"
((failures == 0))
