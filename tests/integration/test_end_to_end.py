"""Alarms and received SMS end to end on the simulated board: pymodbus is the
master, the simulated modem is the network (its outbox holds every submitted
SMS as python3-gammu decoded it, its calls log every call, its AT log every
command with a time stamp).

The daemon's pacing sets the length of these tests: the dispatchers poll each
second, a modem pass takes at least 0.5 s plus a 1 s pause, an SMS send waits
a fixed 3 s for the network's answer, and the polling thread reports every 3 s.
"""
import os
import time

import pytest

from conftest import default_image
from sim.mbmaster import (DONE, FAILED, QUEUED, SENDING,  # noqa: I001
                          COIL_CLEAR_RECEIVED, COIL_DYNAMIC_SMS, DI_CARD, DI_NEW_SMS, HR_DYN_PHONE, HR_DYN_TEXT,
                          HR_EDGE_DELAY, HR_EDGE_MODE, HR_SENDER_FILTER, HR_VAR_TEXT, HR_VAR_TEXT_ON, IR_DYN_STATUS,
                      IR_LAST_SLOT, IR_SENDER, IR_STATUS, IR_VOICE_FORMAT, IR_VOICE_PRESENT, ascii_regs,
                      read_di, read_hr, read_ir, received_sms, set_alarm, set_phone, text_regs, wav_bytes, write_coil,
                      write_reg, write_regs)
from sim import maplayout as L
from sim.modem_pdu import encode_scts, swap_digits
from sim.modemctl import Modem

STATUS_ORDER = [QUEUED, SENDING, DONE]
SMS_TIME = 8.0      # generous time per SMS send (about 4.7 s on an idle machine)


def modem_of(board):
    m = Modem(board.root)
    m.wait_ready()
    return m


def wait_first_pass(m, timeout=10):
    """The first modem pass is over: deliver only after it."""
    m.wait_for(lambda: any(c.startswith("AT+CGPS=1") for c in m.commands()), timeout,
               what="the modem's first pass")
    m.wait_for(lambda: any(c.startswith("AT+CPIN?") for c in m.commands()), timeout,
               what="a status pass")


def watch_status(c, reg, timeout, final=(DONE, FAILED)):
    """Polls input register reg; returns the distinct values seen (leading zeros
    dropped) once a final value shows up."""
    seen = []
    end = time.monotonic() + timeout
    while True:
        v = read_ir(c, reg)[0]
        if v and (not seen or seen[-1] != v):
            seen.append(v)
        if v in final:
            return seen
        if time.monotonic() > end:
            raise AssertionError("input register %d never reached %s; seen %s" % (reg, final, seen))
        time.sleep(0.2)


def is_subsequence(seq, of):
    it = iter(of)
    return all(any(x == y for y in it) for x in seq)


def wait_di(c, addr, value, timeout):
    end = time.monotonic() + timeout
    while read_di(c, addr)[0] != value:
        if time.monotonic() > end:
            raise AssertionError("discrete input %d did not become %d within %.1f s" % (addr, value, timeout))
        time.sleep(0.2)


def cmgs_times(m):
    return [e["t"] for e in m.at_log() if e["cmd"].startswith("AT+CMGS=")]


# ---- alarm SMS ---------------------------------------------------------------------


@pytest.mark.board(config=default_image())
def test_alarm_sms_reaches_every_phone_of_its_groups_in_order(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 0, 0, "0611111111")
    set_phone(c, 0, 2, "0622222222")
    set_phone(c, 8, 15, "0633333333")     # second block of groups, last phone
    set_phone(c, 3, 0, "0699999999")      # a group the alarm does not use
    set_alarm(c, 5, [0, 8], on_text="Fire in hall B", off_text="Fire over")
    assert read_ir(c, IR_STATUS)[0] == 0

    write_coil(c, 5, True)
    seen = watch_status(c, IR_STATUS, 3 * SMS_TIME + 5)
    assert seen[-1] == DONE and is_subsequence(seen, STATUS_ORDER), seen
    assert read_ir(c, IR_LAST_SLOT)[0] == 0

    sent = m.outbox()
    assert [s["number"] for s in sent] == ["0611111111", "0622222222", "0633333333"]
    for s in sent:
        assert s["status"] == "sent"
        assert s["text"] == "Fire in hall B"
        assert s["coding"] == "ucs2" and s["dcs"] == 8
        assert s["srr"] is False   # delivery reports off: no report asked for


