#!/usr/bin/env python3
"""Tests of the Wine prefix module's parts that need no Wine: registry values in Wine's file
format, drives and Windows paths in a prefix, the choice of build."""

import os
import pwd
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import wineprefix


class Folder(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="wineprefix-test-"))

    def tearDown(self):
        shutil.rmtree(self.root)

    def write(self, relative, content):
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)
        return path


class RegistryFiles(Folder):
    def test_strings_are_escaped_as_wine_writes_them(self):
        self.assertEqual(wineprefix.registry_string('C:\\Start Menu\\"x"'),
                         'C:\\\\Start Menu\\\\\\"x\\"')
        self.assertEqual(wineprefix.registry_string("C:\\遊戲"), "C:\\\\\\x904a\\x6232")
        # Outside the basic plane: two UTF-16 units, as Wine writes them.
        self.assertEqual(wineprefix.registry_string("\U0001f30e"), "\\xd83c\\xdf0e")
        self.assertEqual(wineprefix.registry_string("tab\there"), "tab\\x0009here")

    def test_values_are_added_as_a_section_at_the_end(self):
        reg = self.write("user.reg", "WINE REGISTRY Version 2\n\n[Old] 1\n\"a\"=\"b\"\n")
        wineprefix.add_registry_values(reg, "Software\\Wine\\Drives",
                                   {"d:": "cdrom", "e:": "hd", "n": 255})
        lines = reg.read_text().splitlines()
        self.assertEqual(lines[:4], ["WINE REGISTRY Version 2", "", "[Old] 1", '"a"="b"'])
        self.assertRegex(lines[5], r"^\[Software\\\\Wine\\\\Drives\] \d+$")
        self.assertEqual(lines[6:], ['"d:"="cdrom"', '"e:"="hd"', '"n"=dword:000000ff'])

    USER_REG = ("WINE REGISTRY Version 2\n"
                ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
                "[Software\\\\Explorer\\\\Shell Folders] 1\n#time=1\n\"AppData\"=\"C:\\\\a\"\n\n"
                "[Software\\\\Explorer\\\\Shell Folders\\\\Sub] 1\n\"x\"=\"y\"\n\n"
                "[Software\\\\Explorer\\\\User Shell Folders] 1\n\"AppData\"=\"C:\\\\a\"\n")

    def test_a_key_is_removed_with_its_values_but_not_its_subkeys_or_neighbours(self):
        reg = self.write("user.reg", self.USER_REG)
        self.assertTrue(wineprefix.remove_registry_key(reg, "software\\explorer\\SHELL FOLDERS"))
        text = reg.read_text()
        self.assertNotIn("[Software\\\\Explorer\\\\Shell Folders] 1", text)
        self.assertNotIn("#time=1\n", text)
        self.assertIn("[Software\\\\Explorer\\\\Shell Folders\\\\Sub] 1\n\"x\"=\"y\"", text)
        self.assertIn("[Software\\\\Explorer\\\\User Shell Folders] 1", text)
        self.assertFalse(wineprefix.remove_registry_key(reg, "Software\\Explorer\\Shell Folders"))

    def test_an_unopenable_key_is_a_link_to_itself(self):
        reg = self.write("user.reg", self.USER_REG)
        wineprefix.make_key_unopenable(reg, "Software\\Explorer\\Shell Folders")
        lines = reg.read_text().splitlines()
        at = lines.index([line for line in lines
                          if line.startswith("[Software\\\\Explorer\\\\Shell Folders] ")][-1])
        self.assertEqual(lines[at + 1], "#link")
        self.assertTrue(lines[at + 2].startswith('"SymbolicLinkValue"=hex(6):'))
        target = bytes(int(b, 16) for b in lines[at + 2].split(":", 1)[1].split(","))
        self.assertEqual(target.decode("utf-16-le"),
                         "\\REGISTRY\\User\\S-1-5-21-0-0-0-1000\\Software\\Explorer\\Shell Folders")
        self.assertEqual(sum(line.startswith("[Software\\\\Explorer\\\\Shell Folders] ")
                             for line in lines), 1)
        # Its values went; User Shell Folders keeps its own.
        self.assertEqual(reg.read_text().count('"AppData"'), 1)
        with self.assertRaises(wineprefix.SetupError):
            wineprefix.make_key_unopenable(self.write("other.reg", "WINE REGISTRY Version 2\n"),
                                       "Software\\Explorer\\Shell Folders")


