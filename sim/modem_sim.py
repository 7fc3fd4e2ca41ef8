#!/usr/bin/python3
"""Simulated SIM7100 modem on a pseudo-terminal.

    modem_sim.py --root ROOT [--script FILE] [--realistic] [--confirm-time LO,HI] [--verbose]

--realistic starts it as unkind as a real module (REALISTIC below): echo on,
answers in random pieces, unsolicited codes at random moments, SIM latency,
network confirmations after 1 to 10 s, SIM busy after a radio restart. Each
of these is a setting of its own (modemctl set), and "reset" keeps the mode.

The SIM storage behaves as a module's does: AT+CMGR marks a message read,
AT+CMGD=1,1 removes the read ones, freed low indexes are used again, and a
long message can arrive in parts ("deliver_parts": any order, parts missing).
A slow SIM read is a per-command delay (delays {"AT+CMGR": 2.5}).

A send's confirmation may include setting up the relay link to the service
centre (link_setup s, default 0); AT+CMMS=1 or 2 keeps the link open for
link_hold s after each answer, so a send within that time skips the set-up
(TS 27.005; =1 falls back to 0 once the link closes). outbox.jsonl records
for every send whether it found the link open.

Links $ROOT/dev/smd8 to the slave end of a pseudo-terminal and answers the AT
dialogue of the gateway daemon on it. The simulator keeps its own descriptor
on the slave end, so the daemon can close and reopen the port on every pass
without a hang-up. Tests and users script it through the Unix socket
$ROOT/sim/modem.sock (JSON lines; see modemctl.py). Files under $ROOT/sim:

    modem.ready   written once the port and the socket are up (pid, pty)
    at.log        every received command line: "<epoch seconds> <text>"
    modem.trace   both directions, for debugging
    outbox.jsonl  every submitted SMS (decoded), with its fate
    calls.jsonl   every finished call: number, files played, outcome

Only /usr/bin/python3 (python3-gammu) runs this.
"""
import argparse
import copy
import datetime
import errno
import heapq
import itertools
import json
import os
import random
import selectors
import signal
import socket
import sys
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import modem_pdu  # noqa: E402

CALL_DEFAULT = {
    # answer | ring | no_carrier | silent | dial_error, and the ends a module
    # may give (CALL_ENDS): busy | no_answer | no_dialtone | end_only | cme_error
    "mode": "answer",
    "after": 0.2,           # s until the answer (ring: None rings for ever) or NO CARRIER
    "ring_interval": 1.0,   # s between ring notices
    "hangup_after": None,   # s after the answer when the far end hangs up
    "idle_hangup": 15.0,    # s connected without any playback before the far end hangs up
    "dtmf": None,           # keys the callee presses once the recording has played ("1"), after AT+DDET=1
    "dtmf_after": 0.5,      # s after the end of the recording until the keys arrive
}

DEFAULTS = {
    "cpin": "READY",        # READY | SIM PIN | SIM PUK | NO SIM | SIM ERROR | NONE (no answer)
    "pin": "1234",          # the PIN that unlocks the SIM
    "pin_tries": 3,         # wrong PINs before the SIM asks for its PUK
    "cfun_fixes_sim": False,  # a radio restart makes an unanswered/failed SIM ready
    "creg": 1,              # registration state reported while the SIM is ready and the radio on
    "csq": 20,
    "ber": 99,
    "cnsmod": 8,            # network system mode reported while registered
    "gps": None,            # None: no fix; text after "+CGPSINFO: "; or {"lat":..,"lon":..}
    "gps_on": False,        # receiver state before AT+CGPS=1
    "imei": "861234567890123",
    "model": "SIMCOM_SIM7100E",
    "revision": "4534B03SIM7100E",
    "echo": False,
    "mode": "normal",       # normal | silent | error | garbage
    "garbage_seed": 1,
    "delay": 0.0,           # s before every answer
    "delays": {},           # command prefix -> s before its answer
    "answers": {},          # command prefix -> raw answer text (None: silence), or {"text", "times"}
    "send_time": 0.2,       # s the network takes to accept an SMS
    "late_time": 4.0,       # s until the confirmation of a "late" send
    "pdu_timeout": 10.0,    # s in PDU input before the modem gives up waiting for Ctrl-Z
    "storage_total": 10,    # SIM SMS storage capacity
    "call": dict(CALL_DEFAULT),
    "calls_by_number": {},  # number -> partial call behaviour
    "sms_fail": [],         # rules: {"number", "mode", "times"}
    "play_time": 1.0,       # s a WAV file plays
    "play_stop": True,      # report "+WAVSTATE: wav play stop" at the end of a file
    "play_error": False,    # refuse every play command
    "chup": "end",          # end | ok | error | silent
    "moring": "ok",         # ok | error
    "auto_reply": [],       # rules: {"number", "text", "coding", "after", "times"}: a phone that answers an SMS
    # Delivery reports, for an SMS that asked for one (TP-SRR) once the network
    # confirmed it. How the module hands them over follows AT+CNMI's <ds>:
    # 0 not at all, 1 a "+CDS: <len>" line and the PDU, 2 stored in the SIM
    # storage with "+CDSI: "SM",<index>" (lost when the storage is full).
    "report_delay": 1.0,    # s after the confirmation until the report comes
    "report_status": 0,     # TP-ST: 0 delivered, 0x20.. still trying, 0x40.. failed for good
    "report_never": 0.0,    # chance 0..1 that no report ever comes (the phone stays off)
    "reports_by_number": {},  # number -> {"delay", "status", "never"} for that phone
    # What a real module does that a kind one does not:
    "pieces": False,        # answers written in random pieces, a few ms apart
    "urc_interval": None,   # mean s between unsolicited codes at random moments (None: none)
    "sim_latency": None,    # [lo, hi] s the SIM takes on storage and PIN commands
    "confirm_time": None,   # [lo, hi] s until the network confirms a send (None: send_time)
    # The relay link to the service centre (TS 27.005, AT+CMMS): a send first
    # sets the link up, which adds link_setup s to its confirmation. With
    # AT+CMMS=1 or 2 the module keeps the link open after a send's answer; a
    # send that comes within link_hold s of the last answer finds it open and
    # skips the set-up. Later than that the link is closed again (and =1
    # falls back to 0). Nothing else about the send changes.
    "link_setup": 0.0,      # s of every confirmation spent on the link set-up (0: none)
    "link_hold": 3.0,       # s the link stays open after an answer while AT+CMMS is on (1 to 5 by TS 27.005)
    "cmms": True,           # the module knows AT+CMMS (False: ERROR, as a module without it)
    "sim_busy": 0.0,        # s after AT+CFUN=1 during which the SIM answers "SIM busy"
    "seed": 1,              # of the random pieces, latencies and codes
    # Module settings the daemon must make itself (factory state of a module):
    "cmee": 2,              # error report form before AT+CMEE: 0 ERROR, 1 numeric, 2 verbose
    "cmgf": 0,              # message format before AT+CMGF: 1 (text) refuses PDU sends
    # Playback: which paths the module plays from.
    "play_linux_paths": True,   # absolute paths of the shared file system
    "play_drives": {},      # drive prefix (e.g. "E:/") -> directory under the root it stands for
    "play_needs_connect": True,  # play only into a connected call (ERROR while it rings)
    # How the module reports a far end that hangs up: "end_no_carrier"
    # (VOICE CALL: END: <time>, then NO CARRIER), "end_only", or "random" (either).
    "far_end_notice": "end_no_carrier",
}