@pytest.mark.board(config=default_image())
def test_more_sms_waiting_keep_the_network_link_open_only_when_set(board):
    c, m = board.client, modem_of(board)
    m.set(link_hold=30.0)   # the module's hold: long, so a loaded machine cannot outlast it
    for k, number in enumerate(("0611111111", "0622222222", "0633333333")):
        set_phone(c, 0, k, number)
    set_alarm(c, 5, [0], on_text="Three phones")
    set_alarm(c, 6, [0], on_text="Three again")

    def burst(alarm, first_record):
        start = len(m.outbox())
        write_coil(c, alarm, True)
        seen = watch_status(c, IR_STATUS + first_record, 3 * SMS_TIME + 5)
        assert seen[-1] == DONE, seen
        return m.outbox()[start:]

    # Off (the default): no AT+CMMS, every SMS sets the link up.
    sent = burst(5, 0)
    assert [s["status"] for s in sent] == ["sent"] * 3
    assert not any(e["cmd"].startswith("AT+CMMS") for e in m.at_log())
    assert not any(s["link_open"] for s in sent)

    # On: asked for while more phones wait, so the later SMS find the link open.
    write_reg(c, L.HR_SMS_MORE_TO_SEND, 1)
    mark = time.time()
    sent = burst(6, 1)
    assert [s["status"] for s in sent] == ["sent"] * 3
    log = [e for e in m.at_log() if e["t"] >= mark]
    first_cmms = next(i for i, e in enumerate(log) if e["cmd"].startswith("AT+CMMS=1"))
    first_cmgs = next(i for i, e in enumerate(log) if e["cmd"].startswith("AT+CMGS="))
    assert first_cmms < first_cmgs
    assert [s["link_open"] for s in sent] == [False, True, True]


@pytest.mark.board(config=default_image())
def test_phone_failing_twice_is_retried_until_delivered(board):
    c, m = board.client, modem_of(board)
    for k, number in enumerate(["0611111111", "0622222222", "0633333333"]):
        set_phone(c, 0, k, number)
    set_alarm(c, 3, [0], on_text="Water leak")
    m.sms_fail(number="0622222222", mode="reject", times=2)

    write_coil(c, 3, True)
    seen = watch_status(c, IR_STATUS, 5 * SMS_TIME + 5)
    assert seen[-1] == DONE and is_subsequence(seen, STATUS_ORDER), seen

    out = m.outbox()
    assert [(s["number"], s["status"]) for s in out] == [
        ("0611111111", "sent"), ("0622222222", "failed"), ("0622222222", "failed"),
        ("0622222222", "sent"), ("0633333333", "sent")]
    assert len(cmgs_times(m)) == 5


@pytest.mark.board(config=default_image())
def test_phone_failing_three_times_is_given_up_and_the_next_one_receives(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 0, 0, "0611111111")
    set_phone(c, 0, 1, "0622222222")
    set_phone(c, 1, 0, "0622222222")
    set_alarm(c, 4, [0], on_text="Gas alarm")
    set_alarm(c, 6, [1], on_text="Gas alarm cleared")
    # The modem refuses the octet-count command three times: no PDU is sent.
    m.sms_fail(mode="error", times=3)

    write_coil(c, 4, True)
    seen = watch_status(c, IR_STATUS, 4 * SMS_TIME + 5)
    assert seen[-1] == FAILED, seen                # a phone was not reached
    assert len(cmgs_times(m)) == 4
    # The second phone still receives.
    assert [r.get("number") for r in m.outbox("sent")] == ["0622222222"]

    # The next entry is served normally and reports in record 1; record 0
    # keeps the failure of the first.
    write_coil(c, 6, True)
    seen = watch_status(c, IR_STATUS + 1, SMS_TIME + 5, final=(DONE,))
    assert seen[-1] == DONE, seen
    assert read_ir(c, IR_STATUS)[0] == FAILED
    assert [(s["number"], s["text"]) for s in m.sent()] == [("0622222222", "Gas alarm"),
                                                              ("0622222222", "Gas alarm cleared")]
    assert len(cmgs_times(m)) == 5


