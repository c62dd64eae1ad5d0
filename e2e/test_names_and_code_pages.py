"""Session names as the registry holds them: printed and addressed byte for
byte, never as formats; every byte of code page 1252; the longest names and
the ANSI calls' limit on paths; under other Unix locales, code pages whose
characters take several bytes (UTF-8, and 932 with its lead bytes); and
names that the code page cannot hold, which are reported, never selected."""

import pytest

from harness import HarnessError

from harness.checks import show
from harness.locales import InLocale
from harness.registry import (LONGEST_SELECTABLE_NAME, SCHEME, Seed, ansi_names, enum_probe,
                              names_in_order, session, sessions_path, wide_names)
from harness.runs import expected_run, failure_line, lines_out


HOSTILE_NAMES = [
    b"Two  spaces and a\ttab ",
    b" leading space",
    b"100% sure %s%n%d %x %p %1 %% %",
    b"!\"#$&'()*+,-./:;<=>?@[]^_`{|}~",
    b"Caf\xe9 \xd6sterreich \xff \x80",
    b"undefined in 1252 \x81\x8d\x8f\x90\x9d",
]


def test_hostile_names(wine, check):
    """Names are printed and addressed byte for byte, never as formats."""
    seed = Seed()
    for name in HOSTILE_NAMES:
        seed.key(session(name))
    # A refused key with printf-like sequences: its failure lines carry the
    # name as text.
    refused = b"%s%n%s%n refused"
    seed.key(session(refused)).deny(session(refused))
    before = wine.seed(seed)
    check.equal("the seeded names read back", sorted(HOSTILE_NAMES + [refused]),
                sorted(names_in_order(before)))
    lines, expected = expected_run(before, [refused])
    check.run("run", wine.tool(), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())


def test_longest_names(wine, check):
    """Names up to the registry's longest (255) are listed whole; a session
    key whose path is too long for the ANSI calls cannot be selected, so it
    gets 22 failure lines: a name of 224 characters is recoloured, one of
    225 or 255 is not, in ASCII as in the upper half of code page 1252."""
    upper_half = bytes(range(0x80, 0x100))
    names = [b"short", b"M" * LONGEST_SELECTABLE_NAME, b"N" * (LONGEST_SELECTABLE_NAME + 1),
             b"Z" * 255,
             # The same lengths in bytes above 127: one character each in
             # code page 1252, so the limits stay where they are.
             (upper_half * 2)[:LONGEST_SELECTABLE_NAME],
             (upper_half[::-1] * 2)[:LONGEST_SELECTABLE_NAME + 1],
             (upper_half[64:] + upper_half * 2)[:255]]
    seed = Seed()
    for name in names:
        seed.key(session(name))
    before = wine.seed(seed)
    check.equal("seeded names", sorted(names), sorted(names_in_order(before)))
    lines, expected = expected_run(before)
    check.run("run", wine.tool(), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())


EVERY_BYTE = bytes(b for b in range(0x20, 0x100) if b != 0x5C)


def every_byte_names():
    """Eight names that hold every byte from 0x20 to 0xFF but the backslash
    once: name k takes every eighth byte from the k-th on, so that each
    mixes ASCII, the upper half and, among the latter, the five bytes that
    code page 1252 leaves undefined."""
    return [EVERY_BYTE[k::8] for k in range(8)]


def test_every_byte_in_names(wine, check):
    """Names holding every byte from 0x20 to 0xFF except the backslash, as
    the prefix's code page 1252 maps them: printed byte for byte, addressed
    exactly (no other key appears), and, for a key that refuses writes, in
    its 22 failure lines too."""
    names = every_byte_names()
    check.equal("every byte once", sorted(EVERY_BYTE), sorted(b"".join(names)))
    refused = names[3]
    seed = Seed()
    for name in names:
        seed.key(session(name)).text(session(name), b"HostName", name)
    seed.deny(session(refused))
    before = wine.seed(seed)
    check.equal("the seeded names read back", sorted(names), sorted(names_in_order(before)))
    # Text as the registry keeps it (UTF-16), seen through the values that
    # hold the names: the undefined bytes as U+0081 and so on.
    stored = {name: before.values[session(name)][b"HostName"][2] for name in names}
    for name in names:
        check.equal("stored form of the text %s" % show(name),
                    cp1252_as_wine_stores(name) + b"\0\0", stored[name])
    lines, expected = expected_run(before, [refused])
    check.run("run", wine.tool(), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())


