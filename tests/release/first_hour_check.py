"""A newcomer's first hour, run as the README gives it, in a fresh copy of the source tree
(the tracked files and the new ones git does not ignore, no build folders):

  1. the pages (doc_links.py): every link between them leads to a page and a heading that
     exist, the README is within its length, every test they name is a test of tests/;
  2. the set-up's scripts/demo;
  3. the release archive's commands (scripts/package, the unpacking and sha256sum -c), and
     every path of its table in the folder they unpack into;
  4. the C example saved as app.c in that folder and built there with each MinGW line of
     the README's linking section;
  5. every command block of the walkthrough in docs/simulated-boxes.md, in order: it must
     end before the runner's time limit (a session that hangs on a message box nobody sees,
     or on a pipe a background process holds, does not), and print the lines of the
     ```text block that follows it, in that order;
  6. the same for the block of docs/tevro-tool.md that tries the tool on simulated boxes.

    python3 tests/release/first_hour_check.py [--tree DIR]

DIR (default build-readme/tree) is emptied first. Prints one line per check and
"N passed, M failed"; exits 1 when a check failed. Each run's output is kept in DIR/../logs.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import doc_links
import readme_blocks
from readme_blocks import ARCHIVE_SECTION, LINK_SECTION, MINGW_COMPILERS
from tally import Tally

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The page and section of the walkthrough the README sends a newcomer to.
WALKTHROUGH = ("docs/simulated-boxes.md",
               "Running your own application against the simulated boxes")
# Below the runner's default time limit (300 s), so that a session that only ends there fails.
TOOL_PAGE = ("docs/tevro-tool.md", "Try it on simulated boxes")
BLOCK_LIMIT_S = 200
DEMO_LIMIT_S = 1800
# The archive's block builds only what the demo left out of date, then zips and unpacks.
ARCHIVE_LIMIT_S = 900

TALLY = Tally("readme")
check = TALLY.check


def run(command, cwd, log, limit):
    """Runs a shell command as a user's terminal would; returns (status or None when it ran
    out of time, output without carriage returns, seconds). The output goes through a file,
    so a process left behind cannot hold the check up."""
    started = time.monotonic()
    with open(log, "w+b") as out:
        process = subprocess.Popen(["bash", "-c", command], cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            status = process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            status = None
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(process.pid, sig)
            except ProcessLookupError:
                break
            time.sleep(1)
        process.wait()
        out.seek(0)
        text = out.read().decode("utf-8", "replace").replace("\r", "")
    return status, text, time.monotonic() - started


def fresh_tree(tree):
    shutil.rmtree(tree, ignore_errors=True)
    listed = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=REPO,
                            stdout=subprocess.PIPE, check=True).stdout.decode()
    for name in filter(None, listed.split("\0")):
        source = os.path.join(REPO, name)
        if not os.path.isfile(source):
            continue  # deleted in the working tree
        target = os.path.join(tree, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)


# The time a wait took, as a page shows it ("closed again after 1.288 s"), stands for any:
# it differs from run to run. Other figures must be as the page has them.
DURATION = re.compile(r"(?<=closed again after )\d+\.\d{3} s\b")


def same_line(page, output):
    return DURATION.sub("N s", page.rstrip()) == DURATION.sub("N s", output.rstrip())


def in_order(expected, output):
    """The expected lines that are not found in the output in their order."""
    lines = output.splitlines()
    position = 0
    missing = []
    for want in expected:
        for index in range(position, len(lines)):
            if same_line(want, lines[index]):
                position = index + 1
                break
        else:
            missing.append(want)
    return missing


def heading_of(text, line):
    title = ""
    for section in readme_blocks.sections(text):
        if section.line < line:
            title = section.title
    return title


def read(path):
    with open(path, encoding="utf-8") as file:
        return file.read()


def unpacked_folder(blocks):
    """The folder the archive's commands change into (their `cd FOLDER` line), or None."""
    for block, _ in blocks:
        for line in block.code.splitlines():
            words = line.split("#")[0].split()
            if len(words) == 2 and words[0] == "cd":
                return words[1]
    return None


