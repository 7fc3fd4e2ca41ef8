#!/usr/bin/python3
"""The event journal's costs, in one run on this machine (run as root: it
mounts tmpfs file systems inside its scratch boards).

    /usr/bin/python3 -m bench.journal_bench [--build DIR] [--writes N] [--events N] [--day N]
                                            [--reference DIR]

1. Reply time of an alarm write (coil 5, alternately ON and OFF, no phone
   routed, so only the listener's work counts), median and 90th percentile
   over --writes round trips: journal off (its file cannot be made), journal
   on this machine's disk, journal on tmpfs. The difference is the commit
   before the reply.
2. Journal size for --events events of a busy site's mix, and the time of
   `agwctl log FILE.db` over them (all, and one alarm's).
3. A busy day (--day events, the last ones of that journal) read live with
   `agwctl log --port` through the log window: time on the pseudo-terminal,
   requests and bytes, and the time those bytes take at 115200 baud.

With --reference DIR (another build, e.g. of an earlier commit), only the
reply times are taken, of both builds in turns on disk and on tmpfs, and
printed with their ratio: the master writes back to back, so each round trip
also waits for whatever the listener does after the previous reply.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import time


from pymodbus.client import ModbusSerialClient

from sim.board import Board, default_build

BAUD = 115200


def mount_tmpfs(path, size="64m"):
    os.makedirs(path, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", path], check=True)


def umount(path):
    subprocess.run(["umount", "-l", path], check=False)


def attach_sync_counter(pid, out):
    """strace counting the daemon's fsync and fdatasync calls (all threads)
    into out; returns once it is attached."""
    p = subprocess.Popen(["strace", "-f", "-c", "-o", out, "-e", "trace=fsync,fdatasync", "-p", str(pid)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in p.stderr:
        if "attached" in line:
            break
    return p


def sync_calls(strace, out):
    strace.send_signal(signal.SIGINT)
    strace.wait(timeout=30)
    n = 0
    with open(out) as f:
        for line in f:
            w = line.split()
            if w and w[-1] in ("fsync", "fdatasync"):
                n += int(w[3])   # % time, seconds, usecs/call, calls, [errors], syscall
    return n


def reply_times(build, mode, n, count_syncs=False):
    scratch = tempfile.mkdtemp(prefix="agw_jbench_", dir="/var/tmp")
    b = Board(root=scratch, build=build, card=False, modem=False)
    b.prepare()
    app = b.path("APP")
    try:
        if mode == "tmpfs":
            mount_tmpfs(app)
        if mode == "off":
            os.makedirs(os.path.join(app, "journal.db"))   # cannot be opened: the journal is off
        b.start()
        c = ModbusSerialClient(port=b.master, baudrate=BAUD, bytesize=8, parity="N", stopbits=1, timeout=2,
                               retries=0)
        assert c.connect()
        strace = None
        t = []
        for i in range(n + 10):
            t0 = time.perf_counter()
            r = c.write_coil(5, i % 2 == 0, slave=1)
            dt = time.perf_counter() - t0
            assert not r.isError(), r
            if i >= 10:   # the first ones warm up
                t.append(dt * 1000)
            if count_syncs and i == 9:
                strace = attach_sync_counter(b.daemon.pid, os.path.join(scratch, "strace.out"))
        # The last request's work after its reply is counted too: one more
        # write waits for it.
        if strace is not None:
            c.read_coils(5, 1, slave=1)
            syncs = sync_calls(strace, os.path.join(scratch, "strace.out"))
        c.close()
        journal_ok = "cannot write" not in b.log()
        b.stop()
    finally:
        b.stop()
        if mode == "tmpfs":
            umount(app)
        shutil.rmtree(scratch, ignore_errors=True)
    t.sort()
    if count_syncs:
        return syncs / n
    return statistics.median(t), t[len(t) * 9 // 10], journal_ok


def fill(build, root, n):
    os.makedirs(os.path.join(root, "APP"), exist_ok=True)
    r = subprocess.run([os.path.join(build, "bench", "bench_journal_fill"), root, str(n)],
                       capture_output=True, text=True, check=True)
    events, secs, per_ms, size = r.stderr.split()[-4:]
    return float(secs), float(per_ms), int(size)


def timed(cmd):
    t0 = time.perf_counter()
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=True)
    return time.perf_counter() - t0, r.stdout.count("\n"), r.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=default_build())
    ap.add_argument("--writes", type=int, default=300)
    ap.add_argument("--events", type=int, default=100000)
    ap.add_argument("--day", type=int, default=3000)
    ap.add_argument("--reference", help="a second build whose reply times are compared")
    ap.add_argument("--rounds", type=int, default=3, help="turns of each build with --reference")
    a = ap.parse_args()
    agwctl = os.path.join(a.build, "agwctl")

    if a.reference:
        print("## Reply time of an alarm write (coil 5), %d round trips x %d turns; ratio build / reference"
              % (a.writes, a.rounds))
        print("| journal | build median | reference median | ratio | build p90 | reference p90 | ratio |")
        print("|---|---|---|---|---|---|---|")
        for mode in ("disk", "tmpfs"):
            got = {a.build: [], a.reference: []}
            for _ in range(a.rounds):
                for build in (a.reference, a.build):
                    med, p90, _ok = reply_times(build, mode, a.writes)
                    got[build].append((med, p90))
            bm = statistics.median(m for m, _ in got[a.build])
            rm = statistics.median(m for m, _ in got[a.reference])
            bp = statistics.median(p for _, p in got[a.build])
            rp = statistics.median(p for _, p in got[a.reference])
            print("| %s | %.2f ms | %.2f ms | %.2f | %.2f ms | %.2f ms | %.2f |" % (mode, bm, rm, bm / rm, bp, rp,
                                                                                 bp / rp))
        if shutil.which("strace"):
            b = reply_times(a.build, "disk", a.writes, count_syncs=True)
            r = reply_times(a.reference, "disk", a.writes, count_syncs=True)
            print("\n- fsync/fdatasync calls of the daemon per alarm write (strace, %d writes): "
                  "build %.2f, reference %.2f, ratio %.2f" % (a.writes, b, r, b / r if r else float("nan")))
        return

    print("## Reply time of an alarm write (coil 5), %d round trips" % a.writes)
    print("| journal | median | p90 |")
    print("|---|---|---|")
    for mode in ("off", "disk", "tmpfs"):
        med, p90, ok = reply_times(a.build, mode, a.writes)
        print("| %s%s | %.2f ms | %.2f ms |" % (mode, "" if ok or mode == "off" else " (not writable!)", med, p90))

    print("\n## Journal of %d events" % a.events)
    scratch = tempfile.mkdtemp(prefix="agw_jfill_", dir="/var/tmp")
    disk = tempfile.mkdtemp(prefix="agw_jfill_disk_", dir="/var/tmp")
    app = os.path.join(scratch, "APP")
    try:
        mount_tmpfs(app, "256m")
        secs, per_ms, size = fill(a.build, scratch, a.events)
        print("- filled on tmpfs in %.1f s (%.3f ms per event, one commit each)" % (secs, per_ms))
        print("- size: %.1f MB (%.0f bytes per event)" % (size / 1e6, size / a.events))
        dsecs, dper, _ = fill(a.build, disk, 2000)
        print("- on this machine's disk: %.3f ms per event (2000 events, each committed with fsync)" % dper)
        db = os.path.join(app, "journal.db")
        t, lines, _ = timed([agwctl, "log", db])
        print("- `agwctl log FILE.db`, all %d lines: %.2f s" % (lines, t))
        t, lines, _ = timed([agwctl, "log", db, "--alarm", "5", "--csv"])
        print("- `agwctl log FILE.db --alarm 5 --csv`, %d lines: %.2f s" % (lines, t))

        print("\n## A busy day (%d events) over the line" % a.day)
        b = Board(root=tempfile.mkdtemp(prefix="agw_jday_", dir="/var/tmp"), build=a.build, card=False,
                  modem=False)
        b.prepare()
        shutil.copy(db, b.path("APP/journal.db"))
        t0 = time.perf_counter()
        b.start()
        print("- daemon start with that journal (checked, opened): %.2f s to the first request" %
              (time.perf_counter() - t0))
        since = "@%d" % (int(time.time()) - a.day)
        t, lines, err = timed([agwctl, "log", "--port", b.master, "--since", since])
        b.stop()
        shutil.rmtree(b.root, ignore_errors=True)
        words = err.split()
        events, requests, nbytes = int(words[1]), int(words[3]), int(words[5])
        line_s = nbytes * 10 / BAUD + requests * 2 * 3.5 * 11 / BAUD
        print("- `agwctl log --port --since`: %d events in %d requests, %d bytes; %.2f s on the "
              "pseudo-terminal; at %d baud the bytes and frame gaps take %.1f s (%.1f events per request)"
              % (events, requests, nbytes, t, BAUD, line_s, events / max(requests, 1)))
    finally:
        umount(app)
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)


if __name__ == "__main__":
    main()