def cp1252_as_wine_stores(data):
    """Code page 1252 to UTF-16 as Wine converts it: the five undefined
    bytes become the control characters of the same number."""
    return "".join(bytes([b]).decode("cp1252") if b not in b"\x81\x8d\x8f\x90\x9d" else chr(b)
                   for b in data).encode("utf-16-le")


def brief(name, limit=40):
    shown = show(name)
    return shown if len(shown) <= limit else "%s... (%d bytes)" % (shown[:limit], len(name))


def check_other_code_page(wine, check, what, names, refused, too_small, selectable):
    """Seeds NAMES (bytes in the current code page), runs the tool and
    checks its lines and the tree.  TOO_SMALL are the names that do not fit
    the buffer that the key query's longest name makes (checked first: it is
    what the case is about); SELECTABLE says which names the ANSI calls can
    select."""
    seed = Seed()
    for name in names:
        seed.key(session(name))
    for name in refused:
        seed.deny(session(name))
    before = wine.seed(seed)
    check.equal(what + ": the seeded names read back", sorted(names),
                sorted(names_in_order(before)))
    longest, results = enum_probe(wine, sessions_path())
    print("%s: the key query's longest name is %d; a buffer of %d is too small (234) for %s" % (
        what, longest, longest + 1,
        ", ".join(brief(name) for name, code in sorted(results.items()) if code == 234)))
    if {name for name, code in results.items() if code == 234} != set(too_small) or \
            any(code not in (0, 234) for code in results.values()):
        raise HarnessError("%s: Wine's RegEnumKeyExA does not behave as this case needs: %r"
                           % (what, results))
    lines, expected = [], before.copy()
    for name in names_in_order(before):
        lines.append(name)
        if name in refused or not selectable(name):
            lines += [failure_line(name, i) for i in range(len(SCHEME))]
        else:
            expected.recolour(session(name))
    check.run(what + ": run", wine.tool(), out=lines_out(lines))
    check.same_tree(what + ": tree after the run", expected, wine.dump())


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def too_small_names(texts, encoding, length):
    """The names (encoded) longer in bytes than the longest text's LENGTH."""
    longest = max(length(text) for text in texts)
    return [text.encode(encoding) for text in texts if len(text.encode(encoding)) > longest]


@pytest.mark.locale
def test_utf8_code_page(wine, check):
    """Under a Unicode-only locale (hi_IN.UTF-8) Wine's ANSI code page is
    65001, UTF-8.  The key query counts characters (UTF-16 units), so the
    buffer it sizes is too small for names whose characters take several
    bytes: those indexes fail with 234, and the tool asks again with a
    buffer for any name; without that they would be left out.

    Short names: e-acute (2 bytes), CJK (3), an emoji (4 bytes, two UTF-16
    units), one that fills the query's buffer exactly, and a refused key
    (its failure lines carry the UTF-8 bytes).  Long names: 224 and 225
    characters of 2 and 3 bytes, around the 260 characters that the ANSI
    calls take in a path (characters, not bytes), and the longest name in
    bytes, 255 characters of 3 bytes."""
    short = ["Plain", "Caf\u00e9 cr\u00e8me", "\u4e2d\u6587\u4f1a\u8bdd",
             "Smile \U0001f600", "\u00e9\u00e9\u00e9abcd", "Refus\u00e9 \u4e2d"]
    long = ["\u00e9" * LONGEST_SELECTABLE_NAME, "\u4e2d" * (LONGEST_SELECTABLE_NAME + 1),
            "\u6587" * 255]
    with InLocale(wine, "hi_IN.UTF-8", 65001):
        for what, texts, refused in (("short names", short, [short[5]]), ("long names", long, [])):
            check_other_code_page(
                wine, check, what, [text.encode("utf-8") for text in texts],
                [text.encode("utf-8") for text in refused],
                too_small_names(texts, "utf-8", utf16_units),
                lambda name: utf16_units(name.decode("utf-8")) <= LONGEST_SELECTABLE_NAME)


