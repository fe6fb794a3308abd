#!/usr/bin/env python3
"""Marks the weak-alias members of an x86 COFF import library SAFESEH-safe.

An x86 image linked with /SAFESEH (the default of MSVC-style linkers) may only
contain objects whose @feat.00 symbol has bit 0 set. llvm-dlltool 14 writes the
members that bind a plain name to a differently named import (weak aliases)
with @feat.00 = 0, and lld-link then refuses to link against tevro.lib. Those
members hold no code and no exception handlers, so setting the bit states the
truth about them. Members without an @feat.00 symbol (the import descriptors)
and short import records are left as they are.

Usage: coff-implib-safeseh.py LIBRARY   (changed in place; exit 1 on a
malformed archive)
"""
import struct
import sys

IMAGE_FILE_MACHINE_I386 = 0x14C
AR_MAGIC = b"!<arch>\n"
AR_HEADER_SIZE = 60
SYMBOL_SIZE = 18


def mark_object(data, start, size):
    """Sets bit 0 of @feat.00 in the COFF object at data[start:start+size].

    Returns 1 when the member is an x86 object with @feat.00 (now marked), 0
    otherwise. Raises ValueError on a symbol table that runs past the member."""
    if size < 20:
        return 0
    machine, sections = struct.unpack_from("<HH", data, start)
    if machine == 0 and sections == 0xFFFF:  # short import descriptor
        return 0
    if machine != IMAGE_FILE_MACHINE_I386:
        return 0
    symbols_at, symbol_count = struct.unpack_from("<II", data, start + 8)
    index = 0
    while index < symbol_count:
        at = start + symbols_at + index * SYMBOL_SIZE
        if at + SYMBOL_SIZE > start + size:
            raise ValueError("symbol table runs past the member")
        name = bytes(data[at:at + 8])
        if name == b"@feat.00":
            (value,) = struct.unpack_from("<I", data, at + 8)
            struct.pack_into("<I", data, at + 8, value | 1)
            return 1
        index += 1 + data[at + 17]  # the symbol and its auxiliary records
    return 0


def main(argv):
    if len(argv) != 2:
        print("usage: coff-implib-safeseh.py LIBRARY", file=sys.stderr)
        return 2
    path = argv[1]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if not data.startswith(AR_MAGIC):
        print(f"{path}: not an archive", file=sys.stderr)
        return 1
    pos = len(AR_MAGIC)
    marked = 0
    try:
        while pos + AR_HEADER_SIZE <= len(data):
            header = bytes(data[pos:pos + AR_HEADER_SIZE])
            size = int(header[48:58].decode("ascii").strip())
            body = pos + AR_HEADER_SIZE
            name = header[:16].rstrip()
            if name not in (b"/", b"//"):  # linker members and the long-name table
                marked += mark_object(data, body, size)
            pos = body + size + (size & 1)
    except ValueError as error:
        print(f"{path}: member at offset {pos}: {error}", file=sys.stderr)
        return 1
    with open(path, "wb") as f:
        f.write(data)
    print(f"{path}: {marked} x86 object members marked SAFESEH-safe")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
