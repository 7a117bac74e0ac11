// The library against the simulator (`kovrel sim`), end to end on the
// namespace's loopback: every XML API transport with right and wrong
// credentials, and change-scan sessions over several batches, resumed from a
// restart cookie, against the session limit, and with version-2 records.
// The expected differences come from how the test built the two snapshots,
// not from the simulator.
#include "cq_api.h"
#include "kovrel.h"

#include "cq_fixtures.h"
#include "kr_owned.h"
#include "peer_process.h"
#include "test_certs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

const std::string peers_dir = KOVREL_PEERS_DIR;
const std::string tool = KOVREL_TOOL;
constexpr int kStreamPort = 11105;

struct RespDeleter {
    void operator()(cq_rpc_resp_t *r) const { cq_rpc_free_resp(&r); }
};
using Resp = std::unique_ptr<cq_rpc_resp_t, RespDeleter>;

void write_file(const fs::path &p, const std::string &content) {
    std::ofstream(p, std::ios::binary) << content;
}

void sh(const std::string &command) {
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

// One change as the test expects it: the change kind and the path.
using Change = std::pair<std::string, std::string>;

std::string kind_of(uint32_t change_type) {
    switch (change_type) {
    case CHGSCAN_OP_DIR_CREATE:
    case CHGSCAN_OP_INODE_CREATE:
        return "created";
    case CHGSCAN_OP_DIR_DELETE:
    case CHGSCAN_OP_INODE_DELETED:
        return "deleted";
    case CHGSCAN_OP_INODE_MODIFIED:
        return "modified";
    case CHGSCAN_OP_INODE_ACCESSED:
        return "accessed";
    default:
        return "unknown";
    }
}

// A volume with snapshots s1 and s2 made by hand, with the simulator
// serving it, certificates from make_certs.sh (CN=localhost) and the
// credentials admin:secret.
class SimE2E : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        certs_ = make_test_certificates(peers_dir);
        root_ = fs::temp_directory_path() / ("kovrel_e2e_" + std::to_string(getpid()));
        build_volume(root_ / "vol1");
    }
    static void TearDownTestSuite() {
        remove_test_certificates(certs_);
        fs::remove_all(root_);
    }

    // s1: 30 files in 3 directories. s2: a copy with 12 files and a
    // directory created, 8 files deleted, a directory deleted, 6 files
    // modified. Directory times are put back so that only the entries named
    // here differ.
    static void build_volume(const fs::path &vol) {
        const fs::path s1 = vol / ".snapshot" / "s1", s2 = vol / ".snapshot" / "s2";
        fs::create_directories(s1);
        for (int d = 0; d < 3; ++d) {
            fs::create_directories(s1 / ("d" + std::to_string(d)));
            for (int f = 0; f < 10; ++f)
                write_file(s1 / ("d" + std::to_string(d)) / ("f" + std::to_string(f)), "base");
        }
        fs::create_directories(s1 / "gone");
        write_file(s1 / "gone" / "x", "x");
        sh("cp -a '" + s1.string() + "' '" + s2.string() + "'");
        for (int f = 0; f < 12; ++f) {
            write_file(s2 / "d0" / ("new" + std::to_string(f)), "new");
            expected_.insert({"created", "/d0/new" + std::to_string(f)});
        }
        fs::create_directories(s2 / "fresh");
        expected_.insert({"created", "/fresh"});
        for (int f = 0; f < 8; ++f) {
            fs::remove(s2 / "d1" / ("f" + std::to_string(f)));
            expected_.insert({"deleted", "/d1/f" + std::to_string(f)});
        }
        fs::remove_all(s2 / "gone");
        expected_.insert({"deleted", "/gone"});
        expected_.insert({"deleted", "/gone/x"});
        for (int f = 0; f < 6; ++f) {
            write_file(s2 / "d2" / ("f" + std::to_string(f)), "changed content");
            expected_.insert({"modified", "/d2/f" + std::to_string(f)});
        }
        for (const char *dir : {"", "d0", "d1", "d2"})
            fs::last_write_time(s2 / dir, fs::last_write_time(s1 / dir));
        fs::create_directories(vol / "live");
    }

    // The simulator for this test, stopped at scope exit (and by itself).
    std::unique_ptr<PeerProcess> start_sim(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"sh",
                                         "-c",
                                         "exec \"$0\" \"$@\" 2>&1",
                                         tool,
                                         "sim",
                                         "--volume",
                                         "vol1=" + (root_ / "vol1").string(),
                                         "--user",
                                         "admin:secret",
                                         "--cert",
                                         certs_ + "/server.pem",
                                         "--key",
                                         certs_ + "/server.key",
                                         "--seconds",
                                         "120"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<PeerProcess>(argv, "kovrel sim: ready", 20s);
        EXPECT_TRUE(sim->ready()) << sim->output();
        return sim;
    }

    // HTTPS checks the certificate's name (localhost); the stream transport
    // takes an address, since it does not look names up.
    static Server server(kr_server_transport_t transport, int port, const char *password) {
        Server s(kr_server_open(transport == KR_SERVER_TRANSPORT_VAV ? "127.0.0.1" : "localhost", 1,
                                15));
        EXPECT_NE(nullptr, s);
        EXPECT_EQ(1, kr_server_set_transport_type(s.get(), transport, nullptr));
        kr_server_set_style(
            s.get(), transport == KR_SERVER_TRANSPORT_VAV ? KR_STYLE_VAV : KR_STYLE_LOGIN_PASSWORD);
        EXPECT_EQ(1, kr_server_set_port(s.get(), port));
        EXPECT_EQ(1, kr_server_set_admin_user(s.get(), "admin", password));
        EXPECT_EQ(1, kr_server_set_timeout(s.get(), 10));
        if (transport == KR_SERVER_TRANSPORT_HTTPS) {
            EXPECT_EQ(1, kr_server_set_ca_certs(s.get(), (certs_ + "/ca.pem").c_str()));
            EXPECT_EQ(1, kr_server_set_server_cert_verification(s.get(), 1));
        }
        return s;
    }

    static cq_start_args_t start_args(const char *password, uint32_t maxdiffs) {
        cq_start_args_t a{};
        a.ip_addr = const_cast<char *>("127.0.0.1");
        a.username = const_cast<char *>("admin");
        a.password = const_cast<char *>(password);
        a.volname = const_cast<char *>("vol1");
        a.basesnap = const_cast<char *>("s1");
        a.diffsnap = const_cast<char *>("s2");
        a.fileaccessproto = const_cast<char *>("nfs");
        a.maxdiffs = maxdiffs;
        a.appname = const_cast<char *>("e2e");
        a.apptype = const_cast<char *>("test");
        return a;
    }

    // Starts a session; fails the test unless it started.
    static cq_session_handle_t start(cq_start_args_t args) {
        cq_session_handle_t session = nullptr;
        cq_rpc_resp_t *raw = nullptr;
        const int32_t code = cq_rpc_start(nullptr, &args, &session, &raw);
        Resp resp(raw);
        EXPECT_EQ(0, code) << (resp != nullptr && resp->status != 0 ? resp->cq_res_out.errstr : "");
        return session;
    }

    struct Batch {
        std::vector<Change> changes;
        std::string cookie;
        bool eof = false;
        int version = 0;
    };

    static Batch next(cq_connect_handle_t conn, cq_session_handle_t session) {
        Batch b;
        cq_rpc_resp_t *raw = nullptr;
        cq_rpc_next(conn, session, &raw);
        Resp resp(raw);
        if (resp == nullptr || resp->status != 0) {
            ADD_FAILURE() << "next failed: "
                          << (resp != nullptr ? resp->cq_res_out.errstr : "no response");
            b.eof = true;
            return b;
        }
        const auto collect = [&b](const auto *res) {
            for (unsigned int i = 0; i < res->crp.crp_len; ++i) {
                const auto &r = res->crp.crp_val[i];
                b.changes.push_back(
                    {kind_of(r.scr_change_type),
                     std::string(r.scr_name.scr_name_val, r.scr_name.scr_name_len)});
            }
            b.cookie.assign(res->restart_cookie.restart_cookie_val,
                            res->restart_cookie.restart_cookie_len);
            b.eof = res->eof != 0;
        };
        if (resp->cq_res_out.cq_ok.cq_api == CQ_NEXT_API_V2) {
            b.version = 2;
            collect(resp->cq_res_out.cq_ok.cq_out_ok.next_res_V2);
        } else {
            b.version = 1;
            collect(resp->cq_res_out.cq_ok.cq_out_ok.next_res_V1);
        }
        return b;
    }

    static void end(cq_connect_handle_t conn, cq_session_handle_t *session) {
        cq_rpc_resp_t *raw = nullptr;
        EXPECT_EQ(0, cq_rpc_end(conn, session, &raw));
        Resp resp(raw);
        EXPECT_EQ(nullptr, *session);
    }

    static std::string certs_;
    static fs::path root_;
    static std::set<Change> expected_;
};
std::string SimE2E::certs_;
fs::path SimE2E::root_;
std::set<Change> SimE2E::expected_;

