#include "utils.h"

#include "alloc_sweep.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string take(char *s) {
    std::string copy = s == nullptr ? "(null)" : s;
    pool_free(pool_default(), s);
    return copy;
}

std::string machine() {
    struct utsname u;
    return uname(&u) == 0 ? u.machine : "";
}

// Release files in a temporary directory, put in place of the system's.
class PlatformInfoTest : public ::testing::Test {
  protected:
    fs::path dir;
    std::string suse, redhat;

    void SetUp() override {
        char pattern[] = "/tmp/kovrel-utils-XXXXXX";
        dir = mkdtemp(pattern);
        suse = (dir / "SuSE-release").string();
        redhat = (dir / "redhat-release").string();
        utils_set_release_files_for_test(suse.c_str(), redhat.c_str());
    }
    void TearDown() override {
        utils_set_release_files_for_test(nullptr, nullptr);
        fs::remove_all(dir);
    }
    static void write(const std::string &file, const char *contents) {
        if (contents != nullptr)
            std::ofstream(file, std::ios::binary) << contents;
    }
};

struct PlatformCase {
    const char *suse;   // null: no such file
    const char *redhat; // null: no such file
    const char *system; // expected before the machine type; null: "Linux" alone
};

TEST_F(PlatformInfoTest, FirstLineOfTheReleaseFileAndTheMachineType) {
    const PlatformCase cases[] = {
        {nullptr, "Red Hat Enterprise Linux release 9.2 (Plow)\nmore\n",
         "Red Hat Enterprise Linux release 9.2"},
        {"SUSE Linux Enterprise Server 15 (x86_64)\nVERSION = 15\n", nullptr,
         "SUSE Linux Enterprise Server 15"},
        {"SUSE Linux Enterprise Server 15 (x86_64)\n", "Red Hat (Plow)\n",
         "SUSE Linux Enterprise Server 15"},
        {nullptr, "Debian GNU/Linux 12\n", "Debian GNU/Linux 12"},
        {nullptr, "Fedora release 39", "Fedora release 39"},
        {nullptr, "Name(Code)\n", "Name(Code)"},
        // " (" at the very start does not cut the line.
        {nullptr, " (odd) name\n", " (odd) name"},
        {nullptr, "Alpha (one) beta (two)\n", "Alpha"},
        {nullptr, nullptr, nullptr},
        // A release file that exists but yields no line: "Linux", even when
        // the other file would.
        {"", "Red Hat (Plow)\n", nullptr},
    };
    for (const PlatformCase &c : cases) {
        fs::remove(suse);
        fs::remove(redhat);
        write(suse, c.suse);
        write(redhat, c.redhat);
        const std::string expected =
            c.system == nullptr ? "Linux" : std::string(c.system) + " " + machine();
        EXPECT_EQ(take(utils_get_platform_info()), expected)
            << (c.suse ? c.suse : "-") << " / " << (c.redhat ? c.redhat : "-");
    }
}

TEST_F(PlatformInfoTest, UnreadableReleaseFileGivesLinux) {
    fs::create_directory(suse); // exists, but reading it fails
    write(redhat, "Red Hat (Plow)\n");
    EXPECT_EQ(take(utils_get_platform_info()), "Linux");
}

TEST_F(PlatformInfoTest, LongFirstLineIsKeptWhole) {
    const std::string name(5000, 'n');
    write(redhat, (name + " (code)\n").c_str());
    EXPECT_EQ(take(utils_get_platform_info()), name + " " + machine());
}

TEST_F(PlatformInfoTest, OutOfMemoryGivesNullWithoutLeaking) {
    const std::string name(1000, 'n');
    for (const char *contents : {"Red Hat Enterprise Linux release 9.2 (Plow)\n", name.c_str()}) {
        write(redhat, contents);
        sweep_allocation_failures([] { return utils_get_platform_info(); },
                                  [](char *info, bool failed) {
                                      EXPECT_EQ(info == nullptr, failed);
                                      pool_free(pool_default(), info);
                                  });
    }
    fs::remove(redhat);
    sweep_allocation_failures([] { return utils_get_platform_info(); },
                              [](char *info, bool failed) {
                                  EXPECT_EQ(info == nullptr, failed);
                                  if (!failed) {
                                      EXPECT_STREQ(info, "Linux");
                                  }
                                  pool_free(pool_default(), info);
                              });
}

