#!/usr/bin/env python3
"""Prints "ready", then the name of the first file read in FOLDER (inotify), within 30 s.

Usage: first_read.py FOLDER; exits 1 when nothing was read in time."""
import ctypes
import os
import select
import struct
import sys

IN_ACCESS = 0x1
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(os.O_NONBLOCK)
if fd < 0 or libc.inotify_add_watch(fd, os.fsencode(sys.argv[1]), IN_ACCESS) < 0:
    sys.exit("inotify: " + os.strerror(ctypes.get_errno()))
print("ready", flush=True)
while select.select([fd], [], [], 30)[0]:
    data = os.read(fd, 65536)
    while data:
        _, _, _, length = struct.unpack_from("iIII", data)
        name = data[16:16 + length].rstrip(b"\0").decode()
        if name:
            print(name, flush=True)
            sys.exit(0)
        data = data[16 + length:]
sys.exit(1)
