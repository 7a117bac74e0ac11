#include "syslog.h"

#include "alloc_sweep.h"
#include "child_process.h"
#include "path.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <regex.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The system log, replaced for this program so that tests see every call
// the module makes to it (the fortified variant too).
namespace {
struct syslog_call {
    int priority;
    std::string text;
};
std::vector<syslog_call> syslog_calls;
void record_syslog(int priority, const char *format, va_list ap) {
    char text[8192];
    vsnprintf(text, sizeof text, format, ap);
    syslog_calls.push_back({priority, text});
}
} // namespace

extern "C" void syslog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    record_syslog(priority, format, ap);
    va_end(ap);
}

extern "C" void __syslog_chk(int priority, int, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    record_syslog(priority, format, ap);
    va_end(ap);
}

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void make_sparse(const fs::path &file, off_t size) {
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no newline>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// "[pid:0xthread]: " of the calling thread.
std::string process_field() {
    std::ostringstream s;
    s << "[" << getpid() << ":0x" << std::hex << static_cast<unsigned long>(pthread_self())
      << "]: ";
    return s.str();
}

// Whole-text match of an extended regular expression.
bool matches(const std::string &text, const std::string &pattern) {
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    const bool found = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return found;
}

const char stamp_pattern[] = "^[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$";

// The line as the module writes it, checked exactly past the time stamp.
void expect_line(const std::string &line, const char *ident, const char *label,
                 const std::string &message) {
    ASSERT_GT(line.size(), 15u) << line;
    EXPECT_TRUE(matches(line.substr(0, 15), stamp_pattern)) << line.substr(0, 40);
    const std::string rest =
        " [" + std::string(ident) + ":" + label + "]: " + process_field() + message;
    EXPECT_TRUE(line.substr(15) == rest)
        << "line of " << line.size() << " bytes: " << line.substr(0, 120);
}

// Logging goes to a fresh directory of its own for each test. The echo is
// off: the tests that check it run in child processes with terminals.
class SyslogTest : public ::testing::Test {
  protected:
    fs::path dir;
    fs::path current;

    void SetUp() override {
        char pattern[] = "/tmp/kovrel-syslog-XXXXXX";
        dir = mkdtemp(pattern);
        current = dir / "application.log";
        syslog_force_directory((dir.string() + "/").c_str());
        syslog_echo_to_console(0);
        syslog_calls.clear();
    }
    void TearDown() override {
        syslog_force_directory(nullptr);
        fs::remove_all(dir);
    }
    fs::path copy(int n) const { return dir / ("application-" + std::to_string(n) + ".log"); }
};

TEST_F(SyslogTest, OutOfMemoryReportIsOneDebugLineInTheDocumentedFormat) {
    kovr_log_no_memory("chunk buffer");
    std::ostringstream pattern;
    pattern << "^[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[application:DEBUG\\]: \\["
            << getpid() << ":0x" << std::hex << static_cast<unsigned long>(pthread_self())
            << "\\]: Error: Unable to allocate memory for chunk buffer\\.\n$";
    const std::string text = read_file(current);
    EXPECT_TRUE(matches(text, pattern.str())) << text;
}

TEST_F(SyslogTest, TimeStampIsTheLocalTimeOfTheCall) {
    auto stamp = [](time_t t) {
        struct tm local;
        localtime_r(&t, &local);
        char text[32];
        strftime(text, sizeof text, "%b %d %H:%M:%S", &local);
        return std::string(text);
    };
    const time_t before = time(nullptr);
    kovr_log(3, "now");
    const time_t after = time(nullptr);
    const std::string got = read_file(current).substr(0, 15);
    EXPECT_TRUE(got == stamp(before) || got == stamp(after)) << got;
}

TEST_F(SyslogTest, EveryPriorityGetsItsLabelFromTheLowThreeBits) {
    const char *labels[] = {"EMERG", "ALERT", " CRIT", "ERROR", " WARN", "NOTIC", " INFO", "DEBUG"};
    for (int p = 0; p < 8; ++p)
        EXPECT_STREQ(syslog_priorities[p], labels[p]);
    const int priorities[] = {0, 1, 2, 3, 4, 5, 6, 7, 8 + 3, 16 + 6, (23 << 3) | 7};
    for (int p : priorities)
        kovr_log(p, "priority %d", p);
    const std::vector<std::string> lines = lines_of(read_file(current));
    ASSERT_EQ(lines.size(), std::size(priorities));
    for (size_t i = 0; i < lines.size(); ++i)
        expect_line(lines[i], "application", labels[priorities[i] & 7],
                    "priority " + std::to_string(priorities[i]));
}

TEST_F(SyslogTest, MessagesOfAnyLengthAreWrittenWholeWithExactlyOneNewline) {
    const struct {
        std::string message;
        std::string written;
    } cases[] = {
        {"short", "short"},
        {"", ""},
        {"ends in newline\n", "ends in newline"},
        {std::string(470, 'a'), std::string(470, 'a')}, // message fits, line does not
        {std::string(511, 'b'), std::string(511, 'b')},
        {std::string(512, 'c'), std::string(512, 'c')},
        {std::string(5000, 'd'), std::string(5000, 'd')},
        {std::string(5000, 'e') + "\n", std::string(5000, 'e')},
    };
    for (const auto &c : cases)
        kovr_log(3, "%s", c.message.c_str());
    const std::vector<std::string> lines = lines_of(read_file(current));
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        expect_line(lines[i], "application", "ERROR", cases[i].written);
    }
}

