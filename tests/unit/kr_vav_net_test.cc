// The stream-socket transport against a scripted peer on loopback: the exact
// header block and payload, every reply outcome and transport code, one
// connection per invocation, debug styles and tracing, TLS for the secure
// transport value, the exported socket calls and a C caller of the shared
// library.
#include "kr_vav.h"

#include "alloc_sweep.h"
#include "kr_owned.h"
#include "peer_process.h"
#include "pool.h"

#include "hex.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string send_step(const std::string &bytes) {
    return "send:" + to_hex(bytes);
}

// The scripted peer (tests/peers/vav_peer.py): plays `steps` on each
// connection and reports what it received.
class VavPeer {
  public:
    explicit VavPeer(const std::vector<std::string> &steps, int connections = 1,
                     const std::vector<std::string> &options = {})
        : process_(argv(steps, connections, options), "READY ") {
        if (process_.ready() && process_.wait_for("\n", 5s)) {
            const std::string &out = process_.output();
            port_ = std::stoi(out.substr(out.find("READY ") + 6));
        }
    }

    bool ready() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string &output() const { return process_.output(); }

    // Whether a line starting with `line` appears within `wait`.
    bool saw(const std::string &line, std::chrono::milliseconds wait = 5s) {
        return process_.wait_for("\n" + line, wait);
    }
    // Every byte received on connection n, once its steps are done.
    std::string request(int n = 1) { return from_hex(field("REQUEST", n)); }
    // The rest of the line that starts with "<kind> <n> ".
    std::string field(const std::string &kind, int n) {
        EXPECT_TRUE(saw("DONE " + std::to_string(n) + "\n", 10s)) << output();
        const std::string prefix = "\n" + kind + " " + std::to_string(n) + " ";
        const std::string &out = process_.output();
        const size_t at = out.find(prefix);
        if (at == std::string::npos)
            return "";
        const size_t start = at + prefix.size();
        return out.substr(start, out.find('\n', start) - start);
    }

  private:
    static std::vector<std::string> argv(const std::vector<std::string> &steps, int connections,
                                         const std::vector<std::string> &options) {
        std::vector<std::string> args = {
            "python3",       std::string(KOVREL_PEERS_DIR) + "/vav_peer.py",
            "--connections", std::to_string(connections),
            "--io-timeout",  "3",
            "--lifetime",    "60"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), steps.begin(), steps.end());
        return args;
    }

    PeerProcess process_;
    int port_ = 0;
};

struct HandleCloser {
    void operator()(kr_server_t *s) const { kr_server_close(s); }
};
using Handle = std::unique_ptr<kr_server_t, HandleCloser>;

// A stream-socket handle for the peer on 127.0.0.1 (version 1.15).
Handle vav_handle(int port, const char *user = "admin", const char *password = "s3cret",
                  kr_server_transport_t transport = KR_SERVER_TRANSPORT_VAV,
                  const char *host = "127.0.0.1") {
    Handle s(kr_server_open(host, 1, 15));
    EXPECT_NE(s, nullptr);
    if (s == nullptr)
        return s;
    EXPECT_EQ(kr_server_set_transport_type(s.get(), transport, nullptr), 1);
    EXPECT_EQ(kr_server_set_port(s.get(), port), 1);
    EXPECT_EQ(kr_server_set_timeout(s.get(), 5), 1);
    if (user != nullptr) {
        EXPECT_EQ(kr_server_set_admin_user(s.get(), user, password), 1);
    }
    return s;
}

Elem invoke(kr_server_t *s, const char *api = "system-get-version") {
    Elem request(kr_elem_new(api));
    Elem result(kr_server_invoke_elem(s, request.get()));
    // The caller's request comes back as it was: no sibling, no attribute.
    EXPECT_EQ(request->next, nullptr);
    EXPECT_EQ(request->children, nullptr);
    const char *xmlns = kr_attr_get(request.get(), "xmlns");
    EXPECT_TRUE(xmlns == nullptr || *xmlns == '\0') << xmlns;
    return result;
}

std::string reason_of(kr_elem_t *result) {
    const char *reason = kr_results_reason(result);
    return reason != nullptr ? reason : "(none)";
}

void expect_failed(kr_elem_t *result, const std::string &reason, int eno) {
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(kr_results_status(result), 0);
    EXPECT_EQ(reason_of(result), reason);
    EXPECT_EQ(kr_results_errno(result), eno);
}

// The request as it must appear on the wire.
std::string header_block(const std::string &user, const std::string &password, size_t length) {
    return "ROVUDI-D/1.0\r\nUser: " + user + "\r\nPassword: " + password +
           "\r\nContent-length: " + std::to_string(length) + "\r\n\r\n";
}

