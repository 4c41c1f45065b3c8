#!/usr/bin/env python3
"""Tests of tools/bench-copy's measuring: which steps of the robot's output bound the copy of
each disc, and how system calls and Wine server requests are counted in an strace log."""

import tempfile
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


class RobotSteps(unittest.TestCase):
    def test_each_disc_is_copied_between_an_answer_and_the_next_box(self):
        text, segments = bench.install_scenario(FACTS, "O:\\run-1")
        lines = text.splitlines()
        self.assertIn('expect box Install "Into O:\\run-1\\game?" yesno owner owner', lines)
        self.assertEqual(len(segments), 3)
        for (answer, box), wanted in zip(segments, ("Disc two", "Map disc", "DirectX?")):
            # Line numbers count from 1, as the robot's log does.
            self.assertTrue(lines[answer - 1].startswith("answer "), lines[answer - 1])
            self.assertIn(wanted, lines[box - 1])
            self.assertTrue(lines[box - 1].startswith("expect box"))

    def test_the_seconds_between_the_steps_add_up(self):
        output = ("  0.50 ok line 3: expect dialog Setup\n  1.00 ok line 4: answer yes\n"
                  "  3.25 ok line 5: expect box Notice\n  3.40 ok line 7: answer ok\n"
                  "  4.40 ok line 8: expect box Notice\nnoise\n")
        self.assertAlmostEqual(bench.copy_seconds(output, [(4, 5), (7, 8)]), 3.25)
        self.assertIsNone(bench.copy_seconds(output, [(4, 5), (7, 9)]))


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
