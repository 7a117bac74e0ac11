#include "list.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

struct Item {
    int value;
    list_link_t link;
};

std::vector<Item *> destroyed;
void record_destroy(void *item) {
    destroyed.push_back(static_cast<Item *>(item));
}

std::vector<int> values(list_t *list) {
    std::vector<int> out;
    list_iter_t iter;
    for (void *item = list_first(list, &iter); item != nullptr; item = list_next(list, &iter))
        out.push_back(static_cast<Item *>(item)->value);
    return out;
}

class ListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        destroyed.clear();
        list_init(&list, offsetof(Item, link), record_destroy);
        for (int i = 0; i < 4; ++i)
            items[i] = Item{i, {nullptr, nullptr}};
    }
    list_t list;
    Item items[4];
};

TEST_F(ListTest, AppendAndPrependKeepOrderAndSize) {
    list_append(&list, &items[1]);
    list_append(&list, &items[2]);
    list_prepend(&list, &items[0]);
    EXPECT_EQ(values(&list), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(list_size(&list), 3u);
    EXPECT_EQ(list.l_head.ll_prev, nullptr);
    EXPECT_EQ(list.l_tail.ll_next, nullptr);
}

TEST_F(ListTest, RemovingTheCurrentItemDuringIterationContinuesWithTheNext) {
    for (auto &item : items)
        list_append(&list, &item);
    std::vector<int> seen;
    list_iter_t iter;
    for (void *item = list_first(&list, &iter); item != nullptr; item = list_next(&list, &iter)) {
        seen.push_back(static_cast<Item *>(item)->value);
        if (seen.back() % 2 == 1) {
            EXPECT_EQ(list_remove(&list, item), item);
        }
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(values(&list), (std::vector<int>{0, 2}));
    EXPECT_EQ(items[1].link.ll_next, nullptr);
    EXPECT_EQ(items[1].link.ll_prev, nullptr);
}

TEST_F(ListTest, EmptyUnlinksThenDestroysEveryItemInOrder) {
    for (auto &item : items)
        list_append(&list, &item);
    list_empty(&list);
    EXPECT_EQ(list_size(&list), 0u);
    EXPECT_EQ(destroyed, (std::vector<Item *>{&items[0], &items[1], &items[2], &items[3]}));
    list_iter_t iter;
    EXPECT_EQ(list_first(&list, &iter), nullptr);
}

TEST_F(ListTest, DeleteItemDestroysWithoutUnlinking) {
    list_append(&list, &items[0]);
    list_delete_item(&list, &items[0]);
    EXPECT_EQ(destroyed.size(), 1u);
    EXPECT_EQ(list_size(&list), 1u);
}

TEST(ListNullTest, NullListAndNullItemAreTolerated) {
    list_iter_t iter;
    EXPECT_EQ(list_first(nullptr, &iter), nullptr);
    EXPECT_EQ(list_size(nullptr), 0u);
    EXPECT_EQ(list_destructor(nullptr), nullptr);
    EXPECT_EQ(list_remove(nullptr, nullptr), nullptr);
    list_append(nullptr, nullptr);
    list_delete(nullptr);
}

TEST(ListNewTest, NewListIsEmptyAndDeleteRunsTheDestructor) {
    destroyed.clear();
    list_t *list = list_new(offsetof(Item, link), record_destroy);
    ASSERT_NE(list, nullptr);
    Item item{7, {nullptr, nullptr}};
    list_append(list, &item);
    EXPECT_EQ(list_destructor(list), record_destroy);
    list_delete(list);
    EXPECT_EQ(destroyed, (std::vector<Item *>{&item}));
}

using ListDeathTest = ListTest;

TEST_F(ListDeathTest, ProgrammingErrorsStopTheProcess) {
    EXPECT_DEATH(list_init(nullptr, 0, nullptr), "0 != list");
    EXPECT_DEATH(list_remove(&list, &items[0]), "0 != link->ll_prev");
}

} // namespace
