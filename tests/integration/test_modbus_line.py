"""The Modbus line as it is in the field: an RS-485 bus shared with other
slaves, frames in pieces, refused requests, a port that is missing or comes
and goes, and stored line settings that would lock the master out."""
import time

from conftest import _client, default_image
from sim import maplayout as L
from sim.mbmaster import rtu


def exchange(client, req, want, pieces=1, gap=0.0):
    """Sends a raw request (in pieces, gap seconds apart) and reads want bytes."""
    s = client.socket
    s.reset_input_buffer()
    step = -(-len(req) // pieces)
    for i in range(0, len(req), step):
        if i:
            time.sleep(gap)
        s.write(req[i:i + step])
    s.timeout = 2
    return s.read(want)


def read_until_served(client, slave, deadline):
    while time.monotonic() < deadline:
        r = client.read_holding_registers(L.HR_SLAVE_ADDRESS, 1, slave=slave)
        if not r.isError():
            return r.registers
        time.sleep(0.05)
    return None


def test_shared_bus_pieces_refused_requests_and_replug(make_board):
    b = make_board(start=False)
    b.bus = ["2:5:50"]
    b.start()
    c = b.client

    # The other slave answers 5..50 ms late; our master addresses us right after.
    for i in range(20):
        other = c.read_holding_registers(i, 1, slave=2)
        ours = c.read_holding_registers(L.HR_SLAVE_ADDRESS, 1, slave=1)
        assert not other.isError() and other.registers == [2000 + i], (i, other)
        assert not ours.isError() and ours.registers == [1], (i, ours)
    log = b.log()
    assert log.count("Modbus Address:2, inValid!!") == 20
    assert "Modbus Address:0, inValid!!" not in log

    # A request in three pieces 20 ms apart is one request.
    rsp = exchange(c, rtu(bytes([1, 3, 0, 199, 0, 1])), 7, pieces=3, gap=0.02)
    assert rsp == rtu(bytes([1, 3, 2, 0, 1]))

    # Refused with an exception, and nothing done: no alarm, no OFF texts.
    since = len(b.log())
    assert exchange(c, rtu(bytes([1, 15, 0, 0, 0x07, 0xD0, 1, 0])), 5) == rtu(bytes([1, 0x8F, 3]))
    assert exchange(c, rtu(bytes([1, 5, 0, 5, 0x12, 0x34])), 5) == rtu(bytes([1, 0x85, 3]))
    assert c.read_holding_registers(L.HR_SLAVE_ADDRESS, 1, slave=1).registers == [1]
    assert "request address" not in b.log()[since:]

    # The adapter pulled out and plugged in again: reported once, served again.
    b.unplug_line()
    b.wait_log(r"Modbus port .* cannot be opened", 5, since=since)
    time.sleep(1.5)
    assert b.log()[since:].count("cannot be opened") == 1
    assert b.daemon.poll() is None
    b.unplug_line(plug=True)
    assert read_until_served(c, 1, time.monotonic() + 2.5) == [1]


def test_port_missing_at_start_and_a_cut_configuration(make_board):
    # A file cut before holding register 199 reads the address as 0.
    b = make_board(config=default_image()[:1100], start=False)
    b.start_modem()
    b.start_daemon(wait=False)
    b.wait_log(r"Modbus port .* cannot be opened", 10)
    time.sleep(2)
    assert b.daemon.poll() is None, "the daemon ended without its port"
    assert b.log().count("cannot be opened") == 1

    b.start_line()
    t0 = time.monotonic()
    b.client = _client(b)
    regs = read_until_served(b.client, 1, t0 + 3)   # address 0 from the cut file: slave 1 serves
    assert regs == [0], "not served within 3 s of the port appearing"
