#include "nfs4.h"

#include "nfs4_reply.h"
#include "sigpipe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t NFS4_PORT = 2049;
const struct timeval TIMEOUT = {25, 0};

// The port lies at the same offset in both families, but each is set through
// its own type so that no other family is written to blindly.
bool nfs4_set_port(struct sockaddr *sa) {
    switch (sa->sa_family) {
    case AF_INET:
        reinterpret_cast<struct sockaddr_in *>(sa)->sin_port = htons(NFS4_PORT);
        return true;
    case AF_INET6:
        reinterpret_cast<struct sockaddr_in6 *>(sa)->sin6_port = htons(NFS4_PORT);
        return true;
    default:
        return false;
    }
}

// Steps after resolution: socket, connect, client, NULL ping, credentials.
// On failure the socket is closed and the client destroyed here.
uint32_t nfs4_connect_client(nfs4_session_t *session, struct addrinfo *ai, unsigned long prognum,
                             unsigned long version) {
    uint32_t err = 0;
    // Close-on-exec so that the caller's child processes never inherit the
    // stream (the other end would not see it close on disconnect).
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return static_cast<uint32_t>(errno);
    if (!nfs4_set_port(ai->ai_addr)) {
        err = EAFNOSUPPORT;
    } else if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        err = static_cast<uint32_t>(errno);
    } else {
        session->ns_cl_fd = fd;
        // A connected socket and a non-zero port: no port-mapper query, and
        // the client leaves the socket open when it is destroyed.
        session->ns_clnt = clnttcp_create(reinterpret_cast<struct sockaddr_in *>(ai->ai_addr),
                                          prognum, version, &session->ns_cl_fd, 0, 0);
        if (session->ns_clnt == nullptr) {
            err = EPROTO;
        } else if (const enum clnt_stat status = nfsproc4_null_4(session->ns_clnt);
                   status != RPC_SUCCESS) {
            err = translate_rpc_error(status);
        } else if (AUTH *auth = authunix_create_default(); auth == nullptr) {
            err = EPROTO;
        } else {
            // The initial credentials are AUTH_NONE, whose destroy is harmless.
            if (session->ns_clnt->cl_auth != nullptr)
                auth_destroy(session->ns_clnt->cl_auth);
            session->ns_clnt->cl_auth = auth;
        }
    }
    if (err != 0) {
        if (session->ns_clnt != nullptr) {
            clnt_destroy(session->ns_clnt);
            session->ns_clnt = nullptr;
        }
        close(fd);
        session->ns_cl_fd = -1;
    }
    return err;
}

} // namespace

uint32_t translate_rpc_error(enum clnt_stat status) {
    return static_cast<uint32_t>(status) << 16;
}

enum clnt_stat nfsproc4_null_4(CLIENT *clnt) {
    // xdr_void is declared without parameters; the cast goes through the
    // generic function pointer type to say that this is intended.
    const auto void_proc = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
    sigpipe_guard guard;
    return clnt_call(clnt, NFSPROC4_NULL, void_proc, nullptr, void_proc, nullptr, TIMEOUT);
}

enum clnt_stat nfs4_compound(CLIENT *clnt, COMPOUND4args *args, COMPOUND4res *res,
                             struct timeval timeout) {
    sigpipe_guard guard;
    const enum clnt_stat status = clnt_call(
        clnt, NFSPROC4_COMPOUND, reinterpret_cast<xdrproc_t>(xdr_COMPOUND4args),
        reinterpret_cast<caddr_t>(args), reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res_received),
        reinterpret_cast<caddr_t>(res), timeout);
    // A reply that decoded but failed a later check may still hold memory.
    if (status != RPC_SUCCESS)
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res), reinterpret_cast<char *>(res));
    return status;
}

uint32_t nfs4_create_client(nfs4_session_t *session, const char *rem_ip, unsigned long prognum,
                            unsigned long version) {
    if (session == nullptr || rem_ip == nullptr)
        return EINVAL;
    session->ns_clnt = nullptr;
    session->ns_cl_fd = -1;
    struct addrinfo *res = nullptr;
    const int gai = getaddrinfo(rem_ip, nullptr, nullptr, &res);
    if (gai != 0)
        return gai == EAI_AGAIN ? EAGAIN : EINVAL;
    // Only the first result is tried.
    const uint32_t err = nfs4_connect_client(session, res, prognum, version);
    freeaddrinfo(res);
    return err;
}

void nfs4_session_close(nfs4_session_t *session) {
    // The client goes first so that it never refers to a closed descriptor
    // number that another thread could already have reused.
    if (session->ns_clnt != nullptr) {
        if (session->ns_clnt->cl_auth != nullptr)
            auth_destroy(session->ns_clnt->cl_auth);
        session->ns_clnt->cl_auth = nullptr;
        clnt_destroy(session->ns_clnt);
        session->ns_clnt = nullptr;
    }
    if (session->ns_cl_fd >= 0)
        close(session->ns_cl_fd);
    session->ns_cl_fd = -1;
}
