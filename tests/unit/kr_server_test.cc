#include "kr_server_internal.h"

#include "kovrel.h"
#include "pool.h"
#include "shttpc.h"

#include "alloc_sweep.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
#include <string>

namespace {

struct ServerCloser {
    void operator()(kr_server_t *s) const { EXPECT_EQ(kr_server_close(s), 1); }
};
using Server = std::unique_ptr<kr_server_t, ServerCloser>;

Server open_server(int major = 1, int minor = 20) {
    Server s(kr_server_open("filer.example.com", major, minor));
    EXPECT_NE(s, nullptr);
    return s;
}

std::string stderr_of(const std::function<void()> &call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
}

// A connection record that was never connected: enough for the handle to hold
// and to release (a release that forgets to delete it shows as a leak).
shttpc_t idle_connection() {
    shttpc_t c = shttpc_new(SHTTPC_Type_Plain, 0);
    EXPECT_NE(c, nullptr);
    return c;
}

constexpr const char filer_url[] = "http://[%s]:%d/servlets/kovrel.servlets.admin.XMLrequest_filer";

TEST(KrServerTest, OpenGivesTheDefaults) {
    const char host[] = "filer.example.com";
    Server s(kr_server_open(host, 1, 20));
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->host, host);
    EXPECT_NE(s->host, host); // a copy
    EXPECT_EQ(s->look_up_host, 1);
    EXPECT_EQ(s->major, 1);
    EXPECT_EQ(s->minor, 20);
    EXPECT_EQ(s->style, KR_STYLE_LOGIN_PASSWORD);
    EXPECT_EQ(s->debugstyle, KR_NO_DEBUG);
    EXPECT_EQ(s->printinput, 0);
    EXPECT_EQ(s->username, nullptr);
    EXPECT_EQ(s->password, nullptr);
    EXPECT_EQ(s->ntlm, 0);
    EXPECT_STREQ(s->urlformat, filer_url);
    EXPECT_EQ(s->transport, KR_SERVER_TRANSPORT_HTTPS);
    EXPECT_EQ(s->transportarg, nullptr);
    EXPECT_EQ(s->port, 443);
    ASSERT_NE(s->ns, nullptr);
    EXPECT_STREQ(s->ns, "");
    EXPECT_EQ(s->userdata, nullptr);
    EXPECT_EQ(s->servertype, KR_SERVER_TYPE_STORAGE);
    EXPECT_EQ(s->timeout, 0);
    EXPECT_EQ(s->sock, nullptr);
    for (const char *field : {s->vtenant, s->raw_xml_output, s->caller_app_name, s->caller_intent,
                              s->originator_id, s->target_cluster_uuid, s->target_vserver_name})
        EXPECT_EQ(field, nullptr);
    EXPECT_EQ(s->keep_alive, 0);
    EXPECT_EQ(s->last_time_used, 0u);
    EXPECT_EQ(s->cert_info, nullptr);
    EXPECT_EQ(s->use_sslv3, 0);

    EXPECT_EQ(kr_server_get_transport_type(s.get()), KR_SERVER_TRANSPORT_HTTPS);
    EXPECT_EQ(kr_server_get_port(s.get()), 443);
    EXPECT_EQ(kr_server_get_style(s.get()), KR_STYLE_LOGIN_PASSWORD);
    EXPECT_EQ(kr_server_get_timeout(s.get()), 0);
    EXPECT_EQ(kr_server_get_keep_alive(s.get()), 0);
    EXPECT_EQ(kr_server_get_host_lookup(s.get()), 1);
    EXPECT_EQ(kr_server_get_debugstyle(s.get()), KR_NO_DEBUG);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 0);
    EXPECT_EQ(kr_server_is_hostname_verification_enabled(s.get()), 0);
    EXPECT_EQ(kr_server_is_sslv3_enabled(s.get()), 0);
}

TEST(KrServerTest, VersionNumbersAreStoredUnvalidated) {
    Server s(kr_server_open("::1", -3, 999));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->major, -3);
    EXPECT_EQ(s->minor, 999);
}

TEST(KrServerTest, OpenRunsOutOfMemoryCleanly) {
    sweep_allocation_failures(
        [] {
            errno = 0;
            return kr_server_open("10.0.0.1", 1, 20);
        },
        [](kr_server_t *s, bool failure_reached) {
            if (failure_reached) {
                EXPECT_EQ(s, nullptr);
                EXPECT_EQ(errno, ENOMEM);
            } else {
                ASSERT_NE(s, nullptr);
                EXPECT_STREQ(s->host, "10.0.0.1");
                EXPECT_STREQ(s->ns, "");
            }
            if (s != nullptr)
                kr_server_close(s);
        });
}

