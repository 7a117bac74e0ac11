#include "kovrel.h"

#include "alloc_sweep.h"

#include "kr_owned.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string compact(kr_elem_t *e) {
    std::unique_ptr<char, void (*)(const void *)> text(kr_elem_encode(e, -1, ""), kr_free);
    EXPECT_NE(text, nullptr);
    return text ? text.get() : "";
}

// A "results" element with the given attributes, set in the order given.
Elem results_with(std::vector<std::pair<const char *, const char *>> attrs) {
    Elem e(kr_elem_new("results"));
    EXPECT_NE(e, nullptr);
    for (const auto &[key, value] : attrs)
        EXPECT_EQ(kr_attr_set(e.get(), key, value), 1);
    return e;
}

TEST(KrResultsTest, NewFailedEscapesTheReason) {
    Elem r(kr_results_new("failed", "a<b", 13001));
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(kr_elem_get_name(r.get()), "results");
    EXPECT_STREQ(kr_attr_get(r.get(), "reason"), "a&lt;b");
    EXPECT_EQ(compact(r.get()), "<results reason=\"a&lt;b\" errno=\"13001\" status=\"failed\"/>");
    EXPECT_EQ(kr_results_status(r.get()), 0);
    EXPECT_EQ(kr_results_errno(r.get()), 13001);
    EXPECT_STREQ(kr_results_reason(r.get()), "a<b");
}

TEST(KrResultsTest, NewPassedWithoutReasonOrErrno) {
    Elem r(kr_results_new("passed", nullptr, -1));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(compact(r.get()), "<results status=\"passed\"/>");
    EXPECT_EQ(kr_results_status(r.get()), 1);
    EXPECT_EQ(kr_results_errno(r.get()), -1);
    EXPECT_EQ(kr_results_reason(r.get()), nullptr);
}

TEST(KrResultsTest, NewWithErrnoZeroAndEmptyReason) {
    Elem r(kr_results_new("failed", "", 0));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(compact(r.get()), "<results reason=\"\" errno=\"0\" status=\"failed\"/>");
    EXPECT_EQ(kr_results_errno(r.get()), 0);
    EXPECT_STREQ(kr_results_reason(r.get()), "Unknown");
}

