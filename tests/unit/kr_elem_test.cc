#include "kovrel.h"

#include "alloc_sweep.h"

#include "kr_owned.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

Elem make(const char *name) {
    Elem e(kr_elem_new(name));
    EXPECT_NE(e, nullptr);
    return e;
}

std::vector<std::string> child_names(kr_elem_t *parent) {
    std::vector<std::string> names;
    kr_elem_iter_t iter = kr_child_iterator(parent);
    for (kr_elem_t *c = kr_iterator_next(&iter); c != nullptr; c = kr_iterator_next(&iter))
        names.push_back(kr_elem_get_name(c));
    return names;
}

// Parent with children named by `names`, added in order.
Elem family(std::initializer_list<const char *> names) {
    Elem parent = make("parent");
    for (const char *name : names)
        kr_child_add(parent.get(), kr_elem_new(name));
    return parent;
}

TEST(KrElemTest, NewElementIsEmptyAndOwnsItsName) {
    char name[] = "volume";
    Elem e = make(name);
    name[0] = 'X';
    EXPECT_STREQ(kr_elem_get_name(e.get()), "volume");
    EXPECT_FALSE(e->name_is_const);
    EXPECT_STREQ(kr_elem_get_content(e.get()), "");
    EXPECT_EQ(e->contents, nullptr);
    EXPECT_EQ(kr_attr_get(e.get(), "status"), nullptr);
    EXPECT_EQ(kr_elem_has_children(e.get()), 0);
}

TEST(KrElemTest, ConstNameIsBorrowed) {
    static const char name[] = "borrowed";
    Elem e(kr_elem_new_const_name(name));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, name);
    EXPECT_TRUE(e->name_is_const);
    // Freeing a tree with a borrowed-name child frees everything but the name.
    Elem root = make("root");
    kr_child_add(root.get(), e.release());
}

TEST(KrElemTest, AttributesAreCaseInsensitiveAndAbsentOnesReadEmpty) {
    Elem e = make("results");
    ASSERT_EQ(kr_attr_set(e.get(), "Status", "passed"), 1);
    EXPECT_STREQ(kr_attr_get(e.get(), "never-set"), "");
    ASSERT_EQ(kr_attr_set(e.get(), "status", "failed"), 1);
    EXPECT_STREQ(kr_attr_get(e.get(), "STATUS"), "failed");
}

TEST(KrElemTest, SetContentReplacesAndAcceptsItsOwnText) {
    Elem e = make("x");
    ASSERT_EQ(kr_elem_set_content(e.get(), "first"), 1);
    ASSERT_EQ(kr_elem_set_content(e.get(), e->contents + 1), 1);
    EXPECT_STREQ(kr_elem_get_content(e.get()), "irst");
    ASSERT_EQ(kr_elem_set_content(e.get(), ""), 1);
    EXPECT_STREQ(kr_elem_get_content(e.get()), "");
    EXPECT_NE(e->contents, nullptr);
}

TEST(KrElemTest, ChildrenKeepInsertionOrderAndLookupIsExactAndFirst) {
    Elem parent = family({"a", "Count", "b", "a"});
    EXPECT_EQ(child_names(parent.get()), (std::vector<std::string>{"a", "Count", "b", "a"}));
    EXPECT_EQ(kr_elem_child(parent.get(), "a"), parent->children);
    EXPECT_EQ(kr_elem_child(parent.get(), "count"), nullptr);
    EXPECT_EQ(kr_elem_has_children(parent.get()), 1);
}

