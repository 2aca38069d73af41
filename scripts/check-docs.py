#!/usr/bin/env python3
"""Checks the README and the documents under docs/.

- Every relative link of README.md and docs/*.md names a file that exists,
  and every #anchor names a heading of the file it points into.
- The README stays a short reference: at most MAX_PROSE_LINES lines and
  MAX_WORDS words of prose (the text outside fenced code blocks and HTML
  comments, blank lines and link targets left out: the walk-throughs' code
  does not count), a Contents line that links every section, no section
  ("## ") with more than MAX_SECTION_LINES lines of prose, "What it does
  not do" within MAX_DOES_NOT_LINES, and sentences of at most MAX_SENTENCE
  words with a median below MEDIAN_BELOW. A sentence is read out of a
  paragraph, a list item or a table cell, and ends at ".", "!" or "?"; an
  inline code span counts as one word in it. The median is taken over the
  sentences of paragraphs and list items: a table's cells are mostly a word
  or two.

usage: check-docs.py [--report]   (--report prints the README's figures)"""
import os
import re
import statistics
import sys

MAX_PROSE_LINES = 600
MAX_WORDS = 7000
MAX_SECTION_LINES = 120
MAX_DOES_NOT_LINES = 50
DOES_NOT_SECTION = "What it does not do"
MAX_SENTENCE = 40
MEDIAN_BELOW = 20

