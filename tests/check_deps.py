#!/usr/bin/python3
"""Checks the install list against what the project's own scripts use.

    /usr/bin/python3 tests/check_deps.py [--without PKG ...]

Every Python module that sim/, tests/ and bench/ import (transitively: what
those modules import counts too) and every command that these files and the
cross-build scripts run must come from a Debian package that is either on the
base system (priority required or important) or installed by the install
scripts: named in their PKGS lists or reached from them through Depends and
Pre-Depends. Recommends are not installed by them and do not count.

What is installed on this machine does not matter: the check fails here too
when a module is loaded only because some package happens to be installed by
hand. --without drops packages from the list, to show that the check would
catch their absence. Exit status 0: every one is covered; 1: the missing ones
are named.
"""
import argparse
import ast
import os
import re
import shutil
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCAN_DIRS = ["sim", "tests", "bench", "tools"]
INSTALL_SCRIPTS = ["sim/install_deps", "tools/cross/install_deps"]
# Modules that are loaded without an import statement of ours: pytest plugins
# named on the command line of tests/run_all (-n comes from xdist).
EXTRA_MODULES = ["pytest", "xdist"]
# Words of shell scripts that are not commands run by them.
SHELL_WORDS = {"if", "then", "else", "elif", "fi", "for", "while", "until", "do", "done", "case",
               "esac", "in", "function", "select", "time", "exec", "env", "sudo", "command", "builtin",
               "local", "export", "return", "exit", "set", "shift", "cd", "echo", "printf", "read",
               "wait", "trap", "eval", "source", ".", "test", "[", "[[", "true", "false", ":", "declare",
               "readonly", "unset", "break", "continue", "kill", "type", "shopt", "pushd", "popd"}


def install_list(without):
    """The packages that the install scripts name (architecture qualifiers dropped)."""
    pkgs = set()
    for rel in INSTALL_SCRIPTS:
        path = os.path.join(REPO, rel)
        if not os.path.exists(path):
            continue
        text = open(path).read()
        for m in re.finditer(r"PKGS\+?=\(([^)]*)\)", text):
            for word in m.group(1).split():
                if word.startswith("#") or "$" in word or word.startswith('"'):
                    continue
                pkgs.add(word.split(":")[0])
    return pkgs - set(without)


def depends_closure(pkgs):
    """Every package reached from pkgs through Depends/Pre-Depends (virtual ones
    through their providers), as apt-cache resolves them."""
    out = subprocess.run(
        ["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
         "--no-breaks", "--no-replaces", "--no-enhances"] + sorted(pkgs),
        capture_output=True, text=True, check=True).stdout
    reached = set()
    for line in out.splitlines():
        name = line.strip().lstrip("|")
        if ":" in name and name.split(":")[0].strip() in ("Depends", "PreDepends"):
            name = name.split(":", 1)[1].strip()
        elif line.startswith(" "):
            pass   # an indented provider line: the name itself
        name = name.strip("<>").split(":")[0]
        if name:
            reached.add(name)
    return reached


def base_system():
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Priority} ${Essential}\n"],
                         capture_output=True, text=True, check=True).stdout
    base = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and (parts[1] in ("required", "important") or parts[-1] == "yes"):
            base.add(parts[0].split(":")[0])
    return base


def project_files():
    py, sh = [], []
    for d in SCAN_DIRS:
        for top, dirs, files in os.walk(os.path.join(REPO, d)):
            dirs[:] = [x for x in dirs if x not in ("corpus", "__pycache__")]
            for f in files:
                p = os.path.join(top, f)
                if f.endswith(".py"):
                    py.append(p)
                elif not os.path.splitext(f)[1]:
                    with open(p, "rb") as fh:
                        first = fh.readline()
                    if first.startswith(b"#!") and b"sh" in first:
                        sh.append(p)
                    elif first.startswith(b"#!") and b"python" in first:
                        py.append(p)
    return py, sh


def local_module_names():
    names = set()
    for d in SCAN_DIRS:
        for top, dirs, files in os.walk(os.path.join(REPO, d)):
            names.update(os.path.splitext(f)[0] for f in files if f.endswith(".py"))
            names.update(dirs)
    # The scanned directories that are packages (sim) are local as a whole.
    names.update(d for d in SCAN_DIRS if os.path.exists(os.path.join(REPO, d, "__init__.py")))
    return names


