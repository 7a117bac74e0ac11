#include "cq_nps.h"

#include "../nfs/nfs4/nfs4.h"
#include "pool.h"

#include <cerrno>

extern "C" uint32_t cq_rpc_connect(char *svm_data_ip, cq_connect_handle_t *cq_connect) {
    if (cq_connect == nullptr)
        return EINVAL;
    *cq_connect = nullptr;
    auto *conn = static_cast<synclient_session_t *>(
        pool_zalloc(pool_default(), sizeof(synclient_session_t)));
    if (conn == nullptr)
        return ENOMEM;
    conn->ps_use = 1;
    conn->ps_state = PLUGIN_INIT;
    conn->ps_prognum = NFS4_PROGRAM;
    conn->ps_version = NFS_V4;
    conn->ps_minor_version = 0;
    conn->ps_timeout_ms = CQ_NPS_TIMEOUT_MS;
    conn->ps_rem_ip = svm_data_ip;

    uint32_t err = 0;
    auto *ns = static_cast<nfs4_session_t *>(pool_zalloc(pool_default(), sizeof(nfs4_session_t)));
    if (ns == nullptr) {
        err = ENOMEM;
    } else {
        ns->ns_cl_fd = -1;
        ns->ns_session = conn;
        conn->ps_prot_session = ns;
        err = nfs4_create_client(ns, svm_data_ip, NFS4_PROGRAM, NFS_V4);
    }
    if (err != 0) {
        pool_free(pool_default(), ns);
        pool_free(pool_default(), conn);
        return err;
    }
    *cq_connect = conn;
    return 0;
}

extern "C" uint32_t cq_rpc_disconnect(cq_connect_handle_t *cq_connect) {
    if (cq_connect == nullptr || *cq_connect == nullptr)
        return EINVAL;
    auto *conn = static_cast<synclient_session_t *>(*cq_connect);
    auto *ns = static_cast<nfs4_session_t *>(conn->ps_prot_session);
    uint32_t err = EINVAL;
    if (ns != nullptr) {
        // A change-scan protocol session holds no file-operation state; the
        // stream and the client are all there is to release.
        nfs4_session_close(ns);
        pool_free(pool_default(), ns);
        err = 0;
    }
    pool_free(pool_default(), conn);
    *cq_connect = nullptr;
    return err;
}
