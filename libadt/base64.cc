#include "base64.h"

#include "pool.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char base64_pad = '=';

} // namespace

size_t base64_encode_len(size_t len) {
    return (len + 2) / 3 * 4 + 1;
}

char *base64_encode(const char *string) {
    const size_t len = strlen(string);
    auto *encoded = static_cast<char *>(pool_alloc(pool_default(), base64_encode_len(len) + 1));
    if (encoded != nullptr)
        base64_encode_binary(encoded, string, len);
    return encoded;
}

size_t base64_encode_binary(char *encoded, const void *bytes, size_t len) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    char *out = encoded;
    for (size_t i = 0; i < len; i += 3) {
        // Up to three bytes make a 24-bit group, most significant first;
        // missing bytes count as zero and their characters become padding.
        const size_t n = len - i < 3 ? len - i : 3;
        uint32_t group = static_cast<uint32_t>(in[i]) << 16;
        if (n > 1)
            group |= static_cast<uint32_t>(in[i + 1]) << 8;
        if (n > 2)
            group |= in[i + 2];
        out[0] = base64_alphabet[(group >> 18) & 0x3f];
        out[1] = base64_alphabet[(group >> 12) & 0x3f];
        out[2] = n > 1 ? base64_alphabet[(group >> 6) & 0x3f] : base64_pad;
        out[3] = n > 2 ? base64_alphabet[group & 0x3f] : base64_pad;
        out += 4;
    }
    *out = '\0';
    return static_cast<size_t>(out - encoded) + 1;
}
