#!/usr/bin/python3
"""Scripts the running simulated modem (modem_sim.py) of a board root.

As a program:  modemctl.py ROOT COMMAND [ARGS]   (modemctl.py -h lists them)
As a module:

    from modemctl import Modem
    m = Modem(root)
    m.set(cpin="SIM PIN", pin="1234")
    m.deliver_sms(sender="0123456789", text="STATUS")
    m.outbox(); m.calls(); m.at_log()

Settings go through the Unix socket $ROOT/sim/modem.sock (one JSON request
per line, one JSON answer per line); the logs are read from the files the
simulator writes under $ROOT/sim.
"""
import argparse
import json
import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modem_sim import unesc, unix_path  # noqa: E402


class ModemError(RuntimeError):
    pass


class Modem:
    def __init__(self, root, timeout=5.0):
        self.root = os.path.abspath(root)
        self.simdir = os.path.join(self.root, "sim")
        self.sock_path = os.path.join(self.simdir, "modem.sock")
        self.port = os.path.join(self.root, "dev", "smd8")
        self.timeout = timeout

    # ---- requests ----------------------------------------------------------

    def request(self, cmd, **kw):
        kw["cmd"] = cmd
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(self.timeout)
        addr, dfd = unix_path(self.sock_path)
        try:
            s.connect(addr)
        except OSError as e:
            s.close()
            raise ModemError("no simulated modem at %s: %s" % (self.sock_path, e))
        finally:
            if dfd is not None:
                os.close(dfd)
        with s:
            s.sendall((json.dumps(kw) + "\n").encode())
            buf = b""
            while not buf.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    raise ModemError("the simulated modem closed the connection")
                buf += chunk
        resp = json.loads(buf)
        if not resp.get("ok"):
            raise ModemError(resp.get("error", "request failed"))
        return resp.get("result")

    def ping(self):
        return self.request("ping") == "pong"

    def wait_ready(self, timeout=10.0):
        """Waits until the simulator has written modem.ready and answers."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if os.path.exists(os.path.join(self.simdir, "modem.ready")):
                try:
                    if self.ping():
                        return True
                except ModemError:
                    pass
            time.sleep(0.05)
        raise ModemError("simulated modem not ready after %.1f s" % timeout)

    def set(self, **values):
        """Scripts the modem; keys as in modem_sim.DEFAULTS (cpin, pin, creg, csq,
        cnsmod, gps, mode, delay, delays, answers, play_time, chup, ...)."""
        return self.request("set", values=values)

    def get(self):
        return self.request("get")

    def reset(self, logs=False):
        """Back to the default state (SIM ready, registered, empty storage)."""
        return self.request("reset", logs=logs)

    def deliver_sms(self, sender=None, text="", coding="gsm7", time=None, smsc=None,
                    tz=0, data=None, pdu=None, dcs=None, stat=0):
        """Puts an SMS-DELIVER into the SIM storage; returns its index.

        coding gsm7, ucs2 or 8bit (data: bytes for 8bit); time: datetime or ISO
        text (default now); pdu: a complete hex PDU instead of the fields.
        """
        sms = {"sender": sender, "text": text, "coding": coding, "tz": tz, "stat": stat}
        if time is not None:
            sms["time"] = time if isinstance(time, str) else time.isoformat()
        if smsc is not None:
            sms["smsc"] = smsc
        if data is not None:
            sms["data"] = bytes(data).hex()
        if pdu is not None:
            sms["pdu"] = pdu
        if dcs is not None:
            sms["dcs"] = dcs
        return self.request("deliver", sms=sms)

    def deliver_parts(self, sender, text, coding="gsm7", order=None, missing=None, ref=0x42,
                      wide=False, time=None):
        """A long message as parts with a concatenation header (16-bit reference
        when wide), stored in the order given (part numbers from 1) without the
        missing ones. Returns {"parts", "indexes", "texts"}."""
        sms = {"sender": sender, "text": text, "coding": coding}
        if time is not None:
            sms["time"] = time if isinstance(time, str) else time.isoformat()
        return self.request("deliver_parts", sms=sms, order=order, missing=missing, ref=ref, wide=wide)

    def inbox(self):
        return self.request("inbox")

    def clear_inbox(self):
        return self.request("clear_inbox")

    def sms_fail(self, number=None, mode="reject", times=None):
        """Adds a send failure rule. mode: error (ERROR to the octet-count
        command; any number), reject (+CMS ERROR), nocmgs (OK without +CMGS),
        silent (no answer), late (+CMGS after late_time). times: None = always."""
        return self.request("sms_fail", rule={"number": number, "mode": mode, "times": times})

    def clear_sms_fail(self):
        return self.request("sms_fail", rules=[])

    def call_rule(self, number=None, **behaviour):
        """Call behaviour for one number (None: the default): mode answer, ring,
        no_carrier, silent, dial_error, or an unconnected end: busy, no_answer,
        no_dialtone, end_only (a bare VOICE CALL: END), cme_error; after, ring_interval, hangup_after,
        idle_hangup in seconds. No behaviour removes the number's rule."""
        return self.request("call_rule", number=number, behaviour=behaviour)

    def auto_reply(self, number, text="ACK", coding="gsm7", after=0.5, times=1):
        """The phone number answers the next SMS it receives (times of them;
        None: every one) with text, after seconds: the reply lands in the SIM
        storage as if that phone had sent it (sim/replies.jsonl records when)."""
        rules = [r for r in self.get()["settings"]["auto_reply"] if r["number"] != number]
        rules.append({"number": number, "text": text, "coding": coding, "after": after, "times": times})
        return self.set(auto_reply=rules)

    def dtmf(self, keys):
        """The callee of the current call presses keys (reported while the
        daemon has key detection on, AT+DDET=1). False without a call."""
        return self.request("dtmf", keys=keys)

    def replies(self):
        """Every reply sent by an auto_reply rule: t, number, text, index."""
        return self._jsonl("replies.jsonl")

    def reports(self):
        """Delivery reports the network made (sim/reports.jsonl): number, mr,
        status, routed (stored, cds, none, never, storage full)."""
        return self._jsonl("reports.jsonl")

    def inject(self, text=None, data=None, delay=0.0):
        """Sends unsolicited bytes (text may hold \\r, \\n, \\xNN escapes)."""
        if data is not None:
            return self.request("inject", hex=bytes(data).hex(), delay=delay)
        return self.request("inject", text=text or "", delay=delay)

    def port_down(self, how="unlink"):
        """The port disappears: unlink removes the smd8 link only; close also
        closes the pseudo-terminal (a port held open by the daemon hangs up)."""
        return self.request("port", state="down", how=how)

    def port_up(self):
        return self.request("port", state="up")

    def hangup(self):
        """The far end (or the network) ends the current call."""
        return self.request("hangup")

    def clear_logs(self):
        return self.request("clear_logs")

    # ---- logs --------------------------------------------------------------

    def _jsonl(self, name):
        try:
            with open(os.path.join(self.simdir, name), encoding="utf-8") as f:
                return [json.loads(ln) for ln in f if ln.strip()]
        except FileNotFoundError:
            return []

    def outbox(self, status=None):
        """Every SMS submitted, decoded: number, text, coding, dcs, status
        (sent or failed), reason, mr, time, pdu."""
        recs = self._jsonl("outbox.jsonl")
        return [r for r in recs if status is None or r.get("status") == status]

    def sent(self):
        return self.outbox("sent")

    def calls(self):
        """Every finished call: number, file, files, outcome, answered, ended_by."""
        return self._jsonl("calls.jsonl")

    def at_log(self):
        """Every received command line as {"t": epoch seconds, "cmd": text}."""
        out = []
        try:
            with open(os.path.join(self.simdir, "at.log"), encoding="utf-8") as f:
                for ln in f:
                    t, _, text = ln.rstrip("\n").partition(" ")
                    out.append({"t": float(t), "cmd": unesc(text).decode("latin-1")})
        except FileNotFoundError:
            pass
        return out

    def commands(self, since=0.0):
        return [e["cmd"] for e in self.at_log() if e["t"] >= since]

    def wait_for(self, predicate, timeout=10.0, interval=0.05, what="condition"):
        """Polls predicate() until it returns a true value, which is returned."""
        end = time.monotonic() + timeout
        while True:
            v = predicate()
            if v:
                return v
            if time.monotonic() >= end:
                raise TimeoutError("%s not met within %.1f s" % (what, timeout))
            time.sleep(interval)


