#!/usr/bin/env python3
"""The set-up's package installs (scripts/apt.sh) when a mirror is caught
mid-sync: an index that does not match its Release file, an install that apt
cannot resolve without it.

Two kinds of rows:
- apt itself, on two local repositories: one whose index does not match its
  Release file, one that serves a probe package. The set-up goes on past the
  first, installs from the second and names the failing index (as root only).
  apt and dpkg work on a package database and a root of the test's own, so
  the machine's own package database never holds the probe package, not even
  when the run is interrupted.
- a stand-in apt-get that fails as told, for the decisions that a real mirror
  shows only by chance: the retries, the second try preferring the release's
  own suites, the final message."""

import email.utils
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
APT_SH = os.path.join(ROOT, "scripts", "apt.sh")
PROBE = "kalmaris-setup-probe"


def run_setup(env, commands):
    return subprocess.run(["bash", "-c", "set -euo pipefail; . \"$APT_SH\"; " + commands],
                          env=dict(env, APT_SH=APT_SH, KALMARIS_APT_RETRY_SECONDS="0"),
                          capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=300)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def release(entries):
    lines = ["Origin: kalmaris-tests", "Label: kalmaris-tests", "Suite: probe", "Codename: probe",
             "Date: " + email.utils.formatdate(usegmt=True), "SHA256:"]
    lines += [" %s %d %s" % (digest, size, name) for name, digest, size in entries]
    return "\n".join(lines) + "\n"


