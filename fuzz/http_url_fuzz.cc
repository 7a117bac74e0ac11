// URL parsing: any text, terminated, must parse or be refused cleanly.
#include "http.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string url(reinterpret_cast<const char *>(data), size);
    http_url_t parsed;
    if (http_parse_url(url.c_str(), &parsed) == 0)
        http_free_url(&parsed);
    return 0;
}
