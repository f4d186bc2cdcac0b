"""Wine test harness: real 32-bit Win32 for the Windows programs of the cross build.

Environment (set by tests/wine/tests.cmake; defaults for running by hand):
  KALMARIS_WINDOWS_BUILD  the cross build folder (default <repo>/build/windows)
  KALMARIS_WINE_CACHE     folder for the template prefix and the machines
                          (default <repo>/build/host/wine-cache)
  KALMARIS_WINE_KEEP=1    keep each machine's folder (prefix, logs) after the test
The cache also gets timings.log (every machine start and run, in seconds).

API (short):
  program(name) -> host path of a built program; fails the test if it is missing.
  WineTestCase(unittest.TestCase): self.machine is a fresh Machine for every test;
      set `machine_per_class = True` on a class to share one per class.
  CYCLE_ROWS: the CycleRow(arch, version, signed) rows of the whole-cycle
      test, from KALMARIS_WINE_ROWS ("win95 win64:win10": a version, optionally
      after the prefix's arch and a colon; "default" for Wine's own; "+signed"
      after the version runs the signed release); unset: one row, a 32-bit
      prefix with Wine's default version.
  WINDOWS_VERSIONS: what RtlGetVersion reports for each version the Wine on
      PATH knows (Wine 8's or Wine 10's table); DEFAULT_VERSION without one.
  Machine(name, relay_modules, arch="win32", version=None, lang="cs_CZ.UTF-8")  started by start(), ended by close()
      arch "win64" gives a 64-bit prefix (the 32-bit programs run under WoW64);
      version sets the Windows version Wine reports (HKCU\\Software\\Wine,
      Version, e.g. "win95") for every program the session starts; lang the
      session's locale, which sets the ANSI code page (the default gives 1250,
      "C.UTF-8" gives 1252).
    m.run(exe, args=None, command_line=None, cwd=None, env=None, answers=(),
          timeout=60, screenshots=None, relay_modules=None, application=None, during=None)
        -> RunResult. exe is a Windows path (or a host Path); command_line is used verbatim when
        given (else exe and args, quoted where needed); cwd a Windows path
        (default C:\\); env {NAME: value or None to unset} applied to the
        session's environment; answers: "yes"/"no"/"ok"/"cancel" for the
        message boxes in order (then OK if the box has it, else No), or
        (caption, word) for the first box with that caption;
        screenshots: a host folder that receives box-<n>.png for the n-th box
        of the run (also in Box.screenshot); during: called once the program
        has started, before the wait (e.g. to picture and close a window).
        Returns when every process the run started (children included) ended.
    RunResult: exit_code, pid, processes (how many ran), boxes [Box(pid,
        caption, text, style, result, answer, screenshot)] (bytes exactly as passed to
        MessageBoxA), calls [Call(pid, tid, dll, name, args, strings, retval)],
        exit_codes {pid: code} from ExitProcess, log (relay text);
        helpers calls_named(name), file_calls(path) (the calls on every handle
        CreateFileA returned for path), writes_to(path) (their WriteFile
        sizes), box_texts().
    m.run_plainly(exe, args=(), timeout=300) -> (exit code, standard output bytes,
        calls): the program started with `wine` itself, as a person starts it,
        in the machine's session; the clicker answers none of its boxes.
    m.install(host_file, windows_dir=r"C:\\Program Files\\Kalmaris", name=None)
    m.host_path(windows_path), m.windows_path(host_path), m.read_file(p),
    m.write_file(p, data), m.exists(p), m.listdir(p), m.remove(p)
    m.reg_query(key, name) -> (type, bytes) or None; m.reg_string(key, name);
    m.reg_set(key, name, value, type=None); m.reg_delete(key, name);
    m.reg_delete_key(key); m.reg_keys(key); m.reg_values(key)
    m.hold(path) / m.release(path) / with m.held(path): the file open in another
        process of the session, sharing nothing
    m.watch(path, hold_ms): the file held open as a scanner does, sharing
        everything, until hold_ms after the tool's DeleteFileA of it succeeded
    m.full_drive(letter="Q", size_kb=64) -> "Q:\\": a full tmpfs as a drive (root)
    m.cdrom_drive(host_folder, letter="D") -> "D:\\": a host folder as a read-only
        CD-ROM drive (a read-only bind mount; root)
    m.reboot(): wineboot -r in the running session (WININIT.INI is processed)
    m.shell_link(p) -> (target, working directory): the Shell Link file p as
        the shell reads it (IPersistFile::Load, IShellLinkA::GetPath and
        GetWorkingDirectory)
    m.find_window(title_part, timeout=30) -> (pid, (left, top, right, bottom)):
        waits for a visible top-level window (not a box) whose title contains
        title_part, and makes it the active one
    m.close_windows(title_part) -> how many windows were sent WM_CLOSE
    m.installed_programs() -> [(key, display name)]: `wine uninstaller --list`
    m.windows_version() -> (major, minor, build, platform) that RtlGetVersion
        tells a program (RUNTIME_PROBE.EXE version)
    A registry key written "HKLM64\\..." is read in the 64-bit view of a 64-bit
    prefix (where Software\\Wow6432Node is visible as such).
    m.screenshot(png_path)
  RELAY_FUNCTIONS: the functions the relay log records, only for calls made
  from the programs' own modules (RelayFromInclude = relay_modules, default
  remove.exe and runtime_probe.exe; a copy under another name must be added
  through Machine(relay_modules=...) or run(relay_modules=...)).

Where the kernel refuses i386 programs (some virtual machines), enable_i386.sh
hands them to QEMU's user-mode emulator (QEMU >= 9 from bookworm-backports);
trapno_fix.c then restores the page-fault trap number that emulator leaves
out, so a null write still reaches the program as an access violation.
"""

import contextlib
import fcntl
import getpass
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from collections import namedtuple
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("KALMARIS_WINDOWS_BUILD") or REPO / "build" / "windows")
CACHE_DIR = Path(os.environ.get("KALMARIS_WINE_CACHE") or REPO / "build" / "host" / "wine-cache")
KEEP = os.environ.get("KALMARIS_WINE_KEEP") == "1"

