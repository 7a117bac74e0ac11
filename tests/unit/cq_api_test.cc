// Change-scan session calls without a network: the request hash against
// digests computed independently (Python's hashlib), the argument checks that
// refuse a call before anything is sent, and the release of responses.
#include "cq_api.h"
#include "cq_session.h"

#include "pool.h"

#include "cq_fixtures.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

struct HashCase {
    const char *session_id;
    uint32_t sequence;
    const char *digest; // sha256 of the text, by hashlib
};

// The text is the id, "-" and 8 lowercase hex digits, cut to 45 characters.
const HashCase kHashCases[] = {
    // A 36-character id fills the 45 characters exactly.
    {"0123456789abcdef0123456789abcdef0123", 1,
     "c712b8df4a6c3ae84ab2d926d5c9d4098b25382782abc099e0fb224f99798c34"},
    {"0123456789abcdef0123456789abcdef0123", 0,
     "6846c2cf7e83c8f9c27ca6996b764096d7ea12b1705d54963096687f7f40f521"},
    {"sess-1", 2, "d96fa843d689e7119360eacadee0a788fffa95d568d0d4fb510d2f0667e7a450"},
    {"x", 0xffffffff, "2080bc7d39aad7a75ca6741b0076e71c4c25732e20b5d23dcdac743ed0640b2e"},
    // 37 characters: the text "…01234-0000000" loses its last digit.
    {"0123456789abcdef0123456789abcdef01234", 1,
     "e50cce2929b7209e95343bc67bd8120763876a127850cd5cbea87fd91eee8941"},
};

TEST(CqRequestHash, MatchesIndependentDigests) {
    for (const HashCase &c : kHashCases) {
        char out[CQ_REQUEST_HASH_SIZE];
        ASSERT_TRUE(cq_request_hash(c.session_id, c.sequence, out));
        EXPECT_STREQ(out, c.digest) << c.session_id << " " << c.sequence;
    }
}

TEST(CqRpcStart, MissingArgumentsAreRefusedBeforeAnyConnection) {
    using Break = void (*)(cq_start_args_t &);
    const struct {
        const char *what;
        Break breaks;
    } cases[] = {
        {"ip_addr", [](cq_start_args_t &a) { a.ip_addr = nullptr; }},
        {"username", [](cq_start_args_t &a) { a.username = nullptr; }},
        {"password", [](cq_start_args_t &a) { a.password = nullptr; }},
        {"volname", [](cq_start_args_t &a) { a.volname = nullptr; }},
        {"diffsnap", [](cq_start_args_t &a) { a.diffsnap = nullptr; }},
        {"fileaccessproto", [](cq_start_args_t &a) { a.fileaccessproto = nullptr; }},
        {"appname", [](cq_start_args_t &a) { a.appname = nullptr; }},
        {"apptype", [](cq_start_args_t &a) { a.apptype = nullptr; }},
        {"maxdiffs 0", [](cq_start_args_t &a) { a.maxdiffs = 0; }},
    };
    for (const auto &c : cases) {
        TestStartArgs args;
        c.breaks(args.a);
        // The address stays loopback, where nothing listens: a start that got
        // as far as connecting would fail with 71, not 22.
        int marker;
        cq_session_handle_t session = &marker;
        cq_rpc_resp_t *resp = reinterpret_cast<cq_rpc_resp_t *>(&marker);
        EXPECT_EQ(EINVAL, cq_rpc_start(nullptr, &args.a, &session, &resp)) << c.what;
        EXPECT_EQ(nullptr, session) << c.what;
        ASSERT_NE(nullptr, resp) << c.what;
        EXPECT_EQ(EINVAL, static_cast<int32_t>(resp->status)) << c.what;
        EXPECT_STREQ("Invalid arguments specified", resp->cq_res_out.errstr) << c.what;
        cq_rpc_free_resp(&resp);
        EXPECT_EQ(nullptr, resp);
    }
    // No argument record at all, and no place for the session.
    cq_rpc_resp_t *resp = nullptr;
    cq_session_handle_t session = nullptr;
    EXPECT_EQ(EINVAL, cq_rpc_start(nullptr, nullptr, &session, &resp));
    cq_rpc_free_resp(&resp);
    TestStartArgs args;
    EXPECT_EQ(EINVAL, cq_rpc_start(nullptr, &args.a, nullptr, &resp));
    cq_rpc_free_resp(&resp);
    // Without a response variable nothing can be reported.
    EXPECT_EQ(EINVAL, cq_rpc_start(nullptr, &args.a, &session, nullptr));
}

