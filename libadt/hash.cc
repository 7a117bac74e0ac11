#include "hash.h"

#include "adt_assert.h"
#include "syslog.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr uint16_t hash_initial_size = 7;
constexpr uint16_t hash_max_size = 32767;
// Grow once the table holds this many items per bucket (in percent).
constexpr uint32_t hash_grow_percent = 200;
constexpr size_t hash_key_span = 128;

// Coefficient of each of the 128 positions: the 16 factors below, repeated.
constexpr std::array<int8_t, 16> hash_factors = {1,  3,  7,  11, 13, 17, 23, 29,
                                                 31, 37, 41, 43, 47, 53, 59, 61};
constexpr std::array<int8_t, hash_key_span> hash_coefficients = [] {
    std::array<int8_t, hash_key_span> table{};
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = hash_factors[i % hash_factors.size()];
    return table;
}();

// Identity except 'A'..'Z', independent of the locale.
constexpr std::array<unsigned char, 256> ascii_fold = [] {
    std::array<unsigned char, 256> map{};
    for (size_t c = 0; c < map.size(); ++c)
        map[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return map;
}();

// Sum of coefficient x character over the positions `take` selects, with each
// character first passed through `fold`; stops at `len` or at 128 characters.
// The sum wraps modulo 2^16 in the conversion to hash_code_t.
template <typename Fold, typename Take>
hash_code_t hash_weighted_sum(const char *key, size_t len, Fold fold, Take take) {
    int sum = 0;
    const size_t end = len < hash_key_span ? len : hash_key_span;
    for (size_t i = 0; i < end; ++i) {
        if (take(i))
            sum += hash_coefficients[i] * static_cast<int8_t>(fold(key[i]));
    }
    return static_cast<hash_code_t>(sum);
}

char keep_char(char c) {
    return c;
}
bool every_position(size_t) {
    return true;
}

struct pool_block_deleter {
    void operator()(void *block) const { pool_free(pool_default(), block); }
};

void *item_of(hash_table_t table, hash_link_t *link) {
    return reinterpret_cast<char *>(link) - table->h_link_offset;
}

hash_link_t *link_of(hash_table_t table, const void *item) {
    return reinterpret_cast<hash_link_t *>(const_cast<char *>(static_cast<const char *>(item)) +
                                           table->h_link_offset);
}

// Checks the table and takes its lock. A dead table (only reachable from the
// destructor calls of the final hash_delete) has already lost its lock.
void hash_lock_live(hash_table_t table) {
    ADT_ASSERT(0 != table);
    if (table->h_lock == nullptr)
        ADT_ASSERT(0 != table->h_refcount);
    zthread_rmutex_lock(table->h_lock);
    ADT_ASSERT(0 != table->h_refcount);
}

// Holds the table's lock for a scope.
class hash_guard {
  public:
    explicit hash_guard(hash_table_t table) : hg_table(table) { hash_lock_live(table); }
    ~hash_guard() { zthread_rmutex_unlock(hg_table->h_lock); }
    hash_guard(const hash_guard &) = delete;
    hash_guard &operator=(const hash_guard &) = delete;

  private:
    hash_table_t hg_table;
};

// The link whose hl_next is the first item in `table`'s chain with this key
// (so that callers can unlink or replace it), or null when there is none.
hash_link_t *hash_find_prev(hash_table_t table, hash_code_t code, const void *key) {
    for (hash_link_t *prev = &table->h_buckets[code % table->h_size]; prev->hl_next != nullptr;
         prev = prev->hl_next) {
        hash_link_t *link = prev->hl_next;
        // The comparer sees only items whose stored code matches.
        if (link->hl_code == code && table->h_cmp(key, item_of(table, link)) == 0)
            return prev;
    }
    return nullptr;
}

// Doubles the bucket array (2n + 1) once the load reaches the threshold. The
// stored codes are reused; each chain is moved link by link to the head of
// its new bucket. Failing to allocate leaves the table as it was.
void hash_grow_if_needed(hash_table_t table) {
    if (!table->h_allow_resize || table->h_size >= hash_max_size ||
        table->h_stored * 100u / table->h_size < hash_grow_percent)
        return;
    const auto new_size = static_cast<uint16_t>(2 * table->h_size + 1);
    auto *buckets =
        static_cast<hash_link_t *>(pool_zalloc(pool_default(), new_size * sizeof(hash_link_t)));
    if (buckets == nullptr)
        return;
    for (uint32_t b = 0; b < table->h_size; ++b) {
        hash_link_t *link = table->h_buckets[b].hl_next;
        while (link != nullptr) {
            hash_link_t *next = link->hl_next;
            hash_link_t *head = &buckets[link->hl_code % new_size];
            link->hl_next = head->hl_next;
            head->hl_next = link;
            link = next;
        }
    }
    // Poisoned so that a stale pointer into the old array shows up at once.
    memset(table->h_buckets, 0xB0, table->h_size * sizeof(hash_link_t));
    pool_free(pool_default(), table->h_buckets);
    table->h_buckets = buckets;
    table->h_size = new_size;
}

// First item at or after bucket `from`, recording where it was found.
void *hash_scan_from(hash_table_t table, uint32_t from, hash_iter_t *iterp) {
    for (uint32_t b = from; b < table->h_size; ++b) {
        if (table->h_buckets[b].hl_next != nullptr) {
            iterp->hi_last_bucket = static_cast<uint16_t>(b);
            iterp->hi_last_item = item_of(table, table->h_buckets[b].hl_next);
            return iterp->hi_last_item;
        }
    }
    iterp->hi_last_item = nullptr;
    return nullptr;
}

// A table with no items and no pool registration; null when any part cannot
// be allocated.
hash_table_t hash_create(uint16_t buckets, bool_t allow_resize, size_t link_offset,
                         hash_func_t hasher, hash_cmp_t comparer, hash_destructor_t dtor) {
    std::unique_ptr<_hashstruct, pool_block_deleter> table(
        static_cast<hash_table_t>(pool_zalloc(pool_default(), sizeof(struct _hashstruct))));
    std::unique_ptr<hash_link_t, pool_block_deleter> heads(
        static_cast<hash_link_t *>(pool_zalloc(pool_default(), buckets * sizeof(hash_link_t))));
    if (table == nullptr || heads == nullptr) {
        kovr_log_no_memory("hash table");
        return nullptr;
    }
    table->h_lock = zthread_rmutex_new();
    if (table->h_lock == nullptr)
        return nullptr;
    table->h_refcount = 1;
    table->h_size = buckets;
    table->h_stored = 0;
    table->h_buckets = heads.release();
    table->h_link_offset = link_offset;
    table->h_allow_duplicates = 1;
    table->h_allow_resize = allow_resize;
    table->h_func = hasher != nullptr ? hasher : hash_string_icase_new;
    table->h_cmp = comparer != nullptr ? comparer : hash_string_comparer_icase;
    table->h_dtor = dtor;
    table->h_clone = nullptr;
    return table.release();
}

void hash_pool_cleanup(void *table) {
    hash_delete(static_cast<hash_table_t>(table));
}

// The copy made by hash_clone, with the source locked by the caller.
hash_table_t hash_copy_items(hash_table_t orig) {
    if (orig->h_clone == nullptr)
        return nullptr;
    hash_table_t copy = hash_create(orig->h_size, orig->h_allow_resize, orig->h_link_offset,
                                    orig->h_func, orig->h_cmp, orig->h_dtor);
    if (copy == nullptr)
        return nullptr;
    copy->h_allow_duplicates = orig->h_allow_duplicates;
    copy->h_clone = orig->h_clone;
    for (uint32_t b = 0; b < orig->h_size; ++b) {
        // Appending at the chain's tail keeps the original order.
        hash_link_t *tail = &copy->h_buckets[b];
        for (hash_link_t *link = orig->h_buckets[b].hl_next; link != nullptr;
             link = link->hl_next) {
            void *item = orig->h_clone(item_of(orig, link));
            if (item == nullptr) {
                hash_delete(copy);
                return nullptr;
            }
            hash_link_t *copy_link = link_of(copy, item);
            copy_link->hl_code = link->hl_code;
            copy_link->hl_next = nullptr;
            tail->hl_next = copy_link;
            tail = copy_link;
            ++copy->h_stored;
        }
    }
    return copy;
}

} // namespace

