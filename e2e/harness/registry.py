"""The registry side of a case: the values the tool is built to write, a
model of a dumped subtree to compare exactly, and the client of the registry
fixture (e2e/fixture/), whose scripts seed and dump keys with every name and
datum \\xNN-escaped, so that no name passes through Wine's command line."""

import copy

from harness import HarnessError
from harness.checks import show

SCHEME = [
    b"215,215,215", b"255,255,255", b"0,0,0", b"85,85,85", b"0,0,0",
    b"255,255,0", b"0,0,0", b"85,85,85", b"242,0,0", b"255,0,0",
    b"0,242,0", b"0,255,0", b"242,174,0", b"255,174,0", b"87,117,242",
    b"87,117,255", b"242,104,242", b"255,104,255", b"87,191,242",
    b"87,191,255", b"235,235,235", b"255,255,255",
]
REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 3, 4, 7

# Paths in the registry model are tuples of names below this key.
TOOL_ROOT = b"Software\\Tessaloquin"
SESSIONS = (b"Zorvo", b"Sessions")
# Wine's ANSI open and create calls refuse paths of more than 260
# characters (234); the tool's path to a session is the sessions key's path
# (35 characters once its leading backslash is removed), a backslash and the
# name, so the longest name that it can select is 224 characters.
LONGEST_SELECTABLE_NAME = 260 - len(b"Software\\Tessaloquin\\Zorvo\\Sessions\\")


def session(name):
    return SESSIONS + (name,)


def sessions_path():
    return b"\\".join((TOOL_ROOT,) + SESSIONS)


def session_path(name):
    return b"\\".join((TOOL_ROOT,) + session(name))


def names_in_order(tree):
    return [path[-1] for path in tree.keys_below(SESSIONS)]


def case_insensitive_order(names):
    """Wine's order of subkeys: by name, upper case and lower case alike,
    compared in their lower-case forms (so "[" and "_", which lie between
    the upper- and the lower-case letters, come before every letter)."""
    return sorted(names, key=lambda name: (name.lower(), name))


SAFE = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.,_-")


def esc(data):
    if not data:
        return "\\-"
    return "".join(chr(b) if b in SAFE else "\\x%02X" % b for b in data)


def unesc(token):
    """A name or datum as bytes; a key name that the ANSI code page cannot
    hold (a dump's \\u token) as the str of its UTF-16 name."""
    if token == "\\-":
        return b""
    if token.startswith("\\u"):
        return bytes.fromhex(token[2:]).decode("utf-16-le", "surrogatepass")
    out = bytearray()
    i = 0
    while i < len(token):
        if token.startswith("\\x", i):
            out.append(int(token[i + 2:i + 4], 16))
            i += 4
        else:
            out.append(ord(token[i]))
            i += 1
    return bytes(out)


class Tree:
    """A dumped subtree: key paths in enumeration order, and their values."""

    def __init__(self, absent=False):
        self.absent = absent
        self.order = []
        self.values = {}

    def copy(self):
        return copy.deepcopy(self)

    def keys_below(self, path):
        n = len(path)
        return [p for p in self.order if len(p) == n + 1 and p[:n] == path]

    def recolour(self, path):
        """The values the tool writes into one session's key."""
        if path not in self.values:
            self.order.append(path)
            self.values[path] = {}
        self.values[path].update(colour_values())

    def render(self):
        if self.absent:
            return ["(key absent)"]
        lines = []
        for path in sorted(self.values, key=sortable_path):
            lines.append("key " + "\\".join(show(p) for p in path))
            for name in sorted(self.values[path]):
                kind, data, stored = self.values[path][name]
                if kind == REG_SZ:
                    shown = '"%s"' % show(data)
                else:
                    shown = data.hex() or "-"
                lines.append("    value %s type=%d size=%d %s (stored: %d bytes %s)" %
                             (show(name) or "(default)", kind, len(data), shown,
                              len(stored), stored.hex() or "-"))
        return lines

    def __eq__(self, other):
        return (self.absent, self.values) == (other.absent, other.values)


