#!/usr/bin/env python3
"""Tests of tools/bench-copy's measuring: how each disc's copy and an install's commit are read
from the file system's times, that every figure and ratio takes one contender's runs alike, the
goals, the rollback's floor, the cancels' scenarios and play logs, and how system calls and Wine
server requests are counted in an strace log, program by program."""

import contextlib
import io
import os
import re
import tempfile
import time
import unittest
from unittest import mock
from importlib.machinery import SourceFileLoader
from pathlib import Path

bench = SourceFileLoader("bench_copy", str(Path(__file__).with_name("bench-copy"))).load_module()

FACTS = bench.product_facts.Facts(
    DiscLabel1="A_1", DiscLabel2="A_2", MapDiscLabel="A_3", ProductFolder="game",
    DefaultInstallRoot="C:\\Games", InstallerTitle="Setup", CaptionInstall="Install",
    CaptionNotice="Notice", CaptionAttention="Note", TextConfirmInstall="Into %s?",
    TextInsertDisc2="Disc two", TextInsertMapDisc="Map disc", TextOfferDirectX="DirectX?",
    TextInstallDone="Done", TextNoUninstaller="No uninstaller",
    SetupNamePrefix="~setup", IDD_INSTALL={"title": "Install"})


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
            seconds = bench.copy_seconds(bench.copy_ends(discs, installed))
        # Disc 1: a to b, stretched by one file in two; disc 2: c to the second shared.
        wanted = ((moments["b"][0] - moments["a"][0]) * 2 +
                  (moments["shared"][1] - moments["c"][0]) * 2)
        self.assertAlmostEqual(seconds, wanted, delta=0.05)


class Nsis(unittest.TestCase):
    @unittest.skipUnless(bench.wineprefix.find_program("makensis"), "no makensis (package nsis)")
    def test_the_nsis_installer_builds_with_setups_word_size_and_asks_for_each_disc(self):
        with tempfile.TemporaryDirectory() as folder:
            for arch in ("i686", "x86_64"):
                out = Path(folder) / ("nsis-%s.exe" % arch)
                script = bench.nsis_script(FACTS, arch, out)
                self.assertEqual(re.findall(r'insertmacro Disc "(.*)"', script),
                                 ["A_1", "A_2", "A_3"])
                self.assertIn('CopyFiles /SILENT "$Foundgame\\*.*" "$INSTDIR"', script)
                (Path(folder) / "setup.nsi").write_text(script)
                ran = bench.subprocess.run(["makensis", "-V1", str(Path(folder) / "setup.nsi")],
                                           capture_output=True, text=True)
                self.assertEqual(ran.returncode, 0, ran.stdout + ran.stderr)
                self.assertEqual(bench.wineprefix.pe_machine(out), arch)


