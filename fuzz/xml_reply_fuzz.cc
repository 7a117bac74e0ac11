// The reply reader on a reply body: the first byte chooses sized,
// close-delimited or chunked framing; the rest is the body.
#include "fuzz_connection.h"
#include "kovrel_xml.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t framing = data[0] % 3;
    FuzzConnection connection(data + 1, size - 1);
    struct xml_ctx *ctx = xml_create();
    if (connection.get() == nullptr || ctx == nullptr) {
        if (ctx != nullptr)
            xml_release(ctx);
        return 0;
    }
    if (framing == 2)
        xml_parse_chunked_encoding(connection.get(), ctx);
    else
        xml_parse(connection.get(), ctx, framing == 0 ? static_cast<int>(size - 1) : -1);
    xml_release(ctx);
    return 0;
}
