"""The Wine harness itself: what the product tests rely on, checked with
RUNTIME_PROBE.EXE (and a copy of it named CHILD.EXE as a second program)."""

import re
import subprocess
import unittest

from winetest import WineTestCase, program

DIR = r"C:\Program Files\Kalmaris"
PROBE = DIR + r"\RUNTIME_PROBE.EXE"
CHILD = DIR + r"\CHILD.EXE"
BOTH = ["runtime_probe.exe", "child.exe"]
QUESTION = 0x24  # MB_YESNO | MB_ICONQUESTION


def records(data):
    return {k: bytes.fromhex(v) for k, _, v in (line.partition(":") for line in data.decode().splitlines())}


class Harness(WineTestCase):
    machine_per_class = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.class_machine.install(program("RUNTIME_PROBE.EXE"), DIR)
        cls.class_machine.install(program("RUNTIME_PROBE.EXE"), DIR, name="CHILD.EXE")

    def test_czech_code_page(self):
        self.assertEqual(self.machine.reg_string(r"HKLM\System\CurrentControlSet\Control\Nls\CodePage", "ACP"),
                         "1250")

    def test_run_waits_for_a_child_that_outlives_the_program(self):
        line = f'"{PROBE}" launch \'"{CHILD}" sleep 1500\''
        result = self.machine.run(PROBE, command_line=line, relay_modules=BOTH)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.processes, 2)
        sleeps = result.calls_named("Sleep")
        self.assertEqual([c.arg(0) for c in sleeps], [1500])
        child = sleeps[0].pid
        self.assertNotEqual(child, result.pid)
        self.assertEqual(result.exit_codes, {result.pid: 0, child: 0})
        launched = result.calls_named("CreateProcessA")
        self.assertEqual(launched[0].string(1), f'"{CHILD}" sleep 1500'.encode())
        self.assertEqual(records(self.machine.read_file(CHILD + ".out"))["done"], b"1")

    def test_exit_codes_of_every_process(self):
        line = f'"{PROBE}" spawn \'"{CHILD}" exit 7\''
        result = self.machine.run(PROBE, command_line=line, relay_modules=BOTH)
        self.assertEqual(records(self.machine.read_file(PROBE + ".out"))["child"], b"7")
        self.assertEqual(sorted(result.exit_codes.values()), [0, 7])

    def test_relay_log_holds_only_the_programs_calls(self):
        # The clicker polls GetFileAttributesA all the time; none of it may show.
        result = self.machine.run(PROBE, ["sleep", "300"])
        self.assertTrue(result.calls)
        self.assertEqual({c.pid for c in result.calls}, {result.pid})
        self.assertEqual([c.name for c in result.calls if c.name == "GetFileAttributesA"], [])

    def test_answers_in_order_then_defaults(self):
        yes = self.machine.run(PROBE, ["box", "Otázka", "Smazat?", str(QUESTION)], answers=["yes"])
        self.assertEqual([(b.caption, b.text, b.style, b.result, b.answer) for b in yes.boxes],
                         [("Otázka".encode("cp1250"), b"Smazat?", QUESTION, 6, "yes")])
        no = self.machine.run(PROBE, ["box", "Otázka", "Smazat?", str(QUESTION)])
        self.assertEqual([(b.result, b.answer) for b in no.boxes], [(7, "no")])
        ok = self.machine.run(PROBE, ["box", "Informace", "Hotovo.", "64"])
        self.assertEqual([(b.result, b.answer) for b in ok.boxes], [(1, "ok")])

    def test_answers_by_caption(self):
        # The answer kept for the caption wins over the one whose turn it is.
        result = self.machine.run(PROBE, ["box", "Otázka", "Smazat?", str(QUESTION)],
                                  answers=[("Jiná otázka", "yes"), ("Otázka", "no"), "yes"])
        self.assertEqual([(b.result, b.answer) for b in result.boxes], [(7, "no")])

    def test_long_box_text_comes_whole(self):
        line = "Příliš žluťoučký kůň úpěl ďábelské ódy.\r\n".encode("cp1250")
        expected = (line * 20)[:600]
        result = self.machine.run(PROBE, ["bigbox", "Dlouhý", "600"])
        self.assertEqual(len(result.boxes), 1)
        self.assertEqual(result.boxes[0].caption, "Dlouhý".encode("cp1250"))
        self.assertEqual(result.boxes[0].text, expected)

    def test_screenshots_of_boxes(self):
        folder = self.machine.dir / "shots"
        result = self.machine.run(PROBE, ["box", "Kalmaris 2001", "Něco jako manuál", str(QUESTION)],
                                  answers=["no"], screenshots=folder)
        self.assertEqual([b.result for b in result.boxes], [7])
        shot = folder / "box-1.png"
        self.assertEqual(result.boxes[0].screenshot, shot)
        self.assertTrue(shot.exists())
        self.assertEqual(shot.read_bytes()[:8], b"\x89PNG\r\n\x1a\n")
        # Pictured as Windows shows a new box, as the active window: its
        # title bar (the top of the picture, below the margin) is in the
        # active title colour, not the inactive one Wine first paints.
        colours = {name: tuple(int(x) for x in self.machine.reg_string(r"HKCU\Control Panel\Colors", name).split())
                   for name in ("ActiveTitle", "InactiveTitle")}
        histogram = subprocess.run(["convert", str(shot), "-crop", "x16+0+10", "-format", "%c", "histogram:info:-"],
                                   capture_output=True, text=True, check=True).stdout
        counts = {tuple(int(c) for c in m[1:]): int(m[0])
                  for m in re.findall(r"(\d+): \((\d+),(\d+),(\d+)", histogram)}
        self.assertGreater(counts.get(colours["ActiveTitle"], 0), 10 * counts.get(colours["InactiveTitle"], 0) + 100,
                           histogram)

    def test_registry_helpers(self):
        key = r"HKLM\Software\Kalmaris Test\Sub"
        self.machine.reg_set(key, "Text", "Něco")
        self.machine.reg_set(key, "Number", 5)
        self.machine.reg_set(key, None, "default")
        self.assertEqual(self.machine.reg_string(key, "text"), "Něco")
        self.assertEqual(self.machine.reg_query(key, "Number"), (4, b"\x05\0\0\0"))
        self.assertEqual(self.machine.reg_string(key, None), "default")
        self.assertEqual(sorted(self.machine.reg_values(key)), ["", "Number", "Text"])
        self.assertIn("Sub", self.machine.reg_keys(r"HKLM\Software\Kalmaris Test"))
        self.machine.reg_delete(key, "Text")
        self.assertIsNone(self.machine.reg_query(key, "Text"))
        self.machine.reg_delete_key(r"HKLM\Software\Kalmaris Test")
        self.assertIsNone(self.machine.reg_keys(r"HKLM\Software\Kalmaris Test"))

    def test_paths(self):
        self.machine.write_file(r"C:\Harness\Some File.txt", b"x")
        self.assertEqual(self.machine.read_file(r"c:\HARNESS\some file.TXT"), b"x")
        host = self.machine.host_path(r"C:\harness\some file.txt")
        self.assertEqual(host.name, "Some File.txt")
        self.assertEqual(self.machine.windows_path(host), r"C:\Harness\Some File.txt")
        self.assertEqual(self.machine.listdir(r"C:\Harness"), ["Some File.txt"])


class Reboot(WineTestCase):
    def test_wininit_waits_for_reboot(self):
        m = self.machine
        m.install(program("RUNTIME_PROBE.EXE"), DIR)
        m.write_file(r"C:\victim.txt", b"x")
        m.write_file(r"C:\windows\wininit.ini", b"[rename]\r\nNUL=C:\\victim.txt\r\n")
        # Another program in the same session leaves both alone.
        m.run(PROBE, ["exit", "0"])
        self.assertTrue(m.exists(r"C:\victim.txt"))
        m.reboot()
        self.assertFalse(m.exists(r"C:\victim.txt"))
        self.assertFalse(m.exists(r"C:\windows\wininit.ini"))


if __name__ == "__main__":
    unittest.main()
