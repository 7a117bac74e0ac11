#include "shttpc.h"

#include "sigpipe.h"

#include "adt_assert.h"
#include "pool.h"
#include "ssl_util.h"
#include "syslog.h"
#include "testpoint.h"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int shttpc_log_error = 3;
constexpr int shttpc_log_info = 6;
constexpr int shttpc_log_debug = 7;

// Size of the buffers of the common-name check (at most 255 characters each).
constexpr size_t shttpc_name_buffer_size = 256;

bool shttpc_debug_enabled() {
    return TESTPOINT_HIT(0, "http", "debug") != 0;
}

// Deadlines are taken from the monotonic clock: a wall-clock step (NTP, an
// administrator) must neither stretch a wait nor cut it short.
struct timeval shttpc_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return {ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
}

struct timeval shttpc_deadline(uint32_t timeout_ms) {
    const struct timeval now = shttpc_now();
    const struct timeval span = {static_cast<time_t>(timeout_ms / 1000),
                                 static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
    struct timeval deadline;
    timeval_add(&deadline, &now, &span);
    return deadline;
}

enum class shttpc_wait_result { ready, exception, timed_out, failed };

// Waits until the socket is ready for `events` or the deadline passes (no
// deadline: no limit). poll rather than select: no FD_SETSIZE limit on the
// descriptor number, same semantics otherwise. POLLPRI stands for select's
// exceptional condition and is asked for only when `want_exception`;
// POLLERR and POLLHUP count as readiness, as select reports such a socket
// readable and writable, so that the retried call reports the error itself.
// The time left is rounded up to whole milliseconds so that the wait never
// spins on a sub-millisecond rest.
shttpc_wait_result shttpc_wait(int fd, short events, bool want_exception,
                               const struct timeval *deadline) {
    for (;;) {
        int timeout_ms = -1;
        bool clamped = false;
        if (deadline != nullptr) {
            const struct timeval now = shttpc_now();
            struct timeval left;
            if (timeval_sub(&left, deadline, &now))
                return shttpc_wait_result::timed_out;
            const long long ms =
                static_cast<long long>(left.tv_sec) * 1000 + (left.tv_usec + 999) / 1000;
            clamped = ms > INT_MAX;
            timeout_ms = clamped ? INT_MAX : static_cast<int>(ms);
        }
        struct pollfd p = {fd, static_cast<short>(events | (want_exception ? POLLPRI : 0)), 0};
        const int rc = poll(&p, 1, timeout_ms);
        if (rc < 0) {
            if (shttpc_can_retry_on_error(errno))
                continue;
            return shttpc_wait_result::failed;
        }
        if (rc == 0) {
            if (clamped)
                continue;
            return shttpc_wait_result::timed_out;
        }
        if (want_exception && (p.revents & POLLPRI) != 0)
            return shttpc_wait_result::exception;
        return shttpc_wait_result::ready;
    }
}

// The pending socket error, or ECONNREFUSED when it cannot be read or is
// zero: a caller that reports a failure must never leave errno at 0.
int shttpc_socket_error(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0)
        return ECONNREFUSED;
    return err;
}

uint32_t shttpc_timeout_ms(int timeout) {
    return timeout < 0 ? 0 : static_cast<uint32_t>(timeout);
}

// Non-blocking with a time-out, blocking without one.
int shttpc_setsock_timeout(shttpc_t sock) {
    const int flags = fcntl(sock->sh_socket, F_GETFL, 0);
    if (flags < 0)
        return -1;
    const int wanted = sock->sh_timeout != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(sock->sh_socket, F_SETFL, wanted) < 0 ? -1 : 0;
}

