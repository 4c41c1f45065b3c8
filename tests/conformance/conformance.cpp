// What the installer relies on from the platform, checked the same way on Windows, under Wine and
// over winsim: files, folders and their length, attributes, name patterns, names Windows trims or
// reserves, the shell's delete, removing one file or folder, the process heap, drives, labels and
// free space, file handles, share modes and file times, folders and directory links by handle and
// their share modes, hard links, owners and access lists of new folders and files, the process's
// token, RedirectionGuard, named mutexes, dialogs and message boxes used from other
// threads, owners and their enabled state, the registry and shell links; names of three dots,
// \\?\ and \\.\ paths, directory links, moving inside a file, and the system's version.
//
// The runner sets up the drives first (tests/conformance/run-conformance):
//   D:  a CD-ROM drive holding a disc labelled CONFDISC, with conf\readme.txt ("disc file\r\n")
//       and conf\sub\inner.dat (1000 bytes); nothing on it can be written
//   E:  an empty CD-ROM drive
//   F:  a fixed drive, empty at the start, that the test may fill and empty
//   G:  where the machine has one, a fixed drive on a file system that holds any file time (a
//       tmpfs under Wine and winsim), empty at the start
//   H:  a fixed drive holding target\inside.txt ("inside") and linked, a directory link to
//       target (a host symbolic link under Wine and winsim)
// and runs it as a user, with code page 950 as the ANSI code page. The exit status is 0 when
// nothing failed.
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "resources/resource.h"

namespace {

const char DiscLabel[] = "CONFDISC";
const char DiscReadme[] = "disc file\r\n";
const DWORD DiscInnerBytes = 1000;
// A drive letter that no runner sets up.
const char NoDrive[] = "Q:\\";
// 功能: the trail byte of 功 (A5 5C) is a backslash.
const char BigFiveName[] = "\xA5\x5C\xAF\xE0";

using Names = std::vector<std::string>;

// Numbers for the messages: DWORD and LONG are of other sizes over winsim.
unsigned long LastError() {
    return GetLastError();
}
unsigned long U(DWORD value) {
    return value;
}
unsigned long long U64(ULONGLONG value) {
    return value;
}

std::string Join(const Names& names) {
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "" : " ") + name;
    return "[" + text + "]";
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool WriteWhole(const std::string& path, const std::string& content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL wrote = WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr);
    return CloseHandle(file) && wrote && written == content.size();
}

// The whole content of a file, or "(error N)" when it can't be opened.
std::string ReadWhole(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "(error " + std::to_string(GetLastError()) + ")";
    std::string content;
    char block[4096];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof block, &read, nullptr) && read > 0)
        content.append(block, read);
    CloseHandle(file);
    return content;
}

// The names a pattern finds, sorted, or empty with error set.
Names Find(const std::string& pattern, DWORD& error) {
    Names names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern.c_str(), &found);
    error = find == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileA(find, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        error = GetLastError();
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

Names Find(const std::string& pattern) {
    DWORD error;
    return Find(pattern, error);
}

// Deletes the entries of a list with the shell (entries separated by NULs), as the installer
// does, but without any error window; the shell's result.
int ShellDelete(const std::string& entries, FILEOP_FLAGS flags = 0) {
    std::string list = entries + std::string(2, '\0');
    SHFILEOPSTRUCTA operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = list.c_str();
    operation.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI | flags;
    return SHFileOperationA(&operation);
}

// ---- files and folders ------------------------------------------------------------------------

void TestFolders() {
    ok(CreateDirectoryA("F:\\conf", nullptr), "CreateDirectoryA F:\\conf: error %lu\n",
       LastError());
    ok(IsFolder("F:\\conf"), "F:\\conf is no folder\n");

    SetLastError(0);
    ok(!CreateDirectoryA("F:\\conf", nullptr) && GetLastError() == ERROR_ALREADY_EXISTS,
       "a second CreateDirectoryA: error %lu\n", LastError());
    SetLastError(0);
    ok(!CreateDirectoryA("F:\\conf\\missing\\below", nullptr) &&
           GetLastError() == ERROR_PATH_NOT_FOUND,
       "CreateDirectoryA below a missing folder: error %lu\n", LastError());

    SetLastError(0);
    ok(GetFileAttributesA("F:\\conf\\nothing") == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_FILE_NOT_FOUND,
       "attributes of a missing file: error %lu\n", LastError());
    SetLastError(0);
    ok(GetFileAttributesA("F:\\conf\\missing\\nothing") == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_PATH_NOT_FOUND,
       "attributes of a file in a missing folder: error %lu\n", LastError());

    // Names match in any letter case; / separates too; . and .. are resolved.
    ok(CreateDirectoryA("F:\\conf\\Case", nullptr), "CreateDirectoryA Case failed\n");
    ok(WriteWhole("F:\\conf\\Case\\File.TXT", "x"), "writing File.TXT failed\n");
    ok(IsFolder("f:\\CONF\\cASE"), "F:\\conf\\Case not found in other letter case\n");
    ok(ReadWhole("f:/conf/case/file.txt") == "x",
       "File.TXT not found in other letter case with /\n");
    ok(ReadWhole("F:\\conf\\.\\Case\\..\\Case\\File.TXT") == "x",
       "File.TXT not found through . and ..\n");
    ok(Find("F:\\conf\\case\\file.txt") == Names{"File.TXT"},
       "a file found in another case keeps its own name: %s\n",
       Join(Find("F:\\conf\\case\\file.txt")).c_str());

    // A Big5 name whose trail byte is a backslash is one name, not two.
    std::string big5 = std::string("F:\\conf\\") + BigFiveName;
    ok(CreateDirectoryA(big5.c_str(), nullptr), "CreateDirectoryA of a Big5 name: error %lu\n",
       LastError());
    ok(WriteWhole(big5 + "\\" + BigFiveName + ".txt", "big5"),
       "writing a Big5 file in a Big5 folder failed\n");
    ok(Find(big5 + "\\*.txt") == Names{std::string(BigFiveName) + ".txt"},
       "the Big5 file listed: %s\n", Join(Find(big5 + "\\*.txt")).c_str());
    Names conf = Find("F:\\conf\\*");
    ok(conf == (Names{".", "..", "Case", BigFiveName}), "F:\\conf holds %s\n", Join(conf).c_str());

    // The ANSI calls take paths of fewer than MAX_PATH bytes.
    std::string tooLong = "F:\\conf\\" + std::string(MAX_PATH, 'x');
    SetLastError(0);
    ok(!CreateDirectoryA(tooLong.c_str(), nullptr) && GetLastError() == ERROR_FILENAME_EXCED_RANGE,
       "CreateDirectoryA of %u bytes: error %lu\n", (unsigned)tooLong.size(), LastError());

    ok(CharNextA(BigFiveName) == BigFiveName + 2,
       "CharNextA does not step over a Big5 character\n");
}

// 0 when CreateDirectoryA makes path (it is removed again), else the error.
unsigned long MakeFolderError(const std::string& path) {
    SetLastError(0);
    BOOL made = CreateDirectoryA(path.c_str(), nullptr);
    unsigned long error = made ? 0 : LastError();
    if (made)
        RemoveDirectoryA(path.c_str());
    return error;
}

// CreateDirectoryA leaves room for an 8.3 name below the folder within MAX_PATH: a full path of
// 247 characters at most, a closing separator counted, a Big5 character one.
void TestFolderLength() {
    const std::string base = "F:\\conf\\long\\";
    ok(CreateDirectoryA(base.c_str(), nullptr), "CreateDirectoryA long failed\n");
    const std::string longest = base + std::string(247 - base.size(), 'x');
    ok(MakeFolderError(longest) == 0, "a folder of 247 characters: error %lu\n",
       MakeFolderError(longest));
    ok(MakeFolderError(longest.substr(0, 246) + "\\") == 0,
       "a folder of 246 characters and a closing separator: error %lu\n",
       MakeFolderError(longest.substr(0, 246) + "\\"));
    todo_wine("Wine makes folders up to MAX_PATH") {
        ok(MakeFolderError(longest + "x") == ERROR_FILENAME_EXCED_RANGE,
           "a folder of 248 characters: error %lu\n", MakeFolderError(longest + "x"));
        ok(MakeFolderError(longest + "\\") == ERROR_FILENAME_EXCED_RANGE,
           "a folder of 247 characters and a closing separator: error %lu\n",
           MakeFolderError(longest + "\\"));
    }
    // 134 characters in 254 bytes (a host's name holds at most 255 bytes of UTF-8, 85 of these).
    std::string big5 = base;
    for (int i = 0; i < 35; ++i)
        big5 += BigFiveName;
    ok(CreateDirectoryA(big5.c_str(), nullptr),
       "CreateDirectoryA of 70 Big5 characters: error %lu\n", LastError());
    big5 += "\\";
    for (int i = 0; i < 25; ++i)
        big5 += BigFiveName;
    ok(MakeFolderError(big5) == 0, "a Big5 folder of %u bytes: error %lu\n", (unsigned)big5.size(),
       MakeFolderError(big5));
}

// Windows drops dots and spaces at the end of a path's last name, and one dot at the end of a
// folder's name inside the path.
void TestTrimmedNames() {
    ok(CreateDirectoryA("F:\\conf\\trim", nullptr), "CreateDirectoryA trim failed\n");
    ok(CreateDirectoryA("F:\\conf\\trim\\dots. .", nullptr),
       "CreateDirectoryA with dots and spaces: error %lu\n", LastError());
    ok(WriteWhole("F:\\conf\\trim\\file.txt. ", "t"),
       "writing a file name with a dot and a space failed\n");
    ok(Find("F:\\conf\\trim\\*") == (Names{".", "..", "dots", "file.txt"}), "names as made: %s\n",
       Join(Find("F:\\conf\\trim\\*")).c_str());
    ok(ReadWhole("F:\\conf\\trim\\file.txt...") == "t", "file.txt... is not file.txt\n");
    ok(IsFolder("F:\\conf\\trim\\dots  "), "dots with two spaces is not dots\n");
    ok(WriteWhole("F:\\conf\\trim\\dots.\\inner", "i"), "writing a file below dots. failed\n");
    ok(ReadWhole("F:\\conf\\trim\\dots\\inner") == "i", "dots.\\inner is not dots\\inner\n");
}

// A name of three dots or more is a name, never a step up. Inside a path it loses one dot, as
// any folder's name that ends in a dot does, and "...\" leaves "..": a name no file can have, so
// nothing is reached. As the last name it loses its dots, as any last name does.
void TestDotNames() {
    const std::string folder = "F:\\conf\\dots";
    ok(CreateDirectoryA(folder.c_str(), nullptr) &&
           CreateDirectoryA((folder + "\\a").c_str(), nullptr),
       "CreateDirectoryA dots failed\n");
    WriteWhole(folder + "\\v1.txt", "v1");
    SetLastError(0);
    ok(!DeleteFileA((folder + "\\a\\...\\v1.txt").c_str()) && GetLastError() == ERROR_INVALID_NAME,
       "DeleteFileA of a\\...\\v1.txt: error %lu\n", LastError());
    ok(ReadWhole(folder + "\\v1.txt") == "v1", "dots\\v1.txt is gone\n");
    ok(!WriteWhole(folder + "\\a\\...\\new.txt", "n"), "a file was made through a\\...\n");
    ok(Find(folder + "\\*") == (Names{".", "..", "a", "v1.txt"}), "dots holds %s\n",
       Join(Find(folder + "\\*")).c_str());
    ok(Find(folder + "\\a\\*") == (Names{".", ".."}), "a holds %s\n",
       Join(Find(folder + "\\a\\*")).c_str());
    ok(GetFileAttributesA((folder + "\\a\\....\\v1.txt").c_str()) == INVALID_FILE_ATTRIBUTES,
       "a\\....\\v1.txt was found\n");
    ok(IsFolder(folder + "\\a\\..."), "a\\... is not the folder a\n");
    ok(ReadWhole(folder + "\\a\\..\\v1.txt") == "v1", "a\\..\\v1.txt is not v1.txt\n");
}

// A path that starts with \\?\ is taken as it is: '/' is no separator, nothing is trimmed, "."
// and ".." are no steps, and a device's name is a file's. One that starts with \\.\ names a
// device; \\.\F:\... names F:\..., read as usual. The ANSI calls still take fewer than MAX_PATH
// bytes.
void TestLiteralPaths() {
    const std::string folder = "F:\\conf\\literal";
    const std::string literal = "\\\\?\\" + folder;
    ok(CreateDirectoryA(folder.c_str(), nullptr) &&
           CreateDirectoryA((folder + "\\a").c_str(), nullptr),
       "CreateDirectoryA literal failed\n");
    WriteWhole(folder + "\\v1.txt", "v1");
    ok(ReadWhole(literal + "\\v1.txt") == "v1", "\\\\?\\ path: %s\n",
       ReadWhole(literal + "\\v1.txt").c_str());
    ok(ReadWhole("\\\\.\\" + folder + "\\a\\..\\v1.txt") == "v1", "\\\\.\\ path: %s\n",
       ReadWhole("\\\\.\\" + folder + "\\a\\..\\v1.txt").c_str());
    ok(ReadWhole("\\\\?\\F:\\conf/literal\\v1.txt").rfind("(error", 0) == 0,
       "a \\\\?\\ path read / as a separator\n");
    SetLastError(0);
    ok(!DeleteFileA((literal + "\\a\\..\\v1.txt").c_str()) && GetLastError() == ERROR_INVALID_NAME,
       "a \\\\?\\ path through ..: error %lu\n", LastError());
    ok(ReadWhole(folder + "\\v1.txt") == "v1", "a \\\\?\\ path stepped up through ..\n");
    ok(GetFileAttributesA((literal + "\\.\\v1.txt").c_str()) == INVALID_FILE_ATTRIBUTES,
       "a \\\\?\\ path stepped through .\n");

    ok(WriteWhole(literal + "\\trail. ", "t"), "writing trail. with \\\\?\\: error %lu\n",
       LastError());
    ok(WriteWhole(literal + "\\nul.txt", "n"), "writing nul.txt with \\\\?\\: error %lu\n",
       LastError());
    ok(Find(folder + "\\*") == (Names{".", "..", "a", "nul.txt", "trail. ", "v1.txt"}),
       "literal holds %s\n", Join(Find(folder + "\\*")).c_str());
    ok(!Exists(folder + "\\trail"), "trail. read back as trail\n");
    ok(DeleteFileA((literal + "\\trail. ").c_str()) && DeleteFileA((literal + "\\nul.txt").c_str()),
       "deleting the literal names: error %lu\n", LastError());

    ok(ReadWhole("\\\\.\\kelvo-no-such-device").rfind("(error", 0) == 0, "a device that is none\n");
    std::string tooLong = literal + "\\" + std::string(MAX_PATH, 'x');
    SetLastError(0);
    ok(!CreateDirectoryA(tooLong.c_str(), nullptr) && GetLastError() == ERROR_FILENAME_EXCED_RANGE,
       "CreateDirectoryA of a \\\\?\\ path of %u bytes: error %lu\n", (unsigned)tooLong.size(),
       LastError());
}

// Letter case is folded beyond ASCII, as the file system folds it: Greek and full-width Latin
// letters (the letters with a case that code page 950 has) name one file in either case.
void TestLetterCase() {
    // ｓａｖｅ and ＳＡＶＥ; α.sav and Α.SAV, where α (A3 5C) ends in a backslash byte.
    const std::string folder = "F:\\conf\\letters\\\xA2\xFB\xA2\xE9\xA2\xFE\xA2\xED";
    const std::string folderUpper = "F:\\conf\\letters\\\xA2\xE1\xA2\xCF\xA2\xE4\xA2\xD3";
    const std::string lowerName = "\xA3\x5C.sav", upperName = "\xA3\x44.SAV";
    ok(CreateDirectoryA("F:\\conf\\letters", nullptr), "CreateDirectoryA letters failed\n");
    ok(CreateDirectoryA(folder.c_str(), nullptr), "CreateDirectoryA of a full-width name: %lu\n",
       LastError());
    SetLastError(0);
    ok(!CreateDirectoryA(folderUpper.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS,
       "the folder made again in upper case: error %lu\n", LastError());
    ok(WriteWhole(folder + "\\" + lowerName, "player"), "writing a Greek name failed\n");

    const std::string upper = folderUpper + "\\" + upperName;
    ok(ReadWhole(upper) == "player", "the file read in upper case: %s\n", ReadWhole(upper).c_str());
    ok(WriteWhole(upper, "disc"), "replacing the file in upper case failed: error %lu\n",
       LastError());
    ok(ReadWhole(folder + "\\" + lowerName) == "disc", "the file was not replaced: %s\n",
       ReadWhole(folder + "\\" + lowerName).c_str());
    // One file, under the name it was made with, whatever the case of the pattern.
    ok(Find(folder + "\\*") == (Names{".", "..", lowerName}), "the folder holds %s\n",
       Join(Find(folder + "\\*")).c_str());
    for (const std::string& pattern :
         {folderUpper + "\\\xA3\x44*", folder + "\\\xA3\x5C*", folder + "\\*.SAV"}) {
        ok(Find(pattern) == Names{lowerName}, "a pattern finds %s\n", Join(Find(pattern)).c_str());
    }
    ok(Find("F:\\conf\\letters\\\xA2\xE1\xA2\xCF*") == Names{folder.substr(16)},
       "the folder found in upper case: %s\n",
       Join(Find("F:\\conf\\letters\\\xA2\xE1\xA2\xCF*")).c_str());
    ok(DeleteFileA(upper.c_str()), "deleting the file in upper case: error %lu\n", LastError());
    ok(!Exists(folder + "\\" + lowerName), "the file is still there\n");
}

// Names of devices are no files, in any folder and with any extension: something that is no
// folder is there, and nothing is made.
void TestReservedNames() {
    ok(CreateDirectoryA("F:\\conf\\devices", nullptr), "CreateDirectoryA devices failed\n");
    const char* names[] = {"CON",  "prn",  "AUX",     "nul",     "COM1",       "com9",
                           "LPT1", "lpt9", "NUL.txt", "con.log", "Aux.tar.gz", "lpt3 .dat"};
    for (const char* name : names) {
        std::string path = std::string("F:\\conf\\devices\\") + name;
        CreateDirectoryA(path.c_str(), nullptr);
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        DWORD attributes = GetFileAttributesA(path.c_str());
        ok(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0,
           "%s has attributes %#lx\n", name, U(attributes));
    }
    Names left = Find("F:\\conf\\devices\\*");
    ok(left == (Names{".", ".."}), "files made for device names: %s\n", Join(left).c_str());
    // Names that only begin like a device's are names like any other.
    for (const char* name : {"CONSOLE", "COM10", "COM0", "LPT", "nul_"}) {
        std::string path = std::string("F:\\conf\\devices\\") + name;
        ok(CreateDirectoryA(path.c_str(), nullptr) && IsFolder(path), "%s is no name of its own\n",
           name);
    }
}

// ---- attributes and file handles --------------------------------------------------------------

void TestAttributes() {
    ok(CreateDirectoryA("F:\\conf\\attr", nullptr), "CreateDirectoryA attr failed\n");
    const std::string file = "F:\\conf\\attr\\a.txt";
    ok(WriteWhole(file, "abc"), "writing a.txt failed\n");
    DWORD attributes = GetFileAttributesA(file.c_str());
    ok(attributes == FILE_ATTRIBUTE_ARCHIVE, "a new file's attributes: %#lx\n", U(attributes));
    ok(GetFileAttributesA("F:\\conf\\attr") == FILE_ATTRIBUTE_DIRECTORY,
       "a folder's attributes: %#lx\n", U(GetFileAttributesA("F:\\conf\\attr")));

    ok(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY), "SetFileAttributesA failed\n");
    attributes = GetFileAttributesA(file.c_str());
    ok((attributes & FILE_ATTRIBUTE_READONLY) != 0, "read-only: %#lx\n", U(attributes));
    SetLastError(0);
    HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ok(handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED,
       "opening a read-only file to write: error %lu\n", LastError());
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    ok(ReadWhole(file) == "abc", "a read-only file does not read\n");

    ok(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN),
       "SetFileAttributesA hidden failed\n");
    attributes = GetFileAttributesA(file.c_str());
    ok((attributes & FILE_ATTRIBUTE_HIDDEN) != 0 && (attributes & FILE_ATTRIBUTE_READONLY) == 0,
       "hidden, not read-only: %#lx\n", U(attributes));
    ok(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL),
       "SetFileAttributesA normal failed\n");
    attributes = GetFileAttributesA(file.c_str());
    ok((attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY)) == 0,
       "neither hidden nor read-only: %#lx\n", U(attributes));

    // Held open to be read, sharing no deleting, a read-only file still takes new attributes by
    // its path, and no one renames it meanwhile.
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ok(held != INVALID_HANDLE_VALUE, "opening a read-only file to hold it: error %lu\n",
       LastError());
    ok(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL),
       "SetFileAttributesA of a held file: error %lu\n", LastError());
    SetLastError(0);
    ok(!MoveFileA(file.c_str(), "F:\\conf\\attr\\moved.txt") &&
           GetLastError() == ERROR_SHARING_VIOLATION,
       "MoveFileA of a held file: error %lu\n", LastError());
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    ok((GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_READONLY) == 0,
       "the held file's attributes: %#lx\n", U(GetFileAttributesA(file.c_str())));

    SetLastError(0);
    ok(!SetFileAttributesA("F:\\conf\\attr\\none", FILE_ATTRIBUTE_NORMAL) &&
           GetLastError() == ERROR_FILE_NOT_FOUND,
       "SetFileAttributesA of a missing file: error %lu\n", LastError());
}

