"""Real faults on real Win32 (Wine): a full drive under WININIT.INI, the file
held open by another program, a read-only product file."""

import os
import time
import unittest

from kalmaris import (INSTALL_DIR, UNINSTALL_FAILED, UNINSTALL_OK, ProductTestCase)


class Faults(ProductTestCase):

    def test_wininit_on_a_full_drive(self):
        self.install("no")
        drive = self.machine.full_drive("Q")
        result = self.uninstall("yes", env={"WINDIR": drive.rstrip("\\")})
        launcher = [b for b in result.boxes if b.pid == result.pid]
        self.assertEqual(result.exit_codes[result.pid], 217)
        self.assertEqual(launcher[-1].caption, b"Error")
        self.assertEqual(launcher[-1].style, 0)
        self.assertEqual(launcher[-1].lines[1], b"Disk Full")
        self.assertRegex(launcher[-1].lines[0], rb"^An unhandled exception occurred at 0x[0-9A-F]{8} :$")
        # The worker had already been started and still completes.
        worker = [b for b in result.boxes if b.pid != result.pid]
        self.assertEqual([b.text for b in worker], [UNINSTALL_OK])
        self.assert_removed()

    def test_wininit_held_open_elsewhere(self):
        self.install("no")
        self.machine.write_file(self.wininit, b"[rename]\r\n")
        with self.machine.held(self.wininit):
            result = self.uninstall("yes")
        self.assertEqual([b.text for b in result.boxes][1:], [UNINSTALL_OK])
        self.assertEqual(sorted(result.exit_codes.values()), [0, 0])
        self.assertEqual(self.wininit_bytes(), b"[rename]\r\n")
        self.assert_removed()

    def test_deletion_delayed_by_a_scanner(self):
        # A scanner holding a file (sharing everything) lets the worker's
        # deletion succeed, but the file stays until the scanner lets go. In
        # the installation directory that keeps the directory from being
        # removed; the Startup shortcut only goes a little later.
        hold_ms = 5000
        rows = [("Startup shortcut", lambda: self.startup + r"\Kalmaris.lnk", UNINSTALL_OK, False),
                ("product file", lambda: INSTALL_DIR + r"\KM.RTF", UNINSTALL_FAILED, True)]
        for name, watched, outcome, directory_stays in rows:
            with self.subTest(name):
                self.use(self.machine_for("win32", None))
                m = self.machine
                self.install("yes")
                m.watch(watched(), hold_ms)
                result = self.uninstall("yes")
                ended = time.monotonic()
                self.assertEqual(result.boxes[-1].text, outcome)
                self.assertEqual(sorted(result.exit_codes.values()), [0, 0])
                self.assertTrue(m.exists(watched()))  # deleted, yet shown until the scanner closes it
                while m.exists(watched()) and time.monotonic() - ended < hold_ms / 1000 + 5:
                    time.sleep(0.05)
                self.assertFalse(m.exists(watched()))
                self.assertEqual(m.exists(INSTALL_DIR), directory_stays)
                if directory_stays:
                    self.assertEqual(m.listdir(INSTALL_DIR), [])

    def test_read_only_product_file(self):
        self.install("no")
        os.chmod(self.machine.host_path(INSTALL_DIR + r"\KM.RTF"), 0o444)
        result = self.uninstall("yes")
        self.assertEqual(result.boxes[-1].text, UNINSTALL_FAILED)
        self.assertEqual(self.machine.listdir(INSTALL_DIR), ["KM.RTF"])
        self.assertTrue(self.machine.exists(r"C:\Program Files"))


if __name__ == "__main__":
    unittest.main()
