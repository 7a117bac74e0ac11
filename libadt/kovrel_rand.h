// The library's own pseudo-random byte generator: 32-bit ISAAC with a
// 256-word state, seeded once per process from the time of day.
//
// Its one consumer feeds the TLS library's random pool with it. Reading takes
// no lock: callers serialise their calls (the TLS set-up runs once under its
// own once-control). Only the seeding is guarded.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills `buffer_sz` bytes of `buffer`, seeding the generator on first use.
// Bytes come from the current 1,024-byte results block in memory order; a new
// block is generated each time reading reaches a block boundary.
void kovrel_rand_bytes(void *buffer, size_t buffer_sz);

// Test only: re-seeds the generator from `seed` (256 words) through the same
// initialisation as the time-of-day seeding, with the algorithm's accumulators
// and the read position back at zero. Library code never calls it.
void kovrel_rand_seed_for_test(const uint32_t seed[256]);

// Test only: the number of results blocks generated since the process started.
uint64_t kovrel_rand_generation_count_for_test(void);
