// Threads and locks: the one place where the library touches pthreads.
//
// Each operation maps onto one pthreads call, checks its handle, and folds the
// pthreads error number into a three-valued status. Mutex, recursive-mutex and
// key handles are records allocated from the default pool; their owner gives
// them back with the matching delete call.
#pragma once

#include "adt_types.h"

#include <pthread.h>

struct zthread_once_s {
    pthread_once_t zo_once;
};
typedef struct zthread_once_s zthread_once_t;
#define ZTHREAD_ONCE_INIT                                                                          \
    { PTHREAD_ONCE_INIT }

typedef pthread_t zthread_id_t;

struct zthread_mutex_s {
    pthread_mutex_t zm_mutex;
};
typedef struct zthread_mutex_s *zthread_mutex_t;

struct zthread_rmutex_s {
    pthread_mutex_t zr_mutex;
};
typedef struct zthread_rmutex_s *zthread_rmutex_t;

struct zthread_local_s {
    pthread_key_t zl_key;
};
typedef struct zthread_local_s *zthread_local_t;

typedef void (*zthread_destructor_t)(void *value);

typedef enum zthread_status_e {
    ZTHREAD_SUCCESS = 0,
    ZTHREAD_FAILED = 1,
    ZTHREAD_TIMEDOUT = 2,
} zthread_status_t;

// Runs the module initialisation once; true when it succeeded.
bool_t zthread_init(void);
void zthread_once(zthread_once_t *once, void (*func)(void));
zthread_id_t zthread_id(void);

zthread_mutex_t zthread_mutex_new(void);
void zthread_mutex_delete(zthread_mutex_t mutex);
zthread_status_t zthread_mutex_lock(zthread_mutex_t mutex);
zthread_status_t zthread_mutex_trylock(zthread_mutex_t mutex);
void zthread_mutex_unlock(zthread_mutex_t mutex);

// In-place forms for mutexes embedded in static storage, which must not
// depend on an allocation (the global pool's lock). 1 on success, 0 on failure.
bool_t zthread_mutex_init_static(struct zthread_mutex_s *mutex);

zthread_rmutex_t zthread_rmutex_new(void);
void zthread_rmutex_delete(zthread_rmutex_t rmutex);
zthread_status_t zthread_rmutex_lock(zthread_rmutex_t rmutex);
zthread_status_t zthread_rmutex_trylock(zthread_rmutex_t rmutex);
void zthread_rmutex_unlock(zthread_rmutex_t rmutex);

zthread_local_t zthread_local_new(zthread_destructor_t dtor);
void zthread_local_delete(zthread_local_t key);
zthread_status_t zthread_local_set(zthread_local_t key, void *val);
void *zthread_local_get(zthread_local_t key);

// Test hook: from now on the module behaves as if its initialisation had
// failed, so that the creators' failure path can be exercised (run it in a
// child process). Not for library code.
void zthread_test_force_init_failure(void);
