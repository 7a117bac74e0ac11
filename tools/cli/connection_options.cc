#include "connection_options.h"

#include "cli_errors.h"

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kovrel_cli {
namespace {

template <typename Value> struct Named {
    std::string_view name;
    Value value;
};

// "filer" is the everyday name of a storage system; both words are accepted.
constexpr std::array<Named<kr_server_type_t>, 7> SERVER_TYPES = {{
    {"storage", KR_SERVER_TYPE_STORAGE},
    {"filer", KR_SERVER_TYPE_STORAGE},
    {"quarra", KR_SERVER_TYPE_QUARRA},
    {"hostagent", KR_SERVER_TYPE_HOSTAGENT},
    {"tollen", KR_SERVER_TYPE_TOLLEN},
    {"clustered", KR_SERVER_TYPE_CLUSTERED},
    {"zintar", KR_SERVER_TYPE_ZINTAR},
}};

constexpr std::array<Named<kr_server_transport_t>, 4> TRANSPORTS = {{
    {"http", KR_SERVER_TRANSPORT_HTTP},
    {"https", KR_SERVER_TRANSPORT_HTTPS},
    {"vav", KR_SERVER_TRANSPORT_VAV},
    {"zsms", KR_SERVER_TRANSPORT_ZSMS},
}};

// The remote-procedure-call style does not exist on this platform, so it is
// not offered.
constexpr std::array<Named<kr_style_t>, 4> STYLES = {{
    {"login", KR_STYLE_LOGIN_PASSWORD},
    {"hosts", KR_STYLE_HOSTSEQUIV},
    {"cert", KR_STYLE_CERTIFICATE},
    {"vav", KR_STYLE_VAV},
}};

template <typename Value, size_t N>
std::optional<Value> lookup(const std::array<Named<Value>, N> &table, std::string_view name) {
    for (const auto &entry : table)
        if (entry.name == name)
            return entry.value;
    return std::nullopt;
}

template <typename Value, size_t N>
std::vector<std::string> names(const std::array<Named<Value>, N> &table) {
    std::vector<std::string> out;
    for (const auto &entry : table)
        out.emplace_back(entry.name);
    return out;
}

bool is_stream_transport(kr_server_transport_t t) {
    return t == KR_SERVER_TRANSPORT_VAV || t == KR_SERVER_TRANSPORT_ZSMS;
}

// A setter that returned 0: the library set errno.
[[noreturn]] void refused(const char *what) {
    throw Failure(fmt::format("cannot apply {}: {} (errno {})", what, std::strerror(errno), errno));
}

void require_readable(const std::string &path, const char *option) {
    if (access(path.c_str(), R_OK) != 0)
        throw UsageError(fmt::format("cannot read {} {}: {}", option, path, std::strerror(errno)));
}

// Style and transport, resolved from what was given and what each implies.
struct Channel {
    kr_style_t style = KR_STYLE_LOGIN_PASSWORD;
    kr_server_transport_t transport = KR_SERVER_TRANSPORT_HTTPS;
};

Channel resolve_channel(const ConnectionOptions &o, kr_server_type_t type) {
    std::optional<kr_style_t> style;
    std::optional<kr_server_transport_t> transport;
    if (!o.style.empty())
        style = style_from_name(o.style);
    if (!o.transport.empty())
        transport = transport_from_name(o.transport);

    // A client certificate only means something in certificate style.
    if (!o.cert_file.empty()) {
        if (!style)
            style = KR_STYLE_CERTIFICATE;
        else if (*style != KR_STYLE_CERTIFICATE)
            throw UsageError("--cert is used only with --style cert (or without --style)");
    }
    if (style == KR_STYLE_CERTIFICATE && o.cert_file.empty())
        throw UsageError("--style cert needs --cert FILE (and --key FILE unless the certificate "
                         "file holds the key)");
    if (!o.key_file.empty() && o.cert_file.empty())
        throw UsageError("--key needs --cert FILE");
    if (!o.key_passphrase_file.empty() && o.cert_file.empty())
        throw UsageError("--key-passphrase-file needs --cert FILE");

    Channel c;
    if (style == KR_STYLE_VAV || (transport && is_stream_transport(*transport))) {
        if (style && *style != KR_STYLE_VAV)
            throw UsageError(fmt::format("--transport {} is the stream protocol: it goes with "
                                         "--style vav (or no --style)",
                                         o.transport));
        if (transport && !is_stream_transport(*transport))
            throw UsageError(fmt::format("--style vav uses the stream protocol: use --transport "
                                         "vav or zsms (or no --transport), not {}",
                                         o.transport));
        c.style = KR_STYLE_VAV;
        c.transport = transport.value_or(KR_SERVER_TRANSPORT_VAV);
    } else {
        c.style = style.value_or(KR_STYLE_LOGIN_PASSWORD);
        c.transport = transport.value_or(KR_SERVER_TRANSPORT_HTTPS);
    }
    if (c.style == KR_STYLE_CERTIFICATE && c.transport != KR_SERVER_TRANSPORT_HTTPS)
        throw UsageError("--style cert needs --transport https");
    if (type == KR_SERVER_TYPE_ZINTAR && c.transport != KR_SERVER_TRANSPORT_HTTPS)
        throw UsageError("--server-type zintar answers only over HTTPS: use --transport https");
    return c;
}

} // namespace

std::optional<kr_server_type_t> server_type_from_name(std::string_view name) {
    return lookup(SERVER_TYPES, name);
}
std::optional<kr_server_transport_t> transport_from_name(std::string_view name) {
    return lookup(TRANSPORTS, name);
}
std::optional<kr_style_t> style_from_name(std::string_view name) {
    return lookup(STYLES, name);
}

const char *transport_name(kr_server_transport_t transport) {
    for (const auto &entry : TRANSPORTS)
        if (entry.value == transport)
            return entry.name.data();
    return "unknown";
}

ApiVersion parse_api_version(std::string_view text) {
    const auto dot = text.find('.');
    ApiVersion v;
    auto parse = [](std::string_view part, int &out) {
        if (part.empty())
            return false;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), out);
        return ec == std::errc() && end == part.data() + part.size() && out >= 0;
    };
    if (dot == std::string_view::npos || !parse(text.substr(0, dot), v.major) ||
        !parse(text.substr(dot + 1), v.minor))
        throw UsageError(
            fmt::format("--api-version must look like 1.15 (major.minor), not '{}'", text));
    return v;
}

