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
