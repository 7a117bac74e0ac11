// The simulated volumes and their snapshots.
#pragma once

#include "sim_options.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct SnapshotInfo {
    std::string name;
    int64_t create_time; // seconds
};

class Volumes {
  public:
    explicit Volumes(std::vector<VolumeDir> volumes);

    const std::vector<VolumeDir> &list() const { return volumes_; }

    // The volume's directory; ApiError (no volume) when there is none.
    const std::string &dir_of(const std::string &volume) const;
    // The directory of an existing snapshot; ApiError (no volume, no
    // snapshot, invalid name) otherwise.
    std::string snapshot_dir(const std::string &volume, const std::string &snapshot) const;

    std::vector<SnapshotInfo> snapshots(const std::string &volume) const;
    void create_snapshot(const std::string &volume, const std::string &snapshot);
    void delete_snapshot(const std::string &volume, const std::string &snapshot);

    // ApiError (invalid input) unless `name` can be a snapshot name.
    static void check_snapshot_name(const std::string &name, const char *input);

  private:
    std::vector<VolumeDir> volumes_;
    // Snapshot creation and deletion change the .snapshot directories; one at
    // a time keeps a name from being created and deleted at once.
    std::mutex change_mutex_;
};

} // namespace sim
