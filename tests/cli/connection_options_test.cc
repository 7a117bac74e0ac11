// The shared connection options and the server handle they produce.
#include "cli_errors.h"
#include "connection_options.h"
#include "password_source.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kovrel_cli {
namespace {

namespace fs = std::filesystem;

// A scratch directory with a stand-in CA file (the handle only records its
// name; nothing connects here).
class ConnectionOptionsTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kovrel_cli_test_" + std::to_string(::getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        ca_ = write("ca.pem", "not used\n");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string &name, const std::string &content) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    // Parses the arguments as a subcommand would.
    ConnectionOptions parse(std::vector<std::string> args) {
        CLI::App app;
        ConnectionOptions options;
        add_connection_options(app, options);
        std::reverse(args.begin(), args.end()); // CLI11's vector form is reversed
        app.parse(args);
        return options;
    }

    ServerPtr open(std::vector<std::string> args) {
        return open_server(parse(std::move(args)), Secrets{"secret", ""});
    }

    fs::path dir_;
    std::string ca_;
};

TEST_F(ConnectionOptionsTest, DefaultsAreVerifiedHttpsOn443) {
    const ServerPtr s = open({"--host", "h.example", "--ca-file", ca_});
    EXPECT_EQ(kr_server_get_transport_type(s.get()), KR_SERVER_TRANSPORT_HTTPS);
    EXPECT_EQ(kr_server_get_port(s.get()), 443);
    EXPECT_EQ(kr_server_get_style(s.get()), KR_STYLE_LOGIN_PASSWORD);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 1);
    EXPECT_EQ(kr_server_is_hostname_verification_enabled(s.get()), 1);
    EXPECT_STREQ(s->cert_info->ca_file, ca_.c_str());
    EXPECT_EQ(s->major, 1);
    EXPECT_EQ(s->minor, 15);
}

TEST_F(ConnectionOptionsTest, InsecureTurnsVerificationOff) {
    const ServerPtr s = open({"--host", "h", "--insecure"});
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 0);
    EXPECT_EQ(kr_server_is_hostname_verification_enabled(s.get()), 0);
}

TEST_F(ConnectionOptionsTest, CertificateStyleWithInsecureVerifiesNothing) {
    const std::string cert = write("client.pem", "x\n");
    const ServerPtr s = open({"--host", "h", "--cert", cert, "--insecure"});
    EXPECT_EQ(kr_server_get_style(s.get()), KR_STYLE_CERTIFICATE);
    EXPECT_EQ(kr_server_is_server_cert_verification_enabled(s.get()), 0);
    EXPECT_STREQ(s->cert_info->cert_file, cert.c_str());
    EXPECT_EQ(s->cert_info->need_client_auth, 1);
}

TEST_F(ConnectionOptionsTest, HttpDefaultsToPort80WithoutCertificateSettings) {
    const ServerPtr s = open({"--host", "h", "--transport", "http"});
    EXPECT_EQ(kr_server_get_transport_type(s.get()), KR_SERVER_TRANSPORT_HTTP);
    EXPECT_EQ(kr_server_get_port(s.get()), 80);
    EXPECT_EQ(s->cert_info, nullptr);
}

TEST_F(ConnectionOptionsTest, StreamProtocolTakesItsPort) {
    const ServerPtr s = open({"--host", "h", "--transport", "vav", "--port", "8022"});
    EXPECT_EQ(kr_server_get_style(s.get()), KR_STYLE_VAV);
    EXPECT_EQ(kr_server_get_transport_type(s.get()), KR_SERVER_TRANSPORT_VAV);
    EXPECT_EQ(kr_server_get_port(s.get()), 8022);
    const ServerPtr z =
        open({"--host", "h", "--style", "vav", "--transport", "zsms", "--port", "9"});
    EXPECT_EQ(kr_server_get_transport_type(z.get()), KR_SERVER_TRANSPORT_ZSMS);
    EXPECT_EQ(kr_server_get_port(z.get()), 9);
}

TEST_F(ConnectionOptionsTest, TimeoutWorksWithHttps) {
    // The library refuses HTTPS after a time-out; the options apply it after.
    const ServerPtr s = open({"--host", "h", "--insecure", "--timeout", "30", "--port", "8443"});
    EXPECT_EQ(kr_server_get_timeout(s.get()), 30);
    EXPECT_EQ(kr_server_get_transport_type(s.get()), KR_SERVER_TRANSPORT_HTTPS);
    EXPECT_EQ(kr_server_get_port(s.get()), 8443);
}

TEST_F(ConnectionOptionsTest, EnvelopeSettings) {
    const ServerPtr s = open({"--host", "h", "--insecure", "--vserver", "vs1", "--server-type",
                              "tollen", "--keep-alive", "--app-name", "backup", "--user", "admin"});
    EXPECT_STREQ(kr_server_get_vserver(s.get()), "vs1");
    EXPECT_EQ(kr_server_get_keep_alive(s.get()), 1);
    EXPECT_EQ(s->servertype, KR_SERVER_TYPE_TOLLEN);
    EXPECT_STREQ(s->caller_app_name, "backup");
    EXPECT_STREQ(s->username, "admin");
    EXPECT_STREQ(s->password, "secret");
}

