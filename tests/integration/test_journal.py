"""The event journal on the simulated board: a daemon killed while alarms are
queued (in the rings, waiting for room, or inside their edge delay) delivers,
on its next start, each phone not yet served exactly once, and the journal
tells the story; a full /APP keeps alarms flowing."""
import csv
import io
import os
import random
import signal
import subprocess

import pytest

from conftest import default_image, default_text   # also puts sim/ on the path
from board import default_build
from test_faults import phone_regs, routed_image, sent_texts, started
from test_no_alarm_lost import burst, burst_image

from sim import maplayout as L

DI_JOURNAL_FAULT, HR_JOURNAL_RESUME = L.DI_JOURNAL_FAULT, L.HR_JOURNAL_RESUME
P1, P2, P3 = "0123456789", "0123456788", "0123456787"
DONE = L.STATUS_DONE * L.STATUS_SCALE


def agwctl(*args):
    exe = os.path.join(default_build(), "agwctl")
    r = subprocess.run([exe] + list(args), capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout


def journal_rows(board, *args):
    """The journal of a stopped daemon, as agwctl reads a copied file."""
    out = agwctl("log", board.path("APP/journal.db"), "--csv", *args)
    return list(csv.DictReader(io.StringIO(out)))


@pytest.mark.board(card=False, config=routed_image([5], [P1, P2, P3]))
def test_killed_with_an_alarm_queued_each_phone_gets_it_once(board):
    m, master = started(board)
    m.set(confirm_time=[0.2, 0.5])
    # The network never answers for P2: the entry stays sending there.
    m.sms_fail(number=P2, mode="silent")
    assert not board.client.write_coil(5, True, slave=1).isError()
    # P2's submission shows the dispatcher has recorded P1 and moved on.
    m.wait_for(lambda: any(r.get("number") == P2 for r in m.outbox()), 30, what="P2 submitted")
    assert sent_texts(m, P1) == ["Channel5 ON"]
    board.stop_daemon(signal.SIGKILL)   # a power cut

    m.clear_sms_fail()
    board.start_daemon()
    master.wait(lambda r: r[0] == DONE, 60, "the resumed entry done in input register 0")
    for number in (P1, P2, P3):
        assert sent_texts(m, number) == ["Channel5 ON"], number

    # The same story through the log window, live over the line.
    board.client.close()
    live = agwctl("log", "--port", board.master, "--alarm", "5", "--csv")
    board.client.connect()
    board.stop_daemon()   # a clean stop
    rows = journal_rows(board)
    story = [(r["kind"], r["alarm"], r["a"]) for r in rows]
    assert story[0] == ("start", "-1", "3")   # the first start
    assert ("alarm", "5", "1") in story
    assert [s for s in story if s[0] == "start"] == [("start", "-1", "3"), ("start", "-1", "1")]   # killed
    delivered = [(r["alarm"], r["a"], r["text"].split()[0]) for r in rows if r["kind"] == "attempt" and r["b"] == "0"]
    assert delivered == [("5", "0", P1), ("5", "1", P2), ("5", "2", P3)]
    kinds = [s[0] for s in story]
    assert kinds.index("sms-queued") < kinds.index("attempt")
    assert kinds[-1] == "stop"
    assert [r for r in rows if r["kind"] == "entry-end"][0]["a"] == "3"
    # The live read saw alarm 5's events in the same order as the file.
    live_rows = list(csv.DictReader(io.StringIO(live)))
    assert [r["seq"] for r in live_rows] == [r["seq"] for r in rows if r["alarm"] == "5"][:len(live_rows)]
    assert len(live_rows) >= 6


@pytest.mark.board(card=False, config=burst_image(10))
def test_killed_at_a_random_moment_of_a_burst(board):
    m, _ = burst(board, 10)
    want = {"05550001%02d" % a: "Channel%d ON" % a for a in range(10)}
    # The moment depends on the seed, never the verdict: wait for some
    # deliveries, a random number of them, then cut the power.
    seed = int(os.environ.get("ALARMGW_SEED") or random.randrange(1 << 30))
    k = random.Random(seed).randint(0, 7)
    m.wait_for(lambda: len(m.outbox("sent")) >= k, 60, what="%d deliveries (seed %d)" % (k, seed))
    board.stop_daemon(signal.SIGKILL)
    board.start_daemon()
    m.wait_for(lambda: {r.get("number") for r in m.outbox("sent")} >= set(want), 120,
               what="every phone served (seed %d)" % seed)
    # Each entry ends once, over both runs; its end is journalled before this line.
    m.wait_for(lambda: board.log(whole=True).count("ng_cnt=") == len(want), 30, what="every entry ended")
    board.stop_daemon()
    got = {}
    for rec in m.outbox("sent"):
        got.setdefault(rec.get("number"), []).append(rec.get("text"))
    for number, text in want.items():
        assert set(got[number]) == {text}, number
    # Only an SMS the network confirmed in the instant before the cut, not yet
    # recorded, may go twice: at most one, and only one submitted before the cut.
    twice = [n for n, t in got.items() if len(t) > 1]
    assert len(twice) <= 1, (twice, seed)
    assert len(m.outbox("sent")) <= len(want) + 1
    rows = journal_rows(board)
    delivered = {r["text"].split()[0] for r in rows if r["kind"] == "attempt" and r["b"] == "0"}
    assert delivered == set(want), seed
    assert len([r for r in rows if r["kind"] == "entry-end"]) == len(want), seed


def edge_image(delay):
    """Alarm 0 to group 0 (one number), SMS on, in edge mode with the given delay."""
    hr = {L.HR_GROUP_MASK: 1, L.HR_SMS_ENABLE + L.enable_word(0): 1 << L.enable_bit(0), L.HR_EDGE_MODE: 1,
          L.edge_delay_reg(0): delay}
    for j, v in enumerate(phone_regs(P1)):
        hr[L.phone_reg(0, 0) + j] = v
    return default_image(hr=hr)


def sent_pairs(m):
    return sorted((r.get("number"), r.get("text")) for r in m.outbox("sent"))


BURST = 20   # more alarms than the SMS ring holds: the last ones wait for room


@pytest.mark.board(card=False, config=burst_image(BURST))
def test_killed_while_changes_wait_for_room_they_go_out_after_the_restart(board):
    m, master = started(board)
    m.set(confirm_time=[0.2, 0.5])
    m.sms_fail(mode="silent")   # nothing leaves: the ring stays full
    assert not board.client.write_coils(0, [True] * BURST, slave=1).isError()
    board.wait_log(r"queue full: alarm %d ON waits" % (BURST - 1), 15)
    assert m.outbox("sent") == []
    board.stop_daemon(signal.SIGKILL)   # a power cut; the master had its reply

    m.clear_sms_fail()
    board.start_daemon()
    want = sorted(("05550001%02d" % (a % 16), default_text(a)) for a in range(BURST))
    m.wait_for(lambda: len(m.outbox("sent")) >= BURST, 120, what="every alarm sent")
    board.wait_log(r"alarm %d ON was acknowledged but not queued before the restart" % (BURST - 1), 10)
    board.stop_daemon()
    assert sent_pairs(m) == want   # each once, none lost
    rows = journal_rows(board)
    queued = sorted(int(r["alarm"]) for r in rows if r["kind"] == "sms-queued")
    assert queued == list(range(BURST))


@pytest.mark.board(card=False, config=edge_image(0xFFFF))
def test_killed_inside_an_edge_delay_the_alarm_fires_after_the_restart(board):
    m, master = started(board)
    m.set(confirm_time=[0.2, 0.5])
    assert not board.client.write_coil(0, True, slave=1).isError()
    board.stop_daemon(signal.SIGKILL)   # well inside the 6.5 s delay
    assert m.outbox() == []
    board.start_daemon()
    m.wait_for(lambda: m.outbox("sent"), 60, what="the alarm sent after its delay")
    board.wait_log(r"alarm 0 ON was in its edge delay at the restart", 10)
    board.stop_daemon()
    assert sent_pairs(m) == [(P1, default_text(0))]


@pytest.fixture
def full_app(make_board):
    """A board whose /APP is a small tmpfs filled to the last block."""
    b = make_board(card=False, start=False, config=routed_image([5], [P1]))
    app = b.path("APP")
    config = b.read_file("APP/config.ini")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k,nr_inodes=64", "tmpfs", app], check=True)
    try:
        b.write_file("APP/config.ini", config)
        with open(os.path.join(app, "filler"), "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 4096)
            except OSError:
                pass
        yield b
    finally:
        b.stop_daemon()
        subprocess.run(["umount", "-l", app], check=False)


def test_full_app_keeps_alarms_flowing(full_app):
    b = full_app
    b.start()
    m, master = started(b)
    assert not b.client.write_coil(5, True, slave=1).isError()
    master.wait(lambda r: r[0] == DONE, 60, "the alarm SMS done")
    assert sent_texts(m, P1) == ["Channel5 ON"]
    # The master sees that the journal is not being written.
    master.wait(lambda _: b.client.read_discrete_inputs(DI_JOURNAL_FAULT, 1, slave=1).bits[0], 10,
                "discrete input 4")
    assert b.log().count("journal: cannot write") == 1
