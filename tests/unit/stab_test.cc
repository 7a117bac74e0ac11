#include "stab.h"

#include "alloc_sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<std::string> keys_of(stab_t table) {
    std::vector<std::string> keys;
    stab_iter_t iter;
    for (const char *k = stab_first(table, &iter); k != nullptr; k = stab_next(table, &iter))
        keys.push_back(k);
    return keys;
}

class StabTest : public ::testing::Test {
  protected:
    void SetUp() override {
        table = stab_new(nullptr);
        ASSERT_NE(table, nullptr);
    }
    void TearDown() override {
        pool_test_fail_nth(0);
        stab_delete(table);
    }
    stab_ent_t *entry(const char *key) { return static_cast<stab_ent_t *>(hash_get(table, key)); }
    stab_t table = nullptr;
};

TEST_F(StabTest, DocumentedBucketsFixTheAttributeOrder) {
    std::vector<std::string> order = {"errno", "reason", "status"};
    do {
        stab_t t = stab_new(nullptr);
        ASSERT_NE(t, nullptr);
        for (const std::string &k : order)
            ASSERT_EQ(stab_add(t, k.c_str(), "v"), STAB_OK);
        EXPECT_EQ(keys_of(t), (std::vector<std::string>{"reason", "errno", "status"}))
            << order[0] << "," << order[1] << "," << order[2];
        EXPECT_EQ(t->h_size, 101);
        stab_delete(t);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST_F(StabTest, KeysIgnoreCaseAndKeepTheirFirstSpelling) {
    ASSERT_EQ(stab_add(table, "a", "1"), STAB_OK);
    ASSERT_EQ(stab_add(table, "A", "2"), STAB_OK);
    ASSERT_EQ(stab_add(table, "Host", "h1"), STAB_OK);
    ASSERT_EQ(stab_add_nocheck(table, "b", "3"), STAB_OK);
    ASSERT_EQ(stab_add(table, "HOST", "h2"), STAB_OK);
    EXPECT_EQ(stab_size(table), 3u);
    EXPECT_STREQ(stab_get(table, "a"), "2");
    EXPECT_STREQ(stab_get(table, "host"), "h2");
    std::vector<std::string> keys = keys_of(table);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"Host", "a", "b"}));

    // Without the lookup, the hash layer replaces the entry, spelling and all.
    ASSERT_EQ(stab_add_nocheck(table, "B", "4"), STAB_OK);
    EXPECT_EQ(stab_size(table), 3u);
    EXPECT_STREQ(stab_get(table, "b"), "4");
    EXPECT_STREQ(entry("b")->st_key, "B");

    EXPECT_EQ(stab_remove(table, "HoSt"), STAB_OK);
    EXPECT_EQ(stab_remove(table, "host"), STAB_ITEM_DOES_NOT_EXIST);
    EXPECT_EQ(stab_size(table), 2u);
}

