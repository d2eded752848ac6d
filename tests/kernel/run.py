#!/usr/bin/env python3
"""The serial programs of a build against real kernel drivers: Debian's kernel under QEMU with an
emulated FTDI USB adapter (ftdi_sio, ttyUSB0) and a 16550 UART (8250, ttyS1), each wired to a
board simulator on this machine. The guest runs tests/kernel/scenarios.sh; this side serves its
requests (modem lines, unplug, plug), checks what only this side sees (the boards' reports, the
port lists, the timing) and prints one line per check.

Usage: run.py BUILD_DIR KERNEL_DIR MODEMLINES_SO
KERNEL_DIR holds the kernel package unpacked (boot/vmlinuz-*, lib/modules/*/ with modules.dep).
"""
import fcntl
import hashlib
import json
import os
import re
import select
import shutil
import socket
import stat
import subprocess
import sys
import time

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay", "xhci_pci", "ftdi_sio"]
USB_SERIAL = "KQ4711"  # the adapter's serial number
TIME_LIMIT = 420  # the whole run, boot to power-off
TIOCM = {"cts": 0x020, "car": 0x040, "rng": 0x080, "dsr": 0x100}

results = []  # (passed, name, detail)
ran = {}  # test program -> how many of its tests the guest ran


def check(ok, name, detail=""):
    results.append((bool(ok), name, detail))
    print(("pass " if ok else "FAIL ") + name + (": " + detail if detail and not ok else ""),
          flush=True)


def figure(text):
    """Times are printed, never judged here: the guest runs on one emulated core that shares
    the machine, so a bound would test the machine's load, not the drivers."""
    load = os.getloadavg()[0]
    print("time %s (load average %.1f on %d cores)" % (text, load, os.cpu_count()), flush=True)


# ---- initramfs (newc cpio, uncompressed) ----------------------------------------------------
def cpio_entry(name, mode, data=b"", rdev=(0, 0), ino=[0]):
    ino[0] += 1
    path = name.encode() + b"\0"
    fields = [ino[0], mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(path), 0]
    out = b"070701" + "".join("%08X" % f for f in fields).encode() + path
    out += b"\0" * (-len(out) % 4) + data
    return out + b"\0" * (-len(out) % 4)


def module_files(moddir):
    deps = {}
    with open(os.path.join(moddir, "modules.dep")) as f:
        for line in f:
            target, _, rest = line.partition(":")
            deps[os.path.basename(target).split(".")[0].replace("-", "_")] = [target] + rest.split()
    files = []
    for m in MODULES:
        files += [p for p in deps[m] if p not in files]
    return files


def make_initramfs(kernel_dir, path):
    moddir = next(os.path.join(kernel_dir, "lib/modules", v)
                  for v in os.listdir(os.path.join(kernel_dir, "lib/modules")))
    version = os.path.basename(moddir)
    blob = b""
    for d in ["bin", "dev", "proc", "sys", "host", "lib", "lib/modules",
              "lib/modules/" + version]:
        blob += cpio_entry(d, stat.S_IFDIR | 0o755)
    blob += cpio_entry("dev/console", stat.S_IFCHR | 0o600, rdev=(5, 1))
    with open("/bin/busybox", "rb") as f:
        blob += cpio_entry("bin/busybox", stat.S_IFREG | 0o755, f.read())
    with open(os.path.join(SRC, "tests/kernel/init"), "rb") as f:
        blob += cpio_entry("init", stat.S_IFREG | 0o755, f.read())
    files = module_files(moddir)
    made = set()
    for rel in files:
        parts = rel.split("/")
        for i in range(1, len(parts)):
            d = "/".join(parts[:i])
            if d not in made:
                made.add(d)
                blob += cpio_entry("lib/modules/%s/%s" % (version, d), stat.S_IFDIR | 0o755)
        with open(os.path.join(moddir, rel), "rb") as f:
            blob += cpio_entry("lib/modules/%s/%s" % (version, rel), stat.S_IFREG | 0o644,
                               f.read())
    with open(os.path.join(moddir, "modules.dep")) as f:
        dep = "".join(l for l in f if l.split(":")[0] in files).encode()
    blob += cpio_entry("lib/modules/%s/modules.dep" % version, stat.S_IFREG | 0o644, dep)
    blob += cpio_entry("TRAILER!!!", 0)
    with open(path, "wb") as f:
        f.write(blob)
    return next(os.path.join(kernel_dir, "boot", n)
                for n in os.listdir(os.path.join(kernel_dir, "boot")) if n.startswith("vmlinuz"))


