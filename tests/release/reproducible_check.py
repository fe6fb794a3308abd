"""Two builds of one source give the same release archive, byte for byte: the archive
scripts/package writes from this tree's build folders, and one it writes in a fresh copy of
the tree (the tracked files and the new ones git does not ignore) in another folder, with its
own build folders, another umask and another time zone, dated as this tree's last commit
(SOURCE_DATE_EPOCH, as a clone of that commit dates it). Compares the two archives and every
file in them, and looks in every file for the folders the two were built in.

    python3 tests/release/reproducible_check.py [--copy DIR]

DIR (default build-repro/tree) is emptied first. Only the archive's own files are built in
the copy (scripts/package builds TEVRO.DLL, tevro.exe and the import libraries alone), for
both architectures. Prints one line per check and "N passed, M failed"; exits 1 when a check
failed. The copy's build log is DIR/../package.log.
"""

import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import zipfile

from first_hour_check import fresh_tree
from tally import Tally

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TALLY = Tally("reproducible")
check = TALLY.check


def package(tree, log, env=None, umask=None):
    """Runs scripts/package in tree; (exit status, the archive's path or None)."""
    def set_umask():
        if umask is not None:
            os.umask(umask)
    with open(log, "w", encoding="utf-8") as out:
        status = subprocess.run(["nice", os.path.join(tree, "scripts", "package")], cwd=tree,
                                stdout=out, stderr=subprocess.STDOUT, env=env,
                                preexec_fn=set_umask).returncode
    with open(log, encoding="utf-8", errors="replace") as out:
        lines = out.read().splitlines()
    archive = lines[-1] if lines and lines[-1].endswith("-windows.zip") else None
    return status, archive if archive and os.path.isfile(archive) else None


def unpacked(archive, folder):
    shutil.rmtree(folder, ignore_errors=True)
    with zipfile.ZipFile(archive) as zip_file:
        zip_file.extractall(folder)
        return sorted(zip_file.namelist())


def first_difference(first, second):
    with open(first, "rb") as a, open(second, "rb") as b:
        left, right = a.read(), b.read()
    if len(left) != len(right):
        return f"{len(left)} and {len(right)} bytes"
    offset = next(i for i in range(len(left)) if left[i] != right[i])
    return f"{len(left)} bytes each, first difference at offset {offset:#x}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--copy", default=os.path.join(REPO, "build-repro", "tree"))
    copy = os.path.abspath(parser.parse_args().copy)
    work = os.path.dirname(copy)
    os.makedirs(work, exist_ok=True)

    status, first = package(REPO, os.path.join(work, "package-here.log"))
    if not check("scripts/package in this tree", status == 0 and first is not None,
                 f"exit status {status} (log: {os.path.join(work, 'package-here.log')})"):
        return TALLY.summary()

    fresh_tree(copy)
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "log", "-1", "--format=%ct"], cwd=REPO, stdout=subprocess.PIPE, text=True,
        check=True).stdout.strip()
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch, TZ="Pacific/Chatham")
    log = os.path.join(work, "package.log")
    status, second = package(copy, log, env=env, umask=0o077)
    if not check(f"scripts/package in a fresh copy of the tree ({copy}), umask 077, another"
                 " time zone", status == 0 and second is not None,
                 f"exit status {status} (log: {log})"):
        return TALLY.summary()

    check("the two archives have one name", os.path.basename(first) == os.path.basename(second),
          f"{os.path.basename(first)}, {os.path.basename(second)}")
    names = unpacked(first, os.path.join(work, "here"))
    other_names = unpacked(second, os.path.join(work, "copy"))
    check(f"the two archives list the same {len(names)} files in the same order",
          names == other_names,
          f"only here: {sorted(set(names) - set(other_names))}, "
          f"only in the copy: {sorted(set(other_names) - set(names))}")
    differing = []
    for name in sorted(set(names) & set(other_names)):
        here, there = os.path.join(work, "here", name), os.path.join(work, "copy", name)
        if not filecmp.cmp(here, there, shallow=False):
            differing.append(f"{name} ({first_difference(here, there)})")
    check(f"every file of one equals the same file of the other, byte for byte "
          f"({len(names)} files: DLLs, tools, import libraries, headers, docs, SHA256SUMS)",
          not differing, "; ".join(differing))
    same = filecmp.cmp(first, second, shallow=False)
    check("the two archives are the same file, byte for byte", same,
          "" if same else first_difference(first, second))

    # A path of either build in a file would make its bytes depend on where it was built.
    folders = [os.fsencode(REPO), os.fsencode(copy)]
    named = []
    for name in names:
        with open(os.path.join(work, "here", name), "rb") as file:
            data = file.read()
        named += [f"{name} names {os.fsdecode(f)}" for f in folders if f in data]
    check("no file of the archive names a folder it was built in", not named, "; ".join(named))
    return TALLY.summary()


if __name__ == "__main__":
    sys.exit(main())
