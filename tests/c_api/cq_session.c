/* A C11 caller of the installed library running a whole change-scan session.
 *
 * Usage: cq_session MGMT_HOST DATA_HOST
 *
 * Connects to DATA_HOST, starts a session at MGMT_HOST (volume "vol1",
 * snapshots "s1" and "s2"), fetches batches until the end-of-difference flag,
 * asks for the status, ends the session and disconnects. Prints one line per
 * step: "batch v<1|2> <records> eof=<0|1>" for each batch, then
 * "status <text>" and "ended <text>". Exits 0 when every step succeeded, 1
 * (with the failing step and its response on standard error) otherwise. */
#include <kovrel/cq_api.h>

#include <stdio.h>
#include <stdlib.h>

/* Reports a failed step; the response may be null (no response). */
static int failed(const char *step, int32_t code, const cq_rpc_resp_t *resp) {
    fprintf(stderr, "%s: %d (%s)\n", step, (int)code,
            resp != NULL && resp->status != 0 && resp->cq_res_out.errstr != NULL
                ? resp->cq_res_out.errstr
                : "no response");
    return 1;
}

/* Fetches batches until the last one; success is read from the response
 * status and kind (a version-2 batch may return 50091). */
static int fetch_all(cq_connect_handle_t conn, cq_session_handle_t session) {
    for (;;) {
        cq_rpc_resp_t *resp = NULL;
        const int32_t code = cq_rpc_next(conn, session, &resp);
        if (resp == NULL || resp->status != 0) {
            const int rc = failed("next", code, resp);
            cq_rpc_free_resp(&resp);
            return rc;
        }
        const cq_rpc_ok_t *ok = &resp->cq_res_out.cq_ok;
        bool_t eof;
        if (ok->cq_api == CQ_NEXT_API_V2) {
            printf("batch v2 %u eof=%d\n", ok->cq_out_ok.next_res_V2->crp.crp_len,
                   ok->cq_out_ok.next_res_V2->eof ? 1 : 0);
            eof = ok->cq_out_ok.next_res_V2->eof;
        } else {
            printf("batch v1 %u eof=%d\n", ok->cq_out_ok.next_res_V1->crp.crp_len,
                   ok->cq_out_ok.next_res_V1->eof ? 1 : 0);
            eof = ok->cq_out_ok.next_res_V1->eof;
        }
        cq_rpc_free_resp(&resp);
        if (eof)
            return 0;
    }
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: cq_session MGMT_HOST DATA_HOST\n");
        return 2;
    }
    cq_connect_handle_t conn = NULL;
    const uint32_t connected = cq_rpc_connect(argv[2], &conn);
    if (connected != 0)
        return failed("connect", (int32_t)connected, NULL);

    cq_start_args_t args = {0};
    args.ip_addr = argv[1];
    args.username = "admin";
    args.password = "secret";
    args.volname = "vol1";
    args.basesnap = "s1";
    args.diffsnap = "s2";
    args.fileaccessproto = "nfs";
    args.maxdiffs = 2;
    args.appname = "cq_session";
    args.apptype = "test";

    int rc = 1;
    cq_session_handle_t session = NULL;
    cq_rpc_resp_t *resp = NULL;
    int32_t code = cq_rpc_start(conn, &args, &session, &resp);
    if (code != 0) {
        rc = failed("start", code, resp);
    } else if (fetch_all(conn, session) == 0) {
        cq_rpc_free_resp(&resp);
        code = cq_rpc_status(conn, session, &resp);
        if (code != 0) {
            rc = failed("status", code, resp);
        } else {
            printf("status %s\n", resp->cq_res_out.cq_ok.cq_out_ok.status_res->session_status);
            cq_rpc_free_resp(&resp);
            code = cq_rpc_end(conn, &session, &resp);
            if (code != 0) {
                rc = failed("end", code, resp);
            } else {
                printf("ended %s\n", resp->cq_res_out.cq_ok.cq_out_ok.end_res->session_status);
                rc = session == NULL ? 0 : 1;
            }
        }
    }
    cq_rpc_free_resp(&resp);
    /* A session that did not end is abandoned with the connection; the
     * server expires it. */
    cq_rpc_disconnect(&conn);
    return rc;
}
