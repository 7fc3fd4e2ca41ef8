"""Faults on the simulated board: a modem that goes silent, answers ERROR,
garbage or late, or whose port disappears; the SD card pulled and put back at
run time; a read-only /APP; and a flood of good and malformed Modbus frames
while alarms flow. Throughout, the master's reads must be answered, and every
queued alarm SMS must end delivered or failed, never vanish.

(A power cut during repeated saves is covered by test_foundation.py's
test_power_cut_never_leaves_a_torn_file.)"""
import os
import re
import shutil
import signal
import struct
import subprocess
import time

import pytest
import serial

from conftest import default_image, default_text, wait_state
from sim import maplayout as L
from sim.mbmaster import DONE, FAILED, ascii_regs, crc16, rtu, wav_file
from sim.modemctl import Modem

PHONE = "0123456789"
STATUS_QUERIES = ["AT+CPIN?", "AT+CREG?", "AT+CSQ", "AT+CNSMOD?", "AT+CGPSINFO"]


# ---- helpers -------------------------------------------------------------------

phone_regs = ascii_regs


def routed_image(alarms, phones, voice=()):
    """Defaults, plus: each alarm goes to phone group 0 with SMS enabled (and a
    voice call for those in voice); group 0 holds the given phones."""
    hr = {}
    for a in alarms:
        hr[L.HR_GROUP_MASK + a] = 1
        w = L.HR_SMS_ENABLE + L.enable_word(a)
        hr[w] = hr.get(w, 0) | 1 << L.enable_bit(a)
    for a in voice:
        w = L.HR_VOICE_ENABLE + L.enable_word(a)
        hr[w] = hr.get(w, 0) | 1 << L.enable_bit(a)
    for k, number in enumerate(phones):
        for j, v in enumerate(phone_regs(number)):
            hr[L.phone_reg(0, k) + j] = v
    return default_image(hr=hr)


def passes(cmds):
    """The AT command log cut into passes, each starting with the SIM query."""
    out = []
    for c in cmds:
        if c == "AT+CPIN?":
            out.append([])
        if out:
            out[-1].append(c)
    return out


def full_passes(cmds):
    return [p for p in passes(cmds) if p[:5] == STATUS_QUERIES]


def sent_texts(modem, number=None):
    return [r.get("text") for r in modem.outbox("sent") if number is None or r.get("number") == number]


def wav(samples=800):
    return wav_file(samples=samples)


