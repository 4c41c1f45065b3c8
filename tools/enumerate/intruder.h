// Another user of the PC acting at one call of setup's: which act fits a call, what it does with
// the paths the call names, and how a run's end is judged against what that user did.
//
// The acts, each aimed at the call's path (a listing's folder for a pattern; the install folder
// for a call that names no path on a fixed drive):
//   swap-parent        the folder the path is in becomes a directory link to the
//                      administrators-only folder (renamed aside first when it is there)
//   swap-grandparent   the same, one folder higher
//   junction           the path itself becomes such a link (renamed aside first)
//   junction-windows   the same, to the Windows folder
//   hardlink           the path becomes another name of the player's read-only file (what was
//                      there renamed aside)
//   hardlink-admin     the same, of a file in the administrators-only folder
//   drop               a file of the other user's appears in the folder the path names (or the
//                      folder it is in)
//   write              the file at the path is written over
//   journal            setup's journal gains records that name the product's links, where only
//                      an administrator may write
//   journal-outside    setup's journal gains records that name the administrators-only folder
// An act with nothing to aim at (a root has no parent, no file is there to write over, no
// journal can be read) gives way to the next one that fits the call.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "other_user.h"
#include "snapshot.h"

namespace enumerate::intruder {

// What the other user aims at, as Windows paths in code page 950.
struct Places {
    std::string installFolder;
    std::string aim;    // a folder only administrators may change
    std::string system; // the Windows folder
    std::string victim; // a file in aim
    std::string player; // a read-only file of the player's in the install folder
    // The product's links where only the administrator may write (the earlier install's).
    std::vector<std::string> links;
    // The drive letters (lower case) of the fixed drives the acts aim at; other paths (a disc's)
    // are no aim.
    std::string drives = "c";
};

// One line a field ("install <path>", "aim <path>", ..., "link <path>", "drives <letters>"), for
// the machine folder's intruder.txt; Load gives false for a line it does not know.
std::string Save(const Places& places);
bool Load(const std::string& text, Places& places);

enum class Kind {
    SwapParent,
    SwapGrandparent,
    Junction,
    JunctionWindows,
    Hardlink,
    HardlinkAdmin,
    Drop,
    Write,
    Journal,
    JournalOutside,
};

// An act and the call's path it aims at (1: the first the call names).
struct Act {
    Kind kind = Kind::Drop;
    int path = 1;
    bool operator==(const Act&) const = default;
};

// "swap-parent", "write:2" (the call's second path) and back.
std::string Name(const Act& act);
std::optional<Act> ParseAct(const std::string& name);

// The acts that fit a call of function naming paths, in the order the runs go through them: for
// each path that lies on one of places' drives below its root, the acts that fit that kind of
// call first; the journal's acts last. A call that names no such path gets the acts aimed at the
// install folder.
std::vector<Act> ActsFor(const std::string& function, const std::vector<std::string>& paths,
                         const Places& places);

// What is at a path, as the other user finds it.
enum class There { Nothing, File, Folder };

// Setup's journal as the other user could read it.
struct Journal {
    std::string path;
    std::string content;
};

// What the other user does for act at a call naming paths, or nothing where the act has nothing
// to aim at.
std::optional<winsim::OtherUserAct> PlanAct(const Act& act, const std::vector<std::string>& paths,
                                            const Places& places,
                                            const std::function<There(const std::string&)>& there,
                                            const std::optional<Journal>& journal);

// The journal with its whole lines kept (a last line without its end dropped) and records (UTF-8,
// as a scenario's journal line gives them) after them.
std::string RewrittenJournal(const std::string& content, const std::vector<std::string>& records);

// The folder of a Windows path (code page 950: a trail byte 0x5C is no separator), and whether a
// path is a drive's root.
std::string FolderOf(const std::string& path);
bool IsRoot(const std::string& path);

// What an act reaches, as Windows paths: each path with all below it, the entry of a folder
// alone (a link's folder keeps the link's owner), and what it renamed aside, which is the other
// user's from then on, whatever comes to be in it.
struct Reach {
    std::vector<std::string> trees;
    std::vector<std::string> entries;
    std::vector<std::string> moved;
};
Reach ReachOf(const winsim::OtherUserAct& act);

// What the other user did: the machine just before and after the act, what the act reached (as
// keys of a machine state), and whether it was done.
struct Trace {
    bool done = false;
    scenario::MachineState before, after;
    std::vector<std::string> trees, entries, moved;
};

// The keys of the entries the act added, removed or changed.
std::set<std::string> Theirs(const Trace& trace);

// A way a run's end differs from where setup should have left the machine.
struct Difference {
    std::string path;
    std::string what; // "added", "removed", "changed content", "changed time", ...
};

// How the machine at its end (final) differs from target, the machine setup was to leave (as it
// was before, or completely installed), with what the other user did: an entry the act changed
// may be as the act left it or as target has it; what the act renamed aside is the user's,
// whatever is in it; a folder target lacks may stay where it holds what the act made. Anything
// else must be as in target, every entry with its content, time, attributes, owner and access
// list; the times of timeless entries (setup's new links) are not compared, nor the content of
// described ones (links that describe a target the other user swapped).
std::vector<Difference> Differences(const scenario::MachineState& target,
                                    const scenario::MachineState& final, const Trace& trace,
                                    const std::set<std::string>& timeless = {},
                                    const std::set<std::string>& described = {});

// Whether a state key lies at or under another.
bool Under(const std::string& key, const std::string& top);

} // namespace enumerate::intruder
