// One-time set-up of the TLS library for a multi-threaded host: library
// initialisation, seeding of its random pool, and the lock array with the
// locking and thread-identifier callbacks.
#pragma once

#include "adt_types.h"

// Runs the set-up once per process; returns whether it has run (true from
// then on, even when a later step of the set-up failed).
bool_t ssl_util_init(void);

// The callbacks handed to the TLS library. The locking callback locks mutex
// number `type` when `mode` has the CRYPTO_LOCK bit and unlocks it otherwise;
// a number outside the lock array is ignored.
void ssl_util_lock_callback(int mode, int type, const char *file, int line);
unsigned long ssl_util_thread_id(void);

// Thin wrappers around the TLS library's set-up calls; each asserts that the
// set-up has begun ("ssl_util_initizalized").
void SSL_library_init_func(void);
void SSL_load_error_strings_func(void);
void SSL_add_all_algorithms_func(void);
void CRYPTO_set_locking_callback_func(void (*func)(int mode, int type, const char *file, int line));
void CRYPTO_set_id_callback_func(unsigned long (*func)(void));
