// Base64 encoding with the RFC 4648 alphabet and "=" padding, no line breaks.
#pragma once

#include <cstddef>

// Size of the encoding of `len` bytes, terminating NUL included.
size_t base64_encode_len(size_t len);
// Encoding of the bytes of `string` (its NUL excluded) as a new string from the
// default pool; null when memory runs out.
char *base64_encode(const char *string);
// Encodes `len` bytes into `encoded`, which must hold base64_encode_len(len)
// bytes, and NUL-terminates it. Returns the encoded length + 1.
size_t base64_encode_binary(char *encoded, const void *bytes, size_t len);
