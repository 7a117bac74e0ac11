#include "str.h"

#include "pool.h"
#include "syslog.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex.h>
#include <utility>

namespace {

constexpr int str_log_error = 3;

// A fresh or small buffer is first grown to this many characters, so that
// most texts are formatted in one attempt.
constexpr size_t str_initial_length = 4096;

// str_replace starts from a small zeroed buffer; the first append grows it.
constexpr size_t str_replace_start_size = 10;

const char *const str_default_split_pattern = "([ \t]+)";

// Releases a growable buffer and resets its variables.
void str_drop(char **strp, size_t *sizep) {
    pool_free(pool_default(), *strp);
    *strp = nullptr;
    *sizep = 0;
}

// Doubles the buffer's capacity, keeping its content; on failure the buffer
// is released.
bool str_double(char **strp, size_t *sizep) {
    char *grown = nullptr;
    if (*sizep <= SIZE_MAX / 2)
        grown = static_cast<char *>(pool_realloc(pool_default(), *strp, *sizep * 2));
    if (grown == nullptr) {
        kovr_log_no_memory("str_vappend realloc");
        str_drop(strp, sizep);
        return false;
    }
    *strp = grown;
    *sizep *= 2;
    return true;
}

// Room for new characters after `len` of them; one byte of the capacity
// always stays spare besides the NUL.
size_t str_room(size_t size, size_t len) {
    return size > len + 1 ? size - len - 1 : 0;
}

// Appends `n` bytes literally (they may hold '%'), growing the buffer as the
// formatted append does.
bool str_append_bytes(char **strp, size_t *sizep, const char *bytes, size_t n) {
    str_ensure(strp, sizep, str_initial_length);
    if (*strp == nullptr)
        return false;
    const size_t len = strlen(*strp);
    while (str_room(*sizep, len) <= n) {
        if (!str_double(strp, sizep))
            return false;
    }
    memcpy(*strp + len, bytes, n);
    (*strp)[len + n] = '\0';
    return true;
}

// Owns a growable buffer until released; frees it on every early return.
struct str_buffer {
    char *sb_str = nullptr;
    size_t sb_size = 0;
    ~str_buffer() { pool_free(pool_default(), sb_str); }
    char *release() { return std::exchange(sb_str, nullptr); }
};

// A compiled expression, freed with its scope.
struct str_regex {
    regex_t sr_re;
    bool sr_compiled = false;
    ~str_regex() {
        if (sr_compiled)
            regfree(&sr_re);
    }
};

bool str_compile(str_regex &regex, const char *pattern) {
    const int rc = regcomp(&regex.sr_re, pattern, REG_EXTENDED | REG_ICASE);
    if (rc != 0) {
        char message[256];
        regerror(rc, &regex.sr_re, message, sizeof message);
        kovr_log(str_log_error, "regcomp failed: %d: %s\n", rc, message);
        return false;
    }
    regex.sr_compiled = true;
    return true;
}

// Next non-empty match in `text`. An empty match counts as none, since the
// scan could not advance past it.
bool str_find(const str_regex &regex, const char *text, int eflags, regmatch_t *match) {
    return regexec(&regex.sr_re, text, 1, match, eflags) == 0 && match->rm_eo > match->rm_so;
}

struct str_array_deleter {
    void operator()(array_t array) const { array_delete(array); }
};
using str_array_ptr = std::unique_ptr<struct _arraystruct, str_array_deleter>;

// Appends a copy of `len` bytes at `start` to the pieces, which then own it.
bool str_add_piece(array_t pieces, const char *start, size_t len) {
    char *piece = pstrndup(pool_default(), start, len);
    if (piece == nullptr)
        return false;
    if (array_append(pieces, piece) != ARRAY_OK) {
        pool_free(pool_default(), piece);
        return false;
    }
    return true;
}

// Calls `f` on `a` and each further string argument up to the null one.
template <typename F> void str_each_arg(const char *a, va_list ap, F f) {
    for (const char *s = a; s != nullptr; s = va_arg(ap, const char *))
        f(s);
}

} // namespace

char *str_cat(const char *a, ...) {
    size_t total = 0;
    bool too_long = false;
    va_list ap;
    va_start(ap, a);
    str_each_arg(a, ap, [&](const char *s) {
        const size_t len = strlen(s);
        too_long = too_long || len >= SIZE_MAX - total;
        total += len;
    });
    va_end(ap);
    char *result = too_long ? nullptr : static_cast<char *>(pool_alloc(pool_default(), total + 1));
    if (result != nullptr) {
        char *end = result;
        va_start(ap, a);
        str_each_arg(a, ap, [&](const char *s) {
            const size_t len = strlen(s);
            memcpy(end, s, len);
            end += len;
        });
        va_end(ap);
        *end = '\0';
    }
    return result;
}