LINK = re.compile(r"(?<!!)\[((?:[^\[\]]|\[[^\]]*\])*)\]\(([^)\s]+)\)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def slug(title):
    """The anchor that a heading gets: lower case, inline markup and
    punctuation but '-' and '_' dropped, blanks made '-'."""
    text = CODE_SPAN.sub(lambda m: m.group(2), title)
    text = LINK.sub(lambda m: m.group(1), text).lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def prose_lines(lines):
    """(number, text) of each line outside fenced code and HTML comments."""
    fence = None
    comment = False
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if fence:
            if stripped.startswith(fence) and stripped.strip("`~") == "":
                fence = None
            continue
        if comment:
            comment = "-->" not in line
            continue
        marker = re.match(r"^\s*(```+|~~~+)", line)
        if marker:
            fence = marker.group(1)
            continue
        if stripped.startswith("<!--"):
            comment = "-->" not in stripped
            continue
        yield number, line


def anchors(path):
    found = set()
    counts = {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for _, line in prose_lines(lines):
        heading = HEADING.match(line)
        if heading:
            base = slug(heading.group(2))
            n = counts.get(base, 0)
            counts[base] = n + 1
            found.add(base if n == 0 else f"{base}-{n}")
    return found


def check_links(path, root, problems):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    blocks = []  # [first line's number, text] of each run of prose lines
    last = None
    for number, line in prose_lines(lines):
        row = line.lstrip().startswith("|")  # a table row stands alone
        if line.strip() and last == number - 1 and blocks and not row:
            blocks[-1][1] += " " + line.strip()
        elif line.strip():
            blocks.append([number, line.strip()])
        last = number if line.strip() and not row else None
    for number, block in blocks:
        for match in LINK.finditer(CODE_SPAN.sub(lambda m: " " * len(m.group(0)), block)):
            target = match.group(2)
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue  # a URL
            file_part, _, anchor = target.partition("#")
            where = os.path.relpath(path, root)
            if file_part:
                named = os.path.normpath(os.path.join(os.path.dirname(path), file_part))
                if not os.path.exists(named):
                    problems.append(f"{where}:{number}: {target}: no such file")
                    continue
            else:
                named = path
            if anchor:
                if not named.endswith(".md") or not os.path.isfile(named):
                    problems.append(f"{where}:{number}: {target}: an anchor into no document")
                elif anchor not in anchors(named):
                    problems.append(f"{where}:{number}: {target}: no such heading")


def plain(text):
    """The text as a reader reads it: link targets and emphasis dropped."""
    text = LINK.sub(lambda m: m.group(1), text)
    return text.replace("**", "")


def units(lines):
    """(text, whether a table cell) of each paragraph, list item and table
    cell of the prose lines."""
    current = []
    for _, line in lines:
        stripped = line.strip()
        if not stripped or HEADING.match(line):
            if current:
                yield " ".join(current), False
            current = []
            continue
        if stripped.startswith("|"):
            if current:
                yield " ".join(current), False
            current = []
            if re.fullmatch(r"\|?[\s:|-]+\|?", stripped):
                continue
            masked = CODE_SPAN.sub(lambda m: m.group(0).replace("|", "\0"), stripped)
            for cell in masked.strip("|").split("|"):
                if cell.strip():
                    yield cell.replace("\0", "|").strip(), True
            continue
        if re.match(r"^([-*]|\d+\.)\s", stripped):
            if current:
                yield " ".join(current), False
            current = [re.sub(r"^([-*]|\d+\.)\s+", "", stripped)]
            continue
        current.append(stripped)
    if current:
        yield " ".join(current), False


def sentences(unit):
    text = CODE_SPAN.sub("CODE", plain(unit))
    for part in re.split(r"(?<=[.!?])[\"')]*\s+|\s+·\s+", text):
        words = part.split()
        if words:
            yield len(words), part


def readme_figures(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    prose = list(prose_lines(lines))
    prose_count = sum(1 for _, line in prose if line.strip())
    words = sum(len(plain(line).split()) for _, line in prose if not HEADING.match(line))
    sections = []
    for number, line in prose:
        heading = HEADING.match(line)
        if heading and len(heading.group(1)) <= 2:
            sections.append([heading.group(2), []])
        elif sections and line.strip() and not HEADING.match(line):
            sections[-1][1].append((number, line))
    lengths = []
    longest = []
    most = 0
    for unit, cell in units(prose):
        for count, sentence in sentences(unit):
            if not cell:
                lengths.append(count)
            most = max(most, count)
            if count > MAX_SENTENCE:
                longest.append((count, sentence))
    contents = []  # the paragraph that begins "Contents:"
    for _, line in prose:
        if line.startswith("Contents:") or (contents and line.strip()):
            contents.append(line)
        elif contents:
            break
    return lines, prose_count, words, sections, lengths, longest, most, contents


def main():
    root = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    readme = os.path.join(root, "README.md")
    docs = os.path.join(root, "docs")
    documents = [readme] + sorted(
        os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md")
    ) if os.path.isdir(docs) else [readme]
    problems = []
    for path in documents:
        check_links(path, root, problems)

    lines, prose_count, words, sections, lengths, longest, most, contents = readme_figures(readme)
    if prose_count > MAX_PROSE_LINES:
        problems.append(f"README.md: {prose_count} lines of prose, more than {MAX_PROSE_LINES}")
    for title, _ in sections[1:]:
        if f"(#{slug(title)})" not in " ".join(contents):
            problems.append(f"README.md: the Contents line does not link \"{title}\"")
    if words > MAX_WORDS:
        problems.append(f"README.md: {words} words of prose, more than {MAX_WORDS}")
    largest = max(sections, key=lambda s: len(s[1]))
    for title, body in sections:
        if len(body) > MAX_SECTION_LINES:
            problems.append(f"README.md: section \"{title}\": {len(body)} lines of prose, "
                            f"more than {MAX_SECTION_LINES}")
    does_not = [s for s in sections if s[0].startswith(DOES_NOT_SECTION)]
    if not does_not:
        problems.append(f"README.md: no section \"{DOES_NOT_SECTION}\"")
    elif len(does_not[0][1]) > MAX_DOES_NOT_LINES:
        problems.append(f"README.md: \"{does_not[0][0]}\": {len(does_not[0][1])} lines of "
                        f"prose, more than {MAX_DOES_NOT_LINES}")
    for count, sentence in longest:
        problems.append(f"README.md: a sentence of {count} words: {sentence[:100]}...")
    median = statistics.median(lengths) if lengths else 0
    if median >= MEDIAN_BELOW:
        problems.append(f"README.md: median sentence {median} words, not below {MEDIAN_BELOW}")

    if "--report" in sys.argv[1:]:
        print(f"README.md: {len(lines)} lines, {prose_count} of them prose, "
              f"{words} words of prose, "
              f"largest section \"{largest[0]}\" {len(largest[1])} lines of prose, "
              f"\"{does_not[0][0] if does_not else '-'}\" "
              f"{len(does_not[0][1]) if does_not else 0} lines, {len(lengths)} sentences, "
              f"median {median} words, longest {most}")
        for title, body in sections:
            print(f"  {len(body):4} {title}")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"Documents: {len(documents)} checked, every link resolves; README within its limits")
    return 0


if __name__ == "__main__":
    sys.exit(main())
