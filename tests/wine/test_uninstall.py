"""The uninstall on real Win32 (Wine): the launcher started as the system's
uninstall command does, the worker it starts from the temporary copy, and
the deletion of that copy when WININIT.INI is processed.

The whole cycle is run and checked by KALCHECK.EXE, the check for a real
Windows, started plainly with `wine`, once for every row of
KALMARIS_WINE_ROWS (a Windows version in a 32-bit or 64-bit prefix, the
unsigned or the signed release, see winetest.CYCLE_ROWS); scripts/compat.sh
runs it for every version Wine knows."""

import os
import re
import struct
import sys
import tempfile
import unittest
from pathlib import Path

from faulty import FAULTS
from kalmaris import (CANNOT_START, CONFIRMATION, DISPLAY_NAME, INSTALL_CAPTION, INSTALL_DIR, INSTALL_FAILED, MODULES,
                      PRODUCT_FILES, SHELL_FOLDERS, STARTUP_QUESTION, TOOL, UNINSTALL_CAPTION, UNINSTALL_FAILED,
                      UNINSTALL_KEY, UNINSTALL_OK, ProductTestCase, cp, kit_file)
from winetest import CYCLE_ROWS, DEFAULT_VERSION, WINDOWS_VERSIONS, program

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "release"))
import signing  # noqa: E402


