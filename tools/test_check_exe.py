#!/usr/bin/env python3
"""Tests of tools/check-exe: its rules on objdump's reports, and its verdict on small programs
built as setup.exe is built, each with one thing that Windows 95, the i486 or a later Windows
can't take."""

import os
import shutil
import subprocess
import tempfile
import unittest
from importlib.machinery import SourceFileLoader
from pathlib import Path

check = SourceFileLoader("check_exe", str(Path(__file__).with_name("check-exe"))).load_module()

REPORT = """
setup.exe:     file format pei-i386

The Import Tables (interpreted .idata section contents)
\tDLL Name: KERNEL32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t93fe\t  136  CloseHandle
\t940c\t  173  GetDiskFreeSpaceExA

\tDLL Name: msvcrt.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t9500\t   61  __getmainargs

\tDLL Name: USER32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t9600\t  400  MessageBoxA
"""

LIST = """
# dll function oldest
kernel32.dll  CloseHandle          95
kernel32.dll  GetDiskFreeSpaceExA  "95 OSR2"   # looked up at run time
"""

HEADERS = """
setup.exe:     file format pei-i386
architecture: i386, flags 0x0000013a:

Time/Date\t\tThu Jan  1 00:00:00 1970
ImageBase\t\t00400000
MajorSubsystemVersion\t4
MinorSubsystemVersion\t0
Subsystem\t\t00000002\t(Windows GUI)
Entry 9 00000000 00000000 Thread Storage Directory [.tls]
000  Type Table: Char: 0, Time: 00000000, Ver: 0/0, Num Names: 0, IDs: 2
010   Entry: ID: 0x000005, Value: 0x80000020
050       Entry: ID: 0x000404, Value: 0x0000d0
"""

DISASSEMBLY = """
00401000 <.text>:
  401000:\t55                   \tpush   ebp
  401001:\tf3 ab                \trep stos DWORD PTR es:[edi],eax
  401003:\tf0 0f b1 0a          \tlock cmpxchg DWORD PTR [edx],ecx
  401007:\t0f 44 c2             \tcmove  eax,edx
  40100a:\t0f 1f 44 00 00       \tnop    DWORD PTR [eax+eax*1+0x0]
  40100f:\t90                   \tnop
  401010:\t66 0f 6f c1          \tmovdqa xmm0,xmm1
  401014:\t0f 44 c8             \tcmove  ecx,eax
  401017:\tc7 05 60 80 40 00 01 \tmov    DWORD PTR ds:0x408060,0x1
  40101e:\t00 00 00 
  401021:\tff                   \t(bad)
"""


def fields(**changes):
    read = check.read_headers(HEADERS)
    read["constructors"] = 0
    read.update(changes)
    return read