std::string document(const std::string &envelope, const std::string &body,
                     const std::string &dtd = "file:/etc/kovrel_filer.dtd") {
    return "<?xml version='1.0' encoding='utf-8' ?>\n<!DOCTYPE kovrel SYSTEM '" + dtd + "'>\n" +
           envelope + body;
}

const std::string kEnvelope = "<kovrel version=\"1.15\" xmlns=\"urn:kovrel:xmlapi\">";
const std::string kBody = "<system-get-version/></kovrel>";
const std::string kDocument = document(kEnvelope, kBody);

// A reply document of exactly 57 bytes.
const std::string kReply57 = "<kovrel><results status=\"passed\"><ab/></results></kovrel>";
static_assert(sizeof "<kovrel><results status=\"passed\"><ab/></results></kovrel>" - 1 == 57);

std::string ok_reply(const std::string &eol = "\r\n") {
    return "ROVUDI-D/1.0 200" + eol + "Content-length: 57" + eol + eol + kReply57;
}

void expect_passed(kr_elem_t *result) {
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(kr_results_status(result), 1) << reason_of(result);
    EXPECT_NE(kr_elem_child(result, "ab"), nullptr);
}

// A loopback port on which nothing listens: bound, never listening, so a
// connection to it is refused.
struct RefusingPort {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    RefusingPort() {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~RefusingPort() { close(fd); }
};

// --- The request -----------------------------------------------------------

TEST(VavRequest, HeaderBlockAndDocumentAsSent) {
    const std::string user200(200, 'u');
    const std::string password300(300, 'p');
    const struct {
        const char *name;
        const char *user; // null: no credentials set
        const char *password;
        void (*setup)(kr_server_t *);
        std::string wire_user;
        std::string wire_password;
        std::string document;
    } cases[] = {
        {"credentials", "admin", "s3cret", nullptr, "admin", "s3cret", kDocument},
        // The lines are always sent, with empty values.
        {"no credentials", nullptr, nullptr, nullptr, "", "", kDocument},
        // A block longer than 127 bytes goes out whole, length line included.
        {"long credentials", user200.c_str(), password300.c_str(), nullptr, user200, password300,
         kDocument},
        // Only app-name and api-intent join xmlns and version: the vtenant,
        // originator and cluster attributes of HTTP are not sent.
        {"envelope settings", "admin", "s3cret",
         [](kr_server_t *s) {
             EXPECT_EQ(kr_server_set_vserver(s, "vs1"), 1);
             EXPECT_EQ(kr_server_set_target_vserver_name(s, "vs2"), 1);
             EXPECT_EQ(kr_server_set_originator_id(s, "orig"), 1);
             EXPECT_EQ(kr_server_set_target_cluster_uuid(s, "uuid-1"), 1);
             EXPECT_EQ(kr_server_set_caller_app_name(s, "tool"), 1);
             EXPECT_EQ(kr_server_set_caller_intent(s, "audit"), 1);
             EXPECT_EQ(kr_server_set_application_name("suite"), 1);
         },
         "admin", "s3cret",
         document("<kovrel version=\"1.15\" xmlns=\"urn:kovrel:xmlapi\" api-intent=\"audit\" "
                  "app-name=\"tool\">",
                  kBody)},
        {"server type and namespace", "admin", "s3cret",
         [](kr_server_t *s) {
             EXPECT_EQ(kr_server_set_server_type(s, KR_SERVER_TYPE_CLUSTERED), 1);
             EXPECT_EQ(kr_server_namespace(s, "na"), 1);
         },
         "admin", "s3cret",
         document("<na:kovrel na:version=\"1.15\" na:xmlns=\"urn:kovrel:xmlapi\">",
                  "<na:system-get-version/></na:kovrel>", "file:/etc/kovrel_cluster.dtd")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        VavPeer peer({"request", send_step(ok_reply())});
        ASSERT_TRUE(peer.ready()) << peer.output();
        Handle s = vav_handle(peer.port(), c.user, c.password);
        if (c.setup != nullptr)
            c.setup(s.get());
        Elem result = invoke(s.get());
        expect_passed(result.get());
        EXPECT_EQ(peer.request(),
                  header_block(c.wire_user, c.wire_password, c.document.size()) + c.document);
    }
}

TEST(VavRequest, CredentialsWithLineBreaksAreNotSent) {
    // A line break would let the credentials forge header lines of their own.
    const struct {
        const char *user;
        const char *password;
    } cases[] = {
        {"admin", "x\r\nContent-length: 0"},
        {"admin", "x\ny"},
        {"admin\rroot", "s3cret"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.user) + "/" + c.password));
        VavPeer peer({"request", send_step(ok_reply())});
        ASSERT_TRUE(peer.ready());
        Handle s = vav_handle(peer.port(), c.user, c.password);
        Elem result = invoke(s.get());
        expect_failed(result.get(), "VAV - Can't write request headers", 13011);
        EXPECT_EQ(peer.request(), "");
        EXPECT_TRUE(peer.saw("CLOSED 1")) << peer.output();
    }
}

