// Tree building shared by the XML readers.
//
// The readers turn libxml2 push-parser events into an element tree on an
// explicit stack of open elements. Their contexts differ, but all carry the
// same bookkeeping fields (parse_error, pcdata, pcdata_len, elemStack,
// elemStacksize, elemDepth, parserCtxt), so the event handling is written once
// here as templates over the context type. Each reader keeps only its own
// additions in its callbacks: debug traces, how parser messages are recorded,
// and any summary it collects from the finished elements.
//
// Security: a reader's parser never loads an external DTD or entity. The SAX
// handler tables leave resolveEntity, getEntity, getParameterEntity and
// externalSubset null, and the user data is never the parser context, so
// libxml2 has no way to look up an entity declared in the document: a
// reference to one fails the parse ("Entity 'x' not defined"). Only the five
// predefined entities and character references are replaced. That also
// disarms nested-expansion ("billion laughs") documents, which never get to
// expand; libxml2's own amplification limits stay in force regardless
// (XML_PARSE_HUGE is never set).
#pragma once

#include "kovrel.h"
#include "pool.h"
#include "str.h"

#include <libxml/parser.h>

#include <cstdarg>
#include <cstddef>
#include <cstring>

// Error number stored in the parser context when a reader refuses to go on
// (nesting too deep, memory exhausted); every read loop stops on it.
constexpr int kr_xml_stop_errno = 6005;
// Open elements a reader keeps track of: at most 20 levels, the root being 1.
constexpr int kr_xml_stack_entries = 20;

// Bound of an accumulated error text.
constexpr size_t kr_xml_error_max = 4096;

constexpr const char *kr_xml_error_too_deep = "XML is too deeply nested!";
constexpr const char *kr_xml_error_elements = "Unable to allocate memory for elements!";
constexpr const char *kr_xml_error_characters = "Unable to allocate memory for characters!";
constexpr const char *kr_xml_error_pop = "Error in popping elements from stack!";

// Creates a push parser for `handler` with `user_data`, fed `chunk` first,
// and configures it for untrusted input (see above). Null when libxml2 runs
// out of memory.
xmlParserCtxtPtr kr_xml_parser_new(xmlSAXHandler *handler, void *user_data, const char *chunk,
                                   int size);
// Frees a parser made by kr_xml_parser_new, including the entity table that
// libxml2 keeps on the side when a document declares entities.
void kr_xml_parser_free(xmlParserCtxtPtr parser);
// Stops the parser for good: no further events, and every later parse step
// returns kr_xml_stop_errno.
void kr_xml_parser_stop(xmlParserCtxtPtr parser);
// True when the parser ignores all further input: stopped by a reader, or
// given up after a fatal error in the document. Reading more of a reply is
// then pointless.
bool kr_xml_parser_halted(xmlParserCtxtPtr parser);

// Replaces *parse_error with a copy of `text`. When even that copy cannot be
// made, a static out-of-memory text takes its place, so a failure is never
// lost; kr_xml_error_free knows not to free it. So parse_error is changed
// only through these calls, never reallocated or freed directly.
void kr_xml_error_set(char **parse_error, const char *text);
// Takes ownership of `formatted` (a heap text, or null when formatting ran out
// of memory) as the new *parse_error.
void kr_xml_error_replace(char **parse_error, char *formatted);
// Appends a formatted message to *parse_error (the reply reader keeps every
// message). The text stops growing at kr_xml_error_max bytes: later messages
// are dropped, so a hostile document cannot make the error text outgrow the
// reply. Memory exhaustion leaves the static out-of-memory text.
void kr_xml_error_vappend(char **parse_error, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));
void kr_xml_error_free(char **parse_error);
// True when the text records memory exhaustion rather than a faulty document.
bool kr_xml_error_is_no_memory(const char *parse_error);

// Records a reader error and stops the parse: the tree is incomplete from here
// on, so no further event may touch the stack.
template <typename Ctx> void kr_xml_sax_fail(Ctx *ctx, const char *text) {
    kr_xml_error_set(&ctx->parse_error, text);
    if (ctx->parserCtxt != nullptr)
        kr_xml_parser_stop(ctx->parserCtxt);
}

// An empty stack: depth -1, no text, no error. False when out of memory.
template <typename Ctx> bool kr_xml_stack_init(Ctx *ctx) {
    ctx->elemStack = static_cast<kr_elem_stack_t *>(
        pool_zalloc(pool_default(), kr_xml_stack_entries * sizeof(kr_elem_stack_t)));
    ctx->elemStacksize = kr_xml_stack_entries;
    ctx->elemDepth = -1;
    return ctx->elemStack != nullptr;
}

