// The stream protocol's reply header, read after a small request is written.
#include "fuzz_connection.h"
#include "kovrel.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzConnection connection(data, size);
    if (connection.get() == nullptr)
        return 0;
    static const char payload[] = "<kovrel/>";
    int content_length = 0;
    kr_vav_send_request(connection.get(), "user", "secret", payload, sizeof payload - 1,
                        &content_length);
    return 0;
}