class Rules(unittest.TestCase):
    def test_imports_are_read_by_dll_in_lower_case(self):
        exe_format, imports = check.read_imports(REPORT)
        self.assertEqual(exe_format, "pei-i386")
        self.assertEqual(imports, [("kernel32.dll", "CloseHandle"),
                                   ("kernel32.dll", "GetDiskFreeSpaceExA"),
                                   ("msvcrt.dll", "__getmainargs"), ("user32.dll", "MessageBoxA")])

    def test_the_list_names_a_known_windows_for_each_function(self):
        self.assertEqual(check.read_list(LIST),
                         {("kernel32.dll", "CloseHandle"): "95",
                          ("kernel32.dll", "GetDiskFreeSpaceExA"): "95 OSR2"})
        for bad in ("kernel32.dll CloseHandle", "kernel32.dll CloseHandle 3.1",
                    "kernel32.dll CloseHandle 95 extra"):
            with self.assertRaises(check.ListError):
                check.read_list(bad)

    def test_the_shipped_build_imports_only_what_windows_95_has_and_no_c_runtime(self):
        allowed = check.read_list(LIST)
        _, imports = check.read_imports(REPORT)
        found = check.import_problems("pei-i386", imports, allowed)
        self.assertEqual(len(found), 3, found)
        self.assertRegex(found[0], r"imports msvcrt.dll, a C runtime")
        self.assertRegex(found[1], r"GetDiskFreeSpaceExA, which needs Windows 95 OSR2")
        self.assertRegex(found[2], r"MessageBoxA, which tools/windows-imports.txt does not list")
        self.assertEqual(check.problems("pei-i386", 65536, imports[:1], allowed), [])
        self.assertEqual(check.problems("pei-i386", 65537, imports[:1], allowed),
                         ["larger than 65536 bytes"])

    def test_the_x86_64_test_build_needs_only_listed_imports(self):
        allowed = check.read_list(LIST)
        _, imports = check.read_imports(REPORT)
        self.assertEqual(check.problems("pei-x86-64", 1 << 20, imports[:2], allowed), [])
        self.assertEqual(len(check.problems("pei-x86-64", 1, imports, allowed)), 2)
        self.assertEqual(check.problems("elf64-x86-64", 1, [], allowed),
                         ["not a Windows i686 or x86_64 executable (elf64-x86-64)"])

    def test_the_header_fields_the_9x_loader_reads(self):
        self.assertEqual(fields()["resource_ids"], [5, 0x404])
        self.assertEqual(check.header_problems(fields()), [])
        self.assertEqual(check.header_problems(fields(MinorSubsystemVersion=10)), [])
        broken = {
            "machine": fields(machine="i386:x86-64"),
            "subsystem version 5.0": fields(MajorSubsystemVersion=5),
            "subsystem version 4.11": fields(MinorSubsystemVersion=11),
            "image base": fields(ImageBase=0x10000000),
            "TLS directory": fields(tls=True),
            "resource ids at or above 0x8000: 0x8000": fields(resource_ids=[5, 0x8000]),
            "time stamp": fields(stamped=True),
            "2 static constructors": fields(constructors=2),
        }
        for what, read in broken.items():
            found = check.header_problems(read)
            self.assertEqual(len(found), 1, what)
            self.assertIn(what, found[0])

    def test_every_instruction_must_be_the_i486s(self):
        seen = check.read_instructions(DISASSEMBLY)
        self.assertEqual(seen["push"], (1, "401000"))
        self.assertEqual(seen["stos"], (1, "401001"), "rep is a prefix")
        self.assertIn("cmpxchg", seen, "lock is a prefix")
        self.assertEqual(seen["cmove"], (2, "401007"))
        found = check.instruction_problems(seen)
        self.assertEqual(len(found), 4, found)
        self.assertRegex(found[0], r"^1 byte sequence\(s\) .* decode as no instruction, first at "
                                   r"401021")
        self.assertRegex(found[1], r"^2 x cmove, first at 401007: .*the Pentium Pro")
        self.assertRegex(found[2], r"^1 x movdqa \(xmm0\)")
        self.assertRegex(found[3], r"^1 x nop dword, first at 40100a: .*the Pentium Pro")

    def test_the_constructor_lists_end_the_code(self):
        code = bytes(range(1, 9)) + b"\xff" * 4 + b"\0" * 4 + b"\xff" * 4 + b"\0" * 4
        self.assertEqual(check.constructor_lists(code), (8, 0))
        full = (bytes(range(1, 9)) + b"\xff" * 4 + b"\x10\x20\x40\x00" + b"\0" * 4
                + b"\xff" * 4 + b"\0" * 4)
        self.assertEqual(check.constructor_lists(full), (8, 1))
        self.assertIsNone(check.constructor_lists(bytes(range(1, 25))))

    def test_the_projects_list_marks_every_import_of_the_product(self):
        allowed = check.read_list(check.LIST.read_text())
        self.assertEqual(allowed[("kernel32.dll", "GetDiskFreeSpaceExA")], "95 OSR2")
        self.assertEqual(allowed[("kernel32.dll", "InterlockedCompareExchange")], "98")
        self.assertEqual(allowed[("kernel32.dll", "GetDiskFreeSpaceA")], "95")

    def test_a_program_without_a_manifest_fails(self):
        self.assertEqual(len(check.manifest_problems(None)), 1)
        self.assertRegex(check.manifest_problems(b"<assembly")[0], r"no well-formed XML")
        self.assertEqual(check.manifest_problems(MANIFEST.read_bytes()), [])


# A program as small as can be, built as setup.exe is built: no C runtime, its own entry point,
# code for the i486, the loader's fields pinned.
PROGRAM = """
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) long __stdcall InterlockedCompareExchange(volatile long* target,
                                                                long exchange, long comparand);
extern int Pick(int a, int b, int c);
volatile long word;
void WinMainCRTStartup(void) {
    if (IMPORT_NEWER)
        InterlockedCompareExchange(&word, 1, 0);
    ExitProcess((unsigned)Pick((int)word, 2, 3));
}
"""
PICK = "int Pick(int a, int b, int c) { return a ? b : c; }\n"
COMPILE = ["-Os", "-march=i486", "-mgeneral-regs-only", "-ffreestanding"]
LINK = ["-nostdlib", "-s", "-mwindows", "-Wl,--major-subsystem-version,4",
        "-Wl,--minor-subsystem-version,0", "-Wl,--image-base,0x400000",
        "-Wl,--no-insert-timestamp", "-lkernel32"]
GCC = "i686-w64-mingw32-gcc"
WINDRES = "i686-w64-mingw32-windres"
MANIFEST = Path(__file__).resolve().parent.parent / "resources" / "setup.manifest"
TRUST_INFO = '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">'


