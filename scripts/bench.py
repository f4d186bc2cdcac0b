#!/usr/bin/env python3
"""Benchmark of the release REMOVE.EXE, one figure a line.

    python3 scripts/bench.py [--runs N] [--no-rebuilds]

1. builds the release (cmake target `release` of the cross build in
   build/windows, configured first when needed; MINIMAL_BOX.EXE and
   CLICKER.EXE for the Wine part) and prints the file size and every section
   (virtual and raw);
2. prints the imports DLL by DLL with the number of places in .text that use
   each IAT slot, and the imports no code uses;
3. runs the standard cycle under Wine (install answered Yes; the registered
   uninstall command from C:\\windows answered Yes; the worker started from the
   temporary copy, OK) with every import of REMOVE.EXE recorded in the relay
   log, and prints the calls each mode made beside the least its algorithm
   needs (the table of least calls below), function by function, with where
   any extra call came from;
4. times process start -> first box for REMOVE.EXE (/INSTALL and the
   launcher) and for tests/wine/minimal_box.cpp, in rounds of the three, and
   prints the medians, their ratios and the median of the rounds' ratios, as
   processor time and on Wine's clock;
5. builds the release and the installation kit twice from scratch in two
   temporary folders and compares the two REMOVE.EXE files, and the kit's
   five files;
and ends with the totals against the targets.

Exit status 0 when every figure could be measured (whether or not the targets
are met), 1 when a part failed.
"""

import argparse
import contextlib
import hashlib
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

sys.dont_write_bytecode = True  # nothing of ours lands in tests/ as __pycache__

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("KALMARIS_WINDOWS_BUILD") or REPO / "build" / "windows")
TOOLCHAIN = REPO / "cmake" / "mingw-i686.cmake"
sys.path.insert(0, str(REPO / "tests" / "release"))
sys.path.insert(0, str(REPO / "tests" / "wine"))
os.environ.setdefault("KALMARIS_WINDOWS_BUILD", str(BUILD))

import pe  # noqa: E402  (tests/release/pe.py)

# Targets.
SIZE_LIMIT = 10 * 1024
FIRST_BOX_RATIO = 1.1
# The installation kit (the cross build's kit/), compared between the rebuilds.
KIT_FILES = ["REMOVE.EXE", "KM.EXE", "KM.RTF", "Kalmaris.lnk", "Něco jako manuál.lnk"]

