/*
 * libkovrel change-scan sessions: list the files created, modified and
 * deleted between two snapshots of a volume.
 *
 * Calling order: cq_rpc_connect, cq_rpc_start, cq_rpc_next until the
 * end-of-difference flag is set (cq_rpc_status at any time), cq_rpc_end,
 * cq_rpc_disconnect. Every response is released with cq_rpc_free_resp.
 *
 * This header compiles as C11 and as C++.
 */
#ifndef KOVREL_CQ_API_H
#define KOVREL_CQ_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A C boolean, as in kovrel.h (C11 and C++ accept the repeated typedef). */
typedef int32_t bool_t;

/* An open RPC connection to the storage system's data address (opaque). */
typedef void *cq_connect_handle_t;

/*
 * Opens an RPC connection to the data address `svm_data_ip` (host name or
 * numeric IPv4/IPv6 address), TCP port 2049. `*cq_connect` is set to null
 * first and receives the handle on success. Returns 0; 11 on a temporary
 * name-resolution failure; 12 when out of memory; 22 for a null argument or
 * an unresolvable name; a system error number when the TCP connect fails;
 * 71 when the RPC client or its credentials cannot be made; an RPC status
 * shifted left by 16 bits when the server does not answer the NULL call
 * (for example 327680 time-out, 524288 program unavailable, 589824 version
 * mismatch).
 */
uint32_t cq_rpc_connect(char *svm_data_ip, cq_connect_handle_t *cq_connect);

/*
 * Closes the connection and sets `*cq_connect` to null. Returns 0, or 22 when
 * the handle variable is null (nothing else is done).
 */
uint32_t cq_rpc_disconnect(cq_connect_handle_t *cq_connect);

/* A started change-scan session, owned by the library until it ends (opaque). */
typedef void *cq_session_handle_t;

/* The caller's arguments to cq_rpc_start. */
typedef struct cq_start_args_t {
    char *ip_addr;         /* management address of the storage system; required */
    char *username;        /* administrator user name; required */
    char *password;        /* its password; required */
    char *vserver;         /* virtual storage server; optional */
    char *volname;         /* volume; required */
    char *diffsnap;        /* the later snapshot; required */
    char *basesnap;        /* the earlier snapshot; optional */
    char *fileaccessproto; /* file-access protocol for names; required */
    bool_t atime;          /* report access-time changes */
    bool_t fattrs;         /* include file attributes */
    bool_t checkpointing;  /* let the server keep checkpoints */
    bool_t i2p;            /* accepted, not sent */
    uint32_t maxdiffs;     /* most changes per batch; required non-zero */
    char *restartcookie;   /* resume point of an earlier session; optional */
    char *appname;         /* calling application's name; required */
    char *apptype;         /* calling application's type; required */
} cq_start_args_t;

#ifdef __cplusplus
}
#endif

#endif /* KOVREL_CQ_API_H */
