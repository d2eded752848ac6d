# For the scripts that run Windows programs under Wine against board simulators: sourced after
# setting $boardsim, $work and $dosdevices.
pids=() links=() ptys=""

# Starts a simulator (its options after the port) for the Windows port $1 and maps the port to
# its pseudo-terminal with a link in the prefix's dosdevices.
board_on() {
    local com=$1 out=$work/$1.out pts=""
    shift
    "$boardsim" --report "$work/$com.json" "$@" >"$out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        pts=$(head -n 1 "$out")
        [[ $pts == /dev/pts/* ]] && break
        sleep 0.05
    done
    ln -sfn "$pts" "$dosdevices/${com,,}"
    links+=("$dosdevices/${com,,}")
    ptys+=${ptys:+:}$pts
}

# Removes the links and stops the simulators.
boards_off() {
    rm -f "${links[@]}"
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    pids=() links=() ptys=""
}
