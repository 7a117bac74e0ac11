// The HTTP transport: the request wrapped in the "kovrel" envelope and posted
// as an XML document over HTTP/1.1 (plain or TLS), the reply read, parsed and
// unwrapped into the caller's results element.

#include "kr_http.h"

#include "http.h"
#include "kovrel_xml.h"
#include "kr_envelope.h"
#include "kr_server_internal.h"
#include "kr_startup.h"
#include "pool.h"
#include "shttpc.h"
#include "stab.h"
#include "utils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

namespace {

constexpr int KR_ERRNO_NO_MEMORY = 12;
constexpr int KR_ERRNO_XML = 13001;
constexpr int KR_ERRNO_UNREACHABLE = 13011;
constexpr int KR_ERRNO_AUTH = 13002;
constexpr int KR_ERRNO_TIMED_OUT = 60;
constexpr size_t KR_HTTP_REASON_SIZE = 256;

uint64_t kr_http_now_ms() {
    return utils_get_microseconds() / 1000;
}

bool kr_http_is_blank(char c) {
    return c == ' ' || c == '\t';
}

// A Content-Length value: decimal digits, blanks around them allowed, at
// most INT_MAX (the reader takes an int). False for anything else: a length
// that cannot be trusted cannot frame the body either.
bool kr_http_content_length(const char *text, long *length) {
    while (kr_http_is_blank(*text))
        ++text;
    if (*text < '0' || *text > '9')
        return false;
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT_MAX)
            return false;
    }
    while (kr_http_is_blank(*text))
        ++text;
    if (*text != '\0')
        return false;
    *length = value;
    return true;
}

// Transfer codings are case-insensitive tokens, so "Chunked" frames a body
// just as "chunked" does.
bool kr_http_is_chunked(const char *value) {
    return value != nullptr && strcasecmp(value, "chunked") == 0;
}

bool kr_http_says_close(const char *value) {
    return value != nullptr && strcasecmp(value, "close") == 0;
}

// Reads and throws away `count` bytes. False when they do not all arrive.
bool kr_http_skip(shttpc_t conn, long count) {
    char piece[4096];
    while (count > 0) {
        const size_t want = count < long{sizeof piece} ? size_t(count) : sizeof piece;
        const ssize_t got = shttpc_read(conn, piece, want);
        if (got <= 0)
            return false;
        count -= got;
    }
    return true;
}

// The rest of a reply whose status line has been read (the client reads
// headers only for status 200): its headers and its body, read and thrown
// away so that the connection can carry the next request. True when the
// reply ended cleanly and the server keeps the connection; false when its
// end cannot be known (a body delimited by the connection's close), when it
// is larger than worth reading, or when reading fails.
bool kr_http_discard_reply(shttpc_t conn) {
    char line[HTTP_LINE_SIZE];
    long length = -1;
    bool chunked = false;
    bool close = false;
    for (;;) {
        if (!http_getline(conn, line, sizeof line))
            return false;
        if (line[0] == '\0')
            break;
        char *colon = strchr(line, ':');
        if (colon == nullptr)
            continue;
        *colon = '\0';
        const char *value = colon + 1;
        while (kr_http_is_blank(*value))
            ++value;
        if (strcasecmp(line, "Content-Length") == 0) {
            if (!kr_http_content_length(value, &length))
                return false;
        } else if (strcasecmp(line, "Transfer-Encoding") == 0) {
            chunked = kr_http_is_chunked(value);
        } else if (strcasecmp(line, "Connection") == 0) {
            close = close || kr_http_says_close(value);
        }
    }
    if (close)
        return false;
    if (length >= 0 && !chunked)
        return length <= KR_HTTP_DISCARD_MAX && kr_http_skip(conn, length);
    if (!chunked)
        return false;
    long total = 0;
    for (;;) {
        char *chunk = nullptr;
        size_t chunk_len = 0;
        if (!http_read_chunk(conn, &chunk, &chunk_len))
            return false;
        pool_free(pool_default(), chunk);
        if (chunk_len == 0)
            return true;
        total += long(chunk_len);
        if (total > KR_HTTP_DISCARD_MAX)
            return false;
    }
}

// One invocation. The members are what the invocation owns; the destructor
// is the one clean-up path of every exit.
class kr_http_call {
  public:
    kr_http_call(kr_server_t *s, kr_elem_t *request) : hc_server(s), hc_request(request) {}
    kr_http_call(const kr_http_call &) = delete;
    kr_http_call &operator=(const kr_http_call &) = delete;
    ~kr_http_call();

    kr_elem_t *run();

  private:
    // Records the failure of this invocation; always false, so that a step
    // can end with `return fail(...)`.
    bool fail(const char *reason, int eno);
    bool failf(int eno, const char *format, int value);

