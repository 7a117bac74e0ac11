#include "kovrel.h"

#include "alloc_sweep.h"

#include "kr_owned.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int kUntouched = EDOM;

// RFC 6229, 128-bit key 0102...0f10: keystream at offsets 0 and 16.
const char kRfcKey[] = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10";
constexpr std::array<unsigned char, 32> kRfcStream = {
    0x9a, 0xc7, 0xcc, 0x9a, 0x60, 0x9d, 0x1e, 0xf7, 0xb2, 0x93, 0x28, 0x99, 0xcd, 0xe4, 0x1b, 0x97,
    0x52, 0x48, 0xc4, 0x95, 0x90, 0x14, 0x12, 0x6a, 0x6e, 0x8a, 0x84, 0xf1, 0x1d, 0x1a, 0x9e, 0x1c};

const char kCallerKey[] = "0123456789ABCDEF";

// Hex text of `plain` enciphered with the published keystream.
std::string rfc_cipher_hex(const std::string &plain, bool upper) {
    std::string hex;
    for (size_t i = 0; i < plain.size(); ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, upper ? "%02X" : "%02x",
                 static_cast<unsigned char>(plain[i]) ^ kRfcStream.at(i));
        hex += pair;
    }
    return hex;
}

Elem holding(const std::string &contents) {
    Elem parent(kr_elem_new("parent"));
    kr_elem_t *child = kr_elem_new("pw");
    kr_elem_set_content(child, contents.c_str());
    kr_child_add(parent.get(), child);
    return parent;
}

TEST(KrEncryptTest, KeystreamMatchesRfc6229) {
    const std::array<char, 32> zeros{};
    for (int round = 0; round < 2; ++round) { // each call starts a fresh keystream
        std::array<char, 32> out{};
        kr_encrypt_basic(kRfcKey, zeros.data(), out.data(), out.size());
        EXPECT_EQ(0, memcmp(out.data(), kRfcStream.data(), out.size()));
    }
    std::array<char, 32> in_place{};
    kr_encrypt_basic(kRfcKey, in_place.data(), in_place.data(), in_place.size());
    EXPECT_EQ(0, memcmp(in_place.data(), kRfcStream.data(), in_place.size()));
}

TEST(KrEncryptTest, AdderWritesLowerCaseHexHighNibbleFirst) {
    const std::string plain(32, 'A');
    Elem parent(kr_elem_new("parent"));
    char name[] = "pw";
    errno = kUntouched;
    kr_elem_t *child = kr_child_add_string_encrypted(parent.get(), name, plain.c_str(), kRfcKey);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(errno, kUntouched);
    EXPECT_EQ(parent->lastchild, child);
    EXPECT_STREQ(kr_elem_get_name(child), "pw");
    EXPECT_NE(child->name, name);
    EXPECT_EQ(kr_elem_get_content(child), rfc_cipher_hex(plain, false));
}

TEST(KrEncryptTest, ReaderDecodesPublishedCiphertext) {
    const std::string plain = "The quick brown fox jumps over t";
    const std::string lower = rfc_cipher_hex(plain, false);
    const std::string upper = rfc_cipher_hex(plain, true);
    const std::string mixed = upper.substr(0, 16) + lower.substr(16);
    std::string with_nul = "hi";
    with_nul += '\0';
    with_nul += "tail";
    const struct {
        const char *label;
        std::string contents;
        std::string expected;
    } cases[] = {
        {"lower case", lower, plain},
        {"upper case", upper, plain},
        {"mixed case", mixed, plain},
        {"odd trailing character ignored", lower + "7", plain},
        {"cut at an embedded NUL", rfc_cipher_hex(with_nul, false), "hi"},
        {"empty", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        Elem parent = holding(c.contents);
        errno = kUntouched;
        Text value(kr_child_get_string_encrypted(parent.get(), "pw", kRfcKey));
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value.get(), c.expected);
        EXPECT_EQ(errno, kUntouched);
    }
}

TEST(KrEncryptTest, MalformedHexReadsAsNullWithoutErrno) {
    for (const char *contents : {"g0", "0g", "gg", "4142zz", "41 2", "-1", "0x41", "4\x80"}) {
        SCOPED_TRACE(contents);
        Elem parent = holding(contents);
        errno = kUntouched;
        EXPECT_EQ(kr_child_get_string_encrypted(parent.get(), "pw", nullptr), nullptr);
        EXPECT_EQ(errno, kUntouched);
    }
}

TEST(KrEncryptTest, DefaultKeyAndHexDigits) {
    // Our default key: 16 printable characters, used whenever no key is given.
    EXPECT_STREQ(kr_default_key, "kovrelDefaultKey");
    EXPECT_EQ(strlen(kr_default_key), 16u);
    EXPECT_STREQ(kr_hexchars, "0123456789abcdef");
    const char plain[] = "password";
    char with_null[sizeof plain - 1], with_default[sizeof plain - 1];
    kr_encrypt_basic(nullptr, plain, with_null, sizeof with_null);
    kr_encrypt_basic(kr_default_key, plain, with_default, sizeof with_default);
    EXPECT_EQ(0, memcmp(with_null, with_default, sizeof with_null));
    EXPECT_NE(0, memcmp(with_null, plain, sizeof with_null));
}

