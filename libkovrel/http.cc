#include "http.h"

#include "base64.h"
#include "pool.h"
#include "stab.h"
#include "str.h"
#include "syslog.h"
#include "testpoint.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string_view>
#include <strings.h>
#include <type_traits>

namespace {

int http_snoop = 0;

constexpr int HTTP_LOG_ERROR = 3;
constexpr int HTTP_LOG_DEBUG = 7;

// Tried in this order: the bracketed forms first, since "http://" is also a
// prefix of "http://[".
struct http_prefix_t {
    std::string_view hp_text;
    http_type_t hp_type;
};
constexpr std::array<http_prefix_t, 4> http_prefixes = {{
    {"http://[", HTTP_TYPE_PLAIN_IPV6},
    {"https://[", HTTP_TYPE_SSL_IPV6},
    {"http://", HTTP_TYPE_PLAIN_NATIVE},
    {"https://", HTTP_TYPE_SSL_NATIVE},
}};

size_t http_prefix_length(http_type_t type) {
    for (const http_prefix_t &prefix : http_prefixes)
        if (prefix.hp_type == type)
            return prefix.hp_text.size();
    return 0;
}

bool http_is_bracketed(http_type_t type) {
    return type == HTTP_TYPE_PLAIN_IPV6 || type == HTTP_TYPE_SSL_IPV6;
}

bool http_debug() {
    return TESTPOINT_HIT(0, "http", "debug") != 0;
}

struct http_stab_deleter {
    void operator()(stab_t table) const { stab_delete(table); }
};
using http_stab_ptr = std::unique_ptr<std::remove_pointer_t<stab_t>, http_stab_deleter>;

struct http_url_guard {
    http_url_t *ug_url;
    ~http_url_guard() { http_free_url(ug_url); }
};

// A decimal number of at most `max` made of digits only (no sign, no blanks).
bool http_parse_decimal(std::string_view text, uint32_t max, uint32_t *value) {
    if (text.empty())
        return false;
    uint32_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<uint32_t>(c - '0');
        if (result > max)
            return false;
    }
    *value = result;
    return true;
}

bool http_is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The status of a status line: the number right after the first
// blank-separated word. 0 when there is none, or when it is outside
// 100..999: a status of 0 or below would read as success or as one of our own
// negative codes, so a line without a proper number is treated like an
// unreadable one.
int http_parse_status(const char *line) {
    const char *p = line;
    while (http_is_blank(*p))
        ++p;
    while (*p != '\0' && !http_is_blank(*p))
        ++p;
    while (http_is_blank(*p))
        ++p;
    int status = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > 3)
            return 0;
        status = status * 10 + (*p - '0');
    }
    return status >= 100 ? status : 0;
}

// The size at the start of a chunk-size line (hexadecimal digits; whatever
// follows, such as extensions, is ignored). Sizes above HTTP_MAX_CHUNK_SIZE
// are refused while the digits are read, so nothing can wrap.
bool http_parse_chunk_size(const char *line, uint32_t *size) {
    uint32_t value = 0;
    const char *p = line;
    for (;; ++p) {
        uint32_t digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<uint32_t>(*p - '0');
        else if (*p >= 'a' && *p <= 'f')
            digit = static_cast<uint32_t>(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'F')
            digit = static_cast<uint32_t>(*p - 'A' + 10);
        else
            break;
        value = value * 16 + digit;
        if (value > HTTP_MAX_CHUNK_SIZE)
            return false;
    }
    if (p == line)
        return false;
    *size = value;
    return true;
}

// Writes one piece; the whole of it must be accepted.
bool http_write(shttpc_t sock, const char *data, size_t len) {
    if (len == 0)
        return true;
    const ssize_t written = shttpc_write(sock, data, len);
    if (written > 0 && http_snoop > 0) {
        fwrite(data, 1, static_cast<size_t>(written), stdout);
        fflush(stdout);
    }
    if (written == static_cast<ssize_t>(len))
        return true;
    if (http_debug())
        kovr_syslog(HTTP_LOG_DEBUG, "Failed to write to HTTP socket, error: %d\n", errno);
    return false;
}

// A request (or a piece of one) formed in memory.
class http_request_text {
  public:
    http_request_text() = default;
    http_request_text(const http_request_text &) = delete;
    http_request_text &operator=(const http_request_text &) = delete;
    ~http_request_text() { pool_free(pool_default(), rt_text); }

    __attribute__((format(printf, 2, 3))) bool append(const char *format, ...) {
        va_list ap;
        va_start(ap, format);
        const bool ok = vappend(format, ap);
        va_end(ap);
        return ok;
    }

