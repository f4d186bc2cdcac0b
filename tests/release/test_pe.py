#!/usr/bin/env python3
"""Checks the shipped REMOVE.EXE as a file: headers, imports and resources;
and, given the cross build's folder (WINDOWS_BUILD_DIR), the installation kit
in its kit/ folder, KALCHECK.EXE, the check on a real Windows, and the
medium KALMARIS.ISO (read from the image with xorriso).

The program to check is named by the environment variable REMOVE_EXE, or
on the command line; a signed release is checked with REMOVE_EXE_SIGNED=1
or --signed (it must then carry its signature, else it must carry none):

    python3 tests/release/test_pe.py --signed build/windows/signed/REMOVE.EXE
"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

ALLOWED_DLLS = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL"}

VERSION_TABLE = "040904E4"
VERSION_STRINGS = {
    "CompanyName": "Kalmaris",
    "FileDescription": "Instala\u010dn\u00ed n\u00e1stroj programu Kalmaris",
    "FileVersion": "0.9",
    "InternalName": "Kalmaris Install Tool",
    "LegalCopyright": "\u00a9 2001",
    "OriginalFilename": "REMOVE.EXE",
    "ProductName": "Kalmaris Install Tool",
    "ProductVersion": "1.0",
}

ICON_SIZES = [(32, 32), (16, 16)]

INSTALL_DIR = "C:\\Program Files\\Kalmaris"
KIT_LINKS = {"Kalmaris.lnk": INSTALL_DIR + "\\KM.EXE", "N\u011bco jako manu\u00e1l.lnk": INSTALL_DIR + "\\KM.RTF"}
KIT_FILES = ["REMOVE.EXE", "KM.EXE", "KM.RTF"] + list(KIT_LINKS)


def signed_expected():
    return os.environ.get("REMOVE_EXE_SIGNED") == "1"


def windows_build():
    """The cross build's folder, whose other files are checked beside the
    unsigned release only."""
    build = os.environ.get("WINDOWS_BUILD_DIR")
    if not build or signed_expected():
        raise unittest.SkipTest("WINDOWS_BUILD_DIR is not set")
    return build


def program_path():
    path = os.environ.get("REMOVE_EXE")
    if not path:
        raise unittest.SkipTest("REMOVE_EXE is not set")
    return path


def load_built(path):
    """A program of the cross build; missing, it fails the checks (never skips them)."""
    if not os.path.isfile(path):
        raise AssertionError("%s does not exist: build the cross build first" % path)
    return pe.PEFile.load(path)


class RemoveExeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.path = program_path()
        cls.pe = load_built(cls.path)

    # -- headers ---------------------------------------------------------

    def test_is_pe32_for_i386(self):
        self.assertFalse(self.pe.is_pe32_plus)
        self.assertEqual(self.pe.magic, pe.OPTIONAL_MAGIC_PE32)
        self.assertEqual(self.pe.machine, pe.MACHINE_I386)
        self.assertEqual(self.pe.image_base, 0x400000)
        self.assertEqual((self.pe.file_alignment, self.pe.section_alignment), (512, 4096))

    def test_is_a_windows_4_gui_program(self):
        self.assertEqual(self.pe.subsystem, 2)
        self.assertEqual((self.pe.subsystem_major, self.pe.subsystem_minor), (4, 0))
        self.assertEqual((self.pe.os_major, self.pe.os_minor), (4, 0))

    def test_has_no_timestamp(self):
        self.assertEqual(self.pe.timestamp, 0)
        for imp in self.pe.imports:
            self.assertEqual(imp.timestamp, 0, imp.dll)
        self.assertEqual(set(self.pe.resource_timestamps), {0})

    def test_checksum_is_zero_or_right(self):
        self.assertIn(self.pe.checksum, (0, self.pe.computed_checksum()))

    def test_signature_lies_outside_the_image(self):
        # The certificate table is no part of the image: past the raw data of
        # every section and to the end of the file (certificates() checks
        # it), so a loader that knows nothing of signatures maps the same
        # bytes as from the unsigned file.
        entries = self.pe.certificates()
        if not signed_expected():
            self.assertEqual(len(entries), 0, "the unsigned release carries a signature")
            # The signing tool pads the file to 8 bytes before it appends the
            # table; removing the signature would leave that padding, and the
            # stripped file would no longer be the unsigned release.
            self.assertEqual(len(self.pe.data) % 8, 0)
            return
        self.assertEqual([(e.revision, e.type) for e in entries],
                         [(pe.WIN_CERT_REVISION_2_0, pe.WIN_CERT_TYPE_PKCS_SIGNED_DATA)])
        for s in self.pe.sections:
            self.assertLessEqual(s.raw_offset + s.raw_size, entries[0].offset, s.name)

    def test_has_no_debug_data(self):
        self.assertEqual(self.pe.directory(pe.DIR_DEBUG), (0, 0))
        self.assertEqual(self.pe.symbol_table, 0)
        self.assertEqual(self.pe.symbol_count, 0)

    def test_holds_no_build_path(self):
        assert_no_build_path(self, self.path, self.pe.data)

    # -- imports ---------------------------------------------------------

    def test_imports_only_the_system_dlls(self):
        for imp in self.pe.imports:
            names = ", ".join(n if isinstance(n, str) else "#%d" % n for n in imp.names)
            print("%s: %s" % (imp.dll, names))
        dlls = [d.upper() for d in self.pe.imported_dlls()]
        self.assertEqual(len(dlls), len(set(dlls)), "a DLL is imported twice")
        self.assertEqual(set(dlls), ALLOWED_DLLS)
        # Its own list of names, each one Windows 95 exports (32 today).
        names = imported_names(self.pe)
        self.assertEqual({dll: sorted(n) for dll, n in names.items()},
                         {dll: sorted(n) for dll, n in REMOVE_IMPORTS.items()})
        self.assertEqual(sum(len(n) for n in names.values()), sum(len(n) for n in REMOVE_IMPORTS.values()),
                         "a name is imported twice")
        assert_windows_95_imports(self, self.pe)
        # The loader writes the import address table: its section must be writable.
        iat, _ = self.pe.directory(12)  # the import address table
        section = next(s for s in self.pe.sections if s.virtual_address <= iat < s.virtual_address + s.virtual_size)
        self.assertTrue(section.characteristics & 0x80000000, section.name)

    def test_three_sections_with_their_rights(self):
        # Whatever the linker decides by a section's name: the code runs and is
        # never written, the data is written and never run.
        rights = {s.name: s.characteristics & 0xE0000000 for s in self.pe.sections}
        self.assertEqual(rights, {".text": 0x60000000, ".rsrc": 0xC0000000, ".bss": 0xC0000000})
        # Within 10,240 bytes, a signature apart.
        self.assertLessEqual(max(s.raw_offset + s.raw_size for s in self.pe.sections), 10240)

    # -- resources -------------------------------------------------------

    def test_holds_only_the_icon_and_the_version(self):
        self.assertEqual(self.pe.find_resources(pe.RT_MANIFEST), [])
        types = sorted({r.type for r in self.pe.resources}, key=str)
        self.assertEqual(types, sorted([pe.RT_ICON, pe.RT_GROUP_ICON, pe.RT_VERSION], key=str))
        self.assertEqual([r.name for r in self.pe.find_resources(pe.RT_GROUP_ICON)], ["APPICON"])
        self.assertEqual(len(self.pe.find_resources(pe.RT_VERSION)), 1)
        used = sorted(e.id for e in self.pe.icon_group("APPICON"))
        self.assertEqual(sorted(r.name for r in self.pe.find_resources(pe.RT_ICON)), used)

    def test_icon_group_holds_two_16_colour_icons(self):
        entries = self.pe.icon_group("APPICON")
        self.assertEqual([(e.width, e.height) for e in entries], ICON_SIZES)
        for e in entries:
            self.assertEqual(e.colours, 16, e)
            self.assertEqual(e.bit_count, 4, e)
            self.assertEqual(e.planes, 1, e)

    def test_icon_images_are_4_bit_dibs_of_their_size(self):
        for e in self.pe.icon_group("APPICON"):
            data = self.pe.icon_image(e.id)
            self.assertEqual(len(data), e.size)
            dib = pe.parse_dib(data)
            self.assertEqual(dib.header_size, 40)
            self.assertEqual((dib.width, dib.height), (e.width, 2 * e.height))
            self.assertEqual(dib.planes, 1)
            self.assertEqual(dib.bit_count, 4)
            self.assertEqual(dib.compression, 0)
            self.assertIn(dib.colours_used, (0, 16))
            self.assertEqual(len(data), pe.dib_expected_size(dib))

    def test_version_strings(self):
        root = self.pe.version_info()
        self.assertEqual([b.key for b in root.children], ["StringFileInfo"])
        tables = pe.string_tables(root)
        self.assertEqual(list(tables), [VERSION_TABLE])
        self.assertEqual(tables[VERSION_TABLE], VERSION_STRINGS)

    def test_version_has_no_translation_table(self):
        root = self.pe.version_info()
        self.assertNotIn("VarFileInfo", [b.key for b in root.children])
        raw = self.pe.find_resources(pe.RT_VERSION)[0].data
        self.assertFalse("VarFileInfo".encode("utf-16-le") in raw, "VarFileInfo key in the raw resource")

    def test_fixed_version_fields_are_zero(self):
        info = pe.fixed_file_info(self.pe.version_info())
        self.assertEqual(info.signature, pe.VS_FIXEDFILEINFO_SIGNATURE)
        fields = info._asdict()
        del fields["signature"], fields["struct_version"]
        self.assertEqual(fields, {k: 0 for k in fields})


def assert_no_build_path(test, path, data):
    """Neither the source folder nor the build folder is inside data (the
    bytes of the file at path), in any of their usual forms."""
    source_dir = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build_dir = os.path.dirname(os.path.abspath(path))
    paths = {source_dir, build_dir, os.path.realpath(source_dir), os.path.realpath(build_dir)}
    if os.environ.get("WINDOWS_BUILD_DIR"):
        paths.add(os.path.abspath(os.environ["WINDOWS_BUILD_DIR"]))
    for folder in sorted(paths):
        for form in (folder, folder.replace("/", "\\")):
            for encoding in ("utf-8", "utf-16-le"):
                found = form.encode(encoding) in data
                test.assertFalse(found, "%s found in %s (%s)" % (form, path, encoding))


class KitTest(unittest.TestCase):
    """The installation directory as shipped (the kit target's kit/)."""

    @classmethod
    def setUpClass(cls):
        build = windows_build()
        cls.build, cls.kit = build, os.path.join(build, "kit")
        missing = [n for n in KIT_FILES if not os.path.isfile(os.path.join(cls.kit, n))]
        if missing:
            raise AssertionError("%s lacks %s: build the kit target first" % (cls.kit, ", ".join(missing)))

    def read(self, name):
        with open(os.path.join(self.kit, name), "rb") as f:
            return f.read()

    def test_holds_the_release_file(self):
        with open(os.path.join(self.build, "REMOVE.EXE"), "rb") as f:
            self.assertTrue(self.read("REMOVE.EXE") == f.read(), "kit/REMOVE.EXE is not the release file")

    def test_links_point_at_the_installed_files(self):
        # Read by an independent reader of the format (Debian's lnkinfo).
        for name, target in KIT_LINKS.items():
            done = subprocess.run(["lnkinfo", os.path.join(self.kit, name)], capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            # lnkinfo 20240423 (Debian 13) prints each backslash of a path doubled.
            fields = dict((k.strip(), v.strip().replace("\\\\", "\\")) for k, _, v in
                          (line.partition(":") for line in done.stdout.splitlines() if ":" in line))
            self.assertEqual(fields.get("Local path"), target, done.stdout)
            self.assertEqual(fields.get("Working directory"), INSTALL_DIR, done.stdout)

    def test_product_stand_in_is_a_windows_gui_program(self):
        km = pe.PEFile.load(os.path.join(self.kit, "KM.EXE"))
        self.assertFalse(km.is_pe32_plus)
        self.assertEqual((km.machine, km.subsystem), (pe.MACHINE_I386, 2))
        self.assertEqual(km.timestamp, 0)
        self.assertEqual({d.upper() for d in km.imported_dlls()}, {"KERNEL32.DLL", "USER32.DLL"})

    def test_manual_is_rtf(self):
        self.assertTrue(self.read("KM.RTF").startswith(b"{\\rtf1\\ansi\\ansicpg1250"))

    def test_holds_no_build_path(self):
        for name in KIT_FILES:
            assert_no_build_path(self, os.path.join(self.kit, name), self.read(name))

    def test_links_written_alike_under_any_locale(self):
        # The shortcuts' names must not depend on the build machine's locale:
        # Latin-2, and plain ASCII with Python's own UTF-8 fallbacks turned off.
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "kit", "make_links.py")
        for locale_name in ("cs_CZ.ISO-8859-2", "C"):
            with self.subTest(locale=locale_name), tempfile.TemporaryDirectory() as out:
                env = dict(os.environ, LC_ALL=locale_name, PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
                done = subprocess.run([sys.executable, script, out], env=env, capture_output=True, text=True)
                self.assertEqual(done.returncode, 0, done.stderr)
                made = sorted(os.listdir(os.fsencode(out)))
                self.assertEqual(made, sorted(n.encode("utf-8") for n in KIT_LINKS))
                for name in KIT_LINKS:
                    with open(os.path.join(os.fsencode(out), name.encode("utf-8")), "rb") as f:
                        self.assertTrue(f.read() == self.read(name), name)


# Names Windows 95 as first shipped (4.00.950) exports, of those the two
# programs import: a program that imports only these loads on every Windows
# the tool runs on. Wine cannot tell (it does not hide functions by the
# version it reports): a name added here must be one Windows 95 has; anything
# newer is looked up when the program runs.
WINDOWS_95_EXPORTS = {
    "KERNEL32.DLL": {
        "CloseHandle", "CompareFileTime", "CopyFileA", "CreateDirectoryA", "CreateFileA", "CreateProcessA",
        "DeleteFileA", "ExitProcess", "FindClose", "FindFirstFileA", "FreeEnvironmentStringsA", "GetACP",
        "GetCommandLineA", "GetCurrentProcess", "GetCurrentProcessId", "GetEnvironmentStringsA",
        "GetEnvironmentVariableA", "GetExitCodeProcess", "GetFileAttributesA", "GetFileSize", "GetFileType",
        "GetLastError", "GetModuleFileNameA", "GetModuleHandleA", "GetProcAddress", "GetProcessHeap", "GetStdHandle",
        "GetTickCount", "GetVersionExA", "HeapAlloc", "HeapFree", "LoadLibraryA", "MultiByteToWideChar", "OpenProcess",
        "ReadFile",
        "RemoveDirectoryA", "SetFileAttributesA", "SetFilePointer", "SetUnhandledExceptionFilter", "Sleep",
        "WaitForSingleObject", "WideCharToMultiByte", "WriteFile", "lstrcatA", "lstrcmpiA", "lstrcpyA", "lstrcpynA",
        "lstrlenA",
    },
    "USER32.DLL": {
        "CharToOemBuffA", "ClientToScreen", "DrawIconEx", "EnumChildWindows", "EnumWindows", "FillRect",
        "GetClassNameA", "GetClientRect", "GetDC", "GetDlgCtrlID", "GetDlgItem", "GetWindowLongA",
        "GetWindowThreadProcessId", "IsWindow", "IsWindowVisible", "LoadIconA", "MessageBoxA", "PostMessageA",
        "ReleaseDC", "SendMessageTimeoutA", "wsprintfA", "wvsprintfA",
    },
    "GDI32.DLL": {
        "BitBlt", "CreateCompatibleBitmap", "CreateCompatibleDC", "CreateSolidBrush", "DeleteDC", "DeleteObject",
        "GetPixel", "SelectObject",
    },
    "ADVAPI32.DLL": {
        "RegCloseKey", "RegCreateKeyExA", "RegDeleteKeyA", "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA",
    },
    "SHELL32.DLL": {"SHGetMalloc", "SHGetPathFromIDListA", "SHGetSpecialFolderLocation"},
    "OLE32.DLL": {"CoCreateInstance", "CoInitialize"},
}

# Exactly what REMOVE.EXE imports: a new name is a change of the tool.
REMOVE_IMPORTS = {
    "ADVAPI32.DLL": {
        "RegCloseKey", "RegCreateKeyExA", "RegDeleteKeyA", "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA",
    },
    "KERNEL32.DLL": {
        "CloseHandle", "CopyFileA", "CreateDirectoryA", "CreateFileA", "CreateProcessA", "DeleteFileA", "ExitProcess",
        "FindClose", "FindFirstFileA", "FreeEnvironmentStringsA", "GetCommandLineA", "GetEnvironmentStringsA",
        "GetLastError", "GetModuleFileNameA", "GetModuleHandleA", "GetProcAddress", "GetProcessHeap", "HeapAlloc",
        "HeapFree", "ReadFile", "RemoveDirectoryA", "SetFilePointer", "SetUnhandledExceptionFilter", "Sleep",
        "WriteFile",
    },
    "USER32.DLL": {"MessageBoxA"},
}


def imported_names(program):
    """{DLL in capitals: [names]} of a loaded program; an import by ordinal as #n."""
    names = {}
    for imp in program.imports:
        names.setdefault(imp.dll.upper(), []).extend(n if isinstance(n, str) else "#%d" % n for n in imp.names)
    return names


def assert_windows_95_imports(test, program):
    for dll, names in imported_names(program).items():
        test.assertIn(dll, WINDOWS_95_EXPORTS)
        test.assertEqual(sorted(set(names) - WINDOWS_95_EXPORTS[dll]), [], "not in Windows 95's %s" % dll)


class CheckerTest(unittest.TestCase):
    """KALCHECK.EXE, beside the kit in the cross build's folder."""

    @classmethod
    def setUpClass(cls):
        cls.path = os.path.join(windows_build(), "KALCHECK.EXE")
        cls.pe = load_built(cls.path)

    def test_is_a_windows_4_console_program_for_i386(self):
        self.assertFalse(self.pe.is_pe32_plus)
        self.assertEqual(self.pe.machine, pe.MACHINE_I386)
        self.assertEqual(self.pe.subsystem, 3)
        self.assertEqual((self.pe.subsystem_major, self.pe.subsystem_minor), (4, 0))
        self.assertEqual((self.pe.os_major, self.pe.os_minor), (4, 0))
        self.assertEqual(self.pe.timestamp, 0)
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.path), "kit", "KALCHECK.EXE")))

    def test_imports_only_what_windows_95_exports(self):
        assert_windows_95_imports(self, self.pe)

    def test_holds_no_build_path(self):
        assert_no_build_path(self, self.path, self.pe.data)


