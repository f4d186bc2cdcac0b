#!/usr/bin/env python3
"""Writes the kit's two prepared shortcuts as Shell Link files (.lnk):

    Kalmaris.lnk           -> C:\\Program Files\\Kalmaris\\KM.EXE
    Něco jako manuál.lnk   -> C:\\Program Files\\Kalmaris\\KM.RTF

both with the working directory C:\\Program Files\\Kalmaris.

    python3 kit/make_links.py OUTPUT_DIR

The bytes follow the Shell Link Binary File Format (MS-SHLLINK): the 76-byte
header, a LinkInfo with a VolumeID (a fixed drive, serial number 0, no label)
and the target as LocalBasePath, then the working directory as StringData
(UTF-16), then the terminal block. No ID list: the shell finds the target by
its path. Every time in the header is zero and nothing of the machine that
writes the file goes in, so every build writes the same bytes.

The manual's file name is written in UTF-8 whatever the build machine's
locale, as names are in a Wine prefix, where Windows programs see it as
"Něco jako manuál.lnk" (in Windows-1250, the name the tool copies). Python
would name files in the locale's encoding (Latin-2 under cs_CZ.ISO-8859-2),
so the names are given to the system as bytes.
"""

import os
import struct
import sys
from pathlib import Path

INSTALL_DIR = "C:\\Program Files\\Kalmaris"
LINKS = {"Kalmaris.lnk": INSTALL_DIR + "\\KM.EXE", "Něco jako manuál.lnk": INSTALL_DIR + "\\KM.RTF"}

LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")  # {00021401-0000-0000-C000-000000000046}
HAS_LINK_INFO, HAS_WORKING_DIR, IS_UNICODE = 0x02, 0x10, 0x80
FILE_ATTRIBUTE_ARCHIVE = 0x20
SW_SHOWNORMAL = 1
DRIVE_FIXED = 3
VOLUME_ID_AND_LOCAL_BASE_PATH = 1


def header():
    """ShellLinkHeader: size, class, flags, attributes, three times (zero),
    target size (unknown: zero), icon index, show command, hot key, reserved."""
    return struct.pack("<I16sII8s8s8sIiIH10s", 76, LINK_CLSID, HAS_LINK_INFO | HAS_WORKING_DIR | IS_UNICODE,
                       FILE_ATTRIBUTE_ARCHIVE, bytes(8), bytes(8), bytes(8), 0, 0, SW_SHOWNORMAL, 0, bytes(10))


def link_info(target):
    """LinkInfo: the 28-byte header, the VolumeID, the local base path (in
    the system's code page: the path is ASCII) and an empty common path
    suffix."""
    volume_id = struct.pack("<IIII", 17, DRIVE_FIXED, 0, 16) + b"\0"  # the empty label at offset 16
    base_path = target.encode("ascii") + b"\0"
    suffix = b"\0"
    header_size = 28
    base_offset = header_size + len(volume_id)
    suffix_offset = base_offset + len(base_path)
    size = suffix_offset + len(suffix)
    return struct.pack("<IIIIIII", size, header_size, VOLUME_ID_AND_LOCAL_BASE_PATH, header_size, base_offset, 0,
                       suffix_offset) + volume_id + base_path + suffix


def string_data(text):
    """A StringData entry: the count of characters, then UTF-16 without a
    terminating zero."""
    return struct.pack("<H", len(text)) + text.encode("utf-16-le")


def shell_link(target, working_directory):
    return header() + link_info(target) + string_data(working_directory) + bytes(4)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    Path(argv[1]).mkdir(parents=True, exist_ok=True)
    out = os.fsencode(argv[1])  # the folder's bytes as given, whatever the locale
    for name, target in LINKS.items():
        data = shell_link(target, INSTALL_DIR)
        path = os.path.join(out, name.encode("utf-8"))
        # Written under another name first, so no half-written link stays.
        with open(path + b".tmp", "wb") as f:
            f.write(data)
        os.replace(path + b".tmp", path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