// Frees whatever a context still holds: the root (when the caller did not take
// it), the texts saved on the stack, the text being collected and the error.
template <typename Ctx> void kr_xml_stack_release(Ctx *ctx) {
    kr_elem_stack_t *stack = ctx->elemStack;
    if (stack != nullptr) {
        // Deeper open elements are children in the root's tree.
        for (int i = 1; i < ctx->elemStacksize; ++i)
            stack[i].elem = nullptr;
        for (int i = 0; i < ctx->elemStacksize; ++i) {
            kr_elem_free(stack[i].elem);
            pool_free(pool_default(), stack[i].pcdata);
        }
        pool_free(pool_default(), stack);
    }
    ctx->elemStack = nullptr;
    pool_free(pool_default(), ctx->pcdata);
    ctx->pcdata = nullptr;
    ctx->pcdata_len = 0;
    kr_xml_error_free(&ctx->parse_error);
}

// Start of an element: a new child of the innermost open element (or the
// root), pushed with the parent's text saved. Returns the element, or null
// when the reader refused it.
template <typename Ctx>
kr_elem_t *kr_xml_sax_start(Ctx *ctx, const xmlChar *name, const xmlChar **attrs) {
    if (ctx->elemDepth + 1 >= ctx->elemStacksize) {
        kr_xml_sax_fail(ctx, kr_xml_error_too_deep);
        return nullptr;
    }
    kr_elem_t *e = kr_elem_new(reinterpret_cast<const char *>(name));
    if (e == nullptr) {
        kr_xml_sax_fail(ctx, kr_xml_error_elements);
        return nullptr;
    }
    if (ctx->elemDepth >= 0)
        kr_child_add(ctx->elemStack[ctx->elemDepth].elem, e);
    kr_elem_stack_t &entry = ctx->elemStack[++ctx->elemDepth];
    entry.elem = e;
    entry.pcdata = ctx->pcdata;
    entry.pcdata_len = ctx->pcdata_len;
    ctx->pcdata = nullptr;
    ctx->pcdata_len = 0;
    // Values arrive with every reference already replaced by the parser.
    for (int i = 0; attrs != nullptr && attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
        // A dropped attribute would be silent data loss: fail the document.
        if (!kr_attr_set(e, reinterpret_cast<const char *>(attrs[i]),
                         reinterpret_cast<const char *>(attrs[i + 1]))) {
            kr_xml_sax_fail(ctx, kr_xml_error_elements);
            return nullptr;
        }
    }
    return e;
}

// Text or CDATA: appended to the text of the open element. The buffer is kept
// exactly one byte longer than its text, so its size gives the text's length.
template <typename Ctx> void kr_xml_sax_characters(Ctx *ctx, const xmlChar *text, int len) {
    if (len <= 0)
        return;
    const size_t used = ctx->pcdata == nullptr ? 0 : ctx->pcdata_len - 1;
    str_ensure(&ctx->pcdata, &ctx->pcdata_len, used + static_cast<size_t>(len));
    if (ctx->pcdata == nullptr) {
        kr_xml_sax_fail(ctx, kr_xml_error_characters);
        return;
    }
    memcpy(ctx->pcdata + used, text, static_cast<size_t>(len));
    ctx->pcdata[used + static_cast<size_t>(len)] = '\0';
}

// End of an element: its collected text becomes its contents, the parent's
// text comes back, and the element leaves the stack (the root stays in entry
// 0). Returns the closed element, or null on failure.
template <typename Ctx> kr_elem_t *kr_xml_sax_end(Ctx *ctx) {
    if (ctx->elemDepth < 0) {
        kr_xml_sax_fail(ctx, kr_xml_error_pop);
        return nullptr;
    }
    kr_elem_stack_t &entry = ctx->elemStack[ctx->elemDepth];
    kr_elem_t *e = entry.elem;
    bool stored = true;
    if (ctx->pcdata != nullptr) {
        stored = kr_elem_set_content(e, ctx->pcdata) != 0;
        pool_free(pool_default(), ctx->pcdata);
    }
    ctx->pcdata = entry.pcdata;
    ctx->pcdata_len = entry.pcdata_len;
    entry.pcdata = nullptr;
    entry.pcdata_len = 0;
    if (ctx->elemDepth >= 1)
        entry.elem = nullptr;
    --ctx->elemDepth;
    // Contents that could not be stored would be lost without a trace.
    if (!stored) {
        kr_xml_sax_fail(ctx, kr_xml_error_characters);
        return nullptr;
    }
    return e;
}
