"""Closed-loop alarms on the simulated board: acknowledgement by SMS reply, by a
key in the call and by the master; repeats, escalation and the master's flag.
Intervals are a few seconds so each scenario stays short; hours of rounds are
the unit tests' (behind the virtual clock).

The simulated modem plays the phones: an auto_reply rule makes a phone answer
the SMS it receives, a call rule with dtmf makes the callee press keys once the
recording has played.
"""
import os
import time

import pytest

from conftest import default_image
from mbmaster import (DI_NEW_SMS, IR_SENDER, read_di, read_hr, read_ir, regs_ascii, set_alarm,
                      set_bit, set_phone, wav_bytes, write_coil, write_reg, write_regs)
from modemctl import Modem

from sim import maplayout as L

# The acknowledgement registers, read from the register map's header.
HR_ACK_REQUIRED, HR_ACK_INTERVAL, HR_ACK_ROUNDS = L.HR_ACK_REQUIRED, L.HR_ACK_INTERVAL, L.HR_ACK_ROUNDS
HR_ACK_TELL_OTHERS, HR_ACK_COMMAND = L.HR_ACK_TELL_OTHERS, L.HR_ACK_COMMAND
HR_ESCALATION_MASK, HR_ACK_ROUND = L.HR_ESCALATION_MASK, L.HR_ACK_ROUND
IR_ACK_ACTIVE, IR_ACK_UNACKED, IR_ACK_COUNT = L.IR_ACK_ACTIVE, L.IR_ACK_UNACKED, L.IR_ACK_COUNT
IR_ACK_LAST_ALARM, IR_ACK_LAST_HOW, IR_ACK_LAST_PHONE = L.IR_ACK_LAST_ALARM, L.IR_ACK_LAST_HOW, L.IR_ACK_LAST_PHONE
IR_ACK_EXHAUSTED = L.IR_ACK_EXHAUSTED

P1, P2, P3, STRANGER = "0611111111", "0622222222", "0633333333", "0644444444"
ALARM = 5
ON_TEXT = "Pump 5 stopped"


def modem_of(board):
    m = Modem(board.root)
    m.wait_ready()
    return m