# ---- command line ----------------------------------------------------------

def parse_value(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_pairs(pairs):
    out = {}
    for p in pairs:
        if "=" not in p:
            raise SystemExit("expected key=value, got %r" % p)
        k, _, v = p.partition("=")
        out[k] = parse_value(v)
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description="Scripts the simulated modem of a board root.")
    ap.add_argument("root")
    sub = ap.add_subparsers(dest="command", required=True)
    sub.add_parser("status", help="settings and runtime state")
    p = sub.add_parser("set", help="key=value ... (values as JSON, else text)")
    p.add_argument("pairs", nargs="+")
    p = sub.add_parser("reset", help="back to the default state")
    p.add_argument("--logs", action="store_true", help="also empty the logs")
    p = sub.add_parser("deliver", help="put an SMS into the SIM storage")
    p.add_argument("sender")
    p.add_argument("text")
    p.add_argument("--coding", default="gsm7", choices=["gsm7", "ucs2", "8bit"])
    p.add_argument("--time", help="ISO date and time of the service centre stamp")
    p.add_argument("--smsc")
    p = sub.add_parser("deliver-pdu", help="put a raw PDU (hex, service centre included)")
    p.add_argument("pdu")
    sub.add_parser("inbox", help="the SIM storage")
    sub.add_parser("clear-inbox")
    sub.add_parser("outbox", help="submitted SMS")
    sub.add_parser("calls", help="finished calls")
    p = sub.add_parser("at-log", help="received commands")
    p.add_argument("-n", type=int, default=0, help="only the last N")
    p = sub.add_parser("sms-fail", help="add a send failure rule")
    p.add_argument("--number")
    p.add_argument("--mode", default="reject",
                   choices=["error", "reject", "nocmgs", "silent", "late"])
    p.add_argument("--times", type=int)
    p.add_argument("--clear", action="store_true", help="remove every rule")
    p = sub.add_parser("call", help="call behaviour: NUMBER|default key=value ...")
    p.add_argument("number")
    p.add_argument("pairs", nargs="*")
    p = sub.add_parser("inject", help="unsolicited bytes (\\r \\n \\xNN escapes)")
    p.add_argument("text")
    p.add_argument("--delay", type=float, default=0.0)
    p = sub.add_parser("port", help="the port disappears (down) or comes back (up)")
    p.add_argument("state", choices=["up", "down"])
    p.add_argument("--close", action="store_true", help="close the pseudo-terminal too")
    sub.add_parser("hangup", help="the far end ends the current call")
    p = sub.add_parser("reply", help="NUMBER answers the next SMS it receives with TEXT")
    p.add_argument("number")
    p.add_argument("text")
    p.add_argument("--coding", default="gsm7", choices=["gsm7", "ucs2"])
    p.add_argument("--after", type=float, default=0.5)
    p = sub.add_parser("dtmf", help="the callee of the current call presses KEYS")
    p.add_argument("keys")
    sub.add_parser("clear-logs")
    a = ap.parse_args(argv)
    m = Modem(a.root)
    c = a.command
    if c == "status":
        r = m.get()
    elif c == "set":
        r = m.set(**parse_pairs(a.pairs))
    elif c == "reset":
        r = m.reset(a.logs)
    elif c == "deliver":
        r = m.deliver_sms(a.sender, a.text, a.coding, a.time, a.smsc)
    elif c == "deliver-pdu":
        r = m.deliver_sms(pdu=a.pdu)
    elif c == "inbox":
        r = m.inbox()
    elif c == "clear-inbox":
        r = m.clear_inbox()
    elif c == "outbox":
        r = m.outbox()
    elif c == "calls":
        r = m.calls()
    elif c == "at-log":
        for e in m.at_log()[-a.n:]:
            print("%.3f %r" % (e["t"], e["cmd"]))
        return 0
    elif c == "sms-fail":
        r = m.clear_sms_fail() if a.clear else m.sms_fail(a.number, a.mode, a.times)
    elif c == "call":
        r = m.call_rule(None if a.number == "default" else a.number, **parse_pairs(a.pairs))
    elif c == "inject":
        r = m.inject(a.text, delay=a.delay)
    elif c == "port":
        r = m.port_up() if a.state == "up" else m.port_down("close" if a.close else "unlink")
    elif c == "hangup":
        r = m.hangup()
    elif c == "reply":
        r = m.auto_reply(a.number, a.text, a.coding, a.after)
    elif c == "dtmf":
        r = m.dtmf(a.keys)
    else:
        r = m.clear_logs()
    print(json.dumps(r, indent=1, ensure_ascii=False, default=str))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except ModemError as e:
        print("modemctl: %s" % e, file=sys.stderr)
        sys.exit(1)
