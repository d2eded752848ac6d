#!/bin/bash
# The window's tests (win32_window_tests.exe) under Wine against board simulators (Linux
# programs) on pseudo-terminals, mapped as COM21 (a plain board), COM22 (it stops answering
# after three blocks), COM23 (bytes at the line's real speed) and COM24 (its line goes away
# after 40 blocks, as a pulled adapter), and one behind ser2net on the loopback (its URL in
# QUORVEL_NET_BENCH). Then stops the plain board and the networked one and checks that both hold
# exactly the built-in image.
# Usage: window-under-wine.sh TEST_EXE BOARDSIM MODEMLINES_SO FIRMWARE_HEX WORK_DIR [gtest args]
# (WINEPREFIX set; the Wine server's stderr is the caller's to redirect).
set -u
exe=$1 boardsim=$2 preload=$3 hex=$4 work=$5
shift 5
dosdevices=$WINEPREFIX/dosdevices
rm -rf "$work" && mkdir -p "$work" && echo 0 >"$work/modem"

# shellcheck source=tests/support/wine-boards.sh
source "$(dirname "$0")/../support/wine-boards.sh"
trap boards_off EXIT
board() { board_on "$1" --idle-timeout 120 "${@:2}"; }
# A Wine server left from programs run without a display (the flasher's runs) keeps a desktop
# on which no window can be made: start afresh on this display.
wineserver -k 2>/dev/null
# Not --exit-when-done: a board that hangs up after the update closes the port behind the
# test's back, and its "Fechar" would then press "Abrir" instead.
board COM21
board COM22 --silent-after 3
board COM23 --pace
board COM24 --hang-up-after 40
# Not --exit-when-done: its end would close the connection as the window reports the update.
sim_on NET --idle-timeout 120 --serial W00025
ser2net_on "$pts"
rm -f "$dosdevices/com29"

# The modem-line library keeps Wine's device wait from ending by itself on a pty.
LD_PRELOAD=$preload QUORVEL_MODEM_PTS=$ptys QUORVEL_MODEM_STATE=$work/modem \
    QUORVEL_NET_BENCH=rfc2217://127.0.0.1:$net_port timeout 300 wine "$exe" "$@"
status=$?
[[ $* == *gtest_filter* ]] && exit $status

# Once more with the screen at 150 %: the layout scales.
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null
wineserver -k
wine "$exe" --gtest_filter='*Scales*' || status=1
wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null
wineserver -k

# The plain board's flashed bytes from 0x800 on, against the image's source file.
expected=$(perl -ne 'if (/^:([0-9A-F]{2})([0-9A-F]{4})00([0-9A-F]*)/i && hex($2) >= 0x800) {
                         $b{hex $2} = pack("H*", substr($3, 0, 2 * hex $1)) }
                     END { print $b{$_} for sort { $a <=> $b } keys %b }' "$hex" |
    sha256sum | cut -d' ' -f1)
kill "${pids[0]}" "${pids[4]}" # they write their reports as they end
wait "${pids[0]}" "${pids[4]}"
for board in COM21 NET; do
    if ! grep -q "\"flashed_sha256\": \"$expected\"" "$work/$board.json"; then
        echo "FAIL: $board does not hold the built-in image: $(cat "$work/$board.json")"
        status=1
    fi
done
exit $status
