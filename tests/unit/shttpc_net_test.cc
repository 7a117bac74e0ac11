// The socket layer against independent peers on loopback: a Python peer for
// plain TCP and misbehaving servers, `openssl s_server` for TLS with
// certificates made at test time by the openssl command.
#include "shttpc.h"

#include "alloc_sweep.h"
#include "kovrel_rand.h"
#include "peer_process.h"
#include "pool.h"
#include "ssl_util.h"
#include "syslog.h"
#include "test_certs.h"
#include "zthread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string peers_dir = KOVREL_PEERS_DIR;

struct ShttpcDelete {
    void operator()(shttpc_s *s) const { shttpc_delete(s); }
};
using Shttpc = std::unique_ptr<shttpc_s, ShttpcDelete>;

struct AddrinfoFree {
    void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};
using Addrinfo = std::unique_ptr<addrinfo, AddrinfoFree>;

// A numeric address: no name service is asked.
Addrinfo numeric_address(const char *host, int port) {
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    EXPECT_EQ(getaddrinfo(host, std::to_string(port).c_str(), &hints, &result), 0) << host;
    return Addrinfo(result);
}

sockaddr_in loopback(int port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// A wait of `budget_ms` ends when it is used up, not much later.
void expect_took(long ms, long budget_ms) {
    EXPECT_GE(ms, budget_ms - 5);
    EXPECT_LT(ms, budget_ms + 250);
}

// A peer process and the port it listens on, read from the number after
// `marker` in its output.
struct Peer {
    std::unique_ptr<PeerProcess> process;
    int port = 0;
};

Peer start_peer(const std::vector<std::string> &argv, const std::string &marker) {
    Peer peer;
    peer.process = std::make_unique<PeerProcess>(argv, marker);
    EXPECT_TRUE(peer.process->ready()) << argv[0] << " did not start: " << peer.process->output();
    const std::string &out = peer.process->output();
    EXPECT_NE(out.find('\n', out.find(marker)), std::string::npos) << "line cut short: " << out;
    const size_t at = out.find(marker);
    if (at != std::string::npos)
        peer.port = atoi(out.c_str() + at + marker.size());
    EXPECT_GT(peer.port, 0) << out;
    return peer;
}

// The Python peer in one of its modes (see shttpc_peer.py).
Peer python_peer(const std::string &mode, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {"python3", peers_dir + "/shttpc_peer.py", mode};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return start_peer(argv, "READY ");
}

// A port on which nothing listens.
int closed_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    close(fd);
    return ntohs(a.sin_port);
}

