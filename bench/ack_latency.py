#!/usr/bin/python3
"""Acknowledgement latency on the simulated board.

    /usr/bin/python3 -m bench.ack_latency [--build DIR] [--count N] [--seed S]   (from the tree's top)

Raises an alarm that needs acknowledging, waits until its SMS has reached the
phone, then stores the phone's reply "ACK 5" on the simulated SIM and measures
the time until the alarm is acknowledged (its unacknowledged bit clears, so
its repeats stop: none is sent and a queued one goes to no further phone).
Clears the alarm and repeats N times against the realistic modem. The last
line is machine-readable:

    ack_median_s=... ack_max_s=...

The figure comes from the daemon's pacing: a modem pass reads the storage
after its status queries and pauses 1 s; the polling thread takes the message
every 3 s and acknowledges at once.
"""
import argparse
import random
import statistics
import sys
import time

from bench.session import REALISTIC, bench_board
from sim import maplayout as L
from sim.board import BoardError, default_build
from sim.mbmaster import read_ir, set_alarm, set_bit, set_phone, write_coil, write_regs

ALARM, PHONE, TEXT = 5, "0611111111", "Bench alarm 5"


def unacked(c):
    return (read_ir(c, L.IR_ACK_UNACKED + L.enable_word(ALARM))[0] >> L.enable_bit(ALARM)) & 1


def wait(what, pred, timeout):
    end = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > end:
            raise RuntimeError("%s: not within %d s" % (what, timeout))
        time.sleep(0.05)


def run(build, count, seed):
    times = []
    with bench_board(build, modem_args=REALISTIC) as s:
        client, m = s.client, s.modem
        set_phone(client, 0, 0, PHONE)
        set_alarm(client, ALARM, [0], on_text=TEXT)
        write_regs(client, L.HR_ACK_INTERVAL, [600])   # no repeat within a measurement
        set_bit(client, L.HR_ACK_REQUIRED, ALARM)
        rng = random.Random(seed)
        for i in range(count):
            sent = len([x for x in m.sent() if x["text"] == TEXT])
            write_coil(client, ALARM, True)
            wait("alarm SMS", lambda: len([x for x in m.sent() if x["text"] == TEXT]) > sent, 40)
            time.sleep(rng.uniform(0.0, 3.0))   # a random phase of the threads' cycles
            t0 = time.time()
            m.deliver_sms(sender=PHONE, text="ACK 5")
            wait("acknowledged", lambda: not unacked(client), 40)
            times.append(time.time() - t0)
            print("  %3d  %6.2f s" % (i + 1, times[-1]), flush=True)
            write_coil(client, ALARM, False)
            time.sleep(1.0)
    return times


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=default_build())
    ap.add_argument("--count", type=int, default=8)
    ap.add_argument("--seed", type=int, default=1)
    o = ap.parse_args(argv)
    try:
        t = run(o.build, o.count, o.seed)
    except (BoardError, RuntimeError, OSError) as e:
        print("ack_latency: %s" % e, file=sys.stderr)
        return 1
    print("acknowledgement SMS at the modem -> repeats stopped (median, max): %.2f s, %.2f s"
          % (statistics.median(t), max(t)))
    print("ack_median_s=%.3f ack_max_s=%.3f" % (statistics.median(t), max(t)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
