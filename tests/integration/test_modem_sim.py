"""The simulated modem alone, driven over its pseudo-terminal with pyserial,
then (when the daemon is built) the daemon's modem passes against it."""
import datetime
import json
import os
import subprocess
import sys
import time
import wave

import gammu
import pytest
import serial

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.abspath(os.path.join(HERE, "..", ".."))
SIM = os.path.join(SRC, "sim")
from sim.modemctl import Modem, ModemError  # noqa: E402


@pytest.fixture
def simroot(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    log_path = tmp_path / "modem.log"
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([sys.executable, os.path.join(SIM, "modem_sim.py"), "--root", str(root)],
                                stdout=log, stderr=subprocess.STDOUT)
    m = Modem(str(root))
    try:
        m.wait_ready(10)
    except ModemError:
        proc.kill()
        proc.wait()
        raise AssertionError("simulator did not start: %s" % log_path.read_text())
    yield str(root), m, proc
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    # the simulator reports scripting errors to its client and must never crash
    assert "Traceback" not in log_path.read_text(), log_path.read_text()
    assert proc.returncode == 0


@pytest.fixture
def sim(simroot):
    return simroot[1]


class Line:
    """The test's end of the AT port: text that arrived after an awaited
    marker stays pending for the next read, as a terminal program shows it."""

    def __init__(self, path):
        self.path = path
        self.s = serial.Serial(path, 115200, timeout=0)
        self.pending = b""

    def write(self, data):
        self.s.write(data)

    def read(self, n=4096):
        data, self.pending = self.pending + self.s.read(n), b""
        return data

    def unread(self, data):
        self.pending = data + self.pending

    def open(self):
        self.s.open()

    def close(self):
        self.pending = b""
        self.s.close()


@pytest.fixture
def port(simroot):
    line = Line(os.path.join(simroot[0], "dev", "smd8"))
    yield line
    line.close()


FINAL = ("OK\r\n", "ERROR")


def xfer(s, cmd, marker=FINAL, timeout=2.0):
    """Writes cmd and reads up to the line that holds marker (one text or a
    tuple of alternatives; default a final result) or until the timeout."""
    if isinstance(cmd, str):
        cmd = cmd.encode("latin-1")
    s.write(cmd)
    return collect(s, marker, timeout)


def collect(s, marker, timeout):
    markers = [m.encode() for m in ((marker,) if isinstance(marker, str) else marker or ())]
    buf = b""
    end = time.monotonic() + timeout
    while True:
        buf += s.read(4096)
        cut = None
        for m in markers:
            i = buf.find(m)
            if i < 0:
                continue
            if m.endswith(b"\r\n") or m.endswith(b"> "):
                cut = i + len(m)
            elif buf.find(b"\r\n", i) >= 0:
                cut = buf.find(b"\r\n", i) + 2   # the whole line of the marker
            if cut is not None:
                break
        if cut is not None:
            s.unread(buf[cut:])
            buf = buf[:cut]
            break
        if time.monotonic() >= end:
            break
        time.sleep(0.01)
    return buf.decode("latin-1")


def quiet(s, cmd, wait=0.3):
    """Writes cmd and returns whatever arrives within wait."""
    return xfer(s, cmd, marker=None, timeout=wait)


def make_wav(path, seconds=0.1):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(b"\x00\x00" * int(8000 * seconds))
    return path


# ---- start-up and the port ---------------------------------------------------

def test_startup_port_link_and_idle_cost(simroot, port):
    root, m, proc = simroot
    link = os.path.join(root, "dev", "smd8")
    assert os.path.islink(link) and os.readlink(link).startswith("/dev/pts/")
    pid, pty = open(os.path.join(root, "sim", "modem.ready")).read().split()
    assert int(pid) == proc.pid and pty == os.readlink(link)
    # the daemon closes and reopens the port every pass: no hang-up in between
    for _ in range(3):
        port.close()
        port.open()
        assert "OK" in xfer(port, "AT\r\n")
    # an idle simulator sleeps in select
    stat = lambda: sum(int(x) for x in open("/proc/%d/stat" % proc.pid).read().split(")")[1].split()[11:13])
    before = stat()
    time.sleep(1.0)
    assert stat() - before <= 3, "idle simulator uses CPU"
    proc.terminate()
    proc.wait(5)
    assert not os.path.lexists(link)
    assert not os.path.exists(os.path.join(root, "sim", "modem.ready"))


def test_default_status_dialogue(sim, port):
    assert "+SIMEI: 861234567890123\r\n" in xfer(port, "AT+SIMEI?\r\n")
    assert "OK" in xfer(port, "ATI\r\n") and "SIM7100" in xfer(port, "AT+GMM\r\n")
    assert "+CGPS: 0,1" in xfer(port, "AT+CGPS?\r\n")
    assert xfer(port, "AT+CGPS=1\r\n") == "\r\nOK\r\n"
    assert "ERROR" in xfer(port, "AT+CGPS=1\r\n", "ERROR")  # already running
    assert "OK" in xfer(port, "AT+CMGD=4,4\r\n")
    assert xfer(port, "AT+CPIN?\r\n") == "\r\n+CPIN: READY\r\n\r\nOK\r\n"
    assert xfer(port, "AT+CREG?\r\n") == "\r\n+CREG: 0,1\r\n\r\nOK\r\n"
    assert xfer(port, "AT+CSQ\r\n") == "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"
    assert xfer(port, "AT+CNSMOD?\r\n") == "\r\n+CNSMOD: 0,8\r\n\r\nOK\r\n"
    assert xfer(port, "AT+CGPSINFO\r\n") == "\r\n+CGPSINFO: ,,,,,,,,\r\n\r\nOK\r\n"
    assert "ERROR" in xfer(port, "AT+NOSUCH\r\n", "ERROR")
    cmds = sim.commands()
    assert cmds[:3] == ["AT+SIMEI?", "ATI", "AT+GMM"] and "AT+CGPSINFO" in cmds
    assert all(isinstance(e["t"], float) for e in sim.at_log())


def test_values_and_gps_fix(sim, port):
    sim.set(creg=5, csq=31, cnsmod=4, gps="2503.123456,N,12134.567890,E,061226,123456.0,35.2,0.5,90.0")
    assert "+CREG: 0,5\r\n" in xfer(port, "AT+CREG?\r\n")
    assert "+CSQ: 31,99\r\n" in xfer(port, "AT+CSQ\r\n")
    assert "+CNSMOD: 0,4\r\n" in xfer(port, "AT+CNSMOD?\r\n")
    # no position before the receiver is switched on
    assert "+CGPSINFO: ,,,,,,,,\r\n" in xfer(port, "AT+CGPSINFO\r\n")
    xfer(port, "AT+CGPS=1\r\n")
    assert ("+CGPSINFO: 2503.123456,N,12134.567890,E,061226,123456.0,35.2,0.5,90.0\r\n"
            in xfer(port, "AT+CGPSINFO\r\n"))
    sim.set(gps={"lat": -33.8688, "lon": -151.2093})
    fields = xfer(port, "AT+CGPSINFO\r\n").split("+CGPSINFO: ")[1].split("\r")[0].split(",")
    assert fields[1] == "S" and fields[3] == "W" and len(fields) == 9
    assert abs(int(fields[0][:2]) + float(fields[0][2:]) / 60 - 33.8688) < 1e-5
    assert abs(int(fields[2][:3]) + float(fields[2][3:]) / 60 - 151.2093) < 1e-5
    sim.set(creg=2)
    assert "+CNSMOD: 0,0\r\n" in xfer(port, "AT+CNSMOD?\r\n")  # no service while searching


def test_sim_pin_states(sim, port):
    sim.set(cpin="SIM PIN", pin="4321")
    assert "+CPIN: SIM PIN\r\n" in xfer(port, "AT+CPIN?\r\n")
    assert "+CREG: 0,0\r\n" in xfer(port, "AT+CREG?\r\n")  # locked SIM: not registered
    assert "+CMS ERROR: 311" in xfer(port, "AT+CPMS?\r\n", "ERROR")
    assert "incorrect password" in xfer(port, "AT+CPIN=1234\r\n", "ERROR")
    assert "+CPIN: SIM PIN\r\n" in xfer(port, "AT+CPIN?\r\n")
    assert "OK" in xfer(port, "AT+CPIN=4321\r\n")
    assert "+CPIN: READY" in collect(port, "PB DONE\r\n", 2.0)   # the SIM's own notices
    assert "+CPIN: READY\r\n" in xfer(port, "AT+CPIN?\r\n")
    assert "+CREG: 0,1\r\n" in xfer(port, "AT+CREG?\r\n")
    # three wrong PINs lock the SIM behind its PUK: no "SIM PIN" any more
    sim.set(cpin="SIM PIN")
    for _ in range(3):
        xfer(port, "AT+CPIN=0000\r\n", "ERROR")
    a = xfer(port, "AT+CPIN?\r\n")
    assert "+CPIN: SIM PUK" in a and "SIM PIN" not in a
    sim.set(cpin="NO SIM")
    a = xfer(port, "AT+CPIN?\r\n", "ERROR")
    assert "ERROR" in a and "READY" not in a and "SIM PIN" not in a
    sim.set(cpin="NONE")
    assert quiet(port, "AT+CPIN?\r\n") == ""


def test_radio_restart(sim, port):
    assert "OK" in xfer(port, "AT+CFUN=0\r\n")
    assert "+CREG: 0,0\r\n" in xfer(port, "AT+CREG?\r\n")
    assert "+CSQ: 99,99\r\n" in xfer(port, "AT+CSQ\r\n")
    assert "OK" in xfer(port, "AT+CFUN=1\r\n")
    assert "+CREG: 0,1\r\n" in xfer(port, "AT+CREG?\r\n")
    sim.set(cpin="NONE", cfun_fixes_sim=True)
    xfer(port, "AT+CFUN=0\r\n")
    xfer(port, "AT+CFUN=1\r\n")
    assert "+CPIN: READY" in xfer(port, "AT+CPIN?\r\n")
    assert sim.get()["cfun"] == 1


# ---- SMS -----------------------------------------------------------------------

UCS2_PDU = "0011000A8110325476980008AA044F60597D"   # 你好 to 0123456789, 17 octets
GSM7_PDU = "0011000A8110325476980000AA0341E110"     # ABC to 0123456789, 16 octets


def send_pdu(port, pdu, n=None):
    n = (len(pdu) // 2 - 1) if n is None else n
    prompt = xfer(port, "AT+CMGS=%d\r" % n, "> ", timeout=1.0)
    if "> " not in prompt:
        return prompt
    return xfer(port, pdu + "\x1a", timeout=1.0)


def test_submit_is_decoded_into_outbox(sim, port):
    a = send_pdu(port, UCS2_PDU)
    assert "+CMGS: 1\r\n\r\nOK" in a
    assert "+CMGS: 2\r\n" in send_pdu(port, GSM7_PDU)
    out = sim.outbox()
    assert [(o["number"], o["text"], o["coding"], o["dcs"], o["status"]) for o in out] == [
        ("0123456789", "你好", "ucs2", 8, "sent"), ("0123456789", "ABC", "gsm7", 0, "sent")]
    assert out[0]["pdu"] == UCS2_PDU and out[0]["octets"] == 17 and out[0]["validity"] == "4D"
    assert sim.commands()[-1] == GSM7_PDU + "\x1a"
    # a count that does not match the PDU is refused, and so is a broken PDU
    assert "+CMS ERROR: 304" in send_pdu(port, UCS2_PDU, n=16)
    assert "+CMS ERROR: 304" in send_pdu(port, "0011ZZ", n=17)
    bad = sim.outbox("failed")
    assert len(bad) == 2 and "17 octets" in bad[0]["reason"]
    assert len(sim.sent()) == 2


def test_send_failure_scripts(sim, port):
    sim.sms_fail(mode="error", times=1)                      # ERROR to the count command
    assert "ERROR" in xfer(port, "AT+CMGS=17\r", "ERROR") and "> " not in quiet(port, "", 0.1)
    assert "+CMGS:" in send_pdu(port, UCS2_PDU)
    sim.sms_fail(number="0123456789", mode="reject", times=2)  # two failures, then success
    assert "+CMS ERROR: 500" in send_pdu(port, UCS2_PDU)
    assert "+CMS ERROR: 500" in send_pdu(port, UCS2_PDU)
    other = "0011000A8190325476980008AA044F60597D"                # to 0923456789: unaffected
    assert "+CMGS:" in send_pdu(port, other)
    assert "+CMGS:" in send_pdu(port, UCS2_PDU)
    sim.clear_sms_fail()
    sim.sms_fail(number="0123456789", mode="nocmgs", times=1)
    a = send_pdu(port, UCS2_PDU)
    assert "OK" in a and "+CMGS" not in a
    sim.sms_fail(number="0123456789", mode="silent", times=1)
    assert quiet(port, "AT+CMGS=17\r", 0.2).endswith("> ")
    assert quiet(port, UCS2_PDU + "\x1a", 0.6) == ""
    sim.set(late_time=0.8)
    sim.sms_fail(number="0123456789", mode="late", times=1)
    quiet(port, "AT+CMGS=17\r", 0.2)
    assert quiet(port, UCS2_PDU + "\x1a", 0.5) == ""
    assert "+CMGS:" in collect(port, "OK\r\n", 1.5)
    sim.set(creg=3)                                           # registration denied
    assert "+CMS ERROR: 331" in send_pdu(port, UCS2_PDU)
    st = [(o["status"], o.get("reason"), o.get("late", False)) for o in sim.outbox()]
    assert st == [("sent", None, False), ("failed", "rejected", False), ("failed", "rejected", False),
                  ("sent", None, False), ("sent", None, False), ("failed", "no +CMGS", False),
                  ("failed", "no answer", False), ("sent", None, True), ("failed", "no network", False)]


def test_more_messages_keep_the_link_open(sim, port):
    """AT+CMMS as TS 27.005 has it: the link set-up is part of every send's
    confirmation unless the link was kept open since the last answer; =1 falls
    back to 0 once the link closes, =2 stays; a module without it says ERROR."""
    sim.set(link_setup=0.3, link_hold=30.0, send_time=0.0)

    def send():
        assert "> " in xfer(port, "AT+CMGS=17\r", "> ", timeout=5.0)
        assert "+CMGS:" in xfer(port, UCS2_PDU + "\x1a", timeout=5.0)

    send()
    send()                                                   # no AT+CMMS: set up each time
    assert "OK" in xfer(port, "AT+CMMS=1\r")
    assert "+CMMS: 1" in xfer(port, "AT+CMMS?\r")
    send()                                                   # the link was released before: set up
    send()                                                   # kept open since the last answer
    sim.set(link_hold=0.1)
    time.sleep(0.4)
    assert "+CMMS: 0" in xfer(port, "AT+CMMS?\r")            # closed, and =1 fell back
    send()
    assert "OK" in xfer(port, "AT+CMMS=2\r")
    send()
    time.sleep(0.4)
    assert "+CMMS: 2" in xfer(port, "AT+CMMS?\r")            # closed, =2 stays
    send()
    out = sim.outbox()
    assert [(o["link_open"], o["link_setup_s"]) for o in out] == [
        (False, 0.3), (False, 0.3), (False, 0.3), (True, 0.0), (False, 0.3), (False, 0.3), (False, 0.3)]
    assert all(o["status"] == "sent" for o in out)
    sim.set(cmms=False)
    assert "ERROR" in xfer(port, "AT+CMMS=1\r", "ERROR")
    assert "ERROR" in xfer(port, "AT+CMMS?\r", "ERROR")


def test_inbox_read_once_then_gone(sim, port):
    stamp = datetime.datetime(2026, 1, 20, 12, 3, 40)
    assert sim.deliver_sms(sender="0123456789", text="ABC", time=stamp, tz=32) == 0
    assert sim.deliver_sms(sender="+8613912345678", text="温度报警", coding="ucs2") == 1
    assert '+CPMS: "SM",2,10,' in xfer(port, "AT+CPMS?\r\n")
    a = xfer(port, "AT+CMGRD=0\r\n")
    head, pdu = a.split("+CMGRD: ")[1].split("\r\n")[:2]
    stat, alpha, length = head.split(",")
    assert (stat, alpha) == ("0", "") and int(length) == len(pdu) // 2 - 1 - int(pdu[:2], 16)
    d = gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)
    assert (d["Type"], d["Number"], d["Text"], d["DateTime"]) == ("Deliver", "0123456789", "ABC", stamp)
    assert pdu.endswith("621002213004230341E110")             # the codec's own decoding example
    assert xfer(port, "AT+CMGRD=0\r\n") == "\r\nOK\r\n"       # read-and-delete
    pdu = xfer(port, "AT+CMGRD=1\r\n").split("\r\n")[2]
    d = gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)
    assert (d["Number"], d["Text"], d["Coding"]) == ("+8613912345678", "温度报警", "Unicode_No_Compression")
    assert '+CPMS: "SM",0,10,' in xfer(port, "AT+CPMS?\r\n")
    assert "+CMS ERROR: 321" in xfer(port, "AT+CMGRD=10\r\n", "ERROR")
    assert "ERROR" in quiet(port, "AT+CMGS=2\r", 0.2)          # no PDU is that short
    # escapes, 8-bit data and raw PDUs; the first-pass delete empties the storage
    sim.deliver_sms(sender="5551234", text="a[1]€")
    sim.deliver_sms(sender="5551234", coding="8bit", data=b"\x00\x01\xff")
    sim.deliver_sms(pdu="06912143658709040A8110325476980000621002213004230341E110")
    pdus = [xfer(port, "AT+CMGR=%d\r\n" % i).split("\r\n")[2] for i in range(3)]
    texts = [gammu.DecodePDU(bytes.fromhex(p), SMSC=True)["Text"] for p in pdus]
    # three escape pairs: eight septets (python3-gammu pads such texts past their end)
    assert texts[0].startswith("a[1]€") and pdus[0].endswith("08E10D2FB6F16DCA")
    assert texts[1] == b"\x00\x01\xff" and texts[2] == "ABC"
    assert len(sim.inbox()) == 3                               # AT+CMGR keeps the message
    xfer(port, "AT+CMGD=4,4\r\n")
    assert sim.inbox() == []
    with pytest.raises(ModemError):
        sim.deliver_sms(sender="1", text="not in the GSM alphabet: ✓")