class PrefixPaths(Folder):
    def prefix_with_c(self):
        prefix = wineprefix.Prefix(None, self.root / "prefix")
        (prefix.path / "drive_c").mkdir(parents=True)
        (prefix.path / "dosdevices").mkdir()
        (prefix.path / "dosdevices/c:").symlink_to("../drive_c")
        return prefix

    def test_windows_paths_go_through_the_drive_links(self):
        prefix = self.prefix_with_c()
        (self.root / "e").mkdir()
        (prefix.path / "dosdevices/e:").symlink_to(self.root / "e")
        self.assertEqual(prefix.host_path("C:\\Start Menu\\Programs"),
                         (prefix.path / "drive_c").resolve() / "Start Menu/Programs")
        self.assertEqual(prefix.host_path("e:/games/"), (self.root / "e").resolve() / "games")
        # An entry that is there is found in any letter case, Greek and full-width letters too.
        (self.root / "e/ｓａｖｅ").mkdir()
        (self.root / "e/ｓａｖｅ/α.sav").write_bytes(b"")
        self.assertEqual(prefix.host_path("E:\\ＳＡＶＥ\\Α.SAV"),
                         (self.root / "e").resolve() / "ｓａｖｅ/α.sav")
        for path in ("F:\\x", "relative\\x", "", ":", "1:\\x"):
            with self.assertRaises(wineprefix.SetupError):
                prefix.host_path(path)

    def test_drives_are_links_with_their_kind_in_the_registry(self):
        prefix = wineprefix.Prefix(None, self.root / "prefix")
        (prefix.path / "dosdevices").mkdir(parents=True)
        (prefix.path / "system.reg").write_text("WINE REGISTRY Version 2\n")
        (prefix.path / "dosdevices/d::").symlink_to("/dev/old")
        prefix.cdrom("d", self.root / "disc1")
        prefix.fixed("e", self.root / "e")
        prefix.cdrom("f")
        prefix.cdrom("g", self.root / "disc2", device="/dev/loop7")
        links = {link.name: str(link.readlink())
                 for link in (prefix.path / "dosdevices").iterdir()}
        self.assertEqual(links, {"d:": str(self.root / "disc1"), "e:": str(self.root / "e"),
                                 "f:": str(prefix.path / wineprefix.EMPTY_DRIVE),
                                 "g:": str(self.root / "disc2"), "g::": "/dev/loop7"})
        self.assertTrue((self.root / "e").is_dir())
        registry = (prefix.path / "system.reg").read_text()
        for kind in ('"d:"="cdrom"', '"e:"="hd"', '"f:"="cdrom"', '"g:"="cdrom"'):
            self.assertIn(kind, registry)

    def test_shell_folders_are_set_under_the_keys_given_and_made_on_their_drive(self):
        prefix = self.prefix_with_c()
        (prefix.path / "user.reg").write_text("WINE REGISTRY Version 2\n")
        prefix.set_shell_folders({"Programs": "C:\\Start Menu\\Programs", "Desktop": ""})
        prefix.set_shell_folders({"Personal": "c:/Docs"}, keys=("User Shell Folders",))
        self.assertTrue((prefix.path / "drive_c/Start Menu/Programs").is_dir())
        self.assertTrue((prefix.path / "drive_c/Docs").is_dir())
        sections = reg_sections(prefix.path / "user.reg")
        explorer = "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\"
        self.assertEqual([name for name, _ in sections],
                         [explorer + "Shell Folders", explorer + "User Shell Folders",
                          explorer + "User Shell Folders"])
        self.assertEqual(sections[0][1], sections[1][1])
        self.assertEqual(sections[0][1], ['"Programs"="C:\\\\Start Menu\\\\Programs"',
                                          '"Desktop"=""'])
        self.assertEqual(sections[2][1], ['"Personal"="c:/Docs"'])


    def test_links_lead_to_their_folder_and_files_are_written_through_them(self):
        prefix = self.prefix_with_c()
        link = prefix.link("C:\\Games\\door", "C:\\Admin only")
        self.assertTrue(link.is_symlink())
        self.assertEqual(link.resolve(), (prefix.path / "drive_c/Admin only").resolve())
        prefix.write_file("c:\\games\\DOOR\\victim.dll", b"victim")
        self.assertEqual((prefix.path / "drive_c/Admin only/victim.dll").read_bytes(), b"victim")
        self.assertEqual(prefix.write_file("C:\\j\\x.jnl", b"J\t0\r\n"),
                         (prefix.path / "drive_c").resolve() / "j/x.jnl")


