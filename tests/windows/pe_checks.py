#!/usr/bin/python3
"""Checks on the Windows images: TEVRO.DLL and, for the end-to-end stage, the
stand-ins of the simulated boxes. scripts/windows-checks and scripts/e2e run them.

Each subcommand prints what it found wrong, one problem a line, and exits 1
when there was any problem, 0 when there was none:

  def-header  DEF HEADER           .def entries agree with the functions in tevro.h
  exports     DLL DEF MAP          export table equals the .def; each export is
                                   the function the .def names (via the link map)
  imports     DLL                  only system DLLs are imported, never FTD2XX.DLL
  version     DLL                  the version resource
  cdecl       DLL DEF OBJDUMP      every export returns with a plain "ret" (x86)
  linked-imports EXE DEF           a program linked by plain names imports exactly
                                   the decorated names from TEVRO.DLL
  wine-run    EXE PREFIX           runs link_by_name.exe under Wine, no box present
  self-test   DLL DEF MAP FAULTY_DLL FAULTY_MAP OBJDUMP HEADER
                                   the checks above reject known-bad input

The stand-ins (sim/ftd2xx/ftd2xx.def lists the stand-in D2XX library's names):

  plain-exports DLL DEF            the export table holds exactly the names of a .def
                                   of plain names, undecorated
  stdcall-exports DLL DEF NM       each name of that .def is a stdcall function of the
                                   DLL, _NAME@N in its symbol table (x86)
  imports-within IMAGE DLL...      every DLL the image imports is one of these
  native-subsystem IMAGE           a native-subsystem image (a kernel driver)

Needs Debian's python3-pefile (run with /usr/bin/python3).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

EXPORT_COUNT = 26  # the interface has 26 functions, ordinals 1..26
DLL_NAME = "TEVRO.DLL"

# --- The .def file -------------------------------------------------------------

DEF_ENTRY = re.compile(r'^"([^"]+)"\s*=\s*([A-Za-z_]\w*)\s+@(\d+)$')


def read_def(text):
    """Returns ([(export name, plain name, ordinal)], library name, problems)."""
    entries, problems, library = [], [], None
    in_exports = False
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split(";", 1)[0].strip()
        if not line:
            continue
        if line.startswith("LIBRARY"):
            library = line.split(None, 1)[1].strip().strip('"') if " " in line else ""
            continue
        if line == "EXPORTS":
            in_exports = True
            continue
        match = DEF_ENTRY.match(line)
        if not in_exports or not match:
            problems.append(f".def line {number}: cannot read '{raw.strip()}'")
            continue
        entries.append((match.group(1), match.group(2), int(match.group(3))))
    return entries, library, problems


def load_def(path):
    with open(path, encoding="ascii") as f:
        return read_def(f.read())


# --- def-header ------------------------------------------------------------------

# Argument codes of the decorated names, and the tevro.h types they stand for.
ARG_CODES = {"v": "void", "uc": "unsigned char", "pc": "char *", "pv": "void *",
             "ul": "TEVRO_U32"}
HEADER_PROTOTYPE = re.compile(r"TEVRO_API\s+([^;()]+?)\s+TEVRO_CALL\s+(\w+)\s*\(([^)]*)\)\s*;")
DECORATED = re.compile(r"^@(\w+)\$q((?:v|uc|pc|pv|ul)+)$")


def header_functions(text):
    """{plain name: [argument type, ...]} from the prototypes in tevro.h."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    functions = {}
    for match in HEADER_PROTOTYPE.finditer(text):
        params = " ".join(match.group(3).split())
        types = []
        if params != "void":
            for param in params.split(","):
                # The type with its star spaced as in "char *", without the parameter name.
                type_ = re.sub(r"\s*\*\s*", " *", param.strip())
                if type_ not in ARG_CODES.values():
                    type_ = re.sub(r"\s*\b\w+$", "", type_)
                types.append(type_)
        functions[match.group(2)] = types
    return functions


def decoded_args(decorated):
    """(base name, [argument type]) for '@Name$q<codes>', or None."""
    match = DECORATED.match(decorated)
    if not match:
        return None
    codes = re.findall(r"v|uc|pc|pv|ul", match.group(2))
    types = [ARG_CODES[c] for c in codes]
    return match.group(1), ([] if types == ["void"] else types)


