// Chained hash table over caller-owned items.
//
// Each item embeds a hash_link_t at a fixed offset (h_link_offset); the table
// allocates only its bucket array, never anything per item. Tables are
// reference counted and carry their own recursive mutex, so destructor,
// comparison and clone callbacks may call back into the same table.
//
// Iteration order is part of the contract (string tables write attributes and
// headers in it): buckets in increasing index, each chain from its head, that
// is the most recently inserted key first; a replaced item keeps its place.
#pragma once

#include "adt_types.h"
#include "pool.h"
#include "zthread.h"

#include <cstddef>
#include <cstdint>

typedef uint16_t hash_code_t;

typedef struct _hlink_struct {
    hash_code_t hl_code;           // stored when the item is added
    struct _hlink_struct *hl_next; // next link in the bucket chain, null at the end
} hash_link_t;

typedef hash_code_t (*hash_func_t)(const void *key);
// Called as (key, item); 0 when the item has that key.
typedef int (*hash_cmp_t)(const void *key, const void *item);
// Called with an item when it leaves the table (replaced, removed, table deleted).
typedef void (*hash_destructor_t)(void *item);
// Returns a new copy of the item, or null when the copy cannot be made.
typedef void *(*hash_clone_t)(const void *item);
typedef void (*hash_apply_func_t)(void *item, void *data);

struct _hashstruct {
    uint16_t h_refcount;       // 0 means the table is dead
    uint16_t h_size;           // number of buckets
    uint32_t h_stored;         // number of items
    hash_link_t *h_buckets;    // h_size chain heads; only hl_next is used
    size_t h_link_offset;      // item = link address - h_link_offset
    bool_t h_allow_duplicates; // adding an existing key replaces the old item
    bool_t h_allow_resize;     // only for tables created with size 0
    hash_func_t h_func;
    hash_cmp_t h_cmp;
    hash_destructor_t h_dtor; // may be null
    hash_clone_t h_clone;     // null if the table cannot be cloned
    zthread_rmutex_t h_lock;
};
typedef struct _hashstruct *hash_table_t;

typedef struct {
    uint16_t hi_last_bucket; // bucket of the item last returned
    void *hi_last_item;      // the item last returned; null once the walk is over
} hash_iter_t;

typedef struct {
    uint16_t hs_total_buckets;
    uint16_t hs_used_buckets; // buckets holding at least one item
    uint32_t hs_items_stored;
    uint32_t hs_longest_chain;
} hash_stats_t;

typedef enum hash_status_e {
    HASH_OK = 0,
    HASH_ITEM_EXISTS = 1,
    HASH_ITEM_DOES_NOT_EXIST = 2,
    HASH_NO_MEMORY = 3,
} hash_status_t;

// Creation. Size 0 means 7 buckets that grow (15, 31, ... 32767) once the
// table holds twice as many items as buckets; any other size is fixed. A null
// hasher means hash_string_icase_new, a null comparer
// hash_string_comparer_icase. Null on any allocation failure, with nothing
// left allocated. The table starts with one reference.
hash_table_t hash_new(uint16_t size, size_t link_offset, hash_func_t hasher, hash_cmp_t comparer,
                      hash_destructor_t dtor);
hash_table_t hash_new_with_clone(uint16_t size, size_t link_offset, hash_func_t hasher,
                                 hash_cmp_t comparer, hash_clone_t clone, hash_destructor_t dtor);
// With a tracking pool, the pool owns the creation reference: deleting the
// pool calls hash_delete once. Callers that want to release the table earlier
// take their own reference first (hash_reference) and delete only that.
hash_table_t hash_pnew(pool_t pool, uint16_t size, size_t link_offset, hash_func_t hasher,
                       hash_cmp_t comparer, hash_destructor_t dtor);
// Hands the table's creation reference to a tracking pool (nothing for the
// default pool). hash_pnew and hash_clone do this themselves.
void hash_register(pool_t pool, hash_table_t table);

// A new reference, or null for a null or dead table (and when the 16-bit
// count is already at its maximum, which would otherwise wrap to "dead").
hash_table_t hash_reference(hash_table_t table);
// Drops one reference; the last one destroys the lock, calls the destructor
// on every item in iteration order and frees the table. A null table is
// ignored.
void hash_delete(hash_table_t table);

// HASH_OK, or HASH_ITEM_EXISTS for a table without h_allow_duplicates.
hash_status_t hash_add(hash_table_t table, const void *key, void *item);
hash_status_t hash_remove(hash_table_t table, const void *key);
void *hash_get(hash_table_t table, const void *key);

// Iteration; null at the end. The table must not change during a walk.
void *hash_first(hash_table_t table, hash_iter_t *iterp);
void *hash_next(hash_table_t table, hash_iter_t *iterp);
// Calls func(item, data) for every item in iteration order, under the lock.
// func may remove the item it is given (and only that one).
void hash_apply(hash_table_t table, hash_apply_func_t func, void *data);

// Copy with the same settings, bucket count and chain order; null when the
// table has no clone function or a copy fails. Registered in `pool` like
// hash_pnew.
hash_table_t hash_clone(hash_table_t orig, pool_t pool);
void hash_stat(hash_table_t table, hash_stats_t *stats);
// Prints each non-empty bucket's number and item codes on standard output.
void hash_debug(hash_table_t table);

// Key functions for NUL-terminated string keys. All look at no more than the
// first 128 characters, taken as signed bytes.
hash_code_t hash_string(const void *key);
hash_code_t hash_stringn(const char *key, size_t len);
// The default: ASCII case folding, odd positions only.
hash_code_t hash_string_icase_new(const void *key);
hash_code_t hash_string_icasen(const char *key, size_t len);
hash_code_t hash_string_icase(const void *key);
// Compare the key with the string that the item's first field points to.
int hash_string_comparer(const void *key, const void *item);
int hash_string_comparer_icase(const void *key, const void *item);
// strcasecmp with ASCII-only folding, independent of the locale.
int bsdstrcasecmp(const char *s1, const char *s2);
