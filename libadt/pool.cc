#include "pool.h"

#include "adt_assert.h"
#include "array.h"
#include "hash.h"
#include "stab.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

bool_t pool_debug_cleanup;

namespace {

pool_default_config_t default_pool_config;

// The global pool lives in static storage, its lock too, so that setting it
// up never depends on an allocation that could fail.
struct pool_s pool_global_data;
struct zthread_mutex_s pool_global_mutex;
zthread_once_t pool_once_control = ZTHREAD_ONCE_INIT;

std::atomic<long> pool_fail_countdown;

// Frees a clean-up record, never the pointer it registers. Blocks of a
// tracking pool are registered with it too, which frees them.
void pool_internal_free(void *ptr) {
    free(ptr);
}

void pool_global_init() {
    list_init(&pool_global_data.ps_cleanups, offsetof(pool_cleanup_t, pc_link), pool_internal_free);
    if (zthread_mutex_init_static(&pool_global_mutex))
        pool_global_data.ps_lock = &pool_global_mutex;
}

pool_t resolve(pool_t p) {
    if (p != nullptr)
        return p;
    zthread_once(&pool_once_control, pool_global_init);
    return &pool_global_data;
}

bool injected_failure() {
    long remaining = pool_fail_countdown.load(std::memory_order_relaxed);
    while (remaining > 0) {
        if (pool_fail_countdown.compare_exchange_weak(remaining, remaining - 1))
            return remaining == 1;
    }
    return false;
}

void sleep_before_retry() {
    const time_t msecs = default_pool_config.pdc_sleep_msecs;
    struct timespec pause = {msecs / 1000, (msecs % 1000) * 1000000};
    nanosleep(&pause, nullptr);
}

// Calls the C allocator through `attempt`, retrying after a pause when the
// default pool is configured to; honours the test failure switch.
template <typename Attempt> void *attempt_allocation(pool_t p, Attempt attempt) {
    const bool may_retry = p == nullptr && default_pool_config.pdc_sleep;
    void *block = injected_failure() ? nullptr : attempt();
    while (block == nullptr && may_retry) {
        sleep_before_retry();
        block = attempt();
    }
    return block;
}

// A tracking pool registers every block it hands out; the default pool does not.
void *track(pool_t p, void *block, const char *file, int line) {
    if (block != nullptr && p != nullptr)
        pool_add_cleanup_real(p, pool_internal_free, block, file, line);
    return block;
}

const char *base_name(const char *path) {
    const char *slash = path == nullptr ? nullptr : strrchr(path, '/');
    return slash == nullptr ? (path == nullptr ? "" : path) : slash + 1;
}

void pool_run_cleanup(pool_cleanup_t *record) {
    if (pool_debug_cleanup)
        printf("Freeing %p (allocated from %s, line %d)\n", record->pc_arg,
               base_name(record->pc_file), record->pc_line);
    record->pc_func(record->pc_arg);
}

// Deletes whatever object a registered variable holds and clears it.
template <typename Object, void (*Delete)(Object)> void delete_and_clear(void *variable) {
    auto *holder = static_cast<Object *>(variable);
    if (*holder != nullptr)
        Delete(*holder);
    *holder = nullptr;
}

void delete_string(char *s) {
    pool_free(pool_default(), s);
}

// Unlinks and frees the first record registering `address`; true if found.
// Addresses are compared as numbers because a reallocated block's old
// address may already be stale.
bool_t release_address(pool_t p, uintptr_t address) {
    pool_t pool = resolve(p);
    const bool lock = !pool->ps_deleting;
    if (lock)
        zthread_mutex_lock(pool->ps_lock);
    bool_t found = 0;
    list_iter_t iter;
    for (void *item = list_first(&pool->ps_cleanups, &iter); item != nullptr;
         item = list_next(&pool->ps_cleanups, &iter)) {
        auto *record = static_cast<pool_cleanup_t *>(item);
        if (reinterpret_cast<uintptr_t>(record->pc_arg) == address) {
            list_remove(&pool->ps_cleanups, record);
            pool_internal_free(record);
            found = 1;
            break;
        }
    }
    if (lock)
        zthread_mutex_unlock(pool->ps_lock);
    return found;
}

} // namespace

