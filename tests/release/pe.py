#!/usr/bin/env python3
"""A small reader for 32-bit Windows programs (PE files) and their resources.

Used by the release tests to check what REMOVE.EXE really contains, and on
its own to look at a program:

    python3 pe.py REMOVE.EXE

prints the machine, subsystem, sections, imports and resources.

Only what the checks need is read: headers, data directories, sections,
imports, the resource tree, icon groups, icon images and version blocks.
"""

import struct
import sys
from collections import namedtuple

MACHINE_I386 = 0x14C
MACHINE_NAMES = {0x14C: "i386", 0x8664: "x86-64", 0x1C0: "ARM", 0xAA64: "ARM64"}
SUBSYSTEM_NAMES = {1: "native", 2: "Windows GUI", 3: "Windows console", 7: "POSIX console",
                   9: "Windows CE GUI", 10: "EFI application"}
OPTIONAL_MAGIC_PE32 = 0x10B
OPTIONAL_MAGIC_PE32_PLUS = 0x20B

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_SECURITY, DIR_DEBUG = 0, 1, 2, 4, 6

# An entry of the certificate table (WIN_CERTIFICATE): an Authenticode
# signature is PKCS#7 signed data, revision 2.0.
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2

RT_CURSOR, RT_BITMAP, RT_ICON, RT_MENU, RT_DIALOG, RT_STRING = 1, 2, 3, 4, 5, 6
RT_ACCELERATOR, RT_RCDATA, RT_MESSAGETABLE, RT_GROUP_CURSOR = 9, 10, 11, 12
RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 14, 16, 24
RESOURCE_TYPE_NAMES = {
    RT_CURSOR: "RT_CURSOR", RT_BITMAP: "RT_BITMAP", RT_ICON: "RT_ICON", RT_MENU: "RT_MENU",
    RT_DIALOG: "RT_DIALOG", RT_STRING: "RT_STRING", RT_ACCELERATOR: "RT_ACCELERATOR",
    RT_RCDATA: "RT_RCDATA", RT_MESSAGETABLE: "RT_MESSAGETABLE",
    RT_GROUP_CURSOR: "RT_GROUP_CURSOR", RT_GROUP_ICON: "RT_GROUP_ICON",
    RT_VERSION: "RT_VERSION", RT_MANIFEST: "RT_MANIFEST",
}

VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class PEError(Exception):
    """The file is not a PE file, or one of its structures points outside it."""


Section = namedtuple("Section", "name virtual_size virtual_address raw_size raw_offset characteristics")
DataDirectory = namedtuple("DataDirectory", "rva size")
Import = namedtuple("Import", "dll names timestamp")  # names: str, or int for an ordinal
Resource = namedtuple("Resource", "type name language data codepage")  # type/name: int or str
IconEntry = namedtuple("IconEntry", "width height colours planes bit_count size id")
Dib = namedtuple("Dib", "header_size width height planes bit_count compression image_size colours_used")
FixedFileInfo = namedtuple("FixedFileInfo", [
    "signature", "struct_version", "file_version_ms", "file_version_ls",
    "product_version_ms", "product_version_ls", "file_flags_mask", "file_flags",
    "file_os", "file_type", "file_subtype", "file_date_ms", "file_date_ls"])
VersionNode = namedtuple("VersionNode", "key type value children")  # value: bytes or str
Certificate = namedtuple("Certificate", "offset revision type data")


def _c_string(data, offset):
    end = data.find(b"\0", offset)
    if end < 0:
        raise PEError("unterminated string at 0x%x" % offset)
    return data[offset:end].decode("latin-1")