TEST_F(SyslogTest, ArgumentsAreFormattedIntoTheFileLine) {
    const std::string long_arg(3000, 'x');
    kovr_log(6, "%s=%d %s|%c", "count", 42, long_arg.c_str(), 'z');
    kovr_dbglog("dbg %s %d", "value", -7);
    kovr_applog("custom", 4, "to %s", "custom");
    const std::vector<std::string> lines = lines_of(read_file(current));
    ASSERT_EQ(lines.size(), 2u);
    expect_line(lines[0], "application", " INFO", "count=42 " + long_arg + "|z");
    expect_line(lines[1], "application", "DEBUG", "dbg value -7");
    const std::vector<std::string> custom = lines_of(read_file(dir / "custom.log"));
    ASSERT_EQ(custom.size(), 1u);
    expect_line(custom[0], "application", " WARN", "to custom");
}

TEST_F(SyslogTest, DebugSyslogOnlyWritesTheFileOthersAlsoReachTheSystemLog) {
    kovr_syslog(7, "trace %d", 1);
    EXPECT_TRUE(syslog_calls.empty());
    kovr_syslog(15, "trace %d", 2); // level 7 under another facility
    EXPECT_TRUE(syslog_calls.empty());
    const std::string long_text(2000, 'q');
    kovr_syslog(3, "failed %s %s", "here", long_text.c_str());
    kovr_syslog(8 + 4, "warned");
    ASSERT_EQ(syslog_calls.size(), 2u);
    EXPECT_EQ(syslog_calls[0].priority, 3);
    EXPECT_EQ(syslog_calls[0].text, "failed here " + long_text);
    EXPECT_EQ(syslog_calls[1].priority, 12);
    EXPECT_EQ(syslog_calls[1].text, "warned");
    const std::vector<std::string> lines = lines_of(read_file(current));
    ASSERT_EQ(lines.size(), 4u);
    expect_line(lines[0], "application", "DEBUG", "trace 1");
    expect_line(lines[1], "application", "DEBUG", "trace 2");
    expect_line(lines[2], "application", "ERROR", "failed here " + long_text);
    expect_line(lines[3], "application", " WARN", "warned");
}

