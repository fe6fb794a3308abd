#!/usr/bin/env python3
"""Splits callgrind dumps of `tevro_bench --fixed=N` into the library's own instructions and
everything else, per operation.

  callgrind_split.py [--harness=NAME] MANIFEST DUMP_PREFIX

MANIFEST is what the --fixed run printed (one "label<TAB>calls" line per operation, in the
order of the dumps); the dumps are DUMP_PREFIX.1, DUMP_PREFIX.2, ... Prints
"label<TAB>library Ir per call<TAB>stand-in Ir per call" per operation. The library's own
instructions are the self cost of every function in the library's object (libtevro.so).
The library calls nothing but the Win32 stand-in, so the rest, less the benchmark's own
call of the export (in the tevro_bench object), is the stand-in's: its Win32 and D2XX
functions, the simulated boxes, and the C and C++ runtime code they run. --harness names
the measuring program's object (default tevro_bench; trace_bench for its dumps).
"""
import re
import sys

LIBRARY_OBJECT = "libtevro.so"
HARNESS_OBJECT = "tevro_bench"


def self_costs_by_object(path):
    """Self cost (first event, Ir) summed per object file."""
    names = {"ob": {}, "fn": {}}
    costs = {}
    current_ob = ""
    skip_next_cost = False
    with open(path) as dump:
        for line in dump:
            line = line.rstrip("\n")
            if not line:
                continue
            head = line[0]
            if head.isdigit() or head in "+-*":
                if skip_next_cost:
                    skip_next_cost = False  # the inclusive cost of a call, not self cost
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    costs[current_ob] = costs.get(current_ob, 0) + int(fields[1])
                continue
            match = re.match(r"^(c?ob|c?fn|fl|fi|fe|cfi|cfl)=(?:\((\d+)\))?\s*(.*)$", line)
            if match:
                key, ident, name = match.groups()
                base = key.lstrip("c")
                if base in names and ident is not None:
                    if name:
                        names[base][ident] = name
                    else:
                        name = names[base].get(ident, "?")
                if key == "ob":
                    current_ob = name
                continue
            if line.startswith("calls="):
                skip_next_cost = True
    return costs


def main():
    args = sys.argv[1:]
    harness_object = HARNESS_OBJECT
    if args and args[0].startswith("--harness="):
        harness_object = args.pop(0).split("=", 1)[1]
    if len(args) != 2:
        sys.exit(__doc__)
    manifest, prefix = args
    with open(manifest) as f:
        rows = [line.rstrip("\n").split("\t") for line in f if "\t" in line]
    for number, (label, calls) in enumerate(rows, start=1):
        costs = self_costs_by_object(f"{prefix}.{number}")
        calls = int(calls)
        library = sum(v for ob, v in costs.items() if ob.endswith(LIBRARY_OBJECT))
        harness = sum(v for ob, v in costs.items() if ob.endswith(harness_object))
        stand_in = sum(costs.values()) - library - harness
        print(f"{label}\t{library / calls:.1f}\t{stand_in / calls:.1f}")


if __name__ == "__main__":
    main()