# ---- voice calls ------------------------------------------------------------------

def test_call_answered_and_played(simroot, sim, port):
    wav = make_wav(os.path.join(simroot[0], "var", "zrb_318_voice", "DO5_ON.wav"))
    sim.set(play_time=0.3)
    assert "OK" in xfer(port, "AT+MORING=1\r\n")
    assert xfer(port, "ATD0123456789;\r\n") == "\r\nOK\r\n"
    assert "VOICE CALL: BEGIN" in collect(port, "BEGIN", 2.0)
    assert "OK" in xfer(port, 'AT+CCMXPLAYWAV="%s",1\r\n' % wav)
    assert "+WAVSTATE: wav play stop" in collect(port, "stop", 2.0)
    a = xfer(port, "AT+CHUP\r\n")
    assert "VOICE CALL: END: 0000" in a and a.endswith("OK\r\n")
    c = sim.calls()[-1]
    assert (c["number"], c["file"], c["outcome"], c["answered"], c["ended_by"]) == (
        "0123456789", wav, "played", True, "daemon")
    assert c["files"][0]["complete"] is True


def test_call_behaviours(simroot, sim, port):
    root = simroot[0]
    wav = make_wav(os.path.join(root, "var", "zrb_318_voice", "DO1_OFF.wav"))
    xfer(port, "AT+MORING=1\r\n")
    # ringing without answer: repeated ring notices, hung up unanswered
    sim.call_rule("111", mode="ring", after=None, ring_interval=0.2)
    xfer(port, "ATD111;\r\n")
    time.sleep(0.9)
    rings = quiet(port, "", 0.1).count("VOICE CALL: RING")
    assert rings >= 3
    a = xfer(port, "AT+CHUP\r\n")
    assert a.endswith("\r\nOK\r\n") and "END" not in a
    # rejected
    sim.call_rule("222", mode="no_carrier", after=0.1)
    xfer(port, "ATD222;\r\n")
    assert "NO CARRIER" in collect(port, "NO CARRIER", 2.0)
    assert "OK" in xfer(port, "AT+CHUP\r\n")
    # silent line: nothing at all until the hang-up
    sim.call_rule("333", mode="silent")
    xfer(port, "ATD333;\r\n")
    assert quiet(port, "", 0.5) == ""
    assert xfer(port, "AT+CHUP\r\n") == "\r\nOK\r\n"
    # dial refused
    sim.call_rule("444", mode="dial_error")
    assert "ERROR" in xfer(port, "ATD444;\r\n", "ERROR")
    # a missing file, a path outside the board root and a non-WAV file are refused
    sim.call_rule(None, after=0.0, idle_hangup=0.5)
    xfer(port, "ATD555;\r\n")
    collect(port, "BEGIN", 2.0)
    missing = os.path.join(root, "var", "zrb_318_voice", "DO9_ON.wav")
    assert "ERROR" in xfer(port, 'AT+CCMXPLAYWAV="%s",1\r\n' % missing, "ERROR")
    assert "ERROR" in xfer(port, 'AT+CCMXPLAYWAV="/var/zrb_318_voice/DO1_OFF.wav",1\r\n', "ERROR")
    # the far end gives up on a silent connected call
    assert "VOICE CALL: END" in collect(port, "NO CARRIER", 2.0)
    # far end hangs up while the file plays; playback that never reports its end
    sim.set(play_stop=False, play_time=0.1)
    xfer(port, "ATD666;\r\n")
    collect(port, "BEGIN", 2.0)
    xfer(port, 'AT+CCMXPLAYWAV="%s",1\r\n' % wav)
    assert "wav play stop" not in quiet(port, "", 0.4)
    xfer(port, "AT+CHUP\r\n")
    outcomes = [(c["number"], c["outcome"]) for c in sim.calls()]
    assert outcomes == [("111", "unanswered"), ("222", "no_carrier"), ("333", "unanswered"),
                        ("444", "dial_error"), ("555", "play_error"), ("666", "played")]
    refused = [f["reason"] for f in sim.calls()[4]["files"]]
    assert "No such file" in refused[0] and "outside" in refused[1]


