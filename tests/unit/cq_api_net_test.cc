// Change-scan sessions against independent peers on the namespace's
// loopback: the start over HTTPS on port 443 (api_http_peer.py) and the
// session operations over ONC RPC on port 2049 (rpc_peer.py in compound
// mode, which checks the argument bytes and the request hash itself).
#include "cq_api.h"
#include "cq_session.h"

#include "alloc_sweep.h"
#include "cq_fixtures.h"

#include "pool.h"

#include "child_process.h"
#include "hex.h"
#include "peer_process.h"
#include "test_certs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

const std::string peers_dir = KOVREL_PEERS_DIR;
const char kSessionId[] = "0123456789abcdef0123456789abcdef0123"; // 36 characters
const char kCallFailed[] = "Encountered error. Check status for errno.";

int32_t code_of(const cq_rpc_resp_t *r) {
    return static_cast<int32_t>(r->status);
}

// --- The RPC side ---------------------------------------------------------------

// A compound-mode peer answering the k-th COMPOUND call with replies[k].
std::vector<std::string> rpc_peer(const std::vector<std::string> &replies, int connections = 1) {
    std::vector<std::string> argv = {"python3",
                                     peers_dir + "/rpc_peer.py",
                                     "compound",
                                     "--session-id",
                                     kSessionId,
                                     "--connections",
                                     std::to_string(connections),
                                     "--seconds",
                                     "30"};
    for (const std::string &r : replies) {
        argv.push_back("--reply");
        argv.push_back(r);
    }
    return argv;
}

cq_rpc_session_t *new_session(const std::string &handle = "sh-1") {
    return new_test_session(handle, kSessionId);
}

// The peer's COMPOUND lines so far, in order. The peer prints each before it
// answers, so every call made has its line; this reads what is pending.
std::vector<std::string> compound_lines(PeerProcess &peer) {
    peer.wait_for("\x01 not printed", 300ms);
    const std::string &out = peer.output();
    std::vector<std::string> lines;
    for (size_t at = out.find("COMPOUND "); at != std::string::npos;
         at = out.find("COMPOUND ", at + 1))
        if (at == 0 || out[at - 1] == '\n')
            lines.push_back(out.substr(at, out.find('\n', at) - at));
    return lines;
}

std::string field(const std::string &line, const std::string &name) {
    const size_t at = line.find(" " + name + "=");
    if (at == std::string::npos)
        return "";
    const size_t start = at + name.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
}

// The COMPOUND arguments of a session call, laid out by hand.
std::string expected_args(const std::string &tag, uint32_t op, const std::string &handle,
                          const std::string &hash) {
    std::string b;
    const auto word = [&b](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            b.push_back(static_cast<char>(v >> shift));
    };
    const auto opaque = [&](const std::string &s) {
        word(static_cast<uint32_t>(s.size()));
        b += s;
        b.append((4 - s.size() % 4) % 4, '\0');
    };
    opaque(tag);
    word(0); // minor version
    word(1); // one operation
    word(op);
    opaque(handle);
    opaque(hash);
    return to_hex(b);
}

