"""The Pascal examples of docs/other-languages.md, built as a user of the release archive
builds them: the page's two programs (which must be examples/pascal/app_static.pas and
app_dynamic.pas of the source tree, as the tests build them) compiled by Debian's Free
Pascal (scripts/fpc-windows) against the unpacked archive's include/tevro.pas, for x64 and
x86, in Delphi and in ObjFPC mode; and, the same way, tests/release/pascal/unit_probe.pas,
which calls every function of the unit. archive_check.py runs the programs under Wine.
"""

import os
import shutil
import subprocess
import sys

import pefile

import readme_blocks

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "windows"))
import pascal_check  # noqa: E402  (tests/windows)

PAGE = "docs/other-languages.md"
SECTION = "Pascal (Delphi, Free Pascal)"
BINDINGS = ("static", "dynamic")  # in the order the page shows them
PROBE = "probe"
PROBE_SOURCE = os.path.join(REPO, "tests", "release", "pascal", "unit_probe.pas")
MODES = ("delphi", "objfpc")
TARGETS = {"x64": "win64", "x86": "win32"}
FPC = os.path.join(REPO, "scripts", "fpc-windows")


def run(command, cwd, limit=300):
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", timeout=limit)
    return result.returncode, result.stdout


def page_programs(folder):
    """{binding: source} of the page's pascal blocks in the unpacked folder."""
    with open(os.path.join(folder, PAGE), encoding="utf-8") as file:
        blocks = [b.code for b in readme_blocks.section_blocks(file.read(), SECTION)
                  if b.lang == "pascal"]
    return dict(zip(BINDINGS, blocks)) if len(blocks) == len(BINDINGS) else {}


def tree_program(binding):
    with open(os.path.join(REPO, "examples", "pascal", f"app_{binding}.pas"),
              encoding="utf-8") as file:
        return file.read()


def program_name(binding, mode):
    return f"pascal-{binding}-{mode}.exe"


def check_sources(folder, check):
    """The page's programs and the unit, before anything is built; returns the programs."""
    programs = page_programs(folder)
    check(f"{PAGE} shows two Pascal programs, and they are examples/pascal/app_static.pas"
          " and app_dynamic.pas", programs and all(programs[b] == tree_program(b)
                                                     for b in BINDINGS),
          f"{len(programs)} programs found; differing: "
          f"{[b for b in programs if programs[b] != tree_program(b)]}")
    with open(os.path.join(REPO, "src", "tevro.def"), encoding="ascii") as file:
        def_text = file.read()
    texts = {}
    for name in ("tevro.h", "tevro.pas"):
        with open(os.path.join(folder, "include", name), encoding="utf-8") as file:
            texts[name] = file.read()
    problems = pascal_check.check_unit(def_text, texts["tevro.h"], texts["tevro.pas"])
    check("include/tevro.pas of the archive binds the 26 exports of src/tevro.def by name,"
          " cdecl, with the types of the archive's tevro.h", not problems, "; ".join(problems))
    if "dynamic" in programs:
        problems = pascal_check.check_example(def_text, texts["tevro.h"], programs["dynamic"])
        check("the page's run-time binding types and names each function as the unit does",
              not problems, "; ".join(problems))
    return programs


def tevro_imports(path):
    """The names the image imports from TEVRO.DLL (ordinals as '#N')."""
    pe = pefile.PE(path)
    names = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        if entry.dll.decode("latin-1").upper() == "TEVRO.DLL":
            names += [i.name.decode("latin-1") if i.name else f"#{i.ordinal}"
                      for i in entry.imports]
    return sorted(names)


def build(folder, programs, check):
    """Compiles each program ({binding: source}) and the probe for each architecture and
    mode into FOLDER/ARCH/, beside the TEVRO.DLL it loads; returns
    {arch: [(label, program path relative to FOLDER)]} of the examples that built, and the
    same of the probes."""
    status, output = run([FPC, "--prepare"], REPO, limit=900)
    if not check("scripts/fpc-windows: the Windows units and the i386 compiler of Free Pascal",
                 status == 0, output.strip()[-400:]):
        return {}, {}
    with open(os.path.join(REPO, "src", "tevro.def"), encoding="ascii") as file:
        exported = {decorated for decorated, _, _ in pascal_check.pe_checks.read_def(file.read())[0]}
    work = os.path.join(folder, "pascal-build")
    shutil.rmtree(work, ignore_errors=True)
    built, probes = {}, {}
    with open(PROBE_SOURCE, encoding="utf-8") as file:
        programs = dict(programs, **{PROBE: file.read()})
    for binding, source in programs.items():
        source_path = os.path.join(work, f"app_{binding}.pas")
        os.makedirs(work, exist_ok=True)
        with open(source_path, "w", encoding="utf-8") as file:
            file.write(source)
        for arch, target in TARGETS.items():
            for mode in MODES:
                units = os.path.join(work, f"units-{arch}-{mode}-{binding}")
                os.makedirs(units)
                exe = os.path.join(folder, arch, program_name(binding, mode))
                status, output = run([FPC, target, f"-M{mode}", "-vw", "-Sew",
                                      "-Fu" + os.path.join(folder, "include"), "-FU" + units,
                                      "-o" + exe, source_path], work)
                label = f"{arch}/{program_name(binding, mode)}"
                what = "the unit's probe" if binding == PROBE else f"{binding} binding"
                if not check(f"Free Pascal builds {label} ({what}, {mode} mode, {target})"
                             " without a warning", status == 0 and os.path.isfile(exe),
                             output.strip()[-400:]):
                    continue
                imports = tevro_imports(exe)
                if binding == PROBE:
                    ok = set(imports) == exported and len(imports) == len(exported)
                    what = "imports each of the 26 decorated export names from TEVRO.DLL, by name"
                elif binding == "static":
                    ok = bool(imports) and set(imports) <= exported
                    what = "imports only decorated export names from TEVRO.DLL, by name"
                else:
                    ok = not imports
                    what = "does not import TEVRO.DLL (it loads it itself)"
                check(f"{label} {what}", ok, f"imports {imports}")
                (probes if binding == PROBE else built).setdefault(arch, []).append(
                    (label, os.path.relpath(exe, folder)))
    return built, probes
