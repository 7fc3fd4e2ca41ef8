#!/usr/bin/python3
"""Benchmarks of alarmgw on the simulated board, each against a reference
measured in the same run on the same machine.

    /usr/bin/python3 bench/run_bench.py [--build DIR] [--rounds N] [--runs N]
                                        [--idle SECONDS] [--no-write] [--line]

Builds nothing. It needs, built beforehand in DIR (default $ALARMGW_BUILD,
else build/ at the top of the tree), preferably without sanitizers:

    make -C DIR alarmgw bench_ref_server bench_mb_client bench_save

Measures:
  - Modbus round trips (read 125 holding registers, write one coil without an
    action, write 100 registers) of the daemon on the simulated board against
    bench_ref_server, a bare libmodbus RTU server over the same kind of socat
    pseudo-terminal link; goal: daemon median / reference median <= 1.05;
  - the cost on the line of one malformed request (an unknown function answered
    with an exception, and a read with a broken CRC); goal: under 60 ms;
  - a line shared with another slave that answers 5..50 ms late
    (sim/rs485_bus.py): requests to us answered, in %, against
    bench_ref_server on the same kind of bus; goal: 100 %;
  - resident memory over 30 recovery keys in a row; goal: growth <= 1 MiB;
  - idle CPU of the whole daemon with a registered modem (utime + stime from
    /proc/PID/stat, % of one core; goal under 1 %) and its resident memory
    (VmRSS; goal under 4 MiB), with a per-thread breakdown;
  - alarm to AT+CMGS latency, when bench/alarm_latency.py exists;
  - save_config (the atomic save) against a plain write of the same bytes.

Prints the table and writes it into bench/RESULTS.md with the date and the
machine (--no-write: print only); a "## Notes" section at the end of that
file is kept as it is.
"""
import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
if not __package__:   # run as a script: the tree's top makes sim and bench packages
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from sim import maplayout as L  # noqa: E402
from sim.board import Board, BoardError  # noqa: E402

TARGETS = ["alarmgw", "bench_ref_server", "bench_mb_client", "bench_save"]
RESULTS = os.path.join(HERE, "RESULTS.md")
LATENCY_SCRIPT = os.path.join(HERE, "alarm_latency.py")
CLK_TCK = os.sysconf("SC_CLK_TCK")
# Creation order of the daemon's threads (main first, then the workers).
THREADS = ["main", "mb_slave_listen", "mb_slave_poll", "mb_edge_poll", "modem", "led",
           "sms_buffer", "voice_buffer"]

RATIO_GOAL = 1.05
BAD_GOAL_MS = 60.0
BUS_ROUNDS = 50
RECOVERIES = 30
RECOVERY_GOAL_KIB = 1024
IDLE_GOAL_PCT = 1.0
RSS_GOAL_KIB = 4 * 1024
SAVE_ROUNDS = 50
# Everything from this heading on in RESULTS.md is written by hand and kept.
NOTES_HEADING = "## Notes"


def say(text):
    print(text, flush=True)


# ---- the machine and the build ------------------------------------------------------

def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"arch": platform.machine(), "cores": os.cpu_count(), "cpu": model,
            "kernel": platform.release()}


def build_info(build):
    info = {"type": "?", "sanitize": ""}
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    info["type"] = line.split("=", 1)[1].strip()
                elif line.startswith("ALARMGW_SANITIZE:"):
                    info["sanitize"] = line.split("=", 1)[1].strip()
    except OSError:
        pass
    return info


def programs(build):
    paths = {"alarmgw": os.path.join(build, "alarmgw")}
    for t in TARGETS[1:]:
        paths[t] = os.path.join(build, "bench", t)
    missing = [t for t, p in paths.items() if not os.access(p, os.X_OK)]
    return paths, missing


# ---- Modbus round trips ----------------------------------------------------------------

def parse_client(text):
    out = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] in ("read125", "coil", "write100", "bad", "badcrc"):
            out[parts[0]] = (float(parts[1]), float(parts[2]))
        elif len(parts) == 2 and parts[0] == "errors":
            out["errors"] = int(parts[1])
    return out