TEST(KrEncryptTest, ValuesRoundTripUnderEitherKey) {
    const std::string values[] = {
        "", "a", "p@ss w0rd&<>", "\xff\x80\x01 high bytes", std::string(1000, 'z'),
    };
    for (const std::string &value : values) {
        SCOPED_TRACE(value.substr(0, 20));
        Elem parent(kr_elem_new("parent"));
        kr_elem_t *under_default =
            kr_child_add_string_encrypted(parent.get(), "d", value.c_str(), nullptr);
        kr_elem_t *under_caller =
            kr_child_add_string_encrypted(parent.get(), "c", value.c_str(), kCallerKey);
        kr_elem_t *again = kr_child_add_string_encrypted(parent.get(), "a", value.c_str(), nullptr);
        ASSERT_NE(under_default, nullptr);
        ASSERT_NE(under_caller, nullptr);
        ASSERT_NE(again, nullptr);

        const std::string text = kr_elem_get_content(under_default);
        EXPECT_EQ(text.size(), 2 * value.size());
        for (char ch : text)
            EXPECT_NE(strchr("0123456789abcdef", ch), nullptr) << "character " << int(ch);
        EXPECT_EQ(text, kr_elem_get_content(again));
        if (!value.empty()) {
            EXPECT_NE(text, kr_elem_get_content(under_caller));
        }

        Text back_default(kr_child_get_string_encrypted(parent.get(), "d", nullptr));
        Text back_caller(kr_child_get_string_encrypted(parent.get(), "c", kCallerKey));
        ASSERT_NE(back_default, nullptr);
        ASSERT_NE(back_caller, nullptr);
        EXPECT_EQ(back_default.get(), value);
        EXPECT_EQ(back_caller.get(), value);
    }
}

TEST(KrEncryptTest, NullArgumentsAndMissingChild) {
    Elem parent = holding("41");
    errno = 0;
    EXPECT_EQ(kr_child_add_string_encrypted(nullptr, "pw", "x", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_child_add_string_encrypted(parent.get(), nullptr, "x", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_child_add_string_encrypted(parent.get(), "pw", nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(parent->children, parent->lastchild); // still only the original child
    errno = 0;
    EXPECT_EQ(kr_child_get_string_encrypted(nullptr, "pw", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kr_child_get_string_encrypted(parent.get(), nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = kUntouched;
    EXPECT_EQ(kr_child_get_string_encrypted(parent.get(), "PW", nullptr), nullptr);
    EXPECT_EQ(errno, kUntouched);
}

TEST(KrEncryptDeathTest, KeyMustBeSixteenCharacters) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const char *key : {"", "short", "0123456789abcde", "0123456789abcdefg"}) {
        SCOPED_TRACE(key);
        char out[4];
        EXPECT_DEATH(kr_encrypt_basic(key, "abcd", out, sizeof out), "keyleng==16");
        Elem parent = holding("4142");
        EXPECT_DEATH(kr_child_add_string_encrypted(parent.get(), "x", "v", key), "keyleng==16");
        EXPECT_DEATH(kr_child_get_string_encrypted(parent.get(), "pw", key), "keyleng==16");
    }
}

TEST(KrEncryptTest, OutOfMemoryAddsNothingAndLeaksNothing) {
    Elem parent(kr_elem_new("parent"));
    sweep_allocation_failures(
        [&] {
            errno = kUntouched;
            return kr_child_add_string_encrypted(parent.get(), "pw", "secret", kCallerKey);
        },
        [&](kr_elem_t *child, bool failed) {
            if (failed) {
                EXPECT_EQ(child, nullptr);
                EXPECT_EQ(errno, ENOMEM);
                EXPECT_EQ(parent->children, nullptr);
                EXPECT_EQ(parent->lastchild, nullptr);
            } else {
                ASSERT_NE(child, nullptr);
                EXPECT_EQ(errno, kUntouched);
                EXPECT_EQ(parent->children, child);
            }
        });
    sweep_allocation_failures(
        [&] {
            errno = kUntouched;
            return Text(kr_child_get_string_encrypted(parent.get(), "pw", kCallerKey));
        },
        [&](const Text &value, bool failed) {
            if (failed) {
                EXPECT_EQ(value, nullptr);
                EXPECT_EQ(errno, ENOMEM);
            } else {
                ASSERT_NE(value, nullptr);
                EXPECT_STREQ(value.get(), "secret");
                EXPECT_EQ(errno, kUntouched);
            }
        });
}

} // namespace
