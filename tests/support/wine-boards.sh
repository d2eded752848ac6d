# For the scripts that run Windows programs under Wine against board simulators, on COM ports or
# behind ser2net: sourced after setting $boardsim, $work and $dosdevices.
pids=() links=() ptys=""

# Starts a simulator (its options after the name) that reports to $work/$1.json; its
# pseudo-terminal in $pts.
sim_on() {
    local out=$work/$1.out report=$work/$1.json
    shift
    "$boardsim" --report "$report" "$@" >"$out" 2>&1 &
    pids+=($!)
    pts=""
    for _ in $(seq 100); do
        pts=$(head -n 1 "$out")
        [[ $pts == /dev/pts/* ]] && break
        sleep 0.05
    done
}

# Starts a simulator (its options after the port) for the Windows port $1 and maps the port to
# its pseudo-terminal with a link in the prefix's dosdevices.
board_on() {
    local com=$1 pts
    sim_on "$@"
    ln -sfn "$pts" "$dosdevices/${com,,}"
    links+=("$dosdevices/${com,,}")
    ptys+=${ptys:+:}$pts
}

# A TCP port on 127.0.0.1 nobody listens on at the moment of asking.
free_tcp_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# ser2net speaking RFC 2217 on a free port of 127.0.0.1 (in $net_port) in front of the device $1,
# once it takes connections.
ser2net_on() {
    net_port=$(free_tcp_port)
    local config=$work/ser2net-$net_port.yaml
    printf 'connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n' "$net_port" >"$config"
    printf '  connector: serialdev,%s,9600n81,local\n' "$1" >>"$config"
    ser2net -n -u -c "$config" -P "$config.pid" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 400); do
        (: <"/dev/tcp/127.0.0.1/$net_port") 2>/dev/null && return
        sleep 0.05
    done
}

# Removes the links and stops the simulators.
boards_off() {
    rm -f "${links[@]}"
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    pids=() links=() ptys=""
}
