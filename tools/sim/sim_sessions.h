// Change-scan sessions: started through the XML API, driven by the RPC
// operations status, next and end.
#pragma once

#include "sim_tree.h"
#include "sim_volumes.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Statuses of the RPC operations (the nfsstat4 values the simulator uses).
enum RpcStatus : uint32_t {
    RPC_OK = 0,
    RPC_BADSESSION = 10052,
    RPC_SEQ_MISORDERED = 10063,
    RPC_V2_OK = 50091,
};

struct StartRequest {
    std::string volume;
    std::optional<std::string> base_snapshot;
    std::string diff_snapshot;
    std::optional<std::string> restart_cookie;
    uint32_t max_diffs = 1;
    bool atime = false;
};

struct StartReply {
    std::string session_handle;
    std::string session_id;
    std::string session_status;
};

struct BatchRecord {
    ChangeType type;
    EntryAttrs attrs; // inode offset applied
    std::string name;
};

// The outcome of status or end: `text` is the session status when `status`
// is RPC_OK, the error otherwise.
struct OpOutcome {
    uint32_t status = RPC_OK;
    std::string text;
};

struct NextOutcome {
    uint32_t status = RPC_OK; // RPC_V2_OK when a record needs a 64-bit inode number
    std::string error;        // when status is neither RPC_OK nor RPC_V2_OK
    std::vector<BatchRecord> records;
    uint32_t progress = 0; // percent of the difference delivered after this batch
    bool eof = false;
    std::string restart_cookie;
};

// The request hash: SHA-256 in lowercase hex of the session id, "-" and the
// sequence as 8 lowercase hex digits, the text cut to 45 characters.
std::string request_hash(const std::string &session_id, uint32_t sequence);

class Sessions {
  public:
    Sessions(Volumes &volumes, unsigned max_sessions, std::chrono::seconds idle,
             uint64_t inode_offset);

    // Computes the difference and opens a session; ApiError on failure.
    StartReply start(const StartRequest &request);
    OpOutcome status(const std::string &handle, const std::string &hash);
    NextOutcome next(const std::string &handle, const std::string &hash);
    OpOutcome end(const std::string &handle, const std::string &hash);

    // Largest batch, whatever max-diffs asks for: keeps one reply bounded.
    static constexpr uint32_t MAX_BATCH = 10000;

  private:
    struct Session;
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<Session> find(const std::string &handle, const std::string &hash, bool is_next,
                                  std::string &error, uint32_t &status);
    void expire_idle();

    Volumes &volumes_;
    unsigned max_sessions_;
    std::chrono::seconds idle_;
    uint64_t inode_offset_;

    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Session>> sessions_; // by handle
    unsigned starting_ = 0; // slots taken by starts still computing their difference
};

} // namespace sim
