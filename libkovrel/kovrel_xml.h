// The reply reader: an XML reply body read straight from a connection, sized
// or in HTTP chunked coding, becomes an element tree, parsed piece by piece
// as it arrives. Used by the HTTP and stream-socket transports.
//
// A context serves one reply: xml_create, one parse call, then the caller
// reads parse_error and the stack (the root in entry 0) and calls
// xml_release. Replies are untrusted: the parser set-up is the one of the
// general reader (kr_xml_sax.h: no external DTD or entity is loaded, entity
// expansion is capped), nesting is limited to 20 levels, and memory holds one
// read piece plus the tree, never the whole reply text.
#pragma once

#include "adt_types.h"
#include "array.h"
#include "kovrel.h"
#include "shttpc.h"

// What the reader notes about an element for the cache-appliance client,
// which reads replies through this context: for a "results" element its
// status and reason, for "attrs", "file", "item", "value" and "detail"
// elements their name and contents. Each text is a copy (default pool); an
// absent attribute reads as "" (as kr_attr_get gives it), absent contents as
// null.
typedef struct xml_summary_s {
    char *xs_name;  // "results": the status; otherwise the element name
    char *xs_value; // "results": the reason; otherwise the contents
} xml_summary_t;

struct xml_ctx {
    int api_error;     // -101 once the parser reported a message
    char *parse_error; // every message met, appended in order; null while none
    char *pcdata;      // text collected for the innermost open element
    size_t pcdata_len;
    array_t current; // xml_summary_t of "attrs", "file", "item", "value", "detail"
    array_t results; // xml_summary_t of every "results" element
    kr_elem_stack_t *elemStack;
    int elemStacksize;
    int elemDepth;                     // innermost open element; -1 before the root
    struct _xmlParserCtxt *parserCtxt; // only while a parse call runs
};

// A new context (calloc'ed; xml_release frees it): empty stack, elemDepth -1,
// no text, no error. Null with ENOMEM.
struct xml_ctx *xml_create(void);
// Reads and parses a body of `len` bytes (-1: up to the end of the
// connection) in reads of at most 8192 bytes, never asking for bytes beyond
// `len`. True unless the last read failed (errno then tells why); false with
// errno 0 when there was nothing to read. Problems of the document itself
// are reported in r->parse_error only.
bool_t xml_parse(shttpc_t sock, struct xml_ctx *r, int len);
// Reads and parses a body in chunked coding, one chunk in memory at a time.
// True once the last chunk was read; false when a chunk could not be read
// (errno non-zero) or when parsing stopped before the end of the body.
bool_t xml_parse_chunked_encoding(shttpc_t sock, struct xml_ctx *r);
// Frees the context, its summary records and whatever tree is still in its
// stack. Null is ignored.
void xml_release(struct xml_ctx *ctx);
// Set-up and clean-up of the parser library, at library start-up and shutdown.
void xml_global_init(void);
void xml_global_free(void);

// Failed results (API error 13001) for a reply that did not parse: reason
// "Parsing error in results: " and the context's parse error (or "Unknown"),
// or "Memory allocation failure" when that text cannot be built. Null with
// EINVAL for a null context, with ENOMEM when no results element can be made.
kr_elem_t *kr_parse_error(struct xml_ctx *r);
