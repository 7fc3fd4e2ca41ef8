"""Board I/O and the SD card on the simulated board: the GPIO tree the daemon
leaves, the clock set from the (absent) battery-backed clock, the init switch,
the voice-file bitmaps and links, and the configuration and firmware updates."""
import os
import re
import signal
import subprocess
import time

import pytest

from conftest import default_image, wait_state
from sim import maplayout as L
from sim.mbmaster import set_alarm, set_phone, wav_bytes, wav_file, write_coil

BOARD_LINES = {
    # line: (direction, active_low, value written at start-up or None for inputs)
    27: ("in", "1", None), 26: ("in", "1", None), 28: ("in", "1", None), 30: ("in", "1", None),
    7: ("in", "1", None), 5: ("in", "0", None), 80: ("in", "0", None),
    29: ("out", "0", "0"), 4: ("out", "0", "0"), 25: ("out", "0", "0"), 6: ("out", "0", "0"),
    0: ("out", "0", "0"),
}
STA_LED, GPS_LED = 77, 92


wav = wav_file


def gpio_file(board, line, leaf):
    return board.read_file("sys/class/gpio/gpio%d/%s" % (line, leaf))


def led_samples(board, line, seconds, step=0.01):
    """The LED line sampled for a while: the share of samples that read on."""
    on = total = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        v = gpio_file(board, line, "value")
        on += v[:1] == b"1"
        total += 1
        time.sleep(step)
    return on / max(total, 1)


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])   # utime + stime


@pytest.mark.board(card=False)
def test_gpio_tree_clock_fallback_and_switch_off(board):
    for line, (direction, active_low, value) in BOARD_LINES.items():
        # The sysfs texts carry their terminating zero byte.
        assert gpio_file(board, line, "direction") == direction.encode() + b"\0", line
        assert gpio_file(board, line, "active_low") == active_low.encode() + b"\0", line
        if value is None:
            assert gpio_file(board, line, "value") in (b"0", b"1"), line   # inputs are never written
        else:
            assert gpio_file(board, line, "value") == value.encode() + b"\0", line
    for led in (STA_LED, GPS_LED):
        assert gpio_file(board, led, "direction") == b"out\0"
        assert gpio_file(board, led, "value") in (b"0\0", b"1\0")   # driven by the LED thread
    # Every line was there already: nothing was exported.
    assert board.read_file("sys/class/gpio/export") == b""

    # No I2C bus on this board: reported, and the clock falls back to 2000-01-01.
    log = board.log()
    assert "I2C_W>> open %s error -1" % board.path("dev/i2c-0") in log
    assert "Set ADC ERROR, ret=-1" in log
    assert "ADC>> Read Error, ret=-1" in log
    assert board.read_file("sim/date.log").decode().splitlines() == ['-s "2000-01-01 00:00:00"']

    r = board.client.read_discrete_inputs(3, 1, slave=1)
    assert not r.isError()
    assert r.bits[0] is False
    # No card: the voice bitmaps are cleared.
    r = board.client.read_input_registers(L.IR_WAV_PRESENT, 2 * L.IR_WAV_N, slave=1)
    assert r.registers == [0] * 32


@pytest.mark.board(card=False, init_switch=True)
def test_init_switch_shows_in_discrete_input_3(board):
    assert gpio_file(board, 5, "value") == b"1"   # an input: read, never written
    r = board.client.read_discrete_inputs(3, 1, slave=1)
    assert not r.isError()
    assert r.bits[0] is True


VOICE = {
    "media/card/voice/DO0_ON.wav": wav(),
    "media/card/voice/DO0_OFF.wav": wav(channels=2),
    "media/card/voice/DO9_OFF.wav": wav(fmt_code=3),
    "media/card/voice/DO127_ON.wav": wav(list_chunk=True),
    "media/card/voice/DO127_OFF.wav": b"12345",
    "media/card/voice/DO64_ON.wav": wav(rate=16000),
}


