#!/usr/bin/python3
"""A burst of alarms larger than the SMS queue, on the simulated board.

    /usr/bin/python3 -m bench.alarm_burst [--build DIR] [--count N] [--link-setup S]   (from the tree's top)

Raises N alarms (default 25) with one function-15 write, alarm a to phone
group a % 16 (one number each) with a text of its own, and measures the time
from the write to each SMS at the simulated modem. The queue holds 17; the
rest wait in the composer's table. Prints the time until the last SMS, the
time per SMS, and the reference: the time of one alarm alone in the same run.
Against the realistic modem (default; --confirm-time LO,HI, default 1,3) it
also prints the time per SMS over the mean confirmation time. Run it once
more with --build pointing at an older build for the reference.

--link-setup S makes the simulated network spend S s of each confirmation on
setting up its link, a part it skips while the modem keeps the link open
(AT+CMMS); the burst then runs a second time with AT+CMMS on, and the last
line adds its figures (cmms_...) and cmms_over_reference, the last SMS's time
with AT+CMMS over that without. The modem waits for registration first.
Last line: confirm_s=... burst_n=... last_sms_s=... per_sms_s=... single_sms_s=...
ratio=... per_sms_over_confirm=... [cmms_... cmms_over_reference=...]
"""
import argparse
import sys
import time

from bench.session import bench_board
from sim import maplayout as L
from sim.board import BoardError, default_build
from sim.mbmaster import IR_CREG, read_ir, set_alarm, set_phone, write_reg


def wait_sent(m, n, timeout):
    end = time.monotonic() + timeout
    while len(m.outbox("sent")) < n:
        if time.monotonic() > end:
            raise RuntimeError("only %d of %d SMS sent" % (len(m.outbox("sent")), n))
        time.sleep(0.05)
    return time.time()


def burst(build, count, margs, link_setup=0.0, more_to_send=False):
    """One board: an alarm alone, then the burst. Returns the figures."""
    with bench_board(build, modem_args=margs, prefix="alarmgw-burst-") as s:
        client, m = s.client, s.modem
        if link_setup:
            m.set(link_setup=link_setup)
        if more_to_send:
            write_reg(client, L.HR_SMS_MORE_TO_SEND, 1)
        for g in range(16):
            set_phone(client, g, 0, "05550001%02d" % g)
        for a in range(count + 1):
            set_alarm(client, a, [a % 16], on_text="Burst %d" % a)
        end = time.monotonic() + 60
        while read_ir(client, IR_CREG)[0] not in (1, 5):
            if time.monotonic() > end:
                raise RuntimeError("the modem did not register within 60 s")
            time.sleep(0.1)
        # Reference: one alarm alone.
        t0 = time.time()
        client.write_coil(count, True, slave=1)
        single = wait_sent(m, 1, 60) - t0
        t0 = time.time()
        client.write_coils(0, [True] * count, slave=1)
        last = wait_sent(m, count + 1, 30 * count) - t0
        recs = m.outbox("sent")[1:]
        texts = [r.get("text") for r in recs]
        lost = sorted(set("Burst %d" % a for a in range(count)) - set(texts))
        held = sum(1 for r in recs if r.get("link_open"))
        cmms = sum(1 for e in m.at_log() if e["cmd"].startswith("AT+CMMS"))
    return {"single": single, "last": last, "lost": lost, "held": held, "cmms": cmms}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=default_build())
    ap.add_argument("--count", type=int, default=25)
    ap.add_argument("--modem", choices=("kind", "realistic"), default="realistic", help="simulated modem mode")
    ap.add_argument("--confirm-time", default="1,3", help="LO,HI s until the network confirms a send (realistic)")
    ap.add_argument("--link-setup", type=float, default=0.0,
                    help="s of each confirmation the network spends setting up its link; when set, the burst "
                         "runs twice: AT+CMMS off (the reference), then on (holding register %d = 1)"
                    % L.HR_SMS_MORE_TO_SEND)
    o = ap.parse_args(argv)
    margs = ["--realistic", "--confirm-time", o.confirm_time] if o.modem == "realistic" else []
    lo, hi = (float(x) for x in o.confirm_time.split(","))
    confirm = ((lo + hi) / 2 if o.modem == "realistic" else 0.0) + o.link_setup
    try:
        runs = [("", burst(o.build, o.count, margs, o.link_setup))]
        if o.link_setup:
            runs.append(("cmms_", burst(o.build, o.count, margs, o.link_setup, more_to_send=True)))
    except (BoardError, RuntimeError, OSError) as e:
        print("alarm_burst: %s" % e, file=sys.stderr)
        return 1
    line = []
    for tag, r in runs:
        last, n = r["last"], o.count
        print("%sburst of %d alarms: last SMS after %.1f s, %.2f s per SMS; one alarm alone %.2f s; lost %s; "
              "AT+CMMS sent %d times, %d SMS found the link open"
              % ("AT+CMMS on: " if tag else "", n, last, last / n, r["single"], r["lost"] or "none", r["cmms"],
                 r["held"]))
        line.append("%sburst_n=%d %slast_sms_s=%.2f %sper_sms_s=%.2f %ssingle_sms_s=%.2f %sratio=%.2f "
                    "%sper_sms_over_confirm=%.2f"
                    % (tag, n, tag, last, tag, last / n, tag, r["single"], tag, last / n / r["single"], tag,
                       last / n / confirm if confirm else 0.0))
    if len(runs) == 2:
        line.append("cmms_over_reference=%.2f" % (runs[1][1]["last"] / runs[0][1]["last"]))
    print(" ".join(["confirm_s=%.2f" % confirm] + line))
    return 0


if __name__ == "__main__":
    sys.exit(main())