TEST(CqSession, WholeSessionOverSeveralBatches) {
    PeerProcess peer(rpc_peer({"batch:1:3:0", "batch:2:2:0", "names", "ok:active", "ok:ended"}),
                     "READY");
    ASSERT_TRUE(peer.ready());
    TestConnection conn;
    cq_session_handle_t session = new_session();

    // Version 1: 32-bit inode numbers, every field as sent.
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(0, cq_rpc_next(conn.handle, session, &raw));
    Resp first(raw);
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(0, code_of(first.get()));
    ASSERT_EQ(CQ_NEXT_API_V1, first->cq_res_out.cq_ok.cq_api);
    EXPECT_NE(nullptr, first->cq_res_out.cq_ok.cq_rpc_cookie);
    const CQ_NEXT4resok_V1 *v1 = first->cq_res_out.cq_ok.cq_out_ok.next_res_V1;
    EXPECT_EQ(3u, v1->num_changes);
    EXPECT_EQ(30u, v1->progress);
    EXPECT_FALSE(v1->eof);
    ASSERT_EQ(3u, v1->crp.crp_len);
    const tessel_chgscan_change_rec_V1 &r1 = v1->crp.crp_val[1];
    EXPECT_EQ(101u, r1.scr_inode_num);
    EXPECT_EQ(2u, r1.scr_change_type);
    EXPECT_EQ(2u, r1.scr_ftype);
    EXPECT_EQ(1001, r1.scr_crtime);
    EXPECT_EQ(-2001, r1.scr_mtime);
    EXPECT_EQ(3001, r1.scr_atime);
    EXPECT_EQ(4001, r1.scr_ctime);
    EXPECT_EQ(501u, r1.scr_owner);
    EXPECT_EQ(601u, r1.scr_group);
    EXPECT_EQ(0644u, r1.scr_fattr);
    EXPECT_EQ(0x20u, r1.scr_dos_bits);
    EXPECT_EQ((uint64_t{1} << 40) + 1, r1.scr_size);
    EXPECT_EQ(2u, r1.scr_links);
    EXPECT_EQ(1u, r1.scr_is_iofenced);
    EXPECT_EQ("name1", std::string(r1.scr_name.scr_name_val, r1.scr_name.scr_name_len));
    EXPECT_EQ("cookie-3", std::string(v1->restart_cookie.restart_cookie_val,
                                      v1->restart_cookie.restart_cookie_len));

    // Version 2: the call returns the COMPOUND status 50091, the response
    // says success.
    EXPECT_EQ(50091, cq_rpc_next(conn.handle, session, &raw));
    Resp second(raw);
    ASSERT_EQ(0, code_of(second.get()));
    ASSERT_EQ(CQ_NEXT_API_V2, second->cq_res_out.cq_ok.cq_api);
    const CQ_NEXT4resok_V2 *v2 = second->cq_res_out.cq_ok.cq_out_ok.next_res_V2;
    ASSERT_EQ(2u, v2->crp.crp_len);
    EXPECT_EQ(0x100000001u, v2->crp.crp_val[1].scr_inode_num);
    EXPECT_EQ("name1", std::string(v2->crp.crp_val[1].scr_name.scr_name_val,
                                   v2->crp.crp_val[1].scr_name.scr_name_len));

    // Names of 0 and 5 bytes; the last batch.
    EXPECT_EQ(0, cq_rpc_next(conn.handle, session, &raw));
    Resp third(raw);
    ASSERT_EQ(CQ_NEXT_API_V1, third->cq_res_out.cq_ok.cq_api);
    const CQ_NEXT4resok_V1 *last = third->cq_res_out.cq_ok.cq_out_ok.next_res_V1;
    EXPECT_TRUE(last->eof);
    ASSERT_EQ(2u, last->crp.crp_len);
    EXPECT_EQ(0u, last->crp.crp_val[0].scr_name.scr_name_len);
    EXPECT_EQ("abcde", std::string(last->crp.crp_val[1].scr_name.scr_name_val,
                                   last->crp.crp_val[1].scr_name.scr_name_len));

    EXPECT_EQ(0, cq_rpc_status(conn.handle, session, &raw));
    Resp status(raw);
    ASSERT_EQ(CQ_STATUS_API, status->cq_res_out.cq_ok.cq_api);
    EXPECT_STREQ("active", status->cq_res_out.cq_ok.cq_out_ok.status_res->session_status);
    EXPECT_EQ(3u, static_cast<cq_rpc_session_t *>(session)->sequence);

    EXPECT_EQ(0, cq_rpc_end(conn.handle, &session, &raw));
    Resp end(raw);
    ASSERT_EQ(CQ_END_API, end->cq_res_out.cq_ok.cq_api);
    EXPECT_STREQ("ended", end->cq_res_out.cq_ok.cq_out_ok.end_res->session_status);
    EXPECT_EQ(nullptr, session);
    // The ended session is gone: a later call with the nulled variable is refused.
    EXPECT_EQ(EINVAL, cq_rpc_end(conn.handle, &session, &raw));
    EXPECT_EQ(nullptr, raw);

    // The peer checked every hash (sequences 1, 2, 3, then 0 and 0) and the
    // arguments are exactly the documented layout.
    const std::vector<std::string> lines = compound_lines(peer);
    ASSERT_EQ(5u, lines.size()) << peer.output();
    const struct {
        const char *tag;
        uint32_t op;
    } sent[] = {
        {"CQ_NEXT", 66}, {"CQ_NEXT", 66}, {"CQ_NEXT", 66}, {"CQ_STATUS", 65}, {"CQ_END", 67}};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(std::string::npos, lines[i].find(" hash=ok")) << lines[i];
        const std::string hash = field(lines[i], "id");
        EXPECT_EQ(64u, hash.size());
        EXPECT_EQ(expected_args(sent[i].tag, sent[i].op, "sh-1", hash), field(lines[i], "args"))
            << lines[i];
    }
    EXPECT_EQ(std::string::npos, peer.output().find("BAD")) << peer.output();
}

