#!/usr/bin/env python3
"""Tests of tools/install-packages on a machine of stand-ins: apt-get, dpkg and dpkg-query that
answer as Debian's do on a good day and on a bad one (an index mid-sync, 32-bit Wine whose
libraries no longer match), and a kernel that runs 32-bit code or not."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).with_name("install-packages")

# What apt-get says when one index is mid-sync on the mirror (as Debian 12's apt says it).
MID_SYNC = """\
E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/\
Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 1.2.3.4 80]
   Hashes of expected file:
    - Filesize:376004 [weak]
E: Some index files failed to download. They have been ignored, or old ones used instead.
"""
HELD_BROKEN = """\
Some packages could not be installed. This may mean that you have
requested an impossible situation.
The following packages have unmet dependencies:
 libcurl4:i386 : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed
E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages.
"""


class Machine(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="install-packages-test-"))
        (self.root / "tools").mkdir()
        shutil.copy(SCRIPT, self.root / "tools" / "install-packages")
        self.bin = self.root / "bin"
        self.bin.mkdir()
        self.log = self.root / "calls.log"
        self.log.touch()

    def tearDown(self):
        shutil.rmtree(self.root)

    def program(self, name, body):
        path = self.bin / name
        path.write_text("#!/bin/sh\necho \"%s $*\" >>%s\n%s\n" % (name, self.log, body))
        path.chmod(0o755)

    def machine(self, runs_32bit=True, update="", wine32="", install_other=""):
        """Stand-ins: update, wine32 and install_other are what apt-get prints (and then fails
        with status 100) for an update, an install of wine32:i386 and one of anything else;
        empty: it succeeds."""
        probe = self.root / "tools" / "runs-32bit"
        probe.write_text("#!/bin/sh\nexit %d\n" % (0 if runs_32bit else 1))
        probe.chmod(0o755)
        for name, text in (("update", update), ("wine32", wine32), ("other", install_other)):
            (self.root / name).write_text(text)
        self.program("apt-get", """
case "$*" in
  *update*) what=update ;;
  *wine32:i386*) what=wine32 ;;
  *) what=other ;;
esac
[ -s %(root)s/$what ] || exit 0
cat %(root)s/$what
exit 100""" % {"root": self.root})
        self.program("dpkg", '[ "$1" = --print-foreign-architectures ] && echo i386; exit 0')
        self.program("dpkg-query", "exit 1")  # nothing is installed
        self.program("sudo", 'exec "$@"')
        self.program("locale", "echo zh_TW.utf8")

    def run_script(self):
        env = dict(os.environ, PATH="%s:%s" % (self.bin, os.environ["PATH"]))
        ran = subprocess.run([str(self.root / "tools" / "install-packages")], env=env,
                             capture_output=True, text=True, timeout=60)
        return ran.returncode, ran.stdout + ran.stderr, self.log.read_text().splitlines()

    def test_a_good_day_installs_everything_with_32_bit_wine_last(self):
        self.machine()
        status, out, calls = self.run_script()
        self.assertEqual(status, 0, out)
        installs = [call for call in calls if call.startswith("apt-get") and "install" in call]
        self.assertEqual(len(installs), 2, calls)
        self.assertIn(" nsis ", installs[0] + " ")
        self.assertNotIn("wine32", installs[0])
        self.assertIn("wine32:i386", installs[1])
        self.assertNotIn("x86_64", out)

    def test_an_index_mid_sync_and_32_bit_wine_refused_leave_the_x86_64_build(self):
        self.machine(update=MID_SYNC, wine32=HELD_BROKEN)
        status, out, calls = self.run_script()
        self.assertEqual(status, 0, out)
        self.assertIn("these indexes were not fetched:\n  http://deb.example/debian-security/"
                      "dists/bookworm-security/main/binary-i386/Packages.xz\n", out)
        said = [line for line in out.splitlines() if "wine32:i386 can't be installed" in line]
        self.assertEqual(len(said), 1, out)
        for words in ("held packages", "libcurl4:i386 needs libbrotli1:i386",
                      "after 1 i386 index(es) were not fetched",
                      "the tests and the demo will play the x86_64 build"):
            self.assertIn(words, said[0])
        self.assertEqual(len([call for call in calls if "update" in call]), 1, calls)

    def test_anything_else_that_cant_be_installed_fails_in_apts_words(self):
        self.machine(update=MID_SYNC, install_other="E: Unable to locate package nsis\n")
        status, out, calls = self.run_script()
        self.assertNotEqual(status, 0)
        self.assertIn("E: Unable to locate package nsis", out)
        self.assertFalse([call for call in calls if call.startswith("apt-get") and
                          "wine32" in call], calls)

    def test_a_kernel_without_32_bit_code_asks_for_no_32_bit_wine(self):
        self.machine(runs_32bit=False)
        status, out, calls = self.run_script()
        self.assertEqual(status, 0, out)
        self.assertIn("the tests will play the x86_64 build", out)
        self.assertFalse([call for call in calls if "wine32" in call or "i386" in call], calls)


if __name__ == "__main__":
    unittest.main()
