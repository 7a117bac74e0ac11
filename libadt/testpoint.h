// Testpoints: named hooks in the code for diagnosis and fault injection.
//
// A hook asks the facility for a value, giving a module name, a testpoint
// name, a default and its source location. The answer is the default unless a
// loaded testpoint matches. This library loads no testpoint table, so the
// facility stays inactive for the life of the process and every hook returns
// its default at once: no lock, no formatting, no logging, no clock. Hooks sit
// on hot paths (every socket read), which is why that check is all a hit does.
#pragma once

#include "adt_types.h"
#include "zthread.h"

#include <cstddef>
#include <cstdint>
#include <regex.h>
#include <string_view>
#include <sys/time.h>

// The value a hook receives; which member counts depends on the hook's type
// (the integer hook reads tr_int32).
typedef union testpoint_result_u {
    int64_t tr_int64;
    int32_t tr_int32;
    double tr_double;
    char *tr_string;
    void *tr_pointer;
} testpoint_result_t;

#define TESTPOINT_MAX 64
#define TESTPOINT_NAME_SIZE 65
#define TESTPOINT_TIMER_SLOTS 16

// One loaded testpoint.
typedef struct testpoint_s {
    char tp_module[TESTPOINT_NAME_SIZE];     // extended, case-insensitive expression; empty: any
    char tp_name[TESTPOINT_NAME_SIZE];       // compared exactly; empty: any
    char tp_start_from[TESTPOINT_NAME_SIZE]; // hook that starts a timer; empty: none
    regex_t tp_reg_module;
    struct timeval tp_start_time[TESTPOINT_TIMER_SLOTS];
    zthread_id_t tp_start_thread[TESTPOINT_TIMER_SLOTS]; // -1 when the slot is free
    struct timeval tp_last_hit;
    bool_t tp_log;
    uint64_t tp_trigger_every; // 1: every hit, n > 1: one in n at random, 0: never
    testpoint_result_t tp_result_to_return;
    uint64_t tp_hit_count;
    uint64_t tp_trigger_count;
} testpoint_t;

// The process-wide table. tps_active is true only while testpoints are
// loaded; nothing in this library loads any, so it stays false.
typedef struct testpoint_shared_state_s {
    zthread_mutex_t tps_lock;
    zthread_id_t tps_tid; // holder of tps_lock, -1 when none
    bool_t tps_active;
    uint32_t tps_seed;
    testpoint_t *tps_testpoints[TESTPOINT_MAX + 1]; // null-terminated
    size_t tps_testpoints_count;
} testpoint_shared_state_t;

extern testpoint_shared_state_t testpoint_state;

// Integer hook: `module` is a printf format whose arguments follow `line`;
// `file` and `line` locate the hook (base name of the source file). Not
// marked as a printf format: some hooks pass an argument their plain module
// name does not use.
int32_t testpoint_hitn(int32_t default_val, const char *module, const char *tp, const char *file,
                       int line, ...);

// Base name of a source path, worked out at compile time for hooks.
consteval const char *testpoint_base_name(const char *path) {
    const size_t slash = std::string_view(path).rfind('/');
    return slash == std::string_view::npos ? path : path + slash + 1;
}

// A hook at the caller's source location, e.g. TESTPOINT_HIT(0, "http", "debug").
#define TESTPOINT_HIT(default_val, module, tp, ...)                                                \
    testpoint_hitn((default_val), (module), (tp), testpoint_base_name(__FILE__),                   \
                   __LINE__ __VA_OPT__(, ) __VA_ARGS__)
