#!/usr/bin/env python3
"""Sets the access rights of the sections of a program linked with
cmake/sections.ld, after the link, and updates the PE checksum to match.

    section_flags.py FILE.EXE

ld decides the rights of a section by its name: binutils 2.44 and later make
any section called .rsrc read-only, while the layout keeps the import address
table in .rsrc, which the loader writes. So the build states the rights
itself, and a linker that decides otherwise changes nothing:

    .text   read and execute
    .rsrc   read and write
    .bss    read and write

Only these three access bits are set; the others (what the section holds,
its alignment) stay as ld wrote them. A file whose rights are already right is not
written, so the bytes of such a build do not change. Any other section is an
error: the layout has no other (a program without zero-initialised variables
has no .bss)."""
import struct
import sys

EXECUTE, READ, WRITE = 0x20000000, 0x40000000, 0x80000000
ACCESS = EXECUTE | READ | WRITE
WANTED = {b".text": EXECUTE | READ, b".rsrc": READ | WRITE, b".bss": READ | WRITE}


def checksum(data, field):
    """The PE checksum: 16-bit words summed with the carries folded back, the
    checksum field taken as zero, plus the file's size."""
    size = len(data)
    data = data[:field] + bytes(4) + data[field + 4:] + bytes(size % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + size) & 0xFFFFFFFF


def main(path):
    with open(path, "rb") as f:
        original = f.read()
    data = bytearray(original)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("section_flags.py: %s is no PE file" % path)
    count = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    for i in range(count):
        header = table + 40 * i
        name = bytes(data[header:header + 8]).rstrip(b"\0")
        if name not in WANTED:
            sys.exit("section_flags.py: %s: section %r is not in the layout" % (path, name.decode("latin-1")))
        old = struct.unpack_from("<I", data, header + 36)[0]
        struct.pack_into("<I", data, header + 36, (old & ~ACCESS) | WANTED[name])
    if data == original:
        return
    field = pe + 24 + 64  # the optional header's CheckSum
    if struct.unpack_from("<I", data, field)[0] != 0:
        struct.pack_into("<I", data, field, checksum(bytes(data), field))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: section_flags.py FILE.EXE")
    main(sys.argv[1])