# ---- message contents --------------------------------------------------------------


@pytest.mark.board(config=default_image())
def test_dynamic_sms(board):
    c, m = board.client, modem_of(board)
    body = "Pump 3 stopped, pressure 1.2 bar"
    write_regs(c, HR_DYN_TEXT, text_regs(body, 70))
    write_regs(c, HR_DYN_PHONE, ascii_regs("0655555555", 10))

    write_coil(c, COIL_DYNAMIC_SMS, True)
    seen = watch_status(c, IR_DYN_STATUS, SMS_TIME + 5)
    assert seen[-1] == DONE and is_subsequence(seen, STATUS_ORDER), seen
    assert read_ir(c, IR_LAST_SLOT)[0] == 0
    assert read_ir(c, IR_STATUS)[0] == 0         # alarm records are not involved
    assert [(s["number"], s["text"], s["coding"]) for s in m.sent()] == [("0655555555", body, "ucs2")]


@pytest.mark.board(config=default_image())
def test_variable_text_is_appended(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 2, 4, "0644444444")
    set_alarm(c, 7, [2], on_text="Door open")
    tail = " at gate 4 north"                     # exactly the 16 registers
    assert len(tail) == 16
    write_regs(c, HR_VAR_TEXT, text_regs(tail, 16))
    write_reg(c, HR_VAR_TEXT_ON, 1)

    write_coil(c, 7, True)
    seen = watch_status(c, IR_STATUS, SMS_TIME + 5)
    assert seen[-1] == DONE, seen
    [s] = m.sent()
    assert s["number"] == "0644444444"
    assert s["text"] == "Door open at gate 4 north"
    assert s["udl"] == 2 * (9 + 16)

    # A shorter variable text: its zero registers are skipped, no NUL reaches
    # the phone; the second alarm SMS reports in the next status record.
    write_regs(c, HR_VAR_TEXT, text_regs(" Halle 3!", 16))
    write_coil(c, 7, False)
    write_coil(c, 7, True)
    seen = watch_status(c, IR_STATUS + 2, SMS_TIME + 5)
    assert seen[-1] == DONE, seen
    assert read_ir(c, IR_STATUS, 3) == [DONE, DONE, DONE]    # ON, OFF, ON: a record each
    assert [x["text"] for x in m.sent()[1:]] == ["Channel7 OFF Halle 3!", "Door open Halle 3!"]
    last = m.sent()[-1]
    assert last["text"] == "Door open Halle 3!" and "\0" not in last["text"]
    assert last["udl"] == 2 * (9 + 9)


# ---- edge mode ---------------------------------------------------------------------


@pytest.mark.board(config=default_image())
def test_edge_mode_sends_the_value_that_stood_for_the_delay(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 0, 0, "0611111111")
    set_alarm(c, 9, [0], on_text="Boiler fault", off_text="Boiler ok")
    write_reg(c, HR_EDGE_DELAY + 9, 30000)       # 300 passes of at least 10 ms: 3 s
    write_reg(c, HR_EDGE_MODE, 1)

    write_coil(c, 9, True)
    time.sleep(1.0)
    # Changed again within the delay: the count restarts with the new value.
    t_off = time.time()
    write_coil(c, 9, False)
    time.sleep(2.5)
    assert read_ir(c, IR_STATUS)[0] == 0         # nothing queued yet
    assert cmgs_times(m) == []

    seen = watch_status(c, IR_STATUS, SMS_TIME + 10)
    assert seen[-1] == DONE, seen
    [t_cmgs] = cmgs_times(m)
    assert t_cmgs >= t_off + 3.0
    assert [(s["number"], s["text"]) for s in m.sent()] == [("0611111111", "Boiler ok")]
    assert board.log().count("Alarm 9 Trigger!!(Edge Mode)\r\n") == 2   # both changes were taken


# ---- voice alarm -------------------------------------------------------------------


