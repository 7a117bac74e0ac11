// HTTP/1.1 client: URL parsing, opening a connection (plain or TLS,
// optionally from a reserved local port), writing a POST with an optional
// Basic authorization header, reading the status line and reply headers, and
// reading the chunks of a chunked body.
//
// The client never reads a reply body itself except chunk by chunk on
// request. Apart from the echo level it keeps no state between calls; a
// connection is used by one thread at a time, one request after the other.
//
// Result codes: -22 bad argument or URL, -12 out of memory, 500 a failure to
// write the request or to read the status line or headers, any other positive
// number the status of the reply. Read failures leave errno non-zero:
// the read's own errno, ECONNRESET when the peer closed in the middle of a
// line or chunk, EPROTO for a malformed status line, line or chunk framing.
#pragma once

#include "adt_types.h"
#include "kovrel.h"
#include "shttpc.h"

#include <cstddef>
#include <cstdint>

typedef enum http_type_e {
    HTTP_TYPE_INVALID = 0,      // no known prefix (or an empty or null URL)
    HTTP_TYPE_PLAIN_IPV6 = 1,   // "http://["
    HTTP_TYPE_SSL_IPV6 = 2,     // "https://["
    HTTP_TYPE_PLAIN_NATIVE = 3, // "http://"
    HTTP_TYPE_SSL_NATIVE = 4,   // "https://"
    HTTP_TYPE_MAX = 5,
} http_type_t;

// A parsed URL. Every string points into hu_url_copy, which the record owns
// (http_free_url releases it).
typedef struct http_url_s {
    char *hu_url_copy;
    const char *hu_host;     // without brackets
    uint16_t hu_port;        // the scheme's default when the URL has none
    const char *hu_path;     // after the "/" that ends the host; "" when none
    const char *hu_username; // null without user information
    const char *hu_password; // null when the user information has no ":"
    bool_t hu_is_ssl;        // https forms
    http_type_t hu_type;     // the kind; the bracketed kinds write "Host: [host]:port"
} http_url_t;

// Credentials of a request: owned strings from the default pool, or null.
// The domain is carried but never used.
typedef struct AuthInfo {
    char *username;
    char *password;
    char *domain;
} AuthInfo;

// Largest chunk http_read_chunk accepts; a bigger announced size is treated
// as invalid chunk coding.
constexpr uint32_t HTTP_MAX_CHUNK_SIZE = 16u * 1024 * 1024;
// Size of the line buffers: a line holds at most 1023 characters.
constexpr size_t HTTP_LINE_SIZE = 1024;

// Process-wide echo level: above 0 every byte written goes to standard output
// and every stored reply header is printed; above 1 the host is printed when
// opening. Returns the previous level.
int http_set_snoop(int level);

http_type_t http_url_type(const char *url);
// 0; -22 for a null argument, an unknown scheme or a bad port; -12 when the
// copy cannot be made. On failure the record holds nothing to release.
int http_parse_url(const char *url, http_url_t *parsed);
void http_free_url(http_url_t *parsed);

// Releases the strings of a credentials record and clears it.
void http_auth_clear(AuthInfo *auth);

// Opens a connection to the URL's host and port and stores it in *where.
// *auth is cleared (it must hold no strings of its own), then receives copies
// of the URL's user name and password; they are released again when the open
// fails. The connection type, not the URL's scheme, decides about TLS. With
// `reserved` the local port is the highest free one below 1024. Returns 0;
// -22 for a null argument or bad URL, -12 out of memory, the resolver's
// (negative) error code, -1 when no reserved port can be bound, or minus
// errno of the failed step (-11 when there is none).
int http_open_url_socket_reserved_ex_wt_wcert(const char *url, shttpc_t *where, AuthInfo *auth,
                                              bool_t reserved, shttpc_type_t type,
                                              int timeout_seconds, cert_auth_info *cert_info,
                                              bool_t use_sslv3);
// Host and port forms (no reserved port / plain connection), no time-out.
int http_open_socket(const char *host, uint16_t port, shttpc_t *where);
int http_open_socket_ex(const char *host, uint16_t port, shttpc_t *where, shttpc_type_t type);
int http_open_socket_reserved(const char *host, uint16_t port, shttpc_t *where, bool_t reserved);
// URL forms: plain for http URLs, TLS for https URLs; no time-out.
int http_open_url_socket(const char *url, shttpc_t *where, AuthInfo *auth);
int http_open_url_socket_reserved(const char *url, shttpc_t *where, AuthInfo *auth,
                                  bool_t reserved);
// Deletes the connection (null is ignored); returns 1.
int http_close(shttpc_t sock);

// Reserved local port: binds the connection to the any-address of the
// target's family (IPv4, otherwise IPv6) with the highest port Q <= start_port
// that binds. 0 when one did, -1 when none could.
int http_bind_socket(shttpc_t sock, const struct addrinfo *target, int start_port);

// Writes a POST of `body` (body_len bytes) to the URL's path, then reads the
// status line and, for 200, the headers into a new table stored in *headers
// (when headers is not null; the caller deletes it). Returns the status, or
// -22 (null URL or body, bad URL, body over 4 GiB), -12 or 500.
int http_post_request(shttpc_t sock, const char *url, AuthInfo *auth, const char *body,
                      size_t body_len, stab_t *headers);
// The same with extra request headers written in table order; a
// "Transfer-Encoding: chunked" header sends the body as one chunk, an
// "Expect: 100-continue" header waits for the interim reply before the body
// (any status other than 100 is returned at once, without sending the body).
int http_post_request_ex(shttpc_t sock, const char *url, AuthInfo *auth, const char *body,
                         size_t body_len, stab_t *headers, stab_t extra_headers);
// A GET without body ("Content-Length: 0"), read like a POST's reply.
int http_get_request(shttpc_t sock, const char *url, AuthInfo *auth, stab_t *headers);

// Reads the status line (one leading empty line is skipped) and, for status
// 200, the headers up to the empty line. Other statuses are returned at once,
// their headers left unread. A status line without a number in 100..999
// after the protocol word gives 500.
int http_strip_headers(shttpc_t sock, stab_t *headers);
// Reads one line into buf (at most size - 1 characters before the line feed),
// without its line feed and a carriage return before it. False on a read
// error, at the end of the stream and when the buffer fills without a line
// feed; buf is NUL-terminated in every case (when size > 0).
bool_t http_getline(shttpc_t sock, char *buf, size_t size);
// Reads one chunk of a chunked body: true with a new buffer from the default
// pool holding the data followed by CR LF (*chunk_len data bytes; the caller
// frees it with pool_free), or true with null and 0 after the last chunk and
// its trailer. False on a read error or invalid framing (chunk sizes above
// HTTP_MAX_CHUNK_SIZE included), with nothing to release.
bool_t http_read_chunk(shttpc_t sock, char **chunk, size_t *chunk_len);
