"""A newcomer's first hour, run as the README gives it, in a fresh copy of the source tree
(the tracked files and the new ones git does not ignore, no build folders):

  1. the set-up's scripts/demo;
  2. every file of the "What ships" table in both build folders;
  3. the C example saved as app.c and built with each MinGW line of the C section;
  4. every command block of "Running your own application against the simulated boxes", in
     order: it must end before the runner's time limit (a session that hangs on a message
     box nobody sees, or on a pipe a background process holds, does not), and print the
     lines of the ```text block that follows it, in that order.

    python3 tests/release/first_hour_check.py [--tree DIR]

DIR (default build-readme/tree) is emptied first. Prints one line per check and
"N passed, M failed"; exits 1 when a check failed. Each run's output is kept in DIR/../logs.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

import readme_blocks
from tally import Tally

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MINGW_COMPILERS = ("x86_64-w64-mingw32-gcc ", "i686-w64-mingw32-gcc ")
RUN_SECTION = "Running your own application against the simulated boxes"
# Below the runner's default time limit (300 s), so that a session that only ends there fails.
BLOCK_LIMIT_S = 200
DEMO_LIMIT_S = 1800

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


def in_order(expected, output):
    """The expected lines that are not found in the output in their order."""
    lines = output.splitlines()
    position = 0
    missing = []
    for want in expected:
        for index in range(position, len(lines)):
            if lines[index].rstrip() == want.rstrip():
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tree", default=os.path.join(REPO, "build-readme", "tree"))
    tree = os.path.abspath(parser.parse_args().tree)
    logs = os.path.join(os.path.dirname(tree), "logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    fresh_tree(tree)
    with open(os.path.join(tree, "README.md"), encoding="utf-8") as file:
        readme = file.read()

    # 1. The set-up.
    setup = [line.split("#")[0].strip()
             for block, _ in readme_blocks.command_blocks(readme, "Set-up on a fresh Debian machine")
             for line in block.code.splitlines() if line.startswith("scripts/demo")]
    if not check("the set-up names scripts/demo", setup == ["scripts/demo"], f"{setup}"):
        return 1
    log = os.path.join(logs, "demo.log")
    status, output, seconds = run(setup[0], tree, log, DEMO_LIMIT_S)
    check(f"scripts/demo in a fresh tree ({seconds:.0f} s)", status == 0,
          f"exit status {status}; {output.strip()[-300:]} (log: {log})")

    # 2. What the build folders hold after it.
    names = readme_blocks.table_first_column(readme, "What ships")
    absent = [f"{folder}/{name}" for folder in ("build-win32", "build-win64") for name in names
              if not os.path.isfile(os.path.join(tree, folder, name))]
    check(f"every file of the What ships table ({', '.join(names)}) is in build-win32 and "
          "build-win64", bool(names) and not absent, f"absent: {absent}")

    # 3. The C example, built with the C section's MinGW lines.
    with open(os.path.join(tree, "app.c"), "w", encoding="utf-8") as file:
        file.write(readme_blocks.first_block(readme, "C and C++", "c").code)
    lines = [line for block, _ in readme_blocks.command_blocks(readme, "C and C++")
             for line in block.code.splitlines() if line.startswith(MINGW_COMPILERS)]
    check("the C section gives a MinGW line for x64 and for x86",
          sorted(line.split()[0] for line in lines) == sorted(c.strip() for c in MINGW_COMPILERS),
          f"lines: {lines}")
    for index, line in enumerate(lines, 1):
        log = os.path.join(logs, f"c-build-{index}.log")
        status, output, _ = run(line, tree, log, 120)
        check(f"C section: {line.split('#')[0].strip()}", status == 0,
              f"exit status {status}; {output.strip()[:300]}")

    # 4. The runner's sessions, block by block.
    for index, (block, expected) in enumerate(readme_blocks.command_blocks(readme, RUN_SECTION), 1):
        log = os.path.join(logs, f"run-{index}.log")
        status, output, seconds = run(block.code, tree, log, BLOCK_LIMIT_S)
        where = f"'{heading_of(readme, block.line)}', block at README line {block.line}"
        detail = f"(log: {log})"
        if status is None:
            detail = f"still running after {BLOCK_LIMIT_S} s {detail}"
        else:
            missing = in_order(expected, output)
            if missing:
                detail = f"exit status {status}; does not print {missing} {detail}"
            if "unknown option --ftd2xx32" in output:
                detail += "; scripts/wine-run lacks --ftd2xx32, which the x86 work adds"
        check(f"{where} ends in {seconds:.0f} s and prints the README's lines",
              status is not None and not in_order(expected, output), detail)

    return TALLY.summary()


if __name__ == "__main__":
    sys.exit(main())
