// Secure socket connections: one TCP socket with an optional TLS session, in
// which every step honours one per-connection time-out in milliseconds.
//
// Failures return -1 with errno set (a write time-out returns the bytes sent
// so far with errno ETIMEDOUT); callers turn -errno into their own codes, so
// the errno values are part of the contract. TLS errors put the TLS library's
// error code (SSL_get_error) in errno.
#pragma once

#include "adt_types.h"
#include "kovrel.h"

#include <cstddef>
#include <cstdint>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

typedef enum shttpc_type_e {
    SHTTPC_Type_Plain = 0,
    SHTTPC_Type_SSL = 1,
} shttpc_type_t;

struct shttpc_s {
    shttpc_type_t sh_type;
    int sh_socket;
    SSL *sh_ssl;
    SSL_CTX *sh_sslctx;
    uint32_t sh_timeout; // milliseconds; 0: blocking, no time limit
    bool_t use_sslv3;
};
typedef struct shttpc_s *shttpc_t;

shttpc_t shttpc_new(shttpc_type_t sh_type, int timeout);
shttpc_t shttpc_new_ipv6(shttpc_type_t sh_type, int timeout, const struct addrinfo *addrinfo);
void shttpc_delete(shttpc_t sock);

int shttpc_connect(shttpc_t sock, const struct sockaddr *addr, socklen_t addrlen);
int shttpc_connect_ipv6_with_cert(shttpc_t sock, const struct addrinfo *addrinfo, socklen_t addrlen,
                                  cert_auth_info *cert_info);
int shttpc_connect_ipv6(shttpc_t sock, const struct addrinfo *addrinfo, socklen_t addrlen);

ssize_t shttpc_read(shttpc_t sock, void *buf, size_t len);
ssize_t shttpc_write(shttpc_t sock, const void *buf, size_t len);
int shttpc_bind(shttpc_t sock, const struct sockaddr *addr, socklen_t addrlen);
int shttpc_setsockopt(shttpc_t sock, int level, int optname, const void *optval, socklen_t optlen);

int shttpc_can_retry_on_error(int err);
int shttpc_connect_status(int err);
int shttpc_verify_server_certificate(SSL *ssl, cert_auth_info *cert_info);
char *shttpc_get_verify_cert_error_string(long err);
int shttpc_certificate_passwd_cb(char *buf, int size, int rwflag, void *passwd);

// Time arithmetic with carry and borrow; timeval_sub returns 1 when x < y.
void timeval_add(struct timeval *result, const struct timeval *x, const struct timeval *y);
int timeval_sub(struct timeval *result, const struct timeval *x, const struct timeval *y);