@pytest.mark.board(config=default_image(), files={"media/card/voice/DO12_ON.wav": wav_bytes(0.2)})
def test_voice_alarm_calls_each_phone_and_plays_the_file(board):
    c, m = board.client, modem_of(board)
    card_file = board.path("media/card/voice/DO12_ON.wav")
    link = board.path("var/zrb_318_voice/DO12_ON.wav")
    assert os.readlink(link) == card_file
    # Alarm 12 is bit 8 of input register 129: present and of the right format.
    assert read_ir(c, IR_VOICE_PRESENT + 1)[0] == 0x0100
    assert read_ir(c, IR_VOICE_FORMAT + 1)[0] == 0x0100

    set_phone(c, 2, 0, "0644444444")
    set_phone(c, 2, 1, "0645454545")
    set_alarm(c, 12, [2], on_text="Intrusion", sms=False, voice=True)

    write_coil(c, 12, True)
    calls = m.wait_for(lambda: len(m.calls()) >= 2 and m.calls(), timeout=30, what="two calls")
    assert [k["number"] for k in calls] == ["0644444444", "0645454545"]
    for k in calls:
        assert k["answered"] and k["outcome"] == "played", k
        assert k["file"] == link
        assert k["files"][0]["complete"]
    cmds = m.commands()
    assert 'AT+CCMXPLAYWAV="%s",1' % link in cmds
    assert "ATD0644444444;" in cmds and "ATD0645454545;" in cmds
    assert m.outbox() == []                      # SMS not enabled for this alarm


# ---- received SMS ------------------------------------------------------------------


@pytest.mark.board(config=default_image())
def test_received_sms_from_a_group_phone_is_published_filtered_and_cleared(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 4, 3, "0612345678")
    wait_first_pass(m)

    m.deliver_sms(sender="0612345678", text="Status?", time="2026-01-20T12:03:40")
    wait_di(c, DI_NEW_SMS, 1, 10)
    got = received_sms(c)
    assert got["sender"] == "0612345678"
    assert got["regs"][0:10] == ascii_regs("0612345678", 10)
    assert got["regs"][10:17] == ascii_regs("2026012012", 5) + ascii_regs("0340", 2)
    assert got["time"] == "2026/01/20 12:03:40"
    assert got["coding"] == 0
    assert got["regs"][18:23] == [0x7453, 0x7461, 0x7375, 0x003F, 0]   # "Status?", even byte low
    assert got["text"] == "Status?"
    assert "RecieveSMSFilter ok \r\n" in board.log()
    published = read_ir(c, IR_SENDER, 98)

    # More messages while the first is unacknowledged wait on the SIM: the
    # published one is never overwritten, and each comes once, in order, after
    # each acknowledgement. A sender that no phone group holds is dropped.
    for sender, text in (("0612345678", "two"), ("0798765432", "Open the gate"), ("0612345678", "three")):
        m.deliver_sms(sender=sender, text=text)
    time.sleep(7)   # two passes of the polling thread
    assert read_ir(c, IR_SENDER, 98) == published
    texts = []
    for _ in range(2):
        write_coil(c, COIL_CLEAR_RECEIVED, True)
        wait_di(c, DI_NEW_SMS, 1, 20)
        texts.append(received_sms(c)["text"])
    assert texts == ["two", "three"]   # the stranger's message was dropped

    write_coil(c, COIL_CLEAR_RECEIVED, True)
    assert read_di(c, DI_NEW_SMS)[0] is False
    assert read_ir(c, IR_SENDER, 98) == [0] * 98
    assert c.read_coils(COIL_CLEAR_RECEIVED, 1, slave=1).bits[0] is False
    time.sleep(4)
    assert read_di(c, DI_NEW_SMS)[0] is False
    assert board.log().count("Get a new SMS!!") == 4
    assert m.get()["inbox_used"] == 0   # each removed once handed over


def deliver_pdu_long_sender(digits, text, when):
    """SMS-DELIVER with an originator of more digits than a phone slot holds."""
    ud = text.encode("utf-16-be")
    pdu = bytes([0x00, 0x04, len(digits), 0x81]) + swap_digits(digits) + bytes([0x00, 0x08]) \
        + encode_scts(when) + bytes([len(ud)]) + ud
    return pdu.hex().upper()