// --- Reply outcomes ----------------------------------------------------------

struct ReplyCase {
    const char *name;
    std::vector<std::string> steps; // after reading the request
    const char *reason;             // null: a passed result
    int eno;
};

void run_reply_case(const ReplyCase &c) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> steps = {"request"};
    steps.insert(steps.end(), c.steps.begin(), c.steps.end());
    VavPeer peer(steps);
    ASSERT_TRUE(peer.ready()) << peer.output();
    Handle s = vav_handle(peer.port());
    Elem result = invoke(s.get());
    if (c.reason == nullptr)
        expect_passed(result.get());
    else
        expect_failed(result.get(), c.reason, c.eno);
    // Whatever the outcome, the invocation's connection is gone.
    EXPECT_EQ(s->sock, nullptr);
    EXPECT_EQ(peer.request(), header_block("admin", "s3cret", kDocument.size()) + kDocument);
}

std::string padded_status(const std::string &status, size_t width) {
    std::string line = "ROVUDI-D/1.0 " + status;
    line.resize(width, ' ');
    return line;
}

TEST(VavReply, OutcomesOfTheReplyHeader) {
    const std::string line3 = "ROVUDI-D/1.0 200\r\nContent-length: 57\r\n";
    const ReplyCase cases[] = {
        {"200 with CRLF", {send_step(ok_reply())}, nullptr, 0},
        {"200 with bare LF", {send_step(ok_reply("\n"))}, nullptr, 0},
        // Text after the status number is ignored.
        {"status with a phrase",
         {send_step("ROVUDI-D/1.0 200 OK\r\nContent-length: 57\r\n\r\n" + kReply57)},
         nullptr,
         0},
        // Exactly the announced bytes are parsed: more would not parse.
        {"bytes after the document", {send_step(ok_reply() + "<trailing/>")}, nullptr, 0},
        // A line of 127 characters is the longest accepted.
        {"127-character status line",
         {send_step(padded_status("401", 127) + "\n")},
         "VAV - Authorization failed",
         13002},
        {"401", {send_step("ROVUDI-D/1.0 401\r\n")}, "VAV - Authorization failed", 13002},
        {"404", {send_step("ROVUDI-D/1.0 404\r\n")}, "VAV - URL not found", 13011},
        {"status without a text",
         {send_step("ROVUDI-D/1.0 299\r\n")},
         "VAV - failed, status code = 299",
         13011},
        {"HTTP status line",
         {send_step("HTTP/1.1 200 OK\r\nContent-Length: 57\r\n\r\n" + kReply57)},
         "VAV - Can't decode the embedded status/outcome value from the reply",
         13011},
        {"status beyond int",
         {send_step("ROVUDI-D/1.0 4294967496\r\n")},
         "VAV - Can't decode the embedded status/outcome value from the reply",
         13011},
        {"negative status",
         {send_step("ROVUDI-D/1.0 -200\r\n")},
         "VAV - Can't decode the embedded status/outcome value from the reply",
         13011},
        {"Content-Length with a capital L",
         {send_step("ROVUDI-D/1.0 200\r\nContent-Length: 57\r\n\r\n" + kReply57)},
         "VAV - Can't decode the embedded 'Content-length' value from the reply",
         13011},
        {"length without digits",
         {send_step("ROVUDI-D/1.0 200\r\nContent-length: many\r\n\r\n")},
         "VAV - Can't decode the embedded 'Content-length' value from the reply",
         13011},
        // A negative length would mean "read to the end" to the parser.
        {"negative length",
         {send_step("ROVUDI-D/1.0 200\r\nContent-length: -1\r\n\r\n" + kReply57)},
         "VAV - Can't decode the embedded 'Content-length' value from the reply",
         13011},
        {"empty line 1",
         {send_step("\r\n")},
         "VAV - Server unexpectedly dropped the connection for this request",
         13011},
        {"empty line 2",
         {send_step("ROVUDI-D/1.0 200\r\n\r\n")},
         "VAV - Server unexpectedly dropped the connection for this request",
         13011},
        {"closed before a reply",
         {"close"},
         "VAV - Server unexpectedly dropped the connection for this request",
         13011},
        {"closed inside line 1",
         {send_step("ROVUDI-D/1.0 2")},
         "VAV - Server unexpectedly dropped the connection for this request",
         13011},
        {"closed inside line 2",
         {send_step("ROVUDI-D/1.0 200\r\nContent-len")},
         "VAV - Server unexpectedly dropped the connection for this request",
         13011},
        {"closed before line 3",
         {send_step(line3)},
         "VAV - Server unexpectedly dropped the connection for this request",
         13011},
        // Line 3 must be empty; text there is not taken for the document.
        {"non-empty line 3",
         {send_step(line3 + "X-Extra: 1\r\n" + kReply57)},
         "VAV - Can't read reply header (line 3)",
         13057},
        {"128 bytes in line 1",
         {send_step(padded_status("200", 128) + "\r\n")},
         "VAV - Can't read reply header (line 1)",
         13057},
        {"128 bytes in line 2",
         {send_step("ROVUDI-D/1.0 200\r\nContent-length: 57" + std::string(120, ' ') + "\r\n\r\n")},
         "VAV - Can't read reply header (line 2)",
         13057},
        {"128 bytes in line 3",
         {send_step(line3 + std::string(128, ' ') + "\r\n")},
         "VAV - Can't read reply header (line 3)",
         13057},
        {"reset before line 1", {"reset"}, "VAV - Can't read reply header (line 1)", 13057},
        {"reset after line 1",
         {send_step("ROVUDI-D/1.0 200\r\n"), "hold:0.3", "reset"},
         "VAV - Can't read reply header (line 2)",
         13057},
        {"reset after line 2",
         {send_step("ROVUDI-D/1.0 200\r\nContent-length: 57\r\n"), "hold:0.3", "reset"},
         "VAV - Can't read reply header (line 3)",
         13057},
        {"document without results",
         {send_step("ROVUDI-D/1.0 200\r\nContent-length: 17\r\n\r\n<kovrel></kovrel>")},
         "No results element in response",
         13011},
    };
    for (const auto &c : cases)
        run_reply_case(c);
}