class RealApt(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0 or not shutil.which("dpkg-deb"):
            self.skipTest("needs root and dpkg-deb")
        self.dir = tempfile.mkdtemp(prefix="kalmaris-apt-")
        self.addCleanup(shutil.rmtree, self.dir)
        d = lambda *p: os.path.join(self.dir, *p)  # noqa: E731
        for sub in ("pkg/DEBIAN", "good", "bad", "lists/partial", "cache/archives/partial", "parts", "conf.d",
                    "state", "log", "root/var/lib/dpkg/info", "root/var/lib/dpkg/updates"):
            os.makedirs(d(sub))
        self.admindir = d("root/var/lib/dpkg")
        write(d("root/var/lib/dpkg/status"), "")
        write(d("pkg/DEBIAN/control"), "Package: %s\nVersion: 1.0\nArchitecture: all\n"
              "Maintainer: Kalmaris tests <tests@kalmaris.invalid>\n"
              "Description: probe package of the set-up's tests\n" % PROBE)
        subprocess.run(["dpkg-deb", "-b", d("pkg"), d("good", "probe.deb")], check=True, capture_output=True)
        deb = read(d("good", "probe.deb"), "rb")
        packages = read(d("pkg/DEBIAN/control")) + "Filename: ./probe.deb\nSize: %d\nSHA256: %s\n" % (
            len(deb), hashlib.sha256(deb).hexdigest())
        for repo in ("good", "bad"):
            write(d(repo, "Packages"), packages)
        write(d("good", "Release"), release([("Packages", hashlib.sha256(packages.encode()).hexdigest(),
                                               len(packages))]))
        # As a syncing mirror has it: the Release file describes an index that
        # is not (yet) the one served.
        write(d("bad", "Release"), release([("Packages", hashlib.sha256(b"older").hexdigest(), len(packages) + 9)]))
        write(d("sources.list"), "deb [trusted=yes] file:%s ./\ndeb [trusted=yes] file:%s ./\n"
              % (d("bad"), d("good")))
        # Everything apt and dpkg read or write lies in the test's folder: the
        # sources, the indexes, the package database, the files installed,
        # the logs. The machine's apt.conf.d stays out, and with it its hooks.
        write(d("apt.conf"), "\n".join([
            'Dir::Etc::Parts "%s";' % d("conf.d"),
            'Dir::Etc::SourceList "%s";' % d("sources.list"),
            'Dir::Etc::SourceParts "%s";' % d("parts"),
            'Dir::State "%s";' % d("state"),
            'Dir::State::Lists "%s";' % d("lists"),
            'Dir::State::status "%s";' % d("root/var/lib/dpkg/status"),
            'Dir::Cache "%s";' % d("cache"),
            'Dir::Log "%s";' % d("log"),
            'DPkg::Options { "--root=%s"; "--admindir=%s"; "--log=%s"; };' % (d("root"), self.admindir,
                                                                               d("log/dpkg.log")),
        ]) + "\n")
        self.env = dict(os.environ, APT_CONFIG=d("apt.conf"))
        self.bad = d("bad")

    def test_an_index_that_does_not_match_its_release_is_named_and_passed_by(self):
        done = run_setup(self.env, "apt_refresh && apt_install %s" % PROBE)
        print(done.stderr)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("after 3 tries these package indexes still do not match their Release files;"
                      " going on with what apt has:\n  file:%s/" % self.bad, done.stderr)
        def status(*admindir):
            return subprocess.run(["dpkg-query", *admindir, "-W", "-f=${Status}", PROBE],
                                  capture_output=True, text=True).stdout
        self.assertEqual(status("--admindir=" + self.admindir), "install ok installed")
        self.assertEqual(status(), "", "the machine's own package database holds the probe package")


# A stand-in apt-get: "update" fails the first $FAIL_UPDATES times (or always
# with "always") as a syncing mirror does; "install" succeeds only in the way
# $INSTALL_WORKS names (plain, suite, never). Every call is logged.
FAKE_APT_GET = r"""#!/bin/bash
echo "$*" >>"$LOG"
n=$(grep -c '^update' "$LOG")
case "$1" in
  update)
    if [ "$FAIL_UPDATES" = always ] || [ "$n" -le "$FAIL_UPDATES" ]; then
      echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    case "$INSTALL_WORKS:$*" in
      plain:*|suite:*" -t "*) exit 0 ;;
    esac
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac
"""

FAILED_INDEX = ("http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz:"
                " File has unexpected size (374820 != 376004). Mirror sync in progress?")


class Decisions(unittest.TestCase):
    def run_row(self, fail_updates, install_works):
        d = tempfile.mkdtemp(prefix="kalmaris-fake-apt-")
        self.addCleanup(shutil.rmtree, d)
        write(os.path.join(d, "apt-get"), FAKE_APT_GET)
        os.chmod(os.path.join(d, "apt-get"), 0o755)
        log = os.path.join(d, "log")
        open(log, "w").close()
        env = dict(os.environ, PATH=d + os.pathsep + os.environ["PATH"], LOG=log,
                   FAIL_UPDATES=fail_updates, INSTALL_WORKS=install_works)
        done = run_setup(env, "apt_refresh && apt_install wine32:i386 zlib1g:i386")
        return done, read(log).splitlines()

    def test_rows(self):
        release = subprocess.run(["bash", "-c", ". /etc/os-release && echo $VERSION_CODENAME"],
                                 capture_output=True, text=True).stdout.strip()
        plain = "install -y -qq --no-install-recommends wine32:i386 zlib1g:i386"
        preferred = "install -y -qq --no-install-recommends -t %s wine32:i386 zlib1g:i386" % release
        rows = [
            # (updates failing, install works, exit code, apt calls, what stderr ends with)
            ("0", "plain", 0, ["update -qq", plain], None),
            ("2", "plain", 0, ["update -qq"] * 3 + [plain], None),
            ("always", "plain", 0, ["update -qq"] * 3 + [plain], "going on with what apt has:\n  " + FAILED_INDEX),
            ("always", "suite", 0, ["update -qq"] * 3 + [plain, preferred],
             "trying once more preferring the suite " + release),
            ("always", "never", 1, ["update -qq"] * 3 + [plain, preferred],
             "setup: cannot install wine32:i386 zlib1g:i386: these package indexes did not refresh:\n  " + FAILED_INDEX +
             "\nThe mirror is probably in the middle of a sync. Wait for it to finish (usually within an hour) and"
             " run the command again, or point the machine's apt sources at another mirror."),
            ("0", "never", 1, ["update -qq", plain, preferred],
             "setup: cannot install wine32:i386 zlib1g:i386: apt's reasons stand above. Check the machine's apt"
             " sources (apt-get update must succeed) and run the command again."),
        ]
        for fail_updates, install_works, code, calls, said in rows:
            with self.subTest(updates_failing=fail_updates, install=install_works):
                done, log = self.run_row(fail_updates, install_works)
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertEqual(log, calls)
                if said is None:
                    self.assertNotIn("setup:", done.stderr)
                else:
                    self.assertIn(said, done.stderr)
                if code:
                    self.assertTrue(done.stderr.rstrip().endswith(said.splitlines()[-1]), done.stderr)


if __name__ == "__main__":
    unittest.main()