@pytest.mark.board(files=VOICE, config=default_image(ir={L.IR_WAV_PRESENT + j: 0xFFFF for j in range(2 * L.IR_WAV_N)}))
def test_voice_bitmaps_and_links(board):
    r = board.client.read_input_registers(L.IR_WAV_PRESENT, 2 * L.IR_WAV_N, slave=1)
    assert not r.isError()
    presence, fmt = r.registers[:16], r.registers[16:]
    want_p = [0] * 16
    want_f = [0] * 16
    want_p[0], want_f[0] = 0x0003, 0x0001      # alarm 0: ON good, OFF stereo
    want_p[1], want_f[1] = 0x0008, 0x0008      # alarm 9: OFF, format code 3 passes
    want_p[8], want_f[8] = 0x0001, 0x0000      # alarm 64: ON at 16 kHz
    want_p[15], want_f[15] = 0xC000, 0x4000    # alarm 127: ON with a LIST chunk passes, OFF is 5 bytes
    assert presence == want_p
    assert fmt == want_f

    card = board.path("media/card/voice")
    # A link per alarm and edge, pointing at the card file of the same name.
    links = board.path("var/zrb_318_voice")
    names = sorted(os.listdir(links))
    assert len(names) == 256
    for n in (0, 9, 64, 127, 50):
        for edge in ("ON", "OFF"):
            p = os.path.join(links, "DO%d_%s.wav" % (n, edge))
            assert os.path.islink(p)
            assert os.readlink(p) == os.path.join(card, "DO%d_%s.wav" % (n, edge))
    assert open(os.path.join(links, "DO0_ON.wav"), "rb").read() == VOICE["media/card/voice/DO0_ON.wav"]

    # A second start finds every link and makes none.
    before = os.lstat(os.path.join(links, "DO50_ON.wav")).st_mtime_ns
    board.restart()
    assert os.lstat(os.path.join(links, "DO50_ON.wav")).st_mtime_ns == before


@pytest.mark.board(config=default_image(hr={5: 0x0003}),
                   files={"media/card/update/config.ini": default_image(hr={5: 0x0102, 300: 4321})})
def test_configuration_update(board):
    # The new configuration is in force, the old one is the card's backup.
    r = board.client.read_holding_registers(300, 1, slave=1)
    assert r.registers == [4321]
    assert board.client.read_holding_registers(5, 1, slave=1).registers == [0x0102]
    upd = board.path("media/card/update")
    assert sorted(os.listdir(upd)) == ["config.ini.bck"]
    assert board.read_file("media/card/update/config.ini.bck") == default_image(hr={5: 0x0003})
    assert board.read_file("APP/config.ini") == default_image(hr={5: 0x0102, 300: 4321})


def run_fw_update(make_board, files):
    old_config = default_image(hr={5: 0x0007})
    files = dict(files)
    files["APP/config.ini"] = old_config
    files["APP/fw"] = b"old firmware"
    # Started at once without waiting for the listener: this mode never listens.
    b = make_board(files=files, wait=False)
    b.wait_log(r"FW Update, only do LED\.\r", timeout=10)
    t0 = time.monotonic()
    return b, old_config, t0


def wait_reboot(b, t0):
    init_log = b.path("sim/init.log")
    while not os.path.exists(init_log) and b.running() and time.monotonic() - t0 < 120:
        time.sleep(0.05)
    took = time.monotonic() - t0
    assert os.path.exists(init_log), "no reboot request"
    assert took >= 8.5, took   # the pattern is shown first, however long it takes
    assert b.read_file("sim/init.log").decode().splitlines() == ["6"]
    # main returns after the request.
    b.daemon.wait(5)
    assert b.daemon.returncode == 0


