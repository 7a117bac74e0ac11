// The status line and headers of a reply, as a server could send them.
#include "fuzz_connection.h"
#include "http.h"
#include "stab.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzConnection connection(data, size);
    if (connection.get() == nullptr)
        return 0;
    stab_t headers = nullptr;
    http_strip_headers(connection.get(), &headers);
    if (headers != nullptr)
        stab_delete(headers);
    return 0;
}
