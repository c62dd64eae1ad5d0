"""The recolouring run itself: which sessions it finds, in what order, what it
writes into each and what it leaves alone, and the silent runs when there is
nothing it may change."""

from harness.registry import REG_BINARY, REG_DWORD, SESSIONS, Seed, names_in_order, session
from harness.runs import failure_line, lines_out


def test_no_sessions_key(wine, check):
    """Without the sessions key: nothing printed, status 0, nothing created."""
    # Nothing of the client's at all.
    before = wine.seed(Seed())
    check.equal("seeded tree", True, before.absent)
    check.run("run without the client's key", wine.tool())
    check.same_tree("tree after the run", before, wine.dump())

    # The client's key, but no Zorvo below it.
    before = wine.seed(Seed().text((), b"Other", b"keep"))
    check.run("run without Zorvo", wine.tool())
    check.same_tree("Zorvo not created", before, wine.dump())

    # Zorvo, but no Sessions below it.
    before = wine.seed(Seed().text(SESSIONS[:1], b"Setting", b"1"))
    check.run("run without Sessions", wine.tool())
    check.same_tree("Sessions not created", before, wine.dump())


def test_empty_sessions_key(wine, check):
    """A sessions key without subkeys: nothing printed or written, status 0."""
    before = wine.seed(Seed().key(SESSIONS).text(SESSIONS, b"Marker", b"as it was"))
    check.run("run", wine.tool())
    check.same_tree("tree after the run", before, wine.dump())


def test_two_sessions(wine, check):
    """Names in the registry's order; 22 REG_SZ values each; nothing else."""
    beta, alpha = session(b"Beta"), session(b"alpha")
    seed = (Seed()
            .key(beta)
            .text(beta, b"Colour0", b"1,2,3")
            .value(beta, b"Colour5", REG_DWORD, b"\x07\x00\x00\x00")
            .value(beta, b"Colour21", REG_BINARY, b"\x01\x02")
            .text(beta, b"Other", b"untouched")
            .text(beta, b"", b"default value")
            .value(beta, b"Colour22", REG_DWORD, b"\x16\x00\x00\x00")
            .key(beta + (b"Child",))
            .text(beta + (b"Child",), b"Inner", b"kept")
            .key(alpha + (b"Sub", b"Deeper"))
            .text(SESSIONS, b"Marker", b"sessions key"))
    before = wine.seed(seed)
    # Wine lists subkeys in case-insensitive name order: not the order of
    # creation, nor byte order.
    check.equal("enumeration order of the seeded sessions", [b"alpha", b"Beta"],
                names_in_order(before))
    result = wine.tool()
    check.run("run", result, out=lines_out([b"alpha", b"Beta"]))
    expected = before.copy()
    expected.recolour(alpha)
    expected.recolour(beta)
    check.same_tree("tree after the run", expected, wine.dump())


def test_refused_session_key(wine, check):
    """A session key that refuses writes: its name and 22 failure lines; the
    other sessions recoloured; the sessions key gets nothing."""
    first, refused, last = session(b"First"), session(b"Locked"), session(b"Zulu")
    seed = (Seed().key(first).key(refused).text(refused, b"Colour3", b"9,9,9")
            .deny(refused).key(last))
    before = wine.seed(seed)
    lines = [b"First", b"Locked"] + [failure_line(b"Locked", i) for i in range(22)] + [b"Zulu"]
    check.run("run", wine.tool(), out=lines_out(lines))
    expected = before.copy()
    expected.recolour(first)
    expected.recolour(last)
    check.same_tree("tree after the run", expected, wine.dump())


def test_refused_sessions_key(wine, check):
    """A sessions key that cannot be opened with all access: a silent run."""
    seed = (Seed().key(session(b"One")).key(session(b"Two"))
            .text(session(b"Two"), b"Colour1", b"1,1,1").deny(SESSIONS))
    before = wine.seed(seed)
    check.run("run", wine.tool())
    check.same_tree("tree after the run", before, wine.dump())


def test_many_sessions(wine, check):
    """300 sessions, all printed and all recoloured."""
    seed = Seed()
    names = [b"Host %03d %s" % (i, b"ABCDEFGHIJ"[i % 10:i % 10 + 1]) for i in range(300)]
    for name in reversed(names):
        seed.key(session(name))
    before = wine.seed(seed)
    order = names_in_order(before)
    check.equal("sessions seeded", 300, len(order))
    check.run("run", wine.tool(), out=lines_out(order))
    expected = before.copy()
    for name in order:
        expected.recolour(session(name))
    check.same_tree("tree after the run", expected, wine.dump())