    // Forms one piece and writes it at once: 0, -12 or 500.
    __attribute__((format(printf, 3, 4))) int send(shttpc_t sock, const char *format, ...) {
        va_list ap;
        va_start(ap, format);
        const bool ok = vappend(format, ap);
        va_end(ap);
        return !ok ? -12 : flush(sock) ? 0 : 500;
    }

    // Raw bytes: the body may hold any byte, NUL included. Nothing may be
    // appended with a format afterwards.
    bool append_bytes(const char *bytes, size_t len) {
        str_ensure(&rt_text, &rt_size, rt_len + len);
        if (rt_text == nullptr) {
            rt_len = 0;
            return false;
        }
        memcpy(rt_text + rt_len, bytes, len);
        rt_len += len;
        rt_text[rt_len] = '\0';
        return true;
    }

    // Writes what has been formed and starts over.
    bool flush(shttpc_t sock) {
        const bool ok = http_write(sock, rt_text, rt_len);
        if (rt_text != nullptr)
            rt_text[0] = '\0';
        rt_len = 0;
        return ok;
    }

  private:
    __attribute__((format(printf, 2, 0))) bool vappend(const char *format, va_list ap) {
        const bool ok = str_vappend(&rt_text, &rt_size, format, ap) != nullptr;
        rt_len = ok ? strlen(rt_text) : 0;
        return ok;
    }

    char *rt_text = nullptr;
    size_t rt_size = 0;
    size_t rt_len = 0;
};

// The Authorization line, when the credentials have a user name: 0, 500 when
// the credentials cannot be encoded, -12 when the line cannot be formed.
int http_append_authorization(http_request_text *request, const AuthInfo *auth) {
    if (auth == nullptr || auth->username == nullptr)
        return 0;
    pool_ptr<char> login(
        str_sprintf("%s:%s", auth->username, auth->password != nullptr ? auth->password : ""));
    if (login == nullptr) {
        kovr_syslog(HTTP_LOG_DEBUG, "failed to format credentials for %s\n", auth->username);
        return 500;
    }
    pool_ptr<char> encoded(base64_encode(login.get()));
    // The clear-text password does not outlive this call.
    explicit_bzero(login.get(), strlen(login.get()));
    if (encoded == nullptr) {
        // Only the user name goes to the log: the login text holds the password.
        kovr_syslog(HTTP_LOG_DEBUG, "base64_encode() failed for login str %s\n", auth->username);
        return 500;
    }
    return request->append("Authorization: Basic %s\r\n", encoded.get()) ? 0 : -12;
}

// The Host line. An IPv6 literal is only a valid host in brackets, so the
// bracketed URL kinds keep them.
bool http_append_host(http_request_text *request, const http_url_t &url) {
    return http_is_bracketed(url.hu_type)
               ? request->append("Host: [%s]:%u\r\n", url.hu_host, url.hu_port)
               : request->append("Host: %s:%u\r\n", url.hu_host, url.hu_port);
}

// Whole request in one write. 0 when it is written, else -12 or 500.
int http_send_whole(shttpc_t sock, const char *method, const http_url_t &url, const AuthInfo *auth,
                    const char *body, size_t body_len) {
    http_request_text request;
    if (!request.append("%s /%s HTTP/1.1\r\n", method, url.hu_path))
        return -12;
    const int auth_code = http_append_authorization(&request, auth);
    if (auth_code != 0)
        return auth_code;
    if (!http_append_host(&request, url) ||
        !request.append("Content-Length: %u\r\n\r\n", static_cast<unsigned>(body_len)) ||
        !request.append_bytes(body, body_len))
        return -12;
    return request.flush(sock) ? 0 : 500;
}

bool http_header_is(stab_t table, const char *name, const char *value) {
    return strcasecmp(stab_get(table, name), value) == 0;
}

// The status of an interim reply: its status line and header block. 500 when
// it cannot be read or carries no status number.
int http_read_interim(shttpc_t sock) {
    char line[HTTP_LINE_SIZE];
    if (!http_getline(sock, line, sizeof line))
        return 500;
    const int status = http_parse_status(line);
    if (status == 0) {
        errno = EPROTO;
        return 500;
    }
    if (status != 100)
        return status;
    // A 100 reply is a status line and a (normally empty) header block.
    do {
        if (!http_getline(sock, line, sizeof line))
            return 500;
    } while (line[0] != '\0');
    return 100;
}

