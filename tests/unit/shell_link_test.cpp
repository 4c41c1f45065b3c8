// winsim's shell link object: COM initialization, the object's interfaces and reference
// counts, and the .lnk files it saves, read back byte by byte and by lnkinfo.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include <shlobj.h>
#include <windows.h>

#include "lnkinfo.h"
#include "test_machine.h"

namespace fs = std::filesystem;
using scenario::LnkinfoField;
using testing_support::TestMachine;

namespace {

const IID IID_IUnknownForTest = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_Other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

std::string Big5(const char* utf8) {
    return winsim::Utf8ToCp950(utf8);
}

std::u16string Wide(const std::string& cp950) {
    WCHAR buffer[1024];
    int length = MultiByteToWideChar(CP_ACP, 0, cp950.c_str(), -1, buffer, 1024);
    return std::u16string((const char16_t*)buffer, length > 0 ? length - 1 : 0);
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t U32At(const std::string& bytes, size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | (unsigned char)bytes.at(at + i);
    return value;
}

// Runs body on a thread of its own, so COM starts uninitialized there.
template <typename Body> void OnNewThread(Body body) {
    std::thread thread(body);
    thread.join();
}

// A shell link object and its IPersistFile, made on the calling thread.
struct Link {
    Link() {
        CoInitialize(nullptr);
        EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   (LPVOID*)&shell),
                  S_OK);
        EXPECT_EQ(shell->QueryInterface(IID_IPersistFile, (void**)&file), S_OK);
    }
    ~Link() {
        file->Release();
        shell->Release();
    }
    HRESULT Save(const std::string& cp950Path) {
        std::u16string wide = Wide(cp950Path);
        return file->Save((LPCWSTR)wide.c_str(), TRUE);
    }
    IShellLinkA* shell = nullptr;
    IPersistFile* file = nullptr;
};

class ShellLinkObject : public ::testing::Test {
  protected:
    void SetUp() override {
        c = fs::path(sim.AddFixed('c').hostFolder);
        fs::create_directories(c / "Program Files/tornwell/kelvo");
        fs::create_directories(c / "links");
        TestMachine::WriteFile(c / "Program Files/tornwell/kelvo/kelvo.exe", "MZ 1234567");
    }
    TestMachine sim;
    fs::path c;
};

TEST(ComInitialization, CountsPerThread) {
    OnNewThread([] {
        LPVOID object = &object;
        EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   &object),
                  (HRESULT)0x800401F0)
            << "CO_E_NOTINITIALIZED before CoInitialize";
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        OnNewThread([] { EXPECT_EQ(CoInitialize(nullptr), S_OK) << "another thread"; });
        CoUninitialize();
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "one call still in force";
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitialize(nullptr), S_OK) << "all undone";
        CoUninitialize();
    });
}

