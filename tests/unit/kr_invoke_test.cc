// The invocation frame without a network: result unwrapping, dispatch on the
// style, the request built from name/value pairs, and the handling of a
// reply left incomplete.
//
// Requests are observed through the INPUT echo of debug style 1, which is
// printed before the host is looked up. The handles name a host that is not
// a valid host name ("no such host"): the resolver refuses it without sending
// a query, so every invocation ends at the look-up.
#include "kovrel.h"

#include "kovrel_xml.h"
#include "kr_http.h"
#include "pool.h"

#include "alloc_sweep.h"
#include "kr_describe.h"
#include "kr_owned.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

const char kOffline[] = "no such host";

Elem child(const char *name, const char *content = nullptr) {
    Elem e(kr_elem_new(name));
    if (content != nullptr)
        kr_elem_set_content(e.get(), content);
    return e;
}

// A "kovrel" root with children of these names (a "results" child carries
// status passed and one output value, so that it can be recognised).
Elem envelope(const char *root_name, const std::vector<const char *> &children) {
    Elem root = child(root_name);
    for (const char *name : children) {
        Elem c = child(name);
        if (std::string(name) == "results") {
            kr_attr_set(c.get(), "status", "passed");
            kr_child_add_string(c.get(), "value", "42");
        }
        kr_child_add(root.get(), c.release());
    }
    return root;
}

void expect_failed(kr_elem_t *r, int eno, const char *reason) {
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(kr_results_status(r), 0);
    EXPECT_EQ(kr_results_errno(r), eno);
    EXPECT_STREQ(kr_results_reason(r), reason);
}

// --- kr_qapi_get_result ----------------------------------------------------

TEST(KrQapiGetResult, UnwrapsTheShapesOfAReply) {
    const char *passed = "results[status=passed]{value\"42\"}";
    const struct {
        const char *name;
        const char *root; // null: the entry holds no element
        std::vector<const char *> children;
        std::string expected; // describe() of the result
    } cases[] = {
        {"results alone", "kovrel", {"results"}, passed},
        {"with trace-output", "kovrel", {"results", "trace-output"}, passed},
        {"trace-output first", "kovrel", {"trace-output", "results"}, passed},
        {"one other child",
         "kovrel",
         {"results", "extra"},
         std::string("kovrel{") + passed + ",extra}"},
        {"two more children",
         "kovrel",
         {"results", "trace-output", "extra"},
         std::string("kovrel{") + passed + ",trace-output,extra}"},
        {"other root",
         "netapp",
         {"results"},
         "results[errno=13011,reason=No kovrel element in response,status=failed]"},
        {"no root",
         nullptr,
         {},
         "results[errno=13011,reason=No kovrel element in response,"
         "status=failed]"},
        {"no results child",
         "kovrel",
         {"trace-output"},
         "results[errno=13011,reason=No results element in response,status=failed]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kr_elem_stack_t stack[2] = {};
        stack[0].elem = c.root != nullptr ? envelope(c.root, c.children).release() : nullptr;
        Elem result(kr_qapi_get_result(stack));
        EXPECT_EQ(describe(result.get()), c.expected);
        // The stack no longer owns the root; whatever was not handed over is
        // released (the leak checker sees it otherwise).
        EXPECT_EQ(stack[0].elem, nullptr);
    }
}

TEST(KrQapiGetResult, NullStackIsAFailedResult) {
    Elem result(kr_qapi_get_result(nullptr));
    expect_failed(result.get(), 13011, "No elements in response");
}

TEST(KrQapiGetResult, HandedOverResultsHasNoSiblingLeft) {
    kr_elem_stack_t stack[1] = {};
    stack[0].elem = envelope("kovrel", {"results", "trace-output"}).release();
    Elem result(kr_qapi_get_result(stack));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->next, nullptr);
}

// --- Replies left incomplete ----------------------------------------------

struct Ctx {
    xml_ctx *r = xml_create();
    ~Ctx() { xml_release(r); }
};