// Every call given a null handle: the result and errno it promises.
TEST(KrServerTest, NullHandle) {
    struct Case {
        const char *name;
        std::function<long()> call;
        long result;
        int error; // 0: errno untouched
    };
    const Case cases[] = {
        {"open", [] { return long(kr_server_open(nullptr, 1, 20) != nullptr); }, 0, EINVAL},
        {"close", [] { return long(kr_server_close(nullptr)); }, 0, EINVAL},
        {"server_type",
         [] { return long(kr_server_set_server_type(nullptr, KR_SERVER_TYPE_TOLLEN)); }, 0, EINVAL},
        {"transport_type",
         [] {
             return long(kr_server_set_transport_type(nullptr, KR_SERVER_TRANSPORT_HTTP, nullptr));
         },
         0, EINVAL},
        {"transport",
         [] {
             return long(kr_server_set_transport(nullptr, KR_SERVER_TRANSPORT_HTTP, nullptr, 80));
         },
         0, EINVAL},
        {"get_transport_type", [] { return long(kr_server_get_transport_type(nullptr)); },
         KR_SERVER_TRANSPORT_HTTPS, EINVAL},
        {"set_port", [] { return long(kr_server_set_port(nullptr, 80)); }, 0, EINVAL},
        {"get_port", [] { return long(kr_server_get_port(nullptr)); }, 0, EINVAL},
        {"set_timeout", [] { return long(kr_server_set_timeout(nullptr, 5)); }, 0, EINVAL},
        {"get_timeout", [] { return long(kr_server_get_timeout(nullptr)); }, 0, EINVAL},
        {"set_host_lookup", [] { return long(kr_server_set_host_lookup(nullptr, 1)); }, 0, EINVAL},
        {"get_host_lookup", [] { return long(kr_server_get_host_lookup(nullptr)); }, 0, EINVAL},
        {"set_style",
         [] {
             kr_server_set_style(nullptr, KR_STYLE_CERTIFICATE);
             return 0L;
         },
         0, EINVAL},
        {"get_style", [] { return long(kr_server_get_style(nullptr)); }, KR_STYLE_LOGIN_PASSWORD,
         EINVAL},
        {"admin_user", [] { return long(kr_server_set_admin_user(nullptr, "u", "p")); }, 0, EINVAL},
        {"client_cert",
         [] { return long(kr_server_set_client_cert_and_key(nullptr, "c", "k", "p")); }, 0, EINVAL},
        {"server_cert", [] { return long(kr_server_set_server_cert_verification(nullptr, 1)); }, 0,
         EINVAL},
        {"is_server_cert",
         [] { return long(kr_server_is_server_cert_verification_enabled(nullptr)); }, 0, EINVAL},
        {"ca_certs", [] { return long(kr_server_set_ca_certs(nullptr, "ca.pem")); }, 0, EINVAL},
        {"hostname", [] { return long(kr_server_set_hostname_verification(nullptr, 1)); }, 0,
         EINVAL},
        {"is_hostname", [] { return long(kr_server_is_hostname_verification_enabled(nullptr)); }, 0,
         EINVAL},
        {"sslv3", [] { return long(kr_server_set_sslv3(nullptr, 1)); }, 0, EINVAL},
        {"is_sslv3", [] { return long(kr_server_is_sslv3_enabled(nullptr)); }, 0, EINVAL},
        {"namespace", [] { return long(kr_server_namespace(nullptr, "x")); }, 0, EINVAL},
        {"vtenant", [] { return long(kr_server_set_vtenant(nullptr, "x")); }, 0, EINVAL},
        {"vserver", [] { return long(kr_server_set_vserver(nullptr, "x")); }, 0, EINVAL},
        {"get_vserver", [] { return long(kr_server_get_vserver(nullptr) != nullptr); }, 0, 0},
        {"originator", [] { return long(kr_server_set_originator_id(nullptr, "x")); }, 0, EINVAL},
        {"get_originator", [] { return long(kr_server_get_originator_id(nullptr) != nullptr); }, 0,
         0},
        {"uuid", [] { return long(kr_server_set_target_cluster_uuid(nullptr, "x")); }, 0, EINVAL},
        {"get_uuid", [] { return long(kr_server_get_target_cluster_uuid(nullptr) != nullptr); }, 0,
         0},
        {"target_vserver", [] { return long(kr_server_set_target_vserver_name(nullptr, "x")); }, 0,
         EINVAL},
        {"get_target_vserver",
         [] { return long(kr_server_get_target_vserver_name(nullptr) != nullptr); }, 0, 0},
        {"caller_app", [] { return long(kr_server_set_caller_app_name(nullptr, "x")); }, 0, EINVAL},
        {"caller_intent", [] { return long(kr_server_set_caller_intent(nullptr, "x")); }, 0,
         EINVAL},
        {"set_debugstyle",
         [] {
             kr_server_set_debugstyle(nullptr, KR_PRINT_DONT_PARSE);
             return 0L;
         },
         0, EINVAL},
        {"get_debugstyle", [] { return long(kr_server_get_debugstyle(nullptr)); }, KR_NO_DEBUG,
         EINVAL},
        {"set_raw_xml",
         [] {
             char xml[] = "<a/>";
             kr_server_set_raw_xml_output(nullptr, xml);
             return 0L;
         },
         0, EINVAL},
        {"get_raw_xml", [] { return long(kr_server_get_raw_xml_output(nullptr) != nullptr); }, 0,
         EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(errno, c.error);
    }
}

// The templates as published for each server type; only ZINTAR also moves
// the handle to HTTPS on port 443.
TEST(KrServerTest, ServerTypeSetsItsUrlTemplate) {
    struct Case {
        kr_server_type_t type;
        const char *bracketed;
        const char *plain;
    };
    const Case cases[] = {
        {KR_SERVER_TYPE_STORAGE, filer_url,
         "http://%s:%d/servlets/kovrel.servlets.admin.XMLrequest_filer"},
        {KR_SERVER_TYPE_QUARRA, "http://[%s]:%d/servlets/kovrel.servlets.admin.XMLrequest",
         "http://%s:%d/servlets/kovrel.servlets.admin.XMLrequest"},
        {KR_SERVER_TYPE_HOSTAGENT, "http://[%s]:%d/apis/XMLrequest",
         "http://%s:%d/apis/XMLrequest"},
        {KR_SERVER_TYPE_TOLLEN, "http://[%s]:%d/apis/XMLrequest", "http://%s:%d/apis/XMLrequest"},
        {KR_SERVER_TYPE_CLUSTERED, filer_url,
         "http://%s:%d/servlets/kovrel.servlets.admin.XMLrequest_filer"},
        {KR_SERVER_TYPE_ZINTAR, "https://[%s]:%d/apis/XMLrequest", "https://%s:%d/apis/XMLrequest"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_transport(s.get(), KR_SERVER_TRANSPORT_HTTP, nullptr, 8080), 1);
        EXPECT_EQ(kr_server_set_server_type(s.get(), c.type), 1);
        EXPECT_EQ(s->servertype, c.type);
        EXPECT_STREQ(s->urlformat, c.bracketed);
        EXPECT_STREQ(kr_server_url_template(c.type, false), c.bracketed);
        EXPECT_STREQ(kr_server_url_template(c.type, true), c.plain);
        const bool zintar = c.type == KR_SERVER_TYPE_ZINTAR;
        EXPECT_EQ(s->transport, zintar ? KR_SERVER_TRANSPORT_HTTPS : KR_SERVER_TRANSPORT_HTTP);
        EXPECT_EQ(s->port, zintar ? 443 : 8080);
    }
    EXPECT_EQ(kr_server_url_template(static_cast<kr_server_type_t>(6), false), nullptr);
}

TEST(KrServerTest, TransportTables) {
    const shttpc_type_t types[] = {SHTTPC_Type_Plain, SHTTPC_Type_SSL, SHTTPC_Type_Plain,
                                   SHTTPC_Type_SSL};
    const char *prefixes[] = {"HTTP POST", "HTTP POST", "VAV", "VAV-S"};
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(kr_server_transport_map[t], types[t]) << t;
        EXPECT_STREQ(kr_transport_prefix_map[t], prefixes[t]) << t;
    }
}