TEST_F(ShellLinkObject, HandsOutItsInterfacesWithCountedReferences) {
    CoInitialize(nullptr);
    LPVOID object = &object;
    EXPECT_EQ(CoCreateInstance(IID_Other, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_Other, &object),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);

    IPersistFile* file = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile,
                               (LPVOID*)&file),
              S_OK);
    IShellLinkA* shell = nullptr;
    IUnknown* unknown1 = nullptr;
    IUnknown* unknown2 = nullptr;
    ASSERT_EQ(file->QueryInterface(IID_IShellLinkA, (void**)&shell), S_OK);
    ASSERT_EQ(file->QueryInterface(IID_IUnknownForTest, (void**)&unknown1), S_OK);
    ASSERT_EQ(shell->QueryInterface(IID_IUnknownForTest, (void**)&unknown2), S_OK);
    EXPECT_EQ(unknown1, unknown2) << "one identity whichever interface is asked";
    EXPECT_EQ(shell->QueryInterface(IID_Other, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    CLSID clsid{};
    EXPECT_EQ(file->GetClassID(&clsid), S_OK);
    EXPECT_EQ(std::memcmp(&clsid, &CLSID_ShellLink, sizeof(clsid)), 0);

    // Four references now: file, shell and the two IUnknowns.
    EXPECT_EQ(shell->AddRef(), 5u);
    EXPECT_EQ(unknown1->Release(), 4u);
    EXPECT_EQ(unknown2->Release(), 3u);
    EXPECT_EQ(shell->Release(), 2u);
    EXPECT_EQ(shell->Release(), 1u);
    // The object stays usable through the last reference.
    EXPECT_EQ(file->IsDirty(), S_FALSE);
    EXPECT_EQ(file->Release(), 0u);
}

TEST_F(ShellLinkObject, SavesALinkThatLnkinfoReadsBack) {
    if (!scenario::HaveLnkinfo())
        GTEST_SKIP() << "lnkinfo (liblnk-utils) is not installed";
    std::string target = Big5("C:\\Program Files\\tornwell\\kelvo\\kelvo.exe");
    {
        Link link;
        EXPECT_EQ(link.shell->SetPath(target.c_str()), S_OK);
        EXPECT_EQ(link.shell->SetDescription(Big5("雲嶺奇譚續錄~星月影").c_str()), S_OK);
        EXPECT_EQ(link.shell->SetWorkingDirectory("C:\\Program Files\\tornwell\\kelvo"), S_OK);
        EXPECT_EQ(link.shell->SetIconLocation(nullptr, 0), S_OK);
        EXPECT_EQ(link.file->IsDirty(), S_OK);
        ASSERT_EQ(link.Save("C:\\links\\game.lnk"), S_OK);
        EXPECT_EQ(link.file->IsDirty(), S_FALSE);

        char text[MAX_PATH];
        EXPECT_EQ(link.shell->GetPath(text, MAX_PATH, nullptr, 0), S_OK);
        EXPECT_EQ(text, target);
        EXPECT_EQ(link.shell->GetDescription(text, 5), S_OK);
        EXPECT_EQ(std::string(text), Big5("雲嶺")) << "cut to the buffer";
    }
    auto report = scenario::LnkinfoReport((c / "links/game.lnk").string());
    ASSERT_TRUE(report);
    EXPECT_EQ(LnkinfoField(*report, "Local path"), "C:\\Program Files\\tornwell\\kelvo\\kelvo.exe")
        << *report;
    EXPECT_EQ(LnkinfoField(*report, "Description"), "雲嶺奇譚續錄~星月影");
    EXPECT_EQ(LnkinfoField(*report, "Working directory"), "C:\\Program Files\\tornwell\\kelvo");
    EXPECT_EQ(LnkinfoField(*report, "Drive type"), "Fixed (3)");
    EXPECT_EQ(LnkinfoField(*report, "File size"), "10 bytes") << "taken from the target";
    EXPECT_EQ(LnkinfoField(*report, "Icon location"), std::nullopt);
    EXPECT_EQ(LnkinfoField(*report, "Relative path"), std::nullopt);
}

TEST_F(ShellLinkObject, LaysOutHeaderLinkInfoAndStringsAsTheFormatSays) {
    std::string target = Big5("C:\\Program Files\\tornwell\\kelvo\\靈犀別苑.exe");
    {
        Link link;
        link.shell->SetPath(target.c_str());
        link.shell->SetWorkingDirectory("C:\\w");
        link.shell->SetIconLocation("C:\\k.ico", 4);
        ASSERT_EQ(link.Save("C:\\links\\x.lnk"), S_OK);
    }
    std::string bytes = ReadAll(c / "links/x.lnk");
    ASSERT_GE(bytes.size(), 0x4Cu + 0x24u);
    EXPECT_EQ(U32At(bytes, 0), 0x4Cu);
    const unsigned char clsid[16] = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    EXPECT_EQ(std::memcmp(bytes.data() + 4, clsid, 16), 0);
    // HasLinkInfo | HasWorkingDir | HasIconLocation | IsUnicode; no name without a description.
    EXPECT_EQ(U32At(bytes, 0x14), 0x02u | 0x10u | 0x40u | 0x80u);
    EXPECT_EQ(U32At(bytes, 0x34), 0u) << "no target file, no size";
    EXPECT_EQ(U32At(bytes, 0x38), 4u) << "icon index";
    EXPECT_EQ(U32At(bytes, 0x3C), (std::uint32_t)SW_SHOWNORMAL);

    // The link info: volume id, then the local base path in code page 950 and in UTF-16.
    std::string info = bytes.substr(0x4C, U32At(bytes, 0x4C));
    EXPECT_EQ(U32At(info, 4), 0x24u);
    EXPECT_EQ(U32At(info, 8), 1u) << "VolumeIDAndLocalBasePath";
    EXPECT_EQ(U32At(info, 20), 0u) << "no network link";
    std::string volume = info.substr(U32At(info, 12));
    EXPECT_EQ(U32At(volume, 4), (std::uint32_t)DRIVE_FIXED);
    EXPECT_EQ(volume[U32At(volume, 12)], '\0') << "empty label";
    EXPECT_EQ(std::string(info.c_str() + U32At(info, 16)), target);
    EXPECT_EQ(info[U32At(info, 24)], '\0') << "empty common path suffix";
    std::u16string wideTarget = Wide(target);
    EXPECT_EQ(info.compare(U32At(info, 28), wideTarget.size() * 2, (const char*)wideTarget.data(),
                           wideTarget.size() * 2),
              0);

    // Counted UTF-16 strings: working directory, icon location; then the terminal block.
    size_t at = 0x4C + info.size();
    for (const char* text : {"C:\\w", "C:\\k.ico"}) {
        std::u16string wide = Wide(text);
        EXPECT_EQ((unsigned char)bytes[at] | (unsigned char)bytes[at + 1] << 8, (int)wide.size());
        EXPECT_EQ(bytes.compare(at + 2, wide.size() * 2, (const char*)wide.data(), wide.size() * 2),
                  0);
        at += 2 + wide.size() * 2;
    }
    EXPECT_EQ(bytes.size(), at + 4);
    EXPECT_EQ(U32At(bytes, at), 0u);
}

TEST_F(ShellLinkObject, SavesUnderBig5NamesAsUtf8HostFiles) {
    fs::create_directories(c / "links" / "遠岫工坊" / "雲嶺奇譚續錄~星月影");
    Link link;
    link.shell->SetPath("C:\\Program Files\\tornwell\\kelvo\\kelvo.exe");
    // The folders match whatever their case on the host.
    EXPECT_EQ(link.Save(Big5("c:\\LINKS\\遠岫工坊\\雲嶺奇譚續錄~星月影\\雲嶺奇譚續錄~星月影.lnk")),
              S_OK);
    EXPECT_TRUE(
        fs::is_regular_file(c / "links/遠岫工坊/雲嶺奇譚續錄~星月影/雲嶺奇譚續錄~星月影.lnk"));
    // 功 ends in byte 5C: no separator inside it.
    EXPECT_EQ(link.Save(Big5("C:\\links\\功.lnk")), S_OK);
    EXPECT_TRUE(fs::is_regular_file(c / "links/功.lnk"));
}

TEST_F(ShellLinkObject, RefusesToSaveWhereNoFileCanBe) {
    Link link;
    link.shell->SetPath("C:\\Program Files\\tornwell\\kelvo\\kelvo.exe");
    EXPECT_EQ(link.Save("C:\\missing\\a.lnk"), (HRESULT)0x80070003) << "folder missing";
    EXPECT_EQ(link.Save("Q:\\a.lnk"), (HRESULT)0x80070003) << "no such drive";
    EXPECT_EQ(link.Save("a.lnk"), (HRESULT)0x80070003) << "relative";
    EXPECT_EQ(link.Save("C:\\links"), (HRESULT)0x80070005) << "a folder";
    EXPECT_EQ(link.file->Save(nullptr, TRUE), E_INVALIDARG);
    // A character code page 950 lacks (U+00E9) would change the file's name.
    const WCHAR accented[] = {'C', ':', '\\', 0xE9, '.', 'l', 'n', 'k', 0};
    EXPECT_EQ(link.file->Save(accented, TRUE), (HRESULT)0x8007007B);
    EXPECT_EQ(link.file->IsDirty(), S_OK) << "nothing saved";
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(c / "links"), {}), 0);
}