pool_t pool_default(void) {
    return nullptr;
}

pool_t pool_new(void) {
    resolve(nullptr);
    auto *p = static_cast<pool_t>(malloc(sizeof(struct pool_s)));
    if (p == nullptr)
        return nullptr;
    p->ps_lock = zthread_mutex_new();
    if (p->ps_lock == nullptr) {
        free(p);
        return nullptr;
    }
    list_init(&p->ps_cleanups, offsetof(pool_cleanup_t, pc_link), pool_internal_free);
    p->ps_deleting = 0;
    return p;
}

void pool_delete(pool_t p) {
    pool_t pool = resolve(p);
    zthread_mutex_lock(pool->ps_lock);
    pool->ps_deleting = 1;
    list_iter_t iter;
    // The iterator already points past the record being run, so a clean-up
    // may release its own record.
    for (void *record = list_first(&pool->ps_cleanups, &iter); record != nullptr;
         record = list_next(&pool->ps_cleanups, &iter))
        pool_run_cleanup(static_cast<pool_cleanup_t *>(record));
    list_empty(&pool->ps_cleanups);
    pool->ps_deleting = 0;
    zthread_mutex_unlock(pool->ps_lock);
    // The global pool keeps its (static) lock, so that a pool call made after
    // pool_shutdown finds a valid, empty registry instead of a destroyed mutex.
    if (pool != &pool_global_data) {
        zthread_mutex_delete(pool->ps_lock);
        free(pool);
    }
}

void pool_shutdown(void) {
    pool_delete(nullptr);
}

void *pool_alloc(pool_t p, size_t sz, const char *file, int line) {
    return track(p, attempt_allocation(p, [sz] { return malloc(sz); }), file, line);
}

void *pool_zalloc(pool_t p, size_t sz, const char *file, int line) {
    void *block = pool_alloc(p, sz, file, line);
    if (block != nullptr)
        memset(block, 0, sz);
    return block;
}

void *pool_realloc(pool_t p, void *ptr, size_t sz, const char *file, int line) {
    // realloc(ptr, 0) may free ptr and return null, which callers would take
    // for a failure that left ptr alone: ask for one byte instead.
    const size_t size = sz == 0 ? 1 : sz;
    // The old address is kept as a number: once the block has moved it only
    // identifies the stale registration.
    const auto old_address = reinterpret_cast<uintptr_t>(ptr);
    void *block = attempt_allocation(p, [ptr, size] { return realloc(ptr, size); });
    if (block == nullptr || reinterpret_cast<uintptr_t>(block) == old_address)
        return block;
    if (p != nullptr)
        release_address(p, old_address);
    return track(p, block, file, line);
}

char *pstrdup(pool_t p, const char *s, const char *file, int line) {
    return static_cast<char *>(
        track(p, attempt_allocation(p, [s] { return strdup(s); }), file, line));
}

char *pstrndup(pool_t p, const char *s, size_t sz, const char *file, int line) {
    auto *copy = static_cast<char *>(attempt_allocation(p, [sz] { return malloc(sz + 1); }));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, s, sz);
    copy[sz] = '\0';
    return static_cast<char *>(track(p, copy, file, line));
}

void pool_free(pool_t p, const void *ptr) {
    if (ptr == nullptr)
        return;
    pool_release(p, ptr);
    free(const_cast<void *>(ptr));
}

void pool_default_free(void *ptr) {
    pool_free(pool_default(), ptr);
}

bool_t pool_release(pool_t p, const void *ptr) {
    return release_address(p, reinterpret_cast<uintptr_t>(ptr));
}

