// Folder listings kept current through inotify. A folder is read once, when a name is first
// looked for in it, with a watch on it from before the reading; from then on its entries'
// arrivals and departures come as events, which are applied before each lookup. The kernel
// queues an event before the call that made the change returns, so a lookup sees every change
// made before it, as a new listing would. Folders are known by device and inode, never by path:
// a path that comes to name another folder (renamed, removed and made again, mounted over) gets
// that folder's own listing.
#include "folder_names.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <map>
#include <pthread.h>
#include <set>
#include <string_view>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>

namespace winsim {
namespace {

// The changes that add or remove names; IN_IGNORED, IN_UNMOUNT and IN_Q_OVERFLOW always come.
constexpr std::uint32_t Watched =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

// Past this many folders every listing is dropped and reading starts over.
constexpr size_t MostFolders = 512;

// Room for the longest event, its name padded.
constexpr size_t LongestEvent = sizeof(inotify_event) + NAME_MAX + 1 + sizeof(inotify_event);

// File systems whose every change passes through this kernel, so that inotify hears of it. On
// network and FUSE file systems another machine's changes would go unnoticed.
bool IsLocal(const struct statfs& where) {
    switch ((unsigned long)where.f_type) {
    case EXT4_SUPER_MAGIC: // also ext2 and ext3
    case TMPFS_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case RAMFS_MAGIC:
        return true;
    default:
        return false;
    }
}

// strcasecmp's letter case: ASCII letters only.
std::string Folded(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    }
    return folded;
}

struct Listing {
    dev_t device = 0;
    ino_t inode = 0;
    std::multimap<std::string, std::string> names; // folded name -> name

    void Add(const std::string& name) {
        auto [first, last] = names.equal_range(Folded(name));
        for (auto at = first; at != last; ++at) {
            if (at->second == name)
                return;
        }
        names.emplace(Folded(name), name);
    }
    void Remove(const std::string& name) {
        auto [first, last] = names.equal_range(Folded(name));
        for (auto at = first; at != last; ++at) {
            if (at->second == name) {
                names.erase(at);
                return;
            }
        }
    }
    std::optional<std::string> Find(const std::string& name) const {
        std::optional<std::string> found;
        auto [first, last] = names.equal_range(Folded(name));
        for (auto at = first; at != last; ++at) {
            if (at->second == name)
                return name;
            if (!found || at->second < *found)
                found = at->second;
        }
        return found;
    }
};

// A child made by fork shares the parent's queue: reading it would take events from the
// parent. The child leaves it alone and opens its own.
std::atomic<bool> forked{false};

void MarkForked() {
    forked = true;
}

class FolderNames {
  public:
    NameInFolder Find(const std::string& path, const struct stat& info, const std::string& name) {
        if (!S_ISDIR(info.st_mode) || !Open())
            return {};
        Drain();
        Listing* listing = nullptr;
        auto known = watchOf_.find({info.st_dev, info.st_ino});
        if (known != watchOf_.end()) {
            auto found = byWatch_.find(known->second);
            if (found != byWatch_.end())
                listing = &found->second;
        }
        if (listing == nullptr)
            listing = Read(path, info);
        if (listing == nullptr)
            return {};
        if (keptAt_.size() >= MostFolders)
            keptAt_.clear();
        keptAt_.insert(path);
        return {true, listing->Find(name)};
    }

    bool KeptAt(const std::string& path) const { return keptAt_.count(path) != 0; }

  private:
    bool Open() {
        if (forked) {
            forked = false;
            Forget();
        }
        if (queue_ >= 0)
            return true;
        if (unavailable_)
            return false;
        if (!atForkSet_) {
            atForkSet_ = pthread_atfork(nullptr, nullptr, MarkForked) == 0;
            if (!atForkSet_) {
                unavailable_ = true;
                return false;
            }
        }
        queue_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        unavailable_ = queue_ < 0;
        return queue_ >= 0;
    }