// Completion of a non-blocking connect: 0 when connected, -1 with errno.
int shttpc_get_connect_error(shttpc_t sock, const struct timeval *deadline) {
    for (;;) {
        switch (shttpc_wait(sock->sh_socket, POLLOUT, true, deadline)) {
        case shttpc_wait_result::timed_out:
            errno = ETIMEDOUT;
            return -1;
        case shttpc_wait_result::exception:
            errno = shttpc_socket_error(sock->sh_socket);
            return -1;
        case shttpc_wait_result::failed:
            kovr_log(shttpc_log_error, "shttpc_get_connect_error::socket is not selected, err=%d",
                     errno);
            return -1;
        case shttpc_wait_result::ready: {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(sock->sh_socket, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
                errno = err;
                return -1;
            }
            return 0;
        }
        }
    }
}

void shttpc_set_err_info(cert_auth_info *cert_info, const char *text) {
    pool_free(pool_default(), cert_info->err_info);
    cert_info->err_info = pstrdup(pool_default(), text);
    if (cert_info->err_info == nullptr)
        kovr_log_no_memory("err_info");
}

// err_info = `format` with the reason of the oldest queued TLS error.
void shttpc_set_err_info_from_queue(cert_auth_info *cert_info, const char *format) {
    const unsigned long err = ERR_get_error();
    const char *reason = ERR_reason_error_string(err);
    // OpenSSL keeps no text for a system error (a missing file, say): its
    // reason is the errno value.
    std::array<char, 128> system_text;
    if (reason == nullptr && ERR_SYSTEM_ERROR(err))
        reason = strerror_r(ERR_GET_REASON(err), system_text.data(), system_text.size());
    std::array<char, 512> text;
    snprintf(text.data(), text.size(), format, reason != nullptr ? reason : "unknown error");
    shttpc_set_err_info(cert_info, text.data());
}

// Loads the certificate settings into the context; false when a file cannot
// be loaded (err_info tells which).
bool shttpc_load_cert_settings(SSL_CTX *ctx, cert_auth_info *cert_info) {
    if (cert_info->need_client_auth) {
        if (cert_info->cert_file != nullptr &&
            SSL_CTX_use_certificate_chain_file(ctx, cert_info->cert_file) != 1) {
            shttpc_set_err_info_from_queue(cert_info, "Failed to load certificate file: %s");
            return false;
        }
        // The callback is installed even without a pass phrase (it then
        // supplies an empty one): OpenSSL's default would prompt on the
        // controlling terminal, which a library must never do.
        SSL_CTX_set_default_passwd_cb(ctx, shttpc_certificate_passwd_cb);
        SSL_CTX_set_default_passwd_cb_userdata(ctx, cert_info->key_passwd);
        if (cert_info->key_file != nullptr &&
            SSL_CTX_use_PrivateKey_file(ctx, cert_info->key_file, SSL_FILETYPE_PEM) != 1) {
            shttpc_set_err_info_from_queue(cert_info, "Failed to load key file: %s");
            return false;
        }
    }
    if (cert_info->need_server_auth)
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    // Only the caller's trust anchors count; the default store is never
    // loaded, so server verification without a CA file or directory fails.
    if ((cert_info->need_client_auth || cert_info->need_server_auth) &&
        (cert_info->ca_file != nullptr || cert_info->ca_dir != nullptr) &&
        SSL_CTX_load_verify_locations(ctx, cert_info->ca_file, cert_info->ca_dir) != 1) {
        shttpc_set_err_info_from_queue(cert_info, "Failed to load trusted CA certificates: %s");
        return false;
    }
    return true;
}

bool shttpc_initialize_ctx(shttpc_t sock) {
    if (!ssl_util_init()) {
        kovr_log(shttpc_log_error, "SSL Initialization error");
        return false;
    }
    const SSL_METHOD *method = TLS_client_method();
    if (method == nullptr) {
        kovr_log(shttpc_log_error, "Not able to create SSL method");
        return false;
    }
    sock->sh_sslctx = SSL_CTX_new(method);
    if (sock->sh_sslctx == nullptr) {
        kovr_log(shttpc_log_error, "Not able to create SSL context");
        return false;
    }
    return true;
}