TEST(KrServerTest, ServerTypeOutOfRangeChangesNothing) {
    for (const int type : {6, -1}) {
        SCOPED_TRACE(type);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_server_type(s.get(), KR_SERVER_TYPE_TOLLEN), 1);
        const char *url = s->urlformat;
        errno = 0;
        EXPECT_EQ(kr_server_set_server_type(s.get(), static_cast<kr_server_type_t>(type)), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(s->servertype, KR_SERVER_TYPE_TOLLEN);
        EXPECT_EQ(s->urlformat, url);
    }
}

TEST(KrServerTest, ZintarRefusesPlainHttp) {
    Server s = open_server();
    ASSERT_EQ(kr_server_set_transport(s.get(), KR_SERVER_TRANSPORT_HTTP, nullptr, 80), 1);
    ASSERT_EQ(kr_server_set_server_type(s.get(), KR_SERVER_TYPE_ZINTAR), 1);
    EXPECT_EQ(s->transport, KR_SERVER_TRANSPORT_HTTPS);
    EXPECT_EQ(s->port, 443);
    int result = -1;
    errno = 0;
    EXPECT_EQ(stderr_of([&] {
                  result = kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTP, nullptr);
              }),
              "'KR_SERVER_TYPE_ZINTAR' does not support 'KR_SERVER_TRANSPORT_HTTP'\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(s->transport, KR_SERVER_TRANSPORT_HTTPS);
}

// HTTPS is refused while a time-out is set; the other order is accepted.
TEST(KrServerTest, TimeoutThenHttpsIsRefused) {
    Server a = open_server();
    ASSERT_EQ(kr_server_set_timeout(a.get(), 30), 1);
    errno = 0;
    EXPECT_EQ(kr_server_set_transport_type(a.get(), KR_SERVER_TRANSPORT_HTTPS, nullptr), 0);
    EXPECT_EQ(errno, EINVAL);

    Server b = open_server();
    ASSERT_EQ(kr_server_set_transport_type(b.get(), KR_SERVER_TRANSPORT_HTTPS, nullptr), 1);
    EXPECT_EQ(kr_server_set_timeout(b.get(), 30), 1);
    EXPECT_EQ(kr_server_get_timeout(b.get()), 30);
}

// Values whose milliseconds do not fit in an int are refused, not wrapped.
TEST(KrServerTest, TimeoutRange) {
    struct Case {
        int timeout;
        int result;
    };
    const Case cases[] = {{-1, 0}, {0, 1}, {30, 1}, {INT_MAX / 1000, 1}, {INT_MAX / 1000 + 1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.timeout);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_timeout(s.get(), 7), 1);
        errno = 0;
        EXPECT_EQ(kr_server_set_timeout(s.get(), c.timeout), c.result);
        EXPECT_EQ(errno, c.result ? 0 : EINVAL);
        EXPECT_EQ(s->timeout, c.result ? c.timeout : 7);
    }
}

TEST(KrServerTest, TransportTypeValues) {
    struct Case {
        int transport;
        int result;
        kr_style_t style;
        int port;
        int look_up_host;
    };
    const Case cases[] = {
        {KR_SERVER_TRANSPORT_HTTP, 1, KR_STYLE_LOGIN_PASSWORD, 443, 1},
        {KR_SERVER_TRANSPORT_HTTPS, 1, KR_STYLE_LOGIN_PASSWORD, 443, 1},
        {KR_SERVER_TRANSPORT_VAV, 1, KR_STYLE_VAV, 0, 0},
        {KR_SERVER_TRANSPORT_ZSMS, 1, KR_STYLE_VAV, 0, 0},
        {4, 0, KR_STYLE_LOGIN_PASSWORD, 443, 1},
        {-1, 0, KR_STYLE_LOGIN_PASSWORD, 443, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.transport);
        Server s = open_server();
        errno = 0;
        EXPECT_EQ(kr_server_set_transport_type(
                      s.get(), static_cast<kr_server_transport_t>(c.transport), nullptr),
                  c.result);
        EXPECT_EQ(errno, c.result ? 0 : EINVAL);
        EXPECT_EQ(kr_server_get_transport_type(s.get()),
                  c.result ? c.transport : KR_SERVER_TRANSPORT_HTTPS);
        EXPECT_EQ(s->style, c.style);
        EXPECT_EQ(s->port, c.port);
        EXPECT_EQ(s->look_up_host, c.look_up_host);
    }
}

TEST(KrServerTest, TransportArgumentIsCopiedAndReleased) {
    Server s = open_server();
    int method = 0, ctx = 0;
    zfd_setopt_t arg = {&method, &ctx};
    ASSERT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTPS, &arg), 1);
    ASSERT_NE(s->transportarg, nullptr);
    EXPECT_NE(s->transportarg, &arg);
    EXPECT_EQ(s->transportarg->ssl_method, &method);
    EXPECT_EQ(s->transportarg->ssl_ctx, &ctx);
    arg.ssl_ctx = nullptr; // the handle's copy is its own
    EXPECT_EQ(s->transportarg->ssl_ctx, &ctx);
    ASSERT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTPS, nullptr), 1);
    EXPECT_EQ(s->transportarg, nullptr);
}

TEST(KrServerTest, SetTransportValidatesAllFirst) {
    struct Case {
        int transport;
        int port;
        int result;
    };
    const Case cases[] = {
        {KR_SERVER_TRANSPORT_HTTP, 80, 1},     {KR_SERVER_TRANSPORT_HTTPS, 8443, 1},
        {KR_SERVER_TRANSPORT_VAV, 80, 0},      {KR_SERVER_TRANSPORT_ZSMS, 80, 0},
        {KR_SERVER_TRANSPORT_HTTP, 0, 0},      {KR_SERVER_TRANSPORT_HTTP, 65536, 0},
        {KR_SERVER_TRANSPORT_HTTPS, 65535, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.transport << " " << c.port);
        Server s = open_server();
        errno = 0;
        EXPECT_EQ(kr_server_set_transport(s.get(), static_cast<kr_server_transport_t>(c.transport),
                                          nullptr, c.port),
                  c.result);
        EXPECT_EQ(errno, c.result ? 0 : EINVAL);
        EXPECT_EQ(s->transport, c.result ? c.transport : KR_SERVER_TRANSPORT_HTTPS);
        EXPECT_EQ(s->port, c.result ? c.port : 443);
        EXPECT_EQ(s->style, KR_STYLE_LOGIN_PASSWORD);
    }
    // A refused transport leaves the port alone.
    Server s = open_server();
    ASSERT_EQ(kr_server_set_timeout(s.get(), 5), 1);
    EXPECT_EQ(kr_server_set_transport(s.get(), KR_SERVER_TRANSPORT_HTTPS, nullptr, 8443), 0);
    EXPECT_EQ(s->port, 443);
}

