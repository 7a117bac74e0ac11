// The general XML reader: an XML text pulled through a read function becomes
// an element tree. kr_qapi_get_elem_from_raw_xmlinput reads a text held in
// memory this way.

#include "kovrel.h"

#include "kr_xml_sax.h"
#include "pool.h"
#include "str.h"
#include "zthread.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Raw texts are pushed in pieces of this size.
constexpr int kr_xml_piece_size = 2048;

// Substitution replaces the predefined entities and character references in
// attribute values too (without it libxml2 hands "&amp;" over as "&#38;").
// It cannot reach an external or document-declared entity: the handler table
// has no entity look-up (see kr_xml_sax.h). NONET is a second lock on the
// network; DTD loading, DTD attribute defaults and HUGE stay off.
constexpr int kr_xml_parser_options = XML_PARSE_NOENT | XML_PARSE_NONET;

// Stands in for an error text that could not be allocated; never freed.
char kr_xml_error_no_memory[] = "Unable to allocate memory for error message!";
constexpr const char *kr_xml_no_memory_prefix = "Unable to allocate memory for ";

kr_xml_ctx_t *kr_xml_context(void *ctx) {
    return static_cast<kr_xml_ctx_t *>(ctx);
}

void kr_xml_start_element(void *ctx, const xmlChar *name, const xmlChar **attrs) {
    if (kr_xml_debug)
        printf("KR_XML_STARTELEMENT name=%s\n", reinterpret_cast<const char *>(name));
    kr_xml_sax_start(kr_xml_context(ctx), name, attrs);
}

void kr_xml_end_element(void *ctx, const xmlChar *name) {
    if (kr_xml_debug)
        printf("KR_XML_ENDELEMENT name=%s\n", reinterpret_cast<const char *>(name));
    kr_xml_sax_end(kr_xml_context(ctx));
}

void kr_xml_characters(void *ctx, const xmlChar *text, int len) {
    kr_xml_sax_characters(kr_xml_context(ctx), text, len);
}

// Warnings, errors and fatal errors alike: the latest message replaces the
// previous one, and any of them fails the parse.
void kr_xml_message(void *ctx, const char *msg, ...) {
    va_list ap;
    va_start(ap, msg);
    kr_xml_error_replace(&kr_xml_context(ctx)->parse_error, str_vsprintf(msg, ap));
    va_end(ap);
}

constexpr xmlSAXHandler kr_xml_handler_table() {
    xmlSAXHandler h{};
    h.startElement = kr_xml_start_element;
    h.endElement = kr_xml_end_element;
    h.characters = kr_xml_characters;
    h.cdataBlock = kr_xml_characters;
    h.warning = kr_xml_message;
    h.error = kr_xml_message;
    h.fatalError = kr_xml_message;
    h.initialized = 1;
    return h;
}

struct kr_xml_pool_free {
    void operator()(char *p) const { pool_free(pool_default(), p); }
};
struct kr_xml_ctx_deleter {
    void operator()(kr_xml_ctx_t *ctx) const { kr_xml_release(ctx); }
};
struct kr_xml_string_context_deleter {
    void operator()(kr_xml_string_context_t *c) const { kr_xml_string_context_free(c); }
};

// Bytes to ask the reader for: a piece, but never beyond a known length, so
// that a reader over a connection is not asked for bytes of the next message.
int kr_xml_request_size(int len, long long total) {
    if (len < 0 || len - total >= kr_xml_piece_size)
        return kr_xml_piece_size;
    return static_cast<int>(len - total);
}

// The string read function knows when its text is exhausted, which lets the
// last piece be pushed as final. Any other reader's end is learned from a
// read of 0 bytes.
bool kr_xml_reader_done(kr_reader_t reader, void *reader_context) {
    return reader == kr_xml_string_reader &&
           static_cast<kr_xml_string_context_t *>(reader_context)->left == 0;
}

} // namespace

namespace {

zthread_once_t kr_xml_parser_once = ZTHREAD_ONCE_INIT;

void kr_xml_parser_init() {
    xmlInitParser();
}

} // namespace