def imports_and_commands(py_files):
    mods, cmds = set(), set()
    call = re.compile(r"(?:Popen|run|call|check_call|check_output|which)\(\s*\[?\s*[\"']([\w./+-]+)[\"']")
    for p in py_files:
        src = open(p, encoding="utf-8").read()
        tree = ast.parse(src, p)
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                mods.update(a.name for a in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                mods.add(node.module)
                mods.update("%s.%s" % (node.module, a.name) for a in node.names)
        cmds.update(call.findall(src))
    return mods, cmds


def shell_commands(sh_files):
    cmds = set()
    for p in sh_files:
        for line in open(p, encoding="utf-8"):
            line = line.split("#", 1)[0] if not line.lstrip().startswith("#!") else ""
            for seg in re.split(r"\|\||&&|[|;&(){}`]|\$\(", line):
                words = seg.split()
                while words and (re.match(r"^\w+=", words[0]) or words[0] in SHELL_WORDS
                                 or words[0].startswith("-") or words[0].startswith('"${')):
                    words.pop(0)
                if words and re.match(r"^[\w./+-]+$", words[0]) and not words[0].endswith(")"):
                    cmds.add(words[0])
    return cmds


def loaded_module_files(mods, local):
    """Imports each module in a fresh interpreter; returns the files of every
    module that got loaded, and the modules that could not be imported."""
    wanted = sorted(m for m in mods if m.split(".")[0] not in local)
    script = r"""
import importlib, sys
bad = []
for m in sys.argv[1:]:
    try:
        importlib.import_module(m)
    except ImportError as e:
        parent = m.rpartition(".")[0]
        if parent and parent in sys.modules:
            continue       # "from X import name": a name, not a module
        bad.append("%s (%s)" % (m, e))
    except Exception as e:
        bad.append("%s (%s: %s)" % (m, type(e).__name__, e))
for mod in list(sys.modules.values()):
    f = getattr(mod, "__file__", None)
    if f:
        print("F " + f)
for b in bad:
    print("X " + b)
"""
    out = subprocess.run(["/usr/bin/python3", "-c", script] + wanted, capture_output=True, text=True,
                         cwd="/", env={"PATH": "/usr/bin:/bin"}).stdout
    # What a bare interpreter loads at start-up (site, .pth hooks of whatever
    # is installed here) is not loaded for the project's sake.
    bare = subprocess.run(["/usr/bin/python3", "-c", script], capture_output=True, text=True,
                          cwd="/", env={"PATH": "/usr/bin:/bin"}).stdout
    at_start = {os.path.realpath(line[2:]) for line in bare.splitlines() if line.startswith("F ")}
    files, failed = set(), []
    for line in out.splitlines():
        if line.startswith("F "):
            f = os.path.realpath(line[2:])
            if f not in at_start:
                files.add(f)
        elif line.startswith("X "):
            failed.append(line[2:])
    return files, failed


def owners(paths):
    """File -> Debian package, through dpkg -S (tries the /usr-merged twin too)."""
    result = {}
    todo = sorted(paths)
    for attempt in range(2):
        if not todo:
            break
        out = subprocess.run(["dpkg", "-S"] + todo, capture_output=True, text=True).stdout
        for line in out.splitlines():
            pkg, _, path = line.partition(": ")
            for p in pkg.split(", "):
                result.setdefault(path.strip(), p.split(":")[0])
        missing = [p for p in todo if p not in result]
        if attempt == 0:
            twins = {}
            for p in missing:
                t = p[4:] if p.startswith("/usr/") else "/usr" + p
                twins[t] = p
            out2 = subprocess.run(["dpkg", "-S"] + sorted(twins), capture_output=True, text=True).stdout
            for line in out2.splitlines():
                pkg, _, path = line.partition(": ")
                if path.strip() in twins:
                    result.setdefault(twins[path.strip()], pkg.split(", ")[0].split(":")[0])
            todo = []
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--without", action="append", default=[], metavar="PKG",
                    help="leave PKG out of the install list (to prove the check)")
    opts = ap.parse_args()

    listed = install_list(opts.without)
    covered = base_system() | depends_closure(listed)
    py, sh = project_files()
    mods, cmds = imports_and_commands(py)
    cmds |= shell_commands(sh)
    files, failed = loaded_module_files(mods | set(EXTRA_MODULES), local_module_names())
    problems = ["Python module %s cannot be imported" % f for f in failed]

    cmd_paths = {}
    for c in sorted(cmds):
        if "/" in c and not c.startswith("/"):
            continue   # one of the project's own scripts or programs
        path = c if c.startswith("/") else shutil.which(c, path="/usr/sbin:/usr/bin:/sbin:/bin")
        if path and os.path.isfile(path) and not os.path.realpath(path).startswith(REPO):
            cmd_paths[os.path.realpath(path)] = c
    module_files = {f for f in files if not f.startswith(REPO)}
    own = owners(module_files | set(cmd_paths))

    needed = {}
    for f in sorted(module_files):
        pkg = own.get(f)
        if pkg is None:
            problems.append("Python module file %s belongs to no Debian package" % f)
        else:
            needed.setdefault(pkg, []).append(f)
    for f, c in sorted(cmd_paths.items()):
        pkg = own.get(f)
        if pkg is None:
            problems.append("command %s (%s) belongs to no Debian package" % (c, f))
        else:
            needed.setdefault(pkg, []).append("command " + c)
    for pkg, what in sorted(needed.items()):
        if pkg not in covered:
            problems.append("package %s is used but not installed by %s (nor reached through Depends): %s"
                            % (pkg, " or ".join(INSTALL_SCRIPTS), ", ".join(what[:3])
                               + (" ..." if len(what) > 3 else "")))
    if problems:
        print("install list check FAILED:")
        for p in problems:
            print("  " + p)
        return 1
    print("install list check: %d packages used, all installed by the install scripts or on the base system"
          % len(needed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
