#include "kovrel_rand.h"

#include "adt_assert.h"
#include "zthread.h"

#include <array>
#include <cstring>
#include <sys/time.h>

namespace {

constexpr size_t kovrel_rand_words = 256;
constexpr size_t kovrel_rand_block = kovrel_rand_words * sizeof(uint32_t);

// The current results block, read out byte by byte, and the generator state.
uint32_t rsl[kovrel_rand_words];
uint32_t mm[kovrel_rand_words];
uint32_t aa, bb, cc;
// Read position in rsl, in bytes: always below one block.
size_t count;
zthread_once_t kovrel_rand_once = ZTHREAD_ONCE_INIT;
// Blocks generated so far; only tests look at it.
uint64_t kovrel_rand_generations;

using kovrel_rand_mix_t = std::array<uint32_t, 8>;

// The algorithm's mixing of its eight initialisation variables.
void kovrel_rand_mix(kovrel_rand_mix_t &v) {
    auto &[a, b, c, d, e, f, g, h] = v;
    a ^= b << 11;
    d += a;
    b += c;
    b ^= c >> 2;
    e += b;
    c += d;
    c ^= d << 8;
    f += c;
    d += e;
    d ^= e >> 16;
    g += d;
    e += f;
    e ^= f << 10;
    h += e;
    f += g;
    f ^= g >> 4;
    a += f;
    g += h;
    g ^= h << 8;
    b += g;
    h += a;
    h ^= a >> 9;
    c += h;
    a += b;
}

// One pass of the initialisation: adds eight words of `source` at a time into
// the variables, mixes, and stores the variables into mm.
void kovrel_rand_init_pass(kovrel_rand_mix_t &v, const uint32_t *source) {
    for (size_t i = 0; i < kovrel_rand_words; i += v.size()) {
        for (size_t j = 0; j < v.size(); ++j)
            v[j] += source[i + j];
        kovrel_rand_mix(v);
        for (size_t j = 0; j < v.size(); ++j)
            mm[i + j] = v[j];
    }
}

// Initialisation with rsl as the seed array. The first pass takes the seed,
// the second runs over mm so that every seed bit reaches the whole state.
void kovrel_rand_init() {
    kovrel_rand_mix_t v;
    v.fill(0x9e3779b9); // the golden ratio
    for (int i = 0; i < 4; ++i)
        kovrel_rand_mix(v);
    aa = bb = cc = 0;
    kovrel_rand_init_pass(v, rsl);
    kovrel_rand_init_pass(v, mm);
    // No block yet: the first byte read generates one.
    count = 0;
}

void kovrel_rand_one_time_init() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    // Seconds then microseconds, each as a 64-bit field, at the start of an
    // otherwise zero seed array.
    const int64_t fields[2] = {static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_usec)};
    std::memset(rsl, 0, sizeof rsl);
    std::memcpy(rsl, fields, sizeof fields);
    kovrel_rand_init();
}

// x's bits 2-9 select a word of mm.
inline uint32_t kovrel_rand_ind(uint32_t x) {
    return mm[(x >> 2) & (kovrel_rand_words - 1)];
}

// One generation step over all of mm, refilling rsl.
void kovrel_rand_ISAAC() {
    bb += ++cc;
    for (size_t i = 0; i < kovrel_rand_words; ++i) {
        switch (i % 4) {
        case 0:
            aa ^= aa << 13;
            break;
        case 1:
            aa ^= aa >> 6;
            break;
        case 2:
            aa ^= aa << 2;
            break;
        default:
            aa ^= aa >> 16;
            break;
        }
        const uint32_t x = mm[i];
        aa += mm[(i + kovrel_rand_words / 2) % kovrel_rand_words];
        const uint32_t y = kovrel_rand_ind(x) + aa + bb;
        mm[i] = y;
        bb = kovrel_rand_ind(y >> 8) + x;
        rsl[i] = bb;
    }
    ++kovrel_rand_generations;
}

} // namespace

void kovrel_rand_bytes(void *buffer, size_t buffer_sz) {
    zthread_once(&kovrel_rand_once, kovrel_rand_one_time_init);
    ADT_ASSERT(0 != buffer || 0 == buffer_sz);
    auto *out = static_cast<uint8_t *>(buffer);
    const auto *block = reinterpret_cast<const uint8_t *>(rsl);
    for (size_t i = 0; i < buffer_sz; ++i) {
        const size_t at = (count + i) % kovrel_rand_block;
        if (at == 0)
            kovrel_rand_ISAAC();
        out[i] = block[at];
    }
    count = (count + buffer_sz) % kovrel_rand_block;
}

void kovrel_rand_seed_for_test(const uint32_t seed[256]) {
    // Spend the once-control first so that a later read does not overwrite
    // this seeding with the time of day.
    zthread_once(&kovrel_rand_once, kovrel_rand_one_time_init);
    std::memcpy(rsl, seed, sizeof rsl);
    kovrel_rand_init();
}

uint64_t kovrel_rand_generation_count_for_test(void) {
    return kovrel_rand_generations;
}
