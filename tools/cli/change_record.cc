#include "change_record.h"

namespace kovrel_cli {

std::optional<ChangeKind> change_kind_from_record(uint32_t change_type) {
    switch (change_type) {
    case CHGSCAN_OP_DIR_CREATE:
    case CHGSCAN_OP_INODE_CREATE:
        return ChangeKind::created;
    case CHGSCAN_OP_DIR_DELETE:
    case CHGSCAN_OP_INODE_DELETED:
        return ChangeKind::deleted;
    case CHGSCAN_OP_INODE_MODIFIED:
        return ChangeKind::modified;
    case CHGSCAN_OP_INODE_ACCESSED:
        return ChangeKind::accessed;
    default:
        return std::nullopt;
    }
}

FileKind file_kind_from_record(uint32_t ftype) {
    switch (ftype) {
    case 1:
        return FileKind::file;
    case 2:
        return FileKind::dir;
    case 5:
        return FileKind::symlink;
    default:
        return FileKind::other;
    }
}

std::string_view change_kind_name(ChangeKind kind) {
    switch (kind) {
    case ChangeKind::created:
        return "created";
    case ChangeKind::deleted:
        return "deleted";
    case ChangeKind::modified:
        return "modified";
    case ChangeKind::accessed:
        return "accessed";
    }
    return "modified";
}

std::string_view file_kind_name(FileKind kind) {
    switch (kind) {
    case FileKind::dir:
        return "dir";
    case FileKind::file:
        return "file";
    case FileKind::symlink:
        return "symlink";
    case FileKind::other:
        break;
    }
    return "other";
}

std::optional<ChangeKind> change_kind_from_name(std::string_view name) {
    for (ChangeKind kind :
         {ChangeKind::created, ChangeKind::deleted, ChangeKind::modified, ChangeKind::accessed})
        if (change_kind_name(kind) == name)
            return kind;
    return std::nullopt;
}

char change_mark(ChangeKind kind) {
    switch (kind) {
    case ChangeKind::created:
        return '+';
    case ChangeKind::deleted:
        return '-';
    case ChangeKind::modified:
        return 'M';
    case ChangeKind::accessed:
        return 'A';
    }
    return 'M';
}

std::string volume_path(const char *name, unsigned int length) {
    std::string path;
    if (name == nullptr)
        length = 0;
    path.reserve(length + 1);
    if (length == 0 || name[0] != '/')
        path.push_back('/');
    path.append(name != nullptr ? name : "", length);
    return path;
}

} // namespace kovrel_cli