TEST(VavReply, BrokenDocumentsAreParseFailures) {
    const struct {
        const char *name;
        std::string reply;
    } cases[] = {
        {"document cut short", ok_reply().substr(0, ok_reply().size() - 20)},
        {"malformed document", "ROVUDI-D/1.0 200\r\nContent-length: 7\r\n\r\n<a><b>x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        VavPeer peer({"request", send_step(c.reply)});
        ASSERT_TRUE(peer.ready());
        Handle s = vav_handle(peer.port());
        Elem result = invoke(s.get());
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(kr_results_status(result.get()), 0);
        EXPECT_EQ(kr_results_errno(result.get()), 13001);
        EXPECT_EQ(reason_of(result.get()).rfind("Parsing error in results: ", 0), 0u)
            << reason_of(result.get());
    }
}

TEST(VavReply, ConnectionIsClosedAfterEveryOutcome) {
    // The peer reports whether the client closed its side within 2 seconds.
    for (const std::string &reply :
         {ok_reply(), std::string("ROVUDI-D/1.0 401\r\n"), std::string("HTTP/1.1 200 OK\r\n")}) {
        SCOPED_TRACE(reply);
        VavPeer peer({"request", send_step(reply), "hold:0.2"});
        ASSERT_TRUE(peer.ready());
        Handle s = vav_handle(peer.port());
        Elem result = invoke(s.get());
        ASSERT_NE(result, nullptr);
        EXPECT_TRUE(peer.saw("CLOSED 1")) << peer.output();
    }
}

// --- Connections ------------------------------------------------------------

TEST(VavConnection, EachInvocationOpensItsOwnConnection) {
    VavPeer peer({"request", send_step(ok_reply())}, 2);
    ASSERT_TRUE(peer.ready());
    Handle s = vav_handle(peer.port());
    for (int i = 0; i < 2; ++i) {
        Elem result = invoke(s.get());
        expect_passed(result.get());
        EXPECT_EQ(s->sock, nullptr);
    }
    const std::string expected = header_block("admin", "s3cret", kDocument.size()) + kDocument;
    EXPECT_EQ(peer.request(1), expected);
    EXPECT_EQ(peer.request(2), expected);
    EXPECT_NE(peer.field("CLIENT", 1), peer.field("CLIENT", 2));
    EXPECT_TRUE(peer.saw("CLOSED 2")) << peer.output();
    const std::string &out = peer.output();
    EXPECT_LT(out.find("CLOSED 1"), out.find("CLIENT 2")) << out;
}

TEST(VavConnection, HostNameWithoutLookupIsNeverResolved) {
    VavPeer peer({"request", send_step(ok_reply())});
    ASSERT_TRUE(peer.ready());
    Handle s = vav_handle(peer.port(), "admin", "s3cret", KR_SERVER_TRANSPORT_VAV, "localhost");
    // The transport value turns lookup off.
    EXPECT_EQ(kr_server_get_host_lookup(s.get()), 0);
    Elem refused = invoke(s.get());
    expect_failed(refused.get(), "VAV - Can't connect to host (2)", 13055);
    EXPECT_FALSE(peer.saw("CLIENT 1", 300ms)) << peer.output();
    // The same name with lookup on reaches the peer.
    EXPECT_EQ(kr_server_set_host_lookup(s.get(), 1), 1);
    Elem result = invoke(s.get());
    expect_passed(result.get());
}

TEST(VavConnection, FailuresToConnect) {
    RefusingPort refusing;
    ASSERT_GT(refusing.port, 0);
    const struct {
        const char *name;
        const char *host;
        int look_up_host;
        std::string reason;
    } cases[] = {
        {"refused", "127.0.0.1", 0,
         "VAV - Can't connect to host (" + std::to_string(ECONNREFUSED) + ")"},
        {"name that does not resolve", "no-such-host.invalid", 1,
         "VAV - Can't connect to host (2)"},
        {"IPv6 literal", "::1", 1, "VAV - Can't connect to host (2)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Handle s = vav_handle(refusing.port, "admin", "s3cret", KR_SERVER_TRANSPORT_VAV, c.host);
        EXPECT_EQ(kr_server_set_host_lookup(s.get(), c.look_up_host), 1);
        Elem result = invoke(s.get());
        expect_failed(result.get(), c.reason, 13055);
        EXPECT_EQ(s->sock, nullptr);
    }
}

// --- Debugging ---------------------------------------------------------------

TEST(VavDebug, StyleTwoReadsToTheEndAndParsesNothing) {
    // The peer keeps the connection open a while after its reply: the reply
    // is read until the server closes, not by its announced length.
    VavPeer peer({"request", send_step(ok_reply() + "<extra/>"), "hold:1"});
    ASSERT_TRUE(peer.ready());
    Handle s = vav_handle(peer.port());
    kr_server_set_debugstyle(s.get(), KR_DONT_PRINT_DONT_PARSE);
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    Elem result = invoke(s.get());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
    expect_failed(result.get(), "VAV - Call succeeded, but reply was consumed by debugging code",
                  13057);
    EXPECT_GE(elapsed, 900ms);
    EXPECT_EQ(s->sock, nullptr);
    EXPECT_EQ(kr_server_get_raw_xml_output(s.get()), nullptr);
}

TEST(VavDebug, StyleOnePrintsRequestAndWholeReply) {
    VavPeer peer({"request", send_step(ok_reply() + "<extra/>")});
    ASSERT_TRUE(peer.ready());
    Handle s = vav_handle(peer.port());
    kr_server_set_debugstyle(s.get(), KR_PRINT_DONT_PARSE);
    testing::internal::CaptureStdout();
    Elem result = invoke(s.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "INPUT:\n" + kDocument + "\n\nOUTPUT:\n" + kReply57 + "<extra/>\n");
    expect_failed(result.get(), "VAV - Call succeeded, but reply was consumed by debugging code",
                  13057);
    EXPECT_EQ(kr_server_get_raw_xml_output(s.get()), nullptr);
}

struct EnvGuard {
    explicit EnvGuard(const char *value) { setenv("XMLDEBUG", value, 1); }
    ~EnvGuard() {
        unsetenv("XMLDEBUG");
        kr_xml_debug = 0;
    }
};

TEST(VavDebug, XmlDebugTracesDocumentAndReplyWithoutUrl) {
    {
        EnvGuard trace("1");
        VavPeer peer({"request", send_step(ok_reply())});
        ASSERT_TRUE(peer.ready());
        Handle s = vav_handle(peer.port());
        testing::internal::CaptureStderr();
        Elem result = invoke(s.get());
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "KR_SERVER_INVOKE_ELEM:\nXML=::" + kDocument + "::\n\n::XML DEBUG BEGIN::\n" +
                      kReply57 + "::XML DEBUG END::\n");
        expect_passed(result.get());
        EXPECT_EQ(kr_xml_debug, 1);
    }
    {
        EnvGuard empty("");
        kr_xml_debug = 1;
        VavPeer peer({"request", send_step(ok_reply())});
        ASSERT_TRUE(peer.ready());
        Handle s = vav_handle(peer.port());
        testing::internal::CaptureStderr();
        Elem result = invoke(s.get());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        expect_passed(result.get());
        EXPECT_EQ(kr_xml_debug, 0);
    }
}

// --- The secure transport value ------------------------------------------------

class VavTls : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kr_vav_certs.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        dir_ = pattern;
        const std::string command =
            "sh " + std::string(KOVREL_PEERS_DIR) + "/make_certs.sh " + dir_ + " >/dev/null 2>&1";
        made_ = std::system(command.c_str()) == 0;
    }
    static void TearDownTestSuite() {
        if (!dir_.empty())
            std::system(("rm -rf " + dir_).c_str());
    }
    void SetUp() override { ASSERT_TRUE(made_) << "certificates not made in " << dir_; }

    static std::string file(const char *name) { return dir_ + "/" + name; }
    static std::vector<std::string> tls_options() {
        return {"--tls", file("server.pem"), file("server.key")};
    }

    static inline std::string dir_;
    static inline bool made_ = false;
};