def check_def_header(def_text, header_text):
    entries, library, problems = read_def(def_text)
    if library != DLL_NAME:
        problems.append(f"the .def names the library {library!r}, expected {DLL_NAME!r}")
    functions = header_functions(header_text)
    if len(functions) != EXPORT_COUNT:
        problems.append(f"tevro.h declares {len(functions)} functions, expected {EXPORT_COUNT}")
    seen = set()
    for decorated, plain, ordinal in entries:
        decoded = decoded_args(decorated)
        if decoded is None:
            problems.append(f"{decorated}: not a decorated name this interface uses")
            continue
        base, args = decoded
        if plain in seen:
            problems.append(f"{plain} is exported twice")
        seen.add(plain)
        if plain not in functions:
            problems.append(f"{decorated} = {plain}: tevro.h declares no {plain}")
            continue
        if not plain.startswith(base):
            problems.append(f"{decorated} = {plain}: names a different function")
        if functions[plain] != args:
            problems.append(f"{decorated} = {plain}: the export takes ({', '.join(args) or 'void'}),"
                            f" tevro.h declares ({', '.join(functions[plain]) or 'void'})")
    for plain in sorted(set(functions) - seen):
        problems.append(f"tevro.h declares {plain}, the .def does not export it")
    return problems


# --- exports -----------------------------------------------------------------------

def map_symbols(map_path):
    """{symbol: address} from a GNU ld map file."""
    symbols = {}
    line_re = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+([^\s=]+)\s*$")
    with open(map_path, encoding="latin-1") as f:
        for line in f:
            match = line_re.match(line)
            if match:
                symbols.setdefault(match.group(2), int(match.group(1), 16))
    return symbols


def check_exports(dll_path, def_entries, map_path):
    problems = []
    pe = pefile.PE(dll_path)
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return ["no export table"]
    directory = pe.DIRECTORY_ENTRY_EXPORT
    if directory.name != DLL_NAME.encode():
        problems.append(f"export directory names the DLL {directory.name!r}, expected {DLL_NAME}")
    if len(def_entries) != EXPORT_COUNT:
        problems.append(f"the .def lists {len(def_entries)} exports, expected {EXPORT_COUNT}")
    if directory.struct.Base != 1:
        problems.append(f"ordinal base {directory.struct.Base}, expected 1")
    if directory.struct.NumberOfFunctions != len(def_entries):
        problems.append(f"{directory.struct.NumberOfFunctions} export slots, "
                        f"the .def lists {len(def_entries)}")
    if directory.struct.NumberOfNames != len(def_entries):
        problems.append(f"{directory.struct.NumberOfNames} export names, "
                        f"the .def lists {len(def_entries)}")
    by_name = {}
    for symbol in directory.symbols:
        if symbol.name is None:
            problems.append(f"ordinal {symbol.ordinal} is exported without a name")
            continue
        by_name[symbol.name.decode("latin-1")] = symbol
    expected = {decorated for decorated, _, _ in def_entries}
    for name in sorted(set(by_name) - expected):
        problems.append(f"exports {name!r}, which the .def does not list")
    try:
        symbols = map_symbols(map_path)
    except OSError as error:
        symbols = None
        problems.append(f"cannot read the link map: {error}")
    image_base = pe.OPTIONAL_HEADER.ImageBase
    for decorated, plain, ordinal in def_entries:
        symbol = by_name.get(decorated)
        if symbol is None:
            problems.append(f"{decorated} is not exported")
            continue
        if symbol.ordinal != ordinal:
            problems.append(f"{decorated} has ordinal {symbol.ordinal}, the .def says {ordinal}")
        if symbol.forwarder:
            problems.append(f"{decorated} is forwarded to {symbol.forwarder!r}")
            continue
        section = pe.get_section_by_rva(symbol.address)
        if section is None or not section.Characteristics & 0x20000000:  # MEM_EXECUTE
            problems.append(f"{decorated} does not point into code")
        if symbols is not None:
            # ld's map shows C names without the x86 underscore.
            address = symbols.get(plain, symbols.get("_" + plain))
            if address is None:
                problems.append(f"{decorated}: the link map has no symbol {plain}")
            elif address - image_base != symbol.address:
                problems.append(f"{decorated} points to RVA {symbol.address:#x}, "
                                f"{plain} is at {address - image_base:#x}")
    return problems


# --- imports ---------------------------------------------------------------------

# ADVAPI32 for the registry value that switches the trace on.
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}


