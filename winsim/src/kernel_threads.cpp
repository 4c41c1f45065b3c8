// Threads over pthreads: CreateThread, waiting on a thread (or a mutex, mutexes.cpp), thread ids
// and Sleep, and what each thread holds of COM; CloseHandle of every kind of handle.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

#include "call_points.h"
#include "handle_table.h"
#include "host_files.h"
#include "kernel_objects.h"
#include "machine.h"

using namespace winsim;

namespace {

// A thread's handle. Objects live until the process ends, so a handle stays safe to pass around
// after its thread has returned; CloseHandle only marks it closed.
struct ThreadObject {
    DWORD id = 0;
    int index = 0; // made by the index-th CreateThread
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    bool closed = false;
    DWORD exitCode = 0;
};

// Every thread handle handed out; never destroyed, like the objects it holds.
HandleTable<ThreadObject>& Objects() {
    static auto* objects = new HandleTable<ThreadObject>;
    return *objects;
}

std::atomic<DWORD> nextThreadId{1};
std::atomic<int> threadsMade{0};
thread_local DWORD currentThreadId = 0;
thread_local int comInitializations = 0;

// The handle's object, or nullptr when it is no open thread handle.
ThreadObject* Lookup(HANDLE handle) {
    ThreadObject* object = Objects().Find(handle);
    if (object == nullptr)
        return nullptr;
    std::lock_guard objectLock(object->lock);
    return object->closed ? nullptr : object;
}

void* RunThread(void* argument) {
    auto* object = static_cast<ThreadObject*>(argument);
    currentThreadId = object->id;
    calls::StartThread(object->index);
    DWORD code = object->start(object->parameter);
    // "A thread must call CoUninitialize once for each successful call it has made to
    // CoInitialize": a thread that returns without has left COM's thread state behind.
    if (comInitializations > 0)
        Misuse("thread " + std::to_string(object->id) + " (made by CreateThread #" +
               std::to_string(object->index) + ") ended with " +
               std::to_string(comInitializations) +
               " CoInitialize call(s) not undone by CoUninitialize");
    {
        std::lock_guard lock(object->lock);
        object->exitCode = code;
        object->done = true;
    }
    object->ended.notify_all();
    return nullptr;
}

} // namespace

int& winsim::ComInitializations() {
    return comInitializations;
}

bool winsim::ComInitialized() {
    return comInitializations > 0;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, size_t stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId) {
    calls::Scope call("CreateThread", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    (void)security;
    (void)flags;
    if (start == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* object = new ThreadObject;
    object->id = nextThreadId++;
    object->index = ++threadsMade;
    object->start = start;
    object->parameter = parameter;
    // The id is out before the thread runs, so the thread itself may read it.
    if (threadId != nullptr)
        *threadId = object->id;
    Objects().Add(object);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attributes, stackSize < 65536 ? 65536 : stackSize);
    pthread_t thread;
    int result = pthread_create(&thread, &attributes, RunThread, object);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        std::lock_guard lock(object->lock);
        object->closed = true;
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return object;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    calls::Scope call("WaitForSingleObject", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (auto waited = WaitForMutex(handle, milliseconds))
        return *waited;
    ThreadObject* object = Lookup(handle);
    if (object == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock lock(object->lock);
    if (milliseconds == INFINITE) {
        object->ended.wait(lock, [&] { return object->done; });
        return WAIT_OBJECT_0;
    }
    bool done = object->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                       [&] { return object->done; });
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    calls::Scope call("CloseHandle", calls::Point | calls::CanFail | calls::Whole, OpenedPathOf,
                      handle);
    // A close that fails still closes: the handle is gone, and what was not yet written too.
    bool closed = false;
    if (CloseFileHandle(handle, closed, call.Fails())) {
        if (call.Fails()) {
            SetError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        return closed ? TRUE : FALSE;
    }
    if (call.Fails()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (CloseToken(handle) || CloseMutex(handle))
        return TRUE;
    ThreadObject* object = Lookup(handle);
    if (object == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(object->lock);
    object->closed = true;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) {
    // Threads not made by CreateThread (the main thread) get theirs when they first ask.
    if (currentThreadId == 0)
        currentThreadId = nextThreadId++;
    return currentThreadId;
}

DWORD WINAPI GetTickCount(void) {
    calls::Scope call("GetTickCount", calls::Point);
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return (DWORD)std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
}

void WINAPI Sleep(DWORD milliseconds) {
    calls::Scope call("Sleep", calls::Point);
    if (milliseconds == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
