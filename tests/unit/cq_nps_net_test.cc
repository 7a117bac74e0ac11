// Change-scan RPC connections against an independent ONC RPC peer
// (tests/peers/rpc_peer.py) listening on port 2049 of the namespace's loopback.
#include "cq_api.h"
#include "cq_nps.h"

#include "../nfs/nfs4/nfs4.h"

#include "alloc_sweep.h"
#include "peer_process.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string peers_dir = KOVREL_PEERS_DIR;

std::vector<std::string> rpc_peer(const std::string &mode, int connections = 1, int seconds = 20,
                                  int calls = 0) {
    return {"python3",
            peers_dir + "/rpc_peer.py",
            mode,
            "--connections",
            std::to_string(connections),
            "--seconds",
            std::to_string(seconds),
            "--calls",
            std::to_string(calls)};
}

size_t open_descriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// A handle value that no call may leave behind on failure.
cq_connect_handle_t sentinel() {
    static int marker;
    return &marker;
}

char *text(const char *s) {
    return const_cast<char *>(s);
}

class CqConnectAddress : public ::testing::TestWithParam<const char *> {};

TEST_P(CqConnectAddress, ConnectsPingsInstallsAuthUnixAndDisconnects) {
    PeerProcess peer(rpc_peer("normal"), "READY");
    ASSERT_TRUE(peer.ready());
    const size_t fds_before = open_descriptors();
    char *address = text(GetParam());

    cq_connect_handle_t handle = sentinel();
    ASSERT_EQ(0u, cq_rpc_connect(address, &handle));
    ASSERT_NE(nullptr, handle);
    ASSERT_NE(sentinel(), handle);
    EXPECT_EQ(fds_before + 1, open_descriptors());

    auto *conn = static_cast<synclient_session_t *>(handle);
    EXPECT_EQ(3000u, conn->ps_timeout_ms);
    EXPECT_EQ(0u, conn->ps_sess_id);
    EXPECT_EQ(address, conn->ps_rem_ip);
    EXPECT_EQ(1u, conn->ps_use);
    EXPECT_EQ(static_cast<uint32_t>(PLUGIN_INIT), conn->ps_state);
    EXPECT_EQ(400010ul, conn->ps_prognum);
    EXPECT_EQ(1ul, conn->ps_version);
    EXPECT_EQ(0ul, conn->ps_minor_version);
    auto *ns = static_cast<nfs4_session_t *>(conn->ps_prot_session);
    ASSERT_NE(nullptr, ns);
    EXPECT_EQ(conn, ns->ns_session);
    ASSERT_NE(nullptr, ns->ns_clnt);
    EXPECT_GE(ns->ns_cl_fd, 0);
    ASSERT_NE(nullptr, ns->ns_clnt->cl_auth);
    EXPECT_EQ(AUTH_UNIX, ns->ns_clnt->cl_auth->ah_cred.oa_flavor);

    // The peer saw exactly the NULL call of program 400010 version 1, made
    // before the AUTH_UNIX credentials were installed.
    EXPECT_TRUE(peer.wait_for("prog=400010 vers=1 proc=0 cred=0\n", 5s)) << peer.output();
    // The connection answers further calls.
    EXPECT_EQ(RPC_SUCCESS, nfsproc4_null_4(ns->ns_clnt));
    // ... and carries the installed AUTH_UNIX credentials (flavor 1).
    EXPECT_TRUE(peer.wait_for("proc=0 cred=1\n", 5s)) << peer.output();

    EXPECT_EQ(0u, cq_rpc_disconnect(&handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(fds_before, open_descriptors());
    // The stream really closed: the peer's only connection ends and it exits.
    EXPECT_EQ(0, peer.wait_exit(5s)) << peer.output();
    EXPECT_EQ(std::string::npos, peer.output().find("BAD")) << peer.output();

    // A second disconnect on the nulled variable is refused and does nothing.
    EXPECT_EQ(22u, cq_rpc_disconnect(&handle));
    EXPECT_EQ(nullptr, handle);
}

INSTANTIATE_TEST_SUITE_P(Families, CqConnectAddress, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto &info) {
                             return std::string(info.index == 0 ? "IPv4" : "IPv6");
                         });

struct RpcFailure {
    const char *mode;
    uint32_t code;
};

class CqConnectRpcFailure : public ::testing::TestWithParam<RpcFailure> {};

// A NULL call that fails gives its RPC status shifted left by 16, frees
// everything and leaves no descriptor open.
TEST_P(CqConnectRpcFailure, ReportsShiftedStatusAndLeavesNothingOpen) {
    PeerProcess peer(rpc_peer(GetParam().mode), "READY");
    ASSERT_TRUE(peer.ready());
    const size_t fds_before = open_descriptors();
    cq_connect_handle_t handle = sentinel();
    EXPECT_EQ(GetParam().code, cq_rpc_connect(text("127.0.0.1"), &handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(fds_before, open_descriptors());
    EXPECT_EQ(0, peer.wait_exit(5s)) << peer.output();
}

INSTANTIATE_TEST_SUITE_P(Statuses, CqConnectRpcFailure,
                         ::testing::Values(RpcFailure{"prog-unavail", 524288},  // status 8
                                           RpcFailure{"prog-mismatch", 589824}, // status 9
                                           RpcFailure{"hangup", 262144}),       // status 4
                         [](const auto &info) {
                             std::string name = info.param.mode;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// The status is the library's RPC enumeration, so the shift is checked against
// the published numbers rather than the enumeration.
TEST(CqConnect, TranslatesRpcStatusesAboveErrnoRange) {
    EXPECT_EQ(327680u, translate_rpc_error(RPC_TIMEDOUT));
    EXPECT_EQ(65536u * 25, translate_rpc_error(static_cast<enum clnt_stat>(25)));
    EXPECT_EQ(0xFFFF0000u, translate_rpc_error(static_cast<enum clnt_stat>(0xFFFF)));
}

class CqConnectRefused : public ::testing::TestWithParam<const char *> {};

TEST_P(CqConnectRefused, NothingListeningGivesSystemErrorAndNoDescriptor) {
    const size_t fds_before = open_descriptors();
    cq_connect_handle_t handle = sentinel();
    EXPECT_EQ(static_cast<uint32_t>(ECONNREFUSED), cq_rpc_connect(text(GetParam()), &handle));
    EXPECT_EQ(111u, static_cast<uint32_t>(ECONNREFUSED));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(fds_before, open_descriptors());
}

INSTANTIATE_TEST_SUITE_P(Families, CqConnectRefused, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto &info) {
                             return std::string(info.index == 0 ? "IPv4" : "IPv6");
                         });

TEST(CqConnect, ResolutionFailures) {
    struct Case {
        const char *name;
        uint32_t code;
    };
    const Case cases[] = {
        // glibc refuses a name with a space and "!" before asking any
        // resolver: a definite failure, no query made.
        {"bad name!.invalid", 22},
        {"a..b", 22},
        // Inside the test namespace the configured name server cannot be
        // reached (only loopback is up), which the resolver reports as a
        // temporary failure; no query can leave the namespace.
        {"no-such-host.invalid", 11},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t fds_before = open_descriptors();
        cq_connect_handle_t handle = sentinel();
        EXPECT_EQ(c.code, cq_rpc_connect(text(c.name), &handle));
        EXPECT_EQ(nullptr, handle);
        EXPECT_EQ(fds_before, open_descriptors());
    }
}

TEST(CqConnect, NullArguments) {
    cq_connect_handle_t handle = sentinel();
    EXPECT_EQ(22u, cq_rpc_connect(nullptr, &handle));
    EXPECT_EQ(nullptr, handle);
    // No handle variable to report into: refused rather than written through.
    EXPECT_EQ(22u, cq_rpc_connect(text("127.0.0.1"), nullptr));
    EXPECT_EQ(22u, cq_rpc_disconnect(nullptr));
    EXPECT_EQ(22u, nfs4_create_client(nullptr, "127.0.0.1", NFS4_PROGRAM, NFS_V4));
}

TEST(CqConnect, DisconnectOfRecordWithoutProtocolSessionFreesItAndRefuses) {
    auto *conn = static_cast<synclient_session_t *>(
        pool_zalloc(pool_default(), sizeof(synclient_session_t)));
    ASSERT_NE(nullptr, conn);
    cq_connect_handle_t handle = conn;
    // The record is freed (the leak checker would report it otherwise).
    EXPECT_EQ(22u, cq_rpc_disconnect(&handle));
    EXPECT_EQ(nullptr, handle);
}

TEST(CqConnect, AllocationFailuresGiveEnomemAndNullHandle) {
    // Two records are allocated before any traffic; the sweep ends with the
    // first run that connects, which uses the peer's only connection.
    PeerProcess peer(rpc_peer("normal"), "READY");
    ASSERT_TRUE(peer.ready());
    const size_t fds_before = open_descriptors();
    sweep_allocation_failures(
        [] {
            cq_connect_handle_t handle = sentinel();
            const uint32_t code = cq_rpc_connect(text("127.0.0.1"), &handle);
            const bool was_null = handle == nullptr;
            const uint32_t disconnected = handle != nullptr ? cq_rpc_disconnect(&handle) : 0u;
            return std::make_tuple(code, was_null, disconnected);
        },
        [&](const auto &result, bool failure_reached) {
            const auto [code, was_null, disconnected] = result;
            if (failure_reached) {
                EXPECT_EQ(12u, code);
                EXPECT_TRUE(was_null);
            } else {
                EXPECT_EQ(0u, code);
                EXPECT_FALSE(was_null);
                EXPECT_EQ(0u, disconnected);
            }
            EXPECT_EQ(fds_before, open_descriptors());
        });
    EXPECT_EQ(0, peer.wait_exit(5s)) << peer.output();
}

// Once the server has gone, calls on the handle fail with an RPC status; the
// writes into the dead stream must not kill the process with SIGPIPE, and the
// thread's signal mask is unchanged afterwards.
TEST(CqConnect, CallsAfterServerLeftFailWithoutSigpipe) {
    PeerProcess peer(rpc_peer("normal", 1, 20, 1), "READY");
    ASSERT_TRUE(peer.ready());
    cq_connect_handle_t handle = nullptr;
    ASSERT_EQ(0u, cq_rpc_connect(text("127.0.0.1"), &handle));
    ASSERT_EQ(0, peer.wait_exit(5s)) << peer.output();
    auto *ns =
        static_cast<nfs4_session_t *>(static_cast<synclient_session_t *>(handle)->ps_prot_session);

    sigset_t mask_before;
    ASSERT_EQ(0, pthread_sigmask(SIG_SETMASK, nullptr, &mask_before));
    ASSERT_EQ(0, sigismember(&mask_before, SIGPIPE));
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(RPC_SUCCESS, nfsproc4_null_4(ns->ns_clnt)) << "call " << i;
    sigset_t mask_after, pending;
    ASSERT_EQ(0, pthread_sigmask(SIG_SETMASK, nullptr, &mask_after));
    EXPECT_EQ(0, sigismember(&mask_after, SIGPIPE));
    ASSERT_EQ(0, sigpending(&pending));
    EXPECT_EQ(0, sigismember(&pending, SIGPIPE));
    EXPECT_EQ(0u, cq_rpc_disconnect(&handle));
}

// Slow: the NULL call waits its full 25 seconds.
TEST(CqConnectSlow, SilentServerTimesOutAfter25Seconds) {
    PeerProcess peer(rpc_peer("silent", 1, 60), "READY");
    ASSERT_TRUE(peer.ready());
    const size_t fds_before = open_descriptors();
    cq_connect_handle_t handle = sentinel();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(327680u, cq_rpc_connect(text("127.0.0.1"), &handle));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 24s);
    EXPECT_LT(elapsed, 40s);
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(fds_before, open_descriptors());
}

} // namespace
