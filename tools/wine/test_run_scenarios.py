#!/usr/bin/env python3
"""Tests of run-scenarios' machine setup: the discs it lays out. Needs no Wine."""

import unittest
from importlib.machinery import SourceFileLoader
from pathlib import Path

from test_wineprefix import Folder

RUNNER = Path(__file__).with_name("run-scenarios")
runner = SourceFileLoader("run_scenarios", str(RUNNER)).load_module()
# The facts the runner needs of the product, as the product has them.
FACTS = runner.product_facts.Facts(ProductFolder="kelvo", GameExeSuffix="\\kelvo.exe",
                                   DirectXSetup="Directx\\DX6User.exe")


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
        disc = {"name": "disc1", "label": "KELVO_1", "sample": 0, "extraFiles": 0, "big": 0,
                "noProduct": False, "files": []}
        disc.update(fields)
        root = self.root / "discs" / disc["name"]
        runner.make_disc(disc, root, self.samples, self.recorder, FACTS)
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
        # A disc's files carry no write bits, as on a real disc; its folders can be changed.
        for path in root.rglob("*"):
            self.assertEqual(path.stat().st_mode & 0o222, 0o200 if path.is_dir() else 0, path)
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

    def test_a_big_file_is_all_hole(self):
        root = self.disc(name="d1", big=3 << 30)
        big = root / "kelvo/d1-big.dat"
        self.assertEqual(big.stat().st_size, 3 << 30)
        self.assertLess(big.stat().st_blocks * 512, 1 << 20)
        self.assertEqual(big.stat().st_mode & 0o222, 0)


class PlayedAgain(Folder):
    """Only a run whose installer showed nothing at its first step, or was never started, is
    played again."""

    def test_only_an_empty_screen_at_the_first_step_counts(self):
        scenario = self.write("s.scn", "title t\ndrive c fixed\n\nexpect dialog Setup\nclick 1000\n"
                                       "expect dialog Setup\n")
        empty = ["FAIL line 4: expect dialog Setup: no dialog \"Setup\" came up within 60 s",
                 "  (no windows)"]
        self.assertTrue(runner.never_shown(scenario, empty))
        # A window was there, or a later step failed: the product's fault, not the session's.
        shown = [empty[0], '  dialog "Other"']
        later = [empty[0].replace("line 4", "line 6"), empty[1]]
        for reasons in (shown, later, empty[:1]):
            self.assertFalse(runner.never_shown(scenario, reasons), reasons)
        # The robot never started the installer: its drives did not read as laid out.
        unread = ['FAIL drive d: reads as no CD-ROM drive with label "" before setup starts, '
                  'not "KELVO_1" (the mount manager after 5 s: running)']
        self.assertTrue(runner.never_shown(scenario, unread))
        # The words the runner looks for are the robot's own.
        robot = RUNNER.with_name("wine_backend.cpp").read_text(encoding="utf-8")
        self.assertIn('" ' + runner.DRIVES_NOT_READ + ', not', robot)


if __name__ == "__main__":
    unittest.main()
