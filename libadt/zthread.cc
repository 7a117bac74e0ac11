#include "zthread.h"

#include "adt_assert.h"
#include "pool.h"
#include "syslog.h"

namespace {

zthread_once_t zthread_init_once = ZTHREAD_ONCE_INIT;
bool_t zthread_init_okay;
pthread_mutexattr_t zthread_normal_mutexattr;
pthread_mutexattr_t zthread_recursive_mutexattr;

void zthread_init_routine() {
    if (pthread_mutexattr_init(&zthread_normal_mutexattr) != 0 ||
        pthread_mutexattr_init(&zthread_recursive_mutexattr) != 0 ||
        pthread_mutexattr_settype(&zthread_normal_mutexattr, PTHREAD_MUTEX_NORMAL) != 0 ||
        pthread_mutexattr_settype(&zthread_recursive_mutexattr, PTHREAD_MUTEX_RECURSIVE) != 0)
        return;
    zthread_init_okay = 1;
}

zthread_status_t status_of(int pthread_result) {
    return pthread_result == 0 ? ZTHREAD_SUCCESS : ZTHREAD_FAILED;
}

// The creation path shared by mutexes, recursive mutexes and keys: initialise
// the module, allocate the zeroed record, let `init` set up the pthreads
// object. `init` returns the pthreads result.
template <typename Record, typename Init>
Record *zthread_create(const char *record_name, Init init) {
    if (!zthread_init()) {
        kovr_log(3, "zthread_init failed\n");
        return nullptr;
    }
    auto *record = static_cast<Record *>(pool_zalloc(pool_default(), sizeof(Record)));
    if (record == nullptr) {
        kovr_log_no_memory(record_name);
        return nullptr;
    }
    if (init(record) != 0) {
        pool_free(pool_default(), record);
        return nullptr;
    }
    return record;
}

} // namespace

bool_t zthread_init(void) {
    zthread_once(&zthread_init_once, zthread_init_routine);
    return zthread_init_okay;
}

void zthread_test_force_init_failure(void) {
    zthread_init();
    zthread_init_okay = 0;
}

void zthread_once(zthread_once_t *once, void (*func)(void)) {
    ADT_ASSERT(0 != once && 0 != func);
    pthread_once(&once->zo_once, func);
}

zthread_id_t zthread_id(void) {
    return pthread_self();
}

zthread_mutex_t zthread_mutex_new(void) {
    return zthread_create<zthread_mutex_s>("zthread_mutex_s", [](zthread_mutex_s *m) {
        return pthread_mutex_init(&m->zm_mutex, &zthread_normal_mutexattr);
    });
}

bool_t zthread_mutex_init_static(struct zthread_mutex_s *mutex) {
    ADT_ASSERT(0 != mutex);
    if (!zthread_init())
        return 0;
    return pthread_mutex_init(&mutex->zm_mutex, &zthread_normal_mutexattr) == 0;
}

void zthread_mutex_delete(zthread_mutex_t mutex) {
    ADT_ASSERT(0 != mutex);
    pthread_mutex_destroy(&mutex->zm_mutex);
    pool_free(pool_default(), mutex);
}

zthread_status_t zthread_mutex_lock(zthread_mutex_t mutex) {
    ADT_ASSERT(0 != mutex);
    return status_of(pthread_mutex_lock(&mutex->zm_mutex));
}

zthread_status_t zthread_mutex_trylock(zthread_mutex_t mutex) {
    ADT_ASSERT(0 != mutex);
    return status_of(pthread_mutex_trylock(&mutex->zm_mutex));
}

void zthread_mutex_unlock(zthread_mutex_t mutex) {
    ADT_ASSERT(0 != mutex);
    pthread_mutex_unlock(&mutex->zm_mutex);
}

zthread_rmutex_t zthread_rmutex_new(void) {
    return zthread_create<zthread_rmutex_s>("zthread_rmutex_s", [](zthread_rmutex_s *m) {
        return pthread_mutex_init(&m->zr_mutex, &zthread_recursive_mutexattr);
    });
}

void zthread_rmutex_delete(zthread_rmutex_t rmutex) {
    ADT_ASSERT(0 != rmutex);
    pthread_mutex_destroy(&rmutex->zr_mutex);
    pool_free(pool_default(), rmutex);
}

zthread_status_t zthread_rmutex_lock(zthread_rmutex_t rmutex) {
    ADT_ASSERT(0 != rmutex);
    return status_of(pthread_mutex_lock(&rmutex->zr_mutex));
}

zthread_status_t zthread_rmutex_trylock(zthread_rmutex_t rmutex) {
    ADT_ASSERT(0 != rmutex);
    return status_of(pthread_mutex_trylock(&rmutex->zr_mutex));
}

void zthread_rmutex_unlock(zthread_rmutex_t rmutex) {
    ADT_ASSERT(0 != rmutex);
    pthread_mutex_unlock(&rmutex->zr_mutex);
}

zthread_local_t zthread_local_new(zthread_destructor_t dtor) {
    return zthread_create<zthread_local_s>("zthread_local_s", [dtor](zthread_local_s *k) {
        return pthread_key_create(&k->zl_key, dtor);
    });
}

void zthread_local_delete(zthread_local_t key) {
    ADT_ASSERT(0 != key);
    pthread_key_delete(key->zl_key);
    pool_free(pool_default(), key);
}

zthread_status_t zthread_local_set(zthread_local_t key, void *val) {
    ADT_ASSERT(0 != key);
    return status_of(pthread_setspecific(key->zl_key, val));
}

void *zthread_local_get(zthread_local_t key) {
    ADT_ASSERT(0 != key);
    return pthread_getspecific(key->zl_key);
}
