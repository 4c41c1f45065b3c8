#!/usr/bin/env python3
"""Tests of tools/bench-copy's measuring: which steps of the robot's output bound the copy of
each disc, and how system calls and Wine server requests are counted in an strace log, program by
program."""

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
    TextInstallDone="Done", TextNoUninstaller="No uninstaller",
    IDD_INSTALL={"title": "Install"})


class Timing(unittest.TestCase):
    def test_the_install_types_the_folder_and_swaps_the_discs_when_asked(self):
        lines = bench.install_scenario(FACTS, "O:\\run-1").splitlines()
        self.assertIn("type 1004 O:\\run-1", lines)
        self.assertIn('expect box Install "Into O:\\run-1\\game?" yesno owner owner', lines)
        at = lines.index("expect box Notice \"Disc two\" okcancel owner install topmost")
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


class Cancels(unittest.TestCase):
    def test_the_cancels_press_halfway_through_the_big_file_and_after_the_small_files(self):
        found = bench.cancel_scenarios(FACTS)
        big = found["cancel-big"].splitlines()
        self.assertIn("disc disc1 label A_1 big %d" % (1 << 30), big)
        self.assertIn("click 2 when bytes C:\\Games\\game\\disc1-big.dat %d" % (1 << 29), big)
        files = found["cancel-files"].splitlines()
        self.assertIn("disc disc1 label A_1 files 10500", files)
        self.assertIn("click 2 when files C:\\Games\\game\\disc1-extra 10000 within 600", files)
        # Over an earlier install, the folder holds its files and the kept ones of those replaced.
        repair = found["cancel-repair"].splitlines()
        self.assertIn("previous-install C:\\Games\\game disc1", repair)
        # Counted under the install folder, wherever below it the kept files go: the earlier
        # files or their successors, 10,000 kept ones and the journal.
        self.assertIn("click 2 when files C:\\Games\\game 20501 within 600", repair)
        for lines in (big, files, repair):
            self.assertEqual(lines[lines.index("answer yes") + 1], "expect dialog Install")
            self.assertIn("expect exit -1", lines)
        for lines in (big, files):
            self.assertIn("expect no file C:\\Games\\game", lines)

    def test_a_cancel_lasts_from_the_click_to_the_end_seen_in_the_play_log(self):
        log = ["   0.369 ok line 7: expect dialog Setup", "   0.614 ok line 12: click 2 when bytes "
               "C:\\x 512M", "   0.720 ok line 13: expect exit -1", "   0.720 done"]
        self.assertAlmostEqual(bench.press_to_end(log), 0.106)
        with self.assertRaises(bench.CopyFailed):
            bench.press_to_end(log[:2])

    def test_the_play_logs_are_found_in_what_the_runners_kept(self):
        with tempfile.TemporaryDirectory() as folder:
            root = Path(folder)
            for name in ("001-cancel-files-1", "000-cancel-big-1"):
                (root / name).mkdir()
                (root / name / "robot.out").write_text("")
            wine = bench.played_outputs("wine", "PASS cancel-big-1 (4.4 s)\nkept: %s\n" % root)
            self.assertEqual([p.parent.name for p in wine], ["000-cancel-big-1",
                                                             "001-cancel-files-1"])
        host = bench.played_outputs("host", "PASS cancel-big-1\n  machine: /m/cancel-big-1\n"
                                    "1 passed, 0 failed\n")
        self.assertEqual(host, [Path("/m/cancel-big-1/setup.out")])


class Traces(unittest.TestCase):
    def count(self, trace):
        with tempfile.NamedTemporaryFile("w", suffix=".trace") as file:
            file.write(trace)
            file.flush()
            return bench.count_calls(file.name)

    def test_calls_and_server_requests_are_counted_once(self):
        found = self.count(
            '100 statx(AT_FDCWD, "a", 0) = 0\n'
            '100 write(3, "0\\0\\0\\0"..., 64) = 64\n'
            '100 read(4, "\\0\\0"..., 64) = 64\n'
            '101 writev(3, [{iov_base="+\\0\\0", iov_len=64}, {iov_base="x", iov_len=8}], 2 '
            '<unfinished ...>\n'
            '100 write(17, "data"..., 65536) = 65536\n'
            '101 <... writev resumed>) = 72\n'
            '101 +++ exited with 0 +++\n')
        calls, requests = bench.program_calls(found)
        self.assertEqual(dict(calls), {"statx": 1, "write": 2, "read": 1, "writev": 1})
        self.assertEqual(requests, 2)
        per_file, per_file_requests = bench.per_file((calls, requests), ({"statx": 1}, 0), 2)
        self.assertEqual(per_file["write"], 1)
        self.assertEqual(per_file["statx"], 0)
        self.assertEqual(per_file_requests, 1)

    def test_each_program_gets_the_calls_of_its_threads_and_of_its_own_children(self):
        found = self.count(
            '10 execve("/usr/lib/wine/wine64", ["/usr/lib/wine/wine64", "/b/robot.exe", '
            '"C:\\\\robot\\\\setup.exe"], 0x1 /* 9 vars */) = 0\n'
            '10 clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SYSVSEM, child_tid=0x2}, 88) = 11\n'
            '11 write(5, "x"..., 64) = 64\n'
            '11 fork( <unfinished ...>\n'
            '20 getpid() = 20\n'
            '11 <... fork resumed>) = 20\n'
            '20 execve("/usr/lib/wine/wine-preloader", ["/usr/lib/wine/wine-preloader", '
            '"/usr/lib/wine/wine", "C:\\\\robot\\\\setup.exe"], 0x1 /* 9 vars */ '
            '<unfinished ...>\n'
            '20 <... execve resumed>) = 0\n'
            '20 clone(child_stack=0x3, flags=CLONE_VM|CLONE_FS|CLONE_THREAD|CLONE_SIGHAND '
            '<unfinished ...>\n'
            '21 read(7, "z", 1) = 1\n'
            '20 <... clone resumed>, tls=0x4) = 21\n'
            '21 write(5, "y"..., 64) = 64\n'
            '21 vfork() = 30\n'
            '30 read(8, "w", 1) = 1\n')
        self.assertEqual(set(found), {"robot.exe", "setup.exe"})
        robot, setup = found["robot.exe"], found["setup.exe"]
        self.assertEqual((sum(robot[0].values()), robot[1]), (4, 1))
        self.assertEqual(setup[0]["read"], 2)
        self.assertEqual(setup[1], 1)
        self.assertEqual(bench.program_calls(found, {"setup.exe"})[1], 1)


if __name__ == "__main__":
    unittest.main()
