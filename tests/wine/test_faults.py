"""Real faults on real Win32 (Wine): a full drive under WININIT.INI, the file
held open by another program, a read-only product file."""

import os
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

    def test_read_only_product_file(self):
        self.install("no")
        os.chmod(self.machine.host_path(INSTALL_DIR + r"\KM.RTF"), 0o444)
        result = self.uninstall("yes")
        self.assertEqual(result.boxes[-1].text, UNINSTALL_FAILED)
        self.assertEqual(self.machine.listdir(INSTALL_DIR), ["KM.RTF"])
        self.assertTrue(self.machine.exists(r"C:\Program Files"))


if __name__ == "__main__":
    unittest.main()
