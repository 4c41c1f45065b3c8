#!/usr/bin/env python3
"""Tests of run-scenarios' machine setup: registry values in Wine's file format, the discs it
lays out, and Windows paths in a prefix. Needs no Wine."""

import shutil
import tempfile
import unittest
from importlib.machinery import SourceFileLoader
from pathlib import Path
from types import SimpleNamespace

RUNNER = Path(__file__).with_name("run-scenarios")
runner = SourceFileLoader("run_scenarios", str(RUNNER)).load_module()


class Folder(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="run-scenarios-test-"))

    def tearDown(self):
        shutil.rmtree(self.root)

    def write(self, relative, content):
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)
        return path


class RegistryFiles(Folder):
    def test_strings_are_escaped_as_wine_writes_them(self):
        self.assertEqual(runner.registry_string('C:\\Start Menu\\"x"'),
                         'C:\\\\Start Menu\\\\\\"x\\"')
        self.assertEqual(runner.registry_string("C:\\遊戲"), "C:\\\\\\x904a\\x6232")
        # Outside the basic plane: two UTF-16 units, as Wine writes them.
        self.assertEqual(runner.registry_string("\U0001f30e"), "\\xd83c\\xdf0e")
        self.assertEqual(runner.registry_string("tab\there"), "tab\\x0009here")

    def test_values_are_added_as_a_section_at_the_end(self):
        reg = self.write("user.reg", "WINE REGISTRY Version 2\n\n[Old] 1\n\"a\"=\"b\"\n")
        runner.add_registry_values(reg, "Software\\Wine\\Drives",
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
        self.assertTrue(runner.remove_registry_key(reg, "software\\explorer\\SHELL FOLDERS"))
        text = reg.read_text()
        self.assertNotIn("[Software\\\\Explorer\\\\Shell Folders] 1", text)
        self.assertNotIn("#time=1\n", text)
        self.assertIn("[Software\\\\Explorer\\\\Shell Folders\\\\Sub] 1\n\"x\"=\"y\"", text)
        self.assertIn("[Software\\\\Explorer\\\\User Shell Folders] 1", text)
        self.assertFalse(runner.remove_registry_key(reg, "Software\\Explorer\\Shell Folders"))

    def test_an_unopenable_key_is_a_link_to_itself(self):
        reg = self.write("user.reg", self.USER_REG)
        runner.make_key_unopenable(reg, "Software\\Explorer\\Shell Folders")
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
        with self.assertRaises(runner.SetupError):
            runner.make_key_unopenable(self.write("other.reg", "WINE REGISTRY Version 2\n"),
                                       "Software\\Explorer\\Shell Folders")


class Discs(Folder):
    def setUp(self):
        super().setUp()
        self.write("sample1/kelvo/kelvo.exe", "game")
        self.write("sample1/kelvo/data/a.dat", "a")
        self.write("sample1/.windows-label", "KELVO_1\n")
        self.write("sample2/KELVO/x.dat", "x")
        self.write("sample2/directx/dx6user.EXE", "dx")
        self.samples = {1: self.root / "sample1", 2: self.root / "sample2"}
        self.recorder = self.write("recorder.exe", "recorder")

    def disc(self, **fields):
        disc = {"name": "disc1", "label": "KELVO_1", "sample": 0, "extraFiles": 0,
                "noProduct": False, "files": []}
        disc.update(fields)
        root = self.root / "discs" / disc["name"]
        runner.make_disc(disc, root, self.samples, self.recorder)
        return root

    def files(self, root):
        return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())

    def test_a_sample_disc_gets_its_label_and_recorders_for_the_programs_started(self):
        root = self.disc(label="MY LABEL", sample=1)
        self.assertEqual(self.files(root), [".windows-label", "kelvo/data/a.dat",
                                            "kelvo/kelvo.exe"])
        self.assertEqual((root / ".windows-label").read_text(), "MY LABEL\n")
        self.assertEqual((root / "kelvo/kelvo.exe").read_text(), "recorder")
        self.assertEqual((root / "kelvo/data/a.dat").read_text(), "a")
        # The sample itself stays as it was.
        self.assertEqual((self.root / "sample1/kelvo/kelvo.exe").read_text(), "game")

    def test_program_names_match_in_any_letter_case(self):
        root = self.disc(name="d2", label="KELVO_2", sample=2)
        self.assertEqual((root / "directx/dx6user.EXE").read_text(), "recorder")
        self.assertEqual((root / "KELVO/x.dat").read_text(), "x")

    def test_extra_files_disc_files_and_no_product_folder(self):
        root = self.disc(name="big", extraFiles=3, files=[["kelvo\\遊戲\\b.txt", "內容"]])
        extras = sorted((root / "kelvo/big-extra").iterdir())
        self.assertEqual([p.name for p in extras], ["file00000.dat", "file00001.dat",
                                                    "file00002.dat"])
        self.assertTrue(all(p.stat().st_size == 1024 for p in extras))
        self.assertEqual((root / "kelvo/遊戲/b.txt").read_bytes(), "內容".encode("utf-8"))

        root = self.disc(name="bare", sample=1, extraFiles=2, noProduct=True,
                         files=[["readme.txt", "r"]])
        self.assertEqual(self.files(root), [".windows-label", "readme.txt"])


class PrefixPaths(Folder):
    def test_windows_paths_go_through_the_drive_links(self):
        prefix = self.root / "prefix"
        (prefix / "drive_c").mkdir(parents=True)
        (prefix / "dosdevices").mkdir()
        (prefix / "dosdevices/c:").symlink_to("../drive_c")
        (self.root / "e").mkdir()
        (prefix / "dosdevices/e:").symlink_to(self.root / "e")
        run = SimpleNamespace(prefix=prefix)
        run.drive_folder = lambda letter: runner.Scenario.drive_folder(run, letter)
        host_path = lambda path: runner.Scenario.host_path(run, path)
        self.assertEqual(host_path("C:\\Start Menu\\Programs"),
                         (prefix / "drive_c").resolve() / "Start Menu/Programs")
        self.assertEqual(host_path("e:/games/"), (self.root / "e").resolve() / "games")
        with self.assertRaises(runner.SetupError):
            host_path("F:\\x")
        for path in ("relative\\x", "", ":"):
            with self.assertRaises(runner.SetupError):
                host_path(path)


if __name__ == "__main__":
    unittest.main()