@pytest.mark.locale
def test_japanese_code_page(wine, check):
    """Under ja_JP.UTF-8 Wine's ANSI code page is 932, whose characters take
    one or two bytes: the tool doubles the key query's longest name, so
    names of double-byte characters fit its buffer (they do not fit the
    undoubled one).  Short names: double-byte characters, two of them with a
    backslash (0x5C) for their second byte, half-width katakana (one byte
    each), and a refused key whose name ends in such a 0x5C.  Long names:
    224 and 225 double-byte characters, around the ANSI calls' 260, and 255,
    which fill the doubled buffer exactly."""
    short = ["Plain", "\u65e5\u672c\u8a9e\u30bb\u30c3\u30b7\u30e7\u30f3",
             "\u30bd\u30d5\u30c8\u8868\u793a", "\uff7e\uff6f\uff7c\uff6e\uff9d",
             "\u62d2\u5426\u30bd"]
    long = ["\u65e5" * LONGEST_SELECTABLE_NAME, "\u672c" * (LONGEST_SELECTABLE_NAME + 1),
            "\u8a9e" * 255]
    check.equal("second bytes 0x5C", [2, 1], [short[2].encode("cp932").count(b"\\"),
                                             short[4].encode("cp932").count(b"\\")])
    with InLocale(wine, "ja_JP.UTF-8", 932):
        for what, texts, refused in (("short names", short, [short[4]]), ("long names", long, [])):
            check_other_code_page(
                wine, check, what, [text.encode("cp932") for text in texts],
                [text.encode("cp932") for text in refused],
                too_small_names(texts, "cp932", len),
                lambda name: len(name.decode("cp932")) <= LONGEST_SELECTABLE_NAME)


# Made in UTF-16, as any Unicode program makes them.
EMOJI = "Emoji \U0001F308 \u03ba\u03cc\u03c3\u03bc\u03b5"
SIGMA_TWIN = "Kosmo\u03c3"


def check_names_beyond_the_code_page(wine, check, what, names):
    """Seeds NAMES: bytes in the code page, or str for names made in UTF-16
    that it cannot hold.  The ANSI listing gives the latter with question
    marks and look-alike letters; the run prints that name and its 22
    failure lines and never selects it, so no key appears (the wide listing
    of the sessions is the same after the run) and those sessions stay as
    they were, while the others are recoloured.  Returns the ANSI listing by
    UTF-16 name."""
    seed = Seed()
    for name in names:
        seed.key(session(name))
    before = wine.seed(seed)
    stored = names_in_order(before)
    check.equal(what + ": the names the code page cannot hold",
                sorted(name for name in names if isinstance(name, str)),
                sorted(name for name in stored if isinstance(name, str)))
    sessions_before = wide_names(wine, sessions_path())
    listed = ansi_names(wine, sessions_path())
    lines, expected = [], before.copy()
    for name, shown in zip(stored, listed):
        lines.append(shown)
        if isinstance(name, str):
            lines += [failure_line(shown, i) for i in range(len(SCHEME))]
        else:
            expected.recolour(session(name))
    check.run(what + ": run", wine.tool(), out=lines_out(lines))
    check.equal(what + ": the sessions' UTF-16 names after the run", sessions_before,
                wide_names(wine, sessions_path()))
    check.same_tree(what + ": tree after the run", expected, wine.dump())
    return dict(zip(stored, listed))


def test_names_the_code_page_cannot_hold(wine, check):
    """Code page 1252 lists the emoji session as "Emoji ?? ??s\xB5e" and
    the one whose last letter is a sigma as "Kosmos", the name of another
    session: selecting those would create a key no session had, and write
    the colours of "Kosmos" twice while its twin is never touched."""
    listed = check_names_beyond_the_code_page(
        wine, check, "code page 1252", [b"Plain", b"Caf\xe9", b"Kosmos", SIGMA_TWIN, EMOJI])
    check.equal("1252: the emoji session as listed", b"Emoji ?? ??s\xb5e", listed.get(EMOJI))
    check.equal("1252: the sigma session as listed", b"Kosmos", listed.get(SIGMA_TWIN))


@pytest.mark.locale
def test_names_the_japanese_code_page_cannot_hold(wine, check):
    """Under code page 932 Japanese names are held and recoloured, while a
    name with an e-acute and a snowman, and one with an emoji, are not."""
    with InLocale(wine, "ja_JP.UTF-8", 932):
        check_names_beyond_the_code_page(
            wine, check, "code page 932",
            [b"Plain", "\u65e5\u672c\u8a9e\u30bb\u30c3\u30b7\u30e7\u30f3".encode("cp932"),
             "Caf\u00e9 \u2603", "Emoji \U0001F308"])
