#!/usr/bin/python3
"""Checks the Pascal declarations of TEVRO.DLL's functions against the one export list,
src/tevro.def, and the C types of tevro.h (which pe_checks.py def-header holds against the
.def), so that the Pascal unit and the examples keep no list of their own unchecked.

  unit DEF HEADER UNIT       the unit (include/tevro.pas) declares each function of the .def
                             once, under its plain name, bound by
                             external 'TEVRO.DLL' name '<export name>', cdecl, with the
                             Pascal type of each C argument and result, and nothing more
  example DEF HEADER FILE... in a program that binds the library at run time, each variable
                             named after a function of the .def has a procedural type with
                             those types and cdecl, and is assigned once, from a look-up of
                             its own export name
  self-test DEF HEADER UNIT  the unit check rejects the mistakes a Pascal declaration of
                             this interface can make, each made once in a copy of the unit

The Pascal types of the C ones are those that have the C type's size in every compiler
mode of Free Pascal and in Delphi, on 32-bit and 64-bit Windows: a TEVRO_BOOL result is a
Boolean (one byte; not BOOL, LongBool or ByteBool), TEVRO_U32 a LongWord, Cardinal or
UInt32 (never Integer, 16 bits in Free Pascal's default mode), char * a PAnsiChar or a
pointer to a byte (never PChar, which is a pointer to two-byte characters in Delphi 2009
and later). Arguments are passed by value: a var, const or out argument changes what is on
the stack.

Prints one problem a line and exits 1 when there is one, 0 when there is none.
"""
import re
import sys

import pe_checks

ALLOWED = {
    "TEVRO_BOOL": {"boolean"},
    "TEVRO_U32": {"longword", "cardinal", "uint32", "dword"},
    "TEVRO_S32": {"longint", "int32"},
    "unsigned char": {"byte", "uint8"},
    "char *": {"pansichar", "^ansichar", "pbyte", "^byte"},
    "void *": {"pointer"},
}
CALLING_CONVENTIONS = {"cdecl", "stdcall", "register", "pascal", "safecall", "winapi"}
LIBRARY = "TEVRO.DLL"

# --- Reading Pascal ---------------------------------------------------------------------

TOKEN = re.compile(r"\s+|'(?:[^']|'')*'|:=|[A-Za-z_]\w*|\$[0-9A-Fa-f]+|\d+|.", re.S)


def tokens(text):
    """The tokens of a Pascal text, comments and compiler directives left out; a string
    token keeps its quotes."""
    text = re.sub(r"\{.*?\}|\(\*.*?\*\)|//[^\n]*", " ", text, flags=re.S)
    return [t for t in TOKEN.findall(text) if not t.isspace()]


class Reader:
    def __init__(self, toks, at):
        self.toks, self.at = toks, at

    def peek(self, ahead=0):
        index = self.at + ahead
        return self.toks[index] if index < len(self.toks) else ""

    def take(self):
        tok = self.peek()
        self.at += 1
        return tok

    def type_name(self):
        """A type as written: 'name' or '^name', lower case."""
        pointer = ""
        if self.peek() == "^":
            pointer = self.take()
        return pointer + self.take().lower()


def signature(reader, named=False):
    """Reads a heading from 'function' or 'procedure' on (with the routine's name after it
    when named): (arguments as [(modifier, type)], result type or None, [directives])."""
    kind = reader.take().lower()
    if named:
        reader.take()
    arguments = []
    if reader.peek() == "(":
        reader.take()
        while reader.peek() not in (")", ""):
            modifier = ""
            if reader.peek().lower() in ("var", "const", "out", "constref"):
                modifier = reader.take().lower()
            names = [reader.take()]
            while reader.peek() == ",":
                reader.take()
                names.append(reader.take())
            if reader.take() != ":":
                break
            type_ = reader.type_name()
            arguments += [(modifier, type_)] * len(names)
            if reader.peek() == ";":
                reader.take()
        reader.take()
    result = None
    if kind == "function" and reader.peek() == ":":
        reader.take()
        result = reader.type_name()
    directives = []
    while reader.peek() == ";":
        reader.take()
        word = reader.peek().lower()
        if word in CALLING_CONVENTIONS:
            directives.append(reader.take().lower())
        elif word == "external":
            directives.append(reader.take().lower())
            while reader.peek() not in (";", ""):
                tok = reader.take()
                directives.append(tok if tok.startswith("'") else tok.lower())
        elif word in ("overload", "delayed", "varargs", "inline"):
            directives.append(reader.take().lower())
        else:
            break
    return arguments, result, directives


