"""tools/discset/discset: checks disc sets, masters them, and the images read back with isoinfo."""

import importlib.machinery
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "discset" / "discset"
HAVE_TOOLS = shutil.which("xorriso") is not None and shutil.which("isoinfo") is not None
MIB = 1 << 20

# Past Joliet's 64-character limit, in mixed case, inside a folder with a space.
LONG_NAME = "A Long Mixed-Case Name For The Northern Mountain Region Map Tiles Part 01.dat"
CHINESE_NAME = "雲嶺地圖資料.dat"


def good_set():
    """{disc number: {path: bytes or a size in MiB for a sparse file}}, a set that passes."""
    return {
        1: {".windows-label": b"KELVO_1\n", "kelvo/kelvo.exe": b"MZ game", "kelvo/pixie.exe": b"MZ",
            f"kelvo/Map Data/{LONG_NAME}": b"tiles"},
        2: {".windows-label": b"KELVO_2\n", "kelvo/ReadMe.txt": b"read me",
            "Directx/DX6User.exe": b"MZ dx"},
        3: {".windows-label": b"KELVO_3\r\n", f"kelvo/Map Data/{CHINESE_NAME}": b"map",
            "Directx/DX6User.exe": b"MZ dx"},
    }


def run_tool(*args):
    result = subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True,
                            text=True, check=False)
    return result.returncode, result.stdout + result.stderr


def isoinfo(*args):
    return subprocess.run(["isoinfo", *map(str, args)], capture_output=True, check=True).stdout


def joliet_volume_id(image):
    """The volume id Windows shows: the Joliet descriptor's, read straight from the image."""
    with open(image, "rb") as file:
        for sector in range(16, 32):
            file.seek(sector * 2048)
            block = file.read(2048)
            if block[0] == 2 and block[88:91] in (b"%/@", b"%/C", b"%/E"):
                return block[40:72].decode("utf-16-be").rstrip(" ")
            if block[0] == 255:
                return None
    return None


@unittest.skipUnless(HAVE_TOOLS, "needs xorriso and isoinfo")
class DiscSetCase(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="discset-test-"))
        self.addCleanup(shutil.rmtree, self.work)

    def make_set(self, discs):
        folders = []
        for number, files in sorted(discs.items()):
            folder = self.work / f"disc{number}"
            folder.mkdir()
            for path, content in files.items():
                target = folder / path
                target.parent.mkdir(parents=True, exist_ok=True)
                if isinstance(content, int):
                    with open(target, "wb") as file:
                        file.truncate(content * MIB)
                elif content is None:
                    target.mkdir()
                else:
                    target.write_bytes(content)
            folders.append(folder)
        return folders

    def check(self, discs):
        return run_tool("check", *self.make_set(discs))

    def assertFinding(self, output, tag, pattern):
        lines = [line for line in output.splitlines() if line.startswith(tag)]
        self.assertTrue(any(re.search(pattern, line) for line in lines),
                        f"no {tag} line matching {pattern!r} in:\n{output}")


class GoodSet(DiscSetCase):
    def test_checks_and_masters_with_exact_labels(self):
        folders = self.make_set(good_set())
        status, output = run_tool("check", *folders)
        self.assertEqual(status, 0, output)
        self.assertNotIn("FAIL", output)
        self.assertFinding(output, "ok", r"minimal install \(discs 1\+2\): 1 MiB of data, .* 858")
        self.assertFinding(output, "ok", r"normal install \(discs 1\+2\+3\): 1 MiB .* 1239")

        out = self.work / "out"
        status, output = run_tool("master", *folders, out)
        self.assertEqual(status, 0, output)
        self.assertEqual(sorted(os.listdir(out)), ["KELVO_1.iso", "KELVO_2.iso", "KELVO_3.iso"])
        for number in (1, 2, 3):
            image = out / f"KELVO_{number}.iso"
            info = isoinfo("-d", "-i", image).decode()
            self.assertIn(f"\nVolume id: KELVO_{number}\n", info)
            self.assertIn("Joliet", info)
            self.assertIn("Rock Ridge", info)
            self.assertEqual(joliet_volume_id(image), f"KELVO_{number}")
            self.assertNotIn(b".windows-label", isoinfo("-J", "-f", "-i", image).lower())

        # The images themselves pass as a set, read back through the tool's own image path.
        status, output = run_tool("check", *(out / f"KELVO_{n}.iso" for n in (1, 2, 3)))
        self.assertEqual(status, 0, output)
        self.assertFinding(output, "ok", r"disc 1 .*: label KELVO_1 \(Joliet volume id\)")

    def test_images_round_trip_long_names_and_contents(self):
        folders = self.make_set(good_set())
        out = self.work / "out"
        status, output = run_tool("master", *folders, out)
        self.assertEqual(status, 0, output)
        disc1 = out / "KELVO_1.iso"
        joliet = isoinfo("-J", "-f", "-i", disc1).decode().splitlines()
        self.assertIn(f"/kelvo/Map Data/{LONG_NAME}", joliet)
        self.assertIn("/kelvo/kelvo.exe", joliet)
        rock_ridge = isoinfo("-R", "-f", "-i", out / "KELVO_3.iso").decode().splitlines()
        self.assertIn(f"/kelvo/Map Data/{CHINESE_NAME}", rock_ridge)
        self.assertIn("/Directx/DX6User.exe", rock_ridge)
        content = isoinfo("-J", "-i", disc1, "-x", f"/kelvo/Map Data/{LONG_NAME}")
        self.assertEqual(content, b"tiles")

    def test_directx_setup_is_found_whatever_its_case(self):
        discs = good_set()
        del discs[3]["Directx/DX6User.exe"]
        discs[3]["DIRECTX/dx6user.EXE"] = b"MZ dx"
        status, output = self.check(discs)
        self.assertEqual(status, 0, output)


