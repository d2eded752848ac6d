#!/bin/bash
# quorvel-flash.exe under Wine against board simulators (Linux programs) on pseudo-terminals,
# each mapped as a COM port by a link in the prefix's dosdevices. Checks the exit status, each
# board's flashed image against the built-in one and the service log, per case of the table.
# Usage: flash-under-wine.sh FLASH_EXE BOARDSIM MODEMLINES_SO FIRMWARE_HEX WORK_DIR
# (WINEPREFIX set; the Wine server's stderr is the caller's to redirect).
set -u
exe=$1 boardsim=$2 preload=$3 hex=$4 work=$5
dosdevices=$WINEPREFIX/dosdevices

# One row per run: the ports (COMn=simulator options, commas for blanks; or COMn=missing),
# the exit status, the result logged for each port in that order, and "ctrl-c" for a run
# interrupted once every port is updating, "no-modem-lines" for one without the modem-line
# library (Wine's device wait then ends at once every time, as some Windows drivers' do).
# The statuses are those of the Linux program.
cases=(
    "COM11=--serial,W00011 COM12=--boot,--serial,W00012|0|completed completed|"
    "COM13=--serial,W00013 COM14=missing|2|completed open-failed|"
    "COM15=--boot,--pace,--serial,W00015|130|interrupted|ctrl-c"
    "COM16=--boot,--pace,--serial,W00016|0|completed|no-modem-lines"
)
# What every log line carries, in the Linux program's order.
fields="start end port board serial firmware_before monitor firmware_written blocks block_count"
fields+=" resends refusals result"

# The built-in image's bytes from 0x800 on, in address order, hashed as the simulator's report
# does. Read straight from the source file, not through the program's own loader.
expected=$(perl -ne 'if (/^:([0-9A-F]{2})([0-9A-F]{4})00([0-9A-F]*)/i && hex($2) >= 0x800) {
                         $b{hex $2} = pack("H*", substr($3, 0, 2 * hex $1)) }
                     END { print $b{$_} for sort { $a <=> $b } keys %b }' "$hex" |
    sha256sum | cut -d' ' -f1)

# shellcheck source=tests/support/wine-boards.sh
source "$(dirname "$0")/../support/wine-boards.sh"
trap boards_off EXIT
failures=0

fail() {
    echo "FAIL [$case]: $*"
    failures=$((failures + 1))
}

# Every line of a Windows program's output ends in exactly one CR LF.
crlf_lines() {
    perl -0777 -ne 'exit(/\r\r|(?<!\r)\n|\r(?!\n)/ ? 1 : 0)' "$1" ||
        fail "$1: a line does not end in one CR LF: $(od -c "$1" | head -n 5)"
}

# A JSON field's value (text or number) from one flat log line.
field() {
    sed -n "s/.*\"$2\":\"\\{0,1\\}\\([^\",}]*\\).*/\\1/p" <<<"$1"
}

# A simulator for port $1 with the options $2 (commas for blanks).
board() {
    local options
    IFS=, read -r -a options <<<"$2"
    board_on "$1" --exit-when-done --idle-timeout 10 "${options[@]}"
}