@unittest.skipUnless(shutil.which(GCC), "no MinGW i686 compiler (g++-mingw-w64-i686)")
class DeliberateBreaks(unittest.TestCase):
    """Each break the oldest PCs can't take makes the check fail, and only that break."""

    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="check-exe-"))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def build(self, name, pick_flags=(), link_flags=(), import_newer=False, manifest=None):
        """A program with setup.exe's manifest, or with manifest (text) instead."""
        folder = self.folder / name
        folder.mkdir()
        (folder / "main.c").write_text(PROGRAM)
        (folder / "pick.c").write_text(PICK)
        for source, flags in (("main.c", ["-DIMPORT_NEWER=%d" % import_newer]),
                              ("pick.c", list(pick_flags))):
            subprocess.run([GCC, "-c", source, "-o", source + ".o"] + COMPILE + flags,
                           cwd=folder, check=True)
        (folder / "setup.manifest").write_text(manifest or MANIFEST.read_text())
        (folder / "setup.rc").write_text('1 24 "setup.manifest"\n')
        subprocess.run([WINDRES, "-O", "coff", "-i", "setup.rc", "-o", "setup.rc.o"], cwd=folder,
                       check=True)
        subprocess.run([GCC, "main.c.o", "pick.c.o", "setup.rc.o", "-o", "setup.exe"] + LINK +
                       list(link_flags), cwd=folder, check=True)
        return folder / "setup.exe"

    @staticmethod
    def manifest(old, new):
        """setup.exe's manifest with old replaced by new."""
        text = MANIFEST.read_text()
        assert old in text, old
        return text.replace(old, new)

    def verdict(self, exe):
        result = subprocess.run([str(Path(__file__).with_name("check-exe")), "--quiet", str(exe)],
                                capture_output=True, text=True)
        return result.returncode, result.stdout

    def test_a_program_built_as_setup_exe_passes(self):
        status, said = self.verdict(self.build("plain"))
        self.assertEqual((status, said), (0, ""))

    def test_an_object_built_for_the_pentium_pro_fails(self):
        status, said = self.verdict(self.build("p6", pick_flags=["-march=pentiumpro", "-O2"]))
        self.assertEqual(status, 1)
        self.assertRegex(said, r"x cmov\w*, first at [0-9a-f]+: not an i486 instruction "
                               r"\(it came with the Pentium Pro")
        self.assertEqual(len(said.splitlines()), 1, said)

    def test_a_subsystem_version_of_5_0_fails(self):
        status, said = self.verdict(self.build("nt5", link_flags=[
            "-Wl,--major-subsystem-version,5", "-Wl,--minor-subsystem-version,0"]))
        self.assertEqual(status, 1)
        self.assertRegex(said, r"subsystem version 5.0: the Windows 95/98 loader refuses")
        self.assertEqual(len(said.splitlines()), 1, said)

    def test_a_manifest_that_asks_for_no_elevation_fails(self):
        status, said = self.verdict(self.build("invoker", manifest=self.manifest(
            'level="requireAdministrator"', 'level="asInvoker"')))
        self.assertEqual(status, 1)
        self.assertRegex(said, r"asks for level asInvoker with uiAccess false, not "
                               r"requireAdministrator")
        self.assertEqual(len(said.splitlines()), 1, said)

    def test_a_manifest_that_declares_its_namespace_twice_fails(self):
        status, said = self.verdict(self.build("twice", manifest=self.manifest(
            TRUST_INFO, '<asmv3:trustInfo xmlns:asmv3="urn:schemas-microsoft-com:asm.v3" '
                        'xmlns="urn:schemas-microsoft-com:asm.v3">').replace(
            "</trustInfo>", "</asmv3:trustInfo>")))
        self.assertEqual(status, 1)
        self.assertRegex(said, r"declares urn:schemas-microsoft-com:asm.v3 2 times, not once: "
                               r"Windows XP SP2 restarts")
        self.assertEqual(len(said.splitlines()), 1, said)

    def test_a_manifest_that_asks_for_dpi_awareness_fails(self):
        # As the documentation adds it: in an application element of the asm.v3 namespace,
        # which declares that a second time too.
        status, said = self.verdict(self.build("dpi", manifest=self.manifest(
            "</assembly>", '<application xmlns="urn:schemas-microsoft-com:asm.v3">'
                           '<windowsSettings><dpiAware xmlns="http://schemas.microsoft.com/SMI/'
                           '2005/WindowsSettings">true</dpiAware></windowsSettings>'
                           '</application></assembly>')))
        self.assertEqual(status, 1)
        self.assertRegex(said, r"asks for DPI awareness \(dpiAware\)")
        self.assertRegex(said, r"declares urn:schemas-microsoft-com:asm.v3 2 times")
        self.assertEqual(len(said.splitlines()), 2, said)

    def test_an_import_of_interlocked_compare_exchange_fails(self):
        status, said = self.verdict(self.build("import", import_newer=True))
        self.assertEqual(status, 1)
        self.assertRegex(said, r"imports kernel32.dll InterlockedCompareExchange, which needs "
                               r"Windows 98: Windows 95 lacks it")
        self.assertEqual(len(said.splitlines()), 1, said)


if __name__ == "__main__":
    unittest.main()