# Bumped whenever the template's preparation changes, so old caches are rebuilt.
TEMPLATE_VERSION = "8"

# Functions recorded in the relay log. Wine logs a forwarded export under the
# module that implements it (KERNELBASE.CreateFileA, ntdll.RtlAllocateHeap),
# so the entries carry no module name; ALIASES maps the implementations back.
RELAY_FUNCTIONS = [
    "MessageBoxA",
    "CopyFileA", "CreateProcessA", "CreateFileA", "WriteFile", "SetFilePointer", "CloseHandle",
    "DeleteFileA", "CreateDirectoryA", "RemoveDirectoryA", "FindFirstFileA", "FindNextFileA", "FindClose",
    "GetEnvironmentStringsA", "FreeEnvironmentStringsA", "GetModuleFileNameA", "GetCommandLineA",
    "ExitProcess", "SetUnhandledExceptionFilter", "HeapAlloc", "RtlAllocateHeap", "Sleep", "ReadFile",
    "MoveFileA", "MoveFileExA", "GetFileAttributesA", "SetFileAttributesA", "GetTempPathA",
    "GetWindowsDirectoryA", "WritePrivateProfileStringA", "GetPrivateProfileStringA",
    "RegCreateKeyExA", "RegOpenKeyExA", "RegSetValueExA", "RegQueryValueExA", "RegDeleteKeyA",
    "RegDeleteValueA", "RegCloseKey", "RegEnumKeyExA",
    "GetModuleHandleA", "GetProcAddress", "SetDefaultDllDirectories", "SetProcessMitigationPolicy",
]
ALIASES = {"RtlAllocateHeap": "HeapAlloc"}
DEFAULT_RELAY_MODULES = ["remove.exe", "runtime_probe.exe"]

# What RtlGetVersion tells a program under each version Wine 8 accepts as
# HKCU\Software\Wine "Version": (major, minor, build, platform); platform 1
# is the Windows 95 family, 2 Windows NT. Without a value Wine 8 reports win7.
WINE8_WINDOWS_VERSIONS = {
    "win95": (4, 0, 950, 1), "win98": (4, 10, 2222, 1), "winme": (4, 90, 3000, 1),
    "nt40": (4, 0, 1381, 2), "win2k": (5, 0, 2195, 2), "winxp": (5, 1, 2600, 2), "winxp64": (5, 2, 3790, 2),
    "vista": (6, 0, 6002, 2), "win7": (6, 1, 7601, 2), "win8": (6, 2, 9200, 2), "win81": (6, 3, 9600, 2),
    "win10": (10, 0, 18362, 2),
}
# Wine 10 (Debian 13) tells the same, but a later build of Windows 10, and
# knows win11; without a value it reports win10.
WINE10_WINDOWS_VERSIONS = dict(WINE8_WINDOWS_VERSIONS, win10=(10, 0, 19043, 2), win11=(10, 0, 22000, 2))


def _wine_version():
    """What the Wine on PATH says of its version ("wine-8.0 ..."), "" when
    there is none."""
    try:
        return subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=60).stdout.strip()
    except OSError:
        return ""


WINE_VERSION = _wine_version()
_wine_major = re.match(r"wine-(\d+)", WINE_VERSION)
if _wine_major and int(_wine_major.group(1)) >= 10:
    WINDOWS_VERSIONS, DEFAULT_VERSION = WINE10_WINDOWS_VERSIONS, WINE10_WINDOWS_VERSIONS["win10"]
else:
    WINDOWS_VERSIONS, DEFAULT_VERSION = WINE8_WINDOWS_VERSIONS, WINE8_WINDOWS_VERSIONS["win7"]


CycleRow = namedtuple("CycleRow", "arch version signed")


def _cycle_rows(text):
    rows = []
    for word in text.split():
        arch, _, version = word.rpartition(":")
        version, _, flag = version.partition("+")
        if flag not in ("", "signed"):
            raise ValueError(f"KALMARIS_WINE_ROWS: unknown {flag!r} in {word!r}")
        rows.append(CycleRow(arch or "win32", None if version == "default" else version, flag == "signed"))
    return rows


CYCLE_ROWS = _cycle_rows(os.environ.get("KALMARIS_WINE_ROWS") or "default")

WINE_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
# Wine draws the caption buttons (close, minimise) with the Marlett font; Debian
# ships it in fonts-wine, but Wine finds it only in the prefix's Fonts folder.
# Without it the close button is drawn as the letter "r".
MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")
REAL_CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"


def program(name):
    """Host path of a program of the cross build; the test fails if it was not built."""
    path = BUILD_DIR / name
    if not path.is_file():
        raise AssertionError(f"{path} is missing: build the cross build first "
                             f"(cmake --build {BUILD_DIR} --target runtime_probe clicker remove kit)")
    return path


# ---------------------------------------------------------------- the system

def _i386_runs():
    return subprocess.run(["/lib/ld-linux.so.2", "--version"], capture_output=True).returncode == 0


def ensure_i386():
    """Wine's 32-bit loader is an i386 program; make sure such programs run."""
    if _i386_runs():
        return
    script = Path(__file__).with_name("enable_i386.sh")
    done = subprocess.run(["bash", str(script)], capture_output=True, text=True)
    if done.returncode != 0 or not _i386_runs():
        raise AssertionError("32-bit programs do not run here and enable_i386.sh failed:\n"
                             + done.stdout + done.stderr)


def emulated():
    """True when i386 programs run through QEMU's user-mode emulator."""
    entry = Path("/proc/sys/fs/binfmt_misc/qemu-i386")
    return entry.exists() and entry.read_text().startswith("enabled")


