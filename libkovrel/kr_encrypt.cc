// Encrypted string values: RC4 under a 16-character key, carried as
// lower-case hexadecimal text in a child element.

#include "kovrel.h"

#include "adt_assert.h"
#include "pool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

// Both are declared extern "C" in kovrel.h, which gives these definitions
// C linkage.

// The key used whenever a caller passes none. Values written under it can be
// read back only by peers holding the same key, so every system exchanging
// such values with us has to be configured with exactly these 16 characters.
const char kr_default_key[17] = "kovrelDefaultKey";

const char *kr_hexchars = "0123456789abcdef";

namespace {

struct kr_elem_deleter {
    void operator()(kr_elem_t *e) const { kr_elem_free(e); }
};
using kr_elem_ptr = std::unique_ptr<kr_elem_t, kr_elem_deleter>;

// RC4 state with a fresh key schedule; the state is wiped when it goes, so
// no keystream can be recovered from the stack afterwards.
class kr_rc4 {
  public:
    explicit kr_rc4(const char *key) {
        if (key == nullptr)
            key = kr_default_key;
        const size_t keyleng = strlen(key);
        // clang-format off
        ADT_ASSERT(keyleng==16);
        // clang-format on
        for (int i = 0; i < 256; ++i)
            ctx_.state[i] = static_cast<unsigned char>(i);
        ctx_.x = 0;
        ctx_.y = 0;
        unsigned char j = 0;
        size_t k = 0;
        for (int i = 0; i < 256; ++i) {
            j = static_cast<unsigned char>(j + static_cast<unsigned char>(key[k]) + ctx_.state[i]);
            std::swap(ctx_.state[i], ctx_.state[j]);
            k = (k + 1) % 16;
        }
    }
    ~kr_rc4() { explicit_bzero(&ctx_, sizeof ctx_); }
    kr_rc4(const kr_rc4 &) = delete;
    kr_rc4 &operator=(const kr_rc4 &) = delete;

    // Enciphers the next `nbytes` of the stream; `input` and `output` may be
    // the same buffer.
    void crypt(const unsigned char *input, unsigned char *output, size_t nbytes) {
        unsigned char *s = ctx_.state;
        for (size_t i = 0; i < nbytes; ++i) {
            ctx_.x = static_cast<unsigned char>(ctx_.x + 1);
            ctx_.y = static_cast<unsigned char>(ctx_.y + s[ctx_.x]);
            std::swap(s[ctx_.x], s[ctx_.y]);
            output[i] = input[i] ^ s[static_cast<unsigned char>(s[ctx_.x] + s[ctx_.y])];
        }
    }

  private:
    kr_rc4_context_t ctx_;
};

// Value of one hexadecimal digit of either case, or -1.
int kr_hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

extern "C" {

void kr_encrypt_basic(const char *key, const char *input, char *output, size_t nbytes) {
    kr_rc4 rc4(key);
    rc4.crypt(reinterpret_cast<const unsigned char *>(input),
              reinterpret_cast<unsigned char *>(output), nbytes);
}

kr_elem_t *kr_child_add_string_encrypted(kr_elem_t *n, const char *name, const char *contents,
                                         const char *key) {
    if (n == nullptr || name == nullptr || contents == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const int saved_errno = errno;
    kr_rc4 rc4(key);
    kr_elem_ptr child(kr_elem_new(name));
    if (child == nullptr)
        return nullptr;
    const size_t nbytes = strlen(contents);
    pool_ptr<char> hex(static_cast<char *>(pool_alloc(pool_default(), 2 * nbytes + 1)));
    if (hex == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    // The value is enciphered a slice at a time straight into its hex text,
    // so no whole-length cipher buffer is needed.
    unsigned char slice[256];
    char *out = hex.get();
    for (size_t done = 0; done < nbytes;) {
        const size_t len = std::min(sizeof slice, nbytes - done);
        rc4.crypt(reinterpret_cast<const unsigned char *>(contents) + done, slice, len);
        for (size_t i = 0; i < len; ++i) {
            *out++ = kr_hexchars[slice[i] >> 4];
            *out++ = kr_hexchars[slice[i] & 0x0f];
        }
        done += len;
    }
    *out = '\0';
    // Both calls set errno when they fail.
    if (!kr_elem_set_content(child.get(), hex.get()) || kr_child_add(n, child.get()) == nullptr)
        return nullptr;
    errno = saved_errno;
    return child.release();
}

char *kr_child_get_string_encrypted(kr_elem_t *n, const char *name, const char *key) {
    if (n == nullptr || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const char *text = kr_child_get_string(n, name);
    if (text == nullptr)
        return nullptr;
    // The key is checked before anything is allocated.
    kr_rc4 rc4(key);
    const size_t nbytes = strlen(text) / 2; // an odd trailing character is ignored
    const int saved_errno = errno;
    pool_ptr<char> value(static_cast<char *>(pool_alloc(pool_default(), nbytes + 1)));
    if (value == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *bytes = reinterpret_cast<unsigned char *>(value.get());
    for (size_t i = 0; i < nbytes; ++i) {
        const int high = kr_hex_digit(text[2 * i]);
        const int low = kr_hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            value.reset();
            errno = saved_errno; // malformed text is not an errno failure
            return nullptr;
        }
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    rc4.crypt(bytes, bytes, nbytes);
    bytes[nbytes] = '\0';
    // The caller sees a C string; the plaintext after an embedded NUL is not
    // left behind in the block.
    const size_t length = strlen(value.get());
    explicit_bzero(value.get() + length, nbytes - length);
    return value.release();
}

} // extern "C"