// How each reply is reported by a next call.
struct ReplyCase {
    const char *reply;
    int32_t code;     // returned
    const char *text; // the response's error text
};

void PrintTo(const ReplyCase &c, std::ostream *os) {
    *os << c.reply;
}

class CqNextReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(CqNextReply, FailsWithItsCode) {
    const ReplyCase &c = GetParam();
    PeerProcess peer(rpc_peer({c.reply}), "READY");
    ASSERT_TRUE(peer.ready());
    TestConnection conn;
    cq_session_handle_t session = new_session();
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(c.code, cq_rpc_next(conn.handle, session, &raw));
    Resp resp(raw);
    ASSERT_NE(nullptr, resp);
    EXPECT_EQ(c.code, code_of(resp.get()));
    EXPECT_STREQ(c.text, resp->cq_res_out.errstr);
    // The failed next still used its number.
    EXPECT_EQ(1u, static_cast<cq_rpc_session_t *>(session)->sequence);
    drop_test_session(session);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CqNextReply,
    ::testing::Values(ReplyCase{"error:50090:session was aborted", 50090, "session was aborted"},
                      ReplyCase{"error:50089:too many sessions", 50089, "too many sessions"},
                      // A server that does not know the operation.
                      ReplyCase{"illegal", EPROTO, kCallFailed},
                      // Two results for the one operation sent.
                      ReplyCase{"two", EPROTO, kCallFailed},
                      // No result: the COMPOUND status, or a protocol error when that says 0.
                      ReplyCase{"empty:10022", 10022, kCallFailed},
                      ReplyCase{"empty:0", EPROTO, kCallFailed},
                      // Undecodable replies: RPC_CANTDECODERES (2) shifted left 16 bits.
                      ReplyCase{"garbage", 131072, kCallFailed},
                      ReplyCase{"huge-count", 131072, kCallFailed},
                      ReplyCase{"huge-name", 131072, kCallFailed}),
    [](const auto &info) {
        std::string name = info.param.reply;
        for (char &ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

TEST(CqSession, AFailedNextStillConsumesItsNumber) {
    // The first next fails on the network (the connection is dropped); the
    // second goes over a new connection with the following number.
    PeerProcess peer(rpc_peer({"hangup", "error:50092:retry later", "batch:1:1:1"}, 2), "READY");
    ASSERT_TRUE(peer.ready());
    cq_session_handle_t session = new_session();
    cq_rpc_resp_t *raw = nullptr;
    {
        TestConnection conn;
        const int32_t code = cq_rpc_next(conn.handle, session, &raw);
        Resp lost(raw);
        EXPECT_EQ(0, code & 0xffff) << code; // an RPC status, shifted
        EXPECT_NE(0, code);
        EXPECT_STREQ(kCallFailed, lost->cq_res_out.errstr);
    }
    TestConnection conn;
    EXPECT_EQ(50092, cq_rpc_next(conn.handle, session, &raw));
    Resp retry(raw);
    EXPECT_STREQ("retry later", retry->cq_res_out.errstr);
    EXPECT_EQ(0, cq_rpc_next(conn.handle, session, &raw));
    Resp ok(raw);
    EXPECT_EQ(CQ_NEXT_API_V1, ok->cq_res_out.cq_ok.cq_api);
    EXPECT_EQ(3u, static_cast<cq_rpc_session_t *>(session)->sequence);
    // The peer numbered the calls itself: 1, 2 and 3 all match.
    const std::vector<std::string> lines = compound_lines(peer);
    ASSERT_EQ(3u, lines.size()) << peer.output();
    for (const std::string &line : lines)
        EXPECT_NE(std::string::npos, line.find(" hash=ok")) << line;
    drop_test_session(session);
}

TEST(CqSession, AFailedEndLeavesTheSessionToEndAgain) {
    PeerProcess peer(rpc_peer({"error:10001:not now", "ok:ended"}), "READY");
    ASSERT_TRUE(peer.ready());
    TestConnection conn;
    cq_rpc_session_t *record = new_session();
    cq_session_handle_t session = record;
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(10001, cq_rpc_end(conn.handle, &session, &raw));
    Resp failed(raw);
    EXPECT_EQ(record, session);
    EXPECT_STREQ("not now", failed->cq_res_out.errstr);
    EXPECT_EQ(0, cq_rpc_end(conn.handle, &session, &raw));
    Resp ended(raw);
    EXPECT_EQ(nullptr, session);
    EXPECT_EQ(CQ_END_API, ended->cq_res_out.cq_ok.cq_api);
}

// Every allocation of a next call may fail: the call then reports 12 ("Out
// of memory", or no response when the response itself could not be made),
// or 131072 when the buffer for the received reply could not be made; the
// session stays usable and nothing leaks.
TEST(CqSession, EveryAllocationFailureOfANextIsReported) {
    PeerProcess peer(rpc_peer({"batch:1:2:1"}), "READY");
    ASSERT_TRUE(peer.ready());
    TestConnection conn;
    cq_session_handle_t session = new_session();
    sweep_allocation_failures(
        [&] {
            cq_rpc_resp_t *raw = nullptr;
            const int32_t code = cq_rpc_next(conn.handle, session, &raw);
            return std::make_pair(code, Resp(raw));
        },
        [](const auto &result, bool failure_reached) {
            const auto &[code, resp] = result;
            if (!failure_reached) {
                EXPECT_EQ(0, code);
                ASSERT_NE(nullptr, resp);
                EXPECT_EQ(CQ_NEXT_API_V1, resp->cq_res_out.cq_ok.cq_api);
                return;
            }
            if (code == ENOMEM && resp == nullptr)
                return;
            ASSERT_NE(nullptr, resp) << code;
            EXPECT_EQ(code, code_of(resp.get()));
            if (code == ENOMEM)
                EXPECT_STREQ("Out of memory", resp->cq_res_out.errstr);
            else
                EXPECT_EQ(131072, code);
        });
    EXPECT_EQ(nullptr, static_cast<cq_rpc_session_t *>(session)->session_hash);
    drop_test_session(session);
}

TEST(CqSession, AFragmentedReplyIsReassembled) {
    PeerProcess peer(rpc_peer({"split"}), "READY");
    ASSERT_TRUE(peer.ready());
    TestConnection conn;
    cq_session_handle_t session = new_session();
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(0, cq_rpc_next(conn.handle, session, &raw));
    Resp resp(raw);
    ASSERT_EQ(CQ_NEXT_API_V1, resp->cq_res_out.cq_ok.cq_api);
    const CQ_NEXT4resok_V1 *batch = resp->cq_res_out.cq_ok.cq_out_ok.next_res_V1;
    ASSERT_EQ(3u, batch->crp.crp_len);
    EXPECT_EQ(102u, batch->crp.crp_val[2].scr_inode_num);
    EXPECT_TRUE(batch->eof);
    drop_test_session(session);
}

TEST(CqSession, AHandleOverItsBoundCannotBeEncoded) {
    PeerProcess peer(rpc_peer({"ok:never"}), "READY");
    ASSERT_TRUE(peer.ready());
    TestConnection conn;
    cq_session_handle_t session = new_session(std::string(129, 'h'));
    cq_rpc_resp_t *raw = nullptr;
    // RPC_CANTENCODEARGS (1) shifted left 16 bits; nothing reaches the peer.
    EXPECT_EQ(65536, cq_rpc_status(conn.handle, session, &raw));
    Resp resp(raw);
    EXPECT_EQ(65536, code_of(resp.get()));
    EXPECT_TRUE(compound_lines(peer).empty()) << peer.output();
    drop_test_session(session);
}

// --- The start over HTTPS -----------------------------------------------------------

// A self-signed certificate for the HTTPS peer, made once.
class CqStart : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { certs_ = make_test_certificates(peers_dir); }
    static void TearDownTestSuite() { remove_test_certificates(certs_); }

    // An HTTPS peer on port 443 answering every request with `body`.
    static std::vector<std::string> https_peer(const std::string &results) {
        const std::string body = "<?xml version='1.0' encoding='UTF-8' ?>\n"
                                 "<kovrel version=\"1.15\">" +
                                 results + "</kovrel>";
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        return {"python3",
                peers_dir + "/api_http_peer.py",
                "--port",
                "443",
                "--tls-cert",
                certs_ + "/selfsigned.pem",
                "--tls-key",
                certs_ + "/selfsigned.key",
                "send=" + to_hex(reply)};
    }

    // The body of the one request the peer received.
    static std::string request_of(PeerProcess &peer) {
        EXPECT_TRUE(peer.wait_for("REQUEST-DONE 1", 10s)) << peer.output();
        const std::string &out = peer.output();
        const size_t at = out.find("REQUEST 1 ");
        if (at == std::string::npos)
            return "";
        const size_t hex_at = out.find(' ', at + 10) + 1;
        return from_hex(out.substr(hex_at, out.find('\n', hex_at) - hex_at));
    }

    static std::string certs_;
};
std::string CqStart::certs_;

const char kStarted[] = "<results status=\"passed\"><session-handle>sh-7</session-handle>"
                        "<session-id>0123456789abcdef0123456789abcdef0123</session-id>"
                        "<session-status>started</session-status></results>";

TEST_F(CqStart, SendsTheChildrenInOrderAndMakesTheSession) {
    PeerProcess peer(https_peer(kStarted), "READY");
    ASSERT_TRUE(peer.ready());
    TestStartArgs args;
    args.a.vserver = const_cast<char *>("vs1");
    args.a.basesnap = const_cast<char *>("s1");
    args.a.restartcookie = const_cast<char *>("rc-9");
    args.a.atime = 1;
    args.a.checkpointing = 1;
    args.a.i2p = 1; // accepted, not sent
    cq_session_handle_t session = nullptr;
    cq_rpc_resp_t *raw = nullptr;
    ASSERT_EQ(0, cq_rpc_start(nullptr, &args.a, &session, &raw));
    Resp resp(raw);
    ASSERT_EQ(0, code_of(resp.get()));
    ASSERT_EQ(CQ_START_API, resp->cq_res_out.cq_ok.cq_api);
    EXPECT_EQ(nullptr, resp->cq_res_out.cq_ok.cq_rpc_cookie);
    const CQ_START4resok *res = resp->cq_res_out.cq_ok.cq_out_ok.start_res;
    EXPECT_STREQ("sh-7", res->session_handle);
    EXPECT_STREQ(kSessionId, res->session_id);
    EXPECT_STREQ("started", res->session_status);
    ASSERT_NE(nullptr, session);
    auto *record = static_cast<cq_rpc_session_t *>(session);
    EXPECT_EQ(CQ_SESSION_MAGIC, record->session_magic);
    EXPECT_STREQ("sh-7", record->session_handle);
    EXPECT_NE(res->session_handle, record->session_handle); // copies of their own
    EXPECT_EQ(0u, record->sequence);
    drop_test_session(session);

    const std::string request = request_of(peer);
    EXPECT_NE(std::string::npos, request.find("POST ")) << request;
    EXPECT_NE(std::string::npos, request.find("version=\"1.15\"")) << request;
    EXPECT_NE(std::string::npos, request.find("\"vs1\"")) << request;
    // "admin:secret" in Basic authentication.
    EXPECT_NE(std::string::npos, request.find("Basic YWRtaW46c2VjcmV0")) << request;
    EXPECT_NE(std::string::npos,
              request.find("<chgscan-iter-start><version>2</version><volume>vol1</volume>"
                           "<base-snapshot>s1</base-snapshot><diff-snapshot>s2</diff-snapshot>"
                           "<file-access-protocol>nfs</file-access-protocol>"
                           "<restart-cookie>rc-9</restart-cookie>"
                           "<application-name>app</application-name>"
                           "<application-type>test</application-type>"
                           "<max-diffs>12345</max-diffs><atime>true</atime>"
                           "<include-file-attributes>false</include-file-attributes>"
                           "<checkpointing>true</checkpointing></chgscan-iter-start>"))
        << request;
}

TEST_F(CqStart, LeavesOutTheOptionalChildren) {
    PeerProcess peer(https_peer(kStarted), "READY");
    ASSERT_TRUE(peer.ready());
    TestStartArgs args;
    cq_session_handle_t session = nullptr;
    cq_rpc_resp_t *raw = nullptr;
    ASSERT_EQ(0, cq_rpc_start(nullptr, &args.a, &session, &raw));
    Resp resp(raw);
    drop_test_session(session);
    const std::string request = request_of(peer);
    EXPECT_NE(std::string::npos,
              request.find("<volume>vol1</volume><diff-snapshot>s2</diff-snapshot>"
                           "<file-access-protocol>nfs</file-access-protocol>"
                           "<application-name>"))
        << request;
    EXPECT_EQ(std::string::npos, request.find("base-snapshot")) << request;
    EXPECT_EQ(std::string::npos, request.find("restart-cookie")) << request;
}

TEST_F(CqStart, FailedRepliesCreateNoSession) {
    const struct {
        const char *results;
        int32_t status;
        const char *text;
    } cases[] = {
        {"<results status=\"failed\" errno=\"13005\" reason=\"Authorization failed\"/>", 13005,
         "Authorization failed"},
        // An error number of 0 would read as success.
        {"<results status=\"failed\" errno=\"0\" reason=\"odd\"/>", -1, "odd"},
        {"<results status=\"passed\"><session-handle>sh</session-handle></results>", EPROTO,
         "The start reply did not name the session (session-handle or session-id missing)"},
        {"<results status=\"passed\"><session-id>id</session-id>"
         "<session-handle></session-handle></results>",
         EPROTO, "The start reply did not name the session (session-handle or session-id missing)"},
    };
    for (const auto &c : cases) {
        PeerProcess peer(https_peer(c.results), "READY");
        ASSERT_TRUE(peer.ready());
        TestStartArgs args;
        int marker;
        cq_session_handle_t session = &marker;
        cq_rpc_resp_t *raw = nullptr;
        EXPECT_EQ(EPROTO, cq_rpc_start(nullptr, &args.a, &session, &raw)) << c.results;
        Resp resp(raw);
        EXPECT_EQ(nullptr, session) << c.results;
        ASSERT_NE(nullptr, resp);
        EXPECT_EQ(c.status, code_of(resp.get())) << c.results;
        EXPECT_STREQ(c.text, resp->cq_res_out.errstr) << c.results;
    }
}

// Every allocation of a start may fail: the start then fails (12, or 71
// when the failure surfaced inside the invocation) without a session, and
// nothing leaks.
TEST_F(CqStart, EveryAllocationFailureFailsTheStartCleanly) {
    std::vector<std::string> argv = https_peer(kStarted);
    // A request cut short by a failure is given up after a second.
    argv.insert(argv.begin() + 2,
                {"--connections", "100000", "--lifetime", "120", "--io-timeout", "1"});
    PeerProcess peer(argv, "READY");
    ASSERT_TRUE(peer.ready());
    TestStartArgs args;
    sweep_allocation_failures(
        [&] {
            // Keep reading the peer's report lines, or its pipe fills and it
            // stops answering.
            peer.wait_for("\x01 not printed", 20ms);
            cq_session_handle_t session = nullptr;
            cq_rpc_resp_t *raw = nullptr;
            const int32_t code = cq_rpc_start(nullptr, &args.a, &session, &raw);
            return std::make_tuple(code, session, Resp(raw));
        },
        [](const auto &result, bool failure_reached) {
            const auto &[code, session, resp] = result;
            // Some failures are absorbed on the way (a log line not written,
            // say); a start that passed has a session and a result.
            if (code == 0) {
                ASSERT_NE(nullptr, session);
                ASSERT_NE(nullptr, resp);
                EXPECT_EQ(CQ_START_API, resp->cq_res_out.cq_ok.cq_api);
                drop_test_session(session);
                return;
            }
            EXPECT_TRUE(failure_reached) << code;
            EXPECT_EQ(nullptr, session);
            EXPECT_TRUE(code == ENOMEM || code == EPROTO) << code;
            if (resp != nullptr) {
                EXPECT_NE(0, code_of(resp.get()));
            }
        },
        2000);
}

TEST_F(CqStart, NothingListeningFailsTheStart) {
    TestStartArgs args;
    cq_session_handle_t session = nullptr;
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(EPROTO, cq_rpc_start(nullptr, &args.a, &session, &raw));
    Resp resp(raw);
    EXPECT_EQ(nullptr, session);
    ASSERT_NE(nullptr, resp);
    EXPECT_NE(0, code_of(resp.get()));
    ASSERT_NE(nullptr, resp->cq_res_out.errstr);
    EXPECT_NE('\0', resp->cq_res_out.errstr[0]);
}

// --- A C caller -------------------------------------------------------------

// The C11 program of tests/c_api, built against the public headers, runs a
// whole session: connect, start, next until eof, status, end, disconnect.
TEST_F(CqStart, ACProgramRunsAWholeSession) {
    PeerProcess https(https_peer(kStarted), "READY");
    ASSERT_TRUE(https.ready());
    PeerProcess rpc(
        rpc_peer({"batch:1:2:0", "batch:2:2:0", "batch:1:1:1", "ok:active", "ok:ended"}), "READY");
    ASSERT_TRUE(rpc.ready());
    int status = -1;
    const std::string out =
        run_command(std::string(KOVREL_C_API_CQ_SESSION) + " 127.0.0.1 ::1 2>&1", &status);
    EXPECT_EQ(0, status) << out;
    EXPECT_EQ("batch v1 2 eof=0\nbatch v2 2 eof=0\nbatch v1 1 eof=1\nstatus active\nended ended\n",
              out);
    for (const std::string &line : compound_lines(rpc))
        EXPECT_NE(std::string::npos, line.find(" hash=ok")) << line;
}

} // namespace
