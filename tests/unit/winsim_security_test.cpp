// winsim's owners and access lists, users, hard links, file systems, modules of older Windows,
// named mutexes and the other user's acts: what Windows does where the conformance test can't
// show it (Wine keeps no access lists, and runs as one user).
#include <gtest/gtest.h>

#include <windows.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "call_points.h"
#include "file_security.h"
#include "other_user.h"
#include "security.h"
#include "test_machine.h"

namespace fs = std::filesystem;
namespace security = winsim::security;
using testing_support::TestMachine;

namespace {

const char RootSddl[] = "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
                        "(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";
// What a folder and a file made in a root (or below) inherit from it.
const char FolderDacl[] = "D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                          "(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";
const char FileDacl[] = "D:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)";

security::Descriptor Sddl(const std::string& text) {
    auto descriptor = security::ParseSddl(text);
    EXPECT_TRUE(descriptor) << text;
    return descriptor.value_or(security::Descriptor{});
}

std::string DaclOf(const security::Descriptor& descriptor) {
    security::Descriptor dacl = descriptor;
    dacl.owner.reset();
    dacl.group.reset();
    return security::FormatSddl(dacl);
}

TEST(SecurityDescriptors, SddlAndTheBinaryFormReadBackAsWritten) {
    security::Descriptor root = Sddl(RootSddl);
    EXPECT_EQ(security::FormatSddl(root), RootSddl);
    EXPECT_EQ(root.dacl.size(), 5u);
    EXPECT_EQ(root.dacl[3].mask, security::Delete | security::GenericExecute |
                                     security::GenericWrite | security::GenericRead);
    std::string bytes = security::SelfRelativeBytes(root);
    auto back = security::DescriptorFromBytes(bytes.data(), bytes.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, root);
    // The layout: a 20-byte header with the offsets, the DACL first.
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.Control,
              SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED);
    EXPECT_EQ(header.Dacl, 20u);
    EXPECT_EQ(header.Sacl, 0u);
    ACL acl;
    std::memcpy(&acl, bytes.data() + header.Dacl, sizeof acl);
    EXPECT_EQ(acl.AclRevision, ACL_REVISION);
    EXPECT_EQ(acl.AceCount, 5);
    EXPECT_EQ(header.Owner, header.Dacl + acl.AclSize);

    EXPECT_EQ(security::ToString(*security::ParseSid("BA")), "S-1-5-32-544");
    EXPECT_EQ(security::ParseSid("S-1-5-21-1-2-3-1001")->subAuthorities.size(), 5u);
    EXPECT_FALSE(security::ParseSid("S-1-5-x"));
    EXPECT_FALSE(security::ParseSid("S-1-5-4294967296"));
    std::string sid = security::SidBytes(security::Administrators());
    EXPECT_EQ(sid.size(), 16u);
    EXPECT_EQ(security::SidFromBytes(sid.data(), sid.size()), security::Administrators());
    security::Descriptor none = Sddl("D:NO_ACCESS_CONTROL");
    EXPECT_TRUE(none.nullDacl);
    bytes = security::SelfRelativeBytes(none);
    back = security::DescriptorFromBytes(bytes.data(), bytes.size());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->daclPresent && back->nullDacl);
    for (const char* bad : {"", "D:(A;;FA;;;XX)", "(A;;FA;;;BA)", "D:(X;;FA;;;BA)", "O:BAO:SY",
                            "D:(A;;FA;;BA)", "D:(A;;FZ;;;BA)", "Q:BA"})
        EXPECT_FALSE(security::ParseSddl(bad)) << bad;
    EXPECT_FALSE(security::DescriptorFromBytes("\x02\0\0\0", 4));
}

