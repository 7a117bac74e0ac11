#include "kovrel_rand.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr size_t block_size = 1024;
constexpr size_t child_sample_size = 64;

// What a freshly started copy of this program reports when run as a child:
// the time of day just before and just after its first read, and that read.
struct ChildReport {
    int64_t before_us;
    int64_t after_us;
    uint8_t bytes[child_sample_size];
};

int64_t now_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// In the child the generator must be untouched, so the report is made before
// GoogleTest starts and the process ends without running any test.
const bool child_reported = [] {
    if (getenv("KOVREL_RAND_TEST_CHILD") == nullptr)
        return false;
    ChildReport report;
    report.before_us = now_us();
    kovrel_rand_bytes(report.bytes, sizeof report.bytes);
    report.after_us = now_us();
    const bool written = write(STDOUT_FILENO, &report, sizeof report) == sizeof report;
    _exit(written ? 0 : 1);
}();

// Runs a fresh copy of this test program and collects its report.
ChildReport run_fresh_process() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; ++e)
        env.push_back(*e);
    char child_flag[] = "KOVREL_RAND_TEST_CHILD=1";
    env.push_back(child_flag);
    env.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char *argv[] = {self, nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, self, &actions, nullptr, argv, env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    ChildReport report{};
    size_t got = 0;
    auto *dst = reinterpret_cast<char *>(&report);
    for (ssize_t n; got < sizeof report && (n = read(fds[0], dst + got, sizeof report - got)) > 0;)
        got += static_cast<size_t>(n);
    close(fds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(got, sizeof report);
    return report;
}

// Published ISAAC reference output for an all-zero seed: its first 16 words,
// which are our second block (bytes 1,024 on), and its last word, which ends
// our third block.
constexpr std::array<uint32_t, 16> reference_words = {
    0xf650e4c8, 0xe448e96d, 0x98db2fb4, 0xf5fad54f, 0x433f1afb, 0xedec154a, 0xd8370487, 0x46ca4f9a,
    0x5de3743e, 0x88381097, 0xf1d444eb, 0x823cedb6, 0x6a83e1e0, 0x4a5f6355, 0xc7442433, 0x25890e2e};
constexpr size_t reference_words_at = 1024;
constexpr uint32_t reference_last_word = 0x4bb5af29;
constexpr size_t reference_last_word_at = 3 * block_size - 4;

// Words as the stream yields them: in memory order, least significant byte first.
std::vector<uint8_t> stream_bytes(const uint32_t *words, size_t n) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i)
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<uint8_t>(words[i] >> shift));
    return out;
}

void seed_with_zeros() {
    const uint32_t seed[256] = {};
    kovrel_rand_seed_for_test(seed);
}

std::vector<uint8_t> read_in_pieces(const std::vector<size_t> &pieces) {
    std::vector<uint8_t> out(std::accumulate(pieces.begin(), pieces.end(), size_t{0}));
    size_t at = 0;
    for (size_t n : pieces) {
        kovrel_rand_bytes(out.data() + at, n);
        at += n;
    }
    return out;
}

void expect_reference_output(const std::vector<uint8_t> &stream) {
    ASSERT_GE(stream.size(), 3 * block_size);
    const auto first = stream_bytes(reference_words.data(), reference_words.size());
    EXPECT_EQ(std::vector<uint8_t>(stream.begin() + reference_words_at,
                                   stream.begin() + reference_words_at + first.size()),
              first);
    EXPECT_EQ(std::vector<uint8_t>(stream.begin() + reference_last_word_at,
                                   stream.begin() + reference_last_word_at + 4),
              stream_bytes(&reference_last_word, 1));
}

TEST(KovrelRand, WordsAreReadInMemoryOrder) {
    const uint32_t word = 0xf650e4c8;
    EXPECT_EQ(stream_bytes(&word, 1), (std::vector<uint8_t>{0xc8, 0xe4, 0x50, 0xf6}));
}

struct PiecesCase {
    const char *name;
    std::vector<size_t> pieces; // 3,072 bytes in all
};
void PrintTo(const PiecesCase &c, std::ostream *os) {
    *os << c.name;
}

class KovrelRandPieces : public ::testing::TestWithParam<PiecesCase> {};

// However the reads are cut, the zero-seeded stream carries the published
// output at its place, takes exactly three blocks, and is the same stream.
TEST_P(KovrelRandPieces, ZeroSeedYieldsTheReferenceOutput) {
    seed_with_zeros();
    const std::vector<uint8_t> whole = read_in_pieces({3 * block_size});

    seed_with_zeros();
    const uint64_t generations = kovrel_rand_generation_count_for_test();
    const std::vector<uint8_t> stream = read_in_pieces(GetParam().pieces);
    EXPECT_EQ(kovrel_rand_generation_count_for_test() - generations, 3u);
    expect_reference_output(stream);
    EXPECT_EQ(stream, whole);
}

