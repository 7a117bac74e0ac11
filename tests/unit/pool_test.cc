#include "pool.h"

#include "alloc_sweep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> calls;
void note_a(void *arg) {
    calls.push_back(std::string("a:") + static_cast<const char *>(arg));
}
void note_b(void *arg) {
    calls.push_back(std::string("b:") + static_cast<const char *>(arg));
}

class TrackingPoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        pool = pool_new();
        ASSERT_NE(pool, nullptr);
    }
    void TearDown() override {
        if (pool != nullptr)
            pool_delete(pool);
    }
    pool_t pool = nullptr;
};

TEST(DefaultPoolTest, ZallocReturnsZeroedBytesAndFreeOfNullIsHarmless) {
    auto *bytes = static_cast<unsigned char *>(pool_zalloc(pool_default(), 64));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(bytes[i], 0) << i;
    pool_free(pool_default(), bytes);
    pool_free(nullptr, nullptr);
}

TEST(DefaultPoolTest, StringCopies) {
    char *copy = pstrdup(pool_default(), "hello");
    char *prefix = pstrndup(pool_default(), "hello", 3);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(prefix, nullptr);
    EXPECT_STREQ(copy, "hello");
    EXPECT_STREQ(prefix, "hel");
    pool_free(pool_default(), copy);
    pool_free(pool_default(), prefix);
}

TEST(DefaultPoolTest, ReallocToZeroKeepsAUsableBlock) {
    void *block = pool_alloc(pool_default(), 16);
    ASSERT_NE(block, nullptr);
    void *shrunk = pool_realloc(pool_default(), block, 0);
    ASSERT_NE(shrunk, nullptr);
    pool_free(pool_default(), shrunk);
}

TEST_F(TrackingPoolTest, DeletingThePoolFreesItsBlocksExactlyOnce) {
    ASSERT_NE(pool_alloc(pool, 32), nullptr);
    ASSERT_NE(pstrdup(pool, "tracked"), nullptr);
    EXPECT_EQ(pool_size(pool), 2u);
    // The leak checker and double-free detection of the sanitizer build
    // verify the "exactly once".
    pool_delete(pool);
    pool = nullptr;
}

TEST_F(TrackingPoolTest, ReallocKeepsExactlyOneRegistration) {
    void *block = pool_alloc(pool, 8);
    ASSERT_NE(block, nullptr);
    void *same = pool_realloc(pool, block, 8);
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(pool_size(pool), 1u);
    // Growing far past the block forces a move in practice; either way one
    // registration must remain, for the current address.
    void *moved = pool_realloc(pool, same, 1 << 20);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(pool_size(pool), 1u);
    EXPECT_TRUE(pool_release(pool, moved));
    EXPECT_EQ(pool_size(pool), 0u);
    free(moved);
}

TEST_F(TrackingPoolTest, FailedReallocLeavesBlockAndRegistration) {
    void *block = pool_alloc(pool, 8);
    ASSERT_NE(block, nullptr);
    strcpy(static_cast<char *>(block), "kept");
    pool_test_fail_nth(1);
    EXPECT_EQ(pool_realloc(pool, block, 4096), nullptr);
    pool_test_fail_nth(0);
    EXPECT_STREQ(static_cast<char *>(block), "kept");
    EXPECT_EQ(pool_size(pool), 1u);
}

TEST_F(TrackingPoolTest, CleanupsRunInRegistrationOrder) {
    char one[] = "1", two[] = "2", three[] = "3";
    pool_add_cleanup_real(pool, note_a, one);
    pool_add_cleanup_real(pool, note_b, two);
    pool_add_cleanup_real(pool, note_a, three);
    pool_delete(pool);
    pool = nullptr;
    EXPECT_EQ(calls, (std::vector<std::string>{"a:1", "b:2", "a:3"}));
}

TEST_F(TrackingPoolTest, RemoveCleanupTakesEveryMatchReleaseOnlyTheFirst) {
    char x[] = "x", y[] = "y";
    pool_add_cleanup_real(pool, note_a, x);
    pool_add_cleanup_real(pool, note_a, x);
    pool_add_cleanup_real(pool, note_b, x);
    pool_add_cleanup_real(pool, note_a, y);
    pool_remove_cleanup(pool, note_a, x);
    EXPECT_EQ(pool_size(pool), 2u);

    pool_add_cleanup_real(pool, note_a, y);
    EXPECT_TRUE(pool_release(pool, y));
    EXPECT_EQ(pool_size(pool), 2u);
    pool_delete(pool);
    pool = nullptr;
    EXPECT_EQ(calls, (std::vector<std::string>{"b:x", "a:y"}));
}

TEST_F(TrackingPoolTest, ReleaseOfAnUnknownPointerChangesNothing) {
    char z[] = "z";
    pool_add_cleanup_real(pool, note_a, z);
    int unrelated;
    EXPECT_FALSE(pool_release(pool, &unrelated));
    EXPECT_EQ(pool_size(pool), 1u);
}

void free_own_block(void *block) {
    pool_free(nullptr, block);
}