TEST(KrServerTest, PortRange) {
    struct Case {
        int port;
        int result;
    };
    for (const Case &c : {Case{0, 0}, Case{65536, 0}, Case{-1, 0}, Case{1, 1}, Case{65535, 1}}) {
        SCOPED_TRACE(c.port);
        Server s = open_server();
        errno = 0;
        EXPECT_EQ(kr_server_set_port(s.get(), c.port), c.result);
        EXPECT_EQ(errno, c.result ? 0 : EINVAL);
        EXPECT_EQ(kr_server_get_port(s.get()), c.result ? c.port : 443);
    }
}

TEST(KrServerTest, KeepAliveRules) {
    struct Case {
        kr_server_type_t type;
        int enable;
        int result;
        const char *message;
    };
    const char *type_message =
        "keep alive option can only be enabled for TOLLEN or ZINTAR server type\n";
    const Case cases[] = {
        {KR_SERVER_TYPE_STORAGE, 1, 0, type_message},
        {KR_SERVER_TYPE_STORAGE, 0, 0, type_message}, // also when disabling
        {KR_SERVER_TYPE_CLUSTERED, 1, 0, type_message},
        {KR_SERVER_TYPE_STORAGE, 2, 0, type_message}, // the type is checked first
        {KR_SERVER_TYPE_TOLLEN, 1, 1, ""},
        {KR_SERVER_TYPE_ZINTAR, 1, 1, ""},
        {KR_SERVER_TYPE_TOLLEN, 0, 1, ""},
        {KR_SERVER_TYPE_TOLLEN, 2, 0, "Invalid flag for keep alive enable\n"},
        {KR_SERVER_TYPE_ZINTAR, -1, 0, "Invalid flag for keep alive enable\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.type << " " << c.enable);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_server_type(s.get(), c.type), 1);
        int result = -1;
        errno = 0;
        EXPECT_EQ(stderr_of([&] { result = kr_server_set_keep_alive(s.get(), c.enable); }),
                  c.message);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(errno, c.result ? 0 : EINVAL);
        EXPECT_EQ(kr_server_get_keep_alive(s.get()), c.result ? c.enable : 0);
    }
    int result = -1;
    EXPECT_EQ(stderr_of([&] { result = kr_server_set_keep_alive(nullptr, 1); }),
              "server context cannot be NULL\n");
    EXPECT_EQ(result, 0);
    errno = 0;
    EXPECT_EQ(stderr_of([&] { result = kr_server_get_keep_alive(nullptr); }),
              "server context cannot be NULL\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST(KrServerTest, ServerCertVerificationChecks) {
    struct Case {
        kr_server_transport_t transport;
        int enable;
        const char *message;
    };
    const Case cases[] = {
        {KR_SERVER_TRANSPORT_HTTPS, 2, "Invalid flag for server cert verification enable\n"},
        {KR_SERVER_TRANSPORT_HTTP, 2, "Invalid flag for server cert verification enable\n"},
        {KR_SERVER_TRANSPORT_HTTP, 1,
         "Server certificate verification can only be enabled or disabled for HTTPS transport "
         "type.\n"},
        {KR_SERVER_TRANSPORT_HTTP, 0,
         "Server certificate verification can only be enabled or disabled for HTTPS transport "
         "type.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.transport << " " << c.enable);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_transport_type(s.get(), c.transport, nullptr), 1);
        int result = -1;
        errno = 0;
        EXPECT_EQ(
            stderr_of([&] { result = kr_server_set_server_cert_verification(s.get(), c.enable); }),
            c.message);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(s->cert_info, nullptr);
    }
}

TEST(KrServerTest, HostnameVerificationFollowsServerVerification) {
    Server s = open_server();
    int result = -1;
    errno = 0;
    EXPECT_EQ(stderr_of([&] { result = kr_server_set_hostname_verification(s.get(), 1); }),
              "Server certificate verification is not enabled\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(s->cert_info, nullptr);

    // Disabling what was never set up creates nothing.
    EXPECT_EQ(kr_server_set_server_cert_verification(s.get(), 0), 1);
    EXPECT_EQ(s->cert_info, nullptr);

    ASSERT_EQ(kr_server_set_server_cert_verification(s.get(), 1), 1);
    ASSERT_NE(s->cert_info, nullptr);
    EXPECT_EQ(s->cert_info->need_client_auth, 0);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 1);
    EXPECT_EQ(kr_server_is_hostname_verification_enabled(s.get()), 1);

    EXPECT_EQ(stderr_of([&] { result = kr_server_set_hostname_verification(s.get(), 3); }),
              "Invalid flag specified for server cert verification enable\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(kr_server_set_hostname_verification(s.get(), 0), 1);
    EXPECT_EQ(kr_server_is_hostname_verification_enabled(s.get()), 0);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 1);
    EXPECT_EQ(kr_server_set_hostname_verification(s.get(), 1), 1);

    ASSERT_EQ(kr_server_set_server_cert_verification(s.get(), 0), 1);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 0);
    EXPECT_EQ(kr_server_is_hostname_verification_enabled(s.get()), 0);
}

TEST(KrServerTest, CertificateStyleTurnsOnAllFlagsAndOtherStylesReleaseThem) {
    Server s = open_server();
    ASSERT_EQ(kr_server_set_transport(s.get(), KR_SERVER_TRANSPORT_HTTP, nullptr, 80), 1);
    kr_server_set_style(s.get(), KR_STYLE_CERTIFICATE);
    EXPECT_EQ(kr_server_get_style(s.get()), KR_STYLE_CERTIFICATE);
    EXPECT_EQ(s->transport, KR_SERVER_TRANSPORT_HTTPS);
    ASSERT_NE(s->cert_info, nullptr);
    EXPECT_EQ(s->cert_info->need_client_auth, 1);
    EXPECT_EQ(s->cert_info->need_server_auth, 1);
    EXPECT_EQ(s->cert_info->need_hostname_verification, 1);
    EXPECT_EQ(s->cert_info->host, s->host); // borrowed, not a copy
    for (const char *field :
         {s->cert_info->cert_file, s->cert_info->key_file, s->cert_info->key_passwd,
          s->cert_info->ca_file, s->cert_info->ca_dir, s->cert_info->err_info})
        EXPECT_EQ(field, nullptr);

    // Every string of the settings goes with them, the failure text included.
    ASSERT_EQ(kr_server_set_client_cert_and_key(s.get(), "c.pem", "k.pem", "pw"), 1);
    ASSERT_EQ(kr_server_set_ca_certs(s.get(), "ca.pem"), 1);
    s->cert_info->ca_dir = pstrdup(pool_default(), "/etc/ssl/certs");
    s->cert_info->err_info = pstrdup(pool_default(), "certificate verify failed");
    kr_server_set_style(s.get(), KR_STYLE_LOGIN_PASSWORD);
    EXPECT_EQ(s->cert_info, nullptr);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 0);
    EXPECT_EQ(kr_server_is_hostname_verification_enabled(s.get()), 0);
}

TEST(KrServerTest, StylesOtherThanCertificateAreStoredAsGiven) {
    // Login/password, RPC, trusted host, and values beyond the enumeration
    // (those the C++ enumeration can still hold).
    for (const int style : {0, 1, 2, 5, 7}) {
        SCOPED_TRACE(style);
        Server s = open_server();
        kr_server_set_style(s.get(), KR_STYLE_CERTIFICATE);
        kr_server_set_style(s.get(), static_cast<kr_style_t>(style));
        EXPECT_EQ(kr_server_get_style(s.get()), style);
        EXPECT_EQ(s->cert_info, nullptr);
        EXPECT_EQ(s->transport, KR_SERVER_TRANSPORT_HTTPS);
    }
}

// With a time-out set the certificate style cannot move the transport to
// HTTPS; the style and its flags are set all the same and errno tells.
TEST(KrServerTest, CertificateStyleWithTimeoutKeepsTheTransport) {
    Server s = open_server();
    ASSERT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTP, nullptr), 1);
    ASSERT_EQ(kr_server_set_timeout(s.get(), 10), 1);
    errno = 0;
    kr_server_set_style(s.get(), KR_STYLE_CERTIFICATE);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(s->style, KR_STYLE_CERTIFICATE);
    EXPECT_EQ(s->transport, KR_SERVER_TRANSPORT_HTTP);
    ASSERT_NE(s->cert_info, nullptr);
    EXPECT_EQ(s->cert_info->need_client_auth, 1);
}