// The TLS handshake within the connect deadline; 0 or -1 with errno (the TLS
// library's error code for a failed handshake). A plain connection has none.
int shttpc_connect_ssl_with_cert(shttpc_t sock, const struct timeval *deadline,
                                 cert_auth_info *cert_info) {
    if (sock->sh_type != SHTTPC_Type_SSL)
        return 0;
    // A handle reconnected after a failure starts from fresh TLS objects.
    SSL_free(sock->sh_ssl);
    sock->sh_ssl = nullptr;
    SSL_CTX_free(sock->sh_sslctx);
    sock->sh_sslctx = nullptr;
    // err_info explains this connect's failure, never an earlier one's.
    if (cert_info != nullptr) {
        pool_free(pool_default(), cert_info->err_info);
        cert_info->err_info = nullptr;
    }

    if (!shttpc_initialize_ctx(sock)) {
        errno = ECONNREFUSED;
        return -1;
    }
    SSL_CTX_set_options(sock->sh_sslctx,
                        sock->use_sslv3 ? SSL_OP_NO_SSLv2 : (SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3));
    ERR_clear_error();
    if (cert_info != nullptr && !shttpc_load_cert_settings(sock->sh_sslctx, cert_info)) {
        // Reported through err_info; errno gets the TLS library's generic
        // code so that no caller mistakes a stale 0 for success.
        errno = SSL_ERROR_SSL;
        return -1;
    }
    sock->sh_ssl = SSL_new(sock->sh_sslctx);
    if (sock->sh_ssl == nullptr || SSL_set_fd(sock->sh_ssl, sock->sh_socket) != 1) {
        kovr_log(shttpc_log_error, "Failed: SSL_set_fd()\n");
        errno = ECONNREFUSED;
        return -1;
    }

    const bool verify_server = cert_info != nullptr && cert_info->need_server_auth;
    for (;;) {
        ERR_clear_error();
        int rc;
        {
            const sigpipe_guard no_sigpipe;
            rc = SSL_connect(sock->sh_ssl);
        }
        if (rc > 0) {
            if (verify_server && cert_info->need_hostname_verification)
                return shttpc_verify_server_certificate(sock->sh_ssl, cert_info);
            return 0;
        }
        const int sys_errno = errno;
        const int err = SSL_get_error(sock->sh_ssl, rc);
        if (rc == -1 && err == SSL_ERROR_SYSCALL && sys_errno == EINTR)
            continue;
        if (verify_server) {
            const long verify = SSL_get_verify_result(sock->sh_ssl);
            if (verify != X509_V_OK) {
                char *text = shttpc_get_verify_cert_error_string(verify);
                if (text != nullptr)
                    shttpc_set_err_info(cert_info, text);
                pool_free(pool_default(), text);
            }
        }
        if (sock->sh_timeout == 0) {
            if (shttpc_debug_enabled())
                kovr_syslog(shttpc_log_debug, "shttpc_connect_ssl::error errno=%d %d", err,
                            sys_errno);
            errno = err;
            return -1;
        }
        short events;
        if (err == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (err == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else {
            if (shttpc_debug_enabled())
                kovr_syslog(shttpc_log_debug,
                            "shttpc_connect_ssl::SSL connect failed, errcode=%d %d", err,
                            sys_errno);
            errno = err;
            return -1;
        }
        switch (shttpc_wait(sock->sh_socket, events, true, deadline)) {
        case shttpc_wait_result::ready:
            break;
        case shttpc_wait_result::exception:
            errno = shttpc_socket_error(sock->sh_socket);
            return -1;
        case shttpc_wait_result::timed_out:
            errno = ETIMEDOUT;
            return -1;
        case shttpc_wait_result::failed:
            return -1;
        }
    }
}

// The texts of the DEBUG traces of the two connect forms.
struct shttpc_connect_traces_t {
    const char *ct_connect;
    const char *ct_wait;
    const char *ct_ssl;
};
constexpr shttpc_connect_traces_t shttpc_connect_traces = {
    "shttpc_connect::connect error, errno=%d",
    "shttpc_connect::shttpc_get_connect_error returned error, errno=%d",
    "shttpc_connect::shttpc_connect_ssl returned error, errno=%d"};
constexpr shttpc_connect_traces_t shttpc_connect_ipv6_traces = {
    "shttpc_connect_ipv6::connect error, errno=%d",
    "shttpc_connect_ipv6::shttpc_get_connect_error returned error, errno=%d",
    "shttpc_connect_ipv6::shttpc_connect_ssl returned error, errno=%d"};

void shttpc_trace(const char *format) {
    if (!shttpc_debug_enabled())
        return;
    const int saved_errno = errno;
    kovr_syslog(shttpc_log_debug, format, saved_errno);
    errno = saved_errno;
}

// One deadline covers the TCP connect and the whole TLS handshake.
int shttpc_connect_common(shttpc_t sock, const struct sockaddr *addr, socklen_t addrlen,
                          cert_auth_info *cert_info, const shttpc_connect_traces_t &traces) {
    ADT_ASSERT(0 != sock);
    const struct timeval deadline = shttpc_deadline(sock->sh_timeout);
    if (shttpc_setsock_timeout(sock) != 0)
        return -1;
    if (connect(sock->sh_socket, addr, addrlen) != 0) {
        if (sock->sh_timeout == 0 || shttpc_connect_status(errno) != 0) {
            shttpc_trace(traces.ct_connect);
            return -1;
        }
        if (shttpc_get_connect_error(sock, &deadline) != 0) {
            shttpc_trace(traces.ct_wait);
            return -1;
        }
    }
    if (shttpc_connect_ssl_with_cert(sock, sock->sh_timeout != 0 ? &deadline : nullptr,
                                     cert_info) != 0) {
        shttpc_trace(traces.ct_ssl);
        return -1;
    }
    return 0;
}

// The end of a write whose wait failed: bytes sent so far on a time-out,
// -1 when the wait itself failed.
ssize_t shttpc_write_wait_failed(shttpc_wait_result result, size_t sent) {
    if (result == shttpc_wait_result::failed) {
        kovr_log(shttpc_log_info, "shttpc_write: socket select error=%d", errno);
        return -1;
    }
    errno = ETIMEDOUT;
    return static_cast<ssize_t>(sent);
}

ssize_t shttpc_write_plain(shttpc_t sock, const char *buf, size_t len,
                           const struct timeval *deadline) {
    const char *rest = buf;
    size_t remaining = len;
    for (;;) {
        const ssize_t n = send(sock->sh_socket, rest, remaining, MSG_NOSIGNAL);
        if (n > 0) {
            if (static_cast<size_t>(n) >= remaining)
                return static_cast<ssize_t>(len);
            rest += n;
            remaining -= static_cast<size_t>(n);
        } else {
            if (sock->sh_timeout == 0)
                return -1;
            if (errno == EINTR)
                continue;
            if (errno != EINPROGRESS && errno != EAGAIN)
                return -1;
        }
        const shttpc_wait_result waited = shttpc_wait(sock->sh_socket, POLLOUT, false, deadline);
        if (waited != shttpc_wait_result::ready)
            return shttpc_write_wait_failed(waited, len - remaining);
    }
}

// OpenSSL wants a retried write to repeat the same arguments, and in its
// default mode it reports only complete writes: all of `buf` or nothing.
ssize_t shttpc_write_ssl(shttpc_t sock, const char *buf, size_t len,
                         const struct timeval *deadline) {
    for (;;) {
        ERR_clear_error();
        size_t written = 0;
        int rc;
        {
            const sigpipe_guard no_sigpipe;
            rc = SSL_write_ex(sock->sh_ssl, buf, len, &written);
        }
        if (rc == 1)
            return static_cast<ssize_t>(len);
        const int sys_errno = errno;
        const int err = SSL_get_error(sock->sh_ssl, rc);
        if (err == SSL_ERROR_SYSCALL && sys_errno == EINTR)
            continue;
        if (sock->sh_timeout == 0) {
            errno = err;
            return -1;
        }
        short events;
        if (err == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (err == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else {
            kovr_log(shttpc_log_error, "shttpc_write::send failed, errcode=%d %d", err, sys_errno);
            errno = err;
            return -1;
        }
        const shttpc_wait_result waited = shttpc_wait(sock->sh_socket, events, false, deadline);
        if (waited != shttpc_wait_result::ready)
            return shttpc_write_wait_failed(waited, 0);
    }
}

ssize_t shttpc_read_plain(shttpc_t sock, void *buf, size_t len, const struct timeval *deadline) {
    for (;;) {
        const ssize_t n = recv(sock->sh_socket, buf, len, 0);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (sock->sh_timeout == 0 || (errno != EINPROGRESS && errno != EAGAIN))
            return -1;
        switch (shttpc_wait(sock->sh_socket, POLLIN, false, deadline)) {
        case shttpc_wait_result::ready:
        case shttpc_wait_result::exception:
            break;
        case shttpc_wait_result::timed_out:
            errno = ETIMEDOUT;
            return -1;
        case shttpc_wait_result::failed:
            return -1;
        }
    }
}

ssize_t shttpc_read_ssl(shttpc_t sock, void *buf, size_t len, const struct timeval *deadline) {
    // One read returns at most what one call may ask for.
    const int want = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    for (;;) {
        ERR_clear_error();
        int n;
        {
            // Reading can make OpenSSL write (an alert, a key update reply).
            const sigpipe_guard no_sigpipe;
            n = SSL_read(sock->sh_ssl, buf, want);
        }
        // 0: the peer ended the stream; the caller's framing (content length,
        // chunks) tells a complete reply from a cut one.
        if (n >= 0)
            return n;
        const int sys_errno = errno;
        const int err = SSL_get_error(sock->sh_ssl, n);
        if (n == -1 && err == SSL_ERROR_SYSCALL && sys_errno == EINTR)
            continue;
        if (sock->sh_timeout == 0) {
            if (shttpc_debug_enabled())
                kovr_syslog(shttpc_log_debug, "shttpc_read::error, errcode=%d %d", err, sys_errno);
            errno = err;
            return -1;
        }
        short events;
        if (err == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (err == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else {
            if (shttpc_debug_enabled())
                kovr_syslog(shttpc_log_debug, "shttpc_read::Internal error, errcode=%d %d", err,
                            sys_errno);
            errno = err;
            return -1;
        }
        switch (shttpc_wait(sock->sh_socket, events, false, deadline)) {
        case shttpc_wait_result::ready:
        case shttpc_wait_result::exception:
            break;
        case shttpc_wait_result::timed_out:
            errno = ETIMEDOUT;
            return -1;
        case shttpc_wait_result::failed:
            return -1;
        }
    }
}

// A zeroed record with its socket; null (nothing kept) on failure, after
// `log_failure` has reported a failed socket call.
template <typename LogFailure>
shttpc_t shttpc_make(shttpc_type_t sh_type, int timeout, int family, bool_t use_sslv3,
                     LogFailure log_failure) {
    shttpc_t sock = static_cast<shttpc_t>(pool_zalloc(pool_default(), sizeof(struct shttpc_s)));
    if (sock == nullptr) {
        kovr_log_no_memory("socket creation");
        errno = ENOMEM;
        return nullptr;
    }
    sock->sh_socket = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock->sh_socket < 0) {
        const int saved_errno = errno;
        log_failure(saved_errno);
        pool_free(pool_default(), sock);
        errno = saved_errno;
        return nullptr;
    }
    sock->sh_type = sh_type;
    sock->sh_ssl = nullptr;
    sock->sh_sslctx = nullptr;
    sock->sh_timeout = shttpc_timeout_ms(timeout);
    sock->use_sslv3 = use_sslv3;
    return sock;
}

} // namespace

shttpc_t shttpc_new(shttpc_type_t sh_type, int timeout) {
    return shttpc_make(sh_type, timeout, AF_INET, 0, [](int err) {
        kovr_log(shttpc_log_error, "shttpc_socket_new::Not able to create socket,error number = %d",
                 err);
    });
}

shttpc_t shttpc_new_ipv6(shttpc_type_t sh_type, int timeout, const struct addrinfo *addrinfo) {
    ADT_ASSERT(0 != addrinfo);
    const int family = addrinfo->ai_family;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) {
        kovr_log(shttpc_log_error, "shttpc_new_ipv6::Unknown adrress family = %d", family);
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    return shttpc_make(sh_type, timeout, family == AF_INET6 ? AF_INET6 : AF_INET, 1, [](int err) {
        if (err != EAFNOSUPPORT)
            kovr_log(shttpc_log_error, "shttpc_new_ipv6::Not able to create socket, Reason: %s(%d)",
                     strerror(err), err);
    });
}

void shttpc_delete(shttpc_t sock) {
    ADT_ASSERT(0 != sock);
    SSL_free(sock->sh_ssl);
    if (sock->sh_sslctx != nullptr) {
        SSL_CTX_free(sock->sh_sslctx);
        // The per-thread error queue is all that ERR_remove_state(0) still
        // cleared; OpenSSL releases the per-thread state itself.
        ERR_clear_error();
    }
    if (sock->sh_socket >= 0)
        close(sock->sh_socket);
    pool_free(pool_default(), sock);
}

int shttpc_connect(shttpc_t sock, const struct sockaddr *addr, socklen_t addrlen) {
    return shttpc_connect_common(sock, addr, addrlen, nullptr, shttpc_connect_traces);
}

int shttpc_connect_ipv6_with_cert(shttpc_t sock, const struct addrinfo *addrinfo, socklen_t addrlen,
                                  cert_auth_info *cert_info) {
    ADT_ASSERT(0 != addrinfo);
    return shttpc_connect_common(sock, addrinfo->ai_addr, addrlen, cert_info,
                                 shttpc_connect_ipv6_traces);
}

int shttpc_connect_ipv6(shttpc_t sock, const struct addrinfo *addrinfo, socklen_t addrlen) {
    return shttpc_connect_ipv6_with_cert(sock, addrinfo, addrlen, nullptr);
}

ssize_t shttpc_read(shttpc_t sock, void *buf, size_t len) {
    ADT_ASSERT(0 != sock);
    const struct timeval deadline = shttpc_deadline(sock->sh_timeout);
    const struct timeval *limit = sock->sh_timeout != 0 ? &deadline : nullptr;
    if (sock->sh_type == SHTTPC_Type_SSL && sock->sh_ssl != nullptr)
        return shttpc_read_ssl(sock, buf, len, limit);
    return shttpc_read_plain(sock, buf, len, limit);
}

ssize_t shttpc_write(shttpc_t sock, const void *buf, size_t len) {
    ADT_ASSERT(0 != sock);
    // Nothing to send; a send of 0 bytes would only be mistaken for a stall.
    if (len == 0)
        return 0;
    const struct timeval deadline = shttpc_deadline(sock->sh_timeout);
    const struct timeval *limit = sock->sh_timeout != 0 ? &deadline : nullptr;
    if (sock->sh_type == SHTTPC_Type_SSL && sock->sh_ssl != nullptr)
        return shttpc_write_ssl(sock, static_cast<const char *>(buf), len, limit);
    return shttpc_write_plain(sock, static_cast<const char *>(buf), len, limit);
}

int shttpc_bind(shttpc_t sock, const struct sockaddr *addr, socklen_t addrlen) {
    ADT_ASSERT(0 != sock);
    return bind(sock->sh_socket, addr, addrlen);
}

int shttpc_setsockopt(shttpc_t sock, int level, int optname, const void *optval, socklen_t optlen) {
    ADT_ASSERT(0 != sock);
    return setsockopt(sock->sh_socket, level, optname, optval, optlen);
}

int shttpc_can_retry_on_error(int err) {
    return err == EINTR || err == EAGAIN || err == EINPROGRESS ? 1 : 0;
}

int shttpc_connect_status(int err) {
    return shttpc_can_retry_on_error(err) ? 0 : -1;
}

int shttpc_verify_server_certificate(SSL *ssl, cert_auth_info *cert_info) {
    std::array<char, shttpc_name_buffer_size> message = {};
    std::array<char, shttpc_name_buffer_size> name = {};
    X509 *cert = SSL_get1_peer_certificate(ssl);
    if (cert == nullptr) {
        snprintf(message.data(), message.size(), "%s",
                 "Server certificate verification failed: Server certificate not present.");
    } else {
        X509_NAME *subject = X509_get_subject_name(cert);
        const int name_len =
            subject == nullptr
                ? -1
                : X509_NAME_get_text_by_NID(subject, NID_commonName, name.data(), name.size());
        // A name with an embedded NUL or one cut to fit the buffer must not
        // match on its prefix: compare the whole entry's length too.
        const int lastpos =
            subject == nullptr ? -1 : X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
        const ASN1_STRING *entry =
            lastpos < 0 ? nullptr : X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, lastpos));
        const bool whole = entry != nullptr && ASN1_STRING_length(entry) == name_len &&
                           strlen(name.data()) == static_cast<size_t>(name_len);
        if (name_len < 0) {
            snprintf(message.data(), message.size(), "%s",
                     "Server certificate verification failed: Unable to obtain certificate name.");
        } else if (cert_info->host == nullptr || !whole ||
                   strcasecmp(name.data(), cert_info->host) != 0) {
            snprintf(message.data(), message.size(),
                     "Server certificate verification failed: Server certificate name (CN=%s), "
                     "hostname (%s) mismatch.",
                     name.data(), cert_info->host != nullptr ? cert_info->host : "(null)");
        }
        X509_free(cert);
    }
    if (message[0] == '\0')
        return 0;
    shttpc_set_err_info(cert_info, message.data());
    // The certificate was rejected like a failed chain verification.
    errno = SSL_ERROR_SSL;
    return -1;
}

char *shttpc_get_verify_cert_error_string(long err) {
    const char *text;
    switch (err) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        text = "the passed certificate cannot be found in the list of trusted certificates";
        break;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        text = "the certificate chain could be built up using the untrusted certificates but the "
               "root could not be found locally";
        break;
    default:
        text = X509_verify_cert_error_string(err);
        break;
    }
    char *copy = pstrdup(pool_default(), text);
    if (copy == nullptr)
        kovr_log_no_memory("certificate error string");
    return copy;
}

int shttpc_certificate_passwd_cb(char *buf, int size, int rwflag, void *passwd) {
    (void)rwflag;
    if (buf == nullptr || size <= 0)
        return 0;
    if (passwd == nullptr) {
        buf[0] = '\0';
        return 0;
    }
    strncpy(buf, static_cast<const char *>(passwd), static_cast<size_t>(size));
    buf[size - 1] = '\0';
    return static_cast<int>(strlen(buf));
}

void timeval_add(struct timeval *result, const struct timeval *x, const struct timeval *y) {
    time_t sec = x->tv_sec + y->tv_sec;
    suseconds_t usec = x->tv_usec + y->tv_usec;
    while (usec >= 1000000) {
        usec -= 1000000;
        ++sec;
    }
    while (usec < 0) {
        usec += 1000000;
        --sec;
    }
    result->tv_sec = sec;
    result->tv_usec = usec;
}

int timeval_sub(struct timeval *result, const struct timeval *x, const struct timeval *y) {
    time_t sec = x->tv_sec - y->tv_sec;
    suseconds_t usec = x->tv_usec - y->tv_usec;
    while (usec < 0) {
        usec += 1000000;
        --sec;
    }
    while (usec >= 1000000) {
        usec -= 1000000;
        ++sec;
    }
    result->tv_sec = sec;
    result->tv_usec = usec;
    return sec < 0 ? 1 : 0;
}