char *str_sprintf(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *result = str_vsprintf(format, ap);
    va_end(ap);
    return result;
}

char *str_vsprintf(const char *format, va_list ap) {
    char *str = nullptr;
    size_t size = 0;
    return str_vappend(&str, &size, format, ap);
}

char *str_append(char **strp, size_t *sizep, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *result = str_vappend(strp, sizep, format, ap);
    va_end(ap);
    return result;
}

char *str_vappend(char **strp, size_t *sizep, const char *format, va_list ap) {
    str_ensure(strp, sizep, str_initial_length);
    // Measured once: a truncated attempt leaves its partial text behind, which
    // the next attempt overwrites.
    const size_t len = *strp == nullptr ? 0 : strlen(*strp);
    while (*strp != nullptr) {
        const size_t room = str_room(*sizep, len);
        va_list attempt;
        va_copy(attempt, ap);
        const int n = vsnprintf(*strp + len, room, format, attempt);
        va_end(attempt);
        if (n >= 0 && static_cast<size_t>(n) < room)
            return *strp;
        // A negative result is a conversion error (an unconvertible wide
        // character, a text beyond INT_MAX) that more room cannot cure:
        // fail instead of doubling until memory runs out.
        if (n < 0)
            str_drop(strp, sizep);
        else
            str_double(strp, sizep);
    }
    return nullptr;
}

void str_ensure(char **strp, size_t *sizep, size_t desired) {
    if (desired < *sizep)
        return;
    char *grown = nullptr;
    if (desired < SIZE_MAX) {
        grown = *strp == nullptr
                    ? static_cast<char *>(pool_zalloc(pool_default(), desired + 1))
                    : static_cast<char *>(pool_realloc(pool_default(), *strp, desired + 1));
    }
    // A failed realloc leaves the old block valid: free it here rather than
    // lose it when the string variable is cleared.
    if (grown == nullptr) {
        str_drop(strp, sizep);
        return;
    }
    *strp = grown;
    *sizep = desired + 1;
}

array_t str_split(const char *string, const char *pattern, int limit) {
    if (string == nullptr)
        return nullptr;
    str_array_ptr pieces(array_new(pool_default_free));
    str_regex regex;
    if (!pieces || !str_compile(regex, pattern == nullptr ? str_default_split_pattern : pattern))
        return nullptr;
    const char *pos = string;
    regmatch_t match;
    if (str_find(regex, pos, 0, &match)) {
        // Only one leading separator is skipped: it yields no empty first piece.
        if (match.rm_so == 0)
            pos += match.rm_eo;
        for (int count = 0;
             !(limit > 0 && count == limit - 1) && str_find(regex, pos, REG_NOTBOL, &match);
             ++count) {
            if (!str_add_piece(pieces.get(), pos, match.rm_so))
                return nullptr;
            pos += match.rm_eo;
        }
    }
    if (*pos != '\0' && !str_add_piece(pieces.get(), pos, strlen(pos)))
        return nullptr;
    return pieces.release();
}

char *str_replace(const char *string, const char *pattern, const char *replacement) {
    if (string == nullptr || pattern == nullptr || replacement == nullptr)
        return nullptr;
    str_regex regex;
    if (!str_compile(regex, pattern))
        return nullptr;
    str_buffer result;
    result.sb_str = static_cast<char *>(pool_zalloc(pool_default(), str_replace_start_size));
    if (result.sb_str == nullptr)
        return nullptr;
    result.sb_size = str_replace_start_size;
    const size_t replacement_len = strlen(replacement);
    const char *pos = string;
    regmatch_t match;
    while (str_find(regex, pos, REG_NOTBOL | REG_NOTEOL, &match)) {
        if (match.rm_so > 0 && !str_append_bytes(&result.sb_str, &result.sb_size, pos, match.rm_so))
            return nullptr;
        if (!str_append_bytes(&result.sb_str, &result.sb_size, replacement, replacement_len))
            return nullptr;
        pos += match.rm_eo;
    }
    if (*pos != '\0' && !str_append_bytes(&result.sb_str, &result.sb_size, pos, strlen(pos)))
        return nullptr;
    return result.release();
}
