// The reply reader: reply bodies read from a connection become element trees
// as they arrive. Tree building and the parser set-up are shared with the
// general reader (kr_xml_sax.h); this reader adds the read loops, keeps every
// parser message, and notes a summary of some elements.

#include "kovrel_xml.h"

#include "http.h"
#include "kr_xml_sax.h"
#include "pool.h"
#include "str.h"
#include "syslog.h"
#include "testpoint.h"

#include <libxml/parser.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

// Largest read from the connection.
constexpr int xml_read_size = 8192;
// api_error once the parser reported anything.
constexpr int xml_api_error_parser = -101;
constexpr int xml_results_errno = 13001;

struct xml_pool_free {
    void operator()(void *p) const { pool_free(pool_default(), p); }
};
using xml_pool_string = std::unique_ptr<char, xml_pool_free>;

struct xml_ctx_deleter {
    void operator()(xml_ctx *ctx) const { xml_release(ctx); }
};

xml_ctx *xml_context(void *ctx) {
    return static_cast<xml_ctx *>(ctx);
}

// ---------------------------------------------------------------------------
// Summary records.

void xml_summary_free(array_item_t item) {
    auto *s = static_cast<xml_summary_t *>(item);
    pool_free(pool_default(), s->xs_name);
    pool_free(pool_default(), s->xs_value);
    pool_free(pool_default(), s);
}

struct xml_summary_deleter {
    void operator()(xml_summary_t *s) const { xml_summary_free(s); }
};

// Copy of an optional text; false only when a text could not be copied.
bool xml_copy(char **to, const char *text) {
    *to = text != nullptr ? pstrdup(pool_default(), text) : nullptr;
    return text == nullptr || *to != nullptr;
}

// Appends a record of (name, value) to *list, creating the list on first use.
bool xml_summary_add(array_t *list, const char *name, const char *value) {
    std::unique_ptr<xml_summary_t, xml_summary_deleter> s(
        static_cast<xml_summary_t *>(pool_zalloc(pool_default(), sizeof(xml_summary_t))));
    if (s == nullptr || !xml_copy(&s->xs_name, name) || !xml_copy(&s->xs_value, value))
        return false;
    if (*list == nullptr && (*list = array_new(xml_summary_free)) == nullptr)
        return false;
    if (array_append(*list, s.get()) != ARRAY_OK)
        return false;
    s.release();
    return true;
}

// Notes a closed element when it is one the summary keeps.
bool xml_summary_note(xml_ctx *r, kr_elem_t *e) {
    const std::string_view name = kr_elem_get_name(e);
    if (name == "results")
        return xml_summary_add(&r->results, kr_attr_get(e, "status"), kr_attr_get(e, "reason"));
    if (name == "attrs" || name == "file" || name == "item" || name == "value" || name == "detail")
        return xml_summary_add(&r->current, e->name, e->contents);
    return true;
}

// ---------------------------------------------------------------------------
// SAX callbacks.

void xml_start_element(void *ctx, const xmlChar *name, const xmlChar **attrs) {
    kr_xml_sax_start(xml_context(ctx), name, attrs);
}

void xml_end_element(void *ctx, const xmlChar *) {
    xml_ctx *r = xml_context(ctx);
    kr_elem_t *e = kr_xml_sax_end(r);
    // A summary with a record missing would mislead its reader.
    if (e != nullptr && !xml_summary_note(r, e))
        kr_xml_sax_fail(r, kr_xml_error_elements);
}

void xml_characters(void *ctx, const xmlChar *text, int len) {
    kr_xml_sax_characters(xml_context(ctx), text, len);
}

// Warnings, errors and fatal errors alike: every message is kept, in order,
// and any of them fails the parse.
void xml_message(void *ctx, const char *msg, ...) {
    xml_ctx *r = xml_context(ctx);
    r->api_error = xml_api_error_parser;
    va_list ap;
    va_start(ap, msg);
    kr_xml_error_vappend(&r->parse_error, msg, ap);
    va_end(ap);
}

// SAX version 1 (initialized = 1), the same members as the general reader's
// table: no entity look-up, no external subset (see kr_xml_sax.h).
constexpr xmlSAXHandler xml_handler_table() {
    xmlSAXHandler h{};
    h.startElement = xml_start_element;
    h.endElement = xml_end_element;
    h.characters = xml_characters;
    h.cdataBlock = xml_characters;
    h.warning = xml_message;
    h.error = xml_message;
    h.fatalError = xml_message;
    h.initialized = 1;
    return h;
}

constinit xmlSAXHandler xml_sax_handler = xml_handler_table();

// ---------------------------------------------------------------------------
// Feeding the parser.

void xml_echo(const char *piece, size_t n) {
    if (kr_xml_debug > 0)
        fwrite(piece, 1, n, stderr);
}

// Starts the parse with the first piece, parsed at once so that a reply
// arriving slowly is handled as it arrives. False when libxml2 has no memory.
bool xml_parser_start(xml_ctx *r, const char *piece, int n) {
    r->parserCtxt = kr_xml_parser_new(&xml_sax_handler, r, piece, n);
    if (r->parserCtxt == nullptr) {
        xml_message(r, "out of memory");
        errno = ENOMEM;
        return false;
    }
    xmlParseChunk(r->parserCtxt, nullptr, 0, 0);
    return true;
}

