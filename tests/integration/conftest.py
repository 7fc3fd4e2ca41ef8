"""Shared fixtures of the integration tests: the real daemon on the simulated board.

Run with /usr/bin/python3 -m pytest tests/integration (the build directory is
$ALARMGW_BUILD, else build/ at the top of the tree; ctest sets it).

Fixtures
--------

``board``
    A fresh simulated board (``sim/board.py``) under the test's tmp_path, started:
    socat links the Modbus line, the modem simulator runs (when sim/modem_sim.py
    exists), the daemon runs with ALARMGW_ROOT set and listens. Options come from
    a marker on the test (or its class/module)::

        @pytest.mark.board(card=False, init_switch=True, args=["-resetconfig"],
                           config=image_bytes, files={"media/card/voice/DO5_ON.wav": wav},
                           modem=True, modem_args=[...], wait=True)
        def test_x(board): ...

    - ``config``: bytes written to APP/config.ini before the start (default: none,
      so the daemon writes its defaults through the start-up recovery).
    - ``files``: {path relative to the root: bytes or str} written before the start.
    - ``card``: the SD card is inserted (default True: media/card/{update,voice}).
    - ``init_switch``: gpio5/value reads "1".
    - ``args``: daemon command-line arguments.
    - ``wait``: wait until the listen thread waits for requests (default True).

    The object is a ``sim.board.Board`` with, in addition:

    - ``board.client``: a pymodbus 3.0 ``ModbusSerialClient`` on the master end,
      115200 8N1, time-out 2 s, no retries; requests go to slave 1 unless a
      ``slave=`` argument says otherwise.
    - ``board.root`` (str), ``board.path(rel)``, ``board.read_file(rel)``,
      ``board.write_file(rel, data)``, ``board.config_path``, ``board.master``.
    - ``board.log()``: the current daemon run's output (``log(whole=True)``: all runs).
    - ``board.wait_log(regex, timeout=5, since=0)``: waits for a match and returns
      it; raises with the log tail on time-out or when the daemon ended.
    - ``board.stop_daemon(sig=SIGTERM)`` (SIGKILL models a power cut),
      ``board.restart(args=[...], wait=True)``: a new run on the same root, line and
      modem; ``board.stop()`` ends everything (done at teardown).
    - ``board.set_init_switch(bool)``, ``board.insert_card()``, ``board.remove_card()``.

    At teardown the test fails when the daemon's output holds a sanitizer report;
    when the test failed, the tail of the daemon's output is printed.

``make_board``
    A factory for tests that need to prepare more than the marker allows, or
    several boards: ``b = make_board(card=False, start=False)``, then
    ``b.write_file(...)`` and ``b.start(args=[...])``; ``b.client`` is made on
    start. Every board it made is stopped at teardown.

Helpers importable from this module (``from conftest import ...``):
``default_image(hr=None, ir=None, coils=None, di=None)`` (a configuration
image with the factory defaults as the daemon's code writes them, entries
overridden by {address: value}), ``default_holding()``, ``alarm_text_reg(i)``,
``IDENT`` (the identification input registers), ``CONFIG_SIZE``,
``wait_state(board, predicate, timeout, what)`` (waits on a register, a file
or what the simulated network saw, rather than on the daemon's log). Register
facts come from ``sim.maplayout`` (the register map's header, read at import).
"""
import os
import struct
import subprocess
import sys
import tempfile
import time

import pytest

import sim.board
import sim.mbmaster
import sim.modem_pdu
import sim.modemctl
from sim import maplayout as L
from sim.board import Board, default_build

# Tests written as "from mbmaster import ..." get the package's modules.
for _name in ("board", "mbmaster", "modemctl", "modem_pdu"):
    sys.modules.setdefault(_name, getattr(sim, _name))

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

CONFIG_SIZE = L.IMG_SIZE
IDENT = list(L.IDENT)
alarm_text_reg = L.alarm_text_reg


def wait_state(board, predicate, timeout, what):
    """Polls predicate() until it gives a true value, which is returned: the
    outcome as the master or the network sees it. The bound is generous (a
    loaded machine is slow, not wrong); a daemon that ended fails at once."""
    end = time.monotonic() + timeout
    while True:
        v = predicate()
        if v:
            return v
        if not board.running():
            raise AssertionError("the daemon ended before %s:\n%s" % (what, board.log()[-3000:]))
        if time.monotonic() > end:
            raise AssertionError("%s not seen within %.0f s:\n%s" % (what, timeout, board.log()[-3000:]))
        time.sleep(0.05)


def _agwctl():
    """agwctl of the build under test; else the tree's own build, made on demand."""
    for d in (default_build(), os.path.join(REPO, "build")):
        exe = os.path.join(d, "agwctl")
        if os.access(exe, os.X_OK):
            return exe
    build = os.path.join(REPO, "build")
    if os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "--build", build, "--target", "agwctl"], check=True, timeout=900,
                       stdout=subprocess.DEVNULL)
        return os.path.join(build, "agwctl")
    raise RuntimeError("no agwctl in %s: build the tree first (the factory defaults come from it)" % default_build())


