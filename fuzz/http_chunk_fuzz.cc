// Chunked transfer coding: read chunks until the end, an error or the input runs out.
#include "fuzz_connection.h"
#include "http.h"
#include "pool.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzConnection connection(data, size);
    if (connection.get() == nullptr)
        return 0;
    for (;;) {
        char *chunk = nullptr;
        size_t length = 0;
        if (!http_read_chunk(connection.get(), &chunk, &length) || chunk == nullptr)
            break;
        pool_free(pool_default(), chunk);
    }
    return 0;
}