hash_table_t hash_new(uint16_t size, size_t link_offset, hash_func_t hasher, hash_cmp_t comparer,
                      hash_destructor_t dtor) {
    return hash_pnew(pool_default(), size, link_offset, hasher, comparer, dtor);
}

hash_table_t hash_new_with_clone(uint16_t size, size_t link_offset, hash_func_t hasher,
                                 hash_cmp_t comparer, hash_clone_t clone, hash_destructor_t dtor) {
    hash_table_t table = hash_new(size, link_offset, hasher, comparer, dtor);
    if (table != nullptr)
        table->h_clone = clone;
    return table;
}

hash_table_t hash_pnew(pool_t pool, uint16_t size, size_t link_offset, hash_func_t hasher,
                       hash_cmp_t comparer, hash_destructor_t dtor) {
    const bool_t resizable = size == 0;
    hash_table_t table = hash_create(resizable ? hash_initial_size : size, resizable, link_offset,
                                     hasher, comparer, dtor);
    if (table != nullptr)
        hash_register(pool, table);
    return table;
}

void hash_register(pool_t pool, hash_table_t table) {
    ADT_ASSERT(0 != table);
    if (pool != pool_default())
        pool_add_cleanup_real(pool, hash_pool_cleanup, table);
}

hash_table_t hash_reference(hash_table_t table) {
    if (table == nullptr || table->h_lock == nullptr)
        return nullptr;
    zthread_rmutex_lock(table->h_lock);
    const bool usable = table->h_refcount != 0 && table->h_refcount != UINT16_MAX;
    if (usable)
        ++table->h_refcount;
    zthread_rmutex_unlock(table->h_lock);
    return usable ? table : nullptr;
}

