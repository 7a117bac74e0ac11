// The stream-socket transport "ROVUDI-D/1.0".
//
// Request: a text header block with the credentials and the payload length,
// then the request document. Reply: a status line, a length line (only after
// status 200), an empty line, then exactly that many bytes of XML. Every
// invocation opens its own connection and closes it before returning, so the
// credentials travel once per request and no reply can leak into the next.

#include "kr_vav.h"

#include "kovrel_xml.h"
#include "kr_envelope.h"
#include "kr_http.h"
#include "kr_server_internal.h"
#include "pool.h"
#include "syslog.h"
#include "utils.h"

#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>

namespace {

constexpr int kr_vav_log_debug = 7;

// A header line holds at most 127 characters before its line feed.
constexpr size_t kr_vav_line_size = 128;
// The header block fits this buffer unless the credentials are long.
constexpr size_t kr_vav_header_size = 128;
constexpr size_t kr_vav_debug_read_size = 32768;
constexpr int kr_vav_error_text_size = 256;
// Result of the opening when the host gives no address (the number of
// ENOENT, "no such name").
constexpr int kr_vav_no_address = -2;

constexpr std::string_view kr_vav_status_prefix = "ROVUDI-D/1.0";
constexpr std::string_view kr_vav_length_prefix = "Content-length:";

struct kr_vav_pool_free {
    void operator()(void *p) const { pool_free(pool_default(), p); }
};
using kr_vav_buffer = std::unique_ptr<char, kr_vav_pool_free>;

// The header block is made of lines; a credential holding a line break would
// forge header lines of its own (a second Content-length, say) and put the
// request out of step with the server.
bool kr_vav_header_value_safe(const char *value) {
    return strpbrk(value, "\r\n") == nullptr;
}

// The whole header block, written with one call. Credentials too long for
// the 128-byte block are sent whole from a buffer of the exact size: cutting
// the block would lose the length line and leave the server waiting for a
// header that never ends.
bool kr_vav_write_header(shttpc_t sock, const char *user, const char *password,
                         size_t payload_len) {
    const auto announced = static_cast<ssize_t>(payload_len);
    const int needed = snprintf(nullptr, 0, KR_VAV_HEADER_TEMPLATE, user, password, announced);
    if (needed < 0)
        return false;
    const auto size = static_cast<size_t>(needed) + 1;
    std::array<char, kr_vav_header_size> local;
    kr_vav_buffer allocated;
    char *block = local.data();
    if (size > local.size()) {
        allocated.reset(static_cast<char *>(pool_alloc(pool_default(), size)));
        if (!allocated)
            return false;
        block = allocated.get();
    }
    snprintf(block, size, KR_VAV_HEADER_TEMPLATE, user, password, announced);
    return shttpc_write(sock, block, static_cast<size_t>(needed)) == needed;
}

enum class kr_vav_line_t { complete, failed, ended };

// One header line, read a byte at a time so that nothing beyond the header
// is taken from the connection: the reply document stays for its reader. A
// line feed ends the line (a carriage return just before it is dropped); a
// failed read or 128 bytes without a line feed fail it. The end of the
// stream, even in the middle of a line, means the server dropped the
// connection before its reply was complete.
kr_vav_line_t kr_vav_read_line(shttpc_t sock, std::array<char, kr_vav_line_size> &line) {
    size_t len = 0;
    for (;;) {
        char c;
        const ssize_t n = shttpc_read(sock, &c, 1);
        if (n < 0)
            return kr_vav_line_t::failed;
        if (n == 0)
            return kr_vav_line_t::ended;
        if (c == '\n') {
            if (len > 0 && line[len - 1] == '\r')
                --len;
            line[len] = '\0';
            return kr_vav_line_t::complete;
        }
        if (len == line.size() - 1)
            return kr_vav_line_t::failed;
        line[len++] = c;
    }
}

// Matches `line` against "<prefix> %d" as sscanf would (the prefix, optional
// white space, an optional sign, at least one digit, anything after), except
// that a number beyond the range of int does not match instead of being
// undefined. The server is not trusted: a negative number is no status and
// no length either, so only numbers from 0 up are taken.
bool kr_vav_match_number(const char *line, std::string_view prefix, int *value) {
    if (strncmp(line, prefix.data(), prefix.size()) != 0)
        return false;
    const char *p = line + prefix.size();
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    const char *digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    const int saved_errno = errno;
    errno = 0;
    char *end = nullptr;
    const long number = strtol(p, &end, 10);
    const bool fits = errno == 0 && number >= 0 && number <= INT_MAX;
    errno = saved_errno;
    if (!fits)
        return false;
    *value = static_cast<int>(number);
    return true;
}

// Reads a header line that must be `prefix` and a number: 0 with *value
// set, or the transport code for an unreadable (`unreadable`), ended or empty
// (565) or mismatching (`mismatch`) line.
ssize_t kr_vav_read_number_line(shttpc_t sock, std::array<char, kr_vav_line_size> &line,
                                ssize_t unreadable, std::string_view prefix, ssize_t mismatch,
                                int *value) {
    switch (kr_vav_read_line(sock, line)) {
    case kr_vav_line_t::failed:
        return unreadable;
    case kr_vav_line_t::ended:
        return KR_VAV_DROPPED;
    case kr_vav_line_t::complete:
        break;
    }
    if (line[0] == '\0')
        return KR_VAV_DROPPED;
    return kr_vav_match_number(line.data(), prefix, value) ? 0 : mismatch;
}

// The three-line reply header: 200 with the content length stored, the
// server's status, or a transport code.
ssize_t kr_vav_read_reply_header(shttpc_t sock, int *reply_content_lenP) {
    std::array<char, kr_vav_line_size> line;
    int status = 0;
    if (const ssize_t code =
            kr_vav_read_number_line(sock, line, KR_VAV_CANT_READ_LINE1, kr_vav_status_prefix,
                                    KR_VAV_BAD_STATUS_LINE, &status))
        return code;
    if (status != KR_VAV_OK)
        return status;

    int length = 0;
    if (const ssize_t code =
            kr_vav_read_number_line(sock, line, KR_VAV_CANT_READ_LINE2, kr_vav_length_prefix,
                                    KR_VAV_BAD_LENGTH_LINE, &length))
        return code;
    if (reply_content_lenP != nullptr)
        *reply_content_lenP = length;

    // The third line must be empty. A server sending text there does not
    // speak this protocol (or has put the document where the header should
    // end); treating that text as the start of the document would hand the
    // parser the wrong bytes, so the header is reported unreadable (561).
    switch (kr_vav_read_line(sock, line)) {
    case kr_vav_line_t::failed:
        return KR_VAV_CANT_READ_LINE3;
    case kr_vav_line_t::ended:
        return KR_VAV_DROPPED;
    case kr_vav_line_t::complete:
        break;
    }
    if (line[0] != '\0')
        return KR_VAV_CANT_READ_LINE3;
    return KR_VAV_OK;
}

// The IPv4 address of `host`: a dotted address as it is, a name only when
// lookup is allowed. False when there is none.
bool kr_vav_address(const char *host, int look_up_host, struct in_addr *address) {
    if (host == nullptr)
        return false;
    if (inet_aton(host, address) != 0)
        return true;
    if (!look_up_host)
        return false;
    const struct hostent *entry = utils_gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET ||
        entry->h_length != static_cast<int>(sizeof *address) || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr) {
        kovr_syslog(kr_vav_log_debug, "gethostbyname failed for %s, error = %d\n", host,
                    utils_get_sock_err());
        return false;
    }
    memcpy(address, entry->h_addr_list[0], sizeof *address);
    return true;
}

