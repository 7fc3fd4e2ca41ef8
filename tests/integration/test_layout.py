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