xmlParserCtxtPtr kr_xml_parser_new(xmlSAXHandler *handler, void *user_data, const char *chunk,
                                   int size) {
    // libxml2 must be initialised before threads parse at the same time.
    // kr_startup does it, but handles may be used without start-up, so the
    // first parse of the process does it too, exactly once.
    zthread_once(&kr_xml_parser_once, kr_xml_parser_init);
    xmlParserCtxtPtr parser = xmlCreatePushParserCtxt(handler, user_data, chunk, size, nullptr);
    if (parser != nullptr)
        xmlCtxtUseOptions(parser, kr_xml_parser_options);
    return parser;
}

void kr_xml_parser_free(xmlParserCtxtPtr parser) {
    if (parser == nullptr)
        return;
    // In SAX mode libxml2 keeps declared entities in a document of its own,
    // which it leaves to the caller.
    if (parser->myDoc != nullptr) {
        xmlFreeDoc(parser->myDoc);
        parser->myDoc = nullptr;
    }
    xmlFreeParserCtxt(parser);
}

void kr_xml_parser_stop(xmlParserCtxtPtr parser) {
    xmlStopParser(parser);
    parser->wellFormed = 0;
    parser->errNo = kr_xml_stop_errno;
}

bool kr_xml_parser_halted(xmlParserCtxtPtr parser) {
    // The same test xmlParseChunk makes before it looks at new input.
    return parser->instate == XML_PARSER_EOF ||
           (parser->errNo != XML_ERR_OK && parser->disableSAX != 0);
}

void kr_xml_error_replace(char **parse_error, char *formatted) {
    kr_xml_error_free(parse_error);
    *parse_error = formatted != nullptr ? formatted : kr_xml_error_no_memory;
}

void kr_xml_error_set(char **parse_error, const char *text) {
    kr_xml_error_replace(parse_error, pstrdup(pool_default(), text));
}

void kr_xml_error_vappend(char **parse_error, const char *format, va_list ap) {
    std::unique_ptr<char, kr_xml_pool_free> message(str_vsprintf(format, ap));
    const char *old = *parse_error != nullptr ? *parse_error : "";
    if (message != nullptr && strlen(old) + strlen(message.get()) > kr_xml_error_max)
        return;
    // Built before the old text is released; a failure leaves the static
    // out-of-memory text.
    kr_xml_error_replace(parse_error,
                         message != nullptr ? str_cat(old, message.get(), nullptr) : nullptr);
}

void kr_xml_error_free(char **parse_error) {
    if (*parse_error != kr_xml_error_no_memory)
        pool_free(pool_default(), *parse_error);
    *parse_error = nullptr;
}

bool kr_xml_error_is_no_memory(const char *parse_error) {
    return parse_error != nullptr &&
           strncmp(parse_error, kr_xml_no_memory_prefix, strlen(kr_xml_no_memory_prefix)) == 0;
}