REALISTIC = {"echo": True, "pieces": True, "urc_interval": 8.0, "sim_latency": [0.05, 0.3],
             "confirm_time": [1.0, 10.0], "sim_busy": 3.0, "cmee": 1, "far_end_notice": "random"}
# +CME ERROR numbers of the texts this module gives (numeric form, AT+CMEE=1).
CME_CODES = {"SIM busy": 14, "no network service": 30, "operation not allowed": 3,
             "SIM not inserted": 10, "SIM failure": 13, "phone failure": 0}
URCS = ("\r\n+CMTI: \"SM\",0\r\n", "\r\nRING\r\n", "\r\nSMS DONE\r\n", "\r\n+CREG: 1\r\n",
        "\r\n+CPIN: NOT READY\r\n")
SIM_COMMANDS = ("AT+CPMS", "AT+CMGR", "AT+CMGD", "AT+CPIN")

SMS_FAIL_MODES = ("error", "reject", "nocmgs", "silent", "late")
# How a call may end without being connected, and the module's words for it.
CALL_ENDS = {"busy": "\r\nBUSY\r\n", "no_answer": "\r\nNO ANSWER\r\n",
             "no_dialtone": "\r\nNO DIALTONE\r\n", "end_only": "\r\nVOICE CALL: END: 000000\r\n",
             "cme_error": None}
CALL_MODES = ("answer", "ring", "no_carrier", "silent", "dial_error") + tuple(CALL_ENDS)
CPIN_STATES = ("READY", "SIM PIN", "SIM PUK", "NO SIM", "SIM ERROR", "NONE")


