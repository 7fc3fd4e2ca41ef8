#!/usr/bin/python3
"""A guided demonstration of the gateway on the simulated board.

    /usr/bin/python3 sim/demo.py [--demo | --demo-exit] [--build DIR] [--root DIR] [--keep]

Starts the simulated board (sim/board.py: the daemon, the Modbus line, the
simulated modem), then acts as the Modbus master with pymodbus and explains
each step with its register addresses: it configures two phone groups and an
alarm, raises the alarm, shows the SMS as the simulated network received them
and the status the master reads back, delivers an SMS to the gateway and reads
it from the registers, and acknowledges it. Afterwards the board keeps running
for mbpoll until Ctrl-C (--demo, the default), or the demonstration ends with a
one-screen summary (--demo-exit: status 0 when every step passed, else 1).

The daemon's own output goes to ROOT/sim/daemon.log, not to the terminal.
"""
import argparse
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
if not __package__:   # run as a script: the tree's top makes sim a package
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim.board import Board, BoardError, default_build  # noqa: E402
from sim.mbmaster import (DONE, FAILED, PHONE_REGS, QUEUED, SENDING, COIL_CLEAR_RECEIVED, DI_NEW_SMS, HR_SMS_ENABLE, IR_LAST_SLOT, IR_STATUS,  # noqa: E402
                      STATUS_NAMES, MasterError, alarm_text_reg, phone_reg, read_di, read_hr, read_ir,
                      received_sms, set_alarm, set_phone, write_coil)
from sim.modemctl import Modem, ModemError  # noqa: E402

ALARM = 3
ALARM_TEXT = "Fire alarm: hall 2"
PHONES = [(0, 0, "0612345678"), (1, 0, "0687654321")]   # (group, position, number)
INCOMING_FROM = "0612345678"
INCOMING_TEXT = "Status?"
MBPOLL = "mbpoll -m rtu -b 115200 -P none -a 1 -0 -1"