# ---------------------------------------------------------------- least calls
#
# The Win32 calls each mode needs at the least, as the algorithms are built
# (core/, runtime/, services/, install/, uninstall/), on the standard cycle:
#
# | mode      | step                                             | calls                                        | n  |
# |-----------|--------------------------------------------------|----------------------------------------------|----|
# | every     | ProcessEntry: the library search limited to the system folder (where the system has the function) | GetModuleHandleA("KERNEL32"), GetProcAddress(, "SetDefaultDllDirectories"), SetDefaultDllDirectories(0x800) | 3 |
# |           | ProcessEntry: junctions made by users not followed (where the system has the function) | GetProcAddress(, "SetProcessMitigationPolicy"), SetProcessMitigationPolicy(16, 1, 4) | 2 |
# |           | ProcessEntry: the fault filter                   | SetUnhandledExceptionFilter(filter)          | 1  |
# |           | BuildArgumentTable                               | GetModuleFileNameA, GetCommandLineA          | 2  |
# |           | AllocateMemory: one block for the argument table | GetProcessHeap, HeapAlloc                    | 2  |
# |           | ShutDown (the error channel is empty: no box)    | SetUnhandledExceptionFilter(NULL), ExitProcess | 2 |
# |           |                                                  |                                              | 12 |
# | /INSTALL  | RegisterUninstallEntry                           | RegCreateKeyExA, RegSetValueExA x2, RegCloseKey | 4 |
# | (Yes)     | EnsureShellSubfolder: GetShellFolder("programs") | RegOpenKeyExA, RegQueryValueExA, RegCloseKey | 3  |
# |           |   PathExists(group): the group is new            | FindFirstFileA (fails: no FindClose)         | 1  |
# |           |   MakeDirectory(group)                           | CreateDirectoryA                             | 1  |
# |           |   (an existing group instead: FindFirstFileA + FindClose, no CreateDirectoryA: same count) |  |    |
# |           | the two group shortcuts                          | CopyFileA x2                                 | 2  |
# |           | the Startup question                             | MessageBoxA                                  | 1  |
# |           | GetShellFolder("startup") + its shortcut         | RegOpenKeyExA, RegQueryValueExA, RegCloseKey, CopyFileA | 4 |
# |           | the final message                                | MessageBoxA                                  | 1  |
# |           |                                                  |                                  17 + 12 =   | 29 |
# | launcher  | the confirmation                                 | MessageBoxA                                  | 1  |
# | (Yes)     | EnvironmentValue("TEMP")                         | GetEnvironmentStringsA, FreeEnvironmentStringsA | 2 |
# |           | the copy of itself                               | CopyFileA                                    | 1  |
# |           | the copy locked and compared with the own file (each read whole in one block) | CreateFileA x2, ReadFile x2, CloseHandle (own file) | 5 |
# |           | the worker, then the copy's lock released        | CreateProcessA, CloseHandle                  | 2  |
# |           | EnvironmentValue("WINDIR")                       | GetEnvironmentStringsA, FreeEnvironmentStringsA | 2 |
# |           | LastFileByte(WININIT.INI)                        | CreateFileA (read); when the file exists also SetFilePointer, ReadFile, CloseHandle | 1 (4) |
# |           | AppendTextFile Open / Close (the 2-3 lines fit the 256-byte buffer: one write) | CreateFileA, SetFilePointer / WriteFile, CloseHandle | 4 |
# |           |                                                  |                   18 (21) + 12 =             | 30 (33) |
# | worker    | DeleteUninstallEntry                             | RegDeleteKeyA                                | 1  |
# | (all      | GetShellFolder("startup")                        | RegOpenKeyExA, RegQueryValueExA, RegCloseKey | 3  |
# | installed,| DeleteFileIfPresent(Startup shortcut)            | FindFirstFileA, FindClose, DeleteFileA       | 3  |
# | Startup   | GetShellSubfolderPath("programs")                | RegOpenKeyExA, RegQueryValueExA, RegCloseKey | 3  |
# | shortcut  | DeleteFileIfPresent x2 (group shortcuts)         | 2 x (FindFirstFileA, FindClose, DeleteFileA) | 6  |
# | present)  | RemoveShellSubfolder                             | the three registry calls, RemoveDirectoryA   | 4  |
# |           | DeleteFileIfPresent x5 (installed files, the tool last, deleted at the first try) | 5 x 3 | 15 |
# |           | RemoveDirIfPresent(installation directory)       | FindFirstFileA, FindClose, RemoveDirectoryA  | 3  |
# |           | the final message                                | MessageBoxA                                  | 1  |
# |           |                                                  |                                  39 + 12 =   | 51 |
#
# SetDefaultDllDirectories is not imported: it is called through the address
# GetProcAddress gives, and it is in the relay list by name so that Wine's
# relay log records that call too; so is SetProcessMitigationPolicy. These
# five calls are the only change in each mode's sequence since the library
# search was limited; the launcher's copy check adds its six file calls.
# PathExists is FindFirstFileA plus FindClose when something was found.
# GetLastError is asked only after a search found nothing (tolerant removal);
# with everything installed no search fails, so the worker needs none. It is
# an import like the others and is counted whenever it is called (Wine's relay
# log records it). Sleep appears only when the installed tool's file is still
# in use by the launcher: each failed attempt costs FindFirstFileA, FindClose,
# DeleteFileA and Sleep(100).

EVERY_MODE = Counter({"GetModuleHandleA": 1, "GetProcAddress": 2, "SetDefaultDllDirectories": 1,
                      "SetProcessMitigationPolicy": 1,
                      "SetUnhandledExceptionFilter": 2, "GetModuleFileNameA": 1, "GetCommandLineA": 1,
                      "GetProcessHeap": 1, "HeapAlloc": 1, "ExitProcess": 1})
# Called through a looked-up address, not an import; relayed by name.
LOOKED_UP = ["SetDefaultDllDirectories", "SetProcessMitigationPolicy"]
SHELL_FOLDER = Counter({"RegOpenKeyExA": 1, "RegQueryValueExA": 1, "RegCloseKey": 1})
FOUND_AND_DELETED = Counter({"FindFirstFileA": 1, "FindClose": 1, "DeleteFileA": 1})