@pytest.mark.board(config=default_image())
def test_open_filter_and_a_sender_longer_than_20_characters(board):
    c, m = board.client, modem_of(board)
    write_reg(c, HR_SENDER_FILTER, 0)            # accept any sender
    wait_first_pass(m)

    sender = "123456789012345678901234"
    text = "Tür offen, 21°C"
    m.deliver_sms(pdu=deliver_pdu_long_sender(sender, text, "2026-03-04T05:06:07"))
    wait_di(c, DI_NEW_SMS, 1, 10)
    got = received_sms(c)
    # Only registers 30..39 take the sender; the time stamp is intact behind it.
    assert got["regs"][0:10] == ascii_regs(sender[:20], 10)
    assert got["regs"][10] == 0x3230
    assert got["time"] == "2026/03/04 05:06:07"
    assert got["coding"] == 1
    assert got["text"] == text
    assert got["regs"][18] == 0x5400             # "T" as a text register


# Received-SMS flags, from the register map's header.
IR_RX_FLAGS = L.IR_RX_FLAGS
RX_FLAG_CUT, RX_FLAG_PARTS_MISSING = L.RX_FLAG_CUT, L.RX_FLAG_PARTS_MISSING


def text_registers(units_be):
    """Registers 48.. of a UCS-2 text: byte 2k low, byte 2k + 1 high."""
    return [units_be[i + 1] << 8 | units_be[i] for i in range(0, len(units_be), 2)]


@pytest.mark.board(config=default_image())
def test_long_ucs2_reply_in_parts_out_of_order_is_published_once_whole_and_cut(board):
    c, m = board.client, modem_of(board)
    write_reg(c, HR_SENDER_FILTER, 0)
    wait_first_pass(m)

    text = "Störung quittiert 😀 — Тревога снята, ждём подтверждения. " * 3
    sent = m.deliver_parts("+491701234567", text, coding="ucs2", order=[3, 1, 2], ref=0x5A)
    assert sent["parts"] == 3 and len(sent["indexes"]) == 3
    wait_di(c, DI_NEW_SMS, 1, 30)
    got = received_sms(c)
    assert got["sender"] == "+491701234567"
    assert got["coding"] == 1
    # The first 80 units, joined in part order, never half a surrogate pair.
    units = text.encode("utf-16-be")
    keep = 160 if not 0xD8 <= units[158] <= 0xDB else 158
    want = text_registers(units[:keep])
    assert got["regs"][18:18 + len(want)] == want
    assert got["regs"][18 + len(want):] == [0] * (80 - len(want))
    assert read_ir(c, IR_RX_FLAGS, 1) == [RX_FLAG_CUT]

    # Published once: the parts leave the storage, nothing comes again.
    write_coil(c, COIL_CLEAR_RECEIVED, True)
    assert read_ir(c, IR_RX_FLAGS, 1) == [0]
    m.wait_for(lambda: m.get()["inbox_used"] == 0, 20, what="the parts removed")
    time.sleep(4)
    assert read_di(c, DI_NEW_SMS)[0] is False
    assert board.log().count("Get a new SMS!!") == 1


def test_slow_reads_and_a_message_read_before_a_restart_are_all_delivered_in_order(make_board):
    # The storage as a stopped run left it: the first message read (marked read)
    # but never published, the second unread; every read takes 2.5 s.
    b = make_board(config=default_image(), start=False)
    b.start_line()
    b.start_modem()
    m = Modem(b.root)
    m.wait_ready()
    m.set(delays={"AT+CMGR": 2.5})
    m.deliver_sms(sender="0612345678", text="first", time="2026-01-20T12:03:40", stat=1)
    m.deliver_sms(sender="0612345678", text="second", time="2026-01-20T12:03:50")
    m.deliver_sms(sender="0612345678", text="third", time="2026-01-20T12:03:45")
    b.start()
    c = b.client
    write_reg(c, HR_SENDER_FILTER, 0)
    texts = []
    for _ in range(3):
        wait_di(c, DI_NEW_SMS, 1, 40)
        texts.append(received_sms(c)["text"])
        write_coil(c, COIL_CLEAR_RECEIVED, True)
    assert texts == ["first", "third", "second"]   # as the network sent them
    m.wait_for(lambda: m.get()["inbox_used"] == 0, 30, what="the storage emptied")
    # An index is removed only after its own read ended.
    cmds = m.commands()
    for idx in range(3):
        d = cmds.index("AT+CMGD=%d" % idx)
        assert "AT+CMGR=%d" % idx in cmds[:d]


