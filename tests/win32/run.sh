#!/bin/bash
# The Windows build's tests under Wine (make test-windows): every test program registered for
# Wine (registered-tests.txt), the flasher against board simulators, and the window on a
# virtual display (Xvfb). The simulators and the pseudo-terminal helpers are Linux programs.
# The Wine server's own output (it can be thousands of lines) goes to WIN_BUILD/wine.log, shown
# only when a run fails. Ends with the counts: programs registered and run, tests listed and run.
# Usage: run.sh WIN_BUILD NATIVE_BUILD REGISTRY_ORDER
# (WINEPREFIX set up with ports mapped through the registry, REGISTRY_ORDER those ports in the
# order the port list shows them; WIN_BUILD/host/ holds quorvel-ptybridge and
# libquorvel-modemlines.so.)
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
native=$(cd "$2" && pwd)
registry_order=$3
cd "$1" || exit 1
jobs=${JOBS:-2}
cmake --build . -j "$jobs" || exit 1
cmake --build "$native" -j "$jobs" --target quorvel-boardsim || exit 1

mkdir -p state && : >wine.log
boardsim=$native/bin/quorvel-boardsim
modemlines=$PWD/host/libquorvel-modemlines.so
firmware=$src/resources/firmware.hex
failed=""
declare -A ran # test program -> how many of its tests its first run ran

summary() { # gtest's output file: the count of its first "[==========] N tests from ... ran."
    sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$1" | head -n 1
}

counted() { # test program, then the command that runs it; records how many of its tests ran
    local program=$1 out=$PWD/state/$1.out status
    shift
    "$@" >"$out" 2>>wine.log
    status=$?
    cat "$out"
    ran[$program]=$(summary "$out")
    [[ $status == 0 ]] || failed="$failed $program"
}

counted framework_tests timeout 300 wine bin/framework_tests.exe

counted win32_serial_tests env -u LANG -u LC_ALL -u LC_MESSAGES QUORVEL_STATE_DIR=$PWD/state \
    QUORVEL_EXPECTED_PORTS=$registry_order timeout 300 host/quorvel-ptybridge "$PWD/state" "$modemlines" wine bin/win32_serial_tests.exe
echo "== again without modem lines: Wine's device wait then keeps ending by itself"
QUORVEL_STATE_DIR=$PWD/state timeout 300 host/quorvel-ptybridge "$PWD/state" - \
    wine bin/win32_serial_tests.exe --gtest_filter='Win32Port.*:-*ModemLine*:*OpenAndClose*' \
    2>>wine.log || failed="$failed win32_serial_tests(no-modem-lines)"

timeout 300 "$src/tests/win32/flash-under-wine.sh" bin/quorvel-flash.exe "$boardsim" \
    "$modemlines" "$firmware" "$PWD/flash-run" 2>>wine.log || failed="$failed quorvel-flash.exe"

start=$(date +%s)
counted win32_window_tests xvfb-run -a timeout 400 "$src/tests/win32/window-under-wine.sh" \
    bin/win32_window_tests.exe "$boardsim" "$modemlines" "$firmware" "$PWD/window-run"
echo "== the window under Wine: $(($(date +%s) - start)) s"

# What each registered program lists, against what its run ran. The window's program makes its
# application before gtest lists, so it lists on a display too.
registered=$(awk '$1 == "wine" { print $2 }' registered-tests.txt)
programs=0 listed_total=0 ran_total=0 runs=0
for program in $registered; do
    programs=$((programs + 1))
    listed=$(xvfb-run -a wine "bin/$program.exe" --gtest_list_tests 2>>wine.log | grep -c '^  ')
    listed_total=$((listed_total + listed))
    if [[ -z ${ran[$program]:-} ]]; then
        echo "== windows: $program is registered but did not run (tests/win32/run.sh runs it?)"
        failed="$failed $program(not-run)"
        continue
    fi
    runs=$((runs + 1)) ran_total=$((ran_total + ${ran[$program]}))
    if [[ ${ran[$program]} != "$listed" ]]; then
        echo "== windows: $program lists $listed tests but ran ${ran[$program]}"
        failed="$failed $program(count)"
    fi
done
wineserver -k 2>/dev/null

echo "== windows: $programs test programs registered, $runs run; $listed_total tests listed," \
    "$ran_total run"
if [[ -n $failed ]]; then
    tail -n 40 wine.log
    echo "== Windows tests FAILED:$failed"
    exit 1
fi
echo "== Windows tests passed"