TEST_F(VavTls, SecureValueSendsTheSameBlockInsideTls) {
    VavPeer peer({"request", send_step(ok_reply())}, 1, tls_options());
    ASSERT_TRUE(peer.ready());
    Handle s = vav_handle(peer.port(), "admin", "s3cret", KR_SERVER_TRANSPORT_ZSMS);
    Elem result = invoke(s.get());
    expect_passed(result.get());
    EXPECT_EQ(peer.field("TLS", 1).substr(0, 4), "TLSv") << peer.output();
    EXPECT_EQ(peer.request(), header_block("admin", "s3cret", kDocument.size()) + kDocument);
}

TEST_F(VavTls, SecureValueNeverSendsCredentialsInClearText) {
    // A plain server sees a TLS handshake, not the header block; the
    // handshake then fails and nothing else is sent.
    VavPeer peer({"head"}, 1, {"--io-timeout", "0.5"});
    ASSERT_TRUE(peer.ready());
    Handle s = vav_handle(peer.port(), "admin", "s3cret", KR_SERVER_TRANSPORT_ZSMS);
    Elem result = invoke(s.get());
    expect_failed(result.get(), "VAV - Can't connect to host (" + std::to_string(EPROTO) + ")",
                  13055);
    const std::string received = peer.request();
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received[0], '\x16'); // a TLS handshake record
    EXPECT_EQ(received[1], '\x03');
    EXPECT_EQ(received.find("ROVUDI"), std::string::npos);
    EXPECT_EQ(received.find("s3cret"), std::string::npos);
}

