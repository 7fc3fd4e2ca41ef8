#!/usr/bin/python3
"""Alarm latency on the simulated board.

    /usr/bin/python3 -m bench.alarm_latency [--build DIR] [--count N] [--seed S] [--root DIR] [--modem M]

(from the tree's top)

--modem realistic runs it against the realistic simulated modem (echo,
answers in pieces, SIM latency, confirmations after 1 to 3 s); kind (the
default) against the kind one, the reference.

Once the master sees the modem registered, raises one alarm N times
(default 20), one after another (each after the
previous one is closed and a random pause of up to 3 s), each to one phone,
and measures for each the time from the master's coil write to the AT+CMGS
command at the simulated modem (its AT log has time stamps) and to input
register 0 reading "done". The daemon's output is followed live to time the
dispatcher's hand-over to the modem (its "--> phone_idx[0]" line).

Prints every alarm, the median and maximum of both figures and where the time
goes; the last line is machine-readable:

    alarm_to_cmgs_median_s=... alarm_to_cmgs_max_s=... alarm_to_768_median_s=... alarm_to_768_max_s=...

The figures come from the daemon's pacing, not from the machine: the SMS
dispatcher wakes when the alarm is queued, the modem wakes when the mailbox
is filled and sends before its status queries while their answers are fresh,
a send waits for the prompt and then for the network's confirmation as it
arrives, and the polling thread reports the status every 3 s. Run it once
more with --build pointing at an older build for the reference.
"""
import argparse
import random
import re
import statistics
import sys
import threading
import time

from bench.session import REALISTIC, bench_board
from sim.board import BoardError, default_build
from sim.maplayout import IR_SLOTS
from sim.mbmaster import DONE, FAILED, IR_CREG, IR_STATUS, read_ir, set_alarm, set_phone, write_coil

ALARM = 5
PHONE = "0611111111"
HANDOVER = re.compile(r"--> phone_idx\[0\]: ")
FINISHED = re.compile(r"ng_cnt=\d+, phone_idx=\d+")


class LogFollower(threading.Thread):
    """Time-stamps the daemon's output as it is written (the daemon writes no
    time stamps of its own): keeps (arrival time, offset) of every hand-over line."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.stop = threading.Event()
        self.handovers = []
        self.finished = 0
        self.lock = threading.Lock()

    def run(self):
        pos = 0
        pending = ""
        while not self.stop.is_set():
            try:
                with open(self.path, "rb") as f:
                    f.seek(pos)
                    data = f.read()
            except FileNotFoundError:
                data = b""
            if data:
                now = time.time()
                pos += len(data)
                pending += data.decode("latin-1")
                lines = pending.split("\n")
                pending = lines.pop()
                with self.lock:
                    self.handovers += [now for ln in lines if HANDOVER.match(ln)]
                    self.finished += sum(1 for ln in lines if FINISHED.match(ln))
            self.stop.wait(0.01)

    def wait_finished(self, n, timeout=10.0):
        """Waits until the dispatcher has closed n entries."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                if self.finished >= n:
                    return
            time.sleep(0.02)
        raise RuntimeError("the SMS dispatcher did not close entry %d" % n)

    def first_after(self, t):
        with self.lock:
            return next((x for x in self.handovers if x >= t), None)


def at_after(m, t):
    """AT+CMGS time after t and the time of the first command after its PDU
    (the modem pass goes on only when the send's fixed waits are over)."""
    log = m.at_log()
    for i, e in enumerate(log):
        if e["t"] >= t and e["cmd"].startswith("AT+CMGS="):
            end = next((x["t"] for x in log[i + 2:]), None)
            return e["t"], end
    return None, None


def one_alarm(c, m, follower, record, timeout=30.0):
    with follower.lock:
        closed_before = follower.finished
    t0 = time.time()
    write_coil(c, ALARM, True)
    t_reply = time.time()
    left_768 = False
    t768 = None
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = read_ir(c, IR_STATUS + record)[0]   # the n-th alarm SMS reports in record n % 16
        now = time.time()
        if v == FAILED:
            raise RuntimeError("the SMS failed (input register %d = %d)" % (IR_STATUS + record, v))
        if v != DONE:
            left_768 = True
        elif not left_768:
            # A send quicker than the polling thread's 3 s report never shows
            # another status: the entry closed by the dispatcher counts instead.
            with follower.lock:
                left_768 = follower.finished > closed_before
        elif left_768:
            t768 = now
            break
        time.sleep(0.05)
    if t768 is None:
        raise RuntimeError("input register %d did not come back to done within %.0f s" % (IR_STATUS + record, timeout))
    t_cmgs, t_sent = at_after(m, t0)
    if t_cmgs is None:
        raise RuntimeError("no AT+CMGS at the modem")
    return {"cmgs": t_cmgs - t0, "done": t768 - t0, "reply": t_reply - t0, "handover": (follower.first_after(t0) or t0) - t0,
            "sent": (t_sent or t_cmgs) - t0}


