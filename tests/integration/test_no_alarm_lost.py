"""No alarm lost on a bad night: a number the network always rejects, a
registration outage during a send, and a burst of alarm changes larger than
the SMS queue. Every alarm reaches every phone it can reach, once."""
import time

import pytest

from conftest import default_image, default_text
from sim.mbmaster import DONE, FAILED, HR_SMS_ENABLE, SENDING, phone_reg
from sim.modemctl import Modem
from test_faults import Master, full_passes, phone_regs, routed_image

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


def started(board):
    m = Modem(board.root)
    master = Master(board, bound=1.0)
    master.wait(lambda _: len(full_passes(m.commands())) >= 1, 15, "a modem pass")
    return m, master


def texts_to(m, number):
    return [r.get("text") for r in m.outbox("sent") if r.get("number") == number]


@pytest.mark.board(card=False, config=routed_image([5], [GOOD1, BAD, GOOD2]))
def test_rejected_number_does_not_silence_the_others(board):
    m, master = started(board)
    m.sms_fail(number=BAD, mode="reject")
    assert not board.client.write_coil(5, True, slave=1).isError()
    master.wait(lambda r: r[0] in (DONE, FAILED), 60, "the alarm SMS finished")
    regs = master.read()
    assert regs[0] == FAILED
    assert texts_to(m, GOOD1) == ["Channel5 ON"] and texts_to(m, GOOD2) == ["Channel5 ON"]
    assert "phone %s not reached after 3 failures" % BAD in board.log()


@pytest.mark.board(card=False, config=routed_image([5], [GOOD1, GOOD2, GOOD3]))
def test_outage_during_an_alarm_delays_it_only(board):
    # The outage lasts four refreshes of the map (3 s each) and a dozen
    # dispatcher passes; its length in virtual time (40 s, half an hour) is the
    # dispatch unit test's.
    m, master = started(board)
    m.set(creg=2)
    master.wait(lambda r: r[27] == 2, 20, "the outage in the map")
    assert not board.client.write_coil(5, True, slave=1).isError()
    board.wait_log(r"no network \(creg=2\)", 10)
    master.wait(lambda r: r[0] == SENDING, 10, "the entry sending")
    t_lost = time.monotonic()
    while time.monotonic() - t_lost < 12:
        assert master.read()[0] == SENDING   # still sending
        time.sleep(1)
    m.set(creg=1)
    master.wait(lambda r: r[0] in (DONE, FAILED), 60, "the alarm SMS finished")
    assert master.read()[0] == DONE
    for number in (GOOD1, GOOD2, GOOD3):
        assert texts_to(m, number) == ["Channel5 ON"], number
    assert "NG counter" not in board.log()


@pytest.mark.board(card=False, config=burst_image(25))
def test_burst_of_25_alarms_reaches_the_network_once_each(board):
    m, master = started(board)
    # Quick confirmations: what is tested is the queue, not the network's pace.
    m.set(confirm_time=[0.2, 0.5])
    r = board.client.write_coils(0, [True] * 25, slave=1)
    assert not r.isError(), r
    board.wait_log(r"queue full: alarm \d+ ON waits", 10)
    # The master sees that changes wait (the map is refreshed every 3 s).
    end = time.monotonic() + 10
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