# The vendor's medium (build/windows/KALMARIS.ISO): its volume label, and each
# file as Windows names it (Joliet) with where its bytes come from in the
# cross build; REMOVE.EXE is the signed release where the build signs.
MEDIUM_LABEL = "KALMARIS"
MEDIUM_FILES = [("KALCHECK.EXE", "KALCHECK.EXE")] + [
    ("KALMARIS/" + name, "kit/" + name) for name in KIT_FILES if name != "REMOVE.EXE"]


def read_medium(iso, folder):
    """The files of the CD image iso as Windows reads them: its Joliet tree
    extracted by xorriso into folder, {path with / : bytes}."""
    done = subprocess.run(["xorriso", "-no_rc", "-osirrox", "on", "-read_fs", "norock", "-local_charset", "UTF-8",
                           "-indev", iso, "-extract", "/", folder], capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("xorriso cannot read %s: %s" % (iso, done.stderr[-2000:]))
    files = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, folder).replace(os.sep, "/")] = f.read()
    return files


def volume_labels(data):
    """(the primary volume label, the Joliet one or None, the Joliet escape
    sequence) from the volume descriptors of an ISO 9660 image."""
    primary, joliet, escape = None, None, None
    for sector in range(16, 32):
        descriptor = data[sector * 2048:(sector + 1) * 2048]
        if descriptor[1:6] != b"CD001" or descriptor[0] == 255:
            break
        if descriptor[0] == 1:
            primary = descriptor[40:72].decode("ascii").rstrip()
        elif descriptor[0] == 2 and descriptor[88:90] == b"%/":
            joliet, escape = descriptor[40:72].decode("utf-16-be").rstrip(), descriptor[88:91].decode("ascii")
    return primary, joliet, escape