TEST_F(SyslogTest, LoggingLeavesErrnoAlone) {
    errno = ENOMEM;
    kovr_log_no_memory("first line"); // creates the file: stat failed first
    EXPECT_EQ(errno, ENOMEM);
    syslog_force_directory("/nonexistent/dir/"); // open fails
    errno = EINVAL;
    kovr_log(3, "lost");
    kovr_syslog(3, "lost");
    kovr_dbglog("lost");
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(SyslogTest, AFileThatCannotBeOpenedLosesTheLineSilently) {
    syslog_force_directory((dir.string() + "/missing/").c_str());
    kovr_log(3, "lost");
    kovr_syslog(3, "still to the system log");
    EXPECT_FALSE(fs::exists(dir / "missing"));
    ASSERT_EQ(syslog_calls.size(), 1u);
    EXPECT_EQ(syslog_calls[0].text, "still to the system log");
}

TEST_F(SyslogTest, FileModeIs0666AfterEveryLineWhateverTheUmask) {
    const mode_t saved = umask(022);
    kovr_log(3, "created");
    EXPECT_EQ(fs::status(current).permissions(), static_cast<fs::perms>(0666));
    chmod(current.c_str(), 0600);
    kovr_log(3, "appended");
    EXPECT_EQ(fs::status(current).permissions(), static_cast<fs::perms>(0666));
    syslog_set_file_permissions(0640);
    kovr_log(3, "changed");
    syslog_set_file_permissions(0666);
    umask(saved);
    EXPECT_EQ(fs::status(current).permissions(), static_cast<fs::perms>(0640));
    EXPECT_EQ(lines_of(read_file(current)).size(), 3u);
}

TEST_F(SyslogTest, CurrentFileRotatesOnceItHasReachedSixMillionBytes) {
    const struct {
        off_t size;
        bool rotates;
    } cases[] = {{5999999, false}, {6000000, true}, {6000001, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        fs::remove(copy(0));
        make_sparse(current, c.size);
        kovr_log(3, "next line");
        const std::vector<std::string> tail =
            lines_of(read_file(current).substr(c.rotates ? 0 : c.size));
        ASSERT_EQ(tail.size(), 1u);
        expect_line(tail[0], "application", "ERROR", "next line");
        EXPECT_EQ(fs::exists(copy(0)), c.rotates);
        if (c.rotates)
            EXPECT_EQ(fs::file_size(copy(0)), static_cast<uintmax_t>(c.size));
        else
            EXPECT_GT(fs::file_size(current), static_cast<uintmax_t>(c.size));
    }
}

TEST_F(SyslogTest, RotationShiftsTheCopiesAndDropsTheOldest) {
    std::ofstream(current) << "current";
    std::ofstream(copy(0)) << "zero";
    std::ofstream(copy(1)) << "one";
    std::ofstream(copy(2)) << "two";
    char filename[256];
    const std::string d = dir.string() + "/";
    // Below the limit nothing moves.
    EXPECT_TRUE(syslog_rotate(d.c_str(), "application", ".log", 8, 3, filename, sizeof filename));
    EXPECT_EQ(std::string(filename), current.string());
    EXPECT_EQ(read_file(current), "current");
    EXPECT_EQ(read_file(copy(0)), "zero");

    EXPECT_TRUE(syslog_rotate(d.c_str(), "application", ".log", 7, 3, filename, sizeof filename));
    EXPECT_EQ(std::string(filename), current.string());
    EXPECT_FALSE(fs::exists(current));
    EXPECT_EQ(read_file(copy(0)), "current");
    EXPECT_EQ(read_file(copy(1)), "zero");
    EXPECT_EQ(read_file(copy(2)), "one");
    EXPECT_FALSE(fs::exists(copy(3)));
}

TEST_F(SyslogTest, RotationWithOneCopyKeepsOnlyCopyZero) {
    std::ofstream(current) << "current";
    std::ofstream(copy(0)) << "zero";
    std::ofstream(copy(1)) << "unrelated";
    char filename[256];
    const std::string d = dir.string() + "/";
    EXPECT_TRUE(syslog_rotate(d.c_str(), "application", ".log", 1, 1, filename, sizeof filename));
    EXPECT_EQ(read_file(copy(0)), "current");
    EXPECT_EQ(read_file(copy(1)), "unrelated");
    EXPECT_FALSE(fs::exists(current));
}

TEST_F(SyslogTest, RotationWithMissingCopiesStillMovesTheCurrentFile) {
    std::ofstream(current) << "current";
    std::ofstream(copy(1)) << "one";
    char filename[256];
    const std::string d = dir.string() + "/";
    EXPECT_TRUE(syslog_rotate(d.c_str(), "application", ".log", 1, 3, filename, sizeof filename));
    EXPECT_EQ(read_file(copy(0)), "current");
    EXPECT_FALSE(fs::exists(copy(1)));
    EXPECT_EQ(read_file(copy(2)), "one");
}

TEST_F(SyslogTest, ForcedDirectoryReplacesTheGivenOne) {
    char filename[256];
    EXPECT_TRUE(syslog_filename("/elsewhere/", "base", ".sfx", filename, sizeof filename));
    EXPECT_EQ(std::string(filename), dir.string() + "/base.sfx");
    syslog_force_directory(nullptr);
    EXPECT_TRUE(syslog_filename("/elsewhere/", "base", ".sfx", filename, sizeof filename));
    EXPECT_STREQ(filename, "/elsewhere/base.sfx");
}

// Names cut at 255 characters could be other files: nothing is touched.
TEST_F(SyslogTest, PathsThatDoNotFitTouchNoFile) {
    syslog_force_directory(nullptr);
    const std::string base = dir.string() + "/";
    // The current name does not fit: a file at the cut name stays as it is.
    {
        const std::string long_dir = base + std::string(300 - base.size(), 'x') + "/";
        const std::string cut = (long_dir + "application.log").substr(0, 255);
        std::ofstream(cut) << "unrelated";
        char filename[256];
        EXPECT_FALSE(syslog_rotate(long_dir.c_str(), "application", ".log", 1, 3, filename,
                                   sizeof filename));
        EXPECT_EQ(read_file(cut), "unrelated");
        syslog_force_directory(long_dir.c_str());
        kovr_log(3, "dropped");
        syslog_force_directory(nullptr);
        EXPECT_EQ(read_file(cut), "unrelated");
        fs::remove(cut);
    }
    // The current name fits (255 characters), the copies' names do not.
    {
        const std::string fitting_dir = base + std::string(255 - base.size() - 15 - 1, 'y') + "/";
        const std::string current_name = fitting_dir + "application.log";
        ASSERT_EQ(current_name.size(), 255u);
        fs::create_directories(fitting_dir);
        std::ofstream(current_name) << "current";
        const std::string cut_copy = (fitting_dir + "application-0.log").substr(0, 255);
        std::ofstream(cut_copy) << "unrelated";
        char filename[256];
        EXPECT_TRUE(syslog_rotate(fitting_dir.c_str(), "application", ".log", 1, 3, filename,
                                  sizeof filename));
        EXPECT_EQ(std::string(filename), current_name);
        EXPECT_EQ(read_file(current_name), "current");
        EXPECT_EQ(read_file(cut_copy), "unrelated");
    }
}

TEST_F(SyslogTest, IdentityNamesTheFileAndTheLineUntilReset) {
    kovr_openlog("MyApp", 0, 0);
    kovr_log(3, "one");
    kovr_openlog("myapp", 0, 0); // same ignoring case: the first spelling stays
    kovr_log(3, "two");
    kovr_openlog(nullptr, 0, 0);
    kovr_log(3, "three");
    kovr_closelog();
    const std::vector<std::string> mine = lines_of(read_file(dir / "MyApp.log"));
    ASSERT_EQ(mine.size(), 2u);
    expect_line(mine[0], "MyApp", "ERROR", "one");
    expect_line(mine[1], "MyApp", "ERROR", "two");
    EXPECT_FALSE(fs::exists(dir / "myapp.log"));
    const std::vector<std::string> plain = lines_of(read_file(current));
    ASSERT_EQ(plain.size(), 1u);
    expect_line(plain[0], "application", "ERROR", "three");
}

std::string format_with(char *buf, size_t bufsz, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
std::string format_with(char *buf, size_t bufsz, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *text = syslog_format(buf, bufsz, format, ap);
    va_end(ap);
    const std::string result =
        text == nullptr ? "(null)" : (text == buf ? "buf:" : "heap:") + std::string(text);
    if (text != buf)
        pool_free(pool_default(), text);
    return result;
}

TEST(SyslogFormatTest, UsesTheBufferWhenTheTextFitsAndTheHeapOtherwise) {
    char buf[16];
    EXPECT_EQ(format_with(buf, sizeof buf, "%s-%d", "abc", 12345678), "buf:abc-12345678");
    EXPECT_EQ(format_with(buf, sizeof buf, "%s-%d", "abcdefg", 12345678), "heap:abcdefg-12345678");
    EXPECT_EQ(format_with(buf, sizeof buf, "%s", "exactly 15 char"), "buf:exactly 15 char");
    EXPECT_EQ(format_with(buf, sizeof buf, "%s", "exactly 16 chars"), "heap:exactly 16 chars");
    EXPECT_EQ(format_with(nullptr, 0, "%d", 7), "heap:7");
}

TEST(SyslogFormatTest, LongMessageGivesNullWhenItsAllocationFailsWithoutLeaking) {
    const std::string long_text(1000, 'L');
    char buf[512];
    sweep_allocation_failures(
        [&] { return format_with(buf, sizeof buf, "%s:%d", long_text.c_str(), 5); },
        [&](const std::string &result, bool failed) {
            EXPECT_EQ(result, failed ? "(null)" : "heap:" + long_text + ":5");
        });
    sweep_allocation_failures([&] { return format_with(buf, sizeof buf, "%s", "short"); },
                              [](const std::string &result, bool failed) {
                                  EXPECT_FALSE(failed); // no allocation at all
                                  EXPECT_EQ(result, "buf:short");
                              });
}

std::string app_format_with(char *buf, size_t bufsz, int priority, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
std::string app_format_with(char *buf, size_t bufsz, int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *line = syslog_app_format(buf, bufsz, priority, format, ap);
    va_end(ap);
    const std::string result =
        line == nullptr ? "(null)" : (line == buf ? "buf:" : "heap:") + std::string(line);
    if (line != buf)
        pool_free(pool_default(), line);
    return result;
}

TEST(SyslogAppFormatTest, BuildsTheLineInTheBufferOrOnTheHeap) {
    const struct {
        std::string message;
        const char *where;
    } cases[] = {
        {"fits", "buf:"}, {std::string(470, 'm'), "heap:"}, {std::string(600, 'n'), "heap:"}};
    for (const auto &c : cases) {
        char buf[512];
        const std::string got = app_format_with(buf, sizeof buf, 8 + 6, "%s", c.message.c_str());
        ASSERT_EQ(got.rfind(c.where, 0), 0u) << got.substr(0, 40);
        expect_line(got.substr(strlen(c.where)), "application", " INFO", c.message);
    }
}

TEST(SyslogAppFormatTest, NullWhenAnAllocationFailsWithoutLeaking) {
    for (size_t length : {size_t{470}, size_t{1000}}) {
        const std::string message(length, 'F');
        char buf[512];
        sweep_allocation_failures(
            [&] { return app_format_with(buf, sizeof buf, 3, "%s", message.c_str()); },
            [&](const std::string &result, bool failed) {
                if (failed) {
                    EXPECT_EQ(result, "(null)");
                } else {
                    ASSERT_EQ(result.rfind("heap:", 0), 0u);
                    expect_line(result.substr(5), "application", "ERROR", message);
                }
            });
    }
}

TEST_F(SyslogTest, FailedAllocationsLeaveOnlyWholeLines) {
    const std::string message(2000, 'W');
    kovr_log(3, "warm up"); // the log directory's name is made once
    sweep_allocation_failures(
        [&] {
            kovr_log(3, "%s", message.c_str());
            return 0;
        },
        [](int, bool) {});
    const std::vector<std::string> lines = lines_of(read_file(current));
    ASSERT_EQ(lines.size(), 2u); // the failing attempts wrote nothing
    expect_line(lines[0], "application", "ERROR", "warm up");
    expect_line(lines[1], "application", "ERROR", message);
}

TEST_F(SyslogTest, ConcurrentWritersNeverInterleaveWithinALine) {
    constexpr int threads = 4, per_thread = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            const std::string body(3000 + t * 500, static_cast<char>('a' + t));
            for (int i = 0; i < per_thread; ++i)
                kovr_log(3, "%d:%s", t, body.c_str());
        });
    for (auto &w : writers)
        w.join();
    const std::vector<std::string> lines = lines_of(read_file(current));
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * per_thread));
    for (const std::string &line : lines) {
        const size_t colon = line.rfind("]: ");
        ASSERT_NE(colon, std::string::npos);
        const std::string message = line.substr(colon + 3);
        const int t = message[0] - '0';
        ASSERT_TRUE(t >= 0 && t < threads) << line.substr(0, 80);
        EXPECT_EQ(message, std::to_string(t) + ":" +
                               std::string(3000 + t * 500, static_cast<char>('a' + t)));
    }
}

