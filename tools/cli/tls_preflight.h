// A verified HTTPS call to the management address before a change-scan
// session is started.
#pragma once

#include "connection_options.h"

namespace kovrel_cli {

// The library's session start opens its own HTTPS connection and cannot be
// told to verify the server's certificate. So that the password is not sent
// to a server whose certificate does not verify, one call
// ("system-get-version") is made first over HTTPS port 443 with verification
// on (--ca-file or the system bundle, host name checked). Failure when the
// certificate does not verify, the credentials are refused, or the address
// cannot be reached; any answer from the server itself, even a failed one,
// shows that the certificate verified.
void verify_management_certificate(const ConnectionOptions &options, const Secrets &secrets);

} // namespace kovrel_cli
