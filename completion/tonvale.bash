# bash completion for tonvale-cli and tonvale: tonvale-cli's commands, their options,
# the values of --format, --preset and --drive, and file names; tonvale's options and
# drives. Installed once per program name (bash loads completions by command name).

# The options of each tonvale-cli command.
_tonvale_cli_options() {
    case $1 in
    libs) echo "--folder --json" ;;
    drives) echo "--json" ;;
    toc) echo "--drive --json" ;;
    grab) echo "--drive" ;;
    options) echo "--folder" ;;
    convert) echo "--threads --preview" ;; # and -i, given once per task
    probe) echo "--format --json" ;;
    rip) echo "--drive --tracks --format --preset --jobs --secure --offset --template" \
        "--accuraterip-db --overwrite --no-cover --no-replaygain --no-htoa --image --deemphasis" \
        "--offline --release --metadata --gnudb --json" ;;
    lookup) echo "--drive --offline --release --metadata --gnudb --json" ;;
    offset) echo "find --drive --accuraterip-db --json" ;;
    esac
}

# The drive indexes that `tonvale-cli drives` shows: the machine's drives, then one virtual
# drive per image in TONVALE_VIRTUAL_DRIVES. Counted, not asked: asking the drives may wait
# for a disc to spin up.
_tonvale_cli_drives() {
    local -i count=0 i
    local device
    for device in /dev/sr[0-9]*; do
        [[ -b $device ]] && count+=1
    done
    if [[ -n ${TONVALE_VIRTUAL_DRIVES-} ]]; then
        local -a images
        IFS=: read -r -a images <<<"$TONVALE_VIRTUAL_DRIVES"
        count+=${#images[@]}
    fi
    for ((i = 0; i < count; i++)); do
        echo "$i"
    done
}

# Words (one a line) that start with the word being completed.
_tonvale_words() {
    local word
    for word in $1; do
        [[ $word == "$2"* ]] && echo "$word"
    done
}

_tonvale_files() { # $1: -d for folders only
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen "${1:--f}" -- "$cur")
}

_tonvale_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    local -i at=COMP_CWORD
    ((at > 0)) && prev=${COMP_WORDS[at - 1]}
    # "--format=mp" arrives as "--format" "=" "mp" (= breaks words).
    if [[ $cur == = ]]; then
        cur="" prev=${COMP_WORDS[at - 1]}
    elif [[ $prev == = ]] && ((at > 1)); then
        prev=${COMP_WORDS[at - 2]}
    fi
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(_tonvale_words \
            "libs drives toc grab options convert probe rip lookup offset --help --version" "$cur")
        return
    fi
    local command=${COMP_WORDS[1]}
    local options
    options=$(_tonvale_cli_options "$command")
    [[ -n $options ]] || return
    case $prev in
    --drive)
        mapfile -t COMPREPLY < <(_tonvale_words "$(_tonvale_cli_drives)" "$cur")
        return ;;
    --format)
        # probe's --format takes a container name: nothing to offer.
        [[ $command == rip ]] &&
            mapfile -t COMPREPLY < <(_tonvale_words "wav mp3 aac wma ogg flac opus" "$cur")
        return ;;
    --preset)
        mapfile -t COMPREPLY < <(_tonvale_words "high optimal standard economy" "$cur")
        return ;;
    --folder)
        _tonvale_files -d
        return ;;
    --accuraterip-db | --metadata | -i)
        _tonvale_files
        return ;;
    --tracks | --jobs | --threads | --offset | --template | --release | --gnudb)
        return ;; # typed by the user
    esac
    if [[ $cur == -* ]]; then
        # An option given twice is bad usage: offer only those not given yet.
        local given=" ${COMP_WORDS[*]:2} " option left=""
        for option in $options; do
            [[ $given == *" $option "* || $given == *" $option="* ]] || left+=" $option"
        done
        [[ $command == convert ]] && left+=" -i"
        mapfile -t COMPREPLY < <(_tonvale_words "$left" "$cur")
        return
    fi
    _tonvale_files
}

_tonvale() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(_tonvale_words "--help --version" "$cur")
        return
    fi
    # A drive's device, a disc image or a disc's folder.
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(
        [[ -z $cur ]] && compgen -G "/dev/sr[0-9]*"
        compgen -f -- "$cur"
    )
}

complete -F _tonvale_cli tonvale-cli
complete -F _tonvale tonvale