def declarations(text):
    """What a Pascal text declares:
    routines   {name: [(arguments, result, directives)]}  function/procedure headings
    proctypes  {name: (arguments, result, directives)}    T = function(...)...; cdecl;
    aliases    {name: type}                               T = ^Byte; T = LongWord;
    variables  {name: type name or (arguments, result, directives)}
    assigned   [(name, the string literals of the statement)]  name := ...;
    """
    toks = tokens(text)
    found = {"routines": {}, "proctypes": {}, "aliases": {}, "variables": {}, "assigned": []}
    index = 0
    while index < len(toks):
        tok, low = toks[index], toks[index].lower()
        before = toks[index - 1] if index > 0 else ""
        after = toks[index + 1] if index + 1 < len(toks) else ""
        if low in ("function", "procedure") and before not in (":", "="):
            reader = Reader(toks, index)
            found["routines"].setdefault(after.lower(), []).append(signature(reader, named=True))
            index = reader.at
            continue
        if re.fullmatch(r"[A-Za-z_]\w*", tok) and after in ("=", ":"):
            following = toks[index + 2].lower() if index + 2 < len(toks) else ""
            reader = Reader(toks, index + 2)
            if following in ("function", "procedure"):
                sig = signature(reader)
                if after == "=":
                    found["proctypes"][low] = sig
                else:
                    found["variables"][low] = sig
                index = reader.at
                continue
            if re.fullmatch(r"\^?[A-Za-z_]\w*", following) or following == "^":
                type_ = reader.type_name()
                if reader.peek() == ";":
                    target = "aliases" if after == "=" else "variables"
                    found[target][low] = type_
                    index = reader.at
                    continue
        if re.fullmatch(r"[A-Za-z_]\w*", tok) and after == ":=":
            end = index + 2
            while end < len(toks) and toks[end] != ";" and toks[end].lower() != "end":
                end += 1
            strings = [t[1:-1].replace("''", "'") for t in toks[index + 2:end] if t.startswith("'")]
            found["assigned"].append((low, strings))
        index += 1
    return found


def resolve(type_, aliases, depth=0):
    """A type with the text's own aliases replaced by what they stand for."""
    while depth < 10:
        pointer = type_.startswith("^")
        name = type_[1:] if pointer else type_
        if name not in aliases:
            return type_
        target = aliases[name]
        if pointer:
            return "^" + resolve(target, aliases, depth + 1)
        type_ = target
        depth += 1
    return type_


# --- Checking against the .def and tevro.h -------------------------------------------------

def c_interface(def_text, header_text):
    """({plain name: export name}, {plain name: (C result, [C argument types])}, problems)."""
    entries, _, problems = pe_checks.read_def(def_text)
    exports = {plain: decorated for decorated, plain, _ in entries}
    arguments = pe_checks.header_functions(header_text)
    stripped = re.sub(r"/\*.*?\*/", " ", header_text, flags=re.S)
    results = {m.group(2): " ".join(m.group(1).split())
               for m in pe_checks.HEADER_PROTOTYPE.finditer(stripped)}
    functions = {name: (results[name], arguments[name]) for name in arguments}
    for plain in sorted(set(exports) - set(functions)):
        problems.append(f"tevro.h declares no {plain}, which the .def exports")
    return exports, functions, problems


