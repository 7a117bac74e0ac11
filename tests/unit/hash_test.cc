#include "hash.h"

#include "alloc_sweep.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Test items: the key pointer comes first, as the string comparers require.
struct Item {
    const char *key;
    int value;
    hash_link_t link;
};

std::vector<std::string> destroyed;
void record_destroy(void *item) {
    auto *it = static_cast<Item *>(item);
    destroyed.push_back(std::string(it->key) + "=" + std::to_string(it->value));
}

// Owns the items of a test so that tables never free them.
class HashTest : public ::testing::Test {
  protected:
    void SetUp() override { destroyed.clear(); }
    void TearDown() override {
        if (table != nullptr)
            hash_delete(table);
    }
    Item *item(const char *key, int value = 0) {
        items.push_back(std::make_unique<Item>(Item{key, value, {0, nullptr}}));
        return items.back().get();
    }
    void add(const char *key, int value = 0) {
        ASSERT_EQ(hash_add(table, key, item(key, value)), HASH_OK) << key;
    }
    std::vector<std::string> walk() {
        std::vector<std::string> keys;
        hash_iter_t iter;
        for (void *p = hash_first(table, &iter); p != nullptr; p = hash_next(table, &iter))
            keys.push_back(static_cast<Item *>(p)->key);
        return keys;
    }
    hash_stats_t stats() {
        hash_stats_t s;
        hash_stat(table, &s);
        return s;
    }
    hash_table_t new_table(uint16_t size) {
        return hash_new(size, offsetof(Item, link), nullptr, nullptr, record_destroy);
    }
    std::vector<std::unique_ptr<Item>> items;
    hash_table_t table = nullptr;
};