TEST(CqRpcSessionCalls, RefuseNullOrForeignHandlesWithoutAResponse) {
    cq_rpc_session_t *session = new_test_session("h", "id");
    cq_rpc_session_t foreign{};
    foreign.session_handle = const_cast<char *>("h");
    foreign.session_id = const_cast<char *>("id");
    int marker;
    cq_connect_handle_t no_connection = nullptr;

    cq_rpc_resp_t *resp = reinterpret_cast<cq_rpc_resp_t *>(&marker);
    EXPECT_EQ(EINVAL, cq_rpc_next(no_connection, session, &resp));
    EXPECT_EQ(nullptr, resp);
    // The refused call did not count a sequence number.
    EXPECT_EQ(0u, session->sequence);
    resp = reinterpret_cast<cq_rpc_resp_t *>(&marker);
    EXPECT_EQ(EINVAL, cq_rpc_status(no_connection, session, &resp));
    EXPECT_EQ(nullptr, resp);
    EXPECT_EQ(EINVAL, cq_rpc_next(no_connection, &foreign, &resp));
    EXPECT_EQ(EINVAL, cq_rpc_next(no_connection, nullptr, &resp));

    cq_session_handle_t variable = session;
    EXPECT_EQ(EINVAL, cq_rpc_end(no_connection, &variable, &resp));
    EXPECT_EQ(session, variable);
    cq_session_handle_t nothing = nullptr;
    EXPECT_EQ(EINVAL, cq_rpc_end(no_connection, &nothing, &resp));
    EXPECT_EQ(EINVAL, cq_rpc_end(no_connection, nullptr, &resp));
    EXPECT_EQ(nullptr, resp);
    drop_test_session(session);
}

TEST(CqRpcFreeResp, ReleasesEachKindOnceAndNullsTheVariable) {
    // A failure with a text, and one whose text could not be made.
    for (const char *text : {"boom", static_cast<const char *>(nullptr)}) {
        auto *resp =
            static_cast<cq_rpc_resp_t *>(pool_zalloc(pool_default(), sizeof(cq_rpc_resp_t)));
        resp->status = static_cast<nfsstat4>(131072);
        resp->cq_res_out.errstr = text != nullptr ? pstrdup(pool_default(), text) : nullptr;
        cq_rpc_free_resp(&resp);
        EXPECT_EQ(nullptr, resp);
        cq_rpc_free_resp(&resp); // the second release finds null
    }
    // A start success owns its result record and strings.
    auto *resp = static_cast<cq_rpc_resp_t *>(pool_zalloc(pool_default(), sizeof(cq_rpc_resp_t)));
    auto *res = static_cast<CQ_START4resok *>(pool_zalloc(pool_default(), sizeof(CQ_START4resok)));
    res->session_handle = pstrdup(pool_default(), "h");
    res->session_id = pstrdup(pool_default(), "i");
    res->session_status = pstrdup(pool_default(), "s");
    resp->cq_res_out.cq_ok.cq_api = CQ_START_API;
    resp->cq_res_out.cq_ok.cq_out_ok.start_res = res;
    cq_rpc_free_resp(&resp);
    EXPECT_EQ(nullptr, resp);
    cq_rpc_free_resp(nullptr);

    // A success of no known kind cannot be released and is left alone.
    cq_rpc_resp_t unknown{};
    cq_rpc_resp_t *variable = &unknown;
    cq_rpc_free_resp(&variable);
    EXPECT_EQ(&unknown, variable);
}

} // namespace