// A reply whose reader saw no error but kept an element open is incomplete:
// it fails like a broken reply, whatever the root holds so far.
TEST(KrReplyResult, ElementOpenBelowTheRootIsAParseFailure) {
    for (const bool root_closed : {true, false}) {
        SCOPED_TRACE(root_closed ? "root closed" : "root open");
        Ctx ctx;
        ASSERT_NE(ctx.r, nullptr);
        Elem root = envelope("kovrel", {"results"});
        kr_elem_t *open = root->children;
        ctx.r->elemStack[0].elem = root.release();
        ctx.r->elemStack[1].elem = open;
        ctx.r->elemDepth = root_closed ? -1 : 1;
        int local_errno = 0;
        Elem result(kr_reply_result(ctx.r, &local_errno));
        expect_failed(result.get(), 13001,
                      "Parsing error in results: reply ended inside an element");
        EXPECT_EQ(local_errno, 13001);
    }
}

TEST(KrReplyResult, CompleteReplyIsUnwrapped) {
    Ctx ctx;
    ASSERT_NE(ctx.r, nullptr);
    ctx.r->elemStack[0].elem = envelope("kovrel", {"results"}).release();
    int local_errno = -1;
    Elem result(kr_reply_result(ctx.r, &local_errno));
    EXPECT_EQ(describe(result.get()), "results[status=passed]{value\"42\"}");
    EXPECT_EQ(local_errno, 0);
    EXPECT_EQ(ctx.r->elemStack[0].elem, nullptr);
}

TEST(KrReplyResult, ReaderErrorWinsAndReportsTheText) {
    Ctx ctx;
    ASSERT_NE(ctx.r, nullptr);
    ctx.r->elemStack[0].elem = envelope("kovrel", {"results"}).release();
    ctx.r->parse_error = pstrdup(pool_default(), "mismatched tag");
    int local_errno = 0;
    Elem result(kr_reply_result(ctx.r, &local_errno));
    expect_failed(result.get(), 13001, "Parsing error in results: mismatched tag");
    EXPECT_EQ(local_errno, 13001);
}

// --- kr_server_invoke_elem -------------------------------------------------

