// Messages for change-scan failures: what failed, what to do, and the code.
#include "diff_errors.h"

#include <gtest/gtest.h>

#include <string>

namespace kovrel_cli {
namespace {

const ScanTarget TARGET{"mgmt1", "data1", "vol0", "monday", "tuesday"};

cq_rpc_resp_t failure(int status, const char *text) {
    cq_rpc_resp_t r{};
    r.status = static_cast<nfsstat4>(status);
    r.cq_res_out.errstr = const_cast<char *>(text);
    return r;
}

void expect_contains(const std::string &message, const std::vector<std::string> &parts) {
    for (const std::string &part : parts)
        EXPECT_NE(message.find(part), std::string::npos) << "'" << part << "' not in: " << message;
}

TEST(ConnectFailure, EachCauseNamesTheAddressAndTheCode) {
    expect_contains(describe_connect_failure(111, TARGET),
                    {"connection refused", "data1", "2049", "(errno 111)", "--data-host"});
    expect_contains(describe_connect_failure(22, TARGET), {"does not resolve", "(errno 22)"});
    expect_contains(describe_connect_failure(11, TARGET), {"temporary", "try again"});
    expect_contains(describe_connect_failure(113, TARGET),
                    {"No route to host", "(errno 113)", "data1"});
    expect_contains(describe_connect_failure(8u << 16, TARGET),
                    {"400010", "RPC_PROGUNAVAIL", "code 524288"});
    expect_contains(describe_connect_failure(5u << 16, TARGET), {"RPC_TIMEDOUT", "327680"});
}

TEST(StartFailure, CredentialsVolumesAndReachability) {
    cq_rpc_resp_t auth = failure(13002, "HTTP POST - Authorization failed");
    expect_contains(describe_start_failure(71, &auth, TARGET),
                    {"mgmt1", "rejected", "(errno 13002)", "check --user and KOVREL_PASSWORD"});

    cq_rpc_resp_t volume = failure(13040, "Volume vol0 does not exist");
    expect_contains(
        describe_start_failure(71, &volume, TARGET),
        {"Volume vol0 does not exist", "(errno 13040)", "vol0", "monday", "tuesday", "exist"});

    cq_rpc_resp_t refused = failure(111, "Can't connect to host (err=111).");
    expect_contains(describe_start_failure(71, &refused, TARGET),
                    {"management interface", "port 443", "(errno 111)",
                     "is the server running on mgmt1 port 443?"});

    cq_rpc_resp_t cookie = failure(13109, "not a restart cookie of this server");
    ScanTarget resuming = TARGET;
    resuming.resuming = true;
    expect_contains(describe_start_failure(71, &cookie, resuming),
                    {"did not accept the restart cookie", "(errno 13109)", "start over"});

    cq_rpc_resp_t busy = failure(50089, "too many sessions");
    expect_contains(describe_start_failure(71, &busy, TARGET), {"too many", "(errno 50089)"});

    cq_rpc_resp_t silent = failure(13001, nullptr);
    expect_contains(describe_start_failure(71, &silent, TARGET), {"no reason given", "13001"});
    expect_contains(describe_start_failure(12, nullptr, TARGET), {"out of memory", "(errno 12)"});
}

TEST(SessionFailure, ServerTextAndStatusName) {
    cq_rpc_resp_t max = failure(50089, "session limit reached");
    expect_contains(describe_session_failure("fetch the next batch", 50089, &max),
                    {"cannot fetch the next batch", "session limit reached",
                     "NFS4ERR_MAX_CQ_SESSIONS", "50089", "try again"});
    // The library's placeholder text says nothing: the code is described instead.
    cq_rpc_resp_t timeout = failure(327680, "Encountered error. Check status for errno.");
    const std::string message = describe_session_failure("end the session", 327680, &timeout);
    expect_contains(message, {"did not answer in time", "RPC_TIMEDOUT", "327680"});
    EXPECT_EQ(message.find("Check status"), std::string::npos);
    expect_contains(describe_session_failure("fetch", 71, nullptr),
                    {"(errno 71)", "did not answer the request"});
    expect_contains(describe_session_failure("fetch", 10003, nullptr), {"NFS4ERR_BAD_COOKIE"});
}

TEST(DescribeCode, EveryKindOfCode) {
    EXPECT_EQ(describe_code(50090),
              "the server aborted the session (NFS4ERR_CQ_SESSION_ABORTED, code 50090)");
    EXPECT_EQ(describe_code(2 << 16),
              "the reply could not be decoded (RPC_CANTDECODERES, code 131072)");
    expect_contains(describe_code(99 << 16), {"RPC failure 99", "6488064"});
    expect_contains(describe_code(12), {"(errno 12)"});
    EXPECT_EQ(describe_code(-7), "error code -7");
}

} // namespace
} // namespace kovrel_cli