def run_client(client, device, rounds):
    p = subprocess.run([client, device, str(rounds)], capture_output=True, text=True, timeout=300)
    if p.returncode != 0:
        raise RuntimeError("%s %s failed (%d): %s" % (client, device, p.returncode, p.stderr.strip()))
    res = parse_client(p.stdout)
    if res.get("errors"):
        raise RuntimeError("%d failed requests against %s:\n%s" % (res["errors"], device, p.stdout))
    return res


class RefLine:
    """bench_ref_server on a socat pseudo-terminal pair, as the simulated board
    links the daemon's line."""

    def __init__(self, server, workdir):
        self.dir = workdir
        self.slave = os.path.join(workdir, "ttyREF")
        self.master = os.path.join(workdir, "master")
        self.socat = subprocess.Popen(
            ["socat", "-d", "-d", "pty,raw,echo=0,link=%s" % self.slave, "pty,raw,echo=0,link=%s" % self.master],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 10
        while not (os.path.exists(self.slave) and os.path.exists(self.master)):
            if self.socat.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("socat did not link the reference line")
            time.sleep(0.02)
        # Both ends held open, so the line survives its users coming and going.
        self.held = [os.open(p, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK) for p in (self.slave, self.master)]
        self.log = open(os.path.join(workdir, "ref.log"), "wb")
        self.server = subprocess.Popen([server, self.slave], stdout=self.log, stderr=subprocess.STDOUT,
                                       stdin=subprocess.DEVNULL, start_new_session=True)
        time.sleep(0.3)
        if self.server.poll() is not None:
            raise RuntimeError("bench_ref_server ended at once (status %s)" % self.server.returncode)

    def close(self):
        for p in (self.server, self.socat):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        for fd in self.held:
            os.close(fd)
        self.log.close()


def roundtrips(paths, rounds, runs, workdir):
    board = Board(root=os.path.join(workdir, "board-rt"), build=os.path.dirname(paths["alarmgw"]), card=False)
    ref = None
    results = {"alarmgw": [], "reference": []}
    try:
        board.start()
        ref = RefLine(paths["bench_ref_server"], workdir)
        # A first short run on each side, not counted: the lines' first use.
        run_client(paths["bench_mb_client"], board.master, 20)
        run_client(paths["bench_mb_client"], ref.master, 20)
        for r in range(runs):
            results["alarmgw"].append(run_client(paths["bench_mb_client"], board.master, rounds))
            results["reference"].append(run_client(paths["bench_mb_client"], ref.master, rounds))
        faults = board.faults()
        if not board.running():
            raise RuntimeError("the daemon ended during the round trips")
    finally:
        if ref is not None:
            ref.close()
        board.stop()
    if faults:
        raise RuntimeError("sanitizer reports in the daemon's output:\n" + "\n".join(faults))
    # The machine's load drifts between runs far more than the two servers
    # differ, so the ratio is taken run by run (each daemon run beside the
    # reference run that follows it) and its median reported.
    ops = ("read125", "coil", "write100", "bad", "badcrc")
    out = {}
    for side, runs_ in results.items():
        out[side] = {op: (statistics.median(x[op][0] for x in runs_), statistics.median(x[op][1] for x in runs_))
                     for op in ops}
    out["ratio"] = {op: statistics.median(d[op][0] / r[op][0]
                                          for d, r in zip(results["alarmgw"], results["reference"]))
                    for op in ops}
    return out


# ---- idle CPU and memory --------------------------------------------------------------

def proc_ticks(path):
    with open(path) as f:
        text = f.read()
    fields = text.rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])   # utime + stime


