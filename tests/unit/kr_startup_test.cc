#include "kr_startup.h"

#include "kovrel.h"
#include "path.h"
#include "utils.h"

#include "alloc_sweep.h"
#include "child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

// Install-path discovery runs once per process: a second start after a
// shutdown keeps the directories of the first, whatever KOVREL_DIR says now.
// Defined first so that, run as a whole binary, no earlier test has made the
// discovery before the child is forked.
TEST(KrStartupDiscoveryTest, RestartKeepsTheDirectoriesFoundFirst) {
    const auto values = run_in_child([] {
        char buff[64];
        setenv("KOVREL_DIR", "/opt/first", 1);
        const int first = kr_startup(buff, sizeof buff);
        const std::string top_first = path_get_top_dir();
        kr_shutdown();
        setenv("KOVREL_DIR", "/opt/second", 1);
        const int second = kr_startup(buff, sizeof buff);
        const std::string top_second = path_get_top_dir();
        kr_shutdown();
        return std::vector<std::string>{std::to_string(first), top_first, std::to_string(second),
                                        top_second};
    });
    EXPECT_EQ(values, (std::vector<std::string>{"1", "/opt/first", "1", "/opt/first"}));
}

// Start-up state is process-wide: every test begins and ends stopped, with
// the system's release files in force.
class KrStartupTest : public ::testing::Test {
  protected:
    void SetUp() override { kr_shutdown(); }
    void TearDown() override {
        kr_shutdown();
        utils_set_release_files_for_test(nullptr, nullptr);
    }
    static void no_release_files() {
        utils_set_release_files_for_test("/nonexistent/SuSE-release",
                                         "/nonexistent/redhat-release");
    }
};

