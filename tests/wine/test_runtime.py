"""The runtime layer on real 32-bit Win32 (Wine), through RUNTIME_PROBE.EXE."""

import re
import unittest

from winetest import WineTestCase, program

PROBE_DIR = r"C:\Program Files\x"
PROBE = PROBE_DIR + r"\RUNTIME_PROBE.EXE"
WORK = r"C:\probe"


def records(data):
    """The probe's result file as a list of (key, value bytes)."""
    out = []
    for line in data.decode("ascii").splitlines():
        key, _, value = line.partition(":")
        out.append((key, bytes.fromhex(value)))
    return out


class ProbeCase(WineTestCase):
    """One machine per class with the probe installed; each run returns the
    relay result and the probe's records."""

    machine_per_class = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.class_machine.install(program("RUNTIME_PROBE.EXE"), PROBE_DIR)
        cls.class_machine.host_path(WORK).mkdir(parents=True, exist_ok=True)

    def probe(self, *args, command_line=None, **options):
        out = PROBE + ".out"
        self.machine.remove(out)
        result = self.machine.run(PROBE, list(args), command_line=command_line, **options)
        found = records(self.machine.read_file(out)) if self.machine.exists(out) else []
        return result, found

    def value(self, found, key):
        values = [v for k, v in found if k == key]
        self.assertEqual(len(values), 1, f"{key} in {found}")
        return values[0]

    def assertCleanRun(self, result, found):
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.boxes, [])
        self.assertEqual(self.value(found, "done"), b"1")


class ArgumentTable(ProbeCase):
    def arguments(self, command_line):
        result, found = self.probe(command_line=command_line)
        self.assertCleanRun(result, found)
        count = int(self.value(found, "count"))
        table = [self.value(found, f"arg {i}") for i in range(-1, count + 1)]
        self.assertEqual(table[0], b"", "ProgramArgument(-1)")
        self.assertEqual(table[-1], b"", "ProgramArgument(count)")
        # Slot 0 is the program's own file, whatever the command line says.
        self.assertEqual(table[1], PROBE.encode())
        return count, table[2:-1]

    def test_quoted_program_path(self):
        count, rest = self.arguments(f'"{PROBE}" args /INSTALL')
        self.assertEqual(count, 3)
        self.assertEqual(rest, [b"args", b"/INSTALL"])

    def test_unquoted_words_and_blanks(self):
        count, rest = self.arguments(f'"{PROBE}"   args one\ttwo  three ')
        self.assertEqual(rest, [b"args", b"one", b"two", b"three"])
        self.assertEqual(count, 5)

    def test_quoted_word_followed_by_letters_gives_two(self):
        count, rest = self.arguments(f'"{PROBE}" args "ab"cd \'e f\'')
        self.assertEqual(rest, [b"args", b"ab", b"cd", b"e f"])

    def test_empty_quotes_give_an_empty_argument(self):
        count, rest = self.arguments(f'"{PROBE}" args "" x')
        self.assertEqual(rest, [b"args", b"", b"x"])
        self.assertEqual(count, 4)

    def test_long_argument_is_cut_to_254(self):
        count, rest = self.arguments(f'"{PROBE}" args {"A" * 300} b')
        self.assertEqual(rest, [b"args", b"A" * 254, b"b"])

    def test_unquoted_program_path_without_blank(self):
        plain = self.machine.install(program("RUNTIME_PROBE.EXE"), r"C:\plain")
        result = self.machine.run(plain, command_line=plain + " args x")
        found = records(self.machine.read_file(plain + ".out"))
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(self.value(found, "count"), b"3")
        self.assertEqual(self.value(found, "arg 0"), plain.encode())
        self.assertEqual(self.value(found, "arg 2"), b"x")


class Environment(ProbeCase):
    def environment_value(self, name, env=None):
        result, found = self.probe("env", name, env=env)
        self.assertCleanRun(result, found)
        return self.value(found, "value")

    def test_name_in_lower_case_finds_temp(self):
        temp = [e.split(b"=", 1)[1] for e in self.machine.session_environment() if e.upper().startswith(b"TEMP=")]
        self.assertEqual(len(temp), 1)
        self.assertTrue(temp[0])
        self.assertEqual(self.environment_value("temp"), temp[0])

    def test_value_containing_equals_sign(self):
        self.assertEqual(self.environment_value("KALMARIS_X", env={"KALMARIS_X": "a=b=c"}), b"a=b=c")

    def test_unset_name_is_empty(self):
        self.assertEqual(self.environment_value("KALMARIS_NOT_SET"), b"")

    def test_unset_temp_is_empty(self):
        self.assertEqual(self.environment_value("TEMP", env={"TEMP": None, "TMP": None}), b"")

    def test_entry_is_cut_to_255_before_the_split(self):
        value = self.environment_value("KALMARIS_LONG", env={"KALMARIS_LONG": "v" * 300})
        self.assertEqual(value, b"v" * (255 - len("KALMARIS_LONG=")))

    def test_environment_calls_are_paired(self):
        result, _ = self.probe("env", "TEMP")
        self.assertEqual(len(result.calls_named("GetEnvironmentStringsA")), 1)
        self.assertEqual(len(result.calls_named("FreeEnvironmentStringsA")), 1)


