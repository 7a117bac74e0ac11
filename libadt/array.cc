#include "array.h"

#include "adt_assert.h"

#include <algorithm>
#include <cstdint>

namespace {

// A pattern no allocator returns, so that the null pointer stays an ordinary item.
array_item_t const array_null_item = reinterpret_cast<array_item_t>(0x8081828384858687ULL);

// First vector size; later growth rounds up to multiples of the capacity.
constexpr ssize_t array_initial_capacity = 16;

// Largest capacity whose slot vector (capacity + 1 slots) has a size in bytes
// that fits in ssize_t.
constexpr ssize_t array_max_capacity = PTRDIFF_MAX / sizeof(array_item_t) - 1;

void array_pool_cleanup(void *array) {
    array_delete(static_cast<array_t>(array));
}

// Makes room for `n` items. On failure the array is left exactly as it was:
// a failed realloc keeps the old block valid, so the items the array holds
// (and may own) stay reachable and are destroyed by array_delete as usual,
// instead of being abandoned.
bool array_grow(array_t array, ssize_t n) {
    const ssize_t old_capacity = array->a_items == nullptr ? 0 : array->a_allocated;
    ssize_t capacity;
    array_item_t *slots;
    if (old_capacity == 0) {
        capacity = std::max(n, array_initial_capacity);
        if (capacity > array_max_capacity)
            return false;
        slots = static_cast<array_item_t *>(
            pool_zalloc(pool_default(), (capacity + 1) * sizeof(array_item_t)));
    } else {
        const ssize_t multiples = (n - 1) / old_capacity + 1;
        if (multiples > array_max_capacity / old_capacity)
            return false;
        capacity = multiples * old_capacity;
        slots = static_cast<array_item_t *>(
            pool_realloc(pool_default(), array->a_items, (capacity + 1) * sizeof(array_item_t)));
    }
    if (slots == nullptr)
        return false;
    std::fill(slots + old_capacity, slots + capacity + 1, array->a_options.a_null);
    array->a_items = slots;
    array->a_allocated = capacity;
    return true;
}

} // namespace

array_t array_new(array_destructor_t dtor) {
    return array_pnew(pool_default(), dtor);
}

array_t array_pnew(pool_t p, array_destructor_t dtor) {
    auto *array = static_cast<array_t>(pool_zalloc(pool_default(), sizeof(struct _arraystruct)));
    if (array == nullptr)
        return nullptr;
    array->a_ref_count = 1;
    array->a_dtor = dtor;
    array->a_options.a_null = array_null_item;
    if (p != pool_default())
        pool_add_cleanup_real(p, array_pool_cleanup, array);
    return array;
}

void array_delete(array_t array) {
    ADT_ASSERT(0 != array);
    if (--array->a_ref_count > 0)
        return;
    if (array->a_dtor != nullptr) {
        const array_item_t end = array_null(array);
        array_iter_t iter;
        for (array_item_t item = array_first(array, &iter); item != end;
             item = array_next(array, &iter))
            array->a_dtor(item);
    }
    pool_free(pool_default(), array->a_items);
    pool_free(pool_default(), array);
}

array_status_t array_set(array_t array, array_index_t idx, array_item_t item) {
    ADT_ASSERT(0 != array);
    ADT_ASSERT(item != array_null(array));
    if (idx < 0 || idx > array->a_used)
        return ARRAY_BOUNDS_ERROR;
    if ((idx == array->a_allocated && !array_grow(array, idx + 1)) || array->a_items == nullptr) {
        ++array->a_nomem_count;
        return ARRAY_OUT_OF_MEMORY;
    }
    const array_item_t old = array->a_items[idx];
    // Storing an item over itself must not destroy the item being kept.
    if (old != array->a_options.a_null && old != item && array->a_dtor != nullptr)
        array->a_dtor(old);
    array->a_items[idx] = item;
    if (idx == array->a_used)
        ++array->a_used;
    return ARRAY_OK;
}

array_status_t array_append(array_t array, array_item_t item) {
    ADT_ASSERT(0 != array);
    return array_set(array, array->a_used, item);
}

array_status_t array_push(array_t array, array_item_t item) {
    return array_append(array, item);
}

array_item_t array_first(array_t array, array_iter_t *iterp) {
    ADT_ASSERT(0 != array);
    ADT_ASSERT(0 != iterp);
    iterp->a_idx = -1;
    return array_next(array, iterp);
}

array_item_t array_next(array_t array, array_iter_t *iterp) {
    ADT_ASSERT(0 != array);
    ADT_ASSERT(0 != iterp);
    // The index stops at a_used, so calls past the end keep returning the
    // null item instead of walking on.
    if (iterp->a_idx < array->a_used)
        ++iterp->a_idx;
    if (iterp->a_idx < 0 || iterp->a_idx >= array->a_used)
        return array->a_options.a_null;
    return array->a_items[iterp->a_idx];
}

array_item_t array_null(array_t array) {
    ADT_ASSERT(0 != array);
    return array->a_options.a_null;
}
