#!/usr/bin/env python3
"""Tests of the product facts: the file the build prints holds every constant of the product,
in text that code page 950 carries, and the facts the scripts derive from it."""

import os
import re
import sys
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tools"))
import product_facts  # noqa: E402

HEADER = SOURCE / "base" / "product_constants.h"


class TheBuildsFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.facts = product_facts.load()

    def test_every_constant_of_the_product_is_there(self):
        names = re.findall(r"^extern const [^;]*?\b(\w+)(?:\[[^\]]*\])?;", HEADER.read_text(),
                           re.MULTILINE)
        self.assertGreater(len(names), 20)
        table = {"ShortcutTargets": "target", "ShortcutLinkNames": "link",
                 "ShortcutDescriptions": "description"}
        for name in names:
            if name in table:
                self.assertTrue(all(table[name] in row for row in self.facts["Shortcuts"]))
            else:
                self.assertIn(name, self.facts)

    def test_texts_are_what_code_page_950_carries(self):
        for name, value in self.facts.items():
            if isinstance(value, str):
                value.encode("cp950")
        self.assertEqual(len(set(self.facts.labels)), 3)
        self.assertEqual(self.facts["IDD_SETUP"]["title"], self.facts["InstallerTitle"])
        self.assertIn("1007", self.facts["IDD_INSTALL"]["controls"])


class Derived(unittest.TestCase):
    def test_facts_the_scripts_derive(self):
        facts = product_facts.Facts(
            DiscLabel1="A_1", DiscLabel2="A_2", MapDiscLabel="MAP", ProductFolder="game",
            DefaultInstallRoot="C:\\Program Files\\maker", GameExeSuffix="\\game.exe",
            DirectXSetup="Directx\\setup.exe", TextConfirmInstall="Install to %s?",
            Shortcuts=[{"target": "game.exe"}, {"target": "read.txt"}])
        self.assertEqual(facts.labels, ("A_1", "A_2", "MAP"))
        self.assertEqual(facts.install_dir, "C:\\Program Files\\maker\\game")
        self.assertEqual(facts.game_exe, "game.exe")
        self.assertEqual(facts.directx_setup, "Directx/setup.exe")
        self.assertEqual(facts.started_programs, ("game/game.exe", "Directx/setup.exe"))
        self.assertEqual(facts.shortcut_targets, ("game.exe", "read.txt"))
        self.assertEqual(facts.confirm_text("D:\\100%s"), "Install to D:\\100%s?")

    def test_a_missing_file_says_what_to_do(self):
        with self.assertRaisesRegex(product_facts.FactsMissing, "build-all"):
            product_facts.load(SOURCE / "no-such-facts.json")
        os.environ["PRODUCT_FACTS"], old = "/no/such/facts.json", os.environ.get("PRODUCT_FACTS")
        try:
            with self.assertRaisesRegex(product_facts.FactsMissing, "/no/such/facts.json"):
                product_facts.load()
        finally:
            if old is None:
                del os.environ["PRODUCT_FACTS"]
            else:
                os.environ["PRODUCT_FACTS"] = old


if __name__ == "__main__":
    unittest.main()
