// Messages for the failures of a change-scan session: each says what failed,
// in words, and what to do; the code follows in parentheses.
#pragma once

#include <kovrel/cq_api.h>

#include <cstdint>
#include <string>

namespace kovrel_cli {

// What the messages about a start refer to.
struct ScanTarget {
    std::string host;      // management address
    std::string data_host; // RPC data address
    std::string volume;
    std::string base;
    std::string diff;
    bool resuming = false; // a restart cookie was given
};

// A code of the change-scan calls in words: a system error, an RPC status
// (shifted left 16 bits) or a server status (with its NFS4ERR_ name).
std::string describe_code(int64_t code);

// cq_rpc_connect's code.
std::string describe_connect_failure(uint32_t code, const ScanTarget &target);

// cq_rpc_start's code and response (which may be null).
std::string describe_start_failure(int32_t code, const cq_rpc_resp_t *response,
                                   const ScanTarget &target);

// The code and response of a next, status or end call; `action` says what
// was being done ("fetch the next batch of changes", "end the session").
std::string describe_session_failure(const char *action, int32_t code,
                                     const cq_rpc_resp_t *response);

} // namespace kovrel_cli
