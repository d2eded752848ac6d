#!/usr/bin/env bash
# Checks what `cmake --install` lays down, without a package or a chroot.
#
#   install_layout.sh <check> <build dir> <prefix> [programs...]
#
# <check> is one of: install, launchers, catalogues, updater, options, desktop, flash, clean.
set -euo pipefail

check=$1
build=$2
prefix=$3
shift 3
programs=("$@")
version=${QUORVEL_VERSION:-}
program_dir="$prefix/lib/quorvel-updater"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits up to 30 s for a condition; ends as soon as it holds.
wait_for() {
    for _ in $(seq 300); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

case $check in
install)
    rm -rf "$prefix"
    "${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >/dev/null
    ;;

clean)
    rm -rf "$prefix"
    ;;

launchers)
    for p in "${programs[@]}"; do
        [ -x "$prefix/bin/$p" ] || fail "no launcher bin/$p"
        head -c 2 "$prefix/bin/$p" | grep -q '#!' || fail "bin/$p is not a script"
        [ "$(head -c 4 "$program_dir/$p")" = $'\x7fELF' ] || fail "no executable $program_dir/$p"
    done
    sim=$prefix/bin/quorvel-boardsim
    usage=$("$sim" --help) || fail "--help through bin/ fails"
    grep -q '^usage: quorvel-boardsim' <<<"$usage" || fail "--help through bin/ shows no usage"
    # Started by name from the PATH and through a link elsewhere, as desktops and users do.
    mkdir -p "$prefix/elsewhere/deeper"
    ln -sf "$sim" "$prefix/elsewhere/deeper/sim"
    usage=$("$prefix/elsewhere/deeper/sim" --help) || fail "--help through a link to the launcher fails"
    grep -q '^usage: quorvel-boardsim' <<<"$usage" || fail "--help through a link: no usage"
    out=$prefix/sim.out
    PATH="$prefix/bin:$PATH" quorvel-boardsim --idle-timeout 30 >"$out" 2>"$prefix/sim.err" &
    pid=$!
    trap 'stop $pid' EXIT
    wait_for test -s "$out" || fail "the simulator started through the launcher shows no port"
    [ -c "$(head -n 1 "$out")" ] || fail "the simulator's port is not a device: $(head -n 1 "$out")"
    # The launcher exec's: the process it started is the real executable itself.
    exe=$(readlink "/proc/$pid/exe")
    [ "$exe" = "$program_dir/quorvel-boardsim" ] || fail "launcher runs $exe"
    ;;

flash)
    # The headless flasher: no Qt, its catalogue found from bin/, its man page.
    exe=$program_dir/quorvel-flash
    if ldd "$exe" | grep -q 'libQt'; then fail "quorvel-flash links Qt"; fi
    usage=$(LANG=pt_BR.UTF-8 "$prefix/bin/quorvel-flash" --help) || fail "quorvel-flash --help fails"
    grep -q '^Uso: quorvel-flash' <<<"$usage" || fail "quorvel-flash --help is not Portuguese: $usage"
    zcat "$prefix/share/man/man1/quorvel-flash.1.gz" | grep -q '^.SH EXIT STATUS' ||
        fail "no quorvel-flash man page"
    ;;

catalogues)
    found=0
    for mo in "$build"/bin/locale/*/LC_MESSAGES/*.mo; do
        [ -e "$mo" ] || continue
        rel=${mo#"$build/bin/"}
        cmp -s "$mo" "$program_dir/$rel" || fail "$rel is not installed beside the executables"
        found=$((found + 1))
    done
    [ "$found" -gt 0 ] || fail "the build has no catalogues to install"
    [ -f "$program_dir/locale/pt_BR/LC_MESSAGES/default.mo" ] || fail "no pt_BR default.mo"
    ;;

updater)
    # Started through its launcher, the window finds the pt_BR catalogues beside the installed
    # executable: the runtime reads one of them at its first lookup.
    log=$prefix/updater.log
    read=$prefix/read.txt
    "$(dirname "$0")/first_read.py" "$program_dir/locale/pt_BR/LC_MESSAGES" >"$read" &
    watcher=$!
    wait_for grep -q ready "$read" || fail "cannot watch $program_dir/locale for reads"
    env -u LC_ALL -u LC_MESSAGES LANG=pt_BR.UTF-8 QT_QPA_PLATFORM=offscreen \
        "$prefix/bin/quorvel-updater" >"$log" 2>&1 &
    pid=$!
    trap 'stop $pid; stop $watcher' EXIT
    if ! wait "$watcher" || ! grep -q '^[a-z]*\.mo$' "$read"; then
        cat "$log" >&2
        fail "the running updater read no catalogue of $program_dir"
    fi
    exe=$(readlink "/proc/$pid/exe")
    [ "$exe" = "$program_dir/quorvel-updater" ] || fail "launcher runs $exe"
    ;;

options)
    # --help and --version answer on standard output and exit 0 without a window; the updater
    # without any display says so in one line and exits non-zero instead of Qt's abort.
    for p in "${programs[@]}"; do
        for option in --help --version; do
            out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 \
                "$prefix/bin/$p" "$option" 2>&1) || fail "$p $option exits $?"
            grep -q "$p" <<<"$out" || fail "$p $option does not name the program: $out"
        done
        [ "$("$prefix/bin/$p" --version)" = "$p $version" ] || fail "$p --version is not $version"
    done
    if [[ " ${programs[*]} " == *" quorvel-updater "* ]]; then
        # No display named at all, and one named that is not there.
        for display in "" :9999; do
            status=0
            err=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=$display timeout 20 \
                "$prefix/bin/quorvel-updater" 2>&1 >/dev/null) || status=$?
            [ "$status" = 1 ] || fail "the updater with DISPLAY='$display' exits $status"
            [ "$(wc -l <<<"$err")" = 1 ] && grep -q DISPLAY <<<"$err" ||
                fail "the updater with DISPLAY='$display' says: $err"
        done
    fi
    ;;

desktop)
    entry=$prefix/share/applications/quorvel-updater.desktop
    [ -f "$entry" ] || fail "no desktop entry"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$entry" || fail "desktop-file-validate rejects the entry"
    else
        echo "desktop-file-validate not installed: entry syntax not validated"
    fi
    grep -qx 'Name=Atualizador Quorvel' "$entry" || fail "entry name"
    command=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
    [ -x "$prefix/bin/$command" ] || fail "Exec=$command is not an installed launcher"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    for size in 16 32 48 64 128 256; do
        png=$prefix/share/icons/hicolor/${size}x${size}/apps/$icon.png
        [ -f "$png" ] || fail "no ${size}x${size} icon"
        # PNG signature, then the IHDR chunk's width and height (big-endian).
        [ "$(od -An -tx1 -N8 "$png" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$png is no PNG"
        read -r w h < <(od -An -tu4 --endian=big -j16 -N8 "$png")
        [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "$png is ${w}x${h}"
    done
    ;;

*)
    fail "unknown check $check"
    ;;
esac
echo "ok: $check"
