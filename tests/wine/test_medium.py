"""The vendor's medium as a user has it: the files of KALMARIS.ISO, read back
from the image with xorriso, on a read-only CD-ROM drive D:, and
D:\\KALCHECK.EXE started with no argument. It checks the medium's own kit
(the folder KALMARIS beside it) and, as it cannot write beside itself, keeps
its report in the temporary folder its console's first line names, where
/after-restart adds its lines."""

import sys
import unittest
from pathlib import Path

from kalmaris import checker_report
from winetest import WineTestCase, program

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "release"))
from test_pe import read_medium  # noqa: E402


class Medium(WineTestCase):

    def test_check_from_the_medium(self):
        m = self.machine
        content = m.dir / "medium"
        content.mkdir()
        read_medium(str(program("KALMARIS.ISO")), str(content))
        drive = m.cdrom_drive(content, "D")
        code, output, _ = m.run_plainly(drive + "KALCHECK.EXE")
        path, moved, report = checker_report(m, output)
        temp = next(entry for entry in m.session_environment() if entry.upper().startswith(b"TEMP="))[5:]
        self.assertEqual((path.lower(), moved), (temp.decode("cp1250").lower() + r"\kalcheck.txt", True))
        self.assertEqual(code, 0, "\n".join(report))
        self.assertEqual(report[-1], "Result: every check passed (exit code 0)")
        self.assertRegex(report[4], r"^REMOVE\.EXE checked: D:\\KALMARIS\\REMOVE\.EXE, \d+ bytes$")
        # /after-restart from the medium goes on below the cycle's lines there.
        code, output, _ = m.run_plainly(drive + "KALCHECK.EXE", ["/after-restart"])
        after = checker_report(m, output)
        self.assertEqual((code, after[:2]), (0, (path, True)))
        self.assertEqual(after[2][:len(report)], report)
        self.assertGreater(len(after[2]), len(report))


if __name__ == "__main__":
    unittest.main(verbosity=2)
