// The request document both transports send: the caller's request wrapped in
// the "kovrel" envelope, encoded compactly behind the XML declaration and the
// document type of the server kind.
#pragma once

#include "kovrel.h"

#include <cstddef>

// The API namespace, sent as xmlns by every transport and server type.
inline constexpr char KR_API_NAMESPACE[] = "urn:kovrel:xmlapi";

struct kr_envelope_t {
    kr_elem_t *env_root;    // the "kovrel" element sent
    kr_elem_t *env_request; // the caller's request
    bool env_created;       // env_root was made here and is released on close
    char env_prefix[32];    // "ns:" or "", for element and attribute names
};

// Wraps the request (unless it is itself named "kovrel") and forms the name
// prefix of the handle. 1 on success; 0 with errno ENOMEM, nothing held.
int kr_envelope_open(kr_envelope_t *env, const kr_server_t *s, kr_elem_t *request);

// Sets an envelope attribute, stored XML-escaped; a null value leaves the
// attribute out. 1 on success, 0 when it cannot be stored.
int kr_envelope_set(kr_envelope_t *env, const char *name, const char *value);

// Gives the caller's request back as it was: detached from an envelope made
// here, which is released. Safe on an envelope that failed to open.
void kr_envelope_close(kr_envelope_t *env);

enum kr_document_failure_t {
    KR_DOCUMENT_OK,
    KR_DOCUMENT_NOT_ENCODABLE, // the envelope could not be encoded
    KR_DOCUMENT_NO_BUFFER,     // the document buffer could not be allocated
};

// The whole request document as a new default-pool string (the caller frees
// it with pool_free), its length in *length; null with *failure set.
char *kr_envelope_document(const kr_envelope_t *env, kr_server_type_t type, size_t *length,
                           kr_document_failure_t *failure);

// Document type named in the DOCTYPE line for a server kind.
const char *kr_server_doctype(kr_server_type_t type);

// The handle's debug style as stored. The setter keeps any value a caller
// casts to the enumeration, and one outside its range is no valid
// kr_debug_style_t to load, so the field is read as its bits; values other
// than the two debug styles mean normal operation.
unsigned kr_envelope_debug_style(const kr_server_t *s);

// "INPUT:\n", the document and "\n" on standard output, when the handle asks
// for it (printinput, or debug style KR_PRINT_DONT_PARSE).
void kr_envelope_print_input(const kr_server_t *s, const char *document);

// Resets kr_xml_debug and, when XMLDEBUG is set and not empty, traces the URL
// (null for transports without one) and the document on standard error and
// sets kr_xml_debug to 1.
void kr_envelope_trace(const char *url, const char *document);