// Connection type of a transport value: TLS for the secure values (the
// stream-socket one included, since the header block carries the
// credentials in clear text), plain otherwise.
shttpc_type_t kr_vav_connection_type(kr_server_transport_t transport_type) {
    const auto index = static_cast<unsigned>(transport_type);
    return index < std::size(kr_server_transport_map) ? kr_server_transport_map[index]
                                                      : SHTTPC_Type_Plain;
}

int kr_vav_timeout_ms(int timeout) {
    if (timeout <= 0)
        return 0;
    return timeout > INT_MAX / 1000 ? INT_MAX : timeout * 1000;
}

// Connects, TLS handshake included for a TLS connection. 0, or the positive
// error number to report. The TLS layer leaves its own error code (not a
// system error number) in errno when the handshake fails; 1 would read as
// the reserved-port failure and 5 as an I/O error, so such a failure is
// reported as EPROTO (a time-out stays ETIMEDOUT).
int kr_vav_connect(shttpc_t sock, const struct sockaddr_in *address, cert_auth_info *cert_info) {
    int rc;
    if (cert_info != nullptr && sock->sh_type == SHTTPC_Type_SSL) {
        struct addrinfo info = {};
        info.ai_family = AF_INET;
        info.ai_socktype = SOCK_STREAM;
        info.ai_protocol = IPPROTO_TCP;
        info.ai_addrlen = sizeof *address;
        info.ai_addr =
            reinterpret_cast<struct sockaddr *>(const_cast<struct sockaddr_in *>(address));
        rc = shttpc_connect_ipv6_with_cert(sock, &info, sizeof *address, cert_info);
    } else {
        rc = shttpc_connect(sock, reinterpret_cast<const struct sockaddr *>(address),
                            sizeof *address);
    }
    if (rc == 0)
        return 0;
    int err = utils_get_sock_err();
    // The TLS context exists only once the TCP connection was made.
    const bool in_handshake = sock->sh_type == SHTTPC_Type_SSL && sock->sh_sslctx != nullptr;
    if (in_handshake && err != ETIMEDOUT)
        err = EPROTO;
    printf("kr_vav_socket_open(): shttpc_connect() returns %d\n", rc);
    if (sock->sh_type == SHTTPC_Type_SSL && err != ECONNREFUSED) {
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &address->sin_addr, dotted, sizeof dotted);
        const char *detail = cert_info != nullptr && cert_info->err_info != nullptr
                                 ? cert_info->err_info
                                 : strerror(err);
        kovr_syslog(kr_vav_log_debug, "SSL connect to %s:%hu failed: %s", dotted,
                    ntohs(address->sin_port), detail);
    }
    // The text has been reported; left in place, a later HTTP invocation
    // that fails before its own handshake would report it as its reason.
    if (cert_info != nullptr) {
        pool_free(pool_default(), cert_info->err_info);
        cert_info->err_info = nullptr;
    }
    return err;
}

