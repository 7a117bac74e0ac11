#include "str.h"

#include "alloc_sweep.h"
#include "pool.h"
#include "syslog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <regex.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct PoolString {
    void operator()(char *s) const { pool_free(pool_default(), s); }
};
using Owned = std::unique_ptr<char, PoolString>;

std::vector<std::string> pieces_of(array_t array) {
    std::vector<std::string> pieces;
    const array_item_t end = array_null(array);
    array_iter_t iter;
    for (array_item_t it = array_first(array, &iter); it != end; it = array_next(array, &iter))
        pieces.emplace_back(static_cast<const char *>(it));
    return pieces;
}

TEST(StrEnsure, AllocatesGrowsOrLeavesTheBuffer) {
    char *s = nullptr;
    size_t size = 0;
    str_ensure(&s, &size, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(s, "");

    strcpy(s, "abc");
    char *const before = s;
    str_ensure(&s, &size, 2); // smaller than the capacity: nothing changes
    EXPECT_EQ(s, before);
    EXPECT_EQ(size, 4u);

    str_ensure(&s, &size, 100);
    EXPECT_EQ(size, 101u);
    EXPECT_STREQ(s, "abc");
    pool_free(pool_default(), s);
}

// A failed growth releases the buffer (a failed realloc would otherwise leave
// the old block unreachable) and leaves a consistent null/0 pair.
TEST(StrEnsure, FailureReleasesTheBuffer) {
    char *s = pstrdup(pool_default(), "abc");
    size_t size = 4;
    pool_test_fail_nth(1);
    str_ensure(&s, &size, 100);
    pool_test_fail_nth(0);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(size, 0u);
}

// Capacities follow from the 4,097-byte start, doubling, and one byte that
// always stays spare besides the NUL.
TEST(StrAppend, FormatsWholeTextsAndDoublesTheCapacity) {
    const struct {
        size_t length;
        size_t capacity;
    } cases[] = {{0, 4097}, {10, 4097}, {4095, 4097}, {4096, 8194}, {10000, 16388}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 'x');
        char *s = nullptr;
        size_t size = 0;
        ASSERT_NE(str_append(&s, &size, "%s", text.c_str()), nullptr);
        EXPECT_EQ(s, text);
        EXPECT_EQ(size, c.capacity);
        pool_free(pool_default(), s);
    }
}

TEST(StrAppend, AppendsToExistingText) {
    char *s = nullptr;
    size_t size = 0;
    str_ensure(&s, &size, 3);
    strcpy(s, "abc");
    ASSERT_EQ(str_append(&s, &size, "%s%d", "de", 42), s);
    EXPECT_STREQ(s, "abcde42");
    EXPECT_EQ(size, 4097u);

    // Several retries, each formatting every argument again.
    const std::string long_text(6000, 'y');
    ASSERT_NE(str_append(&s, &size, "[%s|%d|%s]", long_text.c_str(), 7, "end"), nullptr);
    EXPECT_EQ(s, "abcde42[" + long_text + "|7|end]");
    EXPECT_EQ(size, 8194u);
    pool_free(pool_default(), s);
}

TEST(StrSprintf, FormatsIntoANewString) {
    const struct {
        std::string expected;
        Owned result;
    } cases[] = {
        {"", Owned(str_sprintf("%s", ""))},
        {"n=5 s=abc", Owned(str_sprintf("n=%d s=%s", 5, "abc"))},
        {std::string(10000, 'z') + "!", Owned(str_sprintf("%s!", std::string(10000, 'z').c_str()))},
    };
    for (const auto &c : cases) {
        ASSERT_NE(c.result, nullptr);
        EXPECT_EQ(c.result.get(), c.expected);
    }
}

// A conversion the C library rejects (a wide character the C locale cannot
// represent) fails instead of doubling the buffer until memory runs out; the
// caller's buffer is released as for any failure.
TEST(StrAppend, ConversionErrorFailsAndReleasesTheBuffer) {
    const wchar_t unconvertible[] = {static_cast<wchar_t>(0x20AC), 0};
    EXPECT_EQ(Owned(str_sprintf("%ls", unconvertible)), nullptr);

    char *s = pstrdup(pool_default(), "abc");
    size_t size = 4;
    EXPECT_EQ(str_append(&s, &size, "%ls", unconvertible), nullptr);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(StrCat, ConcatenatesUpToTheNullArgument) {
    const struct {
        const char *a, *b, *c;
        const char *expected;
    } cases[] = {
        {"a", "bc", nullptr, "abc"}, {"a", nullptr, "ignored", "a"},    {"", "", "", ""},
        {"x", "", "yz", "xyz"},      {nullptr, "ignored", nullptr, ""},
    };
    for (const auto &c : cases) {
        Owned result(str_cat(c.a, c.b, c.c, nullptr));
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result.get(), c.expected);
    }
}

