#include "array.h"

#include "alloc_sweep.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace {

// The documented null item of every array.
const array_item_t kNullItem = reinterpret_cast<array_item_t>(0x8081828384858687ULL);

std::vector<array_item_t> destroyed;
void record_destroy(array_item_t item) {
    destroyed.push_back(item);
}

// Distinct non-null items to store.
int storage[64];
array_item_t item(int i) {
    return &storage[i];
}

std::vector<array_item_t> iterate(array_t array) {
    std::vector<array_item_t> items;
    const array_item_t end = array_null(array);
    array_iter_t iter;
    for (array_item_t it = array_first(array, &iter); it != end; it = array_next(array, &iter))
        items.push_back(it);
    return items;
}

class ArrayTest : public ::testing::Test {
  protected:
    void SetUp() override { destroyed.clear(); }
};

TEST_F(ArrayTest, NewArrayIsEmptyWithFixedNullItem) {
    array_t array = array_new(record_destroy);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->a_ref_count, 1);
    EXPECT_EQ(array->a_allocated, 0);
    EXPECT_EQ(array->a_used, 0);
    EXPECT_EQ(array->a_items, nullptr);
    EXPECT_EQ(array->a_options.a_null, kNullItem);
    EXPECT_EQ(array_null(array), kNullItem);
    array_iter_t iter;
    EXPECT_EQ(array_first(array, &iter), kNullItem);
    array_delete(array);
    EXPECT_TRUE(destroyed.empty());
}

// Capacity after each number of appends: 16 first, then multiples of the
// capacity; every slot past the items, up to and including a_allocated, holds
// the null item.
TEST_F(ArrayTest, GrowsBy16ThenDoublesAndFillsSpareSlotsWithNullItem) {
    const struct {
        int appends;
        ssize_t capacity;
    } cases[] = {{1, 16}, {16, 16}, {17, 32}, {32, 32}, {33, 64}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.appends);
        array_t array = array_new(nullptr);
        for (int i = 0; i < c.appends; ++i)
            ASSERT_EQ(array_append(array, item(i)), ARRAY_OK);
        EXPECT_EQ(array->a_used, c.appends);
        EXPECT_EQ(array->a_allocated, c.capacity);
        for (int i = 0; i < c.appends; ++i)
            EXPECT_EQ(array->a_items[i], item(i));
        for (ssize_t i = c.appends; i <= c.capacity; ++i)
            EXPECT_EQ(array->a_items[i], kNullItem) << "slot " << i;
        array_delete(array);
    }
}

TEST_F(ArrayTest, NullPointersAreOrdinaryItems) {
    array_t array = array_new(record_destroy);
    ASSERT_EQ(array_append(array, nullptr), ARRAY_OK);
    ASSERT_EQ(array_push(array, item(1)), ARRAY_OK);
    ASSERT_EQ(array_append(array, nullptr), ARRAY_OK);
    EXPECT_EQ(iterate(array), (std::vector<array_item_t>{nullptr, item(1), nullptr}));

    // Past the end the iterator stays at the end.
    array_iter_t iter;
    array_first(array, &iter);
    for (int i = 0; i < 5; ++i)
        array_next(array, &iter);
    EXPECT_EQ(array_next(array, &iter), kNullItem);

    array_delete(array);
    EXPECT_EQ(destroyed, (std::vector<array_item_t>{nullptr, item(1), nullptr}));
}

TEST_F(ArrayTest, SetOutsideItemsIsBoundsErrorAndChangesNothing) {
    array_t array = array_new(record_destroy);
    ASSERT_EQ(array_append(array, item(0)), ARRAY_OK);
    ASSERT_EQ(array_append(array, item(1)), ARRAY_OK);
    for (array_index_t idx : {array_index_t{-1}, array_index_t{3}, array_index_t{16}}) {
        SCOPED_TRACE(idx);
        EXPECT_EQ(array_set(array, idx, item(9)), ARRAY_BOUNDS_ERROR);
        EXPECT_EQ(array->a_used, 2);
        EXPECT_EQ(array->a_allocated, 16);
        EXPECT_EQ(array->a_nomem_count, 0);
        EXPECT_EQ(iterate(array), (std::vector<array_item_t>{item(0), item(1)}));
        EXPECT_EQ(array->a_items[3], kNullItem);
    }
    EXPECT_TRUE(destroyed.empty());
    array_delete(array);
}

TEST_F(ArrayTest, ReplacingDestroysTheOldItemOnce) {
    array_t array = array_new(record_destroy);
    ASSERT_EQ(array_append(array, item(0)), ARRAY_OK);
    ASSERT_EQ(array_append(array, item(1)), ARRAY_OK);
    ASSERT_EQ(array_set(array, 0, item(2)), ARRAY_OK);
    EXPECT_EQ(destroyed, std::vector<array_item_t>{item(0)});
    EXPECT_EQ(array->a_used, 2);
    // Appending through array_set at a_used destroys nothing.
    ASSERT_EQ(array_set(array, 2, item(3)), ARRAY_OK);
    EXPECT_EQ(destroyed.size(), 1u);
    array_delete(array);
    EXPECT_EQ(destroyed, (std::vector<array_item_t>{item(0), item(2), item(1), item(3)}));
}

