// Memory pools: every heap block of the library goes through this layer.
//
// The default pool (the null pool_t) is plain heap allocation: its blocks are
// freed explicitly with pool_free. A tracking pool (pool_new) and the global
// pool are registries of clean-up records, each pairing a pointer with a
// function; deleting the pool runs them, oldest first. The global pool holds
// the process-wide clean-ups (module shutdown routines, strings kept in
// statics); pool_shutdown runs it.
//
// The global pool's registrations are not run at process exit: other threads
// may still be inside the library then, and the operating system reclaims the
// memory anyway. A program that wants them run (before unloading the library,
// say) calls pool_shutdown; the global pool stays usable afterwards.
//
// Every allocating call carries the caller's source location. It is captured
// by default arguments, so callers normally omit it; tracking pools store it
// and pool_dump prints its base name.
#pragma once

#include "adt_types.h"
#include "list.h"
#include "zthread.h"

#include <cstddef>
#include <ctime>
#include <memory>

typedef void (*pool_cleanup_func_t)(void *arg);

typedef struct pool_cleanup_s {
    const char *pc_file;
    int pc_line;
    void *pc_arg;
    pool_cleanup_func_t pc_func;
    list_link_t pc_link;
} pool_cleanup_t;

struct pool_s {
    list_t ps_cleanups;
    zthread_mutex_t ps_lock;
    bool_t ps_deleting;
};
typedef struct pool_s *pool_t;

typedef struct pool_default_config_s {
    bool_t pdc_sleep;
    bool_t pdc_sleep_inited;
    time_t pdc_sleep_msecs;
} pool_default_config_t;

// When set, every clean-up run prints a trace line on standard output.
extern bool_t pool_debug_cleanup;

pool_t pool_default(void);
pool_t pool_new(void);
void pool_delete(pool_t p);
void pool_shutdown(void);

void *pool_alloc(pool_t p, size_t sz, const char *file = __builtin_FILE(),
                 int line = __builtin_LINE());
void *pool_zalloc(pool_t p, size_t sz, const char *file = __builtin_FILE(),
                  int line = __builtin_LINE());
void *pool_realloc(pool_t p, void *ptr, size_t sz, const char *file = __builtin_FILE(),
                   int line = __builtin_LINE());
char *pstrdup(pool_t p, const char *s, const char *file = __builtin_FILE(),
              int line = __builtin_LINE());
// Copy of the first `sz` bytes of `s` plus a NUL; `sz` must not exceed
// strlen(s). This also serves as the library's strndup.
char *pstrndup(pool_t p, const char *s, size_t sz, const char *file = __builtin_FILE(),
               int line = __builtin_LINE());

void pool_free(pool_t p, const void *ptr);
void pool_default_free(void *ptr);
bool_t pool_release(pool_t p, const void *ptr);

void pool_add_cleanup_real(pool_t p, pool_cleanup_func_t func, void *arg,
                           const char *file = __builtin_FILE(), int line = __builtin_LINE());
void pool_remove_cleanup(pool_t p, pool_cleanup_func_t func, void *arg);

void pool_default_config_sleep(bool_t value, time_t msecs_to_sleep);
size_t pool_size(pool_t p);
void pool_dump(pool_t p);

// Owns one block of the default pool: the RAII form of pool_free.
struct pool_deleter {
    void operator()(const void *block) const { pool_free(pool_default(), block); }
};
template <typename T> using pool_ptr = std::unique_ptr<T, pool_deleter>;

// Ready-made clean-ups, registered with the address of the variable that
// holds the object; each releases the object and clears the variable.
void pool_cleanup_string(void *string_variable);
void pool_cleanup_stab(void *stab_variable);
void pool_cleanup_array(void *array_variable);
void pool_cleanup_hash(void *hash_variable);
// Registered with a path: removes the file (and, for the second, frees the path).
void pool_cleanup_file(void *path);
void pool_cleanup_file_and_name(void *path);

// Allocation-failure switch for tests. With n > 0 the n-th allocation from
// now on (counting pool_alloc, pool_zalloc, pool_realloc, pstrdup, pstrndup on
// any pool and any thread) fails as if the heap were exhausted; the others
// succeed. n = 0 disarms the switch. pool_test_fail_pending() tells whether
// the failing allocation has not been reached yet, which is how a sweep knows
// that a call completed without meeting it.
void pool_test_fail_nth(long n);
bool pool_test_fail_pending(void);