// Expected codes, worked out by hand from the rule: coefficients 1, 3, 7, 11,
// 13, 17, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61 repeating, characters as
// signed bytes, sum modulo 65536. The coefficients of 16 positions add up to
// 476 and those of the odd positions among them to 254.
TEST(HashFunctionTest, PublishedCodes) {
    const std::string a128(128, 'a'), a200(200, 'a'), A128(128, 'A'), A200(200, 'A');
    struct Case {
        const char *name;
        hash_code_t actual;
        hash_code_t expected;
    } cases[] = {
        // 'a'*1 + 'b'*3 = 97 + 294
        {"hash_string ab", hash_string("ab"), 391},
        {"hash_stringn abc, 2", hash_stringn("abc", 2), 391},
        // 'A' differs from 'a': 65 + 294
        {"hash_string Ab", hash_string("Ab"), 359},
        // byte 0xFF is -1: 1 * -1 = -1 = 65535
        {"hash_string \\xff", hash_string("\xff"), 65535},
        // 97 + 3 * -128 = -287 = 65249
        {"hash_stringn a\\x80", hash_stringn("a\x80", 2), 65249},
        // 97 * 476 * 8 = 369376 = 41696 (mod 65536); characters past 128 ignored
        {"hash_string 128 a", hash_string(a128.c_str()), 41696},
        {"hash_string 200 a", hash_string(a200.c_str()), 41696},
        // tolower first: 97 + 98 * 3
        {"hash_string_icase AB", hash_string_icase("AB"), 391},
        {"hash_string_icasen ABC, 2", hash_string_icasen("ABC", 2), 391},
        // odd positions only: 'b' * 3
        {"icase_new ab", hash_string_icase_new("ab"), 294},
        {"icase_new AB", hash_string_icase_new("AB"), 294},
        {"icase_new zB", hash_string_icase_new("zB"), 294},
        // 'e'*3 + 's'*11 + 'n'*17 = 303 + 1265 + 1870
        {"icase_new reason", hash_string_icase_new("reason"), 3438},
        // 'r'*3 + 'n'*11 = 342 + 1210
        {"icase_new ERRNO", hash_string_icase_new("ERRNO"), 1552},
        // 't'*3 + 't'*11 + 's'*17 = 348 + 1276 + 1955
        {"icase_new status", hash_string_icase_new("status"), 3579},
        // 97 * 254 * 8 = 197104 = 496 (mod 65536)
        {"icase_new 128 A", hash_string_icase_new(A128.c_str()), 496},
        {"icase_new 200 A", hash_string_icase_new(A200.c_str()), 496},
        {"icase_new one char", hash_string_icase_new("Q"), 0},
        {"icase_new empty", hash_string_icase_new(""), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.actual, c.expected) << c.name;
    // The buckets the string tables' attribute order depends on.
    EXPECT_EQ(hash_string_icase_new("reason") % 101, 4);
    EXPECT_EQ(hash_string_icase_new("errno") % 101, 37);
    EXPECT_EQ(hash_string_icase_new("status") % 101, 44);
}

TEST(HashFunctionTest, CaseInsensitiveComparisonFoldsOnlyAsciiLetters) {
    struct Case {
        const char *a, *b;
        int expected;
    } cases[] = {
        {"Content-Length", "content-LENGTH", 0},
        {"", "", 0},
        {"a", "b", -1},
        {"b", "A", 1},
        {"ab", "a", 'b'},
        {"a", "ab", -'b'},
        // '[' sits between 'Z' and 'a': compared as itself, not folded
        {"[", "a", '[' - 'a'},
        // bytes above 0x7F are not folded and compare unsigned
        {"\xe9", "\xc9", 0xe9 - 0xc9},
        {"\xe9", "a", 0xe9 - 'a'},
    };
    for (const auto &c : cases)
        EXPECT_EQ(bsdstrcasecmp(c.a, c.b), c.expected) << c.a << " vs " << c.b;

    Item item{"Host", 0, {0, nullptr}};
    EXPECT_EQ(hash_string_comparer_icase("HOST", &item), 0);
    EXPECT_NE(hash_string_comparer("HOST", &item), 0);
    EXPECT_EQ(hash_string_comparer("Host", &item), 0);
}

TEST_F(HashTest, SameBucketIteratesNewestFirstAndReplacementKeepsItsPlace) {
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    // One-character keys all hash to 0: one chain in bucket 0.
    add("a", 1);
    add("b", 1);
    add("c", 1);
    add("status"); // bucket 44, after bucket 0
    EXPECT_EQ(walk(), (std::vector<std::string>{"c", "b", "a", "status"}));

    add("B", 2);
    EXPECT_EQ(walk(), (std::vector<std::string>{"c", "B", "a", "status"}));
    EXPECT_EQ(destroyed, std::vector<std::string>{"b=1"});
    EXPECT_EQ(static_cast<Item *>(hash_get(table, "b"))->value, 2);
    EXPECT_EQ(stats().hs_items_stored, 4u);
    EXPECT_EQ(table->h_stored, 4u);
}

TEST_F(HashTest, IterationVisitsEveryBucketInIndexOrder) {
    table = new_table(7);
    ASSERT_NE(table, nullptr);
    // Two-character keys hash to 3 x their second character: 'a' 291 (bucket
    // 4), 'b' 294 (0), 'c' 297 (3), 'd' 300 (6), 'e' 303 (2), 'f' 306 (5),
    // 'g' 309 (1): one key in each of the 7 buckets.
    for (const char *k : {"xa", "xb", "xc", "xd", "xe", "xf", "xg"})
        add(k);
    EXPECT_EQ(walk(), (std::vector<std::string>{"xb", "xg", "xe", "xc", "xa", "xf", "xd"}));
    EXPECT_EQ(stats().hs_used_buckets, 7);
}

TEST_F(HashTest, WithoutDuplicatesAnExistingKeyIsRefused) {
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    table->h_allow_duplicates = 0;
    add("k", 1);
    EXPECT_EQ(hash_add(table, "K", item("K", 2)), HASH_ITEM_EXISTS);
    EXPECT_EQ(static_cast<Item *>(hash_get(table, "k"))->value, 1);
    EXPECT_TRUE(destroyed.empty());
    EXPECT_EQ(walk(), std::vector<std::string>{"k"});
}

TEST_F(HashTest, RemoveUnlinksTheItemAndCallsItsDestructor) {
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    add("a", 1);
    add("b", 2);
    add("c", 3);
    EXPECT_EQ(hash_remove(table, "B"), HASH_OK);
    EXPECT_EQ(destroyed, std::vector<std::string>{"b=2"});
    EXPECT_EQ(hash_get(table, "b"), nullptr);
    EXPECT_EQ(walk(), (std::vector<std::string>{"c", "a"}));
    EXPECT_EQ(hash_remove(table, "b"), HASH_ITEM_DOES_NOT_EXIST);
    EXPECT_EQ(hash_remove(table, "zz"), HASH_ITEM_DOES_NOT_EXIST);
    EXPECT_EQ(table->h_stored, 2u);
    EXPECT_EQ(destroyed.size(), 1u);
}

TEST_F(HashTest, GrowsFrom7To15OnTheInsertionMadeWith14Stored) {
    table = new_table(0);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(stats().hs_total_buckets, 7);
    static const char *keys[] = {"a",   "b",   "k02", "k03", "k04", "k05", "k06", "k07",
                                 "k08", "k09", "k10", "k11", "k12", "k13", "k14"};
    for (int i = 0; i < 14; ++i)
        add(keys[i], i);
    EXPECT_EQ(stats().hs_total_buckets, 7);
    // "a" and "b" share bucket 0, newest first.
    auto order = [this] {
        std::string ab;
        for (const std::string &k : walk())
            if (k == "a" || k == "b")
                ab += k;
        return ab;
    };
    EXPECT_EQ(order(), "ba");

    add(keys[14], 14);
    const hash_stats_t s = stats();
    EXPECT_EQ(s.hs_total_buckets, 15);
    EXPECT_EQ(s.hs_items_stored, 15u);
    for (int i = 0; i < 15; ++i) {
        auto *found = static_cast<Item *>(hash_get(table, keys[i]));
        ASSERT_NE(found, nullptr) << keys[i];
        EXPECT_EQ(found->value, i);
    }
    // Moving a chain link by link to the head of its new bucket reverses it.
    EXPECT_EQ(order(), "ab");
    EXPECT_TRUE(destroyed.empty());
}

TEST_F(HashTest, FailedGrowthIsSilent) {
    table = new_table(0);
    ASSERT_NE(table, nullptr);
    static const char *keys[] = {"g00", "g01", "g02", "g03", "g04", "g05", "g06", "g07",
                                 "g08", "g09", "g10", "g11", "g12", "g13", "g14", "g15"};
    for (int i = 0; i < 14; ++i)
        add(keys[i], i);
    pool_test_fail_nth(1);
    EXPECT_EQ(hash_add(table, keys[14], item(keys[14], 14)), HASH_OK);
    EXPECT_FALSE(pool_test_fail_pending());
    pool_test_fail_nth(0);
    EXPECT_EQ(stats().hs_total_buckets, 7);
    EXPECT_EQ(stats().hs_items_stored, 15u);
    EXPECT_NE(hash_get(table, keys[14]), nullptr);
    // The next insertion tries again.
    add(keys[15], 15);
    EXPECT_EQ(stats().hs_total_buckets, 15);
    EXPECT_EQ(walk().size(), 16u);
}

TEST_F(HashTest, FixedSizeTablesNeverGrow) {
    table = new_table(3);
    ASSERT_NE(table, nullptr);
    static const char *keys[] = {"f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9"};
    for (const char *k : keys)
        add(k);
    const hash_stats_t s = stats();
    EXPECT_EQ(s.hs_total_buckets, 3);
    EXPECT_EQ(s.hs_items_stored, 10u);
}

TEST_F(HashTest, StatsAndDebugListing) {
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    add("x");
    add("y");
    add("ab"); // 294, bucket 92
    const hash_stats_t s = stats();
    EXPECT_EQ(s.hs_total_buckets, 101);
    EXPECT_EQ(s.hs_used_buckets, 2);
    EXPECT_EQ(s.hs_items_stored, 3u);
    EXPECT_EQ(s.hs_longest_chain, 2u);
    testing::internal::CaptureStdout();
    hash_debug(table);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "   0: 0 0\n  92: 294\n");
}

