"""The pages of this project (README.md, docs/*.md, tests/README.md), checked as a reader
meets them:

  - every relative link leads to a file or folder that exists, and a #fragment to a heading
    of the page it names (as the page's headings are addressed when it is shown: lower
    case, spaces as hyphens, punctuation dropped); links to other sites are not followed;
  - README.md has at most README_LIMIT lines;
  - every test named in a code span as Suite.Test (or Suite.*) is a TEST, TEST_F or TEST_P
    of tests/, so that a renamed or removed test does not leave a page citing it.

    python3 tests/release/doc_links.py [ROOT]

ROOT defaults to the top of this source tree. Prints one PASS or FAIL line per check and
"N passed, M failed"; exits 1 when a check failed. first_hour_check.py runs the same
checks through check_pages(); archive_check.py uses dead_links().
"""

import glob
import os
import re
import sys

import readme_blocks
from tally import Tally

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
LINK = re.compile(r"\[[^\]]*\]\(([^()\s]+)\)")
EXTERNAL = re.compile(r"^[a-z][a-z0-9+.-]*:", re.I)  # http:, https:, mailto:
README_LIMIT = 400
# A test as the pages name it: `Suite.Test` or `Suite.*`. Both parts are CamelCase with a
# lower-case letter, so `TEVRO.DLL`, `README.md` and `tevro.h` are not taken for tests.
CITED_TEST = re.compile(r"([A-Z][A-Za-z0-9]*[a-z][A-Za-z0-9]*)\.([A-Z]\w*[a-z]\w*|\*)")
DEFINED_TEST = re.compile(r"\bTEST(?:_F|_P)?\(\s*(\w+)\s*,\s*(\w+)\s*\)")


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


def prose_of(text):
    """The text with its fenced code blocks blanked, line numbers kept."""
    lines = text.split("\n")
    fence = False
    for index, line in enumerate(lines):
        if line.startswith("```"):
            fence = not fence
            lines[index] = ""
        elif fence:
            lines[index] = ""
    return "\n".join(lines)


def links(text):
    """(line, target) of each inline link outside code blocks and code spans."""
    prose = prose_of(text)
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


def cited_tests(text):
    """(line, suite, test) of each code span outside code blocks that names a test; test is
    "*" for a whole suite."""
    prose = prose_of(text)
    found = []
    for span in re.finditer(r"`([^`\n]+)`", prose):
        name = CITED_TEST.fullmatch(span.group(1))
        if name:
            found.append((prose.count("\n", 0, span.start()) + 1, name.group(1), name.group(2)))
    return found


def defined_tests(root):
    """{(suite, test)} of every TEST, TEST_F and TEST_P in the sources under root/tests."""
    found = set()
    for folder, _, files in os.walk(os.path.join(root, "tests")):
        for name in files:
            if name.endswith((".cpp", ".cc", ".h")):
                with open(os.path.join(folder, name), encoding="utf-8") as file:
                    found.update(DEFINED_TEST.findall(file.read()))
    return found


def unknown_tests(root, names):
    """(tests cited, ["page:line: Suite.Test" for each one tests/ does not define])."""
    defined = defined_tests(root)
    suites = {suite for suite, _ in defined}
    count = 0
    unknown = []
    for name in names:
        with open(os.path.join(root, name), encoding="utf-8") as file:
            cited = cited_tests(file.read())
        for line, suite, test in cited:
            count += 1
            if (suite, test) not in defined and not (test == "*" and suite in suites):
                unknown.append(f"{name}:{line}: {suite}.{test}")
    return count, unknown


def check_pages(root, check):
    """Runs the three checks over the pages under root, each through check(name, ok, detail)."""
    names = pages(root)
    count, dead = dead_links(root, names)
    check(f"the {count} links between the pages lead to pages and headings that exist",
          count > 0 and not dead, "; ".join(dead))
    with open(os.path.join(root, "README.md"), encoding="utf-8") as file:
        lines = len(file.read().splitlines())
    check(f"README.md has {lines} lines, at most {README_LIMIT}", lines <= README_LIMIT,
          f"{lines - README_LIMIT} lines too many")
    count, unknown = unknown_tests(root, names)
    check(f"the {count} tests the pages name are tests of tests/", count > 0 and not unknown,
          "not found: " + "; ".join(unknown))


def main(argv):
    root = os.path.abspath(argv[1]) if len(argv) > 1 else REPO
    tally = Tally("pages")
    check_pages(root, tally.check)
    return tally.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
