#include "kovrel.h"

#include "alloc_sweep.h"

#include "kr_owned.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace {

// A value errno never takes from these calls, to see that they leave it alone.
constexpr int kUntouched = EDOM;

Elem make(const char *name) {
    Elem e(kr_elem_new(name));
    EXPECT_NE(e, nullptr);
    return e;
}

// Parent with one child per (name, contents) pair, in order.
Elem with_children(std::initializer_list<std::pair<const char *, const char *>> children) {
    Elem parent = make("parent");
    for (const auto &[name, contents] : children) {
        kr_elem_t *c = kr_elem_new(name);
        kr_elem_set_content(c, contents);
        kr_child_add(parent.get(), c);
    }
    return parent;
}

using Adder = std::function<kr_elem_t *(kr_elem_t *, const char *)>;

struct AdderCase {
    const char *label;
    Adder add;
    bool borrows_name;
    std::string text;
};

const std::string kLong(3000, 'x');

const AdderCase kAdders[] = {
    {"string", [](kr_elem_t *p, const char *n) { return kr_child_add_string(p, n, "a b&c"); },
     false, "a b&c"},
    {"string longer than the format buffer",
     [](kr_elem_t *p, const char *n) { return kr_child_add_string(p, n, kLong.c_str()); }, false,
     kLong},
    {"const string",
     [](kr_elem_t *p, const char *n) { return kr_child_const_add_string(p, n, ""); }, true, ""},
    {"bool 2", [](kr_elem_t *p, const char *n) { return kr_child_add_bool(p, n, 2); }, false,
     "true"},
    {"bool 0", [](kr_elem_t *p, const char *n) { return kr_child_add_bool(p, n, 0); }, false,
     "false"},
    {"const bool -1", [](kr_elem_t *p, const char *n) { return kr_child_const_add_bool(p, n, -1); },
     true, "true"},
    {"int min", [](kr_elem_t *p, const char *n) { return kr_child_add_int(p, n, INT_MIN); }, false,
     "-2147483648"},
    {"const int", [](kr_elem_t *p, const char *n) { return kr_child_const_add_int(p, n, 12); },
     true, "12"},
    {"uint32 max",
     [](kr_elem_t *p, const char *n) { return kr_child_add_uint32(p, n, UINT32_MAX); }, false,
     "4294967295"},
    {"const uint32 0",
     [](kr_elem_t *p, const char *n) { return kr_child_const_add_uint32(p, n, 0); }, true, "0"},
    {"int64 min", [](kr_elem_t *p, const char *n) { return kr_child_add_int64(p, n, INT64_MIN); },
     false, "-9223372036854775808"},
    {"const int64 max",
     [](kr_elem_t *p, const char *n) { return kr_child_const_add_int64(p, n, INT64_MAX); }, true,
     "9223372036854775807"},
    {"uint64 max",
     [](kr_elem_t *p, const char *n) { return kr_child_add_uint64(p, n, UINT64_MAX); }, false,
     "18446744073709551615"},
    {"const uint64",
     [](kr_elem_t *p, const char *n) { return kr_child_const_add_uint64(p, n, 1ULL << 40); }, true,
     "1099511627776"},
};

TEST(KrChildTest, AddersWriteTheTextAndAppendAfterExistingChildren) {
    for (const AdderCase &c : kAdders) {
        SCOPED_TRACE(c.label);
        Elem parent = with_children({{"first", "1"}});
        static char name[] = "value";
        errno = kUntouched;
        kr_elem_t *child = c.add(parent.get(), name);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(errno, kUntouched);
        EXPECT_EQ(parent->lastchild, child);
        EXPECT_EQ(parent->children->next, child);
        EXPECT_STREQ(kr_elem_get_name(child), "value");
        EXPECT_EQ(child->name == name, c.borrows_name);
        EXPECT_EQ(child->name_is_const, c.borrows_name ? 1 : 0);
        EXPECT_EQ(kr_elem_get_content(child), c.text);
        EXPECT_EQ(child->attr, nullptr);
        EXPECT_EQ(child->children, nullptr);
    }
}

TEST(KrChildTest, StringValueIsCopied) {
    Elem parent = make("parent");
    char value[] = "secret";
    kr_elem_t *child = kr_child_add_string(parent.get(), "v", value);
    ASSERT_NE(child, nullptr);
    value[0] = 'X';
    EXPECT_STREQ(kr_elem_get_content(child), "secret");
}