TEST_F(HashTest, ApplyVisitsInIterationOrderAndMayRemoveTheCurrentItem) {
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    add("a", 1);
    add("b", 2);
    add("status", 3);
    std::vector<std::string> seen;
    auto visit = [](void *p, void *data) {
        auto *it = static_cast<Item *>(p);
        auto *ctx = static_cast<std::pair<hash_table_t, std::vector<std::string> *> *>(data);
        ctx->second->push_back(it->key);
        if (it->value == 2) {
            EXPECT_EQ(hash_remove(ctx->first, it->key), HASH_OK);
        }
    };
    std::pair<hash_table_t, std::vector<std::string> *> ctx{table, &seen};
    hash_apply(table, visit, &ctx);
    EXPECT_EQ(seen, (std::vector<std::string>{"b", "a", "status"}));
    EXPECT_EQ(walk(), (std::vector<std::string>{"a", "status"}));
}

TEST_F(HashTest, ReferencesKeepTheTableUntilTheLastDelete) {
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    add("a", 1);
    add("b", 2);
    add("status", 3);
    EXPECT_EQ(hash_reference(table), table);
    EXPECT_EQ(table->h_refcount, 2);
    hash_delete(table);
    EXPECT_TRUE(destroyed.empty());
    EXPECT_NE(hash_get(table, "a"), nullptr);
    hash_delete(table);
    table = nullptr;
    // Destroyed in iteration order.
    EXPECT_EQ(destroyed, (std::vector<std::string>{"b=2", "a=1", "status=3"}));
    EXPECT_EQ(hash_reference(nullptr), nullptr);
    hash_delete(nullptr);
}

