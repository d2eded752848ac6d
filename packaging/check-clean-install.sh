#!/usr/bin/env bash
# Checks the .debs with lintian (no errors, no warnings) and the AppStream metainfo with
# appstreamcli, then installs them on a clean Debian 12 (bookworm) made with debootstrap and checks
# that the installed programs run there: quorvel-flash alone first (no Qt may come with it), which
# updates a simulated board; then the window's package beside it: the board simulator answers a
# status poll over its pseudo-terminal, and the updater comes up headless with the Qt libraries of
# its package dependencies and the catalogues shipped beside it.
#
#   sudo packaging/check-clean-install.sh [build/quorvel-flash_*.deb]
#
# The window's package (quorvel-updater_*.deb) is taken from beside the flasher's when it is there.
#
# Needs root, debootstrap, lintian, appstream and Debian's mirror. The pristine system is kept as a tarball in
# $QUORVEL_CHECK_CACHE (default /var/cache/quorvel-check) and unpacked afresh for every run.
set -euo pipefail

suite=bookworm
mirror=${QUORVEL_MIRROR:-http://deb.debian.org/debian}
cache=${QUORVEL_CHECK_CACHE:-/var/cache/quorvel-check}
pristine=$cache/$suite-minbase.tar.gz

fail() {
    echo "check-clean-install: FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

[ "$(id -u)" = 0 ] || fail "run as root (chroot and mounts)"
command -v debootstrap >/dev/null || fail "debootstrap missing: apt-get install debootstrap"

flash_deb=${1:-}
if [ -z "$flash_deb" ]; then
    flash_deb=$(ls -t "$(dirname "$0")"/../build/quorvel-flash_*.deb 2>/dev/null | head -n 1 || true)
fi
[ -n "$flash_deb" ] && [ -f "$flash_deb" ] || fail "no package given and none in build/ (run make package)"
flash_deb=$(readlink -f "$flash_deb")
deb=$(ls -t "$(dirname "$flash_deb")"/quorvel-updater_*.deb 2>/dev/null | head -n 1 || true)
[ -n "$deb" ] && deb=$(readlink -f "$deb")
echo "packages: $flash_deb ${deb:-(no window package)}"

# What Debian's tools say about the packages themselves, before any install.
step "lintian"
command -v lintian >/dev/null || fail "lintian missing: apt-get install lintian"
for d in "$flash_deb" $deb; do
    lintian --fail-on error,warning --info "$d" || fail "lintian reports errors or warnings on $d"
done
if dpkg-deb -f "$flash_deb" Depends | grep -qi qt; then
    fail "quorvel-flash depends on Qt: $(dpkg-deb -f "$flash_deb" Depends)"
fi

step "appstreamcli validate"
command -v appstreamcli >/dev/null || fail "appstreamcli missing: apt-get install appstream"
if [ -n "$deb" ]; then
    unpacked=$(mktemp -d)
    dpkg-deb -x "$deb" "$unpacked"
    metainfo=$(ls "$unpacked"/usr/share/metainfo/*.metainfo.xml 2>/dev/null || true)
    [ -n "$metainfo" ] || fail "no AppStream metainfo in the package"
    for m in $metainfo; do
        appstreamcli validate --no-net "$m" || fail "appstreamcli rejects $(basename "$m")"
    done
    rm -rf "$unpacked"
fi

mkdir -p "$cache"
if [ ! -f "$pristine" ]; then
    step "debootstrap $suite (minbase) from $mirror, once"
    fresh=$(mktemp -d "$cache/bootstrap.XXXXXX")
    debootstrap --variant=minbase "$suite" "$fresh/root" "$mirror"
    chroot "$fresh/root" apt-get clean
    tar -C "$fresh/root" -czf "$fresh/root.tar.gz" .
    mv "$fresh/root.tar.gz" "$pristine"
    rm -rf --one-file-system "$fresh"
fi

work=$(mktemp -d "$cache/run.XXXXXX")
root=$work/root
mounts=()
cleanup() {
    set +e
    # Whatever is still running in the chroot holds its mounts.
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
    done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" || umount -l "${mounts[i]}"
    done
    # Never descends into a mount that failed to come off.
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT

step "unpack the pristine system"
mkdir -p "$root"
tar -C "$root" -xzf "$pristine"
mount -t proc proc "$root/proc" && mounts+=("$root/proc")
mount -t sysfs sysfs "$root/sys" && mounts+=("$root/sys")
# A devpts of its own: pseudo-terminals for the simulator without the host's /dev.
mkdir -p "$root/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts" && mounts+=("$root/dev/pts")
rm -f "$root/dev/ptmx" && ln -s pts/ptmx "$root/dev/ptmx"
mkdir -p "$root/dev/shm"
mount -t tmpfs tmpfs "$root/dev/shm" && mounts+=("$root/dev/shm")
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$flash_deb" $deb "$root/tmp/"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

step "apt-get install ./$(basename "$flash_deb") alone"
in_root apt-get update -qq
in_root sh -c "cd /tmp && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./$(basename "$flash_deb")"
if in_root dpkg-query -W -f='${Package}\n' | grep -i qt; then
    fail "installing quorvel-flash brought Qt in"
fi

step "installed files"
for p in quorvel-boardsim quorvel-flash; do
    [ "$(in_root sh -c "command -v $p")" = /usr/bin/$p ] || fail "$p is not on the PATH"
    if in_root ldd /usr/lib/quorvel-updater/$p | grep 'not found'; then
        fail "$p misses libraries"
    fi
    in_root test -s /usr/share/man/man1/$p.1.gz || fail "no manual page for $p"
done
in_root dpkg -L quorvel-flash | grep '^/usr/\(bin\|lib\)' | sort
for f in copyright changelog.Debian.gz; do
    in_root test -s "/usr/share/doc/quorvel-flash/$f" || fail "no /usr/share/doc/quorvel-flash/$f"
done

step "quorvel-flash updates a simulated board, in Portuguese too"
in_root sh -c '
    quorvel-boardsim --boot --exit-when-done --serial F00001 >/tmp/sim.out 2>/tmp/sim.err &
    for i in $(seq 100); do [ -s /tmp/sim.out ] && break; sleep 0.1; done
    LANG=pt_BR.UTF-8 quorvel-flash --no-log --wait 10 "$(head -n 1 /tmp/sim.out)" >/tmp/flash.out 2>&1
    status=$?
    cat /tmp/flash.out
    [ $status = 0 ] && grep -q "concluída, KX27 F00001" /tmp/flash.out
' || fail "quorvel-flash did not update the simulated board"
in_root quorvel-flash --check-image /dev/null >/dev/null 2>&1 && fail "an empty image file was accepted"

if [ -z "$deb" ]; then
    echo "check-clean-install: there is no window package (built without the window)"
    echo "check-clean-install: PASS (quorvel-flash only)"
    exit 0
fi

step "apt-get install ./$(basename "$deb") beside it"
in_root sh -c "cd /tmp && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./$(basename "$deb")"
in_root dpkg -L quorvel-updater | grep '^/usr/\(bin\|lib\|share/applications\|share/icons\)' | sort

step "quorvel-boardsim --help, --version"
in_root quorvel-boardsim --help >"$work/help.txt" || fail "quorvel-boardsim --help failed"
grep -q -- '--boot' "$work/help.txt" || fail "quorvel-boardsim --help shows no usage"
in_root quorvel-boardsim --version || fail "quorvel-boardsim --version failed"

step "user notes, licence, changelog, manual pages"
for f in README copyright changelog.Debian.gz; do
    in_root test -s "/usr/share/doc/quorvel-updater/$f" || fail "no /usr/share/doc/quorvel-updater/$f"
done
in_root grep -q dialout /usr/share/doc/quorvel-updater/README || fail "the user notes miss the dialout group"
in_root test -s /usr/share/man/man1/quorvel-boardsim.1.gz || fail "no manual page for quorvel-boardsim"

step "the simulator under sudo hands its port to the user who ran sudo"
in_root sh -c '
    SUDO_UID=4242 SUDO_GID=4242 quorvel-boardsim --idle-timeout 5 >/tmp/sim.out 2>/tmp/sim.err &
    sim=$!
    for i in $(seq 100); do [ -s /tmp/sim.out ] && break; sleep 0.1; done
    owner=$(stat -c %u:%g "$(head -n 1 /tmp/sim.out)")
    kill $sim
    echo "port owner: $owner"
    [ "$owner" = 4242:4242 ]
' || fail "the port was not handed to SUDO_UID/SUDO_GID"

step "quorvel-boardsim answers a status poll in its boot monitor"
in_root sh -c '
    quorvel-boardsim --boot --idle-timeout 20 >/tmp/sim.out 2>/tmp/sim.err &
    sim=$!
    for i in $(seq 100); do [ -s /tmp/sim.out ] && break; sleep 0.1; done
    pts=$(head -n 1 /tmp/sim.out)
    [ -c "$pts" ] || { echo "no port from the simulator: $pts"; cat /tmp/sim.err; exit 1; }
    exec 3<>"$pts"
    stty -F "$pts" 19200 raw -echo
    printf "<S@>" >&3
    reply=$(timeout 10 head -c 20 <&3)
    kill $sim
    wait $sim 2>/dev/null
    echo "reply: $reply"
    [ "$reply" = "<KX27V4.4M1.0A10342>" ]
' || fail "the simulator did not answer its status poll"

step "the updater's files"
if in_root ldd /usr/lib/quorvel-updater/quorvel-updater | grep 'not found'; then
    fail "quorvel-updater misses libraries"
fi
in_root test -s /usr/share/man/man1/quorvel-updater.1.gz || fail "no manual page for quorvel-updater"
in_root sh -c 'ls /usr/share/metainfo/*.metainfo.xml' || fail "no AppStream metainfo"
in_root test -f /usr/share/fonts/truetype/liberation/LiberationSansNarrow-Regular.ttf ||
    fail "the window's font (fonts-liberation) is not installed"

step "quorvel-updater --help, --version, and without a display"
in_root quorvel-updater --version || fail "quorvel-updater --version failed"
in_root quorvel-updater --help | grep -q dialout || fail "quorvel-updater --help says nothing of dialout"
status=0
in_root quorvel-updater 2>"$work/nodisplay.txt" || status=$?
cat "$work/nodisplay.txt"
[ "$status" = 1 ] && [ "$(wc -l <"$work/nodisplay.txt")" = 1 ] ||
    fail "without a display the updater exits $status and says: $(cat "$work/nodisplay.txt")"
in_root test -f /usr/share/applications/quorvel-updater.desktop || fail "no .desktop entry"
in_root test -f /usr/share/icons/hicolor/48x48/apps/quorvel-updater.png || fail "no 48x48 icon"

step "quorvel-updater comes up headless, with a simulated board on /dev/ttyQSIM0"
in_root sh -c '
    quorvel-boardsim --link /dev/ttyQSIM0 --idle-timeout 60 >/tmp/sim.out 2>/tmp/sim.err &
    for i in $(seq 100); do [ -e /dev/ttyQSIM0 ] && break; sleep 0.1; done
    LANG=pt_BR.UTF-8 QT_QPA_PLATFORM=offscreen quorvel-updater >/tmp/updater.log 2>&1 &
    echo $! >/tmp/updater.pid
'
pid=$(cat "$root/tmp/updater.pid")
# Read from inside, so the paths are the installed system's.
maps() { in_root cat "/proc/$pid/maps" 2>/dev/null || true; }
# Up means: the window library and the offscreen platform are loaded and it is still running
# a few seconds later (a start-up failure exits or aborts well before).
for _ in $(seq 300); do
    maps | grep -q 'plugins/platforms/libqoffscreen.so' && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
sleep 5
if ! kill -0 "$pid" 2>/dev/null; then
    cat "$root/tmp/updater.log"
    fail "quorvel-updater is not running"
fi
exe=$(in_root readlink "/proc/$pid/exe")
[ "$exe" = /usr/lib/quorvel-updater/quorvel-updater ] ||
    fail "the launcher did not exec the real program: $exe"
maps >"$work/maps"
for lib in libQt6Widgets.so.6 libQt6Gui.so.6 libQt6Core.so.6 plugins/platforms/libqoffscreen.so; do
    path=$(grep -o -m 1 " /usr/lib/x86_64-linux-gnu/.*$lib.*" "$work/maps" | sed 's/^ //' || true)
    [ -n "$path" ] || fail "$lib is not loaded from the system's Qt"
    owner=$(in_root dpkg -S "$path" | cut -d: -f1)
    echo "mapped: $path (package $owner)"
done
# Each Qt library comes from a package the .deb names, so apt brought it in.
depends=$(in_root dpkg-query -W -f='${Depends}' quorvel-updater)
echo "Depends: $depends"
for lib in libQt6Widgets.so.6 libQt6Gui.so.6 libQt6Core.so.6; do
    path=$(grep -o -m 1 " /usr/lib/x86_64-linux-gnu/$lib.*" "$work/maps" | sed 's/^ //')
    owner=$(in_root dpkg -S "$path" | cut -d: -f1)
    grep -q "\b$owner\b" <<<"$depends" || fail "$lib comes from $owner, which the package does not name"
done
# The pt_BR catalogue beside the real program is in use: found through the program's own path.
grep -q ' /usr/lib/quorvel-updater/locale/pt_BR/LC_MESSAGES/[a-z]*\.mo$' "$work/maps" ||
    fail "the pt_BR catalogue beside the program is not mapped"
grep -m 1 'locale/pt_BR' "$work/maps" | sed 's/.* /mapped: /'
kill "$pid"
[ -s "$root/tmp/updater.log" ] && sed 's/^/updater says: /' "$root/tmp/updater.log"

# Offscreen proves the program starts; an X server shows its window really appears (a start-up
# failure would show a message box instead, which is alive too). Installed after the check
# above, so nothing of it could stand in for a missing dependency.
step "on an X server (Xvfb): the main window appears"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    xvfb x11-utils >/tmp/xvfb-install.log' || fail "cannot install Xvfb in the chroot"
in_root sh -c 'Xvfb :7 -screen 0 1024x768x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &'
for _ in $(seq 100); do
    in_root xdpyinfo -display :7 >/dev/null 2>&1 && break
    sleep 0.1
done
in_root sh -c 'DISPLAY=:7 LANG=pt_BR.UTF-8 quorvel-updater >/tmp/updater-x.log 2>&1 &
    echo $! >/tmp/updater.pid'
pid=$(cat "$root/tmp/updater.pid")
window=
for _ in $(seq 300); do
    window=$(in_root xwininfo -display :7 -root -tree 2>/dev/null |
        grep '"Atualizador Quorvel": ("quorvel-updater"' | grep ' 299x194+' || true)
    [ -n "$window" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$window" ]; then
    in_root xwininfo -display :7 -root -tree || true
    cat "$root/tmp/updater-x.log"
    fail "no 299x194 window \"Atualizador Quorvel\" of class quorvel-updater"
fi
echo "window: $window"
grep -q 'plugins/platforms/libqxcb.so' <(in_root cat "/proc/$pid/maps") ||
    fail "the window is not on Qt's X11 platform plugin"
kill "$pid"
[ -s "$root/tmp/updater-x.log" ] && sed 's/^/updater says: /' "$root/tmp/updater-x.log"
echo "check-clean-install: PASS"
