"""A fresh machine: the install list covers what the project uses, and the board
runner and the demonstration leave no process behind, whatever ends them."""
import os
import signal
import subprocess
import time

import pytest

from sim.board import default_build

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PY = "/usr/bin/python3"


def test_the_install_check_names_a_package_installed_only_by_hand():
    # pymodbus's serial client imports serial_asyncio, which Debian's pymodbus
    # only recommends: without it in the list the check must fail here, where it
    # is installed.
    r = subprocess.run([PY, os.path.join(REPO, "tests/check_deps.py"), "--without", "python3-serial-asyncio"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "python3-serial-asyncio" in r.stdout
    r = subprocess.run([PY, os.path.join(REPO, "tests/check_deps.py")], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr


def processes_under(root):
    """Pids of processes that belong to the board under root (by environment or
    command line)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmd = f.read()
            with open("/proc/%s/environ" % pid, "rb") as f:
                env = f.read()
        except OSError:
            continue
        if root.encode() in cmd or ("ALARMGW_ROOT=" + root).encode() in env.split(b"\0"):
            found.append((int(pid), cmd.replace(b"\0", b" ").decode(errors="replace")))
    return found


def wait_gone(root, timeout=8.0):
    deadline = time.monotonic() + timeout
    left = processes_under(root)
    while left and time.monotonic() < deadline:
        time.sleep(0.1)
        left = processes_under(root)
    for pid, _ in left:   # do not leak them into the rest of the run
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return left


def daemon_pid(root):
    for pid, cmd in processes_under(root):
        if cmd.split(" ")[0].endswith("/alarmgw"):
            return pid
    return None


@pytest.mark.parametrize("program,how", [
    ("demo", signal.SIGTERM),
    ("demo", signal.SIGKILL),
    ("demo", "daemon dies"),
    ("board", signal.SIGINT),
])
def test_the_runner_ends_every_process_it_started(tmp_path, program, how):
    root = str(tmp_path / "root")
    if program == "demo":
        cmd = [PY, os.path.join(REPO, "sim/demo.py"), "--demo", "--build", default_build(), "--root", root]
    else:
        cmd = [PY, os.path.join(REPO, "sim/board.py"), "--quiet", "--build", default_build(), "--root", root]
    out = open(tmp_path / "out.txt", "wb")
    p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                         start_new_session=True)
    try:
        # Part-way: once the daemon runs (the demonstration is still at its steps).
        deadline = time.monotonic() + 20
        while daemon_pid(root) is None:
            assert p.poll() is None and time.monotonic() < deadline, (tmp_path / "out.txt").read_text()
            time.sleep(0.05)
        started = processes_under(root)
        assert len(started) >= 3, started   # daemon, socat, modem (and the runner itself)
        if how == "daemon dies":
            os.kill(daemon_pid(root), signal.SIGKILL)
        else:
            os.kill(p.pid, how)
        p.wait(timeout=20)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
        out.close()
    left = wait_gone(root)
    text = (tmp_path / "out.txt").read_text()
    assert not left, "left running: %s\n%s" % (left, text)
    if how != signal.SIGKILL:
        assert root in text   # it says where the board root is