def trapno_preload():
    """LD_PRELOAD for Wine's processes under emulation (see trapno_fix.c), or
    None. $LIB lets the i386 programs find the fix and the amd64 ones (the
    shell that runs the wine script) an empty library of their own."""
    if not emulated():
        return None
    folder = CACHE_DIR / "preload"
    fix = folder / "lib" / "i386-linux-gnu" / "trapno_fix.so"
    empty = folder / "lib" / "x86_64-linux-gnu" / "trapno_fix.so"
    source = Path(__file__).with_name("trapno_fix.c")
    if not fix.exists() or fix.stat().st_mtime < source.stat().st_mtime or not empty.exists():
        CACHE_DIR.mkdir(parents=True, exist_ok=True)
        with open(CACHE_DIR / "preload.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            fix.parent.mkdir(parents=True, exist_ok=True)
            empty.parent.mkdir(parents=True, exist_ok=True)
            work = Path(tempfile.mkdtemp(dir=folder))
            try:
                subprocess.run(["gcc", "-m32", "-O2", "-fPIC", "-ffreestanding", "-fno-stack-protector", "-nostdinc",
                                "-c", str(source), "-o", str(work / "fix.o")], check=True)
                subprocess.run(["ld", "-m", "elf_i386", "-shared", "-o", str(work / "fix.so"), str(work / "fix.o"),
                                "/usr/lib/i386-linux-gnu/libc.so.6"], check=True)
                (work / "empty.c").write_text("int kalmaris_trapno_fix_placeholder;\n")
                subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(work / "empty.so"), str(work / "empty.c")],
                               check=True)
                (work / "fix.so").rename(fix)
                (work / "empty.so").rename(empty)
            finally:
                shutil.rmtree(work, ignore_errors=True)
    return str(folder) + "/$LIB/trapno_fix.so"


def _base_environment(prefix, display, home, arch="win32", lang="cs_CZ.UTF-8"):
    env = {
        "PATH": "/usr/local/bin:/usr/bin:/bin",
        "HOME": str(home),
        "USER": getpass.getuser(),
        "LANG": lang,
        "LC_ALL": lang,
        "DISPLAY": display,
        "WINEPREFIX": str(prefix),
        "WINEARCH": arch,
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": WINE_DLL_OVERRIDES,
    }
    preload = trapno_preload()
    if preload:
        env["LD_PRELOAD"] = preload
    return env


class Display:
    """An Xvfb server on a display of its own."""

    def __init__(self):
        self.process = None
        self.number = None

    def start(self):
        # Xvfb picks a free display itself and reports its number, so machines
        # started at the same time never race for one.
        read_end, write_end = os.pipe()
        process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write_end,),
            start_new_session=True)
        os.close(write_end)
        text = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not text.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    break
                text += chunk
        if not text.strip().isdigit():
            process.kill()
            process.wait()
            raise AssertionError("Xvfb did not start")
        self.process, self.number = process, int(text)
        return self

    @property
    def name(self):
        return f":{self.number}"

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None

    def screenshot(self, png_path, rect=None, margin=8):
        """The screen as a PNG; with rect (left, top, right, bottom) only that
        part of it and a margin around it."""
        png_path = Path(png_path)
        png_path.parent.mkdir(parents=True, exist_ok=True)
        xwd = subprocess.run(["xwd", "-root", "-silent", "-display", self.name], capture_output=True, check=True)
        crop = []
        if rect is not None:
            left, top = max(rect[0] - margin, 0), max(rect[1] - margin, 0)
            crop = ["-crop", f"{rect[2] + margin - left}x{rect[3] + margin - top}+{left}+{top}", "+repage"]
            # A window at the screen's edge gets its margin of black screen too.
            crop += ["-background", "black", "-splice", f"{left - rect[0] + margin}x{top - rect[1] + margin}"]
        subprocess.run([REAL_CONVERT, "xwd:-"] + crop + [str(png_path)], input=xwd.stdout, check=True)
        return png_path


# ---------------------------------------------------------------- template

def _reg_text_value(reg_file, key, name):
    """A string value from a saved registry file (system.reg/user.reg)."""
    wanted = "[" + key.replace("\\", "\\\\").lower() + "]"
    inside = False
    for line in Path(reg_file).read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith("["):
            inside = line.split("]")[0].lower() + "]" == wanted
        elif inside and line.lower().startswith(f'"{name.lower()}"='):
            return line.split("=", 1)[1].strip().strip('"')
    return None


def _template_name(arch):
    return "template" if arch == "win32" else "template-" + arch