class Launcher(ProductTestCase):

    def test_declined(self):
        result = self.machine.run(TOOL, cwd=r"C:\windows", answers=["no"])
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(len(result.boxes), 1)
        self.assert_box(result.boxes[0], UNINSTALL_CAPTION, CONFIRMATION, 36)
        self.assertEqual(result.boxes[0].result, 7)
        self.assertEqual(result.calls_named("CopyFileA"), [])
        self.assertEqual(result.calls_named("CreateProcessA"), [])
        self.assertFalse(self.machine.exists(self.copy))
        self.assertEqual(self.wininit_bytes(), b"")
        self.assertEqual(result.processes, 1)

    def test_accepted_starts_the_copy_and_schedules_its_deletion(self):
        before = self.wininit_bytes()
        result = self.machine.run(TOOL, cwd=r"C:\windows", answers=["yes", "ok"], timeout=120)
        self.assertEqual(result.exit_code, 0)
        self.assert_box(result.boxes[0], UNINSTALL_CAPTION, CONFIRMATION, 36)
        copy = self.copy.encode("cp1250")
        copies = result.calls_named("CopyFileA", pid=result.pid)
        self.assertEqual([(c.string(0), c.string(1), c.arg(2)) for c in copies], [(TOOL.encode(), copy, 0)])
        started = result.calls_named("CreateProcessA", pid=result.pid)
        self.assertEqual(len(started), 1)
        self.assertEqual(started[0].arg(0), 0)  # no application name
        self.assertEqual(started[0].string(1), b'"' + copy + b'" /REMOVE')
        self.assertEqual(started[0].arg(4), 0)  # no handle inheritance
        self.assertEqual(started[0].arg(5), 0x30)
        self.assertEqual(started[0].arg(6), 0)  # own environment
        self.assertEqual(started[0].string(7), self.temp.encode("cp1250"))  # the copy's folder, not the launcher's
        self.assertEqual(result.processes, 2)
        # The worker ran from the copy: nothing was installed, so it reports failure.
        worker_boxes = [b for b in result.boxes if b.pid != result.pid]
        self.assertEqual([(b.caption, b.text, b.style) for b in worker_boxes],
                         [(UNINSTALL_CAPTION, UNINSTALL_FAILED, 0)])
        self.assertEqual(sorted(result.exit_codes.values()), [0, 0])
        # Exactly the two lines, appended after what was there.
        lines = b"[rename]\r\nnul=" + copy + b"\r\n"
        separator = b"\r\n" if before and not before.endswith(b"\n") else b""
        self.assertEqual(self.wininit_bytes(), before + separator + lines)
        self.assertEqual(result.writes_to(self.wininit), [len(separator + lines)])
        opened = [c for c in result.calls_named("CreateFileA") if c.arg(1) == 0x40000000]
        self.assertEqual([(c.arg(2), c.arg(4), c.arg(5)) for c in opened], [(0, 4, 0x80)])
        self.assertTrue(self.machine.exists(self.copy))
        self.machine.reboot()
        self.assertFalse(self.machine.exists(self.copy))

    def test_existing_wininit_without_final_line_break(self):
        self.machine.write_file(self.wininit, b"[rename]\r\nnul=C:\\OTHER.TMP")
        self.machine.run(TOOL, cwd=r"C:\windows", answers=["yes", "ok"], timeout=120)
        self.assertEqual(self.wininit_bytes(),
                         b"[rename]\r\nnul=C:\\OTHER.TMP\r\n[rename]\r\nnul=" + self.copy.encode("cp1250") + b"\r\n")

    def test_copy_touched_by_another_program(self):
        # DEBUG_LAUNCHER.EXE runs the uninstall command under the debugging
        # interface and, at a breakpoint, acts as another program of the user.
        # It tries to put MINIMAL_BOX.EXE's bytes into the copy: while the
        # launcher is at CreateProcessA (it holds the copy open then, so the
        # attempt is refused), or right after CopyFileA has returned (it
        # succeeds, and the launcher finds the copy changed and refuses it at
        # once). Or, right after CopyFileA, it holds the copy open as a scanner
        # does: for 300 ms (the launcher tries again and starts it), or until
        # the launcher has ended (it gives up after 20 tries, 100 ms apart).
        # At CreateProcessA: a sharing violation, access denied, a sharing violation.
        rows = [("createprocess", ["overwrite error 32", "replace error 5", "delete error 32"], True, (0, 0)),
                ("copyfile", ["overwrite ok"], False, (0, 0)),
                ("hold300", ["hold ok", "released"], True, (1, 19)),
                ("hold", ["hold ok"], False, (20, 20))]
        for point, attack_lines, runs, sleeps in rows:
            with self.subTest(point=point):
                self.use(self.machine_for("win32", None))
                m = self.machine
                self.install("no")
                debugger = m.install(program("DEBUG_LAUNCHER.EXE"), r"C:\probe")
                payload = m.install(program("MINIMAL_BOX.EXE"), r"C:\probe")
                command = m.reg_string(UNINSTALL_KEY, "UninstallString")
                result = m.run(debugger, command_line=f'{debugger} {point} "{self.copy}" {payload} '
                               f'C:\\probe\\attack.txt {command}', cwd=r"C:\windows", answers=["yes", "ok"],
                               timeout=120)
                attack = m.read_file(r"C:\probe\attack.txt").decode("ascii").splitlines()
                self.assertEqual(result.exit_code, 0, attack)
                self.assertRegex(attack[0], r"^hit [0-9a-f]{8}$")
                self.assertEqual(attack[1:], attack_lines + ["exit 0"])
                launcher = result.calls_named("CopyFileA")[0].pid
                launcher_boxes = [(b.caption, b.text, b.style) for b in result.boxes if b.pid == launcher]
                worker_boxes = [(b.caption, b.text, b.style) for b in result.boxes if b.pid != launcher]
                waits = result.calls_named("Sleep", pid=launcher)
                self.assertTrue(sleeps[0] <= len(waits) <= sleeps[1], len(waits))
                self.assertTrue(all(c.arg(0) == 100 for c in waits))
                if runs:
                    self.assertEqual(launcher_boxes, [(UNINSTALL_CAPTION, CONFIRMATION, 36)])
                    self.assertEqual(worker_boxes, [(UNINSTALL_CAPTION, UNINSTALL_OK, 0)])
                    self.assertEqual(m.read_file(self.copy), program("REMOVE.EXE").read_bytes())
                    self.assert_removed()
                    self.assertIn(b"nul=" + self.copy.encode("cp1250") + b"\r\n", self.wininit_bytes())
                else:
                    self.assertEqual(launcher_boxes, [(UNINSTALL_CAPTION, CONFIRMATION, 36),
                                                      (UNINSTALL_CAPTION, CANNOT_START, 16)])
                    self.assertEqual(worker_boxes, [])
                    self.assertEqual(result.calls_named("CreateProcessA"), [])
                    self.assertEqual(result.processes, 2)  # the debugger and the launcher
                    self.assert_installed(startup_shortcut=False)
                    self.assertEqual(self.wininit_bytes(), b"")

    def test_faulty_builds_show_their_fault(self):
        # The faulty builds the checker must fail (faulty.py), each shown
        # here to have its fault, so that a patch that no longer hits after a
        # change of the compiler output is noticed.
        folder = tempfile.TemporaryDirectory(prefix="kalmaris-faulty.")
        self.addCleanup(folder.cleanup)
        tool = program("REMOVE.EXE").read_bytes()
        old_line = b"[rename]\r\nnul=C:\\OTHER.TMP\r\n"

        def launcher(answers, env=None, relay_modules=None):
            return lambda: self.machine.run(TOOL, cwd=r"C:\windows", answers=answers, env=env, timeout=120,
                                            relay_modules=relay_modules)

        def startup_made(result):
            self.assertEqual(result.boxes[0].text, STARTUP_QUESTION)
            self.assertEqual(result.boxes[0].result, 7)
            self.assert_installed(startup_shortcut=True)

        def went_on(result):
            self.assert_box(result.boxes[0], UNINSTALL_CAPTION, CONFIRMATION, 36)
            self.assertEqual(result.boxes[0].result, 7)
            self.assertEqual(len(result.calls_named("CopyFileA", pid=result.pid)), 1)
            self.assertEqual(len(result.calls_named("CreateProcessA", pid=result.pid)), 1)
            self.assertIn(b"nul=" + self.copy.encode("cp1250"), self.wininit_bytes())

        def exit_code_1(result):
            self.assertEqual(result.boxes[0].result, 7)
            self.assertEqual(result.exit_code, 1)
            self.assertEqual(result.exit_codes, {result.pid: 1})

        def wininit_anew(result):
            self.assertEqual(self.wininit_bytes(), b"[rename]\r\nnul=" + self.copy.encode("cp1250") + b"\r\n")

        def old_copy_kept(result):
            self.assertEqual(result.box_texts(), [(UNINSTALL_CAPTION, CONFIRMATION), (UNINSTALL_CAPTION, CANNOT_START)])
            self.assertEqual(self.machine.read_file(self.copy), b"an earlier copy")
            self.assertEqual([c.arg(2) for c in result.calls_named("CopyFileA")], [1])

        def unquoted(result):
            started = result.calls_named("CreateProcessA", pid=result.pid)
            self.assertEqual([c.string(1) for c in started], [self.copy.encode("cp1250") + b" /REMOVE"])

        # With a blank in TEMP, Windows splits the unquoted line: the copy
        # runs with "temp\~REMOVE.TMP" as its first argument and asks again.
        # Wine hands the copy a quoted line instead, so the fault is shown
        # through what both systems do alike: the first word of the line
        # with ".exe" appended, when such a program exists, is the one
        # started; here the tool itself under that name, which asks again.
        blank_temp = r"C:\users\Public\Kalcheck temp"

        def tool_at_first_word(m):
            m.host_path(blank_temp).mkdir(parents=True)
            m.install(program("REMOVE.EXE"), r"C:\users\Public", "Kalcheck.exe")

        def asked_again(result):
            self.assertEqual([(b.text, b.style, b.result) for b in result.boxes],
                             [(CONFIRMATION, 36, 6), (CONFIRMATION, 36, 7)])
            self.assertNotEqual(result.boxes[1].pid, result.pid)
            self.assertEqual(result.processes, 2)

        # (fault, arrange, run, what shows the fault)
        rows = [("startup_after_no", None, lambda: self.install("no"), startup_made),
                ("uninstall_after_no", None, launcher(["no", "ok"]), went_on),
                ("exit_code_1", None, launcher(["no"]), exit_code_1),
                ("wininit_anew", lambda m: m.write_file(self.wininit, old_line), launcher(["yes", "ok"]),
                 wininit_anew),
                ("copy_not_replaced", lambda m: m.write_file(self.copy, b"an earlier copy"), launcher(["yes", "ok"]),
                 old_copy_kept),
                ("unquoted_worker", None, launcher(["yes", "ok"]), unquoted),
                ("unquoted_worker", tool_at_first_word,
                 launcher(["yes", "no"], {"TEMP": blank_temp, "TMP": blank_temp}, MODULES + ["kalcheck.exe"]),
                 asked_again)]
        self.assertEqual({name for name, *_ in rows}, set(FAULTS))
        for name, arrange, run, shows in rows:
            with self.subTest(name):
                patched = Path(folder.name) / (name + ".exe")
                patched.write_bytes(FAULTS[name](tool))
                self.assertEqual(patched.stat().st_size, len(tool))
                self.use(self.machine_for("win32", None), patched)
                if arrange:
                    arrange(self.machine)
                shows(run())


