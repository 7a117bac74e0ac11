// Tree walking for the difference, the snapshot copy and the removal. Every
// directory is opened relative to its parent with O_NOFOLLOW, so a symbolic
// link is always an entry of its own and never leads out of the tree, and
// with O_NOATIME where permitted, so that the simulator's own reading does
// not turn up as "accessed" changes in a later difference.
#include "sim_tree.h"

#include "sim_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sim {
namespace {

// Directories deeper than this are refused: each level keeps a descriptor
// open while its entries are visited.
constexpr int MAX_DEPTH = 256;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    Fd(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

[[noreturn]] void fail(const std::string &what, const std::string &path, int err) {
    throw ApiError(SIM_EFILESYSTEM, what + " \"" + path + "\": " + std::strerror(err));
}

std::string join(const std::string &dir, const std::string &name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// openat with O_NOATIME, falling back to plain reading where the caller does
// not own the file (O_NOATIME is refused with EPERM then).
int open_noatime(int dirfd, const char *name, int flags) {
    int fd = ::openat(dirfd, name, flags | O_NOATIME | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == EPERM)
        fd = ::openat(dirfd, name, flags | O_NOFOLLOW | O_CLOEXEC);
    return fd;
}

Fd open_dir(int dirfd, const char *name, const std::string &abs) {
    int fd = open_noatime(dirfd, name, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        fail("cannot open directory", abs, errno);
    return Fd(fd);
}

struct Node {
    std::string name;
    struct statx st;
};

struct statx stat_entry(int dirfd, const char *name, const std::string &abs) {
    struct statx st {};
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    if (::statx(dirfd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        fail("cannot read the attributes of", abs, errno);
    return st;
}

// The entries of a directory, sorted by name (byte order).
std::vector<Node> list_dir(int fd, const std::string &abs) {
    int copy = ::dup(fd);
    if (copy < 0)
        fail("cannot read directory", abs, errno);
    DIR *dir = ::fdopendir(copy);
    if (dir == nullptr) {
        int err = errno;
        ::close(copy);
        fail("cannot read directory", abs, err);
    }
    std::vector<Node> nodes;
    errno = 0;
    while (struct dirent *e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        nodes.push_back({e->d_name, {}});
        errno = 0;
    }
    int err = errno;
    ::closedir(dir);
    if (err != 0)
        fail("cannot read directory", abs, err);
    // An entry that went away since the listing (the live tree may change
    // while it is copied) is left out rather than failing the copy.
    std::vector<Node> present;
    for (Node &n : nodes) {
        if (::statx(fd, n.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                    &n.st) == 0)
            present.push_back(std::move(n));
        else if (errno != ENOENT)
            fail("cannot read the attributes of", join(abs, n.name), errno);
    }
    nodes.swap(present);
    std::sort(nodes.begin(), nodes.end(),
              [](const Node &a, const Node &b) { return a.name < b.name; });
    return nodes;
}

bool is_dir(const struct statx &st) {
    return S_ISDIR(st.stx_mode);
}

FileType file_type(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return FileType::Directory;
    case S_IFBLK:
        return FileType::Block;
    case S_IFCHR:
        return FileType::Character;
    case S_IFLNK:
        return FileType::Symlink;
    case S_IFSOCK:
        return FileType::Socket;
    case S_IFIFO:
        return FileType::Fifo;
    default:
        return FileType::Regular;
    }
}

EntryAttrs attrs_of(const struct statx &st) {
    EntryAttrs a;
    a.inode = st.stx_ino;
    a.type = file_type(st.stx_mode);
    // Not every file system keeps a birth time; the change time is the
    // closest it offers then.
    a.crtime = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : st.stx_ctime.tv_sec;
    a.mtime = st.stx_mtime.tv_sec;
    a.atime = st.stx_atime.tv_sec;
    a.ctime = st.stx_ctime.tv_sec;
    a.uid = st.stx_uid;
    a.gid = st.stx_gid;
    a.mode = st.stx_mode & 07777;
    a.size = st.stx_size;
    a.links = st.stx_nlink;
    return a;
}

bool same_time(const struct statx_timestamp &a, const struct statx_timestamp &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string read_link(int dirfd, const std::string &name, const std::string &abs) {
    std::string target(4096, '\0');
    ssize_t n = ::readlinkat(dirfd, name.c_str(), target.data(), target.size());
    if (n < 0)
        fail("cannot read symbolic link", abs, errno);
    target.resize(static_cast<size_t>(n));
    return target;
}

bool same_content(int base_dir, int diff_dir, const std::string &name, const std::string &base_abs,
                  const std::string &diff_abs) {
    Fd a(open_noatime(base_dir, name.c_str(), O_RDONLY));
    if (a.get() < 0)
        fail("cannot open", base_abs, errno);
    Fd b(open_noatime(diff_dir, name.c_str(), O_RDONLY));
    if (b.get() < 0)
        fail("cannot open", diff_abs, errno);
    std::vector<char> buf_a(65536), buf_b(65536);
    for (;;) {
        ssize_t na = ::read(a.get(), buf_a.data(), buf_a.size());
        if (na < 0)
            fail("cannot read", base_abs, errno);
        // Read the same amount from the other file, which may come in pieces.
        ssize_t nb = 0;
        while (nb < na) {
            ssize_t r = ::read(b.get(), buf_b.data() + nb, static_cast<size_t>(na - nb));
            if (r < 0)
                fail("cannot read", diff_abs, errno);
            if (r == 0)
                break;
            nb += r;
        }
        if (na != nb || std::memcmp(buf_a.data(), buf_b.data(), static_cast<size_t>(na)) != 0)
            return false;
        if (na == 0) {
            char extra;
            ssize_t r = ::read(b.get(), &extra, 1);
            return r == 0;
        }
    }
}

class DiffWalker {
  public:
    explicit DiffWalker(bool report_atime) : report_atime_(report_atime) {}
    std::vector<Change> changes;

    // Either descriptor may be -1: the directory is absent in that tree.
    void walk(int base_fd, int diff_fd, const std::string &rel, const std::string &base_abs,
              const std::string &diff_abs, int depth) {
        if (depth > MAX_DEPTH)
            throw ApiError(SIM_EFILESYSTEM, "directory \"" + rel + "\" is nested more than " +
                                                std::to_string(MAX_DEPTH) + " levels deep");
        std::vector<Node> base, diff;
        if (base_fd >= 0)
            base = list_dir(base_fd, base_abs);
        if (diff_fd >= 0)
            diff = list_dir(diff_fd, diff_abs);
        size_t i = 0, j = 0;
        while (i < base.size() || j < diff.size()) {
            int order = i == base.size()   ? 1
                        : j == diff.size() ? -1
                                           : base[i].name.compare(diff[j].name);
            if (order < 0) {
                deleted(base_fd, base[i], rel, base_abs, depth);
                ++i;
            } else if (order > 0) {
                created(diff_fd, diff[j], rel, diff_abs, depth);
                ++j;
            } else {
                in_both(base_fd, diff_fd, base[i], diff[j], rel, base_abs, diff_abs, depth);
                ++i;
                ++j;
            }
        }
    }

  private:
    bool report_atime_;

    void created(int diff_fd, const Node &n, const std::string &rel, const std::string &diff_abs,
                 int depth) {
        std::string path = join(rel, n.name);
        bool dir = is_dir(n.st);
        changes.push_back(
            {dir ? ChangeType::DirCreate : ChangeType::InodeCreate, path, attrs_of(n.st)});
        if (dir) {
            std::string abs = join(diff_abs, n.name);
            Fd sub = open_dir(diff_fd, n.name.c_str(), abs);
            walk(-1, sub.get(), path, "", abs, depth + 1);
        }
    }

    void deleted(int base_fd, const Node &n, const std::string &rel, const std::string &base_abs,
                 int depth) {
        std::string path = join(rel, n.name);
        bool dir = is_dir(n.st);
        if (dir) {
            std::string abs = join(base_abs, n.name);
            Fd sub = open_dir(base_fd, n.name.c_str(), abs);
            walk(sub.get(), -1, path, abs, "", depth + 1);
        }
        changes.push_back(
            {dir ? ChangeType::DirDelete : ChangeType::InodeDeleted, path, attrs_of(n.st)});
    }

    void in_both(int base_fd, int diff_fd, const Node &b, const Node &d, const std::string &rel,
                 const std::string &base_abs, const std::string &diff_abs, int depth) {
        std::string path = join(rel, d.name);
        std::string b_abs = join(base_abs, b.name), d_abs = join(diff_abs, d.name);
        bool b_dir = is_dir(b.st), d_dir = is_dir(d.st);
        if ((b.st.stx_mode & S_IFMT) != (d.st.stx_mode & S_IFMT)) {
            // A different type at the same path: the old subtree is gone and
            // the new one is entirely new.
            if (b_dir) {
                Fd sub = open_dir(base_fd, b.name.c_str(), b_abs);
                walk(sub.get(), -1, path, b_abs, "", depth + 1);
            }
            changes.push_back({ChangeType::InodeModified, path, attrs_of(d.st)});
            if (d_dir) {
                Fd sub = open_dir(diff_fd, d.name.c_str(), d_abs);
                walk(-1, sub.get(), path, "", d_abs, depth + 1);
            }
            return;
        }
        if (modified(base_fd, diff_fd, b, d, b_abs, d_abs))
            changes.push_back({ChangeType::InodeModified, path, attrs_of(d.st)});
        else if (report_atime_ && !S_ISLNK(d.st.stx_mode) &&
                 !same_time(b.st.stx_atime, d.st.stx_atime))
            changes.push_back({ChangeType::InodeAccessed, path, attrs_of(d.st)});
        if (d_dir) {
            Fd sub_b = open_dir(base_fd, b.name.c_str(), b_abs);
            Fd sub_d = open_dir(diff_fd, d.name.c_str(), d_abs);
            walk(sub_b.get(), sub_d.get(), path, b_abs, d_abs, depth + 1);
        }
    }

    // Same type assumed. The change time is not compared: every copy of a
    // tree has new change times.
    static bool modified(int base_fd, int diff_fd, const Node &b, const Node &d,
                         const std::string &b_abs, const std::string &d_abs) {
        const struct statx &x = b.st, &y = d.st;
        if (x.stx_uid != y.stx_uid || x.stx_gid != y.stx_gid ||
            !same_time(x.stx_mtime, y.stx_mtime))
            return true;
        switch (x.stx_mode & S_IFMT) {
        case S_IFLNK: // the mode of a symbolic link means nothing
            return read_link(base_fd, b.name, b_abs) != read_link(diff_fd, d.name, d_abs);
        case S_IFREG:
            return (x.stx_mode & 07777) != (y.stx_mode & 07777) || x.stx_size != y.stx_size ||
                   !same_content(base_fd, diff_fd, b.name, b_abs, d_abs);
        case S_IFBLK:
        case S_IFCHR:
            if (x.stx_rdev_major != y.stx_rdev_major || x.stx_rdev_minor != y.stx_rdev_minor)
                return true;
            [[fallthrough]];
        default: // directories (whose size is a file-system detail), fifos, sockets
            return (x.stx_mode & 07777) != (y.stx_mode & 07777);
        }
    }
};

Fd open_root(const std::string &path) {
    int fd = open_noatime(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        fail("cannot open directory", path, errno);
    return Fd(fd);
}

void set_owner(int dirfd, const char *name, const struct statx &st, const std::string &abs) {
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    // Only a privileged user may give files away; others keep their own
    // ownership, which is what a copy made by them would have.
    if (::fchownat(dirfd, name, st.stx_uid, st.stx_gid, flags) != 0 && errno != EPERM &&
        errno != EINVAL)
        fail("cannot set the owner of", abs, errno);
}

void set_times(int dirfd, const char *name, const struct statx &st, const std::string &abs) {
    struct timespec times[2] = {{st.stx_atime.tv_sec, st.stx_atime.tv_nsec},
                                {st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec}};
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    int rc = name[0] == '\0' ? ::futimens(dirfd, times) : ::utimensat(dirfd, name, times, flags);
    if (rc != 0)
        fail("cannot set the times of", abs, errno);
}

void copy_file(int src_dir, int dst_dir, const std::string &name, const std::string &src_abs,
               const std::string &dst_abs) {
    Fd in(open_noatime(src_dir, name.c_str(), O_RDONLY));
    if (in.get() < 0)
        fail("cannot open", src_abs, errno);
    Fd out(::openat(dst_dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600));
    if (out.get() < 0)
        fail("cannot create", dst_abs, errno);
    std::vector<char> buf(65536);
    for (;;) {
        ssize_t n = ::read(in.get(), buf.data(), buf.size());
        if (n < 0)
            fail("cannot read", src_abs, errno);
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out.get(), buf.data() + done, static_cast<size_t>(n - done));
            if (w < 0)
                fail("cannot write", dst_abs, errno);
            done += w;
        }
    }
}

void copy_dir(int src_fd, int dst_fd, const std::string &src_abs, const std::string &dst_abs,
              const std::string &skip, int depth) {
    if (depth > MAX_DEPTH)
        throw ApiError(SIM_EFILESYSTEM, "directory \"" + src_abs + "\" is nested more than " +
                                            std::to_string(MAX_DEPTH) + " levels deep");
    for (const Node &n : list_dir(src_fd, src_abs)) {
        if (!skip.empty() && n.name == skip)
            continue;
        const char *name = n.name.c_str();
        std::string s_abs = join(src_abs, n.name), d_abs = join(dst_abs, n.name);
        mode_t kind = n.st.stx_mode & S_IFMT;
        int rc = 0;
        switch (kind) {
        case S_IFDIR: {
            if (::mkdirat(dst_fd, name, 0700) != 0)
                fail("cannot create directory", d_abs, errno);
            Fd s = open_dir(src_fd, name, s_abs), d = open_dir(dst_fd, name, d_abs);
            copy_dir(s.get(), d.get(), s_abs, d_abs, "", depth + 1);
            break;
        }
        case S_IFREG:
            copy_file(src_fd, dst_fd, n.name, s_abs, d_abs);
            break;
        case S_IFLNK:
            rc = ::symlinkat(read_link(src_fd, n.name, s_abs).c_str(), dst_fd, name);
            break;
        case S_IFIFO:
            rc = ::mkfifoat(dst_fd, name, 0600);
            break;
        default: // sockets and devices; devices need the privilege to make them
            rc = ::mknodat(dst_fd, name, kind | 0600,
                           makedev(n.st.stx_rdev_major, n.st.stx_rdev_minor));
            break;
        }
        if (rc != 0)
            fail("cannot create", d_abs, errno);
        // Owner before mode (a change of owner clears set-id bits), times last
        // (setting the others changes nothing but the change time).
        set_owner(dst_fd, name, n.st, d_abs);
        if (kind != S_IFLNK && ::fchmodat(dst_fd, name, n.st.stx_mode & 07777, 0) != 0)
            fail("cannot set the mode of", d_abs, errno);
        set_times(dst_fd, name, n.st, d_abs);
    }
}

void remove_contents(int fd, const std::string &abs, int depth) {
    if (depth > MAX_DEPTH)
        throw ApiError(SIM_EFILESYSTEM, "directory \"" + abs + "\" is nested more than " +
                                            std::to_string(MAX_DEPTH) + " levels deep");
    for (const Node &n : list_dir(fd, abs)) {
        std::string sub_abs = join(abs, n.name);
        int flags = 0;
        if (is_dir(n.st)) {
            Fd sub = open_dir(fd, n.name.c_str(), sub_abs);
            // A read-only directory of a snapshot must become writable to be
            // emptied; it is removed right after.
            ::fchmod(sub.get(), 0700);
            remove_contents(sub.get(), sub_abs, depth + 1);
            flags = AT_REMOVEDIR;
        }
        if (::unlinkat(fd, n.name.c_str(), flags) != 0)
            fail("cannot remove", sub_abs, errno);
    }
}

} // namespace

std::vector<Change> tree_difference(const std::optional<std::string> &base, const std::string &diff,
                                    bool report_atime) {
    DiffWalker walker(report_atime);
    Fd diff_fd = open_root(diff);
    Fd base_fd;
    if (base)
        base_fd = open_root(*base);
    walker.walk(base_fd.get(), diff_fd.get(), "/", base ? *base : "", diff, 0);
    return std::move(walker.changes);
}

void tree_copy(const std::string &from, const std::string &to, const std::string &skip_top) {
    Fd src = open_root(from);
    struct statx root = stat_entry(src.get(), "", from);
    if (::mkdir(to.c_str(), 0700) != 0)
        fail("cannot create directory", to, errno);
    Fd dst = open_root(to);
    copy_dir(src.get(), dst.get(), from, to, skip_top, 0);
    set_owner(dst.get(), "", root, to);
    if (::fchmod(dst.get(), root.stx_mode & 07777) != 0)
        fail("cannot set the mode of", to, errno);
    set_times(dst.get(), "", root, to);
}

void tree_remove(const std::string &path) {
    {
        Fd fd = open_root(path);
        ::fchmod(fd.get(), 0700);
        remove_contents(fd.get(), path, 0);
    }
    if (::rmdir(path.c_str()) != 0)
        fail("cannot remove", path, errno);
}

} // namespace sim
