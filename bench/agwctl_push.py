#!/usr/bin/python3
"""agwctl push of a full site (16 groups of 16 numbers, 128 alarms with both
texts) to the daemon on the simulated board, against the same push to
bench_ref_server (a bare libmodbus RTU server) measured in the same run.

    /usr/bin/python3 -m bench.agwctl_push [--build DIR]   (from the tree's top)

Needs alarmgw, agwctl and bench_ref_server built in DIR. Prints the requests,
the seconds over the simulated line, and the time the same bytes take on a
real 115200-baud wire (computed by agwctl from the bytes sent and received).
"""
import argparse
import os
import re
import subprocess
import tempfile
import time

from sim.board import Board, default_build
from bench.run_bench import RefLine


def full_site():
    out = []
    for g in range(16):
        nums = ", ".join('"+4917%02d%02d%04d"' % (g, n, 1000 + g * 16 + n) for n in range(16))
        out.append("[[group]]\nindex = %d\nnumbers = [%s]\n" % (g, nums))
    for a in range(128):
        on = ("Alarm %d ausgelöst: Pumpe, Schacht, Halle – bitte prüfen" % a)[:54]
        off = ("Alarm %d zurückgesetzt: Pumpe, Schacht, Halle wieder ok" % a)[:54]
        out.append('[[alarm]]\nnumber = %d\non = "%s"\noff = "%s"\ngroups = [%d, %d]\nsms = true\n'
                   % (a, on, off, a % 16, (a + 1) % 16))
    return "\n".join(out)


def push(agwctl, site, port):
    t = time.monotonic()
    p = subprocess.run([agwctl, "push", site, "--port", port], capture_output=True, text=True, timeout=600)
    dt = time.monotonic() - t
    if p.returncode != 0:
        raise RuntimeError(p.stderr)
    m = re.search(r"in (\d+) requests; (\d+) bytes on the line, ([\d.]+) s at 115200", p.stderr)
    return int(m.group(1)), dt, int(m.group(2)), float(m.group(3))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=default_build())
    a = ap.parse_args()
    agwctl = os.path.join(a.build, "agwctl")
    with tempfile.TemporaryDirectory() as work:
        site = os.path.join(work, "site.toml")
        with open(site, "w", encoding="utf-8") as f:
            f.write(full_site())
        board = Board(root=os.path.join(work, "board"), build=a.build, card=False)
        ref = None
        try:
            board.start()
            ref = RefLine(os.path.join(a.build, "bench", "bench_ref_server"), work)
            rows = [("alarmgw", push(agwctl, site, board.master)), ("reference", push(agwctl, site, ref.master))]
        finally:
            if ref is not None:
                ref.close()
            board.stop()
    print("| target | requests | seconds (simulated line) | bytes | seconds on a 115200-baud wire |")
    print("|---|---|---|---|---|")
    for name, (n, dt, b, wire) in rows:
        print("| %s | %d | %.3f | %d | %.2f |" % (name, n, dt, b, wire))
    print("daemon / reference: %.2f" % (rows[0][1][1] / rows[1][1][1]))


if __name__ == "__main__":
    main()
