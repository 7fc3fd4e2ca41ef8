#!/usr/bin/python3
"""The simulated board: runs the alarmgw daemon away from the hardware.

    /usr/bin/python3 sim/board.py [--root DIR] [--build DIR] [--no-card]
                                  [--init-switch] [--no-modem] [-- daemon args]

Builds the board tree under a fresh root (a new temporary directory unless
--root names one), puts the shadow commands of sim/shadow first on PATH,
links the Modbus line through socat, starts the simulated modem
(sim/modem_sim.py) when it exists, and then the daemon with ALARMGW_ROOT set.
The master's end of the Modbus line is printed: talk to it with mbpoll or
pymodbus at 115200 8N1, slave 1. Ctrl-C ends everything it started.

Tree under the root:

    dev/ttyHSL3                  the daemon's end of the Modbus line (socat)
    dev/smd8                     the AT channel (the modem simulator)
    master                       the master's end of the Modbus line
    sys/class/gpio/export        a regular file
    sys/class/gpio/gpioN/{value,direction,active_low}   every board line, value "0"
    APP/                         config.ini, fw
    media/card/{update,voice}/   the SD card, inserted while media/card exists
    var/                         the daemon makes zrb_318_voice/ itself
    sim/                         daemon.log, socat.log, modem logs, date.log, init.log

As a library (the integration tests use it through tests/integration/conftest.py):

    b = Board(root, build, card=True, init_switch=False, files={...})
    b.start(args=[...]);  b.log();  b.wait_log(r"regex", 5);  b.restart();  b.stop()
"""
import argparse
import atexit
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import weakref

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SHADOW = os.path.join(HERE, "shadow")
MODEM_SIM = os.path.join(HERE, "modem_sim.py")

# The board's GPIO lines, in the order the daemon configures them.
GPIO_LINES = [27, 26, 28, 30, 7, 5, 80, 29, 4, 25, 6, 92, 77, 0]
INIT_SWITCH = 5

# Upper bound of every log wait, however the daemon keeps moving (seconds).
READY_BOUND = 120.0

# Reports of the sanitizers and of libstdc++ that make a run count as broken.
FAULT_PATTERNS = [
    r"ERROR: AddressSanitizer",
    r"ERROR: LeakSanitizer",
    r"WARNING: ThreadSanitizer",
    r"runtime error:",
    r"terminate called",
]


_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def _own_session():
    """In a child before exec: a session of its own (so its whole group can be
    ended), and a TERM when the process that started it dies, however it dies."""
    os.setsid()
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


# Boards with processes still running: ended at exit, whatever ended the script.
_live_boards = weakref.WeakSet()


@atexit.register
def _stop_live_boards():
    for b in list(_live_boards):
        try:
            b.stop()
        except Exception:  # noqa: BLE001 - best effort on the way out
            pass


def default_build():
    return os.environ.get("ALARMGW_BUILD") or os.path.join(REPO, "build")


class BoardError(RuntimeError):
    pass


def _kill_group(proc, timeout=3.0):
    """Ends a child started in its own session, and everything it started."""
    if proc is None or proc.poll() is not None:
        return
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=timeout)
            return
        except subprocess.TimeoutExpired:
            continue
    proc.wait()