void pool_add_cleanup_real(pool_t p, pool_cleanup_func_t func, void *arg, const char *file,
                           int line) {
    pool_t pool = resolve(p);
    auto *record = static_cast<pool_cleanup_t *>(calloc(1, sizeof(pool_cleanup_t)));
    if (record == nullptr)
        return; // the registration is dropped; the caller's object stays usable
    record->pc_file = file;
    record->pc_line = line;
    record->pc_arg = arg;
    record->pc_func = func;
    zthread_mutex_lock(pool->ps_lock);
    list_append(&pool->ps_cleanups, record);
    zthread_mutex_unlock(pool->ps_lock);
}

void pool_remove_cleanup(pool_t p, pool_cleanup_func_t func, void *arg) {
    pool_t pool = resolve(p);
    zthread_mutex_lock(pool->ps_lock);
    list_iter_t iter;
    for (void *item = list_first(&pool->ps_cleanups, &iter); item != nullptr;
         item = list_next(&pool->ps_cleanups, &iter)) {
        auto *record = static_cast<pool_cleanup_t *>(item);
        if (record->pc_func == func && record->pc_arg == arg) {
            list_remove(&pool->ps_cleanups, record);
            pool_internal_free(record);
        }
    }
    zthread_mutex_unlock(pool->ps_lock);
}

void pool_default_config_sleep(bool_t value, time_t msecs_to_sleep) {
    ADT_ASSERT(!default_pool_config.pdc_sleep_inited);
    default_pool_config.pdc_sleep_inited = 1;
    default_pool_config.pdc_sleep = value;
    default_pool_config.pdc_sleep_msecs = msecs_to_sleep;
}

size_t pool_size(pool_t p) {
    return list_size(&resolve(p)->ps_cleanups);
}

void pool_dump(pool_t p) {
    pool_t pool = resolve(p);
    zthread_mutex_lock(pool->ps_lock);
    printf("Pool %p:%s\n", static_cast<void *>(pool),
           pool == &pool_global_data ? " (global pool)" : "");
    list_iter_t iter;
    for (void *item = list_first(&pool->ps_cleanups, &iter); item != nullptr;
         item = list_next(&pool->ps_cleanups, &iter)) {
        auto *record = static_cast<pool_cleanup_t *>(item);
        printf("  %p\t%-*s %d", record->pc_arg, 15, base_name(record->pc_file), record->pc_line);
        const pool_cleanup_func_t f = record->pc_func;
        if (f == pool_cleanup_string) {
            const char *held = *static_cast<char **>(record->pc_arg);
            printf(" (string: %s)", held == nullptr ? "(null)" : held);
        } else if (f == pool_cleanup_stab) {
            printf(" (stab)");
        } else if (f == pool_cleanup_array) {
            printf(" (array)");
        } else if (f == pool_cleanup_hash) {
            printf(" (hash)");
        } else if (f == pool_cleanup_file) {
            printf(" (file: %s)", static_cast<const char *>(record->pc_arg));
        } else {
            printf(" (cleanup routine: %p)", reinterpret_cast<void *>(f));
        }
        printf("\n");
    }
    zthread_mutex_unlock(pool->ps_lock);
}

void pool_cleanup_string(void *string_variable) {
    delete_and_clear<char *, delete_string>(string_variable);
}
void pool_cleanup_stab(void *stab_variable) {
    delete_and_clear<stab_t, stab_delete>(stab_variable);
}
void pool_cleanup_array(void *array_variable) {
    delete_and_clear<array_t, array_delete>(array_variable);
}
void pool_cleanup_hash(void *hash_variable) {
    delete_and_clear<hash_table_t, hash_delete>(hash_variable);
}

void pool_cleanup_file(void *path) {
    const auto *name = static_cast<const char *>(path);
    if (name != nullptr && name[0] != '\0')
        unlink(name);
}

void pool_cleanup_file_and_name(void *path) {
    pool_cleanup_file(path);
    pool_free(pool_default(), path);
}

void pool_test_fail_nth(long n) {
    pool_fail_countdown.store(n < 0 ? 0 : n);
}

bool pool_test_fail_pending(void) {
    return pool_fail_countdown.load() > 0;
}
