#include "install_fixture.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t CountFiles(const fs::path& folder) {
    size_t count = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        count += it->is_regular_file() ? 1 : 0;
    return count;
}

// Lets go of the journal in memory, and of the files held open, without undoing or deleting
// anything, as a setup that is killed does.
void AbandonJournal() {
    if (JournalState.file != nullptr)
        CloseHandle(JournalState.file);
    if (JournalState.records != nullptr)
        HeapFree(GetProcessHeap(), 0, JournalState.records);
    JournalState.file = nullptr;
    JournalState.records = nullptr;
    JournalState.length = 0;
    JournalState.room = 0;
    JournalState.written = 0;
    JournalState.flushed = 0;
    JournalState.keptFiles = 0;
    JournalState.keptGroups = 0;
    EndLinkWalk(&JournalState.walk);
    LetGoOfGameCopy();
}

DWORD WINAPI CancelWhenFilesExist(LPVOID parameter) {
    auto* plan = static_cast<CancelPlan*>(parameter);
    while (!plan->copyReturned && CountFiles(plan->folder) < plan->files)
        Sleep(1);
    if (!plan->theirs.empty())
        TestMachine::WriteFile(plan->theirs, "theirs");
    if (plan->cancel)
        SetFlag(&InstallState.installEnding, INSTALL_CANCELLED);
    // Lets the copy through the pipe if it got there.
    int writer = -1;
    while (!plan->copyReturned && writer < 0) {
        writer = open(plan->pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer < 0)
            Sleep(1);
    }
    if (writer >= 0)
        close(writer);
    return 0;
}

// Setup's registry entry of an interrupted install: its value name, or nothing.
std::string EntryValue(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, KEY_READ, &key) != 0)
        return "";
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    DWORD type = 0;
    LONG read = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return read == 0 ? (type == REG_DWORD ? std::to_string(*(DWORD*)value) : value) : "";
}

void WriteEntry(const std::string& journal, const std::string& folder, DWORD identity,
                const std::string& base) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    RegSetValueExA(key, "Journal", 0, REG_SZ, (const BYTE*)journal.c_str(),
                   (DWORD)journal.size() + 1);
    RegSetValueExA(key, "Folder", 0, REG_SZ, (const BYTE*)folder.c_str(), (DWORD)folder.size() + 1);
    RegSetValueExA(key, "Identity", 0, REG_DWORD, (const BYTE*)&identity, sizeof identity);
    if (!base.empty())
        RegSetValueExA(key, "Base", 0, REG_SZ, (const BYTE*)base.c_str(), (DWORD)base.size() + 1);
    RegCloseKey(key);
}

// A record line as the journal writes it: the record, a tab, its CRC-32, CR LF.
std::string Line(const std::string& record) {
    DWORD crc = 0xFFFFFFFF;
    for (unsigned char byte : record) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    char check[16];
    std::snprintf(check, sizeof check, "\t%08X\r\n", (unsigned)~crc);
    return record + check;
}

} // namespace testing_support