std::string first_address(const struct hostent *entry) {
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr)
        return "(none)";
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, entry->h_addr_list[0], text, sizeof text);
}

// Only names that resolve without the network: /etc/hosts and numbers.
TEST(UtilsGethostbynameTest, ResolvesLocalNamesAndNumericAddresses) {
    const struct {
        const char *name;
        const char *address;
    } cases[] = {{"localhost", "127.0.0.1"}, {"127.0.0.1", "127.0.0.1"}, {"10.1.2.3", "10.1.2.3"}};
    for (const auto &c : cases) {
        const struct hostent *entry = utils_gethostbyname(c.name);
        ASSERT_NE(entry, nullptr) << c.name;
        EXPECT_EQ(first_address(entry), c.address) << c.name;
        EXPECT_EQ(entry->h_length, 4);
    }
    EXPECT_EQ(utils_gethostbyname(nullptr), nullptr);
}

TEST(UtilsGethostbynameTest, EachThreadHasItsOwnRecordReusedByItsLaterLookups) {
    std::mutex m;
    std::condition_variable cv;
    int stage = 0;
    const struct hostent *first_in_a = nullptr;
    std::string a_after_b;
    const struct hostent *second_in_a = nullptr;
    const struct hostent *in_b = nullptr;
    std::string b_address;
    std::thread a([&] {
        first_in_a = utils_gethostbyname("127.0.0.1");
        std::unique_lock lock(m);
        stage = 1;
        cv.notify_all();
        cv.wait(lock, [&] { return stage == 2; });
        // b's lookup did not touch a's record.
        a_after_b = first_address(first_in_a);
        second_in_a = utils_gethostbyname("10.9.8.7");
    });
    std::thread b([&] {
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return stage == 1; });
        }
        in_b = utils_gethostbyname("10.1.2.3");
        b_address = first_address(in_b);
        std::lock_guard lock(m);
        stage = 2;
        cv.notify_all();
    });
    a.join();
    b.join();
    ASSERT_NE(first_in_a, nullptr);
    ASSERT_NE(in_b, nullptr);
    EXPECT_NE(first_in_a, in_b);
    EXPECT_EQ(a_after_b, "127.0.0.1");
    EXPECT_EQ(b_address, "10.1.2.3");
    EXPECT_EQ(second_in_a, first_in_a);
}

TEST(UtilsGethostbynameTest, RecordAllocationFailureInANewThreadGivesNull) {
    ASSERT_NE(utils_gethostbyname("127.0.0.1"), nullptr); // the key exists from here on
    sweep_allocation_failures(
        [] {
            std::string address;
            std::thread([&] { address = first_address(utils_gethostbyname("10.1.2.3")); }).join();
            return address;
        },
        [](const std::string &address, bool failed) {
            EXPECT_EQ(address, failed ? "(none)" : "10.1.2.3");
        });
}

TEST(UtilsTest, MicrosecondsFollowTheWallClock) {
    auto wall_us = [] {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000000u +
               static_cast<uint64_t>(ts.tv_nsec) / 1000;
    };
    const uint64_t before = wall_us();
    const uint64_t now = utils_get_microseconds();
    const uint64_t after = wall_us();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

TEST(UtilsTest, SockErrIsTheCurrentErrno) {
    for (int e : {ECONNREFUSED, ETIMEDOUT, 0}) {
        errno = e;
        EXPECT_EQ(utils_get_sock_err(), e);
    }
}

TEST(UtilsTest, Stat64ReportsSizesBeyondFourGigabytes) {
    char pattern[] = "/tmp/kovrel-stat-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    const off_t size = (off_t{5} << 30) + 3;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    struct stat64 st;
    EXPECT_EQ(utils_stat64(pattern, &st), 0);
    EXPECT_EQ(st.st_size, size);
    unlink(pattern);
    errno = 0;
    EXPECT_EQ(utils_stat64(pattern, &st), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