class PEFile:
    """A parsed PE file. All fields are read eagerly from the bytes given."""

    def __init__(self, data):
        self.data = bytes(data)
        self._parse_headers()
        self.imports = self._parse_imports()
        self.resource_timestamps = []
        self.resources = self._parse_resources()

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    # -- headers ---------------------------------------------------------

    def _unpack(self, fmt, offset):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise PEError("structure at 0x%x runs past the end of the file" % offset)
        return struct.unpack_from(fmt, self.data, offset)

    def _parse_headers(self):
        if self.data[:2] != b"MZ":
            raise PEError("no MZ header")
        (pe_offset,) = self._unpack("<I", 0x3C)
        if self.data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PEError("no PE signature")
        coff = pe_offset + 4
        (self.machine, section_count, self.timestamp, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = self._unpack("<HHIIIHH", coff)
        opt = coff + 20
        self.checksum_offset = opt + 64
        (self.magic,) = self._unpack("<H", opt)
        if self.magic == OPTIONAL_MAGIC_PE32:
            fields = self._unpack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", opt)
            (_, self.linker_major, self.linker_minor, self.code_size, _, _,
             self.entry_point, _, _, self.image_base, self.section_alignment,
             self.file_alignment, self.os_major, self.os_minor, _, _,
             self.subsystem_major, self.subsystem_minor, _, self.image_size,
             self.headers_size, self.checksum, self.subsystem, self.dll_characteristics,
             _, _, _, _, _, directory_count) = fields
            directories = opt + 96
        elif self.magic == OPTIONAL_MAGIC_PE32_PLUS:
            fields = self._unpack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", opt)
            (_, self.linker_major, self.linker_minor, self.code_size, _, _,
             self.entry_point, _, self.image_base, self.section_alignment,
             self.file_alignment, self.os_major, self.os_minor, _, _,
             self.subsystem_major, self.subsystem_minor, _, self.image_size,
             self.headers_size, self.checksum, self.subsystem, self.dll_characteristics,
             _, _, _, _, _, directory_count) = fields
            directories = opt + 112
        else:
            raise PEError("unknown optional header magic 0x%x" % self.magic)
        directory_count = min(directory_count, 16)
        self.directories = [DataDirectory(*self._unpack("<II", directories + 8 * i))
                            for i in range(directory_count)]
        while len(self.directories) < 16:
            self.directories.append(DataDirectory(0, 0))

        self.sections = []
        table = opt + optional_size
        for i in range(section_count):
            raw = self._unpack("<8sIIIIIIHHI", table + 40 * i)
            name = raw[0].rstrip(b"\0").decode("latin-1")
            self.sections.append(Section(name, raw[1], raw[2], raw[3], raw[4], raw[9]))

    @property
    def is_pe32_plus(self):
        return self.magic == OPTIONAL_MAGIC_PE32_PLUS

    def directory(self, index):
        return self.directories[index]

    def rva_to_offset(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                delta = rva - s.virtual_address
                if delta >= s.raw_size:
                    raise PEError("RVA 0x%x lies in the uninitialised part of %s" % (rva, s.name))
                return s.raw_offset + delta
        if rva < self.headers_size:
            return rva
        raise PEError("RVA 0x%x is in no section" % rva)

    def read_rva(self, rva, size):
        offset = self.rva_to_offset(rva)
        if offset + size > len(self.data):
            raise PEError("data at RVA 0x%x runs past the end of the file" % rva)
        return self.data[offset:offset + size]

    def end_of_sections(self):
        """The file offset where the raw data of the last section ends (the
        end of the headers when no section has raw data)."""
        return max([s.raw_offset + s.raw_size for s in self.sections if s.raw_size] + [self.headers_size])

    def computed_checksum(self):
        """The PE checksum of the file: its 16-bit words summed with carries
        folded back, the checksum field taken as zero, plus the file size."""
        data = self.data[:self.checksum_offset] + bytes(4) + self.data[self.checksum_offset + 4:]
        if len(data) % 2:
            data += b"\0"
        total = sum(struct.unpack("<%dH" % (len(data) // 2), data))
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(self.data)

    # -- signature -------------------------------------------------------

    def certificates(self):
        """The entries of the certificate table (where an Authenticode
        signature is kept), [] for an unsigned file. The table is not part of
        the image the loader maps: its directory entry holds a file offset,
        not an RVA, and it must lie past the raw data of the last section,
        8-byte aligned, and run to the end of the file."""
        offset, size = self.directory(DIR_SECURITY)
        if not offset and not size:
            return []
        if offset < self.end_of_sections():
            raise PEError("certificate table at 0x%x lies inside the sections' raw data (which ends at 0x%x)"
                          % (offset, self.end_of_sections()))
        if offset % 8:
            raise PEError("certificate table at 0x%x is not 8-byte aligned" % offset)
        if offset + size != len(self.data):
            raise PEError("certificate table ends at 0x%x, the file at 0x%x" % (offset + size, len(self.data)))
        entries = []
        at = offset
        while at < offset + size:
            length, revision, kind = self._unpack("<IHH", at)
            if length <= 8 or at + length > offset + size:
                raise PEError("certificate entry at 0x%x has a bad length %d" % (at, length))
            entries.append(Certificate(at, revision, kind, self.data[at + 8:at + length]))
            at += (length + 7) & ~7
        return entries

    # -- imports ---------------------------------------------------------

    def _parse_imports(self):
        rva, size = self.directory(DIR_IMPORT)
        if not rva:
            return []
        imports = []
        thunk_format, ordinal_flag = ("<Q", 1 << 63) if self.is_pe32_plus else ("<I", 1 << 31)
        thunk_size = struct.calcsize(thunk_format)
        descriptor = self.rva_to_offset(rva)
        while True:
            lookup, timestamp, _, name_rva, first_thunk = self._unpack("<IIIII", descriptor)
            if not (lookup or name_rva or first_thunk):
                break
            dll = _c_string(self.data, self.rva_to_offset(name_rva))
            names = []
            thunk = self.rva_to_offset(lookup or first_thunk)
            while True:
                (entry,) = self._unpack(thunk_format, thunk)
                if not entry:
                    break
                if entry & ordinal_flag:
                    names.append(entry & 0xFFFF)
                else:
                    names.append(_c_string(self.data, self.rva_to_offset(entry & 0x7FFFFFFF) + 2))
                thunk += thunk_size
            imports.append(Import(dll, names, timestamp))
            descriptor += 20
        return imports

    def imported_dlls(self):
        return [i.dll for i in self.imports]

    # -- resources -------------------------------------------------------

    def _parse_resources(self):
        rva, size = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        base = self.rva_to_offset(rva)
        resources = []

        def entries(table):
            _, timestamp, _, _, named, numbered = self._unpack("<IIHHHH", base + table)
            self.resource_timestamps.append(timestamp)
            for i in range(named + numbered):
                ident, target = self._unpack("<II", base + table + 16 + 8 * i)
                if ident & 0x80000000:
                    name_at = base + (ident & 0x7FFFFFFF)
                    (length,) = self._unpack("<H", name_at)
                    ident = self.data[name_at + 2:name_at + 2 + 2 * length].decode("utf-16-le")
                yield ident, target

        for type_id, names in entries(0):
            if not names & 0x80000000:
                raise PEError("resource type directory entry points at data")
            for name, languages in entries(names & 0x7FFFFFFF):
                if not languages & 0x80000000:
                    raise PEError("resource name directory entry points at data")
                for language, leaf in entries(languages & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PEError("resource tree deeper than three levels")
                    data_rva, data_size, codepage, _ = self._unpack("<IIII", base + leaf)
                    resources.append(Resource(type_id, name, language,
                                              self.read_rva(data_rva, data_size), codepage))
        return resources

    def find_resources(self, type_id, name=None):
        return [r for r in self.resources
                if r.type == type_id and (name is None or r.name == name)]

    def icon_group(self, name):
        """Returns the entries of the named RT_GROUP_ICON resource."""
        found = self.find_resources(RT_GROUP_ICON, name)
        if len(found) != 1:
            raise PEError("expected one icon group %r, found %d" % (name, len(found)))
        return parse_icon_group(found[0].data)

    def icon_image(self, icon_id):
        found = self.find_resources(RT_ICON, icon_id)
        if len(found) != 1:
            raise PEError("expected one RT_ICON %r, found %d" % (icon_id, len(found)))
        return found[0].data

    def version_info(self):
        found = self.find_resources(RT_VERSION)
        if len(found) != 1:
            raise PEError("expected one version resource, found %d" % len(found))
        return parse_version_info(found[0].data)


def parse_icon_group(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise PEError("not an icon group")
    if len(data) != 6 + 14 * count:
        raise PEError("icon group of %d entries has %d bytes" % (count, len(data)))
    entries = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        entries.append(IconEntry(w or 256, h or 256, colours, planes, bits, size, icon_id))
    return entries


def parse_dib(data):
    """Reads the BITMAPINFOHEADER at the start of an icon image."""
    if len(data) < 40:
        raise PEError("icon image too short for a BITMAPINFOHEADER")
    fields = struct.unpack_from("<IiiHHIIiiII", data, 0)
    return Dib(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6], fields[9])


def dib_expected_size(dib):
    """The byte count of an uncompressed icon DIB: header, palette, colour bits and mask."""
    width, height = dib.width, dib.height // 2
    palette = (dib.colours_used or (1 << dib.bit_count)) * 4 if dib.bit_count <= 8 else 0
    colour_row = (width * dib.bit_count + 31) // 32 * 4
    mask_row = (width + 31) // 32 * 4
    return dib.header_size + palette + height * (colour_row + mask_row)


def _align4(n):
    return (n + 3) & ~3


def _parse_version_node(data, offset, end, depth):
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    if length < 6 or offset + length > end:
        raise PEError("version node at 0x%x has a bad length %d" % (offset, length))
    node_end = offset + length
    key_start = offset + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= node_end:
            raise PEError("unterminated version key at 0x%x" % key_start)
    key = data[key_start:key_end].decode("utf-16-le")
    value_start = _align4(key_end + 2)
    if kind == 1:
        # Text: the length counts UTF-16 units including the terminating zero.
        raw = data[value_start:value_start + 2 * value_length]
        value = raw.decode("utf-16-le")
        if value.endswith("\0"):
            value = value[:-1]
        value_end = value_start + 2 * value_length
    else:
        value = data[value_start:value_start + value_length]
        value_end = value_start + value_length
    if value_end > node_end:
        raise PEError("version value of %r runs past its node" % key)
    children = []
    # A String node holds text only; every other node may hold children.
    if depth < 3:
        child = _align4(value_end)
        while child < node_end:
            node, child_end = _parse_version_node(data, child, node_end, depth + 1)
            children.append(node)
            child = _align4(child_end)
    return VersionNode(key, kind, value, children), node_end


def parse_version_info(data):
    """Parses a VS_VERSIONINFO resource into a tree of VersionNode."""
    root, _ = _parse_version_node(data, 0, len(data), 0)
    if root.key != "VS_VERSION_INFO":
        raise PEError("version resource key is %r" % root.key)
    return root


def fixed_file_info(root):
    if len(root.value) != 52:
        raise PEError("VS_FIXEDFILEINFO has %d bytes, not 52" % len(root.value))
    info = FixedFileInfo(*struct.unpack("<13I", root.value))
    if info.signature != VS_FIXEDFILEINFO_SIGNATURE:
        raise PEError("VS_FIXEDFILEINFO signature is 0x%08x" % info.signature)
    return info


def string_tables(root):
    """Maps each StringFileInfo table key (such as "040904E4") to its strings."""
    tables = {}
    for block in root.children:
        if block.key == "StringFileInfo":
            for table in block.children:
                tables[table.key] = {s.key: s.value for s in table.children}
    return tables


def resource_label(value, names=None):
    if isinstance(value, str):
        return '"%s"' % value
    if names and value in names:
        return "%s (%d)" % (names[value], value)
    return str(value)


def summary(pe):
    """The text printed by the command: one look at the whole program."""
    out = []
    out.append("format     %s" % ("PE32+" if pe.is_pe32_plus else "PE32"))
    out.append("machine    0x%04x %s" % (pe.machine, MACHINE_NAMES.get(pe.machine, "?")))
    out.append("subsystem  %d %s, version %d.%d" % (pe.subsystem, SUBSYSTEM_NAMES.get(pe.subsystem, "?"),
                                                   pe.subsystem_major, pe.subsystem_minor))
    out.append("timestamp  0x%08x" % pe.timestamp)
    out.append("entry      0x%08x  image base 0x%08x  image size 0x%x"
               % (pe.entry_point, pe.image_base, pe.image_size))
    out.append("debug dir  %s" % ("none" if not pe.directory(DIR_DEBUG).size
                                  else "%d bytes" % pe.directory(DIR_DEBUG).size))
    out.append("file size  %d" % len(pe.data))
    out.append("checksum   0x%08x (computed 0x%08x)" % (pe.checksum, pe.computed_checksum()))
    entries = pe.certificates()
    out.append("signature  %s" % ("none" if not entries else ", ".join(
        "%d bytes at 0x%x (revision 0x%04x, type %d)" % (len(e.data), e.offset, e.revision, e.type)
        for e in entries)))
    out.append("sections")
    for s in pe.sections:
        out.append("  %-8s virtual 0x%06x size %6d  raw %6d  flags 0x%08x"
                   % (s.name, s.virtual_address, s.virtual_size, s.raw_size, s.characteristics))
    out.append("imports")
    for imp in pe.imports:
        out.append("  %s" % imp.dll)
        for name in imp.names:
            out.append("    %s" % (name if isinstance(name, str) else "#%d" % name))
    out.append("resources")
    for r in pe.resources:
        out.append("  %-18s %-10s language 0x%04x  %5d bytes"
                   % (resource_label(r.type, RESOURCE_TYPE_NAMES), resource_label(r.name),
                      r.language, len(r.data)))
        if r.type == RT_GROUP_ICON:
            for e in parse_icon_group(r.data):
                out.append("    icon %d: %dx%d, %d colours, %d bpp, %d bytes"
                           % (e.id, e.width, e.height, e.colours, e.bit_count, e.size))
        elif r.type == RT_ICON:
            dib = parse_dib(r.data)
            out.append("    DIB %dx%d, %d bpp" % (dib.width, dib.height // 2, dib.bit_count))
        elif r.type == RT_VERSION:
            root = parse_version_info(r.data)
            info = fixed_file_info(root)
            out.append("    fixed: " + ", ".join("%s=0x%x" % (k, v) for k, v in info._asdict().items()))
            for block in root.children:
                out.append("    block %s" % block.key)
                for table in block.children:
                    out.append("      table %s" % table.key)
                    for s in table.children:
                        out.append("        %-18s %r" % (s.key, s.value))
    return "\n".join(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: pe.py FILE.EXE\n")
        return 2
    try:
        pe = PEFile.load(argv[1])
        print(summary(pe))
    except (OSError, PEError) as e:
        sys.stderr.write("pe.py: %s: %s\n" % (argv[1], e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
