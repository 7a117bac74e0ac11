// Typed child values: a child element whose text contents hold one value.
//
// The text forms written here go on the wire in requests; the parsing rules
// decide how reply values are read.

#include "kovrel.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <strings.h>

namespace {

constexpr size_t kr_child_value_bufsize = 2048;

using kr_elem_ctor_t = kr_elem_t *(*)(const char *name);

struct kr_elem_deleter {
    void operator()(kr_elem_t *e) const { kr_elem_free(e); }
};
using kr_elem_ptr = std::unique_ptr<kr_elem_t, kr_elem_deleter>;

// Formatters: each returns the text to store, either written into `buf` or a
// fixed or caller-owned string; null means there is no value.
const char *kr_child_format_string(char *, const char *value) {
    return value;
}

const char *kr_child_format_bool(char *, bool_t value) {
    return value != 0 ? "true" : "false";
}

const char *kr_child_format_int(char *buf, int value) {
    snprintf(buf, kr_child_value_bufsize, "%d", value);
    return buf;
}

const char *kr_child_format_uint32(char *buf, uint32_t value) {
    snprintf(buf, kr_child_value_bufsize, "%" PRIu32, value);
    return buf;
}

const char *kr_child_format_int64(char *buf, int64_t value) {
    snprintf(buf, kr_child_value_bufsize, "%" PRId64, value);
    return buf;
}

const char *kr_child_format_uint64(char *buf, uint64_t value) {
    snprintf(buf, kr_child_value_bufsize, "%" PRIu64, value);
    return buf;
}

// The one implementation behind all typed adders. The child is complete
// before it is linked, so a failure never leaves the parent with a half-made
// child, and success leaves errno as the caller had it.
template <kr_elem_ctor_t NewElem, auto Format, typename Value>
kr_elem_t *kr_child_add_value(kr_elem_t *parent, const char *name, Value value) {
    if (parent == nullptr || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char buf[kr_child_value_bufsize];
    const char *text = Format(buf, value);
    if (text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const int saved_errno = errno;
    kr_elem_ptr child(NewElem(name));
    if (child == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    // Both calls set errno when they fail.
    if (!kr_elem_set_content(child.get(), text) || kr_child_add(parent, child.get()) == nullptr)
        return nullptr;
    errno = saved_errno;
    return child.release();
}

// Contents of the first child `name`, or null when the arguments are null
// (EINVAL) or there is no such child (errno untouched).
const char *kr_child_text(kr_elem_t *parent, const char *name) {
    if (parent == nullptr || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    kr_elem_t *child = kr_elem_child(parent, name);
    return child != nullptr ? kr_elem_get_content(child) : nullptr;
}

// Parses the child's contents with the C library's base-10 conversion. The
// getters report nothing but null arguments, so the ERANGE that a saturating
// conversion leaves behind is not passed on to the caller.
template <typename Result, typename Parse>
Result kr_child_get_number(kr_elem_t *parent, const char *name, Result deflt, Parse parse) {
    const char *text = kr_child_text(parent, name);
    if (text == nullptr)
        return deflt;
    const int saved_errno = errno;
    const Result value = static_cast<Result>(parse(text));
    errno = saved_errno;
    return value;
}

} // namespace

extern "C" {

kr_elem_t *kr_child_add_string(kr_elem_t *parent, const char *name, const char *value) {
    return kr_child_add_value<kr_elem_new, kr_child_format_string>(parent, name, value);
}

kr_elem_t *kr_child_add_bool(kr_elem_t *parent, const char *name, bool_t value) {
    return kr_child_add_value<kr_elem_new, kr_child_format_bool>(parent, name, value);
}

kr_elem_t *kr_child_add_int(kr_elem_t *parent, const char *name, int value) {
    return kr_child_add_value<kr_elem_new, kr_child_format_int>(parent, name, value);
}

kr_elem_t *kr_child_add_uint32(kr_elem_t *parent, const char *name, uint32_t value) {
    return kr_child_add_value<kr_elem_new, kr_child_format_uint32>(parent, name, value);
}

kr_elem_t *kr_child_add_int64(kr_elem_t *parent, const char *name, int64_t value) {
    return kr_child_add_value<kr_elem_new, kr_child_format_int64>(parent, name, value);
}

kr_elem_t *kr_child_add_uint64(kr_elem_t *parent, const char *name, uint64_t value) {
    return kr_child_add_value<kr_elem_new, kr_child_format_uint64>(parent, name, value);
}

kr_elem_t *kr_child_const_add_string(kr_elem_t *parent, const char *name, const char *value) {
    return kr_child_add_value<kr_elem_new_const_name, kr_child_format_string>(parent, name, value);
}

kr_elem_t *kr_child_const_add_bool(kr_elem_t *parent, const char *name, bool_t value) {
    return kr_child_add_value<kr_elem_new_const_name, kr_child_format_bool>(parent, name, value);
}

kr_elem_t *kr_child_const_add_int(kr_elem_t *parent, const char *name, int value) {
    return kr_child_add_value<kr_elem_new_const_name, kr_child_format_int>(parent, name, value);
}

kr_elem_t *kr_child_const_add_uint32(kr_elem_t *parent, const char *name, uint32_t value) {
    return kr_child_add_value<kr_elem_new_const_name, kr_child_format_uint32>(parent, name, value);
}

kr_elem_t *kr_child_const_add_int64(kr_elem_t *parent, const char *name, int64_t value) {
    return kr_child_add_value<kr_elem_new_const_name, kr_child_format_int64>(parent, name, value);
}

kr_elem_t *kr_child_const_add_uint64(kr_elem_t *parent, const char *name, uint64_t value) {
    return kr_child_add_value<kr_elem_new_const_name, kr_child_format_uint64>(parent, name, value);
}

const char *kr_child_get_string(kr_elem_t *parent, const char *name) {
    return kr_child_text(parent, name);
}

// atoi narrows a long: the high bits are dropped.
int kr_child_get_int(kr_elem_t *parent, const char *name, int deflt) {
    return kr_child_get_number(parent, name, deflt,
                               [](const char *s) { return strtol(s, nullptr, 10); });
}

uint32_t kr_child_get_uint32(kr_elem_t *parent, const char *name, uint32_t deflt) {
    return kr_child_get_number(parent, name, deflt,
                               [](const char *s) { return strtoul(s, nullptr, 10); });
}

int64_t kr_child_get_int64(kr_elem_t *parent, const char *name, int64_t deflt) {
    return kr_child_get_number(parent, name, deflt,
                               [](const char *s) { return strtoll(s, nullptr, 10); });
}

uint64_t kr_child_get_uint64(kr_elem_t *parent, const char *name, uint64_t deflt) {
    return kr_child_get_number(parent, name, deflt,
                               [](const char *s) { return strtoull(s, nullptr, 10); });
}

// Only the four words are false; anything else, the empty text included, is true.
bool_t kr_child_get_bool(kr_elem_t *parent, const char *name, bool_t deflt) {
    const char *text = kr_child_text(parent, name);
    if (text == nullptr)
        return deflt;
    for (const char *word : {"0", "no", "off", "false"}) {
        if (strcasecmp(text, word) == 0)
            return 0;
    }
    return 1;
}

int kr_validate_bool(const char *value_str) {
    if (value_str == nullptr) {
        errno = EINVAL;
        return -1;
    }
    for (const char *word : {"true", "1", "t"}) {
        if (strcasecmp(value_str, word) == 0)
            return 1;
    }
    for (const char *word : {"false", "0", "f"}) {
        if (strcasecmp(value_str, word) == 0)
            return 0;
    }
    return -1;
}

} // extern "C"
