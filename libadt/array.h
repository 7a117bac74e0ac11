// Growable array of untyped pointers.
//
// Items occupy indexes 0 to a_used - 1. The array hands out a distinguished
// null item (a fixed bit pattern, not the null pointer) where there is no
// item, so that null pointers can be stored as ordinary items. When the array
// has a destructor it owns its items: replacing an item and deleting the
// array destroy them.
//
// Iteration:
//     array_item_t end = array_null(a);
//     array_iter_t it;
//     for (array_item_t item = array_first(a, &it); item != end; item = array_next(a, &it))
//         ...
//
// An array has no lock; it belongs to one thread at a time.
#pragma once

#include "adt_types.h"
#include "pool.h"

#include <cstdint>
#include <sys/types.h>

typedef void *array_item_t;
typedef ssize_t array_index_t;
typedef void (*array_destructor_t)(array_item_t item);

typedef struct {
    array_item_t a_null;
} array_opts_t;

struct _arraystruct {
    ssize_t a_allocated; // slots available for items (the capacity); 0 before the first item
    ssize_t a_used;      // number of items
    int32_t a_ref_count;
    int32_t a_nomem_count; // insertions that failed for lack of memory
    // a_allocated + 1 slots; every slot from a_used up to and including
    // a_allocated holds the null item. Null before the first item.
    array_item_t *a_items;
    array_destructor_t a_dtor;
    array_opts_t a_options;
};
typedef struct _arraystruct *array_t;

typedef struct {
    array_index_t a_idx; // index of the item last returned; -1 before the first
} array_iter_t;

typedef enum {
    ARRAY_OK = 0,
    ARRAY_BOUNDS_ERROR = 1,
    ARRAY_ERROR_IN_OPTS = 2,
    ARRAY_OUT_OF_MEMORY = 3,
} array_status_t;

// Null when memory runs out.
array_t array_new(array_destructor_t dtor);
// With a tracking pool `p`, the pool holds the creation reference: deleting the
// pool deletes the array, so the caller must not array_delete it as well.
array_t array_pnew(pool_t p, array_destructor_t dtor);
// Drops one reference; the last one destroys the items (through the
// destructor, in index order, null pointers included) and the array.
void array_delete(array_t array);

// Stores `item` at `idx`, an existing index (replacing, and so destroying, the
// item there) or a_used (appending).
array_status_t array_set(array_t array, array_index_t idx, array_item_t item);
array_status_t array_append(array_t array, array_item_t item);
array_status_t array_push(array_t array, array_item_t item);

array_item_t array_first(array_t array, array_iter_t *iterp);
array_item_t array_next(array_t array, array_iter_t *iterp);
array_item_t array_null(array_t array);