TEST(KrChildTest, AddersRejectNullArgumentsWithoutAddingAnything) {
    for (const AdderCase &c : kAdders) {
        SCOPED_TRACE(c.label);
        Elem parent = make("parent");
        errno = 0;
        EXPECT_EQ(c.add(nullptr, "v"), nullptr);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(c.add(parent.get(), nullptr), nullptr);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(parent->children, nullptr);
    }
    Elem parent = make("parent");
    for (auto add : {kr_child_add_string, kr_child_const_add_string}) {
        errno = 0;
        EXPECT_EQ(add(parent.get(), "v", nullptr), nullptr);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(parent->children, nullptr);
        EXPECT_EQ(parent->lastchild, nullptr);
    }
}

TEST(KrChildTest, AddersOutOfMemoryLeaveTheParentUnchanged) {
    for (const AdderCase &c : kAdders) {
        SCOPED_TRACE(c.label);
        Elem parent = make("parent");
        sweep_allocation_failures(
            [&] {
                errno = kUntouched;
                return c.add(parent.get(), "value");
            },
            [&](kr_elem_t *child, bool failed) {
                if (failed) {
                    EXPECT_EQ(child, nullptr);
                    EXPECT_EQ(errno, ENOMEM);
                    EXPECT_EQ(parent->children, nullptr);
                    EXPECT_EQ(parent->lastchild, nullptr);
                } else {
                    ASSERT_NE(child, nullptr);
                    EXPECT_EQ(errno, kUntouched);
                    EXPECT_EQ(parent->children, child);
                    EXPECT_EQ(kr_elem_get_content(child), c.text);
                }
            });
    }
}

struct NumberCase {
    const char *contents;
    int as_int;
    uint32_t as_uint32;
    int64_t as_int64;
    uint64_t as_uint64;
};

TEST(KrChildTest, NumberGettersParseBase10LikeTheCLibrary) {
    const NumberCase cases[] = {
        {"12abc", 12, 12, 12, 12},
        {"", 0, 0, 0, 0}, // no digits: 0, not the default
        {"abc", 0, 0, 0, 0},
        {"0x1A", 0, 0, 0, 0},
        {" \t+42", 42, 42, 42, 42},
        {"-1", -1, 4294967295u, -1, UINT64_MAX},
        {"007", 7, 7, 7, 7},
        {"4294967297", 1, 1, 4294967297LL, 4294967297ULL}, // 32-bit getters drop the high bits
        {"9223372036854775808", -1, 0, INT64_MAX, 9223372036854775808ULL},
        {"99999999999999999999", -1, 4294967295u, INT64_MAX, UINT64_MAX},
        {"-99999999999999999999", 0, 4294967295u, INT64_MIN, UINT64_MAX},
    };
    for (const NumberCase &c : cases) {
        SCOPED_TRACE(c.contents);
        Elem parent = with_children({{"n", c.contents}});
        errno = kUntouched;
        EXPECT_EQ(kr_child_get_int(parent.get(), "n", 77), c.as_int);
        EXPECT_EQ(kr_child_get_uint32(parent.get(), "n", 77), c.as_uint32);
        EXPECT_EQ(kr_child_get_int64(parent.get(), "n", 77), c.as_int64);
        EXPECT_EQ(kr_child_get_uint64(parent.get(), "n", 77), c.as_uint64);
        // A saturated conversion is not reported through errno.
        EXPECT_EQ(errno, kUntouched);
    }
}

TEST(KrChildTest, GettersFindTheFirstChildOfExactlyThatName) {
    Elem parent = with_children({{"Count", "3"}, {"count", "1"}, {"count", "2"}});
    EXPECT_EQ(kr_child_get_int(parent.get(), "count", 99), 1);
    EXPECT_EQ(kr_child_get_uint64(parent.get(), "count", 99), 1u);
    EXPECT_STREQ(kr_child_get_string(parent.get(), "count"), "1");
    EXPECT_EQ(kr_child_get_int(parent.get(), "Count", 99), 3);
    EXPECT_EQ(kr_child_get_int(parent.get(), "COUNT", 99), 99);

    Elem only_upper = with_children({{"Count", "3"}});
    EXPECT_EQ(kr_child_get_int(only_upper.get(), "count", 99), 99);
}