void hash_delete(hash_table_t table) {
    // A dead table is one whose final delete is running its destructors; a
    // destructor that drops another reference to it has nothing left to do.
    if (table == nullptr || table->h_lock == nullptr)
        return;
    zthread_rmutex_lock(table->h_lock);
    const bool last = table->h_refcount != 0 && --table->h_refcount == 0;
    zthread_rmutex_unlock(table->h_lock);
    if (!last)
        return;
    zthread_rmutex_delete(table->h_lock);
    table->h_lock = nullptr;
    for (uint32_t b = 0; b < table->h_size; ++b) {
        hash_link_t *link = table->h_buckets[b].hl_next;
        while (link != nullptr) {
            hash_link_t *next = link->hl_next;
            if (table->h_dtor != nullptr)
                table->h_dtor(item_of(table, link));
            link = next;
        }
    }
    pool_free(pool_default(), table->h_buckets);
    pool_free(pool_default(), table);
}

hash_status_t hash_add(hash_table_t table, const void *key, void *item) {
    ADT_ASSERT(0 != item);
    hash_guard guard(table);
    hash_grow_if_needed(table);
    const hash_code_t code = table->h_func(key);
    hash_link_t *link = link_of(table, item);
    link->hl_code = code;
    hash_link_t *prev = hash_find_prev(table, code, key);
    if (prev == nullptr) {
        hash_link_t *head = &table->h_buckets[code % table->h_size];
        link->hl_next = head->hl_next;
        head->hl_next = link;
        ++table->h_stored;
        return HASH_OK;
    }
    if (!table->h_allow_duplicates)
        return HASH_ITEM_EXISTS;
    // The new item takes the old one's place before the old one's destructor
    // runs, so a destructor that looks into the table sees a consistent chain.
    hash_link_t *old = prev->hl_next;
    link->hl_next = old->hl_next;
    prev->hl_next = link;
    if (table->h_dtor != nullptr)
        table->h_dtor(item_of(table, old));
    return HASH_OK;
}

hash_status_t hash_remove(hash_table_t table, const void *key) {
    hash_guard guard(table);
    hash_link_t *prev = hash_find_prev(table, table->h_func(key), key);
    if (prev == nullptr)
        return HASH_ITEM_DOES_NOT_EXIST;
    hash_link_t *link = prev->hl_next;
    prev->hl_next = link->hl_next;
    link->hl_next = nullptr;
    --table->h_stored;
    if (table->h_dtor != nullptr)
        table->h_dtor(item_of(table, link));
    return HASH_OK;
}

void *hash_get(hash_table_t table, const void *key) {
    hash_guard guard(table);
    hash_link_t *prev = hash_find_prev(table, table->h_func(key), key);
    return prev == nullptr ? nullptr : item_of(table, prev->hl_next);
}