class Commit(unittest.TestCase):
    """The journal's last write and deletion, read from the inode the watch holds."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = Path(self.folder.name)
        self.disc = self.root / "disc"
        self.disc.mkdir()
        (self.disc / "a.dat").write_text("a")
        self.install = self.root / "run" / "game"

    def tearDown(self):
        self.folder.cleanup()

    def watch(self):
        # As the bench looks: the install folder first, then its parents.
        return bench.JournalWatch([self.install, self.install.parent, self.root],
                                  re.compile(r"~j\.jnl"))

    def install_with_journal(self, where, pause_before_commit=0.0, commit_seconds=0.0,
                             delete=True):
        """A copy of the disc that keeps its journal in where, as the product does."""
        journal = where / "~j.jnl"
        with open(journal, "w") as file:
            file.write("J begin\n")
            file.flush()
            self.install.mkdir(parents=True, exist_ok=True)
            (self.install / "a.dat").write_text("a")
            time.sleep(pause_before_commit)
            file.write("C commit\n")
        time.sleep(commit_seconds)
        if delete:
            journal.unlink()

    def test_the_commit_lasts_from_the_journals_last_write_to_its_deletion(self):
        with self.watch() as watch:
            time.sleep(0.05)
            # The install folder is yet to be made: the journal is in its deepest parent there.
            self.install_with_journal(self.root, pause_before_commit=0.3, commit_seconds=0.4)
        run = bench.measured([self.disc], self.install, watch)
        watch.close()
        # The file system's clock may lag a tick; a busy machine may sleep longer.
        self.assertGreater(run.commit, 0.39)
        self.assertLess(run.commit, 0.7)
        # The span reaches from the one file's end over the wait to the deletion.
        self.assertGreater(run.span, 0.69)
        self.assertLess(run.span, run.commit + 0.6)
        self.assertAlmostEqual(run.seconds, run.copy + run.commit)

    def test_a_journal_left_behind_or_never_seen_fails_the_run(self):
        self.install.mkdir(parents=True)
        with self.watch() as watch:
            time.sleep(0.05)
            self.install_with_journal(self.install, delete=False)
            time.sleep(0.05)
        with self.assertRaisesRegex(bench.CopyFailed, "not deleted"):
            watch.commit()
        watch.close()
        (self.install / "~j.jnl").unlink()
        with self.watch() as watch:
            time.sleep(0.02)
        with self.assertRaisesRegex(bench.CopyFailed, "no journal"):
            watch.commit()

    def test_a_journal_that_another_file_replaces_is_followed(self):
        self.install.mkdir(parents=True)
        journal = self.install / "~j.jnl"
        watch = self.watch()
        journal.write_text("first")
        watch.look()
        (self.install / "new").write_text("second")
        second = (self.install / "new").stat().st_ino
        os.replace(self.install / "new", journal)
        watch.look()
        watch.look()
        journal.unlink()
        deleted = time.time_ns()
        written, gone = watch.commit()
        self.assertEqual(len(watch.held), 2)
        self.assertEqual(os.fstat(watch.held[-1]).st_ino, second)
        watch.close()
        self.assertAlmostEqual(gone / 1e9, deleted / 1e9, delta=0.1)
        self.assertLessEqual(written, gone)


def runs(*figures, commit=None, own=None):
    return [bench.Measure(copy, commit, own) for copy in figures]


class Report(unittest.TestCase):
    """Every figure compared is a contender's own copy and commit, taken alike."""

    TIMES = {"setup": runs(2.0, 2.2, 1.8, commit=0.01),
             "repair": runs(2.4, 2.6, 2.5, commit=1.0),
             "copy": runs(1.9, 2.0, 2.1, commit=0.01, own=1.2),
             "copy-repair": runs(2.0, 2.2, 2.1, commit=0.9, own=3.0),
             "xcopy": runs(2.4, 2.5, 2.3, own=3.5),
             "xcopy-over": runs(2.3, 2.4, 2.5, own=4.0)}

    def ratios(self, lines):
        found = {}
        for line in lines:
            words = line.split()
            if len(words) == 3 and "/" in words[0]:
                found[words[0]] = float(words[1])
        return found

    def test_ratios_take_the_copy_and_the_commit_of_each_contenders_own_runs(self):
        lines = bench.summary(self.TIMES, 3)
        ratios = self.ratios(lines)
        # The copy's own clock (1.2) and the copy-repair's runs take no part in its figure.
        self.assertAlmostEqual(ratios["setup/copy"], 2.01 / 2.01, places=2)
        self.assertAlmostEqual(ratios["repair/xcopy-over"], 3.5 / 2.4, places=2)
        self.assertAlmostEqual(ratios["copy-repair/xcopy-over"], 3.0 / 2.4, places=2)
        self.assertAlmostEqual(ratios["repair/copy-repair"], 3.5 / 3.0, places=2)
        self.assertNotIn("setup/cp", ratios)
        text = "\n".join(lines)
        self.assertIn("repair      3.500 [3.400..3.600]  = copy 2.500 [2.400..2.600] + commit "
                      "1.000 [1.000..1.000]", text)
        self.assertIn("as it timed itself 1.200 [1.200..1.200]", text)
        self.assertIn("the wall clock around it 4.000 [4.000..4.000]", text)

    def test_a_ratios_spread_is_taken_round_by_round(self):
        self.assertEqual(bench.ratio({"a": [2.0, 6.0, 3.0], "b": [1.0, 2.0, 3.0]}, "a", "b"),
                         (1.5, 1.0, 3.0))

    def test_each_goal_says_what_was_measured_and_whether_it_is_met(self):
        goals = bench.ratio_goals(self.TIMES, bench.GOALS + (bench.LARGE_GOAL,))
        lines = bench.goal_lines(goals)
        self.assertEqual(len(lines), 7)
        self.assertIn("repair/xcopy-over at most 1 x: 1.458 x (1.400..1.500), NOT met", lines[0])
        self.assertIn("setup/copy at most 1.05 x: 1.000 x (0.858..1.100), met", lines[2])
        # A contender that did not run (no makensis) is said to be unmeasured, not met.
        self.assertTrue(lines[3].endswith("setup/nsis at most 1 x: not measured"))
        self.assertTrue(lines[4].endswith("repair/nsis-over at most 1 x: not measured"))
        self.assertIn("copy/xcopy at most 0.8 x: 0.837 x", lines[5])
        self.assertTrue(lines[6].endswith("large-repair/large-fresh at most 1.3 x: not measured"))

    def test_every_contenders_rounds_are_held_to_the_spread_around_its_median(self):
        lines = bench.goal_lines(bench.spread_goals(
            {"steady": runs(2.0, 2.2, 1.8), "wild": runs(1.0, 2.0, 3.2)}))
        # steady: 10 % either side; wild: its lowest round 50 % below, its highest 60 % above.
        self.assertIn("rounds of steady within the median's at most 15 %: 10.000 % "
                      "(-10.000..10.000), met", lines[0])
        self.assertIn("rounds of wild within the median's at most 15 %: 60.000 % "
                      "(-50.000..60.000), NOT met", lines[1])

    def test_a_machine_slower_for_a_round_is_taken_out_in_probe_units(self):
        # Round 2 ran on a machine half as fast for everyone: its probe took twice as long.
        times = {"setup": runs(1.0, 2.0, 1.1), "copy": runs(1.0, 2.2, 1.0)}
        for name in times:
            for run, probe in zip(times[name], (0.1, 0.2, 0.1)):
                run.probe = probe
        text = "\n".join(bench.summary(times, 3, explain=False))
        self.assertIn("setup 10.000 [10.000..11.000]", text)
        self.assertIn("setup/copy  1.00 (0.91..1.10) in probes", text)
        lines = bench.goal_lines(bench.spread_goals(times))
        self.assertIn("rounds of setup within the median's at most 15 %: 81.818 %", lines[0])
        self.assertIn("rounds of setup in probe units within the median's at most 15 %: "
                      "10.000 % (0.000..10.000), met", lines[2])
        # A contender some of whose runs were not probed has no figures in probe units.
        times["copy"][0].probe = None
        self.assertNotIn("in probes", "\n".join(bench.summary(times, 3, explain=False)))
        self.assertEqual(len(bench.spread_goals(times)), 3)

    def test_each_run_is_shown_with_the_machines_probe_before_it(self):
        with tempfile.TemporaryDirectory() as folder:
            cpu, disk = bench.machine_probe(Path(folder))
            self.assertEqual(os.listdir(folder), [])
        self.assertGreater(cpu, 0)
        self.assertGreater(disk, 0)
        self.assertEqual(bench.round_entry("setup", 1.5, (0.1, 0.25), 3 << 20),
                         "setup 1.500 (probe 0.100, disk 0.250, 3072 MiB back)")
        self.assertEqual(bench.round_entry("cp", 0.3, (0.1, 0.2), None),
                         "cp 0.300 (probe 0.100, disk 0.200)")
        self.assertEqual(bench.round_entry("cp", 0.3, (0.1, 0.2), None, 62.5),
                         "cp 0.300 (probe 0.100, disk 0.200, discs 62 % cached)")

    def test_the_discs_are_in_memory_before_each_run(self):
        with tempfile.TemporaryDirectory() as folder:
            disc = Path(folder) / "disc1"
            (disc / "sub").mkdir(parents=True)
            (disc / "sub" / "a.dat").write_bytes(os.urandom(3 << 20))
            (disc / "empty.dat").write_bytes(b"")
            with mock.patch.object(bench, "FINCORE_BATCH", 1):
                bench.warm([disc])
                self.assertGreater(bench.cached_share([disc]), 99)
            self.assertIsNone(bench.cached_share([disc / "nothing"]))
            with mock.patch.object(bench.subprocess, "run", side_effect=OSError):
                self.assertIsNone(bench.cached_share([disc]))

    def test_each_timed_run_meets_no_install_folder_of_the_runs_before_it(self):
        with tempfile.TemporaryDirectory() as folder:
            outputs = Path(folder)
            met = []

            class Rounds:
                options = type("Options", (), {"rounds": 2})

                def timed(self, command, name, discs):
                    met.append((name, sorted(path.name for path in outputs.iterdir())))
                    (outputs / name).mkdir()
                    return bench.Measure(copy=1.0), outputs / name

            Rounds.outputs = outputs
            with mock.patch.object(bench, "settle"), contextlib.redirect_stdout(io.StringIO()):
                times = bench.Bench.rounds(Rounds(), [("a", None), ("b", None)], [])
        self.assertEqual(met, [("a", []), ("b", []), ("b", []), ("a", [])])
        self.assertEqual([len(runs) for runs in times.values()], [2, 2])

    def test_the_next_run_waits_until_the_memory_freed_is_handed_back(self):
        handed = iter([100, 200, 300, 300, 400])
        looks = []

        def handed_back():
            looks.append(1)
            return next(handed)

        bench.settle(seconds=0, poll=0, wait=10, handed_back=handed_back)
        self.assertEqual(len(looks), 4)  # the first two polls saw it change, the third not
        # Where nothing is handed back, and where the handing back never ends, it goes on.
        bench.settle(seconds=0, poll=0, wait=10, handed_back=lambda: None)
        counter = iter(range(10 ** 9))
        start = time.monotonic()
        bench.settle(seconds=0, poll=0.01, wait=0.1, handed_back=lambda: next(counter))
        self.assertLess(time.monotonic() - start, 5)

    def test_the_repair_is_judged_as_the_user_waits_and_its_commit_against_its_floor(self):
        times = {"repair": [bench.Measure(copy=2.0, commit=1.0),
                            bench.Measure(copy=4.0, commit=3.0),
                            bench.Measure(copy=3.0, commit=2.0)],
                 "xcopy-over": [bench.Measure(copy=2.0)] * 3,
                 "nsis-over": [bench.Measure(copy=4.0)] * 3}
        goals = bench.commit_goals(times, [1.0, 2.0, 4.0])
        self.assertEqual([(measured, most) for _, measured, most, _ in goals],
                         [((1.5, 1.0, 2.0), 1.0), ((0.75, 0.5, 1.0), 1.0), ((1.0, 0.5, 1.5), 1.1)])
        # A repair whose commit was not seen, or no floor: its commit is not judged.
        times["repair"][1] = bench.Measure(copy=4.0)
        self.assertIsNone(bench.commit_goals(times, [1.0, 2.0, 4.0])[2][1])
        self.assertIsNone(bench.commit_goals(times, [])[2][1])
        self.assertTrue(all(measured is None for _, measured, _, _ in bench.commit_goals({}, [])))

    def test_the_cancels_goals_take_the_medians_under_wine_and_the_floor(self):
        goals = bench.cancel_goals({"cancel-big": [0.07, 0.06, 0.9], "cancel-files": [2.5],
                                    "cancel-repair": [4.0, 3.0, 5.0]}, [3.0, 2.5, 3.5])
        self.assertEqual([(measured, most) for _, measured, most, _ in goals],
                         [((0.07, 0.06, 0.9), 0.5), ((2.5, 2.5, 2.5), 2),
                          ((4.0 / 3.0, 1.2, 5.0 / 3.5), 1.1)])
        self.assertTrue(all(measured is None
                            for _, measured, _, _ in bench.cancel_goals({}, [])))