TEST(StrSplit, SplitsAtMatches) {
    using Pieces = std::vector<std::string>;
    const struct {
        const char *text;
        const char *pattern;
        int limit;
        Pieces expected;
    } cases[] = {
        {"a  b\tc", nullptr, 0, {"a", "b", "c"}},
        {" a b ", nullptr, 0, {"a", "b"}},
        {"a b c", nullptr, 2, {"a", "b c"}},
        {"a b c", nullptr, 1, {"a b c"}},
        {"a b c", nullptr, -1, {"a", "b", "c"}},
        {"a,,b", ",", 0, {"a", "", "b"}},
        {",,a", ",", 0, {"", "a"}}, // only the first leading separator is skipped
        {"", nullptr, 0, {}},
        {"abc", nullptr, 0, {"abc"}},
        {"aXbxc", "x", 0, {"a", "b", "c"}}, // matching ignores case
        {"a1b22c", "[0-9]+", 0, {"a", "b", "c"}},
        // A pattern that can match the empty string ends the scan there.
        {"ab", "x*", 0, {"ab"}},
        {"xxab", "x*", 0, {"ab"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "' pattern " +
                     (c.pattern ? c.pattern : "(default)") + " limit " + std::to_string(c.limit));
        array_t pieces = str_split(c.text, c.pattern, c.limit);
        ASSERT_NE(pieces, nullptr);
        EXPECT_EQ(pieces_of(pieces), c.expected);
        array_delete(pieces); // frees the pieces too
    }
}

TEST(StrSplit, FailsOnNullTextOrInvalidPattern) {
    EXPECT_EQ(str_split(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(str_split("a(b", "(", 0), nullptr);
}

TEST(StrReplace, ReplacesEveryMatchLiterally) {
    const std::string many_x(3000, 'x');
    const std::string many_y(6000, 'y');
    const struct {
        std::string text;
        const char *pattern;
        const char *replacement;
        std::string expected;
    } cases[] = {
        {"a&LT;b", "&lt;", "<", "a<b"},
        {"abc", "q", "z", "abc"},
        {"", "q", "z", ""},
        {"a.b.c", "\\.", "--", "a--b--c"},
        {"abc", "(b)", "[\\1%s&]", "a[\\1%s&]c"}, // no back-references, no formatting
        {"abab", "b", "", "aa"},
        {"aaa", "^a", "b", "aaa"}, // "^" and "$" match nowhere
        {"aaa", "a$", "b", "aaa"},
        {many_x, "x", "yy", many_y},
        {"ab", "x*", "-", "ab"}, // an empty match ends the scan
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20) + " / " + c.pattern);
        Owned result(str_replace(c.text.c_str(), c.pattern, c.replacement));
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result.get(), c.expected);
        EXPECT_NE(static_cast<const void *>(result.get()),
                  static_cast<const void *>(c.text.c_str()));
    }
}