def reg_sections(registry_file):
    """[(key as written, [value lines])] of a registry file, in order."""
    sections = []
    for line in registry_file.read_text().splitlines():
        if line.startswith("["):
            sections.append((line[1:line.index("]")], []))
        elif line and sections:
            sections[-1][1].append(line)
    return sections


class RegistryViews(Folder):
    """A 32-bit setup.exe in a 64-bit prefix runs as on 64-bit Windows: its HKLM\\Software is
    the 32-bit view, Software\\Wow6432Node (`reg add ... /reg:32`); a 64-bit one, or any in a
    32-bit prefix, sees the keys as they are."""

    class Kind:
        def __init__(self, arch):
            self.arch = arch

    def test_each_build_lays_out_its_registry_lines_in_the_view_it_sees(self):
        cases = [("win64", "i686", "wow64", "Software\\Wow6432Node\\~kelvo-setup"),
                 ("win64", "x86_64", "native", "Software\\~kelvo-setup"),
                 ("win32", "i686", "native", "Software\\~kelvo-setup")]
        for arch, program, view, key in cases:
            with self.subTest(arch=arch, program=program):
                prefix = wineprefix.Prefix(self.Kind(arch), self.root / arch / program, program)
                prefix.path.mkdir(parents=True)
                self.assertEqual(prefix.registry_view, view)
                prefix.add_program_values("HKLM", "Software\\~kelvo-setup", {"Identity": 1})
                prefix.add_program_values("HKCU", "Software\\~kelvo-setup", {"Identity": 2})
                # Wine's own settings are its 64-bit programs', in every prefix.
                prefix.add_values("HKLM", "Software\\Wine\\Drives", {"d:": "cdrom"})
                keys = [key for key, _ in reg_sections(prefix.path / "system.reg")]
                self.assertEqual(keys, [key.replace("\\", "\\\\"), "Software\\\\Wine\\\\Drives"])
                self.assertEqual(reg_sections(prefix.path / "user.reg"),
                                 [("Software\\\\~kelvo-setup", ['"Identity"=dword:00000002'])])
        for key in ("Software", "software\\a", "Software\\Wow6432Node\\a", "System\\a"):
            self.assertEqual(wineprefix.view_key("HKLM", key, "wow64"),
                             {"Software": "Software\\Wow6432Node",
                              "software\\a": "Software\\Wow6432Node\\a"}.get(key, key))

    @unittest.skipIf(os.path.exists("/usr/lib/wine/wine"), "32-bit Wine is installed here")
    def test_a_win32_prefix_without_32_bit_wine_says_what_is_missing(self):
        with self.assertRaisesRegex(wineprefix.SetupError, "wine32:i386"):
            wineprefix.Wine(self.root / "home", arch="win32")


class Builds(Folder):
    def test_the_shipped_build_where_32_bit_programs_run(self):
        build = wineprefix.choose_build(self.root, check=lambda: (True, ""))
        self.assertEqual((build.arch, build.setup), ("i686", self.root / "win-i686/setup.exe"))
        self.assertEqual(build.robot, self.root / "win-i686/tools/wine/robot.exe")
        self.assertIn("shipped i686", build.why)

    def test_the_x86_64_build_says_why(self):
        build = wineprefix.choose_build(self.root, check=lambda: (False, "no 32-bit code"))
        self.assertEqual((build.arch, build.recorder),
                         ("x86_64", self.root / "win-x86_64/tools/wine/recorder.exe"))
        self.assertIn("no 32-bit code", build.why)
        self.assertEqual(len(build.why.splitlines()), 1)

    def test_the_processor_of_a_program_from_its_header(self):
        for machine, name in ((0x14C, "i686"), (0x8664, "x86_64"), (0x1C0, "unknown")):
            head = bytearray(512)
            head[:2] = b"MZ"
            head[0x3C:0x40] = (128).to_bytes(4, "little")
            head[128:132] = b"PE\0\0"
            head[132:134] = machine.to_bytes(2, "little")
            path = self.root / ("p%x.exe" % machine)
            path.write_bytes(bytes(head))
            self.assertEqual(wineprefix.pe_machine(path), name)
        self.assertEqual(wineprefix.pe_machine(self.write("text.exe", "MZ but not PE")),
                         "unknown")
        self.assertEqual(wineprefix.pe_machine(self.root / "missing.exe"), "unknown")


