"""The guided demonstration (sim/demo.py, what sim/run starts by default) run
to its summary against the built daemon."""
import os
import re
import subprocess

from conftest import REPO, default_build
from sim.mbmaster import DONE, IR_STATUS

DEMO = os.path.join(REPO, "sim", "demo.py")


def run_demo(*args, timeout=120):
    return subprocess.run(["/usr/bin/python3", DEMO, "--demo-exit"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=timeout,
                          universal_newlines=True)


def test_demo_runs_to_a_clean_summary(tmp_path):
    root = tmp_path / "root"
    r = run_demo("--build", default_build(), "--root", str(root))
    out = r.stdout
    assert r.returncode == 0, out
    # The story a newcomer reads, with the register addresses.
    assert "group 0, phone 0 = 0612345678   -> holding registers 30010..30019" in out
    assert "-> holding register 3 = 0x0003" in out
    assert 'the network received an SMS for 0612345678: "Fire alarm: hall 2" (sent)' in out
    assert 'the network received an SMS for 0687654321: "Fire alarm: hall 2" (sent)' in out
    assert "input register %d = %d: done" % (IR_STATUS, DONE) in out
    assert "sender  (input registers 30..39):   0612345678" in out
    assert re.search(r"time    \(input registers 40\.\.46\):   20\d\d/\d\d/\d\d \d\d:\d\d:\d\d\n", out)
    assert 'text    (input registers 48..127):  "Status?"' in out
    assert "discrete input 1 = 0, input registers 30..127 all 0" in out
    assert "daemon output: %s" % (root / "sim" / "daemon.log") in out
    # Only the summary ends the run; no invitation to stay.
    summary = out[out.index("Summary\n"):]
    assert "FAIL" not in summary
    assert summary.count("  PASS  ") == 7
    assert re.search(r"Result OK: 7 of 7 checks passed in \d+\.\d s\n", summary)
    assert "Ctrl-C" not in out
    # The daemon's own output stayed in its file.
    assert "Waiting for an indication" not in out
    assert "Waiting for an indication" in (root / "sim" / "daemon.log").read_text(errors="replace")
    # Everything the board started is gone.
    assert not (root / "sim" / "modem.ready").exists()


def test_demo_reports_a_failed_step_with_a_non_zero_status(tmp_path):
    empty = tmp_path / "no-build"
    empty.mkdir()
    r = run_demo("--build", str(empty), "--root", str(tmp_path / "root"), timeout=60)
    assert r.returncode == 1, r.stdout
    assert "FAIL  board start: no daemon at %s" % (empty / "alarmgw") in r.stdout
    assert "Result FAILED" in r.stdout