TEST_F(SimE2E, EveryTransportAnswersAndChecksCredentials) {
    auto sim = start_sim();
    const struct {
        const char *name;
        kr_server_transport_t transport;
        int port;
    } transports[] = {{"http", KR_SERVER_TRANSPORT_HTTP, 80},
                      {"https", KR_SERVER_TRANSPORT_HTTPS, 443},
                      {"stream", KR_SERVER_TRANSPORT_VAV, kStreamPort}};
    for (const auto &t : transports) {
        Server good = server(t.transport, t.port, "secret");
        Elem out(kr_server_invoke(good.get(), "system-get-version", nullptr));
        ASSERT_NE(nullptr, out) << t.name;
        EXPECT_EQ(1, kr_results_status(out.get()))
            << t.name << ": " << kr_results_reason(out.get());
        const char *version = kr_child_get_string(out.get(), "version");
        EXPECT_TRUE(version != nullptr && version[0] != '\0') << t.name;

        Server bad = server(t.transport, t.port, "wrong");
        Elem refused(kr_server_invoke(bad.get(), "system-get-version", nullptr));
        ASSERT_NE(nullptr, refused) << t.name;
        EXPECT_EQ(0, kr_results_status(refused.get())) << t.name;
    }
}

TEST_F(SimE2E, ASessionDeliversTheWholeDifferenceInBatches) {
    auto sim = start_sim();
    TestConnection conn;
    cq_session_handle_t session = start(start_args("secret", 7));
    ASSERT_NE(nullptr, session);
    std::vector<Change> got;
    int batches = 0;
    for (Batch b; !b.eof && batches < 100; ++batches) {
        b = next(conn.handle, session);
        EXPECT_LE(b.changes.size(), 7u);
        EXPECT_EQ(1, b.version);
        got.insert(got.end(), b.changes.begin(), b.changes.end());
    }
    EXPECT_GE(batches, 5);
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(0, cq_rpc_status(conn.handle, session, &raw));
    Resp status(raw);
    ASSERT_EQ(CQ_STATUS_API, status->cq_res_out.cq_ok.cq_api);
    end(conn.handle, &session);
    EXPECT_EQ(expected_, std::set<Change>(got.begin(), got.end()));
    EXPECT_EQ(expected_.size(), got.size()); // nothing twice
}