TEST(SecurityDescriptors, NewObjectsInheritAsWindowsSays) {
    security::Descriptor root = Sddl(RootSddl);
    security::Token admin = security::AdministratorToken();
    security::Descriptor folder = security::NewObjectDescriptor(root, true, admin, std::nullopt);
    EXPECT_EQ(DaclOf(folder), FolderDacl);
    EXPECT_EQ(folder.owner, security::Administrators());
    security::Descriptor file = security::NewObjectDescriptor(folder, false, admin, std::nullopt);
    EXPECT_EQ(DaclOf(file), FileDacl);

    // CREATOR OWNER becomes the owner (split for a folder); no propagation stops at the child;
    // an entry for files alone passes a folder by as one for what is made in it.
    security::Descriptor parent =
        Sddl("D:(A;OICIIO;GA;;;CO)(A;OICINP;FR;;;BU)(A;OI;FX;;;IU)(D;CI;SD;;;WD)");
    security::Token user = security::StandardUserToken(security::StandardUserRid);
    std::string me = security::ToString(user.user);
    EXPECT_EQ(DaclOf(security::NewObjectDescriptor(parent, true, user, std::nullopt)),
              "D:(A;ID;FA;;;" + me +
                  ")(A;OICIIOID;GA;;;CO)(A;ID;FR;;;BU)(A;OIIOID;FX;;;IU)(D;CIID;SD;;;WD)");
    EXPECT_EQ(DaclOf(security::NewObjectDescriptor(parent, false, user, std::nullopt)),
              "D:(A;ID;FA;;;" + me + ")(A;ID;FR;;;BU)(A;ID;FX;;;IU)");

    // A protected DACL given is all there is; one not protected gets the inherited entries after
    // its own; nothing to inherit and nothing given: the token's default DACL.
    security::Descriptor given = Sddl("D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    security::Descriptor made = security::NewObjectDescriptor(root, true, admin, given);
    EXPECT_EQ(security::FormatSddl(made),
              "O:BAG:" + security::ToString(security::MachineAccount(513)) +
                  "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    given.protectedDacl = false;
    made = security::NewObjectDescriptor(folder, false, admin, given);
    EXPECT_EQ(made.dacl.size(), 2u + 4u);
    EXPECT_EQ(made.dacl[2].flags, security::Ace::Inherited);
    security::Descriptor plain = Sddl("D:(A;;FA;;;BA)");
    EXPECT_EQ(DaclOf(security::NewObjectDescriptor(plain, false, user, std::nullopt)),
              "D:(A;;FA;;;" + me + ")(A;;FA;;;SY)");
}

TEST(SecurityDescriptors, TheAccessCheckTakesEntriesInTheirOrder) {
    security::Token user = security::StandardUserToken(security::StandardUserRid);
    security::Token admin = security::AdministratorToken();
    // An allowed right stays allowed whatever is denied after it.
    EXPECT_TRUE(
        security::AccessAllowed(Sddl("D:(A;;FA;;;BU)(D;;SD;;;WD)"), user, security::Delete));
    EXPECT_FALSE(
        security::AccessAllowed(Sddl("D:(D;;SD;;;WD)(A;;FA;;;BU)"), user, security::Delete));
    EXPECT_TRUE(
        security::AccessAllowed(Sddl("D:(D;;SD;;;WD)(A;;FA;;;BU)"), user, security::WriteData));
    // Entries only for what is made below, and others' entries, grant nothing here.
    EXPECT_FALSE(security::AccessAllowed(Sddl("D:(A;OICIIO;FA;;;BU)(A;;FA;;;BA)"), user,
                                         security::ReadData));
    EXPECT_TRUE(security::AccessAllowed(Sddl("D:(A;OICIIO;FA;;;BU)(A;;FA;;;BA)"), admin,
                                        security::ReadData));
    // The owner may always read and change the DACL; a NULL DACL lets everyone do everything, an
    // empty one nobody anything.
    std::string owner = "O:" + security::ToString(user.user);
    EXPECT_TRUE(security::AccessAllowed(Sddl(owner + "D:"), user, READ_CONTROL | WRITE_DAC));
    EXPECT_FALSE(security::AccessAllowed(Sddl(owner + "D:"), user, security::ReadData));
    EXPECT_TRUE(security::AccessAllowed(Sddl("D:NO_ACCESS_CONTROL"), user, GENERIC_ALL));
    EXPECT_EQ(security::GrantedAccess(Sddl("D:(A;;0x1200a9;;;BU)"), user, MAXIMUM_ALLOWED),
              0x1200a9u);
    EXPECT_TRUE(security::AccessAllowed(Sddl("D:(A;;GR;;;BU)"), user, FILE_GENERIC_READ));
}

class FileSecurity : public ::testing::Test {
  protected:
    void SetUp() override {
        c = sim.AddFixed('c').hostFolder;
        e = sim.AddFixed('e').hostFolder;
    }
    static void AsStandardUser() { winsim::machine().standardUser = true; }
    static std::string Descriptor(const std::string& path) {
        auto host = winsim::HostPath(path);
        auto descriptor = winsim::files::DescriptorOf(winsim::DriveLetterOf(path), *host, false);
        return descriptor ? security::FormatSddl(*descriptor) : "none";
    }
    static bool Write(const std::string& path, const std::string& content = "x") {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written;
        WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr);
        return CloseHandle(file) != FALSE;
    }
    TestMachine sim;
    std::string c, e;
};

TEST_F(FileSecurity, RootsAndSystemFoldersHaveWindowsDefaults) {
    fs::create_directories(c + "/Program Files/Common");
    fs::create_directories(c + "/Windows");
    EXPECT_EQ(Descriptor("E:\\"), RootSddl);
    EXPECT_EQ(Descriptor("C:\\").substr(0, 10), "O:S-1-5-80");
    EXPECT_NE(Descriptor("C:\\Program Files").find("D:PAI(A;;FA;;;S-1-5-80-"), std::string::npos);
    AsStandardUser();
    // A standard user may make a folder in a root, and change what is in it, but no file there,
    // and nothing in Program Files or the Windows folder.
    SetLastError(0);
    EXPECT_FALSE(Write("E:\\root.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CreateDirectoryA("E:\\Games", nullptr));
    EXPECT_TRUE(Write("E:\\Games\\mine.txt"));
    EXPECT_FALSE(CreateDirectoryA("C:\\Program Files\\Mine", nullptr));
    EXPECT_FALSE(Write("C:\\Windows\\mine.dll"));
    EXPECT_FALSE(CreateDirectoryA("C:\\Program Files\\Common\\Mine", nullptr));
    // What the user made is the user's; it inherits the root's lists.
    std::string me = security::ToString(security::MachineAccount(security::StandardUserRid));
    EXPECT_EQ(Descriptor("E:\\Games"),
              "O:" + me + "G:" + security::ToString(security::MachineAccount(513)) + FolderDacl);
    EXPECT_EQ(DaclOf(Sddl(Descriptor("E:\\Games\\mine.txt"))), FileDacl);
    winsim::machine().standardUser = false;
    EXPECT_TRUE(CreateDirectoryA("C:\\Program Files\\Common\\Mine", nullptr));
    EXPECT_TRUE(Write("C:\\Program Files\\Common\\Mine\\ours.txt"));
}

TEST_F(FileSecurity, AFolderMadeWithItsOwnListKeepsOthersOut) {
    security::Descriptor given = Sddl("D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    std::string bytes = security::SelfRelativeBytes(given);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, bytes.data(), FALSE};
    ASSERT_TRUE(CreateDirectoryA("E:\\Admin", &attributes));
    EXPECT_EQ(Descriptor("E:\\Admin"),
              "O:BAG:" + security::ToString(security::MachineAccount(513)) +
                  "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(Write("E:\\Admin\\journal.jnl"));
    EXPECT_EQ(DaclOf(Sddl(Descriptor("E:\\Admin\\journal.jnl"))), "D:(A;ID;FA;;;BA)(A;ID;FA;;;SY)");
    // A file moved in keeps the list it had: made in a folder every user may change, anyone
    // signed in may still write it there.
    ASSERT_TRUE(CreateDirectoryA("E:\\Games", nullptr));
    ASSERT_TRUE(Write("E:\\Games\\kept.dat"));
    ASSERT_TRUE(MoveFileA("E:\\Games\\kept.dat", "E:\\Admin\\kept.dat"));
    EXPECT_EQ(DaclOf(Sddl(Descriptor("E:\\Admin\\kept.dat"))), FileDacl);

    AsStandardUser();
    EXPECT_FALSE(Write("E:\\Admin\\planted.txt"));
    EXPECT_FALSE(Write("E:\\Admin\\journal.jnl"));
    EXPECT_FALSE(MoveFileA("E:\\Admin", "E:\\Admin.old"));
    EXPECT_FALSE(DeleteFileA("E:\\Admin\\journal.jnl"));
    EXPECT_FALSE(SetFileAttributesA("E:\\Admin\\journal.jnl", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(FindFirstFileA("E:\\Admin\\*", nullptr), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write("E:\\Admin\\kept.dat", "changed"));
    winsim::machine().standardUser = false;
    EXPECT_TRUE(MoveFileA("E:\\Admin", "E:\\Admin.old"));

    // A descriptor that is none, or that names an owner the token may not give, makes nothing.
    char garbage[32] = {7};
    attributes.lpSecurityDescriptor = garbage;
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA("E:\\Bad", &attributes));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);
    std::string other = security::SelfRelativeBytes(Sddl("O:SYD:P(A;;FA;;;BA)"));
    attributes.lpSecurityDescriptor = other.data();
    EXPECT_FALSE(CreateDirectoryA("E:\\Bad", &attributes));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_OWNER);
    EXPECT_FALSE(fs::exists(e + "/Bad"));
}

TEST_F(FileSecurity, TheDescriptorOfAHandleIsReadAsTheProgramReadsIt) {
    ASSERT_TRUE(CreateDirectoryA("E:\\Games", nullptr));
    HANDLE folder = CreateFileA("E:\\Games", READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(
        folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> buffer(needed);
    ASSERT_TRUE(GetKernelObjectSecurity(folder,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        buffer.data(), needed, &needed));
    CloseHandle(folder);
    PSID owner = nullptr;
    BOOL defaulted = TRUE, present = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorOwner(buffer.data(), &owner, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorControl(buffer.data(), &control, &revision));
    EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr, users = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &administrators));
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0, 0, 0, 0,
                                         0, &users));
    EXPECT_TRUE(EqualSid(owner, administrators));
    ASSERT_TRUE(present && dacl != nullptr);
    EXPECT_EQ(dacl->AceCount, 5);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 3, (void**)&ace));
    EXPECT_EQ(ace->Header.AceFlags, INHERITED_ACE);
    EXPECT_EQ(ace->Mask, 0x1301bfu);
    EXPECT_TRUE(EqualSid(&ace->SidStart, users));
    EXPECT_FALSE(GetAce(dacl, 5, (void**)&ace));
    FreeSid(administrators);
    FreeSid(users);

    // A handle without READ_CONTROL reads none.
    HANDLE reading = CreateFileA("E:\\Games", FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_FALSE(GetKernelObjectSecurity(reading, OWNER_SECURITY_INFORMATION, buffer.data(),
                                         (DWORD)buffer.size(), &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(reading);
}

TEST_F(FileSecurity, TheTokenSaysWhoTheProgramRunsAs) {
    for (bool standard : {false, true}) {
        winsim::machine().standardUser = standard;
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        DWORD needed = 0;
        EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
        std::vector<char> buffer(needed);
        ASSERT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed));
        auto* groups = (TOKEN_GROUPS*)buffer.data();
        bool administrators = false;
        for (DWORD i = 0; i < groups->GroupCount; ++i) {
            auto sid = security::SidFromBytes(groups->Groups[i].Sid, 68);
            if (sid == security::Administrators())
                administrators = (groups->Groups[i].Attributes & SE_GROUP_OWNER) != 0;
        }
        EXPECT_EQ(administrators, !standard);
        std::vector<char> owner(64);
        ASSERT_TRUE(GetTokenInformation(token, TokenOwner, owner.data(), 64, &needed));
        EXPECT_EQ(security::SidFromBytes(((TOKEN_OWNER*)owner.data())->Owner, 68),
                  standard ? security::MachineAccount(security::StandardUserRid)
                           : security::Administrators());
        TOKEN_ELEVATION elevation = {};
        ASSERT_TRUE(
            GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &needed));
        EXPECT_EQ(elevation.TokenIsElevated, standard ? 0u : 1u);
        EXPECT_TRUE(CloseHandle(token));
    }
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &token));
    DWORD needed = 0;
    char buffer[64];
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(token);
}