// Server verification settings are made on an HTTPS handle, then kept when
// the transport turns to the secure stream socket.
Handle verifying_handle(int port, const std::string &ca_file) {
    Handle s(kr_server_open("127.0.0.1", 1, 15));
    EXPECT_EQ(kr_server_set_server_cert_verification(s.get(), 1), 1);
    EXPECT_EQ(kr_server_set_hostname_verification(s.get(), 0), 1);
    EXPECT_EQ(kr_server_set_ca_certs(s.get(), ca_file.c_str()), 1);
    EXPECT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_ZSMS, nullptr), 1);
    EXPECT_EQ(kr_server_set_port(s.get(), port), 1);
    EXPECT_EQ(kr_server_set_admin_user(s.get(), "admin", "s3cret"), 1);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 1);
    return s;
}

TEST_F(VavTls, HandleCertificateSettingsApply) {
    {
        SCOPED_TRACE("server certificate issued by the trusted CA");
        VavPeer peer({"request", send_step(ok_reply())}, 1, tls_options());
        ASSERT_TRUE(peer.ready());
        Handle s = verifying_handle(peer.port(), file("ca.pem"));
        Elem result = invoke(s.get());
        expect_passed(result.get());
    }
    {
        SCOPED_TRACE("server certificate from an untrusted issuer");
        VavPeer peer({"request", send_step(ok_reply())}, 1, tls_options());
        ASSERT_TRUE(peer.ready());
        Handle s = verifying_handle(peer.port(), file("selfsigned.pem"));
        Elem result = invoke(s.get());
        expect_failed(result.get(), "VAV - Can't connect to host (" + std::to_string(EPROTO) + ")",
                      13055);
        EXPECT_TRUE(peer.saw("TLSFAIL 1")) << peer.output();
        // The failure text was reported, not left for a later invocation.
        ASSERT_NE(s->cert_info, nullptr);
        EXPECT_EQ(s->cert_info->err_info, nullptr);
    }
    {
        SCOPED_TRACE("client certificate presented");
        std::vector<std::string> options = tls_options();
        options.insert(options.end(), {"--client-ca", file("ca.pem")});
        VavPeer peer({"request", send_step(ok_reply())}, 1, options);
        ASSERT_TRUE(peer.ready());
        Handle s(kr_server_open("127.0.0.1", 1, 15));
        kr_server_set_style(s.get(), KR_STYLE_CERTIFICATE);
        EXPECT_EQ(kr_server_set_client_cert_and_key(s.get(), file("client.pem").c_str(),
                                                    file("client.key").c_str(), "client-pass"),
                  1);
        EXPECT_EQ(kr_server_set_ca_certs(s.get(), file("ca.pem").c_str()), 1);
        EXPECT_EQ(kr_server_set_hostname_verification(s.get(), 0), 1);
        EXPECT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_ZSMS, nullptr), 1);
        EXPECT_EQ(kr_server_set_port(s.get(), peer.port()), 1);
        Elem result = invoke(s.get());
        expect_passed(result.get());
        EXPECT_NE(peer.field("TLS", 1).find("test_client"), std::string::npos) << peer.output();
    }
}