// Request with extra headers, written piece by piece. 0 when the final reply
// is next on the connection, else the code to return (-12, 500, or the status
// of an interim reply other than 100).
int http_send_pieces(shttpc_t sock, const char *method, const http_url_t &url, const AuthInfo *auth,
                     const char *body, size_t body_len, stab_t extra) {
    http_request_text piece;
    int code = piece.send(sock, "%s /%s HTTP/1.1\r\n", method, url.hu_path);
    if (code != 0)
        return code;
    if ((code = http_append_authorization(&piece, auth)) != 0)
        return code;
    if (!piece.flush(sock))
        return 500;
    if (!http_append_host(&piece, url))
        return -12;
    if (!piece.flush(sock))
        return 500;
    stab_iter_t iter;
    for (const char *name = stab_first(extra, &iter); name != nullptr;
         name = stab_next(extra, &iter))
        if ((code = piece.send(sock, "%s: %s\r\n", name, stab_get(extra, name))) != 0)
            return code;
    const bool chunked = http_header_is(extra, "transfer-encoding", "chunked");
    if (!chunked &&
        (code = piece.send(sock, "Content-Length: %u\r\n", static_cast<unsigned>(body_len))) != 0)
        return code;
    if (!http_write(sock, "\r\n", 2))
        return 500;
    if (http_header_is(extra, "expect", "100-continue")) {
        const int status = http_read_interim(sock);
        if (status != 100)
            return status;
    }
    if (!chunked)
        return http_write(sock, body, body_len) ? 0 : 500;
    // An empty body is the last chunk alone: a zero-size data chunk would
    // itself end the body and leave a stray last chunk on the connection.
    if (body_len == 0)
        return http_write(sock, "0\r\n\r\n", 5) ? 0 : 500;
    if ((code = piece.send(sock, "%zx\r\n", body_len)) != 0)
        return code;
    return http_write(sock, body, body_len) && http_write(sock, "\r\n0\r\n\r\n", 7) ? 0 : 500;
}

int http_request(shttpc_t sock, const char *method, const char *url, AuthInfo *auth,
                 const char *body, size_t body_len, stab_t *headers, stab_t extra) {
    if (headers != nullptr)
        *headers = nullptr;
    // Content-Length is written as an unsigned 32-bit number.
    if (sock == nullptr || url == nullptr || body == nullptr || body_len > UINT32_MAX)
        return -22;
    http_url_t parsed;
    const int parse_code = http_parse_url(url, &parsed);
    if (parse_code != 0)
        return parse_code;
    http_url_guard url_guard{&parsed};
    const int sent = extra == nullptr
                         ? http_send_whole(sock, method, parsed, auth, body, body_len)
                         : http_send_pieces(sock, method, parsed, auth, body, body_len, extra);
    return sent != 0 ? sent : http_strip_headers(sock, headers);
}

// Opens a connection to host and port; see http_open_url_socket_reserved_ex_wt_wcert.
int http_open_host(const char *host, uint16_t port, shttpc_t *where, bool_t reserved,
                   shttpc_type_t type, int timeout_seconds, cert_auth_info *cert_info,
                   bool_t use_sslv3) {
    if (host == nullptr || where == nullptr)
        return -22;
    char service[8];
    snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    const int lookup = getaddrinfo(host, service, &hints, &found);
    if (lookup != 0) {
        if (http_debug())
            kovr_syslog(HTTP_LOG_DEBUG, "getaddrinfo failed for %s, error = %s\n", host,
                        gai_strerror(lookup));
        return lookup;
    }
    if (http_snoop > 1)
        printf("  host: %s\n", host);
    TESTPOINT_HIT(0, "http", "open");

    // Seconds to milliseconds without overflowing the connection's int.
    const long long timeout_ms = static_cast<long long>(timeout_seconds) * 1000;
    const int timeout = timeout_ms > INT_MAX ? INT_MAX : timeout_ms < 0 ? 0 : int(timeout_ms);
    const struct addrinfo *target = found; // only the first address is tried
    shttpc_t sock = nullptr;
    bool connected = false;
    int code = 0;
    if (!reserved) {
        sock = shttpc_new_ipv6(type, timeout, target);
        if (sock == nullptr) {
            code = -errno;
        } else {
            sock->use_sslv3 = use_sslv3;
            connected =
                shttpc_connect_ipv6_with_cert(sock, target, target->ai_addrlen, cert_info) == 0;
            if (!connected)
                code = -errno;
        }
    } else {
        code = -EADDRINUSE; // when every start port is used up
        for (int start = 1023; start > 0 && !connected; --start) {
            sock = shttpc_new_ipv6(type, timeout, target);
            if (sock == nullptr) {
                code = -errno;
                break;
            }
            sock->use_sslv3 = use_sslv3;
            if (http_bind_socket(sock, target, start) != 0) {
                code = -1;
                break;
            }
            connected =
                shttpc_connect_ipv6_with_cert(sock, target, target->ai_addrlen, cert_info) == 0;
            // Linux reports a local address and port already connected to
            // this peer as EADDRNOTAVAIL rather than EADDRINUSE.
            if (!connected && errno != EADDRINUSE && errno != EADDRNOTAVAIL) {
                code = -errno;
                break;
            }
            if (!connected) {
                shttpc_delete(sock);
                sock = nullptr;
            }
        }
    }
    freeaddrinfo(found);
    if (connected) {
        *where = sock;
        TESTPOINT_HIT(0, "http", "finish-open");
        return 0;
    }
    if (code == 0)
        code = errno != 0 ? -errno : -EAGAIN;
    if (sock != nullptr)
        shttpc_delete(sock);
    return code;
}

} // namespace