TEST_F(KrStartupTest, NullBufferIsRefusedWhetherStoppedOrStarted) {
    for (const bool started : {false, true}) {
        SCOPED_TRACE(started ? "started" : "stopped");
        char buff[64];
        if (started) {
            ASSERT_EQ(kr_startup(buff, sizeof buff), 1);
        }
        errno = 0;
        EXPECT_EQ(kr_startup(nullptr, 64), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(kr_is_started(), started ? 1 : 0);
        kr_shutdown();
    }
}

// The buffer is written only when the library is already started, bounded by
// the given size; a size of zero or less writes nothing at all.
TEST_F(KrStartupTest, SecondStartReportsAlreadyInUseWithinTheBuffer) {
    struct Case {
        int size;
        const char *expected; // null: buffer untouched
    };
    const Case cases[] = {
        {64, "kr_startup failed: already in use"},
        {10, "kr_startu"}, // the first 9 characters and the NUL
        {1, ""},
        {0, nullptr},
        {-1, nullptr},
    };
    char first[64];
    ASSERT_EQ(kr_startup(first, sizeof first), 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        char buff[80];
        memset(buff, 'x', sizeof buff);
        errno = 4242;
        EXPECT_EQ(kr_startup(buff, c.size), 0);
        EXPECT_EQ(errno, 4242);
        EXPECT_EQ(kr_is_started(), 1);
        if (c.expected == nullptr) {
            EXPECT_EQ(buff[0], 'x');
        } else {
            EXPECT_STREQ(buff, c.expected);
            // Nothing beyond the given size is touched.
            EXPECT_EQ(buff[c.size], 'x');
        }
    }
}

TEST_F(KrStartupTest, SuccessLeavesTheBufferUntouched) {
    char buff[64];
    memset(buff, 'x', sizeof buff);
    EXPECT_EQ(kr_startup_without_kovradmin(buff, sizeof buff), 1);
    EXPECT_EQ(kr_is_started(), 1);
    EXPECT_EQ(buff[0], 'x');
    // Both entry points share one state.
    EXPECT_EQ(kr_startup(buff, sizeof buff), 0);
    EXPECT_STREQ(buff, "kr_startup failed: already in use");
}

TEST_F(KrStartupTest, ShutdownWhileStoppedChangesNothing) {
    ASSERT_EQ(kr_server_set_application_name("early"), 1);
    kr_shutdown();
    EXPECT_EQ(kr_is_started(), 0);
    EXPECT_STREQ(kr_server_get_application_name(), "early");
    // Started and stopped once, the name goes.
    char buff[64];
    ASSERT_EQ(kr_startup(buff, sizeof buff), 1);
    kr_shutdown();
    EXPECT_EQ(kr_server_get_application_name(), nullptr);
}

TEST_F(KrStartupTest, PlatformIsLinuxWithoutReleaseFileAndGoneAfterShutdown) {
    no_release_files();
    char buff[64];
    EXPECT_EQ(KRSDK_PLATFORM, nullptr);
    ASSERT_EQ(kr_startup(buff, sizeof buff), 1);
    ASSERT_NE(KRSDK_PLATFORM, nullptr);
    EXPECT_STREQ(KRSDK_PLATFORM, "Linux");
    kr_shutdown();
    EXPECT_EQ(KRSDK_PLATFORM, nullptr);
    EXPECT_EQ(kr_is_started(), 0);
}

// A start after a shutdown is an ordinary one: the platform is read afresh.
TEST_F(KrStartupTest, RestartRecomputesThePlatform) {
    no_release_files();
    char buff[64];
    ASSERT_EQ(kr_startup(buff, sizeof buff), 1);
    EXPECT_STREQ(KRSDK_PLATFORM, "Linux");
    kr_shutdown();

    char path[] = "/tmp/kr_startup_release_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char line[] = "Acme Server 7.1 (Tern)\n";
    ASSERT_EQ(write(fd, line, sizeof line - 1), static_cast<ssize_t>(sizeof line - 1));
    close(fd);
    utils_set_release_files_for_test(path, "/nonexistent/redhat-release");
    struct utsname host;
    ASSERT_EQ(uname(&host), 0);

    EXPECT_EQ(kr_startup(buff, sizeof buff), 1);
    ASSERT_NE(KRSDK_PLATFORM, nullptr);
    EXPECT_EQ(std::string(KRSDK_PLATFORM), std::string("Acme Server 7.1 ") + host.machine);
    kr_shutdown();
    unlink(path);
}

TEST_F(KrStartupTest, ApplicationNameSetBeforeStartSurvivesItAndGoesAtShutdown) {
    ASSERT_EQ(kr_server_set_application_name("inventory"), 1);
    char buff[64];
    ASSERT_EQ(kr_startup(buff, sizeof buff), 1);
    EXPECT_STREQ(kr_server_get_application_name(), "inventory");
    EXPECT_STREQ(krsdk_app_name, "inventory");
    kr_shutdown();
    EXPECT_EQ(kr_server_get_application_name(), nullptr);
    // Unset until set again, also across the next start.
    ASSERT_EQ(kr_startup(buff, sizeof buff), 1);
    EXPECT_EQ(kr_server_get_application_name(), nullptr);
}

TEST_F(KrStartupTest, ApplicationNameIsReplacedAndNullRefused) {
    ASSERT_EQ(kr_server_set_application_name("one"), 1);
    ASSERT_EQ(kr_server_set_application_name("two"), 1);
    EXPECT_STREQ(kr_server_get_application_name(), "two");
    errno = 0;
    EXPECT_EQ(kr_server_set_application_name(nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(kr_server_get_application_name(), "two");
    char buff[64];
    ASSERT_EQ(kr_startup(buff, sizeof buff), 1); // so that the shutdown releases it
}

// Running out of memory keeps the name set before.
TEST_F(KrStartupTest, ApplicationNameKeepsTheOldValueWhenMemoryRunsOut) {
    ASSERT_EQ(kr_server_set_application_name("old"), 1);
    sweep_allocation_failures(
        [] {
            errno = 0;
            return kr_server_set_application_name("new");
        },
        [](int result, bool failure_reached) {
            if (failure_reached) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(errno, ENOMEM);
                EXPECT_STREQ(kr_server_get_application_name(), "old");
            } else {
                EXPECT_EQ(result, 1);
                EXPECT_STREQ(kr_server_get_application_name(), "new");
            }
        });
    char buff[64];
    ASSERT_EQ(kr_startup(buff, sizeof buff), 1); // so that the shutdown releases it
}

} // namespace
