// XML text from element trees: one recursive encoder writing through an
// output function, wrappers that write to a FILE or build a heap string, and
// the escaping of free text (xml_encode_lf, xml_decode).

#include "kovrel.h"

#include "adt_assert.h"
#include "pool.h"
#include "stab.h"
#include "str.h"
#include "syslog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view kr_cdata_opener = "<![CDATA[";
constexpr std::string_view kr_spaces = "                                ";
// Characters the contents and the free text escape (line feed only on request).
constexpr const char *kr_escaped_chars = "\"&'<>";
constexpr const char *kr_escaped_chars_lf = "\"&'<>\n";

// The entity for a character, or an empty view when it is written as it is.
constexpr std::string_view kr_xml_entity(char c, bool encode_lf) {
    switch (c) {
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '&':
        return "&amp;";
    case '"':
        return "&quot;";
    case '\'':
        return "&apos;";
    case '\n':
        return encode_lf ? "&#xA;" : "";
    default:
        return "";
    }
}

// Decoding order: "&amp;" goes last so that an escaped entity decodes once.
constexpr std::array<std::pair<const char *, const char *>, 5> kr_xml_decodings = {{
    {"&apos;", "'"},
    {"&lt;", "<"},
    {"&gt;", ">"},
    {"&quot;", "\""},
    {"&amp;", "&"},
}};

struct kr_pool_free {
    void operator()(char *p) const { pool_free(pool_default(), p); }
};
using kr_pool_string = std::unique_ptr<char, kr_pool_free>;

// Gathers the pieces of one element in a small buffer and hands them to the
// output function in runs: the same text with far fewer calls. Once the
// output function has returned 0 nothing more is passed to it.
class kr_writer {
  public:
    kr_writer(kr_elem_output_t cb, void *a) : w_cb(cb), w_arg(a) {}

    bool put(std::string_view s) {
        while (w_ok && !s.empty()) {
            if (w_len == sizeof w_buf - 1 && !flush())
                break;
            const size_t n = std::min(s.size(), sizeof w_buf - 1 - w_len);
            memcpy(w_buf + w_len, s.data(), n);
            w_len += n;
            s.remove_prefix(n);
        }
        return w_ok;
    }

    // A long terminated string goes to the output function as it is, without
    // being copied through the buffer.
    bool put_terminated(const char *s) {
        const size_t n = strlen(s);
        if (n < sizeof w_buf / 2)
            return put(std::string_view(s, n));
        if (flush())
            w_ok = w_cb(s, w_arg) != 0;
        return w_ok;
    }

    bool put_spaces(int count) {
        for (size_t left = count > 0 ? static_cast<size_t>(count) : 0; w_ok && left > 0;) {
            const size_t n = std::min(left, kr_spaces.size());
            put(kr_spaces.substr(0, n));
            left -= n;
        }
        return w_ok;
    }

    // Runs of ordinary characters are passed whole; the escaped characters
    // become their entities.
    bool put_escaped(const char *s) {
        while (w_ok && *s != '\0') {
            const size_t run = strcspn(s, kr_escaped_chars);
            if (s[run] == '\0')
                return put_terminated(s);
            put(std::string_view(s, run));
            put(kr_xml_entity(s[run], false));
            s += run + 1;
        }
        return w_ok;
    }

    bool flush() {
        if (w_ok && w_len > 0) {
            w_buf[w_len] = '\0';
            w_ok = w_cb(w_buf, w_arg) != 0;
        }
        w_len = 0;
        return w_ok;
    }

  private:
    kr_elem_output_t w_cb;
    void *w_arg;
    bool w_ok = true;
    size_t w_len = 0;
    char w_buf[256];
};

// ---- string building ------------------------------------------------------

// Sets the capacity of the string to exactly `capacity` bytes (a new buffer
// when there is none), keeping it terminated at its current length. On
// failure the string is left as it was.
bool kr_sprint_reserve(kr_sprint_data_t *d, size_t capacity) {
    char *grown =
        static_cast<char *>(*d->strp == nullptr ? pool_alloc(pool_default(), capacity)
                                                : pool_realloc(pool_default(), *d->strp, capacity));
    if (grown == nullptr)
        return false;
    grown[*d->sizep] = '\0';
    *d->strp = grown;
    *d->initial_sizep = capacity;
    return true;
}