def type_problems(name, c_types, sig, aliases):
    """What is wrong with the Pascal signature sig of the C function name."""
    c_result, c_arguments = c_types
    arguments, result, directives = sig
    problems = []
    conventions = [d for d in directives if d in CALLING_CONVENTIONS]
    if conventions != ["cdecl"]:
        problems.append(f"{name}: calling convention {' '.join(conventions) or 'none given'},"
                        " not cdecl (the library's callers remove the arguments)")
    if c_result == "void":
        if result is not None:
            problems.append(f"{name}: a function returning {result}; the library's returns nothing")
    elif result is None:
        problems.append(f"{name}: a procedure; the library's returns {c_result}")
    elif resolve(result, aliases) not in ALLOWED[c_result]:
        problems.append(f"{name}: result {result}, not one of the Pascal types of {c_result}"
                        f" ({', '.join(sorted(ALLOWED[c_result]))})")
    if len(arguments) != len(c_arguments):
        problems.append(f"{name}: {len(arguments)} arguments, the library's takes"
                        f" {len(c_arguments)}")
    for number, ((modifier, type_), c_type) in enumerate(zip(arguments, c_arguments), 1):
        if modifier:
            problems.append(f"{name}: argument {number} is a {modifier} argument; the library"
                            " takes it by value")
        if resolve(type_, aliases) not in ALLOWED[c_type]:
            problems.append(f"{name}: argument {number} is {type_}, not one of the Pascal"
                            f" types of {c_type} ({', '.join(sorted(ALLOWED[c_type]))})")
    return problems


def check_unit(def_text, header_text, unit_text):
    exports, functions, problems = c_interface(def_text, header_text)
    found = declarations(unit_text)
    routines, aliases = found["routines"], found["aliases"]
    by_plain = {plain.lower(): plain for plain in exports}
    for low, sigs in sorted(routines.items()):
        if low not in by_plain:
            problems.append(f"the unit declares {low}, which the .def does not export")
            continue
        plain = by_plain[low]
        if len(sigs) != 1:
            problems.append(f"{plain} is declared {len(sigs)} times")
        sig = sigs[0]
        if plain in functions:
            problems += type_problems(plain, functions[plain], sig, aliases)
        directives = sig[2]
        binding = directives[directives.index("external") + 1:] if "external" in directives else []
        wanted = [f"'{LIBRARY}'", "name", f"'{exports[plain]}'"]
        if binding != wanted:
            problems.append(f"{plain}: bound by external {' '.join(binding) or '(nothing)'},"
                            f" not external {' '.join(wanted)}")
    for plain in exports:
        if plain.lower() not in routines:
            problems.append(f"the unit does not declare {plain} ({exports[plain]})")
    return problems


def check_example(def_text, header_text, text):
    exports, functions, problems = c_interface(def_text, header_text)
    found = declarations(text)
    by_plain = {plain.lower(): plain for plain in exports}
    checked = 0
    for low, declared in sorted(found["variables"].items()):
        if low not in by_plain:
            continue
        plain = by_plain[low]
        sig = declared if isinstance(declared, tuple) else found["proctypes"].get(declared)
        if sig is None:
            problems.append(f"{plain} is a variable of {declared}, which is no procedural type")
            continue
        checked += 1
        problems += type_problems(plain, functions[plain], sig, found["aliases"])
        bindings = [strings for name, strings in found["assigned"] if name == low]
        wanted = [exports[plain]]
        if bindings != [wanted]:
            problems.append(f"{plain}: assigned from {bindings or 'nothing'}, not once from a"
                            f" look-up of '{exports[plain]}'")
    if checked == 0:
        problems.append("the program has no variable named after a function of the .def")
    return problems


# --- Self-test ---------------------------------------------------------------------------

def declaration_of(unit_text, plain):
    """The span of the heading of plain in the unit: (start, end)."""
    match = re.search(r"(function|procedure)\s+" + plain + r"\b.*?name\s+'[^']*'\s*;", unit_text,
                      flags=re.S)
    return match.span() if match else None


