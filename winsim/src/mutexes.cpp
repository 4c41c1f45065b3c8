// Named mutexes, shared by every process of the machine: CreateMutexA, ReleaseMutex, and waits
// and closes of their handles. A name lives while any process holds a handle to it; a mutex is
// owned by one thread at a time, again and again by that thread (each wait counted, each release
// giving one back), and the process that owns it ending (killed too) releases it: the next wait
// returns WAIT_ABANDONED and owns it.
//
// Across processes a name is two files in the machine folder's objects/ (a temporary folder for a
// machine without one), locked with flock, so that the system drops a process's locks when it
// ends however it ends: <name>.names, share-locked by each process holding a handle, and
// <name>.owner, locked by the process that owns it, holding "owned" while it does.
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "call_points.h"
#include "handle_table.h"
#include "kernel_objects.h"
#include "machine.h"

using namespace winsim;

namespace {

// A mutex as this process sees it, with every handle of this process to it.
struct Shared {
    std::mutex lock;
    std::condition_variable released;
    std::string name; // empty: an unnamed mutex, this process's alone
    DWORD ownerThread = 0;
    int count = 0;
    int handles = 0;
    int namesFile = -1; // share-locked while this process holds a handle
    int ownerFile = -1; // locked while a thread of this process owns it
};

struct MutexObject {
    std::shared_ptr<Shared> shared;
};

HandleTable<MutexObject>& Mutexes() {
    static auto* mutexes = new HandleTable<MutexObject>;
    return *mutexes;
}

std::mutex& TableLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<std::string, std::shared_ptr<Shared>>& Named() {
    static auto* named = new std::map<std::string, std::shared_ptr<Shared>>;
    return *named;
}

std::string ObjectsFolder() {
    static std::string* folder = nullptr;
    std::lock_guard lock(machineLock());
    std::string machineFolder = machine().folder;
    if (!machineFolder.empty()) {
        std::string objects = machineFolder + "/objects";
        ::mkdir(objects.c_str(), 0755);
        return objects;
    }
    if (folder == nullptr) {
        std::string made = (std::filesystem::temp_directory_path() / "winsim-objects-XXXXXX");
        folder = new std::string(::mkdtemp(made.data()) != nullptr ? made : "/tmp");
    }
    return *folder;
}

// A name as a file name: its bytes in hex (names are case sensitive and may hold anything).
std::string FileName(const std::string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int OpenLockFile(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// Takes the cross-process ownership of a named mutex without waiting: whether it was taken, and
// whether its last owner's process ended owning it.
bool TryOwnAcrossProcesses(Shared& shared, bool& abandoned) {
    if (shared.name.empty())
        return true;
    if (::flock(shared.ownerFile, LOCK_EX | LOCK_NB) != 0)
        return false;
    char mark[8] = {};
    ssize_t read = ::pread(shared.ownerFile, mark, sizeof mark - 1, 0);
    abandoned = read > 0 && std::string(mark, (size_t)read) == "owned";
    ssize_t written = ::pwrite(shared.ownerFile, "owned", 5, 0);
    (void)written;
    return true;
}

void ReleaseAcrossProcesses(Shared& shared) {
    if (shared.name.empty())
        return;
    int cut = ::ftruncate(shared.ownerFile, 0);
    (void)cut;
    ::flock(shared.ownerFile, LOCK_UN);
}

// Waits until the calling thread owns the mutex, up to milliseconds (INFINITE: for ever).
DWORD Acquire(Shared& shared, DWORD milliseconds) {
    DWORD self = GetCurrentThreadId();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(shared.lock);
    if (shared.ownerThread == self) {
        ++shared.count;
        return WAIT_OBJECT_0;
    }
    for (;;) {
        if (shared.ownerThread == 0) {
            bool abandoned = false;
            if (TryOwnAcrossProcesses(shared, abandoned)) {
                shared.ownerThread = self;
                shared.count = 1;
                return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
            }
        }
        if (milliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline)
            return WAIT_TIMEOUT;
        // Another thread of this process is told at its release; another process's release is
        // seen at the next look.
        shared.released.wait_for(lock, std::chrono::milliseconds(2));
    }
}

} // namespace

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) {
    calls::Scope call("CreateMutexA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    (void)security;
    std::shared_ptr<Shared> shared;
    bool existed = false;
    if (name == nullptr || *name == '\0') {
        shared = std::make_shared<Shared>();
    } else if (std::strlen(name) >= MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    } else {
        std::lock_guard table(TableLock());
        std::string folder = ObjectsFolder();
        // One process at a time makes or finds a name.
        int machineWide = OpenLockFile(folder + "/.lock");
        if (machineWide < 0 || ::flock(machineWide, LOCK_EX) != 0) {
            if (machineWide >= 0)
                ::close(machineWide);
            SetError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        auto found = Named().find(name);
        if (found != Named().end() && found->second->handles > 0) {
            shared = found->second;
            existed = true;
        } else {
            shared = std::make_shared<Shared>();
            shared->name = name;
            std::string base = folder + "/" + FileName(name);
            shared->namesFile = OpenLockFile(base + ".names");
            shared->ownerFile = OpenLockFile(base + ".owner");
            // Another process holds it when the names file can't be locked alone.
            existed = ::flock(shared->namesFile, LOCK_EX | LOCK_NB) != 0;
            ::flock(shared->namesFile, LOCK_SH);
            Named()[name] = shared;
        }
        ::flock(machineWide, LOCK_UN);
        ::close(machineWide);
    }
    {
        std::lock_guard lock(shared->lock);
        ++shared->handles;
    }
    if (initialOwner && !existed)
        Acquire(*shared, 0);
    auto* object = new MutexObject{shared};
    Mutexes().Add(object);
    SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return object;
}

BOOL WINAPI ReleaseMutex(HANDLE handle) {
    calls::Scope call("ReleaseMutex", calls::Point | calls::CanFail);
    MutexObject* object = Mutexes().Find(handle);
    if (object == nullptr || call.Fails()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Shared& shared = *object->shared;
    std::lock_guard lock(shared.lock);
    if (shared.ownerThread != GetCurrentThreadId()) {
        SetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--shared.count == 0) {
        shared.ownerThread = 0;
        ReleaseAcrossProcesses(shared);
        shared.released.notify_all();
    }
    return TRUE;
}

std::optional<DWORD> winsim::WaitForMutex(void* handle, DWORD milliseconds) {
    MutexObject* object = Mutexes().Find(handle);
    if (object == nullptr)
        return std::nullopt;
    std::shared_ptr<Shared> shared = object->shared;
    return Acquire(*shared, milliseconds);
}

bool winsim::HoldsNamedMutex() {
    std::lock_guard table(TableLock());
    return !Named().empty();
}

bool winsim::CloseMutex(void* handle) {
    MutexObject* object = Mutexes().Take(handle);
    if (object == nullptr)
        return false;
    std::shared_ptr<Shared> shared = object->shared;
    delete object;
    std::lock_guard table(TableLock());
    std::lock_guard lock(shared->lock);
    if (--shared->handles > 0)
        return true;
    // The last handle of this process: its name goes from here, and an ownership with it.
    if (shared->ownerThread != 0) {
        shared->ownerThread = 0;
        shared->count = 0;
        ReleaseAcrossProcesses(*shared);
    }
    if (!shared->name.empty()) {
        ::close(shared->namesFile);
        ::close(shared->ownerFile);
        shared->namesFile = shared->ownerFile = -1;
        Named().erase(shared->name);
    }
    return true;
}
