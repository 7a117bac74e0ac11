// NFSv4 protocol sessions: the TCP stream and ONC RPC client that carry
// change-scan operations to the storage system's data address.
#pragma once

#include "nfs4_prot.h"

#include <rpc/rpc.h>

#include <cstdint>

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

// One COMPOUND call (procedure 1) with the given time-out and no retry. The
// reply is decoded through xdr_COMPOUND4res_received, so its arrays are
// bounded by the bytes received; on failure `res` holds nothing to free.
// Use this rather than the generated nfsproc4_compound_4 stub, which decodes
// straight from the stream (refused by the bound) into a static buffer.
enum clnt_stat nfs4_compound(CLIENT *clnt, COMPOUND4args *args, COMPOUND4res *res,
                             struct timeval timeout);

// An RPC status as an error code that cannot collide with a system errno.
uint32_t translate_rpc_error(enum clnt_stat status);

// Releases the client, its credentials and the socket of `session` (not the
// record itself); the fields are reset so that a second call does nothing.
void nfs4_session_close(nfs4_session_t *session);