def stats(values):
    return statistics.median(values), max(values)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=default_build(), help="build directory holding alarmgw (default: %(default)s)")
    ap.add_argument("--count", type=int, default=20, help="alarms to raise (default: %(default)s)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the random pauses between alarms")
    ap.add_argument("--root", help="board root (default: a temporary directory, removed at the end)")
    ap.add_argument("--modem", choices=("kind", "realistic"), default="kind", help="simulated modem mode")
    ap.add_argument("--from-start", action="store_true",
                    help="raise the first alarm as soon as the daemon answers, before the modem has registered")
    o = ap.parse_args(argv)

    margs = REALISTIC if o.modem == "realistic" else []
    rows = []
    follower = None
    try:
        with bench_board(o.build, modem_args=margs, card=True, root=o.root) as s:
            client, m = s.client, s.modem
            follower = LogFollower(s.board.log_path)
            set_phone(client, 0, 0, PHONE)
            set_alarm(client, ALARM, [0], on_text="Latency test")
            # Measured on an idle, registered modem: the first alarm does not
            # wait for the modem's start (unless --from-start asks for it).
            end = time.monotonic() + 60
            while not o.from_start and read_ir(client, IR_CREG)[0] not in (1, 5):
                if time.monotonic() > end:
                    raise RuntimeError("the modem did not register within 60 s")
                time.sleep(0.1)
            follower.start()
            rng = random.Random(o.seed)
            print("alarm latency: %d alarms, one phone each, board root %s" % (o.count, s.root))
            print("  #  write reply  to hand-over  to AT+CMGS  send done  done read    (seconds after the coil write)")
            for i in range(o.count):
                # One after another: the previous entry is closed, so every line
                # of the dispatcher from now on belongs to this alarm.
                follower.wait_finished(i)
                # A random pause puts the write at a random phase of the
                # dispatcher's, the modem's and the polling thread's cycles.
                time.sleep(rng.uniform(0.0, 3.0))
                r = one_alarm(client, m, follower, i % IR_SLOTS)
                rows.append(r)
                print("%3d  %11.2f  %11.2f  %10.2f  %9.2f  %11.2f"
                      % (i + 1, r["reply"], r["handover"], r["cmgs"], r["sent"], r["done"]), flush=True)
    except (BoardError, RuntimeError, OSError) as e:
        print("alarm_latency: %s" % e, file=sys.stderr)
        return 1
    finally:
        if follower is not None:
            follower.stop.set()

    cm, cx = stats([r["cmgs"] for r in rows])
    sm, sx = stats([r["done"] for r in rows])
    parts = [
        ("coil write -> its reply", [r["reply"] for r in rows], "the listener answers the master"),
        ("coil write -> dispatcher hand-over", [r["handover"] for r in rows],
         "SMS dispatcher wakes on the queued alarm"),
        ("hand-over -> AT+CMGS", [r["cmgs"] - r["handover"] for r in rows],
         "modem wakes on the mailbox; fresh status queries wait until after the send"),
        ("AT+CMGS -> send done", [r["sent"] - r["cmgs"] for r in rows],
         "the prompt, then +CMGS/OK as soon as the network confirms"),
        ("send done -> done read", [r["done"] - r["sent"] for r in rows],
         "polling thread reports every 3 s (+ the master's 50 ms read interval)"),
    ]
    print()
    print("                                   median    max")
    print("coil write -> AT+CMGS              %6.2f  %6.2f" % (cm, cx))
    print("coil write -> done read          %6.2f  %6.2f" % (sm, sx))
    print()
    print("where the time goes (median, max):")
    for name, vals, why in parts:
        pm, px = stats(vals)
        print("  %-36s %5.2f  %5.2f   %s" % (name, pm, px, why))
    c90 = sorted(r["cmgs"] for r in rows)[max(0, -(-9 * len(rows) // 10) - 1)]
    print("alarm_to_cmgs_median_s=%.3f alarm_to_cmgs_p90_s=%.3f alarm_to_cmgs_max_s=%.3f alarm_to_768_median_s=%.3f "
          "alarm_to_768_max_s=%.3f" % (cm, c90, cx, sm, sx))
    return 0


if __name__ == "__main__":
    sys.exit(main())