def mutations(unit_text):
    """(what was done, the changed unit, a text the check's problems must contain)."""
    def edit(plain, old, new):
        span = declaration_of(unit_text, plain)
        if span is None:
            return None
        heading = unit_text[span[0]:span[1]]
        if old not in heading:
            return None
        return unit_text[:span[0]] + heading.replace(old, new, 1) + unit_text[span[1]:]

    def swapped(first, second):
        names = {p: re.search(r"name\s+'([^']*)'", unit_text[slice(*declaration_of(unit_text, p))])
                 for p in (first, second)}
        text = edit(first, names[first].group(1), "\0")
        text = text.replace(f"'{names[second].group(1)}'", f"'{names[first].group(1)}'", 1)
        return text.replace("\0", names[second].group(1), 1)

    dropped = declaration_of(unit_text, "ClosePosInterfaceP")
    return [
        ("cdecl left out of OpenPosInterface", edit("OpenPosInterface", " cdecl;", ""),
         "OpenPosInterface: calling convention none given"),
        ("stdcall for SetSerialNumber", edit("SetSerialNumber", "cdecl", "stdcall"),
         "SetSerialNumber: calling convention stdcall"),
        ("a four-byte Boolean for KasseOpen", edit("KasseOpen", ": Boolean", ": LongBool"),
         "KasseOpen: result LongBool"),
        ("BOOL for GetSwitch", edit("GetSwitch", "): Boolean", "): BOOL"),
         "GetSwitch: result BOOL"),
        ("Integer for GetNumPos", edit("GetNumPos", ": LongWord", ": Integer"),
         "GetNumPos: result Integer"),
        ("PChar for GetFirmWareVersion", edit("GetFirmWareVersion", "PAnsiChar", "PChar"),
         "GetFirmWareVersion: argument 1 is pchar"),
        ("a var argument for SetMfgDate", edit("SetMfgDate", "(Value", "(var Value"),
         "SetMfgDate: argument 1 is a var argument"),
        ("GetSwitchP without its ignored pointer",
         edit("GetSwitchP", "Ignored: Pointer; ", ""), "GetSwitchP: 1 arguments"),
        ("the export names of GetSerialNumber and GetMfgDate swapped",
         swapped("GetSerialNumber", "GetMfgDate"), "GetSerialNumber: bound by external"),
        ("bound by ordinal, not by name", edit("KasseClose", "name '@KasseClose$qv'", "index 8"),
         "KasseClose: bound by external"),
        ("the read flag a pointer to a 32-bit number",
         unit_text.replace("PTevroFlag = ^Byte;", "PTevroFlag = ^LongWord;", 1),
         "GetSwitch: argument 1 is ptevroflag"),
        ("ClosePosInterfaceP left out",
         unit_text[:dropped[0]] + unit_text[dropped[1]:] if dropped else None,
         "does not declare ClosePosInterfaceP"),
    ]


def check_self_test(def_text, header_text, unit_text):
    problems = [f"the unit as it is: {p}" for p in check_unit(def_text, header_text, unit_text)]
    for what, text, needle in mutations(unit_text):
        if text is None or text == unit_text:
            problems.append(f"self-test could not make the mistake: {what}")
            continue
        found = check_unit(def_text, header_text, text)
        if not any(needle.lower() in p.lower() for p in found):
            problems.append(f"the unit check does not reject {what}: it found "
                            f"{found or 'nothing'}, not '{needle}'")
    return problems


def read(path):
    with open(path, encoding="utf-8") as file:
        return file.read()


def main(argv):
    if len(argv) < 5 or argv[1] not in ("unit", "example", "self-test") or (
            argv[1] != "example" and len(argv) != 5):
        sys.exit(__doc__)
    command, def_text, header_text = argv[1], read(argv[2]), read(argv[3])
    problems = []
    if command == "unit":
        problems = check_unit(def_text, header_text, read(argv[4]))
    elif command == "self-test":
        problems = check_self_test(def_text, header_text, read(argv[4]))
    else:
        for path in argv[4:]:
            problems += [f"{path}: {p}" for p in check_example(def_text, header_text, read(path))]
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
