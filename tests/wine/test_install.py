"""REMOVE.EXE /INSTALL on real Win32 (Wine): registration, program group,
Startup shortcut and the messages."""

import unittest

from kalmaris import (CONFIRMATION, INSTALL_CAPTION, INSTALL_DIR, INSTALL_FAILED, INSTALL_OK, STARTUP_QUESTION,
                      UNINSTALL_FAILED, UNINSTALL_KEY, ProductTestCase)
from winetest import Machine


class Install(ProductTestCase):

    def test_yes_then_again_with_no(self):
        result = self.install("yes")
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(len(result.boxes), 2)
        self.assert_box(result.boxes[0], INSTALL_CAPTION, STARTUP_QUESTION, 4)
        self.assert_box(result.boxes[1], INSTALL_CAPTION, INSTALL_OK, 0)
        self.assertEqual(result.boxes[0].result, 6)
        self.assert_installed(startup_shortcut=True)
        # Both values as REG_SZ with their terminating zero counted.
        sets = result.calls_named("RegSetValueExA")
        self.assertEqual([(c.string(1), c.arg(3), c.arg(5)) for c in sets],
                         [(b"DisplayName", 1, 14), (b"UninstallString", 1, 39)])
        create = result.calls_named("RegCreateKeyExA")
        self.assertEqual(len(create), 1)
        self.assertEqual(create[0].arg(0), 0x80000002)
        self.assertEqual(create[0].string(1), b"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kalmaris")
        self.assertEqual(create[0].arg(5), 0x20006)
        opened = result.calls_named("RegOpenKeyExA")
        self.assertTrue(opened)
        self.assertTrue(all(c.arg(3) == 0x20019 for c in opened))
        self.assertEqual(len(result.calls_named("RegCloseKey")), len(create) + len(opened))
        copies = [(c.string(0), c.string(1), c.arg(2)) for c in result.calls_named("CopyFileA")]
        self.assertEqual(copies, [
            (b"Kalmaris.lnk", (self.group + r"\ Kalmaris.lnk").encode("cp1250"), 0),
            ("Něco jako manuál.lnk".encode("cp1250"), (self.group + "\\Něco jako manuál.lnk").encode("cp1250"), 0),
            (b"Kalmaris.lnk", (self.startup + r"\Kalmaris.lnk").encode("cp1250"), 0),
        ])

        # Again: everything is overwritten and accepted; No leaves Startup as it was.
        self.machine.write_file(self.group + r"\ Kalmaris.lnk", "stale")
        again = self.install("no")
        self.assertEqual(again.exit_code, 0)
        self.assertEqual([b.text for b in again.boxes], [STARTUP_QUESTION, INSTALL_OK])
        self.assertEqual(again.boxes[0].result, 7)
        self.assert_installed(startup_shortcut=True)
        self.assertEqual(len(again.calls_named("CopyFileA")), 2)

    def test_no_makes_no_startup_shortcut(self):
        result = self.install("no")
        self.assertEqual(result.exit_code, 0)
        self.assertEqual([(b.text, b.style, b.result) for b in result.boxes],
                         [(STARTUP_QUESTION, 4, 7), (INSTALL_OK, 0, 1)])
        self.assert_installed(startup_shortcut=False)
        self.assertEqual(len(result.calls_named("CopyFileA")), 2)

    def test_without_the_prepared_shortcuts(self):
        result = self.install("yes", cwd="C:\\")
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(len(result.boxes), 2)
        self.assert_box(result.boxes[0], INSTALL_CAPTION, STARTUP_QUESTION, 4)
        self.assert_box(result.boxes[1], INSTALL_CAPTION, INSTALL_FAILED, 48)
        m = self.machine
        self.assertIsNotNone(m.reg_values(UNINSTALL_KEY))
        self.assertEqual(m.listdir(self.group), [])
        self.assertFalse(m.exists(self.startup + r"\Kalmaris.lnk"))
        self.assertEqual([c.retval for c in result.calls_named("CopyFileA")], [0, 0, 0])

    def test_startup_folder_missing_on_disk(self):
        m = self.machine
        m.remove(self.startup)
        result = self.install("yes")
        self.assertEqual(result.exit_code, 0)
        self.assertEqual([b.text for b in result.boxes], [STARTUP_QUESTION, INSTALL_FAILED])
        self.assertTrue(m.exists(self.group + r"\ Kalmaris.lnk"))
        self.assertTrue(m.exists(INSTALL_DIR + r"\KM.EXE"))

    def test_code_page_other_than_czech(self):
        # The tool's texts and the manual shortcut's name are Windows-1250
        # bytes. Under code page 1252 the shortcut, on disk under its true
        # name, is not found under those bytes: it is neither installed nor
        # removed, so the installation directory stays. The pictures stay in
        # the machine's folder with KALMARIS_WINE_KEEP=1.
        m = Machine(self.id().split(".", 1)[-1] + ".1252", self.relay_modules, lang="C.UTF-8").start()
        self.addCleanup(m.close)
        self.use(m)
        result = self.install("yes", screenshots=m.dir / "pictures" / "install")
        self.assertEqual([(b.text, b.style) for b in result.boxes], [(STARTUP_QUESTION, 4), (INSTALL_FAILED, 48)])
        self.assertEqual([c.retval for c in result.calls_named("CopyFileA")], [1, 0, 1])
        self.assertEqual(m.listdir(self.group), [" Kalmaris.lnk"])
        result = self.product.uninstall_from_list("yes", screenshots=m.dir / "pictures" / "uninstall")
        self.assertEqual([b.text for b in result.boxes], [CONFIRMATION, UNINSTALL_FAILED])
        self.assertEqual(m.listdir(INSTALL_DIR), ["Něco jako manuál.lnk"])
        self.assertFalse(m.exists(self.group))
        self.assertIsNone(m.reg_values(UNINSTALL_KEY))


if __name__ == "__main__":
    unittest.main()