def allowed_import(dll):
    name = dll.lower()
    return name in ALLOWED_IMPORTS or (name.startswith("api-ms-win-crt-") and name.endswith(".dll"))


def check_imports(dll_path):
    problems = []
    pe = pefile.PE(dll_path)
    tables = [("import", getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])),
              ("delay import", getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])),
              ("bound import", getattr(pe, "DIRECTORY_ENTRY_BOUND_IMPORT", []))]
    for kind, entries in tables:
        for entry in entries:
            name = entry.dll.decode("latin-1") if hasattr(entry, "dll") else entry.name.decode()
            if name.lower() == "ftd2xx.dll":
                problems.append(f"{kind} of {name}: FTD2XX.DLL must be bound at first use, not imported")
            elif not allowed_import(name):
                problems.append(f"{kind} of {name}, which is not a system DLL")
    return problems


# --- version resource ----------------------------------------------------------

FIXED_VERSION = (1, 4, 0, 0)
LANGUAGE = 0x0407  # German (Germany)
CODE_PAGE = 1252
STRINGS = {
    "CompanyName": "TEVRO project",
    "FileDescription": "kombined DLL for FTDI and CY-USB-PosInterface",
    "FileVersion": "1.4.0.0",
    "InternalName": "Kombinierte DLL f beide Pos-Interface",
    "LegalCopyright": "Copyright (C) 2026 TEVRO project",
    "LegalTrademarks": "",
    "OriginalFilename": "",
    "ProductName": "",
    "ProductVersion": "1.0.0.0",
    "Comments": "erweiterte Servicefunktionen per define, Verzoegertes Laden von ftd2xx.dll, "
                "ScanForPos, wechselweiser Mehrfachzugriff,",
}


def split_version(ms, ls):
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check_version(dll_path):
    problems = []
    pe = pefile.PE(dll_path)
    resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    version_dirs = [e for e in resources if e.id == pefile.RESOURCE_TYPE["RT_VERSION"]]
    if not version_dirs:
        return ["no version resource"]
    languages = [lang.id for name in version_dirs[0].directory.entries
                 for lang in name.directory.entries]
    if languages != [LANGUAGE]:
        problems.append(f"version resource languages {[hex(x) for x in languages]}, "
                        f"expected [{LANGUAGE:#06x}]")
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return problems + ["no fixed version information"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    file_version = split_version(fixed.FileVersionMS, fixed.FileVersionLS)
    product_version = split_version(fixed.ProductVersionMS, fixed.ProductVersionLS)
    if file_version != FIXED_VERSION:
        problems.append(f"fixed file version {file_version}, expected {FIXED_VERSION}")
    if product_version != FIXED_VERSION:
        problems.append(f"fixed product version {product_version}, expected {FIXED_VERSION}")
    if fixed.FileType != 2:  # VFT_DLL
        problems.append(f"file type {fixed.FileType}, expected 2 (DLL)")
    tables, translations = [], []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            tables.extend(info.StringTable)
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                value = var.entry.get(b"Translation")
                if value is not None:
                    translations.append(tuple(int(x, 16) for x in value.split()))
    if translations != [(LANGUAGE, CODE_PAGE)]:
        problems.append(f"translations {translations}, expected [({LANGUAGE:#06x}, {CODE_PAGE})]")
    keys = [table.LangID.decode() for table in tables]
    expected_key = f"{LANGUAGE:04X}{CODE_PAGE:04X}"
    if keys != [expected_key]:
        problems.append(f"string tables {keys}, expected ['{expected_key}']")
    if not tables:
        return problems
    found = {k.decode(): v.decode("cp1252") for k, v in tables[0].entries.items()}
    for key, value in STRINGS.items():
        if key not in found:
            problems.append(f"string {key} is missing")
        elif found[key] != value:
            problems.append(f"string {key} is {found[key]!r}, expected {value!r}")
    for key in sorted(set(found) - set(STRINGS)):
        problems.append(f"unexpected string {key} = {found[key]!r}")
    return problems


# --- cdecl ---------------------------------------------------------------------

LABEL = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")
RET = re.compile(r"^(?:(?:repz|rep|bnd)\s+)?ret[lwq]?\b\s*(.*)$")
DIRECT_TARGET = re.compile(r"^([0-9a-f]+)\s+<")


def disassemble(objdump, dll_path):
    """(ordered [(address, text)], {address: index}, {label addresses})."""
    output = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-M", "att", dll_path],
                            check=True, capture_output=True, text=True).stdout
    instructions, labels = [], set()
    for line in output.splitlines():
        label = LABEL.match(line)
        if label:
            labels.add(int(label.group(1), 16))
            continue
        insn = INSTRUCTION.match(line)
        if insn and insn.group(2).strip() and not insn.group(2).startswith("(bad)"):
            instructions.append((int(insn.group(1), 16), " ".join(insn.group(2).split())))
    index = {address: i for i, (address, _) in enumerate(instructions)}
    return instructions, index, labels


