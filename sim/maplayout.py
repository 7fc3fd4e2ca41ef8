"""The register map's layout, read from modbus/map_layout.h (the one place it is
written): every constant, table, record array and formula of the header, as
attributes of this module.

    from sim import maplayout as L
    L.HR_SMS_ENABLE, L.IDENT, L.alarm_text_reg(5), L.BAUDS[0].baud, L.IMG_SIZE

The header is parsed when this module is imported; nothing is generated into
the tree and no build is needed. The header's static_asserts are evaluated
too, so a reading that differs from the compiler's stops here; the test
tests/integration/test_layout.py compares every value and formula with a
program compiled against the header. The forms the header may use are listed
at its top.
"""
import os
import re
from collections import namedtuple

HEADER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "modbus", "map_layout.h")


class LayoutError(RuntimeError):
    pass


_TOKEN = re.compile(r"""
    (?P<ws>\s+)
  | (?P<num>0[xX][0-9a-fA-F]+[uUlL]*|\d+[uUlL]*)
  | (?P<chr>'(?:\\.|[^'\\])')
  | (?P<str>"(?:\\.|[^"\\])*")
  | (?P<id>[A-Za-z_]\w*(?:::[A-Za-z_]\w*)*)
  | (?P<op><<|>>|<=|>=|==|!=|&&|\|\||[-+*/%<>=!~&|^?:;,(){}\[\]\.])
""", re.X)

_UNSIGNED_BITS = {"uint8_t": 8, "uint16_t": 16, "uint32_t": 32, "uint64_t": 64, "unsigned": 32}


def _tokens(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))
    out, pos = [], 0
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if not m:
            raise LayoutError("map_layout.h: cannot read %r" % text[pos:pos + 30])
        pos = m.end()
        kind = m.lastgroup
        if kind == "ws":
            continue
        v = m.group()
        if kind == "num":
            v = int(v.rstrip("uUlL"), 0)
        elif kind == "chr":
            v = ord(bytes(v[1:-1], "latin-1").decode("unicode_escape"))
        elif kind == "str":
            v = ("str", bytes(v[1:-1], "latin-1").decode("unicode_escape"))
        out.append((kind, v))
    return out


def _cdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def _cmod(a, b):
    return a - b * _cdiv(a, b)


_BINARY = [  # lowest precedence first
    {"||": lambda a, b: int(bool(a) or bool(b))},
    {"&&": lambda a, b: int(bool(a) and bool(b))},
    {"|": lambda a, b: a | b},
    {"^": lambda a, b: a ^ b},
    {"&": lambda a, b: a & b},
    {"==": lambda a, b: int(a == b), "!=": lambda a, b: int(a != b)},
    {"<": lambda a, b: int(a < b), ">": lambda a, b: int(a > b), "<=": lambda a, b: int(a <= b),
     ">=": lambda a, b: int(a >= b)},
    {"<<": lambda a, b: a << b, ">>": lambda a, b: a >> b},
    {"+": lambda a, b: a + b, "-": lambda a, b: a - b},
    {"*": lambda a, b: a * b, "/": _cdiv, "%": _cmod},
]


class _Expr:
    """Evaluates one C++ integer expression of the header (tokens from pos)."""

    def __init__(self, toks, pos, env):
        self.t, self.p, self.env = toks, pos, env

    def peek(self):
        return self.t[self.p][1] if self.p < len(self.t) else None

    def take(self, want=None):
        kind, v = self.t[self.p]
        if want is not None and v != want:
            raise LayoutError("map_layout.h: expected %r, found %r" % (want, v))
        self.p += 1
        return kind, v

    def expr(self):
        c = self.binary(0)
        if self.peek() == "?":
            self.take()
            a = self.expr()
            self.take(":")
            b = self.expr()
            return a if c else b
        return c

    def binary(self, level):
        if level == len(_BINARY):
            return self.unary()
        v = self.binary(level + 1)
        while self.peek() in _BINARY[level]:
            op = _BINARY[level][self.take()[1]]
            v = op(v, self.binary(level + 1))
        return v

    def unary(self):
        tok = self.peek()
        if tok in ("-", "+", "!", "~"):
            self.take()
            v = self.unary()
            return {"-": -v, "+": v, "!": int(not v), "~": ~v}[tok]
        return self.postfix(self.primary())

    def postfix(self, v):
        while True:
            if self.peek() == "[":
                self.take()
                v = v[self.expr()]
                self.take("]")
            elif self.peek() == ".":
                self.take()
                v = getattr(v, self.take()[1])
            else:
                return v

    def primary(self):
        kind, v = self.take()
        if kind in ("num", "chr"):
            return v
        if kind == "str":
            return v[1]
        if v == "(":
            r = self.expr()
            self.take(")")
            return r
        if kind != "id":
            raise LayoutError("map_layout.h: unexpected %r in an expression" % (v,))
        if v in ("true", "false"):
            return int(v == "true")
        if v in ("static_cast", "std::size"):
            t = []
            if v == "static_cast":
                self.take("<")
                while self.peek() != ">":
                    t.append(self.take()[1])
                self.take(">")
            self.take("(")
            r = self.expr()
            self.take(")")
            if v == "std::size":
                return len(r)
            bits = _UNSIGNED_BITS.get(t[-1].split("::")[-1] if t else "")
            return r & ((1 << bits) - 1) if bits else r
        name = v.split("::")[-1]
        if name not in self.env:
            raise LayoutError("map_layout.h: %s is used before it is defined" % v)
        val = self.env[name]
        if self.peek() == "(" and callable(val):
            self.take()
            args = []
            while self.peek() != ")":
                args.append(self.expr())
                if self.peek() == ",":
                    self.take()
            self.take(")")
            return val(*args)
        return val