TEST(KrChildTest, MissingChildGivesTheDefaultAndLeavesErrnoAlone) {
    Elem parent = with_children({{"other", "5"}});
    errno = kUntouched;
    EXPECT_EQ(kr_child_get_string(parent.get(), "missing"), nullptr);
    EXPECT_EQ(kr_child_get_int(parent.get(), "missing", -5), -5);
    EXPECT_EQ(kr_child_get_uint32(parent.get(), "missing", 7u), 7u);
    EXPECT_EQ(kr_child_get_int64(parent.get(), "missing", INT64_MIN), INT64_MIN);
    EXPECT_EQ(kr_child_get_uint64(parent.get(), "missing", UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(kr_child_get_bool(parent.get(), "missing", 0), 0);
    EXPECT_EQ(kr_child_get_bool(parent.get(), "missing", 1), 1);
    EXPECT_EQ(errno, kUntouched);
}

TEST(KrChildTest, ChildWithoutContentsReadsAsEmpty) {
    Elem parent = make("parent");
    kr_child_add(parent.get(), kr_elem_new("bare"));
    EXPECT_STREQ(kr_child_get_string(parent.get(), "bare"), "");
    EXPECT_EQ(kr_child_get_int(parent.get(), "bare", 9), 0);
    EXPECT_EQ(kr_child_get_bool(parent.get(), "bare", 0), 1);
}

TEST(KrChildTest, GettersRejectNullArguments) {
    Elem parent = with_children({{"n", "5"}});
    const std::function<void(kr_elem_t *, const char *)> calls[] = {
        [](kr_elem_t *p, const char *n) { EXPECT_EQ(kr_child_get_string(p, n), nullptr); },
        [](kr_elem_t *p, const char *n) { EXPECT_EQ(kr_child_get_int(p, n, -3), -3); },
        [](kr_elem_t *p, const char *n) { EXPECT_EQ(kr_child_get_uint32(p, n, 3u), 3u); },
        [](kr_elem_t *p, const char *n) { EXPECT_EQ(kr_child_get_int64(p, n, -4), -4); },
        [](kr_elem_t *p, const char *n) { EXPECT_EQ(kr_child_get_uint64(p, n, 4u), 4u); },
        [](kr_elem_t *p, const char *n) { EXPECT_EQ(kr_child_get_bool(p, n, 0), 0); },
    };
    for (const auto &call : calls) {
        errno = 0;
        call(nullptr, "n");
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        call(parent.get(), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
}

struct BoolCase {
    const char *text;
    bool_t child_bool; // kr_child_get_bool
    int validated;     // kr_validate_bool
};

TEST(KrChildTest, BoolReadingAndValidationDisagreeOnPurpose) {
    const BoolCase cases[] = {
        {"", 1, -1},      {"0", 0, 0},     {"no", 0, -1},   {"NO", 0, -1},     {"off", 0, -1},
        {"OFF", 0, -1},   {"false", 0, 0}, {"FaLsE", 0, 0}, {"f", 1, 0},       {"F", 1, 0},
        {"t", 1, 1},      {"T", 1, 1},     {"1", 1, 1},     {"true", 1, 1},    {"TRUE", 1, 1},
        {"on", 1, -1},    {"yes", 1, -1},  {"2", 1, -1},    {"false ", 1, -1}, {" 0", 1, -1},
        {"truex", 1, -1}, {"nope", 1, -1},
    };
    for (const BoolCase &c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        Elem parent = with_children({{"flag", c.text}});
        errno = kUntouched;
        EXPECT_EQ(kr_child_get_bool(parent.get(), "flag", 7), c.child_bool);
        EXPECT_EQ(kr_validate_bool(c.text), c.validated);
        EXPECT_EQ(errno, kUntouched);
    }
    errno = 0;
    EXPECT_EQ(kr_validate_bool(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(KrChildTest, TypedValuesReadBackThroughTheGetters) {
    Elem parent = make("parent");
    ASSERT_NE(kr_child_add_int(parent.get(), "i", INT_MIN), nullptr);
    ASSERT_NE(kr_child_add_uint32(parent.get(), "u", UINT32_MAX), nullptr);
    ASSERT_NE(kr_child_add_int64(parent.get(), "l", INT64_MIN), nullptr);
    ASSERT_NE(kr_child_add_uint64(parent.get(), "ul", UINT64_MAX), nullptr);
    ASSERT_NE(kr_child_add_bool(parent.get(), "b", 0), nullptr);
    EXPECT_EQ(kr_child_get_int(parent.get(), "i", 0), INT_MIN);
    EXPECT_EQ(kr_child_get_uint32(parent.get(), "u", 0), UINT32_MAX);
    EXPECT_EQ(kr_child_get_int64(parent.get(), "l", 0), INT64_MIN);
    EXPECT_EQ(kr_child_get_uint64(parent.get(), "ul", 0), UINT64_MAX);
    EXPECT_EQ(kr_child_get_bool(parent.get(), "b", 1), 0);
}

} // namespace