# ---- SD card -----------------------------------------------------------------------


@pytest.mark.board(config=default_image(), files={"media/card/voice/DO0_ON.wav": wav_bytes(0.1)})
def test_card_removed_at_run_time(board):
    c = board.client
    wait_di(c, DI_CARD, 1, 7)
    assert read_ir(c, IR_VOICE_PRESENT)[0] == 0x0001
    assert read_ir(c, IR_VOICE_FORMAT)[0] == 0x0001

    t0 = time.monotonic()
    board.remove_card()
    wait_di(c, DI_CARD, 0, 7.5)                  # a polling cycle or two
    assert time.monotonic() - t0 < 7.5
    assert read_ir(c, IR_VOICE_PRESENT, 16) == [0] * 16
    assert read_ir(c, IR_VOICE_FORMAT)[0] == 0x0001   # the format words stay

    board.insert_card()
    wait_di(c, DI_CARD, 1, 7.5)
    assert read_ir(c, IR_VOICE_PRESENT)[0] == 0  # presence is examined at start-up only


# Delivery reports on (the register map's header names the registers), a
# bound of 15 s, and a stale status in the image that the start must clear.
DLR_IMAGE = default_image(hr={L.HR_DLR_ON: 1, L.HR_DLR_WAIT: 15, L.HR_DLR_UNIT: 1,
                              L.HR_DLR_DELIVERED: 0xFFFF, L.HR_DLR_WAITING: 7})


def dlr_bit(c, alarm):
    return (read_hr(c, L.HR_DLR_DELIVERED + alarm // 16)[0] >> (alarm % 16)) & 1


@pytest.mark.board(config=DLR_IMAGE)
def test_delivery_report_confirms_one_phone_and_another_stays_sent_not_confirmed(board):
    from test_journal import journal_rows
    c, m = board.client, modem_of(board)
    assert read_hr(c, L.HR_DLR_STATUS_FIRST, L.HR_DLR_STATUS_N) == [0] * L.HR_DLR_STATUS_N
    p1, p2 = "0611111111", "0622222222"
    m.set(confirm_time=[0.3, 1.0], report_delay=0.5, reports_by_number={p2: {"never": 1}})
    set_phone(c, 0, 0, p1)
    set_phone(c, 1, 0, p2)
    set_alarm(c, 5, [0], on_text="Tank 5 low")
    set_alarm(c, 6, [1], on_text="Tank 6 low")
    wait_first_pass(m)
    write_coil(c, 5, True)
    write_coil(c, 6, True)

    # P1's report comes, is read from the storage and confirms alarm 5.
    m.wait_for(lambda: dlr_bit(c, 5) == 1, 60, what="alarm 5 confirmed delivered")
    sent = m.outbox("sent")
    assert [(s["number"], s["srr"]) for s in sent] == [(p1, True), (p2, True)]
    assert "AT+CNMI=2,1,0,2,0" in m.commands()
    reports = {r["number"]: r for r in m.reports()}
    assert {n: r["routed"] for n, r in reports.items()} == {p1: "stored", p2: "never"}
    assert reports[p1]["mr"] == sent[0]["mr"]
    # P2's never comes: past the bound it is counted sent, not confirmed.
    m.wait_for(lambda: read_hr(c, L.HR_DLR_UNCONFIRMED_COUNT)[0] == 1, 60, what="P2 not confirmed")
    assert dlr_bit(c, 6) == 0 and dlr_bit(c, 5) == 1
    assert read_hr(c, L.HR_DLR_WAITING)[0] == 0
    assert read_hr(c, L.HR_DLR_FAILED_COUNT)[0] == 0
    # The storage was emptied of the report.
    assert m.inbox() == []

    board.stop_daemon()
    rows = [r for r in journal_rows(board) if r["kind"] == "delivery"]
    assert [(r["alarm"], r["a"], r["b"], r["text"].split()[0]) for r in rows] == \
        [("5", "0", "0", p1), ("6", "0", "2", p2)]