void TestFileHandles() {
    ok(CreateDirectoryA("F:\\conf\\io", nullptr), "CreateDirectoryA io failed\n");
    const std::string path = "F:\\conf\\io\\data.bin";

    SetLastError(0);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ok(file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND,
       "opening a missing file: error %lu\n", LastError());
    SetLastError(0);
    file = CreateFileA("F:\\conf\\io\\none\\x", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ok(file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND,
       "making a file in a missing folder: error %lu\n", LastError());
    SetLastError(0);
    file = CreateFileA("F:\\conf\\io", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ok(file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED,
       "a folder opened as a file: error %lu\n", LastError());

    // Written in blocks, read back in other blocks.
    file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    ok(file != INVALID_HANDLE_VALUE, "CREATE_NEW: error %lu\n", LastError());
    std::string content;
    for (int i = 0; i < 70000; ++i)
        content += (char)('a' + i % 26);
    DWORD written = 0;
    ok(WriteFile(file, content.data(), 65536, &written, nullptr) && written == 65536,
       "first block: %lu bytes\n", U(written));
    ok(WriteFile(file, content.data() + 65536, (DWORD)content.size() - 65536, &written, nullptr) &&
           written == content.size() - 65536,
       "second block: %lu bytes\n", U(written));
    DWORD read = 1;
    SetLastError(0);
    ok(!ReadFile(file, (void*)content.data(), 10, &read, nullptr) && read == 0 &&
           GetLastError() == ERROR_ACCESS_DENIED,
       "reading a file opened to write: error %lu\n", LastError());

    // The time of the last write, as the installer keeps a disc file's.
    FILETIME time;
    time.dwLowDateTime = 0x2AC5C000; // 2000-01-01 00:00:00 UTC
    time.dwHighDateTime = 0x01BF53EB;
    ok(SetFileTime(file, nullptr, nullptr, &time), "SetFileTime: error %lu\n", LastError());
    ok(CloseHandle(file), "CloseHandle failed\n");
    SetLastError(0);
    ok(!CloseHandle(file) && GetLastError() == ERROR_INVALID_HANDLE,
       "a second CloseHandle: error %lu\n", LastError());

    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(path.c_str(), &found);
    ok(find != INVALID_HANDLE_VALUE, "data.bin not found\n");
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        ok(found.nFileSizeLow == content.size() && found.nFileSizeHigh == 0, "size found: %lu\n",
           U(found.nFileSizeLow));
        ok(found.ftLastWriteTime.dwHighDateTime == time.dwHighDateTime &&
               found.ftLastWriteTime.dwLowDateTime == time.dwLowDateTime,
           "time of the last write: %08lx%08lx\n", U(found.ftLastWriteTime.dwHighDateTime),
           U(found.ftLastWriteTime.dwLowDateTime));
    }
    ok(ReadWhole(path) == content, "other content read back\n");

    // Reading at the end gives nothing, and succeeds.
    file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<char> buffer(content.size() + 100);
    ok(ReadFile(file, buffer.data(), (DWORD)buffer.size(), &read, nullptr) &&
           read == content.size(),
       "one read of everything: %lu bytes\n", U(read));
    ok(ReadFile(file, buffer.data(), (DWORD)buffer.size(), &read, nullptr) && read == 0,
       "a read at the end: %lu bytes\n", U(read));
    written = 1;
    SetLastError(0);
    ok(!WriteFile(file, "x", 1, &written, nullptr) && written == 0 &&
           GetLastError() == ERROR_ACCESS_DENIED,
       "writing a file opened to read: error %lu\n", LastError());
    CloseHandle(file);

    // An existing file: CREATE_NEW refuses it, CREATE_ALWAYS empties it and says so.
    SetLastError(0);
    file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    ok(file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS,
       "CREATE_NEW over a file: error %lu\n", LastError());
    SetLastError(0);
    file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ok(file != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS,
       "CREATE_ALWAYS over a file: error %lu\n", LastError());
    CloseHandle(file);
    ok(ReadWhole(path).empty(), "CREATE_ALWAYS did not empty the file\n");

    // Files on a CD-ROM read; none are written or made there.
    ok(ReadWhole("D:\\conf\\readme.txt") == DiscReadme, "the disc's readme: %s\n",
       ReadWhole("D:\\conf\\readme.txt").c_str());
    ok(ReadWhole("D:\\CONF\\SUB\\INNER.DAT").size() == DiscInnerBytes,
       "the disc's inner.dat does not read\n");
    SetLastError(0);
    file = CreateFileA("D:\\conf\\readme.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ok(file == INVALID_HANDLE_VALUE, "a disc file opened to write\n");
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    file = CreateFileA("D:\\conf\\new.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ok(file == INVALID_HANDLE_VALUE, "a file made on a disc\n");
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        ShellDelete("D:\\conf\\new.txt");
    }
    DWORD attributes = GetFileAttributesA("D:\\conf\\readme.txt");
    ok(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0,
       "a disc file is read-only: %#lx\n", U(attributes));
    BOOL made = CreateDirectoryA("D:\\conf\\made", nullptr);
    ok(!made, "a folder made on a disc\n");
    if (made)
        ShellDelete("D:\\conf\\made");
}

// ---- share modes, removal and file times -----------------------------------------------------

const DWORD ShareAllModes = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenShared(const std::string& path, DWORD access, DWORD share,
                  DWORD disposition = OPEN_EXISTING) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Opens path once more as the case says and closes it again; the open's error, 0 when it opened.
struct SecondOpen {
    DWORD access;
    DWORD share;
    DWORD disposition;
    const char* what;
};
unsigned long SecondOpenError(const std::string& path, const SecondOpen& open) {
    SetLastError(0);
    HANDLE file = OpenShared(path, open.access, open.share, open.disposition);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    CloseHandle(file);
    return 0;
}

// A handle keeps out every later open and delete that it does not share, whoever makes them,
// with a sharing violation. Attributes stay free to read and change.
void TestSharing() {
    ok(CreateDirectoryA("F:\\conf\\share", nullptr), "CreateDirectoryA share failed\n");
    const std::string path = "F:\\conf\\share\\held.txt";
    ok(WriteWhole(path, "held"), "writing held.txt failed\n");

    // Held as a program holds a file it reads: sharing reading only.
    HANDLE held = OpenShared(path, GENERIC_READ, FILE_SHARE_READ);
    ok(held != INVALID_HANDLE_VALUE, "opening held.txt: error %lu\n", LastError());
    const SecondOpen reading[] = {
        {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, "a reader sharing reading"},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, "a reader sharing all"},
        {0, 0, OPEN_EXISTING, "an open to neither read nor write"},
    };
    for (const auto& open : reading)
        ok(SecondOpenError(path, open) == 0, "%s: error %lu\n", open.what,
           SecondOpenError(path, open));
    const SecondOpen kept[] = {
        {GENERIC_READ, 0, OPEN_EXISTING, "a reader sharing nothing"},
        {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, "a writer"},
        {GENERIC_WRITE, 0, CREATE_ALWAYS, "a writer replacing the file"},
    };
    for (const auto& open : kept)
        ok(SecondOpenError(path, open) == ERROR_SHARING_VIOLATION, "%s: error %lu\n", open.what,
           SecondOpenError(path, open));
    SetLastError(0);
    ok(!DeleteFileA(path.c_str()) && GetLastError() == ERROR_SHARING_VIOLATION,
       "DeleteFileA of a held file: error %lu\n", LastError());
    ok(ShellDelete(path) != 0, "the shell deleted a held file\n");
    ok(ReadWhole(path) == "held", "a held file changed: %s\n", ReadWhole(path).c_str());
    ok(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) &&
           (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY) != 0 &&
           SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL),
       "the attributes of a held file: error %lu\n", LastError());
    // The handle is weighed before the read-only attribute.
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    SetLastError(0);
    ok(!DeleteFileA(path.c_str()) && GetLastError() == ERROR_SHARING_VIOLATION,
       "DeleteFileA of a held read-only file: error %lu\n", LastError());
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    CloseHandle(held);

    // Held as the installer writes a file: sharing nothing.
    held = OpenShared(path, GENERIC_WRITE, 0);
    ok(held != INVALID_HANDLE_VALUE, "opening held.txt to write: error %lu\n", LastError());
    const SecondOpen everything = {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                   "a reader sharing all"};
    ok(SecondOpenError(path, everything) == ERROR_SHARING_VIOLATION,
       "a reader of a file written sharing nothing: error %lu\n",
       SecondOpenError(path, everything));
    SetLastError(0);
    ok(!DeleteFileA(path.c_str()) && GetLastError() == ERROR_SHARING_VIOLATION,
       "DeleteFileA of a file being written: error %lu\n", LastError());
    CloseHandle(held);

    // A handle that shares deleting lets the file be deleted; it is gone once closed.
    held = OpenShared(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ok(DeleteFileA(path.c_str()), "DeleteFileA of a file shared for deleting: error %lu\n",
       LastError());
    CloseHandle(held);
    ok(!Exists(path), "a deleted file stayed once closed\n");

    // The shell's delete stops at a held file: what the listing gave before it goes, the file
    // and what comes after it stay.
    const std::string tree = "F:\\conf\\share\\tree";
    CreateDirectoryA(tree.c_str(), nullptr);
    CreateDirectoryA((tree + "\\sub").c_str(), nullptr);
    for (const char* name : {"\\a.txt", "\\m.txt", "\\sub\\b.txt", "\\z.txt"})
        WriteWhole(tree + name, name);
    held = OpenShared(tree + "\\m.txt", GENERIC_READ, FILE_SHARE_READ);
    ok(ShellDelete(tree + "\\*.*") != 0, "the shell's delete of a folder with a held file "
                                         "succeeded\n");
    Names left = Find(tree + "\\*");
    ok(left == (Names{".", "..", "m.txt", "sub", "z.txt"}), "left after the delete: %s\n",
       Join(left).c_str());
    CloseHandle(held);
}

