// COM as far as the installer uses it: per-thread initialization and the shell link object
// (IShellLinkA and IPersistFile on one object), which saves real .lnk files (lnk_file.cpp).
#include <shlobj.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "lnk_file.h"
#include "call_points.h"
#include "machine.h"

namespace fs = std::filesystem;
using namespace winsim;

const CLSID CLSID_ShellLink = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

namespace {

const IID IID_IUnknown = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

constexpr HRESULT E_NOTIMPL_ = (HRESULT)0x80004001;
constexpr HRESULT E_POINTER_ = (HRESULT)0x80004003;
constexpr HRESULT CO_E_NOTINITIALIZED_ = (HRESULT)0x800401F0;
constexpr HRESULT CLASS_E_NOAGGREGATION_ = (HRESULT)0x80040110;

constexpr HRESULT FromWin32(DWORD error) {
    return (HRESULT)((error & 0xFFFF) | 0x80070000u);
}

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

bool Faulty(const char* call) {
    std::lock_guard lock(machineLock());
    return machine().linkFaults.count(call) != 0;
}

// Copies text into a caller's buffer of size bytes, cut to fit.
HRESULT CopyOut(const std::string& text, LPSTR buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return E_INVALIDARG;
    lstrcpynA(buffer, text.c_str(), size);
    return S_OK;
}

std::uint64_t FileTimeOf(fs::file_time_type time) {
    // 100 ns units between 1601-01-01 and 1970-01-01.
    constexpr std::int64_t UnixEpoch = 116444736000000000LL;
    using Units = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
    auto sinceUnix = std::chrono::file_clock::to_sys(time).time_since_epoch();
    std::int64_t units = std::chrono::duration_cast<Units>(sinceUnix).count();
    return units + UnixEpoch < 0 ? 0 : (std::uint64_t)(units + UnixEpoch);
}

// The volume of a target's drive, as GetVolumeInformationA reports it; nullopt for a path that
// names no drive.
std::optional<LinkVolume> VolumeOf(const std::string& target) {
    char letter = DriveLetterOf(target);
    if (letter == 0)
        return std::nullopt;
    char root[4] = {letter, ':', '\\', '\0'};
    LinkVolume volume;
    volume.driveType = GetDriveTypeA(root);
    DWORD lastError = GetLastError();
    char label[MAX_PATH + 1] = {};
    DWORD serial = 0;
    if (GetVolumeInformationA(root, label, sizeof(label), &serial, nullptr, nullptr, nullptr, 0)) {
        volume.serial = serial;
        volume.label = label;
    }
    SetLastError(lastError);
    return volume;
}

LinkTargetFacts FactsOf(const std::string& target) {
    LinkTargetFacts facts;
    auto host = HostPath(target);
    std::error_code error;
    if (!host || !fs::exists(*host, error))
        return facts;
    fs::file_time_type written = fs::last_write_time(*host, error);
    if (!error)
        facts.creationTime = facts.accessTime = facts.writeTime = FileTimeOf(written);
    if (fs::is_directory(*host, error)) {
        facts.attributes = FILE_ATTRIBUTE_DIRECTORY;
        return facts;
    }
    auto permissions = fs::status(*host, error).permissions();
    facts.attributes = (permissions & fs::perms::owner_write) == fs::perms::none
                           ? FILE_ATTRIBUTE_READONLY
                           : FILE_ATTRIBUTE_ARCHIVE;
    std::uintmax_t size = fs::file_size(*host, error);
    facts.size = error ? 0 : (std::uint32_t)size;
    return facts;
}

// Charges bytes to a drive with a fixed capacity; false when they do not fit.
bool ChargeDrive(const std::string& windowsPath, std::uint64_t bytes) {
    std::lock_guard lock(machineLock());
    Drive* d = machine().drive(DriveLetterOf(windowsPath));
    if (d == nullptr || !d->capacity)
        return true;
    if (d->written + bytes > *d->capacity)
        return false;
    d->written += bytes;
    return true;
}

class ShellLink final : public IShellLinkA, public IPersistFile {
  public:
    // IUnknown, for both interfaces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        calls::Scope call("QueryInterface", calls::Point | calls::CanFail);
        if (call.Fails() && object != nullptr) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        if (object != nullptr && Faulty("queryinterface")) {
            *object = nullptr;
            return E_FAIL;
        }
        return Interface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        calls::Scope call("AddRef", calls::Point);
        return ++references_;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        calls::Scope call("Release", calls::Point);
        ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }
    // QueryInterface without the machine's fault: how the object hands itself out when made.
    HRESULT Interface(REFIID iid, void** object) {
        if (object == nullptr)
            return E_POINTER_;
        *object = nullptr;
        if (SameGuid(iid, IID_IUnknown) || SameGuid(iid, IID_IShellLinkA))
            *object = static_cast<IShellLinkA*>(this);
        else if (SameGuid(iid, IID_IPersistFile))
            *object = static_cast<IPersistFile*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    // IShellLinkA
    HRESULT STDMETHODCALLTYPE GetPath(LPSTR file, int maxPath, WIN32_FIND_DATAA* data,
                                      DWORD) override {
        if (data != nullptr)
            ZeroMemory(data, sizeof(*data));
        HRESULT result = CopyOut(link_.target, file, maxPath);
        return SUCCEEDED(result) && link_.target.empty() ? S_FALSE : result;
    }
    HRESULT STDMETHODCALLTYPE GetIDList(LPITEMIDLIST*) override { return E_NOTIMPL_; }
    HRESULT STDMETHODCALLTYPE SetIDList(LPCITEMIDLIST) override { return E_NOTIMPL_; }
    HRESULT STDMETHODCALLTYPE GetDescription(LPSTR name, int maxName) override {
        return CopyOut(link_.description, name, maxName);
    }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCSTR name) override {
        calls::Scope call("IShellLinkA::SetDescription", calls::Point | calls::CanFail);
        if (call.Fails())
            return E_FAIL;
        return SetText("setdescription", name, link_.description);
    }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPSTR dir, int maxPath) override {
        return CopyOut(link_.workingDirectory, dir, maxPath);
    }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCSTR dir) override {
        calls::Scope call("IShellLinkA::SetWorkingDirectory", calls::Point | calls::CanFail);
        if (call.Fails())
            return E_FAIL;
        return SetText("setwork", dir, link_.workingDirectory);
    }
    HRESULT STDMETHODCALLTYPE GetArguments(LPSTR args, int maxPath) override {
        return CopyOut(link_.arguments, args, maxPath);
    }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCSTR args) override {
        return SetText(nullptr, args, link_.arguments);
    }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD* hotkey) override {
        if (hotkey == nullptr)
            return E_INVALIDARG;
        *hotkey = link_.hotkey;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD hotkey) override {
        link_.hotkey = hotkey;
        dirty_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int* showCmd) override {
        if (showCmd == nullptr)
            return E_INVALIDARG;
        *showCmd = link_.showCommand;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int showCmd) override {
        // A link starts its program normal, maximized or minimized; anything else is normal.
        link_.showCommand = showCmd == SW_SHOWMAXIMIZED || showCmd == 7 ? showCmd : SW_SHOWNORMAL;
        dirty_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPSTR iconPath, int maxIconPath, int* icon) override {
        if (icon == nullptr)
            return E_INVALIDARG;
        *icon = link_.iconIndex;
        return CopyOut(link_.iconPath.value_or(""), iconPath, maxIconPath);
    }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCSTR iconPath, int icon) override {
        calls::Scope call("IShellLinkA::SetIconLocation", calls::Point | calls::CanFail);
        if (call.Fails())
            return E_FAIL;
        if (Faulty("seticon"))
            return E_FAIL;
        if (iconPath == nullptr)
            link_.iconPath.reset();
        else
            link_.iconPath = iconPath;
        link_.iconIndex = icon;
        dirty_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCSTR, DWORD) override { return E_NOTIMPL_; }
    HRESULT STDMETHODCALLTYPE Resolve(HWND, DWORD) override { return E_NOTIMPL_; }
    HRESULT STDMETHODCALLTYPE SetPath(LPCSTR file) override {
        calls::Scope call("IShellLinkA::SetPath", calls::Point | calls::CanFail);
        if (call.Fails())
            return E_FAIL;
        if (Faulty("setpath"))
            return E_FAIL;
        if (file == nullptr)
            return E_INVALIDARG;
        link_.target = file;
        dirty_ = true;
        return S_OK;
    }

    // IPersistFile
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        if (clsid == nullptr)
            return E_POINTER_;
        *clsid = CLSID_ShellLink;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(LPCWSTR, DWORD) override { return E_NOTIMPL_; }
    HRESULT STDMETHODCALLTYPE Save(LPCWSTR fileName, BOOL remember) override {
        std::string named = fileName != nullptr ? Utf8ToCp950(WideToUtf8(fileName)) : "";
        calls::Scope call("IPersistFile::Save", calls::Point | calls::CanFail, {named.c_str()});
        if (call.Fails())
            return E_FAIL;
        if (Faulty("save"))
            return E_FAIL;
        if (fileName == nullptr || fileName[0] == 0)
            return E_INVALIDARG;
        // The name travels as UTF-16; the machine's paths are code page 950. A name with a
        // character code page 950 lacks would be saved under a different name: refuse it.
        std::string utf8 = WideToUtf8(fileName);
        std::string windowsPath = Utf8ToCp950(utf8);
        if (Cp950ToUtf8(windowsPath) != utf8)
            return FromWin32(ERROR_INVALID_NAME);
        auto host = HostPath(windowsPath);
        std::error_code error;
        if (!host || !fs::is_directory(fs::path(*host).parent_path(), error))
            return FromWin32(ERROR_PATH_NOT_FOUND);
        if (fs::is_directory(*host, error))
            return FromWin32(ERROR_ACCESS_DENIED);

        LinkContent content = link_;
        if (!content.target.empty()) {
            content.volume = VolumeOf(content.target);
            content.facts = FactsOf(content.target);
        }
        auto bytes = LinkFileBytes(content);
        if (!bytes)
            return E_INVALIDARG;
        std::uintmax_t previous =
            fs::is_regular_file(*host, error) ? fs::file_size(*host, error) : 0;
        if (bytes->size() > previous && !ChargeDrive(windowsPath, bytes->size() - previous))
            return FromWin32(ERROR_DISK_FULL);
        std::ofstream out(*host, std::ios::binary | std::ios::trunc);
        if (!out)
            return FromWin32(ERROR_ACCESS_DENIED);
        out.write(bytes->data(), (std::streamsize)bytes->size());
        out.close();
        if (!out)
            return FromWin32(ERROR_DISK_FULL);
        if (remember)
            dirty_ = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPWSTR*) override { return E_NOTIMPL_; }

  private:
    ~ShellLink() = default;

    // A Set... call that takes text; fault names the machine fault that refuses it. A NULL
    // text clears the setting.
    HRESULT SetText(const char* fault, LPCSTR text, std::string& field) {
        if (fault != nullptr && Faulty(fault))
            return E_FAIL;
        field = text == nullptr ? "" : text;
        dirty_ = true;
        return S_OK;
    }

    std::atomic<ULONG> references_{1};
    LinkContent link_;
    bool dirty_ = false;
};

} // namespace