def check_medium(test, build):
    """Everything on build/KALMARIS.ISO, read from the image: the label,
    every file's Joliet name and bytes, REMOVE.EXE the release as shipped
    (signed/REMOVE.EXE where the build signed), README.TXT plain ASCII with
    CRLF line ends. Returns the files."""
    iso = os.path.join(build, "KALMARIS.ISO")
    if not os.path.isfile(iso):
        raise AssertionError("%s does not exist: build the medium target first" % iso)
    with open(iso, "rb") as f:
        data = f.read()
    # Windows 95 reads Joliet of every level; level 3 (%/E) is what Windows writes.
    test.assertEqual(volume_labels(data), (MEDIUM_LABEL, MEDIUM_LABEL, "%/E"))
    assert_no_build_path(test, iso, data)
    with tempfile.TemporaryDirectory() as folder:
        files = read_medium(iso, folder)
    signed = os.path.join(build, "signed", "REMOVE.EXE")
    rows = MEDIUM_FILES + [("KALMARIS/REMOVE.EXE", signed if os.path.isfile(signed) else "REMOVE.EXE")]
    test.assertEqual(sorted(files), sorted([name for name, _ in rows] + ["README.TXT"]))
    for name, source in rows:
        with test.subTest(name), open(os.path.join(build, source), "rb") as f:
            test.assertTrue(files[name] == f.read(), "%s on the medium is not %s" % (name, source))
    readme = files["README.TXT"]
    test.assertTrue(readme.endswith(b"\r\n"))
    unpaired = readme.replace(b"\r\n", b"")
    test.assertFalse(b"\r" in unpaired or b"\n" in unpaired, "README.TXT has a line end other than CRLF")
    test.assertTrue(all(32 <= c < 127 or c in b"\r\n" for c in readme), "README.TXT is not plain ASCII")
    for needed in (b"C:\\Program Files\\Kalmaris", b"REMOVE.EXE /INSTALL", b"D:\\KALCHECK.EXE", b"report: "):
        test.assertIn(needed, readme)
    return files


class MediumTest(unittest.TestCase):
    """The vendor's medium, the medium target's KALMARIS.ISO."""

    def test_holds_the_kit_the_check_and_the_readme(self):
        check_medium(self, windows_build())


if __name__ == "__main__":
    if "--signed" in sys.argv[1:]:
        sys.argv.remove("--signed")
        os.environ["REMOVE_EXE_SIGNED"] = "1"
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-") and os.path.isfile(sys.argv[1]):
        os.environ["REMOVE_EXE"] = sys.argv.pop(1)
    unittest.main(verbosity=2)