TEST(KrElemTest, DetachCases) {
    struct Case {
        std::initializer_list<const char *> children;
        const char *detach;
        std::vector<std::string> left;
        const char *last;
    };
    const Case cases[] = {
        {{"only"}, "only", {}, nullptr},
        {{"a", "b", "c"}, "a", {"b", "c"}, "c"},
        {{"a", "b", "c"}, "b", {"a", "c"}, "c"},
        {{"a", "b", "c"}, "c", {"a", "b"}, "b"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.detach);
        Elem parent = family(c.children);
        Elem detached(kr_elem_child(parent.get(), c.detach));
        kr_child_detach(parent.get(), detached.get());
        EXPECT_EQ(detached->next, nullptr);
        EXPECT_EQ(child_names(parent.get()), c.left);
        if (c.last == nullptr) {
            EXPECT_EQ(parent->children, nullptr);
            EXPECT_EQ(parent->lastchild, nullptr);
        } else {
            EXPECT_STREQ(kr_elem_get_name(parent->lastchild), c.last);
        }
        // Appending after a detach goes after the new last child.
        kr_child_add(parent.get(), kr_elem_new("z"));
        EXPECT_STREQ(kr_elem_get_name(parent->lastchild), "z");
        EXPECT_EQ(child_names(parent.get()).back(), "z");
    }
}

TEST(KrElemTest, DetachOfAStrangerChangesNothing) {
    Elem parent = family({"a", "b"});
    Elem stranger = make("b");
    kr_child_detach(parent.get(), stranger.get());
    EXPECT_EQ(child_names(parent.get()), (std::vector<std::string>{"a", "b"}));
}