// DeleteFileA takes a file, RemoveDirectoryA an empty folder; each refuses anything else.
void TestRemoval() {
    const std::string folder = "F:\\conf\\rm";
    ok(CreateDirectoryA(folder.c_str(), nullptr), "CreateDirectoryA rm failed\n");
    ok(CreateDirectoryA((folder + "\\full").c_str(), nullptr), "CreateDirectoryA full failed\n");
    WriteWhole(folder + "\\full\\file.txt", "f");
    WriteWhole(folder + "\\locked.txt", "r");
    SetFileAttributesA((folder + "\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteWhole(folder + "\\hidden.txt", "h");
    SetFileAttributesA((folder + "\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);

    struct {
        bool folder; // RemoveDirectoryA, else DeleteFileA
        std::string path;
        unsigned long error;
    } cases[] = {
        {false, folder + "\\none.txt", ERROR_FILE_NOT_FOUND},
        {false, folder + "\\none\\none.txt", ERROR_PATH_NOT_FOUND},
        {false, folder + "\\full", ERROR_ACCESS_DENIED},
        {false, folder + "\\locked.txt", ERROR_ACCESS_DENIED},
        {false, "D:\\conf\\readme.txt", ERROR_ACCESS_DENIED},
        {false, folder + "\\hidden.txt", 0},
        {true, folder + "\\full", ERROR_DIR_NOT_EMPTY},
        {true, folder + "\\full\\file.txt", ERROR_DIRECTORY},
        {true, folder + "\\none", ERROR_FILE_NOT_FOUND},
        {true, folder + "\\none\\none", ERROR_PATH_NOT_FOUND},
        {false, folder + "\\full\\file.txt", 0},
        {true, folder + "\\full\\", 0},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        BOOL removed = c.folder ? RemoveDirectoryA(c.path.c_str()) : DeleteFileA(c.path.c_str());
        unsigned long error = removed ? 0 : LastError();
        ok(error == c.error, "%s %s: error %lu\n", c.folder ? "RemoveDirectoryA" : "DeleteFileA",
           c.path.c_str(), error);
    }
    ok(Find(folder + "\\*") == (Names{".", "..", "locked.txt"}), "left in rm: %s\n",
       Join(Find(folder + "\\*")).c_str());
    ok(!RemoveDirectoryA("D:\\conf\\sub") && Exists("D:\\conf\\sub\\inner.dat"),
       "a folder on the disc went\n");
}

// MoveFileA renames a file or folder to a free name; MoveFileExA with MOVEFILE_REPLACE_EXISTING
// also puts a file in the place of another, under the new name as it is spelled. A read-only
// file moves, and keeps its attribute, contents and time; a file held without FILE_SHARE_DELETE
// doesn't. FlushFileBuffers wants a handle that may write.
void TestMoveAndFlush() {
    const std::string folder = "F:\\conf\\move";
    ok(CreateDirectoryA(folder.c_str(), nullptr), "CreateDirectoryA move failed\n");
    const std::string kept = folder + "\\kept.bak";
    const std::string game = folder + "\\Game.exe";
    WriteWhole(game, "old game");
    SetFileAttributesA(game.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    WIN32_FIND_DATAA before = {}, after = {};
    HANDLE find = FindFirstFileA(game.c_str(), &before);
    FindClose(find);
    ok(MoveFileA(game.c_str(), kept.c_str()), "MoveFileA of a read-only file: error %lu\n",
       LastError());
    find = FindFirstFileA(kept.c_str(), &after);
    FindClose(find);
    ok(ReadWhole(kept) == "old game" && !Exists(game) &&
           after.dwFileAttributes == before.dwFileAttributes &&
           after.ftLastWriteTime.dwLowDateTime == before.ftLastWriteTime.dwLowDateTime &&
           after.ftLastWriteTime.dwHighDateTime == before.ftLastWriteTime.dwHighDateTime,
       "a moved file: attributes %lx, was %lx\n", after.dwFileAttributes, before.dwFileAttributes);

    WriteWhole(folder + "\\GAME.EXE", "new game");
    SetLastError(0);
    ok(!MoveFileA(kept.c_str(), game.c_str()) && GetLastError() == ERROR_ALREADY_EXISTS,
       "MoveFileA onto a file: error %lu\n", LastError());
    SetLastError(0);
    ok(!MoveFileExA((folder + "\\none").c_str(), game.c_str(), MOVEFILE_REPLACE_EXISTING) &&
           GetLastError() == ERROR_FILE_NOT_FOUND,
       "MoveFileExA of no file: error %lu\n", LastError());
    ok(ReadWhole(game) == "new game", "a failed move changed its target\n");
    ok(MoveFileExA(kept.c_str(), game.c_str(), MOVEFILE_REPLACE_EXISTING),
       "MoveFileExA over a file: error %lu\n", LastError());
    ok(ReadWhole(game) == "old game" && !Exists(kept), "MoveFileExA left %s\n",
       Join(Find(folder + "\\*")).c_str());
    todo_wine("Wine 8 keeps the spelling of the file replaced")
        ok(Find(folder + "\\*") == (Names{".", "..", "Game.exe"}), "the replaced name: %s\n",
           Join(Find(folder + "\\*")).c_str());

    // Held as a program holds a file it reads: it can't be moved aside or replaced.
    SetFileAttributesA(game.c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteWhole(kept, "other");
    HANDLE held = OpenShared(game, GENERIC_READ, FILE_SHARE_READ);
    SetLastError(0);
    ok(!MoveFileA(game.c_str(), (folder + "\\aside").c_str()) &&
           GetLastError() == ERROR_SHARING_VIOLATION,
       "MoveFileA of a held file: error %lu\n", LastError());
    SetLastError(0);
    BOOL replaced = MoveFileExA(kept.c_str(), game.c_str(), MOVEFILE_REPLACE_EXISTING);
    unsigned long error = replaced ? 0 : LastError();
    ok(!replaced && (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED),
       "MoveFileExA over a held file: error %lu\n", error);
    CloseHandle(held);

    HANDLE writing = OpenShared(game, GENERIC_WRITE, 0);
    ok(FlushFileBuffers(writing), "FlushFileBuffers: error %lu\n", LastError());
    CloseHandle(writing);
    HANDLE reading = OpenShared(game, GENERIC_READ, FILE_SHARE_READ);
    SetLastError(0);
    ok(!FlushFileBuffers(reading) && GetLastError() == ERROR_ACCESS_DENIED,
       "FlushFileBuffers of a handle that reads: error %lu\n", LastError());
    CloseHandle(reading);
}

// SetFilePointer moves inside a file: writes land there, over what was there; past the end a
// write fills the gap with zeros; before the start is refused.
void TestFilePointer() {
    const std::string path = "F:\\conf\\pointer.txt";
    WriteWhole(path, "0123456789");
    HANDLE file = OpenShared(path, GENERIC_READ | GENERIC_WRITE, 0);
    DWORD written = 0;
    ok(SetFilePointer(file, 2, nullptr, FILE_BEGIN) == 2, "FILE_BEGIN: error %lu\n", LastError());
    ok(WriteFile(file, "AB", 2, &written, nullptr), "writing at 2 failed\n");
    ok(SetFilePointer(file, 0, nullptr, FILE_CURRENT) == 4, "the write did not move on\n");
    ok(SetFilePointer(file, -1, nullptr, FILE_END) == 9, "FILE_END - 1: error %lu\n", LastError());
    ok(WriteFile(file, "YZ", 2, &written, nullptr), "writing at 9 failed\n");
    SetLastError(0);
    ok(SetFilePointer(file, -20, nullptr, FILE_CURRENT) == INVALID_SET_FILE_POINTER &&
           GetLastError() == ERROR_NEGATIVE_SEEK,
       "a move before the start: error %lu\n", LastError());
    LONG high = 0;
    ok(SetFilePointer(file, 0, &high, FILE_CURRENT) == 11 && high == 0,
       "the position after a refused move: %ld\n", (long)high);
    ok(SetFilePointer(file, 2, nullptr, FILE_END) == 13, "FILE_END + 2: error %lu\n", LastError());
    ok(WriteFile(file, "!", 1, &written, nullptr), "writing past the end failed\n");
    CloseHandle(file);
    ok(ReadWhole(path) == std::string("01AB45678YZ\0\0!", 14), "the file holds %s\n",
       ReadWhole(path).c_str());
    DeleteFileA(path.c_str());
}

// The runner may give drive H a directory link: H:\linked leads to H:\target, which holds
// inside.txt. Windows shows a junction as a folder that is a reparse point, follows it, and
// RemoveDirectoryA removes the link, not what it leads to.
void TestDirectoryLinks() {
    if (!IsFolder("H:\\target")) {
        skip("no drive H with a directory link\n");
        return;
    }
    DWORD attributes = GetFileAttributesA("H:\\linked");
    ok(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
       "H:\\linked: attributes %#lx\n", U(attributes));
    WIN32_FIND_DATAA found = {};
    HANDLE find = FindFirstFileA("H:\\link*", &found);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    ok(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
       "GetFileAttributesA of the link: %#lx\n", U(attributes));
    ok((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
       "FindFirstFileA of the link: %#lx\n", U(found.dwFileAttributes));
    ok((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
       "FindFirstFileA: the link is no folder: %#lx\n", U(found.dwFileAttributes));
    ok(ReadWhole("H:\\linked\\inside.txt") == "inside", "through the link: %s\n",
       ReadWhole("H:\\linked\\inside.txt").c_str());
    // One that leads off the drive is followed too.
    attributes = GetFileAttributesA("H:\\away");
    ok(attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
       "H:\\away: attributes %#lx\n", U(attributes));
    ok(ReadWhole("H:\\away\\away.txt") == "away", "through the link off the drive: %s\n",
       ReadWhole("H:\\away\\away.txt").c_str());
    ok(WriteWhole("H:\\linked\\made.txt", "m") && ReadWhole("H:\\target\\made.txt") == "m",
       "a file made through the link is not in its folder\n");
    DeleteFileA("H:\\target\\made.txt");
    SetLastError(0);
    ok(!DeleteFileA("H:\\linked") && GetLastError() == ERROR_ACCESS_DENIED,
       "DeleteFileA of the link: error %lu\n", LastError());
    // Opened as a file, itself, the link is no file to hold.
    HANDLE file = CreateFileA("H:\\linked", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ok(file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED,
       "opening the link as a file: error %lu\n", LastError());
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    BOOL removed = RemoveDirectoryA("H:\\linked");
    unsigned long error = removed ? 0 : LastError();
    todo_wine("Wine does not remove a link to a folder that holds files (ERROR_DIR_NOT_EMPTY)")
        ok(removed, "RemoveDirectoryA of the link: error %lu\n", error);
    ok(!Exists("H:\\linked") || !removed, "the link is still there\n");
    ok(ReadWhole("H:\\target\\inside.txt") == "inside", "the link's folder lost its file\n");
}

const ULONGLONG Year2000 = 0x01BF53EB2AC5C000ULL;
const ULONGLONG EarliestTime = 1;
const ULONGLONG LatestTime = 0x7FFFFFFFFFFFFFFFULL;
// The earliest and latest times ext4 holds: 1901-12-13 20:45:52 and 2446-05-10 22:38:55.
const ULONGLONG EarliestOnExt4 = 0x0151669ED53E8000ULL;
const ULONGLONG LatestOnExt4 = 0x03B3C09ED4A5E980ULL;

FILETIME FileTime(ULONGLONG units) {
    return {(DWORD)units, (DWORD)(units >> 32)};
}

// Sets the time of the last write of a new file in folder to Year2000, then to units; whether
// that worked (with the error), and the time the file then has.
ULONGLONG SetWriteTime(const std::string& folder, ULONGLONG units, BOOL& set,
                       unsigned long& error) {
    const std::string path = folder + "\\time.txt";
    WriteWhole(path, "t");
    HANDLE file = OpenShared(path, GENERIC_WRITE, 0);
    FILETIME first = FileTime(Year2000);
    FILETIME time = FileTime(units);
    SetFileTime(file, nullptr, nullptr, &first);
    SetLastError(0);
    set = SetFileTime(file, nullptr, nullptr, &time);
    error = set ? 0 : LastError();
    CloseHandle(file);
    WIN32_FIND_DATAA found = {};
    HANDLE find = FindFirstFileA(path.c_str(), &found);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    DeleteFileA(path.c_str());
    return ((ULONGLONG)found.ftLastWriteTime.dwHighDateTime << 32) |
           found.ftLastWriteTime.dwLowDateTime;
}

// 0 and -1 leave a file time as it is, a time with its top bit set is none, and every other
// time is kept as well as the file system can: NTFS and a tmpfs hold any, ext4 the nearest of
// its own.
void TestFileTimes() {
    const std::string folder = "F:\\conf\\times";
    ok(CreateDirectoryA(folder.c_str(), nullptr), "CreateDirectoryA times failed\n");
    BOOL set;
    unsigned long error;
    for (ULONGLONG kept : {0ULL, ~0ULL}) {
        ULONGLONG now = SetWriteTime(folder, kept, set, error);
        ok(set && now == Year2000, "a time of %#llx: error %lu, the file's time %#llx\n", U64(kept),
           error, U64(now));
    }
    ULONGLONG now = SetWriteTime(folder, 1ULL << 63, set, error);
    ok(!set && error == ERROR_INVALID_PARAMETER && now == Year2000,
       "a time with its top bit set: error %lu, the file's time %#llx\n", error, U64(now));
    now = SetWriteTime(folder, EarliestTime, set, error);
    ok(set && (now == EarliestTime || now == EarliestOnExt4),
       "the earliest time: error %lu, the file's time %#llx\n", error, U64(now));
    now = SetWriteTime(folder, LatestTime, set, error);
    ok(set && (now == LatestTime || now == LatestOnExt4),
       "the latest time: error %lu, the file's time %#llx\n", error, U64(now));

    if (GetDriveTypeA("G:\\") != DRIVE_FIXED) {
        skip("no drive G: to hold any file time\n");
        return;
    }
    for (ULONGLONG units : {EarliestTime, LatestTime}) {
        now = SetWriteTime("G:", units, set, error);
        ok(set && now == units, "%#llx on G:: error %lu, the file's time %#llx\n", U64(units),
           error, U64(now));
    }
}

// ---- folders by handle, share modes of folders, hard links ----------------------------------

HANDLE OpenFolder(const std::string& path, DWORD access, DWORD share, DWORD flags = 0) {
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

BY_HANDLE_FILE_INFORMATION InformationOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(handle, &information))
        information.dwFileAttributes = INVALID_FILE_ATTRIBUTES;
    return information;
}

ULONGLONG IndexOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return ((ULONGLONG)information.nFileIndexHigh << 32) | information.nFileIndexLow;
}

// The error of a MoveFileA, 0 when it moved (it is moved back).
unsigned long MoveError(const std::string& from, const std::string& to) {
    SetLastError(0);
    if (!MoveFileA(from.c_str(), to.c_str()))
        return LastError();
    MoveFileA(to.c_str(), from.c_str());
    return 0;
}

// A folder opens by handle only with FILE_FLAG_BACKUP_SEMANTICS. A handle that may read, write
// or delete it and does not share deleting keeps it from being renamed or removed; one opened for
// its attributes or access list alone takes no part in sharing. Nothing renames a folder that has
// a file open inside it, and a folder held without sharing writing takes no new name.
void TestFolderHandles() {
    const std::string folder = "F:\\conf\\held";
    ok(CreateDirectoryA(folder.c_str(), nullptr) &&
           CreateDirectoryA((folder + "\\inner").c_str(), nullptr),
       "CreateDirectoryA held failed\n");
    WriteWhole(folder + "\\inner\\file.txt", "f");
    SetLastError(0);
    HANDLE handle = CreateFileA(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ok(handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED,
       "a folder opened without backup semantics: error %lu\n", LastError());
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);

    handle = OpenFolder(folder + "\\inner", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ok(handle != INVALID_HANDLE_VALUE, "a folder opened with backup semantics: error %lu\n",
       LastError());
    BY_HANDLE_FILE_INFORMATION information = InformationOf(handle);
    DWORD serial = 0;
    GetVolumeInformationA("F:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
    ok((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           information.dwVolumeSerialNumber == serial,
       "a folder's information: attributes %#lx, serial %#lx (the volume's %#lx)\n",
       U(information.dwFileAttributes), U(information.dwVolumeSerialNumber), U(serial));
    ok(MoveError(folder + "\\inner", folder + "\\moved") == ERROR_SHARING_VIOLATION,
       "MoveFileA of a folder held without FILE_SHARE_DELETE: error %lu\n",
       MoveError(folder + "\\inner", folder + "\\moved"));
    // What is in it is not held.
    ok(DeleteFileA((folder + "\\inner\\file.txt").c_str()),
       "DeleteFileA of a file in a held folder: error %lu\n", LastError());
    WriteWhole(folder + "\\inner\\file.txt", "f");
    CloseHandle(handle);

    const std::string empty = folder + "\\empty";
    CreateDirectoryA(empty.c_str(), nullptr);
    handle = OpenFolder(empty, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    SetLastError(0);
    ok(!RemoveDirectoryA(empty.c_str()) && GetLastError() == ERROR_SHARING_VIOLATION,
       "RemoveDirectoryA of a folder held without FILE_SHARE_DELETE: error %lu\n", LastError());
    CloseHandle(handle);
    handle =
        OpenFolder(empty, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ok(MoveError(empty, folder + "\\renamed") == 0,
       "MoveFileA of a folder held sharing deleting: error %lu\n",
       MoveError(empty, folder + "\\renamed"));
    CloseHandle(handle);
    // Opened for its access list alone, sharing nothing: no part in sharing.
    handle = OpenFolder(empty, READ_CONTROL, 0);
    ok(handle != INVALID_HANDLE_VALUE, "a folder opened for READ_CONTROL: error %lu\n",
       LastError());
    ok(MoveError(empty, folder + "\\renamed") == 0,
       "MoveFileA of a folder held for READ_CONTROL alone: error %lu\n",
       MoveError(empty, folder + "\\renamed"));
    CloseHandle(handle);

    // A file open inside: the folder stays where it is.
    HANDLE file = OpenShared(folder + "\\inner\\file.txt", GENERIC_READ, ShareAllModes);
    todo_wine("Wine renames a folder with a file open inside it") {
        ok(MoveError(folder + "\\inner", folder + "\\moved") == ERROR_ACCESS_DENIED,
           "MoveFileA of a folder with a file open inside: error %lu\n",
           MoveError(folder + "\\inner", folder + "\\moved"));
    }
    CloseHandle(file);
    ok(MoveError(folder + "\\inner", folder + "\\moved") == 0,
       "MoveFileA of the folder once the file is closed: error %lu\n",
       MoveError(folder + "\\inner", folder + "\\moved"));

    // A rename opens the folder it lands in, sharing reading and writing (Windows 10).
    WriteWhole(folder + "\\loose.txt", "l");
    handle = OpenFolder(folder + "\\inner", GENERIC_READ, FILE_SHARE_READ);
    todo_wine("Wine renames into a folder held without FILE_SHARE_WRITE") {
        ok(MoveError(folder + "\\loose.txt", folder + "\\inner\\loose.txt") ==
               ERROR_SHARING_VIOLATION,
           "MoveFileA into a folder held without FILE_SHARE_WRITE: error %lu\n",
           MoveError(folder + "\\loose.txt", folder + "\\inner\\loose.txt"));
    }
    CloseHandle(handle);
    handle = OpenFolder(folder + "\\inner", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ok(MoveError(folder + "\\loose.txt", folder + "\\inner\\loose.txt") == 0,
       "MoveFileA into a folder held sharing writing: error %lu\n",
       MoveError(folder + "\\loose.txt", folder + "\\inner\\loose.txt"));
    CloseHandle(handle);
}

// FILE_FLAG_OPEN_REPARSE_POINT opens a directory link itself: a folder that is a reparse point,
// another object than the folder it leads to.
void TestLinkHandles() {
    if (!IsFolder("H:\\target")) {
        skip("no drive H with a directory link\n");
        return;
    }
    HANDLE target = OpenFolder("H:\\target", GENERIC_READ, ShareAllModes);
    HANDLE through = OpenFolder("H:\\linked", GENERIC_READ, ShareAllModes);
    HANDLE link =
        OpenFolder("H:\\linked", GENERIC_READ, ShareAllModes, FILE_FLAG_OPEN_REPARSE_POINT);
    ok(target != INVALID_HANDLE_VALUE && through != INVALID_HANDLE_VALUE &&
           link != INVALID_HANDLE_VALUE,
       "opening the link and its folder: error %lu\n", LastError());
    BY_HANDLE_FILE_INFORMATION ofTarget = InformationOf(target), ofThrough = InformationOf(through),
                               ofLink = InformationOf(link);
    ok(IndexOf(ofTarget) == IndexOf(ofThrough) &&
           (ofThrough.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
       "the link followed: index %#llx (the folder's %#llx), attributes %#lx\n",
       U64(IndexOf(ofThrough)), U64(IndexOf(ofTarget)), U(ofThrough.dwFileAttributes));
    todo_wine("Wine opens what a link leads to, whatever the flags") {
        ok(IndexOf(ofLink) != IndexOf(ofTarget) &&
               (ofLink.dwFileAttributes &
                (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
                   (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
           "the link itself: index %#llx, attributes %#lx\n", U64(IndexOf(ofLink)),
           U(ofLink.dwFileAttributes));
    }
    for (HANDLE handle : {target, through, link}) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
}

typedef BOOL(WINAPI* CreateHardLinkFunction)(LPCSTR, LPCSTR, LPSECURITY_ATTRIBUTES);

// A hard link is another name of one file: the same index, contents and attributes, a count of
// names; deleting one name leaves the others.
void TestHardLinks() {
    auto createHardLink = (CreateHardLinkFunction)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "CreateHardLinkA");
    ok(createHardLink != nullptr, "no CreateHardLinkA in kernel32\n");
    if (createHardLink == nullptr)
        return;
    const std::string folder = "F:\\conf\\hard";
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "\\sub").c_str(), nullptr);
    const std::string first = folder + "\\first.txt", second = folder + "\\sub\\second.txt";
    WriteWhole(first, "one");
    ok(createHardLink(second.c_str(), first.c_str(), nullptr), "CreateHardLinkA: error %lu\n",
       LastError());
    HANDLE a = OpenShared(first, GENERIC_READ, ShareAllModes);
    HANDLE b = OpenShared(second, GENERIC_READ, ShareAllModes);
    BY_HANDLE_FILE_INFORMATION ofA = InformationOf(a), ofB = InformationOf(b);
    ok(IndexOf(ofA) == IndexOf(ofB) && ofA.nNumberOfLinks == 2 && ofB.nNumberOfLinks == 2,
       "two names: indexes %#llx and %#llx, %lu and %lu names\n", U64(IndexOf(ofA)),
       U64(IndexOf(ofB)), U(ofA.nNumberOfLinks), U(ofB.nNumberOfLinks));
    // The size, the time and the number of names by the calls that ask nothing of the volume,
    // on a handle opened for no access as well.
    auto informationEx = (decltype(&GetFileInformationByHandleEx))(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx");
    FILE_STANDARD_INFO standard = {};
    ok(informationEx != nullptr &&
           informationEx(b, FileStandardInfo, &standard, sizeof(standard)) &&
           standard.NumberOfLinks == 2 && standard.EndOfFile.QuadPart == 3 && !standard.Directory,
       "GetFileInformationByHandleEx: %lu names, %lld bytes, error %lu\n",
       U(standard.NumberOfLinks), (long long)standard.EndOfFile.QuadPart, LastError());
    HANDLE bare = CreateFileA(second.c_str(), 0, ShareAllModes, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD sizeHigh = 7;
    FILETIME written = {};
    DWORD sizeLow = GetFileSize(bare, &sizeHigh);
    ok(sizeLow == 3 && sizeHigh == 0 && GetFileTime(bare, nullptr, nullptr, &written) &&
           written.dwLowDateTime == ofA.ftLastWriteTime.dwLowDateTime &&
           written.dwHighDateTime == ofA.ftLastWriteTime.dwHighDateTime,
       "GetFileSize and GetFileTime on a handle of no access: %lu:%lu bytes, error %lu\n",
       U(sizeHigh), U(sizeLow), LastError());
    CloseHandle(bare);
    CloseHandle(a);
    CloseHandle(b);
    ok(WriteWhole(second, "two") && ReadWhole(first) == "two",
       "written by one name, read by the other: %s\n", ReadWhole(first).c_str());
    SetFileAttributesA(second.c_str(), FILE_ATTRIBUTE_READONLY);
    ok((GetFileAttributesA(first.c_str()) & FILE_ATTRIBUTE_READONLY) != 0,
       "read-only by one name, not by the other: %#lx\n", U(GetFileAttributesA(first.c_str())));
    SetFileAttributesA(second.c_str(), FILE_ATTRIBUTE_NORMAL);
    SetLastError(0);
    ok(!createHardLink(second.c_str(), first.c_str(), nullptr) &&
           GetLastError() == ERROR_ALREADY_EXISTS,
       "CreateHardLinkA onto a name that is there: error %lu\n", LastError());
    SetLastError(0);
    ok(!createHardLink((folder + "\\folder").c_str(), (folder + "\\sub").c_str(), nullptr) &&
           GetLastError() == ERROR_ACCESS_DENIED,
       "CreateHardLinkA of a folder: error %lu\n", LastError());
    if (GetDriveTypeA("G:\\") == DRIVE_FIXED) {
        SetLastError(0);
        ok(!createHardLink("G:\\other.txt", first.c_str(), nullptr) &&
               GetLastError() == ERROR_NOT_SAME_DEVICE,
           "CreateHardLinkA to another drive: error %lu\n", LastError());
    }
    ok(DeleteFileA(first.c_str()), "deleting one name: error %lu\n", LastError());
    b = OpenShared(second, GENERIC_READ, ShareAllModes);
    ofB = InformationOf(b);
    CloseHandle(b);
    ok(ReadWhole(second) == "two" && ofB.nNumberOfLinks == 1, "the other name: %s, %lu names\n",
       ReadWhole(second).c_str(), U(ofB.nNumberOfLinks));
}

// ---- owners, access lists, the process's token, mutexes ---------------------------------------

// The functions a program looks up in advapi32 at run time.
struct Advapi {
    decltype(&GetKernelObjectSecurity) getKernelObjectSecurity = nullptr;
    decltype(&GetSecurityDescriptorOwner) getOwner = nullptr;
    decltype(&GetSecurityDescriptorDacl) getDacl = nullptr;
    decltype(&GetSecurityDescriptorControl) getControl = nullptr;
    decltype(&GetAce) getAce = nullptr;
    decltype(&EqualSid) equalSid = nullptr;
    decltype(&AllocateAndInitializeSid) allocateSid = nullptr;
    decltype(&FreeSid) freeSid = nullptr;
    decltype(&IsValidSid) isValidSid = nullptr;
    decltype(&GetLengthSid) getLengthSid = nullptr;
    decltype(&OpenProcessToken) openProcessToken = nullptr;
    decltype(&GetTokenInformation) getTokenInformation = nullptr;
    bool complete = false;
};

template <typename Function> void Look(HMODULE module, const char* name, Function& function) {
    function = (Function)(void (*)(void))GetProcAddress(module, name);
    ok(function != nullptr, "no %s in advapi32\n", name);
}

Advapi LookUpAdvapi() {
    Advapi api;
    HMODULE module = LoadLibraryA("advapi32.dll");
    ok(module != nullptr && GetModuleHandleA("advapi32.dll") == module,
       "advapi32 is not loaded: error %lu\n", LastError());
    if (module == nullptr)
        return api;
    Look(module, "GetKernelObjectSecurity", api.getKernelObjectSecurity);
    Look(module, "GetSecurityDescriptorOwner", api.getOwner);
    Look(module, "GetSecurityDescriptorDacl", api.getDacl);
    Look(module, "GetSecurityDescriptorControl", api.getControl);
    Look(module, "GetAce", api.getAce);
    Look(module, "EqualSid", api.equalSid);
    Look(module, "AllocateAndInitializeSid", api.allocateSid);
    Look(module, "FreeSid", api.freeSid);
    Look(module, "IsValidSid", api.isValidSid);
    Look(module, "GetLengthSid", api.getLengthSid);
    Look(module, "OpenProcessToken", api.openProcessToken);
    Look(module, "GetTokenInformation", api.getTokenInformation);
    api.complete = api.getKernelObjectSecurity && api.getOwner && api.getDacl && api.getControl &&
                   api.getAce && api.equalSid && api.allocateSid && api.freeSid && api.isValidSid &&
                   api.getLengthSid && api.openProcessToken && api.getTokenInformation;
    return api;
}

// The token's information of one class, in a buffer of the size the first call asks for.
std::vector<unsigned char> TokenInformation(const Advapi& api, HANDLE token,
                                            TOKEN_INFORMATION_CLASS what) {
    DWORD needed = 0;
    SetLastError(0);
    BOOL got = api.getTokenInformation(token, what, nullptr, 0, &needed);
    ok(!got && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > 0,
       "the size of token information %d: error %lu, %lu bytes\n", (int)what, LastError(),
       U(needed));
    std::vector<unsigned char> buffer(needed + 8);
    DWORD length = 0;
    ok(api.getTokenInformation(token, what, buffer.data(), (DWORD)buffer.size(), &length) &&
           length == needed,
       "token information %d: error %lu\n", (int)what, LastError());
    return buffer;
}

// A descriptor in the self-relative form: no owner (the token's default owner takes it), and a
// protected DACL that gives Administrators and the system everything, here and below.
std::vector<unsigned char> AdministratorsOnlyDescriptor(const Advapi& api) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr, system = nullptr;
    api.allocateSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                    &administrators);
    api.allocateSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
    std::vector<unsigned char> aces;
    for (PSID sid : {administrators, system}) {
        DWORD sidLength = api.getLengthSid(sid);
        WORD aceSize = (WORD)(8 + sidLength);
        unsigned char header[8] = {ACCESS_ALLOWED_ACE_TYPE,
                                   OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   (unsigned char)(aceSize & 0xFF), (unsigned char)(aceSize >> 8)};
        DWORD mask = FILE_ALL_ACCESS;
        std::memcpy(header + 4, &mask, 4);
        aces.insert(aces.end(), header, header + 8);
        aces.insert(aces.end(), (unsigned char*)sid, (unsigned char*)sid + sidLength);
    }
    api.freeSid(administrators);
    api.freeSid(system);
    std::vector<unsigned char> descriptor(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + sizeof(ACL) +
                                          aces.size());
    auto* header = (SECURITY_DESCRIPTOR_RELATIVE*)descriptor.data();
    header->Revision = SECURITY_DESCRIPTOR_REVISION;
    header->Control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED;
    header->Dacl = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    auto* acl = (ACL*)(descriptor.data() + header->Dacl);
    acl->AclRevision = ACL_REVISION;
    acl->AclSize = (WORD)(sizeof(ACL) + aces.size());
    acl->AceCount = 2;
    std::memcpy(acl + 1, aces.data(), aces.size());
    return descriptor;
}

// The owner and DACL of a file or folder, read through a handle opened for READ_CONTROL.
std::vector<unsigned char> SecurityOf(const Advapi& api, const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), READ_CONTROL, ShareAllModes, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ok(handle != INVALID_HANDLE_VALUE, "%s opened for READ_CONTROL: error %lu\n", path.c_str(),
       LastError());
    DWORD needed = 0;
    api.getKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, 0, &needed);
    std::vector<unsigned char> descriptor(needed);
    ok(needed > 0 && api.getKernelObjectSecurity(
                         handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                         descriptor.data(), needed, &needed),
       "GetKernelObjectSecurity of %s: error %lu\n", path.c_str(), LastError());
    CloseHandle(handle);
    return descriptor;
}

void TestSecurity() {
    Advapi api = LookUpAdvapi();
    if (!api.complete)
        return;
    HANDLE token = nullptr;
    ok(api.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token),
       "OpenProcessToken: error %lu\n", LastError());
    std::vector<unsigned char> user = TokenInformation(api, token, TokenUser);
    std::vector<unsigned char> owner = TokenInformation(api, token, TokenOwner);
    std::vector<unsigned char> groups = TokenInformation(api, token, TokenGroups);
    CloseHandle(token);
    PSID userSid = ((TOKEN_USER*)user.data())->User.Sid;
    PSID ownerSid = ((TOKEN_OWNER*)owner.data())->Owner;
    auto* groupList = (TOKEN_GROUPS*)groups.data();
    ok(api.isValidSid(userSid) && api.isValidSid(ownerSid) && groupList->GroupCount > 0,
       "the token's user, owner and groups are no SIDs\n");
    ok(api.getLengthSid(userSid) == 8u + 4u * ((SID*)userSid)->SubAuthorityCount,
       "the user's SID: %lu bytes\n", U(api.getLengthSid(userSid)));
    // The owner is the user or one of the groups that may own what the user makes.
    bool ownerIsTheTokens = api.equalSid(ownerSid, userSid);
    for (DWORD i = 0; i < groupList->GroupCount; ++i)
        ownerIsTheTokens |= (groupList->Groups[i].Attributes & SE_GROUP_OWNER) != 0 &&
                            api.equalSid(ownerSid, groupList->Groups[i].Sid);
    ok(ownerIsTheTokens, "the token's owner is neither its user nor an owner group\n");

    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr, system = nullptr;
    ok(api.allocateSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                       0, &administrators) &&
           api.allocateSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system),
       "AllocateAndInitializeSid: error %lu\n", LastError());
    ok(api.getLengthSid(administrators) == 16 && !api.equalSid(administrators, system) &&
           api.equalSid(administrators, administrators),
       "Administrators' SID: %lu bytes\n", U(api.getLengthSid(administrators)));

    // A folder made with its own protected access list: the token's default owner, that list.
    const std::string folder = "F:\\conf\\private";
    std::vector<unsigned char> made = AdministratorsOnlyDescriptor(api);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, made.data(), FALSE};
    ok(CreateDirectoryA(folder.c_str(), &attributes),
       "CreateDirectoryA with a descriptor: error %lu\n", LastError());
    std::vector<unsigned char> descriptor = SecurityOf(api, folder);
    if (descriptor.empty())
        return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const char* keepsNone = "Wine 8 gives a new folder a DACL of its own, not the one given";
    todo_wine(keepsNone)
        ok(api.getControl(descriptor.data(), &control, &revision) && revision == 1 &&
               (control & (SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED)) ==
                   (SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED),
           "the folder's control: %#x\n", control);
    PSID folderOwner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    todo_wine(keepsNone) {
        ok(api.getOwner(descriptor.data(), &folderOwner, &defaulted) &&
               api.equalSid(folderOwner, ownerSid),
           "the folder's owner is not the token's default owner\n");
    }
    ok(api.getDacl(descriptor.data(), &present, &dacl, &defaulted) && present && dacl != nullptr,
       "the folder has no DACL\n");
    // Two entries (under Wine, two of its own).
    ok(dacl != nullptr && dacl->AceCount == 2 && dacl->AclRevision == ACL_REVISION,
       "the folder's DACL: %u entries\n", dacl != nullptr ? dacl->AceCount : 0);
    for (DWORD i = 0; i < 2; ++i) {
        check::Todo todo(check::Platform::Wine, keepsNone);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ok(dacl != nullptr && i < dacl->AceCount && api.getAce(dacl, i, (void**)&ace) &&
               ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
               ace->Header.AceFlags == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) &&
               ace->Mask == FILE_ALL_ACCESS &&
               api.equalSid(&ace->SidStart, i == 0 ? administrators : system),
           "entry %lu of the folder's DACL: type %d, flags %#x, mask %#lx\n", U(i),
           ace ? ace->Header.AceType : -1, ace ? ace->Header.AceFlags : 0, ace ? U(ace->Mask) : 0);
    }
    // What is made in it inherits the list, each entry marked inherited.
    ok(WriteWhole(folder + "\\inside.txt", "i"), "writing in the folder: error %lu\n", LastError());
    descriptor = SecurityOf(api, folder + "\\inside.txt");
    dacl = nullptr;
    present = FALSE;
    todo_wine("Wine gives a new file no ACEs inherited from its folder") {
        ok(!descriptor.empty() && api.getDacl(descriptor.data(), &present, &dacl, &defaulted) &&
               present && dacl != nullptr && dacl->AceCount == 2,
           "the file's DACL: %u entries\n", dacl != nullptr ? dacl->AceCount : 0);
        for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount && i < 2; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ok(api.getAce(dacl, i, (void**)&ace) && ace->Header.AceFlags == INHERITED_ACE &&
                   ace->Mask == FILE_ALL_ACCESS &&
                   api.equalSid(&ace->SidStart, i == 0 ? administrators : system),
               "entry %lu of the file's DACL: flags %#x\n", U(i), ace ? ace->Header.AceFlags : 0);
        }
    }
    // A handle opened without READ_CONTROL gives no descriptor.
    HANDLE reading = OpenShared(folder + "\\inside.txt", FILE_READ_DATA, ShareAllModes);
    DWORD needed = 0;
    char small[256];
    SetLastError(0);
    ok(!api.getKernelObjectSecurity(reading, OWNER_SECURITY_INFORMATION, small, sizeof small,
                                    &needed) &&
           GetLastError() == ERROR_ACCESS_DENIED,
       "a descriptor through a handle without READ_CONTROL: error %lu\n", LastError());
    CloseHandle(reading);
    api.freeSid(administrators);
    api.freeSid(system);
    DeleteFileA((folder + "\\inside.txt").c_str());
    RemoveDirectoryA(folder.c_str());
}

// The file system of a fixed drive: NTFS, which keeps access lists, directory links and hard
// links.
void TestFileSystem() {
    char name[32] = "";
    DWORD flags = 0;
    ok(GetVolumeInformationA("F:\\", nullptr, 0, nullptr, nullptr, &flags, name, sizeof name),
       "GetVolumeInformationA of F:: error %lu\n", LastError());
    ok(std::strcmp(name, "NTFS") == 0, "F: is %s\n", name);
    ok((flags & FS_PERSISTENT_ACLS) != 0, "F:'s flags: %#lx\n", U(flags));
    todo_wine("Wine 8 says its drives have neither reparse points nor hard links") {
        ok((flags & (FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_HARD_LINKS)) ==
               (FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_HARD_LINKS),
           "F:'s flags: %#lx\n", U(flags));
    }
    char shortPath[MAX_PATH] = "";
    DWORD length = GetShortPathNameA("F:\\conf\\hard", shortPath, sizeof shortPath);
    ok(length == 12 && std::strcmp(shortPath, "F:\\conf\\hard") == 0,
       "the short path of names that fit 8.3: %s (%lu)\n", shortPath, U(length));
    length = GetShortPathNameA("F:\\conf\\hard", shortPath, 5);
    ok(length == 13, "the room a short path needs: %lu\n", U(length));
    SetLastError(0);
    ok(GetShortPathNameA("F:\\conf\\none", shortPath, sizeof shortPath) == 0 &&
           GetLastError() == ERROR_FILE_NOT_FOUND,
       "the short path of nothing: error %lu\n", LastError());
}

typedef BOOL(WINAPI* SetPolicyFunction)(PROCESS_MITIGATION_POLICY, LPVOID, SIZE_T);
typedef BOOL(WINAPI* GetPolicyFunction)(HANDLE, PROCESS_MITIGATION_POLICY, LPVOID, SIZE_T);

// RedirectionGuard, turned on as a program turns it on, stays on.
void TestMitigationPolicy() {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    auto setPolicy =
        (SetPolicyFunction)(void (*)(void))GetProcAddress(kernel32, "SetProcessMitigationPolicy");
    auto getPolicy =
        (GetPolicyFunction)(void (*)(void))GetProcAddress(kernel32, "GetProcessMitigationPolicy");
    ok(setPolicy != nullptr && getPolicy != nullptr, "no process mitigation policies\n");
    if (setPolicy == nullptr || getPolicy == nullptr)
        return;
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
    ok(getPolicy(GetCurrentProcess(), ProcessRedirectionTrustPolicy, &policy, sizeof policy) &&
           policy.Flags == 0,
       "RedirectionGuard at the start: error %lu, flags %#lx\n", LastError(), U(policy.Flags));
    policy.Flags = 0;
    policy.EnforceRedirectionTrust = 1;
    ok(setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy),
       "turning RedirectionGuard on: error %lu\n", LastError());
    todo_wine("Wine 8 takes RedirectionGuard's policy and keeps nothing of it") {
        policy.Flags = 0;
        ok(getPolicy(GetCurrentProcess(), ProcessRedirectionTrustPolicy, &policy, sizeof policy) &&
               policy.EnforceRedirectionTrust == 1,
           "RedirectionGuard once on: flags %#lx\n", U(policy.Flags));
        policy.Flags = 0;
        ok(!setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy),
           "RedirectionGuard turned off again\n");
    }
}

struct MutexRun {
    HANDLE mutex;
    DWORD waited;
};

DWORD WINAPI WaitBriefly(LPVOID parameter) {
    auto* run = (MutexRun*)parameter;
    run->waited = WaitForSingleObject(run->mutex, 0);
    if (run->waited == WAIT_OBJECT_0 || run->waited == WAIT_ABANDONED)
        ReleaseMutex(run->mutex);
    return 0;
}

// A named mutex: a second CreateMutexA finds it, its owner may wait on it again, and it is one
// thread's at a time.
void TestMutexes() {
    const char name[] = "kelvo-conformance-mutex";
    SetLastError(0xdead);
    HANDLE first = CreateMutexA(nullptr, TRUE, name);
    ok(first != nullptr && GetLastError() == 0, "CreateMutexA: error %lu\n", LastError());
    HANDLE second = CreateMutexA(nullptr, TRUE, name);
    ok(second != nullptr && second != first && GetLastError() == ERROR_ALREADY_EXISTS,
       "CreateMutexA of the name again: error %lu\n", LastError());
    ok(WaitForSingleObject(second, 0) == WAIT_OBJECT_0, "the owner's wait did not return\n");
    MutexRun run = {second, 0};
    HANDLE other = CreateThread(nullptr, 0, WaitBriefly, &run, 0, nullptr);
    WaitForSingleObject(other, 10000);
    CloseHandle(other);
    ok(run.waited == WAIT_TIMEOUT, "another thread's wait on an owned mutex: %lu\n", U(run.waited));
    ok(ReleaseMutex(first) && ReleaseMutex(second), "ReleaseMutex: error %lu\n", LastError());
    SetLastError(0);
    ok(!ReleaseMutex(first) && GetLastError() == ERROR_NOT_OWNER, "a release too many: error %lu\n",
       LastError());
    run.waited = 0;
    other = CreateThread(nullptr, 0, WaitBriefly, &run, 0, nullptr);
    WaitForSingleObject(other, 10000);
    CloseHandle(other);
    ok(run.waited == WAIT_OBJECT_0, "another thread's wait on a free mutex: %lu\n", U(run.waited));
    CloseHandle(first);
    CloseHandle(second);
    HANDLE again = CreateMutexA(nullptr, FALSE, name);
    ok(again != nullptr && GetLastError() == 0, "the name once every handle is closed: %lu\n",
       LastError());
    CloseHandle(again);
}

// ---- name patterns ----------------------------------------------------------------------------

void TestPatterns() {
    ok(CreateDirectoryA("F:\\conf\\find", nullptr), "CreateDirectoryA find failed\n");
    for (const char* name : {"name", "name.txt", "names.dat", "other.txt", "a.b.c"})
        ok(WriteWhole(std::string("F:\\conf\\find\\") + name, name), "writing %s failed\n", name);
    ok(CreateDirectoryA("F:\\conf\\find\\sub", nullptr), "CreateDirectoryA sub failed\n");

    const Names all = {".", "..", "a.b.c", "name", "name.txt", "names.dat", "other.txt", "sub"};
    ok(Find("F:\\conf\\find\\*.*") == all, "*.* finds %s\n",
       Join(Find("F:\\conf\\find\\*.*")).c_str());
    ok(Find("F:\\conf\\find\\*") == all, "* finds %s\n", Join(Find("F:\\conf\\find\\*")).c_str());
    // The rules DOS left behind, which Wine does not all follow.
    const char* questionMark = "Wine's '?' always takes one character";
    struct {
        const char* pattern;
        Names names;
        const char* wineDiffers;
    } cases[] = {
        // ".*" at the end also takes a name without a dot.
        {"name*.*", {"name", "name.txt", "names.dat"}, nullptr},
        {"name.*", {"name", "name.txt"}, nullptr},
        {"*.txt", {"name.txt", "other.txt"}, nullptr},
        {"?ame.txt", {"name.txt"}, nullptr},
        {"NAME.TXT", {"name.txt"}, nullptr},
        {"*.c", {"a.b.c"}, nullptr},
        {"a.*", {"a.b.c"}, nullptr},
        {"s?b", {"sub"}, nullptr},
        // A '?' also matches nothing at the end or before a dot.
        {"name?", {"name"}, questionMark},
        {"name?.txt", {"name.txt"}, questionMark},
        {"o????.txt???", {"other.txt"}, questionMark},
        // A dot at the end takes the names without a dot.
        {"*.", {".", "..", "name", "sub"}, "Wine drops the dot at the end of a pattern"},
    };
    for (const auto& c : cases) {
        Names found = Find(std::string("F:\\conf\\find\\") + c.pattern);
        check::Todo todo(check::Platform::Wine, c.wineDiffers);
        ok(found == c.names, "%s finds %s, not %s\n", c.pattern, Join(found).c_str(),
           Join(c.names).c_str());
    }

    DWORD error;
    Find("F:\\conf\\find\\nothing*.x", error);
    ok(error == ERROR_FILE_NOT_FOUND, "a pattern that finds nothing: error %lu\n", U(error));
    Find("F:\\conf\\nofolder\\*.*", error);
    ok(error == ERROR_PATH_NOT_FOUND, "a pattern in a missing folder: error %lu\n", U(error));
    Find("F:\\conf\\find\\", error);
    ok(error == ERROR_FILE_NOT_FOUND, "a folder with a closing separator: error %lu\n", U(error));

    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("F:\\conf\\find\\sub", &found);
    ok(find != INVALID_HANDLE_VALUE && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
       "no folder found by its name\n");
    if (find != INVALID_HANDLE_VALUE) {
        SetLastError(0);
        ok(!FindNextFileA(find, &found) && GetLastError() == ERROR_NO_MORE_FILES,
           "the end of a listing: error %lu\n", LastError());
        ok(FindClose(find), "FindClose failed\n");
    }

    // A drive's root lists no . and ..; a disc's label is no file.
    Names root = Find("D:\\*");
    todo_wine("Wine lists the file that holds the label of a CD-ROM drive backed by a folder") {
        ok(root == Names{"conf"}, "the disc's root: %s\n", Join(root).c_str());
    }
    found = {};
    find = FindFirstFileA("D:\\conf\\readme.txt", &found);
    ok(find != INVALID_HANDLE_VALUE && found.nFileSizeLow == sizeof DiscReadme - 1 &&
           (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0,
       "the disc's readme found: size %lu, attributes %#lx\n", U(found.nFileSizeLow),
       U(found.dwFileAttributes));
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

// ---- the shell's delete -----------------------------------------------------------------------

void MakeTree(const std::string& folder) {
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteWhole(folder + "\\one.txt", "1");
    WriteWhole(folder + "\\two", "2");
    CreateDirectoryA((folder + "\\sub").c_str(), nullptr);
    CreateDirectoryA((folder + "\\sub\\deeper").c_str(), nullptr);
    WriteWhole(folder + "\\sub\\deeper\\three.dat", "3");
    WriteWhole(folder + "\\hidden.txt", "h");
    SetFileAttributesA((folder + "\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
}

void TestDelete() {
    ok(CreateDirectoryA("F:\\conf\\del", nullptr), "CreateDirectoryA del failed\n");

    // *.* empties a folder, hidden files and folders with their content too.
    MakeTree("F:\\conf\\del\\all");
    ok(ShellDelete("F:\\conf\\del\\all\\*.*") == 0, "deleting *.* failed\n");
    ok(IsFolder("F:\\conf\\del\\all"), "the folder itself went\n");
    ok(Find("F:\\conf\\del\\all\\*") == (Names{".", ".."}), "left after *.*: %s\n",
       Join(Find("F:\\conf\\del\\all\\*")).c_str());

    // Read-only files go too.
    CreateDirectoryA("F:\\conf\\del\\locked", nullptr);
    WriteWhole("F:\\conf\\del\\locked\\locked.txt", "r");
    SetFileAttributesA("F:\\conf\\del\\locked\\locked.txt", FILE_ATTRIBUTE_READONLY);
    int result = ShellDelete("F:\\conf\\del\\locked\\*.*");
    todo_wine("Wine's shell does not delete a read-only file") {
        ok(result == 0 && !Exists("F:\\conf\\del\\locked\\locked.txt"),
           "deleting a read-only file: %d\n", result);
    }

    // Only files with FOF_FILESONLY.
    MakeTree("F:\\conf\\del\\files");
    ok(ShellDelete("F:\\conf\\del\\files\\*.*", FOF_FILESONLY) == 0,
       "deleting files only failed\n");
    ok(Find("F:\\conf\\del\\files\\*") == (Names{".", "..", "sub"}), "left of files only: %s\n",
       Join(Find("F:\\conf\\del\\files\\*")).c_str());

    // A folder named whole goes with everything in it; two entries in one list.
    MakeTree("F:\\conf\\del\\named");
    MakeTree("F:\\conf\\del\\second");
    ok(ShellDelete(std::string("F:\\conf\\del\\named") + '\0' + "F:\\conf\\del\\second\\one.txt") ==
           0,
       "deleting a folder and a file failed\n");
    ok(!Exists("F:\\conf\\del\\named"), "the named folder stayed\n");
    ok(!Exists("F:\\conf\\del\\second\\one.txt") && Exists("F:\\conf\\del\\second\\two"),
       "not only the named file went\n");

    // A name that is not there fails, and nothing goes.
    ok(ShellDelete("F:\\conf\\del\\second\\none.txt") != 0, "deleting a missing file succeeded\n");
    ok(Exists("F:\\conf\\del\\second\\two"), "a missing file's neighbour went\n");

    // Patterns that match nothing change nothing: in an empty folder, in a missing one.
    CreateDirectoryA("F:\\conf\\del\\empty", nullptr);
    ShellDelete("F:\\conf\\del\\empty\\*.*");
    ok(IsFolder("F:\\conf\\del\\empty"), "an empty folder's *.* took the folder\n");
    ShellDelete("F:\\conf\\del\\missing\\*.*");
    ok(Find("F:\\conf\\del\\*") == (Names{".", "..", "all", "empty", "files", "locked", "second"}),
       "left in del: %s\n", Join(Find("F:\\conf\\del\\*")).c_str());

    // Nothing on a disc goes.
    ok(ShellDelete("D:\\conf\\*.*") != 0, "deleting on a disc succeeded\n");
    ok(ReadWhole("D:\\conf\\readme.txt") == DiscReadme, "a disc file went\n");
    ok(Exists("D:\\conf\\sub\\inner.dat"), "a disc file below went\n");
}

// The last check with files: a pattern in a drive's root takes everything there.
void TestDeleteInRoot() {
    MakeTree("F:\\rooted");
    WriteWhole("F:\\loose.txt", "l");
    ok(ShellDelete("F:\\*.*") == 0, "deleting F:\\*.* failed\n");
    Names left = Find("F:\\*");
    ok(left.empty(), "left in F:\\: %s\n", Join(left).c_str());
}

// ---- removing one file or folder ---------------------------------------------------------------

// ---- the process heap -------------------------------------------------------------------------

void TestHeap() {
    HANDLE heap = GetProcessHeap();
    ok(heap != nullptr, "no process heap\n");
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 16));
    ok(block != nullptr && std::count(block, block + 16, 0) == 16, "a zeroed block isn't\n");
    if (block == nullptr)
        return;
    std::memcpy(block, "0123456789abcdef", 16);
    // A grown block keeps what it held; with HEAP_ZERO_MEMORY, the rest is zero.
    auto* grown = static_cast<unsigned char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 65536));
    ok(grown != nullptr && std::memcmp(grown, "0123456789abcdef", 16) == 0 &&
           std::count(grown + 16, grown + 65536, 0) == 65536 - 16,
       "a grown block lost its bytes or holds garbage\n");
    ok(HeapFree(heap, 0, grown != nullptr ? grown : block), "HeapFree failed\n");
}

// ---- drives -----------------------------------------------------------------------------------

// SetErrorMode gives back the mode it replaces: how a program puts the previous one back after a
// probe of a drive. The rest of the test keeps SEM_FAILCRITICALERRORS, as the installer's probes
// do: without it the system asks for a disk in a box of its own when a call reads an empty drive.
void TestErrorMode() {
    UINT initial = SetErrorMode(SEM_FAILCRITICALERRORS);
    UINT both = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    UINT previous = SetErrorMode(both);
    ok(previous == SEM_FAILCRITICALERRORS, "the mode set before: %#x\n", previous);
    previous = SetErrorMode(initial);
    ok(previous == both, "the mode set before: %#x\n", previous);
    previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    ok(previous == initial, "the first mode: %#x, back: %#x\n", initial, previous);
}

void TestDrives() {
    ok(GetDriveTypeA("C:\\") == DRIVE_FIXED, "C: is of type %u\n", GetDriveTypeA("C:\\"));
    ok(GetDriveTypeA("d:\\") == DRIVE_CDROM, "D: is of type %u\n", GetDriveTypeA("d:\\"));
    ok(GetDriveTypeA("E:\\") == DRIVE_CDROM, "E: is of type %u\n", GetDriveTypeA("E:\\"));
    ok(GetDriveTypeA("F:\\") == DRIVE_FIXED, "F: is of type %u\n", GetDriveTypeA("F:\\"));
    ok(GetDriveTypeA(NoDrive) == DRIVE_NO_ROOT_DIR, "%s is of type %u\n", NoDrive,
       GetDriveTypeA(NoDrive));

    char label[64] = "x";
    char system[64] = "";
    DWORD serial = 0, longest = 0, flags = 0;
    BOOL got = GetVolumeInformationA("D:\\", label, sizeof label, &serial, &longest, &flags, system,
                                     sizeof system);
    ok(got && std::strcmp(label, DiscLabel) == 0, "the disc's label: %s (error %lu)\n", label,
       got ? 0 : LastError());
    std::memset(label, 'x', sizeof label);
    SetLastError(0);
    got = GetVolumeInformationA("E:\\", label, sizeof label, &serial, &longest, &flags, system,
                                sizeof system);
    todo_wine("Wine reads an empty CD-ROM drive as one with an empty label") {
        ok(!got && GetLastError() == ERROR_NOT_READY,
           "the label of an empty drive: %d, error %lu\n", got, LastError());
    }
    got = GetVolumeInformationA("F:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0);
    ok(got, "no label of the fixed drive: error %lu\n", LastError());
    // A label that does not fit is not cut.
    SetLastError(0);
    got = GetVolumeInformationA("D:\\", label, sizeof DiscLabel - 1, nullptr, nullptr, nullptr,
                                nullptr, 0);
    ok(!got && GetLastError() == ERROR_BAD_LENGTH, "a label into a short buffer: error %lu\n",
       LastError());
}

void TestFreeSpace() {
    ULARGE_INTEGER available, total, free;
    ok(GetDiskFreeSpaceExA("F:\\", &available, &total, &free), "free space on F:: error %lu\n",
       LastError());
    ok(total.QuadPart > 0 && free.QuadPart <= total.QuadPart && available.QuadPart <= free.QuadPart,
       "F: has %llu of %llu free, %llu for the caller\n", U64(free.QuadPart), U64(total.QuadPart),
       U64(available.QuadPart));
    ok(GetDiskFreeSpaceExA("F:\\conf\\", &available, &total, &free), "no free space at a folder\n");
    ok(!GetDiskFreeSpaceExA("F:\\missing\\", &available, &total, &free),
       "free space at a missing folder\n");

    ok(GetDiskFreeSpaceExA("D:\\", &available, &total, &free),
       "free space on the disc: error %lu\n", LastError());
    todo_wine("a CD-ROM drive backed by a host folder reports the host's free space") {
        ok(free.QuadPart == 0 && available.QuadPart == 0, "a disc with %llu bytes free\n",
           U64(free.QuadPart));
    }
    ok(total.QuadPart >= sizeof DiscReadme - 1 + DiscInnerBytes, "a disc of %llu bytes\n",
       U64(total.QuadPart));

    SetLastError(0);
    BOOL got = GetDiskFreeSpaceExA("E:\\", &available, &total, &free);
    DWORD error = GetLastError();
    ok(!got, "free space on an empty drive\n");
    todo_wine("Wine finds no root folder in an empty CD-ROM drive") {
        ok(error == ERROR_NOT_READY, "free space on an empty drive: error %lu\n", U(error));
    }
    ok(!GetDiskFreeSpaceExA(NoDrive, &available, &total, &free),
       "free space on a drive that is not there\n");
}

// The older count, in clusters, which is all the first release of Windows 95 has: its free
// clusters are the bytes the caller may use. Other programs may write to the disk behind F:
// between the calls, so the count must lie between a newer count before it and one after it.
void TestFreeClusters() {
    ULARGE_INTEGER before, after, total, free;
    DWORD sectors = 0, sectorBytes = 0, freeClusters = 0, clusters = 0;
    ok(GetDiskFreeSpaceExA("F:\\", &before, &total, &free), "free space on F:: error %lu\n",
       LastError());
    BOOL got = GetDiskFreeSpaceA("F:\\", &sectors, &sectorBytes, &freeClusters, &clusters);
    ok(got, "free clusters on F:: error %lu\n", LastError());
    ok(GetDiskFreeSpaceExA("F:\\", &after, &total, &free), "free space on F:: error %lu\n",
       LastError());
    ULONGLONG cluster = (ULONGLONG)sectors * sectorBytes;
    ok(got && cluster >= 512 && (cluster & (cluster - 1)) == 0,
       "clusters of %lu sectors of %lu bytes\n", U(sectors), U(sectorBytes));
    if (cluster == 0)
        return;
    ULONGLONG low = std::min(before.QuadPart, after.QuadPart) / cluster * cluster;
    ULONGLONG high = std::max(before.QuadPart, after.QuadPart) / cluster * cluster;
    ULONGLONG counted = cluster * freeClusters;
    ok(low <= counted && counted <= high, "%lu free clusters of %llu bytes: %llu bytes, not %llu\n",
       U(freeClusters), U64(cluster), U64(counted), U64(low));
    ok(freeClusters <= clusters && cluster * clusters <= total.QuadPart,
       "%lu of %lu clusters free, %llu bytes in all\n", U(freeClusters), U(clusters),
       U64(total.QuadPart));

    ok(!GetDiskFreeSpaceA(NoDrive, &sectors, &sectorBytes, &freeClusters, &clusters),
       "free clusters on a drive that is not there\n");
}

// ---- windows from other threads ---------------------------------------------------------------

const char OwnerClass[] = "ConformanceOwner";
const char OwnerTitle[] = "conformance owner";

struct DialogRun {
    std::atomic<HWND> dialog{nullptr};
    DWORD mainThread = 0;
    DWORD workerThread = 0;
    std::atomic<int> timerTicks{0};
    std::atomic<int> minimalClicks{0};
};
DialogRun run;

// Waits up to ten seconds for a visible top-level window of class #32770 with this title.
HWND WaitForBox(const char* title) {
    for (int i = 0; i < 1000; ++i) {
        HWND box = FindWindowA("#32770", title);
        if (box != nullptr && IsWindowVisible(box))
            return box;
        Sleep(10);
    }
    return nullptr;
}

std::string TextOf(HWND window, int id) {
    char text[256] = "";
    GetDlgItemTextA(window, id, text, sizeof text);
    return text;
}

// The user: answers each box the worker puts up, after a look at it and its owner.
DWORD WINAPI User(LPVOID) {
    HWND box = WaitForBox("conf box 1");
    ok(box != nullptr, "no box 1 came up\n");
    if (box == nullptr)
        return 1;
    char className[32] = "";
    GetClassNameA(box, className, sizeof className);
    ok(std::strcmp(className, "#32770") == 0, "a box's class: %s\n", className);
    ok(GetWindow(box, GW_OWNER) == run.dialog, "box 1 is not owned by the dialog\n");
    ok(!IsWindowEnabled(run.dialog), "the dialog is enabled under its box\n");
    ok(TextOf(box, 0xFFFF) == "text 1", "box 1's text: %s\n", TextOf(box, 0xFFFF).c_str());
    ok(GetDlgItem(box, IDOK) != nullptr && GetDlgItem(box, IDNO) == nullptr,
       "an OK box's buttons are not OK alone\n");
    PostMessageA(box, WM_COMMAND, IDOK, 0);

    box = WaitForBox("conf box 2");
    ok(box != nullptr, "no box 2 came up\n");
    if (box == nullptr)
        return 1;
    ok(GetWindow(box, GW_OWNER) == run.dialog, "box 2 is not owned by the hidden dialog\n");
    ok(!IsWindowVisible(run.dialog), "the dialog is visible under box 2\n");
    ok(!IsWindowEnabled(run.dialog), "the hidden dialog is enabled under its box\n");
    ok(GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDNO) != nullptr &&
           GetDlgItem(box, IDOK) == nullptr,
       "a Yes/No box's buttons are not Yes and No\n");
    PostMessageA(box, WM_COMMAND, IDNO, 0);

    box = WaitForBox("conf box 3");
    ok(box != nullptr, "no box 3 came up\n");
    if (box == nullptr)
        return 1;
    ok(GetWindow(box, GW_OWNER) == nullptr, "box 3 has an owner\n");
    ok(IsWindowEnabled(run.dialog), "a box without owner disabled the dialog\n");
    PostMessageA(box, WM_COMMAND, IDOK, 0);

    // The owner window: its box is on the main thread, after the dialog.
    box = WaitForBox("conf box 4");
    ok(box != nullptr, "no box 4 came up\n");
    if (box == nullptr)
        return 1;
    HWND owner = FindWindowA(OwnerClass, OwnerTitle);
    ok(owner != nullptr && GetWindow(box, GW_OWNER) == owner,
       "box 4 is not owned by the owner window\n");
    ok(!IsWindowEnabled(owner), "the hidden owner is enabled under its box\n");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

BOOL CALLBACK NoteWindow(HWND window, LPARAM found) {
    if (window == run.dialog)
        *(bool*)found = true;
    return TRUE;
}

// The worker's request that the dialog end, with the result in wParam.
const UINT EndRequest = WM_APP + 1;

// The worker: uses the dialog from its own thread, as the installer's copy worker does.
DWORD WINAPI Worker(LPVOID) {
    // The dialog manager shows the dialog once it has been set up.
    for (int i = 0; i < 1000 && !IsWindowVisible(run.dialog); ++i)
        Sleep(10);
    ok(IsWindowVisible(run.dialog), "the dialog was never shown\n");

    ok(SetDlgItemTextA(run.dialog, IDC_PATH, "F:\\elsewhere"), "SetDlgItemTextA failed\n");
    ok(TextOf(run.dialog, IDC_PATH) == "F:\\elsewhere", "the field reads %s\n",
       TextOf(run.dialog, IDC_PATH).c_str());

    // A click posted to a radio button checks it and unchecks the other.
    PostMessageA(GetDlgItem(run.dialog, IDC_MINIMAL), BM_CLICK, 0, 0);
    for (int i = 0; i < 1000 && run.minimalClicks == 0; ++i)
        Sleep(10);
    ok(run.minimalClicks == 1, "the click reached the dialog %d times\n", run.minimalClicks.load());
    ok(SendDlgItemMessageA(run.dialog, IDC_MINIMAL, BM_GETCHECK, 0, 0) == BST_CHECKED &&
           SendDlgItemMessageA(run.dialog, IDC_NORMAL, BM_GETCHECK, 0, 0) == BST_UNCHECKED,
       "the clicked radio button is not the checked one\n");

    ok(MessageBoxA(run.dialog, "text 1", "conf box 1", MB_OK) == IDOK,
       "box 1 gave another answer\n");
    ok(IsWindowEnabled(run.dialog), "the dialog is disabled after its box\n");

    ShowWindow(run.dialog, SW_HIDE);
    ok(!IsWindowVisible(run.dialog), "the hidden dialog is visible\n");
    ok(MessageBoxA(run.dialog, "text 2", "conf box 2", MB_YESNO) == IDNO,
       "box 2 gave another answer\n");
    ok(IsWindowEnabled(run.dialog), "the hidden dialog is disabled after its box\n");
    ShowWindow(run.dialog, SW_RESTORE);
    ok(IsWindowVisible(run.dialog), "the dialog is hidden after SW_RESTORE\n");

    ok(MessageBoxA(nullptr, "text 3", "conf box 3", MB_OK) == IDOK, "box 3 gave another answer\n");

    bool found = false;
    EnumThreadWindows(run.mainThread, NoteWindow, (LPARAM)&found);
    ok(found, "the dialog is not among the main thread's windows\n");
    found = false;
    EnumThreadWindows(GetCurrentThreadId(), NoteWindow, (LPARAM)&found);
    ok(!found, "the dialog is among the worker's windows\n");

    for (int i = 0; i < 1000 && run.timerTicks == 0; ++i)
        Sleep(10);
    ok(run.timerTicks > 0, "no timer ticks reached the dialog\n");
    // Only the dialog's procedure ends it: the worker asks with a message of its own.
    ok(PostMessageA(run.dialog, EndRequest, 42, 0), "the end request was not posted\n");
    return 0;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        run.dialog = dialog;
        SendDlgItemMessageA(dialog, IDC_NORMAL, BM_SETCHECK, BST_CHECKED, 0);
        SetTimer(dialog, 7, 20, nullptr);
        CloseHandle(CreateThread(nullptr, 0, Worker, nullptr, 0, &run.workerThread));
        return FALSE;
    case WM_TIMER:
        if (wParam == 7 && run.timerTicks.exchange(1) == 0)
            KillTimer(dialog, 7);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_MINIMAL)
            run.minimalClicks++;
        return FALSE;
    case EndRequest:
        ok(GetCurrentThreadId() == run.mainThread, "the end request came on another thread\n");
        ok(EndDialog(dialog, (INT_PTR)wParam), "EndDialog failed\n");
        return TRUE;
    }
    return FALSE;
}

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

// What the installer's threads may still call on a dialog that has ended: the calls fail and name
// the window handle as the fault.
void TestEndedDialog(HWND dialog) {
    auto failsOnTheHandle = [](bool failed, const char* call) {
        DWORD error = GetLastError();
        ok(failed && error == ERROR_INVALID_WINDOW_HANDLE, "%s on an ended dialog: error %lu\n",
           call, error);
    };
    SetLastError(0);
    failsOnTheHandle(!ShowWindow(dialog, SW_HIDE), "ShowWindow");
    SetLastError(0);
    failsOnTheHandle(!EnableWindow(dialog, FALSE), "EnableWindow");
    RECT area;
    SetLastError(0);
    failsOnTheHandle(!GetClientRect(dialog, &area), "GetClientRect");
    SetLastError(0);
    failsOnTheHandle(!EndDialog(dialog, 1), "EndDialog");
}

// Two ends of one dialog before its loop has returned: the last result is the dialog's.
INT_PTR CALLBACK EndTwiceProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        PostMessageA(dialog, WM_USER + 1, 0, 0);
        return FALSE;
    }
    if (message != WM_USER + 1)
        return FALSE;
    ok(EndDialog(dialog, 1), "the first EndDialog failed\n");
    ok(IsWindow(dialog) && !IsWindowVisible(dialog), "an ended dialog is gone or visible\n");
    ok(EndDialog(dialog, 2), "the second EndDialog failed\n");
    return TRUE;
}

void TestWindows(HINSTANCE instance) {
    WNDCLASSEXA ownerClass = {};
    ownerClass.cbSize = sizeof ownerClass;
    ownerClass.lpfnWndProc = OwnerProc;
    ownerClass.hInstance = instance;
    ownerClass.lpszClassName = OwnerClass;
    ok(RegisterClassExA(&ownerClass) != 0, "RegisterClassExA failed\n");
    HWND owner = CreateWindowExA(0, OwnerClass, OwnerTitle, WS_SYSMENU, 0, 0, 100, 100, nullptr,
                                 nullptr, instance, nullptr);
    ok(owner != nullptr, "CreateWindowExA: error %lu\n", LastError());
    ok(FindWindowA(OwnerClass, OwnerTitle) == owner,
       "the owner is not found by its class and title\n");
    ok(FindWindowA(OwnerClass, "another title") == nullptr,
       "the owner is found by another title\n");
    ok(!IsWindowVisible(owner), "the owner is visible\n");

    run.mainThread = GetCurrentThreadId();
    DWORD userId;
    HANDLE user = CreateThread(nullptr, 0, User, nullptr, 0, &userId);
    INT_PTR result = DialogBoxParamA(instance, "IDD_SETUP", owner, DialogProc, 0);
    ok(result == 42, "the dialog ended with %ld\n", (long)result);
    ok(!IsWindow(run.dialog), "the dialog is still there\n");
    ok(IsWindowEnabled(owner), "the dialog's owner stayed disabled\n");
    TestEndedDialog(run.dialog);

    result = DialogBoxParamA(instance, "IDD_SETUP", owner, EndTwiceProc, 0);
    ok(result == 2, "a dialog ended with 1, then 2, returned %ld\n", (long)result);

    ok(MessageBoxA(owner, "text 4", "conf box 4", MB_OK) == IDOK, "box 4 gave another answer\n");
    ok(IsWindowEnabled(owner), "the owner stayed disabled after its box\n");
    ok(WaitForSingleObject(user, 10000) == WAIT_OBJECT_0, "the user did not finish\n");
    CloseHandle(user);
}

// ---- registry and shell links -----------------------------------------------------------------

void TestRegistry() {
    const char key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    HKEY folders = nullptr;
    LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &folders);
    ok(result == ERROR_SUCCESS, "opening Shell Folders: %ld\n", (long)result);
    if (result != ERROR_SUCCESS)
        return;

    DWORD type = 0, size = 0;
    result = RegQueryValueExA(folders, "Desktop", nullptr, &type, nullptr, &size);
    ok(result == ERROR_SUCCESS && type == REG_SZ && size > 3, "Desktop: %ld, type %lu, %lu bytes\n",
       (long)result, U(type), U(size));
    std::vector<char> value(size + 10, 'x');
    DWORD small = 2;
    result = RegQueryValueExA(folders, "desktop", nullptr, &type, (LPBYTE)value.data(), &small);
    ok(result == ERROR_MORE_DATA && small == size, "into 2 bytes: %ld, %lu bytes needed\n",
       (long)result, U(small));
    DWORD whole = (DWORD)value.size();
    result = RegQueryValueExA(folders, "Desktop", nullptr, &type, (LPBYTE)value.data(), &whole);
    ok(result == ERROR_SUCCESS && whole == size && value[size - 1] == '\0' &&
           std::strlen(value.data()) == size - 1,
       "Desktop read: %ld, %lu bytes\n", (long)result, U(whole));
    ok(value[1] == ':' && value[2] == '\\', "Desktop is %s\n", value.data());

    result = RegQueryValueExA(folders, "No Such Folder", nullptr, &type, nullptr, &size);
    ok(result == ERROR_FILE_NOT_FOUND, "a missing value: %ld\n", (long)result);
    ok(RegCloseKey(folders) == ERROR_SUCCESS, "RegCloseKey failed\n");

    HKEY missing;
    result = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\No Such Key Here", 0, KEY_READ, &missing);
    ok(result == ERROR_FILE_NOT_FOUND, "opening a missing key: %ld\n", (long)result);
}