TEST(KrServerTest, PlainHttpReleasesCertificateSettingsAndHttpsKeepsThem) {
    Server s = open_server();
    ASSERT_EQ(kr_server_set_ca_certs(s.get(), "ca.pem"), 1);
    ASSERT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTPS, nullptr), 1);
    ASSERT_NE(s->cert_info, nullptr);
    EXPECT_STREQ(s->cert_info->ca_file, "ca.pem");
    ASSERT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTP, nullptr), 1);
    EXPECT_EQ(s->cert_info, nullptr);
    // CA files may be named on any transport.
    EXPECT_EQ(kr_server_set_ca_certs(s.get(), "other.pem"), 1);
    ASSERT_NE(s->cert_info, nullptr);
    EXPECT_STREQ(s->cert_info->ca_file, "other.pem");
    EXPECT_EQ(s->cert_info->need_server_auth, 0);
}

TEST(KrServerTest, ClientCertAndKeyDefaults) {
    struct Case {
        const char *key;
        const char *passwd;
        const char *expected_key;
        const char *expected_passwd;
    };
    const Case cases[] = {
        {"key.pem", "secret", "key.pem", "secret"},
        {nullptr, nullptr, "chain.pem", ""},
        {nullptr, "secret", "chain.pem", "secret"},
    };
    for (const Case &c : cases) {
        Server s = open_server();
        ASSERT_EQ(kr_server_set_client_cert_and_key(s.get(), "old.pem", "old.key", "old"), 1);
        EXPECT_EQ(kr_server_set_client_cert_and_key(s.get(), "chain.pem", c.key, c.passwd), 1);
        ASSERT_NE(s->cert_info, nullptr);
        EXPECT_STREQ(s->cert_info->cert_file, "chain.pem");
        EXPECT_STREQ(s->cert_info->key_file, c.expected_key);
        EXPECT_STREQ(s->cert_info->key_passwd, c.expected_passwd);
        // Only the certificate style asks for client authentication.
        EXPECT_EQ(s->cert_info->need_client_auth, 0);
    }
    Server s = open_server();
    errno = 0;
    EXPECT_EQ(kr_server_set_client_cert_and_key(s.get(), nullptr, "k", "p"), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_server_set_ca_certs(s.get(), nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(s->cert_info, nullptr);
}

TEST(KrServerTest, CaCertsReplaceFileAndDirectory) {
    Server s = open_server();
    ASSERT_EQ(kr_server_set_ca_certs(s.get(), "one.pem"), 1);
    s->cert_info->ca_dir = pstrdup(pool_default(), "/etc/ssl/certs");
    ASSERT_EQ(kr_server_set_ca_certs(s.get(), "two.pem"), 1);
    EXPECT_STREQ(s->cert_info->ca_file, "two.pem");
    EXPECT_EQ(s->cert_info->ca_dir, nullptr);
}

TEST(KrServerTest, Sslv3IsStoredUnchanged) {
    Server s = open_server();
    for (const int value : {1, 0, 7}) {
        EXPECT_EQ(kr_server_set_sslv3(s.get(), value), 1);
        EXPECT_EQ(kr_server_is_sslv3_enabled(s.get()), value);
    }
}

TEST(KrServerTest, VersionGates) {
    enum Setter { vtenant, vserver };
    struct Case {
        Setter setter;
        int major;
        int minor;
        int result;
    };
    const char *vtenant_message =
        "Error: ROVUDI version must be at least 1.7 to send API to a vtenant\n";
    const char *vserver_message =
        "Error: ROVUDI version must be at least 1.15 to send API to a vserver\n";
    const Case cases[] = {
        {vtenant, 1, 6, 0},  {vtenant, 1, 7, 1},  {vtenant, 2, 0, 1}, {vtenant, 0, 99, 0},
        {vserver, 1, 14, 0}, {vserver, 1, 15, 1}, {vserver, 2, 0, 1}, {vserver, 1, 7, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.setter << " " << c.major << "." << c.minor);
        Server s = open_server(c.major, c.minor);
        int result = -1;
        errno = 4242;
        const std::string out = stderr_of([&] {
            result = c.setter == vtenant ? kr_server_set_vtenant(s.get(), "svm1")
                                         : kr_server_set_vserver(s.get(), "svm1");
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(errno, 4242);
        EXPECT_EQ(out, c.result ? "" : c.setter == vtenant ? vtenant_message : vserver_message);
        if (c.result)
            EXPECT_STREQ(kr_server_get_vserver(s.get()), "svm1");
        else
            EXPECT_EQ(kr_server_get_vserver(s.get()), nullptr);
    }
}

TEST(KrServerTest, TargetVserverNameNeedsAVtenant) {
    for (const bool by_vserver : {false, true}) {
        SCOPED_TRACE(by_vserver);
        Server s = open_server();
        errno = 0;
        EXPECT_EQ(kr_server_set_target_vserver_name(s.get(), "svm2"), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(kr_server_get_target_vserver_name(s.get()), nullptr);
        ASSERT_EQ(by_vserver ? kr_server_set_vserver(s.get(), "svm1")
                             : kr_server_set_vtenant(s.get(), "svm1"),
                  1);
        EXPECT_EQ(kr_server_set_target_vserver_name(s.get(), "svm2"), 1);
        EXPECT_STREQ(kr_server_get_target_vserver_name(s.get()), "svm2");
        errno = 0;
        EXPECT_EQ(kr_server_set_target_vserver_name(s.get(), nullptr), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_STREQ(kr_server_get_target_vserver_name(s.get()), "svm2");
    }
}

TEST(KrServerTest, AdminUser) {
    struct Case {
        const char *user;
        const char *pass;
        int result;
        const char *expected_user; // after a first setting of "root"/"pw"
        const char *expected_pass;
    };
    const Case cases[] = {
        {"admin", "secret", 1, "admin", "secret"}, {"", "", 1, nullptr, nullptr},
        {"admin", "", 1, "admin", nullptr},        {nullptr, "x", 0, "root", "pw"},
        {"x", nullptr, 0, "root", "pw"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << (c.user ? c.user : "(null)") << "/" << (c.pass ? c.pass : "(null)"));
        Server s = open_server();
        ASSERT_EQ(kr_server_set_admin_user(s.get(), "root", "pw"), 1);
        errno = 0;
        EXPECT_EQ(kr_server_set_admin_user(s.get(), c.user, c.pass), c.result);
        EXPECT_EQ(errno, c.result ? 0 : EINVAL);
        if (c.expected_user)
            EXPECT_STREQ(s->username, c.expected_user);
        else
            EXPECT_EQ(s->username, nullptr);
        if (c.expected_pass)
            EXPECT_STREQ(s->password, c.expected_pass);
        else
            EXPECT_EQ(s->password, nullptr);
    }
}

struct StringSetting {
    const char *name;
    int (*set)(kr_server_t *, const char *);
    std::function<const char *(kr_server_t *)> get;
    int null_value_errno;
};

const StringSetting string_settings[] = {
    {"namespace", kr_server_namespace, [](kr_server_t *s) { return s->ns; }, EINVAL},
    {"vtenant", kr_server_set_vtenant, [](kr_server_t *s) { return kr_server_get_vserver(s); },
     EINVAL},
    {"vserver", kr_server_set_vserver, [](kr_server_t *s) { return kr_server_get_vserver(s); },
     EINVAL},
    {"originator_id", kr_server_set_originator_id,
     [](kr_server_t *s) { return kr_server_get_originator_id(s); }, EINVAL},
    {"target_cluster_uuid", kr_server_set_target_cluster_uuid,
     [](kr_server_t *s) { return kr_server_get_target_cluster_uuid(s); }, EINVAL},
    {"target_vserver_name", kr_server_set_target_vserver_name,
     [](kr_server_t *s) { return kr_server_get_target_vserver_name(s); }, EINVAL},
    {"caller_app_name", kr_server_set_caller_app_name,
     [](kr_server_t *s) { return s->caller_app_name; }, ENOMEM},
    {"caller_intent", kr_server_set_caller_intent, [](kr_server_t *s) { return s->caller_intent; },
     ENOMEM},
};

// Each string setting keeps its own copy, replaces it, and refuses a null
// value without losing the one it had.
TEST(KrServerTest, StringSettingsCopyReplaceAndRefuseNull) {
    for (const StringSetting &setting : string_settings) {
        SCOPED_TRACE(setting.name);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_vtenant(s.get(), "svm"), 1);
        char value[] = "first";
        ASSERT_EQ(setting.set(s.get(), value), 1);
        value[0] = 'F';
        EXPECT_STREQ(setting.get(s.get()), "first");
        ASSERT_EQ(setting.set(s.get(), "second"), 1);
        EXPECT_STREQ(setting.get(s.get()), "second");
        errno = 0;
        EXPECT_EQ(setting.set(s.get(), nullptr), 0);
        EXPECT_EQ(errno, setting.null_value_errno);
        EXPECT_STREQ(setting.get(s.get()), "second");
    }
}

TEST(KrServerTest, StringSettersKeepTheOldValueWhenMemoryRunsOut) {
    for (const StringSetting &setting : string_settings) {
        SCOPED_TRACE(setting.name);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_vtenant(s.get(), "svm"), 1);
        ASSERT_EQ(setting.set(s.get(), "old"), 1);
        sweep_allocation_failures(
            [&] {
                errno = 0;
                return setting.set(s.get(), "new");
            },
            [&](int result, bool failure_reached) {
                EXPECT_EQ(result, failure_reached ? 0 : 1);
                EXPECT_EQ(errno, failure_reached ? ENOMEM : 0);
                EXPECT_STREQ(setting.get(s.get()), failure_reached ? "old" : "new");
            });
    }
}

TEST(KrServerTest, AdminUserKeepsBothOldValuesWhenMemoryRunsOut) {
    Server s = open_server();
    ASSERT_EQ(kr_server_set_admin_user(s.get(), "root", "pw"), 1);
    sweep_allocation_failures(
        [&] {
            errno = 0;
            return kr_server_set_admin_user(s.get(), "admin", "secret");
        },
        [&](int result, bool failure_reached) {
            EXPECT_EQ(result, failure_reached ? 0 : 1);
            EXPECT_EQ(errno, failure_reached ? ENOMEM : 0);
            EXPECT_STREQ(s->username, failure_reached ? "root" : "admin");
            EXPECT_STREQ(s->password, failure_reached ? "pw" : "secret");
        });
}

// Certificate setters on a handle without settings: a failure leaves none.
TEST(KrServerTest, CertificateSettersLeaveNoSettingsWhenMemoryRunsOut) {
    struct Case {
        const char *name;
        std::function<int(kr_server_t *)> call;
        kr_style_t style_after_success;
    };
    const Case cases[] = {
        {"client_cert",
         [](kr_server_t *s) {
             return kr_server_set_client_cert_and_key(s, "c.pem", nullptr, nullptr);
         },
         KR_STYLE_LOGIN_PASSWORD},
        {"ca_certs", [](kr_server_t *s) { return kr_server_set_ca_certs(s, "ca.pem"); },
         KR_STYLE_LOGIN_PASSWORD},
        {"server_cert", [](kr_server_t *s) { return kr_server_set_server_cert_verification(s, 1); },
         KR_STYLE_LOGIN_PASSWORD},
        {"style",
         [](kr_server_t *s) {
             kr_server_set_style(s, KR_STYLE_CERTIFICATE);
             return s->style == KR_STYLE_CERTIFICATE ? 1 : 0;
         },
         KR_STYLE_CERTIFICATE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_transport(s.get(), KR_SERVER_TRANSPORT_HTTPS, nullptr, 8443), 1);
        sweep_allocation_failures(
            [&] {
                errno = 0;
                return c.call(s.get());
            },
            [&](int result, bool failure_reached) {
                EXPECT_EQ(result, failure_reached ? 0 : 1);
                EXPECT_EQ(errno, failure_reached ? ENOMEM : 0);
                EXPECT_EQ(s->cert_info == nullptr, failure_reached);
                EXPECT_EQ(s->style,
                          failure_reached ? KR_STYLE_LOGIN_PASSWORD : c.style_after_success);
                EXPECT_EQ(s->port, 8443);
            });
    }
}

TEST(KrServerTest, TransportArgumentKeepsTheOldCopyWhenMemoryRunsOut) {
    Server s = open_server();
    int a = 0, b = 0;
    zfd_setopt_t old_arg = {&a, &a};
    zfd_setopt_t new_arg = {&b, &b};
    ASSERT_EQ(kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTPS, &old_arg), 1);
    sweep_allocation_failures(
        [&] {
            errno = 0;
            return kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_VAV, &new_arg);
        },
        [&](int result, bool failure_reached) {
            EXPECT_EQ(result, failure_reached ? 0 : 1);
            EXPECT_EQ(errno, failure_reached ? ENOMEM : 0);
            ASSERT_NE(s->transportarg, nullptr);
            EXPECT_EQ(s->transportarg->ssl_ctx, failure_reached ? &a : &b);
            EXPECT_EQ(s->transport,
                      failure_reached ? KR_SERVER_TRANSPORT_HTTPS : KR_SERVER_TRANSPORT_VAV);
            EXPECT_EQ(s->port, failure_reached ? 443 : 0);
        });
}

TEST(KrServerTest, RawXmlOutputIsACopy) {
    Server s = open_server();
    char xml[] = "<results status=\"passed\"/>";
    kr_server_set_raw_xml_output(s.get(), xml);
    xml[0] = '!';
    EXPECT_STREQ(kr_server_get_raw_xml_output(s.get()), "<results status=\"passed\"/>");
    errno = 0;
    kr_server_set_raw_xml_output(s.get(), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(kr_server_get_raw_xml_output(s.get()), "<results status=\"passed\"/>");
    char other[] = "<x/>";
    sweep_allocation_failures(
        [&] {
            errno = 0;
            kr_server_set_raw_xml_output(s.get(), other);
            return errno;
        },
        [&](int error, bool failure_reached) {
            EXPECT_EQ(error, failure_reached ? ENOMEM : 0);
            EXPECT_STREQ(kr_server_get_raw_xml_output(s.get()),
                         failure_reached ? "<results status=\"passed\"/>" : "<x/>");
        });
}

TEST(KrServerTest, DebugStyleIsStoredUnchecked) {
    Server s = open_server();
    for (const int style : {1, 2, 3, 0}) {
        kr_server_set_debugstyle(s.get(), static_cast<kr_debug_style_t>(style));
        EXPECT_EQ(kr_server_get_debugstyle(s.get()), style);
    }
}

TEST(KrServerTest, StreamSocketStyle) {
    Server s = open_server();
    kr_server_set_style(s.get(), KR_STYLE_VAV);
    EXPECT_EQ(kr_server_get_style(s.get()), KR_STYLE_VAV);
    EXPECT_EQ(kr_server_get_transport_type(s.get()), KR_SERVER_TRANSPORT_VAV);
    EXPECT_EQ(kr_server_get_port(s.get()), 0);
    EXPECT_EQ(kr_server_get_host_lookup(s.get()), 0);
    EXPECT_EQ(kr_server_set_host_lookup(s.get(), 1), 1);
    EXPECT_EQ(kr_server_get_host_lookup(s.get()), 1);

    Server http = open_server();
    errno = 4242;
    EXPECT_EQ(kr_server_set_host_lookup(http.get(), 0), 0);
    EXPECT_EQ(errno, 4242);
    EXPECT_EQ(kr_server_get_host_lookup(http.get()), 1);
}

// Which settings release a held connection. Kept-alive HTTP connections live
// on a management-server handle with keep-alive on; the stream socket in VAV
// style. A connection that stays keeps its last-use time.
TEST(KrServerTest, HeldConnectionLife) {
    enum Holder { kept_alive, stream };
    struct Case {
        const char *name;
        Holder holder;
        std::function<void(kr_server_t *)> action;
        bool released;
    };
    const Case cases[] = {
        {"port changed", kept_alive, [](kr_server_t *s) { kr_server_set_port(s, 8443); }, true},
        {"same port", kept_alive, [](kr_server_t *s) { kr_server_set_port(s, 443); }, false},
        {"transport to http", kept_alive,
         [](kr_server_t *s) { kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_HTTP, nullptr); },
         true},
        {"same transport", kept_alive,
         [](kr_server_t *s) {
             kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_HTTPS, nullptr);
         },
         false},
        {"transport to stream socket", kept_alive,
         [](kr_server_t *s) { kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_ZSMS, nullptr); },
         true},
        {"keep-alive off", kept_alive, [](kr_server_t *s) { kr_server_set_keep_alive(s, 0); },
         true},
        {"keep-alive on again", kept_alive, [](kr_server_t *s) { kr_server_set_keep_alive(s, 1); },
         false},
        {"style to vav", kept_alive, [](kr_server_t *s) { kr_server_set_style(s, KR_STYLE_VAV); },
         true},
        {"style to hostsequiv", kept_alive,
         [](kr_server_t *s) { kr_server_set_style(s, KR_STYLE_HOSTSEQUIV); }, true},
        {"style to certificate", kept_alive,
         [](kr_server_t *s) { kr_server_set_style(s, KR_STYLE_CERTIFICATE); }, true},
        {"same style", kept_alive,
         [](kr_server_t *s) { kr_server_set_style(s, KR_STYLE_LOGIN_PASSWORD); }, false},
        {"type to zintar from port 443", kept_alive,
         [](kr_server_t *s) { kr_server_set_server_type(s, KR_SERVER_TYPE_ZINTAR); }, false},
        {"server verification on", kept_alive,
         [](kr_server_t *s) { kr_server_set_server_cert_verification(s, 1); }, true},
        {"server verification stays off", kept_alive,
         [](kr_server_t *s) { kr_server_set_server_cert_verification(s, 0); }, false},
        {"ca file", kept_alive, [](kr_server_t *s) { kr_server_set_ca_certs(s, "ca.pem"); }, true},
        {"client certificate", kept_alive,
         [](kr_server_t *s) { kr_server_set_client_cert_and_key(s, "c.pem", nullptr, nullptr); },
         true},
        {"sslv3 on", kept_alive, [](kr_server_t *s) { kr_server_set_sslv3(s, 1); }, true},
        {"sslv3 stays off", kept_alive, [](kr_server_t *s) { kr_server_set_sslv3(s, 0); }, false},
        {"time-out", kept_alive, [](kr_server_t *s) { kr_server_set_timeout(s, 5); }, false},
        {"credentials", kept_alive, [](kr_server_t *s) { kr_server_set_admin_user(s, "u", "p"); },
         false},
        {"refused port", kept_alive, [](kr_server_t *s) { kr_server_set_port(s, 0); }, false},

        {"stream: port changed", stream, [](kr_server_t *s) { kr_server_set_port(s, 8443); }, true},
        {"stream: same port", stream, [](kr_server_t *s) { kr_server_set_port(s, 2222); }, false},
        {"stream: host lookup", stream, [](kr_server_t *s) { kr_server_set_host_lookup(s, 1); },
         true},
        {"stream: same style", stream, [](kr_server_t *s) { kr_server_set_style(s, KR_STYLE_VAV); },
         true},
        {"stream: any transport", stream,
         [](kr_server_t *s) { kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_VAV, nullptr); },
         true},
        {"stream: refused transport", stream,
         [](kr_server_t *s) {
             kr_server_set_timeout(s, 5);
             kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_HTTPS, nullptr);
         },
         true},
        {"stream: keep-alive off", stream, [](kr_server_t *s) { kr_server_set_keep_alive(s, 0); },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Server s = open_server();
        ASSERT_EQ(kr_server_set_server_type(s.get(), KR_SERVER_TYPE_TOLLEN), 1);
        ASSERT_EQ(kr_server_set_keep_alive(s.get(), 1), 1);
        if (c.holder == stream) {
            kr_server_set_style(s.get(), KR_STYLE_VAV);
            ASSERT_EQ(kr_server_set_port(s.get(), 2222), 1);
        }
        shttpc_t held = idle_connection();
        s->sock = held;
        s->last_time_used = 1234;
        c.action(s.get());
        if (c.released) {
            EXPECT_EQ(s->sock, nullptr);
            if (c.holder == kept_alive) {
                EXPECT_EQ(s->last_time_used, 0u);
            }
        } else {
            EXPECT_EQ(s->sock, held);
            EXPECT_EQ(s->last_time_used, 1234u);
        }
    }
}

