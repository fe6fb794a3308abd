"""Checks the release archive as a user receives it: unpacked into an empty folder, every
file matches SHA256SUMS, the folders hold the architecture they name, the archive's name,
both DLLs' version resources and both tools' --version state one version, the runtime
notices are there, every link of the unpacked README leads to a file of the archive, and the
README's C example, taken from the unpacked README, builds with the README's MinGW lines
against the unpacked header and import libraries. The same C program is built again through
the archive's CMake package (find_package(tevro CONFIG), tests/release/cmake_consumer) with
each MinGW toolchain file, and the Pascal examples of docs/other-languages.md with Free
Pascal against the archive's unit (pascal_examples.py). Every program runs for x64 and x86
under Wine against a simulated driver-port box, reset to one state before each: the C
example prints the lines that state gives, every other program the C example's lines, and
after each the box has seen one drawer pulse.

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

import filecmp
import glob

import pefile

import doc_links
import pascal_examples
import readme_blocks
from readme_blocks import LINK_SECTION, MINGW_COMPILERS
from tally import Tally

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ARCHES = {"x86": 0x14C, "x64": 0x8664}  # folder: PE machine
SHIPPED = ["TEVRO.DLL", "tevro.exe", "libtevro.dll.a", "tevro.lib"]
EXPECTED_FILES = sorted(
    [f"{arch}/{name}" for arch in ARCHES for name in SHIPPED]
    + ["include/tevro.h", "include/tevro.pas", "README.md", "BUILDINFO.txt"]
    + ["cmake/tevro-config.cmake", "cmake/tevro-config-version.cmake"]
    # The README links to these: every one ships.
    + sorted("docs/" + os.path.basename(p) for p in glob.glob(os.path.join(REPO, "docs", "*.md")))
    + ["tests/README.md"]  # the contributors' page links to it
    + ["NOTICES/README.txt", "NOTICES/gcc-runtime-library-exception.txt",
       "NOTICES/winpthreads.txt", "NOTICES/mingw-w64-runtime.txt", "SHA256SUMS"])
TOOLCHAINS = {"x64": "mingw-x86_64.cmake", "x86": "mingw-i686.cmake"}
# The simulated driver-port box every program meets: opening counter 0, serial number 12345
# (EEPROM bytes 0 to 7), its counters cleared; the README's C example then prints:
BOX_STATE = "00 00 00 00 39 30 00 00"
C_EXAMPLE_LINES = ("0 bridge, 1 driver-port boxes\nfirmware Cy, serial 12345\n"
                   "switch 0 (read now), openings 1\nexit 0\n")
# The library ends its pulse 60 ms after the kick; the box's own clock may see a few ms less.
PULSE_MIN_MS = 50
# Box 1 for the unit's probe (tests/release/pascal/unit_probe.pas): counter 0, serial number
# 54321, date 19991231; the probe writes its fields, kicks twice (each pulse cut short by
# KasseClose), closes it, then opens device 0 (box 0, serial 12345). What it prints:
PROBE_BOX_STATE = "00 00 00 00 31 d4 00 00 bf 0a 31 01"
PROBE_LINES = """ScanForPos 2
GetNumPos 2
OpenPosInterface(1)<>-1 1
GetFirmWareVersion Cy
GetSerialNumber 54321
GetSerialNumberP 54321
SetSerialNumber 1
GetSerialNumber 3735928559
GetMfgDate 19991231
SetMfgDate 1
GetMfgDateP 20261208
SetLastOpenCnt 1
GetLastOpenCnt 41
GetLastOpenCntP 41
KasseOpenP 1
KasseCloseP 1
KasseOpen 1
KasseClose 1
GetLocalOpenCnt 2
GetLocalOpenCntP 2
GetTotalOpenCnt 43
GetTotalOpenCntP 43
GetSwitch 0
ReadFlag 1
GetSwitchP 0
ReadFlag 1
ClosePosInterfaceP 1
GetTotalOpenCnt 43
OpenPosInterfaceV<>-1 1
GetSerialNumber 12345
ClosePosInterface 1
exit 0
"""
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


def box_fields(show):
    """{field: value} of the line 'simctl port show 0' printed."""
    return dict(word.split("=", 1) for word in show.split() if "=" in word)


def cmake_consumers(folder, version):
    """Configures and builds tests/release/cmake_consumer, the README's C example found
    through the archive's CMake package, with each MinGW toolchain file; returns
    {arch: (label, program path relative to folder)} of those that built."""
    built = {}
    for arch, toolchain in TOOLCHAINS.items():
        build = os.path.join(folder, f"cmake-build-{arch}")
        status, output = run(["cmake", "-S", os.path.join(REPO, "tests", "release", "cmake_consumer"),
                              "-B", build, "-G", "Ninja",
                              "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(REPO, "cmake", toolchain),
                              "-Dtevro_DIR=" + os.path.join(folder, "cmake"),
                              "-DAPP_SOURCE=" + os.path.join(folder, "app.c")], folder)
        implib = os.path.join(folder, arch, "libtevro.dll.a")
        if not check(f"find_package(tevro 1.4 CONFIG) with {toolchain}: tevro::tevro for {arch},"
                     f" with {arch}/libtevro.dll.a", status == 0
                     and f"tevro {version} {arch}: {implib}" in output,
                     output.strip()[-400:]):
            continue
        status, output = run(["cmake", "--build", build], folder)
        exe = os.path.join(build, "app.exe")
        same_dll = os.path.isfile(os.path.join(build, "TEVRO.DLL")) and filecmp.cmp(
            os.path.join(build, "TEVRO.DLL"), os.path.join(folder, arch, "TEVRO.DLL"), False)
        if check(f"the CMake build of the C example links tevro::tevro ({arch}) and puts"
                 f" {arch}/TEVRO.DLL beside it", status == 0 and os.path.isfile(exe) and same_dll,
                 output.strip()[-400:]):
            built[arch] = (f"{arch} CMake build of app.c", os.path.relpath(exe, folder))
    return built


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

    # The same C program through the archive's CMake package, and the Pascal examples.
    programs = {arch: [(f"{arch}/app.exe", f"{arch}/app.exe")] for arch in ARCHES}
    for arch, built in cmake_consumers(folder, named_version).items():
        programs[arch].append(built)
    sources = pascal_examples.check_sources(folder, check)
    probes = {}
    if sources:
        built, probes = pascal_examples.build(folder, sources, check)
        for arch in built:
            programs[arch] += built[arch]

    # Every program and both tools under Wine, with one driver-port box plugged in; the x86
    # ones only where the kernel executes 32-bit programs.
    status, refuses = run([os.path.join(REPO, "tools", "wine-run", "runs-32-bit")], REPO)
    arches = list(ARCHES) if status == 0 else ["x64"]
    runs = [(arch, label, path) for arch in arches for label, path in programs[arch]]
    probe_runs = [(arch, label, path) for arch in arches for label, path in probes.get(arch, [])]
    # The examples with box 0 alone (the lines name the count of boxes), then the probes
    # with box 1 beside it; each program meets its box in the same state.
    session = r'''
      cd "$0"
      state="$1" probe_state="$2" tools="$3"
      shift 3
      wine "$SIMCTL" port add 0 >/dev/null
      rm -rf runs && mkdir runs
      n=0 box=0
      for program in "$@"; do
        if [ "$program" = --probes ]; then
          box=1
          wine "$SIMCTL" port add 1 >/dev/null
          continue
        fi
        n=$((n + 1))
        wine "$SIMCTL" port eeprom-write 0 0 $state >/dev/null
        [ $box = 0 ] || wine "$SIMCTL" port eeprom-write 1 0 $probe_state >/dev/null
        wine "$SIMCTL" port set $box counters=clear >/dev/null
        wine "$program" >runs/$n.out 2>&1
        echo "exit $?" >>runs/$n.out
        wine "$SIMCTL" port show $box >runs/$n.box 2>&1
      done
      for arch in $tools; do
        wine $arch/tevro.exe --version >$arch-version.out 2>&1
      done'''
    status, output = run([os.path.join(REPO, "scripts", "wine-run"), "--timeout", "400", "--",
                          "bash", "-c", session, folder, BOX_STATE, PROBE_BOX_STATE,
                          " ".join(arches)] + [path for _, _, path in runs] + ["--probes"]
                         + [path for _, _, path in probe_runs], REPO, limit=700)
    check("the Wine session with a simulated driver-port box ran", status == 0, output[-400:])
    c_lines = {}
    for number, (arch, label, _) in enumerate(runs, 1):
        text = read_text(os.path.join(folder, "runs", f"{number}.out"))
        if label == f"{arch}/app.exe":
            c_lines[arch] = text
            check(f"{label} (the README's C example) prints the lines of the box's state through"
                  f" {arch}/TEVRO.DLL and ends", text == C_EXAMPLE_LINES, repr(text[-400:]))
        else:
            check(f"{label} prints what {arch}/app.exe printed", text == c_lines.get(arch),
                  f"{text.strip()[-300:]!r}, the C example: {c_lines.get(arch, '').strip()!r}")
        box = box_fields(read_text(os.path.join(folder, "runs", f"{number}.box")))
        check(f"{label}: the box saw one drawer pulse of {PULSE_MIN_MS} ms or more, released",
              box.get("pulses") == "1" and box.get("drawer") == "1"
              and int(box.get("low-ms", "0")) >= PULSE_MIN_MS,
              f"pulses={box.get('pulses')} drawer={box.get('drawer')} low-ms={box.get('low-ms')}")
    for number, (arch, label, _) in enumerate(probe_runs, len(runs) + 1):
        text = read_text(os.path.join(folder, "runs", f"{number}.out"))
        missing = [line for line in PROBE_LINES.splitlines() if line not in text.splitlines()]
        check(f"{label} calls the 26 functions of the unit on box 1 and box 0 and prints what"
              " the boxes hold", text == PROBE_LINES,
              f"lacks {missing[:6]}; printed {text.strip()[-300:]!r}")
        box = box_fields(read_text(os.path.join(folder, "runs", f"{number}.box")))
        check(f"{label}: box 1 saw its two drawer pulses, released",
              box.get("pulses") == "2" and box.get("drawer") == "1",
              f"pulses={box.get('pulses')} drawer={box.get('drawer')}")
    for arch in ARCHES:
        if arch not in arches:
            labels = [label for label, _ in programs[arch] + probes.get(arch, [])]
            TALLY.skip(f"the {len(labels)} {arch} programs ({', '.join(labels)}) and"
                       f" {arch}/tevro.exe under Wine", refuses.strip())
            continue
        text = read_text(os.path.join(folder, f"{arch}-version.out"))
        check(f"{arch}/tevro.exe --version prints the archive's version",
              text == f"tevro {named_version}\n", repr(text[:200]))

    return TALLY.summary()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
