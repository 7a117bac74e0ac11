#include "zthread.h"

#include "child_process.h"
#include "path.h"
#include "pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

std::atomic<int> once_runs;
std::atomic<bool> once_finished;

void slow_once_routine() {
    once_runs++;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    once_finished = true;
}

TEST(ZthreadOnceTest, RacingThreadsRunTheRoutineOnceAndAllWaitForIt) {
    static zthread_once_t control = ZTHREAD_ONCE_INIT;
    std::atomic<int> returned_before_finish{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            zthread_once(&control, slow_once_routine);
            if (!once_finished)
                returned_before_finish++;
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(once_runs, 1);
    EXPECT_EQ(returned_before_finish, 0);
}

TEST(ZthreadMutexTest, TrylockOnAMutexHeldElsewhereFailsWithStatusOne) {
    zthread_mutex_t mutex = zthread_mutex_new();
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(zthread_mutex_lock(mutex), ZTHREAD_SUCCESS);
    zthread_status_t other = ZTHREAD_SUCCESS;
    std::thread([&] { other = zthread_mutex_trylock(mutex); }).join();
    EXPECT_EQ(other, ZTHREAD_FAILED);
    EXPECT_EQ(static_cast<int>(other), 1);
    zthread_mutex_unlock(mutex);
    std::thread([&] {
        other = zthread_mutex_trylock(mutex);
        if (other == ZTHREAD_SUCCESS)
            zthread_mutex_unlock(mutex);
    }).join();
    EXPECT_EQ(other, ZTHREAD_SUCCESS);
    zthread_mutex_delete(mutex);
}

TEST(ZthreadMutexTest, RecursiveMutexNeedsAsManyUnlocksAsLocks) {
    zthread_rmutex_t rmutex = zthread_rmutex_new();
    ASSERT_NE(rmutex, nullptr);
    ASSERT_EQ(zthread_rmutex_lock(rmutex), ZTHREAD_SUCCESS);
    ASSERT_EQ(zthread_rmutex_lock(rmutex), ZTHREAD_SUCCESS);
    auto other_trylock = [&] {
        zthread_status_t status = ZTHREAD_SUCCESS;
        std::thread([&] {
            status = zthread_rmutex_trylock(rmutex);
            if (status == ZTHREAD_SUCCESS)
                zthread_rmutex_unlock(rmutex);
        }).join();
        return status;
    };
    zthread_rmutex_unlock(rmutex);
    EXPECT_EQ(other_trylock(), ZTHREAD_FAILED);
    zthread_rmutex_unlock(rmutex);
    EXPECT_EQ(other_trylock(), ZTHREAD_SUCCESS);
    zthread_rmutex_delete(rmutex);
}

TEST(ZthreadMutexTest, MutexSerialisesConcurrentIncrements) {
    zthread_mutex_t mutex = zthread_mutex_new();
    ASSERT_NE(mutex, nullptr);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                zthread_mutex_lock(mutex);
                counter++;
                zthread_mutex_unlock(mutex);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(counter, 40000);
    zthread_mutex_delete(mutex);
}

std::atomic<int> local_destructor_calls;
void count_local_destructor(void *value) {
    local_destructor_calls++;
    delete static_cast<int *>(value);
}

TEST(ZthreadLocalTest, ValuesArePerThreadAndDestroyedOnlyWhereSet) {
    zthread_local_t key = zthread_local_new(count_local_destructor);
    ASSERT_NE(key, nullptr);
    local_destructor_calls = 0;
    void *seen_unset = reinterpret_cast<void *>(1);
    std::thread([&] { seen_unset = zthread_local_get(key); }).join();
    EXPECT_EQ(seen_unset, nullptr);
    EXPECT_EQ(local_destructor_calls, 0);

    int seen_value = 0;
    std::thread([&] {
        ASSERT_EQ(zthread_local_set(key, new int(42)), ZTHREAD_SUCCESS);
        seen_value = *static_cast<int *>(zthread_local_get(key));
    }).join();
    EXPECT_EQ(seen_value, 42);
    EXPECT_EQ(local_destructor_calls, 1);
    EXPECT_EQ(zthread_local_get(key), nullptr);
    zthread_local_delete(key);
}

TEST(ZthreadIdTest, IdentifiesTheCallingThread) {
    const zthread_id_t mine = zthread_id();
    zthread_id_t other = mine;
    std::thread([&] { other = zthread_id(); }).join();
    EXPECT_TRUE(pthread_equal(mine, zthread_id()));
    EXPECT_FALSE(pthread_equal(mine, other));
}

TEST(ZthreadDeathTest, NullHandlesStopTheProcess) {
    EXPECT_DEATH(zthread_mutex_lock(nullptr), "0 != mutex");
    EXPECT_DEATH(zthread_rmutex_lock(nullptr), "0 != rmutex");
    EXPECT_DEATH(zthread_local_get(nullptr), "0 != key");
    EXPECT_DEATH(zthread_once(nullptr, slow_once_routine), "0 != once && 0 != func");
}

TEST(ZthreadInitFailureTest, AfterAFailedInitialisationEveryCreatorLogsAndReturnsNull) {
    char top[] = "/tmp/kovrel_zthread_XXXXXX";
    ASSERT_NE(mkdtemp(top), nullptr);
    const std::string log_dir = std::string(top) + "/log";
    ASSERT_EQ(mkdir(log_dir.c_str(), 0755), 0);

    const std::vector<std::string> got = run_in_child([&] {
        setenv("KOVREL_DIR", top, 1);
        path_init(nullptr);
        zthread_test_force_init_failure();
        std::vector<std::string> results = {
            zthread_mutex_new() == nullptr ? "null" : "created",
            zthread_rmutex_new() == nullptr ? "null" : "created",
            zthread_local_new(nullptr) == nullptr ? "null" : "created",
        };
        std::ifstream log(log_dir + "/application.log");
        for (std::string line; std::getline(log, line);)
            results.push_back(line);
        return results;
    });
    std::filesystem::remove_all(top);

    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], "null");
    EXPECT_EQ(got[1], "null");
    EXPECT_EQ(got[2], "null");
    for (size_t i = 3; i < got.size(); ++i)
        EXPECT_THAT(
            got[i],
            ::testing::MatchesRegex(
                ".*\\[application:ERROR\\]: \\[[0-9]+:0x[0-9a-f]+\\]: zthread_init failed"));
}

} // namespace

namespace {

TEST(ZthreadAllocationTest, CreatorsReturnNullWhenTheirRecordCannotBeAllocated) {
    using Creator = void *(*)();
    const Creator creators[] = {
        [] { return static_cast<void *>(zthread_mutex_new()); },
        [] { return static_cast<void *>(zthread_rmutex_new()); },
        [] { return static_cast<void *>(zthread_local_new(nullptr)); },
    };
    for (Creator create : creators) {
        pool_test_fail_nth(1);
        EXPECT_EQ(create(), nullptr);
        EXPECT_FALSE(pool_test_fail_pending());
        pool_test_fail_nth(0);
    }
}

} // namespace