def kernel_refuses_32_bit():
    """Why this machine cannot run 32-bit programs, or "" when it can."""
    result = subprocess.run([os.path.join(REPO, "tools", "wine-run", "runs-32-bit")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return "" if result.returncode == 0 else result.stdout.strip()


def run_blocks(blocks, page, text, cwd, logs, name, limit):
    """Runs each (block, expected lines) in turn; one check per block. A block that runs an
    x86 program is a NOT RUN line where the kernel does not execute 32-bit programs."""
    refuses = None
    for index, (block, expected) in enumerate(blocks, 1):
        where = f"{page} '{heading_of(text, block.line)}', block at line {block.line}"
        if re.search(r"\bx86/\S*\.exe\b", block.code):
            refuses = kernel_refuses_32_bit() if refuses is None else refuses
            if refuses:
                TALLY.skip(where, refuses)
                continue
        log = os.path.join(logs, f"{name}-{index}.log")
        status, output, seconds = run(block.code, cwd, log, limit)
        detail = f"(log: {log})"
        if status is None:
            detail = f"still running after {limit} s {detail}"
        else:
            missing = in_order(expected, output)
            if status != 0 and not expected:
                detail = f"exit status {status}; {output.strip()[-300:]} {detail}"
            elif missing:
                detail = f"exit status {status}; does not print {missing} {detail}"
        # A block with lines to print is judged by them (a session may end non-zero after
        # printing them, as a program the runner answers does); one without, by its status.
        ok = status is not None and (not in_order(expected, output) if expected else status == 0)
        check(f"{where} ends in {seconds:.0f} s"
              + (" and prints the page's lines" if expected else " with status 0"), ok, detail)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tree", default=os.path.join(REPO, "build-readme", "tree"))
    tree = os.path.abspath(parser.parse_args().tree)
    logs = os.path.join(os.path.dirname(tree), "logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    fresh_tree(tree)
    readme = read(os.path.join(tree, "README.md"))
    walkthrough_page, walkthrough_title = WALKTHROUGH
    walkthrough = read(os.path.join(tree, walkthrough_page))

    # 1. The pages: their links, the README's length, the tests they name.
    doc_links.check_pages(tree, check)

    # 2. The set-up.
    setup = [line.split("#")[0].strip() for line in readme_blocks.command_lines(
        readme, "Set-up on a fresh Debian machine", ["scripts/demo"])]
    if not check("the set-up names scripts/demo", setup == ["scripts/demo"], f"{setup}"):
        return 1
    log = os.path.join(logs, "demo.log")
    status, output, seconds = run(setup[0], tree, log, DEMO_LIMIT_S)
    check(f"scripts/demo in a fresh tree ({seconds:.0f} s)", status == 0,
          f"exit status {status}; {output.strip()[-300:]} (log: {log})")

    # 3. The release archive, made, unpacked and checked as the README gives it.
    archive_blocks = readme_blocks.command_blocks(readme, ARCHIVE_SECTION)
    folder = unpacked_folder(archive_blocks)
    if not check("the archive's commands unpack it into a folder they change into",
                 bool(archive_blocks) and folder is not None, f"{len(archive_blocks)} blocks"):
        return TALLY.summary()
    run_blocks(archive_blocks, "README.md", readme, tree, logs, "archive", ARCHIVE_LIMIT_S)
    unpacked = os.path.join(tree, folder)
    names = readme_blocks.table_first_column(readme, ARCHIVE_SECTION)
    absent = [name for name in names if not os.path.exists(os.path.join(unpacked, name))]
    check(f"every path of the archive's table ({', '.join(names)}) is in {folder}",
          bool(names) and not absent, f"absent: {absent}")

    # 4. The C example, built in the unpacked folder with the linking section's MinGW lines.
    with open(os.path.join(unpacked, "app.c"), "w", encoding="utf-8") as file:
        file.write(readme_blocks.first_block(readme, LINK_SECTION, "c").code)
    lines = readme_blocks.command_lines(readme, LINK_SECTION, MINGW_COMPILERS)
    check("the linking section gives a MinGW line for x64 and for x86",
          sorted(line.split()[0] for line in lines) == sorted(c.strip() for c in MINGW_COMPILERS),
          f"lines: {lines}")
    for index, line in enumerate(lines, 1):
        log = os.path.join(logs, f"c-build-{index}.log")
        status, output, _ = run(line, unpacked, log, 120)
        check(f"in {folder}: {line.split('#')[0].strip()}", status == 0,
              f"exit status {status}; {output.strip()[:300]}")

    # 5. The walkthrough's sessions, block by block.
    run_blocks(readme_blocks.command_blocks(walkthrough, walkthrough_title), walkthrough_page,
               walkthrough, tree, logs, "run", BLOCK_LIMIT_S)

    # 6. The tool page's session on simulated boxes.
    tool_page, tool_title = TOOL_PAGE
    tool_text = read(os.path.join(tree, tool_page))
    tool_blocks = readme_blocks.command_blocks(tool_text, tool_title)
    if check(f"{tool_page} '{tool_title}' has a block with the lines it prints",
             bool(tool_blocks) and all(expected for _, expected in tool_blocks)):
        run_blocks(tool_blocks, tool_page, tool_text, tree, logs, "tool", BLOCK_LIMIT_S)

    return TALLY.summary()


if __name__ == "__main__":
    sys.exit(main())