// ---- Console echo, in child processes whose standard streams are terminals or pipes.

// A stream of the child: a raw terminal or a pipe, on descriptor `fd`.
struct ChildStream {
    int reader = -1;

    void attach(int fd, bool terminal) {
        int writer;
        if (terminal) {
            if (openpty(&reader, &writer, nullptr, nullptr, nullptr) != 0)
                _exit(3);
            struct termios raw;
            tcgetattr(writer, &raw);
            cfmakeraw(&raw); // bytes pass unchanged ("\n" stays "\n")
            tcsetattr(writer, TCSANOW, &raw);
        } else {
            int p[2];
            if (pipe(p) != 0)
                _exit(3);
            reader = p[0];
            writer = p[1];
        }
        dup2(writer, fd);
        close(writer);
    }

    // Everything written to `fd` so far: a marker is written after it and
    // read back, so that nothing can still be on its way.
    std::string drain(int fd) const {
        static const char marker[] = "<end-of-echo>";
        if (write(fd, marker, sizeof marker - 1) < 0)
            return "write failed";
        std::string got;
        char chunk[8192];
        while (got.find(marker) == std::string::npos) {
            struct pollfd p = {reader, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                return got + "<timed out>";
            const ssize_t n = read(reader, chunk, sizeof chunk);
            if (n <= 0)
                return got + "<read failed>";
            got.append(chunk, static_cast<size_t>(n));
        }
        return got.substr(0, got.find(marker));
    }
};

enum class Entry { log, dbglog, syslog };

struct EchoCase {
    const char *name;
    Entry entry;
    int priority;
    const char *message;
    const char *on_stdout;
    const char *on_stderr;
};

void PrintTo(const EchoCase &c, std::ostream *os) {
    *os << c.name;
}

class SyslogEchoTest : public SyslogTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(SyslogEchoTest, MessageGoesToTheTerminalOfItsLevel) {
    const EchoCase &c = GetParam();
    const std::vector<std::string> got = run_in_child([&] {
        ChildStream out, err;
        out.attach(STDOUT_FILENO, true);
        err.attach(STDERR_FILENO, true);
        syslog_echo_to_console(1);
        const std::string big(3000, 'B');
        switch (c.entry) {
        case Entry::log:
            kovr_log(c.priority, c.message, "arg", big.c_str());
            break;
        case Entry::dbglog:
            kovr_dbglog(c.message, "arg", big.c_str());
            break;
        case Entry::syslog:
            kovr_syslog(c.priority, c.message, "arg", big.c_str());
            break;
        }
        return std::vector<std::string>{out.drain(STDOUT_FILENO), err.drain(STDERR_FILENO)};
    });
    auto expand = [](const char *text) {
        std::string s = text;
        for (size_t at; (at = s.find("<big>")) != std::string::npos;)
            s.replace(at, 5, std::string(3000, 'B'));
        return s;
    };
    EXPECT_EQ(got, (std::vector<std::string>{expand(c.on_stdout), expand(c.on_stderr)}));
    // The file got the same text, whatever the echo did with the arguments.
    const std::vector<std::string> lines = lines_of(read_file(current));
    ASSERT_EQ(lines.size(), 1u);
    const std::string file_text = lines[0].substr(lines[0].rfind("]: ") + 3);
    const std::string echoed = std::string(c.on_stdout) + c.on_stderr;
    if (!echoed.empty()) {
        EXPECT_EQ(file_text + "\n", expand(echoed.c_str()));
    }
}

// The format takes "arg" and a 3,000-character string (shown as <big>).
const EchoCase echo_cases[] = {
    {"NoticeToStdout", Entry::log, 5, "notice %s", "notice arg\n", ""},
    {"InfoToStdout", Entry::log, 6, "info %s %.3s", "info arg BBB\n", ""},
    {"ErrorToStderr", Entry::log, 3, "error %s", "", "error arg\n"},
    {"DebugToStderr", Entry::log, 7, "debug %s", "", "debug arg\n"},
    {"EmergToStderr", Entry::log, 0, "emerg %s", "", "emerg arg\n"},
    {"WarnToStderr", Entry::log, 4, "warn %s", "", "warn arg\n"},
    {"HighInfoToStdout", Entry::log, 8 + 6, "info %s", "info arg\n", ""},
    {"HighErrorToStderr", Entry::log, 8 + 3, "error %s", "", "error arg\n"},
    {"NoSecondNewline", Entry::log, 3, "done %s\n", "", "done arg\n"},
    {"LongMessageWhole", Entry::log, 6, "%s %s", "arg <big>\n", ""},
    {"DbglogNotEchoed", Entry::dbglog, 7, "dbg %s", "", ""},
    {"SyslogNotEchoed", Entry::syslog, 3, "sys %s", "", ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, SyslogEchoTest, ::testing::ValuesIn(echo_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SyslogTest, EchoStopsForGoodOnceItsStreamIsNoTerminal) {
    const std::vector<std::string> got = run_in_child([] {
        ChildStream out, err;
        out.attach(STDOUT_FILENO, true);
        err.attach(STDERR_FILENO, false);
        syslog_echo_to_console(1);
        kovr_log(3, "error to a pipe");
        kovr_log(6, "info while stdout is a terminal");
        const std::string out_text = out.drain(STDOUT_FILENO);
        const std::string err_text = err.drain(STDERR_FILENO);
        // Even with a terminal on stderr again, the echo stays off.
        ChildStream err_again;
        err_again.attach(STDERR_FILENO, true);
        kovr_log(3, "error to a terminal");
        return std::vector<std::string>{out_text, err_text, err_again.drain(STDERR_FILENO)};
    });
    EXPECT_EQ(got, (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(lines_of(read_file(current)).size(), 3u);
}

TEST_F(SyslogTest, EchoSwitchedOffStaysOffUntilSwitchedOn) {
    const std::vector<std::string> got = run_in_child([] {
        ChildStream err;
        err.attach(STDERR_FILENO, true);
        syslog_echo_to_console(0);
        kovr_log(3, "quiet");
        const std::string quiet = err.drain(STDERR_FILENO);
        syslog_echo_to_console(1);
        kovr_log(3, "loud");
        return std::vector<std::string>{quiet, err.drain(STDERR_FILENO)};
    });
    EXPECT_EQ(got, (std::vector<std::string>{"", "loud\n"}));
}

// Without a forced directory the log lives in the install tree's log directory.
TEST(SyslogInstallTreeTest, LinesGoToTheLogDirectoryOfKovrelDir) {
    char pattern[] = "/tmp/kovrel-tree-XXXXXX";
    const fs::path top = mkdtemp(pattern);
    fs::create_directory(top / "log");
    const std::vector<std::string> got = run_in_child([&] {
        syslog_echo_to_console(0);
        setenv("KOVREL_DIR", top.c_str(), 1);
        const mode_t saved = umask(077);
        path_init(nullptr);
        kovr_log_no_memory("chunk buffer");
        umask(saved);
        return std::vector<std::string>{path_to(Path_Log)};
    });
    EXPECT_EQ(got, std::vector<std::string>{top.string() + "/log/"});
    const fs::path file = top / "log/application.log";
    const std::vector<std::string> lines = lines_of(read_file(file));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" [application:DEBUG]: ["), std::string::npos);
    EXPECT_EQ(lines[0].substr(lines[0].rfind("]: ") + 3),
              "Error: Unable to allocate memory for chunk buffer.");
    EXPECT_EQ(fs::status(file).permissions(), static_cast<fs::perms>(0666));
    fs::remove_all(top);
}

} // namespace