TEST(StrReplace, FailsOnNullArgumentOrInvalidPattern) {
    const struct {
        const char *text, *pattern, *replacement;
    } cases[] = {
        {nullptr, "a", "b"},
        {"a", nullptr, "b"},
        {"a", "a", nullptr},
        {"a", "a[", "b"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Owned(str_replace(c.text, c.pattern, c.replacement)), nullptr);
}

// Every allocating call returns null when memory runs out and leaks nothing
// (the sanitizer build's leak checker watches the sweep).
template <typename Call> void sweep_string_result(Call call, const std::string &expected) {
    sweep_allocation_failures([&] { return Owned(call()); },
                              [&](const Owned &result, bool failure_reached) {
                                  if (failure_reached)
                                      EXPECT_EQ(result, nullptr);
                                  else
                                      ASSERT_NE(result, nullptr);
                                  if (result) {
                                      EXPECT_EQ(result.get(), expected);
                                  }
                              });
}

TEST(StrAllocationFailure, StringResultsBecomeNull) {
    const std::string long_text(10000, 'q');
    sweep_string_result([] { return str_cat("a", "bc", nullptr); }, "abc");
    sweep_string_result([] { return str_sprintf("%d-%s", 1, "x"); }, "1-x");
    sweep_string_result([&] { return str_sprintf("%s", long_text.c_str()); }, long_text);
    sweep_string_result([] { return str_replace("a&lt;b&lt;", "&lt;", "<"); }, "a<b<");
    sweep_string_result([&] { return str_replace(long_text.c_str(), "q", "rr"); },
                        std::string(20000, 'r'));
}

// A failed append releases the caller's buffer and resets both variables.
// (The buffer is made before the failure switch is armed, so the sweep is
// written out here.)
TEST(StrAllocationFailure, AppendReleasesTheBuffer) {
    const std::string long_text(10000, 'q');
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        char *s = pstrdup(pool_default(), "abc");
        size_t size = 4;
        pool_test_fail_nth(n);
        char *result = str_append(&s, &size, "%s", long_text.c_str());
        const bool failure_reached = !pool_test_fail_pending();
        pool_test_fail_nth(0);
        if (!failure_reached) {
            EXPECT_EQ(result, s);
            EXPECT_EQ(s, "abc" + long_text);
            pool_free(pool_default(), s);
            break;
        }
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(size, 0u);
    }
}

TEST(StrAllocationFailure, SplitBecomesNull) {
    sweep_allocation_failures(
        [] { return str_split(" a b,c  d ", "[ ,]+", 0); },
        [](array_t pieces, bool failure_reached) {
            if (failure_reached)
                EXPECT_EQ(pieces, nullptr);
            else
                ASSERT_NE(pieces, nullptr);
            if (pieces != nullptr) {
                EXPECT_EQ(pieces_of(pieces), (std::vector<std::string>{"a", "b", "c", "d"}));
                array_delete(pieces);
            }
        });
}

// Sends the application log to a private directory for the test's duration.
class StrLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/str_test_log_XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        syslog_force_directory((dir_ + "/").c_str());
    }
    void TearDown() override {
        syslog_force_directory(nullptr);
        for (const std::string &name : files())
            unlink((dir_ + "/" + name).c_str());
        rmdir(dir_.c_str());
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        if (DIR *d = opendir(dir_.c_str())) {
            while (const dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    names.emplace_back(e->d_name);
            closedir(d);
        }
        return names;
    }
    // The log line holding `message`, or "" when there is none.
    std::string line_with(const std::string &message) const {
        for (const std::string &name : files()) {
            std::ifstream in(dir_ + "/" + name);
            for (std::string line; std::getline(in, line);)
                if (line.find(message) != std::string::npos)
                    return line;
        }
        return "";
    }
    std::string dir_;
};

TEST_F(StrLogTest, InvalidPatternIsLoggedAtError) {
    // The expected text comes from the C library's own compiler of the pattern.
    regex_t re;
    const int rc = regcomp(&re, "a[", REG_EXTENDED | REG_ICASE);
    ASSERT_NE(rc, 0);
    char message[256];
    regerror(rc, &re, message, sizeof message);
    std::ostringstream expected;
    expected << "regcomp failed: " << rc << ": " << message;

    EXPECT_EQ(str_split("a", "a[", 0), nullptr);
    const std::string line = line_with(expected.str());
    ASSERT_NE(line, "");
    EXPECT_NE(line.find(syslog_priorities[3]), std::string::npos) << line;
}

TEST_F(StrLogTest, FailedGrowthOfTheBufferIsLogged) {
    char *s = nullptr;
    size_t size = 0;
    str_ensure(&s, &size, 4096);
    ASSERT_NE(s, nullptr);
    const std::string long_text(5000, 'w');
    pool_test_fail_nth(1);
    EXPECT_EQ(str_append(&s, &size, "%s", long_text.c_str()), nullptr);
    pool_test_fail_nth(0);
    EXPECT_EQ(s, nullptr);
    const std::string line = line_with("Error: Unable to allocate memory for str_vappend realloc.");
    ASSERT_NE(line, "");
    EXPECT_NE(line.find(syslog_priorities[7]), std::string::npos) << line;
}

} // namespace
