#include "adt_assert.h"

#include <cstdio>
#include <cstdlib>

void adt_assert_fail(const char *condition, const char *file, int line, const char *function) {
    // Same shape as the C library's assertion message so that tools and
    // people recognise it.
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, condition);
    std::fflush(stderr);
    std::abort();
}