def least_install(group_existed):
    calls = Counter({"RegCreateKeyExA": 1, "RegSetValueExA": 2, "RegCloseKey": 1})
    calls += SHELL_FOLDER
    calls += Counter({"FindFirstFileA": 1, "FindClose": 1} if group_existed else
                     {"FindFirstFileA": 1, "CreateDirectoryA": 1})
    calls += Counter({"CopyFileA": 2, "MessageBoxA": 1})
    calls += SHELL_FOLDER + Counter({"CopyFileA": 1, "MessageBoxA": 1})
    return calls + EVERY_MODE


def least_launcher(wininit_existed):
    environment = Counter({"GetEnvironmentStringsA": 1, "FreeEnvironmentStringsA": 1})
    calls = Counter({"MessageBoxA": 1}) + environment + Counter({"CopyFileA": 1, "CreateProcessA": 1})
    calls += Counter({"CreateFileA": 2, "ReadFile": 2, "CloseHandle": 2})  # the copy check
    calls += environment + Counter({"CreateFileA": 1})
    if wininit_existed:
        calls += Counter({"SetFilePointer": 1, "ReadFile": 1, "CloseHandle": 1})
    calls += Counter({"CreateFileA": 1, "SetFilePointer": 1, "WriteFile": 1, "CloseHandle": 1})
    return calls + EVERY_MODE


def least_worker():
    calls = Counter({"RegDeleteKeyA": 1})
    calls += SHELL_FOLDER + FOUND_AND_DELETED
    calls += SHELL_FOLDER + FOUND_AND_DELETED + FOUND_AND_DELETED
    calls += SHELL_FOLDER + Counter({"RemoveDirectoryA": 1})
    for _ in range(5):
        calls += FOUND_AND_DELETED
    calls += Counter({"FindFirstFileA": 1, "FindClose": 1, "RemoveDirectoryA": 1, "MessageBoxA": 1})
    return calls + EVERY_MODE


# Wine binds some kernel32 imports straight to their ntdll implementations and
# logs them under those names; both names go into the relay list.
IMPLEMENTATIONS = {"HeapAlloc": "RtlAllocateHeap", "HeapFree": "RtlFreeHeap", "GetLastError": "RtlGetLastWin32Error"}
IMPORT_NAMES = {v: k for k, v in IMPLEMENTATIONS.items()}

failures = []


def say(text=""):
    print(text, flush=True)


def fail(part, error):
    failures.append(part)
    say(f"{part}: FAILED: {error}")


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


# ---------------------------------------------------------------- builds