    // Drops every listing and the queue with them.
    void Forget() {
        if (queue_ >= 0)
            close(queue_);
        queue_ = -1;
        byWatch_.clear();
        watchOf_.clear();
        keptAt_.clear();
    }

    void Drop(int watch) {
        auto found = byWatch_.find(watch);
        if (found == byWatch_.end())
            return;
        watchOf_.erase({found->second.device, found->second.inode});
        byWatch_.erase(found);
    }

    // Applies every event queued so far.
    void Drain() {
        alignas(inotify_event) char buffer[16 * 1024];
        while (queue_ >= 0) {
            ssize_t got = read(queue_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EAGAIN)
                return;
            if (got <= 0) {
                Forget();
                return;
            }
            for (ssize_t at = 0; at < got && queue_ >= 0;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                Apply(*event);
                at += sizeof(inotify_event) + event->len;
            }
            // With room for one more event left, the read took all there were.
            if ((size_t)got + LongestEvent <= sizeof buffer)
                return;
        }
    }

    void Apply(const inotify_event& event) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            Forget();
            return;
        }
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)) != 0) {
            Drop(event.wd);
            return;
        }
        auto found = byWatch_.find(event.wd);
        if (found == byWatch_.end() || event.len == 0)
            return;
        if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0)
            found->second.Add(event.name);
        else if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0)
            found->second.Remove(event.name);
    }

    // Watches the folder at path, then reads it; nullptr when it can't be kept.
    Listing* Read(const std::string& path, const struct stat& info) {
        if (byWatch_.size() >= MostFolders) {
            Forget();
            if (!Open())
                return nullptr;
        }
        int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0)
            return nullptr;
        struct stat opened;
        struct statfs where;
        if (fstat(folder, &opened) != 0 || opened.st_dev != info.st_dev ||
            opened.st_ino != info.st_ino || fstatfs(folder, &where) != 0 || !IsLocal(where)) {
            close(folder);
            return nullptr;
        }
        // The watch goes on the folder that is open, whatever its path names by now.
        std::string self = "/proc/self/fd/" + std::to_string(folder);
        int watch = inotify_add_watch(queue_, self.c_str(), Watched);
        if (watch < 0) {
            close(folder);
            return nullptr;
        }
        // A watch that was there already belonged to a folder that is gone, whose inode this
        // one has taken before the queue said so.
        Drop(watch);
        DIR* entries = fdopendir(folder);
        if (entries == nullptr) {
            close(folder);
            inotify_rm_watch(queue_, watch);
            return nullptr;
        }
        Listing listing;
        listing.device = info.st_dev;
        listing.inode = info.st_ino;
        bool whole = true;
        for (;;) {
            errno = 0;
            const dirent* entry = readdir(entries);
            if (entry == nullptr) {
                whole = errno == 0;
                break;
            }
            std::string_view name = entry->d_name;
            if (name != "." && name != "..")
                listing.Add(entry->d_name);
        }
        closedir(entries);
        if (!whole) {
            inotify_rm_watch(queue_, watch);
            return nullptr;
        }
        // Changes made while the folder was read are queued too; applied again on top of the
        // listing, each leaves the name as its latest change left it.
        watchOf_[{info.st_dev, info.st_ino}] = watch;
        return &(byWatch_[watch] = std::move(listing));
    }

    int queue_ = -1;
    bool unavailable_ = false;
    bool atForkSet_ = false;
    std::map<int, Listing> byWatch_;
    std::map<std::pair<dev_t, ino_t>, int> watchOf_;
    // Paths of folders whose names were kept when they were last looked at: only a hint, as
    // a path may have come to name another folder since.
    std::set<std::string> keptAt_;
};

FolderNames& Names() {
    // Never destroyed: threads may still look names up while the process exits.
    static FolderNames* names = new FolderNames;
    return *names;
}

} // namespace

NameInFolder FindInFolder(const std::string& path, const struct stat& info,
                          const std::string& name) {
    return Names().Find(path, info, name);
}

bool FolderNamesKeptAt(const std::string& path) {
    return Names().KeptAt(path);
}

} // namespace winsim
