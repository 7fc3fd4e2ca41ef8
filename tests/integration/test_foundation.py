"""The foundation on the simulated board: start-up, the configuration file, the
command line, and the Modbus slave's commands and robustness, with the real
daemon and pymodbus as the master."""
import os
import random
import re
import signal
import struct
import threading
import time

import pytest
import serial

from conftest import CONFIG_SIZE, IDENT, alarm_text_reg, default_holding, default_image, wait_state
from sim import maplayout as L
from sim.mbmaster import rtu

AO = L.IMG_OFF_AO   # offset of the holding registers in the configuration file


def holding_of(image):
    return list(struct.unpack_from("<%dH" % L.HOLDING, image, AO))


def read_hr(client, addr, count=1):
    r = client.read_holding_registers(addr, count, slave=1)
    assert not r.isError(), r
    return r.registers


# ---- start-up and the configuration file -----------------------------------------

@pytest.mark.board(card=False)
def test_missing_file_gives_defaults_and_identification(board):
    log = board.log()
    assert "-- QOVRA_2019-06-19 v1.17 --\r\n" in log
    assert "Go Recovery!!\n" in log
    # The recovery wrote the defaults.
    with open(board.config_path, "rb") as f:
        assert f.read() == default_image()

    c = board.client
    r = c.read_input_registers(L.IR_IDENT, L.IR_IDENT_N, slave=1)
    assert r.registers == IDENT
    assert read_hr(c, L.HR_PIN, L.HR_PIN_N) == [0x3132, 0x3334]
    assert read_hr(c, L.HR_SLAVE_ADDRESS, 2) == [default_holding()[L.HR_SLAVE_ADDRESS], L.SERIAL_DEFAULT]
    assert read_hr(c, L.HR_SENDER_FILTER) == [1]
    assert read_hr(c, alarm_text_reg(0), 12) == [ord(ch) << 8 for ch in "Channel0 ON"] + [0]
    assert read_hr(c, alarm_text_reg(127) + 54, 15) == [ord(ch) << 8 for ch in "Channel127 OFF"] + [0]
    coils = c.read_coils(0, 256, slave=1)
    assert not any(coils.bits[:256])
    di = c.read_discrete_inputs(0, 8, slave=1)
    assert di.bits[3] is False   # the init switch is not active
    assert "current pin code: 1234\r\n" in log


@pytest.mark.board(card=False, config=default_image())
def test_save_command_writes_the_image(board):
    c = board.client
    assert not c.write_registers(5, [0x1234], slave=1).isError()
    assert not c.write_register(300, 0xBEEF, slave=1).isError()
    assert not c.write_registers(34398, [0xA1B2, 0xC3D4], slave=1).isError()
    assert not c.write_coil(209, True, slave=1).isError()
    def saved():
        # The image is replaced whole: its last registers show the save is done.
        img = board.read_file("APP/config.ini")
        return img if img[-4:] == b"\xB2\xA1\xD4\xC3" else None

    img = wait_state(board, saved, 30, "the saved image")
    assert len(img) == CONFIG_SIZE
    assert img[8 + 209] == 1                      # the save coil itself
    assert img[AO + 10:AO + 12] == b"\x34\x12"    # holding register 5, little-endian
    assert img[AO + 600:AO + 602] == b"\xEF\xBE"
    assert img[1174:1178] == b"\x01\x00\x03\x0A"
    assert img[20776:20778] == b"\x00\x43"
    assert img[-4:] == b"\xB2\xA1\xD4\xC3"
    want = default_holding()
    want[5], want[300], want[34398], want[34399] = 0x1234, 0xBEEF, 0xA1B2, 0xC3D4
    assert holding_of(img) == want
    assert struct.unpack_from("<%dH" % L.IR_IDENT_N, img, L.IMG_OFF_AI + 2 * L.IR_IDENT) == tuple(IDENT)
    assert not os.path.exists(board.config_path + ".tmp")

    # The saved values are what the next start loads.
    board.restart()
    assert read_hr(board.client, 5) == [0x1234]
    assert read_hr(board.client, 300) == [0xBEEF]