// Ends the parse. Unless the parser stopped, it learns that the document ends
// here, so a reply cut short is reported rather than taken as complete.
void xml_parser_finish(xml_ctx *r) {
    if (r->parserCtxt == nullptr)
        return;
    if (!kr_xml_parser_halted(r->parserCtxt))
        xmlParseChunk(r->parserCtxt, nullptr, 0, 1);
    kr_xml_parser_free(r->parserCtxt);
    r->parserCtxt = nullptr;
}

// Bytes to ask the connection for: a read's worth, but never beyond the
// body's length, so that a reply of exactly that length is not waited on.
size_t xml_request_size(int len, long long total) {
    if (len < 0 || len - total >= xml_read_size)
        return xml_read_size;
    return static_cast<size_t>(len - total);
}

struct xml_chunk_t {
    char *data = nullptr;
    size_t len = 0;
    ~xml_chunk_t() { pool_free(pool_default(), data); }
};

} // namespace

struct xml_ctx *xml_create(void) {
    std::unique_ptr<xml_ctx, xml_ctx_deleter> ctx(
        static_cast<xml_ctx *>(calloc(1, sizeof(xml_ctx))));
    if (ctx == nullptr || !kr_xml_stack_init(ctx.get())) {
        errno = ENOMEM;
        return nullptr;
    }
    return ctx.release();
}

void xml_release(struct xml_ctx *ctx) {
    if (ctx == nullptr)
        return;
    kr_xml_stack_release(ctx);
    if (ctx->current != nullptr)
        array_delete(ctx->current);
    if (ctx->results != nullptr)
        array_delete(ctx->results);
    free(ctx);
}

// The parse ends early when the parser has halted: stopped by the reader
// (nesting too deep, memory exhausted) or after a fatal error in the
// document. The reply has failed then, and reading the rest of it could
// only keep the caller waiting on a server that sends without end; the
// transports drop such a connection instead of reusing it.
bool_t xml_parse(shttpc_t sock, struct xml_ctx *r, int len) {
    if (sock == nullptr || r == nullptr) {
        errno = EINVAL;
        return 0;
    }
    char piece[xml_read_size];
    long long total = 0;
    errno = 0;
    // An empty body is not read at all: the connection may stay open.
    ssize_t n = len == 0 ? 0 : shttpc_read(sock, piece, xml_request_size(len, total));
    if (n <= 0) {
        // A read that waited before meeting the end leaves EAGAIN behind.
        if (n == 0)
            errno = 0;
        return 0;
    }
    total += n;
    xml_echo(piece, static_cast<size_t>(n));
    if (!xml_parser_start(r, piece, static_cast<int>(n)))
        return 0;
    while (!kr_xml_parser_halted(r->parserCtxt) && !(len >= 0 && total >= len)) {
        n = shttpc_read(sock, piece, xml_request_size(len, total));
        if (n <= 0)
            break;
        total += n;
        xml_echo(piece, static_cast<size_t>(n));
        xmlParseChunk(r->parserCtxt, piece, static_cast<int>(n), 0);
    }
    const int read_errno = errno;
    xml_parser_finish(r);
    errno = n < 0 ? read_errno : 0;
    return n >= 0;
}

// Any failed chunk read gives false, whatever errno says: a body whose
// framing broke leaves the connection out of step.
bool_t xml_parse_chunked_encoding(shttpc_t sock, struct xml_ctx *r) {
    if (sock == nullptr || r == nullptr) {
        errno = EINVAL;
        return 0;
    }
    for (;;) {
        xml_chunk_t chunk;
        errno = 0;
        const bool read = http_read_chunk(sock, &chunk.data, &chunk.len);
        if (!read || chunk.len == 0) {
            const int read_errno = errno;
            xml_parser_finish(r);
            errno = read ? 0 : read_errno;
            if (!read && errno != 0 && TESTPOINT_HIT(0, "http", "debug"))
                kovr_syslog(7, "shttpc_read failed, error: %d\n", errno);
            return read;
        }
        // http_read_chunk bounds a chunk well below INT_MAX.
        const int n = static_cast<int>(chunk.len);
        xml_echo(chunk.data, chunk.len);
        if (r->parserCtxt == nullptr) {
            if (!xml_parser_start(r, chunk.data, n))
                return 0;
        } else {
            xmlParseChunk(r->parserCtxt, chunk.data, n, 0);
        }
        if (kr_xml_parser_halted(r->parserCtxt)) {
            xml_parser_finish(r);
            errno = 0;
            return 0;
        }
    }
}

void xml_global_init(void) {
    xmlInitParser();
}

void xml_global_free(void) {
    xmlCleanupParser();
}

kr_elem_t *kr_parse_error(struct xml_ctx *r) {
    if (r == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    xml_pool_string reason(str_sprintf("Parsing error in results: %s",
                                       r->parse_error != nullptr ? r->parse_error : "Unknown"));
    return kr_results_new("failed", reason != nullptr ? reason.get() : "Memory allocation failure",
                          xml_results_errno);
}