    bool build_document();
    bool resolve();
    bool connect();
    bool post();
    bool read_debug();
    bool read_reply();

    kr_server_t *hc_server;
    kr_elem_t *hc_request;
    kr_envelope_t hc_env = {};
    char *hc_document = nullptr;
    size_t hc_document_len = 0;
    char *hc_url = nullptr;
    AuthInfo hc_auth = {};
    stab_t hc_headers = nullptr;
    shttpc_t hc_conn = nullptr; // the connection used, held by the handle with keep-alive
    char *hc_cert_error = nullptr;
    char *hc_piece = nullptr;
    char *hc_capture = nullptr;
    struct xml_ctx *hc_ctx = nullptr;
    long hc_length = -1; // Content-Length of the reply, -1 when absent
    bool hc_chunked = false;
    // The reply leaves the connection unusable for another request even
    // though the invocation went well: the server closes it.
    bool hc_spent = false;

    bool hc_failed = false;
    const char *hc_reason = nullptr;
    int hc_errno = 0;
    char hc_reason_text[KR_HTTP_REASON_SIZE] = {};
    // Error number deciding about a kept-alive connection: 0 and 13002 keep
    // it, anything else drops it.
    int hc_recorded = 0;
    kr_elem_t *hc_result = nullptr;
};

bool kr_http_call::fail(const char *reason, int eno) {
    hc_failed = true;
    hc_reason = reason;
    hc_errno = eno;
    hc_recorded = eno;
    return false;
}

bool kr_http_call::failf(int eno, const char *format, int value) {
    snprintf(hc_reason_text, sizeof hc_reason_text, format, value);
    return fail(hc_reason_text, eno);
}

kr_http_call::~kr_http_call() {
    http_auth_clear(&hc_auth);
    kr_envelope_close(&hc_env);
    if (hc_conn != nullptr) {
        if (!hc_server->keep_alive)
            shttpc_delete(hc_conn);
        else if ((hc_recorded != 0 && hc_recorded != KR_ERRNO_AUTH) || hc_spent)
            kr_server_drop_connection(hc_server);
    }
    xml_release(hc_ctx);
    if (hc_headers != nullptr)
        stab_delete(hc_headers);
    pool_free(pool_default(), hc_piece);
    pool_free(pool_default(), hc_capture);
    pool_free(pool_default(), hc_cert_error);
    pool_free(pool_default(), hc_url);
    pool_free(pool_default(), hc_document);
}

kr_elem_t *kr_http_call::run() {
    const unsigned style = kr_envelope_debug_style(hc_server);
    const bool debug = style == KR_PRINT_DONT_PARSE || style == KR_DONT_PRINT_DONT_PARSE;
    if (build_document() && resolve() && connect() && post()) {
        if (debug)
            read_debug();
        else
            read_reply();
    }
    if (hc_failed)
        hc_result = kr_results_failed(hc_reason, hc_errno);
    return hc_result;
}

// Steps up to the document: envelope, attributes, encoding, INPUT echo. A
// request that cannot be put into words is reported without a reason, as
// is a buffer that cannot be had.
bool kr_http_call::build_document() {
    const kr_server_t *s = hc_server;
    if (!kr_envelope_open(&hc_env, s, hc_request))
        return fail(nullptr, KR_ERRNO_XML);
    char version[32];
    snprintf(version, sizeof version, "%d.%d", s->major, s->minor);
    const char *platform = kr_inuse == 1 ? KRSDK_PLATFORM : nullptr;
    const bool set = kr_envelope_set(&hc_env, "xmlns", KR_API_NAMESPACE) &&
                     kr_envelope_set(&hc_env, "version", version) &&
                     kr_envelope_set(&hc_env, "vtenant", s->vtenant) &&
                     kr_envelope_set(&hc_env, "originator_id", s->originator_id) &&
                     kr_envelope_set(&hc_env, "target-cluster-uuid", s->target_cluster_uuid) &&
                     kr_envelope_set(&hc_env, "target-vserver-name", s->target_vserver_name) &&
                     kr_envelope_set(&hc_env, "krsdk_version", KRSDK_VERSION) &&
                     kr_envelope_set(&hc_env, "krsdk_platform", platform) &&
                     kr_envelope_set(&hc_env, "krsdk_language", KRSDK_LANGUAGE) &&
                     kr_envelope_set(&hc_env, "krsdk_app", krsdk_app_name) &&
                     kr_envelope_set(&hc_env, "app-name", s->caller_app_name) &&
                     kr_envelope_set(&hc_env, "api-intent", s->caller_intent);
    // An attribute that cannot be stored would send a request other than
    // the one described: the envelope cannot be written.
    if (!set)
        return fail(nullptr, KR_ERRNO_XML);
    kr_document_failure_t failure;
    hc_document = kr_envelope_document(&hc_env, s->servertype, &hc_document_len, &failure);
    if (hc_document == nullptr)
        return fail(nullptr, KR_ERRNO_XML);
    kr_envelope_print_input(s, hc_document);
    hc_url = static_cast<char *>(pool_zalloc(pool_default(), KR_HTTP_URL_SIZE));
    if (hc_url == nullptr)
        return fail(nullptr, KR_ERRNO_XML);
    return true;
}

