// The kernel objects other than files and threads that a handle may stand for: the process's
// token and named mutexes. CloseHandle and WaitForSingleObject come here for them.
#pragma once

#include <windows.h>

#include <optional>

namespace winsim {

// Closes a token handle: false when handle is none.
bool CloseToken(void* handle);
// Closes a mutex handle: false when handle is none.
bool CloseMutex(void* handle);
// Waits for a mutex: WAIT_OBJECT_0 (now owned by the calling thread), WAIT_ABANDONED (owned,
// and its last owner's process ended while it owned it) or WAIT_TIMEOUT; nullopt when handle is
// no mutex.
std::optional<DWORD> WaitForMutex(void* handle, DWORD milliseconds);
// Whether this process holds a handle to a named mutex (a test's look at a running installer).
bool HoldsNamedMutex();

// The flags of the RedirectionGuard policy this process set (0: none).
DWORD RedirectionTrustFlags();

} // namespace winsim