// One invocation's resources, released on every exit. The connection is the
// handle's (sock) while the invocation runs and is closed at its end.
struct kr_vav_invocation_t {
    kr_server_t *vi_server;
    kr_envelope_t vi_envelope = {};
    bool vi_envelope_open = false;
    char *vi_document = nullptr;
    struct xml_ctx *vi_context = nullptr;

    explicit kr_vav_invocation_t(kr_server_t *s) : vi_server(s) {}
    kr_vav_invocation_t(const kr_vav_invocation_t &) = delete;
    kr_vav_invocation_t &operator=(const kr_vav_invocation_t &) = delete;
    ~kr_vav_invocation_t() {
        close_connection();
        if (vi_envelope_open)
            kr_envelope_close(&vi_envelope);
        pool_free(pool_default(), vi_document);
        xml_release(vi_context);
    }

    void close_connection() {
        if (vi_server->sock == nullptr)
            return;
        kr_vav_socket_close(vi_server->sock);
        vi_server->sock = nullptr;
    }
};

// Debug styles 1 and 2: the reply is read to the end of the connection (the
// announced length is not used), printed in style 1, and never parsed.
ssize_t kr_vav_debug_read(kr_vav_invocation_t &inv) {
    kr_server_t *s = inv.vi_server;
    const bool print = s->debugstyle == KR_PRINT_DONT_PARSE;
    if (print)
        fputs("\nOUTPUT:\n", stdout);
    kr_vav_buffer buffer(static_cast<char *>(pool_alloc(pool_default(), kr_vav_debug_read_size)));
    if (!buffer)
        return KR_VAV_NO_DEBUG_BUFFER;
    ssize_t n;
    while ((n = shttpc_read(s->sock, buffer.get(), kr_vav_debug_read_size)) > 0) {
        if (print)
            fwrite(buffer.get(), 1, static_cast<size_t>(n), stdout);
    }
    fputs("\n", stdout);
    inv.close_connection();
    return KR_VAV_CONSUMED_BY_DEBUG;
}