TEST_F(StabTest, CaseSensitiveFlagKeepsKeysApart) {
    stab_t t = stab_new2(STAB_FLAG_CASE_SENSITIVE, "Host", "1", "host", "2", nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(stab_size(t), 2u);
    EXPECT_STREQ(stab_get(t, "Host"), "1");
    EXPECT_STREQ(stab_get(t, "host"), "2");
    EXPECT_STREQ(stab_get_def(t, "HOST", nullptr), nullptr);
    stab_delete(t);
}

TEST_F(StabTest, CreationPairsStopAtTheFirstNullKeyOrValue) {
    stab_t pairs = stab_new("a", "1", "b", "2", nullptr);
    stab_t dangling = stab_new("a", "1", "b", nullptr, "c", "3", nullptr);
    ASSERT_NE(pairs, nullptr);
    ASSERT_NE(dangling, nullptr);
    EXPECT_EQ(stab_size(pairs), 2u);
    EXPECT_STREQ(stab_get(pairs, "b"), "2");
    EXPECT_EQ(keys_of(dangling), std::vector<std::string>{"a"});
    stab_delete(pairs);
    stab_delete(dangling);
}

TEST_F(StabTest, InlineAndHeapTextReadBackIdentically) {
    const std::string k31(31, 'k'), k32(32, 'K'), v31(31, 'v'), v32(32, 'w'), v300(300, 'x');
    struct Case {
        const std::string &key, &value;
        bool key_inline, value_inline;
    } cases[] = {
        {k31, v31, true, true},
        {k32, v32, false, false},
        {k31, v300, true, false},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(stab_add(table, c.key.c_str(), c.value.c_str()), STAB_OK);
        EXPECT_EQ(stab_get(table, c.key.c_str()), c.value);
        stab_ent_t *e = entry(c.key.c_str());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->st_key, c.key);
        EXPECT_EQ(e->st_key == e->st_keybuf, c.key_inline) << c.key.size();
        EXPECT_EQ(e->st_value == e->st_valuebuf, c.value_inline) << c.value.size();
    }
    EXPECT_EQ(keys_of(table).size(), 2u);
    // Heap to inline and back; the leak checker sees the old copies go.
    ASSERT_EQ(stab_add(table, k32.c_str(), "short"), STAB_OK);
    EXPECT_STREQ(stab_get(table, k32.c_str()), "short");
    ASSERT_EQ(stab_add(table, k32.c_str(), v300.c_str()), STAB_OK);
    EXPECT_EQ(stab_get(table, k32.c_str()), v300);
}

TEST_F(StabTest, AValueReadFromTheTableCanBeWrittenBack) {
    const std::string long_value(40, 'L');
    ASSERT_EQ(stab_add(table, "short", "abc"), STAB_OK);
    ASSERT_EQ(stab_add(table, "long", long_value.c_str()), STAB_OK);
    ASSERT_EQ(stab_add(table, "short", stab_get(table, "short") + 1), STAB_OK);
    ASSERT_EQ(stab_add(table, "long", stab_get(table, "long")), STAB_OK);
    ASSERT_EQ(stab_add_nocheck(table, "LONG", stab_get(table, "long")), STAB_OK);
    ASSERT_EQ(stab_add_nocheck(table, "SHORT", stab_get(table, "short")), STAB_OK);
    EXPECT_STREQ(stab_get(table, "short"), "bc");
    EXPECT_EQ(stab_get(table, "long"), long_value);
    EXPECT_EQ(stab_size(table), 2u);
}

TEST_F(StabTest, ReadersOfAbsentKeysAndNullTables) {
    ASSERT_EQ(stab_add(table, "present", "abc"), STAB_OK);
    const char *def = "default";
    EXPECT_STREQ(stab_get(table, "absent"), "");
    EXPECT_STREQ(stab_get(nullptr, "absent"), "");
    EXPECT_EQ(stab_get_def(table, "absent", nullptr), nullptr);
    EXPECT_EQ(stab_get_def(nullptr, "present", def), def);
    EXPECT_EQ(stab_get_def(table, nullptr, def), def);
    EXPECT_STREQ(stab_get_def(table, "present", def), "abc");
    EXPECT_EQ(stab_size(nullptr), 0u);

    // Absent or no table: the default. Present but not a number: the parse.
    EXPECT_EQ(stab_getn_def(table, "absent", 7), 7);
    EXPECT_EQ(stab_getn_def(nullptr, "present", 7), 7);
    EXPECT_EQ(stab_getn_def(table, "present", 7), 0);
    EXPECT_EQ(stab_getu_def(table, "absent", 7u), 7u);
    EXPECT_EQ(stab_getl_def(table, "absent", -7), -7);
    EXPECT_EQ(stab_getl_def(table, "present", -7), 0);
    EXPECT_EQ(stab_getsz_def(table, "absent", 9), 9);
    EXPECT_EQ(stab_getlu_def(table, "absent", 9u), 9u);
    EXPECT_EQ(stab_getd_def(table, "absent", 2.5), 2.5);
    EXPECT_EQ(stab_getd_def(table, "present", 2.5), 0.0);
    EXPECT_EQ(stab_getp_def(table, "absent", &def), &def);
    EXPECT_EQ(stab_getb_def(nullptr, "present", 1), 1);
    EXPECT_EQ(stab_getn(table, "absent"), 0);
    EXPECT_EQ(stab_getb(table, "absent"), 0);
    EXPECT_EQ(stab_getp(table, "absent"), nullptr);
}