void *hash_first(hash_table_t table, hash_iter_t *iterp) {
    ADT_ASSERT(0 != iterp);
    hash_guard guard(table);
    return hash_scan_from(table, 0, iterp);
}

void *hash_next(hash_table_t table, hash_iter_t *iterp) {
    ADT_ASSERT(0 != iterp);
    ADT_ASSERT(0 != iterp->hi_last_item);
    hash_guard guard(table);
    hash_link_t *next = link_of(table, iterp->hi_last_item)->hl_next;
    if (next == nullptr)
        return hash_scan_from(table, iterp->hi_last_bucket + 1u, iterp);
    iterp->hi_last_item = item_of(table, next);
    return iterp->hi_last_item;
}

void hash_apply(hash_table_t table, hash_apply_func_t func, void *data) {
    hash_guard guard(table);
    for (uint32_t b = 0; b < table->h_size; ++b) {
        hash_link_t *link = table->h_buckets[b].hl_next;
        while (link != nullptr) {
            // Read before the call, which may remove the item it is given.
            hash_link_t *next = link->hl_next;
            func(item_of(table, link), data);
            link = next;
        }
    }
}

hash_table_t hash_clone(hash_table_t orig, pool_t pool) {
    hash_table_t copy = nullptr;
    {
        hash_guard guard(orig);
        copy = hash_copy_items(orig);
    }
    // Registered after the source's lock is released: deleting the pool locks
    // the pool and then the table, so the opposite order could deadlock.
    if (copy != nullptr)
        hash_register(pool, copy);
    return copy;
}

void hash_stat(hash_table_t table, hash_stats_t *stats) {
    ADT_ASSERT(0 != stats);
    hash_guard guard(table);
    *stats = hash_stats_t{table->h_size, 0, 0, 0};
    for (uint32_t b = 0; b < table->h_size; ++b) {
        uint32_t chain = 0;
        for (hash_link_t *link = table->h_buckets[b].hl_next; link != nullptr; link = link->hl_next)
            ++chain;
        if (chain != 0)
            ++stats->hs_used_buckets;
        stats->hs_items_stored += chain;
        if (chain > stats->hs_longest_chain)
            stats->hs_longest_chain = chain;
    }
}

void hash_debug(hash_table_t table) {
    hash_guard guard(table);
    for (uint32_t b = 0; b < table->h_size; ++b) {
        hash_link_t *link = table->h_buckets[b].hl_next;
        if (link == nullptr)
            continue;
        printf("%4d:", static_cast<int>(b));
        for (; link != nullptr; link = link->hl_next)
            printf(" %d", link->hl_code);
        printf("\n");
    }
}

hash_code_t hash_stringn(const char *key, size_t len) {
    return hash_weighted_sum(key, len, keep_char, every_position);
}

hash_code_t hash_string(const void *key) {
    const auto *text = static_cast<const char *>(key);
    return hash_stringn(text, strlen(text));
}

hash_code_t hash_string_icase_new(const void *key) {
    const auto *text = static_cast<const char *>(key);
    // Only the length up to the span matters, so the NUL is searched no further.
    return hash_weighted_sum(
        text, strnlen(text, hash_key_span),
        [](char c) { return static_cast<char>(ascii_fold[static_cast<unsigned char>(c)]); },
        [](size_t i) { return i % 2 == 1; });
}

hash_code_t hash_string_icasen(const char *key, size_t len) {
    return hash_weighted_sum(
        key, len, [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); },
        every_position);
}

hash_code_t hash_string_icase(const void *key) {
    const auto *text = static_cast<const char *>(key);
    return hash_string_icasen(text, strlen(text));
}

int hash_string_comparer(const void *key, const void *item) {
    return strcmp(static_cast<const char *>(key), *static_cast<const char *const *>(item));
}

int hash_string_comparer_icase(const void *key, const void *item) {
    return bsdstrcasecmp(static_cast<const char *>(key), *static_cast<const char *const *>(item));
}

int bsdstrcasecmp(const char *s1, const char *s2) {
    const auto *a = reinterpret_cast<const unsigned char *>(s1);
    const auto *b = reinterpret_cast<const unsigned char *>(s2);
    while (ascii_fold[*a] == ascii_fold[*b]) {
        if (*a == '\0')
            return 0;
        ++a;
        ++b;
    }
    return ascii_fold[*a] - ascii_fold[*b];
}