class Board:
    """One simulated board under root. Nothing is started by the constructor.

    card: create media/card (update/ and voice/) - the card is inserted.
    init_switch: gpio5/value reads "1" (the init switch is active).
    files: {relative path under root: bytes or str} written before the daemon starts
           (for example {"APP/config.ini": image, "media/card/voice/DO5_ON.wav": wav}).
    modem: start sim/modem_sim.py when it exists; modem_args: extra arguments for it.
    echo: copy the daemon's output to this process's standard output as well.
    """

    def __init__(self, root=None, build=None, card=True, init_switch=False, files=None,
                 modem=True, modem_args=None, echo=False, bus=None):
        self.own_root = root is None
        self.root = os.path.abspath(root or tempfile.mkdtemp(prefix="alarmgw-board-"))
        self.build = os.path.abspath(build or default_build())
        self.daemon_path = os.path.join(self.build, "alarmgw")
        self.card = card
        self.init_switch = init_switch
        self.files = dict(files or {})
        self.use_modem = modem
        self.modem_args = list(modem_args or [])
        self.echo = echo
        # None: socat joins the daemon and the master. A list of "ADDR:MIN_MS:MAX_MS":
        # sim/rs485_bus.py, with these other slaves on the line.
        self.bus = bus
        self.socat = None
        self.modem = None
        self.daemon = None
        self.args = []
        self._held = []          # descriptors on both pty slave ends
        self._pump = None
        self._log_file = None
        self._log_start = 0      # offset of the current daemon run in daemon.log
        self.prepared = False

    # ---- paths ---------------------------------------------------------------
    def path(self, rel):
        return os.path.join(self.root, rel.lstrip("/"))

    @property
    def master(self):
        return self.path("master")

    @property
    def tty(self):
        return self.path("dev/ttyHSL3")

    @property
    def log_path(self):
        return self.path("sim/daemon.log")

    @property
    def config_path(self):
        return self.path("APP/config.ini")

    # ---- the tree --------------------------------------------------------------
    def prepare(self):
        """Builds the board tree and writes the prepared files (idempotent)."""
        for d in ("dev", "sys/class/gpio", "APP", "var", "sim"):
            os.makedirs(self.path(d), exist_ok=True)
        open(self.path("sys/class/gpio/export"), "a").close()
        for n in GPIO_LINES:
            g = self.path("sys/class/gpio/gpio%d" % n)
            os.makedirs(g, exist_ok=True)
            for name in ("value", "direction", "active_low"):
                p = os.path.join(g, name)
                if not os.path.exists(p):
                    with open(p, "w") as f:
                        f.write("0")
        self.set_init_switch(self.init_switch)
        if self.card:
            self.insert_card()
        else:
            self.remove_card()
        for rel, data in self.files.items():
            self.write_file(rel, data)
        # Shadow commands must be executable whatever the checkout did to them.
        for name in os.listdir(SHADOW):
            p = os.path.join(SHADOW, name)
            if not os.access(p, os.X_OK):
                os.chmod(p, os.stat(p).st_mode | 0o111)
        self.prepared = True

    def write_file(self, rel, data):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb" if isinstance(data, (bytes, bytearray)) else "w") as f:
            f.write(data)

    def read_file(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read()

    def set_init_switch(self, active):
        self.init_switch = active
        with open(self.path("sys/class/gpio/gpio%d/value" % INIT_SWITCH), "w") as f:
            f.write("1" if active else "0")

    def insert_card(self):
        for d in ("media/card/update", "media/card/voice"):
            os.makedirs(self.path(d), exist_ok=True)

    def remove_card(self):
        shutil.rmtree(self.path("media/card"), ignore_errors=True)
        os.makedirs(self.path("media"), exist_ok=True)

    def env(self):
        e = dict(os.environ)
        e["ALARMGW_ROOT"] = self.root
        e["PATH"] = SHADOW + os.pathsep + e.get("PATH", "/usr/bin:/bin")
        return e

    # ---- the processes -------------------------------------------------------------
    def start(self, args=None, wait=True, timeout=15.0):
        """Starts the line, the modem and the daemon; waits until the daemon listens."""
        if not self.prepared:
            self.prepare()
        if not os.access(self.daemon_path, os.X_OK):
            raise BoardError("no daemon at %s (build it first)" % self.daemon_path)
        self.start_line()
        self.start_modem()
        self.start_daemon(args, wait=wait, timeout=timeout)
        return self

    def start_line(self):
        _live_boards.add(self)
        if self.socat is not None and self.socat.poll() is None:
            return
        for p in (self.tty, self.master):
            if os.path.lexists(p):
                os.unlink(p)
        if self.bus is not None:
            self._start_bus()
            return
        log = open(self.path("sim/socat.log"), "ab")
        self.socat = subprocess.Popen(
            ["socat", "-d", "-d",
             "pty,raw,echo=0,link=%s" % self.tty,
             "pty,raw,echo=0,link=%s" % self.master],
            stdout=log, stderr=log, stdin=subprocess.DEVNULL, preexec_fn=_own_session)
        log.close()
        deadline = time.monotonic() + READY_BOUND   # the child alive: still coming up
        while not (os.path.exists(self.tty) and os.path.exists(self.master)):
            if self.socat.poll() is not None or time.monotonic() > deadline:
                raise BoardError("socat did not link the Modbus line (see %s)" % self.path("sim/socat.log"))
            time.sleep(0.02)
        # A pty's slave end hangs up when its last holder closes it, and socat
        # then ends: hold both ends so the daemon and the master can come and go.
        for p in (self.tty, self.master):
            self._held.append(os.open(p, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))

    def _start_bus(self):
        cmd = ["/usr/bin/python3", os.path.join(HERE, "rs485_bus.py"), "--link", self.tty, "--link", self.master]
        for s in self.bus:
            cmd += ["--slave", s]
        log = open(self.path("sim/bus.log"), "ab")
        self.socat = subprocess.Popen(cmd, stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                                      preexec_fn=_own_session)
        log.close()
        deadline = time.monotonic() + READY_BOUND   # the child alive: still coming up
        while not (os.path.exists(self.tty) and os.path.exists(self.master)):
            if self.socat.poll() is not None or time.monotonic() > deadline:
                raise BoardError("the bus did not link the Modbus line (see %s)" % self.path("sim/bus.log"))
            time.sleep(0.02)

    def unplug_line(self, plug=False):
        """On the bus: pulls the daemon's adapter out (plug=True: a fresh one in)."""
        self.socat.send_signal(signal.SIGUSR2 if plug else signal.SIGUSR1)

    def start_modem(self):
        _live_boards.add(self)
        if not self.use_modem or not os.path.exists(MODEM_SIM):
            return
        if self.modem is not None and self.modem.poll() is None:
            return
        ready = self.path("sim/modem.ready")
        if os.path.exists(ready):
            os.unlink(ready)
        log = open(self.path("sim/modem.log"), "ab")
        self.modem = subprocess.Popen(
            ["/usr/bin/python3", MODEM_SIM, "--root", self.root] + self.modem_args,
            stdout=log, stderr=log, stdin=subprocess.DEVNULL, preexec_fn=_own_session, env=self.env())
        log.close()
        deadline = time.monotonic() + READY_BOUND   # the child alive: still coming up
        while not os.path.exists(ready):
            if self.modem.poll() is not None or time.monotonic() > deadline:
                raise BoardError("the modem simulator did not come up (see %s)" % self.path("sim/modem.log"))
            time.sleep(0.05)

    def start_daemon(self, args=None, wait=True, timeout=15.0):
        _live_boards.add(self)
        if self.daemon is not None and self.daemon.poll() is None:
            raise BoardError("the daemon is already running")
        self.args = list(args or [])
        self._log_file = open(self.log_path, "ab")
        self._log_start = self._log_file.tell()
        cmd = [self.daemon_path] + self.args
        if self.echo:
            self.daemon = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                           stdin=subprocess.DEVNULL, preexec_fn=_own_session,
                                           env=self.env(), cwd=self.root)
            self._pump = threading.Thread(target=self._pump_output, args=(self.daemon, self._log_file),
                                          daemon=True)
            self._pump.start()
        else:
            self.daemon = subprocess.Popen(cmd, stdout=self._log_file, stderr=subprocess.STDOUT,
                                           stdin=subprocess.DEVNULL, preexec_fn=_own_session,
                                           env=self.env(), cwd=self.root)
        if wait:
            self.wait_ready(timeout)
        return self.daemon

    @staticmethod
    def _pump_output(proc, log):
        for chunk in iter(lambda: proc.stdout.read1(4096), b""):
            log.write(chunk)
            log.flush()
            sys.stdout.buffer.write(chunk)
            sys.stdout.buffer.flush()

    def wait_ready(self, timeout=15.0):
        """Waits until the listen thread waits for its first request: while the
        daemon lives and its output moves on, up to READY_BOUND seconds."""
        self.wait_log(r"Waiting for an? indication", timeout)

    def stop_daemon(self, sig=signal.SIGTERM):
        """Ends the daemon (SIGKILL models a power cut); the line and the modem stay."""
        d = self.daemon
        if d is not None and d.poll() is None:
            if sig == signal.SIGKILL:
                try:
                    os.killpg(d.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                d.wait()
            else:
                _kill_group(d)
        if self._pump is not None:
            self._pump.join(timeout=5)
            self._pump = None
        if self._log_file is not None:
            self._log_file.close()
            self._log_file = None

    def restart(self, args=None, wait=True, timeout=15.0):
        """A new run of the daemon on the same board (files, line and modem kept)."""
        self.stop_daemon()
        return self.start_daemon(args, wait=wait, timeout=timeout)

    def stop(self):
        """Ends everything this board started. Returns the fault reports found in the log."""
        self.stop_daemon()
        faults = self.faults()
        _kill_group(self.modem)
        self.modem = None
        for fd in self._held:
            try:
                os.close(fd)
            except OSError:
                pass
        self._held = []
        _kill_group(self.socat)
        self.socat = None
        return faults

    def cleanup(self):
        """Stops everything and removes a root this board created itself."""
        self.stop()
        if self.own_root:
            shutil.rmtree(self.root, ignore_errors=True)

    def running(self):
        return self.daemon is not None and self.daemon.poll() is None

    # ---- the log -----------------------------------------------------------------
    def log(self, whole=False):
        """Output of the current daemon run (whole=True: of every run on this board)."""
        try:
            with open(self.log_path, "rb") as f:
                if not whole:
                    f.seek(self._log_start)
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, pattern, timeout=5.0, since=0):
        """Waits for a regular expression in the current run's output (from offset
        since); returns the match. The time-out follows progress, so a loaded
        machine does not fail a test: it counts from the last time the output
        grew, and the process using the CPU also counts as moving on; the whole
        wait is bounded by max(READY_BOUND, 4 x timeout). Raises BoardError
        with the log tail when the wait gives up or the daemon ends first."""
        rx = re.compile(pattern)
        start = time.monotonic()
        bound = start + max(READY_BOUND, 4 * timeout)
        deadline = start + timeout
        seen, cpu = -1, self._cpu_ticks()
        while True:
            text = self.log()
            m = rx.search(text, since)
            if m:
                return m
            if not self.running():
                raise BoardError("daemon ended (status %s) before %r appeared:\n%s"
                                 % (self.daemon.returncode if self.daemon else None, pattern, text[-3000:]))
            now = time.monotonic()
            c = self._cpu_ticks()
            if len(text) != seen or c > cpu + 1:
                seen, cpu = len(text), c
                deadline = max(deadline, now + timeout)
            if now > min(deadline, bound):
                raise BoardError("%r did not appear within %.1f s:\n%s" % (pattern, now - start, text[-3000:]))
            time.sleep(0.02)

    def _cpu_ticks(self):
        """CPU time the daemon has used (clock ticks); 0 when unknown."""
        try:
            with open("/proc/%d/stat" % self.daemon.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])
        except (OSError, AttributeError, IndexError, ValueError):
            return 0

    def faults(self):
        text = self.log(whole=True)
        return [line for line in text.splitlines() if any(re.search(p, line) for p in FAULT_PATTERNS)]


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    daemon_args = []
    if "--" in argv:
        i = argv.index("--")
        argv, daemon_args = argv[:i], argv[i + 1:]
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--root", help="board root (default: a new temporary directory)")
    ap.add_argument("--build", default=default_build(), help="build directory holding alarmgw (default: %(default)s)")
    ap.add_argument("--no-card", action="store_true", help="start without an SD card")
    ap.add_argument("--init-switch", action="store_true", help="start with the init switch active")
    ap.add_argument("--no-modem", action="store_true", help="do not start the modem simulator")
    ap.add_argument("--quiet", action="store_true", help="do not copy the daemon's output here")
    opts = ap.parse_args(argv)

    if opts.root:
        os.makedirs(opts.root, exist_ok=True)
    board = Board(root=opts.root, build=opts.build, card=not opts.no_card, init_switch=opts.init_switch,
                  modem=not opts.no_modem, echo=not opts.quiet)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    try:
        board.prepare()
        board.start_line()
        board.start_modem()
        print("board root:   %s" % board.root, flush=True)
        print("Modbus master end: %s  (115200 8N1, slave 1)" % board.master, flush=True)
        print("  mbpoll -m rtu -b 115200 -P none -a 1 -0 -1 -t 3 -r 19 -c 6 %s" % board.master, flush=True)
        print("daemon log:   %s" % board.log_path, flush=True)
        board.start_daemon(daemon_args, wait=False)
        while not stop.is_set():
            if not board.running():
                print("daemon ended with status %s" % board.daemon.returncode, flush=True)
                break
            stop.wait(0.5)
    except BoardError as e:
        print("board: %s" % e, file=sys.stderr)
        return 1
    finally:
        faults = board.stop()
        for line in faults:
            print("fault: %s" % line, file=sys.stderr)
        print("board stopped; root kept at %s" % board.root, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