TEST_F(SimE2E, ANewSessionResumesFromARestartCookie) {
    auto sim = start_sim();
    TestConnection conn;
    cq_session_handle_t first = start(start_args("secret", 5));
    ASSERT_NE(nullptr, first);
    const Batch head = next(conn.handle, first);
    ASSERT_EQ(5u, head.changes.size());
    ASSERT_FALSE(head.cookie.empty());
    end(conn.handle, &first);

    cq_start_args_t args = start_args("secret", 50);
    std::string cookie = head.cookie;
    args.restartcookie = cookie.data();
    cq_session_handle_t second = start(args);
    ASSERT_NE(nullptr, second);
    std::vector<Change> got = head.changes;
    for (Batch b; !b.eof;) {
        b = next(conn.handle, second);
        got.insert(got.end(), b.changes.begin(), b.changes.end());
    }
    end(conn.handle, &second);
    EXPECT_EQ(expected_, std::set<Change>(got.begin(), got.end()));
    EXPECT_EQ(expected_.size(), got.size());
}

TEST_F(SimE2E, TheSessionLimitIsReportedAndFreedByAnEnd) {
    auto sim = start_sim({"--max-sessions", "2"});
    TestConnection conn;
    cq_session_handle_t a = start(start_args("secret", 10));
    cq_session_handle_t b = start(start_args("secret", 10));
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    cq_start_args_t args = start_args("secret", 10);
    cq_session_handle_t c = nullptr;
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(EPROTO, cq_rpc_start(nullptr, &args, &c, &raw));
    Resp refused(raw);
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ(NFS4ERR_MAX_CQ_SESSIONS, refused->status) << refused->cq_res_out.errstr;
    end(conn.handle, &a);
    cq_session_handle_t d = start(start_args("secret", 10));
    EXPECT_NE(nullptr, d);
    end(conn.handle, &b);
    end(conn.handle, &d);
}

TEST_F(SimE2E, AWrongPasswordFailsTheStart) {
    auto sim = start_sim();
    cq_start_args_t args = start_args("wrong", 10);
    cq_session_handle_t session = nullptr;
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(EPROTO, cq_rpc_start(nullptr, &args, &session, &raw));
    Resp resp(raw);
    EXPECT_EQ(nullptr, session);
    ASSERT_NE(nullptr, resp);
    EXPECT_NE(0, static_cast<int32_t>(resp->status));
    ASSERT_NE(nullptr, resp->cq_res_out.errstr);
    EXPECT_NE('\0', resp->cq_res_out.errstr[0]);
}

TEST_F(SimE2E, LargeInodeNumbersComeInVersion2Batches) {
    auto sim = start_sim({"--inode-offset", "4294967296"});
    TestConnection conn;
    cq_session_handle_t session = start(start_args("secret", 100));
    ASSERT_NE(nullptr, session);
    cq_rpc_resp_t *raw = nullptr;
    EXPECT_EQ(NFS4_CQ_SESSION_V2_OK, cq_rpc_next(conn.handle, session, &raw));
    Resp resp(raw);
    ASSERT_EQ(0, static_cast<int32_t>(resp->status));
    ASSERT_EQ(CQ_NEXT_API_V2, resp->cq_res_out.cq_ok.cq_api);
    const CQ_NEXT4resok_V2 *batch = resp->cq_res_out.cq_ok.cq_out_ok.next_res_V2;
    ASSERT_GT(batch->crp.crp_len, 0u);
    for (unsigned int i = 0; i < batch->crp.crp_len; ++i)
        EXPECT_GE(batch->crp.crp_val[i].scr_inode_num, uint64_t{1} << 32);
    end(conn.handle, &session);
}

} // namespace