def test_hangup_and_moring_scripts(sim, port):
    sim.set(moring="error")
    assert "ERROR" in xfer(port, "AT+MORING=1\r\n", "ERROR")
    sim.set(moring="ok", chup="ok")
    xfer(port, "ATD123;\r\n")
    collect(port, "BEGIN", 2.0)
    a = xfer(port, "AT+CHUP\r\n")
    assert a == "\r\nOK\r\n"
    sim.set(chup="error")
    assert "ERROR" in xfer(port, "AT+CHUP\r\n", "ERROR")
    sim.set(creg=0)
    assert "no network" in xfer(port, "ATD123;\r\n", "ERROR")


# ---- faults -------------------------------------------------------------------------

def test_answer_faults(sim, port):
    sim.set(mode="silent")
    assert quiet(port, "AT+CSQ\r\n") == ""
    sim.set(mode="error")
    assert xfer(port, "AT+CPIN?\r\n", "ERROR") == "\r\nERROR\r\n"
    sim.set(mode="garbage")
    g = quiet(port, "AT+CSQ\r\n")
    assert g and "+CSQ: 20,99" not in g
    sim.set(mode="normal", delay=0.4)
    assert quiet(port, "AT+CSQ\r\n", 0.15) == ""              # later than the daemon's 100 ms
    assert "+CSQ: 20,99" in collect(port, "OK\r\n", 2.0)
    sim.set(delay=0.0, delays={"AT+CREG": 0.3})
    assert quiet(port, "AT+CREG?\r\n", 0.1) == "" and "+CREG" in collect(port, "OK\r\n", 1.0)
    assert "+CSQ" in quiet(port, "AT+CSQ\r\n", 0.1)
    sim.set(delays={}, answers={"AT+CREG?": {"text": "\r\n+CREG: 2\r\n\r\nOK\r\n", "times": 1},
                                "AT+CSQ": None})
    assert xfer(port, "AT+CREG?\r\n") == "\r\n+CREG: 2\r\n\r\nOK\r\n"
    assert xfer(port, "AT+CREG?\r\n") == "\r\n+CREG: 0,1\r\n\r\nOK\r\n"  # used once
    assert quiet(port, "AT+CSQ\r\n") == ""
    sim.set(answers={})
    sim.inject("\r\nRING\r\n\r\n+CMTI: \"SM\",0\r\n")
    assert "+CMTI" in collect(port, "+CMTI: \"SM\",0\r\n", 1.0)
    sim.set(echo=True)
    assert xfer(port, "AT+CSQ\r\n").startswith("AT+CSQ\r\n")
    with pytest.raises(ModemError):
        sim.set(no_such_setting=1)
    with pytest.raises(ModemError):
        sim.set(cpin="MAYBE")
    # malformed commands get ERROR, never a crash (the fixture checks the log)
    sim.set(echo=False)
    for junk in (b"AT+CMGRD=abc\r", b"AT+CPIN=\r", b"ATD;\r", b"AT+CMGD=,\r", b"AT+CFUN=x\r",
                 b"AT+CMGR=-1\r", b"ATD\xff;\r", b'AT+CCMXPLAYWAV="\x00",1\r', b"AT+CMGS=\r",
                 b"AT+CMGS=20\r" + b"\xff" * 30 + b"\x1a", b"\x00\xff" * 700 + b"\r"):
        port.write(junk)
    time.sleep(0.3)
    assert quiet(port, "").count("ERROR") >= 10
    port.write(b"\x1b")                                        # leaves PDU input, if any
    assert "OK" in xfer(port, "AT\r\n")


