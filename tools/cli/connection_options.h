// The connection options shared by `kovrel invoke` and `kovrel diff`, and the
// server handle they describe.
#pragma once

#include "kr_handles.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kovrel_cli {

// Trust anchors used when --ca-file is not given, as curl does on Debian.
inline constexpr const char *SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt";

// The options as the user typed them; empty strings and 0 mean "not given".
struct ConnectionOptions {
    std::string host;
    int port = 0;
    std::string server_type;
    std::string transport;
    std::string style;
    std::string user;
    std::string password_file;
    int timeout = 0;
    std::string cert_file;
    std::string key_file;
    std::string key_passphrase_file;
    std::string ca_file;
    bool insecure = false;
    std::string vserver;
    bool keep_alive = false;
    std::string api_version = "1.15";
    std::string app_name;
};

// Secrets, read from files, the environment or the terminal, never from the
// command line.
struct Secrets {
    std::string password;
    std::string key_passphrase;
};

struct ApiVersion {
    int major = 0;
    int minor = 0;
};

void add_connection_options(CLI::App &app, ConnectionOptions &options);

// Lookups of the option words; nullopt for a word that names nothing.
std::optional<kr_server_type_t> server_type_from_name(std::string_view name);
std::optional<kr_server_transport_t> transport_from_name(std::string_view name);
std::optional<kr_style_t> style_from_name(std::string_view name);
const char *transport_name(kr_server_transport_t transport);

// "M.N" with two decimal numbers; UsageError otherwise.
ApiVersion parse_api_version(std::string_view text);

// Where the handle will connect, for messages.
struct Endpoint {
    std::string host;
    int port = 0;
    kr_server_transport_t transport = KR_SERVER_TRANSPORT_HTTPS;
};

// Opens a server handle with every setting applied in the order the library
// needs (style and transport before port and time-out, certificate settings
// last, since a style or transport change discards them). UsageError for a
// contradictory command line, Failure when the library refuses a setting.
ServerPtr open_server(const ConnectionOptions &options, const Secrets &secrets,
                      Endpoint *endpoint = nullptr);

} // namespace kovrel_cli
