#!/usr/bin/env python3
"""Tests of tools/pictures: one picture for each window its install finds, in the README's
order, and the committed pictures the README shows."""

import re
import unittest
from importlib.machinery import SourceFileLoader
from pathlib import Path

pictures = SourceFileLoader("pictures", str(Path(__file__).with_name("pictures"))).load_module()
SOURCE = Path(__file__).resolve().parents[1]


class Pictures(unittest.TestCase):
    def test_one_step_finds_each_window_that_has_a_picture(self):
        facts = pictures.product_facts.load()
        steps = [line for line in pictures.scenario(facts).splitlines()
                 if re.match(r"expect (dialog|box) ", line)]
        self.assertEqual(len(steps), len(pictures.PICTURES))
        self.assertIn(facts["IDD_INSTALL"]["title"], steps[2])
        self.assertIn(facts["TextInsertMapDisc"], steps[4])
        self.assertIn(facts["TextNoUninstaller"], steps[7])

    def test_the_readme_shows_every_committed_picture(self):
        readme = (SOURCE / "README.md").read_text()
        for name, _ in pictures.PICTURES:
            self.assertTrue((SOURCE / "docs" / "pictures" / (name + ".png")).is_file(), name)
            self.assertIn("(docs/pictures/%s.png)" % name, readme)


if __name__ == "__main__":
    unittest.main()