int http_set_snoop(int level) {
    const int previous = http_snoop;
    http_snoop = level;
    return previous;
}

http_type_t http_url_type(const char *url) {
    if (url == nullptr)
        return HTTP_TYPE_INVALID;
    for (const http_prefix_t &prefix : http_prefixes)
        if (strncasecmp(url, prefix.hp_text.data(), prefix.hp_text.size()) == 0)
            return prefix.hp_type;
    return HTTP_TYPE_INVALID;
}

int http_parse_url(const char *url, http_url_t *parsed) {
    if (parsed == nullptr)
        return -22;
    *parsed = {};
    const http_type_t type = http_url_type(url);
    if (type == HTTP_TYPE_INVALID)
        return -22;
    pool_ptr<char> copy(pstrdup(pool_default(), url));
    if (copy == nullptr)
        return -12;
    const bool bracketed = http_is_bracketed(type);
    const bool ssl = type == HTTP_TYPE_SSL_IPV6 || type == HTTP_TYPE_SSL_NATIVE;
    char *rest = copy.get() + http_prefix_length(type);

    // The authority ends at the first "/"; an at-sign in the path is not
    // user information. Within the authority the last at-sign ends the
    // user information, so a password may contain one.
    const char *path = "";
    if (char *slash = strchr(rest, '/'); slash != nullptr) {
        *slash = '\0';
        path = slash + 1;
    }
    char *host = rest;
    const char *username = nullptr;
    const char *password = nullptr;
    if (char *at = strrchr(rest, '@'); at != nullptr) {
        *at = '\0';
        username = rest;
        if (char *colon = strchr(rest, ':'); colon != nullptr) {
            *colon = '\0';
            password = colon + 1;
        }
        host = at + 1;
    }
    const char *port_text = nullptr;
    if (bracketed) {
        if (char *end = strstr(host, "]:"); end != nullptr) {
            *end = '\0';
            port_text = end + 2;
        } else if ((end = strchr(host, ']')) != nullptr) {
            *end = '\0';
        }
    } else if (char *colon = strchr(host, ':'); colon != nullptr) {
        *colon = '\0';
        port_text = colon + 1;
    }
    // An empty port means the default; anything but a number 1..65535 is
    // refused rather than truncated to some other port.
    uint32_t port = ssl ? 443 : 80;
    if (port_text != nullptr && *port_text != '\0' &&
        (!http_parse_decimal(port_text, UINT16_MAX, &port) || port == 0))
        return -22;

    parsed->hu_url_copy = copy.release();
    parsed->hu_host = host;
    parsed->hu_port = static_cast<uint16_t>(port);
    parsed->hu_path = path;
    parsed->hu_username = username;
    parsed->hu_password = password;
    parsed->hu_is_ssl = ssl;
    parsed->hu_type = type;
    return 0;
}

void http_free_url(http_url_t *parsed) {
    if (parsed == nullptr)
        return;
    pool_free(pool_default(), parsed->hu_url_copy);
    *parsed = {};
}

void http_auth_clear(AuthInfo *auth) {
    if (auth == nullptr)
        return;
    if (auth->password != nullptr)
        explicit_bzero(auth->password, strlen(auth->password));
    pool_free(pool_default(), auth->username);
    pool_free(pool_default(), auth->password);
    pool_free(pool_default(), auth->domain);
    *auth = {};
}

