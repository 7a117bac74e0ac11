// NFSv4 protocol sessions: the TCP stream and ONC RPC client that carry
// change-scan operations to the storage system's data address.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>

// The program, version and procedure numbers used here; the header generated
// from the protocol description defines the same values with the same tokens.
#ifndef NFS4_PROGRAM
#define NFS4_PROGRAM 400010
#endif
#ifndef NFS_V4
#define NFS_V4 1
#endif
#ifndef NFSPROC4_NULL
#define NFSPROC4_NULL 0
#endif

struct synclient_session_t;

// One protocol session: a connected TCP socket and the RPC client over it.
struct nfs4_session_t {
    synclient_session_t *ns_session; // the owning connection record
    CLIENT *ns_clnt;                 // null until created, and after a failed step
    int ns_cl_fd;                    // connected socket, owned here; -1 when none
};

// Resolves `rem_ip`, connects to port 2049 and creates the RPC client for
// `prognum`/`version`, proving it with a NULL call and installing AUTH_UNIX
// credentials. Returns 0, or an error number (RPC failures as translated by
// translate_rpc_error); on failure no socket or client is left behind.
uint32_t nfs4_create_client(nfs4_session_t *session, const char *rem_ip, unsigned long prognum,
                            unsigned long version);

// Procedure 0 of the program, void both ways, with the 25-second time-out.
enum clnt_stat nfsproc4_null_4(CLIENT *clnt);

// An RPC status as an error code that cannot collide with a system errno.
uint32_t translate_rpc_error(enum clnt_stat status);

// Releases the client, its credentials and the socket of `session` (not the
// record itself); the fields are reset so that a second call does nothing.
void nfs4_session_close(nfs4_session_t *session);