// The invocation up to its result: 0 with *result made from the reply, or a
// transport code (a server status included) with *extra for its text.
ssize_t kr_vav_exchange(kr_vav_invocation_t &inv, kr_elem_t *request, int *extra,
                        kr_elem_t **result) {
    kr_server_t *s = inv.vi_server;
    if (!kr_envelope_open(&inv.vi_envelope, s, request))
        return KR_VAV_CANT_ENCODE;
    inv.vi_envelope_open = true;

    // Only these attributes: the stream-socket servers take no vtenant,
    // originator or client description.
    char version[32];
    snprintf(version, sizeof version, "%d.%d", s->major, s->minor);
    if (!kr_envelope_set(&inv.vi_envelope, "xmlns", KR_API_NAMESPACE) ||
        !kr_envelope_set(&inv.vi_envelope, "version", version) ||
        !kr_envelope_set(&inv.vi_envelope, "app-name", s->caller_app_name) ||
        !kr_envelope_set(&inv.vi_envelope, "api-intent", s->caller_intent))
        return KR_VAV_CANT_ENCODE;

    size_t length = 0;
    kr_document_failure_t failure = KR_DOCUMENT_OK;
    inv.vi_document = kr_envelope_document(&inv.vi_envelope, s->servertype, &length, &failure);
    if (inv.vi_document == nullptr)
        return failure == KR_DOCUMENT_NO_BUFFER ? KR_VAV_NO_REQUEST_BUFFER : KR_VAV_CANT_ENCODE;
    kr_envelope_print_input(s, inv.vi_document);
    kr_envelope_trace(nullptr, inv.vi_document);

    if (s->sock == nullptr) {
        shttpc_t sock = nullptr;
        const int r = kr_vav_socket_open_with_cert(s->host, s->look_up_host, s->transport, s->port,
                                                   s->timeout, s->cert_info, s->use_sslv3, &sock);
        if (r != 0) {
            *extra = -r;
            return r == -1 ? KR_VAV_CANT_CONNECT_RESERVED : KR_VAV_CANT_CONNECT;
        }
        s->sock = sock;
    }

    int content_length = 0;
    const ssize_t sent = kr_vav_send_request(s->sock, s->username, s->password, inv.vi_document,
                                             length, &content_length);
    if (sent != KR_VAV_OK)
        return sent;

    if (s->debugstyle == KR_PRINT_DONT_PARSE || s->debugstyle == KR_DONT_PRINT_DONT_PARSE)
        return kr_vav_debug_read(inv);

    if (kr_xml_debug > 0)
        fputs("::XML DEBUG BEGIN::\n", stderr);
    inv.vi_context = xml_create();
    if (inv.vi_context == nullptr)
        return KR_VAV_NO_PARSE_CONTEXT;
    // A failed read leaves the document incomplete, which the reply check
    // reports (a parse error, or an element left open).
    xml_parse(s->sock, inv.vi_context, content_length);
    inv.close_connection();
    if (inv.vi_context->parse_error == nullptr && kr_xml_debug > 0)
        fputs("::XML DEBUG END::\n", stderr);
    int local_errno = 0;
    *result = kr_reply_result(inv.vi_context, &local_errno);
    return 0;
}

} // namespace

