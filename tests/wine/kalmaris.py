"""What the tests of the real REMOVE.EXE share: the product's names and texts
(in Windows-1250), a machine with the product's files in place, and a look at
what the tool has changed on it."""

import re

from winetest import WineTestCase, program

INSTALL_DIR = r"C:\Program Files\Kalmaris"
TOOL = INSTALL_DIR + r"\REMOVE.EXE"
PRODUCT_FILES = ["Kalmaris.lnk", "Něco jako manuál.lnk", "KM.EXE", "KM.RTF", "REMOVE.EXE"]
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kalmaris"
# Where a 64-bit system keeps what the 32-bit tool writes there, and where it
# must not land, both seen from 64-bit programs.
UNINSTALL_KEY_WOW64 = r"HKLM64\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\Kalmaris"
UNINSTALL_KEY_NATIVE64 = r"HKLM64\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kalmaris"
DISPLAY_NAME = "Kalmaris 2001"
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"
# KALCHECK.EXE and its kit (the default: the folder kit beside it).
CHECKER_DIR = r"C:\kalcheck"
CHECKER_KIT = CHECKER_DIR + r"\kit"
# The relay log follows the installed tool and its temporary copy.
MODULES = ["remove.exe", "~remove.tmp"]


def cp(text):
    return text.encode("cp1250")


INSTALL_CAPTION = cp("Instalace programu Kalmaris")
STARTUP_QUESTION = cp('Chcete vytvořit zástupce programu Kalmaris ve složce "Po spuštění"?')
INSTALL_OK = cp("Instalace úspěšně dokončena.")
INSTALL_FAILED = cp("Instalce dokončena – některé soubory či zástupce však bohužel nebylo možno nainstalovat.")
UNINSTALL_CAPTION = cp("Odinstalace programu Kalmaris")
CONFIRMATION = cp("Opravdu chcete odstranit program Kalmaris 2001?")
CANNOT_START = cp("Není možné inicializovat odinstalační program!")
UNINSTALL_OK = cp("Odinstalace úspěšně dokončena.")
UNINSTALL_FAILED = cp("Odinstalace dokončena – některé soubory či složky však bohužel nebylo možno odstranit.")


def checker_report(machine, output):
    """The report KALCHECK.EXE's console (output, bytes) names on its first
    line: (its Windows path, whether it went to the temporary folder as the
    program's folder cannot be written, its lines). The rest of the console
    must be the report's end."""
    first, _, shown = output.partition(b"\r\n")
    found = re.fullmatch(rb"report: (.+?)( \(the folder of KALCHECK\.EXE cannot be written\))?", first)
    if not found:
        raise AssertionError(f"the console's first line names no report: {output!r}")
    path = found[1].decode("cp1250")
    report = machine.read_file(path)
    if not shown or not report.endswith(shown):
        raise AssertionError(f"the console showed {shown!r}, the report {path} holds {report!r}")
    return path, found[2] is not None, report.decode("cp1250").splitlines()


def kit_file(name):
    """Host path of a file of the installation kit (the cross build's kit/)."""
    return program("kit/" + name)


