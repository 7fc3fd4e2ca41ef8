#!/usr/bin/python3
"""A burst of alarms larger than the SMS queue, on the simulated board.

    /usr/bin/python3 bench/alarm_burst.py [--build DIR] [--count N]

Raises N alarms (default 25) with one function-15 write, alarm a to phone
group a % 16 (one number each) with a text of its own, and measures the time
from the write to each SMS at the simulated modem. The queue holds 17; the
rest wait in the composer's table. Prints the time until the last SMS, the
time per SMS, and the reference: the time of one alarm alone in the same run.
Against the realistic modem (default; --confirm-time LO,HI, default 1,3) it
also prints the time per SMS over the mean confirmation time. Run it once
more with --build pointing at an older build for the reference.
Last line: burst_n=... last_sms_s=... per_sms_s=... single_sms_s=... ratio=...
confirm_s=... per_sms_over_confirm=...
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if not __package__:   # run as a script: the tree's top makes sim and bench packages
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.board import Board, BoardError, default_build  # noqa: E402
from sim.mbmaster import client as mb_client, set_alarm, set_phone  # noqa: E402
from sim.modemctl import Modem  # noqa: E402


def wait_sent(m, n, timeout):
    end = time.monotonic() + timeout
    while len(m.outbox("sent")) < n:
        if time.monotonic() > end:
            raise RuntimeError("only %d of %d SMS sent" % (len(m.outbox("sent")), n))
        time.sleep(0.05)
    return time.time()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=default_build())
    ap.add_argument("--count", type=int, default=25)
    ap.add_argument("--modem", choices=("kind", "realistic"), default="realistic", help="simulated modem mode")
    ap.add_argument("--confirm-time", default="1,3", help="LO,HI s until the network confirms a send (realistic)")
    o = ap.parse_args(argv)
    root = tempfile.mkdtemp(prefix="alarmgw-burst-")
    margs = ["--realistic", "--confirm-time", o.confirm_time] if o.modem == "realistic" else []
    lo, hi = (float(x) for x in o.confirm_time.split(","))
    confirm = (lo + hi) / 2 if o.modem == "realistic" else 0.0
    b = Board(root=root, build=o.build, card=False, echo=False, modem_args=margs)
    client = None
    try:
        b.start()
        client = mb_client(b.master, retries=1)
        m = Modem(b.root)
        for g in range(16):
            set_phone(client, g, 0, "05550001%02d" % g)
        for a in range(o.count + 1):
            set_alarm(client, a, [a % 16], on_text="Burst %d" % a)
        # Reference: one alarm alone.
        t0 = time.time()
        client.write_coil(o.count, True, slave=1)
        single = wait_sent(m, 1, 60) - t0
        t0 = time.time()
        client.write_coils(0, [True] * o.count, slave=1)
        last = wait_sent(m, o.count + 1, 30 * o.count) - t0
        texts = [r.get("text") for r in m.outbox("sent")][1:]
        lost = sorted(set("Burst %d" % a for a in range(o.count)) - set(texts))
        print("burst of %d alarms: last SMS after %.1f s, %.2f s per SMS; one alarm alone %.2f s; lost %s"
              % (o.count, last, last / o.count, single, lost or "none"))
        print("burst_n=%d last_sms_s=%.2f per_sms_s=%.2f single_sms_s=%.2f ratio=%.2f confirm_s=%.2f "
              "per_sms_over_confirm=%.2f"
              % (o.count, last, last / o.count, single, last / o.count / single, confirm,
                 last / o.count / confirm if confirm else 0.0))
    except (BoardError, RuntimeError, OSError) as e:
        print("alarm_burst: %s" % e, file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
        b.stop()
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
