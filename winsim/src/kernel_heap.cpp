// The process heap over the host's allocator: GetProcessHeap, HeapAlloc, HeapReAlloc, HeapFree.
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "call_points.h"

using namespace winsim;

namespace {

// The one heap there is: its handle is an address that no other handle has.
int processHeap;

// Each block starts with its size, so that a grown block can be zeroed past the old end.
struct alignas(std::max_align_t) BlockHead {
    SIZE_T bytes;
};

BlockHead* HeadOf(LPVOID block) {
    return static_cast<BlockHead*>(block) - 1;
}

LPVOID Place(void* memory, SIZE_T bytes) {
    if (memory == nullptr)
        return nullptr;
    auto* head = static_cast<BlockHead*>(memory);
    head->bytes = bytes;
    return head + 1;
}

} // namespace

HANDLE WINAPI GetProcessHeap(void) {
    calls::Scope call("GetProcessHeap", calls::Point);
    return &processHeap;
}

// Like Windows without HEAP_GENERATE_EXCEPTIONS, a failed allocation returns NULL and sets no
// last error.
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    calls::Scope call("HeapAlloc", calls::Point | calls::CanFail);
    if (call.Fails() || heap != &processHeap)
        return nullptr;
    void* memory = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, sizeof(BlockHead) + bytes)
                                                   : std::malloc(sizeof(BlockHead) + bytes);
    return Place(memory, bytes);
}

// A block that can't grow stays as it was.
LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    calls::Scope call("HeapReAlloc", calls::Point | calls::CanFail);
    if (call.Fails() || heap != &processHeap || block == nullptr)
        return nullptr;
    SIZE_T old = HeadOf(block)->bytes;
    void* memory = std::realloc(HeadOf(block), sizeof(BlockHead) + bytes);
    LPVOID grown = Place(memory, bytes);
    if (grown != nullptr && (flags & HEAP_ZERO_MEMORY) != 0 && bytes > old)
        std::memset(static_cast<char*>(grown) + old, 0, bytes - old);
    return grown;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    calls::Scope call("HeapFree", calls::Point);
    (void)flags;
    if (heap != &processHeap)
        return FALSE;
    if (block != nullptr)
        std::free(HeadOf(block));
    return TRUE;
}
