#include "base64.h"

#include "alloc_sweep.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// RFC 4648, section 10.
const struct {
    const char *text;
    const char *encoded;
} kRfc4648Vectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, EncodesRfc4648Vectors) {
    for (const auto &v : kRfc4648Vectors) {
        SCOPED_TRACE(v.text);
        char *encoded = base64_encode(v.text);
        ASSERT_NE(encoded, nullptr);
        EXPECT_STREQ(encoded, v.encoded);
        pool_free(pool_default(), encoded);
    }
}

// The output buffer is sized exactly by base64_encode_len, so the sanitizer
// catches any write past it.
std::string encode_binary(const std::string &bytes) {
    const size_t size = base64_encode_len(bytes.size());
    EXPECT_EQ(size, (bytes.size() + 2) / 3 * 4 + 1);
    std::unique_ptr<char[]> out(new char[size]);
    const size_t returned = base64_encode_binary(out.get(), bytes.data(), bytes.size());
    EXPECT_EQ(returned, size);
    EXPECT_EQ(strlen(out.get()) + 1, returned);
    return out.get();
}

TEST(Base64, EncodesBinaryBytes) {
    for (const auto &v : kRfc4648Vectors)
        EXPECT_EQ(encode_binary(v.text), v.encoded);
    // Bytes an encoder of C strings would stop at or sign-extend.
    const struct {
        std::string bytes;
        const char *encoded;
    } cases[] = {
        {std::string(1, '\0'), "AA=="},       {std::string(4, '\0'), "AAAAAA=="},
        {std::string("f\0o", 3), "ZgBv"},     {"\xff\xff\xff", "////"},
        {std::string("\x00\xff", 2), "AP8="}, {"\xfb\xff", "+/8="},
    };
    for (const auto &c : cases)
        EXPECT_EQ(encode_binary(c.bytes), c.encoded);
}

TEST(Base64, EncodeLengthCountsPaddedGroupsAndTheNul) {
    const struct {
        size_t len, encoded_size;
    } cases[] = {{0, 1}, {1, 5}, {2, 5}, {3, 5}, {4, 9}, {6, 9}, {7, 13}};
    for (const auto &c : cases)
        EXPECT_EQ(base64_encode_len(c.len), c.encoded_size) << c.len;
}

TEST(Base64, EncodeReturnsNullWhenMemoryRunsOut) {
    sweep_allocation_failures([] { return base64_encode("foobar"); },
                              [](char *encoded, bool failure_reached) {
                                  if (failure_reached)
                                      EXPECT_EQ(encoded, nullptr);
                                  else
                                      EXPECT_STREQ(encoded, "Zm9vYmFy");
                                  pool_free(pool_default(), encoded);
                              });
}

} // namespace
