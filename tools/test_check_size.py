#!/usr/bin/env python3
"""Tests of tools/check-size's rules: imports read from objdump's report, the list's format, and
what fails the shipped build and the x86_64 test build."""

import unittest
from importlib.machinery import SourceFileLoader
from pathlib import Path

check = SourceFileLoader("check_size", str(Path(__file__).with_name("check-size"))).load_module()

REPORT = """
setup.exe:     file format pei-i386

The Import Tables (interpreted .idata section contents)
\tDLL Name: KERNEL32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t93fe\t  136  CloseHandle
\t940c\t  173  CopyFileExA

\tDLL Name: msvcrt.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t9500\t   61  __getmainargs

\tDLL Name: USER32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t9600\t  400  MessageBoxA
"""

LIST = """
# dll function oldest
kernel32.dll  CloseHandle   95
kernel32.dll  CopyFileExA   "NT 4.0"   # the NT line only
msvcrt.dll    __getmainargs 98
"""


class Rules(unittest.TestCase):
    def test_imports_are_read_by_dll_in_lower_case(self):
        exe_format, imports = check.read_imports(REPORT)
        self.assertEqual(exe_format, "pei-i386")
        self.assertEqual(imports, [("kernel32.dll", "CloseHandle"),
                                   ("kernel32.dll", "CopyFileExA"),
                                   ("msvcrt.dll", "__getmainargs"), ("user32.dll", "MessageBoxA")])

    def test_the_list_names_a_known_windows_for_each_function(self):
        self.assertEqual(check.read_list(LIST), {("kernel32.dll", "CloseHandle"): "95",
                                                 ("kernel32.dll", "CopyFileExA"): "NT 4.0",
                                                 ("msvcrt.dll", "__getmainargs"): "98"})
        for bad in ("kernel32.dll CloseHandle", "kernel32.dll CloseHandle 3.1",
                    "kernel32.dll CloseHandle 95 extra"):
            with self.assertRaises(check.ListError):
                check.read_list(bad)

    def test_the_shipped_build_needs_every_import_on_windows_98(self):
        allowed = check.read_list(LIST)
        _, imports = check.read_imports(REPORT)
        found = check.problems("pei-i386", 30000, imports, allowed)
        self.assertEqual(len(found), 2)
        self.assertRegex(found[0], r"CopyFileExA, which needs Windows NT 4.0")
        self.assertRegex(found[1], r"MessageBoxA, which tools/windows-imports.txt does not list")
        self.assertEqual(check.problems("pei-i386", 65536, imports[:1], allowed), [])
        self.assertEqual(check.problems("pei-i386", 65537, imports[:1], allowed),
                         ["larger than 65536 bytes"])

    def test_the_x86_64_test_build_needs_only_listed_imports(self):
        allowed = check.read_list(LIST)
        _, imports = check.read_imports(REPORT)
        self.assertEqual(len(check.problems("pei-x86-64", 1 << 20, imports[:3], allowed)), 0)
        self.assertEqual(len(check.problems("pei-x86-64", 1, imports, allowed)), 1)
        self.assertEqual(check.problems("elf64-x86-64", 1, [], allowed),
                         ["not a Windows i686 or x86_64 executable (elf64-x86-64)"])

    def test_the_projects_list_reads(self):
        allowed = check.read_list(check.LIST.read_text())
        self.assertEqual(allowed[("kernel32.dll", "CopyFileExA")], "NT 4.0")
        self.assertIn(allowed[("kernel32.dll", "GetDiskFreeSpaceExA")], check.ON_WINDOWS_98)


if __name__ == "__main__":
    unittest.main()