class ProgramStarts(unittest.TestCase):
    def test_a_start_short_of_resources_is_tried_again_and_a_failed_one_says_why(self):
        real, calls = subprocess.Popen, []

        def refuse_twice(arguments, **options):
            calls.append(arguments)
            if len(calls) <= 2:
                raise BlockingIOError(11, "Resource temporarily unavailable")
            return real(arguments, **options)

        pause, wineprefix.START_PAUSE = wineprefix.START_PAUSE, 0
        subprocess.Popen = refuse_twice
        try:
            self.assertEqual(wineprefix.run_program(["true"]).returncode, 0)
            self.assertEqual(len(calls), 3)
        finally:
            subprocess.Popen, wineprefix.START_PAUSE = real, pause
        with self.assertRaisesRegex(OSError, "cannot start /no/such/program: No such file"):
            wineprefix.run_program(["/no/such/program"])
        self.assertEqual(wineprefix.run_program(["sh", "-c", "echo out"], capture_output=True,
                                                text=True).stdout, "out\n")


class Mounts(Folder):
    def test_the_mounts_under_a_folder_come_deepest_first(self):
        work = self.root / "my work"
        table = self.write("mounts", "\n".join([
            "proc /proc proc rw 0 0",
            "tmpfs %s tmpfs rw 0 0" % (str(work / "001 a/prefix/drive_c")).replace(" ", "\\040"),
            "tmpfs %s tmpfs rw 0 0" % (str(work / "001 a/drive-e")).replace(" ", "\\040"),
            "/dev/loop3 %s/001\\040a/prefix/drive_c/windows ext4 rw 0 0"
            % str(work).replace(" ", "\\040"),
            "tmpfs %s tmpfs rw 0 0" % (str(self.root / "my work2")).replace(" ", "\\040"),
            ""]))
        self.assertEqual(wineprefix.mounts_under(work, table),
                         [str(work / "001 a/prefix/drive_c/windows"),
                          str(work / "001 a/prefix/drive_c"), str(work / "001 a/drive-e")])
        self.assertEqual(wineprefix.mounts_under(work, self.root / "no table"), [])

    def test_a_refused_mount_is_told_apart_from_other_faults(self):
        # A mount that fails as it does in a container that forbids mounts.
        fake = self.write("bin/mount", "#!/bin/sh\necho 'mount: permission denied' >&2\nexit 32\n")
        fake.chmod(0o755)
        path = os.environ["PATH"]
        os.environ["PATH"] = "%s:%s" % (fake.parent, path)
        try:
            prefix = wineprefix.Prefix(None, self.root / "prefix")
            (prefix.path / "dosdevices").mkdir(parents=True)
            with self.assertRaises(wineprefix.MountRefused) as refused:
                prefix.fixed("e", self.root / "e", free=1 << 20)
            self.assertIn("permission denied", str(refused.exception))
            self.assertIsInstance(refused.exception, wineprefix.SetupError)
            self.assertEqual(prefix.mounts, [])
        finally:
            os.environ["PATH"] = path


@unittest.skipUnless(wineprefix.can_mount_images() and shutil.which("xorriso")
                     and os.geteuid() == 0, "needs FUSE, fuseiso, xorriso and root")
class Images(Folder):
    def test_a_mounted_image_shows_its_files_and_is_listed_nowhere(self):
        # Unless told not to, fuseiso lists its mounts in ~/.mtab.fuseiso (the account's home,
        # whatever HOME says) and rewrites that list as it unmounts; with several mounts coming
        # and going at once the rewrite spun and grew the list without end.
        listing = Path(pwd.getpwuid(os.geteuid()).pw_dir) / ".mtab.fuseiso"

        def listed():
            return listing.read_bytes() if listing.exists() else None

        self.write("disc/kelvo/a.txt", "one")
        image = self.root / "disc.iso"
        subprocess.run(["xorriso", "-no_rc", "-as", "mkisofs", "-quiet", "-V", "TESTDISC",
                        "-o", str(image), str(self.root / "disc")], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        before = listed()
        disc = wineprefix.ImageDisc(image, self.root / "mounted", mount=True)
        try:
            self.assertEqual(disc.how, "fuseiso")
            self.assertEqual((self.root / "mounted/kelvo/a.txt").read_text(), "one")
            self.assertEqual(listed(), before)
        finally:
            disc.close()


if __name__ == "__main__":
    unittest.main()
