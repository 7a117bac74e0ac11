// Drives a call through every allocation failure it can meet.
//
// For n = 1, 2, ... the n-th allocation from the start of `call` fails; the
// sweep stops at the first n that the call completes without reaching.
// `check(result, failure_reached)` asserts what the call promised in each
// case; leaks are caught by the leak checker of the sanitizer build.
#pragma once

#include "pool.h"

#include <gtest/gtest.h>

template <typename Call, typename Check>
void sweep_allocation_failures(Call call, Check check, long limit = 10000) {
    for (long n = 1; n <= limit; ++n) {
        pool_test_fail_nth(n);
        auto result = call();
        const bool failure_reached = !pool_test_fail_pending();
        pool_test_fail_nth(0);
        SCOPED_TRACE(::testing::Message() << "allocation " << n << " failing");
        check(result, failure_reached);
        if (!failure_reached || ::testing::Test::HasFatalFailure())
            return;
    }
    ADD_FAILURE() << "call still allocating after " << limit << " allocations";
}
