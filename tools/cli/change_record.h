// One change of a change-scan batch, in the form the output formats use,
// whatever the record version it came from.
#pragma once

#include <kovrel/cq_api.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kovrel_cli {

enum class ChangeKind { created, deleted, modified, accessed };
enum class FileKind { dir, file, symlink, other };

struct Change {
    ChangeKind kind = ChangeKind::modified;
    FileKind file_kind = FileKind::other;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t mtime = 0;
    int64_t ctime = 0;
    int64_t atime = 0;
    int64_t crtime = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t links = 0;
    uint32_t mode = 0; // the record's file-attribute word
    std::string path;  // raw bytes, beginning with "/"
};

// nullopt for CHGSCAN_OP_NONE and for values the protocol does not define.
std::optional<ChangeKind> change_kind_from_record(uint32_t change_type);

// The file types are NFSv4's: 1 regular file, 2 directory, 5 symbolic link.
FileKind file_kind_from_record(uint32_t ftype);

// "created", "deleted", "modified", "accessed" / "dir", "file", "symlink", "other".
std::string_view change_kind_name(ChangeKind kind);
std::string_view file_kind_name(FileKind kind);
// The inverse of change_kind_name.
std::optional<ChangeKind> change_kind_from_name(std::string_view name);
// The text format's marks: '+', '-', 'M', 'A'.
char change_mark(ChangeKind kind);

// A record's name made into a volume path: the bytes as sent, with a leading
// "/" added when missing (the root itself is "/").
std::string volume_path(const char *name, unsigned int length);

// nullopt for a record whose change type is not one of the four kinds.
// Directory creations and deletions are directories whatever the file type
// says.
template <typename Record> std::optional<Change> change_from_record(const Record &r) {
    const std::optional<ChangeKind> kind = change_kind_from_record(r.scr_change_type);
    if (!kind)
        return std::nullopt;
    Change c;
    c.kind = *kind;
    c.file_kind =
        r.scr_change_type == CHGSCAN_OP_DIR_CREATE || r.scr_change_type == CHGSCAN_OP_DIR_DELETE
            ? FileKind::dir
            : file_kind_from_record(r.scr_ftype);
    c.inode = r.scr_inode_num;
    c.size = r.scr_size;
    c.mtime = r.scr_mtime;
    c.ctime = r.scr_ctime;
    c.atime = r.scr_atime;
    c.crtime = r.scr_crtime;
    c.owner = r.scr_owner;
    c.group = r.scr_group;
    c.links = r.scr_links;
    c.mode = r.scr_fattr;
    c.path = volume_path(r.scr_name.scr_name_val, r.scr_name.scr_name_len);
    return c;
}

} // namespace kovrel_cli
