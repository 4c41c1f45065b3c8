// The owner and access list of every file and folder of an NTFS drive, and the checks of each
// call against them for the user it is made as. A FAT32 or exFAT drive, a CD-ROM and a floppy
// keep none: everyone may do everything there that the medium allows.
//
// A descriptor is kept only where it differs from what an administrator's program would have
// given the object by making it where it is: in the extended attribute user.winsim.sd of the
// host file (its SDDL text), and for a directory link, which as a host symbolic link holds no
// attributes of its own, in an attribute of the folder it is in. Every other object has the
// descriptor that inheritance from its folder gives it, with Administrators as its owner; a
// drive's root, and on drive C the Windows folder and the Program Files folders, have the ones
// Windows Vista to 11 give them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "security.h"

namespace winsim::files {

// The token the calling thread's calls are checked as: the process's (setup's user) unless the
// thread acts as someone else for a while (ActingAs).
const security::Token& CurrentToken();
// The process's token: an elevated administrator's unless the machine says "user standard".
const security::Token& ProcessToken();

// Makes the calling thread's calls those of token while it lives.
class ActingAs {
  public:
    explicit ActingAs(const security::Token& token);
    // The token must outlive the scope: a temporary one would be gone at once.
    explicit ActingAs(const security::Token&&) = delete;
    ~ActingAs();
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

  private:
    const security::Token* saved_;
};

// Whether the drive is a fixed NTFS drive, and whether it keeps access lists (one that is, on a
// Windows of the NT line: Windows 95, 98 and ME keep none anywhere).
bool IsNtfs(char letter);
bool KeepsSecurity(char letter);

// The descriptor of the host entry on drive letter: of what a directory link leads to (follow),
// or of the link itself; nullopt where the drive keeps none.
std::optional<security::Descriptor> DescriptorOf(char letter, const std::string& host,
                                                 bool follow = true);

// The access the current token is granted to the entry, of desired; everything where the drive
// keeps no access lists.
std::uint32_t Granted(char letter, const std::string& host, std::uint32_t desired,
                      bool follow = true);
bool Allowed(char letter, const std::string& host, std::uint32_t desired, bool follow = true);
// Whether the entry may be deleted or renamed away: DELETE on it, or FILE_DELETE_CHILD on its
// folder.
bool MayDelete(char letter, const std::string& host);
// Whether a file (folder false) or folder may be made in the host folder.
bool MayAdd(char letter, const std::string& folderHost, bool folder);

// The descriptor a new entry made by the current token gets, and keeps it where it differs
// from the one it would have without (as an administrator's program makes it). explicitBytes:
// the descriptor of SECURITY_ATTRIBUTES, or null.
void RecordNewEntry(char letter, const std::string& host, bool folder,
                    const std::optional<security::Descriptor>& explicitDescriptor);
// Keeps the descriptor an entry has now with the entry itself, before it moves to another folder
// (a moved entry keeps its access list), or gets another name (a hard link).
void KeepDescriptor(char letter, const std::string& host);
// Forgets the descriptor kept with an entry where it is what the entry would have without it
// (a moved entry back in its folder).
void ForgetDescriptorIfPlain(char letter, const std::string& host);
// Stores a descriptor on an entry (a scenario's layout: "acl").
bool StoreDescriptor(const std::string& host, const security::Descriptor& descriptor);
// Moves the kept descriptor of a directory link along with it, and forgets one that is removed.
void MoveLinkDescriptor(const std::string& from, const std::string& to);
void ForgetLinkDescriptor(const std::string& host);

// The descriptor the machine answers for a file or folder on a drive that keeps none: owner and
// group Everyone, a NULL DACL.
security::Descriptor WorldDescriptor();

// Something changed that may change a folder's descriptor or where a path leads: an entry moved
// or removed, a link made. (What the checks worked out of folders is kept until then.)
void Changed();

// The canonical host path of an entry: its folder with every link resolved, and its own name;
// and the same with the entry itself resolved where it is a link.
std::string CanonicalEntry(const std::string& host);
std::string ResolvedEntry(const std::string& host);

} // namespace winsim::files
