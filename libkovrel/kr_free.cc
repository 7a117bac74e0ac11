#include "kovrel.h"

#include "pool.h"

extern "C" void kr_free(const void *ptr) {
    pool_free(pool_default(), ptr);
}