class PathsAndDirectories(ProbeCase):
    def answer(self, *args):
        result, found = self.probe(*args)
        self.assertCleanRun(result, found)
        return self.value(found, "result") == b"1"

    def test_path_exists(self):
        self.machine.write_file(WORK + r"\seen.txt", b"x")
        self.assertTrue(self.answer("exists", r"C:\windows"))
        self.assertTrue(self.answer("exists", WORK + r"\seen.txt"))
        self.assertFalse(self.answer("exists", r"C:\windows" + "\\"))
        self.assertFalse(self.answer("exists", ""))
        self.assertTrue(self.answer("exists", r"C:\windows\*.ini"))
        self.assertFalse(self.answer("exists", r"C:\windows\*.nothing"))
        self.assertFalse(self.answer("exists", "C:\\"))
        self.assertFalse(self.answer("exists", WORK + r"\missing"))

    def test_hidden_file_exists(self):
        self.machine.write_file(WORK + r"\hidden.txt", b"x")
        attrib = self.machine.run(r"C:\windows\system32\attrib.exe", ["+h", WORK + r"\hidden.txt"])
        self.assertEqual(attrib.exit_code, 0)
        listing = self.machine.run(r"C:\windows\system32\cmd.exe", ["/c", "dir /a:h /b " + WORK + r" > C:\probe\dir.txt"])
        self.assertEqual(listing.exit_code, 0)
        self.assertIn(b"hidden.txt", self.machine.read_file(WORK + r"\dir.txt"), "the file is not hidden")
        self.assertTrue(self.answer("exists", WORK + r"\hidden.txt"))

    def test_make_directory(self):
        self.assertTrue(self.answer("mkdir", WORK + r"\made"))
        self.assertTrue(self.machine.host_path(WORK + r"\made").is_dir())
        self.assertFalse(self.answer("mkdir", WORK + r"\made"), "existing")
        self.assertFalse(self.answer("mkdir", r"C:\windows"), "existing")
        self.assertFalse(self.answer("mkdir", WORK + r"\no\parent"), "missing parent")
        self.assertTrue(self.answer("mkdir", "C:/probe/slashes"))
        self.assertTrue(self.machine.host_path(WORK + r"\slashes").is_dir())

    def test_delete_directory(self):
        self.machine.write_file(WORK + r"\full\file.txt", b"x")
        self.machine.host_path(WORK + r"\empty").mkdir()
        self.assertFalse(self.answer("rmdir", WORK + r"\full"), "not empty")
        self.assertTrue(self.machine.host_path(WORK + r"\full").is_dir())
        self.assertTrue(self.answer("rmdir", "C:/probe/empty"))
        self.assertFalse(self.machine.host_path(WORK + r"\empty").exists())
        self.assertFalse(self.answer("rmdir", WORK + r"\empty"), "already gone")


