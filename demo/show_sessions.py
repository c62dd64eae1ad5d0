#!/usr/bin/env python3
"""Shows what one run of zorvo-recolour did to the demo's sessions: the tool's
own output and exit status, then one table per session with the values
Colour0 to Colour21 before and after the run, and what happened to the
session's other values and subkeys.

    show_sessions.py BEFORE AFTER TOOL_OUTPUT STATUS

BEFORE and AFTER are dumps by demo_registry.exe (see demo_registry.c);
TOOL_OUTPUT is the tool's standard output, byte for byte. When standard
output is a terminal (and NO_COLOR is not set), a colour swatch in 24-bit
colour stands beside every value that holds a colour text.
"""

import os
import re
import sys

COLOUR_COUNT = 22
TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
              7: "REG_MULTI_SZ", 11: "REG_QWORD"}
FAILURE = re.compile(rb"^Could not write value .* to registry key "
                     rb"HKEY_CURRENT_USER\\Software\\Tessaloquin\\Zorvo\\Sessions\\(.*)\\Colour(\d+)$")
COLOUR_TEXT = re.compile(r"^(\d{1,3}),(\d{1,3}),(\d{1,3})$")


def unhex(field):
    return b"" if field == "-" else bytes.fromhex(field)


def text(data):
    """Registry bytes as the ANSI code page (1252) shows them."""
    return data.decode("cp1252", errors="replace")


class Key:
    def __init__(self):
        self.values = {}  # name -> (type, data), in enumeration order
        self.subkeys = {}  # path relative to the session -> Key


def read_dump(path):
    """The sessions in enumeration order: name -> Key."""
    sessions = {}
    key = None
    with open(path, "rb") as dump:
        for line in dump.read().decode("ascii").splitlines():
            fields = line.split()
            if not fields:
                continue
            if fields[0] == "S":
                session = sessions[unhex(fields[1])] = Key()
                key = session
            elif fields[0] == "K":
                key = session.subkeys[unhex(fields[1])] = Key()
            elif fields[0] == "V":
                key.values[unhex(fields[1])] = (int(fields[2]), unhex(fields[3]))
    return sessions


def shown(value):
    """(type name, data as text, (r, g, b) or None) for a value, or None."""
    if value is None:
        return None
    kind, data = value
    type_name = TYPE_NAMES.get(kind, "type %d" % kind)
    if kind in (1, 2):
        content = text(data.split(b"\0")[0])
        match = COLOUR_TEXT.match(content)
        rgb = tuple(int(part) for part in match.groups()) if match else None
        if rgb and max(rgb) > 255:
            rgb = None
        return type_name, '"%s"' % content, rgb
    if kind == 4 and len(data) == 4:
        return type_name, "0x%08X" % int.from_bytes(data, "little"), None
    if kind == 7:
        return type_name, " | ".join(text(part) for part in data.split(b"\0") if part), None
    return type_name, " ".join("%02X" % byte for byte in data) or "(empty)", None


class Table:
    def __init__(self, swatches):
        self.swatches = swatches

    def cell(self, value, width):
        """A before or after cell, padded to width visible characters."""
        if value is None:
            return "(none)".ljust(width)
        type_name, content, rgb = value
        swatch = ""
        if self.swatches:
            swatch = "\x1b[48;2;%d;%d;%dm  \x1b[0m " % rgb if rgb else "   "
        return swatch + ("%-13s %s" % (type_name, content)).ljust(width - (3 if self.swatches else 0))


def outcome(before, after, refused):
    if refused:
        return "not written"
    if before is None:
        return "created"
    return "same text" if before == after else "replaced"


def show_session(name, before, after, refused, table):
    print('Session "%s"' % text(name))
    colour_names = [b"Colour%d" % index for index in range(COLOUR_COUNT)]
    rows = []
    for index, value_name in enumerate(colour_names):
        old, new = before.values.get(value_name), after.values.get(value_name)
        rows.append((value_name.decode(), shown(old), shown(new), outcome(old, new, index in refused)))
    width = max((len("%-13s %s" % cell[:2]) for row in rows for cell in row[1:3] if cell),
                default=len("(none)")) + (3 if table.swatches else 0)
    print("  %-9s %s  %s  %s" % ("Value", "Before".ljust(width), "After".ljust(width), "Result"))
    for value_name, old, new, result in rows:
        print("  %-9s %s  %s  %s" % (value_name, table.cell(old, width), table.cell(new, width), result))

    others = [value_name for value_name in before.values if value_name not in colour_names]
    others += [value_name for value_name in after.values
               if value_name not in colour_names and value_name not in before.values]
    for value_name in others:
        old, new = before.values.get(value_name), after.values.get(value_name)
        state = "unchanged" if old == new else "CHANGED"
        described = shown(old or new)
        print("  Other value %s (%s %s): %s" % (text(value_name), described[0], described[1], state))
    for path in list(before.subkeys) + [path for path in after.subkeys if path not in before.subkeys]:
        old, new = before.subkeys.get(path), after.subkeys.get(path)
        state = "unchanged" if old and new and old.values == new.values else "CHANGED"
        count = len((old or new).values)
        print("  Subkey %s (%d values): %s" % (text(path), count, state))
    print()


def main(argv):
    if len(argv) != 5:
        sys.stderr.write(__doc__)
        return 2
    before, after = read_dump(argv[1]), read_dump(argv[2])
    with open(argv[3], "rb") as output:
        tool_output = output.read()
    status = argv[4]
    swatches = sys.stdout.isatty() and "NO_COLOR" not in os.environ

    print("$ wine zorvo-recolour.exe")
    refused = {}
    for line in tool_output.split(b"\r\n"):
        if line:
            print("  " + text(line))
        failure = FAILURE.match(line)
        if failure:
            refused.setdefault(failure.group(1), set()).add(int(failure.group(2)))
    print("  (exit status %s)" % status)
    print()

    table = Table(swatches)
    for name in list(before) + [name for name in after if name not in before]:
        show_session(name, before.get(name, Key()), after.get(name, Key()), refused.get(name, set()), table)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