@pytest.mark.board(card=False, config=default_image(hr={5: 99}))
def test_recovery_key(board):
    c = board.client
    # The key inside a longer request is no command.
    assert not c.write_registers(L.HR_RECOVERY_KEY, L.RECOVERY_KEY + [0], slave=1).isError()
    assert read_hr(c, 5) == [99]
    assert "Go Recovery!!" not in board.log()

    assert not c.write_registers(L.HR_RECOVERY_KEY, L.RECOVERY_KEY, slave=1).isError()
    wait_state(board, lambda: holding_of(board.read_file("APP/config.ini")) == default_holding(), 10,
               "the defaults saved")
    assert read_hr(c, 5) == [0]
    assert read_hr(c, L.HR_RECOVERY_KEY, 2) == [0, 0]
    assert read_hr(c, L.HR_SLAVE_ADDRESS, 2) == [default_holding()[L.HR_SLAVE_ADDRESS], L.SERIAL_DEFAULT]
    assert c.read_input_registers(L.IR_IDENT, L.IR_IDENT_N, slave=1).registers == IDENT
    assert holding_of(board.read_file("APP/config.ini")) == default_holding()


@pytest.mark.board(card=False, config=default_image(hr={5: 77}, coils={5: 2}))
def test_corrupt_file_is_replaced_by_defaults(board):
    img = board.read_file("APP/config.ini")
    assert len(img) == CONFIG_SIZE
    assert img[8 + 5] == 0
    assert holding_of(img) == default_holding()
    assert read_hr(board.client, 5) == [0]


@pytest.mark.board(card=False, init_switch=True,
                   config=default_image(hr={5: 0x0505, 111: 0x1111, 112: 0x2222})[:1000])
def test_short_file_reads_zeros_beyond_its_end(board):
    c = board.client
    # The init switch keeps the default line, so the map can be read.
    assert c.read_discrete_inputs(0, 8, slave=1).bits[3] is True
    assert read_hr(c, 5) == [0x0505]
    assert read_hr(c, 111, 2) == [0x1111, 0]
    assert read_hr(c, L.HR_SLAVE_ADDRESS, 2) == [0, 0]
    assert read_hr(c, alarm_text_reg(0)) == [0]
    assert len(board.read_file("APP/config.ini")) == 1000   # accepted as it is, not recovered

    # Without the switch, slave address 0 from the file would answer nobody:
    # the default address takes its place.
    board.set_init_switch(False)
    board.restart()
    assert read_hr(c, 5) == [0x0505]   # the client asks slave 1, 115200 8N1


@pytest.mark.board(card=False, config=default_image(hr={5: 0x0505}) + b"\x07" * 5000)
def test_long_file_is_accepted(board):
    assert read_hr(board.client, 5) == [0x0505]
    assert read_hr(board.client, 34399) == [0]
    assert len(board.read_file("APP/config.ini")) == CONFIG_SIZE + 5000   # not recovered


@pytest.mark.board(card=False, config=default_image(hr={5: 77, alarm_text_reg(0): 0x5800}), args=["-resetconfig"])
def test_resetconfig_saves_the_defaults(board):
    assert "Go Recovery!!" not in board.log()
    assert holding_of(board.read_file("APP/config.ini")) == default_holding()
    assert read_hr(board.client, 5) == [0]
    assert read_hr(board.client, alarm_text_reg(0)) == [default_holding()[alarm_text_reg(0)]]


@pytest.mark.board(card=False, config=default_image(), args=["extra"])
def test_other_arguments_are_ignored(board):
    assert "cmd: " not in board.log()
    assert "reset config" not in board.log()
    assert board.client.read_input_registers(L.IR_IDENT, 1, slave=1).registers == [IDENT[0]]


# ---- the date-and-time option ---------------------------------------------------------

@pytest.mark.board(card=False, config=default_image(), args=["2024-03-05", "10:20:30"])
def test_date_option_sets_both_clocks(board):
    log = board.log()
    assert 'cmd: date -s "2024-03-05 10:20:30"\n' in log
    assert "had set system time: 0\n" in log
    assert re.search(r"before RTC Time= \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d\]\n", log)
    assert re.search(r"\nRTC Time= \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d\]\n", log)
    assert log.index("had set system time") < log.index("before RTC Time=") < log.index("\nRTC Time=")
    lines = board.read_file("sim/date.log").decode().splitlines()
    assert '-s "2024-03-05 10:20:30"' in lines
    # Then the normal start.
    assert board.client.read_input_registers(L.IR_IDENT, L.IR_IDENT_N, slave=1).registers == IDENT