def esc(data):
    """Printable form of received or sent bytes for the logs."""
    if isinstance(data, str):
        data = data.encode("latin-1", "replace")
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        elif b == 0x0D:
            out.append("\\r")
        elif b == 0x0A:
            out.append("\\n")
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def unesc(text):
    """Inverse of esc()."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "\\":
                out.append(0x5C)
                i += 2
                continue
            if n == "r":
                out.append(0x0D)
                i += 2
                continue
            if n == "n":
                out.append(0x0A)
                i += 2
                continue
            if n == "x" and i + 3 < len(text):
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
        out += c.encode("latin-1", "replace")
        i += 1
    return bytes(out)


def bare_number(number):
    return (number or "").strip().lstrip("+")


def unix_path(path):
    """A socket path short enough for sockaddr_un (108 bytes).

    Long paths (deep pytest temp dirs) go through /proc/self/fd of an open
    descriptor on the directory; the caller keeps the returned descriptor open
    until bind/connect is done.
    """
    if len(path.encode()) < 100:
        return path, None
    dfd = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
    return "/proc/self/fd/%d/%s" % (dfd, os.path.basename(path)), dfd


class Call:
    ids = itertools.count(1)

    def __init__(self, number, behaviour):
        self.id = next(Call.ids)
        self.number = number
        self.beh = behaviour
        self.start = time.time()
        self.state = "dialling"      # dialling | connected | ended
        self.answer_time = None
        self.files = []              # {"path", "ok", "reason", "complete"}
        self.playing = None          # index into files while a file plays
        self.last_activity = time.monotonic()

    def record(self, outcome, ended_by):
        return {
            "id": self.id, "number": self.number, "outcome": outcome, "ended_by": ended_by,
            "answered": self.answer_time is not None,
            "file": next((f["path"] for f in reversed(self.files) if f["ok"]), None),
            "files": self.files, "start": self.start, "end": time.time(),
            "duration": round(time.time() - (self.answer_time or self.start), 3)
            if self.answer_time else 0.0,
            "behaviour": self.beh["mode"],
            "keys": getattr(self, "keys", ""),
        }


class ModemSim:
    def __init__(self, root, verbose=False, preset=None):
        self.preset = dict(preset or {})
        self.root = os.path.abspath(root)
        self.verbose = verbose
        self.simdir = os.path.join(self.root, "sim")
        self.devdir = os.path.join(self.root, "dev")
        os.makedirs(self.simdir, exist_ok=True)
        os.makedirs(self.devdir, exist_ok=True)
        self.link = os.path.join(self.devdir, "smd8")
        self.sock_path = os.path.join(self.simdir, "modem.sock")
        self.ready_path = os.path.join(self.simdir, "modem.ready")
        self.sel = selectors.DefaultSelector()
        self.timers = []             # heap of (due, seq, fn)
        self.seq = itertools.count()
        self.master = -1
        self.slave = -1
        self.slave_name = None
        self.port_state = "down"
        self.clients = {}
        self.rng = random.Random(1)
        self.reset_state()

    # ---- state -------------------------------------------------------------

    def reset_state(self):
        self.cfg = copy.deepcopy(DEFAULTS)
        self.cfun = 1
        self.cgps = False
        self.cmgf = self.cfg["cmgf"]
        self.cmee = self.cfg["cmee"]
        self.cnmi = None
        self.moring_on = False
        self.ddet_on = False
        self.pin_left = self.cfg["pin_tries"]
        self.inbox = [None] * self.cfg["storage_total"]
        self.mr = 0
        self.call = None
        self.cmd_buf = bytearray()
        self.pdu = None              # {"n", "buf", "link"} while in PDU input
        self.cmms_n = 0              # AT+CMMS mode
        self.link_answer_at = None   # monotonic time of the last send's answer while the link is kept open
        self.rng = random.Random(self.cfg["garbage_seed"])
        self.dropped = 0
        self.busy_until = 0.0
        self.piece_tail = 0.0        # monotonic time of the last piece still to be written
        self.urc_gen = getattr(self, "urc_gen", 0) + 1
        if self.preset:
            self.apply(self.preset)

    def real_rng(self):
        if getattr(self, "_real_rng", None) is None:
            self._real_rng = random.Random(self.cfg["seed"])
        return self._real_rng

    def schedule_urc(self):
        mean = self.cfg["urc_interval"]
        if not mean:
            return
        gen = self.urc_gen

        def fire():
            if gen != self.urc_gen or not self.cfg["urc_interval"]:
                return
            self.write_now(self.real_rng().choice(URCS).encode())
            self.schedule_urc()
        self.after(self.real_rng().expovariate(1.0 / float(mean)), fire)

    def apply(self, values):
        """Applies scripted settings; raises ValueError on a bad one."""
        for key, val in values.items():
            if key == "inbox":
                for m in val:
                    self.deliver(m)
                continue
            if key not in DEFAULTS:
                raise ValueError("unknown setting %r" % key)
            if key == "cpin":
                val = "NONE" if val is None else str(val).upper().replace("_", " ")
                val = {"NOSIM": "NO SIM", "ABSENT": "NO SIM", "NOTHING": "NONE",
                       "PIN": "SIM PIN", "PUK": "SIM PUK"}.get(val.replace(" ", ""), val)
                if val not in CPIN_STATES:
                    raise ValueError("cpin must be one of %s" % ", ".join(CPIN_STATES))
                self.pin_left = self.cfg["pin_tries"]
            elif key == "mode":
                if val not in ("normal", "silent", "error", "garbage"):
                    raise ValueError("mode must be normal, silent, error or garbage")
            elif key == "call":
                bad = set(val) - set(CALL_DEFAULT)
                if bad:
                    raise ValueError("unknown call settings %s" % sorted(bad))
                if "mode" in val and val["mode"] not in CALL_MODES:
                    raise ValueError("call mode must be one of %s" % ", ".join(CALL_MODES))
                val = dict(self.cfg["call"], **val)
            elif key == "calls_by_number":
                for beh in val.values():
                    self.check_call(beh)
                val = {bare_number(k): v for k, v in val.items()}
            elif key == "sms_fail":
                val = [self.check_rule(r) for r in val]
            elif key == "auto_reply":
                val = [self.check_reply_rule(r) for r in val]
            elif key == "reports_by_number":
                for rule in val.values():
                    bad = set(rule) - {"delay", "status", "never"}
                    if bad:
                        raise ValueError("unknown report settings %s" % sorted(bad))
                val = {bare_number(k): dict(v) for k, v in val.items()}
            elif key in ("report_delay", "report_never"):
                val = float(val)
                if val < 0 or (key == "report_never" and val > 1):
                    raise ValueError("%s out of range" % key)
            elif key == "report_status":
                val = int(val)
                if not 0 <= val <= 255:
                    raise ValueError("report_status must be 0..255")
            elif key == "storage_total":
                val = int(val)
                if not 1 <= val <= 255:
                    raise ValueError("storage_total must be 1..255")
                used = [m for m in self.inbox if m]
                if len(used) > val:
                    raise ValueError("storage holds %d messages" % len(used))
                self.inbox = used + [None] * (val - len(used))
                for i, m in enumerate(self.inbox):
                    if m:
                        m["index"] = i
            elif key == "chup" and val not in ("end", "ok", "error", "silent"):
                raise ValueError("chup must be end, ok, error or silent")
            elif key == "moring" and val not in ("ok", "error"):
                raise ValueError("moring must be ok or error")
            elif key == "gps_on":
                self.cgps = bool(val)
            elif key == "garbage_seed":
                self.rng = random.Random(val)
            elif key in ("creg", "csq", "ber", "cnsmod", "pin_tries"):
                val = int(val)
            elif key in ("delay", "send_time", "late_time", "play_time", "pdu_timeout", "sim_busy", "link_setup",
                         "link_hold"):
                val = float(val)
                if val < 0:
                    raise ValueError("%s must be >= 0" % key)
            elif key == "cmms":
                val = bool(val)
            elif key in ("sim_latency", "confirm_time") and val is not None:
                val = [float(val[0]), float(val[1])]
                if not 0 <= val[0] <= val[1]:
                    raise ValueError("%s must be [lo, hi] with 0 <= lo <= hi" % key)
            elif key == "urc_interval" and val is not None:
                val = float(val)
                if val <= 0:
                    raise ValueError("urc_interval must be > 0 or null")
            elif key == "seed":
                self._real_rng = random.Random(val)
            elif key == "pin":
                val = str(val)
            self.cfg[key] = val
            if key in ("cmee", "cmgf"):
                setattr(self, key, val)   # the module is in that state now
            if key == "pin_tries":
                self.pin_left = val
            if key == "urc_interval":
                self.urc_gen += 1
                self.schedule_urc()

    def check_call(self, beh):
        bad = set(beh) - set(CALL_DEFAULT)
        if bad:
            raise ValueError("unknown call settings %s" % sorted(bad))
        if beh.get("mode", "answer") not in CALL_MODES:
            raise ValueError("call mode must be one of %s" % ", ".join(CALL_MODES))

    # ---- phones that answer (acknowledgement replies) ------------------------

    @staticmethod
    def check_reply_rule(rule):
        rule = dict(rule)
        if not rule.get("number"):
            raise ValueError("an auto_reply rule needs the number that answers")
        if rule.get("coding", "gsm7") not in ("gsm7", "ucs2"):
            raise ValueError("auto_reply coding must be gsm7 or ucs2")
        rule["number"] = bare_number(rule["number"])
        rule.setdefault("text", "ACK")
        rule.setdefault("coding", "gsm7")
        rule["after"] = float(rule.get("after", 0.5))
        rule.setdefault("times", 1)
        return rule

    def auto_reply(self, number):
        """An SMS reached number: a phone with a reply rule answers after a while."""
        for rule in self.cfg["auto_reply"]:
            if rule["number"] != bare_number(number or "") or rule["times"] == 0:
                continue
            if rule["times"] is not None:
                rule["times"] -= 1

            def send(rule=rule):
                idx = self.deliver({"sender": rule["number"], "text": rule["text"], "coding": rule["coding"]})
                self.append("replies.jsonl", json.dumps({"t": time.time(), "number": rule["number"],
                                                         "text": rule["text"], "index": idx}))
            self.after(rule["after"], send)
            return

    def send_keys(self, call, keys):
        """The callee presses keys: one notice each while detection is on."""
        if self.call is not call or call.state != "connected":
            return False
        call.keys = getattr(call, "keys", "") + keys
        if self.ddet_on:
            for k in keys:
                self.out("\r\n+RXDTMF: %s\r\n" % k)
        return True

    def check_rule(self, rule):
        rule = dict(rule)
        mode = rule.get("mode", "reject")
        if mode not in SMS_FAIL_MODES:
            raise ValueError("sms fail mode must be one of %s" % ", ".join(SMS_FAIL_MODES))
        if mode == "error" and rule.get("number"):
            raise ValueError("the octet-count command names no number: an 'error' rule "
                             "applies to the next sends whatever their number")
        rule["mode"] = mode
        rule.setdefault("number", None)
        rule.setdefault("times", None)
        return rule

    def status(self):
        c = self.call
        return {
            "settings": self.cfg, "cfun": self.cfun, "cgps": self.cgps, "cmgf": self.cmgf,
            "moring": self.moring_on, "pin_left": self.pin_left, "port": self.port_state,
            "pty": self.slave_name, "creg": self.eff_creg(), "inbox_used": self.used(),
            "pdu_input": self.pdu is not None, "dropped": self.dropped, "cmms": self.cmms_n,
            "call": None if c is None else {"id": c.id, "number": c.number, "state": c.state,
                                            "files": c.files},
        }

    def radio_on(self):
        return self.cfun == 1

    def sim_ready(self):
        return self.cfg["cpin"] == "READY"

    def eff_creg(self):
        return self.cfg["creg"] if self.radio_on() and self.sim_ready() else 0

    def registered(self):
        return self.eff_creg() in (1, 5)

    def used(self):
        return sum(1 for m in self.inbox if m)

    # ---- files -------------------------------------------------------------

    def append(self, name, line):
        with open(os.path.join(self.simdir, name), "a", encoding="utf-8") as f:
            f.write(line + "\n")

    def trace(self, direction, data):
        line = "%.3f %s %s" % (time.time(), direction, esc(data))
        self.append("modem.trace", line)
        if self.verbose:
            print(line, flush=True)

    def log_command(self, data):
        self.append("at.log", "%.3f %s" % (time.time(), esc(data)))

    def clear_logs(self):
        for name in ("at.log", "modem.trace", "outbox.jsonl", "calls.jsonl", "replies.jsonl", "reports.jsonl"):
            open(os.path.join(self.simdir, name), "w").close()

    # ---- port --------------------------------------------------------------

    def port_up(self):
        if self.master < 0:
            self.master, self.slave = os.openpty()
            tty.setraw(self.slave)
            os.set_blocking(self.master, False)
            self.slave_name = os.ttyname(self.slave)
            self.sel.register(self.master, selectors.EVENT_READ, ("pty", None))
        tmp = self.link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(self.slave_name, tmp)
        os.replace(tmp, self.link)
        self.port_state = "up"
        self.cmd_buf.clear()
        self.pdu = None

    def port_down(self, how="unlink"):
        if os.path.lexists(self.link):
            os.unlink(self.link)
        if how == "close" and self.master >= 0:
            self.sel.unregister(self.master)
            os.close(self.master)
            os.close(self.slave)
            self.master = self.slave = -1
            self.slave_name = None
        self.port_state = "down"
        self.cmd_buf.clear()
        self.pdu = None

    def write_now(self, data):
        if not data:
            return
        now = time.monotonic()
        if self.cfg["pieces"] or self.piece_tail > now:
            # In random pieces, and never ahead of the pieces still queued.
            rng = self.real_rng()
            t = max(now, self.piece_tail)
            i = 0
            while i < len(data):
                n = rng.randint(1, 16) if self.cfg["pieces"] else len(data)
                piece = data[i:i + n]
                i += n
                t += rng.uniform(0.001, 0.006) if self.cfg["pieces"] else 0.0
                self.after(t - now, lambda piece=piece: self.write_piece(piece))
            self.piece_tail = t
            return
        self.write_piece(data)

    def write_piece(self, data):
        if self.master < 0:
            self.dropped += len(data)
            return
        self.trace(">", data)
        try:
            n = os.write(self.master, data)
            self.dropped += len(data) - n
        except OSError as e:
            # nobody drains the line (the daemon's port is closed): the bytes are lost
            if e.errno not in (errno.EAGAIN, errno.EIO):
                raise
            self.dropped += len(data)

    def out(self, data, delay=0.0):
        if isinstance(data, str):
            data = data.encode("latin-1", "replace")
        if delay > 0:
            self.after(delay, lambda: self.write_now(data))
        else:
            self.write_now(data)

    def after(self, delay, fn):
        heapq.heappush(self.timers, (time.monotonic() + max(0.0, delay), next(self.seq), fn))

    # ---- line input --------------------------------------------------------

    def on_pty(self):
        try:
            data = os.read(self.master, 4096)
        except OSError as e:
            if e.errno in (errno.EAGAIN, errno.EIO):
                return
            raise
        if not data:
            return
        self.trace("<", data)
        if self.cfg["echo"]:
            self.write_now(data)
        for b in data:
            self.feed(b)

    def feed(self, b):
        if self.pdu is not None:
            if b == 0x1A:
                pdu, self.pdu = self.pdu, None
                self.log_command(bytes(pdu["buf"]) + b"\x1a")
                self.submit(pdu["n"], bytes(pdu["buf"]).decode("latin-1"), pdu["link"])
            elif b == 0x1B:
                self.pdu = None
                self.log_command(b"<ESC>")
                self.answer("", "\r\nOK\r\n")
            elif b in b"\r\n \t":
                pass
            else:
                self.pdu["buf"].append(b)
                if len(self.pdu["buf"]) > 1024:
                    self.pdu = None
                    self.answer("", "\r\n+CMS ERROR: 304\r\n")
            return
        if b == 0x0D:
            line = bytes(self.cmd_buf).strip(b" \n\t")
            self.cmd_buf.clear()
            if line:
                self.log_command(line)
                self.command(line.decode("latin-1"))
        elif b in (0x1A, 0x1B):
            # Ctrl-Z or ESC outside PDU input: discard the partial line
            if self.cmd_buf:
                self.log_command(bytes(self.cmd_buf) + bytes([b]))
            self.cmd_buf.clear()
        elif b == 0x0A and not self.cmd_buf:
            pass
        else:
            self.cmd_buf.append(b)
            if len(self.cmd_buf) > 1024:
                self.log_command(bytes(self.cmd_buf[:64]) + b"...")
                self.cmd_buf.clear()
                self.answer("", "\r\nERROR\r\n")

    # ---- answers -----------------------------------------------------------

    def delay_for(self, cmd):
        best = None
        for prefix, d in self.cfg["delays"].items():
            if cmd.upper().startswith(prefix.upper()) and (best is None or len(prefix) > len(best[0])):
                best = (prefix, d)
        return float(best[1]) if best else self.cfg["delay"]

    def answer(self, cmd, text, extra_delay=0.0):
        lat = self.cfg["sim_latency"]
        if lat and cmd.upper().startswith(SIM_COMMANDS):
            extra_delay += self.real_rng().uniform(lat[0], lat[1])
        self.out(text, self.delay_for(cmd) + extra_delay)

    def cme(self, text):
        """A +CME ERROR in the form AT+CMEE chose."""
        if self.cmee == 0:
            return "ERROR"
        if self.cmee == 1:
            return "+CME ERROR: %d" % CME_CODES.get(text, 100)
        return "+CME ERROR: " + text

    def sim_busy(self, cmd):
        if time.monotonic() < self.busy_until:
            self.err(cmd, self.cme("SIM busy"))
            return True
        return False

    def ok(self, cmd, *lines, extra_delay=0.0):
        self.answer(cmd, "".join("\r\n%s\r\n" % ln for ln in lines) + "\r\nOK\r\n", extra_delay)

    def err(self, cmd, text="ERROR"):
        self.answer(cmd, "\r\n%s\r\n" % text)

    def override(self, cmd):
        """A scripted answer for the command; True when it was used."""
        best = None
        for prefix in self.cfg["answers"]:
            if cmd.upper().startswith(prefix.upper()) and (best is None or len(prefix) > len(best)):
                best = prefix
        if best is None:
            return False
        entry = self.cfg["answers"][best]
        if isinstance(entry, dict):
            text = entry.get("text")
            if entry.get("times") is not None:
                entry["times"] -= 1
                if entry["times"] <= 0:
                    del self.cfg["answers"][best]
        else:
            text = entry
        if text is not None:
            self.answer(cmd, text)
        return True

    def command(self, cmd):
        if self.override(cmd):
            return
        mode = self.cfg["mode"]
        if mode == "silent":
            return
        if mode == "error":
            self.err(cmd)
            return
        if mode == "garbage":
            n = self.rng.randint(1, 80)
            alphabet = b"\r\n\r\n ,:+0123456789ABCDEFOKERCSQPINREGMS\x00\xff\x1a>"
            self.answer(cmd, bytes(self.rng.choice(alphabet) for _ in range(n)).decode("latin-1"))
            return
        if cmd[:2].upper() != "AT":
            return  # a real modem ignores lines without the AT prefix
        body = cmd[2:]
        ub = body.upper()
        try:
            if ub == "":
                self.ok(cmd)
            elif ub[:1] == "D":
                self.dial(cmd, body[1:])
            elif ub in ("E0", "E1"):
                self.cfg["echo"] = ub == "E1"
                self.ok(cmd)
            elif ub in ("I", "I0"):
                self.ok(cmd, "Manufacturer: SIMCOM INCORPORATED\r\nModel: %s\r\nRevision: %s\r\n"
                        "IMEI: %s\r\n+GCAP: +CGSM" % (self.cfg["model"], self.cfg["revision"],
                                                      self.cfg["imei"]))
            elif ub in ("H", "H0", "+CHUP"):
                self.hangup(cmd)
            else:
                self.extended(cmd, body)
        except (ValueError, IndexError):
            self.err(cmd)

    def extended(self, cmd, body):
        ub = body.upper()
        name, arg = ub, None
        for i, c in enumerate(ub):
            if c in "=?":
                name, arg = ub[:i], body[i:]
                break
        q = arg == "?"
        args = arg[1:] if arg and arg.startswith("=") and arg != "=?" else None
        if name == "+CMMS" and not self.cfg["cmms"]:
            self.err(cmd)   # a module without the command
            return
        if arg == "=?":
            self.ok(cmd)
            return
        if name in ("+GMM", "+CGMM"):
            self.ok(cmd, self.cfg["model"])
        elif name in ("+GMR", "+CGMR"):
            self.ok(cmd, "+CGMR: " + self.cfg["revision"])
        elif name in ("+GSN", "+CGSN"):
            self.ok(cmd, self.cfg["imei"])
        elif name == "+SIMEI" and q:
            self.ok(cmd, "+SIMEI: " + self.cfg["imei"])
        elif name == "+CGPS" and q:
            self.ok(cmd, "+CGPS: %d,1" % self.cgps)
        elif name == "+CGPS" and args is not None:
            on = args.split(",")[0].strip() == "1"
            if on and self.cgps:
                self.err(cmd)  # the module refuses to start a running receiver
            else:
                self.cgps = on
                self.ok(cmd)
        elif name == "+CGPSINFO" and arg is None:
            self.ok(cmd, "+CGPSINFO: " + self.gps_text())
        elif name == "+CPIN":
            self.cpin(cmd, q, args)
        elif name == "+CFUN":
            self.cfun_cmd(cmd, q, args)
        elif name == "+CREG" and q:
            self.ok(cmd, "+CREG: 0,%d" % self.eff_creg())
        elif name == "+CREG" and args is not None:
            self.ok(cmd)
        elif name == "+CSQ" and arg is None:
            rssi, ber = (self.cfg["csq"], self.cfg["ber"]) if self.radio_on() else (99, 99)
            self.ok(cmd, "+CSQ: %d,%d" % (rssi, ber))
        elif name == "+CNSMOD" and q:
            self.ok(cmd, "+CNSMOD: 0,%d" % (self.cfg["cnsmod"] if self.registered() else 0))
        elif name == "+CMGF" and q:
            self.ok(cmd, "+CMGF: %d" % self.cmgf)
        elif name == "+CMGF" and args is not None:
            if args.strip() not in ("0", "1"):
                raise ValueError(args)
            self.cmgf = int(args)
            self.ok(cmd)
        elif name == "+CMEE" and q:
            self.ok(cmd, "+CMEE: %d" % self.cmee)
        elif name == "+CMEE" and args is not None:
            if args.strip() not in ("0", "1", "2"):
                raise ValueError(args)
            self.cmee = int(args)
            self.ok(cmd)
        elif name == "+CPMS" and args is not None:
            if self.sim_error(cmd):
                return
            u, t = self.used(), len(self.inbox)
            self.ok(cmd, "+CPMS: %d,%d,%d,%d,%d,%d" % (u, t, u, t, u, t))
        elif name == "+CNMI" and q:
            self.ok(cmd, "+CNMI: %s" % (self.cnmi or "0,0,0,0,0"))
        elif name == "+CNMI" and args is not None:
            self.cnmi = args.strip()
            self.ok(cmd)
        elif name == "+CMGS" and args is not None:
            self.cmgs(cmd, args)
        elif name == "+CMMS" and q:
            self.link_check()
            self.ok(cmd, "+CMMS: %d" % self.cmms_n)
        elif name == "+CMMS" and args is not None:
            if args.strip() not in ("0", "1", "2"):
                raise ValueError(args)
            self.link_check()
            self.cmms_n = int(args)
            if self.cmms_n == 0:
                self.link_answer_at = None   # disabled: the link is released
            self.ok(cmd)
        elif name == "+CPMS" and q:
            if self.sim_error(cmd):
                return
            u, t = self.used(), len(self.inbox)
            self.ok(cmd, '+CPMS: "SM",%d,%d,"SM",%d,%d,"SM",%d,%d' % (u, t, u, t, u, t))
        elif name in ("+CMGRD", "+CMGR") and args is not None:
            self.read_sms(cmd, int(args.split(",")[0]), delete=name == "+CMGRD")
        elif name == "+CMGD" and args is not None:
            self.delete_sms(cmd, args)
        elif name == "+DDET" and args is not None:
            self.ddet_on = args.split(",")[0].strip() == "1"
            self.ok(cmd)
        elif name == "+DDET" and q:
            self.ok(cmd, "+DDET: %d" % self.ddet_on)
        elif name == "+MORING" and args is not None:
            if self.cfg["moring"] == "error":
                self.err(cmd)
            else:
                self.moring_on = args.strip() == "1"
                self.ok(cmd)
        elif name == "+CCMXPLAYWAV" and args is not None:
            self.play(cmd, args)
        elif name == "+CCMXSTOPWAV" and arg is None:
            self.stop_play()
            self.ok(cmd)
        else:
            self.err(cmd)

    # ---- SIM and radio -----------------------------------------------------

    def sim_error(self, cmd):
        """Answers the SMS storage commands that need a usable SIM."""
        if self.sim_busy(cmd):
            return True
        st = self.cfg["cpin"]
        if st == "READY":
            return False
        if st == "NONE":
            return True
        self.err(cmd, {"SIM PIN": "+CMS ERROR: 311", "SIM PUK": "+CMS ERROR: 316",
                       "NO SIM": "+CMS ERROR: 310"}.get(st, "+CMS ERROR: 313"))
        return True

    def cpin(self, cmd, q, args):
        st = self.cfg["cpin"]
        if st == "NONE":
            return  # the SIM interface does not answer
        if self.sim_busy(cmd):
            return
        if st == "NO SIM":
            self.err(cmd, "+CME ERROR: SIM not inserted")
            return
        if st == "SIM ERROR":
            self.err(cmd, "+CME ERROR: SIM failure")
            return
        if q:
            self.ok(cmd, "+CPIN: " + st)
            return
        if args is None:
            self.err(cmd)
            return
        given = args.split(",")[0].strip().strip('"')
        if st == "SIM PIN":
            if given == self.cfg["pin"]:
                self.cfg["cpin"] = "READY"
                self.pin_left = self.cfg["pin_tries"]
                self.ok(cmd)
                self.out("\r\n+CPIN: READY\r\n\r\nSMS DONE\r\n\r\nPB DONE\r\n",
                         self.delay_for(cmd) + 0.3)
            else:
                self.pin_left -= 1
                if self.pin_left <= 0:
                    self.cfg["cpin"] = "SIM PUK"
                self.err(cmd, "+CME ERROR: incorrect password")
        else:
            self.err(cmd, "+CME ERROR: operation not allowed")

    def cfun_cmd(self, cmd, q, args):
        if q:
            self.ok(cmd, "+CFUN: %d" % self.cfun)
            return
        fun = int(args.split(",")[0])
        if fun not in (0, 1, 4):
            raise ValueError(fun)
        if fun != 1 and self.call:
            self.end_call("network", notice="\r\nNO CARRIER\r\n")
        if fun == 1 and self.cfun != 1 and self.cfg["cfun_fixes_sim"] \
                and self.cfg["cpin"] in ("NONE", "SIM ERROR"):
            self.cfg["cpin"] = "READY"
        if fun == 1 and self.cfun != 1 and self.cfg["sim_busy"] > 0:
            self.busy_until = time.monotonic() + self.cfg["sim_busy"]
        self.cfun = 1 if fun == 1 else 0
        self.ok(cmd)

    def gps_text(self):
        g = self.cfg["gps"]
        if not g or not self.cgps:
            return ",,,,,,,,"
        if isinstance(g, str):
            return g
        lat, lon = float(g["lat"]), float(g["lon"])

        def dm(v, width):
            v = abs(v)
            d = int(v)
            return "%0*d%09.6f" % (width, d, (v - d) * 60)
        now = datetime.datetime.now(datetime.timezone.utc)
        return "%s,%s,%s,%s,%s,%s,%.1f,%.1f,%.1f" % (
            dm(lat, 2), "S" if lat < 0 else "N", dm(lon, 3), "W" if lon < 0 else "E",
            g.get("date", now.strftime("%d%m%y")), g.get("time", now.strftime("%H%M%S.0")),
            float(g.get("alt", 35.0)), float(g.get("speed", 0.0)), float(g.get("course", 0.0)))

    # ---- SMS ---------------------------------------------------------------

    def match_rule(self, modes, number):
        for rule in self.cfg["sms_fail"]:
            if rule["mode"] not in modes:
                continue
            if rule["number"] and bare_number(rule["number"]) != bare_number(number):
                continue
            if rule["times"] is not None:
                if rule["times"] <= 0:
                    continue
                rule["times"] -= 1
            return rule
        return None

    def cmgs(self, cmd, args):
        if self.cmgf != 0:
            self.err(cmd, "+CMS ERROR: 304")
            return
        n = int(args.strip())
        if self.match_rule(("error",), None):
            self.err(cmd)
            return
        if not 7 <= n <= 164:
            self.err(cmd, "+CMS ERROR: 304")
            return
        # The send command is what finds the relay link open or closed.
        self.link_check()
        self.pdu = {"n": n, "buf": bytearray(), "link": self.link_answer_at is not None}
        deadline_owner = self.pdu
        self.after(self.cfg["pdu_timeout"], lambda: self.pdu_timeout(deadline_owner))
        self.answer(cmd, "\r\n> ")

    def pdu_timeout(self, owner):
        if self.pdu is owner:
            self.pdu = None
            self.log_command(b"<PDU input timed out>")

    def link_check(self):
        """Closes the relay link once link_hold s have passed since the last
        send's answer; AT+CMMS=1 then falls back to 0 (TS 27.005)."""
        at = self.link_answer_at
        if at is not None and time.monotonic() - at > self.cfg["link_hold"]:
            self.link_answer_at = None
            if self.cmms_n == 1:
                self.cmms_n = 0

    def submit(self, n, pdu, link_open=False):
        rec = {"t": time.time(), "time": datetime.datetime.now().isoformat(sep="T")[:23],
               "octets": n, "pdu": pdu, "link_open": link_open}
        reply = None
        try:
            d = modem_pdu.decode(pdu)
            rec.update({k: d.get(k) for k in ("number", "text", "coding", "dcs", "udl",
                                              "validity", "type", "data", "srr") if k in d})
            if d["type"] != "Submit":
                raise modem_pdu.PduError("not an SMS-SUBMIT")
            if modem_pdu.tpdu_length(pdu) != n:
                raise modem_pdu.PduError("AT+CMGS=%d but the PDU holds %d octets"
                                         % (n, modem_pdu.tpdu_length(pdu)))
        except modem_pdu.PduError as e:
            rec.update({"status": "failed", "reason": str(e)})
            reply = "\r\n+CMS ERROR: 304\r\n"
        if reply is None and not self.registered():
            rec.update({"status": "failed", "reason": "no network"})
            reply = "\r\n+CMS ERROR: 331\r\n"
        extra = self.cfg["send_time"]
        if self.cfg["confirm_time"]:
            lo, hi = self.cfg["confirm_time"]
            extra = self.real_rng().uniform(lo, hi)
        rec["link_setup_s"] = 0.0 if link_open else self.cfg["link_setup"]
        extra += rec["link_setup_s"]
        if reply is None:
            rule = self.match_rule(("reject", "nocmgs", "silent", "late"), rec.get("number"))
            mode = rule["mode"] if rule else None
            if mode == "reject":
                rec.update({"status": "failed", "reason": "rejected"})
                reply = "\r\n+CMS ERROR: 500\r\n"
            elif mode == "nocmgs":
                rec.update({"status": "failed", "reason": "no +CMGS"})
                reply = "\r\nOK\r\n"
            elif mode == "silent":
                rec.update({"status": "failed", "reason": "no answer"})
                reply = ""
            else:
                self.mr = (self.mr + 1) % 256
                rec.update({"status": "sent", "mr": self.mr})
                reply = "\r\n+CMGS: %d\r\n\r\nOK\r\n" % self.mr
                if mode == "late":
                    rec["late"] = True
                    extra = self.cfg["late_time"]
                self.auto_reply(rec.get("number"))
                if rec.get("srr"):
                    self.plan_report(rec.get("number"), self.mr, extra)
        self.append("outbox.jsonl", json.dumps(rec, ensure_ascii=False))
        if reply:
            self.answer("AT+CMGS", reply, extra)
            # The answer's time starts the hold; without AT+CMMS the link is
            # released with the answer.
            self.link_answer_at = (time.monotonic() + self.delay_for("AT+CMGS") + extra
                                   if self.cmms_n else None)

    def cnmi_ds(self):
        """<ds> of the last AT+CNMI (0 before any)."""
        try:
            return int((self.cnmi or "0,0,0,0,0").split(",")[3])
        except (IndexError, ValueError):
            return 0

    def plan_report(self, number, mr, confirm_after):
        """The network's delivery report of an SMS just sent, as the settings say."""
        rule = dict(self.cfg["reports_by_number"].get(bare_number(number or ""), {}))
        delay = float(rule.get("delay", self.cfg["report_delay"]))
        status = int(rule.get("status", self.cfg["report_status"]))
        never = float(rule.get("never", self.cfg["report_never"]))
        log = {"t": time.time(), "number": number, "mr": mr, "status": status}
        if never >= 1.0 or (never > 0 and self.real_rng().random() < never):
            self.append("reports.jsonl", json.dumps(dict(log, routed="never")))
            return
        self.after(confirm_after + delay, lambda: self.send_report(number, mr, status, log))

    def send_report(self, number, mr, status, log):
        """Hands a report over as AT+CNMI's <ds> asks (read when it arrives)."""
        ds = self.cnmi_ds()
        pdu = modem_pdu.build_status_report(number, mr, status)
        log = dict(log, t=time.time(), pdu=pdu)
        if ds == 1:
            self.out("\r\n+CDS: %d\r\n%s\r\n" % (modem_pdu.tpdu_length(pdu), pdu))
            log["routed"] = "cds"
        elif ds == 2:
            try:
                idx = self.deliver({"pdu": pdu})
            except ValueError:
                log["routed"] = "storage full"
            else:
                self.out('\r\n+CDSI: "SM",%d\r\n' % idx)
                log.update(routed="stored", index=idx)
        else:
            log["routed"] = "none"
        self.append("reports.jsonl", json.dumps(log))

    def deliver(self, m):
        """Stores an SMS-DELIVER; returns its storage index."""
        free = next((i for i, x in enumerate(self.inbox) if x is None), None)
        if free is None:
            raise ValueError("SMS storage full (%d)" % len(self.inbox))
        if m.get("pdu"):
            pdu = m["pdu"].strip().upper()
            bytes.fromhex(pdu)
            rec = {"pdu": pdu}
        else:
            data = bytes.fromhex(m["data"]) if m.get("data") is not None else None
            udh = bytes.fromhex(m["udh"]) if m.get("udh") else None
            pdu = modem_pdu.build_deliver(
                m["sender"], m.get("text", ""), m.get("coding", "gsm7"), m.get("time"),
                m.get("smsc", "+8613800755500"), int(m.get("tz", 0)), data, dcs=m.get("dcs"), udh=udh)
            rec = {"sender": m["sender"], "text": m.get("text", ""),
                   "coding": m.get("coding", "gsm7"), "pdu": pdu}
        rec["index"] = free
        rec["stat"] = int(m.get("stat", 0))
        self.inbox[free] = rec
        return free

    def deliver_parts(self, req):
        """A long message in parts, as a network delivers it: in the order given
        (part numbers from 1), leaving out the missing ones; returns the indexes."""
        m = dict(req.get("sms", {}))
        coding = m.get("coding", "gsm7")
        wide = bool(req.get("wide", False))
        texts = modem_pdu.split_long(m.get("text", ""), coding, wide)
        total = len(texts)
        order = req.get("order") or list(range(1, total + 1))
        missing = set(req.get("missing") or [])
        ref = int(req.get("ref", 0x42))
        if sorted(order) != list(range(1, total + 1)):
            raise ValueError("order must name the parts 1..%d once each" % total)
        out = []
        for seq in order:
            if seq in missing:
                continue
            part = dict(m, text=texts[seq - 1],
                        udh=modem_pdu.concat_udh(ref, total, seq, wide).hex())
            out.append(self.deliver(part))
        return {"parts": total, "indexes": out, "texts": texts}

    def read_sms(self, cmd, index, delete):
        if self.sim_error(cmd):
            return
        if not 0 <= index < len(self.inbox):
            self.err(cmd, "+CMS ERROR: 321")
            return
        m = self.inbox[index]
        if m is None:
            self.ok(cmd)
            return
        name = "+CMGRD" if delete else "+CMGR"
        tl = modem_pdu.tpdu_length(m["pdu"]) if len(m["pdu"]) >= 2 else 0
        self.ok(cmd, "%s: %d,,%d\r\n%s" % (name, m["stat"], tl, m["pdu"]))
        if delete:
            self.inbox[index] = None
        else:
            m["stat"] = 1

    def delete_sms(self, cmd, args):
        parts = [p.strip() for p in args.split(",")]
        index = int(parts[0])
        flag = int(parts[1]) if len(parts) > 1 and parts[1] else 0
        if flag == 4:
            self.inbox = [None] * len(self.inbox)
        elif flag == 0:
            if not 0 <= index < len(self.inbox):
                self.err(cmd, "+CMS ERROR: 321")
                return
            self.inbox[index] = None
        else:
            # 1..3 delete read/sent/unsent messages; the inbox only knows read and unread
            self.inbox = [m if m and m["stat"] == 0 else None for m in self.inbox]
        self.ok(cmd)

    # ---- voice -------------------------------------------------------------

    def behaviour_for(self, number):
        beh = dict(self.cfg["call"])
        beh.update(self.cfg["calls_by_number"].get(bare_number(number), {}))
        return beh

    def dial(self, cmd, rest):
        if not rest.endswith(";"):
            self.err(cmd, "NO CARRIER")  # data calls are not offered
            return
        number = rest[:-1].strip()
        if not number or any(c not in "0123456789+*#" for c in number) or len(number) > 40:
            self.err(cmd)
            return
        if self.call is not None:
            self.err(cmd)  # one call at a time
            return
        if not self.registered():
            self.err(cmd, self.cme("no network service"))
            self.append("calls.jsonl", json.dumps(
                Call(number, self.behaviour_for(number)).record("no_network", "modem")))
            return
        beh = self.behaviour_for(number)
        call = Call(number, beh)
        if beh["mode"] == "dial_error":
            self.err(cmd)
            self.append("calls.jsonl", json.dumps(call.record("dial_error", "modem")))
            return
        self.call = call
        self.ok(cmd)
        d = self.delay_for(cmd)
        after = beh["after"]
        if beh["mode"] == "answer":
            self.after(d + (after or 0.0), lambda: self.connect(call))
        elif beh["mode"] == "ring":
            self.after(d + min(0.2, beh["ring_interval"]), lambda: self.ring(call))
            if after is not None:
                self.after(d + after, lambda: self.connect(call))
        elif beh["mode"] == "no_carrier":
            self.after(d + (after or 0.0), lambda: self.call is call and self.end_call(
                "network", notice="\r\nNO CARRIER\r\n", outcome="no_carrier"))
        elif beh["mode"] in CALL_ENDS:
            self.after(d + (after or 0.0), lambda: self.unconnected_end(call))
        # silent: nothing comes until the daemon hangs up

    def unconnected_end(self, call):
        """The call ends before it connects, the way its mode says."""
        if self.call is not call:
            return
        mode = call.beh["mode"]
        notice = CALL_ENDS[mode] or "\r\n%s\r\n" % self.cme("no network service")
        self.end_call("network", notice=notice, outcome=mode)

    def ring(self, call):
        if self.call is not call or call.state != "dialling":
            return
        if self.moring_on:
            self.out("\r\nVOICE CALL: RING\r\n")
        self.after(call.beh["ring_interval"], lambda: self.ring(call))

    def connect(self, call):
        if self.call is not call or call.state != "dialling":
            return
        call.state = "connected"
        call.answer_time = time.time()
        call.last_activity = time.monotonic()
        self.out("\r\nVOICE CALL: BEGIN\r\n")
        if call.beh["hangup_after"] is not None:
            self.after(call.beh["hangup_after"], lambda: self.far_hangup(call))
        if call.beh["idle_hangup"] is not None:
            self.after(call.beh["idle_hangup"], lambda: self.idle_check(call))

    def idle_check(self, call):
        if self.call is not call:
            return
        idle = time.monotonic() - call.last_activity
        if call.playing is None and idle >= call.beh["idle_hangup"] - 0.01:
            self.far_hangup(call)
        else:
            self.after(max(0.1, call.beh["idle_hangup"] - idle), lambda: self.idle_check(call))

    def far_hangup(self, call):
        if self.call is call:
            form = self.cfg["far_end_notice"]
            if form == "random":
                form = self.real_rng().choice(("end_no_carrier", "end_only"))
            tail = "\r\nNO CARRIER\r\n" if form == "end_no_carrier" else ""
            self.end_call("far_end", notice="\r\nVOICE CALL: END: %s\r\n%s" % (self.duration(call), tail))

    @staticmethod
    def duration(call):
        s = int(time.time() - call.answer_time) if call.answer_time else 0
        return "%02d%02d%02d" % (s // 3600, s // 60 % 60, s % 60)

    def end_call(self, by, notice="", outcome=None):
        call, self.call = self.call, None
        if call is None:
            return
        if call.playing is not None:
            call.playing = None
            notice = "\r\n+WAVSTATE: wav play stop\r\n" + notice
        call.state = "ended"
        if outcome is None:
            if any(f.get("complete") for f in call.files):
                outcome = "played"
            elif any(f["ok"] for f in call.files):
                outcome = "play_cut"
            elif call.files:
                outcome = "play_error"
            elif call.answer_time:
                outcome = "answered"
            else:
                outcome = "unanswered"
        self.append("calls.jsonl", json.dumps(call.record(outcome, by)))
        if notice:
            self.out(notice)

    def hangup(self, cmd):
        mode = self.cfg["chup"]
        call = self.call
        if mode == "error":
            self.err(cmd)
            return
        if call is None:
            if mode != "silent":
                self.ok(cmd)
            return
        answered = call.answer_time is not None
        dur = self.duration(call)
        self.end_call("daemon")
        if mode == "end" and answered:
            self.ok(cmd, "VOICE CALL: END: " + dur)
        elif mode != "silent":
            self.ok(cmd)

    def play(self, cmd, args):
        call = self.call
        path = args.rsplit(",", 1)[0].strip() if "," in args else args.strip()
        path = path.strip('"')
        ok, reason = True, None
        if self.cfg["play_error"]:
            ok, reason = False, "scripted error"
        elif call is None:
            ok, reason = False, "no call"
        elif self.cfg["play_needs_connect"] and call.state != "connected":
            ok, reason = False, "call not connected"
        elif self.drive_path(path) is not None:
            path = self.drive_path(path)
        elif not self.cfg["play_linux_paths"]:
            ok, reason = False, "not a module drive path"
        norm = os.path.normpath(path)
        if ok and (not os.path.isabs(path) or not (norm + "/").startswith(self.root + "/")):
            ok, reason = False, "path outside the board root %s" % self.root
        elif ok:
            try:
                with open(norm, "rb") as f:
                    head = f.read(12)
                if head[:4] != b"RIFF" or head[8:12] != b"WAVE":
                    ok, reason = False, "not a RIFF WAVE file"
            except OSError as e:
                ok, reason = False, e.strerror
        entry = {"path": path, "ok": ok, "reason": reason, "complete": False,
                 "t": time.time()}
        if call is not None:
            call.files.append(entry)
            call.last_activity = time.monotonic()
        if not ok:
            self.log_command(b"<play refused: " + str(reason).encode() + b">")
            self.err(cmd)
            return
        call.playing = len(call.files) - 1
        self.ok(cmd)
        idx = call.playing
        self.after(self.delay_for(cmd) + self.cfg["play_time"], lambda: self.play_end(call, idx))

    def drive_path(self, path):
        """The file a module drive path (E:/x.wav) stands for, or None."""
        for drive, where in self.cfg["play_drives"].items():
            if path.upper().startswith(drive.upper()):
                return os.path.join(self.root, where, path[len(drive):])
        return None

    def play_end(self, call, idx):
        if self.call is not call or call.playing != idx:
            return
        call.playing = None
        call.files[idx]["complete"] = True
        call.last_activity = time.monotonic()
        if self.cfg["play_stop"]:
            self.out("\r\n+WAVSTATE: wav play stop\r\n")
        if call.beh.get("dtmf"):
            self.after(call.beh.get("dtmf_after", 0.5), lambda: self.send_keys(call, call.beh["dtmf"]))

    def stop_play(self):
        if self.call is not None and self.call.playing is not None:
            self.call.playing = None
            self.call.last_activity = time.monotonic()

    # ---- control socket ----------------------------------------------------

    def control(self, req):
        cmd = req.get("cmd")
        if cmd == "ping":
            return "pong"
        if cmd == "set":
            self.apply(req.get("values", {}))
            return self.status()
        if cmd == "get":
            return self.status()
        if cmd == "reset":
            self.reset_state()
            self.cgps = self.cfg["gps_on"]
            if req.get("logs"):
                self.clear_logs()
            return self.status()
        if cmd == "deliver":
            return self.deliver(req.get("sms", {}))
        if cmd == "deliver_parts":
            return self.deliver_parts(req)
        if cmd == "inbox":
            return [m for m in self.inbox if m]
        if cmd == "clear_inbox":
            self.inbox = [None] * len(self.inbox)
            return True
        if cmd == "sms_fail":
            rules = req.get("rules")
            if rules is None:
                rules = self.cfg["sms_fail"] + [req.get("rule", {})]
            self.cfg["sms_fail"] = [self.check_rule(r) for r in rules]
            return self.cfg["sms_fail"]
        if cmd == "call_rule":
            number, beh = req.get("number"), req.get("behaviour", {})
            self.check_call(beh)
            if number is None:
                self.apply({"call": beh})
            elif beh:
                self.cfg["calls_by_number"][bare_number(number)] = beh
            else:
                self.cfg["calls_by_number"].pop(bare_number(number), None)
            return True
        if cmd == "inject":
            data = bytes.fromhex(req["hex"]) if "hex" in req else unesc(req.get("text", ""))
            self.out(data, float(req.get("delay", 0.0)))
            return len(data)
        if cmd == "port":
            if req.get("state") == "down":
                self.port_down(req.get("how", "unlink"))
            elif req.get("state") == "up":
                self.port_up()
            else:
                raise ValueError("port state must be up or down")
            return self.slave_name
        if cmd == "hangup":
            if self.call is None:
                return False
            if self.call.answer_time:
                self.far_hangup(self.call)
            else:
                self.end_call("network", notice="\r\nNO CARRIER\r\n", outcome="no_carrier")
            return True
        if cmd == "dtmf":
            if self.call is None:
                return False
            return self.send_keys(self.call, str(req.get("keys", "")))
        if cmd == "clear_logs":
            self.clear_logs()
            return True
        raise ValueError("unknown command %r" % cmd)

    def on_accept(self, lsock):
        conn, _ = lsock.accept()
        conn.setblocking(False)
        self.clients[conn] = bytearray()
        self.sel.register(conn, selectors.EVENT_READ, ("client", conn))

    def on_client(self, conn):
        try:
            data = conn.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.sel.unregister(conn)
            self.clients.pop(conn, None)
            conn.close()
            return
        buf = self.clients[conn]
        buf += data
        while b"\n" in buf:
            line, _, rest = bytes(buf).partition(b"\n")
            buf[:] = rest
            try:
                resp = {"ok": True, "result": self.control(json.loads(line))}
            except Exception as e:  # the script is untrusted: report, never die
                resp = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
            conn.setblocking(True)
            try:
                conn.sendall((json.dumps(resp, default=str) + "\n").encode())
            except OSError:
                pass
            conn.setblocking(False)

    # ---- main loop ---------------------------------------------------------

    def run(self, script=None):
        if script:
            with open(script) as f:
                self.apply(json.load(f))
        if os.path.lexists(self.ready_path):
            os.unlink(self.ready_path)
        if os.path.lexists(self.sock_path):
            os.unlink(self.sock_path)
        lsock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        addr, dfd = unix_path(self.sock_path)
        try:
            lsock.bind(addr)
        finally:
            if dfd is not None:
                os.close(dfd)
        lsock.listen(8)
        lsock.setblocking(False)
        self.sel.register(lsock, selectors.EVENT_READ, ("listen", lsock))
        self.port_up()
        with open(self.ready_path + ".tmp", "w") as f:
            f.write("%d %s\n" % (os.getpid(), self.slave_name))
        os.replace(self.ready_path + ".tmp", self.ready_path)
        try:
            while True:
                timeout = None
                if self.timers:
                    timeout = max(0.0, self.timers[0][0] - time.monotonic())
                for key, _ in self.sel.select(timeout):
                    kind, obj = key.data
                    if kind == "pty":
                        self.on_pty()
                    elif kind == "listen":
                        self.on_accept(obj)
                    else:
                        self.on_client(obj)
                now = time.monotonic()
                while self.timers and self.timers[0][0] <= now:
                    _, _, fn = heapq.heappop(self.timers)
                    fn()
        finally:
            if self.call is not None:
                self.end_call("modem")
            for path in (self.ready_path, self.sock_path):
                if os.path.lexists(path):
                    os.unlink(path)
            if os.path.lexists(self.link) and os.readlink(self.link) == self.slave_name:
                os.unlink(self.link)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--root", required=True, help="board root (ALARMGW_ROOT)")
    ap.add_argument("--script", help="JSON file of initial settings (as modemctl set)")
    ap.add_argument("--verbose", "-v", action="store_true", help="print the AT traffic")
    ap.add_argument("--realistic", action="store_true", help="as unkind as a real module")
    ap.add_argument("--confirm-time", help="LO,HI s until the network confirms a send")
    a = ap.parse_args()
    preset = dict(REALISTIC) if a.realistic else {}
    if a.confirm_time:
        lo, hi = (float(x) for x in a.confirm_time.split(","))
        preset["confirm_time"] = [lo, hi]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(0))
    ModemSim(a.root, a.verbose, preset).run(a.script)


if __name__ == "__main__":
    main()
