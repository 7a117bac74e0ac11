#include "testpoint.h"

testpoint_shared_state_t testpoint_state;

int32_t testpoint_hitn(int32_t default_val, const char *, const char *, const char *, int, ...) {
    // Nothing in this library loads testpoints (there is no loader), so
    // tps_active never becomes true and there is no table to walk: the hook's
    // own default is always the answer, without taking tps_lock, formatting
    // the module name, logging or reading the clock.
    return default_val;
}