def thread_ticks(pid):
    """{tid: (utime + stime ticks, context switches)}: the switches count the
    thread's wake-ups, which is what an idle thread costs."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        try:
            switches = 0
            with open(base + "status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        switches += int(line.split()[1])
            out[int(tid)] = (proc_ticks(base + "stat"), switches)
        except OSError:
            pass
    return out


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def registered(board):
    from pymodbus.client import ModbusSerialClient
    c = ModbusSerialClient(port=board.master, baudrate=115200, bytesize=8, parity="N", stopbits=1,
                           timeout=2, retries=0)
    try:
        if not c.connect():
            return False
        r = c.read_input_registers(27, 1, slave=1)
        return not r.isError() and r.registers[0] in (1, 5)
    finally:
        c.close()


def idle(paths, seconds, workdir):
    board = Board(root=os.path.join(workdir, "board-idle"), build=os.path.dirname(paths["alarmgw"]), card=True)
    try:
        board.start()
        deadline = time.monotonic() + 20
        while not registered(board):
            if time.monotonic() > deadline:
                raise RuntimeError("the daemon did not report a registered modem within 20 s")
            time.sleep(1)
        time.sleep(1.0)   # let the master's last request be forgotten
        pid = board.daemon.pid
        t0 = time.monotonic()
        total0, per0 = proc_ticks("/proc/%d/stat" % pid), thread_ticks(pid)
        time.sleep(seconds)
        total1, per1 = proc_ticks("/proc/%d/stat" % pid), thread_ticks(pid)
        elapsed = time.monotonic() - t0
        rss, hwm = status_kib(pid, "VmRSS"), status_kib(pid, "VmHWM")
        if not board.running():
            raise RuntimeError("the daemon ended during the idle measurement")
        faults = board.faults()
    finally:
        board.stop()
    if faults:
        raise RuntimeError("sanitizer reports in the daemon's output:\n" + "\n".join(faults))
    threads = []
    # Creation order: thread ids grow from the process id, wrapping at pid_max.
    with open("/proc/sys/kernel/pid_max") as f:
        pid_max = int(f.read())
    for k, tid in enumerate(sorted(per1, key=lambda t: (t - pid) % pid_max)):
        name = THREADS[k] if k < len(THREADS) else "thread %d" % k
        t0_, s0_ = per0.get(tid, (0, 0))
        threads.append((name, tid, 100.0 * (per1[tid][0] - t0_) / CLK_TCK / elapsed,
                        (per1[tid][1] - s0_) / elapsed))
    return {"cpu_pct": 100.0 * (total1 - total0) / CLK_TCK / elapsed, "seconds": elapsed,
            "rss_kib": rss, "hwm_kib": hwm, "threads": threads}


# ---- the shared line and the recovery key ---------------------------------------------

def _master(port, timeout):
    from pymodbus.client import ModbusSerialClient
    c = ModbusSerialClient(port=port, baudrate=115200, bytesize=8, parity="N", stopbits=1,
                           timeout=timeout, retries=0)
    if not c.connect():
        raise RuntimeError("cannot open %s" % port)
    return c


def _bus_rounds(port, rounds):
    """The master alternates the other slave (2) and us (1); % of ours answered."""
    c = _master(port, 2)   # pymodbus 3.0 gives up at once below 1 s
    try:
        ok = 0
        for i in range(rounds):
            c.read_holding_registers(i, 1, slave=2)
            r = c.read_holding_registers(0, 1, slave=1)
            ok += 0 if r.isError() else 1
        return 100.0 * ok / rounds
    finally:
        c.close()


def shared_bus(paths, rounds, workdir):
    board = Board(root=os.path.join(workdir, "board-bus"), build=os.path.dirname(paths["alarmgw"]), card=False,
                  bus=["2:5:50"])
    bus = server = None
    try:
        board.start()
        daemon = _bus_rounds(board.master, rounds)
        tty, master = os.path.join(workdir, "ttyBUS"), os.path.join(workdir, "busmaster")
        bus = subprocess.Popen(["/usr/bin/python3", os.path.join(REPO, "sim", "rs485_bus.py"), "--link", tty,
                                "--link", master, "--slave", "2:5:50"], start_new_session=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not (os.path.exists(tty) and os.path.exists(master)):
            if bus.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the bus did not come up")
            time.sleep(0.02)
        server = subprocess.Popen([paths["bench_ref_server"], tty], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(0.3)
        reference = _bus_rounds(master, rounds)
    finally:
        for p in (server, bus):
            if p is not None and p.poll() is None:
                p.terminate()
                p.wait(5)
        board.stop()
    return {"alarmgw": daemon, "reference": reference}


def recoveries(paths, count, workdir):
    board = Board(root=os.path.join(workdir, "board-rec"), build=os.path.dirname(paths["alarmgw"]), card=False)
    try:
        board.start()
        c = _master(board.master, 10)
        try:
            c.read_holding_registers(0, 1, slave=1)
            before = status_kib(board.daemon.pid, "VmRSS")
            for _ in range(count):
                r = c.write_registers(L.HR_RECOVERY_KEY, L.RECOVERY_KEY, slave=1)
                if r.isError():
                    raise RuntimeError("recovery key refused: %s" % r)
                # The listener answers first, then recovers: wait until it serves again.
                deadline = time.monotonic() + 15
                while c.read_holding_registers(0, 1, slave=1).isError():
                    if time.monotonic() > deadline:
                        raise RuntimeError("no answer after a recovery")
            after = status_kib(board.daemon.pid, "VmRSS")
        finally:
            c.close()
        faults = board.faults()
    finally:
        board.stop()
    if faults:
        raise RuntimeError("sanitizer reports in the daemon's output:\n" + "\n".join(faults))
    return {"before": before, "after": after, "count": count}


# ---- alarm latency (another program) and the save ---------------------------------------

def latency(build):
    if not os.path.exists(LATENCY_SCRIPT):
        return None, "bench/alarm_latency.py not present"
    env = dict(os.environ, ALARMGW_BUILD=build)
    # A module of the bench package, run from the tree's top.
    cmd = ["/usr/bin/python3", "-m", "bench.alarm_latency", "--build", build]
    p = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600, cwd=REPO)
    lines = [ln for ln in p.stdout.splitlines() if ln.strip()]
    if p.returncode != 0 or not lines:
        return None, "alarm_latency.py failed (%d): %s" % (p.returncode, (p.stderr or p.stdout).strip()[-500:])
    pairs = dict(kv.split("=", 1) for kv in lines[-1].split() if "=" in kv)
    return pairs, None


def save(paths, rounds, workdir):
    root = os.path.join(workdir, "save-root")
    p = subprocess.run([paths["bench_save"], root, str(rounds)], capture_output=True, text=True, timeout=300)
    if p.returncode != 0:
        raise RuntimeError("bench_save failed (%d): %s" % (p.returncode, p.stderr.strip()))
    out = {}
    for line in p.stderr.splitlines():
        parts = line.split()
        if len(parts) == 3:
            out[parts[0]] = (float(parts[1]), float(parts[2]))
    return out


# ---- the report ----------------------------------------------------------------------------

def verdict(ok):
    return "met" if ok else "**missed**"


def report(m, binfo, build, rt, idl, lat, lat_note, sv, opts, argv, bus=None, rec=None):
    now = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    lines = []
    lines.append("# Benchmark results")
    lines.append("")
    lines.append("Written by `bench/run_bench.py` (%s). Figures, not verdicts: every reference is measured in "
                 "the same run on the same machine." % " ".join(["/usr/bin/python3", "bench/run_bench.py"]
                                                                   + argv))
    lines.append("")
    lines.append("- date: %s" % now)
    lines.append("- machine: %s, %d cores, %s, Linux %s" % (m["arch"], m["cores"], m["cpu"], m["kernel"]))
    lines.append("- build: `%s` (%s%s)" % (os.path.relpath(build, REPO) if build.startswith(REPO) else build,
                                           binfo["type"], ", sanitizer " + binfo["sanitize"]
                                           if binfo["sanitize"] else ""))
    lines.append("")
    lines.append("| measure | alarmgw | reference | goal | |")
    lines.append("|---|---|---|---|---|")
    if rt:
        d, r = rt["alarmgw"], rt["reference"]
        for op, text in (("read125", "read 125 holding registers"), ("coil", "write one coil (no action)"),
                         ("write100", "write 100 holding registers")):
            ratio = rt["ratio"][op]
            lines.append("| Modbus round trip: %s, median (p90) | %.0f us (%.0f) | %.0f us (%.0f) | ratio %.3f <= %.2f | %s |"
                         % (text, d[op][0], d[op][1], r[op][0], r[op][1], ratio, RATIO_GOAL,
                            verdict(ratio <= RATIO_GOAL)))
        for op, text in (("bad", "unknown function (exception reply), then a good read"),
                         ("badcrc", "broken CRC (no reply), 2 ms of silence, then a good read")):
            lines.append("| cost of one malformed request: %s, median (p90) | %.1f ms (%.1f) | %.1f ms (%.1f) | < %.0f ms | %s |"
                         % (text, d[op][0] / 1000, d[op][1] / 1000, r[op][0] / 1000, r[op][1] / 1000,
                            BAD_GOAL_MS, verdict(d[op][0] / 1000 < BAD_GOAL_MS)))
    if bus:
        lines.append("| shared bus, another slave answering after 5..50 ms: requests to us answered (%d) | %.0f %% "
                     "| %.0f %% | 100 %% | %s |" % (BUS_ROUNDS, bus["alarmgw"], bus["reference"],
                                                  verdict(bus["alarmgw"] >= 100.0)))
    if rec:
        grow = rec["after"] - rec["before"]
        lines.append("| resident memory over %d recovery keys: growth (VmRSS after) | %d KiB (%d) | VmRSS before %d KiB "
                     "| <= %d KiB | %s |" % (rec["count"], grow, rec["after"], rec["before"], RECOVERY_GOAL_KIB,
                                             verdict(grow <= RECOVERY_GOAL_KIB)))
    if idl:
        lines.append("| idle CPU, registered modem, %.0f s (%% of one core) | %.2f %% | | < %.0f %% | %s |"
                     % (idl["seconds"], idl["cpu_pct"], IDLE_GOAL_PCT, verdict(idl["cpu_pct"] < IDLE_GOAL_PCT)))
        lines.append("| resident memory VmRSS (peak VmHWM) | %d KiB (%d) | | < %d KiB | %s |"
                     % (idl["rss_kib"], idl["hwm_kib"], RSS_GOAL_KIB, verdict(idl["rss_kib"] < RSS_GOAL_KIB)))
    if lat:
        lines.append("| alarm to AT+CMGS latency | %s | | | |"
                     % ", ".join("%s=%s" % kv for kv in lat.items()))
    else:
        lines.append("| alarm to AT+CMGS latency | not measured: %s | | | |" % lat_note)
    if sv:
        lines.append("| save_config (temporary file, fsync, rename, directory fsync), median (p90) | %.2f ms (%.2f) "
                     "| plain write %.2f ms (%.2f); with fsync %.2f ms (%.2f) | | |"
                     % (sv["save_config"] + sv["plain_write"] + sv["plain_write_fsync"]))
    lines.append("")
    if idl:
        lines.append("Idle CPU per thread (threads in creation order; %% of one core over %.0f s):"
                     % idl["seconds"])
        lines.append("")
        lines.append("| thread | tid | CPU | wake-ups per second |")
        lines.append("|---|---|---|---|")
        for name, tid, pct, wakeups in idl["threads"]:
            lines.append("| %s | %d | %.2f %% | %.0f |" % (name, tid, pct, wakeups))
        lines.append("")
        if idl["cpu_pct"] >= IDLE_GOAL_PCT:
            name, _, pct, wakeups = max(idl["threads"], key=lambda t: t[2])
            lines.append("Idle goal missed: the %s thread takes %.2f %% of the %.2f %% (%.0f wake-ups per second)."
                         % (name, pct, idl["cpu_pct"], wakeups))
            lines.append("")
    lines.append("Method: round trips by `bench_mb_client` (%d rounds per run, %d runs on each side, "
                 "alternating; figures are the medians of the runs' medians, the ratio is the median of the "
                 "ratios of each daemon run to the reference run beside it) against the daemon on the simulated board and against `bench_ref_server` (same "
                 "map size, same libmodbus debug trace, library time-outs left at their defaults, so it "
                 "waits 500 ms before it answers an unknown function); both lines are socat "
                 "pseudo-terminal pairs at 115200 8N1. Idle: the daemon's utime + stime from /proc over "
                 "the window, started once input register 27 reports the modem registered. Save: "
                 "`bench_save`, %d rounds in a scratch root." % (opts.rounds, opts.runs, SAVE_ROUNDS))
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.environ.get("ALARMGW_BUILD") or os.path.join(REPO, "build"),
                    help="build directory (default: $ALARMGW_BUILD, else build/)")
    ap.add_argument("--rounds", type=int, default=100, help="Modbus rounds per run (default 100)")
    ap.add_argument("--runs", type=int, default=15, help="alternating runs on each side (default 15)")
    ap.add_argument("--idle", type=float, default=20.0, help="idle window in seconds (default 20)")
    ap.add_argument("--no-write", action="store_true", help="print the table only")
    ap.add_argument("--line", action="store_true",
                    help="the Modbus line only: round trips, shared bus, recovery keys")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    paths, missing = programs(build)
    if missing:
        say("missing in %s: %s" % (build, ", ".join(missing)))
        say("build them first:  cmake -S %s -B %s && make -C %s -j2 %s" % (REPO, build, build, " ".join(TARGETS)))
        return 2
    for tool in ("socat",):
        if shutil.which(tool) is None:
            say("%s is needed (sim/install_deps installs it)" % tool)
            return 2
    binfo = build_info(build)
    if binfo["sanitize"]:
        say("warning: %s is a sanitizer build (%s); its figures are not the daemon's" % (build, binfo["sanitize"]))
    m = machine()
    say("alarmgw benchmarks: %s, %d cores, %s; build %s (%s)" % (m["arch"], m["cores"], m["cpu"], build,
                                                                 binfo["type"]))
    workdir = tempfile.mkdtemp(prefix="alarmgw-bench-")
    failures = []
    rt = idl = lat = sv = bus = rec = None
    lat_note = ""
    try:
        say("Modbus round trips ...")
        try:
            rt = roundtrips(paths, a.rounds, a.runs, workdir)
        except (RuntimeError, BoardError, subprocess.TimeoutExpired) as e:
            failures.append("round trips: %s" % e)
        say("shared bus ...")
        try:
            bus = shared_bus(paths, BUS_ROUNDS, workdir)
        except (RuntimeError, BoardError, subprocess.TimeoutExpired) as e:
            failures.append("shared bus: %s" % e)
        say("%d recovery keys ..." % RECOVERIES)
        try:
            rec = recoveries(paths, RECOVERIES, workdir)
        except (RuntimeError, BoardError) as e:
            failures.append("recoveries: %s" % e)
        if a.line:
            raise StopIteration
        say("idle CPU and memory (%.0f s) ..." % a.idle)
        try:
            idl = idle(paths, a.idle, workdir)
        except (RuntimeError, BoardError) as e:
            failures.append("idle: %s" % e)
        say("alarm latency ...")
        try:
            lat, lat_note = latency(build)
        except subprocess.TimeoutExpired:
            lat, lat_note = None, "alarm_latency.py timed out"
        say("save_config ...")
        try:
            sv = save(paths, SAVE_ROUNDS, workdir)
        except (RuntimeError, subprocess.TimeoutExpired) as e:
            failures.append("save: %s" % e)
    except StopIteration:
        pass
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    argv = sys.argv[1:]
    text = report(m, binfo, build, rt, idl, lat, lat_note, sv, a, argv, bus, rec)
    if failures:
        text += "\nNot measured:\n\n" + "".join("- %s\n" % f for f in failures)
    say("")
    say(text)
    if not a.no_write:
        notes = ""
        try:
            with open(RESULTS) as f:
                old = f.read()
            i = old.find("\n" + NOTES_HEADING)
            if i >= 0:
                notes = old[i:]
        except OSError:
            pass
        with open(RESULTS, "w") as f:
            f.write(text + notes)
        say("written to %s" % RESULTS)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