int kr_vav_socket_open_with_cert(const char *host, int look_up_host,
                                 kr_server_transport_t transport_type, int port, int timeout,
                                 cert_auth_info *cert_info, bool_t use_sslv3,
                                 shttpc_t *new_socketP) {
    if (new_socketP == nullptr)
        return -EINVAL;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!kr_vav_address(host, look_up_host, &address.sin_addr))
        return kr_vav_no_address;

    int err = 0;
    shttpc_t sock = shttpc_new(kr_vav_connection_type(transport_type), kr_vav_timeout_ms(timeout));
    if (sock == nullptr) {
        err = utils_get_sock_err();
        printf("kr_vav_socket_open(): shttpc_new() returns failure\n");
    } else {
        sock->use_sslv3 = use_sslv3;
        err = kr_vav_connect(sock, &address, cert_info);
    }
    if (sock != nullptr && err == 0) {
        const int one = 1;
        const int rc = shttpc_setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (rc != 0)
            printf("kr_vav_socket_open(): shttpc_setsockopt() returns %d\n", rc);
        *new_socketP = sock;
        return 0;
    }
    if (sock != nullptr)
        shttpc_delete(sock);
    // A failure must never read as success: without any error number the
    // result is a plain I/O error.
    return err != 0 ? -err : -EIO;
}

kr_elem_t *kr_server_invoke_elem_vav(kr_server_t *s, kr_elem_t *request) {
    if (s == nullptr || request == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    kr_vav_invocation_t inv(s);
    int extra = 0;
    kr_elem_t *result = nullptr;
    const ssize_t code = kr_vav_exchange(inv, request, &extra, &result);
    if (code == 0)
        return result;
    // The secure transport value reports with the same "VAV" prefix.
    std::array<char, kr_vav_error_text_size> text;
    kr_error_string(code, KR_SERVER_TRANSPORT_VAV, extra, text.data(), kr_vav_error_text_size);
    return kr_results_failed(text.data(), kr_transport_errcode_to_api_errcode(code));
}

extern "C" {

int kr_vav_socket_open(const char *usernameP, const char *userpassP, const char *host,
                       int look_up_host, kr_server_transport_t transport_type, int port,
                       int timeout, shttpc_t *new_socketP) {
    // The credentials travel in the header block, not at connection time.
    (void)usernameP;
    (void)userpassP;
    return kr_vav_socket_open_with_cert(host, look_up_host, transport_type, port, timeout, nullptr,
                                        0, new_socketP);
}

ssize_t kr_vav_send_request(shttpc_t dst_socket, const char *usernameP, const char *userpassP,
                            const void *QAPI_payloadP, size_t QAPI_payload_len,
                            int *reply_content_lenP) {
    // A handle without credentials sends the lines with empty values: the
    // server expects all header lines and rejects the request itself.
    const char *user = usernameP != nullptr ? usernameP : "";
    const char *password = userpassP != nullptr ? userpassP : "";
    if (QAPI_payloadP == nullptr && QAPI_payload_len != 0)
        return KR_VAV_CANT_WRITE_PAYLOAD;
    if (dst_socket == nullptr || !kr_vav_header_value_safe(user) ||
        !kr_vav_header_value_safe(password) ||
        !kr_vav_write_header(dst_socket, user, password, QAPI_payload_len))
        return KR_VAV_CANT_WRITE_HEADERS;
    const ssize_t written = shttpc_write(dst_socket, QAPI_payloadP, QAPI_payload_len);
    if (written < 0 || static_cast<size_t>(written) < QAPI_payload_len)
        return KR_VAV_CANT_WRITE_PAYLOAD;
    if (reply_content_lenP != nullptr)
        *reply_content_lenP = 0;
    return kr_vav_read_reply_header(dst_socket, reply_content_lenP);
}

// Null is ignored, as for every release call of the library.
void kr_vav_socket_close(shttpc_t doomed_socket) {
    if (doomed_socket != nullptr)
        shttpc_delete(doomed_socket);
}

} // extern "C"
