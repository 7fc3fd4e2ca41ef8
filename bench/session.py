"""One simulated board for a benchmark, set up and torn down the same way for all.

    from bench.session import REALISTIC, bench_board

    with bench_board(build, modem_args=REALISTIC, card=True) as s:
        s.client   # pymodbus master on the board's line (one retry)
        s.modem    # sim.modemctl.Modem: script the modem, read what the network saw
        s.board    # sim.board.Board: root, log, files

The board starts with the line, the modem (its arguments as given) and the
daemon; at the end the master is closed, everything the board started is
ended, fault reports found in the daemon's log are printed on standard error,
and a root the session made itself is removed (a root passed in is kept).

Benchmarks are run as modules from the tree's top, so sim and bench are
packages without any import path edits:

    /usr/bin/python3 -m bench.alarm_burst --build build
"""
import contextlib
import shutil
import sys
import tempfile

from sim.board import Board, default_build
from sim.mbmaster import client as mb_client
from sim.modemctl import Modem

# The realistic simulated modem with the network's confirmations after 1 to 3 s.
REALISTIC = ["--realistic", "--confirm-time", "1,3"]


class Session:
    """What a benchmark talks to: the board, its master and its modem."""

    def __init__(self, board, client, modem):
        self.board = board
        self.client = client
        self.modem = modem

    @property
    def root(self):
        return self.board.root


@contextlib.contextmanager
def bench_board(build=None, modem_args=(), card=False, files=None, root=None, prefix="alarmgw-bench-"):
    own = root is None
    root = root or tempfile.mkdtemp(prefix=prefix)
    b = Board(root=root, build=build or default_build(), card=card, files=files, echo=False,
              modem_args=list(modem_args))
    client = None
    try:
        b.start()
        client = mb_client(b.master, retries=1)
        yield Session(b, client, Modem(b.root))
    finally:
        if client is not None:
            client.close()
        for f in b.stop():
            print("fault: %s" % f, file=sys.stderr)
        if own:
            shutil.rmtree(root, ignore_errors=True)