Shttpc connected_plain(int port, int timeout_ms) {
    Shttpc s(shttpc_new(SHTTPC_Type_Plain, timeout_ms));
    EXPECT_NE(s, nullptr);
    const sockaddr_in a = loopback(port);
    EXPECT_EQ(shttpc_connect(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0)
        << strerror(errno);
    return s;
}

std::string read_some(shttpc_t s, size_t want) {
    std::string got;
    char buf[256];
    while (got.size() < want) {
        const ssize_t n = shttpc_read(s, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// ---------------------------------------------------------------------------
// Plain TCP

enum class Creator { ipv4, ipv6_form_inet, ipv6_form_unspec, ipv6_form_inet6 };

struct PlainCase {
    const char *name;
    Creator creator;
    int timeout_ms;
};

void PrintTo(const PlainCase &c, std::ostream *os) {
    *os << c.name;
}

class ShttpcPlainRoundTrip : public ::testing::TestWithParam<PlainCase> {};

TEST_P(ShttpcPlainRoundTrip, WritesAndReadsBackThroughAnEchoPeer) {
    const PlainCase &c = GetParam();
    const bool v6 = c.creator == Creator::ipv6_form_inet6;
    Peer peer = python_peer("echo", {"--host", v6 ? "::1" : "127.0.0.1"});
    Addrinfo ai = numeric_address(v6 ? "::1" : "127.0.0.1", peer.port);
    ASSERT_NE(ai, nullptr);
    if (c.creator == Creator::ipv6_form_unspec)
        ai->ai_family = AF_UNSPEC;

    Shttpc s;
    int rc;
    if (c.creator == Creator::ipv4) {
        s.reset(shttpc_new(SHTTPC_Type_Plain, c.timeout_ms));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->use_sslv3, 0);
        rc = shttpc_connect(s.get(), ai->ai_addr, ai->ai_addrlen);
    } else {
        s.reset(shttpc_new_ipv6(SHTTPC_Type_Plain, c.timeout_ms, ai.get()));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->use_sslv3, 1);
        rc = shttpc_connect_ipv6(s.get(), ai.get(), ai->ai_addrlen);
    }
    ASSERT_EQ(rc, 0) << strerror(errno);
    EXPECT_EQ(s->sh_timeout, static_cast<uint32_t>(c.timeout_ms < 0 ? 0 : c.timeout_ms));
    EXPECT_EQ(s->sh_ssl, nullptr);

    const std::string message(100000, 'x');
    EXPECT_EQ(shttpc_write(s.get(), message.data(), message.size()),
              static_cast<ssize_t>(message.size()));
    EXPECT_EQ(read_some(s.get(), message.size()), message);
    EXPECT_EQ(shttpc_write(s.get(), "", 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ShttpcPlainRoundTrip,
    ::testing::Values(PlainCase{"ipv4_blocking", Creator::ipv4, 0},
                      PlainCase{"ipv4_timeout", Creator::ipv4, 2000},
                      PlainCase{"ipv4_negative_timeout_is_blocking", Creator::ipv4, -5},
                      PlainCase{"addrinfo_inet", Creator::ipv6_form_inet, 2000},
                      PlainCase{"addrinfo_unspec_gives_inet", Creator::ipv6_form_unspec, 2000},
                      PlainCase{"addrinfo_inet6", Creator::ipv6_form_inet6, 2000}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ShttpcPlain, ReadReturnsZeroWhenThePeerCloses) {
    for (const int timeout_ms : {0, 1000}) {
        SCOPED_TRACE(timeout_ms);
        Peer peer = python_peer("close");
        Shttpc s = connected_plain(peer.port, timeout_ms);
        char buf[16];
        EXPECT_EQ(shttpc_read(s.get(), buf, sizeof buf), 0);
    }
}

TEST(ShttpcPlain, ReadReturnsWhatThePeerSent) {
    Peer peer = python_peer("send", {"--data", "HTTP/1.1 200 OK\r\n"});
    Shttpc s = connected_plain(peer.port, 1000);
    EXPECT_EQ(read_some(s.get(), 17), "HTTP/1.1 200 OK\r\n");
    char buf[4];
    EXPECT_EQ(shttpc_read(s.get(), buf, sizeof buf), 0);
}

TEST(ShttpcPlain, EachReadTimesOutOnItsOwnBudget) {
    Peer peer = python_peer("silent");
    Shttpc s = connected_plain(peer.port, 300);
    for (int i = 0; i < 2; ++i) {
        char buf[16];
        const auto start = std::chrono::steady_clock::now();
        errno = 0;
        EXPECT_EQ(shttpc_read(s.get(), buf, sizeof buf), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        const long ms = elapsed_ms(start);
        expect_took(ms, 300);
    }
}

TEST(ShttpcPlain, WriteTimingOutMidwayReturnsTheBytesSent) {
    Peer peer = python_peer("silent", {"--rcvbuf", "4096"});
    Shttpc s(shttpc_new(SHTTPC_Type_Plain, 300));
    ASSERT_NE(s, nullptr);
    const int sndbuf = 4096;
    ASSERT_EQ(shttpc_setsockopt(s.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
    const sockaddr_in a = loopback(peer.port);
    ASSERT_EQ(shttpc_connect(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);

    const std::vector<char> big(8 << 20, 'z');
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    const ssize_t n = shttpc_write(s.get(), big.data(), big.size());
    const long ms = elapsed_ms(start);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<ssize_t>(big.size()));
    expect_took(ms, 300);
}

TEST(ShttpcPlain, ConnectToAClosedPortIsRefused) {
    for (const int timeout_ms : {0, 500}) {
        SCOPED_TRACE(timeout_ms);
        Shttpc s(shttpc_new(SHTTPC_Type_Plain, timeout_ms));
        ASSERT_NE(s, nullptr);
        const sockaddr_in a = loopback(closed_port());
        errno = 0;
        EXPECT_EQ(shttpc_connect(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    }
}

// A listener that never accepts, with its queue filled: further connection
// attempts get no answer at all.
TEST(ShttpcPlain, ConnectWithoutAnswerTimesOut) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<Shttpc> fillers;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        fillers.emplace_back(shttpc_new(SHTTPC_Type_Plain, 100));
        full =
            shttpc_connect(fillers.back().get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0;
    }
    ASSERT_TRUE(full) << "the listen queue never filled";

    Shttpc s(shttpc_new(SHTTPC_Type_Plain, 500));
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(shttpc_connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    const long ms = elapsed_ms(start);
    expect_took(ms, 500);
    close(listener);
}

// A peer that is gone must not kill the writer with SIGPIPE, which keeps its
// default disposition here. Run in a child so that a failure shows as a
// signal death instead of ending the test program.
TEST(ShttpcPlain, WritingToAClosedPeerRaisesNoSigpipe) {
    Peer peer = python_peer("close");
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_DFL);
            Shttpc s = connected_plain(peer.port, 1000);
            char buf[4];
            if (shttpc_read(s.get(), buf, sizeof buf) != 0)
                _exit(2);
            ssize_t n = 0;
            for (int i = 0; i < 50 && n >= 0; ++i) {
                n = shttpc_write(s.get(), "data", 4);
                usleep(10000);
            }
            _exit(n == -1 && errno == EPIPE ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// Creation

class ShttpcLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/shttpc_test_log_XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        syslog_force_directory((dir_ + "/").c_str());
        syslog_echo_to_console(0);
    }
    void TearDown() override {
        syslog_force_directory(nullptr);
        syslog_echo_to_console(1);
        fs::remove_all(dir_);
    }
    std::string log_text() const {
        std::string all;
        for (const auto &entry : fs::directory_iterator(dir_)) {
            std::ifstream in(entry.path());
            all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return all;
    }
    std::string dir_;
};

TEST_F(ShttpcLogTest, UnknownAddressFamilyFailsCreation) {
    for (const int family : {AF_UNIX, AF_PACKET, 99}) {
        SCOPED_TRACE(family);
        addrinfo ai = {};
        ai.ai_family = family;
        EXPECT_EQ(shttpc_new_ipv6(SHTTPC_Type_Plain, 0, &ai), nullptr);
        EXPECT_NE(
            log_text().find("shttpc_new_ipv6::Unknown adrress family = " + std::to_string(family)),
            std::string::npos)
            << log_text();
    }
}

TEST(ShttpcAlloc, CreationReturnsNullWhenMemoryRunsOut) {
    Addrinfo ai = numeric_address("127.0.0.1", 80);
    const std::vector<std::pair<const char *, std::function<shttpc_t()>>> creators = {
        {"shttpc_new", [] { return shttpc_new(SHTTPC_Type_SSL, 1000); }},
        {"shttpc_new_ipv6", [&] { return shttpc_new_ipv6(SHTTPC_Type_SSL, 1000, ai.get()); }},
    };
    for (const auto &[name, create] : creators) {
        SCOPED_TRACE(name);
        sweep_allocation_failures(
            [&] {
                errno = 0;
                shttpc_t s = create();
                return std::make_pair(s, errno);
            },
            [](std::pair<shttpc_t, int> result, bool failed) {
                auto [s, err] = result;
                if (failed) {
                    EXPECT_EQ(s, nullptr);
                    EXPECT_EQ(err, ENOMEM);
                } else {
                    ASSERT_NE(s, nullptr);
                    EXPECT_GE(s->sh_socket, 0);
                }
                if (s != nullptr)
                    shttpc_delete(s);
            });
    }
}

TEST(ShttpcAlloc, VerifyErrorStringReturnsNullWhenMemoryRunsOut) {
    sweep_allocation_failures([] { return shttpc_get_verify_cert_error_string(18); },
                              [](char *text, bool failed) {
                                  if (failed)
                                      EXPECT_EQ(text, nullptr);
                                  else
                                      EXPECT_NE(text, nullptr);
                                  pool_free(pool_default(), text);
                              });
}

// ---------------------------------------------------------------------------
// Helpers without the network

TEST(ShttpcHelpers, VerifyErrorStrings) {
    const struct {
        long code;
        const char *text;
    } cases[] = {
        {18, "the passed certificate cannot be found in the list of trusted certificates"},
        {19, "the certificate chain could be built up using the untrusted certificates but the "
             "root could not be found locally"},
        {20, "unable to get local issuer certificate"},
        {10, "certificate has expired"},
    };
    for (const auto &c : cases) {
        char *text = shttpc_get_verify_cert_error_string(c.code);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text) << c.code;
        pool_free(pool_default(), text);
    }
}

TEST(ShttpcHelpers, PassPhraseCallbackCopiesWhatFits) {
    const struct {
        const char *passwd;
        int size;
        const char *expected;
    } cases[] = {
        {"client-pass", 64, "client-pass"},
        {"client-pass", 12, "client-pass"},
        {"client-pass", 11, "client-pas"},
        {"client-pass", 1, ""},
        {nullptr, 64, ""},
    };
    for (const auto &c : cases) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        const int n = shttpc_certificate_passwd_cb(buf, c.size, 0, const_cast<char *>(c.passwd));
        EXPECT_EQ(n, static_cast<int>(strlen(c.expected))) << c.size;
        EXPECT_STREQ(buf, c.expected) << c.size;
    }
}

TEST(ShttpcHelpers, RetryableErrors) {
    const struct {
        int err;
        int retry;
    } cases[] = {{EINTR, 1},        {EAGAIN, 1},    {EINPROGRESS, 1},
                 {ECONNREFUSED, 0}, {ETIMEDOUT, 0}, {0, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(shttpc_can_retry_on_error(c.err), c.retry) << c.err;
        EXPECT_EQ(shttpc_connect_status(c.err), c.retry ? 0 : -1) << c.err;
    }
}

TEST(ShttpcHelpers, TimevalArithmeticCarriesAndBorrows) {
    const struct {
        timeval x, y, sum, difference;
        int negative;
    } cases[] = {
        {{1, 999999}, {0, 1}, {2, 0}, {1, 999998}, 0},
        {{1, 0}, {0, 1}, {1, 1}, {0, 999999}, 0},
        {{5, 500000}, {5, 500000}, {11, 0}, {0, 0}, 0},
        {{0, 1}, {1, 0}, {1, 1}, {-1, 1}, 1},
        {{2, 0}, {3, 500000}, {5, 500000}, {-2, 500000}, 1},
    };
    for (const auto &c : cases) {
        timeval r;
        timeval_add(&r, &c.x, &c.y);
        EXPECT_EQ(r.tv_sec, c.sum.tv_sec);
        EXPECT_EQ(r.tv_usec, c.sum.tv_usec);
        EXPECT_EQ(timeval_sub(&r, &c.x, &c.y), c.negative);
        EXPECT_EQ(r.tv_sec, c.difference.tv_sec);
        EXPECT_EQ(r.tv_usec, c.difference.tv_usec);
    }
    timeval a = {1, 700000};
    const timeval b = {0, 600000};
    timeval_add(&a, &a, &b); // the result may be an operand
    EXPECT_EQ(a.tv_sec, 2);
    EXPECT_EQ(a.tv_usec, 300000);
}

// ---------------------------------------------------------------------------
// TLS library set-up. The first-use behaviour is checked in a fresh process
// (the "threadsafe" death-test style re-executes the test program).

class ThreadsafeDeathTests {
  public:
    ThreadsafeDeathTests() : saved_(GTEST_FLAG_GET(death_test_style)) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    ~ThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, saved_); }

  private:
    std::string saved_;
};

TEST(SslUtil, InitRunsOnceAndSeedsFromTheOwnGenerator) {
    const ThreadsafeDeathTests fresh_process;
    EXPECT_EXIT(
        {
            const uint64_t before = kovrel_rand_generation_count_for_test();
            const bool first = ssl_util_init() == 1;
            const uint64_t after_first = kovrel_rand_generation_count_for_test();
            const bool second = ssl_util_init() == 1;
            const uint64_t after_second = kovrel_rand_generation_count_for_test();
            _exit(first && second && after_first > before && after_second == after_first ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SslUtil, WrappersRequireTheSetUp) {
    const ThreadsafeDeathTests fresh_process;
    EXPECT_DEATH(SSL_library_init_func(), "ssl_util_initizalized");
    EXPECT_DEATH(CRYPTO_set_id_callback_func(ssl_util_thread_id), "ssl_util_initizalized");
}

// A lock that cannot be made is reported; the set-up still counts as done.
int init_with_failing_locks() {
    char dir[] = "/tmp/shttpc_ssl_log_XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 2;
    syslog_force_directory((std::string(dir) + "/").c_str());
    syslog_echo_to_console(0);
    zthread_test_force_init_failure();
    const bool done = ssl_util_init() == 1;
    std::string log;
    for (const auto &entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path());
        log.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    fs::remove_all(dir);
    if (!done)
        return 3;
    return log.find("Failed to create SSL lock 0.") != std::string::npos ? 0 : 4;
}

TEST(SslUtil, LockFailureIsReportedAndTheSetUpCompletes) {
    const ThreadsafeDeathTests fresh_process;
    EXPECT_EXIT(_exit(init_with_failing_locks()), ::testing::ExitedWithCode(0), "");
}

TEST(SslUtil, LockCallbackLocksAndUnlocksItsMutex) {
    ASSERT_TRUE(ssl_util_init());
    EXPECT_EQ(ssl_util_thread_id(), static_cast<unsigned long>(pthread_self()));
    ssl_util_lock_callback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
    std::atomic<bool> got(false);
    std::thread other([&] {
        ssl_util_lock_callback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
        got = true;
        ssl_util_lock_callback(0, 0, __FILE__, __LINE__);
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(got);
    ssl_util_lock_callback(0, 0, __FILE__, __LINE__);
    other.join();
    EXPECT_TRUE(got);
    // Numbers outside the array are ignored.
    ssl_util_lock_callback(CRYPTO_LOCK, CRYPTO_num_locks(), __FILE__, __LINE__);
    ssl_util_lock_callback(CRYPTO_LOCK, -1, __FILE__, __LINE__);
}

// ---------------------------------------------------------------------------
// TLS

// The certificates of make_certs.sh, made once per test program.
class ShttpcTls : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { certs_ = make_test_certificates(peers_dir); }
    static void TearDownTestSuite() { remove_test_certificates(certs_); }
    static std::string cert(const std::string &name) { return certs_ + "/" + name; }

    // openssl s_server for one connection, reversing each line it receives.
    // Its diagnostics (the client certificate it saw) join its output.
    static Peer s_server(const std::string &name, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"sh",
                                         "-c",
                                         "exec \"$0\" \"$@\" 2>&1",
                                         "timeout",
                                         "20",
                                         "openssl",
                                         "s_server",
                                         "-accept",
                                         "127.0.0.1:0",
                                         "-naccept",
                                         "1",
                                         "-rev",
                                         "-cert",
                                         cert(name + ".pem"),
                                         "-key",
                                         cert(name + ".key")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return start_peer(argv, "ACCEPT 127.0.0.1:");
    }

    struct Connection {
        Shttpc sock;
        int rc = 0;
        int err = 0;
        long ms = 0;
    };

    static Connection tls_connect(int port, cert_auth_info *cert_info, int timeout_ms = 5000) {
        Connection c;
        Addrinfo ai = numeric_address("127.0.0.1", port);
        c.sock.reset(shttpc_new_ipv6(SHTTPC_Type_SSL, timeout_ms, ai.get()));
        EXPECT_NE(c.sock, nullptr);
        const auto start = std::chrono::steady_clock::now();
        errno = 0;
        c.rc = shttpc_connect_ipv6_with_cert(c.sock.get(), ai.get(), ai->ai_addrlen, cert_info);
        c.err = errno;
        c.ms = elapsed_ms(start);
        return c;
    }

    // s_server -rev sends each line back reversed.
    static void expect_round_trip(shttpc_t s) {
        EXPECT_EQ(shttpc_write(s, "kovrel\n", 7), 7);
        EXPECT_EQ(read_some(s, 7), "lervok\n");
    }

    static std::string certs_;
};
std::string ShttpcTls::certs_;

// Settings owned by a test; err_info is released like the server handle does.
struct CertSettings {
    cert_auth_info info = {};
    ~CertSettings() { pool_free(pool_default(), info.err_info); }
    std::string err_info() const { return info.err_info != nullptr ? info.err_info : "<none>"; }
};

char *c_str(const std::string &s) {
    return const_cast<char *>(s.c_str());
}

struct VerifyCase {
    const char *name;
    const char *server;             // certificate base name in the certificate directory
    std::vector<std::string> extra; // further s_server arguments
    const char *host;               // null: no host
    bool server_auth;
    bool hostname_verification;
    bool ca_file;
    const char *err_info; // null: the connect succeeds
};

void PrintTo(const VerifyCase &c, std::ostream *os) {
    *os << c.name;
}

class ShttpcVerify : public ShttpcTls, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(ShttpcVerify, ServerCertificate) {
    const VerifyCase &c = GetParam();
    std::vector<std::string> extra = c.extra;
    for (std::string &arg : extra)
        if (arg == "CHAIN")
            arg = cert("ca.pem");
    Peer peer = s_server(c.server, extra);
    const std::string ca = cert("ca.pem");
    CertSettings settings;
    settings.info.need_server_auth = c.server_auth;
    settings.info.need_hostname_verification = c.hostname_verification;
    settings.info.host = const_cast<char *>(c.host);
    settings.info.ca_file = c.ca_file ? c_str(ca) : nullptr;

    Connection conn = tls_connect(peer.port, &settings.info);
    if (c.err_info == nullptr) {
        ASSERT_EQ(conn.rc, 0) << conn.err << " " << settings.err_info();
        EXPECT_EQ(settings.info.err_info, nullptr);
        expect_round_trip(conn.sock.get());
    } else {
        EXPECT_EQ(conn.rc, -1);
        EXPECT_EQ(conn.err, SSL_ERROR_SSL);
        EXPECT_EQ(settings.err_info(), c.err_info);
    }
}

const char *const mismatch_other =
    "Server certificate verification failed: Server certificate name (CN=other.example), "
    "hostname (localhost) mismatch.";

INSTANTIATE_TEST_SUITE_P(
    Cases, ShttpcVerify,
    ::testing::Values(
        VerifyCase{"verified", "server", {}, "localhost", true, true, true, nullptr},
        VerifyCase{
            "name_differs_in_case", "server_case", {}, "localhost", true, true, true, nullptr},
        VerifyCase{"host_differs_in_case", "server", {}, "LocalHost", true, true, true, nullptr},
        VerifyCase{
            "name_mismatch", "server_other", {}, "localhost", true, true, true, mismatch_other},
        VerifyCase{"no_host",
                   "server",
                   {},
                   nullptr,
                   true,
                   true,
                   true,
                   "Server certificate verification failed: Server certificate name "
                   "(CN=localhost), hostname ((null)) mismatch."},
        VerifyCase{"mismatch_without_name_check",
                   "server_other",
                   {},
                   "localhost",
                   true,
                   false,
                   true,
                   nullptr},
        VerifyCase{"self_signed",
                   "selfsigned",
                   {},
                   "localhost",
                   true,
                   true,
                   true,
                   "the passed certificate cannot be found in the list of trusted certificates"},
        VerifyCase{"no_ca_leaf_only",
                   "server",
                   {},
                   "localhost",
                   true,
                   true,
                   false,
                   "unable to get local issuer certificate"},
        VerifyCase{"no_ca_chain_with_root",
                   "server",
                   {"-cert_chain", "CHAIN"},
                   "localhost",
                   true,
                   true,
                   false,
                   "the certificate chain could be built up using the untrusted certificates but "
                   "the root could not be found locally"},
        VerifyCase{"no_verification_accepts_self_signed",
                   "selfsigned",
                   {},
                   "other",
                   false,
                   true,
                   false,
                   nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

// Client certificates: the server demands one signed by the test CA.
struct ClientCase {
    const char *name;
    const char *cert_file; // base name; null: none
    const char *key_file;
    const char *passwd;
    const char *ca_file;
    const char *err_info; // null: the connect succeeds
    bool err_exact;       // false: err_info is the text up to OpenSSL's reason
};

void PrintTo(const ClientCase &c, std::ostream *os) {
    *os << c.name;
}

class ShttpcClientCert : public ShttpcTls, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(ShttpcClientCert, PresentsTheCertificate) {
    const ClientCase &c = GetParam();
    Peer peer = s_server("server", {"-Verify", "1", "-CAfile", cert("ca.pem")});
    const std::string cert_file = c.cert_file ? cert(c.cert_file) : "";
    const std::string key_file = c.key_file ? cert(c.key_file) : "";
    const std::string ca_file = c.ca_file ? cert(c.ca_file) : "";
    CertSettings settings;
    settings.info.need_client_auth = 1;
    settings.info.need_server_auth = 1;
    settings.info.need_hostname_verification = 1;
    settings.info.host = const_cast<char *>("localhost");
    settings.info.cert_file = c.cert_file ? c_str(cert_file) : nullptr;
    settings.info.key_file = c.key_file ? c_str(key_file) : nullptr;
    settings.info.key_passwd = const_cast<char *>(c.passwd);
    settings.info.ca_file = c.ca_file ? c_str(ca_file) : nullptr;

    Connection conn = tls_connect(peer.port, &settings.info);
    if (c.err_info == nullptr) {
        ASSERT_EQ(conn.rc, 0) << conn.err << " " << settings.err_info();
        expect_round_trip(conn.sock.get());
        EXPECT_TRUE(peer.process->wait_for("CN = test client", 2s)) << peer.process->output();
    } else {
        EXPECT_EQ(conn.rc, -1);
        EXPECT_EQ(conn.err, SSL_ERROR_SSL);
        const std::string text = settings.err_info();
        if (c.err_exact) {
            EXPECT_EQ(text, c.err_info);
        } else {
            EXPECT_EQ(text.rfind(c.err_info, 0), 0u) << text;
            EXPECT_GT(text.size(), strlen(c.err_info)) << "no reason after the prefix";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShttpcClientCert,
    ::testing::Values(
        ClientCase{"right_pass_phrase", "client.pem", "client.key", "client-pass", "ca.pem",
                   nullptr, false},
        ClientCase{"wrong_pass_phrase", "client.pem", "client.key", "wrong", "ca.pem",
                   "Failed to load key file: ", false},
        ClientCase{"no_pass_phrase_never_prompts", "client.pem", "client.key", nullptr, "ca.pem",
                   "Failed to load key file: ", false},
        ClientCase{"missing_certificate_file", "missing.pem", "client.key", "client-pass", "ca.pem",
                   "Failed to load certificate file: No such file or directory", true},
        ClientCase{"missing_key_file", "client.pem", "missing.key", "client-pass", "ca.pem",
                   "Failed to load key file: No such file or directory", true},
        ClientCase{"missing_ca_file", "client.pem", "client.key", "client-pass", "missing.pem",
                   "Failed to load trusted CA certificates: No such file or directory", true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ShttpcTls, RepeatedFailuresReplaceTheErrorText) {
    CertSettings settings;
    settings.info.need_server_auth = 1;
    settings.info.need_hostname_verification = 1;
    settings.info.host = const_cast<char *>("localhost");
    const std::string ca = cert("ca.pem");
    settings.info.ca_file = c_str(ca);
    for (int i = 0; i < 2; ++i) {
        Peer peer = s_server("server_other");
        Connection conn = tls_connect(peer.port, &settings.info);
        EXPECT_EQ(conn.rc, -1);
        EXPECT_EQ(settings.err_info(), mismatch_other);
    }
    // A later success leaves no stale text behind.
    Peer peer = s_server("server");
    Connection conn = tls_connect(peer.port, &settings.info);
    EXPECT_EQ(conn.rc, 0);
    EXPECT_EQ(settings.info.err_info, nullptr);
}

TEST_F(ShttpcTls, PlainConnectFormRunsTheHandshake) {
    Peer peer = s_server("server");
    Shttpc s(shttpc_new(SHTTPC_Type_SSL, 3000));
    ASSERT_NE(s, nullptr);
    const sockaddr_in a = loopback(peer.port);
    ASSERT_EQ(shttpc_connect(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);
    ASSERT_NE(s->sh_ssl, nullptr);
    expect_round_trip(s.get());
}

TEST_F(ShttpcTls, ReadTimesOutOverTls) {
    Peer peer = s_server("server");
    Connection conn = tls_connect(peer.port, nullptr, 300);
    ASSERT_EQ(conn.rc, 0);
    char buf[16];
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(shttpc_read(conn.sock.get(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    const long ms = elapsed_ms(start);
    expect_took(ms, 300);
}

// The server accepts TCP and never answers the handshake: the connect time-out
// covers the handshake too.
TEST_F(ShttpcTls, HandshakeWithoutAnswerTimesOut) {
    Peer peer = python_peer("silent");
    Connection conn = tls_connect(peer.port, nullptr, 700);
    EXPECT_EQ(conn.rc, -1);
    EXPECT_EQ(conn.err, ETIMEDOUT);
    expect_took(conn.ms, 700);
}

// A server that answers with something other than TLS: the handshake fails
// with the TLS library's error code in errno, not a system error number.
TEST_F(ShttpcTls, FailedHandshakeReportsTheTlsErrorCode) {
    for (const int timeout_ms : {0, 1000}) {
        SCOPED_TRACE(timeout_ms);
        Peer peer = python_peer("send", {"--data", "HTTP/1.1 400 Bad Request\r\n\r\n"});
        Connection conn = tls_connect(peer.port, nullptr, timeout_ms);
        EXPECT_EQ(conn.rc, -1);
        EXPECT_EQ(conn.err, SSL_ERROR_SSL);
    }
}

TEST_F(ShttpcTls, Sslv3ChoiceSetsTheProtocolOptions) {
    const struct {
        const char *name;
        bool ipv6_form;
        int use_sslv3; // -1: as created
        bool no_sslv3;
    } cases[] = {
        {"shttpc_new", false, -1, true},
        {"shttpc_new_ipv6", true, -1, false},
        {"shttpc_new_ipv6 without sslv3", true, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer = python_peer("send", {"--data", "not tls"});
        Addrinfo ai = numeric_address("127.0.0.1", peer.port);
        Shttpc s(c.ipv6_form ? shttpc_new_ipv6(SHTTPC_Type_SSL, 1000, ai.get())
                             : shttpc_new(SHTTPC_Type_SSL, 1000));
        ASSERT_NE(s, nullptr);
        if (c.use_sslv3 >= 0)
            s->use_sslv3 = c.use_sslv3;
        EXPECT_EQ(shttpc_connect_ipv6(s.get(), ai.get(), ai->ai_addrlen), -1);
        ASSERT_NE(s->sh_sslctx, nullptr);
        EXPECT_EQ((SSL_CTX_get_options(s->sh_sslctx) & SSL_OP_NO_SSLv3) != 0, c.no_sslv3);
    }
}

// OpenSSL writes to a peer that has gone: neither SIGPIPE kills the caller nor
// does one stay pending, and the caller's signal mask comes back unchanged. A
// SIGPIPE the application itself has pending is left to it. Runs in a child
// with the default disposition; the exit code tells which check failed.
int tls_write_after_peer_closed(int port, bool app_pending) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    if (app_pending) {
        pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
        raise(SIGPIPE);
    }
    Addrinfo ai = numeric_address("127.0.0.1", port);
    Shttpc s(shttpc_new_ipv6(SHTTPC_Type_SSL, 2000, ai.get()));
    if (shttpc_connect_ipv6(s.get(), ai.get(), ai->ai_addrlen) != 0)
        return 2;
    // Wait for the peer's end without reading it: a TLS read that saw it
    // would make every later write fail before reaching the socket.
    pollfd p = {s->sh_socket, POLLRDHUP, 0};
    if (poll(&p, 1, 2000) != 1)
        return 3;
    ssize_t n = 0;
    for (int i = 0; i < 50 && n >= 0; ++i) {
        n = shttpc_write(s.get(), "data", 4);
        usleep(10000);
    }
    if (n != -1)
        return 4;
    sigset_t mask;
    sigset_t pending;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    sigpending(&pending);
    if (sigismember(&mask, SIGPIPE) != (app_pending ? 1 : 0))
        return 5;
    if (sigismember(&pending, SIGPIPE) != (app_pending ? 1 : 0))
        return 6;
    return 0;
}

TEST_F(ShttpcTls, WritingToAClosedPeerRaisesNoSigpipe) {
    for (const bool app_pending : {false, true}) {
        SCOPED_TRACE(app_pending);
        Peer peer =
            python_peer("tls-close", {"--cert", cert("server.pem"), "--key", cert("server.key")});
        EXPECT_EXIT(_exit(tls_write_after_peer_closed(peer.port, app_pending)),
                    ::testing::ExitedWithCode(0), "");
    }
}

} // namespace