class WholeCycle(ProductTestCase):

    def cycle(self):
        """KALCHECK.EXE runs and checks every path of the cycle: the install
        with the Startup question answered No, the uninstall, started as the
        system's list of installed programs does, answered No, then Yes (with
        TEMP naming a folder with a blank), the install answered Yes, the
        uninstall answered Yes; then the next system start. Besides its
        report, what the checker cannot see: the calls each of the tool's
        processes made."""
        before = self.wininit_bytes()
        code, report, calls = self.product.check()
        self.assertEqual(code, 0, "\n".join(report))
        self.assertEqual(report[-1], "Result: every check passed (exit code 0)")
        self.assertIn(f", {len(self.tool_bytes)} bytes", report[4])  # the REMOVE.EXE checked is the one placed
        # Each box comes from its own process (installs, launchers, workers
        # run from the temporary copy), which limited the search for
        # libraries to the system folder and refused junctions made by users
        # before its first box.
        boxes = [c for c in calls if c.name == "MessageBoxA"]
        self.assertEqual([c.arg(3) for c in boxes], [4, 0, 36, 36, 0, 4, 0, 36, 0])
        first_boxes = [0, 2, 3, 4, 5, 7, 8]
        self.assertEqual(len({boxes[i].pid for i in first_boxes}), len(first_boxes))
        for i in first_boxes:
            self.assert_hardened_first(calls, boxes[i].pid)
        self.assertEqual([c.arg(0) for c in calls if c.name == "ExitProcess"], [0] * 7)
        deleted = [c.string(0) for c in calls if c.name == "DeleteFileA"]
        self.assertEqual(deleted[-5:], [(INSTALL_DIR + "\\" + name).encode("cp1250") for name in PRODUCT_FILES])
        # The worker with a blank in its folder's name got its switch.
        started = [c.string(1) for c in calls if c.name == "CreateProcessA"]
        self.assertEqual(started[0], f'"{self.product.blank_copy}" /REMOVE'.encode("cp1250"))
        # WININIT.INI: what was there, the checker's own line, both uninstalls' lines.
        lines = [f"[rename]\r\nnul={copy}\r\n".encode("cp1250")
                 for copy in (r"C:\kalcheck\KALCHECK.NUL", self.product.blank_copy, self.copy)]
        if "(NT family)" in report[1]:  # the checker took its own line out again
            del lines[0]
        self.assertEqual(self.wininit_bytes(), before + b"".join(lines))
        # Wine's restart reads the first [rename] section alone; Windows 9x's
        # WININIT.EXE goes through every line, so the sections are joined first.
        joined = b"[rename]\r\n" + b"".join(line for line in self.wininit_bytes().splitlines(keepends=True)
                                             if line.strip().lower() != b"[rename]")
        self.machine.write_file(self.wininit, joined)
        self.machine.reboot()
        self.assertFalse(self.machine.exists(self.copy))
        # After the restart the checker finds the copy gone on the Windows 95
        # family; Windows NT never reads WININIT.INI, and the checker says so.
        code, report, _ = self.product.check("/after-restart")
        self.assertEqual(code, 0, "\n".join(report))
        gone, stays = r"^passed  after the restart: the temporary copy .*\\~REMOVE\.TMP is gone$", r"^note    Windows NT"
        self.assertRegex(report[-1], gone if "(Windows 95 family)" in report[-5] else stays)

    def assert_hardened_first(self, calls, pid):
        """Up to its first box, the process pid made the two hardening calls
        and nothing else of theirs: library search 0x800, then the
        redirection trust policy (16) with a policy of four bytes."""
        made = [(c.name, c.arg(0)) + ((c.arg(2),) if c.name == "SetProcessMitigationPolicy" else ())
                for c in calls if c.pid == pid
                and c.name in ("SetDefaultDllDirectories", "SetProcessMitigationPolicy", "MessageBoxA")]
        self.assertEqual(made[:3], [("SetDefaultDllDirectories", 0x800), ("SetProcessMitigationPolicy", 16, 4),
                                    ("MessageBoxA", 0)])

    def test_checker_fails_for_the_right_reason(self):
        # What the checker must not pass: a message changed by one letter,
        # a kit whose product shortcut leads to the manual (both: exit 1, the
        # report names what differs), the product already installed (exit 2,
        # nothing changed). And what lstrcmpA, a look at the buttons alone, a
        # missing copy read as an unreadable kit, any failed look-up read as
        # "gone" or the Shell Folders values alone would pass: a soft hyphen
        # (no sort weight) added to a message, the confirmation with another
        # icon, the temporary copy made elsewhere (the final box still right),
        # a shortcut left as a link Windows cannot resolve (the tool's own
        # look-up finds nothing and reports success), a stale Programs value.
        # What it must not fail: a read-only kit, as copied from a CD (it
        # passes, and says so). Where it must refuse: no C:\Program Files, the
        # kit's REMOVE.EXE held by another program. And /elevation, where Wine
        # never refuses to start the tool for want of rights (error 740).
        tool = program("REMOVE.EXE").read_bytes()
        folder = tempfile.TemporaryDirectory(prefix="kalmaris-changed.")
        self.addCleanup(folder.cleanup)

        def patched(name, data):
            self.assertEqual(len(data), len(tool))
            path = Path(folder.name) / name
            path.write_bytes(data)
            return path

        def box_failed(caption, role, text, look, found_text, found_look):
            """A box's FAILED line: what was expected, what was found."""
            return (f'box "{caption.decode("cp1250")}" ({role}): "{text.decode("cp1250")}", buttons {look}; '
                    f'found: "{found_text.decode("cp1250")}", buttons {found_look}')

        def address(offset):  # of a byte of the file: one section, from 0x1000 in memory and 512 in the file
            return struct.pack("<I", 0x401000 + offset - 512)

        ok, changed = cp("Instalace úspěšně dokončena."), cp("Instalace úspěšně dokončeno.")
        self.assertEqual(tool.count(ok), 1)
        plain_ok = "OK, default OK, no icon"
        ending = box_failed(INSTALL_CAPTION, "install, the end", ok, plain_ok, changed, plain_ok)
        # The soft hyphen needs a byte more: the install's failure message,
        # just before, gives up its final full stop, and the one reference to
        # the success message moves a byte back.
        at = tool.index(ok)
        self.assertEqual(tool[at - 2:at], b".\0")
        self.assertEqual(tool.count(address(at)), 1)
        hyphen = tool[:at - 2] + b"\0" + ok + b"\xad" + tool[at + len(ok):]
        hyphen = hyphen.replace(address(at), address(at - 1))
        hyphenated = box_failed(INSTALL_CAPTION, "install, the end", ok, plain_ok, ok + b"\xad", plain_ok)
        # MessageBoxA's style of the confirmation: Yes, No and a question mark
        # (0x24), once in the code as push 0x24; 0x34 has an exclamation mark.
        self.assertEqual(tool.count(b"\x6a\x24"), 1)
        other_icon = box_failed(UNINSTALL_CAPTION, "uninstall, confirmation", CONFIRMATION,
                                "Yes No, default Yes, question icon", CONFIRMATION,
                                "Yes No, default Yes, exclamation icon")
        # The Startup question's MessageBoxA style: the push 4 (Yes and No)
        # last before the push of its text (compilers put other instructions
        # between the pushes); 3 adds Cancel.
        text_push = b"\x68" + address(tool.index(STARTUP_QUESTION))
        self.assertEqual(tool.count(text_push), 1)
        style_at = tool.rindex(b"\x6a\x04", tool.index(text_push) - 24, tool.index(text_push))
        with_cancel = tool[:style_at] + b"\x6a\x03" + tool[style_at + 2:]
        cancel_too = box_failed(INSTALL_CAPTION, "install, Startup question", STARTUP_QUESTION,
                                "Yes No, default Yes, no icon", STARTUP_QUESTION, "Cancel Yes No, default Yes, no icon")
        copy_name = b"\\~REMOVE.TMP\0"
        self.assertEqual(tool.count(copy_name), 1)

        def to_the_manual(m):
            m.write_file(INSTALL_DIR + r"\Kalmaris.lnk", kit_file("Něco jako manuál.lnk").read_bytes())

        def leads_to_the_manual(path):
            return (f"shortcut {path}: the kit's Kalmaris.lnk, leads to {INSTALL_DIR}\\KM.EXE in {INSTALL_DIR}; found: "
                    f"the kit's bytes, leading to {INSTALL_DIR}\\KM.RTF in {INSTALL_DIR}")

        def copy_elsewhere():
            return [line for path in (self.product.blank_copy, self.copy) for line in (
                f"temporary copy {path}: the bytes of the REMOVE.EXE checked; found: the bytes KALCHECK put there "
                "before, as an earlier copy: not replaced",
                rf"C:\windows\WININIT.INI: what was there kept, then [rename] and nul={path} appended; found: "
                rf"appended: [rename]  nul={path[:-len('~REMOVE.TMP')]}~REMOVX.TMP  ")]

        def unresolvable_startup_link(m):
            os.symlink("Kalmaris.lnk", m.host_path(self.startup) / "Kalmaris.lnk")  # a link to itself

        def unresolvable():
            link = self.startup + r"\Kalmaris.lnk"
            return [f"not there: Startup shortcut {link}; found: cannot be checked (error 1921)",
                    f"removed: Startup shortcut {link}; found: cannot be checked (error 1921)",
                    box_failed(INSTALL_CAPTION, "install, the end", ok, plain_ok, INSTALL_FAILED,
                               "OK, default OK, exclamation icon"),
                    f"shortcut {link}: the kit's Kalmaris.lnk, leads to {INSTALL_DIR}\\KM.EXE in {INSTALL_DIR}; found: "
                    f"cannot be read (error 1921)"]

        def stale_programs(m):
            m.reg_set(SHELL_FOLDERS, "Programs", r"C:\stale\Programs")
            m.host_path(r"C:\stale\Programs").mkdir(parents=True)

        def read_only_kit(m):
            for name in PRODUCT_FILES:
                m.host_path(self.product.place_checker() + "\\" + name).chmod(0o444)

        def no_program_files(m):
            self.product.place_checker()
            m.remove(r"C:\Program Files")

        def kit_tool_held(m):
            m.hold(self.product.place_checker() + r"\REMOVE.EXE")
            m.remove(INSTALL_DIR)

        def fault(name):
            return patched(name + ".exe", FAULTS[name](tool))

        def wininit_anew():
            # The file written anew by each uninstall: the checker's own line
            # lost, then the first uninstall's lines.
            blank = self.product.blank_copy
            own = b"[rename]\r\nnul=C:\\kalcheck\\KALCHECK.NUL\r\n"
            first, second = (f"[rename]\r\nnul={path}\r\n".encode("cp1250") for path in (blank, self.copy))
            return [rf"C:\windows\WININIT.INI: what was there kept, then [rename] and nul={path} appended; found: "
                    f"what was there is not kept: {len(now)} bytes, before {len(was)}"
                    for path, now, was in ((blank, first, own), (self.copy, second, first))]

        def left_over(m, path, data):
            """A folder (data None) or file of the product left where the
            install puts it, the product itself not installed."""
            self.product.place_checker()
            m.remove(INSTALL_DIR)
            if data is None:
                m.host_path(path).mkdir()
            else:
                m.write_file(path, data)

        def program_at_first_word(m):
            # Windows splits an unquoted command line at the blank and starts
            # the copy with the rest as its argument, so it asks again; Wine
            # quotes such a line anew unless the first word names a program,
            # as it does here.
            m.install(program("REMOVE.EXE"), self.temp, "Kalcheck.exe")

        # (name, REMOVE.EXE, arrange, arguments, exit code, the FAILED lines
        # (each once; a set: these among others), or for exit code 2 the
        # refusal, and a pattern of a line the report must hold)
        rows = [("message", patched("message.exe", tool.replace(ok, changed)), None, (), 1, lambda: [ending], None),
                ("shortcut", None, to_the_manual, (), 1,
                 lambda: [leads_to_the_manual(self.group + r"\ Kalmaris.lnk"),
                          leads_to_the_manual(self.startup + r"\Kalmaris.lnk")], None),
                ("installed", None, lambda m: self.install("yes"), (), 2,
                 lambda: ["Kalmaris 2001 is installed: its uninstall entry exists"], None),
                ("soft hyphen", patched("hyphen.exe", hyphen), None, (), 1, lambda: [hyphenated], None),
                ("icon", patched("icon.exe", tool.replace(b"\x6a\x24", b"\x6a\x34")), None, (), 1,
                 lambda: [other_icon], None),
                ("another button", patched("button.exe", with_cancel),
                 None, (), 1, lambda: [cancel_too], None),
                ("copy elsewhere", patched("copy.exe", tool.replace(copy_name, b"\\~REMOVX.TMP\0")), None, (), 1,
                 copy_elsewhere, None),
                ("unresolvable link", None, unresolvable_startup_link, (), 1, unresolvable, None),
                ("stale Programs", None, stale_programs, (), 1,
                 lambda: [r"the tool's Programs folder (Shell Folders) C:\stale\Programs is the one the shell shows; "
                          f"found: the shell shows {self.programs}"], None),
                ("read-only kit", None, read_only_kit, (), 0, lambda: [],
                 re.escape("note    5 of the kit's files were read-only (as copied from a CD): KALCHECK cleared the "
                           "attribute of their copies, as an installer from a medium does")),
                ("no Program Files", None, no_program_files, (), 2,
                 lambda: [r"C:\Program Files does not exist: the tool installs into it"], None),
                ("kit's REMOVE.EXE held", None, kit_tool_held, (), 2,
                 lambda: ["the kit's REMOVE.EXE cannot be read whole (another program holds it, or it is over 1 MB)"],
                 None),
                # Every path a user takes, and what the checker must not take
                # for the tool's work: a single fault each.
                ("Startup shortcut after No", fault("startup_after_no"), None, (), 1,
                 lambda: [f"not there: Startup shortcut {self.startup}\\Kalmaris.lnk; found: still there"], None),
                ("uninstall after No", fault("uninstall_after_no"), None, (), 1,
                 lambda: {"processes of the tool: 1; found: 2 (REMOVE.EXE, ~REMOVE.TMP)",
                          f'a box not expected: "{UNINSTALL_CAPTION.decode("cp1250")}" '
                          f'"{UNINSTALL_OK.decode("cp1250")}", buttons OK, default OK, no icon',
                          f"no temporary copy at {self.copy}; found: there ({len(tool)} bytes)"}, None),
                ("exit code 1", fault("exit_code_1"), None, (), 1,
                 lambda: ["exit code 0: REMOVE.EXE /INSTALL; found: 1", "exit code 0: the uninstall command; found: 1",
                          "exit code 0: ~REMOVE.TMP, started by the tool; found: 1"], None),
                ("WININIT.INI anew", fault("wininit_anew"), None, (), 1, wininit_anew, None),
                ("earlier copy not replaced", fault("copy_not_replaced"), None, (), 1,
                 lambda: {f"temporary copy {self.product.blank_copy}: the bytes of the REMOVE.EXE checked; found: "
                          "the bytes KALCHECK put there before, as an earlier copy: not replaced",
                          box_failed(UNINSTALL_CAPTION, "uninstall, the end", UNINSTALL_OK, plain_ok, CANNOT_START,
                                     "OK, default OK, stop icon")}, None),
                ("worker's command line unquoted", fault("unquoted_worker"), program_at_first_word, (), 1,
                 lambda: {box_failed(UNINSTALL_CAPTION, "uninstall, the end", UNINSTALL_OK, plain_ok, CONFIRMATION,
                                     "Yes No, default Yes, question icon")}, None),
                ("deletion kept pending by a scanner", None, lambda m: m.watch(self.startup + r"\Kalmaris.lnk", 4000),
                 (), 0, lambda: [],
                 rf"note    waited [1-9]\.\d s until {re.escape(self.startup)}\\Kalmaris\.lnk was gone: another "
                 r"program held it open, and its deletion was pending"),
                ("copy an earlier uninstall left", None, lambda m: m.write_file(self.copy, b"MZ earlier"), (), 0,
                 lambda: [], rf"note    KALCHECK deleted {re.escape(self.copy)}, the copy an earlier uninstall left"),
                ("group left", None, lambda m: left_over(m, self.group, None), (), 2,
                 lambda: [f"the program group of Kalmaris 2001 is there: {self.group}"], None),
                ("Startup shortcut left", None,
                 lambda m: left_over(m, self.startup + r"\Kalmaris.lnk", kit_file("Kalmaris.lnk").read_bytes()), (), 2,
                 lambda: [f"a Startup shortcut of Kalmaris 2001 is there: {self.startup}\\Kalmaris.lnk"], None),
                ("elevation", None, None, ("/elevation",), 1,
                 lambda: ["Windows starts REMOVE.EXE without asking for administrator rights: installer detection is "
                          "off (docs/using-on-windows.md, Administrator rights)"], None)]
        for name, tool_file, arrange, args, exit_code, failed, note in rows:
            with self.subTest(name):
                self.use(self.machine_for("win32", None), tool_file)
                if arrange:
                    arrange(self.machine)
                before = self.product.state()
                code, report, _ = self.product.check(*args, installed=exit_code == 2)
                self.assertEqual(code, exit_code, "\n".join(report))
                if exit_code == 2:
                    self.assertEqual(report[5:], [f"refused: {reason}; nothing was changed" for reason in failed()])
                    self.assertEqual(self.product.state(), before)
                else:
                    found = list(dict.fromkeys(line[len("FAILED  "):] for line in report if line.startswith("FAILED")))
                    expected = failed()
                    if isinstance(expected, set):
                        self.assertLessEqual(expected, set(found), "\n".join(report))
                    else:
                        self.assertEqual(found, expected, "\n".join(report))
                if note:
                    self.assertTrue([line for line in report if re.fullmatch(note, line)], "\n".join(report))

    def signed_release(self):
        """The signed release of the cross build, or this REMOVE.EXE signed
        here with a throwaway certificate when there is none."""
        folder = tempfile.TemporaryDirectory(prefix="kalmaris-signed.")
        self.addCleanup(folder.cleanup)
        return signing.signed_release(program("REMOVE.EXE"), folder.name)

    def assert_version(self, version):
        """The version the system reports is the one asked for; a version this
        Wine does not know falls back to its default and skips the row."""
        reported = self.machine.windows_version()
        if version not in WINDOWS_VERSIONS and reported == DEFAULT_VERSION:
            self.skipTest("not supported: falls back to the default %d.%d.%d" % DEFAULT_VERSION[:3])
        self.assertEqual(reported, WINDOWS_VERSIONS.get(version), f"{version} did not take effect")

    def test_install_then_uninstall_removes_everything(self):
        for arch, version, signed in CYCLE_ROWS:
            with self.subTest(prefix=arch, version=version or "default", signed=signed):
                self.use(self.machine_for(arch, version), self.signed_release() if signed else None)
                if signed:
                    self.assertNotEqual(self.tool_bytes, program("REMOVE.EXE").read_bytes())
                if version:
                    self.assert_version(version)
                self.cycle()

    def test_started_from_the_installation_directory(self):
        # As a user double-clicking REMOVE.EXE in Explorer: the launcher's
        # current directory is the one to be removed.
        self.install("yes")
        result = self.machine.run(TOOL, cwd=INSTALL_DIR, answers=["yes", "ok"], timeout=120)
        self.assertEqual(result.box_texts(), [(UNINSTALL_CAPTION, CONFIRMATION), (UNINSTALL_CAPTION, UNINSTALL_OK)])
        self.assert_removed()

    def test_what_cannot_be_deleted_stays(self):
        # A file the user added, or a product file still in use: everything
        # else goes, the product leaves the list of installed programs, the
        # folder stays, and only the tool's own file is waited for.
        rows = [("notes.txt", lambda m: m.write_file(INSTALL_DIR + r"\notes.txt", "mine")),
                ("KM.EXE", lambda m: m.hold(INSTALL_DIR + r"\KM.EXE"))]
        for leftover, arrange in rows:
            with self.subTest(leftover=leftover):
                self.use(self.machine_for("win32", None))
                m = self.machine
                self.install("no")
                arrange(m)
                result = self.uninstall("yes")
                self.assertEqual(result.boxes[-1].text, UNINSTALL_FAILED)
                self.assertEqual(m.listdir(INSTALL_DIR), [leftover])
                self.assertIsNone(m.reg_values(UNINSTALL_KEY))
                self.assertNotIn(DISPLAY_NAME, [name for _, name in m.installed_programs()])
                self.assertFalse(m.exists(self.group))
                product = [c for c in result.calls_named("DeleteFileA") if c.string(0).endswith(b"\\KM.EXE")]
                self.assertEqual(len(product), 1)

    def test_installed_tool_started_with_remove_directly(self):
        self.install("no")
        result = self.machine.run(TOOL, ["/REMOVE"], cwd=r"C:\windows", answers=["ok"], timeout=120)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual([(b.caption, b.text, b.style) for b in result.boxes],
                         [(UNINSTALL_CAPTION, UNINSTALL_FAILED, 0)])
        self.assertEqual(len(result.calls_named("Sleep")), 20)
        self.assertEqual(self.machine.listdir(INSTALL_DIR), ["REMOVE.EXE"])
        self.assertFalse(self.machine.exists(self.group))


if __name__ == "__main__":
    unittest.main()