def _mask(type_words, v):
    bits = _UNSIGNED_BITS.get(type_words[-1].split("::")[-1]) if type_words else None
    return v & ((1 << bits) - 1) if bits and isinstance(v, int) else v


class _Function:
    def __init__(self, name, params, toks, env):
        self.__name__ = name
        self.params, self.toks, self.env = params, toks, env

    def __call__(self, *args):
        if len(args) != len(self.params):
            raise TypeError("%s takes %d arguments" % (self.__name__, len(self.params)))
        env = dict(self.env)
        env.update(zip(self.params, args))
        e = _Expr(self.toks, 0, env)
        v = e.expr()
        return v

    def __repr__(self):
        return "<layout formula %s(%s)>" % (self.__name__, ", ".join(self.params))


def parse(text):
    """Returns (names in header order, {name: value}); raises LayoutError on a
    form it does not know or a failing static_assert."""
    toks = _tokens(text)
    env, order, records = {}, [], {}
    i = 0

    def until(j, stop):
        depth = 0
        while True:
            v = toks[j][1]
            if depth == 0 and v in stop:
                return j
            if v in ("(", "{", "["):
                depth += 1
            elif v in (")", "}", "]"):
                depth -= 1
            j += 1

    def value(j, type_words):
        """An initialiser at j: an expression or a brace list; returns (value, next)."""
        if toks[j][1] == "{":
            j += 1
            items = []
            while toks[j][1] != "}":
                v, j = value(j, type_words)
                items.append(v)
                if toks[j][1] == ",":
                    j += 1
            rec = records.get(type_words[-1]) if type_words else None
            if rec is not None and items and not isinstance(items[0], (list, tuple)):
                return rec(*items), j + 1
            return items, j + 1
        e = _Expr(toks, j, env)
        v = _mask(type_words, e.expr())
        return v, e.p

    while i < len(toks):
        v = toks[i][1]
        if v == "namespace":
            i += 3 if toks[i + 2][1] == "{" else 2
        elif v == "}" or v == ";":
            i += 1
        elif v == "struct":
            name = toks[i + 1][1]
            end = until(i + 3, ("}",))
            fields, j = [], i + 3
            while j < end:
                k = until(j, (";",))
                fields.append(toks[k - 1][1])
                j = k + 1
            records[name] = namedtuple(name, fields)
            i = end + 2
        elif v == "static_assert":
            e = _Expr(toks, i + 2, env)
            if not e.expr():
                end = until(i + 2, (")",))
                raise LayoutError("map_layout.h: static_assert fails as read here: %s"
                                  % " ".join(str(t[1]) for t in toks[i + 2:end]))
            i = until(i + 1, (";",)) + 1
        elif v in ("constexpr", "inline"):
            j = i
            while toks[j][1] in ("constexpr", "inline", "static", "const"):
                j += 1
            k = j
            while toks[k + 1][1] not in ("(", "[", "=", ","):
                k += 1
            type_words = [t[1] for t in toks[j:k] if t[1] not in ("const", "*")]
            if toks[k + 1][1] == "(":
                name = toks[k][1]
                close = until(k + 2, (")",))
                params = [toks[m - 1][1] for m in range(k + 2, close + 1)
                          if toks[m][1] in (",", ")") and m > k + 2]
                body = until(close + 2, ("}",)) if toks[close + 1][1] == "{" else None
                if body is None or toks[close + 2][1] != "return":
                    raise LayoutError("map_layout.h: %s: a formula is one return statement" % name)
                end = until(close + 3, (";",))
                env[name] = _Function(name, params, toks[close + 3:end], env)
                order.append(name)
                i = body + 1
                continue
            # one or more declarators: NAME [ [N] ] = init, ...
            while True:
                name = toks[k][1]
                k += 1
                if toks[k][1] == "[":
                    k = until(k + 1, ("]",)) + 1
                if toks[k][1] != "=":
                    raise LayoutError("map_layout.h: %s has no initialiser" % name)
                val, k = value(k + 1, type_words)
                env[name] = val
                order.append(name)
                if toks[k][1] == ",":
                    k += 1
                    continue
                break
            i = until(k, (";",)) + 1
        else:
            end = until(i, (";",))
            raise LayoutError("map_layout.h: unknown form: %s" % " ".join(str(t[1]) for t in toks[i:end + 1]))
    return order, env


def load(path=HEADER):
    with open(path, encoding="utf-8") as f:
        return parse(f.read())


NAMES, _values = load()
globals().update(_values)


def facts():
    """{name: value} of every constant and table (formulas left out)."""
    return {n: _values[n] for n in NAMES if not callable(_values[n])}


def formulas():
    """{name: function} of every formula of the header."""
    return {n: _values[n] for n in NAMES if callable(_values[n])}