# ---- board simulators -----------------------------------------------------------------------
class Board:
    def __init__(self, build, work, name, serial):
        self.report = os.path.join(work, name + ".json")
        self.out = os.path.join(work, name + ".out")
        with open(self.out, "w") as out:
            self.proc = subprocess.Popen(
                [os.path.join(build, "bin/quorvel-boardsim"), "--pace", "--exit-when-done",
                 "--serial", serial, "--report", self.report], stdout=out,
                stderr=subprocess.STDOUT)
        self.pts = ""
        for _ in range(100):
            with open(self.out) as f:
                self.pts = f.readline().strip()
            if self.pts.startswith("/dev/pts/"):
                return
            time.sleep(0.05)
        raise RuntimeError("the board simulator did not start: " + self.pts)

    def finished_report(self, timeout=15):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        try:
            with open(self.report) as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()


def expected_image_sha256():
    """The built-in image's bytes from 0x800 on in address order, as the simulator hashes
    them, read straight from the source file rather than through the program's own loader."""
    data = {}
    with open(os.path.join(SRC, "resources/firmware.hex")) as f:
        for line in f:
            m = re.match(r":([0-9A-Fa-f]{2})([0-9A-Fa-f]{4})00([0-9A-Fa-f]*)", line.strip())
            if m and int(m.group(2), 16) >= 0x800:
                data[int(m.group(2), 16)] = bytes.fromhex(m.group(3)[:2 * int(m.group(1), 16)])
    return hashlib.sha256(b"".join(data[a] for a in sorted(data))).hexdigest()


def wire_seconds(report, uart):
    """An update on the wire, whole and from the first frame to the last: identification at
    9600 baud ("(%B67)" and the reply), then at 19200 the status query and reply, every frame
    (15 bytes around its data) with its 4-byte answer, "<F@>" and "<FF>"; 10 bits a byte.
    A 16550 hands over an answer shorter than its receive trigger (8 bytes under Linux) only
    after 4 idle character times: that is the chip's, so it counts as wire time there."""
    frames = report["accepted"]
    between = ((frames - 1) * 19 + report["flashed_bytes"]) * 10 / 19200
    whole = 20 * 10 / 9600 + (32 + 19 * frames + report["flashed_bytes"]) * 10 / 19200
    if uart:
        between += (frames - 1) * 4 * 10 / 19200
        whole += 4 * 10 / 9600 + (frames + 2) * 4 * 10 / 19200
    return whole, between


def iso_seconds(text):
    return time.mktime(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) + float(text[19:-1] or 0)


