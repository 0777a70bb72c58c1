#!/usr/bin/env python3
"""Checks the relative links of the project's Markdown pages.

    check_links.py SOURCE_DIR

Reads README.md, docs/**/*.md and python/README.md under SOURCE_DIR. Every
relative link, [text](path) and ![alt](path) alike (and the targets of
reference definitions, href and src attributes), must name a file or folder
of the tree; a link with #anchor must name a Markdown file that has a
heading with that anchor, as GitHub makes anchors. A link that is only
#anchor points into its own page. Links with a scheme (https:, mailto:)
are not followed.

Prints one line per broken link, FILE:LINE: text, and exits 1 when there is
one; else prints how many links it checked and exits 0.
"""

import re
import sys
from pathlib import Path
from urllib.parse import unquote

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
ATX_HEADING = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT_UNDERLINE = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
# [text](dest "title") with one level of brackets inside the text; dest in
# <...> or without spaces, balanced parentheses allowed one level deep.
INLINE_LINK = re.compile(
    r"!?\[(?:[^\[\]\\]|\\.|\[[^\[\]]*\])*\]\(\s*(<[^<>\n]*>|(?:[^\s()\\]|\\.|\([^\s()]*\))*)"
    r"(?:\s+(?:\"[^\"]*\"|'[^']*'|\([^)]*\)))?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]\n]+\]:[ \t]*(<[^<>\n]*>|\S+)", re.MULTILINE)
HTML_ATTRIBUTE = re.compile(r"""<[a-zA-Z][^>]*?\b(?:href|src)\s*=\s*["']([^"']*)["']""")
HTML_ANCHOR = re.compile(r"""<[a-zA-Z][^>]*?\b(?:id|name)\s*=\s*["']([^"']*)["']""")
CODE_SPAN = re.compile(r"(`+)((?:(?!\n[ \t]*\n)[^`]|(?!\1)`+)+?)\1(?!`)")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")
LINE_ANCHOR = re.compile(r"^L\d+(-L\d+)?$")


def pages(source):
    """The Markdown files the check covers, as paths under source."""
    found = [source / "README.md", source / "python" / "README.md"]
    found += sorted((source / "docs").rglob("*.md"))
    return [p for p in found if p.is_file()]


def prose_lines(text):
    """(line number, line) of the lines outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        match = FENCE.match(line)
        if fence is None:
            if match:
                fence = match.group(1)
                continue
            yield number, line
        elif match and match.group(1)[0] == fence[0] and len(match.group(1)) >= len(fence) \
                and not line.strip().strip(fence[0]):
            fence = None


def heading_text(markdown):
    """The text a heading shows: code spans keep their content, links and
    images their text, emphasis and HTML tags go."""
    parts = []
    at = 0
    for span in CODE_SPAN.finditer(markdown):
        parts.append(("prose", markdown[at:span.start()]))
        parts.append(("code", span.group(2).strip()))
        at = span.end()
    parts.append(("prose", markdown[at:]))
    shown = []
    for kind, piece in parts:
        if kind == "prose":
            piece = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", piece)
            piece = re.sub(r"<[^>]+>", "", piece)
            piece = piece.replace("*", "")
            # Underscores that open or close emphasis; those inside a word stay.
            piece = re.sub(r"(?<![^\W_])_+|_+(?![^\W_])", "", piece)
        shown.append(piece)
    return "".join(shown)


def slug(text):
    """GitHub's anchor of a heading text: lower case, punctuation dropped
    (letters, digits, '_', '-' and spaces stay), spaces become '-'."""
    text = re.sub(r"[^\w\- ]", "", text.lower())
    return text.replace(" ", "-")


def anchors(text):
    """Every anchor a page offers: its headings (a repeated one gets -1, -2,
    ...) and explicit id/name attributes."""
    found = set()
    seen = {}
    previous = ""
    for _, line in prose_lines(text):
        heading = None
        match = ATX_HEADING.match(line)
        if match:
            heading = match.group(2) or ""
        elif SETEXT_UNDERLINE.match(line) and previous.strip() and \
                not re.match(r"^\s*([-*+>|#]|\d+[.)])", previous):
            heading = previous.strip()
        if heading is not None:
            base = slug(heading_text(heading))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        found.update(HTML_ANCHOR.findall(line))
        previous = line
    return found


def links(text):
    """(line number, destination) of every link of a page outside code. A
    link may run over a line end, as Markdown allows within a paragraph."""
    lines = text.splitlines()
    kept = dict(prose_lines(text))
    prose = "\n".join(kept.get(number, "") for number in range(1, len(lines) + 1))
    # Code spans show their text as it is: no links inside them. A span ends
    # at a blank line.
    prose = CODE_SPAN.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), prose)

    def line_of(offset):
        return prose.count("\n", 0, offset) + 1

    found = []
    for pattern in (INLINE_LINK, REFERENCE_DEFINITION, HTML_ATTRIBUTE):
        found += [(match.start(), match.group(1)) for match in pattern.finditer(prose)]
    for offset, destination in sorted(found):
        yield line_of(offset), destination


def check(source):
    """(problems, links checked) for the pages under source."""
    source = source.resolve()
    problems = []
    checked = 0
    cache = {}

    def anchors_of(path):
        if path not in cache:
            cache[path] = anchors(path.read_text(encoding="utf-8"))
        return cache[path]

    for page in pages(source):
        text = page.read_text(encoding="utf-8")
        name = page.relative_to(source).as_posix()
        for number, destination in links(text):
            where = f"{name}:{number}"
            if destination.startswith("<") and destination.endswith(">"):
                destination = destination[1:-1]
            destination = destination.strip()
            if SCHEME.match(destination) or destination.startswith("//"):
                continue
            checked += 1
            if not destination:
                problems.append(f"{where}: empty link")
                continue
            path_part, _, anchor = destination.partition("#")
            path_part = unquote(path_part)
            if not path_part:
                target = page
            elif path_part.startswith("/"):
                target = (source / path_part.lstrip("/")).resolve()
            else:
                target = (page.parent / path_part).resolve()
            if target != source and source not in target.parents:
                problems.append(f"{where}: {destination} leaves the repository")
                continue
            if not target.exists():
                problems.append(f"{where}: {destination}: no such file")
                continue
            if not anchor:
                continue
            anchor = unquote(anchor)
            if target.is_file() and target.suffix.lower() == ".md":
                if anchor not in anchors_of(target):
                    shown = target.relative_to(source).as_posix()
                    problems.append(f"{where}: {destination}: {shown} has no heading #{anchor}")
            elif not (target.is_file() and LINE_ANCHOR.match(anchor)):
                problems.append(f"{where}: {destination}: #{anchor} is not a heading of a Markdown file")
    return problems, checked


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    source = Path(argv[1])
    problems, checked = check(source)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_links: {len(problems)} broken link(s) of {checked}")
        return 1
    print(f"check_links: {checked} relative links resolve")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