// A handle moved to ZINTAR on another port or transport must not reuse a
// connection made to the old endpoint.
TEST(KrServerTest, ZintarDropsAConnectionToTheOldEndpoint) {
    Server s = open_server();
    ASSERT_EQ(kr_server_set_server_type(s.get(), KR_SERVER_TYPE_TOLLEN), 1);
    ASSERT_EQ(kr_server_set_transport(s.get(), KR_SERVER_TRANSPORT_HTTP, nullptr, 80), 1);
    ASSERT_EQ(kr_server_set_keep_alive(s.get(), 1), 1);
    s->sock = idle_connection();
    s->last_time_used = 1234;
    ASSERT_EQ(kr_server_set_server_type(s.get(), KR_SERVER_TYPE_ZINTAR), 1);
    EXPECT_EQ(s->sock, nullptr);
    EXPECT_EQ(s->last_time_used, 0u);
}

// Closing releases whatever connection is still held, in any state.
TEST(KrServerTest, CloseReleasesAHeldConnection) {
    for (const kr_style_t style : {KR_STYLE_LOGIN_PASSWORD, KR_STYLE_VAV}) {
        for (const int keep_alive : {0, 1}) {
            kr_server_t *s = kr_server_open("filer.example.com", 1, 20);
            ASSERT_NE(s, nullptr);
            kr_server_set_style(s, style);
            s->keep_alive = keep_alive;
            s->sock = idle_connection();
            kr_server_set_ca_certs(s, "ca.pem");
            int arg = 0;
            zfd_setopt_t targ = {&arg, &arg};
            kr_server_set_transport_type(s, s->transport, &targ);
            EXPECT_EQ(kr_server_close(s), 1); // the leak checker sees what is left
        }
    }
}

TEST(KrServerTest, DropAndCloseHelpers) {
    Server s = open_server();
    s->sock = idle_connection();
    s->last_time_used = 99;
    kr_server_close_stream_socket(s.get());
    EXPECT_EQ(s->sock, nullptr);
    EXPECT_EQ(s->last_time_used, 99u);
    s->sock = idle_connection();
    kr_server_drop_connection(s.get());
    EXPECT_EQ(s->sock, nullptr);
    EXPECT_EQ(s->last_time_used, 0u);
    // Nothing held: nothing to do, and no harm.
    kr_server_drop_connection(s.get());
    kr_server_close_stream_socket(s.get());
    EXPECT_EQ(s->sock, nullptr);
}

} // namespace