def _factory_image():
    """The factory-default image as the daemon's own code writes it: agwctl
    turns an empty site file into an image (cached per agwctl build)."""
    exe = _agwctl()
    key = (exe, os.stat(exe).st_mtime_ns)
    if _factory_image.cache[0] != key:
        with tempfile.TemporaryDirectory() as d:
            site, img = os.path.join(d, "empty.toml"), os.path.join(d, "config.ini")
            open(site, "w").close()
            subprocess.run([exe, "image", site, "-o", img], check=True, timeout=60)
            with open(img, "rb") as f:
                data = f.read()
        assert len(data) == L.IMG_SIZE, len(data)
        _factory_image.cache = (key, data)
    return _factory_image.cache[1]


_factory_image.cache = (None, b"")


def _tables(image):
    return (list(image[L.IMG_OFF_DI:L.IMG_OFF_DO]), list(image[L.IMG_OFF_DO:L.IMG_OFF_AI]),
            list(struct.unpack_from("<%dH" % L.INPUT, image, L.IMG_OFF_AI)),
            list(struct.unpack_from("<%dH" % L.HOLDING, image, L.IMG_OFF_AO)))


def default_holding():
    """The holding registers after a factory reset."""
    return _tables(_factory_image())[3]


def default_text(alarm, on=True):
    """Alarm n's factory ON (or OFF) text, as the daemon writes it."""
    h = default_holding()
    first = L.alarm_text_reg(alarm) if on else L.alarm_off_text_reg(alarm)
    units = [((r & 0xFF) << 8) | (r >> 8) for r in h[first:first + L.TEXT_N]]
    return "".join(chr(u) for u in units if u)


def default_image(hr=None, ir=None, coils=None, di=None):
    """A configuration file image: factory defaults, then the given overrides
    ({address: value} for each table)."""
    d, c, i, h = _tables(_factory_image())
    for table, over in ((d, di), (c, coils), (i, ir), (h, hr)):
        for a, v in (over or {}).items():
            table[a] = v
    return bytes(d) + bytes(c) + struct.pack("<%dH" % L.INPUT, *i) + struct.pack("<%dH" % L.HOLDING, *h)


def default_modem_args():
    # The modem is as unkind as a real module unless ALARMGW_MODEM=kind; its
    # network confirms in 1 to 3 s (not 1 to 10) to keep the suite's time.
    if os.environ.get("ALARMGW_MODEM", "realistic") == "kind":
        return []
    return ["--realistic", "--confirm-time", os.environ.get("ALARMGW_CONFIRM_TIME", "1,3")]


def _client(board):
    return sim.mbmaster.client(board.master)


class _Boards:
    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.made = []

    def make(self, card=True, init_switch=False, files=None, config=None, modem=True, modem_args=None,
             args=None, start=True, wait=True):
        root = self.tmp_path / ("board%d" % len(self.made))
        root.mkdir()
        files = dict(files or {})
        if modem_args is None:
            modem_args = default_modem_args()
        if config is not None:
            files["APP/config.ini"] = config
        b = Board(root=str(root), build=default_build(), card=card, init_switch=init_switch, files=files,
                  modem=modem, modem_args=modem_args)
        b.client = None
        self.made.append(b)
        b.prepare()
        orig_start = b.start

        def start_with_client(args=None, wait=True, timeout=15.0):
            orig_start(args=args, wait=wait, timeout=timeout)
            if b.client is None:
                b.client = _client(b)
            return b

        # Not named start: that would hide the start=False argument.
        b.start = start_with_client
        if start:
            b.start(args=args, wait=wait)
        return b

    def finish(self):
        faults = []
        for b in self.made:
            if b.client is not None:
                b.client.close()
            faults += b.stop()
        return faults


def _show_logs_on_failure(request, boards):
    rep = getattr(request.node, "rep_call", None)
    if rep is not None and rep.failed:
        for b in boards.made:
            tail = b.log(whole=True)[-4000:]
            print("\n---- daemon output (%s), last 4000 characters ----\n%s" % (b.log_path, tail))


@pytest.fixture
def make_board(request, tmp_path):
    boards = _Boards(tmp_path)
    try:
        yield boards.make
    finally:
        _show_logs_on_failure(request, boards)
        faults = boards.finish()
    assert not faults, "sanitizer reports in the daemon's output:\n" + "\n".join(faults)


@pytest.fixture
def board(request, tmp_path):
    marker = request.node.get_closest_marker("board")
    opts = dict(marker.kwargs) if marker else {}
    boards = _Boards(tmp_path)
    try:
        b = boards.make(**opts)
        yield b
    finally:
        _show_logs_on_failure(request, boards)
        faults = boards.finish()
    assert not faults, "sanitizer reports in the daemon's output:\n" + "\n".join(faults)


@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_runtest_makereport(item, call):
    # Lets the fixtures see whether the test itself failed.
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)


def pytest_configure(config):
    config.addinivalue_line("markers", "board(**options): options of the board fixture (see conftest.py)")
