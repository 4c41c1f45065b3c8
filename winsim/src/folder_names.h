// The names in host folders, kept so that an entry can be found whatever its letter case
// without reading its whole folder each time: HostPath looks for one at every file the install
// creates.
#pragma once

#include <optional>
#include <string>
#include <sys/stat.h>

namespace winsim {

struct NameInFolder {
    // False when the folder's names can't be kept (not a local file system, no inotify, the
    // folder changed while it was read): the caller reads the folder itself.
    bool known = false;
    // The entry whose name equals the one asked for but for ASCII letter case: that name itself
    // when it is there, else the first such name in byte order; nullopt when there is none.
    std::optional<std::string> entry;
};

// Looks for name in the host folder at path, of which stat just gave info. The answer is as
// fresh as a new listing: every change to the folder that was made before the call, by any
// process, counts. Callers hold machineLock().
NameInFolder FindInFolder(const std::string& path, const struct stat& info,
                          const std::string& name);

// Whether FindInFolder has kept the names of the folder that was at path when it last looked:
// then a name there is best looked for there first. Callers hold machineLock().
bool FolderNamesKeptAt(const std::string& path);

} // namespace winsim