def bit(c, first, n):
    return (read_ir(c, first + n // 16)[0] >> (n % 16)) & 1


def wait_for(what, predicate, timeout, interval=0.2):
    end = time.monotonic() + timeout
    while True:
        v = predicate()
        if v:
            return v
        if time.monotonic() > end:
            raise AssertionError("%s: not within %.0f s" % (what, timeout))
        time.sleep(interval)


def alarm_sms(m, number=None):
    return [s for s in m.sent() if s["text"] == ON_TEXT and (number is None or s["number"] == number)]


def setup_alarm(c, interval, rounds=0, tell_others=0, sms=True, voice=False):
    """Alarm 5 to group 0 (P1, P2), escalation group 1 (P3); P4 in group 2 only."""
    set_phone(c, 0, 0, P1)
    set_phone(c, 0, 1, P2)
    set_phone(c, 1, 0, P3)
    set_phone(c, 2, 0, STRANGER)
    set_alarm(c, ALARM, [0], on_text=ON_TEXT, off_text="Pump 5 running", sms=sms, voice=voice)
    write_regs(c, HR_ESCALATION_MASK + ALARM, [0x0002])
    write_regs(c, HR_ACK_INTERVAL, [interval, rounds, tell_others])
    set_bit(c, HR_ACK_REQUIRED, ALARM)


@pytest.mark.board(config=default_image())
def test_reply_from_second_phone_stops_repeats_and_tells_the_others(board):
    c, m = board.client, modem_of(board)
    # Round 1 (two SMS on the realistic network) and the reply take about
    # 15 s: round 2 would come after 25 s.
    setup_alarm(c, interval=25, tell_others=1)
    m.auto_reply(P2, "ack 5", after=0.5)

    write_coil(c, ALARM, True)
    t_on = time.monotonic()
    wait_for("alarm 5 unacknowledged", lambda: bit(c, IR_ACK_UNACKED, ALARM), 10)
    assert bit(c, IR_ACK_ACTIVE, ALARM) == 1
    wait_for("the reply acknowledges", lambda: not bit(c, IR_ACK_UNACKED, ALARM), 40)
    n_at_ack = len(alarm_sms(m))
    assert bit(c, IR_ACK_ACTIVE, ALARM) == 1        # active acknowledged
    assert read_ir(c, IR_ACK_LAST_ALARM)[0] == ALARM
    assert read_ir(c, IR_ACK_LAST_HOW)[0] == 1
    assert regs_ascii(read_ir(c, IR_ACK_LAST_PHONE, 10)) == P2
    assert read_ir(c, IR_ACK_COUNT)[0] == 1
    assert read_hr(c, HR_ACK_ROUND + ALARM)[0] == 0

    wait_for("the confirmation", lambda: any(s["number"] == P2 and s["text"] == "Acknowledged: alarm 5"
                                             for s in m.sent()), 30)
    wait_for("the notice to the others", lambda: any(
        s["number"] == P1 and s["text"] == "Alarm 5 acknowledged by %s" % P2 for s in m.sent()), 30)
    # The reply is consumed: not published to the master.
    assert read_di(c, DI_NEW_SMS)[0] == 0
    assert read_ir(c, IR_SENDER, 10) == [0] * 10
    # No round after the acknowledgement; a repeat already queued goes to no
    # further phone (one SMS may have been at the modem at that moment).
    wait_for("round 2 due", lambda: time.monotonic() > t_on + 28, 40)
    log = board.log()
    acked_at = log.index("alarm 5 acknowledged by %s" % P2)
    assert "alarm 5 unacknowledged: round" not in log[acked_at:]
    assert len(alarm_sms(m)) <= n_at_ack + 1
    if "alarm 5 unacknowledged: round 2" not in log[:acked_at]:
        # The usual case: the reply came within round 1, so the escalation
        # phone never hears of the alarm.
        assert [s["number"] for s in alarm_sms(m)] == [P1, P2]
    assert m.replies() and m.replies()[0]["number"] == P2


@pytest.mark.board(config=default_image())
def test_no_reply_escalates_in_round_two_and_raises_the_masters_flag(board):
    c, m = board.client, modem_of(board)
    setup_alarm(c, interval=8, rounds=2)
    write_coil(c, ALARM, True)
    wait_for("round 2", lambda: read_hr(c, HR_ACK_ROUND + ALARM)[0] == 2, 30)
    wait_for("the master's flag", lambda: read_ir(c, IR_ACK_EXHAUSTED)[0] == 1, 40)
    assert bit(c, IR_ACK_UNACKED, ALARM) == 1
    wait_for("round 2 delivered", lambda: len(alarm_sms(m)) >= 5, 30)
    assert [s["number"] for s in alarm_sms(m)] == [P1, P2, P1, P2, P3]
    # A stranger's ACK acknowledges nothing and is published as any SMS.
    write_reg(c, 254, 0)   # accept any sender
    m.deliver_sms(sender=STRANGER, text="ACK 5")
    wait_for("the stranger's SMS published", lambda: read_di(c, DI_NEW_SMS)[0] == 1, 20)
    assert regs_ascii(read_ir(c, IR_SENDER, 10)) == STRANGER
    assert bit(c, IR_ACK_UNACKED, ALARM) == 1
    assert read_ir(c, IR_ACK_COUNT)[0] == 0
    # No further round after the last one.
    time.sleep(9)
    assert len(alarm_sms(m)) == 5


@pytest.mark.board(config=default_image(), files={"media/card/voice/DO5_ON.wav": wav_bytes(0.2)})
def test_call_without_key_repeats_and_the_key_acknowledges(board):
    c, m = board.client, modem_of(board)
    setup_alarm(c, interval=6, rounds=4, sms=False, voice=True)
    write_regs(c, HR_ESCALATION_MASK + ALARM, [0])
    write_regs(c, ALARM, [0x0001])
    set_phone(c, 0, 1, "")          # one phone: P1
    m.call_rule(P1, mode="answer", after=0.2)
    write_coil(c, ALARM, True)
    first = wait_for("the first call", lambda: [x for x in m.calls() if x["number"] == P1], 40)[0]
    assert first["answered"] and first["outcome"] == "played" and first["keys"] == ""
    assert bit(c, IR_ACK_UNACKED, ALARM) == 1       # reached, not acknowledged
    m.call_rule(P1, mode="answer", after=0.2, dtmf="1")
    wait_for("the key acknowledges", lambda: not bit(c, IR_ACK_UNACKED, ALARM), 60)
    assert read_ir(c, IR_ACK_LAST_HOW)[0] == 2
    assert regs_ascii(read_ir(c, IR_ACK_LAST_PHONE, 10)) == P1
    calls = m.calls()
    assert len(calls) >= 2 and calls[-1]["keys"] == "1"
    assert any(cmd.startswith("AT+DDET=1") for cmd in m.commands())
    n = len(m.calls())
    time.sleep(8)
    assert len(m.calls()) == n                      # no more rounds


@pytest.mark.board(config=default_image())
def test_master_write_acknowledges(board):
    c, m = board.client, modem_of(board)
    setup_alarm(c, interval=6)
    write_coil(c, ALARM, True)
    wait_for("alarm 5 unacknowledged", lambda: bit(c, IR_ACK_UNACKED, ALARM), 10)
    write_reg(c, HR_ACK_COMMAND, ALARM + 1)
    assert bit(c, IR_ACK_UNACKED, ALARM) == 0
    assert read_hr(c, HR_ACK_COMMAND)[0] == 0
    assert read_ir(c, IR_ACK_LAST_HOW)[0] == 3
    assert read_ir(c, IR_ACK_COUNT)[0] == 1
    wait_for("round 1 delivered", lambda: len(alarm_sms(m)) == 2, 30)
    time.sleep(8)
    assert len(alarm_sms(m)) == 2                    # no round 2
    # OFF then: normal, the OFF message goes out as today.
    write_coil(c, ALARM, False)
    wait_for("inactive", lambda: not bit(c, IR_ACK_ACTIVE, ALARM), 5)
    wait_for("the OFF message", lambda: [s for s in m.sent() if s["text"] == "Pump 5 running"], 30)


@pytest.mark.board(config=default_image())
def test_unacknowledged_alarm_survives_a_restart(board):
    c = board.client
    assert os.path.exists(board.path("APP/journal.db"))   # the state is kept there
    setup_alarm(c, interval=8, rounds=3)
    write_coil(c, 209, True)   # save the configuration
    write_coil(c, ALARM, True)
    wait_for("round 2", lambda: read_hr(c, HR_ACK_ROUND + ALARM)[0] == 2, 30)
    board.restart()
    c = board.client
    wait_for("restored", lambda: bit(c, IR_ACK_UNACKED, ALARM), 10)
    wait_for("round 3 after the restart", lambda: read_hr(c, HR_ACK_ROUND + ALARM)[0] == 3, 30)
    wait_for("the flag", lambda: read_ir(c, IR_ACK_EXHAUSTED)[0] == 1, 30)