def returns_of(start, instructions, index, labels, limit=20000):
    """Walks the code reachable from start along direct jumps (a thunk, a tail
    call, a branch to a split-off part) up to the next symbol. Returns
    ([plain ret addresses], [(address, 'ret $N')], [problems])."""
    plain, popping, problems = [], [], []
    pending, visited = [start], set()
    while pending and len(visited) < limit:
        address = pending.pop()
        if address in visited:
            continue
        if address not in index:
            problems.append(f"jump to {address:#x}, which is not an instruction start")
            continue
        i = index[address]
        while i < len(instructions):
            at, text = instructions[i]
            if at in visited:
                break
            if at != address and at in labels:
                break  # the next symbol begins: this piece of code has ended
            visited.add(at)
            mnemonic, _, operands = text.partition(" ")
            ret = RET.match(text)
            if ret:
                if ret.group(1):
                    popping.append((at, text))
                else:
                    plain.append(at)
                break
            if mnemonic.startswith("j"):
                target = DIRECT_TARGET.match(operands)
                if target:
                    pending.append(int(target.group(1), 16))
                if mnemonic in ("jmp", "jmpl"):
                    break  # unconditional: the path continues only at the target
            i += 1
    if pending:
        problems.append(f"gave up after {limit} instructions")
    return plain, popping, problems


def check_cdecl(dll_path, def_entries, objdump):
    problems = []
    pe = pefile.PE(dll_path)
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        return ["not an x86 DLL: the calling convention check applies to x86 only"]
    exports = {}
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        exports = {s.name.decode("latin-1"): s for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
    instructions, index, labels = disassemble(objdump, dll_path)
    image_base = pe.OPTIONAL_HEADER.ImageBase
    for decorated, _, _ in def_entries:
        symbol = exports.get(decorated)
        if symbol is None:
            problems.append(f"{decorated} is not exported")
            continue
        plain, popping, walk_problems = returns_of(image_base + symbol.address, instructions,
                                                   index, labels)
        problems.extend(f"{decorated}: {p}" for p in walk_problems)
        for at, text in popping:
            problems.append(f"{decorated}: '{text}' at {at:#x} removes the caller's arguments "
                            f"(not cdecl)")
        if not plain and not popping:
            problems.append(f"{decorated}: no return instruction found")
    return problems


# --- linked-imports --------------------------------------------------------------

def check_linked_imports(exe_path, def_entries):
    problems = []
    pe = pefile.PE(exe_path)
    expected = {decorated for decorated, _, _ in def_entries}
    plain_names = {plain for _, plain, _ in def_entries}
    found = None
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("latin-1")
        for imp in entry.imports:
            if imp.name is not None and imp.name.decode("latin-1") in plain_names:
                problems.append(f"imports the plain name {imp.name.decode()} from {dll}")
        if dll.upper() != DLL_NAME:
            continue
        if found is not None:
            problems.append(f"imports {DLL_NAME} twice")
        if dll != DLL_NAME:
            problems.append(f"imports {dll!r}, expected {DLL_NAME!r}")
        found = set()
        for imp in entry.imports:
            if imp.import_by_ordinal or imp.name is None:
                problems.append(f"imports ordinal {imp.ordinal} of {DLL_NAME} without a name")
                continue
            found.add(imp.name.decode("latin-1"))
    if found is None:
        return problems + [f"does not import {DLL_NAME}"]
    for name in sorted(expected - found):
        problems.append(f"does not import {name}")
    for name in sorted(found - expected):
        problems.append(f"imports {name!r}, which {DLL_NAME} does not export")
    return problems


# --- the stand-ins ---------------------------------------------------------------------

def read_plain_def(text):
    """The export names of a .def that lists plain names, one a line under EXPORTS."""
    names, in_exports = [], False
    for raw in text.splitlines():
        line = raw.split(";", 1)[0].strip()
        if line == "EXPORTS":
            in_exports = True
        elif line and in_exports:
            names.append(line.split()[0])
    return names


def load_plain_def(path):
    with open(path, encoding="ascii") as f:
        return read_plain_def(f.read())


def check_plain_exports(dll_path, names):
    pe = pefile.PE(dll_path)
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return ["no export table"]
    exported = [s.name.decode("latin-1") for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name]
    problems = [f"{name} is not exported" for name in sorted(set(names) - set(exported))]
    problems += [f"exports {name!r}, which the .def does not list"
                 for name in sorted(set(exported) - set(names))]
    if not problems and sorted(exported) != sorted(names):
        problems.append("a name is exported twice")
    return problems


def check_stdcall_exports(dll_path, names, nm):
    """Each name is defined as the stdcall function _NAME@N (nm's 'T' symbols)."""
    output = subprocess.run([nm, dll_path], check=True, capture_output=True, text=True).stdout
    defined = {fields[2] for fields in (line.split() for line in output.splitlines())
               if len(fields) == 3 and fields[1] == "T"}
    return [f"{name} is not stdcall" for name in names
            if not any(re.fullmatch(rf"_{re.escape(name)}@\d+", symbol) for symbol in defined)]


def check_imports_within(image_path, allowed):
    pe = pefile.PE(image_path)
    allowed = {dll.lower() for dll in allowed}
    problems = []
    for kind in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, kind, []):
            name = entry.dll.decode("latin-1")
            if name.lower() not in allowed:
                problems.append(f"unexpected import {name}")
    return problems