TEST_F(ShellLinkObject, ChargesSavedBytesToADriveThatCanFillUp) {
    sim.machine().drives['c'].capacity = 100;
    Link link;
    link.shell->SetPath("C:\\Program Files\\tornwell\\kelvo\\kelvo.exe");
    EXPECT_EQ(link.Save("C:\\links\\a.lnk"), (HRESULT)0x80070070) << "ERROR_DISK_FULL";
    EXPECT_FALSE(fs::exists(c / "links/a.lnk"));
    sim.machine().drives['c'].capacity = 1000;
    EXPECT_EQ(link.Save("C:\\links\\a.lnk"), S_OK);
    std::uint64_t written = sim.machine().drives['c'].written;
    EXPECT_EQ(written, fs::file_size(c / "links/a.lnk"));
    EXPECT_EQ(link.Save("C:\\links\\a.lnk"), S_OK);
    EXPECT_EQ(sim.machine().drives['c'].written, written) << "rewritten in place, same size";
}

TEST_F(ShellLinkObject, KeepsTargetsWithoutADriveAsRelativePaths) {
    if (!scenario::HaveLnkinfo())
        GTEST_SKIP() << "lnkinfo (liblnk-utils) is not installed";
    {
        Link link;
        link.shell->SetPath("kelvo\\kelvo.exe");
        link.shell->SetDescription("");
        ASSERT_EQ(link.Save("C:\\links\\r.lnk"), S_OK);
    }
    auto report = scenario::LnkinfoReport((c / "links/r.lnk").string());
    ASSERT_TRUE(report);
    EXPECT_EQ(LnkinfoField(*report, "Relative path"), "kelvo\\kelvo.exe") << *report;
    EXPECT_EQ(LnkinfoField(*report, "Local path"), std::nullopt);
    EXPECT_EQ(LnkinfoField(*report, "Description"), std::nullopt);
}

