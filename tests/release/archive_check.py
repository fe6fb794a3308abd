"""Checks the release archive as a user receives it: unpacked into an empty folder, every
file matches SHA256SUMS, the folders hold the architecture they name, the archive's name,
both DLLs' version resources and both tools' --version state one version, the runtime
notices are there, every link of the unpacked README leads to a file of the archive, and the
README's C example, taken from the unpacked README, builds with the README's MinGW lines
against the unpacked header and import libraries and runs for x64 and x86 under Wine
against a simulated driver-port box.

    python3 tests/release/archive_check.py [ZIP]

ZIP defaults to dist/tevro-VERSION-windows.zip, VERSION from src/version.h. Runs from the
top of the source tree, whose build-win64 must hold the stand-in driver and simctl.exe.
Prints one line per check and "N passed, M failed"; exits 1 when a check failed.
"""

import os
import re
import shutil
import subprocess
import sys

import glob

import pefile

import doc_links
import readme_blocks
from readme_blocks import LINK_SECTION, MINGW_COMPILERS
from tally import Tally

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ARCHES = {"x86": 0x14C, "x64": 0x8664}  # folder: PE machine
SHIPPED = ["TEVRO.DLL", "tevro.exe", "libtevro.dll.a", "tevro.lib"]
EXPECTED_FILES = sorted(
    [f"{arch}/{name}" for arch in ARCHES for name in SHIPPED]
    + ["include/tevro.h", "README.md"]
    # The README links to these: every one ships.
    + sorted("docs/" + os.path.basename(p) for p in glob.glob(os.path.join(REPO, "docs", "*.md")))
    + ["tests/README.md"]  # the contributors' page links to it
    + ["NOTICES/README.txt", "NOTICES/gcc-runtime-library-exception.txt",
       "NOTICES/winpthreads.txt", "NOTICES/mingw-w64-runtime.txt", "SHA256SUMS"])
NOTICE_TEXTS = {
    "NOTICES/gcc-runtime-library-exception.txt": ["GCC RUNTIME LIBRARY EXCEPTION",
                                                  "Version 3.1, 31 March 2009", "- libstdc++-v3"],
    "NOTICES/winpthreads.txt": ["Copyright (c) 2011-2016 mingw-w64 project", "Lockless Inc.",
                                "Permission is hereby granted, free of charge"],
}

TALLY = Tally("archive")
check = TALLY.check


def run(command, cwd, limit=120):
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", timeout=limit)
    return result.returncode, result.stdout.replace("\r", "")


def source_version():
    with open(os.path.join(REPO, "src", "version.h"), encoding="utf-8") as file:
        match = re.search(r'^#define TEVRO_FILE_VERSION_TEXT "([0-9.]+)"$', file.read(), re.M)
    return match.group(1) if match else None


def resource_version(path):
    """(fixed file version "a.b.c.d", the FileVersion string) of a PE file."""
    pe = pefile.PE(path)
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
               fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    text = None
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                value = table.entries.get(b"FileVersion")
                if value is not None:
                    text = value.decode("cp1252")
    return ".".join(str(n) for n in numbers), text