void add_connection_options(CLI::App &app, ConnectionOptions &o) {
    const char *group = "Connection";
    app.add_option("--host", o.host, "Storage system or management server (name or address)")
        ->type_name("H")
        ->required()
        ->group(group);
    app.add_option("--port", o.port,
                   "TCP port (default 443 for https, 80 for http; required for vav and zsms)")
        ->type_name("N")
        ->check(CLI::Range(1, 65535))
        ->group(group);
    app.add_option("--server-type", o.server_type,
                   "Kind of server: storage (or filer, the default), quarra, hostagent, tollen, "
                   "clustered, zintar")
        ->type_name("TYPE")
        ->check(CLI::IsMember(names(SERVER_TYPES)))
        ->group(group);
    app.add_option("--transport", o.transport,
                   "http, https (default), vav (stream protocol) or zsms (stream protocol, "
                   "marked secure)")
        ->type_name("T")
        ->check(CLI::IsMember(names(TRANSPORTS)))
        ->group(group);
    app.add_option("--style", o.style,
                   "Authentication: login (HTTP Basic, default), hosts (trusted host, from a "
                   "reserved port; needs root), cert (client certificate), vav (stream protocol)")
        ->type_name("S")
        ->check(CLI::IsMember(names(STYLES)))
        ->group(group);
    app.add_option("--user", o.user,
                   "User name; the password comes from KOVREL_PASSWORD, --password-file or a "
                   "prompt")
        ->type_name("U")
        ->group(group);
    app.add_option("--password-file", o.password_file,
                   "Read the password from the first line of this file (instead of "
                   "KOVREL_PASSWORD)")
        ->type_name("FILE")
        ->group(group);
    app.add_option("--timeout", o.timeout, "Connect and read time-out in seconds (0: none)")
        ->type_name("S")
        ->check(CLI::Range(0, 86400))
        ->group(group);
    app.add_option("--cert", o.cert_file, "Client certificate chain (PEM); implies --style cert")
        ->type_name("FILE")
        ->group(group);
    app.add_option("--key", o.key_file, "Private key of the client certificate (PEM)")
        ->type_name("FILE")
        ->group(group);
    app.add_option("--key-passphrase-file", o.key_passphrase_file,
                   "Read the pass phrase of --key from the first line of this file")
        ->type_name("FILE")
        ->group(group);
    auto *ca = app.add_option("--ca-file", o.ca_file,
                              std::string("Trusted CA certificates (PEM) for HTTPS; default ") +
                                  SYSTEM_CA_BUNDLE)
                   ->type_name("FILE")
                   ->group(group);
    app.add_flag("--insecure", o.insecure,
                 "Do not verify the server's certificate or host name (HTTPS)")
        ->excludes(ca)
        ->group(group);
    app.add_option("--vserver", o.vserver, "Run the request on behalf of this vserver")
        ->type_name("V")
        ->group(group);
    app.add_flag("--keep-alive", o.keep_alive,
                 "Keep the HTTP connection open between calls (tollen and zintar only)")
        ->group(group);
    app.add_option("--api-version", o.api_version, "API version to request, M.N (default 1.15)")
        ->type_name("M.N")
        ->group(group);
    app.add_option("--app-name", o.app_name, "Application name sent with each request")
        ->type_name("NAME")
        ->group(group);
}

