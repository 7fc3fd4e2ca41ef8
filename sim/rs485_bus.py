#!/usr/bin/python3
"""A multi-drop RS-485 line for the simulated board.

    /usr/bin/python3 sim/rs485_bus.py --link PATH [--link PATH ...]
                                      [--slave ADDR:MIN_MS:MAX_MS ...] [--ready FILE]

Every --link is one node: a pseudo-terminal whose slave end is linked at PATH.
Every byte one node writes reaches all the other nodes (not itself), as on a
half-duplex line. Each --slave is one more RTU slave on the line, inside this
program: it answers function 3 (read holding registers; register i holds
ADDR * 1000 + i) after a random pause of MIN_MS..MAX_MS, and ignores
everything else it hears. The bus holds every slave end open, so nodes may
come and go.

SIGUSR1 unplugs the first node (its pseudo-terminal is closed and its link
removed, like a USB adapter pulled out); SIGUSR2 plugs a fresh one in at the
same path. SIGTERM removes the links and ends the bus.
"""
import argparse
import os
import random
import select
import signal
import struct
import sys
import time
import tty

if not __package__:   # run as a script: the tree's top makes sim a package
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from sim.mbmaster import crc16, rtu  # noqa: E402

class Node:
    def __init__(self, path):
        self.path = path
        self.master = self.slave = None
        self.plug()

    def plug(self):
        if self.master is not None:
            return
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        # A node nobody reads from drops what it is sent, as a line would.
        os.set_blocking(self.master, False)
        if os.path.lexists(self.path):
            os.unlink(self.path)
        os.symlink(os.ttyname(self.slave), self.path)

    def unplug(self):
        if self.master is None:
            return
        if os.path.lexists(self.path):
            os.unlink(self.path)
        os.close(self.master)
        os.close(self.slave)
        self.master = self.slave = None


class InsideSlave:
    def __init__(self, option):
        a, lo, hi = option.split(":")
        self.addr, self.lo, self.hi = int(a), float(lo) / 1000, float(hi) / 1000
        self.buf = b""
        self.pending = []   # (due time, reply bytes)

    def hear(self, data, now):
        # Frames follow each other closely on a busy line: a request to this
        # slave is recognised by its CRC at the end of what was heard.
        self.buf = (self.buf + data)[-256:]
        f = self.buf[-8:]
        if (len(f) == 8 and f[0] == self.addr and f[1] == 3
                and crc16(f[:-2]) == struct.unpack("<H", f[-2:])[0]):
            self.buf = b""
            start, qty = struct.unpack(">HH", f[2:6])
            regs = [(self.addr * 1000 + start + i) & 0xFFFF for i in range(min(qty, 125))]
            body = bytes([self.addr, 3, 2 * len(regs)]) + struct.pack(">%dH" % len(regs), *regs)
            self.pending.append((now + random.uniform(self.lo, self.hi), rtu(body)))

    def poll(self, now):
        due = [r for t, r in self.pending if t <= now]
        self.pending = [(t, r) for t, r in self.pending if t > now]
        return due


def write_all(fd, data):
    try:
        os.write(fd, data)
    except OSError:
        pass


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--link", action="append", required=True)
    ap.add_argument("--slave", action="append", default=[])
    ap.add_argument("--ready")
    o = ap.parse_args(argv)

    nodes = [Node(p) for p in o.link]
    slaves = [InsideSlave(s) for s in o.slave]
    events = []
    signal.signal(signal.SIGUSR1, lambda *_: events.append("unplug"))
    signal.signal(signal.SIGUSR2, lambda *_: events.append("plug"))
    signal.signal(signal.SIGTERM, lambda *_: events.append("stop"))
    if o.ready:
        with open(o.ready, "w") as f:
            f.write("%d\n" % os.getpid())

    def send(data, src):
        now = time.monotonic()
        for n in nodes:
            if n is not src and n.master is not None:
                write_all(n.master, data)
        for s in slaves:
            if s is not src:
                s.hear(data, now)

    while True:
        while events:
            e = events.pop(0)
            if e == "stop":
                for n in nodes:
                    n.unplug()
                return 0
            getattr(nodes[0], e)()
        fds = {n.master: n for n in nodes if n.master is not None}
        now = time.monotonic()
        wake = [t for s in slaves for t, _ in s.pending]
        timeout = max(0.0, min(wake) - now) if wake else 0.1
        try:
            ready, _, _ = select.select(list(fds), [], [], timeout)
        except InterruptedError:
            continue
        for fd in ready:
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            if data:
                send(data, fds[fd])
        now = time.monotonic()
        for s in slaves:
            for reply in s.poll(now):
                send(reply, s)


if __name__ == "__main__":
    sys.exit(main())