class Demo:
    def __init__(self, opts):
        self.opts = opts
        self.results = []          # (ok, text)
        self.t0 = time.monotonic()
        self.board = None
        self.client = None
        self.modem = None

    # ---- output ------------------------------------------------------------------

    def say(self, text=""):
        print(text, flush=True)

    def event(self, t_ref, text):
        self.say("   [%5.1f s] %s" % (time.monotonic() - t_ref, text))

    def step(self, title):
        self.say()
        self.say(title)

    def result(self, ok, text):
        self.results.append((ok, text))
        if not ok:
            self.say("   !! %s" % text)
        return ok

    # ---- the steps ---------------------------------------------------------------

    def start_board(self):
        o = self.opts
        if o.root:
            os.makedirs(o.root, exist_ok=True)
        root = o.root or tempfile.mkdtemp(prefix="alarmgw-demo-")
        self.board = Board(root=root, build=o.build, card=True, echo=False)
        b = self.board
        self.say("alarmgw on the simulated board: a guided demonstration")
        self.say("=" * 55)
        self.say("board root:    %s" % b.root)
        self.say("daemon output: %s   (tail -f it to watch the daemon)" % b.log_path)
        self.say("modem logs:    %s/sim/outbox.jsonl, calls.jsonl, at.log" % b.root)
        self.step("Starting the board: Modbus line (socat), simulated modem, daemon ...")
        t = time.monotonic()
        try:
            b.start()
        except BoardError as e:
            self.say(str(e))
            return self.result(False, "board start: %s" % str(e).splitlines()[0])
        from pymodbus.client import ModbusSerialClient
        self.client = ModbusSerialClient(port=b.master, baudrate=115200, bytesize=8, parity="N", stopbits=1,
                                         timeout=2, retries=1)
        if not self.client.connect():
            return self.result(False, "cannot open the master's end %s" % b.master)
        self.modem = Modem(b.root)
        self.say("   the daemon listens on its Modbus line (%.1f s); this demo is the master, slave address 1"
                 % (time.monotonic() - t))
        return self.result(True, "board started, daemon listening")

    def configure(self):
        c = self.client
        self.step("Step 1. Phone groups (holding registers from %d, %d per phone, two characters each)"
                  % (phone_reg(0, 0), PHONE_REGS))
        for g, k, number in PHONES:
            set_phone(c, g, k, number)
            r = phone_reg(g, k)
            self.say("   group %d, phone %d = %s   -> holding registers %d..%d" % (g, k, number, r, r + 9))

        self.step("Step 2. Alarm %d" % ALARM)
        groups = sorted({g for g, _, _ in PHONES})
        mask = set_alarm(c, ALARM, groups, on_text=ALARM_TEXT, off_text="Fire alarm over")
        t = alarm_text_reg(ALARM)
        self.say("   routed to groups %s  -> holding register %d = 0x%04X (bit g = group g)"
                 % (" and ".join(map(str, groups)), ALARM, mask))
        self.say("   SMS enabled           -> holding register %d, bit %d" % (HR_SMS_ENABLE + ALARM // 16,
                                                                               ALARM % 16))
        self.say('   ON text "%s"  -> holding registers %d..%d (one UCS-2 character each)'
                 % (ALARM_TEXT, t, t + 53))
        ok = read_hr(c, ALARM)[0] == mask and read_hr(c, HR_SMS_ENABLE + ALARM // 16)[0] >> (ALARM % 16) & 1
        return self.result(bool(ok), "phone groups and alarm %d configured over Modbus" % ALARM)

    def raise_alarm(self):
        c, m = self.client, self.modem
        numbers = [n for _, _, n in PHONES]
        self.step("Step 3. Raise alarm %d: coil %d ON (Modbus function 5)" % (ALARM, ALARM))
        self.say("   The master follows the delivery in input register %d: the status x 256." % IR_STATUS)
        self.say("   (%d queued, %d sending, %d done: every phone served, %d failed)" % (QUEUED, SENDING, DONE, FAILED))
        before = len(m.outbox())
        t = time.monotonic()
        write_coil(c, ALARM, True)
        self.event(t, "queued in slot %d of the SMS queue (input register %d)"
                   % (read_ir(c, IR_LAST_SLOT)[0], IR_LAST_SLOT))
        seen = []
        shown = before
        status = None
        deadline = t + 12 * len(numbers) + 6
        while time.monotonic() < deadline:
            v = read_ir(c, IR_STATUS)[0]
            if v != status:
                status = v
                if v:
                    seen.append(v)
                    self.event(t, "input register %d = %d: %s" % (IR_STATUS, v, STATUS_NAMES.get(v, "?")))
            out = m.outbox()
            for s in out[shown:]:
                self.event(t, 'the network received an SMS for %s: "%s" (%s)'
                           % (s.get("number"), s.get("text"), s.get("status")))
            shown = len(out)
            if status in (DONE, FAILED):
                break
            time.sleep(0.2)
        got = [(s.get("number"), s.get("text")) for s in m.sent()[before:]]
        ok = self.result(got == [(n, ALARM_TEXT) for n in numbers],
                         "alarm %d raised: %d of %d SMS reached the network with the alarm's text"
                         % (ALARM, len(got), len(numbers)))
        ok &= self.result(status == DONE, "status in input register %d reached done (seen %s)"
                          % (IR_STATUS, ", ".join(map(str, seen)) or "nothing"))
        return ok

    def incoming(self):
        c, m = self.client, self.modem
        self.step("Step 4. An SMS for the gateway")
        self.say('   the simulated network delivers "%s" from %s (a phone of group 0;' % (INCOMING_TEXT,
                                                                                       INCOMING_FROM))
        self.say("   holding register 254 = 1: only senders of the phone groups are accepted)")
        t = time.monotonic()
        m.deliver_sms(sender=INCOMING_FROM, text=INCOMING_TEXT)
        deadline = t + 15
        while not read_di(c, DI_NEW_SMS)[0]:
            if time.monotonic() > deadline:
                return self.result(False, "no received SMS published within 15 s")
            time.sleep(0.2)
        self.event(t, "discrete input %d = 1: a new SMS is published" % DI_NEW_SMS)
        got = received_sms(c)
        self.say("   sender  (input registers 30..39):   %s" % got["sender"])
        self.say("   time    (input registers 40..46):   %s" % got["time"])
        self.say("   coding  (input register 47):        %d (%s)"
                 % (got["coding"], "UCS-2" if got["coding"] == 1 else "GSM 7-bit"))
        self.say('   text    (input registers 48..127):  "%s"' % got["text"])
        return self.result(got["sender"] == INCOMING_FROM and got["text"] == INCOMING_TEXT,
                           "incoming SMS published in input registers 30..127")

    def acknowledge(self):
        c = self.client
        self.step("Step 5. The master acknowledges it: coil %d ON" % COIL_CLEAR_RECEIVED)
        write_coil(c, COIL_CLEAR_RECEIVED, True)
        flag = read_di(c, DI_NEW_SMS)[0]
        regs = read_ir(c, 30, 98)
        self.say("   discrete input %d = %d, input registers 30..127 %s"
                 % (DI_NEW_SMS, flag, "all 0" if not any(regs) else "NOT cleared"))
        return self.result(not flag and not any(regs), "received SMS acknowledged with coil %d"
                           % COIL_CLEAR_RECEIVED)

    # ---- the run -----------------------------------------------------------------

    def run(self):
        try:
            if self.start_board():
                for s in (self.configure, self.raise_alarm, self.incoming, self.acknowledge):
                    if not s():
                        break
            if not self.opts.demo_exit and self.all_ok():
                self.stay()
        except (MasterError, ModemError, BoardError, OSError) as e:
            self.result(False, "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else ""))
        except KeyboardInterrupt:
            self.say()
            self.result(False, "interrupted")
        except Exception as e:  # noqa: BLE001 - a fault of the demonstration itself
            traceback.print_exc()
            self.result(False, "%s: %s" % (type(e).__name__, e))
        finally:
            # Whatever ended the steps, the board's processes end with them.
            status = self.finish()
        return status

    def all_ok(self):
        return bool(self.results) and all(ok for ok, _ in self.results)

    def stay(self):
        b = self.board
        self.client.close()          # the line is free for mbpoll now
        self.client = None
        self.step("The board keeps running. Try it yourself:")
        self.say("   Modbus master end: %s  (115200 8N1, slave 1)" % b.master)
        self.say("   alarm status:      %s -t 3 -r 0 -c 1 %s" % (MBPOLL, b.master))
        self.say("   raise alarm %d:     %s -t 0 -r %d %s 1" % (ALARM, MBPOLL, ALARM, b.master))
        self.say("   received SMS:      %s -t 3:hex -r 30 -c 98 %s" % (MBPOLL, b.master))
        self.say("   SMS to the gateway: /usr/bin/python3 %s/modemctl.py %s deliver %s \"Hello\""
                 % (HERE, b.root, INCOMING_FROM))
        self.say("   what the network got: /usr/bin/python3 %s/modemctl.py %s outbox" % (HERE, b.root))
        self.say("   daemon output:     tail -f %s" % b.log_path)
        self.say("Ctrl-C stops the board.")
        stop = threading.Event()
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        while not stop.is_set():
            if not b.running():
                self.result(False, "the daemon ended with status %s" % b.daemon.returncode)
                break
            stop.wait(0.5)
        self.say()

    def finish(self):
        b = self.board
        if self.client is not None:
            self.client.close()
        faults = b.stop() if b is not None else []
        if b is not None:
            self.result(not faults, "no sanitizer report in the daemon's output" if not faults
                        else "%d sanitizer report(s) in %s" % (len(faults), b.log_path))
        ok = self.all_ok()
        self.say()
        self.say("Summary")
        self.say("-------")
        for good, text in self.results:
            self.say("  %s  %s" % ("PASS" if good else "FAIL", text))
        self.say("%s: %d of %d checks passed in %.1f s"
                 % ("Result OK" if ok else "Result FAILED", sum(1 for g, _ in self.results if g),
                    len(self.results), time.monotonic() - self.t0))
        if b is not None:
            if ok and self.opts.demo_exit and not self.opts.keep and not self.opts.root:
                shutil.rmtree(b.root, ignore_errors=True)
            else:
                self.say("board root kept at %s" % b.root)
        return 0 if ok else 1


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--demo", action="store_true",
                      help="after the demonstration keep the board running until Ctrl-C (the default)")
    mode.add_argument("--demo-exit", action="store_true",
                      help="end with a summary; status 0 when every step passed")
    ap.add_argument("--build", default=default_build(), help="build directory holding alarmgw (default: %(default)s)")
    ap.add_argument("--root", help="board root (default: a new temporary directory)")
    ap.add_argument("--keep", action="store_true",
                    help="with --demo-exit: keep the board root even when every step passed")
    opts = ap.parse_args(argv)

    def interrupt(*_):
        raise KeyboardInterrupt
    # The board's processes run in sessions of their own: end them on a TERM too.
    signal.signal(signal.SIGTERM, interrupt)
    return Demo(opts).run()


if __name__ == "__main__":
    sys.exit(main())
