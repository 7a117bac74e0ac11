// The stream-socket transport "ROVUDI-D/1.0": one API request over a raw TCP
// (or, for the secure transport value, TLS) connection with a small text
// header block instead of HTTP. The exported building blocks
// (kr_vav_socket_open, kr_vav_send_request, kr_vav_socket_close) are declared
// in kovrel.h; this header holds what the rest of the library uses.
#pragma once

#include "kovrel.h"
#include "shttpc.h"

// Header block template; the block carries the credentials in clear text.
inline constexpr char KR_VAV_HEADER_TEMPLATE[] =
    "ROVUDI-D/1.0\r\nUser: %s\r\nPassword: %s\r\nContent-length: %zd\r\n\r\n";

// Transport codes of kr_vav_send_request and the transport (text and API
// error number come from kr_error_string and
// kr_transport_errcode_to_api_errcode).
enum kr_vav_code_t : int {
    KR_VAV_OK = 200,
    KR_VAV_NO_DEBUG_BUFFER = 551,
    KR_VAV_NO_PARSE_CONTEXT = 552,
    KR_VAV_NO_REQUEST_BUFFER = 553,
    KR_VAV_CANT_CONNECT = 554,
    KR_VAV_CANT_CONNECT_RESERVED = 555,
    KR_VAV_BAD_LENGTH_LINE = 556,
    KR_VAV_BAD_STATUS_LINE = 557,
    KR_VAV_CANT_ENCODE = 558,
    KR_VAV_CANT_READ_LINE1 = 559,
    KR_VAV_CANT_READ_LINE2 = 560,
    KR_VAV_CANT_READ_LINE3 = 561,
    KR_VAV_CANT_WRITE_HEADERS = 562,
    KR_VAV_CANT_WRITE_PAYLOAD = 563,
    KR_VAV_CONSUMED_BY_DEBUG = 564,
    KR_VAV_DROPPED = 565,
};

// kr_vav_socket_open with the TLS settings of a handle: certificate settings
// (may be null) and the SSLv3 choice, both used only for a TLS connection.
int kr_vav_socket_open_with_cert(const char *host, int look_up_host,
                                 kr_server_transport_t transport_type, int port, int timeout,
                                 cert_auth_info *cert_info, bool_t use_sslv3,
                                 shttpc_t *new_socketP);

// The transport of handles in style KR_STYLE_VAV: a new results element for
// every outcome (null only when not even that can be allocated). Opens a
// fresh connection for the invocation and closes it before returning.
kr_elem_t *kr_server_invoke_elem_vav(kr_server_t *s, kr_elem_t *request);
