#!/usr/bin/python3
"""SMS and voice calls of one alarm burst: does either wait for the other?

    /usr/bin/python3 -m bench.sms_call_fairness [--build DIR] [--count N] [--voice-every K]
                                               [--ring S] [--play S]   (from the tree's top)

Raises N alarms (default 12) with one function-15 write on the simulated board
with the realistic modem (network confirmations after 1 to 3 s), each to a
phone group of its own; every K-th alarm (default 3) has a recording on the
card and its voice call enabled. The simulated phones ring for --ring s
(default 2) before they answer, and a recording plays --play s (default 3).
From what the simulated network saw (the SMS submitted, the calls dialled and
ended) it prints the order in which the modem served them and:

  - when the first call starts, in seconds after the write and as a share of
    the SMS burst (0: before any SMS; 1: only after the last SMS);
  - when the last SMS leaves, as a share of the calls' span (first dial to
    last hang-up; above 1: it waited for every call);
  - the longest run of one kind while the other kind was waiting.

The last line is machine-readable:

    sms=... calls=... first_call_s=... first_call_share_of_sms=... last_sms_s=...
    last_sms_share_of_calls=... longest_sms_run=... longest_call_run=...
"""
import argparse
import sys
import time

from bench.session import REALISTIC, bench_board
from sim.board import BoardError, default_build
from sim.mbmaster import IR_CREG, read_ir, set_alarm, set_phone, wav_bytes

PHONE = "05550002%02d"


def wait(what, pred, timeout):
    end = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > end:
            raise RuntimeError("%s: not within %.0f s" % (what, timeout))
        time.sleep(0.1)


def longest_run_while_other_waits(order, kind):
    """Longest run of kind in order while some of the other kind is still to come."""
    best = run = 0
    for i, k in enumerate(order):
        if k == kind and any(x != kind for x in order[i + 1:]):
            run += 1
            best = max(best, run)
        else:
            run = 0
    return best


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=default_build())
    ap.add_argument("--count", type=int, default=12)
    ap.add_argument("--voice-every", type=int, default=3)
    ap.add_argument("--ring", type=float, default=2.0, help="s a phone rings before it answers")
    ap.add_argument("--play", type=float, default=3.0, help="s a recording plays")
    o = ap.parse_args(argv)
    voice = [a for a in range(o.count) if a % o.voice_every == 0]
    files = {"media/card/voice/DO%d_ON.wav" % a: wav_bytes(0.2) for a in voice}
    try:
        with bench_board(o.build, modem_args=REALISTIC, card=True, files=files) as s:
            c, m = s.client, s.modem
            m.set(play_time=o.play)
            m.call_rule(mode="ring", after=o.ring)
            for a in range(o.count):
                set_phone(c, a % 16, 0, PHONE % a)
                set_alarm(c, a, [a % 16], on_text="Fair %d" % a, voice=a in voice)
            wait("registration", lambda: read_ir(c, IR_CREG)[0] in (1, 5), 60)
            t0 = time.time()
            c.write_coils(0, [True] * o.count, slave=1)
            wait("the burst", lambda: len(m.sent()) >= o.count and len(m.calls()) >= len(voice),
                 30 * o.count)
            sms = sorted(x["t"] for x in m.sent())
            calls = sorted((x["start"], x["end"], x["outcome"]) for x in m.calls())
    except (BoardError, RuntimeError, OSError) as e:
        print("sms_call_fairness: %s" % e, file=sys.stderr)
        return 1

    order = "".join(k for _, k in sorted([(t, "S") for t in sms] + [(x[0], "C") for x in calls]))
    first_call, last_call_end = calls[0][0] - t0, max(x[1] for x in calls) - t0
    first_sms, last_sms = sms[0] - t0, sms[-1] - t0
    call_share = (first_call - first_sms) / (last_sms - first_sms) if last_sms > first_sms else 0.0
    sms_share = (last_sms - first_call) / (last_call_end - first_call) if last_call_end > first_call else 0.0
    run_s = longest_run_while_other_waits(order, "S")
    run_c = longest_run_while_other_waits(order, "C")
    print("burst of %d alarms, %d with a call (ring %.1f s, recording %.1f s); realistic modem, confirmations 1-3 s"
          % (o.count, len(voice), o.ring, o.play))
    print("order served (S = SMS submitted, C = call dialled): %s" % order)
    print("calls: %s" % ", ".join("%.1f-%.1f s %s" % (a - t0, b - t0, oc) for a, b, oc in calls))
    print("SMS: first %.1f s, last %.1f s after the write" % (first_sms, last_sms))
    print("first call dialled %.1f s after the write: at %.2f of the SMS burst (0 before any SMS, 1 after all)"
          % (first_call, call_share))
    print("last SMS at %.2f of the calls' span (first dial %.1f s to last hang-up %.1f s; above 1: after all calls)"
          % (sms_share, first_call, last_call_end))
    print("longest run while the other kind waited: %d SMS, %d calls" % (run_s, run_c))
    print("sms=%d calls=%d first_call_s=%.2f first_call_share_of_sms=%.2f last_sms_s=%.2f "
          "last_sms_share_of_calls=%.2f longest_sms_run=%d longest_call_run=%d"
          % (len(sms), len(calls), first_call, call_share, last_sms, sms_share, run_s, run_c))
    return 0


if __name__ == "__main__":
    sys.exit(main())