// The string-building output function: appends `s`, growing the buffer to
// exactly what the piece needs when it does not fit.
int kr_sprint_output(const char *s, void *a) {
    auto *d = static_cast<kr_sprint_data_t *>(a);
    if (s == nullptr || d == nullptr)
        return 0;
    const size_t len = *d->sizep;
    const size_t n = strlen(s);
    if (n > SIZE_MAX - len - 1)
        return 0;
    if ((*d->strp == nullptr || len + n + 1 > *d->initial_sizep) &&
        !kr_sprint_reserve(d, len + n + 1))
        return 0;
    memcpy(*d->strp + len, s, n + 1);
    *d->sizep = len + n;
    return 1;
}

// Child encoder of the string builders: before each element the buffer is
// raised to a size that usually holds the whole element, so that an ordinary
// tree costs about one reallocation per element. A negative indent writes no
// spaces and so adds nothing to the estimate.
int kr_sprint_encoder(kr_elem_t *e, int indent, const char *ns, kr_elem_output_t cb, void *a,
                      bool_t encode_special_char) {
    auto *d = static_cast<kr_sprint_data_t *>(a);
    if (e == nullptr || ns == nullptr || d == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const size_t wanted = *d->sizep + static_cast<size_t>(std::max(indent, 0)) + 6 +
                          (e->contents != nullptr ? strlen(e->contents) : 0) +
                          2 * strlen(kr_elem_get_name(e)) + 2 * strlen(ns);
    if ((*d->strp == nullptr || *d->initial_sizep < wanted) && !kr_sprint_reserve(d, wanted))
        return 0;
    return kr_elem_encode_cb_common(e, indent, ns, cb, a, encode_special_char, kr_sprint_encoder);
}

// Owns the string being built until it is handed to the caller.
struct kr_sprint_buffer {
    char *sb_str = nullptr;
    size_t sb_len = 0;
    size_t sb_capacity = 0;
    kr_sprint_data_t sb_data = {&sb_str, &sb_len, &sb_capacity};

    kr_sprint_buffer() = default;
    kr_sprint_buffer(const kr_sprint_buffer &) = delete;
    kr_sprint_buffer &operator=(const kr_sprint_buffer &) = delete;
    ~kr_sprint_buffer() { pool_free(pool_default(), sb_str); }
    char *release() { return std::exchange(sb_str, nullptr); }
};

// ---- FILE output ------------------------------------------------------------

// Write errors do not stop the encoding: the text is only for people to read.
int kr_file_output(const char *s, void *a) {
    FILE *f = static_cast<FILE *>(a);
    ADT_ASSERT(0 != f);
    fputs(s, f);
    return 1;
}

int kr_elem_print(FILE *f, kr_elem_t *e) {
    if (f == nullptr || e == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return kr_elem_encode_cb(e, 0, "", kr_file_output, f, 1);
}

} // namespace

extern "C" {

int kr_elem_encode_cb_common(kr_elem_t *e, int indent, const char *ns, kr_elem_output_t cb, void *a,
                             bool_t encode_special_char, kr_elem_encoder_t ecb) {
    if (e == nullptr || ns == nullptr || cb == nullptr || ecb == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const bool indented = indent >= 0;
    const bool has_children = e->children != nullptr;
    const char *name = kr_elem_get_name(e);
    kr_writer w(cb, a);

    w.put_spaces(indent);
    w.put("<");
    w.put_terminated(ns);
    w.put_terminated(name);
    // Values are written as stored: whoever stores text that may hold special
    // characters stores it escaped.
    if (e->attr != nullptr) {
        hash_iter_t iter;
        for (auto *ent = static_cast<const stab_ent_t *>(hash_first(e->attr, &iter));
             ent != nullptr; ent = static_cast<const stab_ent_t *>(hash_next(e->attr, &iter))) {
            w.put(" ");
            w.put_terminated(ns);
            w.put_terminated(ent->st_key);
            w.put("=\"");
            w.put_terminated(ent->st_value);
            w.put("\"");
        }
    }
    if (e->contents == nullptr && !has_children) {
        w.put("/>");
    } else {
        w.put(">");
        if (e->contents != nullptr) {
            if (encode_special_char && !std::string_view(e->contents).starts_with(kr_cdata_opener))
                w.put_escaped(e->contents);
            else
                w.put_terminated(e->contents);
        }
        const bool own_lines = has_children && e->contents == nullptr && indented;
        if (own_lines)
            w.put("\n");
        // The children write through the output function themselves.
        if (!w.flush())
            return 0;
        const int child_indent = !indented ? -1 : indent > INT_MAX - 8 ? INT_MAX : indent + 8;
        for (kr_elem_t *child = e->children; child != nullptr; child = child->next) {
            if (!ecb(child, child_indent, ns, cb, a, encode_special_char))
                return 0;
        }
        if (own_lines)
            w.put_spaces(indent);
        w.put("</");
        w.put_terminated(ns);
        w.put_terminated(name);
        w.put(">");
    }
    if (indented)
        w.put("\n");
    return w.flush() ? 1 : 0;
}

int kr_elem_encode_cb(kr_elem_t *e, int indent, const char *ns, kr_elem_output_t cb, void *a,
                      bool_t encode_special_char) {
    if (e == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return kr_elem_encode_cb_common(e, indent, ns, cb, a, encode_special_char, kr_elem_encode_cb);
}

// The string builder's output function fails only when memory runs out. The
// text is then dropped rather than handed back cut short: a caller would take
// a truncated document for a complete one (and send it as a request).
char *kr_elem_encode(kr_elem_t *e, int indent, const char *ns) {
    if (e == nullptr || ns == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    kr_sprint_buffer buffer;
    if (!kr_sprint_encoder(e, indent, ns, kr_sprint_output, &buffer.sb_data, 1)) {
        errno = ENOMEM;
        return nullptr;
    }
    return buffer.release();
}

char *kr_elem_sprintf(kr_elem_t *e) {
    return kr_elem_encode(e, 0, "");
}

// On failure the caller gets its string back as it was (it may have moved):
// same length, same text, still owned by the caller; a string started here is
// freed again.
int kr_elem_sprintf_compact(char **strp, size_t *sizep, kr_elem_t *e) {
    if (strp == nullptr || sizep == nullptr || e == nullptr || (*strp == nullptr && *sizep != 0)) {
        errno = EINVAL;
        return 0;
    }
    const size_t start = *sizep;
    const bool started_here = *strp == nullptr;
    // All that is known of the caller's buffer is that it holds the string.
    size_t capacity = started_here ? 0 : start + 1;
    kr_sprint_data_t data = {strp, sizep, &capacity};
    if (kr_sprint_encoder(e, -1, "", kr_sprint_output, &data, 1))
        return 1;
    if (started_here) {
        pool_free(pool_default(), *strp);
        *strp = nullptr;
    } else {
        (*strp)[start] = '\0';
    }
    *sizep = start;
    errno = ENOMEM;
    return 0;
}

int kr_elem_printf_pretty(FILE *f, kr_elem_t *e) {
    return kr_elem_print(f, e);
}

int kr_elem_printf_stdout(kr_elem_t *e) {
    return kr_elem_print(stdout, e);
}

char *xml_encode(const char *xml) {
    return xml_encode_lf(xml, 0);
}

char *xml_encode_lf(const char *xml, int encode_lf) {
    if (xml == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const bool lf = encode_lf != 0;
    size_t length = 0;
    for (const char *p = xml; *p != '\0'; ++p)
        length += std::max<size_t>(kr_xml_entity(*p, lf).size(), 1);
    char *out = nullptr;
    size_t capacity = 0;
    // A zeroed buffer of length + 2 bytes.
    str_ensure(&out, &capacity, length + 1);
    if (out == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    const char *special = lf ? kr_escaped_chars_lf : kr_escaped_chars;
    char *q = out;
    for (const char *p = xml; *p != '\0';) {
        const size_t run = strcspn(p, special);
        memcpy(q, p, run);
        q += run;
        p += run;
        if (*p == '\0')
            break;
        const std::string_view entity = kr_xml_entity(*p++, lf);
        memcpy(q, entity.data(), entity.size());
        q += entity.size();
    }
    return out;
}

// Entity names match in any case (&LT; decodes too): the replacement utility
// ignores case.
char *xml_decode(const char *xml) {
    if (xml == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    kr_pool_string text;
    // Text without an ampersand holds no entity: a plain copy is its decoding.
    if (strchr(xml, '&') == nullptr) {
        text.reset(pstrdup(pool_default(), xml));
    } else {
        const char *current = xml;
        for (const auto &[entity, character] : kr_xml_decodings) {
            text.reset(str_replace(current, entity, character));
            if (!text)
                break;
            current = text.get();
        }
    }
    if (!text) {
        kovr_log_no_memory("xml_decode");
        errno = ENOMEM;
        return nullptr;
    }
    return text.release();
}

} // extern "C"