extern "C" {

int kr_xml_debug = 0;

// SAX version 1 (initialized = 1): attributes arrive as a name/value array.
// Only these members are set; in particular there is no entity look-up, no
// external subset and no ignorableWhitespace (blanks between elements arrive
// as characters).
constinit xmlSAXHandler kr_xml_sax_handler = kr_xml_handler_table();

void kr_xml_global_init(void) {
    fprintf(stderr, "xml_global_init called\n");
    xmlInitParser();
}

void kr_xml_global_free(void) {
    fprintf(stderr, "xml_global_free called\n");
    xmlCleanupParser();
}

// include_cdata is 0 here; raw request texts set it. libxml2 has no mode that
// keeps CDATA markers, and we offer none: CDATA sections always arrive as
// plain text, so contents hold the text the document means, and the encoder
// escapes it again on the way out.
kr_xml_ctx_t *kr_xml_create(void) {
    std::unique_ptr<kr_xml_ctx_t, kr_xml_ctx_deleter> ctx(
        static_cast<kr_xml_ctx_t *>(pool_zalloc(pool_default(), sizeof(kr_xml_ctx_t))));
    if (ctx == nullptr || !kr_xml_stack_init(ctx.get())) {
        errno = ENOMEM;
        return nullptr;
    }
    return ctx.release();
}

void kr_xml_release(kr_xml_ctx_t *ctx) {
    if (ctx == nullptr)
        return;
    kr_xml_stack_release(ctx);
    pool_free(pool_default(), ctx);
}

void kr_xml_read_and_parse(kr_xml_ctx_t *r, int len, kr_reader_t reader, void *reader_context) {
    if (r == nullptr || reader == nullptr) {
        errno = EINVAL;
        return;
    }
    char piece[kr_xml_piece_size];
    long long total = 0;
    int n = reader(reader_context, piece, kr_xml_request_size(len, total));
    if (n <= 0)
        return;
    total += n;
    r->parserCtxt = kr_xml_parser_new(&kr_xml_sax_handler, r, piece, n);
    if (r->parserCtxt == nullptr) {
        kr_xml_message(r, "Unable to allocate memory for XML parser context");
        return;
    }
    bool done = kr_xml_reader_done(reader, reader_context);
    int rc = xmlParseChunk(r->parserCtxt, piece, 0, done);
    // The length counts every byte, the first piece included, so that a
    // reader given the exact length is not asked for more.
    while (!done && rc != kr_xml_stop_errno && !(len >= 0 && total >= len)) {
        n = reader(reader_context, piece, kr_xml_request_size(len, total));
        if (n <= 0)
            break;
        total += n;
        done = kr_xml_reader_done(reader, reader_context);
        rc = xmlParseChunk(r->parserCtxt, piece, n, done);
    }
    // Whatever ended the reading, the parser must learn that the document
    // ends here, or a truncated document would pass unnoticed.
    if (!done && rc != kr_xml_stop_errno)
        xmlParseChunk(r->parserCtxt, nullptr, 0, 1);
    kr_xml_parser_free(r->parserCtxt);
    r->parserCtxt = nullptr;
}

kr_xml_string_context_t *kr_xml_string_context_new(const char *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const size_t length = strlen(s);
    if (length > INT_MAX) {
        errno = EOVERFLOW;
        return nullptr;
    }
    std::unique_ptr<kr_xml_string_context_t, kr_xml_string_context_deleter> c(
        static_cast<kr_xml_string_context_t *>(
            pool_zalloc(pool_default(), sizeof(kr_xml_string_context_t))));
    if (c == nullptr || (c->buff = pstrndup(pool_default(), s, length)) == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    c->left = static_cast<int>(length);
    return c.release();
}

void kr_xml_string_context_free(kr_xml_string_context_t *c) {
    if (c == nullptr)
        return;
    pool_free(pool_default(), c->buff);
    pool_free(pool_default(), c);
}

int kr_xml_string_reader(void *context, char *buff, int buffsize) {
    auto *c = static_cast<kr_xml_string_context_t *>(context);
    if (c == nullptr || buff == nullptr || buffsize < 0) {
        errno = EINVAL;
        return -1;
    }
    const int n = c->left < buffsize ? c->left : buffsize;
    if (n == 0) {
        // No room at all means no byte may be written either.
        if (buffsize > 0)
            buff[0] = '\0';
        return 0;
    }
    memcpy(buff, c->buff + c->sofar, static_cast<size_t>(n));
    c->sofar += n;
    c->left -= n;
    return n;
}

kr_elem_t *kr_qapi_get_elem_from_raw_xmlinput(char *val) {
    std::unique_ptr<kr_xml_string_context_t, kr_xml_string_context_deleter> input(
        kr_xml_string_context_new(val));
    if (input == nullptr)
        return nullptr;
    std::unique_ptr<kr_xml_ctx_t, kr_xml_ctx_deleter> r(kr_xml_create());
    if (r == nullptr)
        return nullptr;
    r->include_cdata = 1;
    kr_xml_read_and_parse(r.get(), -1, kr_xml_string_reader, input.get());
    if (r->parse_error != nullptr) {
        fprintf(stderr, "Parse error: %s\n", r->parse_error);
        // A document that could not be read for lack of memory is not an
        // invalid argument: tell the caller which it was.
        errno = kr_xml_error_is_no_memory(r->parse_error) ? ENOMEM : EINVAL;
        return nullptr;
    }
    kr_elem_t *root = r->elemStack[0].elem;
    if (root == nullptr) {
        fprintf(stderr, "No elements in API request\n");
        errno = EINVAL;
        return nullptr;
    }
    r->elemStack[0].elem = nullptr;
    return root;
}

} // extern "C"