def read_text(path):
    if not os.path.isfile(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as file:
        return file.read().replace("\r", "")


def all_files(folder):
    found = []
    for base, _, names in os.walk(folder):
        found.extend(os.path.relpath(os.path.join(base, name), folder) for name in names)
    return sorted(found)


def main(argv):
    version = source_version()
    archive = os.path.abspath(argv[1]) if len(argv) > 1 else os.path.join(
        REPO, "dist", f"tevro-{version}-windows.zip")
    match = re.fullmatch(r"tevro-([0-9.]+)-windows\.zip", os.path.basename(archive))
    if not check(f"{os.path.relpath(archive, REPO)} exists and is named tevro-VERSION-windows.zip",
                 os.path.isfile(archive) and match is not None):
        return 1
    named_version = match.group(1)
    check("the archive's name carries the version of src/version.h", named_version == version,
          f"{named_version} in the name, {version} in src/version.h")

    folder = os.path.join(REPO, "build-package-check", "unpacked")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    status, output = run(["unzip", "-q", archive, "-d", folder], REPO)
    if not check("unzip into an empty folder", status == 0, output.strip()):
        return 1

    files = all_files(folder)
    check("it holds x86/ and x64/ (TEVRO.DLL, tevro.exe, libtevro.dll.a, tevro.lib), "
          "include/tevro.h, the README, the user's docs, NOTICES/ and SHA256SUMS, nothing else",
          files == EXPECTED_FILES,
          f"missing {sorted(set(EXPECTED_FILES) - set(files))}, "
          f"extra {sorted(set(files) - set(EXPECTED_FILES))}")

    status, output = run(["sha256sum", "--strict", "-c", "SHA256SUMS"], folder)
    check("sha256sum -c SHA256SUMS: every listed file matches", status == 0,
          output.strip().splitlines()[-1] if output.strip() else "")
    listed = []
    if os.path.isfile(os.path.join(folder, "SHA256SUMS")):
        with open(os.path.join(folder, "SHA256SUMS"), encoding="utf-8") as file:
            listed = sorted(line.split("  ", 1)[1] for line in file.read().splitlines() if line)
    others = [f for f in files if f != "SHA256SUMS"]
    check("SHA256SUMS lists every other file of the archive", listed == others,
          f"not listed {sorted(set(others) - set(listed))}, "
          f"listed but absent {sorted(set(listed) - set(others))}")

    for arch, machine in ARCHES.items():
        for name in ("TEVRO.DLL", "tevro.exe"):
            path = os.path.join(folder, arch, name)
            if not os.path.isfile(path):
                continue
            pe = pefile.PE(path, fast_load=True)
            check(f"{arch}/{name} is built for {arch}", pe.FILE_HEADER.Machine == machine,
                  f"machine {pe.FILE_HEADER.Machine:#x}")
        dll = os.path.join(folder, arch, "TEVRO.DLL")
        if os.path.isfile(dll):
            fixed, text = resource_version(dll)
            check(f"{arch}/TEVRO.DLL's version resource states the archive's version",
                  fixed == named_version and text == named_version,
                  f"FILEVERSION {fixed}, FileVersion '{text}', archive {named_version}")

    for path, texts in NOTICE_TEXTS.items():
        content = read_text(os.path.join(folder, path))
        missing = [text for text in texts if text not in content]
        check(f"{path} holds the licence text", not missing, f"lacks {missing}")

    # The README travels with the documents it links to.
    count, dead = doc_links.dead_links(folder, ["README.md"])
    check(f"the README's {count} links lead to files of the archive", count > 0 and not dead,
          "; ".join(dead))

    # The README's C example and its MinGW link lines, from the README the archive carries.
    with open(os.path.join(folder, "README.md"), encoding="utf-8") as file:
        readme = file.read()
    try:
        example = readme_blocks.first_block(readme, LINK_SECTION, "c").code
        lines = readme_blocks.command_lines(readme, LINK_SECTION, MINGW_COMPILERS)
    except KeyError as error:
        check("the unpacked README has its linking section and C example", False, str(error))
        example, lines = "", []
    with open(os.path.join(folder, "app.c"), "w", encoding="utf-8") as file:
        file.write(example)
    check("the README's linking section gives a MinGW line for x64 and for x86",
          sorted(line.split()[0] for line in lines) == sorted(c.strip() for c in MINGW_COMPILERS),
          f"lines: {lines}")
    for line in lines:
        status, output = run(["bash", "-c", line], folder)
        check(f"README: {line.split('#')[0].strip()}", status == 0, output.strip()[:400])

    # Both programs and both tools under Wine, with one driver-port box plugged in; the x86
    # ones only where the kernel executes 32-bit programs.
    status, refuses = run([os.path.join(REPO, "tools", "wine-run", "runs-32-bit")], REPO)
    arches = list(ARCHES) if status == 0 else ["x64"]
    session = r'''
      wine "$SIMCTL" port add 0 >/dev/null
      wine "$SIMCTL" port eeprom-write 0 4 39 30 00 00
      cd "$0"
      for arch in $1; do
        wine $arch/app.exe >$arch-app.out 2>&1
        echo "exit $?" >>$arch-app.out
        wine $arch/tevro.exe --version >$arch-version.out 2>&1
      done'''
    status, output = run([os.path.join(REPO, "scripts", "wine-run"), "--timeout", "120", "--",
                          "bash", "-c", session, folder, " ".join(arches)], REPO, limit=400)
    check("the Wine session with a simulated driver-port box ran", status == 0, output[-400:])
    for arch in ARCHES:
        if arch not in arches:
            TALLY.skip(f"{arch}/app.exe and {arch}/tevro.exe under Wine", refuses.strip())
            continue
        text = read_text(os.path.join(folder, f"{arch}-app.out"))
        check(f"{arch}/app.exe finds the driver-port box through {arch}/TEVRO.DLL and ends",
              "0 bridge, 1 driver-port boxes\nfirmware Cy, serial 12345\n" in text
              and text.endswith("exit 0\n"), text.strip()[-400:])
        text = read_text(os.path.join(folder, f"{arch}-version.out"))
        check(f"{arch}/tevro.exe --version prints the archive's version",
              text == f"tevro {named_version}\n", repr(text[:200]))

    return TALLY.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
