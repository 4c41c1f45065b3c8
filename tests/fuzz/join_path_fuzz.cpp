// Any path and name: the join either fits its MAX_PATH buffer with two NULs, with a separator
// between them unless the path's last character is one, or leaves the path as it was, and never
// writes outside the buffer.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Input: path bytes, a NUL, name bytes. The path is cut to fit the buffer.
    const std::uint8_t* split = (const std::uint8_t*)std::memchr(data, 0, size);
    std::size_t pathLength = split != nullptr ? (std::size_t)(split - data) : size;
    if (pathLength >= MAX_PATH)
        pathLength = MAX_PATH - 1;
    std::size_t nameStart = split != nullptr ? (std::size_t)(split - data) + 1 : size;
    char* name = (char*)std::malloc(size - nameStart + 1);
    std::memcpy(name, data + nameStart, size - nameStart);
    name[size - nameStart] = '\0';

    // An exact MAX_PATH heap block, so AddressSanitizer sees any byte written past it.
    char* path = (char*)std::malloc(MAX_PATH);
    std::memset(path, 'x', MAX_PATH);
    std::memcpy(path, data, pathLength);
    path[pathLength] = '\0';
    std::size_t before = std::strlen(path);
    // A separator goes between them unless the path's last character, read character by
    // character, is one.
    const char* last = nullptr;
    for (const char* at = path; *at != '\0'; at = CharNextA(at))
        last = at;
    std::size_t separator = last != nullptr && *last != '\\' && *last != '/' ? 1 : 0;

    if (JoinPath(path, name)) {
        std::size_t after = std::strlen(path);
        if (after + 2 > MAX_PATH || path[after + 1] != '\0' ||
            after != before + separator + std::strlen(name))
            std::abort();
        if (std::strncmp(path + after - std::strlen(name), name, std::strlen(name)) != 0)
            std::abort();
    } else if (std::strlen(path) != before) {
        std::abort();
    }
    std::free(path);
    std::free(name);
    return 0;
}
