#!/usr/bin/env python3
"""Checks that every relative link in the Markdown documents resolves.

    scripts/check_doc_links.py [FILE.md ...]

Without arguments it checks every tracked .md file. A link resolves when its
path names a tracked file or a folder holding one (so a link into build/ or
to a file not yet added fails, as it would in a fresh clone), and when its
anchor (#...) names a heading of the Markdown file it points to, made into
an anchor as the usual Markdown hosts do it. Links with a scheme (https:,
mailto:) are left alone: the documents are read offline too. Code spans and
fenced code blocks are not Markdown links, and are skipped.

Prints one line a broken link, FILE:LINE: TARGET: WHY, and exits with 1 when
there is any.
"""

import os
import re
import subprocess
import sys

INLINE_LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
CODE_SPAN = re.compile(r"(`+).*?\1")
FENCE = re.compile(r"^\s{0,3}(```|~~~)")
HEADING = re.compile(r"^\s{0,3}#{1,6}\s+(.*?)\s*#*\s*$")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(text):
    """(line number, line) for each line outside fenced code blocks, code
    spans removed."""
    fenced = None
    for number, line in enumerate(text.splitlines(), 1):
        fence = FENCE.match(line)
        if fence and (fenced is None or fence.group(1) == fenced):
            fenced = fence.group(1) if fenced is None else None
            continue
        if fenced is None:
            yield number, CODE_SPAN.sub("", line)


def heading_anchor(heading):
    """The anchor a heading gets: lower case, markup and punctuation dropped
    (hyphens and underscores kept), each space a hyphen."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = text.replace("`", "").replace("*", "")
    text = re.sub(r"[^\w\- ]", "", text.lower())
    return text.replace(" ", "-")


def anchors(text):
    """Every anchor of a document's headings; a repeated heading's anchor
    gets -1, -2, ... as the hosts number them."""
    seen = {}
    found = set()
    for _, line in prose_lines(text):
        heading = HEADING.match(line)
        if not heading:
            continue
        anchor = heading_anchor(heading.group(1))
        count = seen.get(anchor, 0)
        seen[anchor] = count + 1
        found.add(anchor if count == 0 else "%s-%d" % (anchor, count))
    return found


def links(text):
    """(line number, target) for each link of a document."""
    for number, line in prose_lines(text):
        for match in INLINE_LINK.finditer(line):
            yield number, match.group(1)
        definition = REFERENCE_DEFINITION.match(line)
        if definition:
            yield number, definition.group(1)


def check(root, documents, tracked):
    """The broken links of DOCUMENTS (paths relative to ROOT), as
    "FILE:LINE: TARGET: WHY" lines; TRACKED is the set of files a link may
    name, relative to ROOT."""
    folders = {os.path.dirname(path) for path in tracked}
    for path in list(folders):
        while path:
            path = os.path.dirname(path)
            folders.add(path)
    problems = []
    for document in documents:
        with open(os.path.join(root, document), encoding="utf-8") as file:
            text = file.read()
        for number, target in links(text):
            if not target or SCHEME.match(target):
                continue
            path, _, anchor = target.partition("#")
            if path:
                resolved = os.path.normpath(os.path.join(os.path.dirname(document), path))
            else:
                resolved = document
            where = "%s:%d: %s" % (document, number, target)
            if resolved.startswith(".."):
                problems.append("%s: points outside the repository" % where)
            elif resolved not in tracked and resolved not in folders:
                problems.append("%s: no tracked file or folder %s" % (where, resolved))
            elif anchor and not resolved.endswith(".md"):
                problems.append("%s: an anchor into %s, which has no headings" % (where, resolved))
            elif anchor:
                with open(os.path.join(root, resolved), encoding="utf-8") as file:
                    if anchor not in anchors(file.read()):
                        problems.append("%s: no heading in %s has the anchor #%s"
                                        % (where, resolved, anchor))
    return problems


def main(arguments):
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                          capture_output=True, text=True).stdout.strip()
    tracked = set(subprocess.run(["git", "ls-files", "-z"], cwd=root, check=True,
                                 capture_output=True, text=True).stdout.split("\0")) - {""}
    tracked = {path for path in tracked if os.path.exists(os.path.join(root, path))}
    if arguments:
        documents = [os.path.relpath(os.path.abspath(path), root) for path in arguments]
    else:
        documents = sorted(path for path in tracked if path.endswith(".md"))
    problems = check(root, documents, tracked)
    for problem in problems:
        print(problem)
    print("doc links: %d broken in %d documents" % (len(problems), len(documents))
          if problems else "doc links: every link of %d documents resolves" % len(documents))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