@pytest.mark.board(card=False, config=default_image(), args=["2024-03-05;touch${IFS}hacked", "10:20:30"])
def test_refused_date_argument_runs_nothing(board):
    log = board.log()
    assert "date/time not set" in log
    assert "cmd: " not in log
    assert "before RTC Time=" not in log
    assert not os.path.exists(board.path("hacked"))
    assert not os.path.exists(os.path.join(os.getcwd(), "hacked"))
    date_log = board.read_file("sim/date.log").decode() if os.path.exists(board.path("sim/date.log")) else ""
    assert "2024-03-05" not in date_log
    assert board.client.read_input_registers(L.IR_IDENT, L.IR_IDENT_N, slave=1).registers == IDENT


# ---- power cut during saves ---------------------------------------------------------------

@pytest.mark.board(card=False, config=default_image())
def test_power_cut_never_leaves_a_torn_file(board):
    rng = random.Random(20190619)
    written = {0}

    def saver(stop):
        # Each write at 209 stores the value and saves the whole map; the
        # answer is not waited for long, so a dead daemon ends the round fast.
        v = 1000 + 1000 * rnd
        with serial.Serial(board.master, 115200, timeout=0.2) as line:
            while not stop.is_set():
                written.add(v)
                line.write(rtu(bytes([1, 6]) + struct.pack(">HH", 209, v)))
                line.read(8)
                v += 1

    for rnd in range(4):
        stop = threading.Event()
        t = threading.Thread(target=saver, args=(stop,))
        t.start()
        # A save of this round is on the file (each round writes values of its own).
        wait_state(board, lambda: holding_of(board.read_file("APP/config.ini"))[209] >= 1000 + 1000 * rnd, 30,
                   "a save of round %d" % rnd)
        time.sleep(rng.uniform(0.0, 0.2))
        board.stop_daemon(signal.SIGKILL)
        stop.set()
        t.join(timeout=5)

        img = board.read_file("APP/config.ini")
        assert len(img) == CONFIG_SIZE, "round %d: %d bytes" % (rnd, len(img))
        assert all(b <= 1 for b in img[:264])
        hr = holding_of(img)
        assert hr[209] in written
        assert hr[:209] == default_holding()[:209]
        assert hr[210:] == default_holding()[210:]
        board.start_daemon()
        assert "Go Recovery!!" not in board.log()


# ---- the line -------------------------------------------------------------------------------

@pytest.mark.board(card=False, config=default_image())
def test_bad_frames_cost_little_and_stop_nothing(board):
    c = board.client
    with serial.Serial(board.master, 115200, timeout=0.5) as line:
        def exchange(frame, expect):
            line.reset_input_buffer()
            t0 = time.monotonic()
            line.write(frame)
            got = line.read(expect)
            return got, time.monotonic() - t0

        # Illegal quantity: libmodbus waits its response time-out before it answers.
        got, took = exchange(rtu(bytes([1, 3, 0, 0, 0, 0])), 5)
        assert got[:3] == bytes([1, 0x83, 3]), got
        assert took < 0.1, "an illegal quantity cost %.3f s" % took
        # Unknown function.
        got, took = exchange(rtu(bytes([1, 0x41])), 5)
        assert got[:3] == bytes([1, 0xC1, 1]), got
        assert took < 0.1, "an unknown function cost %.3f s" % took

        # Frames that get no answer: a broken CRC, another slave, a cut frame, noise.
        for junk in (bytes([1, 3, 0, 19, 0, 1, 0, 0]), rtu(bytes([2, 3, 0, 19, 0, 1])),
                     bytes([1, 3, 0]), bytes(rng % 256 for rng in range(7, 7 + 97 * 40, 97))):
            line.reset_input_buffer()
            line.write(junk)
            time.sleep(0.05)
        # A master waits out its own time-out after frames that got no answer;
        # after the request for slave 2 the daemon waits up to 200 ms for its reply.
        time.sleep(0.3)
        board.wait_log(r"Modbus Address:2, inValid!!\r\n")
        assert "receive error: " in board.log()

        # A quantity that would run off the map is refused, and the map is unchanged.
        got, _ = exchange(rtu(bytes([1, 16]) + struct.pack(">HHB", 34399, 2, 4) + b"\xAA\xAA\xBB\xBB"), 5)
        assert got[:3] == bytes([1, 0x90, 2]), got

        # A broadcast is applied but never answered.
        line.reset_input_buffer()
        line.write(rtu(bytes([0, 6]) + struct.pack(">HH", 300, 0x0B0B)))
        assert line.read(8) == b""

    for _ in range(3):
        assert c.read_input_registers(L.IR_IDENT, L.IR_IDENT_N, slave=1).registers == IDENT
    assert read_hr(c, 300) == [0x0B0B]
    assert read_hr(c, 34399) == [0]
    assert board.running()