def template_prefix(arch="win32"):
    """The prepared prefix every machine of that arch starts from, made once
    per cache."""
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    name = _template_name(arch)
    template = CACHE_DIR / name
    stamp = template / ".kalmaris-template"
    want = f"{TEMPLATE_VERSION} {WINE_VERSION}\n"
    with open(CACHE_DIR / f"{name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if stamp.exists() and stamp.read_text() == want:
            return template
        started = time.time()
        work = Path(tempfile.mkdtemp(prefix=name + ".", dir=CACHE_DIR))
        prefix = work / "prefix"
        home = work / "home"
        home.mkdir()
        display = Display().start()
        try:
            try:
                _prepare_template(prefix, display, home, arch)
            finally:
                subprocess.run(["wineserver", "-k"], env=_base_environment(prefix, display.name, home, arch),
                               capture_output=True)
                display.stop()
        except BaseException:
            shutil.rmtree(work, ignore_errors=True)
            raise
        (prefix / ".kalmaris-template").write_text(want)
        if template.exists():
            shutil.rmtree(template)
        prefix.rename(template)
        shutil.rmtree(work, ignore_errors=True)
        (CACHE_DIR / f"{name}.seconds").write_text(f"{time.time() - started:.1f}\n")
        return template


def _prepare_template(prefix, display, home, arch):
    """A new prefix made by wineboot, set up for the tests."""
    env = _base_environment(prefix, display.name, home, arch)
    _check(["wineboot", "-i"], env, 300)
    # wineboot links the user's Desktop, Documents and the like to the home
    # folder it ran with, which is gone once the template is made. Without a
    # Desktop the shell cannot open anything through a shortcut (ShellExecute
    # of a .lnk fails), so each becomes a folder of the prefix's own.
    for folder in (prefix / "drive_c" / "users").glob("*/*"):
        if folder.is_symlink() and Path(os.readlink(folder)).is_relative_to(home):
            folder.unlink()
            folder.mkdir()
    # The boxes as Windows draws them: a close button, not an "r" (only
    # pictures differ; the tests pass without the font).
    if MARLETT.exists():
        shutil.copyfile(MARLETT, prefix / "drive_c" / "windows" / "Fonts" / MARLETT.name)

    def reg(*args):
        _check(["wine", "reg"] + list(args), env, 60)

    # Message boxes react at once without a window manager.
    reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
    # The relay log: only calls made from the programs' own modules.
    reg("delete", r"HKCU\Software\Wine\Debug", "/v", "RelayFromExclude", "/f")
    reg("add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d", ";".join(RELAY_FUNCTIONS), "/f")
    reg("add", r"HKCU\Software\Wine\Debug", "/v", "RelayFromInclude", "/d",
        ";".join(DEFAULT_RELAY_MODULES), "/f")
    # A crash ends the process instead of waiting in a debugger dialog.
    reg("add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f")
    reg("delete", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug", "/v", "Debugger", "/f")
    _check(["wineserver", "-w"], env, 120)
    # Wine 10 saves the key under ControlSet001 (CurrentControlSet links to it).
    acp = (_reg_text_value(prefix / "system.reg", r"System\CurrentControlSet\Control\Nls\CodePage", "ACP")
           or _reg_text_value(prefix / "system.reg", r"System\ControlSet001\Control\Nls\CodePage", "ACP"))
    if acp != "1250":
        raise AssertionError(f"the template's ANSI code page is {acp}, not 1250 "
                             "(locale cs_CZ.UTF-8 missing? run scripts/setup.sh)")


def _note_time(what, seconds):
    """Appends a timing to <cache>/timings.log (machine starts and runs)."""
    with contextlib.suppress(OSError):
        with open(CACHE_DIR / "timings.log", "a") as f:
            f.write(f"{seconds:7.2f} {what}\n")


def _check(command, env, timeout):
    done = subprocess.run(command, env=env, capture_output=True, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError(f"{command} failed ({done.returncode}):\n"
                             + done.stderr.decode("utf-8", "replace")[-3000:])
    return done


# ---------------------------------------------------------------- relay log

_RELAY_LINE = re.compile(r"^([0-9a-f]{4,8}):([0-9a-f]{4,8}):(Call|Ret ) +([A-Za-z0-9_.]+)\.([A-Za-z0-9_@?]+)\((.*)$")
_ESCAPES = {"n": b"\n", "r": b"\r", "t": b"\t", "\\": b"\\", '"': b'"', "'": b"'", "0": b"\0",
            "a": b"\a", "b": b"\b", "f": b"\f", "v": b"\v"}


def _parse_string(text, start):
    """Decodes a relay string literal starting at the opening quote; returns
    (bytes, index after the literal, truncated)."""
    assert text[start] == '"'
    out = bytearray()
    i = start + 1
    while i < len(text):
        c = text[i]
        if c == '"':
            i += 1
            truncated = text.startswith("...", i)
            if truncated:
                i += 3
            return bytes(out), i, truncated
        if c == "\\" and i + 1 < len(text):
            e = text[i + 1]
            if e == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            if e == "u":
                out += chr(int(text[i + 2:i + 6], 16)).encode("cp1250", "replace")
                i += 6
                continue
            out += _ESCAPES.get(e, e.encode("latin-1"))
            i += 2
            continue
        out += c.encode("latin-1")
        i += 1
    return bytes(out), i, True


def _parse_arguments(text):
    """The argument list of a relay Call line, up to the closing parenthesis.
    Returns (tokens, strings, truncated flags, rest of the line)."""
    tokens, strings, truncated = [], [], []
    i = 0
    current, current_string, current_cut = "", None, False
    while i < len(text):
        c = text[i]
        if c == '"' or (c == "L" and text[i + 1:i + 2] == '"'):
            if c == "L":
                i += 1
            current_string, i, current_cut = _parse_string(text, i)
            continue
        if c in ",)":
            if current.strip() or current_string is not None or c == ",":
                tokens.append(current.strip())
                strings.append(current_string)
                truncated.append(current_cut)
            current, current_string, current_cut = "", None, False
            i += 1
            if c == ")":
                return tokens, strings, truncated, text[i:]
            continue
        current += c
        i += 1
    return tokens, strings, truncated, ""


@dataclass
class Call:
    pid: int
    tid: int
    dll: str
    name: str
    args: list
    strings: list
    truncated: list
    retval: int = None
    line: str = ""

    def arg(self, index):
        """An argument's number (the pointer for a string argument)."""
        token = self.args[index].split()[0] if self.args[index] else "0"
        return int(token, 16)

    def string(self, index):
        return self.strings[index]


@dataclass
class Box:
    pid: int
    caption: bytes
    text: bytes
    style: int
    result: int = None
    answer: str = None
    text_from_window: bool = False
    screenshot: Path = None

    @property
    def lines(self):
        """The text split at CR LF."""
        return self.text.split(b"\r\n")


@dataclass
class RunResult:
    exit_code: int
    pid: int
    processes: int
    calls: list
    boxes: list
    exit_codes: dict
    log: str
    seconds: float = 0.0
    window_boxes: list = field(default_factory=list)

    def calls_named(self, name, pid=None):
        return [c for c in self.calls if c.name == name and (pid is None or c.pid == pid)]

    def file_calls(self, path):
        """The calls made through every handle that CreateFileA returned for
        path (compared without regard to case): WriteFile, ReadFile,
        SetFilePointer, CloseHandle, in order."""
        wanted = path.encode("cp1250").lower() if isinstance(path, str) else path.lower()
        open_handles = set()
        found = []
        for call in self.calls:
            if call.name == "CreateFileA":
                if call.string(0) is not None and call.string(0).lower() == wanted \
                        and call.retval not in (None, 0xFFFFFFFF):
                    open_handles.add((call.pid, call.retval))
            elif call.name in ("WriteFile", "ReadFile", "SetFilePointer", "CloseHandle") and call.args:
                if (call.pid, call.arg(0)) in open_handles:
                    found.append(call)
                    if call.name == "CloseHandle":
                        open_handles.discard((call.pid, call.arg(0)))
        return found

    def writes_to(self, path):
        """Sizes of the WriteFile calls on path's handles (see file_calls)."""
        return [c.arg(2) for c in self.file_calls(path) if c.name == "WriteFile"]

    def box_texts(self):
        return [(b.caption, b.text) for b in self.boxes]


def parse_relay(text):
    """The relay Call/Ret lines of text, paired per thread."""
    calls = []
    pending = {}
    for line in text.splitlines():
        m = _RELAY_LINE.match(line)
        if not m:
            continue
        pid, tid, kind, dll, name, rest = m.groups()
        pid, tid = int(pid, 16), int(tid, 16)
        name = ALIASES.get(name, name)
        if kind == "Call":
            tokens, strings, truncated, _ = _parse_arguments(rest)
            call = Call(pid, tid, dll, name, tokens, strings, truncated, line=line)
            calls.append(call)
            pending.setdefault((pid, tid), []).append(call)
        else:
            stack = pending.get((pid, tid), [])
            retval = re.search(r"retval=([0-9a-f]+)", rest)
            for index in range(len(stack) - 1, -1, -1):
                if stack[index].name == name:
                    call = stack.pop(index)
                    del stack[index:]
                    if retval:
                        call.retval = int(retval.group(1), 16)
                    break
    return calls


# ---------------------------------------------------------------- the machine

def _caption_answer(caption, word):
    caption = caption.encode("cp1250") if isinstance(caption, str) else caption
    return caption + b"=" + word.encode("ascii")


def _hex(data):
    if isinstance(data, str):
        data = data.encode("cp1250")
    return data.hex() if data else "-"


def quote_argument(argument):
    """A command-line word, quoted when it is empty or holds a blank."""
    if argument == "" or any(c in argument for c in " \t"):
        return '"' + argument + '"'
    return argument


class Machine:
    """A fresh Wine prefix with its own Xvfb display, one Wine session that
    stays alive until close(), and the clicker serving inside it."""

    def __init__(self, name="machine", relay_modules=None, arch="win32", version=None, lang="cs_CZ.UTF-8"):
        self.name = re.sub(r"[^A-Za-z0-9_.-]", "_", name)[-80:]
        self.relay_modules = list(relay_modules or DEFAULT_RELAY_MODULES)
        self.arch, self.version, self.lang = arch, version, lang
        self.display = None
        self.session = None
        self.env = None
        self.log_file = None
        self.mounts = []
        self.request_number = 0
        self.runs = 0
        self.dir = None
        self.box_log_offset = 0

    # ---- life cycle

    def start(self, attempts=2):
        """Starts the machine. Now and then Wine's first session in a new
        prefix hangs in its set-up under emulation; a start that fails is
        cleaned up (nothing of it stays running) and tried once more on a
        fresh copy of the template."""
        for attempt in range(1, attempts + 1):
            try:
                return self._start_once()
            except AssertionError:
                self.close()
                if attempt == attempts:
                    raise
                _note_time(f"start {self.name} failed, tried again", 0)
        return self

    def _start_once(self):
        started = time.time()
        ensure_i386()
        template = template_prefix(self.arch)
        (CACHE_DIR / "machines").mkdir(parents=True, exist_ok=True)
        self.dir = Path(tempfile.mkdtemp(prefix=self.name + ".", dir=CACHE_DIR / "machines"))
        self.prefix = self.dir / "prefix"
        with open(CACHE_DIR / f"{_template_name(self.arch)}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)  # no rebuild of the template meanwhile
            subprocess.run(["cp", "-a", str(template), str(self.prefix)], check=True)
        self.control = self.dir / "control"
        self.control.mkdir()
        (self.dir / "home").mkdir()
        self.log_path = self.dir / "wine.log"
        self.display = Display().start()
        self.env = _base_environment(self.prefix, self.display.name, self.dir / "home", self.arch, self.lang)
        # One persistent server: nothing the session does (WININIT.INI among
        # it) is redone by a new session until the test asks for it.
        # Its output goes to the log: a server left running must not hold the
        # test runner's output open.
        self.log_file = open(self.log_path, "ab")
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdout=self.log_file, stderr=self.log_file)
        session_env = dict(self.env, WINEDEBUG="+pid,+relay,err+all,fixme-all")
        self.session = subprocess.Popen(
            ["wine", str(program("CLICKER.EXE")), self.windows_path(self.control)],
            cwd=self.control, env=session_env, stdout=self.log_file, stderr=self.log_file,
            start_new_session=True)
        deadline = time.time() + 120
        while not (self.control / "ready").exists():
            if self.session.poll() is not None:
                raise AssertionError("the clicker ended at once:\n" + self._log_tail())
            if time.time() > deadline:
                raise AssertionError("the clicker did not start:\n" + self._log_tail())
            time.sleep(0.05)
        if self.relay_modules != DEFAULT_RELAY_MODULES:
            self.set_relay_modules(self.relay_modules)
        if self.version:
            self.set_version(self.version)
        self.start_seconds = time.time() - started
        _note_time(f"start {self.name}", self.start_seconds)
        return self

    def close(self):
        if self.dir is None:
            return
        try:
            if self.session is not None and self.session.poll() is None:
                (self.control / "stop").write_text("stop\n")
                try:
                    self.session.wait(10)
                except subprocess.TimeoutExpired:
                    pass
        finally:
            if self.env is not None:
                subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
                subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True, timeout=60)
            if self.session is not None and self.session.poll() is None:
                os.killpg(self.session.pid, signal.SIGKILL)
                self.session.wait()
            self.session = None
            if self.log_file is not None:
                self.log_file.close()
                self.log_file = None
            for mount in reversed(self.mounts):
                subprocess.run(["umount", "-l", str(mount)], capture_output=True)
            self.mounts = []
            if self.display:
                self.display.stop()
            if not KEEP:
                shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def _log_tail(self, size=4000):
        try:
            data = self.log_path.read_bytes()
        except OSError:
            return ""
        return data[-size:].decode("utf-8", "replace")

    # ---- paths and files

    def host_path(self, windows_path):
        """The host path of a Windows path in this prefix; existing components
        are found without regard to case, missing ones are kept as written."""
        path = windows_path.replace("/", "\\")
        if len(path) < 2 or path[1] != ":":
            raise ValueError(f"not an absolute Windows path: {windows_path}")
        drive = self.prefix / "dosdevices" / (path[0].lower() + ":")
        current = Path(os.path.realpath(drive))
        for part in [p for p in path[2:].split("\\") if p]:
            name = part.encode("cp1250").decode("cp1250")
            candidate = current / name
            if not candidate.exists() and current.is_dir():
                for entry in os.listdir(current):
                    if entry.lower() == name.lower():
                        candidate = current / entry
                        break
            current = candidate
        return current

    def windows_path(self, host_path):
        """A Windows path for a host path: inside drive C: when it is there,
        else through Z: (the host's root)."""
        host = Path(os.path.realpath(host_path))
        c_root = Path(os.path.realpath(self.prefix / "drive_c"))
        try:
            rest = host.relative_to(c_root)
            return "C:\\" + str(rest).replace("/", "\\") if str(rest) != "." else "C:\\"
        except ValueError:
            return "Z:" + str(host).replace("/", "\\")

    def read_file(self, windows_path):
        return self.host_path(windows_path).read_bytes()

    def write_file(self, windows_path, data):
        path = self.host_path(windows_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data.encode("cp1250") if isinstance(data, str) else data)
        return path

    def exists(self, windows_path):
        return self.host_path(windows_path).exists()

    def listdir(self, windows_path):
        return sorted(os.listdir(self.host_path(windows_path)))

    def remove(self, windows_path):
        path = self.host_path(windows_path)
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path)
        elif path.exists() or path.is_symlink():
            path.unlink()

    def install(self, host_file, windows_dir=r"C:\Program Files\Kalmaris", name=None):
        """Copies a host file into the prefix; returns its Windows path."""
        host_file = Path(host_file)
        name = name or host_file.name
        target_dir = self.host_path(windows_dir)
        target_dir.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(host_file, target_dir / name)
        return windows_dir.rstrip("\\") + "\\" + name

    # ---- requests to the clicker

    def request(self, verb, *operands, timeout=30):
        """Sends one request; returns the reply's lines after "ok", or raises
        WineError with the error code."""
        self.request_number += 1
        number = self.request_number
        text = verb + "\n" + "".join(_hex(o) + "\n" for o in operands)
        temporary = self.control / f"request.{number}.tmp"
        temporary.write_bytes(text.encode("ascii"))
        temporary.rename(self.control / f"request.{number}")
        response = self.control / f"response.{number}"
        deadline = time.time() + timeout
        while not response.exists():
            if self.session.poll() is not None:
                raise AssertionError("the clicker has ended:\n" + self._log_tail())
            if time.time() > deadline:
                raise AssertionError(f"no response to {verb}:\n" + self._log_tail())
            time.sleep(0.01)
        lines = response.read_text().splitlines()
        if not lines or lines[0] != "ok":
            code = int(lines[0].split()[1]) if lines and lines[0].startswith("error") else -1
            raise WineError(verb, code)
        return lines[1:]

    def set_relay_modules(self, modules):
        """The modules whose calls the relay log records (read at process start)."""
        self.reg_set(r"HKCU\Software\Wine\Debug", "RelayFromInclude", ";".join(modules))

    def session_environment(self):
        return [bytes.fromhex(line) for line in self.request("environment")]

    # ---- running programs

    def run(self, exe, args=None, command_line=None, cwd=None, env=None, answers=(), timeout=60,
            screenshots=None, relay_modules=None, application=None, during=None):
        started = time.time()
        self.runs += 1
        if isinstance(exe, Path):
            exe = self.windows_path(exe)
        unknown = [a for a in answers
                   if (a if isinstance(a, str) else a[1]).lower() not in ("yes", "no", "ok", "cancel")]
        if unknown:
            raise ValueError(f"unknown answers {unknown}: use yes, no, ok or cancel")
        if relay_modules is not None:
            self.set_relay_modules(relay_modules)
        if command_line is None:
            command_line = " ".join(quote_argument(a) for a in [exe] + list(args or []))
        block = b""
        if env is not None:
            entries = self.session_environment()
            for name, value in env.items():
                entries = [e for e in entries if e.split(b"=", 1)[0].lower() != name.encode("cp1250").lower()]
                if value is not None:
                    entries.append(name.encode("cp1250") + b"=" + (value.encode("cp1250")
                                                                     if isinstance(value, str) else value))
            block = b"\0".join(entries) + b"\0"
        # An answer given as (caption, word) is kept for the first box with
        # that caption; plain words answer the other boxes in turn.
        words = [a if isinstance(a, str) else _caption_answer(*a) for a in answers]
        self.request("answers", "1" if screenshots else "0", *words)
        log_offset = self.log_path.stat().st_size
        box_offset = self._box_log_size()
        reply = self.request("start", command_line, application or "", cwd if cwd is not None else "C:\\",
                             block)
        number = self.request_number
        pid = int(reply[0])
        finished = self.control / f"finished.{number}"
        shots_taken = {}
        deadline = time.time() + timeout
        if during is not None:
            during()
        while not finished.exists():
            if screenshots:
                self._take_pending_shots(Path(screenshots), shots_taken)
            if self.session.poll() is not None:
                raise AssertionError("the clicker has ended:\n" + self._log_tail())
            if time.time() > deadline:
                shot = self.dir / "timeout.png"
                with contextlib.suppress(Exception):
                    self.display.screenshot(shot)
                raise AssertionError(f"{command_line!r} still running after {timeout} s "
                                     f"(screen: {shot}):\n" + self._log_tail())
            time.sleep(0.02)
        exit_code, processes = (int(x) for x in finished.read_text().split()[:2])
        with open(self.log_path, "rb") as f:
            f.seek(log_offset)
            log = f.read().decode("latin-1")
        calls = parse_relay(log)
        window_boxes = self._boxes_since(box_offset)
        for seen in window_boxes:
            seen["screenshot"] = shots_taken.get(seen["seq"])
        boxes = self._match_boxes(calls, window_boxes)
        exit_codes = {c.pid: c.arg(0) for c in calls if c.name == "ExitProcess"}
        if relay_modules is not None:
            self.set_relay_modules(self.relay_modules)
        _note_time(f"run {command_line[:100]}", time.time() - started)
        return RunResult(exit_code, pid, processes, calls, boxes, exit_codes, log, time.time() - started,
                         window_boxes)

    def run_plainly(self, exe, args=(), timeout=300):
        """Starts exe (a Windows path) with `wine`, as a person would, in the
        machine's session, and waits for its end; the clicker answers no box
        meanwhile. Its relay log goes to the session's log, as a run's does
        (where watch reads it). Returns (exit code, standard output, calls of
        the relay log)."""
        started = time.time()
        self.runs += 1
        self.request("answers", "0", "none")
        log_offset = self.log_path.stat().st_size
        try:
            with open(self.log_path, "ab") as log:
                done = subprocess.run(["wine", exe] + list(args), cwd=self.dir, stdout=subprocess.PIPE, stderr=log,
                                      timeout=timeout, env=dict(self.env, WINEDEBUG="+pid,+relay,err+all,fixme-all"))
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{exe} still running after {timeout} s") from None
        finally:
            self.request("answers", "0")
        with open(self.log_path, "rb") as f:
            f.seek(log_offset)
            log = f.read().decode("latin-1")
        _note_time(f"run plainly {exe} {' '.join(args)}", time.time() - started)
        return done.returncode, done.stdout, parse_relay(log)

    def _take_pending_shots(self, folder, taken):
        """Screenshots of the boxes the clicker holds back, named box-1.png,
        box-2.png, ... in the order of this run, each cut to the box with a
        small margin; taken maps the clicker's box number to the picture.
        Boxes of earlier runs (already shot and answered) are left alone."""
        for path in sorted(self.control.glob("box.*"), key=lambda p: int(p.name.split(".")[1])
                           if p.name.split(".")[1].isdigit() else 0):
            sequence = path.name[len("box."):]  # box.<n>.tmp is still being written
            if not sequence.isdigit() or int(sequence) in taken or (self.control / f"shot.{sequence}").exists():
                continue
            rect = None
            for line in path.read_text().splitlines():
                if line.startswith("rect "):
                    rect = tuple(int(x) for x in line.split()[1:5])
            time.sleep(0.5)  # let the box paint
            shot = self.display.screenshot(folder / f"box-{len(taken) + 1}.png", rect)
            (self.control / f"shot.{sequence}").write_text("ok\n")
            taken[int(sequence)] = shot

    def _box_log_size(self):
        path = self.control / "boxes.log"
        return path.stat().st_size if path.exists() else 0

    def _boxes_since(self, offset):
        path = self.control / "boxes.log"
        if not path.exists():
            return []
        with open(path, "rb") as f:
            f.seek(offset)
            lines = f.read().decode("ascii").splitlines()
        boxes = []
        for line in lines:
            parts = line.split(" ")
            if len(parts) < 7 or parts[0] != "box":
                continue
            boxes.append({"seq": int(parts[1]), "pid": int(parts[2]),
                          "caption": bytes.fromhex(parts[3] if parts[3] != "" else ""),
                          "text": bytes.fromhex(parts[4]), "answer": parts[5], "buttons": int(parts[6], 16)})
        return boxes

    @staticmethod
    def _match_boxes(calls, window_boxes):
        """The MessageBoxA calls in order, each with the answer the clicker
        gave; a text the relay log had to cut is taken from the window."""
        remaining = list(window_boxes)
        boxes = []
        for call in calls:
            if call.name != "MessageBoxA":
                continue
            box = Box(call.pid, call.string(2) or b"", call.string(1) or b"", call.arg(3), call.retval)
            for index, seen in enumerate(remaining):
                if seen["pid"] == call.pid:
                    box.answer = seen["answer"]
                    box.screenshot = seen.get("screenshot")
                    if call.truncated[1]:
                        box.text = seen["text"]
                        box.text_from_window = True
                    if call.truncated[2]:
                        box.caption = seen["caption"]
                    del remaining[index]
                    break
            boxes.append(box)
        return boxes

    def set_version(self, version):
        """The Windows version Wine reports to the programs started from now on."""
        self.version = version
        self.reg_set(r"HKCU\Software\Wine", "Version", version)

    def windows_version(self):
        """(major, minor, build, platform) as RtlGetVersion tells RUNTIME_PROBE.EXE."""
        probe = self.install(program("RUNTIME_PROBE.EXE"), r"C:\probe")
        self.run(probe, ["version"])
        found = dict(line.split(":") for line in self.read_file(probe + ".out").decode("ascii").splitlines())
        major, minor, build, platform = (int(bytes.fromhex(found[k]).decode("ascii"))
                                         for k in ("major", "minor", "build", "platform"))
        # The Windows 95 family keeps the major and minor version in the high
        # word of the build number.
        return major, minor, build & 0xFFFF, platform

    def shell_link(self, windows_path):
        """(target, working directory) of a Shell Link file, as the shell's
        own link object reads them."""
        target, directory = self.request("shelllink", windows_path)
        return bytes.fromhex(target).decode("cp1250"), bytes.fromhex(directory).decode("cp1250")

    def find_window(self, title_part, timeout=30):
        """(pid, (left, top, right, bottom)) of the first visible top-level
        window, not a message box, whose title contains title_part; waits for
        it and activates it again, so that a picture shows it active."""
        deadline = time.time() + timeout
        while True:
            try:
                pid, *rect = (int(x) for x in self.request("window", title_part))
                return pid, tuple(rect)
            except WineError:
                if time.time() > deadline:
                    raise AssertionError(f"no window titled ...{title_part}... after {timeout} s")
                time.sleep(0.2)

    def close_windows(self, title_part):
        """Sends WM_CLOSE to every visible top-level window whose title
        contains title_part; returns how many there were."""
        return int(self.request("close", title_part)[0])

    def installed_programs(self):
        """The system's list of installed programs as `wine uninstaller --list`
        prints it: [(key, display name)]."""
        done = _check(["wine", "uninstaller", "--list"], self.env, 120)
        entries = []
        # Wine 8 prints the list on standard output, Wine 10 on standard error.
        for line in (done.stdout + b"\n" + done.stderr).decode("utf-8", "replace").splitlines():
            key, _, name = line.strip().partition("|||")
            if name:
                entries.append((key, name))
        return entries

    def reboot(self, timeout=120):
        """Runs `wineboot -r` inside the live session: pending renames and
        deletions of WININIT.INI are carried out."""
        result = self.run(r"C:\windows\system32\wineboot.exe", ["-r"], timeout=timeout)
        return result

    # ---- registry (through the clicker, inside the live session)

    def reg_set(self, key, name, value, type=None):
        if type is None:
            type = 4 if isinstance(value, int) else 1
        if isinstance(value, int):
            data = value.to_bytes(4, "little")
        elif isinstance(value, str):
            data = value.encode("cp1250") + b"\0"
        else:
            data = value
        self.request("regset", key, name or "", str(type), data)

    def reg_query(self, key, name):
        try:
            lines = self.request("regquery", key, name or "")
        except WineError:
            return None
        return int(lines[0]), bytes.fromhex(lines[1])

    def reg_string(self, key, name):
        found = self.reg_query(key, name)
        if found is None:
            return None
        return found[1].split(b"\0", 1)[0].decode("cp1250")

    def reg_delete(self, key, name):
        self.request("regdelete", key, name or "")

    def reg_delete_key(self, key):
        self.request("regdeletekey", key)

    def reg_keys(self, key):
        try:
            return [bytes.fromhex(x).decode("cp1250") for x in self.request("regkeys", key)]
        except WineError:
            return None

    def reg_values(self, key):
        try:
            lines = self.request("regvalues", key)
        except WineError:
            return None
        values = {}
        for i in range(0, len(lines) - 2, 3):
            values[bytes.fromhex(lines[i]).decode("cp1250")] = (int(lines[i + 1]), bytes.fromhex(lines[i + 2]))
        return values

    # ---- other processes, drives, screen

    def hold(self, windows_path):
        """Opens the file (created if missing) in the clicker's process with
        no sharing, so every other open of it fails with a sharing violation."""
        self.request("hold", windows_path)

    def release(self, windows_path):
        self.request("release", windows_path)

    def watch(self, windows_path, hold_ms):
        """Acts on the file as a security scanner does, in the clicker's
        process, and returns at once: waits until the file exists, keeps it
        open sharing everything (so other programs may still read, write and
        delete it), and once a deletion of it is pending keeps it hold_ms
        milliseconds longer before closing it; only then is the file gone.
        Wine, unlike Windows, still opens a file whose deletion is pending,
        so the deletion is seen in the relay log: only a DeleteFileA made by
        a relayed program (the tool) counts. Gives up after 120 s."""
        self.request("watch", windows_path, str(hold_ms), self.windows_path(self.log_path))

    @contextlib.contextmanager
    def held(self, windows_path):
        self.hold(windows_path)
        try:
            yield
        finally:
            self.release(windows_path)

    def full_drive(self, letter="Q", size_kb=64):
        """A tiny tmpfs, filled up, as drive letter; returns "Q:\\"."""
        mount_point = self.dir / f"drive_{letter.lower()}"
        mount_point.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_kb}k,mode=0777", "tmpfs", str(mount_point)],
                       check=True)
        self.mounts.append(mount_point)
        try:
            with open(mount_point / "filler.bin", "wb", buffering=0) as f:
                block = b"\0" * 4096
                while True:
                    f.write(block)
        except OSError:
            pass
        try:
            with open(mount_point / "filler2.bin", "wb", buffering=0) as f:
                while True:
                    f.write(b"\0")
        except OSError:
            pass
        return self._drive(letter, mount_point)

    def cdrom_drive(self, host_folder, letter="D"):
        """host_folder as a CD-ROM drive: mounted read-only (a bind mount,
        undone by close) as the drive letter, which Wine's drive settings
        name a CD-ROM; returns "D:\\"."""
        mount_point = self.dir / f"drive_{letter.lower()}"
        mount_point.mkdir()
        subprocess.run(["mount", "--bind", str(host_folder), str(mount_point)], check=True)
        self.mounts.append(mount_point)
        subprocess.run(["mount", "-o", "remount,bind,ro", str(mount_point)], check=True)
        self.reg_set(r"HKLM\Software\Wine\Drives", f"{letter.lower()}:", "cdrom")
        return self._drive(letter, mount_point)

    def _drive(self, letter, mount_point):
        """mount_point as the drive letter; returns "D:\\"."""
        link = self.prefix / "dosdevices" / f"{letter.lower()}:"
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(mount_point)
        return f"{letter.upper()}:\\"

    def screenshot(self, png_path, rect=None):
        return self.display.screenshot(png_path, rect)


class WineError(Exception):
    def __init__(self, verb, code):
        super().__init__(f"{verb} failed with error {code}")
        self.code = code


class WineTestCase(unittest.TestCase):
    """A test case with self.machine: a new machine for every test, or one per
    class when the class sets machine_per_class = True."""

    machine_per_class = False
    relay_modules = None

    def machine_for(self, arch, version):
        """A machine of that arch reporting that version: the test's own one
        while no program has run on it, else a new one."""
        m = self.machine
        if m.arch == arch and m.runs == 0 and not m.version:
            if version:
                m.set_version(version)
            return m
        m = Machine(f"{self.id().split('.', 1)[-1]}.{arch}.{version}", self.relay_modules, arch, version).start()
        self.addCleanup(m.close)
        return m

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.class_machine = None
        if cls.machine_per_class:
            cls.class_machine = Machine(cls.__name__, cls.relay_modules).start()

    @classmethod
    def tearDownClass(cls):
        if cls.class_machine is not None:
            cls.class_machine.close()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        if self.class_machine is not None:
            self.machine = self.class_machine
        else:
            self.machine = Machine(self.id().split(".", 1)[-1], self.relay_modules).start()
            self.addCleanup(self.machine.close)