def test_firmware_update(make_board):
    b, old_config, t0 = run_fw_update(make_board, {"media/card/update/fw": b"new firmware"})
    # Pattern 5 on both LEDs: 100 ms on, 100 ms off, switched together.
    share = led_samples(b, STA_LED, 2.0)
    assert 0.3 <= share <= 0.7, share
    same = sum(gpio_file(b, STA_LED, "value") == gpio_file(b, GPS_LED, "value") for _ in range(50))
    assert same >= 40, same
    # Only the LED thread runs: nobody answers the master.
    assert b.client.read_holding_registers(0, 1, slave=1).isError()
    wait_reboot(b, t0)
    assert b.read_file("APP/fw") == b"new firmware"
    assert b.read_file("media/card/update/fw.bck") == b"old firmware"
    assert not os.path.exists(b.path("APP/config.ini"))
    assert b.read_file("media/card/update/config.ini.bck") == old_config
    assert sorted(os.listdir(b.path("media/card/update"))) == ["config.ini.bck", "fw.bck"]


def test_empty_firmware_is_refused_once_with_pattern_6(make_board):
    b, old_config, t0 = run_fw_update(make_board, {"media/card/update/fw": b""})
    pid = b.daemon.pid
    ticks0 = cpu_ticks(pid)
    w0 = time.monotonic()
    # Refused: the card file is recorded as tried.
    wait_state(b, lambda: os.path.exists(b.path("APP/update.tried")), 10, "the refusal recorded")
    assert not os.path.exists(b.path("media/card/update/fw.bck"))
    # Pattern 6: 100 ms on, 900 ms off.
    share = led_samples(b, STA_LED, 3.0)
    assert 0.03 <= share <= 0.3, share
    # Well under a core while it waits for the reboot.
    busy = (cpu_ticks(pid) - ticks0) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - w0)
    assert busy < 0.2, busy
    wait_reboot(b, t0)
    # Nothing was replaced, and the configuration stays.
    assert b.read_file("APP/fw") == b"old firmware"
    assert b.read_file("APP/config.ini") == old_config
    # The same card file again: a normal start that serves the master and shows the failure.
    b.restart()
    assert b.client.read_holding_registers(5, 1, slave=1).registers == [0x0007]
    assert b.read_file("sim/init.log").decode().splitlines() == ["6"]   # no second update run
    assert 0.03 <= led_samples(b, STA_LED, 2.0) <= 0.3


