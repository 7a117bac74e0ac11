// String table: string keys to string values, over the hash table.
//
// Tables have 101 buckets that never grow and, unless created with
// STAB_FLAG_CASE_SENSITIVE, case-insensitive keys (a key keeps the spelling
// it was first written with). Keys and values shorter than 32 characters
// live inside the entry; longer ones are copied to the heap. The table owns
// its entries and copies; callers' strings are never kept.
//
// Typed values are stored as their decimal text and parsed back on reading.
// Readers accept a null table and return their default, which they also
// return for an absent key; a present value is always parsed, even when it
// is not a number ("abc" reads as 0).
//
// A single operation is atomic; a sequence (stab_add is a lookup, an
// insertion and an assignment) is not, so a table is used by one thread at a
// time.
#pragma once

#include "hash.h"

#include <cstdarg>
#include <cstdint>
#include <sys/types.h>

typedef hash_table_t stab_t;

typedef uint32_t stab_flags_t;
// Keys compare with strcmp and hash with hash_string.
constexpr stab_flags_t STAB_FLAG_CASE_SENSITIVE = 1;

// Releases the object behind a pointer value (stab_addp_ref).
typedef void (*stab_destructor_t)(void *ptr);

typedef struct _stab_ent_struct {
    const char *st_key;   // first field: the string comparers read it
    char st_keybuf[32];   // keys of at most 31 characters
    const char *st_value; // never null once assigned
    char st_valuebuf[32]; // values of at most 31 characters
    stab_destructor_t st_dtor;
    hash_link_t st_link;
} stab_ent_t;

typedef struct {
    hash_iter_t st_hiter;
    const char *st_key; // not used by the walk
} stab_iter_t;

// The same numbers as hash_status_t; hash statuses pass through unchanged.
typedef enum stab_status_e {
    STAB_OK = HASH_OK,
    STAB_ITEM_EXISTS = HASH_ITEM_EXISTS,
    STAB_ITEM_DOES_NOT_EXIST = HASH_ITEM_DOES_NOT_EXIST,
    STAB_NO_MEMORY = HASH_NO_MEMORY,
} stab_status_t;

// Creation with initial pairs: key, value, key, value, ..., NULL (the list
// also ends at the first null value). Null when the table or any pair cannot
// be allocated, with nothing left allocated. With a tracking pool, the pool
// owns the creation reference (see hash_pnew).
stab_t stab_new(const char *key, ...);
stab_t stab_pnew(pool_t pool, ...);
stab_t stab_new2(stab_flags_t flags, ...);
stab_t stab_pnew2(pool_t pool, stab_flags_t flags, ...);
stab_t stab_pvnew(pool_t pool, stab_flags_t flags, va_list pairs);

stab_t stab_reference(stab_t table);
void stab_delete(stab_t table);
// Copies keys and values; pointer destructors stay with the original.
stab_t stab_clone(stab_t table, pool_t pool);

// Adds or replaces; STAB_OK or STAB_NO_MEMORY. When copying a long value
// fails, the key stays with the value "".
stab_status_t stab_add(stab_t table, const char *key, const char *value);
// Skips the lookup: the hash layer replaces an existing entry with the key.
stab_status_t stab_add_nocheck(stab_t table, const char *key, const char *value);
stab_status_t stab_remove(stab_t table, const char *key);
// "" for an absent key or a null table.
const char *stab_get(stab_t table, const char *key);
const char *stab_get_def(stab_t table, const char *key, const char *defval);
// Keys in iteration order; null at the end.
const char *stab_first(stab_t table, stab_iter_t *iter);
const char *stab_next(stab_t table, stab_iter_t *iter);
size_t stab_size(stab_t table);

stab_status_t stab_addn(stab_t table, const char *key, int32_t value);
stab_status_t stab_addn_nocheck(stab_t table, const char *key, int32_t value);
int32_t stab_getn(stab_t table, const char *key);
int32_t stab_getn_def(stab_t table, const char *key, int32_t defval);

stab_status_t stab_addu(stab_t table, const char *key, uint32_t value);
stab_status_t stab_addu_nocheck(stab_t table, const char *key, uint32_t value);
uint32_t stab_getu(stab_t table, const char *key);
uint32_t stab_getu_def(stab_t table, const char *key, uint32_t defval);

stab_status_t stab_addl(stab_t table, const char *key, int64_t value);
stab_status_t stab_addl_nocheck(stab_t table, const char *key, int64_t value);
int64_t stab_getl(stab_t table, const char *key);
int64_t stab_getl_def(stab_t table, const char *key, int64_t defval);

stab_status_t stab_addsz(stab_t table, const char *key, ssize_t value);
ssize_t stab_getsz(stab_t table, const char *key);
ssize_t stab_getsz_def(stab_t table, const char *key, ssize_t defval);

stab_status_t stab_addlu(stab_t table, const char *key, uint64_t value);
stab_status_t stab_addlu_nocheck(stab_t table, const char *key, uint64_t value);
uint64_t stab_getlu(stab_t table, const char *key);
uint64_t stab_getlu_def(stab_t table, const char *key, uint64_t defval);

stab_status_t stab_addd(stab_t table, const char *key, double value);
double stab_getd(stab_t table, const char *key);
double stab_getd_def(stab_t table, const char *key, double defval);

// Stored as "1" or "0". Read as false: "", "0", "00000000000000", "no",
// "off", "false", "down", "null", "(null)", "disabled", "deleted" (any case);
// anything else is true.
stab_status_t stab_addb(stab_t table, const char *key, bool_t value);
bool_t stab_getb(stab_t table, const char *key);
bool_t stab_getb_def(stab_t table, const char *key, bool_t defval);

// Pointers are stored as their decimal value. With stab_addp_ref, the
// destructor is called once with the (non-null) pointer when the entry's
// value is reassigned or the entry is freed.
stab_status_t stab_addp(stab_t table, const char *key, void *value);
stab_status_t stab_addp_ref(stab_t table, const char *key, void *value, stab_destructor_t dtor);
void *stab_getp(stab_t table, const char *key);
void *stab_getp_def(stab_t table, const char *key, void *defval);

// The table's item destructor and clone function.
void stabent_free(void *item);
void *stabent_clone(const void *item);