TEST_F(HashTest, ReferenceCountDoesNotWrapToDead) {
    table = new_table(7);
    ASSERT_NE(table, nullptr);
    for (int i = 1; i < UINT16_MAX; ++i)
        ASSERT_EQ(hash_reference(table), table) << i;
    EXPECT_EQ(hash_reference(table), nullptr);
    EXPECT_EQ(table->h_refcount, UINT16_MAX);
    for (int i = 1; i < UINT16_MAX; ++i)
        hash_delete(table);
    EXPECT_EQ(table->h_refcount, 1);
}

// Clone copies: same key, value + 100.
int clones_made;
int clone_failure_at;
void *clone_item(const void *p) {
    if (++clones_made == clone_failure_at)
        return nullptr;
    const auto *orig = static_cast<const Item *>(p);
    return new Item{orig->key, orig->value + 100, {0, nullptr}};
}
void destroy_clone(void *p) {
    record_destroy(p);
    delete static_cast<Item *>(p);
}

TEST_F(HashTest, CloneKeepsSettingsAndChainOrder) {
    table = hash_new_with_clone(0, offsetof(Item, link), nullptr, nullptr, clone_item, nullptr);
    ASSERT_NE(table, nullptr);
    add("a", 1);
    add("b", 2);
    add("c", 3);
    add("errno", 4);
    clones_made = 0;
    clone_failure_at = 0;
    hash_table_t copy = hash_clone(table, pool_default());
    ASSERT_NE(copy, nullptr);
    copy->h_dtor = destroy_clone; // the copies are heap items, unlike the originals
    EXPECT_EQ(copy->h_refcount, 1);
    EXPECT_EQ(copy->h_size, table->h_size);
    EXPECT_EQ(copy->h_allow_resize, 1);
    EXPECT_EQ(copy->h_stored, 4u);
    std::vector<std::string> keys;
    hash_iter_t iter;
    for (void *p = hash_first(copy, &iter); p != nullptr; p = hash_next(copy, &iter))
        keys.push_back(std::string(static_cast<Item *>(p)->key) + "=" +
                       std::to_string(static_cast<Item *>(p)->value));
    EXPECT_EQ(keys, (std::vector<std::string>{"c=103", "b=102", "a=101", "errno=104"}));
    EXPECT_EQ(static_cast<Item *>(hash_get(copy, "B"))->value, 102);
    hash_delete(copy);
    EXPECT_EQ(destroyed.size(), 4u);
}

