// Always-on checks for programming errors.
//
// A broken precondition (a null handle given to a foundation call, an item
// linked twice, ...) stops the process in every build, release builds
// included, with a message naming the condition. `assert` is not used because
// NDEBUG removes it.
#pragma once

[[noreturn]] void adt_assert_fail(const char *condition, const char *file, int line,
                                  const char *function);

#define ADT_ASSERT(condition)                                                                      \
    do {                                                                                           \
        if (__builtin_expect(!(condition), 0))                                                     \
            adt_assert_fail(#condition, __FILE__, __LINE__, __func__);                             \
    } while (0)