int http_bind_socket(shttpc_t sock, const struct addrinfo *target, int start_port) {
    for (int port = start_port; port >= 1; --port) {
        struct sockaddr_storage address = {};
        socklen_t length;
        if (target->ai_family == AF_INET) {
            auto *in4 = reinterpret_cast<struct sockaddr_in *>(&address);
            in4->sin_family = AF_INET;
            in4->sin_addr.s_addr = htonl(INADDR_ANY);
            in4->sin_port = htons(static_cast<uint16_t>(port));
            length = sizeof *in4;
        } else {
            auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_any;
            in6->sin6_port = htons(static_cast<uint16_t>(port));
            length = sizeof *in6;
        }
        if (shttpc_bind(sock, reinterpret_cast<struct sockaddr *>(&address), length) == 0)
            return 0;
    }
    return -1;
}

int http_open_url_socket_reserved_ex_wt_wcert(const char *url, shttpc_t *where, AuthInfo *auth,
                                              bool_t reserved, shttpc_type_t type,
                                              int timeout_seconds, cert_auth_info *cert_info,
                                              bool_t use_sslv3) {
    if (url == nullptr || where == nullptr || auth == nullptr)
        return -22;
    *auth = {};
    http_url_t parsed;
    int code = http_parse_url(url, &parsed);
    if (code != 0)
        return code;
    http_url_guard url_guard{&parsed};
    if (parsed.hu_username != nullptr) {
        auth->username = pstrdup(pool_default(), parsed.hu_username);
        if (auth->username == nullptr)
            code = -12;
        else if (parsed.hu_password != nullptr &&
                 (auth->password = pstrdup(pool_default(), parsed.hu_password)) == nullptr)
            code = -12;
    }
    if (code == 0)
        code = http_open_host(parsed.hu_host, parsed.hu_port, where, reserved, type,
                              timeout_seconds, cert_info, use_sslv3);
    if (code < 0)
        http_auth_clear(auth);
    return code;
}

int http_open_socket(const char *host, uint16_t port, shttpc_t *where) {
    return http_open_socket_ex(host, port, where, SHTTPC_Type_Plain);
}

int http_open_socket_ex(const char *host, uint16_t port, shttpc_t *where, shttpc_type_t type) {
    return http_open_host(host, port, where, 0, type, 0, nullptr, 1);
}

int http_open_socket_reserved(const char *host, uint16_t port, shttpc_t *where, bool_t reserved) {
    return http_open_host(host, port, where, reserved, SHTTPC_Type_Plain, 0, nullptr, 1);
}

int http_open_url_socket(const char *url, shttpc_t *where, AuthInfo *auth) {
    return http_open_url_socket_reserved(url, where, auth, 0);
}

int http_open_url_socket_reserved(const char *url, shttpc_t *where, AuthInfo *auth,
                                  bool_t reserved) {
    const http_type_t kind = http_url_type(url);
    if (kind == HTTP_TYPE_INVALID)
        return -22;
    const shttpc_type_t type = kind == HTTP_TYPE_SSL_IPV6 || kind == HTTP_TYPE_SSL_NATIVE
                                   ? SHTTPC_Type_SSL
                                   : SHTTPC_Type_Plain;
    return http_open_url_socket_reserved_ex_wt_wcert(url, where, auth, reserved, type, 0, nullptr,
                                                     1);
}

int http_close(shttpc_t sock) {
    if (sock != nullptr)
        shttpc_delete(sock);
    return 1;
}

int http_post_request(shttpc_t sock, const char *url, AuthInfo *auth, const char *body,
                      size_t body_len, stab_t *headers) {
    return http_post_request_ex(sock, url, auth, body, body_len, headers, nullptr);
}

int http_post_request_ex(shttpc_t sock, const char *url, AuthInfo *auth, const char *body,
                         size_t body_len, stab_t *headers, stab_t extra_headers) {
    TESTPOINT_HIT(0, "http", "post", extra_headers);
    const int status =
        http_request(sock, "POST", url, auth, body, body_len, headers, extra_headers);
    TESTPOINT_HIT(0, "http", "finish-post");
    return status;
}

int http_get_request(shttpc_t sock, const char *url, AuthInfo *auth, stab_t *headers) {
    TESTPOINT_HIT(0, "http", "get");
    const int status = http_request(sock, "GET", url, auth, "", 0, headers, nullptr);
    TESTPOINT_HIT(0, "http", "finish-get");
    return status;
}