class TextFile(ProbeCase):
    def append(self, name, *items):
        path = WORK + "\\" + name
        result, found = self.probe("append", path, *items)
        return path, result, found

    def test_missing_file_is_created_with_exactly_the_lines(self):
        path, result, found = self.append("new.txt", "=one", "=two", "=")
        self.assertCleanRun(result, found)
        self.assertEqual(self.value(found, "open"), b"0")
        self.assertEqual(self.machine.read_file(path), b"one\r\ntwo\r\n\r\n")
        # Twelve bytes fit the buffer: one write, at Close.
        self.assertEqual(result.writes_to(path), [12])

    def test_300_character_line_takes_two_writes(self):
        path, result, found = self.append("long.txt", "#300:x")
        self.assertCleanRun(result, found)
        self.assertEqual(self.machine.read_file(path), b"x" * 300 + b"\r\n")
        self.assertEqual(result.writes_to(path), [256, 46])

    def test_254_character_line_goes_out_in_one_write_at_close(self):
        path, result, found = self.append("exact.txt", "#254:y")
        self.assertCleanRun(result, found)
        self.assertEqual(self.machine.read_file(path), b"y" * 254 + b"\r\n")
        # The full buffer is kept until Close: the write comes right before
        # the handle is closed.
        self.assertEqual([(c.name, c.arg(2) if c.name == "WriteFile" else None) for c in result.file_calls(path)],
                         [("SetFilePointer", None), ("WriteFile", 256), ("CloseHandle", None)])

    def test_lines_continue_a_file_without_final_line_break(self):
        path = WORK + r"\partial.txt"
        before = b"first line\r\nno end"
        self.machine.write_file(path, before)
        _, result, found = self.append("partial.txt", "=a", "=b")
        self.assertCleanRun(result, found)
        after = self.machine.read_file(path)
        self.assertEqual(len(after), len(before) + 6)
        self.assertEqual(after, before + b"a\r\nb\r\n")

    def test_file_held_open_elsewhere_fails_to_open(self):
        path = WORK + r"\held.txt"
        self.machine.write_file(path, b"kept\r\n")
        with self.machine.held(path):
            _, result, found = self.append("held.txt", "=never")
        self.assertCleanRun(result, found)
        self.assertNotEqual(self.value(found, "open"), b"0")
        self.assertEqual(self.machine.read_file(path), b"kept\r\n")
        self.assertEqual(result.writes_to(path), [])


REPORT_HEAD = re.compile(rb"^An unhandled exception occurred at 0x([0-9A-F]{8}) :$")
ADDRESS_LINE = re.compile(rb"^  0x([0-9A-F]{8})$")


class FatalErrors(ProbeCase):
    def check_report(self, result, message):
        self.assertEqual(len(result.boxes), 1, result.boxes)
        box = result.boxes[0]
        self.assertEqual(box.caption, b"Error")
        self.assertEqual(box.style, 0)
        self.assertTrue(box.text.endswith(b"\r\n\r\n"), box.text)
        lines = box.text[:-4].split(b"\r\n")
        head = REPORT_HEAD.match(lines[0])
        self.assertIsNotNone(head, lines[0])
        self.assertEqual(lines[1], message)
        self.assertEqual(lines[2], b"  0x" + head.group(1))
        self.assertGreaterEqual(len(lines), 4, "no caller line")
        for line in lines[3:]:
            self.assertRegex(line, ADDRESS_LINE)
        self.assertEqual(result.exit_code, 217)
        self.assertEqual(result.exit_codes.get(result.pid), 217)
        return int(head.group(1), 16), [int(line[4:], 16) for line in lines[3:]]

    def test_access_violation(self):
        result, found = self.probe("fault")
        address, callers = self.check_report(result, b"Access violation")
        function = int(self.value(found, "function"))
        image = int(self.value(found, "image"))
        self.assertTrue(function <= address < function + 32, f"{address:#x} not in {function:#x}")
        self.assertTrue(image < callers[0] < image + 0x10000, f"{callers[0]:#x}")
        self.assertNotIn("survived", [k for k, _ in found])

    def test_stack_overflow(self):
        # Reported from a reserve stack: the exhausted one cannot carry a
        # message box. 257 caller lines make a report of over 3000
        # characters, shown in boxes of 1024.
        result, found = self.probe("overflow")
        self.assertNotIn("result", [k for k, _ in found])
        self.assertEqual(result.exit_code, 217)
        self.assertEqual([(b.caption, b.style) for b in result.boxes], [(b"Error", 0)] * 4)
        self.assertEqual([len(b.text) for b in result.boxes], [1024, 1024, 1024, 590])
        lines = result.boxes[0].text.split(b"\r\n")
        head = REPORT_HEAD.match(lines[0])
        self.assertIsNotNone(head, lines[0])
        self.assertEqual(lines[1], b"Unknown Run-Time error : 202")
        self.assertEqual(lines[2], b"  0x" + head.group(1))
        for line in lines[3:-1]:
            self.assertRegex(line, ADDRESS_LINE)
        self.assertTrue(result.boxes[-1].text.endswith(b"\r\n\r\n"))

    def test_write_on_a_full_drive(self):
        drive = self.machine.full_drive("Q")
        result, found = self.probe("append", drive + "out.txt", "#300:x")
        self.assertEqual(self.value(found, "open"), b"0")
        self.check_report(result, b"Disk Full")
        self.assertEqual(result.writes_to(drive + "out.txt"), [256])


if __name__ == "__main__":
    unittest.main()
