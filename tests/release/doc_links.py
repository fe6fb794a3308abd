"""The links between this project's pages: every relative link of README.md, docs/*.md and
tests/README.md must lead to a file or folder that exists, and a #fragment to a heading of
the page it names (as the page's headings are addressed when it is shown: lower case, spaces
as hyphens, punctuation dropped). Links to other sites are not followed.

    python3 tests/release/doc_links.py [ROOT]

ROOT defaults to the top of this source tree. Prints each dead link and "N links, M dead";
exits 1 when a link is dead. first_hour_check.py and archive_check.py use dead_links().
"""

import glob
import os
import re
import sys

import readme_blocks

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
LINK = re.compile(r"\[[^\]]*\]\(([^()\s]+)\)")
EXTERNAL = re.compile(r"^[a-z][a-z0-9+.-]*:", re.I)  # http:, https:, mailto:


def pages(root):
    """The project's pages, relative to root."""
    found = ["README.md", "tests/README.md"] + sorted(
        os.path.relpath(p, root) for p in glob.glob(os.path.join(root, "docs", "*.md")))
    return [p for p in found if os.path.isfile(os.path.join(root, p))]


def slug(title):
    """The fragment that addresses a heading."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", title)
    text = text.replace("`", "").replace("*", "").strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(text):
    """The fragments of a page's headings; a repeated heading gets -1, -2, ... appended."""
    seen = {}
    found = set()
    for section in readme_blocks.sections(text)[1:]:
        base = slug(section.title)
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def links(text):
    """(line, target) of each inline link outside code blocks and code spans."""
    lines = text.split("\n")
    fence = False
    for index, line in enumerate(lines):
        if line.startswith("```"):
            fence = not fence
            lines[index] = ""
        elif fence:
            lines[index] = ""
    prose = "\n".join(lines)
    # A code span keeps its length, so that line numbers stay right.
    prose = re.sub(r"`[^`]*`", lambda m: re.sub(r"[^\n]", " ", m.group(0)), prose)
    return [(prose.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in LINK.finditer(prose)]


def dead_links(root, names):
    """(links followed, ["page:line: target (why)" for each dead one]) over the pages."""
    cache = {}

    def text_of(path):
        if path not in cache:
            with open(path, encoding="utf-8") as file:
                cache[path] = file.read()
        return cache[path]

    count = 0
    dead = []
    for name in names:
        page = os.path.join(root, name)
        for line, target in links(text_of(page)):
            if EXTERNAL.match(target):
                continue
            count += 1
            path, _, fragment = target.partition("#")
            where = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(where):
                dead.append(f"{name}:{line}: {target} (no such file)")
            elif fragment and where.endswith(".md") and fragment not in anchors(text_of(where)):
                dead.append(f"{name}:{line}: {target} (no such heading)")
    return count, dead


def main(argv):
    root = os.path.abspath(argv[1]) if len(argv) > 1 else REPO
    count, dead = dead_links(root, pages(root))
    for line in dead:
        print(line)
    print(f"{count} links, {len(dead)} dead")
    return 1 if dead else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
