// Snapshots are directories DIR/.snapshot/SNAP. A snapshot appears under its
// name only when it is complete: it is copied under a hidden temporary name
// and renamed; a deletion renames it away first. Names beginning with "." are
// therefore not snapshot names, and listings skip them.
#include "sim_volumes.h"

#include "sim_error.h"
#include "sim_tree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr const char *SNAPSHOT_DIR = ".snapshot";

// Hidden names for snapshots being made or removed; the snapshot's own name
// is left out so that a 255-character name still fits.
std::string temp_name(const char *purpose) {
    static std::atomic<unsigned> counter{0};
    return std::string(".") + purpose + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter++);
}

[[noreturn]] void fail(const std::string &what, const std::string &path, int err) {
    throw ApiError(SIM_EFILESYSTEM, what + " \"" + path + "\": " + std::strerror(err));
}

} // namespace

Volumes::Volumes(std::vector<VolumeDir> volumes) : volumes_(std::move(volumes)) {}

const std::string &Volumes::dir_of(const std::string &volume) const {
    for (const VolumeDir &v : volumes_)
        if (v.name == volume)
            return v.dir;
    throw ApiError(SIM_ENOVOLUME, "volume \"" + volume + "\" does not exist");
}

void Volumes::check_snapshot_name(const std::string &name, const char *input) {
    if (name.empty() || name.size() > 255 || name[0] == '.' ||
        name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
        throw ApiError(SIM_EINVALIDINPUT,
                       std::string("input \"") + input + "\": \"" + name +
                           "\" is not a snapshot name (1 to 255 characters, no \"/\", not "
                           "beginning with \".\")");
}

std::string Volumes::snapshot_dir(const std::string &volume, const std::string &snapshot) const {
    const std::string &dir = dir_of(volume);
    std::string path = dir + "/" + SNAPSHOT_DIR + "/" + snapshot;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw ApiError(SIM_ENOSNAPSHOT,
                       "snapshot \"" + snapshot + "\" of volume \"" + volume + "\" does not exist");
    return path;
}

std::vector<SnapshotInfo> Volumes::snapshots(const std::string &volume) const {
    std::string dir = dir_of(volume) + "/" + SNAPSHOT_DIR;
    std::vector<SnapshotInfo> result;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        if (errno == ENOENT)
            return result; // no snapshot made yet
        fail("cannot read directory", dir, errno);
    }
    while (struct dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        struct statx st {};
        if (::statx(::dirfd(d), e->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                    &st) != 0 ||
            !S_ISDIR(st.stx_mode))
            continue;
        // The birth time of the snapshot directory is its creation; where the
        // file system keeps none, the last change of the directory itself
        // (the rename that completed it) is the closest.
        int64_t t = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : st.stx_ctime.tv_sec;
        result.push_back({e->d_name, t});
    }
    ::closedir(d);
    std::sort(result.begin(), result.end(), [](const SnapshotInfo &a, const SnapshotInfo &b) {
        return a.create_time != b.create_time ? a.create_time < b.create_time : a.name < b.name;
    });
    return result;
}

void Volumes::create_snapshot(const std::string &volume, const std::string &snapshot) {
    check_snapshot_name(snapshot, "snapshot");
    const std::string &dir = dir_of(volume);
    std::lock_guard lock(change_mutex_);
    std::string snapdir = dir + "/" + SNAPSHOT_DIR;
    if (::mkdir(snapdir.c_str(), 0755) != 0 && errno != EEXIST)
        fail("cannot create directory", snapdir, errno);
    std::string target = snapdir + "/" + snapshot;
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0)
        throw ApiError(SIM_ESNAPSHOTEXISTS,
                       "snapshot \"" + snapshot + "\" of volume \"" + volume + "\" already exists");
    std::string temp = snapdir + "/" + temp_name("creating");
    try {
        tree_copy(dir, temp, SNAPSHOT_DIR);
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0)
            fail("cannot rename the new snapshot to", target, errno);
    } catch (...) {
        try {
            tree_remove(temp);
        } catch (const ApiError &) {
            // The copy's own failure is the one to report.
        }
        throw;
    }
}

void Volumes::delete_snapshot(const std::string &volume, const std::string &snapshot) {
    check_snapshot_name(snapshot, "snapshot");
    std::lock_guard lock(change_mutex_);
    std::string path = snapshot_dir(volume, snapshot);
    std::string temp = dir_of(volume) + "/" + SNAPSHOT_DIR + "/" + temp_name("deleting");
    if (::rename(path.c_str(), temp.c_str()) != 0)
        fail("cannot remove snapshot directory", path, errno);
    tree_remove(temp);
}

} // namespace sim