TEST_F(ShellLinkObject, FaultsFailTheirOwnCallOnly) {
    struct Case {
        const char* fault;
        HRESULT (*call)(Link&);
    };
    const Case cases[] = {
        {"setpath", [](Link& l) { return l.shell->SetPath("C:\\a.exe"); }},
        {"setdescription", [](Link& l) { return l.shell->SetDescription("a"); }},
        {"seticon", [](Link& l) { return l.shell->SetIconLocation("C:\\a.ico", 0); }},
        {"setwork", [](Link& l) { return l.shell->SetWorkingDirectory("C:\\"); }},
        {"save", [](Link& l) { return l.Save("C:\\links\\f.lnk"); }},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.fault);
        Link link;
        sim.machine().linkFaults = {each.fault};
        EXPECT_EQ(each.call(link), E_FAIL);
        if (std::string(each.fault) != "save") {
            EXPECT_EQ(link.Save("C:\\links\\f.lnk"), S_OK);
        }
        sim.machine().linkFaults.clear();
    }

    CoInitialize(nullptr);
    LPVOID object = &object;
    sim.machine().linkFaults = {"cocreate"};
    EXPECT_EQ(
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, &object),
        REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    sim.machine().linkFaults = {"queryinterface"};
    ASSERT_EQ(
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, &object),
        S_OK)
        << "the object is still made";
    IShellLinkA* shell = (IShellLinkA*)object;
    EXPECT_EQ(shell->QueryInterface(IID_IPersistFile, &object), E_FAIL);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(shell->Release(), 0u);
    sim.machine().linkFaults = {"coinitialize"};
    OnNewThread([] { EXPECT_EQ(CoInitialize(nullptr), E_FAIL); });
}

} // namespace