TEST(KrServerInvokeElem, NullArgumentsAreRefused) {
    Server s(kr_server_open(kOffline, 1, 15));
    Elem request = child("system-get-version");
    errno = 0;
    EXPECT_EQ(kr_server_invoke_elem(nullptr, request.get()), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_server_invoke_elem(s.get(), nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST(KrServerInvokeElem, StylesWithoutTransportFailAtOnce) {
    const struct {
        int style;
        int eno;
        const char *reason;
    } cases[] = {
        {KR_STYLE_RPC, 13011, "No RPC support on UNIX"},
        {5, 13002, "Unrecognized server authentication style"},
        {7, 13002, "Unrecognized server authentication style"},
        {-1, 13002, "Unrecognized server authentication style"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.style);
        Server s(kr_server_open(kOffline, 1, 15));
        ASSERT_NE(s, nullptr);
        kr_server_set_style(s.get(), static_cast<kr_style_t>(c.style));
        // Debug style 1 would print the request had anything been prepared.
        kr_server_set_debugstyle(s.get(), KR_PRINT_DONT_PARSE);
        Elem request = child("system-get-version");
        kr_child_add_string(request.get(), "detail", "1");
        const std::string before = describe(request.get());
        testing::internal::CaptureStdout();
        Elem result(kr_server_invoke_elem(s.get(), request.get()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        expect_failed(result.get(), c.eno, c.reason);
        EXPECT_EQ(describe(request.get()), before);
        EXPECT_EQ(request->next, nullptr);
    }
}

// The HTTP styles reach the transport: the request is prepared (and echoed
// in debug style 1), the look-up fails, and the caller's request comes back
// as it was.
TEST(KrServerInvokeElem, HttpStylesGoThroughTheTransport) {
    for (const kr_style_t style :
         {KR_STYLE_LOGIN_PASSWORD, KR_STYLE_HOSTSEQUIV, KR_STYLE_CERTIFICATE}) {
        SCOPED_TRACE(style);
        Server s(kr_server_open(kOffline, 1, 15));
        kr_server_set_style(s.get(), style);
        kr_server_set_debugstyle(s.get(), KR_PRINT_DONT_PARSE);
        Elem request = child("system-get-version");
        testing::internal::CaptureStdout();
        Elem result(kr_server_invoke_elem(s.get(), request.get()));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("INPUT:\n<?xml version='1.0' encoding='utf-8' ?>\n", 0), 0u) << out;
        EXPECT_NE(out.find("<system-get-version/></kovrel>\n"), std::string::npos) << out;
        expect_failed(result.get(), 13011, "unknown address format.");
        EXPECT_EQ(describe(request.get()), "system-get-version");
        EXPECT_EQ(request->next, nullptr);
    }
}

// A debug style outside the enumeration (the setter stores it unchecked)
// means normal operation: nothing is echoed.
TEST(KrServerInvokeElem, UnknownDebugStyleIsNormalOperation) {
    Server s(kr_server_open(kOffline, 1, 15));
    kr_server_set_debugstyle(s.get(), static_cast<kr_debug_style_t>(7));
    Elem request = child("system-get-version");
    testing::internal::CaptureStdout();
    Elem result(kr_server_invoke_elem(s.get(), request.get()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expect_failed(result.get(), 13011, "unknown address format.");
}

// --- kr_server_invoke ------------------------------------------------------

// The request element as echoed: the envelope's only child.
std::string echoed_request(const std::string &out, const std::string &api) {
    const size_t start = out.find("<" + api);
    const size_t end = out.find("</kovrel>");
    if (start == std::string::npos || end == std::string::npos)
        return "<not found>";
    return out.substr(start, end - start);
}

TEST(KrServerInvoke, PairsBecomeChildrenUpToTheFirstNull) {
    Server s(kr_server_open(kOffline, 1, 15));
    kr_server_set_debugstyle(s.get(), KR_PRINT_DONT_PARSE);
    const struct {
        const char *name;
        std::string expected;
        kr_elem_t *(*call)(kr_server_t *);
    } cases[] = {
        {"no pairs", "<volume-list-info/>",
         [](kr_server_t *srv) { return kr_server_invoke(srv, "volume-list-info", nullptr); }},
        {"pairs in order", "<volume-list-info><x>1</x><z>3</z></volume-list-info>",
         [](kr_server_t *srv) {
             return kr_server_invoke(srv, "volume-list-info", "x", "1", "z", "3", nullptr);
         }},
        {"null value ends the list", "<volume-list-info><x>1</x></volume-list-info>",
         [](kr_server_t *srv) {
             return kr_server_invoke(srv, "volume-list-info", "x", "1", "y", nullptr, "z", "3",
                                     nullptr);
         }},
        {"values are escaped", "<volume-list-info><x>a&lt;b</x></volume-list-info>",
         [](kr_server_t *srv) {
             return kr_server_invoke(srv, "volume-list-info", "x", "a<b", nullptr);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStdout();
        Elem result(c.call(s.get()));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(echoed_request(out, "volume-list-info"), c.expected) << out;
        expect_failed(result.get(), 13011, "unknown address format.");
    }
}

TEST(KrServerInvoke, NullHandleOrApiIsRefused) {
    Server s(kr_server_open(kOffline, 1, 15));
    errno = 0;
    EXPECT_EQ(kr_server_invoke(nullptr, "a", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_server_invoke(s.get(), nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// Until the look-up every allocation is the library's own: a request that
// cannot be built gives null with ENOMEM (never a request missing a value),
// anything later a failed results element.
TEST(KrServerInvoke, AllocationFailuresGiveNullOrAFailedResult) {
    Server s(kr_server_open(kOffline, 1, 15));
    kr_server_set_vtenant(s.get(), "vs1");
    sweep_allocation_failures(
        [&] {
            errno = 0;
            kr_elem_t *r =
                kr_server_invoke(s.get(), "volume-list-info", "x", "1", "y", "2", nullptr);
            return std::make_pair(Elem(r), errno);
        },
        [](const std::pair<Elem, int> &outcome, bool failure_reached) {
            const kr_elem_t *r = outcome.first.get();
            if (r == nullptr) {
                EXPECT_TRUE(failure_reached);
                EXPECT_EQ(outcome.second, ENOMEM);
                return;
            }
            EXPECT_EQ(kr_results_status(const_cast<kr_elem_t *>(r)), 0);
            if (!failure_reached) {
                EXPECT_EQ(kr_results_errno(const_cast<kr_elem_t *>(r)), 13011);
            }
        });
}

} // namespace
