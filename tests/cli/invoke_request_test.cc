// `kovrel invoke` arguments to request trees.
#include "cli_errors.h"
#include "invoke_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kovrel_cli {
namespace {

std::string compact(kr_elem_t *e) {
    LibraryText text(kr_elem_encode(e, -1, ""));
    return text ? text.get() : "";
}

TEST(RequestParam, Forms) {
    struct Case {
        const char *arg;
        const char *name;
        const char *sub;
        const char *value;
    };
    const Case cases[] = {
        {"volume=vol0", "volume", "", "vol0"},
        {"empty=", "empty", "", ""},
        {"expr=a=b", "expr", "", "a=b"}, // only the first '=' separates
        {"options.name=x", "options", "name", "x"},
        {"_x-1=v w", "_x-1", "", "v w"},
    };
    for (const Case &c : cases) {
        const RequestParam p = parse_request_param(c.arg);
        EXPECT_EQ(p.name, c.name) << c.arg;
        EXPECT_EQ(p.sub, c.sub) << c.arg;
        EXPECT_EQ(p.value, c.value) << c.arg;
    }
}

TEST(RequestParam, MalformedArgumentsAreUsageErrors) {
    for (const char *arg :
         {"noequals", "=v", "1abc=v", "a.b.c=v", "a.=v", ".b=v", "a b=v", "a<b=v", "a.1=v", ""})
        EXPECT_THROW(parse_request_param(arg), UsageError) << arg;
}

TEST(BuildRequest, ChildrenInOrderRepeatedAndNested) {
    const ElemPtr request =
        build_request("volume-create", {"name=v1", "opt.size=10g", "tag=a", "opt.space=none",
                                        "tag=b", "opt.size=20g", "note=x<y&z"});
    EXPECT_EQ(compact(request.get()),
              "<volume-create><name>v1</name><opt><size>10g</size><space>none</space>"
              "<size>20g</size></opt><tag>a</tag><tag>b</tag><note>x&lt;y&amp;z</note>"
              "</volume-create>");
}

TEST(BuildRequest, NoArgumentsGivesAnEmptyRequest) {
    const ElemPtr request = build_request("system-get-version", {});
    EXPECT_EQ(compact(request.get()), "<system-get-version/>");
}

TEST(BuildRequest, Errors) {
    // A name cannot hold both a value and sub-values, in either order.
    EXPECT_THROW(build_request("api", {"a=1", "a.b=2"}), UsageError);
    EXPECT_THROW(build_request("api", {"a.b=2", "a=1"}), UsageError);
    EXPECT_THROW(build_request("bad api", {}), UsageError);
    EXPECT_THROW(build_request("", {}), UsageError);
    EXPECT_THROW(build_request("api", {"ok=1", "broken"}), UsageError);
}

TEST(XmlRequest, ParsedOrRefused) {
    const ElemPtr request = parse_xml_request(
        "<snapshot-list-info><volume>v&amp;1</volume></snapshot-list-info>", "test");
    EXPECT_STREQ(kr_elem_get_name(request.get()), "snapshot-list-info");
    EXPECT_STREQ(kr_child_get_string(request.get(), "volume"), "v&1");
    EXPECT_THROW(parse_xml_request("<unclosed>", "test"), UsageError);
    EXPECT_THROW(parse_xml_request("", "test"), UsageError);
    EXPECT_THROW(read_xml_request("/nonexistent/request.xml"), UsageError);
}

} // namespace
} // namespace kovrel_cli