TEST_F(ConnectionOptionsTest, ContradictionsAreUsageErrors) {
    const std::string cert = write("client.pem", "x\n");
    const std::vector<std::vector<std::string>> cases = {
        {"--host", "h", "--transport", "vav"},                     // no port
        {"--host", "h", "--style", "vav", "--transport", "https"}, // stream style over HTTP
        {"--host", "h", "--style", "login", "--transport", "zsms", "--port", "1"},
        {"--host", "h", "--style", "cert"},                     // no certificate
        {"--host", "h", "--style", "login", "--cert", cert},    // certificate unused
        {"--host", "h", "--cert", cert, "--transport", "http"}, // certificate over HTTP
        {"--host", "h", "--key", cert},                         // key without certificate
        {"--host", "h", "--server-type", "zintar", "--transport", "http"},
        {"--host", "h", "--keep-alive"},                            // storage type
        {"--host", "h", "--vserver", "v", "--api-version", "1.14"}, // too old for vservers
        {"--host", "h", "--api-version", "one"},
        {"--host", "h", "--ca-file", (dir_ / "missing.pem").string()},
    };
    for (const auto &args : cases) {
        std::string joined;
        for (const auto &a : args)
            joined += a + " ";
        EXPECT_THROW(open(args), UsageError) << joined;
    }
}

TEST_F(ConnectionOptionsTest, InvalidWordsAreRejectedByTheParser) {
    EXPECT_THROW(parse({"--host", "h", "--transport", "ftp"}), CLI::ValidationError);
    EXPECT_THROW(parse({"--host", "h", "--port", "0"}), CLI::ValidationError);
    EXPECT_THROW(parse({"--host", "h", "--insecure", "--ca-file", ca_}), CLI::ExcludesError);
    EXPECT_THROW(parse({"--port", "1"}), CLI::RequiredError);
}

TEST(ApiVersion, Parsing) {
    EXPECT_EQ(parse_api_version("1.15").major, 1);
    EXPECT_EQ(parse_api_version("1.15").minor, 15);
    EXPECT_EQ(parse_api_version("2.0").major, 2);
    for (const char *bad : {"1", "1.", ".5", "a.b", "1.2.3", "-1.2", "1.-2", "", "1.5x"})
        EXPECT_THROW(parse_api_version(bad), UsageError) << bad;
}

TEST(OptionWords, MapToTheLibraryValues) {
    EXPECT_EQ(server_type_from_name("filer"), KR_SERVER_TYPE_STORAGE);
    EXPECT_EQ(server_type_from_name("zintar"), KR_SERVER_TYPE_ZINTAR);
    EXPECT_EQ(transport_from_name("zsms"), KR_SERVER_TRANSPORT_ZSMS);
    EXPECT_EQ(style_from_name("hosts"), KR_STYLE_HOSTSEQUIV);
    EXPECT_EQ(style_from_name("cert"), KR_STYLE_CERTIFICATE);
    EXPECT_FALSE(style_from_name("rpc"));
    EXPECT_STREQ(transport_name(KR_SERVER_TRANSPORT_VAV), "vav");
}

class PasswordSourceTest : public ConnectionOptionsTest {};

TEST_F(PasswordSourceTest, FirstLineWithoutItsEnd) {
    EXPECT_EQ(read_secret_file(write("p1", "s3cret\nsecond line\n"), "--password-file"), "s3cret");
    EXPECT_EQ(read_secret_file(write("p2", "dos\r\n"), "--password-file"), "dos");
    EXPECT_EQ(read_secret_file(write("p3", "no newline"), "--password-file"), "no newline");
    EXPECT_EQ(read_secret_file(write("p4", ""), "--password-file"), "");
    EXPECT_EQ(read_secret_file(write("p5", " spaced \n"), "--password-file"), " spaced ");
}

TEST_F(PasswordSourceTest, UnreadableFilesAreUsageErrors) {
    EXPECT_THROW(read_secret_file((dir_ / "missing").string(), "--password-file"), UsageError);
    EXPECT_THROW(read_secret_file(dir_.string(), "--password-file"), UsageError);
}

TEST_F(PasswordSourceTest, FileBeatsEnvironment) {
    ::setenv(PASSWORD_VARIABLE, "from-env", 1);
    EXPECT_EQ(obtain_password(write("p", "from-file\n"), "prompt"), "from-file");
    EXPECT_EQ(obtain_password("", "prompt"), "from-env");
    ::setenv(PASSWORD_VARIABLE, "", 1); // set but empty still counts
    EXPECT_EQ(obtain_password("", "prompt"), "");
    ::unsetenv(PASSWORD_VARIABLE);
}

} // namespace
} // namespace kovrel_cli
