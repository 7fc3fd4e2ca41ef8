"""Self-supervision on the simulated board, with bounds in seconds (holding
register 1008 = 1): the heartbeat SMS as the network decodes it, the
silent-master pair of messages, and the cannot-deliver flag of an outage. The long waits (a day, hours of polling) are
in the unit tests behind the virtual clock.

The settings are written over Modbus after the start: that write is the
master's first request, so the silence is counted from a known moment.
"""
import re
import time

import pytest

from conftest import default_image
from sim import maplayout as L
from sim.mbmaster import IR_CREG, IR_CSQ, read_di, read_ir, set_phone, write_coil, write_regs
from sim.modemctl import Modem

# Register numbers of the self-supervision, from the register map's header.
HR_SUP_HEARTBEAT_GROUPS = L.HR_SUP_HEARTBEAT_GROUPS   # then time of day (minutes), interval
HR_SUP_SILENT_GROUPS = L.HR_SUP_SILENT_GROUPS         # then bound, outage, fails, groups, unit
UNIT_SECONDS = 1
DI_CANNOT_DELIVER = L.DI_CANNOT_DELIVER

PHONE = "0611111111"


def modem_of(board):
    m = Modem(board.root)
    m.wait_ready()
    return m


def texts(m, prefix):
    return [s["text"] for s in m.outbox() if s["number"] == PHONE and s["text"].startswith(prefix)]


@pytest.mark.board(config=default_image())
def test_heartbeat_names_the_live_figures(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 0, 0, PHONE)
    m.set(csq=23)
    m.wait_for(lambda: read_ir(c, IR_CSQ)[0] == 23, 20, what="signal 23 in input register 18")
    write_coil(c, 5, True)   # alarm 5 active, without an SMS of its own (not enabled)

    # Every 10 s from the current minute: the series has begun, the next one is due within 10 s.
    lt = time.localtime()
    write_regs(c, HR_SUP_HEARTBEAT_GROUPS, [0x0001, lt.tm_hour * 60 + lt.tm_min, 10, 0, 0, 0, 0, 0, UNIT_SECONDS])

    def heartbeat():
        read_ir(c, IR_CSQ)   # the master keeps polling
        return texts(m, "Alive")
    beats = m.wait_for(heartbeat, 40, interval=0.5, what="a heartbeat SMS")
    assert re.fullmatch(r"Alive CSQ23 home LTE Q\d Alm1 Unack0 PLC\ds SDok FW2019-06-19", beats[0]), beats
    assert [s["coding"] for s in m.outbox()] == ["ucs2"] * len(m.outbox())


@pytest.mark.board(config=default_image())
def test_master_silence_reported_once_and_its_end_once(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 0, 0, PHONE)
    # Group 0, bound 4 s, no outage or failure supervision, seconds.
    write_regs(c, HR_SUP_SILENT_GROUPS, [0x0001, 4, 0, 0, 0, UNIT_SECONDS])

    # Polling every half second for 8 s: twice the bound, and no message.
    end = time.monotonic() + 8
    while time.monotonic() < end:
        read_ir(c, IR_CSQ)
        time.sleep(0.5)
    assert texts(m, "No request") == []

    # Silence: one message (bound 4 s + a 3 s cycle + the send), then no other.
    stopped = time.monotonic()
    m.wait_for(lambda: texts(m, "No request"), 30, interval=0.2, what="the silent-master SMS")
    assert texts(m, "No request") == ["No request from the PLC for 4 s"]
    assert time.monotonic() - stopped >= 3   # never before the bound (less the last poll gap)
    time.sleep(8)
    assert texts(m, "No request") == ["No request from the PLC for 4 s"]
    assert texts(m, "Requests from") == []

    # Polling again: one message saying so.
    def back():
        read_ir(c, IR_CSQ)
        return texts(m, "Requests from")
    again = m.wait_for(back, 30, interval=0.5, what="the master-back SMS")
    assert re.fullmatch(r"Requests from the PLC again after \d+ s", again[0]), again
    end = time.monotonic() + 8
    while time.monotonic() < end:
        read_ir(c, IR_CSQ)
        time.sleep(0.5)
    assert len(texts(m, "Requests from")) == 1
    assert len(texts(m, "No request")) == 1


@pytest.mark.board(config=default_image())
def test_network_outage_raises_the_flag_and_its_end_is_reported(board):
    c, m = board.client, modem_of(board)
    set_phone(c, 0, 0, PHONE)
    m.wait_for(lambda: read_ir(c, IR_CREG)[0] == 1, 20, what="registration")
    # No silent-master supervision; outage bound 3 s; back-again SMS to group 0; seconds.
    write_regs(c, HR_SUP_SILENT_GROUPS, [0, 0, 3, 0, 0x0001, UNIT_SECONDS])
    assert read_di(c, DI_CANNOT_DELIVER)[0] == 0

    m.set(creg=2)
    m.wait_for(lambda: read_di(c, DI_CANNOT_DELIVER)[0] == 1, 30, interval=0.3, what="discrete input 5 set")
    assert texts(m, "Delivery") == []
    m.set(creg=1)
    m.wait_for(lambda: read_di(c, DI_CANNOT_DELIVER)[0] == 0, 30, interval=0.3, what="discrete input 5 cleared")
    again = m.wait_for(lambda: texts(m, "Delivery"), 30, interval=0.3, what="the delivery-again SMS")
    assert re.fullmatch(r"Delivery possible again after \d+ s, 0 alarms delayed", again[0]), again
    time.sleep(4)
    assert len(texts(m, "Delivery")) == 1