TEST(KrResultsTest, NullArguments) {
    errno = 0;
    EXPECT_EQ(kr_results_new(nullptr, "x", 1), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_results_status(nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_results_errno(nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_results_reason(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    kr_results_set_failed(nullptr, 1, "x");
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    kr_results_set_failed_encode_lf(nullptr, 1, "x");
    EXPECT_EQ(errno, EINVAL);
}

TEST(KrResultsTest, Status) {
    struct Case {
        std::vector<std::pair<const char *, const char *>> attrs;
        int passed;
    };
    const Case cases[] = {
        {{{"status", "passed"}}, 1},
        {{{"STATUS", "passed"}}, 1}, // attribute names ignore case,
                                     // values do not
        {{{"status", "Passed"}}, 0},
        {{{"status", "passed "}}, 0},
        {{{"status", "failed"}}, 0},
        {{{"status", ""}}, 0},
        {{{"errno", "0"}}, 0},
        {{}, 0},
    };
    for (const auto &c : cases) {
        Elem e = results_with(c.attrs);
        EXPECT_EQ(kr_results_status(e.get()), c.passed) << compact(e.get());
    }
}

TEST(KrResultsTest, Errno) {
    struct Case {
        std::vector<std::pair<const char *, const char *>> attrs;
        int eno;
    };
    const Case cases[] = {
        {{{"errno", "13001"}}, 13001},
        {{{"errno", "-5"}}, -5},
        {{{"errno", " 12abc"}}, 12},
        {{{"errno", "4294967297"}}, 1},         // low 32 bits
        {{{"errno", "2147483648"}}, INT32_MIN}, // low 32 bits
        {{{"errno", "abc"}}, 0},
        {{{"errno", ""}}, 0}, // present but empty parses as 0
        {{{"status", "failed"}}, -1},
        {{}, -1},
    };
    for (const auto &c : cases) {
        Elem e = results_with(c.attrs);
        EXPECT_EQ(kr_results_errno(e.get()), c.eno) << compact(e.get());
    }
}

TEST(KrResultsTest, Reason) {
    struct Case {
        std::vector<std::pair<const char *, const char *>> attrs;
        const char *reason; // null: null expected
    };
    const Case cases[] = {
        {{{"status", "passed"}, {"reason", "ignored"}}, nullptr},
        {{{"status", "failed"}}, "Unknown"},
        {{{"status", "failed"}, {"reason", ""}}, "Unknown"},
        {{}, "Unknown"},
        {{{"reason", "no status"}}, "no status"},
        {{{"status", "Passed"}, {"reason", "x"}}, "x"},
        {{{"status", "failed"}, {"reason", "a &amp; b &lt;c&gt; &quot;d&quot; &apos;"}},
         "a & b <c> \"d\" '"},
        {{{"status", "failed"}, {"reason", "&AMP;&Lt;"}}, "&<"},
        {{{"status", "failed"}, {"reason", "bare & ampersand"}}, "bare & ampersand"},
    };
    for (const auto &c : cases) {
        Elem e = results_with(c.attrs);
        SCOPED_TRACE(compact(e.get()));
        const char *reason = kr_results_reason(e.get());
        if (c.reason == nullptr) {
            EXPECT_EQ(reason, nullptr);
            continue;
        }
        ASSERT_NE(reason, nullptr);
        EXPECT_STREQ(reason, c.reason);
    }
}

// The decoded text is stored back in the element and returned from there;
// each call decodes what is stored at that moment.
TEST(KrResultsTest, ReasonIsStoredDecoded) {
    Elem e = results_with({{"status", "failed"}, {"reason", "x &amp;lt; y"}});
    const char *first = kr_results_reason(e.get());
    EXPECT_STREQ(first, "x &lt; y");
    EXPECT_EQ(first, kr_attr_get(e.get(), "reason"));
    EXPECT_STREQ(kr_results_reason(e.get()), "x < y");
}

TEST(KrResultsTest, SetFailedClearsChildrenKeepsTheRest) {
    Elem e = results_with({{"status", "passed"}, {"other", "kept"}});
    ASSERT_EQ(kr_elem_set_content(e.get(), "contents"), 1);
    kr_child_add_int(e.get(), "count", 3);
    kr_child_add_string(e.get(), "name", "vol0");
    kr_results_set_failed(e.get(), 13011, "can't <do> \"it\"\nnow");
    EXPECT_EQ(e->children, nullptr);
    EXPECT_EQ(e->lastchild, nullptr);
    EXPECT_EQ(kr_results_status(e.get()), 0);
    EXPECT_EQ(compact(e.get()),
              "<results reason=\"can&apos;t &lt;do&gt; &quot;it&quot;\nnow\" errno=\"13011\" "
              "status=\"failed\" other=\"kept\">contents</results>");
    EXPECT_STREQ(kr_results_reason(e.get()), "can't <do> \"it\"\nnow");

    // A new child goes where the old ones were.
    kr_child_add_int(e.get(), "after", 1);
    EXPECT_EQ(e->children, e->lastchild);
}

TEST(KrResultsTest, SetFailedEncodeLf) {
    Elem e = results_with({{"status", "passed"}});
    kr_results_set_failed_encode_lf(e.get(), 5, "line1\nline2 & more");
    EXPECT_STREQ(kr_attr_get(e.get(), "reason"), "line1&#xA;line2 &amp; more");
    EXPECT_EQ(kr_results_errno(e.get()), 5);
    EXPECT_EQ(kr_results_status(e.get()), 0);
}

TEST(KrResultsTest, SetFailedWithoutReasonKeepsTheOldOne) {
    Elem e = results_with({{"status", "failed"}, {"errno", "1"}, {"reason", "old"}});
    kr_results_set_failed(e.get(), -7, nullptr);
    EXPECT_EQ(compact(e.get()), "<results reason=\"old\" errno=\"-7\" status=\"failed\"/>");

    Elem bare(kr_elem_new("results"));
    kr_results_set_failed(bare.get(), 2, nullptr);
    EXPECT_EQ(compact(bare.get()), "<results errno=\"2\" status=\"failed\"/>");
    EXPECT_STREQ(kr_results_reason(bare.get()), "Unknown");
}

// ---- transport errors ---------------------------------------------------------

std::string error_string(ssize_t code, kr_server_transport_t transport, int extra,
                         int buffsz = 512) {
    std::vector<char> buff(512, '#');
    kr_error_string(code, transport, extra, buff.data(), buffsz);
    return buff.data();
}

TEST(KrResultsTest, ErrorStringForEveryCode) {
    struct Case {
        ssize_t code;
        const char *reason;
    };
    const Case cases[] = {
        {204, "No content"},
        {301, "Moved permanently"},
        {400, "Bad request"},
        {401, "Authorization failed"},
        {402, "Payment required"},
        {403, "Forbidden"},
        {404, "URL not found"},
        {405, "Method not allowed"},
        {406, "Not acceptable"},
        {407, "Proxy authentication required"},
        {408, "Request timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length required"},
        {412, "Precondition failed"},
        {413, "Request entity too large"},
        {414, "Request-URI too long"},
        {415, "Unsupported media type"},
        {501, "Not implemented"},
        {502, "Bad Gateway"},
        {503, "Service unavailable"},
        {504, "Gateway timeout"},
        {505, "HTTP version not supported"},
        {551, "Call succeeded, but can't allocate debugging parsing bypass buffer"},
        {552, "Call succeeded, but can't allocate reply XML buffer"},
        {553, "Can't allocate request XML buffer"},
        {554, "Can't connect to host"},
        {555, "Can't connect using 'hostequiv' (no permission, must be root)"},
        {556, "Can't decode the embedded 'Content-length' value from the reply"},
        {557, "Can't decode the embedded status/outcome value from the reply"},
        {558, "Can't encode request"},
        {559, "Can't read reply header (line 1)"},
        {560, "Can't read reply header (line 2)"},
        {561, "Can't read reply header (line 3)"},
        {562, "Can't write request headers"},
        {563, "Can't write request payload"},
        {564, "Call succeeded, but reply was consumed by debugging code"},
        {565, "Server unexpectedly dropped the connection for this request"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(error_string(c.code, KR_SERVER_TRANSPORT_HTTPS, 0),
                  std::string("HTTP POST - ") + c.reason);
        EXPECT_EQ(error_string(c.code, KR_SERVER_TRANSPORT_VAV, -3),
                  std::string("VAV - ") + c.reason + " (-3)");
    }
}

TEST(KrResultsTest, ErrorStringForms) {
    struct Case {
        ssize_t code;
        kr_server_transport_t transport;
        int extra;
        const char *text;
    };
    const Case cases[] = {
        {404, KR_SERVER_TRANSPORT_HTTPS, 0, "HTTP POST - URL not found"},
        {404, KR_SERVER_TRANSPORT_HTTPS, 7, "HTTP POST - URL not found (7)"},
        {404, KR_SERVER_TRANSPORT_HTTP, 0, "HTTP POST - URL not found"},
        {554, KR_SERVER_TRANSPORT_ZSMS, 111, "VAV-S - Can't connect to host (111)"},
        {999, KR_SERVER_TRANSPORT_VAV, 0, "VAV - failed, status code = 999"},
        {999, KR_SERVER_TRANSPORT_VAV, 5, "VAV - failed, status code = 999"},
        {200, KR_SERVER_TRANSPORT_HTTP, 0, "HTTP POST - failed, status code = 200"},
        {-4, KR_SERVER_TRANSPORT_HTTP, 0, "HTTP POST - failed, status code = -4"},
        {550, KR_SERVER_TRANSPORT_HTTP, 0, "HTTP POST - failed, status code = 550"},
        {566, KR_SERVER_TRANSPORT_HTTP, 0, "HTTP POST - failed, status code = 566"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(error_string(c.code, c.transport, c.extra), c.text);
}

TEST(KrResultsTest, ErrorString500DependsOnErrno) {
    struct Case {
        int eno;
        int extra;
        const char *text;
    };
    const Case cases[] = {
        {ETIMEDOUT, 0, "HTTP POST - Timed out"},
        {ETIMEDOUT, 2, "HTTP POST - Timed out (2)"},
        {ECONNRESET, 0, "HTTP POST - Unable to send the API request(err=104)."},
        {0, 0, "HTTP POST - Unable to send the API request(err=0)."},
    };
    for (const auto &c : cases) {
        errno = c.eno;
        EXPECT_EQ(error_string(500, KR_SERVER_TRANSPORT_HTTP, c.extra), c.text);
        EXPECT_EQ(errno, c.eno);
    }
}

TEST(KrResultsTest, ErrorStringTruncates) {
    EXPECT_EQ(error_string(404, KR_SERVER_TRANSPORT_HTTP, 7, 10), "HTTP POST");
    EXPECT_EQ(error_string(999, KR_SERVER_TRANSPORT_VAV, 0, 15), "VAV - failed, ");
    EXPECT_EQ(error_string(404, KR_SERVER_TRANSPORT_HTTP, 0, 1), "");
    // Exactly fitting: 25 characters and the terminator.
    EXPECT_EQ(error_string(404, KR_SERVER_TRANSPORT_HTTP, 0, 26), "HTTP POST - URL not found");

    // No room at all: the buffer is not touched.
    for (int buffsz : {0, -1, INT32_MIN}) {
        char buff[4] = {'#', '#', '#', '\0'};
        kr_error_string(404, KR_SERVER_TRANSPORT_HTTP, 0, buff, buffsz);
        EXPECT_STREQ(buff, "###");
    }
    kr_error_string(404, KR_SERVER_TRANSPORT_HTTP, 0, nullptr, 16);
}

TEST(KrResultsTest, TransportErrcodeToApiErrcode) {
    struct Case {
        ssize_t code;
        int api;
    };
    const Case cases[] = {
        {401, 13002}, {407, 13002}, {551, 13922}, {552, 13922}, {553, 13922}, {554, 13055},
        {555, 13055}, {559, 13057}, {560, 13057}, {561, 13057}, {564, 13057}, {400, 13011},
        {404, 13011}, {500, 13011}, {556, 13011}, {558, 13011}, {562, 13011}, {565, 13011},
        {200, 13011}, {999, 13011}, {-1, 13011},  {0, 13011},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kr_transport_errcode_to_api_errcode(c.code), c.api) << c.code;
}

// ---- allocation failures ----------------------------------------------------

TEST(KrResultsTest, NewUnderAllocationFailure) {
    // Long enough that the escaped reason needs a copy of its own in the table.
    const char *reason = "the volume <vol0> is offline & can't be reached";
    const char *stored = "the volume &lt;vol0&gt; is offline &amp; can&apos;t be reached";
    sweep_allocation_failures(
        [&] {
            errno = 0;
            return Elem(kr_results_new("failed", reason, 13001));
        },
        [&](const Elem &r, bool failed) {
            if (r == nullptr) {
                EXPECT_TRUE(failed);
                EXPECT_EQ(errno, ENOMEM);
                return;
            }
            // A success, even without the reason, leaves errno alone.
            EXPECT_EQ(errno, 0);
            EXPECT_STREQ(kr_attr_get(r.get(), "status"), "failed");
            EXPECT_STREQ(kr_attr_get(r.get(), "errno"), "13001");
            // Only a reason that could not be escaped may be missing.
            const std::string got = kr_attr_get(r.get(), "reason");
            if (failed) {
                EXPECT_TRUE(got == stored || got.empty()) << got;
            } else {
                EXPECT_EQ(got, stored);
            }
        });
}

TEST(KrResultsTest, SetFailedUnderAllocationFailure) {
    const char *reason = "a reason long enough to need its own copy & more";
    for (bool had_status : {false, true}) {
        SCOPED_TRACE(had_status);
        // The element is prepared before the switch is armed, so the sweep is
        // written out here.
        for (long n = 1;; ++n) {
            Elem e(kr_elem_new("results"));
            ASSERT_NE(e, nullptr);
            if (had_status) {
                ASSERT_EQ(kr_attr_set(e.get(), "status", "passed"), 1);
            }
            ASSERT_NE(kr_child_add_int(e.get(), "count", 1), nullptr);
            pool_test_fail_nth(n);
            kr_results_set_failed(e.get(), 13001, reason);
            const bool failed = !pool_test_fail_pending();
            pool_test_fail_nth(0);
            SCOPED_TRACE(n);
            // Whatever failed, the element never still reads as passed.
            EXPECT_EQ(e->children, nullptr);
            EXPECT_EQ(kr_results_status(e.get()), 0);
            if (!failed) {
                EXPECT_STREQ(kr_results_reason(e.get()), reason);
                EXPECT_EQ(kr_results_errno(e.get()), 13001);
                break;
            }
            if (HasFailure())
                break;
        }
    }
}

TEST(KrResultsTest, ReasonUnderAllocationFailure) {
    const char *decoded = "the volume <vol0> is offline & can't be reached";
    for (long n = 1;; ++n) {
        Elem e = results_with(
            {{"status", "failed"},
             {"reason", "the volume &lt;vol0&gt; is offline &amp; can&apos;t be reached"}});
        pool_test_fail_nth(n);
        errno = 0;
        const char *reason = kr_results_reason(e.get());
        const bool failed = !pool_test_fail_pending();
        pool_test_fail_nth(0);
        SCOPED_TRACE(n);
        ASSERT_NE(reason, nullptr);
        EXPECT_EQ(errno, 0);
        EXPECT_EQ(reason, kr_attr_get(e.get(), "reason"));
        if (!failed) {
            EXPECT_STREQ(reason, decoded);
            break;
        }
        EXPECT_STREQ(reason, "Can't decode error message.");
        if (HasFailure())
            break;
    }
}

} // namespace