// The host is looked up here only to choose the URL form: an IPv4 address
// first takes the plain template, which stays in the handle.
bool kr_http_call::resolve() {
    kr_server_t *s = hc_server;
    char service[16];
    snprintf(service, sizeof service, "%d", s->port);
    struct addrinfo *found = nullptr;
    if (getaddrinfo(s->host, service, nullptr, &found) != 0 || found == nullptr)
        return fail("unknown address format.", KR_ERRNO_UNREACHABLE);
    const bool ipv4 = found->ai_family == AF_INET;
    freeaddrinfo(found);
    if (ipv4) {
        const char *plain = kr_server_url_template(s->servertype, true);
        if (plain != nullptr)
            s->urlformat = plain;
    }
    snprintf(hc_url, KR_HTTP_URL_SIZE, s->urlformat, s->host, s->port);
    kr_envelope_trace(hc_url, hc_document);
    return true;
}

// Reuses the kept-alive connection within its idle limit, otherwise opens
// one. The handle's transport, not the URL's scheme, decides about TLS.
bool kr_http_call::connect() {
    kr_server_t *s = hc_server;
    if (s->keep_alive && s->sock != nullptr) {
        const uint64_t now = kr_http_now_ms();
        if (now < s->last_time_used + KR_HTTP_KEEP_ALIVE_MS) {
            hc_conn = s->sock;
            s->last_time_used = now;
            return true;
        }
        kr_server_drop_connection(s);
    }
    const auto transport = static_cast<unsigned>(s->transport);
    const shttpc_type_t type = transport < 4 ? kr_server_transport_map[transport] : SHTTPC_Type_SSL;
    AuthInfo url_auth = {};
    shttpc_t conn = nullptr;
    const int e = http_open_url_socket_reserved_ex_wt_wcert(hc_url, &conn, &url_auth,
                                                            s->style == KR_STYLE_HOSTSEQUIV, type,
                                                            s->timeout, s->cert_info, s->use_sslv3);
    http_auth_clear(&url_auth);
    if (e != 0) {
        if (s->cert_info != nullptr && s->cert_info->err_info != nullptr) {
            // The text is consumed: a later failure must not report it again.
            hc_cert_error = s->cert_info->err_info;
            s->cert_info->err_info = nullptr;
            return fail(hc_cert_error, -e);
        }
        if (e == -1)
            return fail("No permission to use 'hostsequiv' authentication, must be root.", 1);
        return failf(-e, "Can't connect to host (err=%d).", -e);
    }
    hc_conn = conn;
    if (s->keep_alive) {
        s->sock = conn;
        s->last_time_used = kr_http_now_ms();
    }
    return true;
}

bool kr_http_call::post() {
    const kr_server_t *s = hc_server;
    if (s->password != nullptr &&
        (hc_auth.password = pstrdup(pool_default(), s->password)) == nullptr)
        return fail("Unable to allocate memory for password.", KR_ERRNO_NO_MEMORY);
    if (s->username != nullptr &&
        (hc_auth.username = pstrdup(pool_default(), s->username)) == nullptr)
        return fail("Unable to allocate memory for username.", KR_ERRNO_NO_MEMORY);
    const int status =
        http_post_request(hc_conn, hc_url, &hc_auth, hc_document, hc_document_len, &hc_headers);
    const int post_errno = errno;
    http_auth_clear(&hc_auth);
    if (status == -12)
        return fail("Unable to allocate memory during http post request", KR_ERRNO_NO_MEMORY);
    if (status != 200) {
        errno = post_errno; // the text of 500 tells why the exchange failed
        kr_error_string(status, KR_SERVER_TRANSPORT_HTTP, 0, hc_reason_text, sizeof hc_reason_text);
        const int eno = kr_transport_errcode_to_api_errcode(status);
        // An authentication rejection keeps a kept-alive connection, but the
        // rest of that reply is still on it: the next request must not read
        // it as its own reply. It is read and discarded when its end can be
        // known; otherwise the connection goes.
        if (eno == KR_ERRNO_AUTH && status > 0 && s->keep_alive && !kr_http_discard_reply(hc_conn))
            hc_spent = true;
        return fail(hc_reason_text, eno);
    }
    const char *length = stab_get_def(hc_headers, "Content-Length", nullptr);
    if (length != nullptr) {
        if (!kr_http_content_length(length, &hc_length))
            return failf(EPROTO, "Could not read API response (err=%d).", EPROTO);
    } else {
        hc_chunked = kr_http_is_chunked(stab_get_def(hc_headers, "Transfer-Encoding", nullptr));
    }
    // A body without framing ends with the connection; a server announcing
    // its close will not take another request either.
    if ((hc_length < 0 && !hc_chunked) ||
        kr_http_says_close(stab_get_def(hc_headers, "Connection", nullptr)))
        hc_spent = true;
    return true;
}