def sortable_path(path):
    """A path whose names may be bytes or, for names only UTF-16 holds, str."""
    return tuple((isinstance(name, str), name.encode("utf-16-le", "surrogatepass")
                  if isinstance(name, str) else name) for name in path)


def colour_values(first=0):
    """The values the tool writes, from colour index FIRST on."""
    return {b"Colour%d" % i: (REG_SZ, text + b"\0", (text + b"\0").decode("ascii")
                              .encode("utf-16-le"))
            for i, text in enumerate(SCHEME) if i >= first}


def parse_dump(text):
    tree = Tree()
    lines = text.decode("ascii").splitlines()
    if lines == ["absent"]:
        return Tree(absent=True)
    current = None
    for line in lines:
        fields = line.split(" ")
        if fields[0] == "K":
            depth = int(fields[1])
            current = tuple(unesc(f) for f in fields[2:2 + depth])
            tree.order.append(current)
            tree.values[current] = {}
        elif fields[0] == "V" and current is not None and len(fields) == 7:
            name, kind = unesc(fields[1]), int(fields[2])
            data, stored = [b"" if hex_data == "-" else bytes.fromhex(hex_data)
                            for hex_data in (fields[4], fields[6])]
            if (len(data), len(stored)) != (int(fields[3]), int(fields[5])):
                raise HarnessError("dump: sizes do not match the data: %r" % line)
            tree.values[current][name] = (kind, data, stored)
        else:
            raise HarnessError("dump: unexpected line %r" % line)
    return tree


class Seed:
    """A fixture script that resets the tool's tree and builds a new one."""

    def __init__(self):
        self.lines = ["reset"]

    @staticmethod
    def path(path):
        return esc(b"\\".join((TOOL_ROOT,) + tuple(path)))

    def key(self, path):
        """A key; one whose last name is a str is created by its UTF-16 name,
        which need not pass through the code page."""
        if isinstance(path[-1], str):
            self.lines.append("wkey %s %s" % (self.path(path[:-1]),
                                              esc(path[-1].encode("utf-16-le", "surrogatepass"))))
        else:
            self.lines.append("key " + self.path(path))
        return self

    def value(self, path, name, kind, data):
        self.lines.append("set %s %s %d %s" % (self.path(path), esc(name), kind, esc(data)))
        return self

    def text(self, path, name, text):
        return self.value(path, name, REG_SZ, text + b"\0")

    def deny(self, path):
        self.lines.append("deny " + self.path(path))
        return self

    def script(self):
        return ("\n".join(self.lines) + "\n").encode("ascii")


def enum_probe(wine, path):
    """What RegEnumKeyExA gives for each subkey into the buffer that the key
    query's longest name (plus one) makes: {name: result}, and that longest
    name."""
    lines = wine.fixture(("enum-probe %s\n" % esc(path)).encode("ascii")).decode("ascii").splitlines()
    longest = int(lines[0].split()[1])
    results = {}
    for line in lines[1:]:
        _, code, length, name = line.split(" ")
        name = unesc(name)
        if len(name) != int(length):
            raise HarnessError("enum-probe: %r" % line)
        results[name] = int(code)
    return longest, results


def ansi_names(wine, path):
    """The subkeys' names as RegEnumKeyExA gives them, in enumeration order."""
    lines = wine.fixture(("enum-probe %s\n" % esc(path)).encode("ascii")).decode("ascii").splitlines()
    return [unesc(line.split(" ")[3]) for line in lines[1:]]


def wide_names(wine, path):
    """The subkeys' names as the registry keeps them (str), in enumeration order."""
    out = wine.fixture(("wnames %s\n" % esc(path)).encode("ascii")).decode("ascii")
    return [bytes.fromhex(line).decode("utf-16-le", "surrogatepass") for line in out.splitlines()]
