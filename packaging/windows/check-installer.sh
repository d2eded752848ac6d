#!/bin/bash
# The installer under Wine, as a technician without administrator rights runs it: a silent
# install, then the Start-menu entries and the programs are there and the window program starts;
# while it runs, installing over it and uninstalling refuse; a silent uninstall removes them. Usage: check-installer.sh INSTALLER
# (WINEPREFIX set; a display for the window, e.g. under xvfb-run).
set -u
installer=$1
fail() { echo "installer: FAIL: $*"; failures=$((failures + 1)); }
failures=0
unix() { winepath -u "$(wine cmd /c "echo $1" 2>/dev/null | tr -d '\r')"; }
dir=$(unix '%LOCALAPPDATA%')/Programs/Atualizador\ Quorvel
entry=$(unix '%APPDATA%')/Microsoft/Windows/Start\ Menu/Programs/Atualizador\ Quorvel.lnk

wine "$installer" /S
wineserver -w
for f in quorvel-updater.exe quorvel-flash.exe desinstalar.exe LEIA-ME.txt \
         locale/pt_BR/LC_MESSAGES/quorvel-flash.mo; do
    [[ -f $dir/$f ]] || fail "$f not installed in $dir"
done
[[ -f $entry ]] || fail "no Start-menu entry $entry"
wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\AtualizadorQuorvel' \
    /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"

readme=$(unix '%APPDATA%')/Microsoft/Windows/Start\ Menu/Programs/Atualizador\ Quorvel\ -\ Leia-me.lnk
[[ -f $readme ]] || fail "no Start-menu entry $readme"

# The installed program starts and keeps its window open until it is told to end. While it
# runs from the install folder, neither an install over it nor an uninstall touches anything.
wine "$dir/quorvel-updater.exe" &
program=$!
sleep 5
kill -0 "$program" 2>/dev/null || fail "quorvel-updater.exe did not keep running"
before=$(cd "$dir" && find . -type f -printf '%p %s %T@\n' | sort)
wine "$installer" /S
status=$?
[[ $status == 3 ]] || fail "installing over the running program: exit status $status, want 3"
wine "$dir/desinstalar.exe" /S
for _ in $(seq 25); do sleep 0.2; done # the uninstaller's copy would be at work by now
after=$(cd "$dir" 2>/dev/null && find . -type f -printf '%p %s %T@\n' | sort)
[[ $after == "$before" ]] || fail "files changed while the program ran: $before / $after"
[[ -f $entry && -f $readme ]] || fail "Start-menu entries removed while the program ran"
wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\AtualizadorQuorvel' \
    /v UninstallString >/dev/null 2>&1 || fail "uninstall entry removed while the program ran"
kill -0 "$program" 2>/dev/null || fail "quorvel-updater.exe did not keep running"
kill "$program" 2>/dev/null
wineserver -k 2>/dev/null
wait "$program" 2>/dev/null

wine "$dir/desinstalar.exe" /S
# The uninstaller runs on from a copy of itself: wait for it.
for _ in $(seq 100); do [[ -e $dir ]] || break; sleep 0.2; done
wineserver -w
[[ ! -e $dir ]] || fail "$dir left after uninstalling: $(ls "$dir")"
[[ ! -e $entry && ! -e $readme ]] || fail "Start-menu entries left after uninstalling"

[[ $failures == 0 ]] && echo "installer: installs per user, starts, refuses while it runs, uninstalls"
exit $((failures > 0))
