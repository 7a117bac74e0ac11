#include "tls_preflight.h"

#include "api_failure.h"
#include "cli_errors.h"

#include <fmt/format.h>

namespace kovrel_cli {

void verify_management_certificate(const ConnectionOptions &options, const Secrets &secrets) {
    ConnectionOptions verified = options;
    verified.transport = "https";
    verified.port = 443;
    verified.insecure = false;
    Endpoint endpoint;
    ServerPtr server = open_server(verified, secrets, &endpoint);

    ElemPtr request(kr_elem_new("system-get-version"));
    if (!request)
        throw Failure("cannot build the certificate check request: out of memory");
    ElemPtr results(kr_server_invoke_elem(server.get(), request.get()));
    if (!results)
        throw Failure("cannot check the certificate of " + options.host +
                      ": the library refused the request");
    if (kr_results_status(results.get()) == 1)
        return;
    const int error_number = kr_results_errno(results.get());
    const char *text = kr_results_reason(results.get());
    const std::string reason = text != nullptr ? text : "Unknown";
    const FailureCause cause = classify_failure(error_number, reason);
    switch (cause) {
    case FailureCause::certificate:
    case FailureCause::certificate_name:
        throw Failure(fmt::format("the certificate of {} (HTTPS port 443) did not verify: {} "
                                  "(errno {}); {}",
                                  options.host, reason, error_number,
                                  failure_hint(cause, endpoint)));
    case FailureCause::client_certificate:
    case FailureCause::connection_refused:
    case FailureCause::unreachable:
    case FailureCause::unknown_host:
    case FailureCause::timeout:
        throw Failure(fmt::format("cannot reach the management interface of {} (HTTPS port "
                                  "443): {} (errno {}); {}",
                                  options.host, reason, error_number,
                                  failure_hint(cause, endpoint)));
    case FailureCause::authorization:
        throw Failure(fmt::format("{} rejected the user name or password: {} (errno {}); {}",
                                  options.host, reason, error_number,
                                  failure_hint(cause, endpoint)));
    case FailureCause::other:
        break; // the server answered over a verified connection
    }
}

} // namespace kovrel_cli