ServerPtr open_server(const ConnectionOptions &o, const Secrets &secrets, Endpoint *endpoint) {
    const ApiVersion version = parse_api_version(o.api_version);
    const kr_server_type_t type =
        o.server_type.empty()
            ? KR_SERVER_TYPE_STORAGE
            : server_type_from_name(o.server_type).value_or(KR_SERVER_TYPE_STORAGE);
    const Channel channel = resolve_channel(o, type);
    if (!o.vserver.empty() && (version.major < 1 || (version.major == 1 && version.minor < 15)))
        throw UsageError("--vserver needs --api-version 1.15 or later");
    if (o.keep_alive && type != KR_SERVER_TYPE_TOLLEN && type != KR_SERVER_TYPE_ZINTAR)
        throw UsageError("--keep-alive works only with --server-type tollen or zintar");
    if (is_stream_transport(channel.transport) && o.port == 0)
        throw UsageError(fmt::format("--transport {} needs --port N (the server's stream-protocol "
                                     "port)",
                                     transport_name(channel.transport)));
    const bool https = channel.transport == KR_SERVER_TRANSPORT_HTTPS;
    if (https && !o.insecure) {
        if (!o.ca_file.empty())
            require_readable(o.ca_file, "--ca-file");
        else if (access(SYSTEM_CA_BUNDLE, R_OK) != 0)
            throw Failure(fmt::format("the system CA bundle {} cannot be read ({}): install the "
                                      "ca-certificates package, or use --ca-file or --insecure",
                                      SYSTEM_CA_BUNDLE, std::strerror(errno)));
    }
    if (!o.cert_file.empty()) {
        require_readable(o.cert_file, "--cert");
        if (!o.key_file.empty())
            require_readable(o.key_file, "--key");
    }

    ServerPtr server(kr_server_open(o.host.c_str(), version.major, version.minor));
    if (!server)
        refused("the host name");
    kr_server_t *s = server.get();
    if (kr_server_set_server_type(s, type) != 1)
        refused("--server-type");

    // The style first: it may choose the transport itself (vav, cert) and
    // would discard certificate settings made before it.
    errno = 0;
    kr_server_set_style(s, channel.style);
    if (kr_server_get_style(s) != channel.style)
        refused("--style");
    if (kr_server_get_transport_type(s) != channel.transport &&
        kr_server_set_transport_type(s, channel.transport, nullptr) != 1)
        refused("--transport");

    int port = o.port;
    if (port == 0)
        port = channel.transport == KR_SERVER_TRANSPORT_HTTP ? 80 : 443;
    if (kr_server_set_port(s, port) != 1)
        refused("--port");
    // After the transport: the library refuses to switch to HTTPS while a
    // time-out is set, not the other way round.
    if (kr_server_set_timeout(s, o.timeout) != 1)
        refused("--timeout");

    if (!o.user.empty() &&
        kr_server_set_admin_user(s, o.user.c_str(), secrets.password.c_str()) != 1)
        refused("--user");

    if (https) {
        if (!o.cert_file.empty() &&
            kr_server_set_client_cert_and_key(s, o.cert_file.c_str(),
                                              o.key_file.empty() ? nullptr : o.key_file.c_str(),
                                              secrets.key_passphrase.c_str()) != 1)
            refused("--cert");
        if (kr_server_set_server_cert_verification(s, o.insecure ? 0 : 1) != 1)
            refused("certificate verification");
        // The library never loads a default trust store: without a CA file
        // nothing would verify, so the system bundle is named explicitly.
        if (!o.insecure && kr_server_set_ca_certs(s, o.ca_file.empty() ? SYSTEM_CA_BUNDLE
                                                                       : o.ca_file.c_str()) != 1)
            refused("--ca-file");
    }

    if (!o.vserver.empty() && kr_server_set_vserver(s, o.vserver.c_str()) != 1)
        refused("--vserver");
    if (o.keep_alive && kr_server_set_keep_alive(s, 1) != 1)
        refused("--keep-alive");
    if (!o.app_name.empty() && kr_server_set_caller_app_name(s, o.app_name.c_str()) != 1)
        refused("--app-name");

    if (endpoint != nullptr)
        *endpoint = Endpoint{o.host, port, channel.transport};
    return server;
}

} // namespace kovrel_cli