TEST_F(HashTest, CloneFailsWithoutCloneFunctionOrWhenACopyFails) {
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    add("a", 1);
    EXPECT_EQ(hash_clone(table, pool_default()), nullptr);

    ASSERT_EQ(hash_remove(table, "a"), HASH_OK); // the table takes heap items from here on
    table->h_clone = clone_item;
    table->h_dtor = destroy_clone;
    for (const char *k : {"b", "c", "d"})
        ASSERT_EQ(hash_add(table, k, new Item{k, 0, {0, nullptr}}), HASH_OK);
    destroyed.clear();
    clones_made = 0;
    clone_failure_at = 3;
    EXPECT_EQ(hash_clone(table, pool_default()), nullptr);
    // The two copies made before the failure were destroyed with the partial table.
    EXPECT_EQ(destroyed, (std::vector<std::string>{"d=100", "c=100"}));
    clone_failure_at = 0;
}

TEST_F(HashTest, CreationAndCloneUnderAllocationFailure) {
    sweep_allocation_failures(
        [] { return hash_new(0, offsetof(Item, link), nullptr, nullptr, nullptr); },
        [](hash_table_t t, bool failed) {
            EXPECT_EQ(t == nullptr, failed);
            if (t != nullptr)
                hash_delete(t);
        });
    table = hash_new_with_clone(101, offsetof(Item, link), nullptr, nullptr, clone_item, nullptr);
    ASSERT_NE(table, nullptr);
    add("a", 1);
    clone_failure_at = 0;
    sweep_allocation_failures([this] { return hash_clone(table, pool_default()); },
                              [](hash_table_t copy, bool failed) {
                                  EXPECT_EQ(copy == nullptr, failed);
                                  if (copy != nullptr) {
                                      copy->h_dtor = destroy_clone;
                                      hash_delete(copy);
                                  }
                              });
}

TEST_F(HashTest, TrackingPoolOwnsTheCreationReference) {
    pool_t pool = pool_new();
    ASSERT_NE(pool, nullptr);
    table =
        hash_pnew(pool, 0, offsetof(Item, link), hash_string, hash_string_comparer, record_destroy);
    ASSERT_NE(table, nullptr);
    add("a", 1);
    table->h_clone = clone_item;
    clone_failure_at = 0;
    hash_table_t copy = hash_clone(table, pool);
    ASSERT_NE(copy, nullptr);
    copy->h_dtor = destroy_clone;
    // The caller's own reference outlives the pool.
    ASSERT_EQ(hash_reference(table), table);
    pool_delete(pool);
    EXPECT_EQ(destroyed, std::vector<std::string>{"a=101"});
    EXPECT_NE(hash_get(table, "a"), nullptr);
    // The case-sensitive functions given at creation are in use.
    EXPECT_EQ(hash_get(table, "A"), nullptr);
}

// Callbacks run under the table's lock; it is recursive, so they may use the
// table. A plain mutex would deadlock here.
hash_table_t reentered_table;
std::vector<bool> reentry_results;
void reentering_destroy(void *p) {
    auto *it = static_cast<Item *>(p);
    reentry_results.push_back(hash_get(reentered_table, it->key) != nullptr);
    hash_stats_t s;
    hash_stat(reentered_table, &s);
}

TEST_F(HashTest, CallbacksMayReenterTheTable) {
    table = hash_new(101, offsetof(Item, link), nullptr, nullptr, reentering_destroy);
    ASSERT_NE(table, nullptr);
    reentered_table = table;
    reentry_results.clear();
    add("a", 1);
    add("b", 2);
    add("A", 3);                                 // replaced: the new item is already in place
    EXPECT_EQ(hash_remove(table, "b"), HASH_OK); // removed: no longer found
    EXPECT_EQ(reentry_results, (std::vector<bool>{true, false}));
    table->h_dtor = nullptr;
}