TEST_F(StabTest, TypedValuesAreStoredAsTextAndParsedBack) {
    ASSERT_EQ(stab_addn(table, "n", INT32_MIN), STAB_OK);
    ASSERT_EQ(stab_addn_nocheck(table, "n2", 42), STAB_OK);
    ASSERT_EQ(stab_addu(table, "u", UINT32_MAX), STAB_OK);
    ASSERT_EQ(stab_addu_nocheck(table, "u2", 7), STAB_OK);
    ASSERT_EQ(stab_addl(table, "l", INT64_MIN), STAB_OK);
    ASSERT_EQ(stab_addl_nocheck(table, "l2", -5), STAB_OK);
    ASSERT_EQ(stab_addsz(table, "sz", -1234567890123), STAB_OK);
    ASSERT_EQ(stab_addlu(table, "lu", UINT64_MAX), STAB_OK);
    ASSERT_EQ(stab_addlu_nocheck(table, "lu2", 5), STAB_OK);
    ASSERT_EQ(stab_addd(table, "d", 0.1), STAB_OK);
    ASSERT_EQ(stab_addd(table, "big", 1e20), STAB_OK);
    ASSERT_EQ(stab_addd(table, "max", DBL_MAX), STAB_OK);
    ASSERT_EQ(stab_addb(table, "yes", 5), STAB_OK);
    ASSERT_EQ(stab_addb(table, "no", 0), STAB_OK);
    struct Case {
        const char *key, *text;
    } texts[] = {
        {"n", "-2147483648"},
        {"n2", "42"},
        {"u", "4294967295"},
        {"u2", "7"},
        {"l", "-9223372036854775808"},
        {"l2", "-5"},
        {"sz", "-1234567890123"},
        {"lu2", "5"},
        {"lu", "18446744073709551615"},
        {"d", "0.1"},
        {"big", "1e+20"},
        {"max", "1.79769e+308"},
        {"yes", "1"},
        {"no", "0"},
    };
    for (const Case &c : texts)
        EXPECT_STREQ(stab_get(table, c.key), c.text) << c.key;
    EXPECT_EQ(stab_getn(table, "n"), INT32_MIN);
    EXPECT_EQ(stab_getu(table, "u"), UINT32_MAX);
    EXPECT_EQ(stab_getl(table, "l"), INT64_MIN);
    EXPECT_EQ(stab_getsz(table, "sz"), -1234567890123);
    EXPECT_EQ(stab_getlu(table, "lu"), UINT64_MAX);
    EXPECT_DOUBLE_EQ(stab_getd(table, "d"), 0.1);
    EXPECT_EQ(stab_getb(table, "yes"), 1);
    EXPECT_EQ(stab_getb(table, "no"), 0);

    // Text written by others is parsed as the C library parses it.
    struct Parse {
        const char *text;
        int32_t n;
        uint32_t u;
        int64_t l;
    } parses[] = {
        {"4294967297", 1, 1u, 4294967297},                   // truncated to 32 bits
        {"-1", -1, UINT32_MAX, -1},                          // strtoul negates
        {"  12abc", 12, 12u, 12},                            // leading blanks, trailing junk
        {"0x10", 0, 0u, 0},                                  // base 10 only
        {"99999999999999999999", -1, UINT32_MAX, INT64_MAX}, // saturated, then truncated
    };
    for (const Parse &p : parses) {
        ASSERT_EQ(stab_add(table, "text", p.text), STAB_OK);
        EXPECT_EQ(stab_getn(table, "text"), p.n) << p.text;
        EXPECT_EQ(stab_getu(table, "text"), p.u) << p.text;
        EXPECT_EQ(stab_getl(table, "text"), p.l) << p.text;
    }
}

