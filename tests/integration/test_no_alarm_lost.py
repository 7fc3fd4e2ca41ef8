"""No alarm lost on a bad night: a number the network always rejects, a
registration outage during a send, and a burst of alarm changes larger than
the SMS queue. Every alarm reaches every phone it can reach, once."""
import time

import pytest

from conftest import default_image, default_text
from sim import maplayout as L
from sim.mbmaster import DONE, FAILED, HR_SMS_ENABLE, SENDING, phone_reg
from test_faults import phone_regs, routed_image, sent_texts, started

BAD, GOOD1, GOOD2, GOOD3 = "0999000111", "0123456789", "0123456788", "0123456787"


def burst_image(n):
    """Alarms 0..n-1, alarm a to group a % 16, which holds one number of its own."""
    hr = {}
    for a in range(n):
        hr[a] = 1 << (a % 16)
        hr[HR_SMS_ENABLE + a // 16] = hr.get(HR_SMS_ENABLE + a // 16, 0) | 1 << (a % 16)
    for g in range(16):
        for j, v in enumerate(phone_regs("05550001%02d" % g)):
            hr[phone_reg(g, 0) + j] = v
    return default_image(hr=hr)


def burst(board, n):
    """Alarms 0..n-1 raised at once on a board of burst_image(n), confirmed
    quickly: what is tested is the queue, not the network's pace."""
    m, master = started(board)
    m.set(confirm_time=[0.2, 0.5])
    r = board.client.write_coils(0, [True] * n, slave=1)
    assert not r.isError(), r
    return m, master


@pytest.mark.board(card=False, config=routed_image([5], [GOOD1, BAD, GOOD2]))
def test_rejected_number_does_not_silence_the_others(board):
    m, master = started(board)
    m.sms_fail(number=BAD, mode="reject")
    assert not board.client.write_coil(5, True, slave=1).isError()
    master.wait(lambda r: r[0] in (DONE, FAILED), 60, "the alarm SMS finished")
    regs = master.read()
    assert regs[0] == FAILED
    assert sent_texts(m, GOOD1) == ["Channel5 ON"] and sent_texts(m, GOOD2) == ["Channel5 ON"]
    # Three tries for the rejected number, then on with the next phone.
    assert [r.get("reason") for r in m.outbox() if r.get("number") == BAD] == ["rejected"] * 3


@pytest.mark.board(card=False, config=routed_image([5], [GOOD1, GOOD2, GOOD3]))
def test_outage_during_an_alarm_delays_it_only(board):
    # The outage lasts four refreshes of the map (3 s each) and a dozen
    # dispatcher passes; its length in virtual time (40 s, half an hour) is the
    # dispatch unit test's.
    m, master = started(board)
    m.set(creg=2)
    master.wait(lambda r: r[L.IR_CREG] == 2, 20, "the outage in the map")
    assert not board.client.write_coil(5, True, slave=1).isError()
    master.wait(lambda r: r[0] == SENDING, 30, "the entry sending")
    t_lost = time.monotonic()
    while time.monotonic() - t_lost < 12:
        assert master.read()[0] == SENDING   # still sending
        assert m.outbox() == []              # and nothing handed to a network that is not there
        time.sleep(1)
    m.set(creg=1)
    master.wait(lambda r: r[0] in (DONE, FAILED), 60, "the alarm SMS finished")
    assert master.read()[0] == DONE
    for number in (GOOD1, GOOD2, GOOD3):
        assert sent_texts(m, number) == ["Channel5 ON"], number
    assert m.outbox("failed") == []
    assert "NG counter" not in board.log()   # no failure counted either


@pytest.mark.board(card=False, config=burst_image(25))
def test_burst_of_25_alarms_reaches_the_network_once_each(board):
    m, master = burst(board, 25)
    # The master sees that changes wait (the map is refreshed every 3 s).
    end = time.monotonic() + 30
    while not board.client.read_discrete_inputs(0, 1, slave=1).bits[0]:
        assert time.monotonic() < end, "discrete input 0 never read 1"
        time.sleep(0.2)
    end = time.monotonic() + 240
    while len(m.outbox("sent")) < 25 and time.monotonic() < end:
        master.read()
        time.sleep(0.5)
    got = sorted((r.get("number"), r.get("text")) for r in m.outbox("sent"))
    want = sorted(("05550001%02d" % (a % 16), default_text(a)) for a in range(25))
    assert got == want