def check_native_subsystem(image_path):
    subsystem = pefile.PE(image_path).OPTIONAL_HEADER.Subsystem
    native = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]
    return [] if subsystem == native else [f"subsystem {subsystem}, expected {native} (native)"]


# --- wine-run ----------------------------------------------------------------------

def find_wine():
    for candidate in ("wine64", "/usr/lib/wine/wine64", "wine"):
        path = shutil.which(candidate)
        if path:
            return path
    return None


def check_wine_run(exe_path, prefix, timeout=600):
    wine = find_wine()
    if wine is None:
        return ["wine not found (Debian package wine64)"]
    exe_path = os.path.abspath(exe_path)
    prefix = os.path.abspath(prefix)
    for needed in (exe_path, os.path.join(os.path.dirname(exe_path), DLL_NAME)):
        if not os.path.isfile(needed):
            return [f"{needed} does not exist"]
    stand_in = os.path.join(prefix, "drive_c", "windows", "system32", "ftd2xx.dll")
    if os.path.exists(stand_in):
        return [f"{stand_in} exists: the run needs a prefix without a D2XX library"]
    os.makedirs(prefix, exist_ok=True)
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)  # headless: a message box returns at once
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    # Files, not pipes: the Wine server outlives the program and would hold a pipe open.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            result = subprocess.run([wine, exe_path], cwd=os.path.dirname(exe_path), env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    timeout=timeout)
        except subprocess.TimeoutExpired:
            return [f"no exit within {timeout} s"]
        out.seek(0)
        err.seek(0)
        stdout = out.read().decode("latin-1").replace("\r\n", "\n")
        stderr = err.read().decode("latin-1")
    lines = [line for line in stdout.split("\n") if line.strip()]
    problems = [line for line in lines if line.startswith("MISMATCH")]
    if not lines or lines[-1] != "GetNumPos() == 0":
        problems.append(f"expected 'GetNumPos() == 0' as the last line, got {lines[-1:]!r}")
    if result.returncode != 0:
        problems.append(f"exit status {result.returncode}")
    if problems and stderr.strip():
        problems.append("wine stderr: " + " | ".join(stderr.strip().splitlines()[-5:]))
    return problems


# --- self-test -------------------------------------------------------------------

def swap_plain_names(def_text, first, second):
    """The .def text with the functions behind two ordinals swapped."""
    entries, _, _ = read_def(def_text)
    names = {ordinal: plain for _, plain, ordinal in entries}
    out = []
    for line in def_text.splitlines():
        match = DEF_ENTRY.match(line.split(";", 1)[0].strip())
        if match and int(match.group(3)) in (first, second):
            other = second if int(match.group(3)) == first else first
            line = re.sub(r"=\s*" + match.group(2) + r"\b", "= " + names[other], line, count=1)
        out.append(line)
    return "\n".join(out) + "\n"