// Keys made, opened in other letters, written and deleted, as an installer keeps a record: a
// handle does what its access allows, a key with subkeys stays, a deleted key's handles are
// stale.
void TestRegistryKeys() {
    HKEY made = nullptr, reading = nullptr;
    DWORD disposition = 0;
    LONG result =
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\kelvo-conformance\\Sub", 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &made, &disposition);
    ok(result == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY,
       "RegCreateKeyExA: %ld, disposition %lu\n", (long)result, U(disposition));
    if (result != ERROR_SUCCESS)
        return;
    DWORD identity = 0x12345678;
    ok(RegSetValueExA(made, "Identity", 0, REG_DWORD, (const BYTE*)&identity, 4) == ERROR_SUCCESS &&
           RegSetValueExA(made, "Journal", 0, REG_SZ, (const BYTE*)"C:\\j.jnl", 9) == ERROR_SUCCESS,
       "RegSetValueExA failed\n");
    ok(RegFlushKey(made) == ERROR_SUCCESS, "RegFlushKey failed\n");
    result = RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\KELVO-CONFORMANCE\\sub", 0, nullptr, 0,
                             KEY_READ, nullptr, &reading, &disposition);
    ok(result == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY,
       "RegCreateKeyExA of the key in other letters: %ld, disposition %lu\n", (long)result,
       U(disposition));
    DWORD value = 0, type = 0, size = sizeof value;
    result = RegQueryValueExA(reading, "IDENTITY", nullptr, &type, (LPBYTE)&value, &size);
    ok(result == ERROR_SUCCESS && type == REG_DWORD && size == 4 && value == identity,
       "Identity: %ld, type %lu, %lu bytes\n", (long)result, U(type), U(size));
    char text[32] = "";
    size = sizeof text;
    result = RegQueryValueExA(reading, "journal", nullptr, &type, (LPBYTE)text, &size);
    ok(result == ERROR_SUCCESS && type == REG_SZ && size == 9 &&
           std::strcmp(text, "C:\\j.jnl") == 0,
       "Journal: %ld, type %lu, %lu bytes\n", (long)result, U(type), U(size));
    ok(RegSetValueExA(reading, "Other", 0, REG_DWORD, (const BYTE*)&identity, 4) ==
               ERROR_ACCESS_DENIED &&
           RegDeleteValueA(reading, "Journal") == ERROR_ACCESS_DENIED,
       "a handle opened to read wrote\n");
    HKEY bad = nullptr;
    result = RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &bad);
    ok(result == ERROR_BAD_PATHNAME, "a key path with a leading backslash: %ld\n", (long)result);
    result = RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\kelvo-conformance");
    ok(result == ERROR_ACCESS_DENIED, "deleting a key with a subkey: %ld\n", (long)result);
    ok(RegDeleteValueA(made, "Journal") == ERROR_SUCCESS &&
           RegDeleteValueA(made, "Journal") == ERROR_FILE_NOT_FOUND,
       "RegDeleteValueA twice\n");
    ok(RegDeleteKeyA(made, "") == ERROR_SUCCESS, "deleting the key itself failed\n");
    size = sizeof value;
    result = RegQueryValueExA(reading, "Identity", nullptr, &type, (LPBYTE)&value, &size);
    ok(result == ERROR_KEY_DELETED, "a deleted key's handle: %ld\n", (long)result);
    RegCloseKey(reading);
    RegCloseKey(made);
    ok(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\kelvo-conformance") == ERROR_SUCCESS,
       "deleting the emptied key failed\n");
    result = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\kelvo-conformance", 0, KEY_READ, &bad);
    ok(result == ERROR_FILE_NOT_FOUND, "the deleted key opened: %ld\n", (long)result);

    DWORD version = GetVersion();
    ok((version & 0x80000000u) == 0 && (version & 0xFF) >= 5,
       "GetVersion: %#lx, not a Windows of the NT line\n", U(version));
}