HRESULT WINAPI CoInitialize(LPVOID) {
    calls::Scope call("CoInitialize", calls::Point | calls::CanFail);
    if (call.Fails())
        return E_OUTOFMEMORY;
    if (Faulty("coinitialize"))
        return E_FAIL;
    return ComInitializations()++ == 0 ? S_OK : S_FALSE;
}

void WINAPI CoUninitialize(void) {
    calls::Scope call("CoUninitialize", calls::Point);
    // "A thread must call CoUninitialize once for each successful call it has made to
    // CoInitialize", and only then: one more takes COM away from under a caller that
    // initialised it.
    if (ComInitializations() == 0)
        Misuse("CoUninitialize on thread " + std::to_string(GetCurrentThreadId()) +
               " with no CoInitialize in force there");
    --ComInitializations();
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                LPVOID* object) {
    calls::Scope call("CoCreateInstance", calls::Point | calls::CanFail);
    if (call.Fails())
        return E_OUTOFMEMORY;
    if (object == nullptr)
        return E_POINTER_;
    *object = nullptr;
    if (!ComInitialized())
        return CO_E_NOTINITIALIZED_;
    if (Faulty("cocreate") || !SameGuid(clsid, CLSID_ShellLink) ||
        (context & CLSCTX_INPROC_SERVER) == 0)
        return REGDB_E_CLASSNOTREG;
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION_;
    ShellLink* link = new ShellLink;
    HRESULT result = link->Interface(iid, object);
    static_cast<IShellLinkA*>(link)->Release();
    return result;
}