def alive(board):
    """Fails with how the daemon ended when it is no longer running."""
    if board.running():
        return
    rc = board.daemon.returncode
    how = "killed by %s" % signal.Signals(-rc).name if rc is not None and rc < 0 else "exit status %s" % rc
    raise AssertionError("the daemon ended (%s):\n%s" % (how, board.log()[-2000:]))


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def sanitizer_of(board):
    """The sanitizer the daemon was built with ("" for none): their shadow
    memory and quarantines make the resident size no measure of leaks."""
    try:
        with open(os.path.join(board.build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("ALARMGW_SANITIZE:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return ""


class Master:
    """The Modbus master keeps reading the map while a test waits, so every
    wait is also a check that the listener answers. Reads input registers 0..29."""

    def __init__(self, board, bound=0.5):
        self.board = board
        self.c = board.client
        self.bound = bound
        self.reads = 0
        self.worst = 0.0

    def read(self):
        t0 = time.monotonic()
        r = self.c.read_input_registers(0, 30, slave=1)
        dt = time.monotonic() - t0
        self.reads += 1
        if r.isError():
            alive(self.board)
        assert not r.isError(), "read %d unanswered: %r\n%s" % (self.reads, r, self.board.log()[-2000:])
        self.worst = max(self.worst, dt)
        return r.registers

    def wait(self, predicate, timeout, what):
        """Reads until predicate(registers) is true; returns its value."""
        end = time.monotonic() + timeout
        while True:
            regs = self.read()
            v = predicate(regs)
            if v:
                return v
            if time.monotonic() > end:
                raise AssertionError("%s not met within %.0f s; input registers 0..29 %s\n%s"
                                     % (what, timeout, regs, self.board.log()[-3000:]))
            time.sleep(0.05)

    def check_latency(self):
        assert self.worst < self.bound, "a read took %.3f s" % self.worst


def started(board):
    """The board's modem and a master, once the daemon has made a full modem pass."""
    m = Modem(board.root)
    master = Master(board, bound=1.0)
    master.wait(lambda _: len(full_passes(m.commands())) >= 1, 15, "a modem pass")
    return m, master


def raise_alarm(board, n):
    """Coil n ON; returns the ring slot the composer reports."""
    mark = len(board.log())
    r = board.client.write_coil(n, True, slave=1)
    if r.isError():
        alive(board)
    assert not r.isError(), r
    m = board.wait_log(r"res of sms_event_put\(\) = (-?\d+)", 5, since=mark)
    slot = int(m.group(1))
    assert slot >= 0, "alarm %d found the SMS ring full" % n
    return slot


# ---- the modem misbehaves ------------------------------------------------------------

FAULTS = {
    # name: (how to start it, log line that ends the fault, how the queued alarm ends)
    "silent": (lambda m: m.set(mode="silent"), r"NG counter: 1\r\n", DONE),
    "garbage": (lambda m: m.set(mode="garbage", garbage_seed=7), r"NG counter: 1\r\n", DONE),
    "error": (lambda m: m.set(mode="error"), r"ng_cnt=1, phone_idx=1\r\n", FAILED),
    # Every answer 350 ms late: each lands in the next command's window.
    "late": (lambda m: m.set(delay=0.35), r"send_sms_status --> [34]\r\n", DONE),
    "port_unlink": (lambda m: m.port_down("unlink"), None, DONE),
    "port_close": (lambda m: m.port_down("close"), None, DONE),
}


def end_fault(m, name):
    if name.startswith("port"):
        m.port_up()
    else:
        m.set(mode="normal", delay=0.0)


@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.board(card=False, config=routed_image([5, 6], [PHONE]))
def test_modem_fault_keeps_modbus_and_loses_no_sms(board, fault):
    start, until, outcome = FAULTS[fault]
    m = Modem(board.root)
    master = Master(board)
    master.wait(lambda _: len(full_passes(m.commands())) >= 2, 15, "two modem passes")

    mark0 = len(board.log())
    start(m)
    if until is None:
        # A pass under way may still hold the port open and send at once: the
        # alarm comes only once a pass has found the port gone.
        board.wait_log(r"open com_at fails", 15, since=mark0)
    slot = raise_alarm(board, 5)
    mark = len(board.log())
    if until is None:
        # The port is gone: the message waits in the mailbox while passes fail.
        master.wait(lambda _: board.log()[mark:].count("open com_at fails") >= 2
                    and "--> phone_idx[0]: 1\r\n" in board.log()[mark:], 15, "failed passes with the SMS waiting")
    else:
        master.wait(lambda _: re.search(until, board.log()[mark:]), 25, "the fault's effect %r" % until)
    # The listener kept serving during the fault, and the entry is still accounted for.
    regs = master.read()
    assert regs[L.IR_LAST_SLOT] == slot
    assert board.running()

    t_clear = time.time()
    end_fault(m, fault)
    regs = master.wait(lambda r: r if r[0] in (DONE, FAILED) else None, 30, "the alarm SMS finished")
    assert regs[0] == outcome, "alarm 5 ended %d after a %s modem" % (regs[0], fault)
    assert len(re.findall(r"ng_cnt=\d+, phone_idx=\d+\r\n", board.log()[mark:])) == 1

    # The network got the message once when it ended done, never when it failed.
    got = sent_texts(m, PHONE)
    assert got == (["Channel5 ON"] if outcome == DONE else []), got

    # The passes came back whole, and the map shows the registration again.
    master.wait(lambda _: len(full_passes(m.commands(t_clear))) >= 2, 15, "two whole passes after the fault")
    master.wait(lambda r: r[L.IR_CREG] == 1 and r[L.IR_CSQ] == 20, 10, "registration and signal in the map")

    if outcome == FAILED:
        # A failed entry does not stop the next one.
        slot2 = raise_alarm(board, 6)
        # Alarm 6 reports in the next status record; record 0 keeps alarm 5's failure.
        master.wait(lambda r: r[L.IR_LAST_SLOT] == slot2 and r[1] == DONE, 25, "alarm 6 delivered after the fault")
        assert master.read()[0] == FAILED
        assert sent_texts(m, PHONE) == ["Channel6 ON"]
    master.check_latency()


@pytest.mark.board(card=False, config=routed_image([5], [PHONE]))
def test_late_confirmation_is_waited_for_and_sent_once(board):
    # The network confirms the send after 5 s, longer than the daemon used to
    # wait: the send still succeeds and the phone gets the alarm once.
    m = Modem(board.root)
    master = Master(board)
    master.wait(lambda _: len(full_passes(m.commands())) >= 1, 15, "a modem pass")
    m.set(late_time=5.0)
    m.sms_fail(number=PHONE, mode="late", times=1)
    raise_alarm(board, 5)
    mark = len(board.log())
    regs = master.wait(lambda r: r if r[0] in (DONE, FAILED) else None, 40, "the alarm SMS finished")
    assert regs[0] == DONE
    assert "NG counter" not in board.log()[mark:]
    recs = m.outbox("sent")
    assert [r["text"] for r in recs] == ["Channel5 ON"]
    assert recs[0].get("late")
    master.check_latency()


# ---- what a real module does (each a setting of the simulated modem) ---------------------

# The modem settings of the register map (holding 1150..1199).
HR_MODEM_SEND_TIMEOUT, HR_MODEM_PLAY_DIR = L.HR_MODEM_SEND_TIMEOUT, L.HR_MODEM_PLAY_DIR


def with_holding(config, hr):
    """The configuration image with the given holding registers set."""
    fmt = "<%dH" % L.HOLDING
    regs = list(struct.unpack(fmt, config[L.IMG_OFF_AO:]))
    for a, v in hr.items():
        regs[a] = v
    return config[:L.IMG_OFF_AO] + struct.pack(fmt, *regs)


def started_with_modem(make_board, config, files=None, **modem_state):
    """A board whose modem is put into the given state before the daemon's
    first pass, as a module left so by an earlier user."""
    b = make_board(card=bool(files), config=config, files=files, start=False)
    b.start_line()
    b.start_modem()
    m = Modem(b.root)
    if modem_state:
        m.set(**modem_state)
    b.start()
    return b, m


def test_module_left_in_text_mode_with_numeric_errors_still_sends(make_board):
    # Text mode refuses the PDU send; numeric errors are the factory setting.
    b, m = started_with_modem(make_board, routed_image([5], [PHONE]), cmgf=1, cmee=1)
    master = Master(b)
    raise_alarm(b, 5)
    regs = master.wait(lambda r: r if r[0] in (DONE, FAILED) else None, 40, "the alarm SMS finished")
    assert regs[0] == DONE
    assert sent_texts(m, PHONE) == ["Channel5 ON"]
    cmds = m.commands()
    assert "AT+CMEE=1" in cmds and "AT+CMGF=0" in cmds and any(c.startswith("AT+CNMI=") for c in cmds)
    assert cmds.index("AT+CMGF=0") < next(i for i, c in enumerate(cmds) if c.startswith("AT+CMGS="))


def test_confirmation_later_than_the_send_time_out_is_not_sent_again(make_board):
    # A 10 s send time-out and a network that confirms after 12 s: the modem
    # is brought back in step, the late confirmation counts, one SMS only.
    b, m = started_with_modem(make_board, with_holding(routed_image([5], [PHONE]), {HR_MODEM_SEND_TIMEOUT: 10}),
                              late_time=12.0)
    m.sms_fail(number=PHONE, mode="late", times=1)
    master = Master(b)
    mark = len(b.log())
    raise_alarm(b, 5)
    regs = master.wait(lambda r: r if r[0] in (DONE, FAILED) else None, 60, "the alarm SMS finished")
    assert regs[0] == DONE
    assert "send_sms: no confirmation within 10 s: resynchronising" in b.log()[mark:]
    assert "send_sms: late confirmation +CMGS:" in b.log()[mark:]
    recs = m.outbox("sent")
    assert [r["text"] for r in recs] == ["Channel5 ON"] and recs[0].get("late")
    assert "NG counter" not in b.log()[mark:]


def voice_calls(m):
    return [c for c in m.calls() if c["number"] == PHONE]


@pytest.mark.parametrize("end", ["busy", "no_answer", "no_dialtone", "end_only", "cme_error"])
def test_every_call_end_is_a_counted_try(make_board, end):
    # Each end the module can give ends the try at once: three tries, then
    # the phone is given up, within seconds rather than minutes.
    b, m = started_with_modem(make_board, routed_image([5], [PHONE], voice=[5]),
                              files={"media/card/voice/DO5_ON.wav": wav()})
    m.call_rule(PHONE, mode=end, after=0.3)
    mark = len(b.log())
    raise_alarm(b, 5)
    b.wait_log(r"Send Voice: ng_cnt=1, phone_idx=1\r\n", 45, since=mark)
    calls = voice_calls(m)
    assert [c["outcome"] for c in calls] == [end] * 3, calls
    assert not any(c["files"] for c in calls)


def test_far_end_hanging_up_during_the_recording_is_not_delivered(make_board):
    b, m = started_with_modem(make_board, routed_image([5], [PHONE], voice=[5]),
                              files={"media/card/voice/DO5_ON.wav": wav()}, play_time=3.0)
    m.call_rule(PHONE, mode="answer", after=0.2, hangup_after=1.0)
    mark = len(b.log())
    raise_alarm(b, 5)
    b.wait_log(r"Send Voice: ng_cnt=1, phone_idx=1\r\n", 60, since=mark)
    calls = voice_calls(m)
    assert [c["outcome"] for c in calls] == ["play_cut"] * 3, calls   # a cut call is tried again: not delivered


def test_play_directory_setting_reaches_a_module_that_plays_from_its_drive(make_board):
    config = with_holding(routed_image([5], [PHONE], voice=[5]),
                          {HR_MODEM_PLAY_DIR: 0x453A, HR_MODEM_PLAY_DIR + 1: 0x2F00})     # "E:/"
    b, m = started_with_modem(make_board, config, files={"media/card/voice/DO5_ON.wav": wav()},
                              play_linux_paths=False, play_drives={"E:/": "var/zrb_318_voice"})
    mark = len(b.log())
    raise_alarm(b, 5)
    b.wait_log(r"Send Voice: ng_cnt=0, phone_idx=1\r\n", 30, since=mark)
    calls = voice_calls(m)
    assert [c["outcome"] for c in calls] == ["played"], calls
    assert any(c.startswith('AT+CCMXPLAYWAV="E:/DO5_ON.wav"') for c in m.commands())


# ---- the SD card ------------------------------------------------------------------------

@pytest.mark.board(card=True, config=routed_image([5], [PHONE], voice=[5]),
                   files={"media/card/voice/DO5_ON.wav": wav()})
def test_card_pulled_and_put_back(board):
    master = Master(board)
    c = board.client

    def di2():
        r = c.read_discrete_inputs(0, 8, slave=1)
        assert not r.isError(), r
        return r.bits[2]

    def ir(a, n=16):
        r = c.read_input_registers(a, n, slave=1)
        assert not r.isError(), r
        return r.registers

    # Alarm 5's ON file: bit 10 of input register 128 (present) and of 144 (format good).
    master.wait(lambda _: di2(), 8, "card seen")
    assert ir(128)[0] == 1 << 10 and ir(144)[0] == 1 << 10

    board.remove_card()
    master.wait(lambda _: not di2(), 8, "card gone in discrete input 2")
    assert ir(128) == [0] * 16                # presence words cleared with the card
    assert ir(144)[0] == 1 << 10              # the format words are left as they were
    # Without the card an alarm queues no call: the file is gone.
    mark = len(board.log())
    raise_alarm(board, 5)
    board.wait_log(r"Voice ON File: .*DO5_ON\.wav does not exist!! Send Voice Alarm:5 Error!!", 5, since=mark)
    assert "res of voice_event_put()" not in board.log()[mark:]

    board.insert_card()
    master.wait(lambda _: di2(), 8, "card back in discrete input 2")
    assert ir(128) == [0] * 16                # only a start-up fills the presence words again
    assert board.running()
    master.check_latency()


@pytest.mark.board(card=False, config=default_image())
def test_card_inserted_after_a_start_without_card_is_not_used(board):
    master = Master(board)
    board.insert_card()
    end = time.monotonic() + 7.0              # two polling cycles and more
    while time.monotonic() < end:
        master.read()
        r = board.client.read_discrete_inputs(0, 8, slave=1)
        assert not r.isError() and r.bits[2] is False
        time.sleep(0.2)


# ---- a read-only /APP ---------------------------------------------------------------------

def _probe_dir_blocks_creation(d):
    try:
        fd = os.open(os.path.join(d, "probe"), os.O_WRONLY | os.O_CREAT, 0o644)
    except OSError:
        return True
    os.close(fd)
    os.unlink(os.path.join(d, "probe"))
    return False


def make_read_only(app):
    """Makes the directory and its files unwritable for the daemon. Returns
    (how, undo). chmod stops an unprivileged daemon; as root (or with
    CAP_DAC_OVERRIDE) it stops nothing, so the immutable attribute is used,
    which binds root too. A mount would need more privileges than chattr, and
    running the daemon as another user would need the whole board tree and
    its pseudo-terminals handed over to that user."""
    files = [os.path.join(app, f) for f in os.listdir(app)]
    for p in files:
        os.chmod(p, 0o444)
    os.chmod(app, 0o555)
    if _probe_dir_blocks_creation(app):
        def undo():
            os.chmod(app, 0o755)
            for p in files:
                os.chmod(p, 0o644)
        return "chmod", undo
    os.chmod(app, 0o755)
    for p in files:
        os.chmod(p, 0o644)
    chattr = shutil.which("chattr")
    if chattr is None:
        return None, None
    targets = files + [app]
    if subprocess.run([chattr, "+i"] + targets, capture_output=True).returncode != 0:
        subprocess.run([chattr, "-i"] + targets, capture_output=True)
        return None, None

    def undo_attr():
        subprocess.run([chattr, "-i"] + targets, capture_output=True)
    if not _probe_dir_blocks_creation(app):
        undo_attr()
        return None, None
    return "chattr", undo_attr


@pytest.mark.board(card=False, config=default_image(hr={300: 0x1111}))
def test_save_into_read_only_app_fails_cleanly(board):
    app = board.path("APP")
    before = board.read_file("APP/config.ini")
    listing = sorted(os.listdir(app))
    how, undo = make_read_only(app)
    if how is None:
        pytest.skip("cannot make %s read-only for this user (no chattr +i)" % app)
    try:
        master = Master(board)
        c = board.client
        assert not c.write_register(300, 0x2222, slave=1).isError()
        mark = len(board.log())
        assert not c.write_coil(209, True, slave=1).isError()
        board.wait_log(r"open file fail\r\n", 5, since=mark)
        assert "Time Spent" not in board.log()[mark:]
        assert board.read_file("APP/config.ini") == before
        assert sorted(os.listdir(app)) == listing
        # The map keeps the change and the slave goes on serving.
        r = c.read_holding_registers(300, 1, slave=1)
        assert not r.isError() and r.registers == [0x2222]
        master.read()
        assert board.running()
    finally:
        undo()

    # Writable again: the same command saves.
    assert not board.client.write_coil(209, True, slave=1).isError()

    def saved():
        img = board.read_file("APP/config.ini")   # replaced whole, never torn
        return img if img != before else None

    img = wait_state(board, saved, 30, "the saved image")
    assert len(img) == len(before) and img[L.IMG_OFF_AO + 600:L.IMG_OFF_AO + 602] == b"\x22\x22"


# ---- a flood of requests while alarms flow -----------------------------------------------

def _good_requests():
    """(frame, length of the answer) for the ordinary traffic of a master."""
    regs = struct.pack(">100H", *range(100))
    return [
        (rtu(bytes([1, 3]) + struct.pack(">HH", 1000, 125)), 5 + 250),
        (rtu(bytes([1, 4]) + struct.pack(">HH", 0, 30)), 5 + 60),
        (rtu(bytes([1, 1]) + struct.pack(">HH", 0, 256)), 5 + 32),
        (rtu(bytes([1, 2]) + struct.pack(">HH", 0, 8)), 5 + 1),
        (rtu(bytes([1, 6]) + struct.pack(">HH", 1100, 0x1234)), 8),
        (rtu(bytes([1, 5]) + struct.pack(">HH", 250, 0xFF00)), 8),
        (rtu(bytes([1, 16]) + struct.pack(">HHB", 1000, 100, 200) + regs), 8),
    ]


def _bad_frames():
    """(frame, length of the answer or 0, pause after it) that a healthy slave
    must survive. The pause after a frame is the silence that ends a broken
    frame (the slave waits a few character times for its rest) or, after a
    request to another slave, the time a master waits for that slave's answer:
    until then the slave takes the next frame for that answer and ignores it."""
    good = rtu(bytes([1, 3]) + struct.pack(">HH", 0, 10))
    # The slave bridges 40 ms gaps inside a frame and waits up to 200 ms for
    # another slave's answer.
    gap, other = 0.05, 0.25
    return [
        (good[:-1] + bytes([good[-1] ^ 0x5A]), 0, 0.001),                         # broken CRC
        (good[:5], 0, gap),                                                       # cut short
        (rtu(bytes([1, 16]) + struct.pack(">HHB", 1000, 4, 8)), 0, gap),          # fewer bytes than announced
        (rtu(bytes([1, 0x41])), 5, 0),                                            # unknown function: exception
        (rtu(bytes([1, 0x2B, 0x0E, 1, 0])), 0, gap),                              # unsupported, longer
        (rtu(bytes([1, 3]) + struct.pack(">HH", 0, 126)), 5, 0),                  # quantity too large
        (rtu(bytes([1, 3]) + struct.pack(">HH", 34399, 2)), 5, 0),                # runs off the map
        (rtu(bytes([2, 3]) + struct.pack(">HH", 0, 10)), 0, other),               # another slave
        (rtu(bytes([0x55, 6]) + struct.pack(">HH", 5, 0xFF00)), 0, other),        # another slave, alarm address
        (rtu(bytes([0, 6]) + struct.pack(">HH", 1101, 0xB0B0)), 0, gap),          # broadcast, applied silently
        (bytes(range(0x80, 0xA0)), 0, other),                                     # noise
    ]


@pytest.mark.board(card=False, config=routed_image([1, 2, 3], [PHONE]))
def test_flood_with_malformed_frames_while_alarms_flow(board):
    m = Modem(board.root)
    pid = board.daemon.pid
    good, bad = _good_requests(), _bad_frames()
    alarm_at = {155: 1, 605: 2, 1105: 3}          # request index -> alarm raised with coil ON
    count = {"answered": 0, "malformed": 0, "again": 0}

    with serial.Serial(board.master, 115200, timeout=0.5) as line:
        def exchange(frame, n):
            line.write(frame)
            got = line.read(n)
            return got if len(got) == n and got[:2] == frame[:2] and crc16(got) == 0 else None

        after_silent = [False]   # the last frame was malformed and got no answer

        def one(i, with_alarms):
            if with_alarms and i in alarm_at:
                frame = rtu(bytes([1, 5]) + struct.pack(">HH", alarm_at[i], 0xFF00))
                assert exchange(frame, 8) == frame, "alarm %d not acknowledged" % alarm_at[i]
                return
            if i % 10 == 9:
                frame, n, pause = bad[(i // 10) % len(bad)]
                count["malformed"] += 1
                line.write(frame)
                if n:
                    got = line.read(n)
                    assert len(got) == n and got[1] & 0x80 and crc16(got) == 0, (frame.hex(), got.hex())
                time.sleep(pause)
                after_silent[0] = n == 0
                return
            frame, n = good[i % len(good)]
            got = exchange(frame, n)
            if got is None and after_silent[0]:
                # The slave may still have been collecting the broken frame when
                # this one came (a slow scheduler stretches its few milliseconds):
                # the request is lost with it, and a master asks again.
                count["again"] += 1
                line.reset_input_buffer()
                got = exchange(frame, n)
            after_silent[0] = False
            assert got is not None, "request %d (%s) not answered" % (i, frame.hex())
            count["answered"] += 1

        # Warm-up traffic first, so the reference size includes the line's first use.
        for i in range(200):
            one(i, False)
        rss_before = vm_rss_kib(pid)
        # The flood goes on until every alarm SMS has reached the network, so the
        # modem and the dispatcher work while the listener is hammered.
        t0 = time.monotonic()
        i = 0
        while True:
            one(i, True)
            i += 1
            if i % 200 == 0 and i >= 2000 and len(m.outbox()) >= 3:
                break
            if time.monotonic() - t0 > 40 or i >= 40000:
                break
        took = time.monotonic() - t0
    assert i >= 2000 and len(m.outbox()) >= 3, "%d requests in %.1f s, outbox %s" % (i, took, m.outbox())

    # Every alarm put in the ring ended done; the network got each message once.
    log = board.log()
    puts = [int(s) for s in re.findall(r"res of sms_event_put\(\) = (-?\d+)", log)]
    assert len(puts) == 3 and min(puts) >= 0, puts
    board.wait_log(r"(ng_cnt=\d+, phone_idx=\d+\r\n(.|\n)*){3}", 15)
    ends = re.findall(r"ng_cnt=(\d+), phone_idx=(\d+)\r\n", board.log())
    assert ends == [("0", "1")] * 3, ends
    got = sorted("%s@%s" % (r["text"], r["number"]) for r in m.outbox())
    assert got == ["%s@%s" % (default_text(a), PHONE) for a in (1, 2, 3)]
    master = Master(board)
    # Each of the three in its own status record.
    master.wait(lambda regs: regs[L.IR_LAST_SLOT] == puts[-1] and regs[0:3] == [DONE] * 3, 5,
                "the three alarms reported done")

    # The flood changed what it wrote and nothing else.
    c = board.client
    assert c.read_holding_registers(1000, 100, slave=1).registers == list(range(100))
    assert c.read_holding_registers(1100, 2, slave=1).registers == [0x1234, 0xB0B0]
    assert c.read_holding_registers(5, 1, slave=1).registers == [0]   # another slave's write
    assert board.running()
    rss_after = vm_rss_kib(pid)
    print("flood: %d requests (%d malformed, %d asked again) in %.1f s; VmRSS %d -> %d KiB"
          % (i, count["malformed"], count["again"], took, rss_before, rss_after))
    assert count["again"] <= count["malformed"] // 10, count
    if not sanitizer_of(board):
        assert rss_after - rss_before <= 256, "VmRSS grew from %d to %d KiB" % (rss_before, rss_after)
    assert "Modbus Address:85, inValid!!" in log and "receive error: " in log
