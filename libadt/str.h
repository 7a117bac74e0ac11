// C-string utilities: allocating printf, a growable string buffer, list
// concatenation, and splitting and search-and-replace by regular expression.
//
// Every returned string comes from the default pool and belongs to the
// caller, who frees it with pool_free. Null means memory ran out (or, for the
// regular-expression calls, that the pattern did not compile).
//
// A length-bounded copy is pstrndup(pool_default(), s, n) (pool.h); the C
// library already owns the name strndup, so there is no second definition.
//
// Regular expressions are POSIX extended and case-insensitive. A pattern given
// to str_split or str_replace should not match the empty string: the scan moves
// past each match by its length, so an empty match ends the scan (the rest of
// the text is taken as it is) instead of looping forever.
#pragma once

#include "array.h"

#include <cstdarg>
#include <cstddef>

// Concatenation of `a` and the following strings up to a null argument,
// allocated at exactly the total length + 1. A null `a` gives an empty string.
char *str_cat(const char *a, ...) __attribute__((sentinel));

// printf into a new string of any length (capacity at least 4,097 bytes).
// `ap` is not consumed: each attempt formats from a copy.
char *str_sprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
char *str_vsprintf(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));

// Growable buffer: a string variable (may be null) and its capacity variable
// (0 when the string is null; the capacity includes the terminating NUL).
//
// printf-appends to the buffer and returns it. On failure (memory exhausted,
// or a format the C library cannot convert) the buffer is freed, the string
// variable set to null and the capacity to 0, and null is returned: a null
// result always means the buffer is gone.
char *str_append(char **strp, size_t *sizep, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
char *str_vappend(char **strp, size_t *sizep, const char *format, va_list ap)
    __attribute__((format(printf, 3, 0)));
// Makes the buffer hold at least `desired` characters plus the NUL (a null
// string becomes an empty one). Does nothing when `desired` < *sizep. When
// memory runs out the buffer is freed and both variables reset as above; the
// caller tests the string variable.
void str_ensure(char **strp, size_t *sizep, size_t desired);

// Splits `string` at the matches of `pattern` (null: runs of blanks and tabs)
// into an array of new strings that owns them (deleting it frees them). One
// separator at the very start is skipped; empty pieces between adjacent
// separators are kept; an empty rest is dropped. `limit` > 0 caps the number
// of pieces, the last one holding the unsplit rest; 0 (or a negative value)
// means no limit. Null for a null `string`, an invalid pattern or no memory.
array_t str_split(const char *string, const char *pattern, int limit);

// New string with every match of `pattern` replaced by `replacement`, taken
// literally. "^" and "$" match nowhere. Null when an argument is null, the
// pattern is invalid or memory runs out.
char *str_replace(const char *string, const char *pattern, const char *replacement);