@pytest.fixture
def card_mount():
    """Mounts a small tmpfs at a board's card (read-only on request); unmounted at teardown.
    Request it before make_board so the daemon is stopped before the unmount."""
    mounted = []

    def mount(board, size, files, read_only=False):
        card = board.path("media/card")
        os.makedirs(card, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", card], check=True)
        mounted.append(card)
        for rel, data in files.items():
            board.write_file(rel, data)
        board.insert_card()
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", card], check=True)

    try:
        yield mount
    finally:
        for card in mounted:
            if subprocess.run(["umount", card]).returncode != 0:
                subprocess.run(["umount", "-l", card])


def test_full_card_keeps_the_configuration(card_mount, make_board):
    old_config = default_image(hr={5: 0x0007})   # an image is more than the card holds
    b = make_board(card=False, start=False, files={"APP/config.ini": old_config, "APP/fw": b"old firmware"})
    card_mount(b, "64k", {"media/card/update/fw": b"new firmware"})
    b.start(wait=False)
    # The card's firmware goes last, once installed.
    wait_state(b, lambda: sorted(os.listdir(b.path("media/card/update"))) == ["fw.bck"], 20, "the firmware installed")
    assert b.read_file("APP/fw") == b"new firmware"
    assert b.read_file("media/card/update/fw.bck") == b"old firmware"
    assert b.read_file("APP/config.ini") == old_config
    assert sorted(os.listdir(b.path("media/card/update"))) == ["fw.bck"]


def test_read_only_card_is_tried_once(card_mount, make_board):
    old_config = default_image(hr={5: 0x0007})
    b = make_board(card=False, start=False, files={"APP/config.ini": old_config, "APP/fw": b"old firmware"})
    card_mount(b, "1m", {"media/card/update/fw": b"new firmware",
                         "media/card/update/config.ini": default_image(hr={5: 0x0102})}, read_only=True)
    b.start(wait=False)

    def tried():
        # Both card files refused (no backup on a read-only card): each recorded as tried.
        p = b.path("APP/update.tried")
        names = [ln.split()[0] for ln in open(p).read().splitlines() if ln.strip()] if os.path.exists(p) else []
        return sorted(names) == ["config.ini", "fw"]

    wait_state(b, tried, 20, "both refusals recorded")
    b.stop_daemon(signal.SIGKILL)
    b.start_daemon()   # serving the master: not a second update run
    assert b.client.read_holding_registers(5, 1, slave=1).registers == [0x0007]
    assert b.read_file("APP/fw") == b"old firmware"
    assert b.read_file("APP/config.ini") == old_config


def test_read_only_card_firmware_is_tried_once_then_the_master_is_served(card_mount, make_board):
    old_config = default_image(hr={5: 0x0007})
    b = make_board(card=False, start=False, files={"APP/config.ini": old_config})
    card_mount(b, "1m", {"media/card/update/fw": b"new firmware"}, read_only=True)
    b.start(wait=False)
    b.wait_log(r"FW Update, only do LED\.\r", timeout=10)
    wait_reboot(b, time.monotonic())
    # The next start with the same card serves the master as a normal start does.
    b.start_daemon(wait=False)
    t0 = time.monotonic()
    while b.client.read_holding_registers(5, 1, slave=1).isError():
        assert b.running() and time.monotonic() - t0 < 60
    print("answered %.1f s after the second start" % (time.monotonic() - t0))
    assert b.client.read_holding_registers(5, 1, slave=1).registers == [0x0007]
    # Served, not a second firmware-update run: no new reboot request, the old
    # configuration kept, and the card file untouched.
    assert b.read_file("sim/init.log").decode().splitlines() == ["6"]
    assert b.read_file("APP/config.ini") == old_config
    assert b.read_file("media/card/update/fw") == b"new firmware"


def test_killed_install_leaves_old_or_new_firmware(make_board):
    new_fw = os.urandom(1 << 20) * 64
    b = make_board(start=False, files={"APP/config.ini": default_image(), "APP/fw": b"old firmware",
                                       "media/card/update/fw": new_fw})
    for delay in (0.0, 0.05, 0.2, 0.5):
        b.start_daemon(wait=False)
        b.wait_log(r"Got the new fw!!\r", timeout=10)
        time.sleep(delay)
        b.stop_daemon(signal.SIGKILL)
        fw = b.read_file("APP/fw")
        assert fw in (b"old firmware", new_fw), (delay, len(fw))
        b.write_file("APP/fw", b"old firmware")
        b.write_file("media/card/update/fw", new_fw)


def peak_rss_kib(pid):
    return int(re.search(r"VmHWM:\s+(\d+)", open("/proc/%d/status" % pid).read()).group(1))


def test_fifo_and_large_voice_file_never_stall_the_listener(make_board):
    b = make_board(config=default_image(), start=False)
    os.mkfifo(b.path("media/card/voice/DO3_ON.wav"))
    big = b.path("media/card/voice/DO12_ON.wav")
    b.write_file("media/card/voice/DO12_ON.wav", wav_bytes(0.01))
    os.truncate(big, 150 << 20)   # sparse samples
    b.start()
    c = b.client
    valid = c.read_input_registers(L.IR_WAV_VALID, L.IR_WAV_N, slave=1).registers
    assert not valid[L.wav_word(3)] >> L.wav_bit(3, False) & 1        # the FIFO is refused
    assert valid[L.wav_word(12)] >> L.wav_bit(12, False) & 1           # judged by its header
    rss0 = peak_rss_kib(b.daemon.pid)
    set_phone(c, 2, 0, "0644444444")
    set_alarm(c, 12, [2], on_text="Intrusion", sms=False, voice=True)
    t0 = time.monotonic()
    write_coil(c, 12, True)
    assert not c.read_holding_registers(5, 1, slave=1).isError()
    print("answered %.1f ms after the alarm" % ((time.monotonic() - t0) * 1000))
    b.wait_log(r"Send Voice", timeout=30)
    # The samples are never read: the peak resident size grows by far less than 16 MiB.
    grown = peak_rss_kib(b.daemon.pid) - rss0
    assert grown < 16 * 1024, grown
