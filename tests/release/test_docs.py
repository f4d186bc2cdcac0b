#!/usr/bin/env python3
"""Follows every relative link in README.md and docs/*.md: the file it names
must exist (a picture as a file), and an anchor (#...) must be the slug of a
heading in the file it points into, as GitHub makes them: the heading's text
in lower case, punctuation dropped, each blank a hyphen, and a slug met again
in the same file followed by -1, -2, ... Links to other sites are not
followed. Each broken link is named with its file and line.

    python3 tests/release/test_docs.py
"""

import re
import sys
import tempfile
import unittest
from pathlib import Path
from urllib.parse import unquote

sys.dont_write_bytecode = True

REPO = Path(__file__).resolve().parents[2]

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
HEADING = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
# [text](target) and ![alt](target); the text may hold one level of brackets.
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+\"[^\"]*\")?\s*$")
HTML_TARGET = re.compile(r"<(?:a|img)\b[^>]*?\b(?:href|src)=\"([^\"]*)\"", re.IGNORECASE)
HTML_ANCHOR = re.compile(r"<[a-z]+\b[^>]*?\b(?:id|name)=\"([^\"]+)\"", re.IGNORECASE)
EXTERNAL = re.compile(r"^[a-z][a-z0-9+.-]*:", re.IGNORECASE)


def documents():
    return [REPO / "README.md"] + sorted((REPO / "docs").glob("*.md"))


def prose_lines(path):
    """(line number, text) of the lines outside fenced and indented code
    blocks."""
    fence = None
    previous_blank = True
    in_indented = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if fence:
            if re.match(r"^ {0,3}" + re.escape(fence[0]) + "{%d,}\\s*$" % len(fence), line):
                fence = None
            continue
        opened = FENCE.match(line)
        if opened:
            fence = opened.group(1)
            continue
        blank = not line.strip()
        # An indented code block starts after a blank line (or at the top);
        # a line indented as much after a paragraph continues the paragraph.
        if line.startswith(("    ", "\t")) and (previous_blank or in_indented):
            in_indented = True
            previous_blank = blank
            continue
        if not blank:
            in_indented = False
        previous_blank = blank
        yield number, line


def slug(text):
    """GitHub's anchor for a heading's text."""
    text = CODE_SPAN.sub(lambda m: m.group(2), text)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)  # a link in a heading: its text
    text = re.sub(r"<[^>]+>", "", text)  # HTML tags
    text = text.strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    """Every anchor a link may name in the Markdown file path."""
    found, seen = set(), {}
    for _, line in prose_lines(path):
        heading = HEADING.match(line)
        if heading:
            base = slug(heading.group(2) or "")
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        found.update(HTML_ANCHOR.findall(line))
    return found


def links(path):
    """(line number, target) of every link in the file, outside code."""
    for number, line in prose_lines(path):
        text = CODE_SPAN.sub("", line)
        for pattern in (INLINE_LINK, HTML_TARGET):
            for target in pattern.findall(text):
                yield number, target
        reference = REFERENCE.match(text)
        if reference:
            yield number, reference.group(1)


def broken_links(path, anchors_of=anchors):
    """What is wrong with each relative link of the file: "file:line: target: reason"."""
    problems = []
    where = path.relative_to(REPO) if path.is_relative_to(REPO) else path
    for number, target in links(path):
        if not target or EXTERNAL.match(target):
            continue
        file_part, _, anchor = target.partition("#")
        destination = (path.parent / unquote(file_part)).resolve() if file_part else path
        reason = None
        if file_part and not destination.exists():
            reason = "no such file"
        elif anchor:
            if destination.suffix.lower() != ".md" or destination.is_dir():
                reason = "an anchor into a file that is not Markdown"
            elif unquote(anchor) not in anchors_of(destination):
                reason = f"no heading with the anchor #{anchor} in {destination.name}"
        if reason:
            problems.append(f"{where}:{number}: {target}: {reason}")
    return problems


class Links(unittest.TestCase):

    def test_every_relative_link_and_anchor_leads_somewhere(self):
        problems = [p for document in documents() for p in broken_links(document)]
        self.assertEqual(problems, [], "broken links:\n" + "\n".join(problems))

    def test_the_reader_follows_the_rules_it_checks(self):
        # The rules above on a small document: headings with code, punctuation
        # and a repeated text; links inside code are no links.
        with tempfile.TemporaryDirectory() as folder:
            document = Path(folder) / "a.md"
            (Path(folder) / "b.png").write_bytes(b"")
            document.write_text("\n".join([
                "# What the tool needs of Windows", "## `REMOVE.EXE /INSTALL`: the switch", "## Notes", "## Notes",
                "", "    [in code](missing.md)", "", "```", "[fenced](missing.md)", "```",
                "A `[span](missing.md)` and [a](#what-the-tool-needs-of-windows) [b](#removeexe-install-the-switch)",
                "[c](#notes-1) ![d](b.png) [e](https://example.com/x) [f](#notes-2) [g](c.png) [h](b.png#x)",
            ]) + "\n", encoding="utf-8")
            self.assertEqual(anchors(document), {"what-the-tool-needs-of-windows", "removeexe-install-the-switch",
                                                 "notes", "notes-1"})
            self.assertEqual([p.split(": ", 1)[1] for p in broken_links(document)],
                             ["#notes-2: no heading with the anchor #notes-2 in a.md",
                              "c.png: no such file",
                              "b.png#x: an anchor into a file that is not Markdown"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