TEST(KrElemTest, ReattachAllAppendsAfterExistingChildren) {
    Elem from = family({"c", "d"});
    Elem to = family({"a", "b"});
    kr_child_reattach_all(from.get(), to.get());
    EXPECT_EQ(child_names(to.get()), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_STREQ(kr_elem_get_name(to->lastchild), "d");
    EXPECT_EQ(from->children, nullptr);
    EXPECT_EQ(from->lastchild, nullptr);

    Elem empty = make("empty");
    kr_child_reattach_all(to.get(), empty.get());
    EXPECT_EQ(child_names(empty.get()), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(KrElemTest, ReattachOntoItselfKeepsTheChildren) {
    Elem parent = family({"a", "b"});
    kr_child_reattach_all(parent.get(), parent.get());
    EXPECT_EQ(child_names(parent.get()), (std::vector<std::string>{"a", "b"}));
}

TEST(KrElemTest, NullArgumentsSetEinval) {
    Elem e = make("e");
    struct Case {
        const char *what;
        std::function<bool()> call; // true when the result is the promised failure value
    };
    const Case cases[] = {
        {"kr_elem_new", [] { return kr_elem_new(nullptr) == nullptr; }},
        {"kr_elem_new_const_name", [] { return kr_elem_new_const_name(nullptr) == nullptr; }},
        {"kr_elem_set_content", [&] { return kr_elem_set_content(e.get(), nullptr) == 0; }},
        {"kr_attr_set", [&] { return kr_attr_set(e.get(), "n", nullptr) == 0; }},
        {"kr_attr_get", [&] { return kr_attr_get(nullptr, "n") == nullptr; }},
        {"kr_child_add", [&] { return kr_child_add(e.get(), nullptr) == nullptr; }},
        {"kr_elem_child", [&] { return kr_elem_child(e.get(), nullptr) == nullptr; }},
        {"kr_elem_has_children", [] { return kr_elem_has_children(nullptr) == 0; }},
        {"kr_child_detach",
         [&] {
             kr_child_detach(nullptr, e.get());
             return true;
         }},
        {"kr_child_reattach_all",
         [&] {
             kr_child_reattach_all(e.get(), nullptr);
             return true;
         }},
        {"kr_apicontext_new", [] { return kr_apicontext_new(nullptr, "u") == nullptr; }},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_TRUE(c.call()) << c.what;
        EXPECT_EQ(errno, EINVAL) << c.what;
    }
    // Calls that answer null for a null element without touching errno.
    errno = 0;
    EXPECT_EQ(kr_elem_get_name(nullptr), nullptr);
    EXPECT_EQ(kr_elem_get_content(nullptr), nullptr);
    EXPECT_EQ(kr_elem_child(e.get(), "missing"), nullptr);
    EXPECT_EQ(errno, 0);
    kr_elem_free(nullptr);
    kr_free(nullptr);
    kr_apicontext_free(nullptr);
}

TEST(KrElemTest, SuccessLeavesErrnoAlone) {
    errno = 1234;
    Elem e = make("e");
    kr_attr_set(e.get(), "a", "b");
    kr_elem_set_content(e.get(), "c");
    kr_child_add(e.get(), kr_elem_new("d"));
    EXPECT_EQ(errno, 1234);
}

TEST(KrElemAllocationTest, EveryAllocatingCallFailsCleanly) {
    sweep_allocation_failures(
        [] {
            errno = 0;
            return kr_elem_new("name");
        },
        [](kr_elem_t *e, bool failed) {
            EXPECT_EQ(e == nullptr, failed);
            EXPECT_EQ(errno, failed ? ENOMEM : 0);
            kr_elem_free(e);
        });
    Elem e = make("e");
    ASSERT_EQ(kr_elem_set_content(e.get(), "old"), 1);
    sweep_allocation_failures(
        [&] {
            errno = 0;
            return kr_elem_set_content(e.get(), "new");
        },
        [&](int ok, bool failed) {
            EXPECT_EQ(ok, failed ? 0 : 1);
            EXPECT_STREQ(kr_elem_get_content(e.get()), failed ? "old" : "new");
            EXPECT_EQ(errno, failed ? ENOMEM : 0);
        });
    Elem fresh = make("fresh");
    sweep_allocation_failures(
        [&] {
            errno = 0;
            return kr_attr_set(fresh.get(), "a-long-attribute-name-over-32-chars", "v");
        },
        [&](int ok, bool failed) {
            EXPECT_EQ(ok, failed ? 0 : 1);
            if (!failed) {
                EXPECT_STREQ(kr_attr_get(fresh.get(), "a-long-attribute-name-over-32-chars"), "v");
            }
        });
    qapi_server_t server = {};
    sweep_allocation_failures(
        [&] {
            errno = 0;
            return kr_apicontext_new(&server, "admin");
        },
        [](qapi_t *context, bool failed) {
            EXPECT_EQ(context == nullptr, failed);
            EXPECT_EQ(errno, failed ? ENOMEM : 0);
            kr_apicontext_free(context);
        });
}

struct LoggedMessage {
    int calls = 0;
    int flag = 0;
    std::string message;
};

void record_log(void *arg, int flag, const char *message) {
    auto *logged = static_cast<LoggedMessage *>(arg);
    logged->calls++;
    logged->flag = flag;
    logged->message = message;
}

TEST(KrQapiTest, ContextKeepsServerAndUserAndLogsOnlySharedFlags) {
    LoggedMessage logged;
    qapi_server_t server = {record_log, &logged, 0x6};
    qapi_t *context = kr_apicontext_new(&server, "admin");
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->server, &server);
    EXPECT_STREQ(context->username, "admin");
    EXPECT_EQ(context->appname, nullptr);

    kr_qapi_log(context, 0x1, "not wanted");
    EXPECT_EQ(logged.calls, 0);
    kr_qapi_log(context, 0x3, "wanted");
    EXPECT_EQ(logged.calls, 1);
    EXPECT_EQ(logged.flag, 0x3);
    EXPECT_EQ(logged.message, "wanted");

    server.logger = nullptr;
    kr_qapi_log(context, 0x2, "no logger");
    EXPECT_EQ(logged.calls, 1);
    kr_qapi_log(nullptr, 0x2, "no context");
    kr_apicontext_free(context);
}

TEST(KrElemDeathTest, StructuralMisuseStopsTheProcess) {
    EXPECT_DEATH(
        {
            kr_elem_t *parent = kr_elem_new("p");
            kr_elem_t *a = kr_elem_new("a");
            kr_child_add(parent, a);
            kr_child_add(parent, kr_elem_new("b"));
            kr_child_add(parent, a); // still linked in front of b
        },
        "c->next == \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(kr_iterator_next(nullptr), "i!=\\(\\(void \\*\\)0\\)|i != \\(\\(void \\*\\)0\\)");
}

} // namespace
