#include "api_failure.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace kovrel_cli {
namespace {

// Error numbers the library gives its own failures.
constexpr int API_AUTHORIZATION_FAILED = 13002;
constexpr int API_TIMED_OUT = 60;

bool contains(std::string_view text, std::string_view word) {
    auto lower = [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    return std::search(text.begin(), text.end(), word.begin(), word.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

} // namespace

FailureCause classify_failure(int error_number, std::string_view reason) {
    if (error_number == API_AUTHORIZATION_FAILED || contains(reason, "Authorization failed"))
        return FailureCause::authorization;
    // TLS failures carry the TLS layer's small error codes; a server's own
    // failure that merely mentions a certificate (an API about certificates,
    // say) has an API error number and is not one of them.
    const bool tls_code = error_number >= 0 && error_number < 1000;
    if (tls_code && (contains(reason, "Failed to load certificate file") ||
                     contains(reason, "Failed to load key file")))
        return FailureCause::client_certificate;
    if (tls_code && contains(reason, "certificate") && contains(reason, "mismatch"))
        return FailureCause::certificate_name;
    // The texts of the TLS layer's verification failures and of the library's
    // own name check.
    if (tls_code && (contains(reason, "certificate") || contains(reason, "verif") ||
                     contains(reason, "issuer") || contains(reason, "self-signed") ||
                     contains(reason, "self signed")))
        return FailureCause::certificate;
    if (reason == "unknown address format.")
        return FailureCause::unknown_host;
    if (contains(reason, "Can't connect to host")) {
        // HTTP gives the system error as the error number ("... (err=111)."),
        // the stream protocol only inside its text ("... (111)").
        const bool refused = error_number == ECONNREFUSED ||
                             contains(reason, fmt::format("({})", ECONNREFUSED)) ||
                             contains(reason, fmt::format("(err={})", ECONNREFUSED));
        return refused ? FailureCause::connection_refused : FailureCause::unreachable;
    }
    if (error_number == API_TIMED_OUT || contains(reason, "Timed out") ||
        contains(reason, "Timeout"))
        return FailureCause::timeout;
    return FailureCause::other;
}

std::string failure_hint(FailureCause cause, const Endpoint &endpoint) {
    switch (cause) {
    case FailureCause::connection_refused:
        return fmt::format("is the server running on {} port {}?", endpoint.host, endpoint.port);
    case FailureCause::unreachable:
        return fmt::format("check that {} port {} can be reached from here", endpoint.host,
                           endpoint.port);
    case FailureCause::unknown_host:
        return fmt::format("the host name {} does not resolve: check --host", endpoint.host);
    case FailureCause::authorization:
        return "check --user and KOVREL_PASSWORD";
    case FailureCause::certificate:
        return "use --ca-file or --insecure";
    case FailureCause::certificate_name:
        return "give --host as the name the certificate was issued for, or use --insecure";
    case FailureCause::client_certificate:
        return "check --cert, --key and --key-passphrase-file";
    case FailureCause::timeout:
        return "the server did not answer in time: check it, or give a longer --timeout";
    case FailureCause::other:
        break;
    }
    return "";
}

} // namespace kovrel_cli