// A path as the link object takes it (WCHAR is no wchar_t over winsim).
std::vector<WCHAR> Wide(const char* path) {
    std::vector<WCHAR> wide(MAX_PATH);
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), MAX_PATH);
    return wide;
}

void TestShellLinks() {
    ok(CreateDirectoryA("F:\\conf\\links", nullptr), "CreateDirectoryA links failed\n");
    ok(WriteWhole("F:\\conf\\links\\game.exe", "MZ"), "writing game.exe\n");
    ok(SUCCEEDED(CoInitialize(nullptr)), "CoInitialize failed\n");
    IShellLinkA* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkA, (void**)&link);
    ok(result == S_OK && link != nullptr, "CoCreateInstance: %#lx\n", (unsigned long)result);
    if (link == nullptr)
        return;
    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_IPersistFile, (void**)&file);
    ok(result == S_OK && file != nullptr, "IPersistFile: %#lx\n", (unsigned long)result);
    ok(link->SetPath("F:\\conf\\links\\game.exe") == S_OK, "SetPath failed\n");
    ok(link->SetDescription("conformance game") == S_OK, "SetDescription failed\n");
    ok(link->SetIconLocation(nullptr, 0) == S_OK, "SetIconLocation without a path failed\n");
    ok(link->SetWorkingDirectory("F:\\conf\\links") == S_OK, "SetWorkingDirectory failed\n");
    if (file != nullptr) {
        result = file->Save(Wide("F:\\conf\\links\\game.lnk").data(), TRUE);
        ok(result == S_OK, "Save: %#lx\n", (unsigned long)result);
        result = file->Save(Wide("F:\\conf\\links\\none\\game.lnk").data(), TRUE);
        ok(FAILED(result), "Save into a missing folder: %#lx\n", (unsigned long)result);
        file->Release();
    }
    link->Release();
    CoUninitialize();

    // The published format: a 76-byte header with the shell link class id, and the description
    // in the file.
    std::string saved = ReadWhole("F:\\conf\\links\\game.lnk");
    static const unsigned char header[] = {0x4C, 0, 0,    0, 0x01, 0x14, 0x02, 0, 0, 0,
                                           0,    0, 0xC0, 0, 0,    0,    0,    0, 0, 0x46};
    ok(saved.size() > 76 && std::memcmp(saved.data(), header, sizeof header) == 0,
       "a link file of %u bytes with its header\n", (unsigned)saved.size());
    ok(saved.find("conformance game") != std::string::npos ||
           saved.find(std::string("c\0o\0n\0f", 7)) != std::string::npos,
       "the description is not in the link\n");
    ok(!Exists("F:\\conf\\links\\none"), "a failed save made a folder\n");
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    TestErrorMode();
    TestFolders();
    TestFolderLength();
    TestTrimmedNames();
    TestDotNames();
    TestLiteralPaths();
    TestLetterCase();
    TestReservedNames();
    TestAttributes();
    TestFileHandles();
    TestSharing();
    TestRemoval();
    TestMoveAndFlush();
    TestFilePointer();
    TestLinkHandles();
    TestDirectoryLinks();
    TestFolderHandles();
    TestHardLinks();
    TestSecurity();
    TestFileSystem();
    TestMitigationPolicy();
    TestMutexes();
    TestFileTimes();
    TestPatterns();
    TestDelete();
    TestHeap();
    TestDrives();
    TestFreeSpace();
    TestFreeClusters();
    TestWindows(instance);
    TestRegistry();
    TestRegistryKeys();
    TestShellLinks();
    TestDeleteInRoot();
    return check::Summary("conformance");
}
