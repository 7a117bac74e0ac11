#include "ssl_util.h"

#include "adt_assert.h"
#include "kovrel_rand.h"
#include "pool.h"
#include "syslog.h"
#include "zthread.h"

#include <array>
#include <ctime>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <unistd.h>

namespace {

constexpr int ssl_util_log_error = 3;

bool_t ssl_util_initizalized = 0;
zthread_once_t ssl_util_once = ZTHREAD_ONCE_INIT;
zthread_mutex_t *ssl_util_locks = nullptr;
int ssl_util_lock_count = 0;

// Files whose contents vary between machines; a missing one is skipped.
constexpr std::array<const char *, 3> ssl_util_seed_files = {"/etc/hosts", "/etc/group",
                                                             "/etc/resolv.conf"};
constexpr int ssl_util_seed_block = 256;
// OpenSSL seeds itself from the operating system; our blocks only add to it.
// The bound keeps a random pool that never reports itself seeded (a broken
// entropy source) from holding the caller forever.
constexpr int ssl_util_seed_rounds_max = 64;

void ssl_util_prng_init() {
    const time_t now = time(nullptr);
    RAND_seed(&now, sizeof now);
    const pid_t pid = getpid();
    RAND_seed(&pid, sizeof pid);
    for (const char *file : ssl_util_seed_files)
        RAND_load_file(file, -1);
    std::array<unsigned char, ssl_util_seed_block> block;
    int rounds = 0;
    do {
        kovrel_rand_bytes(block.data(), block.size());
        RAND_seed(block.data(), static_cast<int>(block.size()));
    } while (RAND_status() != 1 && ++rounds < ssl_util_seed_rounds_max);
}

// OpenSSL 1.1 and later lock with the platform's threads themselves: the
// lock count is a constant, and setting or reading the callbacks compiles to
// nothing. The lock array and the callbacks are still made and "installed"
// as before, so that the set-up keeps its once-only behaviour, its messages
// and its failure path, and behaves correctly should the callbacks be used.
void ssl_util_init_threads() {
    const int count = CRYPTO_num_locks();
    auto *locks = static_cast<zthread_mutex_t *>(
        pool_zalloc(pool_default(), sizeof(zthread_mutex_t) * static_cast<size_t>(count)));
    if (locks == nullptr) {
        kovr_log_no_memory("ssl_util_locks");
        return;
    }
    for (int i = 0; i < count; ++i) {
        locks[i] = zthread_mutex_new();
        if (locks[i] == nullptr) {
            kovr_log(ssl_util_log_error, "Failed to create SSL lock %d.\n", i);
            for (int j = 0; j < i; ++j)
                zthread_mutex_delete(locks[j]);
            pool_free(pool_default(), locks);
            return;
        }
    }
    ssl_util_locks = locks;
    ssl_util_lock_count = count;
    // A locking callback the application installed stays in place.
    if (CRYPTO_get_locking_callback() == nullptr)
        CRYPTO_set_locking_callback_func(ssl_util_lock_callback);
    CRYPTO_set_id_callback_func(ssl_util_thread_id);
}

void ssl_util_init_once() {
    // Set first: the set-up counts as done even if a step below fails.
    ssl_util_initizalized = 1;
    SSL_library_init_func();
    SSL_load_error_strings_func();
    SSL_add_all_algorithms_func();
    ssl_util_prng_init();
    ssl_util_init_threads();
}

} // namespace

bool_t ssl_util_init(void) {
    zthread_once(&ssl_util_once, ssl_util_init_once);
    return ssl_util_initizalized;
}

void ssl_util_lock_callback(int mode, int type, const char *file, int line) {
    (void)file;
    (void)line;
    if (ssl_util_locks == nullptr || type < 0 || type >= ssl_util_lock_count)
        return;
    if ((mode & CRYPTO_LOCK) != 0)
        zthread_mutex_lock(ssl_util_locks[type]);
    else
        zthread_mutex_unlock(ssl_util_locks[type]);
}

unsigned long ssl_util_thread_id(void) {
    return static_cast<unsigned long>(zthread_id());
}

void SSL_library_init_func(void) {
    ADT_ASSERT(ssl_util_initizalized);
    OPENSSL_init_ssl(0, nullptr);
}

void SSL_load_error_strings_func(void) {
    ADT_ASSERT(ssl_util_initizalized);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

void SSL_add_all_algorithms_func(void) {
    ADT_ASSERT(ssl_util_initizalized);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}

void CRYPTO_set_locking_callback_func(void (*func)(int mode, int type, const char *file,
                                                   int line)) {
    ADT_ASSERT(ssl_util_initizalized);
    (void)func;
    CRYPTO_set_locking_callback(func);
}

void CRYPTO_set_id_callback_func(unsigned long (*func)(void)) {
    ADT_ASSERT(ssl_util_initizalized);
    (void)func;
    CRYPTO_set_id_callback(func);
}