class BrokenSet(DiscSetCase):
    def test_lower_case_label_fails_and_nothing_is_mastered(self):
        discs = good_set()
        discs[2][".windows-label"] = b"kelvo_2\n"
        folders = self.make_set(discs)
        out = self.work / "out"
        status, output = run_tool("master", *folders, out)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"disc 2 .*label 'kelvo_2'.*upper case")
        self.assertFalse(out.exists() and any(out.iterdir()))

    def test_lower_case_volume_id_of_an_image_fails(self):
        folders = self.make_set(good_set())
        image = self.work / "lower.iso"
        subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-V", "kelvo_1", "-J", "-r",
                        "-o", image, "-graft-points", f"/kelvo={folders[0] / 'kelvo'}"],
                       check=True, capture_output=True)
        status, output = run_tool("check", image, folders[1], folders[2])
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"disc 1 .*'kelvo_1' \(Joliet volume id\)")

    def test_missing_label_file_fails(self):
        discs = good_set()
        del discs[1][".windows-label"]
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"disc 1 .*no \.windows-label")

    def test_missing_product_folder_fails(self):
        discs = good_set()
        discs[2] = {".windows-label": b"KELVO_2\n", "Directx/DX6User.exe": b"MZ",
                    "kelvo_old/ReadMe.txt": b"x"}
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"disc 2 .*no kelvo folder")
        # ReadMe.txt came only from disc 2's folder, so the shortcuts would point nowhere.
        self.assertFinding(output, "FAIL", r"minimal install .*no ReadMe\.txt")

    def test_missing_directx_setup_on_disc_3_fails(self):
        discs = good_set()
        del discs[3]["Directx/DX6User.exe"]
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"disc 3 .*no Directx\\DX6User\.exe")

    def test_program_only_on_map_disc_fails_the_minimal_install(self):
        discs = good_set()
        discs[3]["kelvo/pixie.exe"] = discs[1].pop("kelvo/pixie.exe")
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"minimal install .*no pixie\.exe")
        self.assertFinding(output, "ok", r"normal install .*pixie\.exe.* installed")

    def test_file_where_an_earlier_disc_has_a_folder_fails(self):
        discs = good_set()
        discs[2]["kelvo/Map Data"] = b"not a folder"
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"Map Data is a folder from disc 1 but a file on disc 2")


class Sizes(DiscSetCase):
    def test_minimal_install_too_big_and_later_discs_replace_files(self):
        discs = good_set()
        discs[1]["kelvo/data.pak"] = 500
        discs[2]["kelvo/sound.pak"] = 400
        discs[3]["kelvo/DATA.PAK"] = 100  # replaces disc 1's data.pak
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"minimal install \(discs 1\+2\): 901 MiB .* 858 MiB")
        self.assertFinding(output, "ok", r"normal install \(discs 1\+2\+3\): 501 MiB")

    def test_normal_install_too_big(self):
        discs = good_set()
        discs[1]["kelvo/data.pak"] = 600
        discs[3]["kelvo/maps.pak"] = 640
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "ok", r"minimal install \(discs 1\+2\): 601 MiB")
        self.assertFinding(output, "FAIL", r"normal install \(discs 1\+2\+3\): 1241 MiB .* 1239")

    def test_disc_beyond_a_cd_warns(self):
        discs = good_set()
        discs[1]["kelvo/data.pak"] = 720
        status, output = self.check(discs)
        self.assertEqual(status, 0, output)
        self.assertFinding(output, "WARN", r"disc 1 .*721 MiB, more than an 80-minute CD")