TEST_F(StabTest, BooleanFalseWords) {
    struct Case {
        const char *text;
        bool_t expected;
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"00000000000000", 0},
        {"no", 0},
        {"NO", 0},
        {"off", 0},
        {"Off", 0},
        {"false", 0},
        {"FALSE", 0},
        {"down", 0},
        {"null", 0},
        {"NULL", 0},
        {"(null)", 0},
        {"disabled", 0},
        {"Deleted", 0},
        {"1", 1},
        {"true", 1},
        {"yes", 1},
        {"00", 1},
        {"0000000000000", 1},
        {"000000000000000", 1},
        {"nope", 1},
        {" 0", 1},
        {"-1", 1},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(stab_add(table, "flag", c.text), STAB_OK);
        EXPECT_EQ(stab_getb_def(table, "flag", !c.expected), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(stab_getb_def(table, "absent", 1), 1);
    EXPECT_EQ(stab_getb_def(table, "absent", 0), 0);
}

std::vector<void *> released;
void release(void *p) {
    released.push_back(p);
}

TEST_F(StabTest, PointerDestructorRunsOnceOnReassignmentAndOnFree) {
    released.clear();
    int first = 0, second = 0, third = 0;
    ASSERT_EQ(stab_addp(table, "plain", &first), STAB_OK);
    EXPECT_EQ(stab_getp(table, "plain"), &first);
    EXPECT_EQ(stab_getl(table, "plain"), reinterpret_cast<int64_t>(&first));

    ASSERT_EQ(stab_addp_ref(table, "obj", &first, release), STAB_OK);
    ASSERT_EQ(stab_addp_ref(table, "OBJ", &second, release), STAB_OK);
    EXPECT_EQ(released, std::vector<void *>{&first});
    // A plain value replaces the pointer: released, and the destructor is gone.
    ASSERT_EQ(stab_add(table, "obj", "text"), STAB_OK);
    ASSERT_EQ(stab_add(table, "obj", "more text"), STAB_OK);
    EXPECT_EQ(released, (std::vector<void *>{&first, &second}));

    ASSERT_EQ(stab_addp_ref(table, "removed", &third, release), STAB_OK);
    EXPECT_EQ(stab_remove(table, "removed"), STAB_OK);
    ASSERT_EQ(stab_addp_ref(table, "null", nullptr, release), STAB_OK);
    ASSERT_EQ(stab_addp_ref(table, "kept", &first, release), STAB_OK);
    EXPECT_EQ(released, (std::vector<void *>{&first, &second, &third}));

    // Clones do not take the destructor with them.
    stab_t copy = stab_clone(table, pool_default());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(stab_getp(copy, "kept"), &first);
    stab_delete(copy);
    EXPECT_EQ(released.size(), 3u);

    stab_delete(table);
    table = nullptr;
    EXPECT_EQ(released, (std::vector<void *>{&first, &second, &third, &first}));
}

TEST_F(StabTest, CloneCopiesEveryEntryInOrder) {
    const std::string long_key(50, 'k'), long_value(60, 'v');
    for (const char *k : {"a", "b", "status", "reason"})
        ASSERT_EQ(stab_add(table, k, k), STAB_OK);
    ASSERT_EQ(stab_add(table, long_key.c_str(), long_value.c_str()), STAB_OK);
    sweep_allocation_failures([this] { return stab_clone(table, pool_default()); },
                              [this](stab_t copy, bool failed) {
                                  EXPECT_EQ(copy == nullptr, failed);
                                  if (copy == nullptr)
                                      return;
                                  EXPECT_EQ(keys_of(copy), keys_of(table));
                                  for (const std::string &k : keys_of(table))
                                      EXPECT_STREQ(stab_get(copy, k.c_str()),
                                                   stab_get(table, k.c_str()));
                                  // Inline text points into the copy's own entry.
                                  stab_ent_t *e = static_cast<stab_ent_t *>(hash_get(copy, "a"));
                                  EXPECT_EQ(e->st_value, e->st_valuebuf);
                                  stab_delete(copy);
                              });
}

TEST_F(StabTest, TrackingPoolDeletesItsTables) {
    pool_t pool = pool_new();
    ASSERT_NE(pool, nullptr);
    stab_t owned = stab_pnew(pool, "k", std::string(40, 'v').c_str(), nullptr);
    stab_t sensitive = stab_pnew2(pool, STAB_FLAG_CASE_SENSITIVE, "K", "1", nullptr);
    ASSERT_NE(owned, nullptr);
    ASSERT_NE(sensitive, nullptr);
    ASSERT_EQ(stab_add(table, "x", "1"), STAB_OK);
    stab_t copy = stab_clone(table, pool);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(strlen(stab_get(owned, "K")), 40u);
    EXPECT_STREQ(stab_get_def(sensitive, "k", nullptr), nullptr);
    // Releases all three; the leak checker and use-after-free detection of
    // the sanitizer build verify it happens once.
    pool_delete(pool);
}

TEST_F(StabTest, AddingUnderAllocationFailure) {
    const std::string long_key(32, 'k'), long_value(32, 'v'), other_value(45, 'o');
    struct Case {
        const char *name;
        const char *key, *value;
        // Per failing allocation: the status and the value left behind (null: absent).
        std::vector<std::pair<stab_status_t, const char *>> failures;
    } cases[] = {
        {"new key, long value",
         "fresh",
         long_value.c_str(),
         {{STAB_NO_MEMORY, nullptr}, {STAB_NO_MEMORY, ""}}},
        {"long key", long_key.c_str(), "v", {{STAB_NO_MEMORY, nullptr}, {STAB_NO_MEMORY, nullptr}}},
        {"existing key, long value", "existing", other_value.c_str(), {{STAB_NO_MEMORY, ""}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t n = 1; n <= c.failures.size() + 1; ++n) {
            stab_delete(table);
            table = stab_new("existing", long_value.c_str(), "other", "o", nullptr);
            ASSERT_NE(table, nullptr);
            pool_test_fail_nth(static_cast<long>(n));
            const stab_status_t status = stab_add(table, c.key, c.value);
            const bool reached = !pool_test_fail_pending();
            pool_test_fail_nth(0);
            EXPECT_EQ(reached, n <= c.failures.size()) << n;
            if (!reached) {
                EXPECT_EQ(status, STAB_OK);
                EXPECT_STREQ(stab_get(table, c.key), c.value);
                continue;
            }
            EXPECT_EQ(status, c.failures[n - 1].first) << n;
            EXPECT_STREQ(stab_get_def(table, c.key, nullptr), c.failures[n - 1].second) << n;
            // Nothing else changed.
            EXPECT_STREQ(stab_get(table, "other"), "o");
            const bool added = std::string(c.key) != "existing" && c.failures[n - 1].second;
            EXPECT_EQ(stab_size(table), added ? 3u : 2u);
        }
    }
}

TEST_F(StabTest, CreationUnderAllocationFailure) {
    const std::string long_key(33, 'k'), long_value(64, 'v');
    sweep_allocation_failures(
        [&] { return stab_new("a", "1", long_key.c_str(), long_value.c_str(), nullptr); },
        [&](stab_t t, bool failed) {
            EXPECT_EQ(t == nullptr, failed);
            if (t == nullptr)
                return;
            EXPECT_EQ(stab_get(t, long_key.c_str()), long_value);
            stab_delete(t);
        });
    pool_t pool = pool_new();
    ASSERT_NE(pool, nullptr);
    sweep_allocation_failures(
        [&] { return stab_pnew(pool, long_key.c_str(), long_value.c_str(), nullptr); },
        [&](stab_t t, bool failed) { EXPECT_EQ(t == nullptr, failed); });
    // Only the successful table was registered; deleting the pool frees it once.
    EXPECT_EQ(pool_size(pool), 1u);
    pool_delete(pool);
}

TEST_F(StabTest, MisuseIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(stab_add(table, "k", nullptr), "0 != value");
    EXPECT_DEATH(stab_addn(nullptr, "k", 1), "0 != table");
    EXPECT_DEATH(stab_remove(nullptr, "k"), "0 != table");
    EXPECT_DEATH(stab_first(nullptr, nullptr), "0 != iter");
}

} // namespace