TEST(GlobalPoolTest, ShutdownRunsCleanupsThatFreeThroughTheDefaultPool) {
    // A clean-up run by pool_shutdown frees a string through the default pool,
    // whose free path scans the global registry: that must not deadlock.
    static char *held = nullptr;
    held = pstrdup(pool_default(), "process-wide");
    ASSERT_NE(held, nullptr);
    pool_add_cleanup_real(nullptr, pool_cleanup_string, &held);
    char *other = pstrdup(pool_default(), "freed by its own clean-up");
    pool_add_cleanup_real(nullptr, free_own_block, other);
    pool_shutdown();
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(pool_size(nullptr), 0u);
    // The global pool stays usable after shutdown.
    pool_add_cleanup_real(nullptr, pool_cleanup_string, &held);
    EXPECT_EQ(pool_size(nullptr), 1u);
    pool_remove_cleanup(nullptr, pool_cleanup_string, &held);
    EXPECT_EQ(pool_size(nullptr), 0u);
}

TEST(GlobalPoolTest, CleanupFileRemovesTheFile) {
    char path[] = "/tmp/kovrel_pool_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    char *heap_path = pstrdup(pool_default(), path);
    pool_t pool = pool_new();
    pool_add_cleanup_real(pool, pool_cleanup_file_and_name, heap_path);
    pool_add_cleanup_real(pool, pool_cleanup_file, const_cast<char *>(""));
    pool_delete(pool);
    EXPECT_NE(access(path, F_OK), 0);
}

TEST(PoolDumpTest, ListsRecordsWithTheirKind) {
    pool_t pool = pool_new();
    static char *text = nullptr;
    text = pstrdup(pool_default(), "dumped");
    pool_add_cleanup_real(pool, pool_cleanup_string, &text, "dump_test.c", 42);
    pool_add_cleanup_real(pool, pool_cleanup_file, const_cast<char *>("/nonexistent/f"),
                          "dump_test.c", 43);
    testing::internal::CaptureStdout();
    pool_dump(pool);
    const std::string out = testing::internal::GetCapturedStdout();
    char expected_header[64];
    snprintf(expected_header, sizeof expected_header, "Pool %p:\n", static_cast<void *>(pool));
    EXPECT_EQ(out.rfind(expected_header, 0), 0u) << out;
    EXPECT_NE(out.find("\tdump_test.c     42 (string: dumped)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\tdump_test.c     43 (file: /nonexistent/f)\n"), std::string::npos) << out;
    pool_remove_cleanup(pool, pool_cleanup_file, const_cast<char *>("/nonexistent/f"));
    pool_delete(pool);
    EXPECT_EQ(text, nullptr);

    testing::internal::CaptureStdout();
    pool_dump(nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(" (global pool)\n"), std::string::npos);
}

TEST(PoolDebugTest, CleanupTraceLine) {
    pool_t pool = pool_new();
    char arg[] = "t";
    pool_add_cleanup_real(pool, note_a, arg, "trace.c", 7);
    pool_debug_cleanup = 1;
    testing::internal::CaptureStdout();
    pool_delete(pool);
    pool_debug_cleanup = 0;
    char expected[96];
    snprintf(expected, sizeof expected, "Freeing %p (allocated from trace.c, line 7)\n",
             static_cast<void *>(arg));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST(PoolFailureSwitchTest, FailsExactlyTheNthAllocation) {
    pool_test_fail_nth(3);
    void *first = pool_alloc(pool_default(), 8);
    void *second = pstrdup(pool_default(), "x");
    EXPECT_TRUE(pool_test_fail_pending());
    void *third = pool_zalloc(pool_default(), 8);
    void *fourth = pool_alloc(pool_default(), 8);
    EXPECT_FALSE(pool_test_fail_pending());
    pool_test_fail_nth(0);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    for (void *p : {first, second, fourth})
        pool_free(pool_default(), p);
}

TEST(PoolFailureSwitchTest, TrackingPoolAllocationFailureRegistersNothing) {
    pool_t pool = pool_new();
    sweep_allocation_failures([&] { return pstrndup(pool, "abcdef", 4); },
                              [&](char *copy, bool failed) {
                                  EXPECT_EQ(copy == nullptr, failed);
                                  EXPECT_EQ(pool_size(pool), failed ? 0u : 1u);
                              });
    pool_delete(pool);
}

TEST(PoolConcurrencyTest, ThreadsAllocateAndFreeThroughTheGlobalRegistry) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            pool_t own = pool_new();
            for (int i = 0; i < 2000; ++i) {
                pool_free(pool_default(), pstrdup(pool_default(), "short-lived"));
                pool_alloc(own, 16);
            }
            pool_delete(own);
        });
    for (auto &t : threads)
        t.join();
}

TEST(PoolDeathTest, SecondSleepConfigurationIsAProgrammingError) {
    EXPECT_DEATH(
        {
            pool_default_config_sleep(1, 1);
            pool_default_config_sleep(1, 1);
        },
        "!default_pool_config.pdc_sleep_inited");
}

TEST(PoolRetryTest, DefaultPoolRetriesAfterAFailureWhenConfigured) {
    EXPECT_EXIT(
        {
            pool_default_config_sleep(1, 1);
            pool_test_fail_nth(1);
            void *block = pool_alloc(pool_default(), 8);
            const bool retried = block != nullptr && !pool_test_fail_pending();
            pool_free(pool_default(), block);
            exit(retried ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