def check_self_test(dll, def_path, map_path, faulty_dll, faulty_map, objdump, header):
    """Each check must reject input that breaks its rule, naming the fault."""
    problems = []
    with open(def_path, encoding="ascii") as f:
        def_text = f.read()
    with open(header, encoding="latin-1") as f:
        header_text = f.read()
    entries, _, _ = read_def(def_text)

    def expect(label, found, needle):
        if not any(needle in p for p in found):
            problems.append(f"{label}: expected a problem mentioning {needle!r}, got {found!r}")

    # Two functions swapped behind their export names (same argument list and
    # different ones): the header check and the link-map check must see it.
    swapped = swap_plain_names(def_text, 6, 8)  # KasseOpen <-> KasseClose
    swapped_entries, _, _ = read_def(swapped)
    if swapped_entries == entries:
        problems.append("self-test could not swap two .def entries")
    expect("def-header on swapped names", check_def_header(swapped, header_text),
           "names a different function")
    expect("exports on swapped names", check_exports(dll, swapped_entries, map_path), "points to RVA")
    expect("def-header on a P form swapped with its sister",
           check_def_header(swap_plain_names(def_text, 6, 7), header_text), "the export takes")
    # A .def entry dropped: the header check and the export check must see it.
    expect("def-header on a short .def", check_def_header(
        "\n".join(l for l in def_text.splitlines() if "@24" not in l), header_text),
        "does not export it")
    expect("exports against a short .def", check_exports(dll, entries[:-1], map_path),
           "which the .def does not list")

    # The faulty DLL: stdcall export at the wrong ordinal, FTD2XX.DLL imported,
    # no version resource.
    faulty_exports = check_exports(faulty_dll, entries, faulty_map)
    expect("exports on the faulty DLL", faulty_exports, "has ordinal 1, the .def says 23")
    expect("exports on the faulty DLL", faulty_exports, "@KasseOpen$qv is not exported")
    expect("exports on the faulty DLL", faulty_exports, "export directory names the DLL")
    expect("imports on the faulty DLL", check_imports(faulty_dll), "FTD2XX.DLL must be bound")
    expect("version on the faulty DLL", check_version(faulty_dll), "no version resource")
    faulty_cdecl = check_cdecl(faulty_dll, entries, objdump)
    expect("cdecl on the faulty DLL", faulty_cdecl, "@SetMfgDate$qul: 'ret $0x4'")
    expect("linked-imports on the faulty DLL", check_linked_imports(faulty_dll, entries),
           f"does not import {DLL_NAME}")
    return problems


# --- main --------------------------------------------------------------------------

def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    command, args = argv[1], argv[2:]
    try:
        if command == "def-header" and len(args) == 2:
            with open(args[0], encoding="ascii") as d, open(args[1], encoding="latin-1") as h:
                problems = check_def_header(d.read(), h.read())
        elif command == "exports" and len(args) == 3:
            entries, _, problems = load_def(args[1])
            problems += check_exports(args[0], entries, args[2])
        elif command == "imports" and len(args) == 1:
            problems = check_imports(args[0])
        elif command == "version" and len(args) == 1:
            problems = check_version(args[0])
        elif command == "cdecl" and len(args) == 3:
            entries, _, problems = load_def(args[1])
            problems += check_cdecl(args[0], entries, args[2])
        elif command == "linked-imports" and len(args) == 2:
            entries, _, problems = load_def(args[1])
            problems += check_linked_imports(args[0], entries)
        elif command == "wine-run" and len(args) == 2:
            problems = check_wine_run(args[0], args[1])
        elif command == "self-test" and len(args) == 7:
            problems = check_self_test(*args)
        elif command == "plain-exports" and len(args) == 2:
            problems = check_plain_exports(args[0], load_plain_def(args[1]))
        elif command == "stdcall-exports" and len(args) == 3:
            problems = check_stdcall_exports(args[0], load_plain_def(args[1]), args[2])
        elif command == "imports-within" and len(args) >= 2:
            problems = check_imports_within(args[0], args[1:])
        elif command == "native-subsystem" and len(args) == 1:
            problems = check_native_subsystem(args[0])
        else:
            print(__doc__)
            return 2
    except (OSError, pefile.PEFormatError, subprocess.CalledProcessError) as error:
        problems = [f"{type(error).__name__}: {error}"]
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