int http_strip_headers(shttpc_t sock, stab_t *headers) {
    if (headers != nullptr)
        *headers = nullptr;
    char line[HTTP_LINE_SIZE];
    if (!http_getline(sock, line, sizeof line))
        return 500;
    // One empty line before the status line is tolerated (the end of an
    // interim reply, or a stray line feed after the previous reply's body).
    if (line[0] == '\0' && !http_getline(sock, line, sizeof line))
        return 500;
    const int status = http_parse_status(line);
    if (status == 0) {
        errno = EPROTO;
        return 500;
    }
    if (status != 200)
        return status;

    http_stab_ptr table;
    if (headers != nullptr) {
        table.reset(stab_new(nullptr));
        if (table == nullptr)
            return -12;
    }
    for (;;) {
        if (!http_getline(sock, line, sizeof line))
            return 500;
        if (line[0] == '\0')
            break;
        char *colon = strchr(line, ':');
        if (colon == nullptr || table == nullptr)
            continue;
        *colon = '\0';
        const char *value = colon + 1;
        while (http_is_blank(*value))
            ++value;
        if (stab_add(table.get(), line, value) != STAB_OK)
            return -12;
        if (http_snoop > 0)
            printf("%s: %s\n", line, value);
    }
    if (headers != nullptr)
        *headers = table.release();
    return 200;
}

bool_t http_getline(shttpc_t sock, char *buf, size_t size) {
    if (size == 0)
        return 0;
    for (size_t len = 0; len < size;) {
        char c;
        const ssize_t got = shttpc_read(sock, &c, 1);
        if (got <= 0) {
            buf[len] = '\0';
            if (got == 0)
                errno = ECONNRESET; // the peer closed in the middle of a line
            else if (http_debug())
                kovr_syslog(HTTP_LOG_DEBUG, "http_getline failed, error: %d\n", errno);
            return 0;
        }
        if (c == '\n') {
            buf[len] = '\0';
            if (len > 0 && buf[len - 1] == '\r')
                buf[len - 1] = '\0';
            return 1;
        }
        buf[len++] = c;
    }
    buf[size - 1] = '\0';
    errno = EPROTO; // longer than the buffer
    return 0;
}

bool_t http_read_chunk(shttpc_t sock, char **chunk, size_t *chunk_len) {
    *chunk = nullptr;
    *chunk_len = 0;
    char line[HTTP_LINE_SIZE];
    if (!http_getline(sock, line, sizeof line))
        return 0;
    uint32_t size;
    if (!http_parse_chunk_size(line, &size)) {
        kovr_log(HTTP_LOG_ERROR, "Invalid chunked transfer coding: \"%s\"\n", line);
        errno = EPROTO;
        return 0;
    }
    if (size == 0) {
        // The last chunk: skip the trailer up to its empty line.
        do {
            if (!http_getline(sock, line, sizeof line))
                return 0;
        } while (line[0] != '\0');
        return 1;
    }

    // The data and its CR LF. The buffer grows with what actually arrives, so
    // a peer announcing a large chunk and sending little costs little.
    constexpr size_t first_block = 64 * 1024;
    const size_t total = size_t{size} + 2;
    size_t capacity = total < first_block ? total : first_block;
    pool_ptr<char> data(static_cast<char *>(pool_alloc(pool_default(), capacity)));
    if (data == nullptr) {
        kovr_log_no_memory("chunk buffer");
        errno = ENOMEM;
        return 0;
    }
    for (size_t have = 0; have < total;) {
        if (have == capacity) {
            const size_t grown = capacity * 2 < total ? capacity * 2 : total;
            auto *larger = static_cast<char *>(pool_realloc(pool_default(), data.get(), grown));
            if (larger == nullptr) {
                kovr_log_no_memory("chunk buffer");
                errno = ENOMEM;
                return 0;
            }
            data.release();
            data.reset(larger);
            capacity = grown;
        }
        const ssize_t got = shttpc_read(sock, data.get() + have, capacity - have);
        if (got <= 0) {
            if (got == 0)
                errno = ECONNRESET; // the peer closed inside the chunk
            return 0;
        }
        have += static_cast<size_t>(got);
    }
    const auto *end = reinterpret_cast<const unsigned char *>(data.get() + size);
    if (end[0] != '\r' || end[1] != '\n') {
        kovr_log(HTTP_LOG_ERROR, "Invalid chunk terminator: %02Xh %02Xh\n", end[0], end[1]);
        errno = EPROTO;
        return 0;
    }
    *chunk = data.release();
    *chunk_len = size;
    return 1;
}
