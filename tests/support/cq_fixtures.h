// Change-scan test fixtures: owned responses, an RPC connection for a test's
// scope, start arguments that pass validation, and session records as a
// successful start leaves them.
#pragma once

#include "cq_api.h"
#include "cq_session.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

struct RespDeleter {
    void operator()(cq_rpc_resp_t *r) const { cq_rpc_free_resp(&r); }
};
using Resp = std::unique_ptr<cq_rpc_resp_t, RespDeleter>;

// An RPC connection to port 2049 of `address`, closed at scope exit.
struct TestConnection {
    cq_connect_handle_t handle = nullptr;
    explicit TestConnection(const char *address = "127.0.0.1") {
        EXPECT_EQ(0u, cq_rpc_connect(const_cast<char *>(address), &handle));
    }
    ~TestConnection() {
        if (handle != nullptr)
            cq_rpc_disconnect(&handle);
    }
    TestConnection(const TestConnection &) = delete;
    TestConnection &operator=(const TestConnection &) = delete;
};

struct TestStartArgs {
    cq_start_args_t a{};
    TestStartArgs() {
        a.ip_addr = const_cast<char *>("127.0.0.1");
        a.username = const_cast<char *>("admin");
        a.password = const_cast<char *>("secret");
        a.volname = const_cast<char *>("vol1");
        a.diffsnap = const_cast<char *>("s2");
        a.fileaccessproto = const_cast<char *>("nfs");
        a.maxdiffs = 12345;
        a.appname = const_cast<char *>("app");
        a.apptype = const_cast<char *>("test");
    }
};

// Made with the library's allocator, so that a successful end releases it.
inline cq_rpc_session_t *new_test_session(const std::string &handle, const std::string &id) {
    auto *s =
        static_cast<cq_rpc_session_t *>(pool_zalloc(pool_default(), sizeof(cq_rpc_session_t)));
    s->session_magic = CQ_SESSION_MAGIC;
    s->session_handle = pstrdup(pool_default(), handle.c_str());
    s->session_id = pstrdup(pool_default(), id.c_str());
    return s;
}

// Releases a session that no successful end took.
inline void drop_test_session(cq_session_handle_t s) {
    if (s == nullptr)
        return;
    auto *session = static_cast<cq_rpc_session_t *>(s);
    EXPECT_EQ(nullptr, session->session_hash); // never left set between calls
    pool_free(pool_default(), session->session_handle);
    pool_free(pool_default(), session->session_id);
    pool_free(pool_default(), session);
}