class Floor(unittest.TestCase):
    def test_the_floor_must_leave_each_name_with_its_kept_contents(self):
        with tempfile.TemporaryDirectory() as folder:
            root = Path(folder) / "floor"
            seen = []
            bench.lay_out_floor(root, 4, lambda: seen.append(sorted(os.listdir(root))))
            # The kept files are written out before the new ones are made.
            self.assertEqual(seen, [["kept%05d.bak" % number for number in range(4)]])
            self.assertEqual(len(os.listdir(root)), 8)
            self.assertEqual((root / "kept00002.bak").stat().st_mode & 0o222, 0)
            for number in (3, 2, 1):
                os.replace(root / ("kept%05d.bak" % number), root / ("file%05d.dat" % number))
            with self.assertRaisesRegex(bench.CopyFailed, "holds 5 entries"):
                bench.check_floor(root, 4)
            (root / "kept00000.bak").unlink()
            with self.assertRaisesRegex(bench.CopyFailed, "kept00000.bak"):
                bench.check_floor(root, 4)
            os.chmod(root / "file00000.dat", 0o644)
            (root / "file00000.dat").write_bytes(bench.floor_bytes("kept", 0))
            bench.check_floor(root, 4)

    def test_the_large_folder_is_one_folder_of_small_read_only_files(self):
        with tempfile.TemporaryDirectory() as folder:
            bench.add_large_folder(Path(folder), "game", 25)
            files = sorted((Path(folder) / "game" / bench.LARGE_FOLDER).iterdir())
            self.assertEqual(len(files), 25)
            self.assertEqual(files[-1].name, "file00024.dat")
            self.assertEqual({(path.stat().st_size, path.stat().st_mode & 0o222)
                              for path in files}, {(bench.SMALL_FILE_BYTES, 0)})


class Cancels(unittest.TestCase):
    def test_the_cancels_press_halfway_through_the_big_file_and_after_the_small_files(self):
        found = bench.cancel_scenarios(FACTS)
        big = found["cancel-big"].splitlines()
        self.assertIn("disc disc1 label A_1 big %d" % (1 << 30), big)
        self.assertIn("click 2 when bytes C:\\Games\\game\\disc1-big.dat %d" % (1 << 29), big)
        files = found["cancel-files"].splitlines()
        self.assertIn("disc disc1 label A_1 files 10500", files)
        self.assertIn("click 2 when files C:\\Games\\game\\disc1-extra 10000 within 600", files)
        repair = found["cancel-repair"].splitlines()
        self.assertIn("previous-install C:\\Games\\game disc1", repair)
        # Counted under the install folder, wherever below it the kept files go: the earlier
        # files or their successors, 10,000 kept ones and the journal.
        self.assertIn("click 2 when files C:\\Games\\game 20501 within 600", repair)
        # Or in setup's own folder of the drive: 10,000 kept files and the journal.
        own = bench.cancel_scenarios(FACTS, own_place=True)["cancel-repair"].splitlines()
        self.assertIn("click 2 when files C:\\~setup 10001 within 600", own)
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