// Storing an item over itself keeps it alive: destroying it would leave the
// array holding a freed pointer.
TEST_F(ArrayTest, StoringAnItemOverItselfKeepsIt) {
    array_t array = array_new(pool_default_free);
    char *s = pstrdup(pool_default(), "kept");
    ASSERT_EQ(array_append(array, s), ARRAY_OK);
    ASSERT_EQ(array_set(array, 0, s), ARRAY_OK);
    EXPECT_STREQ(static_cast<char *>(array->a_items[0]), "kept");
    array_delete(array);
}

TEST_F(ArrayTest, DeleteWithoutItemsDestroysNothing) {
    array_t array = array_new(record_destroy);
    EXPECT_EQ(array->a_items, nullptr);
    array_delete(array);
    EXPECT_TRUE(destroyed.empty());
}

TEST_F(ArrayTest, OnlyTheLastReferenceDestroys) {
    array_t array = array_new(record_destroy);
    ASSERT_EQ(array_append(array, item(0)), ARRAY_OK);
    ++array->a_ref_count;
    array_delete(array);
    EXPECT_TRUE(destroyed.empty());
    EXPECT_EQ(array->a_ref_count, 1);
    array_delete(array);
    EXPECT_EQ(destroyed, std::vector<array_item_t>{item(0)});
}

TEST_F(ArrayTest, TrackingPoolDeletesItsArrays) {
    pool_t pool = pool_new();
    ASSERT_NE(pool, nullptr);
    array_t array = array_pnew(pool, record_destroy);
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array_append(array, item(0)), ARRAY_OK);
    ASSERT_EQ(array_append(array, item(1)), ARRAY_OK);
    pool_delete(pool);
    EXPECT_EQ(destroyed, (std::vector<array_item_t>{item(0), item(1)}));
}

TEST_F(ArrayTest, ProgrammingErrorsStopTheProcess) {
    array_iter_t iter;
    const struct {
        const char *message;
        std::function<void()> call;
    } cases[] = {
        {"0 != array", [] { array_delete(nullptr); }},
        {"0 != array", [] { array_append(nullptr, item(0)); }},
        {"0 != array", [] { array_set(nullptr, 0, item(0)); }},
        {"0 != array", [&] { array_first(nullptr, &iter); }},
        {"0 != array", [&] { array_next(nullptr, &iter); }},
        {"0 != array", [] { array_null(nullptr); }},
        {"0 != iterp", [] { array_first(array_new(nullptr), nullptr); }},
        {"0 != iterp", [] { array_next(array_new(nullptr), nullptr); }},
        {"item != array_null\\(array\\)", [] { array_append(array_new(nullptr), kNullItem); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_DEATH(c.call(), c.message);
    }
}

TEST_F(ArrayTest, CreationFailsWithNullWhenMemoryRunsOut) {
    sweep_allocation_failures([] { return array_new(record_destroy); },
                              [](array_t array, bool failure_reached) {
                                  if (failure_reached)
                                      EXPECT_EQ(array, nullptr);
                                  else
                                      ASSERT_NE(array, nullptr);
                                  if (array != nullptr)
                                      array_delete(array);
                              });
}

// A failed growth reports ARRAY_OUT_OF_MEMORY and leaves the array as it was:
// the items it owns stay in it (and are freed by array_delete) rather than
// being dropped, and the array keeps working once memory is back.
TEST_F(ArrayTest, FailedGrowthKeepsItemsAndReportsOutOfMemory) {
    for (int before : {0, 16}) {
        SCOPED_TRACE(before);
        array_t array = array_new(pool_default_free);
        for (int i = 0; i < before; ++i)
            ASSERT_EQ(array_append(array, pstrdup(pool_default(), "item")), ARRAY_OK);
        array_item_t *const slots = array->a_items;
        const ssize_t capacity = array->a_allocated;

        char *extra = pstrdup(pool_default(), "extra");
        pool_test_fail_nth(1);
        EXPECT_EQ(array_append(array, extra), ARRAY_OUT_OF_MEMORY);
        EXPECT_FALSE(pool_test_fail_pending());
        pool_test_fail_nth(0);

        EXPECT_EQ(array->a_nomem_count, 1);
        EXPECT_EQ(array->a_used, before);
        EXPECT_EQ(array->a_allocated, capacity);
        EXPECT_EQ(array->a_items, slots);
        for (int i = 0; i < before; ++i)
            EXPECT_STREQ(static_cast<char *>(array->a_items[i]), "item");

        ASSERT_EQ(array_append(array, extra), ARRAY_OK);
        EXPECT_EQ(array->a_used, before + 1);
        EXPECT_EQ(array->a_allocated, before == 0 ? 16 : 32);
        array_delete(array);
    }
}

} // namespace
