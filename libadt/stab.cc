#include "stab.h"

#include "adt_assert.h"
#include "syslog.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>

namespace {

constexpr uint16_t stab_buckets = 101;
// Room for the decimal text of any number the typed adders store.
constexpr size_t stab_number_text = 32;

static_assert(std::is_same_v<int64_t, long> && std::is_same_v<ssize_t, long>,
              "64-bit and size values are formatted with %ld");
static_assert(sizeof(void *) == sizeof(long), "pointers are stored as a long");

template <size_t N> bool is_inline(const char *text, const char (&buf)[N]) {
    return text == buf;
}

// Copies `text` into `buf` when it fits (under 32 characters), otherwise onto
// the heap; null when the heap copy fails. memmove, because `text` may be the
// buffer's own current contents (re-adding a value read from the table).
template <size_t N> const char *stab_copy_text(const char *text, char (&buf)[N]) {
    const size_t len = strlen(text);
    if (len >= N)
        return pstrdup(pool_default(), text);
    memmove(buf, text, len + 1);
    return buf;
}

void stab_free_heap_text(const char *text, const char *buf) {
    if (text != nullptr && text != buf)
        pool_free(pool_default(), text);
}

// The pointer destructor runs at most once per stored pointer: it is cleared
// before the call.
void stabent_release_pointer(stab_ent_t *ent) {
    stab_destructor_t dtor = ent->st_dtor;
    ent->st_dtor = nullptr;
    if (dtor == nullptr)
        return;
    void *ptr = reinterpret_cast<void *>(strtoll(ent->st_value, nullptr, 10));
    if (ptr != nullptr)
        dtor(ptr);
}

// The new value is copied before the old heap copy is freed, so a value read
// from this very entry can be written back.
stab_status_t stabent_set_value(stab_ent_t *ent, const char *value) {
    stabent_release_pointer(ent);
    const char *old = is_inline(ent->st_value, ent->st_valuebuf) ? nullptr : ent->st_value;
    const char *copy = stab_copy_text(value, ent->st_valuebuf);
    stab_status_t status = STAB_OK;
    if (copy == nullptr) {
        kovr_log_no_memory("string table value");
        ent->st_valuebuf[0] = '\0';
        copy = ent->st_valuebuf;
        status = STAB_NO_MEMORY;
    }
    ent->st_value = copy;
    stab_free_heap_text(old, ent->st_valuebuf);
    return status;
}

struct stabent_deleter {
    void operator()(stab_ent_t *ent) const { stabent_free(ent); }
};
using stabent_ptr = std::unique_ptr<stab_ent_t, stabent_deleter>;

// A zeroed entry holding a copy of `key`; null when that fails.
stabent_ptr stabent_new(const char *key) {
    stabent_ptr ent(static_cast<stab_ent_t *>(pool_zalloc(pool_default(), sizeof(stab_ent_t))));
    if (ent != nullptr)
        ent->st_key = stab_copy_text(key, ent->st_keybuf);
    if (ent == nullptr || ent->st_key == nullptr) {
        kovr_log_no_memory("string table entry");
        return nullptr;
    }
    return ent;
}

// The one write path. A new entry gets its value before it is linked in, so
// that stab_add_nocheck may be given a value owned by the entry it replaces.
stab_status_t stab_put(stab_t table, const char *key, const char *value, stab_destructor_t dtor,
                       bool lookup) {
    ADT_ASSERT(0 != table);
    ADT_ASSERT(0 != key);
    ADT_ASSERT(0 != value);
    auto *ent = lookup ? static_cast<stab_ent_t *>(hash_get(table, key)) : nullptr;
    stab_status_t status;
    if (ent != nullptr) {
        status = stabent_set_value(ent, value);
    } else {
        stabent_ptr fresh = stabent_new(key);
        if (fresh == nullptr)
            return STAB_NO_MEMORY;
        status = stabent_set_value(fresh.get(), value);
        const hash_status_t added = hash_add(table, fresh->st_key, fresh.get());
        if (added != HASH_OK)
            return static_cast<stab_status_t>(added);
        ent = fresh.release();
    }
    if (status == STAB_OK)
        ent->st_dtor = dtor;
    return status;
}

void stab_format(char (&text)[stab_number_text], int32_t v) {
    snprintf(text, sizeof text, "%d", v);
}
void stab_format(char (&text)[stab_number_text], uint32_t v) {
    snprintf(text, sizeof text, "%u", v);
}
void stab_format(char (&text)[stab_number_text], long v) {
    snprintf(text, sizeof text, "%ld", v);
}
void stab_format(char (&text)[stab_number_text], unsigned long v) {
    snprintf(text, sizeof text, "%lu", v);
}
void stab_format(char (&text)[stab_number_text], double v) {
    snprintf(text, sizeof text, "%g", v);
}

// Every typed adder: the value's decimal text, through stab_add (Lookup) or
// stab_add_nocheck.
template <typename T, bool Lookup>
stab_status_t stab_add_number(stab_t table, const char *key, T value,
                              stab_destructor_t dtor = nullptr) {
    char text[stab_number_text];
    stab_format(text, value);
    return stab_put(table, key, text, dtor, Lookup);
}

int32_t parse_int32(const char *text) {
    return static_cast<int32_t>(strtol(text, nullptr, 10));
}
uint32_t parse_uint32(const char *text) {
    return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}
int64_t parse_int64(const char *text) {
    return strtoll(text, nullptr, 10);
}
uint64_t parse_uint64(const char *text) {
    return strtoull(text, nullptr, 10);
}
double parse_double(const char *text) {
    return strtod(text, nullptr);
}
void *parse_pointer(const char *text) {
    return reinterpret_cast<void *>(strtoll(text, nullptr, 10));
}

constexpr std::string_view stab_false_words[] = {
    "0", "00000000000000", "no", "off", "false", "down", "null", "(null)", "disabled", "deleted"};

bool_t parse_bool(const char *text) {
    if (text[0] == '\0')
        return 0;
    for (std::string_view word : stab_false_words) {
        if (bsdstrcasecmp(text, word.data()) == 0)
            return 0;
    }
    return 1;
}

// Every typed reader: the default for a null table or an absent key,
// otherwise whatever the parser makes of the text.
template <typename T, T (*Parse)(const char *)>
T stab_read(stab_t table, const char *key, T defval) {
    const char *text = stab_get_def(table, key, nullptr);
    return text == nullptr ? defval : Parse(text);
}

// Creation with pairs, registered in the pool only once nothing can fail any
// more, so that a failure leaves no clean-up record behind.
stab_t stab_create(pool_t pool, stab_flags_t flags, const char *key, va_list pairs) {
    const bool sensitive = (flags & STAB_FLAG_CASE_SENSITIVE) != 0;
    stab_t table = hash_new_with_clone(
        stab_buckets, offsetof(stab_ent_t, st_link),
        sensitive ? hash_string : hash_string_icase_new,
        sensitive ? hash_string_comparer : hash_string_comparer_icase, stabent_clone, stabent_free);
    if (table == nullptr)
        return nullptr;
    for (; key != nullptr; key = va_arg(pairs, const char *)) {
        const char *value = va_arg(pairs, const char *);
        if (value == nullptr)
            break;
        if (stab_add(table, key, value) != STAB_OK) {
            hash_delete(table);
            return nullptr;
        }
    }
    hash_register(pool, table);
    return table;
}

} // namespace

