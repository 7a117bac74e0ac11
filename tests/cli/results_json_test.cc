// Results trees to JSON.
#include "kr_handles.h"
#include "results_json.h"

#include <gtest/gtest.h>

namespace kovrel_cli {
namespace {

using json = nlohmann::ordered_json;

kr_elem_t *add(kr_elem_t *parent, const char *name) {
    return kr_child_add(parent, kr_elem_new(name));
}

TEST(ResultsJson, AttributesChildrenArraysAndText) {
    ElemPtr results(kr_results_new("passed", nullptr, -1));
    kr_child_add_string(results.get(), "version", "9.6");
    kr_elem_t *volumes = add(results.get(), "volumes");
    for (const char *name : {"vol0", "vol1"}) {
        kr_elem_t *info = add(volumes, "volume-info");
        kr_child_add_string(info, "name", name);
        kr_child_add_int(info, "size", 10);
    }
    kr_elem_t *single = add(results.get(), "snapshots");
    kr_elem_t *snap = kr_child_add_string(single, "snapshot", "s1");
    kr_attr_set(snap, "busy", "false");
    add(results.get(), "empty");
    kr_child_add_string(results.get(), "blank", "");

    const json expected = json::parse(R"({
        "@status": "passed",
        "version": "9.6",
        "volumes": {"volume-info": [{"name": "vol0", "size": "10"},
                                    {"name": "vol1", "size": "10"}]},
        "snapshots": {"snapshot": {"@busy": "false", "#text": "s1"}},
        "empty": "",
        "blank": ""
    })");
    EXPECT_EQ(element_to_json(results.get()), expected);
}

TEST(ResultsJson, FailedResultsCarryTheDecodedReason) {
    ElemPtr results(kr_results_new("failed", "a<b & \"c\"", 13001));
    const json parsed = json::parse(results_to_json_text(results.get()));
    EXPECT_EQ(parsed.at("@status"), "failed");
    EXPECT_EQ(parsed.at("@errno"), "13001");
    EXPECT_EQ(parsed.at("@reason"), "a<b & \"c\"");
}

TEST(ResultsJson, AttributeValuesWithQuotesAndEqualsSignsStayWhole) {
    ElemPtr e(kr_elem_new("item"));
    kr_attr_set(e.get(), "tricky", "x\" other=\"y");
    kr_attr_set(e.get(), "plain", "1");
    auto attributes = element_attributes(e.get());
    std::sort(attributes.begin(), attributes.end());
    ASSERT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0], (std::pair<std::string, std::string>{"plain", "1"}));
    EXPECT_EQ(attributes[1], (std::pair<std::string, std::string>{"tricky", "x\" other=\"y"}));
    EXPECT_TRUE(element_attributes(ElemPtr(kr_elem_new("bare")).get()).empty());
}

TEST(ResultsJson, BytesThatAreNotUtf8DoNotStopTheOutput) {
    ElemPtr results(kr_results_new("passed", nullptr, -1));
    kr_child_add_string(results.get(), "name", "caf\xe9");
    const json parsed = json::parse(results_to_json_text(results.get()));
    EXPECT_EQ(parsed.at("name"), "caf\xef\xbf\xbd"); // U+FFFD
}

} // namespace
} // namespace kovrel_cli