TEST_F(FileSecurity, HardLinksAreOneFileWithOneAccessList) {
    ASSERT_TRUE(CreateDirectoryA("E:\\Games", nullptr));
    ASSERT_TRUE(Write("E:\\Games\\a.txt", "one"));
    ASSERT_TRUE(CreateHardLinkA("E:\\b.txt", "E:\\Games\\a.txt", nullptr));
    // The root's own entries would give the name in the root another list: it has its file's.
    EXPECT_EQ(DaclOf(Sddl(Descriptor("E:\\b.txt"))), FileDacl);
    EXPECT_TRUE(SetFileAttributesA("E:\\b.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesA("E:\\Games\\a.txt") & FILE_ATTRIBUTE_HIDDEN,
              (DWORD)FILE_ATTRIBUTE_HIDDEN);
    HANDLE held =
        CreateFileA("E:\\b.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    // A handle by one name keeps the file from being deleted by the other.
    EXPECT_FALSE(DeleteFileA("E:\\Games\\a.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(held);
    EXPECT_TRUE(DeleteFileA("E:\\Games\\a.txt"));
    EXPECT_TRUE(fs::exists(e + "/b.txt"));

    // A standard user may link nothing into a folder it can't add files to.
    AsStandardUser();
    ASSERT_TRUE(Write("E:\\Games\\mine.txt"));
    EXPECT_FALSE(CreateHardLinkA("E:\\mine.txt", "E:\\Games\\mine.txt", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CreateHardLinkA("E:\\Games\\again.txt", "E:\\Games\\mine.txt", nullptr));
}

TEST_F(FileSecurity, FatDrivesKeepNoSecurityNoLinksAndShortNames) {
    winsim::machine().drives['e'].fileSystem = winsim::FileSystem::Fat32;
    char name[16] = "";
    DWORD flags = 0;
    ASSERT_TRUE(
        GetVolumeInformationA("E:\\", nullptr, 0, nullptr, nullptr, &flags, name, sizeof name));
    EXPECT_STREQ(name, "FAT32");
    EXPECT_EQ(flags &
                  (FILE_PERSISTENT_ACLS | FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_HARD_LINKS),
              0u);
    ASSERT_TRUE(
        GetVolumeInformationA("C:\\", nullptr, 0, nullptr, nullptr, &flags, name, sizeof name));
    EXPECT_STREQ(name, "NTFS");
    EXPECT_EQ(
        flags & (FILE_PERSISTENT_ACLS | FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_HARD_LINKS),
        (DWORD)(FILE_PERSISTENT_ACLS | FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_HARD_LINKS));

    // Everyone may write anywhere; the descriptor read is everyone's, with a NULL DACL.
    AsStandardUser();
    ASSERT_TRUE(Write("E:\\Long File Name.txt", "long"));
    ASSERT_TRUE(Write("E:\\Long File Other.txt", "other"));
    HANDLE file = CreateFileA("E:\\Long File Name.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    char buffer[128];
    DWORD needed = 0;
    ASSERT_TRUE(GetKernelObjectSecurity(file,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        buffer, sizeof buffer, &needed));
    CloseHandle(file);
    auto descriptor = security::DescriptorFromBytes(buffer, needed);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->owner, security::Everyone());
    EXPECT_TRUE(descriptor->daclPresent && descriptor->nullDacl);
    SetLastError(0);
    EXPECT_FALSE(CreateHardLinkA("E:\\again.txt", "E:\\Long File Name.txt", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(winsim::MakeDirectoryLink("E:\\away", "C:\\"), (std::uint32_t)ERROR_INVALID_FUNCTION);

    // Every long name has a short one, which paths and patterns may name it by.
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("E:\\Long File Other.txt", &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_STREQ(found.cFileName, "Long File Other.txt");
    EXPECT_STREQ(found.cAlternateFileName, "LONGFI~2.TXT");
    find = FindFirstFileA("E:\\longfi~1.txt", &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_STREQ(found.cFileName, "Long File Name.txt");
    char shortPath[MAX_PATH];
    EXPECT_EQ(GetShortPathNameA("E:\\Long File Name.txt", shortPath, sizeof shortPath), 15u);
    EXPECT_STREQ(shortPath, "E:\\LONGFI~1.TXT");
    ASSERT_TRUE(CreateDirectoryA("E:\\Program Folder", nullptr));
    ASSERT_TRUE(Write("E:\\PROGRA~1\\inside.txt", "in"));
    EXPECT_TRUE(fs::exists(e + "/Program Folder/inside.txt"));
    EXPECT_EQ(GetShortPathNameA("E:\\Program Folder\\inside.txt", shortPath, sizeof shortPath),
              22u);
    EXPECT_STREQ(shortPath, "E:\\PROGRA~1\\inside.txt");

    // exFAT keeps no short names either.
    winsim::machine().drives['e'].fileSystem = winsim::FileSystem::ExFat;
    find = FindFirstFileA("E:\\Long File Name.txt", &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_STREQ(found.cAlternateFileName, "");
}

TEST_F(FileSecurity, OlderWindowsLackWhatTheyLack) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    HMODULE advapi32 = LoadLibraryA("ADVAPI32.DLL");
    ASSERT_NE(advapi32, nullptr);
    EXPECT_EQ(GetModuleHandleA("advapi32"), advapi32);
    EXPECT_EQ(LoadLibraryA("shlwapi.dll"), nullptr);
    EXPECT_NE(GetProcAddress(kernel32, "SetProcessMitigationPolicy"), nullptr);
    EXPECT_NE(GetProcAddress(kernel32, "CreateHardLinkA"), nullptr);
    EXPECT_EQ(GetProcAddress(kernel32, "GetKernelObjectSecurity"), nullptr);
    EXPECT_NE(GetProcAddress(advapi32, "GetKernelObjectSecurity"), nullptr);
    // Windows 7: no process mitigation policies.
    winsim::machine().version = 0x1DB10106;
    EXPECT_EQ(GetProcAddress(kernel32, "SetProcessMitigationPolicy"), nullptr);
    EXPECT_NE(GetProcAddress(kernel32, "CreateHardLinkA"), nullptr);
    // Windows 95: no hard links, the security calls stubs, no folder by handle.
    winsim::machine().version = 0xC3B60004;
    EXPECT_EQ(GetProcAddress(kernel32, "CreateHardLinkA"), nullptr);
    EXPECT_EQ(GetProcAddress(kernel32, "GetProcessMitigationPolicy"), nullptr);
    auto openToken =
        (decltype(&OpenProcessToken))(void (*)(void))GetProcAddress(advapi32, "OpenProcessToken");
    ASSERT_NE(openToken, nullptr);
    HANDLE token = nullptr;
    SetLastError(0);
    EXPECT_FALSE(openToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(GetLengthSid(nullptr), 0u);
    fs::create_directories(e + "/Games");
    SetLastError(0);
    EXPECT_EQ(CreateFileA("E:\\Games", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    // and no access lists: a standard user writes into the root.
    AsStandardUser();
    EXPECT_TRUE(Write("E:\\anyone.txt"));
    EXPECT_TRUE(FreeLibrary(advapi32));
}

TEST_F(FileSecurity, RedirectionGuardOnceOnStaysOn) {
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
    policy.EnforceRedirectionTrust = 1;
    EXPECT_FALSE(SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, 8));
    EXPECT_FALSE(SetProcessMitigationPolicy(ProcessDEPPolicy, &policy, sizeof policy));
    ASSERT_TRUE(SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy));
    policy.Flags = 0;
    ASSERT_TRUE(GetProcessMitigationPolicy(GetCurrentProcess(), ProcessRedirectionTrustPolicy,
                                           &policy, sizeof policy));
    EXPECT_EQ(policy.Flags, 1u);
    policy.Flags = 2;
    EXPECT_FALSE(SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    policy.Flags = 3;
    EXPECT_TRUE(SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy));
}

TEST_F(FileSecurity, TheOtherUserIsCheckedAsItselfAndKeptOutByHandles) {
    ASSERT_TRUE(CreateDirectoryA("E:\\Games", nullptr));
    ASSERT_TRUE(CreateDirectoryA("E:\\Games\\kelvo", nullptr));
    ASSERT_TRUE(Write("E:\\Games\\kelvo\\game.exe", "game"));
    ASSERT_TRUE(CreateDirectoryA("E:\\Elsewhere", nullptr));
    std::string kept = security::SelfRelativeBytes(Sddl("D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, kept.data(), FALSE};
    ASSERT_TRUE(CreateDirectoryA("E:\\Kept", &attributes));

    // A held folder can't be swapped; once let go it can, by the other user, who owns the link.
    HANDLE held = CreateFileA("E:\\Games\\kelvo", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    winsim::OtherUserAct swap{"swap", {"E:\\Games\\kelvo", "E:\\Elsewhere"}};
    SetLastError(1234);
    EXPECT_EQ(winsim::ActAsOtherUser(swap), (std::uint32_t)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(GetLastError(), 1234u);
    CloseHandle(held);
    EXPECT_EQ(winsim::ActAsOtherUser(swap), 0u);
    EXPECT_TRUE(fs::is_symlink(e + "/Games/kelvo"));
    EXPECT_TRUE(fs::exists(e + "/Games/kelvo.aside/game.exe"));
    EXPECT_EQ((GetFileAttributesA("E:\\Games\\kelvo") & FILE_ATTRIBUTE_REPARSE_POINT),
              (DWORD)FILE_ATTRIBUTE_REPARSE_POINT);
    const std::string otherOwner =
        "O:" + security::ToString(security::MachineAccount(security::OtherUserRid)) + "G:";
    EXPECT_EQ(Descriptor("E:\\Games\\kelvo").rfind(otherOwner, 0), 0u);
    // The link, opened itself, is another object than its folder.
    HANDLE link = CreateFileA("E:\\Games\\kelvo", READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    HANDLE through = CreateFileA("E:\\Games\\kelvo", READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION ofLink, ofThrough;
    ASSERT_TRUE(GetFileInformationByHandle(link, &ofLink));
    ASSERT_TRUE(GetFileInformationByHandle(through, &ofThrough));
    EXPECT_NE(ofLink.nFileIndexLow, ofThrough.nFileIndexLow);
    EXPECT_EQ(ofLink.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT,
              (DWORD)FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(ofThrough.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    CloseHandle(link);
    CloseHandle(through);
    // The link moves as itself and keeps its owner.
    ASSERT_TRUE(MoveFileA("E:\\Games\\kelvo", "E:\\Elsewhere\\moved"));
    EXPECT_EQ(Descriptor("E:\\Elsewhere\\moved").rfind(otherOwner, 0), 0u);

    // What only administrators may change is out of reach; a refused act changes nothing.
    EXPECT_EQ(winsim::ActAsOtherUser({"swap", {"E:\\Kept", "E:\\Elsewhere"}}),
              (std::uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_EQ(winsim::ActAsOtherUser({"file", {"E:\\Kept\\planted.txt", "x"}}),
              (std::uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_EQ(winsim::ActAsOtherUser({"link", {"E:\\Kept\\away", "E:\\Elsewhere"}}),
              (std::uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_empty(e + "/Kept"));
    EXPECT_EQ(winsim::ActAsOtherUser(
                  {"hardlink", {"E:\\Games\\game.exe", "E:\\Games\\kelvo.aside\\game.exe"}}),
              0u);
    EXPECT_EQ(winsim::ActAsOtherUser({"write", {"E:\\Games\\game.exe", "evil"}}), 0u);
    std::ifstream in(e + "/Games/kelvo.aside/game.exe");
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "evil");
    EXPECT_EQ(winsim::ActAsOtherUser({"delete", {"E:\\Games\\game.exe"}}), 0u);
    EXPECT_EQ(winsim::ActAsOtherUser({"move", {"E:\\Games\\kelvo.aside", "E:\\Games\\k"}}), 0u);
}

TEST_F(FileSecurity, AnActComesJustBeforeTheCallItWasPlannedFor) {
    fs::create_directories(e + "/Games");
    winsim::calls::AtCall("CreateDirectoryA", 2, -1, [] {
        winsim::ActAsOtherUser({"file", {"E:\\Games\\two", "x"}});
    });
    winsim::calls::AtCall("CreateDirectoryA", 1, 1, [] {
        winsim::ActAsOtherUser({"file", {"E:\\Games\\never", "x"}});
    });
    winsim::calls::StartThread(0);
    EXPECT_TRUE(CreateDirectoryA("E:\\Games\\one", nullptr));
    EXPECT_FALSE(fs::exists(e + "/Games/two"));
    // The act's own calls are none of the installer's: this is the second.
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA("E:\\Games\\two", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CreateDirectoryA("E:\\Games\\three", nullptr));
    winsim::calls::StartThread(-1);
    EXPECT_FALSE(fs::exists(e + "/Games/never"));
}

TEST_F(FileSecurity, AMutexIsTheMachinesAndItsOwnerProcessEndingReleasesIt) {
    winsim::machine().folder = sim.root().string();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE mine = CreateMutexA(nullptr, TRUE, "kelvo-setup");
        char byte = mine != nullptr && GetLastError() == 0 ? 'y' : 'n';
        ssize_t written = write(ready[1], &byte, 1);
        (void)written;
        pause(); // killed while it owns the mutex
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "kelvo-setup");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), (DWORD)WAIT_TIMEOUT);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    HANDLE other = CreateMutexA(nullptr, FALSE, "Kelvo-Setup");
    EXPECT_EQ(GetLastError(), 0u) << "names are case sensitive";
    CloseHandle(other);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(WaitForSingleObject(mutex, 5000), (DWORD)WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
    mutex = CreateMutexA(nullptr, FALSE, "kelvo-setup");
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(mutex);
    close(ready[0]);
    close(ready[1]);
    winsim::machine().folder.clear();
}

} // namespace