# The port's log line and, for a completed update, its simulator's report ($work/$com.json
# and serial W000n for COMn unless given).
check_port() {
    local com=$1 want=$2 serial=${3:-W000${1#COM}} report_file=${4:-$work/$1.json} line
    line=$(grep -F "\"port\":\"$com\"" "$work/log.jsonl")
    [[ $(grep -c . <<<"$line") == 1 ]] || fail "$com: not one log line: $line"
    [[ $(field "$line" result) == "$want" ]] || fail "$com: logged $line, want $want"
    # An attempt that did not complete wrote no firmware and says why it ended.
    local want_fields=$fields
    [[ $want == completed ]] ||
        want_fields="${fields/ firmware_written/} reason"
    [[ $(grep -o '"[a-z_0-9]*":' <<<"$line" | tr -d '":' | xargs) == "$want_fields" ]] ||
        fail "$com: fields of $line"
    [[ $want == completed ]] || return
    local report blocks
    report=$(cat "$report_file")
    blocks=$(field "$line" block_count)
    grep -q "\"flashed_sha256\": \"$expected\"" <<<"$report" || fail "$com: image: $report"
    grep -q "\"accepted\": $blocks," <<<"$report" || fail "$com: accepted: $report"
    [[ $(field "$line" blocks) == "$blocks" && $blocks -gt 0 ]] || fail "$com: blocks: $line"
    [[ $(field "$line" serial) == "$serial" && $(field "$line" board) == KX27 ]] ||
        fail "$com: board: $line"
    [[ $(field "$line" firmware_before) == 4.4 && $(field "$line" monitor) == 1.0 &&
        $(field "$line" firmware_written) == 4.5 ]] || fail "$com: versions: $line"
}

for case in "${cases[@]}"; do
    IFS='|' read -r ports status results action <<<"$case"
    rm -rf "$work" && mkdir -p "$work" && echo 0 >"$work/modem"
    ptys="" names=()
    for port in $ports; do
        names+=("${port%%=*}")
        [[ ${port#*=} == missing ]] || board "${port%%=*}" "${port#*=}"
    done
    # The modem-line library keeps Wine's device wait from ending by itself on a pty.
    with=$preload
    [[ $action == no-modem-lines ]] && with=
    LD_PRELOAD=$with QUORVEL_MODEM_PTS=$ptys QUORVEL_MODEM_STATE=$work/modem \
        timeout 120 wine "$exe" --log "$work/log.jsonl" "${names[@]}" >"$work/stdout" \
        2>"$work/stderr" &
    flash=$!
    if [[ $action == ctrl-c ]]; then
        for _ in $(seq 200); do
            (($(grep -c ': updating' "$work/stdout") >= ${#names[@]})) && break
            sleep 0.05
        done
        # timeout hands the signal on; Wine makes it the console's Ctrl-C.
        kill -INT "$flash"
    fi
    wait "$flash"
    got=$?
    cat "$work/stderr" >&2 # the Wine server's, when this run started it
    if [[ $action == ctrl-c ]]; then
        kill "${pids[@]}"
        for com in "${names[@]}"; do
            grep -q "^$com: board KX27 W000${com#COM} is half-written" "$work/stderr" ||
                fail "$com: not named half-written"
        done
    fi
    # A flashed board writes its report as it ends, right after the last answer.
    wait "${pids[@]}"
    [[ $got == "$status" ]] || fail "exit status $got, want $status: $(cat "$work/stdout")"
    crlf_lines "$work/stdout"
    read -r -a wants <<<"$results"
    for i in "${!names[@]}"; do
        check_port "${names[$i]}" "${wants[$i]}"
    done
    boards_off
done

# Network ports over Winsock: ser2net on the loopback in front of a simulator, named in the
# user's ports.conf under %APPDATA%, with a named port nobody listens on. --list tells which
# answers; a run by name updates the one board exactly and names the other's cause.
case="network ports"
rm -rf "$work" && mkdir -p "$work"
# Not --exit-when-done: its end closes the connection, which must not race the run's own end.
sim_on NET --idle-timeout 10 --serial W00021
ser2net_on "$pts"
bench=rfc2217://127.0.0.1:$net_port refused=rfc2217://127.0.0.1:$(free_tcp_port)
conf=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' | tr -d '\r')\Quorvel\ports.conf")
mkdir -p "${conf%/*}"
printf 'Bancada Wine = %s\r\nDesligada = %s\r\n' "$bench" "$refused" >"$conf"
wine "$exe" --list --json >"$work/list.json"
got=$?
[[ $got == 0 ]] || fail "--list: exit status $got, want 0"
grep -qF "{\"port\":\"$bench\",\"name\":\"Bancada Wine\",\"remote\":true,\"reachable\":true}" \
    "$work/list.json" || fail "--list: $(cat "$work/list.json")"
grep -qF "{\"port\":\"$refused\",\"name\":\"Desligada\",\"remote\":true,\"reachable\":false}" \
    "$work/list.json" || fail "--list: $(cat "$work/list.json")"
env -u LC_ALL -u LC_MESSAGES LANG=C timeout 120 wine "$exe" --log "$work/log.jsonl" \
    "Bancada Wine" Desligada >"$work/stdout" 2>"$work/stderr"
got=$?
kill "${pids[0]}" && wait "${pids[0]}" # the simulator writes its report as it ends
rm -f "$conf"
[[ $got == 2 ]] || fail "exit status $got, want 2: $(cat "$work/stdout" "$work/stderr")"
crlf_lines "$work/stdout"
check_port "$bench" completed W00021 "$work/NET.json"
check_port "$refused" open-failed
grep -qF "$refused: could not open the port: The network port's server refused the connection" \
    "$work/stdout" "$work/stderr" || fail "cause: $(cat "$work/stdout" "$work/stderr")"
boards_off

# The server killed mid-update: the port fails as a lost connection, named in the log.
case="network port lost mid-update"
rm -rf "$work" && mkdir -p "$work"
sim_on LOST --pace --idle-timeout 10 --serial W00022
ser2net_on "$pts"
lost=rfc2217://127.0.0.1:$net_port server=${pids[-1]}
env -u LC_ALL -u LC_MESSAGES LANG=C timeout 120 wine "$exe" --log "$work/log.jsonl" "$lost" \
    >"$work/stdout" 2>"$work/stderr" &
flash=$!
for _ in $(seq 400); do
    grep -q ': updating' "$work/stdout" && break
    sleep 0.05
done
kill -KILL "$server"
wait "$flash"
got=$?
[[ $got == 2 ]] || fail "exit status $got, want 2: $(cat "$work/stdout" "$work/stderr")"
line=$(grep -F "\"port\":\"$lost\"" "$work/log.jsonl")
[[ $(field "$line" result) == port-error ]] || fail "logged $line"
grep -qE '"reason":"[^"]*(connection reset|server closed the connection) \(win error 1005[34]\)"' \
    <<<"$line" || fail "reason: $line"
boards_off

# Without --log the record goes to the user's local application data (not to $HOME).
case="default log"
mkdir -p "$work"
default_log=$(wine cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')
default_log=$(winepath -u "$default_log\quorvel\updates.jsonl")
rm -f "$default_log"
wine "$exe" COM19 >"$work/stdout"
got=$?
[[ $got == 2 ]] || fail "exit status $got, want 2"
grep -q '"port":"COM19".*"result":"open-failed"' "$default_log" || fail "nothing in $default_log"

# --list opens no port: on Windows that is the only way to learn that a port is held, and an
# open raises DTR on a device another program owns. COM18 leads to a FIFO whose reader sees
# any open end.
case="--list"
mkfifo "$work/com18.fifo"
ln -sfn "$work/com18.fifo" "$dosdevices/com18"
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\QuorvelFifo18' /d COM18 /f >/dev/null
(cat "$work/com18.fifo" >/dev/null && echo opened >"$work/com18.opened") &
watcher=$!
wine "$exe" --list --json >"$work/list.json"
got=$?
[[ $got == 0 ]] || fail "exit status $got, want 0"
grep -q '"port":"COM18".*"busy":null' "$work/list.json" || fail "COM18: $(cat "$work/list.json")"
sleep 0.5
[[ -e $work/com18.opened ]] && fail "COM18 was opened"
kill "$watcher" 2>/dev/null
exec 3<>"$work/com18.fifo" && exec 3>&- # ends the watcher's cat
wait "$watcher" 2>/dev/null
wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\QuorvelFifo18' /f >/dev/null
rm -f "$dosdevices/com18" "$work/com18.fifo" "$work/com18.opened"

# The catalogue beside the program: Portuguese with LANG, English without.
case="--help"
env -u LC_ALL -u LC_MESSAGES LANG=C wine "$exe" --help >"$work/help_en"
env -u LC_ALL -u LC_MESSAGES LANG=pt_BR.UTF-8 wine "$exe" --help >"$work/help_pt"
crlf_lines "$work/help_en"
crlf_lines "$work/help_pt"
help_en=$(tr -d '\r' <"$work/help_en")
help_pt=$(tr -d '\r' <"$work/help_pt")
[[ $help_en == Usage:* && $help_en == *'%LOCALAPPDATA%\quorvel\updates.jsonl'* ]] ||
    fail "English: $help_en"
[[ $help_pt == Uso:* && $help_pt == *"portas seriais"* ]] || fail "Portuguese: $help_pt"

# Catalogues whose plural rule is the deepest the runtime takes (100 brackets) or deeper than
# that (101, and 5,000 that once overflowed the 2 MB stack): --help runs to its end, translated.
po=$(dirname "$0")/../../resources/locale/pt_BR/quorvel-flash.po
for depth in 100 101 5000; do
    case="--help beside a rule $depth brackets deep"
    dir=$work/rule-$depth
    mkdir -p "$dir/locale/pt_BR/LC_MESSAGES" && cp "$exe" "$dir/"
    rule=$(printf '%*s' "$depth" '' | tr ' ' '(')n\>1$(printf '%*s' "$depth" '' | tr ' ' ')')
    perl -pe "s/^\"Plural-Forms:.*/\"Plural-Forms: nplurals=2; plural=$rule;\\\\n\"/" "$po" \
        >"$dir/rule.po"
    msgfmt -o "$dir/locale/pt_BR/LC_MESSAGES/quorvel-flash.mo" "$dir/rule.po" ||
        fail "msgfmt refuses the catalogue"
    env -u LC_ALL -u LC_MESSAGES LANG=pt_BR.UTF-8 wine "$dir/${exe##*/}" --help >"$dir/help"
    got=$?
    [[ $got == 0 ]] || fail "exit status $got"
    [[ $(tr -d '\r' <"$dir/help") == "$help_pt" ]] || fail "help: $(head -n 3 "$dir/help")"
done

# Catalogues that cannot be used (empty; over the 8 MB limit): one warning line, and --help
# exactly as without a catalogue.
for broken in empty 16M; do
    case="--help beside a catalogue: $broken"
    dir=$work/broken-$broken
    mo=$dir/locale/pt_BR/LC_MESSAGES/quorvel-flash.mo
    mkdir -p "${mo%/*}" && cp "$exe" "$dir/"
    : >"$mo"
    [[ $broken == empty ]] || truncate -s "$broken" "$mo"
    env -u LC_ALL -u LC_MESSAGES LANG=pt_BR.UTF-8 wine "$dir/${exe##*/}" --help >"$dir/help" \
        2>"$dir/err"
    got=$?
    [[ $got == 0 ]] || fail "exit status $got"
    [[ $(tr -d '\r' <"$dir/help") == "$help_en" ]] || fail "help: $(head -n 3 "$dir/help")"
    [[ $(grep -c '^quorvel-flash: warning: .*quorvel-flash\.mo' "$dir/err") == 1 ]] ||
        fail "warnings: $(cat "$dir/err")"
done

[[ $failures == 0 ]] && echo "quorvel-flash.exe under Wine: ${#cases[@]} runs, network ports, the default log, --list, --help and hostile catalogues passed"
exit $((failures > 0))