stab_t stab_pvnew(pool_t pool, stab_flags_t flags, va_list pairs) {
    const char *key = va_arg(pairs, const char *);
    return stab_create(pool, flags, key, pairs);
}

stab_t stab_new(const char *key, ...) {
    va_list pairs;
    va_start(pairs, key);
    stab_t table = stab_create(pool_default(), 0, key, pairs);
    va_end(pairs);
    return table;
}

stab_t stab_pnew(pool_t pool, ...) {
    va_list pairs;
    va_start(pairs, pool);
    stab_t table = stab_pvnew(pool, 0, pairs);
    va_end(pairs);
    return table;
}

stab_t stab_new2(stab_flags_t flags, ...) {
    va_list pairs;
    va_start(pairs, flags);
    stab_t table = stab_pvnew(pool_default(), flags, pairs);
    va_end(pairs);
    return table;
}

stab_t stab_pnew2(pool_t pool, stab_flags_t flags, ...) {
    va_list pairs;
    va_start(pairs, flags);
    stab_t table = stab_pvnew(pool, flags, pairs);
    va_end(pairs);
    return table;
}

stab_t stab_reference(stab_t table) {
    return hash_reference(table);
}
void stab_delete(stab_t table) {
    hash_delete(table);
}
stab_t stab_clone(stab_t table, pool_t pool) {
    return hash_clone(table, pool);
}

stab_status_t stab_add(stab_t table, const char *key, const char *value) {
    return stab_put(table, key, value, nullptr, true);
}

stab_status_t stab_add_nocheck(stab_t table, const char *key, const char *value) {
    return stab_put(table, key, value, nullptr, false);
}

stab_status_t stab_remove(stab_t table, const char *key) {
    ADT_ASSERT(0 != key);
    return static_cast<stab_status_t>(hash_remove(table, key));
}

const char *stab_get(stab_t table, const char *key) {
    return stab_get_def(table, key, "");
}

const char *stab_get_def(stab_t table, const char *key, const char *defval) {
    if (table == nullptr || key == nullptr)
        return defval;
    const auto *ent = static_cast<const stab_ent_t *>(hash_get(table, key));
    return ent == nullptr ? defval : ent->st_value;
}

const char *stab_first(stab_t table, stab_iter_t *iter) {
    ADT_ASSERT(0 != iter);
    const auto *ent = static_cast<const stab_ent_t *>(hash_first(table, &iter->st_hiter));
    return ent == nullptr ? nullptr : ent->st_key;
}

const char *stab_next(stab_t table, stab_iter_t *iter) {
    ADT_ASSERT(0 != iter);
    const auto *ent = static_cast<const stab_ent_t *>(hash_next(table, &iter->st_hiter));
    return ent == nullptr ? nullptr : ent->st_key;
}

