// Another user of the machine, a standard user who is not setup's, acting on the file system
// between two of setup's calls: each act is checked against the access lists as that user, and
// the handles open on the machine keep it out where their share modes say. A refused act
// changes nothing, but for a swap or a relink refused after its rename whose name a thread of
// setup's took meanwhile: that rename stays, as it would on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

// The acts, with Windows paths in code page 950, whose names may hold the wildcards of
// FindFirstFileA ('*', '?'): each such name is the first its folder lists for it.
//   swap <folder> <other folder>   renames the folder to <folder>.aside and makes a directory
//                                  link in its place that leads to the other folder
//   link <path> <folder>           makes a directory link (a junction) to the folder
//   file <path> <content>          makes a new file
//   write <path> <content>         writes over a file that is there
//   hardlink <path> <file>         gives the file another name
//   relink <path> <file>           renames what is at path (if anything) to <path>.aside and
//                                  gives the file the name path in its place (the name put
//                                  back when the link can't be made)
//   delete <path>                  deletes a file, an empty folder or a directory link
//   move <path> <new path>         renames a file, folder or link
struct OtherUserAct {
    std::string kind;
    std::vector<std::string> arguments;
};

// Whether kind is one of the acts above and takes that many arguments.
bool IsOtherUserAct(const std::string& kind, size_t arguments);

// Performs the act as the other user: 0, or the Win32 error that refused it. The calling
// thread's last error is as it was. done, where given, is what the act changed: the act, a
// "move" aside where its rename stayed (above), or nothing (no kind).
std::uint32_t ActAsOtherUser(const OtherUserAct& act, OtherUserAct* done = nullptr);

// Reads a whole file as the other user, sharing it with every other handle: 0 with content, or
// the Win32 error that kept the user out. The calling thread's last error is as it was.
std::uint32_t ReadAsOtherUser(const std::string& path, std::string& content);

// Makes a directory link at path to folder (Windows paths) for the calling thread's user: 0 or
// the Win32 error (ERROR_INVALID_FUNCTION where the drive has no reparse points).
std::uint32_t MakeDirectoryLink(const char* path, const char* folder);

} // namespace winsim