// --- The exported socket calls ---------------------------------------------------

struct Socket {
    shttpc_t sock = nullptr;
    ~Socket() { kr_vav_socket_close(sock); }
};

TEST(VavSocket, OpeningResults) {
    RefusingPort refusing;
    ASSERT_GT(refusing.port, 0);
    shttpc_t sock = nullptr;
    EXPECT_EQ(kr_vav_socket_open("u", "p", "127.0.0.1", 0, KR_SERVER_TRANSPORT_VAV, refusing.port,
                                 1, nullptr),
              -22);
    EXPECT_EQ(kr_vav_socket_open("u", "p", "localhost", 0, KR_SERVER_TRANSPORT_VAV, refusing.port,
                                 1, &sock),
              -2);
    EXPECT_EQ(kr_vav_socket_open("u", "p", "no-such-host.invalid", 1, KR_SERVER_TRANSPORT_VAV,
                                 refusing.port, 1, &sock),
              -2);
    EXPECT_EQ(kr_vav_socket_open(nullptr, nullptr, "127.0.0.1", 0, KR_SERVER_TRANSPORT_VAV,
                                 refusing.port, 1, &sock),
              -ECONNREFUSED);
    EXPECT_EQ(sock, nullptr);
    kr_vav_socket_close(nullptr); // ignored
}

TEST(VavSocket, SendLeavesTheDocumentOnTheConnection) {
    VavPeer peer({"request", send_step(ok_reply())});
    ASSERT_TRUE(peer.ready());
    Socket conn;
    ASSERT_EQ(kr_vav_socket_open("admin", "s3cret", "127.0.0.1", 0, KR_SERVER_TRANSPORT_VAV,
                                 peer.port(), 5, &conn.sock),
              0);
    ASSERT_NE(conn.sock, nullptr);
    const std::string payload(100, 'x');
    int content_length = -1;
    EXPECT_EQ(kr_vav_send_request(conn.sock, "admin", "s3cret", payload.data(), payload.size(),
                                  &content_length),
              200);
    EXPECT_EQ(content_length, 57);
    std::string rest(64, '\0');
    size_t got = 0;
    for (ssize_t n; got < rest.size() &&
                    (n = shttpc_read(conn.sock, rest.data() + got, rest.size() - got)) > 0;)
        got += static_cast<size_t>(n);
    rest.resize(got);
    EXPECT_EQ(rest, kReply57);
    EXPECT_EQ(peer.request(),
              "ROVUDI-D/1.0\r\nUser: admin\r\nPassword: s3cret\r\nContent-length: 100\r\n\r\n" +
                  payload);
}

TEST(VavSocket, ContentLengthIsClearedWhenReadingBegins) {
    VavPeer peer({"request", send_step("ROVUDI-D/1.0 401\r\n")});
    ASSERT_TRUE(peer.ready());
    Socket conn;
    ASSERT_EQ(kr_vav_socket_open(nullptr, nullptr, "127.0.0.1", 0, KR_SERVER_TRANSPORT_VAV,
                                 peer.port(), 5, &conn.sock),
              0);
    int content_length = 99;
    EXPECT_EQ(kr_vav_send_request(conn.sock, nullptr, nullptr, "<a/>", 4, &content_length), 401);
    EXPECT_EQ(content_length, 0);
    EXPECT_EQ(peer.request(),
              "ROVUDI-D/1.0\r\nUser: \r\nPassword: \r\nContent-length: 4\r\n\r\n<a/>");
}

