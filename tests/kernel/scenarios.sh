#!/bin/bash
# In the guest, chrooted into the host's root: the build's programs on the real drivers.
# "@@ verb ..." lines go to the harness (tests/kernel/run.py), which answers those that wait
# for something on its side with "@@ok".
bin=$QBUILD/bin
work=$(mktemp -d) && cd "$work" || exit 1
export HOME=$work LANG=C.UTF-8

ask() { # sets $answer to what follows "@@ok"
    echo "@@ $*"
    read -r answer && [[ $answer == @@ok* ]] && answer=${answer#@@ok }
}
pass() { echo "@@ pass $*"; }
fail() { echo "@@ fail $*"; }
check() { # name, then the command
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
gtest() { # name, then a test program of the build and its arguments; the harness counts its runs
    local name=$1 program=$2 out=$work/${2##*/}.out status
    shift 2
    "$program" "$@" | tee "$out"
    status=${PIPESTATUS[0]}
    echo "@@ ran ${program##*/} $(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$out")"
    [[ $status == 0 ]] && pass "$name" || fail "$name"
}

usb_port() {
    local tty
    for tty in /sys/bus/usb-serial/devices/*; do
        [[ -e $tty ]] && echo "${tty##*/}" && return
    done
}

adapter_present() { [[ -n $(usb_port) ]]; }

wait_for() { # seconds, then the condition
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        ((--tries > 0)) || return 1
        sleep 0.1
    done
}

# One whole update on a port; the harness times it from its side and checks the board.
update() { # board name, port
    local board=$1 port=$2 status
    echo "@@ begin $port"
    "$bin/quorvel-flash" --log "$work/$board.jsonl" "/dev/$port" >"$work/$board.out" 2>&1
    status=$?
    echo "@@ time $port"
    check "update through $port exits 0 with one completed record" \
        test "$status" = 0 -a "$(grep -c '"result":"completed"' "$work/$board.jsonl")" = 1
    [[ $status == 0 ]] || cat "$work/$board.out"
    ask done "$board" "$port"
}

echo "@@ note in the host's root at $(cut -d' ' -f1 /proc/uptime) s since boot"
echo "@@ list at start: $("$bin/quorvel-flash" --list --json | tr -d '\n')"

# Port facts, the latency timer, the modem lines: the component's own test program.
gtest "the component on the real drivers (kernel_tests)" "$bin/kernel_tests"

# The adapter pulled out under a paced update (its board is the one plugged in last).
port=$(usb_port)
"$bin/quorvel-flash" --log $work/unplug.jsonl "/dev/$port" >"$work/unplug.out" 2>&1 &
flash=$!
start=$(date +%s%N)
if ! wait_for 60 grep -q ': updating' $work/unplug.out; then
    fail "quorvel-flash did not start updating: $(cat $work/unplug.out)"
else
    sleep 2
    check "the adapter unplugged from the monitor" ask unplug
    start=$(date +%s%N)
    wait_for 10 test ! -e "/proc/$flash" ||
        fail "quorvel-flash still runs 10 s after the unplug (CPU $(cut -d' ' -f14,15 "/proc/$flash/stat") ticks)"
fi
wait $flash
status=$?
echo "@@ note quorvel-flash ended $(((($(date +%s%N) - start) / 1000000))) ms after the unplug, status $status: $(tail -n 1 $work/unplug.out)"
check "unplugged: quorvel-flash fails with status 2" test "$status" = 2
check "unplugged: one record, port error" test "$(grep -c '"result":"port-error"' $work/unplug.jsonl)" = 1
check "unplugged: the port's result line says to reconnect" \
    grep -qi "^/dev/$port: port error.*disconnected.*reconnect it" $work/unplug.out
check "unplugged: the node is gone" test ! -e "/dev/$port"
echo "@@ list after the unplug: $("$bin/quorvel-flash" --list --json | tr -d '\n')"

# Plugged back in, with a board behind it: listed again, and a whole update completes.
ask plug
board=$answer
check "the adapter is back" wait_for 10 adapter_present
port=$(usb_port)
echo "@@ list after the plug: $("$bin/quorvel-flash" --list --json | tr -d '\n')"
update "$board" "$port"
update uart ttyS1

# The component's behaviour tests in the guest's tty layer.
gtest "serial_tests in the guest" "$bin/serial_tests" --gtest_brief=1
