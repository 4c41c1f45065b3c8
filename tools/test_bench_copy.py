#!/usr/bin/env python3
"""Tests of tools/bench-copy's measuring: which steps of the robot's output bound the copy of
each disc, and how system calls and Wine server requests are counted in an strace log."""

import tempfile
import time
import unittest
from importlib.machinery import SourceFileLoader
from pathlib import Path

bench = SourceFileLoader("bench_copy", str(Path(__file__).with_name("bench-copy"))).load_module()

FACTS = bench.product_facts.Facts(
    DiscLabel1="A_1", DiscLabel2="A_2", MapDiscLabel="A_3", ProductFolder="game",
    DefaultInstallRoot="C:\\Games", InstallerTitle="Setup", CaptionInstall="Install",
    CaptionNotice="Notice", CaptionAttention="Note", TextConfirmInstall="Into %s?",
    TextInsertDisc2="Disc two", TextInsertMapDisc="Map disc", TextOfferDirectX="DirectX?",
    TextInstallDone="Done", TextNoUninstaller="No uninstaller")


class Timing(unittest.TestCase):
    def test_the_install_types_the_folder_and_swaps_the_discs_when_asked(self):
        lines = bench.install_scenario(FACTS, "O:\\run-1").splitlines()
        self.assertIn("type 1004 O:\\run-1", lines)
        self.assertIn('expect box Install "Into O:\\run-1\\game?" yesno owner owner', lines)
        at = lines.index("expect box Notice \"Disc two\" okcancel owner install")
        self.assertEqual(lines[at + 1:at + 3], ["insert d disc2", "answer ok"])
        self.assertEqual(lines[-1], "expect exit -1")

    def test_each_discs_copy_lasts_from_its_first_file_to_its_last(self):
        with tempfile.TemporaryDirectory() as folder:
            root = Path(folder)
            discs = [root / "disc1", root / "disc2"]
            for disc, names in zip(discs, (("a", "b", "shared"), ("c", "shared"))):
                for name in names:
                    (disc / name).parent.mkdir(parents=True, exist_ok=True)
                    (disc / name).write_text(name)
            installed = root / "installed"
            installed.mkdir()
            moments = {}
            # Disc 1's files, a pause (a prompt), disc 2's files replacing "shared".
            for name, pause in (("a", 0), ("b", 0.2), ("shared", 0.2), ("c", 1.0),
                                ("shared", 0.3)):
                time.sleep(pause)
                (installed / name).write_text(name)
                moments.setdefault(name, []).append(time.monotonic())
            seconds = bench.copy_seconds(discs, installed)
        # Disc 1: a to b, stretched by one file in two; disc 2: c to the second shared.
        wanted = ((moments["b"][0] - moments["a"][0]) * 2 +
                  (moments["shared"][1] - moments["c"][0]) * 2)
        self.assertAlmostEqual(seconds, wanted, delta=0.05)


class Traces(unittest.TestCase):
    def test_calls_and_server_requests_are_counted_once(self):
        trace = (
            '100 statx(AT_FDCWD, "a", 0) = 0\n'
            '100 write(3, "0\\0\\0\\0"..., 64) = 64\n'
            '100 read(4, "\\0\\0"..., 64) = 64\n'
            '101 writev(3, [{iov_base="+\\0\\0", iov_len=64}, {iov_base="x", iov_len=8}], 2 '
            '<unfinished ...>\n'
            '100 write(17, "data"..., 65536) = 65536\n'
            '101 <... writev resumed>) = 72\n'
            '101 +++ exited with 0 +++\n')
        with tempfile.NamedTemporaryFile("w", suffix=".trace") as file:
            file.write(trace)
            file.flush()
            calls, requests = bench.count_calls(file.name)
        self.assertEqual(dict(calls), {"statx": 1, "write": 2, "read": 1, "writev": 1})
        self.assertEqual(requests, 2)
        per_file, per_file_requests = bench.per_file((calls, requests),
                                                     ({"statx": 1}, 0), 2)
        self.assertEqual(per_file["write"], 1)
        self.assertEqual(per_file["statx"], 0)
        self.assertEqual(per_file_requests, 1)


if __name__ == "__main__":
    unittest.main()