class Names(DiscSetCase):
    def test_names_the_image_cannot_carry_fail(self):
        discs = good_set()
        discs[1]["kelvo/save:slot.dat"] = b"x"
        discs[3]["kelvo/" + "n" * 110 + ".dat"] = b"x"
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"disc 1 .*kelvo\\save:slot\.dat .*does not survive")
        self.assertFinding(output, "FAIL", r"disc 3 .*kelvo\\n{110}\.dat .*does not survive")

    def test_names_the_installer_cannot_copy_fail(self):
        discs = good_set()
        discs[1]["kelvo/café.txt"] = b"x"
        discs[1]["kelvo/Save.dat"] = b"x"
        discs[1]["kelvo/SAVE.DAT"] = b"x"
        # 31 bytes of install folder, 1 + 197 of folders, 1 + 30 of file name: 260 bytes.
        deep = "/".join(f"folder_with_a_rather_long_name_{n}" for n in range(6))
        discs[2][f"kelvo/{deep}/a_rather_long_file_name_01.txt"] = b"x"
        discs[2][f"kelvo/{deep}/a_file_name_that_fits_01.txt"] = b"x"
        status, output = self.check(discs)
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", r"café\.txt has characters outside code page 950")
        self.assertFinding(output, "FAIL", r"SAVE\.DAT and kelvo\\Save\.dat differ only in case")
        self.assertFinding(output, "FAIL", r"disc 2 .*_01\.txt is 260 bytes once installed")
        self.assertNotIn("fits_01", output)

    def test_device_names_and_setups_own_names_fail_and_nothing_is_mastered(self):
        discs = good_set()
        refused = ["kelvo/data/nul.dat", "kelvo/Con", "kelvo/com1.txt", "kelvo/lpt9 .log..",
                   "kelvo/~KELVO-Setup.journal"]
        for path in refused:
            discs[1][path] = b"x"
        discs[2]["kelvo/AUX"] = None  # a folder
        # Names that only begin like a device's are names like any other.
        for path in ["kelvo/console.txt", "kelvo/com10", "kelvo/lpt0.dat", "kelvo/nul_.x"]:
            discs[3][path] = b"x"
        folders = self.make_set(discs)
        status, output = run_tool("master", *folders, self.work / "out")
        self.assertEqual(status, 1, output)
        self.assertFalse((self.work / "out").exists())
        for path in refused[:4] + ["kelvo/AUX"]:
            self.assertFinding(output, "FAIL", re.escape(path.replace("/", "\\")) +
                               r" is named like the device")
        self.assertFinding(output, "FAIL", r"~KELVO-Setup\.journal begins with ~kelvo-setup")
        self.assertEqual(len(re.findall(r"named like the device|begins with ~", output)), 6)

    def test_image_without_joliet_loses_long_names(self):
        folders = self.make_set(good_set())
        image = self.work / "plain.iso"
        subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-V", "KELVO_1", "-r", "-o", image,
                        "-graft-points", f"/kelvo={folders[0] / 'kelvo'}"],
                       check=True, capture_output=True)
        status, output = run_tool("check", image, folders[1], folders[2])
        self.assertEqual(status, 1, output)
        self.assertFinding(output, "FAIL", re.escape(LONG_NAME) + r" \(in the Rock Ridge tree\)")
        self.assertFinding(output, "ok", r"disc 1 .*label KELVO_1 \(ISO volume id\)")


class ProductConstants(unittest.TestCase):
    def test_tool_expects_what_the_installer_asks_for(self):
        loader = importlib.machinery.SourceFileLoader("discset", str(TOOL))
        module_spec = importlib.util.spec_from_loader("discset", loader)
        tool = importlib.util.module_from_spec(module_spec)
        loader.exec_module(tool)
        source = (ROOT / "base" / "product_constants.cpp").read_text(encoding="utf-8")

        def constant(name):
            match = re.search(rf"\b{name}(?:\[\])? = ([^;]+);", source)
            self.assertIsNotNone(match, name)
            value = match.group(1).strip()
            if value.startswith('"'):
                return value[1:-1].replace("\\\\", "\\")
            return value

        self.assertEqual(tool.LABELS, (constant("DiscLabel1"), constant("DiscLabel2"),
                                       constant("MapDiscLabel")))
        self.assertEqual(tool.PRODUCT_FOLDER, constant("ProductFolder"))
        self.assertEqual(tool.DIRECTX_SETUP.replace("/", "\\"), constant("DirectXSetup"))
        self.assertEqual(tool.SETUP_OWN_PREFIX, constant("SetupNamePrefix"))
        self.assertEqual(str(tool.MINIMAL_MIB), constant("MinimalMegabytes"))
        self.assertEqual(str(tool.NORMAL_MIB), constant("NormalMegabytes"))
        self.assertEqual(tool.DEFAULT_INSTALL_DIR,
                         constant("DefaultInstallRoot") + "\\" + constant("ProductFolder"))
        targets = re.findall(r'"([^"]+)"', constant("ShortcutTargets\\[SHORTCUT_ROWS\\]"))
        self.assertEqual(tool.INSTALLED_PROGRAMS, tuple(targets))
        self.assertEqual(constant("GameExeSuffix"), "\\" + tool.INSTALLED_PROGRAMS[0])


if __name__ == "__main__":
    unittest.main()
