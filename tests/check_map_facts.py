#!/usr/bin/python3
"""Finds register-map facts written by hand outside modbus/map_layout.h.

    /usr/bin/python3 tests/check_map_facts.py [PATH ...]

The register map is written once, in modbus/map_layout.h; the daemon's code
uses its names, Python reads it through sim.maplayout, and the documentation
points to it. This check looks through sim/, tests/, bench/, tools/ and
README.md (or the paths given) for hand copies of the facts that travelled
most: the image size, the table sizes, the reported status values, the alarm
text and phone group addresses, the identification words and the line-setting
codes. Every value it looks for is taken from the header itself, so the check
follows the header when the header changes.

A number that merely equals a fact (a 10000 us sleep, a 1024-byte buffer) is
not a copy: the patterns need the context that makes it one (a register
address, a status read, a base plus an offset). What still matches and is
legitimate is listed in ALLOWED with the reason. A test restating a header
value is no independent reference, only a second copy to keep in step: the
values the field depends on (the image size, the last text and phone
addresses) are pinned by the header's own static_asserts, and
tests/integration/test_layout.py holds the Python reading against the
compiler's without writing a value down. An independent reference is data
that was not written from the header, such as an image kept from a board.
Exit status 0: none found; 1: each copy is named with its file and line.
"""
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)
import sim.maplayout as L  # noqa: E402

SCAN = ["sim", "tests", "bench", "tools", "README.md"]
SKIP_DIRS = {"corpus", "__pycache__"}
SUFFIXES = {".py", ".cpp", ".h", ".md", ".sh", ".toml", ".txt", ""}

# (path relative to the repository, text the line contains, why it is no copy)
ALLOWED = [
    ("README.md", "| holding 768..895 |", "the acknowledgement table's round registers (HR_ACK_ROUND), no status value"),
]


def _words(values):
    return "|".join(str(v) for v in sorted(set(values), key=str))


def _hex(v):
    return r"0[xX]0*%X\b" % v


def rules():
    """(name, compiled pattern) for every kind of hand copy, from the header's values."""
    r = []
    # The image and the table sizes: distinctive wherever they stand.
    r.append(("image size", re.compile(r"(?<!\d)%d(?!\d)" % L.IMG_SIZE)))
    r.append(("holding table size", re.compile(r"(?<!\d)%d(?!\d)" % L.HOLDING)))
    r.append(("table sizes", re.compile(r"modbus_mapping_new\(\s*(%d|%d)\b" % (L.COILS, L.DISCRETE))))
    # Status x scale as a literal where a status is read or described.
    statuses = [s * L.STATUS_SCALE for s in (L.STATUS_QUEUED, L.STATUS_SENDING, L.STATUS_DONE, L.STATUS_FAILED)]
    status_ctx = r"(ir_get|read_ir|read_input_registers|\bregisters\b|status|queued|sending|\bdone\b|failed)"
    r.append(("status value", re.compile(r"^(?=.*%s)(?=.*(?<![\w.])(%s)(?![\w.]))" % (status_ctx, _words(statuses[1:])),
                                         re.I)))
    r.append(("status value", re.compile(r"\b%d queued\b|\bqueued \(?%d\b" % (statuses[0], statuses[0]), re.I)))
    # Alarm text and phone group addresses: a literal register address inside
    # the tables, or a table base plus an offset.
    text_end = L.alarm_off_text_reg(L.ALARMS - 1) + L.TEXT_N
    phone_end = L.phone_reg(L.GROUPS - 1, L.PHONES_PER_GROUP - 1) + L.PHONE_N
    access = (r"(?:hr_get|hr_set|ir_get|ir_set|read_holding_registers|read_input_registers|write_register|"
              r"write_registers|read_hr|write_hr|tab_registers\s*\[)\(?\s*(\d+)\b")
    r.append(("text/phone address", (re.compile(access), lambda n: L.TEXT_BASE <= n < text_end or
                                     L.PHONE_BASE_LO <= n < phone_end)))
    bases = _words([L.TEXT_BASE, L.PHONE_BASE_LO, L.PHONE_BASE_HI])
    r.append(("text/phone base", re.compile(r"(?<![\d.])(%s)\s*\+|\+\s*(%s)(?![\d.])" % (bases, bases))))
    r.append(("text/phone formula", re.compile(r"\b(%d|%d)\s*\*|\*\s*(%d|%d)\b" % (
        L.TEXT_GROUP_STRIDE, L.PHONE_BLOCK, L.TEXT_BLOCK, L.PHONE_BLOCK))))
    # The identification words: in hex anywhere, in decimal two on a line.
    r.append(("identification word", re.compile("|".join(_hex(v) for v in L.IDENT if v > 0x0101))))
    r.append(("identification words", re.compile(r"(?<!\d)(%s)(?!\d).*(?<!\d)(%s)(?!\d)" % (
        _words(L.IDENT), _words(L.IDENT)))))
    # Line settings: a whole holding-200 word, or a baud code paired with its rate.
    words = [b.code << 8 | f.code for b in L.BAUDS for f in L.FRAMINGS]
    r.append(("line setting", re.compile("|".join(_hex(v) for v in words))))
    pairs = "|".join(r"\b%d\s*[,:]\s*%d\b|\b%d\s*[,:]\s*%d\b" % (b.code, b.baud, b.baud, b.code) for b in L.BAUDS)
    r.append(("baud code", re.compile(pairs)))
    return r


def files(paths):
    for p in paths:
        full = os.path.join(REPO, p)
        if os.path.isfile(full):
            yield p
            continue
        for d, subdirs, names in os.walk(full):
            subdirs[:] = sorted(s for s in subdirs if s not in SKIP_DIRS and not s.startswith("build"))
            for n in sorted(names):
                if os.path.splitext(n)[1] in SUFFIXES:
                    yield os.path.relpath(os.path.join(d, n), REPO)


def allowed(path, line):
    return any(path == p and text in line for p, text, _ in ALLOWED)


def scan(paths):
    found = []
    checks = rules()
    for path in files(paths):
        try:
            with open(os.path.join(REPO, path), encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (UnicodeDecodeError, OSError):
            continue   # binary files (images, seeds) hold no hand-written text
        for no, line in enumerate(lines, 1):
            if allowed(path, line):
                continue
            for name, rule in checks:
                if isinstance(rule, tuple):
                    pattern, keep = rule
                    hit = any(keep(int(m.group(1))) for m in pattern.finditer(line))
                else:
                    hit = rule.search(line) is not None
                if hit:
                    found.append("%s:%d: %s: %s" % (path, no, name, line.strip()))
                    break
    return found


def main(argv):
    found = scan(argv or SCAN)
    for f in found:
        print(f)
    if found:
        print("%d hand copies of register-map facts: use modbus/map_layout.h's names "
              "(layout:: in C++, sim.maplayout in Python) or point to the header" % len(found), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