# ---- the QEMU monitor (QMP) -----------------------------------------------------------------
class Monitor:
    def __init__(self, path):
        for _ in range(200):
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                time.sleep(0.05)
        else:
            raise RuntimeError("no QEMU monitor at " + path)
        self.sock.settimeout(30)
        self.buffer = b""
        self.events = []
        self.message()  # greeting
        self.command("qmp_capabilities")

    def message(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError("the QEMU monitor closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            m = self.message()
            if "event" in m:
                self.events.append(m)
            elif "error" in m:
                raise RuntimeError("%s: %s" % (name, m["error"]))
            elif "return" in m:
                return m["return"]

    def wait_event(self, name, device, timeout=10):
        end = time.time() + timeout
        while time.time() < end:
            for m in self.events:
                if m["event"] == name and m.get("data", {}).get("device") == device:
                    self.events.remove(m)
                    return True
            self.sock.settimeout(max(0.1, end - time.time()))
            try:
                m = self.message()
            except socket.timeout:
                break
            self.events.append(m)
        return False


# ---- the run --------------------------------------------------------------------------------
class Run:
    def __init__(self, build, kernel_dir, preload):
        self.build = build
        self.work = os.path.join(build, "kernel-run")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.kernel = make_initramfs(kernel_dir, os.path.join(self.work, "initramfs"))
        self.preload = preload
        self.boards = {}
        self.modem = os.path.join(self.work, "modem")
        with open(self.modem, "w") as f:
            f.write("0\n")
        self.console = open(os.path.join(self.work, "console.log"), "w")
        self.plugged = 1
        self.times = {}

    def start(self):
        self.boards["usb-1"] = Board(self.build, self.work, "usb-1", "U00001")
        self.boards["uart"] = Board(self.build, self.work, "uart", "S00001")
        qmp = os.path.join(self.work, "qmp.sock")
        env = dict(os.environ, LD_PRELOAD=self.preload,
                   QUORVEL_MODEM_PTS=self.boards["uart"].pts, QUORVEL_MODEM_STATE=self.modem)
        cmdline = ("console=ttyS0 quiet panic=-1 QSRC=%s QBUILD=%s QUSB_SERIAL=%s"
                   % (SRC, self.build, USB_SERIAL))
        self.qemu = subprocess.Popen(
            ["qemu-system-x86_64", "-accel", "tcg", "-m", "768", "-smp", "1", "-nodefaults",
             "-no-reboot", "-display", "none", "-kernel", self.kernel,
             "-initrd", os.path.join(self.work, "initramfs"), "-append", cmdline,
             "-serial", "stdio",
             "-chardev", "serial,id=uart,path=" + self.boards["uart"].pts,
             "-device", "isa-serial,chardev=uart,index=1",
             "-device", "qemu-xhci,id=xhci",
             "-chardev", "serial,id=usb1,path=" + self.boards["usb-1"].pts,
             "-device", "usb-serial,id=ftdi,bus=xhci.0,chardev=usb1,serial=" + USB_SERIAL,
             "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
             "-qmp", "unix:%s,server=on,wait=off" % qmp],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        self.monitor = Monitor(qmp)

    def reply(self, text="@@ok"):
        self.qemu.stdin.write(text.encode() + b"\n")
        self.qemu.stdin.flush()

    def set_lines(self, names):
        bits = 0
        for n in names:
            bits |= TIOCM[n]
        with open(self.modem, "r+") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            state = int(f.read().strip() or 0)
            state = (state & ~sum(TIOCM.values())) | bits  # the outputs are QEMU's
            f.seek(0)
            f.truncate()
            f.write("%d\n" % state)

    def unplug(self):
        self.monitor.command("device_del", id="ftdi")
        return self.monitor.wait_event("DEVICE_DELETED", "ftdi")

    def plug(self):
        # Another board on a new line, as a technician plugs the adapter back in.
        self.plugged += 1
        name = "usb-%d" % self.plugged
        self.boards[name] = Board(self.build, self.work, name, "U%05d" % self.plugged)
        chardev = "usb%d" % self.plugged
        self.monitor.command("chardev-add", id=chardev,
                             backend={"type": "serial",
                                      "data": {"device": self.boards[name].pts}})
        self.monitor.command("device_add", driver="usb-serial", id="ftdi", bus="xhci.0",
                             chardev=chardev, serial=USB_SERIAL)
        return name

    def board_done(self, name, port):
        report = self.boards[name].finished_report()
        ok = report is not None and report["state"] == "finished" and report["completions"] == 1
        check(ok and report["flashed_sha256"] == expected_image_sha256(),
              "whole update through %s: exact image" % port, json.dumps(report))
        if ok and port in self.times:
            whole, between = wire_seconds(report, port.startswith("ttyS"))
            took = self.times[port]
            frames = (iso_seconds(report["last_frame_time"])
                      - iso_seconds(report["first_frame_time"]))
            # The transfer as the board saw it, and the whole run, which also holds the
            # program's start over 9p under emulation.
            figure("update through %s: first to last frame %.2f s for %.2f s on the wire "
                   "(%+.1f %%)" % (port, frames, between, 100 * (frames - between) / between))
            figure("update through %s: whole run %.2f s for %.2f s on the wire (%+.1f %%)"
                   % (port, took, whole, 100 * (took - whole) / whole))

    def check_list(self, when, text):
        try:
            ports = {p["port"]: p for p in json.loads(text)}
        except ValueError:
            check(False, "port list " + when, text)
            return
        usb = [p for p in ports.values() if p["driver"] == "ftdi_sio"]
        if when == "after the unplug":
            check(not usb, "port list after the unplug: the adapter is gone", text)
            return
        want = {"driver": "ftdi_sio", "manufacturer": "QEMU", "product": "QEMU USB SERIAL",
                "serial_number": USB_SERIAL, "vendor_id": "0403", "product_id": "6001"}
        check(len(usb) == 1 and all(usb[0][k] == v for k, v in want.items()),
              "port list %s: the adapter with its USB facts" % when, text)
        uart = ports.get("/dev/ttyS1") or ports.get("ttyS1")
        check(uart is not None and uart["driver"] and not uart["vendor_id"]
              and not uart["serial_number"], "port list %s: ttyS1 without USB facts" % when,
              text)

    def serve(self, line):
        words = line.split(" ", 2)
        verb = words[1] if len(words) > 1 else ""
        rest = line.split(" ", 2)[2] if len(words) > 2 else ""
        if verb == "lines":
            self.set_lines(rest.split())
            self.reply()
        elif verb == "unplug":
            self.reply("@@ok" if self.unplug() else "@@no")
        elif verb == "plug":
            self.reply("@@ok " + self.plug())
        elif verb == "begin":  # timed here: the guest's clock drifts under emulation
            self.times[rest] = -time.time()
        elif verb == "time":
            self.times[rest] += time.time()
        elif verb == "done":
            name, port = rest.split()
            self.board_done(name, port)
            self.reply()
        elif verb == "list":
            when, _, text = rest.partition(": ")
            self.check_list(when, text)
        elif verb == "pass" or verb == "fail":
            check(verb == "pass", rest)
        elif verb == "note":
            print(rest, flush=True)
        elif verb == "ran":
            program, _, count = rest.partition(" ")
            ran[program] = int(count or 0)

    def loop(self):
        start = time.time()
        end = start + TIME_LIMIT
        pending = b""
        ended = False
        while time.time() < end:
            ready, _, _ = select.select([self.qemu.stdout], [], [], 1)
            if not ready:
                continue
            chunk = os.read(self.qemu.stdout.fileno(), 65536)
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode("utf-8", "replace").rstrip("\r")
                self.console.write("%6.1f %s\n" % (time.time() - start, line))
                self.console.flush()
                if line.startswith("@@ end"):
                    ended = True
                elif line.startswith("@@ "):
                    self.serve(line)
        check(ended, "the guest ran to its end within %d s" % TIME_LIMIT)

    def stop(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
        for b in self.boards.values():
            b.stop()


def count_tests(build):
    """The test programs the configure registered for this run (registered-tests.txt), and how
    many tests each one lists; the guest runs them whole."""
    with open(os.path.join(build, "registered-tests.txt")) as f:
        rows = [line.split() for line in f if line.strip()]
    registered = [name for runner, name in rows if runner == "kernel"]
    listed = {}
    for program in registered:
        out = subprocess.run([os.path.join(build, "bin", program), "--gtest_list_tests"],
                             check=True, capture_output=True, text=True).stdout
        listed[program] = sum(line.startswith("  ") for line in out.splitlines())
    return registered, listed


def main():
    build, kernel_dir, preload = (os.path.abspath(a) for a in sys.argv[1:4])
    run = Run(build, kernel_dir, preload)
    start = time.time()
    try:
        run.start()
        run.loop()
    except Exception as e:  # the run failed as a whole; what is known is still shown
        check(False, "the harness", repr(e))
    finally:
        run.stop()
    registered, listed = count_tests(build)
    for program in registered:
        check(ran.get(program) == listed[program], "%s ran all its %d tests in the guest"
              % (program, listed[program]), "ran %s" % ran.get(program, "none"))
    failed = [r for r in results if not r[0]]
    print("== kernel: %d test programs registered, %d tests listed, %d run; %d checks, %d failed"
          % (len(registered), sum(listed.values()), sum(ran.get(p, 0) for p in registered),
             len(results), len(failed)))
    if failed:
        print("== guest console (%s):" % run.console.name)
        with open(run.console.name) as f:
            print("".join(f.readlines()[-80:]))
    print("guest run: %.0f s" % (time.time() - start))
    print("kernel: %d passed, %d failed" % (len(results) - len(failed), len(failed)))
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
