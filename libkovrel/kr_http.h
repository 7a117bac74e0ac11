// The HTTP transport of the XML API, and the reply handling the transports
// share with the invocation frame.
#pragma once

#include "kovrel.h"
#include "kovrel_xml.h"

// Idle limit of a kept-alive connection, in milliseconds.
constexpr uint64_t KR_HTTP_KEEP_ALIVE_MS = 25000;
// Size of the URL buffer; longer URLs are cut to one byte less.
constexpr size_t KR_HTTP_URL_SIZE = 2048;
// Size of the debug styles' read pieces and of the initial capture.
constexpr size_t KR_HTTP_DEBUG_PIECE = 32768;
// Largest body of an authentication rejection that is read and discarded to
// keep its connection; a bigger one costs more than a new connection.
constexpr long KR_HTTP_DISCARD_MAX = 1024 * 1024;

// Carries one request over HTTP or HTTPS to the handle's server (styles
// login/password, trusted host and certificate) and returns a new results
// element. The request comes back to the caller unchanged (a request that is
// itself the "kovrel" envelope keeps the envelope attributes). Never null
// for a non-null handle and request, unless memory is exhausted so far that
// not even a failed results element can be made (then errno is ENOMEM).
kr_elem_t *kr_server_invoke_elem_http(kr_server_t *s, kr_elem_t *request);

// A new failed results element; when it cannot be made with its reason, one
// without the reason is tried, so that only memory exhaustion gives null
// (errno ENOMEM).
kr_elem_t *kr_results_failed(const char *reason, int eno);

// The results element of a parsed reply (context after xml_parse or
// xml_parse_chunked_encoding): kr_parse_error when the reader recorded an
// error; a failure 13001 when the reply ended with an element still open;
// otherwise kr_qapi_get_result of the stack. *local_errno receives the error
// number of a failure made here (0 when the reply's own results element is
// returned), which tells the transport that the reply was not usable.
kr_elem_t *kr_reply_result(struct xml_ctx *r, int *local_errno);