def configure(build_dir):
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build_dir), f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def build_release():
    if not (BUILD / "CMakeCache.txt").exists():
        configure(BUILD)
    done = subprocess.run(["cmake", "--build", str(BUILD), f"-j{os.cpu_count() or 2}",
                           "--target", "release", "minimal_box", "clicker"], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("the build failed:\n" + done.stdout[-3000:] + done.stderr[-3000:])
    checked = subprocess.run(["sha256sum", "-c", "REMOVE.EXE.sha256"], cwd=BUILD, capture_output=True, text=True)
    return checked.returncode == 0


def start_clean_builds(jobs):
    """Two clean builds of the release in two temporary folders of different
    names and depths, running in the background; returns (folder, [(dir, process)])."""
    top = Path(tempfile.mkdtemp(prefix="kalmaris-bench."))
    dirs = [top / "first", top / "second" / "build-of-the-release"]
    script = ('cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$3" >/dev/null '
              '&& cmake --build "$2" -j"$4" --target release kit >/dev/null')
    processes = [(d, subprocess.Popen(["bash", "-c", script, "build", str(REPO), str(d), str(TOOLCHAIN), str(jobs)],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)) for d in dirs]
    return top, processes


def finish_builds(processes):
    """Waits for the clean builds: [(folder, exit code, error output)]."""
    done = []
    for folder, process in processes:
        errors = b"" if process.stderr.closed else process.communicate()[1]
        done.append((folder, process.wait(), errors.decode("utf-8", "replace")))
    return done


# ---------------------------------------------------------------- the file

def c_string(image, rva):
    offset = image.rva_to_offset(rva)
    return image.data[offset:image.data.index(b"\0", offset)].decode("latin-1")


def import_slots(image):
    """[(dll, name, IAT slot address)] from the import descriptors."""
    rva, _ = image.directory(pe.DIR_IMPORT)
    slots = []
    offset = image.rva_to_offset(rva)
    while True:
        lookup, _, _, name_rva, first_thunk = struct.unpack_from("<IIIII", image.data, offset)
        if not (lookup or name_rva or first_thunk):
            break
        dll = c_string(image, name_rva)
        thunk = image.rva_to_offset(lookup or first_thunk)
        index = 0
        while True:
            (entry,) = struct.unpack_from("<I", image.data, thunk + 4 * index)
            if not entry:
                break
            name = (f"#{entry & 0xFFFF}" if entry & 0x80000000 else
                    c_string(image, (entry & 0x7FFFFFFF) + 2))
            slots.append((dll, name, image.image_base + first_thunk + 4 * index))
            index += 1
        offset += 20
    return slots


def slot_references(image, text, slot):
    """The uses of an IAT slot in .text: {kind: count}. A `jmp [slot]` is a
    thunk; it counts only when some call or jump reaches it."""
    code = image.data[text.raw_offset:text.raw_offset + min(text.virtual_size, text.raw_size)]
    base = image.image_base + text.virtual_address
    needle = struct.pack("<I", slot)
    kinds = Counter()
    at = code.find(needle)
    while at >= 0:
        op = code[at - 2:at]
        if op == b"\xff\x15":
            kinds["call"] += 1
        elif op == b"\xff\x25":
            thunk = base + at - 2
            reached = 0
            for i in range(len(code) - 4):
                if code[i] in (0xE8, 0xE9) and base + i + 5 + struct.unpack_from("<i", code, i + 1)[0] == thunk:
                    reached += 1
            kinds["via thunk" if reached else "unreached thunk"] += reached or 1
        elif code[at - 1:at] == b"\xa1" or (op[:1] == b"\x8b" and op[1] & 0xC7 == 0x05):
            kinds["load"] += 1
        else:
            kinds["other"] += 1
        at = code.find(needle, at + 1)
    return kinds


def report_file(path):
    image = pe.PEFile.load(path)
    size = path.stat().st_size
    say(f"size REMOVE.EXE: {size} bytes ({size / 1024:.1f} KB)")
    say(f"headers: {min(s.raw_offset for s in image.sections if s.raw_size)} bytes")
    for s in image.sections:
        say(f"section {s.name}: virtual {s.virtual_size} bytes, raw {s.raw_size} bytes")
    # The section with the code (executable); it may hold constants and imports too.
    text = next(s for s in image.sections if s.characteristics & 0x20000000)
    unused = []
    by_dll = {}
    for dll, name, slot in import_slots(image):
        kinds = slot_references(image, text, slot)
        used = sum(n for k, n in kinds.items() if k != "unreached thunk")
        if not used:
            unused.append(f"{dll}!{name}")
        by_dll.setdefault(dll, []).append(f"{name}[{used}]")
    for dll, names in by_dll.items():
        say(f"imports {dll} ({len(names)}): " + " ".join(names))
    say("imports never called: " + (", ".join(unused) if unused else "none"))
    return size, unused, [name for _, name, _ in import_slots(image)]


# ---------------------------------------------------------------- Wine

def relay_list(imports):
    names = list(imports) + LOOKED_UP
    names += [IMPLEMENTATIONS[n] for n in imports if n in IMPLEMENTATIONS]
    return ";".join(names)


def import_name(call):
    return IMPORT_NAMES.get(call.name, call.name)


def describe(call):
    strings = [s.decode("cp1250", "replace") for s in call.strings if s is not None]
    shown = f'"{strings[0]}"' if strings else ",".join(call.args[:2])
    result = "?" if call.retval is None else f"{call.retval:#x}"
    return f"{import_name(call)}({shown}) -> {result}"


def report_calls(mode, calls, least, notes):
    actual = Counter(import_name(c) for c in calls)
    total, wanted = sum(actual.values()), sum(least.values())
    say(f"calls {mode}: {total} (least {wanted})")
    say(f"calls {mode} by function: " + ", ".join(
        f"{name} {actual[name]}" + (f"/{least[name]}" if actual[name] != least[name] else "")
        for name in sorted(set(actual) | set(least))))
    for name in sorted(set(actual) | set(least)):
        if actual[name] > least[name]:
            extra = [c for c in calls if import_name(c) == name][least[name]:] if least[name] else \
                [c for c in calls if import_name(c) == name]
            say(f"  extra {name} x{actual[name] - least[name]}: " + "; ".join(describe(c) for c in extra[:4])
                + (" ..." if len(extra) > 4 else ""))
        elif actual[name] < least[name]:
            say(f"  missing {name} x{least[name] - actual[name]} (the run did not take the expected path)")
    for note in notes:
        say("  " + note)
    return total == wanted


def tool_retries(calls, tool):
    """Failed deletions of the installed tool (still in use by the launcher)."""
    return [c for c in calls if import_name(c) == "DeleteFileA" and c.string(0) and
            c.string(0).lower() == tool.lower() and c.retval == 0]


_STAMPED = re.compile(r"^\s*(\d+)\.(\d{3}):([0-9a-f]{4,8}):([0-9a-f]{4,8}):(.*)$")
_BOX_FILE = re.compile(r"^box\.(\d+)$")
_LOADED = re.compile(r'trace:loaddll:\w+ Loaded L"((?:[^"\\]|\\.)*)"')
# No relay in the timed runs: it would slow the start of every process down.
TIMING_DEBUG = "-all,+timestamp,+pid,+loaddll"
# The program's own work before its first box is taken from a few runs with
# the relay log on, recording MessageBoxA only.
OWN_WORK_DEBUG = "-all,+timestamp,+pid,+relay"
OWN_WORK_RUNS = 3


def host_process(machine, exe_name):
    """The host process running the Windows program exe_name in this
    machine: its command line names the program and it maps a file of the
    machine's prefix (other Wine sessions on the host are left alone)."""
    prefix = os.path.realpath(machine.prefix)
    wanted = exe_name.lower().encode()
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/cmdline", "rb") as f:
                if wanted not in f.read().lower():
                    continue
            with open(f"/proc/{entry.name}/maps") as f:
                if prefix in f.read():
                    return int(entry.name)
        except OSError:
            continue
    return None


def cpu_ms(host_pid):
    """Processor time of every live thread of a host process (schedstat, ns)."""
    total = 0
    for task in os.listdir(f"/proc/{host_pid}/task"):
        with contextlib.suppress(OSError):
            with open(f"/proc/{host_pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
    return total / 1e6


def stamped_lines(log, pid):
    """(ms on Wine's +timestamp clock, text) of one process's trace lines."""
    for line in log.splitlines():
        m = _STAMPED.match(line)
        if m and int(m.group(3), 16) == pid:
            yield int(m.group(1)) * 1000 + int(m.group(2)), m.group(5)


def wine_clock(log, pid):
    """Wine's +timestamp clock (1 ms steps) from the process's first trace
    line (the program being mapped, before any DLL) to the loading of the
    display driver, which the first MessageBoxA call does at once; and the
    DLLs loaded before it. (None, DLLs) when the driver line is missing."""
    start, dlls = None, []
    for stamp, text in stamped_lines(log, pid):
        start = stamp if start is None else start
        loaded = _LOADED.search(text)
        if loaded:
            name = loaded.group(1).rsplit("\\", 1)[-1].lower()
            if name == "winex11.drv":
                return stamp - start, dlls
            if not name.endswith(".exe"):
                dlls.append(name)
    return None, dlls


def own_work(log, pid):
    """From the program's entry (relay: "Starting thread proc") to its first
    MessageBoxA call, on Wine's clock."""
    entry = None
    for stamp, text in stamped_lines(log, pid):
        if text.startswith("Starting thread proc") and entry is None:
            entry = stamp
        elif text.startswith("Call ") and ".MessageBoxA(" in text and entry is not None:
            return stamp - entry
    return None


def timed_run(machine, command_line, cwd, answers, environment, exe_name, timeout=60):
    """Starts a program through the clicker with every box held until we let
    it go (the clicker's screenshot mode, without the pictures). At the first
    box the program's processor time is read. Returns (processor ms, Wine
    clock ms or None, DLLs loaded before the box, the relay log's own work ms
    or None)."""
    m = machine
    for old in list(m.control.glob("box.*")) + list(m.control.glob("shot.*")):
        old.unlink()
    m.request("answers", "1", *answers)
    log_offset = m.log_path.stat().st_size
    reply = m.request("start", command_line, "", cwd, environment)
    number, pid = m.request_number, int(reply[0])
    finished = m.control / f"finished.{number}"
    released, cpu = set(), None
    deadline = time.time() + timeout
    while not finished.exists():
        for path in m.control.iterdir():
            box = _BOX_FILE.match(path.name)
            if not box or box.group(1) in released:
                continue
            if cpu is None:
                host_pid = host_process(m, exe_name)
                if host_pid is None:
                    raise RuntimeError(f"{exe_name}: no host process found at its first box")
                cpu = cpu_ms(host_pid)
            (m.control / f"shot.{box.group(1)}").write_text("ok\n")
            released.add(box.group(1))
        if time.time() > deadline:
            raise RuntimeError(f"{command_line} still running after {timeout} s")
        time.sleep(0.005)
    if cpu is None:
        raise RuntimeError(f"{command_line} showed no box")
    with open(m.log_path, "rb") as f:
        f.seek(log_offset)
        log = f.read().decode("latin-1")
    return (cpu,) + wine_clock(log, pid) + (own_work(log, pid),)


def place_product(machine):
    """REMOVE.EXE and the prepared product files in the installation directory."""
    from kalmaris import INSTALL_DIR, PRODUCT_FILES
    from winetest import program
    machine.install(program("REMOVE.EXE"), INSTALL_DIR)
    for name in PRODUCT_FILES[:-1]:
        machine.write_file(INSTALL_DIR + "\\" + name, "contents of " + name)


def standard_cycle(m, imports, results):
    """Install (Yes), then the registered uninstall command (Yes, OK), with
    every import of REMOVE.EXE in the relay log."""
    from kalmaris import INSTALL_DIR, SHELL_FOLDERS, TOOL, UNINSTALL_KEY

    # The relay list is read by each process at its start; this machine is ours.
    m.reg_set(r"HKCU\Software\Wine\Debug", "RelayInclude", relay_list(imports))
    place_product(m)
    group = m.reg_string(SHELL_FOLDERS, "Programs") + r"\Kalmaris"

    group_existed = m.exists(group)
    install = m.run(TOOL, ["/INSTALL"], cwd=INSTALL_DIR, answers=["yes", "ok"])
    results["install"] = report_calls(
        "install", install.calls, least_install(group_existed),
        [f"(group folder {'existed' if group_existed else 'new'}; answered Yes; "
         f"{len(install.boxes)} boxes, exit code {install.exit_code})"])

    wininit_existed = m.exists(r"C:\windows\wininit.ini")
    command = m.reg_string(UNINSTALL_KEY, "UninstallString")
    cycle = m.run(TOOL, command_line=command, cwd=r"C:\windows", answers=["yes", "ok"], timeout=120)
    launcher = [c for c in cycle.calls if c.pid == cycle.pid]
    worker = [c for c in cycle.calls if c.pid != cycle.pid]
    results["launcher"] = report_calls(
        "launcher", launcher, least_launcher(wininit_existed),
        [f"(started as {command} from C:\\windows; WININIT.INI "
         f"{'present' if wininit_existed else 'absent'} beforehand; answered Yes)"])
    retries = tool_retries(worker, TOOL.encode("cp1250"))
    notes = ["(from the temporary copy; everything installed, Startup shortcut present; "
             f"{cycle.processes} processes, exit codes {sorted(cycle.exit_codes.values())})"]
    if retries:
        notes.append(f"{len(retries)} failed deletion(s) of the installed REMOVE.EXE while the launcher still "
                     f"ran: {len(retries)} x (FindFirstFileA, FindClose, DeleteFileA, Sleep) above the least")
    results["worker"] = report_calls("worker", worker, least_worker(), notes)
    removed = not m.exists(INSTALL_DIR) and not m.exists(group) and m.reg_values(UNINSTALL_KEY) is None
    say(f"cycle removed everything: {'yes' if removed else 'no'}")
    called = {import_name(c) for c in install.calls + cycle.calls}
    say("imports not called in the cycle: " + (", ".join(n for n in imports if n not in called) or "none")
        + " (their code handles the paths the cycle does not take)")
    results["calls_ok"] = all(results[k] for k in ("install", "launcher", "worker"))


def session_block(machine, debug):
    """The session's environment with WINEDEBUG replaced, as a block."""
    entries = [e for e in machine.session_environment() if not e.upper().startswith(b"WINEDEBUG=")]
    return b"\0".join(entries + [b"WINEDEBUG=" + debug.encode()]) + b"\0"


def median_line(what, label, values):
    values = [v for v in values if v is not None]
    if not values:
        say(f"first box {what} {label}: not measured")
        return None
    middle = statistics.median(values)
    say(f"first box {what} {label}: median {middle:.0f} ms over {len(values)} runs "
        f"(min {min(values):.0f}, max {max(values):.0f})")
    return middle


def first_box_times(m, runs, results):
    """REMOVE.EXE /INSTALL, MINIMAL_BOX.EXE and the REMOVE.EXE launcher in
    turn, runs rounds; medians, their ratios and the median of each round's
    ratio, for processor time and Wine's clock."""
    from kalmaris import INSTALL_DIR, SHELL_FOLDERS, TOOL, UNINSTALL_KEY
    from winetest import WineError, program

    minimal = m.install(program("MINIMAL_BOX.EXE"), r"C:\bench")
    place_product(m)
    group = m.reg_string(SHELL_FOLDERS, "Programs") + r"\Kalmaris"
    programs = [("install", "REMOVE.EXE /INSTALL", f'"{TOOL}" /INSTALL', INSTALL_DIR, ["no", "ok"], "REMOVE.EXE"),
                ("minimal", "MINIMAL_BOX.EXE", minimal, r"C:\bench", ["ok"], "MINIMAL_BOX.EXE"),
                ("launcher", "REMOVE.EXE (launcher)", f'"{TOOL}"', r"C:\windows", ["no"], "REMOVE.EXE")]

    def one_round(environment, keep):
        for key, _, command_line, cwd, answers, exe_name in programs:
            if key == "install":  # every timed install does a first install's work
                m.remove(group)
                with contextlib.suppress(WineError):
                    m.reg_delete_key(UNINSTALL_KEY)
            keep[key].append(timed_run(m, command_line, cwd, answers, environment, exe_name))

    timed = {key: [] for key, *_ in programs}
    environment = session_block(m, TIMING_DEBUG)
    for _ in range(runs):
        one_round(environment, timed)
    for index, what in ((0, "cpu"), (1, "clock")):
        medians = {key: median_line(what, label, [sample[index] for sample in timed[key]])
                   for key, label, *_ in programs}
        for key, label in (("install", "/INSTALL"), ("launcher", "launcher")):
            pairs = [a[index] / b[index] for a, b in zip(timed[key], timed["minimal"])
                     if a[index] is not None and b[index]]
            if medians[key] is None or not medians["minimal"] or not pairs:
                continue
            results[f"{what}_ratio_{key}"] = statistics.median(pairs)
            say(f"first box {what} ratio {label} / minimal: {medians[key] / medians['minimal']:.2f} (medians), "
                f"{statistics.median(pairs):.2f} (median of the {len(pairs)} rounds' ratios)")

    own = {key: [] for key, *_ in programs}
    m.reg_set(r"HKCU\Software\Wine\Debug", "RelayInclude", "MessageBoxA")
    environment = session_block(m, OWN_WORK_DEBUG)
    for _ in range(OWN_WORK_RUNS):
        one_round(environment, own)
    say("first box own work (entry to the MessageBoxA call, relay log on): " + ", ".join(
        f"{label} {statistics.median(v):.0f} ms" if v else f"{label} ?"
        for (key, label, *_), v in ((p, [s[3] for s in own[p[0]] if s[3] is not None]) for p in programs)))

    loaded = {key: {tuple(sample[2]) for sample in timed[key]} for key in timed}
    sets = {key: frozenset(dll for order in orders for dll in order) for key, orders in loaded.items()}
    if len(set(sets.values())) == 1:
        say(f"first box DLLs loaded before it: the same {len(sets['minimal'])} for all three "
            f"({', '.join(sorted(sets['minimal']))})")
    else:
        for key, label, *_ in programs:
            say(f"first box DLLs loaded before it, {label}: {', '.join(sorted(sets[key]))}")
    say("  (cpu: processor time of the program's host process, all its threads, from its creation until the "
        "clicker sees the first box, which it holds: the Wine loader's Unix start, loading and initialising "
        "every DLL, the program's own work (for /INSTALL the registry and file steps before its question) and "
        "drawing the box (REMOVE.EXE's boxes have more text, an icon or two buttons); not the wineserver's "
        "share.")
    say("   clock: wall time on Wine's +timestamp clock, 1 ms steps, from the program's mapping, before any DLL, "
        "to the display driver's loading inside the first MessageBoxA call: no Unix start, no drawing.")
    say("   Both vary with the load of the host (the virtual machine's processors are shared); a round runs the "
        "three programs one after the other, so the median of the rounds' ratios follows the programs rather "
        "than the load: the targets use it.)")


def wine_parts(imports, runs, clean_builds):
    from kalmaris import MODULES
    from winetest import Machine

    results = {}
    machine = Machine("bench", MODULES + ["minimal_box.exe"])
    machine.start()
    try:
        try:
            standard_cycle(machine, imports, results)
        except Exception as error:
            fail("Win32 calls", error)
        # The clean builds ran meanwhile; the timing wants the processor to itself.
        results["builds"] = finish_builds(clean_builds)
        try:
            first_box_times(machine, runs, results)
        except Exception as error:
            fail("first box", error)
    finally:
        machine.close()
    return results


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description="Benchmark of the release REMOVE.EXE.")
    parser.add_argument("--runs", type=int, default=9, help="timed runs of each program (default 9)")
    parser.add_argument("--no-rebuilds", action="store_true", help="skip the two clean builds")
    options = parser.parse_args()
    started = time.time()
    jobs = os.cpu_count() or 2

    say("== release build")
    try:
        checksum_ok = build_release()
        say(f"release: {BUILD / 'REMOVE.EXE'} (sha256sum -c REMOVE.EXE.sha256: {'OK' if checksum_ok else 'FAILED'})")
    except Exception as error:  # nothing else can be measured without it
        fail("release build", error)
        return 1

    clean_top, clean_builds = (None, []) if options.no_rebuilds else start_clean_builds(max(1, jobs // 2))

    say("== the file")
    size, unused = None, None
    try:
        size, unused, imports = report_file(BUILD / "REMOVE.EXE")
    except Exception as error:
        fail("the file", error)
        imports = []

    say("== Win32 calls under Wine, and the time to the first box")
    results = {}
    try:
        results = wine_parts(imports, options.runs, clean_builds)
    except Exception as error:
        fail("Wine", error)

    say("== rebuilds")
    identical = None
    if options.no_rebuilds:
        say("rebuilds: skipped")
    else:
        try:
            builds = results.get("builds") or finish_builds(clean_builds)
            digests = []
            for index, (folder, code, errors) in enumerate(builds, 1):
                if code != 0:
                    raise RuntimeError(f"clean build {index} in {folder} failed:\n{errors[-2000:]}")
                digests.append(sha256(folder / "REMOVE.EXE"))
                say(f"rebuild {index} ({folder.relative_to(clean_top)}): sha256 {digests[-1]}")
            kits = [{name: sha256(folder / "kit" / name) for name in KIT_FILES} for folder, _, _ in builds]
            for name in KIT_FILES:
                same = kits[0][name] == kits[-1][name]
                say(f"kit/{name}: sha256 {kits[0][name]}" + ("" if same else f", then {kits[-1][name]}: DIFFERENT"))
            identical = len(set(digests)) == 1 and all(kit == kits[0] for kit in kits)
            say(f"identical: {'yes' if identical else 'no'}")
            say(f"same as {BUILD.name}/REMOVE.EXE: {'yes' if sha256(BUILD / 'REMOVE.EXE') in digests else 'no'}")
        except Exception as error:
            fail("rebuilds", error)
        finally:
            shutil.rmtree(clean_top, ignore_errors=True)

    say("== targets")

    def verdict(ok):
        return "n/a" if ok is None else ("met" if ok else "MISSED")

    if size is not None:
        say(f"target size <= {SIZE_LIMIT:,} bytes: {size:,} bytes: {verdict(size <= SIZE_LIMIT)}")
    say(f"target no uncalled import: {len(unused) if unused is not None else '?'} uncalled: "
        f"{verdict(None if unused is None else not unused)}")
    say(f"target call counts equal to the least: {verdict(results.get('calls_ok'))}")
    for key, label in (("install", "/INSTALL"), ("launcher", "launcher")):
        ratio = results.get(f"cpu_ratio_{key}")
        say(f"target first-box ratio (cpu, rounds' median) {label} <= {FIRST_BOX_RATIO}: "
            + (f"{ratio:.2f}: {verdict(ratio <= FIRST_BOX_RATIO)}" if ratio is not None else "n/a"))
    say(f"target identical rebuilds: {verdict(identical)}")
    say(f"bench time: {time.time() - started:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