TEST(VavSocket, WritesThatDoNotComplete) {
    // The peer reads nothing; 32 MB outgrow the socket buffers and the
    // one-second time-out ends the write.
    const std::string huge(32u << 20, 'z');
    const struct {
        const char *name;
        const char *user;
        std::string payload;
        ssize_t code;
    } cases[] = {
        {"header block", huge.c_str(), "<a/>", 562},
        {"payload", "admin", huge, 563},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        VavPeer peer({"hold:5"});
        ASSERT_TRUE(peer.ready());
        Socket conn;
        ASSERT_EQ(kr_vav_socket_open(nullptr, nullptr, "127.0.0.1", 0, KR_SERVER_TRANSPORT_VAV,
                                     peer.port(), 1, &conn.sock),
                  0);
        int content_length = 7;
        EXPECT_EQ(kr_vav_send_request(conn.sock, c.user, "pw", c.payload.data(), c.payload.size(),
                                      &content_length),
                  c.code);
        EXPECT_EQ(content_length, 7); // reading never began
    }
    EXPECT_EQ(kr_vav_send_request(nullptr, "u", "p", "x", 1, nullptr), 562);
}

// --- Allocation failures ----------------------------------------------------------

TEST(VavInvoke, EveryAllocationFailureGivesAFailedResult) {
    for (const kr_debug_style_t style : {KR_NO_DEBUG, KR_DONT_PRINT_DONT_PARSE}) {
        SCOPED_TRACE(style);
        VavPeer peer({"request", send_step(ok_reply())}, 400);
        ASSERT_TRUE(peer.ready());
        Handle s = vav_handle(peer.port());
        kr_server_set_debugstyle(s.get(), style);
        Elem request(kr_elem_new("system-get-version"));
        std::set<std::string> reasons;
        testing::internal::CaptureStdout();
        sweep_allocation_failures(
            [&] {
                errno = 0;
                return Elem(kr_server_invoke_elem(s.get(), request.get()));
            },
            [&](const Elem &result, bool failure_reached) {
                EXPECT_EQ(s->sock, nullptr);
                EXPECT_EQ(request->next, nullptr);
                if (result == nullptr) {
                    EXPECT_TRUE(failure_reached);
                    EXPECT_EQ(errno, ENOMEM);
                    return;
                }
                if (style == KR_NO_DEBUG && !failure_reached) {
                    expect_passed(result.get());
                    return;
                }
                EXPECT_EQ(kr_results_status(result.get()), 0);
                reasons.insert(reason_of(result.get()));
            });
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(reasons.count("VAV - Can't encode request")) << testing::PrintToString(reasons);
        EXPECT_TRUE(reasons.count("VAV - Can't allocate request XML buffer"));
        EXPECT_TRUE(reasons.count("VAV - Can't connect to host (" + std::to_string(ENOMEM) + ")"));
        if (style == KR_NO_DEBUG)
            EXPECT_TRUE(reasons.count("VAV - Call succeeded, but can't allocate reply XML buffer"));
        else
            EXPECT_TRUE(reasons.count(
                "VAV - Call succeeded, but can't allocate debugging parsing bypass buffer"));
    }
}

// --- A C caller of the shared library ---------------------------------------------

TEST(VavCApi, InvokesThroughTheSharedLibrary) {
    const std::string reply_doc =
        "<kovrel><results status=\"passed\"><version>9.6</version></results></kovrel>";
    const std::string reply =
        "ROVUDI-D/1.0 200\r\nContent-length: " + std::to_string(reply_doc.size()) + "\r\n\r\n" +
        reply_doc;
    VavPeer peer({"request", send_step(reply)}, 2);
    ASSERT_TRUE(peer.ready());
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string port = std::to_string(peer.port());
        execl(KOVREL_C_API_INVOKE_VAV, KOVREL_C_API_INVOKE_VAV, port.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    const std::string doc =
        document(kEnvelope, "<system-get-version><verbose>true</verbose></system-get-version>"
                            "</kovrel>");
    EXPECT_EQ(peer.request(1), header_block("capi", "pw", doc.size()) + doc);
    EXPECT_EQ(peer.request(2), header_block("capi", "pw", 7) + "<ping/>");
}

} // namespace