size_t stab_size(stab_t table) {
    if (table == nullptr)
        return 0;
    hash_stats_t stats;
    hash_stat(table, &stats);
    return stats.hs_items_stored;
}

stab_status_t stab_addn(stab_t table, const char *key, int32_t value) {
    return stab_add_number<int32_t, true>(table, key, value);
}
stab_status_t stab_addn_nocheck(stab_t table, const char *key, int32_t value) {
    return stab_add_number<int32_t, false>(table, key, value);
}
int32_t stab_getn(stab_t table, const char *key) {
    return stab_getn_def(table, key, 0);
}
int32_t stab_getn_def(stab_t table, const char *key, int32_t defval) {
    return stab_read<int32_t, parse_int32>(table, key, defval);
}

stab_status_t stab_addu(stab_t table, const char *key, uint32_t value) {
    return stab_add_number<uint32_t, true>(table, key, value);
}
stab_status_t stab_addu_nocheck(stab_t table, const char *key, uint32_t value) {
    return stab_add_number<uint32_t, false>(table, key, value);
}
uint32_t stab_getu(stab_t table, const char *key) {
    return stab_getu_def(table, key, 0);
}
uint32_t stab_getu_def(stab_t table, const char *key, uint32_t defval) {
    return stab_read<uint32_t, parse_uint32>(table, key, defval);
}

stab_status_t stab_addl(stab_t table, const char *key, int64_t value) {
    return stab_add_number<int64_t, true>(table, key, value);
}
stab_status_t stab_addl_nocheck(stab_t table, const char *key, int64_t value) {
    return stab_add_number<int64_t, false>(table, key, value);
}
int64_t stab_getl(stab_t table, const char *key) {
    return stab_getl_def(table, key, 0);
}
int64_t stab_getl_def(stab_t table, const char *key, int64_t defval) {
    return stab_read<int64_t, parse_int64>(table, key, defval);
}

stab_status_t stab_addsz(stab_t table, const char *key, ssize_t value) {
    return stab_add_number<ssize_t, true>(table, key, value);
}
ssize_t stab_getsz(stab_t table, const char *key) {
    return stab_getsz_def(table, key, 0);
}
ssize_t stab_getsz_def(stab_t table, const char *key, ssize_t defval) {
    return stab_read<ssize_t, parse_int64>(table, key, defval);
}

stab_status_t stab_addlu(stab_t table, const char *key, uint64_t value) {
    return stab_add_number<uint64_t, true>(table, key, value);
}
stab_status_t stab_addlu_nocheck(stab_t table, const char *key, uint64_t value) {
    return stab_add_number<uint64_t, false>(table, key, value);
}
uint64_t stab_getlu(stab_t table, const char *key) {
    return stab_getlu_def(table, key, 0);
}
uint64_t stab_getlu_def(stab_t table, const char *key, uint64_t defval) {
    return stab_read<uint64_t, parse_uint64>(table, key, defval);
}

stab_status_t stab_addd(stab_t table, const char *key, double value) {
    return stab_add_number<double, true>(table, key, value);
}
double stab_getd(stab_t table, const char *key) {
    return stab_getd_def(table, key, 0.0);
}
double stab_getd_def(stab_t table, const char *key, double defval) {
    return stab_read<double, parse_double>(table, key, defval);
}

stab_status_t stab_addb(stab_t table, const char *key, bool_t value) {
    return stab_add(table, key, value ? "1" : "0");
}
bool_t stab_getb(stab_t table, const char *key) {
    return stab_getb_def(table, key, 0);
}
bool_t stab_getb_def(stab_t table, const char *key, bool_t defval) {
    return stab_read<bool_t, parse_bool>(table, key, defval);
}

stab_status_t stab_addp(stab_t table, const char *key, void *value) {
    return stab_addp_ref(table, key, value, nullptr);
}
stab_status_t stab_addp_ref(stab_t table, const char *key, void *value, stab_destructor_t dtor) {
    return stab_add_number<long, true>(table, key, reinterpret_cast<long>(value), dtor);
}
void *stab_getp(stab_t table, const char *key) {
    return stab_getp_def(table, key, nullptr);
}
void *stab_getp_def(stab_t table, const char *key, void *defval) {
    return stab_read<void *, parse_pointer>(table, key, defval);
}

void stabent_free(void *item) {
    auto *ent = static_cast<stab_ent_t *>(item);
    if (ent == nullptr)
        return;
    stab_free_heap_text(ent->st_key, ent->st_keybuf);
    if (ent->st_value != nullptr)
        stabent_release_pointer(ent);
    stab_free_heap_text(ent->st_value, ent->st_valuebuf);
    pool_free(pool_default(), ent);
}

void *stabent_clone(const void *item) {
    const auto *orig = static_cast<const stab_ent_t *>(item);
    stabent_ptr copy = stabent_new(orig->st_key);
    if (copy == nullptr)
        return nullptr;
    copy->st_value = stab_copy_text(orig->st_value, copy->st_valuebuf);
    if (copy->st_value == nullptr)
        return nullptr;
    return copy.release();
}
