"""The Python reading of modbus/map_layout.h (sim/maplayout.py) against the
compiler's: a program compiled against the header prints every constant, table
entry and formula value, and each must equal what the Python side reads."""
import os
import subprocess

import pytest

from sim import maplayout as L

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _dump_program():
    lines = ['#include <cstdio>', '#include "modbus/map_layout.h"', "int main() {"]
    expect = []

    def out(label, cxx, value):
        lines.append('    std::printf("%%s %%lld\\n", "%s", static_cast<long long>(%s));' % (label, cxx))
        expect.append("%s %d" % (label, value))

    for name, v in L.facts().items():
        if isinstance(v, int):
            out(name, "layout::" + name, v)
        elif isinstance(v, str):
            continue
        else:
            for k, item in enumerate(v):
                if isinstance(item, tuple):
                    for field, fv in zip(item._fields, item):
                        out("%s[%d].%s" % (name, k, field), "layout::%s[%d].%s" % (name, k, field), fv)
                else:
                    out("%s[%d]" % (name, k), "layout::%s[%d]" % (name, k), item)
    for name, f in L.formulas().items():
        if len(f.params) == 1:
            args = [(i,) for i in range(max(L.ALARMS, L.GROUPS))]
        else:
            args = [(i, j) for i in range(L.GROUPS) for j in range(L.PHONES_PER_GROUP)]
        for a in args:
            label = "%s(%s)" % (name, ",".join(map(str, a)))
            out(label, "layout::%s(%s)" % (name, ", ".join(map(str, a))), f(*a))
    lines += ["    return 0;", "}"]
    return "\n".join(lines) + "\n", expect


def test_python_reads_the_header_as_the_compiler_does(tmp_path):
    src, expect = _dump_program()
    (tmp_path / "dump.cpp").write_text(src)
    exe = tmp_path / "dump"
    cc = subprocess.run(["c++", "-std=c++20", "-I", REPO, "-o", str(exe), str(tmp_path / "dump.cpp")],
                        capture_output=True, text=True)
    assert cc.returncode == 0, cc.stderr
    got = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout.splitlines()
    assert len(expect) > 1000
    assert got == expect


def test_the_reader_refuses_what_it_cannot_read():
    with pytest.raises(L.LayoutError):
        L.parse("namespace layout {\nconstexpr int A = 1;\nstatic_assert(A == 2);\n}\n")
    with pytest.raises(L.LayoutError):
        L.parse("namespace layout {\nconstexpr int f(int i) { int j = i; return j; }\n}\n")
    with pytest.raises(L.LayoutError):
        L.parse("namespace layout {\nenum class X { A, B };\n}\n")
    names, env = L.parse("namespace layout {\nconstexpr int A = 7 / -2, B = -7 % 2;\n"
                         "constexpr uint16_t C = static_cast<uint16_t>(-1);\n"
                         "constexpr int f(int i, bool b) { return b ? A * i : (i < 3 ? B : C); }\n}\n")
    assert (env["A"], env["B"], env["C"]) == (-3, -1, 0xFFFF)
    assert (env["f"](2, True), env["f"](2, False), env["f"](5, False)) == (-6, -1, 0xFFFF)


def test_the_hand_copy_check_finds_copies_and_passes_the_tree(tmp_path):
    """tests/check_map_facts.py: each kind of hand copy is found (the lines are
    made from the header's values here), numbers that merely equal a fact are
    not, and the tree itself holds none."""
    import runpy
    check = runpy.run_path(os.path.join(REPO, "tests", "check_map_facts.py"), run_name="check_map_facts")
    done = L.STATUS_DONE * L.STATUS_SCALE
    copies = [
        "assert len(image) == %d" % L.IMG_SIZE,
        "regs = struct.unpack('<%dH', tail)" % L.HOLDING,
        "map = modbus_mapping_new(%d, %d, n, m);" % (L.COILS, L.DISCRETE),
        "EXPECT_EQ(ir_get(0), %d);" % done,
        "assert c.read_input_registers(0, 1).registers == [%d]" % done,
        "c.write_registers(%d, [0x3132])" % L.phone_reg(3, 2),
        "EXPECT_EQ(hr_get(%d), 0x4300);" % L.alarm_off_text_reg(9),
        "reg = %d + 2 * n" % L.TEXT_BASE,
        "reg = base + %d * g + 108 * i" % L.TEXT_GROUP_STRIDE,
        "ident = {0x%04X};" % L.IDENT[2],
        "# [%d, %d, ...]" % (L.IDENT[0], L.IDENT[1]),
        "hr_set(200, 0x%04X);" % (L.BAUDS[2].code << 8 | L.FRAMINGS[4].code),
        "BAUDS = {%d: %d}" % (L.BAUDS[3].code, L.BAUDS[3].baud),
    ]
    innocent = [
        "sys_usleep(%d);" % L.TEXT_BASE,
        "char buf[%d];" % (L.STATUS_FAILED * L.STATUS_SCALE),
        "EXPECT_LT(waited, 2000.0 + %d.0);" % L.TEXT_BASE,
        "write_register(c, HR_EDGE_DELAY + 9, %d)" % L.PHONE_BASE_LO,
        "timeout = %d" % (L.STATUS_SENDING * L.STATUS_SCALE),
    ]
    f = tmp_path / "sample.py"
    f.write_text("\n".join(copies + innocent) + "\n")
    found = check["scan"]([str(f)])
    assert [int(line.split(":")[1]) for line in found] == list(range(1, len(copies) + 1)), found
    assert check["scan"](check["SCAN"]) == []
