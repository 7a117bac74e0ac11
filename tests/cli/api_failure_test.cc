// Failed results told apart by cause, and the advice each cause gets.
#include "api_failure.h"

#include <gtest/gtest.h>

namespace kovrel_cli {
namespace {

TEST(ClassifyFailure, LibraryAndServerFailures) {
    struct Case {
        int error_number;
        const char *reason;
        FailureCause cause;
    };
    const Case cases[] = {
        {111, "Can't connect to host (err=111).", FailureCause::connection_refused},
        {113, "Can't connect to host (err=113).", FailureCause::unreachable},
        {13055, "VAV - Can't connect to host (111)", FailureCause::connection_refused},
        {13055, "VAV - Can't connect to host (110)", FailureCause::unreachable},
        {13002, "HTTP POST - Authorization failed", FailureCause::authorization},
        {13002, "VAV - Authorization failed", FailureCause::authorization},
        {1, "the passed certificate cannot be found in the list of trusted certificates",
         FailureCause::certificate},
        {1, "unable to get local issuer certificate", FailureCause::certificate},
        {1,
         "Server certificate verification failed: Server certificate name (CN=a), hostname (b) "
         "mismatch.",
         FailureCause::certificate_name},
        {1, "Failed to load trusted CA certificates: no certificate or crl found",
         FailureCause::certificate},
        {1, "Failed to load key file: bad decrypt", FailureCause::client_certificate},
        {1, "Failed to load certificate file: no start line", FailureCause::client_certificate},
        {13011, "unknown address format.", FailureCause::unknown_host},
        {60, "Timeout. Could not read API response.", FailureCause::timeout},
        {13011, "HTTP POST - Timed out", FailureCause::timeout},
        {13005, "Unable to find API: volume-frobnicate", FailureCause::other},
        // A server's own failure that talks about certificates is still the server's.
        {13115, "invalid certificate name", FailureCause::other},
        {13001, "Parsing error in results: Unknown", FailureCause::other},
    };
    for (const Case &c : cases)
        EXPECT_EQ(classify_failure(c.error_number, c.reason), c.cause) << c.reason;
}

TEST(FailureHint, NamesWhatToCheck) {
    const Endpoint endpoint{"filer1", 8443, KR_SERVER_TRANSPORT_HTTPS};
    EXPECT_EQ(failure_hint(FailureCause::connection_refused, endpoint),
              "is the server running on filer1 port 8443?");
    EXPECT_EQ(failure_hint(FailureCause::authorization, endpoint),
              "check --user and KOVREL_PASSWORD");
    EXPECT_EQ(failure_hint(FailureCause::certificate, endpoint), "use --ca-file or --insecure");
    EXPECT_NE(failure_hint(FailureCause::unknown_host, endpoint).find("filer1"), std::string::npos);
    EXPECT_EQ(failure_hint(FailureCause::other, endpoint), "");
}

} // namespace
} // namespace kovrel_cli