std::vector<size_t> byte_by_byte() {
    return std::vector<size_t>(3 * block_size, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, KovrelRandPieces,
    ::testing::Values(PiecesCase{"OneRead", {3 * block_size}},
                      PiecesCase{"ByteByByte", byte_by_byte()},
                      PiecesCase{"WholeBlocksAndEmptyReads", {0, 1024, 0, 1024, 0, 1024, 0}},
                      PiecesCase{"AcrossBoundaries", {1023, 2, 1022, 1, 1, 1023}},
                      PiecesCase{"OddSizes", {7, 1500, 333, 1, 1231}},
                      PiecesCase{"BlockPlusOneThenRest", {1025, 2047}}),
    [](const auto &info) { return std::string(info.param.name); });

struct GenerationCase {
    const char *name;
    std::vector<size_t> pieces;
    uint64_t generations;
};
void PrintTo(const GenerationCase &c, std::ostream *os) {
    *os << c.name;
}

class KovrelRandGenerations : public ::testing::TestWithParam<GenerationCase> {};

// A block is generated when, and only when, reading reaches a block boundary.
TEST_P(KovrelRandGenerations, CountsBlocksGenerated) {
    seed_with_zeros();
    const uint64_t before = kovrel_rand_generation_count_for_test();
    read_in_pieces(GetParam().pieces);
    EXPECT_EQ(kovrel_rand_generation_count_for_test() - before, GetParam().generations);
}

INSTANTIATE_TEST_SUITE_P(Reads, KovrelRandGenerations,
                         ::testing::Values(GenerationCase{"NothingRead", {0}, 0},
                                           GenerationCase{"EmptyReadsOnly", {0, 0, 0}, 0},
                                           GenerationCase{"FirstByte", {1}, 1},
                                           GenerationCase{"OneBlock", {1024}, 1},
                                           GenerationCase{"OneBlockThenOneByte", {1024, 1}, 2},
                                           GenerationCase{"OneBlockPlusOneAtOnce", {1025}, 2},
                                           GenerationCase{"EndingExactlyAtBoundary", {1023, 1}, 1},
                                           GenerationCase{"StraddlingBoundary", {1023, 2}, 2},
                                           GenerationCase{"TwoBlocks", {2048}, 2},
                                           GenerationCase{"TwoBlocksPlusOne", {2049}, 3}),
                         [](const auto &info) { return std::string(info.param.name); });

// Re-seeding restarts the stream from its first byte with fresh accumulators,
// wherever the previous reading stopped.
TEST(KovrelRand, SeedingRestartsTheStream) {
    seed_with_zeros();
    read_in_pieces({1500});
    seed_with_zeros();
    expect_reference_output(read_in_pieces({3 * block_size}));
}

TEST(KovrelRandDeathTest, NullBufferWithBytesToFill) {
    EXPECT_DEATH(kovrel_rand_bytes(nullptr, 1), "0 != buffer \\|\\| 0 == buffer_sz");
}

TEST(KovrelRand, NullBufferWithNothingToFill) {
    seed_with_zeros();
    kovrel_rand_bytes(nullptr, 0);
    expect_reference_output(read_in_pieces({3 * block_size}));
}

// The time of day at first use is the whole seed: seconds then microseconds
// as 64-bit fields at the start of an otherwise zero seed array.
TEST(KovrelRandTimeOfDaySeeding, FreshProcessesSeedFromTheirTimeOfDay) {
    const ChildReport first = run_fresh_process();
    const ChildReport second = run_fresh_process();
    if (HasFailure())
        return;

    const std::array<uint8_t, child_sample_size> zeros{};
    EXPECT_NE(std::memcmp(first.bytes, zeros.data(), child_sample_size), 0);
    EXPECT_NE(std::memcmp(first.bytes, second.bytes, child_sample_size), 0);

    for (const ChildReport *report : {&first, &second}) {
        ASSERT_LE(report->before_us, report->after_us);
        bool reproduced = false;
        for (int64_t t = report->before_us; t <= report->after_us && !reproduced; ++t) {
            uint32_t seed[256] = {};
            const int64_t fields[2] = {t / 1000000, t % 1000000};
            std::memcpy(seed, fields, sizeof fields);
            kovrel_rand_seed_for_test(seed);
            uint8_t bytes[child_sample_size];
            kovrel_rand_bytes(bytes, sizeof bytes);
            reproduced = std::memcmp(bytes, report->bytes, sizeof bytes) == 0;
        }
        EXPECT_TRUE(reproduced) << "no time of day between " << report->before_us << " and "
                                << report->after_us << " us gives the child's bytes";
    }
}

} // namespace