hash_table_t dying_table;
void get_from_dying_table(void *) {
    hash_get(dying_table, "a");
}

TEST_F(HashTest, MisuseIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    table = new_table(101);
    ASSERT_NE(table, nullptr);
    add("a");
    hash_iter_t iter{};
    hash_stats_t s;
    struct Case {
        const char *message;
        std::function<void()> call;
    } cases[] = {
        {"0 != table", [] { hash_get(nullptr, "a"); }},
        {"0 != table", [] { hash_add(nullptr, "a", &destroyed); }},
        {"0 != table", [&] { hash_first(nullptr, &iter); }},
        {"0 != table", [&] { hash_stat(nullptr, &s); }},
        {"0 != table", [] { hash_debug(nullptr); }},
        {"0 != table", [] { hash_clone(nullptr, pool_default()); }},
        {"0 != item", [this] { hash_add(table, "b", nullptr); }},
        {"0 != iterp", [this] { hash_first(table, nullptr); }},
        {"0 != iterp", [this] { hash_next(table, nullptr); }},
        // never started, or already at its end
        {"0 != iterp->hi_last_item", [&] { hash_next(table, &iter); }},
        {"0 != iterp->hi_last_item",
         [&] {
             hash_first(table, &iter);
             hash_next(table, &iter);
             hash_next(table, &iter);
         }},
        // a destructor of the final delete that looks into the dead table
        {"0 != table->h_refcount",
         [] {
             dying_table =
                 hash_new(0, offsetof(Item, link), nullptr, nullptr, get_from_dying_table);
             static Item a{"a", 0, {0, nullptr}};
             hash_add(dying_table, "a", &a);
             hash_delete(dying_table);
         }},
    };
    for (const Case &c : cases)
        EXPECT_DEATH(c.call(), c.message) << c.message;
}

TEST(HashThreadsTest, TwoThreadsAddAndGetOnOneTable) {
    constexpr int per_thread = 2000;
    hash_table_t table = hash_new(0, offsetof(Item, link), nullptr, nullptr, nullptr);
    ASSERT_NE(table, nullptr);
    std::vector<std::string> names[2];
    std::vector<Item> pool_of_items[2];
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < per_thread; ++i)
            names[t].push_back("t" + std::to_string(t) + "-" + std::to_string(i));
        pool_of_items[t].resize(per_thread);
        for (int i = 0; i < per_thread; ++i)
            pool_of_items[t][i] = Item{names[t][i].c_str(), i, {0, nullptr}};
    }
    int mismatches[2] = {0, 0};
    auto worker = [&](int t) {
        const int other = 1 - t;
        for (int i = 0; i < per_thread; ++i) {
            if (hash_add(table, names[t][i].c_str(), &pool_of_items[t][i]) != HASH_OK)
                ++mismatches[t];
            // Our own items must be there; the other thread's, if found, must be intact.
            auto *mine = static_cast<Item *>(hash_get(table, names[t][i].c_str()));
            if (mine != &pool_of_items[t][i])
                ++mismatches[t];
            auto *theirs = static_cast<Item *>(hash_get(table, names[other][i].c_str()));
            if (theirs != nullptr && theirs != &pool_of_items[other][i])
                ++mismatches[t];
            hash_table_t ref = hash_reference(table);
            hash_delete(ref);
        }
    };
    std::thread first(worker, 0), second(worker, 1);
    first.join();
    second.join();
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
    hash_stats_t s;
    hash_stat(table, &s);
    EXPECT_EQ(s.hs_items_stored, 2u * per_thread);
    EXPECT_EQ(table->h_stored, 2u * per_thread);
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < per_thread; ++i)
            ASSERT_EQ(hash_get(table, names[t][i].c_str()), &pool_of_items[t][i]);
    hash_delete(table);
}

} // namespace