class Product:
    """The product on one machine: the files of the installation kit placed
    in the installation directory, the folders and paths the tool works with
    there, ways to run the tool as the system does, and an account of what it
    has changed. tool is the host file installed as REMOVE.EXE (default: the
    kit's, the release file)."""

    def __init__(self, machine, tool=None):
        self.machine = m = machine
        for name in PRODUCT_FILES:
            m.install(tool if tool and name == "REMOVE.EXE" else kit_file(name), INSTALL_DIR, name)
        self.programs = m.reg_string(SHELL_FOLDERS, "Programs")
        self.startup = m.reg_string(SHELL_FOLDERS, "Startup")
        self.group = self.programs + r"\Kalmaris"
        environment = {}
        for entry in m.session_environment():
            name, _, value = entry.partition(b"=")
            environment.setdefault(name.decode("cp1250").upper(), value.decode("cp1250"))
        self.temp = environment["TEMP"]
        self.copy = self.temp + r"\~REMOVE.TMP"
        # The copy of the uninstall KALCHECK.EXE runs with TEMP naming a
        # folder of its own with a blank.
        self.blank_copy = self.temp + r"\Kalcheck temp\~REMOVE.TMP"
        self.wininit = r"C:\windows\wininit.ini"

    def install(self, answer="yes", cwd=INSTALL_DIR, screenshots=None):
        return self.machine.run(TOOL, ["/INSTALL"], cwd=cwd, answers=[answer, "ok"], screenshots=screenshots)

    def uninstall(self, answer="yes", env=None, screenshots=None):
        """Starts the registered uninstall command as the system does."""
        command = self.machine.reg_string(UNINSTALL_KEY, "UninstallString") or f'"{TOOL}"'
        return self.machine.run(TOOL, command_line=command, cwd=r"C:\windows", env=env,
                                answers=[answer, "ok"], timeout=120, screenshots=screenshots)

    def uninstall_from_list(self, answer="yes", screenshots=None):
        """Finds the product in the system's list of installed programs and
        removes it from there, as Add/Remove Programs does."""
        entries = self.machine.installed_programs()
        keys = [key for key, name in entries if name == DISPLAY_NAME]
        if len(keys) != 1:
            raise AssertionError(f"{DISPLAY_NAME} is not once in the list of installed programs: {entries}")
        return self.machine.run(r"C:\windows\system32\uninstaller.exe", ["--remove", keys[0]],
                                answers=[answer, "ok"], timeout=120, screenshots=screenshots)

    def place_checker(self):
        """KALCHECK.EXE in CHECKER_DIR, its kit beside it: the files placed in
        the installation directory (once; returns the kit's folder)."""
        m = self.machine
        checker = CHECKER_DIR + r"\KALCHECK.EXE"
        if not m.exists(checker):
            m.install(program("KALCHECK.EXE"), CHECKER_DIR)
            for name in PRODUCT_FILES:
                m.install(m.host_path(INSTALL_DIR + "\\" + name), CHECKER_KIT, name)
        return CHECKER_KIT

    def check(self, *args, installed=False):
        """KALCHECK.EXE run plainly (Machine.run_plainly), its kit the files
        placed in the installation directory at the first check
        (place_checker); that directory is taken away first unless
        installed. Returns (exit code, the lines of its report, KALCHECK.TXT
        or for /elevation ELEVATION.TXT, calls of the relay log); the
        console's first line names that report, the rest is the report's end
        (checker_report)."""
        m = self.machine
        self.place_checker()
        if not installed:
            m.remove(INSTALL_DIR)
        code, output, calls = m.run_plainly(CHECKER_DIR + r"\KALCHECK.EXE", args)
        path, moved, report = checker_report(m, output)
        expected = CHECKER_DIR + ("\\ELEVATION.TXT" if "/elevation" in args else r"\KALCHECK.TXT")
        if (path.lower(), moved) != (expected.lower(), False):
            raise AssertionError(f"the report is {path}{' (moved)' if moved else ''}, not {expected}")
        return code, report, calls

    def wininit_bytes(self):
        m = self.machine
        return m.read_file(self.wininit) if m.exists(self.wininit) else b""

    def state(self):
        """What the tool works on, as it is now: (thing, what it is) rows in a
        fixed order, a thing that is not there has no row. The registry key,
        each of its values, the program group, the installation directory and
        every file in them, the Startup shortcut, the temporary copy and the
        lines of WININIT.INI. Two states compare row by row."""
        m = self.machine
        rows = []
        values = m.reg_values(UNINSTALL_KEY)
        if values is not None:
            rows.append((UNINSTALL_KEY, "registry key (the entry in the list of installed programs)"))
            for name, (_, data) in sorted(values.items()):
                text = data.rstrip(bytes(1)).decode("cp1250")
                rows.append((f"{UNINSTALL_KEY}, value {name}", f"{text} ({len(data)} bytes)"))
        for label, folder in (("program group", self.group), ("installation directory", INSTALL_DIR)):
            if m.exists(folder):
                rows.append((folder, f"{label} (folder)"))
                rows += [(folder + "\\" + name, self._file(folder + "\\" + name)) for name in m.listdir(folder)]
        for label, path in (("Startup shortcut", self.startup + r"\Kalmaris.lnk"), ("temporary copy", self.copy)):
            if m.exists(path):
                rows.append((path, self._file(path, label)))
        wininit = [line for line in self.wininit_bytes().decode("cp1250").splitlines() if line]
        if wininit:
            rows.append((self.wininit, " | ".join(wininit)))
        return rows

    def _file(self, path, label=None):
        label = label or ("shortcut" if path.lower().endswith(".lnk") else "file")
        return f"{label}, {self.machine.host_path(path).stat().st_size} bytes"


class ProductTestCase(WineTestCase):
    """A fresh machine with the product's files in the installation directory."""

    relay_modules = MODULES

    def setUp(self):
        super().setUp()
        self.use(self.machine)

    def use(self, machine, tool=None):
        """Makes machine, with the product's files placed (tool as
        REMOVE.EXE, see Product), the test's machine."""
        self.machine = machine
        self.product = p = Product(machine, tool)
        self.tool_bytes = machine.read_file(TOOL)
        self.programs, self.startup, self.group = p.programs, p.startup, p.group
        self.temp, self.copy, self.wininit = p.temp, p.copy, p.wininit
        self.install, self.uninstall, self.wininit_bytes = p.install, p.uninstall, p.wininit_bytes

    def assert_box(self, box, caption, text, style):
        self.assertEqual((box.caption, box.text, box.style), (caption, text, style))

    def assert_installed(self, startup_shortcut):
        m = self.machine
        values = m.reg_values(UNINSTALL_KEY)
        self.assertEqual(values["DisplayName"], (1, b"Kalmaris 2001\0"))
        self.assertEqual(values["UninstallString"], (1, b'"C:\\Program Files\\Kalmaris\\REMOVE.EXE"\0'))
        self.assertEqual(m.read_file(self.group + r"\ Kalmaris.lnk"), kit_file("Kalmaris.lnk").read_bytes())
        self.assertEqual(m.read_file(self.group + "\\Něco jako manuál.lnk"),
                         kit_file("Něco jako manuál.lnk").read_bytes())
        self.assertEqual(m.exists(self.startup + r"\Kalmaris.lnk"), startup_shortcut)
        if startup_shortcut:
            self.assertEqual(m.read_file(self.startup + r"\Kalmaris.lnk"), kit_file("Kalmaris.lnk").read_bytes())
        if m.arch == "win64":
            self.assertEqual(m.reg_values(UNINSTALL_KEY_WOW64), values)
            self.assertIsNone(m.reg_values(UNINSTALL_KEY_NATIVE64))

    def assert_removed(self):
        m = self.machine
        self.assertIsNone(m.reg_values(UNINSTALL_KEY))
        if m.arch == "win64":
            self.assertIsNone(m.reg_values(UNINSTALL_KEY_WOW64))
        self.assertFalse(m.exists(self.startup + r"\Kalmaris.lnk"))
        self.assertFalse(m.exists(self.group))
        self.assertFalse(m.exists(INSTALL_DIR))
        self.assertTrue(m.exists(r"C:\Program Files"))
