"""The failure report and the linker map: where a reported position lies,
as the object file whose code holds it and the nearest function symbol
before it."""

import re
import shutil
import subprocess

from harness import HarnessError


def demangle(names):
    for tool in ("i686-w64-mingw32-c++filt", "c++filt"):
        if shutil.which(tool):
            proc = subprocess.run([tool], input="\n".join(names) + "\n",
                                  stdout=subprocess.PIPE, universal_newlines=True)
            out = proc.stdout.splitlines()
            if proc.returncode == 0 and len(out) == len(names):
                return out
    return names


def read_map(path):
    """From a linker map: the image base, the code's input sections (start,
    end, object file) and the function symbols (address, name), each sorted
    by address.  Symbols of internal linkage are not in the map; their code
    still lies in their object's input section."""
    with open(path, "r", encoding="latin-1") as f:
        text = f.read()
    base = re.search(r"0x([0-9a-fA-F]+)\s+__image_base__\s*=", text)
    base = int(base.group(1), 16) if base else 0x400000
    sections = []
    for start, size, owner in re.findall(
            r"^ \.text\S*\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+([^\n]+)$", text, re.M):
        start, size = int(start, 16), int(size, 16)
        if size:
            sections.append((start, start + size, owner.strip()))
    sections.sort()
    symbols = []
    for address, name in re.findall(r"^ {16}0x([0-9a-fA-F]+) {2,}(\S[^\n]*?)\s*$", text, re.M):
        if not (name.startswith("0x") or "=" in name or "PROVIDE" in name):
            symbols.append((int(address, 16), name))
    symbols.sort()
    if not sections:
        raise HarnessError("no code sections in %s" % path)
    return base, sections, symbols


def resolve(map_path, offset):
    """The address of a reported position, the object file whose code holds
    it, and the nearest function symbol before it in that object's section
    (None where the map has none)."""
    base, sections, symbols = read_map(map_path)
    address = base + offset
    for start, end, owner in sections:
        if start <= address < end:
            inside = [symbol for symbol in symbols if start <= symbol[0] <= address]
            if not inside:
                return address, owner, None
            return address, owner, (inside[-1][0], demangle([inside[-1][1]])[0])
    return address, None, None


def check_resolves(check, what, map_path, position, function=None, in_object=None):
    """The reported position lies in the named function, or in code of the
    named object file."""
    address, owner, symbol = resolve(map_path, position)
    if owner is None:
        check.fail("%s: position %08X (address %08X) is in no code section of %s" %
                   (what, position, address, map_path))
        return
    where = "%s+0x%X" % (symbol[1], address - symbol[0]) if symbol else "(no symbol)"
    print("%s: position %08X = address %08X = %s in %s" % (what, position, address, where, owner))
    if function and not (symbol and re.search(
            r"(^|[^A-Za-z0-9_])%s([^A-Za-z0-9_]|$)" % re.escape(function), symbol[1])):
        check.fail("%s: position resolves to %s, not to %s" % (what, where, function))
    if in_object and in_object not in owner:
        check.fail("%s: position lies in %s, not in %s" % (what, owner, in_object))
