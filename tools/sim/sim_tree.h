// Directory trees of a volume: the difference between two trees, copying the
// live tree into a snapshot and removing a snapshot. Nothing here follows a
// symbolic link.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Change types of the change-scan records.
enum class ChangeType : uint32_t {
    DirCreate = 1,
    DirDelete = 2,
    InodeCreate = 3,
    InodeAccessed = 4,
    InodeModified = 5,
    InodeDeleted = 6,
};

// File types as the NFSv4 file-type numbers.
enum class FileType : uint32_t {
    Regular = 1,
    Directory = 2,
    Block = 3,
    Character = 4,
    Symlink = 5,
    Socket = 6,
    Fifo = 7,
};

// The attributes a change record reports, in seconds.
struct EntryAttrs {
    uint64_t inode = 0;
    FileType type = FileType::Regular;
    int64_t crtime = 0;
    int64_t mtime = 0;
    int64_t atime = 0;
    int64_t ctime = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t mode = 0; // permission and set-id bits
    uint64_t size = 0;
    uint32_t links = 0;
};

struct Change {
    ChangeType type;
    std::string path; // relative to the tree's root, beginning with "/"
    EntryAttrs attrs; // of the entry in the later tree; of the earlier one for deletions
};

// The changes that turn `base` (an empty tree when absent) into `diff`.
// Entries are matched by path. Created: only in diff. Deleted: only in base.
// Modified: in both, with a different type, mode, owner, group or mtime
// (nanoseconds), or for regular files a different size or content, for
// symbolic links a different target, for devices a different device number.
// Accessed: in both and otherwise equal, with a different atime; listed only
// when `report_atime` is set (symbolic links are never "accessed": reading
// their target updates their atime). Each directory's entries are listed in
// byte order of their names; a created directory precedes its contents, a
// deleted directory follows them. Throws ApiError (file system) when a tree
// cannot be read.
std::vector<Change> tree_difference(const std::optional<std::string> &base, const std::string &diff,
                                    bool report_atime);

// Copies the tree at `from` (without its top-level entry `skip_top`, when not
// empty) to the new directory `to`, preserving types, modes, times, symbolic
// links and, when permitted, owners. Throws ApiError (file system).
void tree_copy(const std::string &from, const std::string &to, const std::string &skip_top);

// Removes the tree at `path` (without following symbolic links). Throws
// ApiError (file system).
void tree_remove(const std::string &path);

} // namespace sim