def test_port_disappears_and_comes_back(simroot, sim, port):
    link = os.path.join(simroot[0], "dev", "smd8")
    sim.port_down()
    assert not os.path.lexists(link)
    with pytest.raises(serial.SerialException):
        serial.Serial(link, 115200, timeout=0)
    sim.port_up()
    port.close()
    port.open()
    assert "OK" in xfer(port, "AT\r\n")
    old = os.readlink(link)
    sim.port_down(how="close")              # the pseudo-terminal goes away under the open port
    with pytest.raises((serial.SerialException, OSError)):
        for _ in range(20):
            port.s.write(b"AT\r\n")
            port.s.read(100)
            time.sleep(0.05)
    sim.port_up()
    assert os.path.islink(link)
    port.close()
    s2 = Line(link)
    try:
        assert "OK" in xfer(s2, "AT\r\n")
    finally:
        s2.close()
    assert sim.get()["port"] == "up" and os.readlink(link) != old


def test_command_line_and_script(tmp_path, simroot):
    root = simroot[0]
    ctl = [sys.executable, os.path.join(SIM, "modemctl.py"), root]
    r = subprocess.run(ctl + ["set", "csq=7", "cpin=SIM PIN"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    st = json.loads(subprocess.run(ctl + ["status"], capture_output=True, text=True).stdout)
    assert st["settings"]["csq"] == 7 and st["settings"]["cpin"] == "SIM PIN"
    r = subprocess.run(ctl + ["deliver", "0123456789", "hello"], capture_output=True, text=True)
    assert r.stdout.strip() == "0"
    r = subprocess.run(ctl + ["set", "bogus=1"], capture_output=True, text=True)
    assert r.returncode == 1 and "unknown setting" in r.stderr
    # a script file sets the initial state of a fresh simulator
    script = tmp_path / "modem.json"
    script.write_text(json.dumps({"cpin": "SIM PIN", "pin": "9999", "csq": 11,
                                  "inbox": [{"sender": "123", "text": "x"}]}))
    root2 = tmp_path / ("deep" * 25) / "root2"     # past the 108 bytes of a socket address
    root2.mkdir(parents=True)
    p = subprocess.Popen([sys.executable, os.path.join(SIM, "modem_sim.py"), "--root", str(root2),
                          "--script", str(script)])
    try:
        m = Modem(str(root2))
        m.wait_ready(10)
        st = m.get()
        assert st["settings"]["pin"] == "9999" and st["settings"]["csq"] == 11 and st["inbox_used"] == 1
    finally:
        p.terminate()
        p.wait(5)


# ---- the daemon against the simulated modem ---------------------------------------

FIRST_PASS = ["ATE0", "AT+CMEE=1", "ATI", "AT+GMM", "AT+SIMEI?", "AT+CGPS?", "AT+CGPS=1"]
STATUS = ["AT+CREG?", "AT+CSQ", "AT+CNSMOD?", "AT+CGPSINFO"]


def passes(cmds):
    """The command log cut into passes, each starting with the SIM query."""
    out = []
    for c in cmds:
        if c == "AT+CPIN?":
            out.append([])
        if out:
            out[-1].append(c)
    return out


def daemon_built():
    from sim.board import default_build
    return os.access(os.path.join(default_build(), "alarmgw"), os.X_OK)


@pytest.mark.skipif(not daemon_built(), reason="the daemon is not built")
def test_daemon_passes(tmp_path, make_board):
    # the daemon's PIN (factory default 1234) is wrong for this SIM at first
    script = tmp_path / "modem.json"
    script.write_text(json.dumps({"cpin": "SIM PIN", "pin": "9876", "creg": 5, "csq": 23,
                                  "cnsmod": 4, "gps": "2503.123456,N,12134.567890,E,061226,"
                                  "123456.0,35.2,0.5,90.0"}))
    b = make_board(modem_args=["--script", str(script)])
    m = Modem(b.root)
    m.wait_for(lambda: len(passes(m.commands())) >= 4, 20, what="four modem passes")
    cmds = m.commands()
    first = cmds.index("AT+CPIN?")
    assert cmds[:first] == FIRST_PASS                      # once, before the first SIM query
    assert all(cmds.count(c) == 1 for c in FIRST_PASS)
    ps = passes(cmds)
    for p in ps[:-1]:
        body = [c for c in p if not c.startswith("AT+CPIN=")]
        assert body[:5] == ["AT+CPIN?"] + STATUS, p
    # a wrong PIN is tried on two passes only
    assert [c for c in cmds if c.startswith("AT+CPIN=")] == ["AT+CPIN=1234"] * 2
    assert "AT+CPIN=1234" in ps[0] and "AT+CPIN=1234" in ps[1]
    log = m.at_log()
    i = next(k for k, e in enumerate(log) if e["cmd"] == "AT+CPIN=1234")
    assert log[i + 1]["t"] - log[i]["t"] >= 2.9                # the PIN answer gets 3 s
    # SIM ready in between: the next PIN request gets the PIN again, and it is right
    m.set(cpin="READY")
    b.wait_log(r"is_input_pin_OK = 0", 10)
    m.set(cpin="SIM PIN", pin="1234")
    m.wait_for(lambda: m.get()["settings"]["cpin"] == "READY", 10, what="SIM unlocked by the daemon")
    assert [c for c in m.commands() if c.startswith("AT+CPIN=")] == ["AT+CPIN=1234"] * 3
    # what the passes learn reaches the register map (registered roaming)
    def regs():
        r = b.client.read_input_registers(18, 11, slave=1)
        return None if r.isError() else r.registers
    m.wait_for(lambda: (regs() or [0])[0] == 23, 10, what="signal in input register 18")
    r = regs()
    assert (r[0], r[9], r[10]) == (23, 5, 4)
    # a received SMS is read once, then removed from the SIM storage
    n0 = len(m.commands())
    assert m.deliver_sms(sender="0123456789", text="STATUS?") == 0
    b.wait_log(r"--> new SMS coming \(1/10\)", 10)
    # Removed once the polling thread has taken it (every 3 s), then a pass later.
    m.wait_for(lambda: m.inbox() == [], 20, what="the SMS removed from the SIM")
    m.wait_for(lambda: len(passes(m.commands()[n0:])) >= 3, 15, what="three more passes")
    assert m.inbox() == [] and m.commands()[n0:].count("AT+CMGR=0") == 1
    assert m.commands()[n0:].count("AT+CMGD=0") == 1
    assert not any(c.startswith("AT+CMGR=1") for c in m.commands()[n0:])
