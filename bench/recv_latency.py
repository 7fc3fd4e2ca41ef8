#!/usr/bin/python3
"""Received SMS latency on the simulated board.

    /usr/bin/python3 -m bench.recv_latency [--build DIR] [--count N] [--seed S]   (from the tree's top)

Stores N SMS on the simulated SIM, one after another, and measures for each the
time until it is published in input registers 30..127 (discrete input 1 reads
1 and the sender matches), then acknowledges it with coil 199. Runs once
against the realistic modem (echo, answers in pieces, SIM latency, unsolicited
codes) and once against the kind one as the reference of the same run. The
last line is machine-readable:

    recv_realistic_median_s=... recv_realistic_max_s=... recv_kind_median_s=... ratio=...

The figures come from the daemon's pacing: a modem pass reads the storage
after its status queries and pauses 1 s; the polling thread publishes every 3 s.
"""
import argparse
import random
import statistics
import sys
import time

from bench.session import REALISTIC, bench_board
from sim.board import BoardError, default_build
from sim.mbmaster import COIL_CLEAR_RECEIVED, DI_NEW_SMS, HR_SENDER_FILTER, read_di, received_sms, write_coil, write_reg


def run(build, count, seed, modem_args):
    times = []
    with bench_board(build, modem_args=modem_args) as s:
        client, m = s.client, s.modem
        write_reg(client, HR_SENDER_FILTER, 0)   # any sender
        rng = random.Random(seed)
        for i in range(count):
            time.sleep(rng.uniform(0.0, 3.0))   # a random phase of the threads' cycles
            sender = "06%08d" % (i + 1)
            t0 = time.time()
            m.deliver_sms(sender=sender, text="bench %d" % i)
            end = time.monotonic() + 40
            while time.monotonic() < end:
                if read_di(client, DI_NEW_SMS)[0] and received_sms(client)["sender"] == sender:
                    break
                time.sleep(0.05)
            else:
                raise RuntimeError("SMS %d not published within 40 s" % (i + 1))
            times.append(time.time() - t0)
            write_coil(client, COIL_CLEAR_RECEIVED, True)
            print("  %-9s %3d  %6.2f s" % ("realistic" if modem_args else "kind", i + 1, times[-1]), flush=True)
    return times


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=default_build())
    ap.add_argument("--count", type=int, default=10)
    ap.add_argument("--seed", type=int, default=1)
    o = ap.parse_args(argv)
    try:
        real = run(o.build, o.count, o.seed, REALISTIC)
        kind = run(o.build, o.count, o.seed, [])
    except (BoardError, RuntimeError, OSError) as e:
        print("recv_latency: %s" % e, file=sys.stderr)
        return 1
    rm, rx, km = statistics.median(real), max(real), statistics.median(kind)
    print("received SMS -> published (median, max): realistic %.2f s, %.2f s; kind %.2f s" % (rm, rx, km))
    print("recv_realistic_median_s=%.3f recv_realistic_max_s=%.3f recv_kind_median_s=%.3f ratio=%.3f"
          % (rm, rx, km, rm / km if km else 0.0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