// Debug styles 1 and 2: the reply is read raw, echoed and captured (1) or
// thrown away (2), never parsed.
bool kr_http_call::read_debug() {
    kr_server_t *s = hc_server;
    const bool echo = kr_envelope_debug_style(s) == KR_PRINT_DONT_PARSE;
    printf("\nOUTPUT:\n");
    hc_piece = static_cast<char *>(pool_alloc(pool_default(), KR_HTTP_DEBUG_PIECE));
    hc_capture = static_cast<char *>(pool_alloc(pool_default(), KR_HTTP_DEBUG_PIECE));
    if (hc_piece == nullptr || hc_capture == nullptr)
        return fail("Unable to allocate memory", KR_ERRNO_NO_MEMORY);
    size_t captured = 0;
    size_t capacity = KR_HTTP_DEBUG_PIECE;
    hc_capture[0] = '\0';
    for (;;) {
        size_t want = KR_HTTP_DEBUG_PIECE;
        // Style 1 stops at the announced length, so it never waits for bytes
        // that will not come.
        if (echo && hc_length >= 0) {
            if (captured >= size_t(hc_length))
                break;
            if (size_t(hc_length) - captured < want)
                want = size_t(hc_length) - captured;
        }
        const ssize_t got = shttpc_read(hc_conn, hc_piece, want);
        if (got <= 0)
            break;
        if (!echo)
            continue;
        fwrite(hc_piece, 1, size_t(got), stdout);
        if (captured + size_t(got) + 1 > capacity) {
            size_t grown = capacity * 2;
            if (grown < captured + size_t(got) + 1)
                grown = captured + size_t(got) + 1;
            auto *larger = static_cast<char *>(pool_realloc(pool_default(), hc_capture, grown));
            if (larger == nullptr) {
                printf("\n");
                return fail("Unable to allocate memory", KR_ERRNO_NO_MEMORY);
            }
            hc_capture = larger;
            capacity = grown;
        }
        memcpy(hc_capture + captured, hc_piece, size_t(got));
        captured += size_t(got);
        hc_capture[captured] = '\0';
    }
    printf("\n");
    fflush(stdout);
    if (echo) {
        pool_free(pool_default(), s->raw_xml_output);
        s->raw_xml_output = hc_capture;
        hc_capture = nullptr;
    }
    return fail("debugging bypassed xml parsing", KR_ERRNO_XML);
}

bool kr_http_call::read_reply() {
    if (kr_xml_debug > 0)
        fprintf(stderr, "::XML DEBUG BEGIN::\n");
    hc_ctx = xml_create();
    if (hc_ctx == nullptr)
        return fail("Unable to allocate memory", KR_ERRNO_NO_MEMORY);
    const bool parsed = hc_chunked ? xml_parse_chunked_encoding(hc_conn, hc_ctx)
                                   : xml_parse(hc_conn, hc_ctx, int(hc_length));
    if (!parsed) {
        hc_recorded = KR_ERRNO_XML;
        const int read_errno = errno;
        if (read_errno == ETIMEDOUT)
            return fail("Timeout. Could not read API response.", KR_ERRNO_TIMED_OUT);
        if (read_errno != 0)
            return failf(read_errno, "Could not read API response (err=%d).", read_errno);
    }
    if (hc_ctx->parse_error == nullptr && kr_xml_debug > 0)
        fprintf(stderr, "::XML DEBUG END::\n");
    int local_errno = 0;
    hc_result = kr_reply_result(hc_ctx, &local_errno);
    if (local_errno != 0)
        hc_recorded = local_errno;
    return hc_result != nullptr;
}

} // namespace

kr_elem_t *kr_server_invoke_elem_http(kr_server_t *s, kr_elem_t *request) {
    if (s == nullptr || request == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    kr_http_call call(s, request);
    return call.run();
}
