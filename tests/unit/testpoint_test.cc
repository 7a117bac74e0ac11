#include "testpoint.h"

#include "path.h"
#include "syslog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct HitCase {
    const char *name;
    int32_t default_val;
    const char *module;
    const char *tp;
};

// With nothing loaded every hook answers its own default, whatever it is
// called. The format-like names would misbehave if a hit formatted them.
const HitCase hit_cases[] = {
    {"HttpDebug", 7, "http", "debug"},
    {"HttpOpen", 7, "http", "open"},
    {"HttpFinishPost", 7, "http", "finish-post"},
    {"EmptyNames", 7, "", ""},
    {"FormatLikeModule", 7, "%s%s%s%n", "%s"},
    {"LongModule", 7, "a-module-name-well-beyond-the-sixty-four-bytes-a-hit-would-format-it-into",
     "debug"},
    {"ZeroDefault", 0, "http", "debug"},
    {"NegativeDefault", -1, "http", "post"},
    {"MinimumDefault", INT32_MIN, "x", "y"},
    {"MaximumDefault", INT32_MAX, "x", "y"},
};

TEST(Testpoint, UnloadedHookReturnsItsDefault) {
    for (const HitCase &c : hit_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TESTPOINT_HIT(c.default_val, c.module, c.tp), c.default_val);
        // Some hooks pass an argument their plain module name does not use.
        EXPECT_EQ(TESTPOINT_HIT(c.default_val, c.module, c.tp, 42), c.default_val);
        EXPECT_EQ(testpoint_hitn(c.default_val, c.module, c.tp, "file.cc", 1, "extra"),
                  c.default_val);
    }
}

TEST(Testpoint, HooksNameTheirSourceFileByBaseName) {
    EXPECT_STREQ(testpoint_base_name("/src/libadt/shttpc.cc"), "shttpc.cc");
    EXPECT_STREQ(testpoint_base_name("shttpc.cc"), "shttpc.cc");
    EXPECT_STREQ(testpoint_base_name("relative/dir/http.cc"), "http.cc");
    EXPECT_STREQ(testpoint_base_name(__FILE__), "testpoint_test.cc");
}

bool directory_is_empty(const std::string &path) {
    std::error_code ec;
    return std::filesystem::is_empty(path, ec) && !ec;
}

// The guarded trace of the networking code writes nothing while no testpoint
// is loaded; the same log set-up does receive an unguarded line, so the
// check would see one.
TEST(TestpointDeathTest, UnloadedDebugHookWritesNoLogLine) {
    char top[] = "/tmp/testpoint_test.XXXXXX";
    ASSERT_NE(mkdtemp(top), nullptr);
    const std::string log_dir = std::string(top) + "/log";
    ASSERT_EQ(mkdir(log_dir.c_str(), 0700), 0);

    EXPECT_EXIT(
        {
            setenv("KOVREL_DIR", top, 1);
            path_init(nullptr);
            for (int i = 0; i < 10000; ++i) {
                errno = i;
                if (TESTPOINT_HIT(0, "http", "debug"))
                    kovr_syslog(7, "shttpc_read failed, error: %d\n", errno);
            }
            if (!directory_is_empty(log_dir))
                _exit(2);
            kovr_syslog(7, "unguarded control line\n");
            _exit(directory_is_empty(log_dir) ? 3 : 0);
        },
        ::testing::ExitedWithCode(0), "");

    std::filesystem::remove_all(top);
}

// Hooks are passed by any number of threads at once.
TEST(Testpoint, ConcurrentHooksEachGetTheirOwnDefault) {
    constexpr int threads = 8;
    constexpr int hits = 100000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t, &wrong] {
            for (int i = 0; i < hits; ++i) {
                const int32_t expected = t * hits + i;
                if (TESTPOINT_HIT(expected, "http", i % 2 ? "debug" : "open") != expected)
                    wrong.fetch_add(1, std::memory_order_relaxed);
            }
        });
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
