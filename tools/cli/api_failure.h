// Failed results of API calls, told apart by cause so that a message can say
// what to do about it.
#pragma once

#include "connection_options.h"

#include <string>
#include <string_view>

namespace kovrel_cli {

enum class FailureCause {
    connection_refused, // nothing listens on the port
    unreachable,        // any other failure to connect
    unknown_host,       // the host name does not resolve
    authorization,      // user name or password rejected
    certificate,        // the server's certificate did not verify
    certificate_name,   // it verified, but names another host
    client_certificate, // our certificate or key could not be used
    timeout,            // no answer within the time-out
    other,              // the server's own failure, or anything else
};

// From a failed results element's error number and reason.
FailureCause classify_failure(int error_number, std::string_view reason);

// What to do about it, or "" when there is nothing useful to say.
std::string failure_hint(FailureCause cause, const Endpoint &endpoint);

} // namespace kovrel_cli
