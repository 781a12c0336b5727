#!/usr/bin/env bash
# The man pages as man shows them: both render without a warning, and tonvale-cli(1)
# describes every option that `tonvale-cli --help` gives a command (the command list
# itself is made from --help, the descriptions are written by hand).
# Usage: test_man_pages.sh TONVALE_CLI PAGE.1.gz...
set -u
cli=$1
shift
failures=0
export LC_ALL=C.UTF-8 MANWIDTH=200
for page in "$@"; do
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
    if [[ -n $warnings ]]; then
        echo "FAIL: $page: $warnings"
        failures=$((failures + 1))
    fi
done

cli_page=$(printf '%s\n' "$@" | grep 'tonvale-cli\.1')
described=$(man -l "$cli_page" 2>/dev/null | col -b | sed -n '/^COMMAND OPTIONS/,/^[A-Z]/p')
help=$("$cli" --help) || { echo "FAIL: $cli --help"; exit 1; }
commands=$(sed -n '/^Commands:/,/^$/p' <<<"$help" | awk '/^  [a-z]/ {print $1}' | sort -u)
[[ -n $commands ]] || { echo "FAIL: no commands in --help"; exit 1; }
for command in $commands; do
    # The command's own part: from its heading to the next heading.
    part=$(awk -v c="$command" '/^   [a-z]/ {on = ($1 == c)} on' <<<"$described")
    [[ -n $part ]] || { echo "FAIL: no options described for $command"; failures=$((failures + 1)); }
    usage=$(grep -E "^  $command( |$)" <<<"$help")
    for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$usage" | sort -u); do
        grep -qE -- "^       .*$option( |,|$)" <<<"$part" ||
            { echo "FAIL: $command $option is not described"; failures=$((failures + 1)); }
    done
done

echo "man pages: $failures failures"
((failures == 0))
