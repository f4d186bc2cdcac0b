#!/usr/bin/env python3
"""The signed release: made by the release target from a throwaway
self-signed code-signing certificate, verified against that certificate,
its signature taken off again to give the unsigned release byte for byte,
and checked as a file like the unsigned one (test_pe.py --signed); the
medium of a signing build carries the signed file. Wrong or
missing inputs stop the signing with a message and leave no file.

The unsigned program is named by REMOVE_EXE (set by tests.cmake).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signing  # noqa: E402
import test_pe  # noqa: E402

HERE = Path(__file__).resolve().parent
PASSWORD = "Kalmaris-2001 heslo"


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        path = os.environ.get("REMOVE_EXE")
        if not path:
            raise unittest.SkipTest("REMOVE_EXE is not set")
        cls.unsigned = Path(path)
        cls.folder = Path(tempfile.mkdtemp(prefix="kalmaris-signing."))
        cls.cert, cls.key = signing.make_certificate(cls.folder)
        _, cls.other_key = signing.make_certificate(cls.folder, "Someone else", "other")
        cls.pkcs12 = cls.folder / "signer.p12"
        subprocess.run(["openssl", "pkcs12", "-export", "-in", str(cls.cert), "-inkey", str(cls.key),
                        "-out", str(cls.pkcs12), "-passout", "pass:" + PASSWORD], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def check_signed(self, signed, unsigned):
        """What holds for every signed release."""
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.cert), "-in", str(signed)],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Message digest algorithm  : SHA256", verified.stdout)
        listed = subprocess.run(["sha256sum", "-c", "REMOVE.EXE.sha256"], cwd=signed.parent,
                                capture_output=True, text=True)
        self.assertEqual(listed.stdout, "REMOVE.EXE: OK\n", listed.stderr)
        stripped = signing.strip_signature(signed, self.folder / "stripped.exe")
        self.assertTrue(stripped == unsigned.read_bytes(), "the signed file without its signature is not the release")
        checks = subprocess.run([sys.executable, str(HERE / "test_pe.py"), "--signed", str(signed)],
                                capture_output=True, text=True)
        self.assertEqual(checks.returncode, 0, checks.stderr[-3000:])

    def test_release_target_signs_with_a_certificate_and_key(self):
        # As a user does: a cross build configured with the certificate, then
        # the release target. Its unsigned REMOVE.EXE stays unsigned.
        build = self.folder / "build"
        configure = ["cmake", "-S", str(signing.REPO), "-B", str(build),
                     "-DCMAKE_TOOLCHAIN_FILE=" + str(signing.REPO / "cmake" / "mingw-i686.cmake"),
                     "-DKALMARIS_SIGN_CERT=" + str(self.cert), "-DKALMARIS_SIGN_KEY=" + str(self.key)]
        for command in (configure, ["cmake", "--build", str(build), "--target", "release"],
                        ["cmake", "--build", str(build), "--target", "medium"]):
            done = subprocess.run(command, capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout[-3000:] + done.stderr[-3000:])
        self.check_signed(build / "signed" / "REMOVE.EXE", build / "REMOVE.EXE")
        # The medium carries the signed file.
        medium = test_pe.check_medium(self, str(build))
        self.assertTrue(medium["KALMARIS/REMOVE.EXE"] == (build / "signed" / "REMOVE.EXE").read_bytes())
        self.assertEqual(subprocess.run([sys.executable, str(HERE / "test_pe.py"), str(build / "REMOVE.EXE")],
                                        capture_output=True).returncode, 0)
        # Turned off as docs/releasing.md says, with a time-stamp server still set:
        # no signed file is left and the release target still succeeds.
        off = ["cmake", "-S", str(signing.REPO), "-B", str(build), "-DKALMARIS_SIGN_CERT=", "-DKALMARIS_SIGN_KEY=",
               "-DKALMARIS_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/"]
        for command in (off, ["cmake", "--build", str(build), "--target", "release"],
                        ["cmake", "--build", str(build), "--target", "medium"]):
            done = subprocess.run(command, capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout[-3000:] + done.stderr[-3000:])
        self.assertFalse((build / "signed").exists(), "signed/ stays after signing was turned off")
        medium = test_pe.check_medium(self, str(build))
        self.assertTrue(medium["KALMARIS/REMOVE.EXE"] == (build / "REMOVE.EXE").read_bytes())

    def test_pkcs12_password_stays_off_every_command_line(self):
        # The tools are wrapped to record their arguments; the password must
        # not be among them, and its file must be gone afterwards.
        tools, scratch, log = self.folder / "tools", self.folder / "tmp", self.folder / "arguments.log"
        tools.mkdir(exist_ok=True)
        scratch.mkdir(exist_ok=True)
        for tool in ("osslsigncode", "openssl"):
            wrapper = tools / tool
            wrapper.write_text(f'#!/bin/sh\nprintf "%s\\n" "{tool} $*" >>"{log}"\nexec {shutil.which(tool)} "$@"\n')
            wrapper.chmod(0o755)
        env = dict(os.environ, PATH=f"{tools}:{os.environ['PATH']}", TMPDIR=str(scratch),
                   KALMARIS_SIGN_PASSWORD=PASSWORD)
        signed = self.folder / "p12" / "REMOVE.EXE"
        done = signing.sign(self.unsigned, signed, "--pkcs12", self.pkcs12, env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        arguments = log.read_text()
        self.assertIn("-readpass", arguments)
        self.assertNotIn("heslo", arguments)
        self.assertEqual(os.listdir(scratch), [])
        self.check_signed(signed, self.unsigned)

    def test_wrong_or_missing_inputs_stop_and_leave_no_file(self):
        missing = self.folder / "missing.pem"
        rows = [
            ("a file that is not there", ["--cert", missing, "--key", self.key], None, "no such file"),
            ("a PKCS#12 file without the password variable", ["--pkcs12", self.pkcs12], None,
             "KALMARIS_SIGN_PASSWORD, which is not set"),
            ("a wrong password", ["--pkcs12", self.pkcs12], "wrong", "cannot be opened with the password"),
            ("a certificate without its key", ["--cert", self.cert], None, "give both"),
            ("a key without its certificate", ["--key", self.key], None, "give both"),
            ("the key of another certificate", ["--cert", self.cert, "--key", self.other_key], None,
             "is not the key of the certificate"),
            ("a key as the certificate", ["--cert", self.key, "--key", self.key], None, "not a certificate"),
            ("both kinds of input", ["--pkcs12", self.pkcs12, "--cert", self.cert, "--key", self.key], PASSWORD,
             "not both"),
            ("a time-stamp server that does not answer",
             ["--cert", self.cert, "--key", self.key, "--timestamp", "http://127.0.0.1:9/"], None,
             "time-stamp server"),
        ]
        out = self.folder / "faults"
        for what, options, password, message in rows:
            with self.subTest(what):
                # An earlier signed pair is not left to pass for this one.
                out.mkdir(exist_ok=True)
                (out / "REMOVE.EXE").write_bytes(b"earlier")
                (out / "REMOVE.EXE.sha256").write_text("earlier\n")
                env = {k: v for k, v in os.environ.items() if k != "KALMARIS_SIGN_PASSWORD"}
                if password is not None:
                    env["KALMARIS_SIGN_PASSWORD"] = password
                done = signing.sign(self.unsigned, out / "REMOVE.EXE", *options, env=env)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(message, done.stderr)
                self.assertEqual(os.listdir(out), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
