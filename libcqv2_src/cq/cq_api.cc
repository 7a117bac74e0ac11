// Change-scan sessions: the start over the XML API, the next, status and end
// operations over the RPC connection, and the responses they hand out.
#include "cq_api.h"

#include "../nfs/nfs4/nfs4.h"
#include "cq_nps.h"
#include "cq_session.h"
#include "kovrel.h"
#include "pool.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char CQ_TEXT_NO_MEMORY[] = "Out of memory";
const char CQ_TEXT_INVALID[] = "Invalid arguments specified";
const char CQ_TEXT_NO_SERVER[] = "Could not connect to server";
const char CQ_TEXT_NO_ELEMENT[] = "Could not create QAPI element";
const char CQ_TEXT_CALL_FAILED[] = "Encountered error. Check status for errno.";
const char CQ_TEXT_NO_SESSION[] =
    "The start reply did not name the session (session-handle or session-id missing)";
const char CQ_TEXT_START_FAILED[] = "chgscan-iter-start failed without a reason";

// Seconds a session call may take: the server may compute a whole batch
// before it answers.
constexpr long CQ_TIMEOUT = 720;

// The start request's API version: the lowest that accepts a vserver name.
constexpr int CQ_START_MAJOR = 1;
constexpr int CQ_START_MINOR = 15;
constexpr int CQ_START_PORT = 443;

cq_rpc_resp_t *cq_resp_new() {
    return static_cast<cq_rpc_resp_t *>(pool_zalloc(pool_default(), sizeof(cq_rpc_resp_t)));
}

// Makes `resp` a failure response. The code is stored in the status field as
// the 32-bit value it is; the field's type is the protocol's status type.
int32_t cq_resp_fail(cq_rpc_resp_t *resp, int32_t code, const char *text) {
    resp->status = static_cast<nfsstat4>(code);
    resp->cq_res_out.errstr = text != nullptr ? pstrdup(pool_default(), text) : nullptr;
    return code;
}

const char *cq_bool_text(bool_t value) {
    return value ? "true" : "false";
}

/* ---- start ---------------------------------------------------------------- */

bool cq_start_args_valid(const cq_start_args_t *a) {
    return a != nullptr && a->ip_addr != nullptr && a->volname != nullptr &&
           a->diffsnap != nullptr && a->fileaccessproto != nullptr && a->appname != nullptr &&
           a->apptype != nullptr && a->username != nullptr && a->password != nullptr &&
           a->maxdiffs != 0;
}

struct cq_server_closer {
    void operator()(kr_server_t *s) const { kr_server_close(s); }
};
struct cq_elem_freer {
    void operator()(kr_elem_t *e) const { kr_elem_free(e); }
};
using cq_server_ptr = std::unique_ptr<kr_server_t, cq_server_closer>;
using cq_elem_ptr = std::unique_ptr<kr_elem_t, cq_elem_freer>;

// A handle to the management address: login and password over HTTPS on 443;
// everything else keeps the handle's defaults.
cq_server_ptr cq_start_server(const cq_start_args_t *a) {
    cq_server_ptr s(kr_server_open(a->ip_addr, CQ_START_MAJOR, CQ_START_MINOR));
    if (s == nullptr)
        return nullptr;
    kr_server_set_style(s.get(), KR_STYLE_LOGIN_PASSWORD);
    const bool configured =
        kr_server_set_admin_user(s.get(), a->username, a->password) != 0 &&
        kr_server_set_transport_type(s.get(), KR_SERVER_TRANSPORT_HTTPS, nullptr) != 0 &&
        kr_server_set_port(s.get(), CQ_START_PORT) != 0 &&
        (a->vserver == nullptr || kr_server_set_vserver(s.get(), a->vserver) != 0);
    return configured ? std::move(s) : nullptr;
}

// The "chgscan-iter-start" request. The optional children are left out when
// their value is null; the others always go, in this order.
cq_elem_ptr cq_start_request(const cq_start_args_t *a) {
    // Sent whole: a shorter field would silently ask for a different batch size.
    char maxdiffs[16];
    std::snprintf(maxdiffs, sizeof maxdiffs, "%u", a->maxdiffs);
    const struct {
        const char *name;
        const char *value;
    } children[] = {
        {"version", "2"},
        {"volume", a->volname},
        {"base-snapshot", a->basesnap},
        {"diff-snapshot", a->diffsnap},
        {"file-access-protocol", a->fileaccessproto},
        {"restart-cookie", a->restartcookie},
        {"application-name", a->appname},
        {"application-type", a->apptype},
        {"max-diffs", maxdiffs},
        {"atime", cq_bool_text(a->atime)},
        {"include-file-attributes", cq_bool_text(a->fattrs)},
        {"checkpointing", cq_bool_text(a->checkpointing)},
    };
    cq_elem_ptr request(kr_elem_new("chgscan-iter-start"));
    if (request == nullptr)
        return nullptr;
    for (const auto &child : children)
        if (child.value != nullptr &&
            kr_child_add_string(request.get(), child.name, child.value) == nullptr)
            return nullptr;
    return request;
}

// A reply child's text, or null when the child is missing or empty.
const char *cq_reply_text(kr_elem_t *reply, const char *name) {
    const char *text = kr_child_get_string(reply, name);
    return text != nullptr && text[0] != '\0' ? text : nullptr;
}

void cq_session_free(cq_rpc_session_t *session) {
    session->session_magic = 0;
    pool_free(pool_default(), session->session_hash);
    pool_free(pool_default(), session->session_handle);
    pool_free(pool_default(), session->session_id);
    pool_free(pool_default(), session);
}

void cq_start_result_free(CQ_START4resok *res) {
    pool_free(pool_default(), res->session_handle);
    pool_free(pool_default(), res->session_id);
    pool_free(pool_default(), res->session_status);
    pool_free(pool_default(), res);
}

struct cq_session_freer {
    void operator()(cq_rpc_session_t *s) const { cq_session_free(s); }
};
struct cq_start_result_freer {
    void operator()(CQ_START4resok *r) const { cq_start_result_free(r); }
};

// A passed start reply becomes the response's result and a new session.
int32_t cq_start_accept(kr_elem_t *reply, cq_session_handle_t *cq_session, cq_rpc_resp_t *resp) {
    const char *handle = cq_reply_text(reply, "session-handle");
    const char *id = cq_reply_text(reply, "session-id");
    if (handle == nullptr || id == nullptr)
        return cq_resp_fail(resp, EPROTO, CQ_TEXT_NO_SESSION);
    // A missing status is only descriptive; it reads as an empty text.
    const char *status = kr_child_get_string(reply, "session-status");

    std::unique_ptr<CQ_START4resok, cq_start_result_freer> res(
        static_cast<CQ_START4resok *>(pool_zalloc(pool_default(), sizeof(CQ_START4resok))));
    std::unique_ptr<cq_rpc_session_t, cq_session_freer> session(
        static_cast<cq_rpc_session_t *>(pool_zalloc(pool_default(), sizeof(cq_rpc_session_t))));
    if (res == nullptr || session == nullptr)
        return cq_resp_fail(resp, ENOMEM, CQ_TEXT_NO_MEMORY);
    res->session_handle = pstrdup(pool_default(), handle);
    res->session_id = pstrdup(pool_default(), id);
    res->session_status = pstrdup(pool_default(), status != nullptr ? status : "");
    session->session_handle = pstrdup(pool_default(), handle);
    session->session_id = pstrdup(pool_default(), id);
    if (res->session_handle == nullptr || res->session_id == nullptr ||
        res->session_status == nullptr || session->session_handle == nullptr ||
        session->session_id == nullptr)
        return cq_resp_fail(resp, ENOMEM, CQ_TEXT_NO_MEMORY);
    session->session_magic = CQ_SESSION_MAGIC;

    resp->status = NFS4_OK;
    resp->cq_res_out.cq_ok.cq_rpc_cookie = nullptr;
    resp->cq_res_out.cq_ok.cq_api = CQ_START_API;
    resp->cq_res_out.cq_ok.cq_out_ok.start_res = res.release();
    *cq_session = session.release();
    return 0;
}

// A failed reply's error number and reason. An error number of 0 would read
// as success in the response, so it is reported as -1, like a missing one.
int32_t cq_start_reject(kr_elem_t *reply, cq_rpc_resp_t *resp) {
    int32_t code = kr_results_errno(reply);
    if (code == 0)
        code = -1;
    const char *reason = kr_results_reason(reply);
    cq_resp_fail(resp, code, reason != nullptr ? reason : CQ_TEXT_START_FAILED);
    return EPROTO;
}

int32_t cq_start_invoke(const cq_start_args_t *a, cq_session_handle_t *cq_session,
                        cq_rpc_resp_t *resp) {
    if (cq_session == nullptr || !cq_start_args_valid(a))
        return cq_resp_fail(resp, EINVAL, CQ_TEXT_INVALID);
    cq_server_ptr server = cq_start_server(a);
    if (server == nullptr)
        return cq_resp_fail(resp, EPROTO, CQ_TEXT_NO_SERVER);
    cq_elem_ptr request = cq_start_request(a);
    if (request == nullptr)
        return cq_resp_fail(resp, EPROTO, CQ_TEXT_NO_ELEMENT);
    cq_elem_ptr reply(kr_server_invoke_elem(server.get(), request.get()));
    if (reply == nullptr)
        return cq_resp_fail(resp, EPROTO, CQ_TEXT_NO_ELEMENT);
    return kr_results_status(reply.get()) == 1 ? cq_start_accept(reply.get(), cq_session, resp)
                                               : cq_start_reject(reply.get(), resp);
}

/* ---- next, status and end ------------------------------------------------- */

// What distinguishes the three session operations; cq_session_call does the
// rest once for all of them.
struct cq_interpretation {
    bool ok;
    const char *error_text; // the server's, when it failed the operation
};

struct cq_op_next {
    static constexpr const char *TAG = "CQ_NEXT";
    static constexpr nfs_opnum4 OPNUM = OP_CQ_NEXT;
    static constexpr bool COUNTS_SEQUENCE = true;
    static constexpr bool ENDS_SESSION = false;
    static CQ_NEXT4args &args(nfs_argop4 &op) { return op.nfs_argop4_u.opcq_next; }
    static cq_interpretation interpret(nfs_resop4 &op, cq_rpc_ok_t *ok) {
        CQ_NEXT4res &res = op.nfs_resop4_u.opcq_next;
        if (res.status == NFS4_OK) {
            ok->cq_api = CQ_NEXT_API_V1;
            ok->cq_out_ok.next_res_V1 = &res.CQ_NEXT4res_u.cq_next_resok_V1;
            return {true, nullptr};
        }
        if (res.status == NFS4_CQ_SESSION_V2_OK) {
            ok->cq_api = CQ_NEXT_API_V2;
            ok->cq_out_ok.next_res_V2 = &res.CQ_NEXT4res_u.cq_next_resok_V2;
            return {true, nullptr};
        }
        return {false, res.CQ_NEXT4res_u.session_error};
    }
};

// Status and end answer alike: a status text, or the server's error text.
template <typename Res, typename Ok>
cq_interpretation cq_interpret_text_result(const Res &res, Ok *resok, char *const *error,
                                           cq_rpc_api_t kind, Ok **slot, cq_rpc_ok_t *ok) {
    if (res.status != NFS4_OK)
        return {false, *error};
    ok->cq_api = kind;
    *slot = resok;
    return {true, nullptr};
}

struct cq_op_status {
    static constexpr const char *TAG = "CQ_STATUS";
    static constexpr nfs_opnum4 OPNUM = OP_CQ_STATUS;
    static constexpr bool COUNTS_SEQUENCE = false;
    static constexpr bool ENDS_SESSION = false;
    static CQ_STATUS4args &args(nfs_argop4 &op) { return op.nfs_argop4_u.opcq_status; }
    static cq_interpretation interpret(nfs_resop4 &op, cq_rpc_ok_t *ok) {
        CQ_STATUS4res &res = op.nfs_resop4_u.opcq_status;
        return cq_interpret_text_result(res, &res.CQ_STATUS4res_u.cq_status_resok,
                                        &res.CQ_STATUS4res_u.session_error, CQ_STATUS_API,
                                        &ok->cq_out_ok.status_res, ok);
    }
};

struct cq_op_end {
    static constexpr const char *TAG = "CQ_END";
    static constexpr nfs_opnum4 OPNUM = OP_CQ_END;
    static constexpr bool COUNTS_SEQUENCE = false;
    static constexpr bool ENDS_SESSION = true;
    static CQ_END4args &args(nfs_argop4 &op) { return op.nfs_argop4_u.opcq_end; }
    static cq_interpretation interpret(nfs_resop4 &op, cq_rpc_ok_t *ok) {
        CQ_END4res &res = op.nfs_resop4_u.opcq_end;
        return cq_interpret_text_result(res, &res.CQ_END4res_u.cq_end_resok,
                                        &res.CQ_END4res_u.session_error, CQ_END_API,
                                        &ok->cq_out_ok.end_res, ok);
    }
};

// The RPC client of a connection handle, or null when it has none.
CLIENT *cq_connection_client(cq_connect_handle_t cq_connect) {
    if (cq_connect == nullptr)
        return nullptr;
    auto *ns = static_cast<nfs4_session_t *>(
        static_cast<synclient_session_t *>(cq_connect)->ps_prot_session);
    return ns != nullptr ? ns->ns_clnt : nullptr;
}

bool cq_session_live(const cq_rpc_session_t *session) {
    return session != nullptr && session->session_magic == CQ_SESSION_MAGIC;
}

// A decoded reply: released with xdr_free and then the record itself.
struct cq_reply_freer {
    void operator()(COMPOUND4res *res) const {
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res), reinterpret_cast<char *>(res));
        pool_free(pool_default(), res);
    }
};
using cq_reply_ptr = std::unique_ptr<COMPOUND4res, cq_reply_freer>;

// Clears the session's hash when the call is over, whatever its outcome.
struct cq_hash_scope {
    cq_rpc_session_t *session;
    ~cq_hash_scope() {
        pool_free(pool_default(), session->session_hash);
        session->session_hash = nullptr;
    }
};

// Reads the reply of the one operation sent. On success `resp` holds the
// result (the reply itself is attached by the caller); otherwise the
// failure code is returned and stored.
template <typename Op> int32_t cq_interpret_reply(COMPOUND4res *reply, cq_rpc_resp_t *resp) {
    const int32_t compound_status = static_cast<int32_t>(reply->status);
    if (reply->resarray.resarray_len == 0) {
        // No result at all. With status 0 the server broke the protocol; a
        // success-looking response without a result would mislead the caller.
        return cq_resp_fail(resp, compound_status != 0 ? compound_status : EPROTO,
                            CQ_TEXT_CALL_FAILED);
    }
    nfs_resop4 &op = reply->resarray.resarray_val[0];
    if (reply->resarray.resarray_len != 1 || op.resop != Op::OPNUM)
        return cq_resp_fail(resp, EPROTO, CQ_TEXT_CALL_FAILED);
    cq_rpc_ok_t ok = {};
    const cq_interpretation outcome = Op::interpret(op, &ok);
    if (!outcome.ok) {
        // An operation failure under a COMPOUND status of 0 still fails.
        const int32_t code = compound_status != 0 ? compound_status : EPROTO;
        return cq_resp_fail(
            resp, code, outcome.error_text != nullptr ? outcome.error_text : CQ_TEXT_CALL_FAILED);
    }
    resp->status = NFS4_OK;
    resp->cq_res_out.cq_ok = ok;
    return compound_status;
}

// One operation of a session in one COMPOUND call.
template <typename Op>
int32_t cq_session_call(cq_connect_handle_t cq_connect, cq_rpc_session_t *session,
                        cq_rpc_resp_t *resp, bool *session_ended) {
    cq_hash_scope hash_scope{session};
    const uint32_t sequence = Op::COUNTS_SEQUENCE ? session->sequence : 0;
    session->session_hash = static_cast<char *>(pool_alloc(pool_default(), CQ_REQUEST_HASH_SIZE));
    if (session->session_hash == nullptr ||
        !cq_request_hash(session->session_id, sequence, session->session_hash))
        return cq_resp_fail(resp, ENOMEM, CQ_TEXT_NO_MEMORY);

    pool_ptr<nfs_argop4> op(
        static_cast<nfs_argop4 *>(pool_zalloc(pool_default(), sizeof(nfs_argop4))));
    cq_reply_ptr reply(
        static_cast<COMPOUND4res *>(pool_zalloc(pool_default(), sizeof(COMPOUND4res))));
    if (op == nullptr || reply == nullptr)
        return cq_resp_fail(resp, ENOMEM, CQ_TEXT_NO_MEMORY);
    op->argop = Op::OPNUM;
    auto &op_args = Op::args(*op);
    op_args.session_handle.session_handle_len =
        static_cast<u_int>(std::strlen(session->session_handle));
    op_args.session_handle.session_handle_val = session->session_handle;
    op_args.session_id.session_id_len = static_cast<u_int>(std::strlen(session->session_hash));
    op_args.session_id.session_id_val = session->session_hash;
    COMPOUND4args args = {};
    args.tag.utf8string_len = static_cast<u_int>(std::strlen(Op::TAG));
    args.tag.utf8string_val = const_cast<char *>(Op::TAG);
    args.minorversion = 0;
    args.argarray.argarray_len = 1;
    args.argarray.argarray_val = op.get();

    const struct timeval timeout = {CQ_TIMEOUT, 0};
    const enum clnt_stat rpc_status =
        nfs4_compound(cq_connection_client(cq_connect), &args, reply.get(), timeout);
    if (rpc_status != RPC_SUCCESS)
        return cq_resp_fail(resp, static_cast<int32_t>(translate_rpc_error(rpc_status)),
                            CQ_TEXT_CALL_FAILED);
    const int32_t code = cq_interpret_reply<Op>(reply.get(), resp);
    if (resp->status != NFS4_OK)
        return code;
    resp->cq_res_out.cq_ok.cq_rpc_cookie = reply.release();
    *session_ended = Op::ENDS_SESSION;
    return Op::ENDS_SESSION ? 0 : code;
}

// The checks and the response shared by next, status and end.
template <typename Op>
int32_t cq_session_operation(cq_connect_handle_t cq_connect, cq_session_handle_t *cq_session,
                             cq_rpc_resp_t **out) {
    if (out != nullptr)
        *out = nullptr;
    if (out == nullptr || cq_session == nullptr || cq_connection_client(cq_connect) == nullptr)
        return EINVAL;
    auto *session = static_cast<cq_rpc_session_t *>(*cq_session);
    if (!cq_session_live(session))
        return EINVAL;
    // Counted before anything can fail: a failed next still uses its number.
    if (Op::COUNTS_SEQUENCE)
        ++session->sequence;
    cq_rpc_resp_t *resp = cq_resp_new();
    if (resp == nullptr)
        return ENOMEM;
    resp->status = NFS4_OK;
    bool session_ended = false;
    const int32_t code = cq_session_call<Op>(cq_connect, session, resp, &session_ended);
    if (session_ended) {
        cq_session_free(session);
        *cq_session = nullptr;
    }
    *out = resp;
    return code;
}

} // namespace

bool cq_request_hash(const char *session_id, uint32_t sequence, char out[CQ_REQUEST_HASH_SIZE]) {
    // 45 characters: a 36-character session id, "-" and 8 digits fill it.
    char text[46];
    const int n = std::snprintf(text, sizeof text, "%s-%08x", session_id, sequence);
    if (n < 0)
        return false;
    const size_t text_len =
        static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (EVP_Digest(text, text_len, digest, &digest_len, EVP_sha256(), nullptr) != 1 ||
        2 * digest_len + 1 != CQ_REQUEST_HASH_SIZE)
        return false;
    static constexpr char HEX[] = "0123456789abcdef";
    for (unsigned int i = 0; i < digest_len; ++i) {
        out[2 * i] = HEX[digest[i] >> 4];
        out[2 * i + 1] = HEX[digest[i] & 0xf];
    }
    out[2 * digest_len] = '\0';
    return true;
}

extern "C" {

int32_t cq_rpc_start(const cq_connect_handle_t cq_connect, const cq_start_args_t *cq_start_args,
                     cq_session_handle_t *cq_session, cq_rpc_resp_t **cq_start_resp) {
    static_cast<void>(cq_connect); // the start goes to the management address instead
    if (cq_session != nullptr)
        *cq_session = nullptr;
    if (cq_start_resp == nullptr)
        return EINVAL;
    *cq_start_resp = nullptr;
    cq_rpc_resp_t *resp = cq_resp_new();
    if (resp == nullptr)
        return ENOMEM;
    const int32_t code = cq_start_invoke(cq_start_args, cq_session, resp);
    *cq_start_resp = resp;
    return code;
}

int32_t cq_rpc_next(const cq_connect_handle_t cq_connect, cq_session_handle_t cq_session,
                    cq_rpc_resp_t **cq_next_resp) {
    return cq_session_operation<cq_op_next>(cq_connect, &cq_session, cq_next_resp);
}

int32_t cq_rpc_status(const cq_connect_handle_t cq_connect, cq_session_handle_t cq_session,
                      cq_rpc_resp_t **cq_status_resp) {
    return cq_session_operation<cq_op_status>(cq_connect, &cq_session, cq_status_resp);
}

int32_t cq_rpc_end(const cq_connect_handle_t cq_connect, cq_session_handle_t *cq_session,
                   cq_rpc_resp_t **cq_end_resp) {
    if (cq_session == nullptr) {
        if (cq_end_resp != nullptr)
            *cq_end_resp = nullptr;
        return EINVAL;
    }
    return cq_session_operation<cq_op_end>(cq_connect, cq_session, cq_end_resp);
}

void cq_rpc_free_resp(cq_rpc_resp_t **cq_rpc_resp) {
    if (cq_rpc_resp == nullptr || *cq_rpc_resp == nullptr)
        return;
    cq_rpc_resp_t *resp = *cq_rpc_resp;
    if (resp->status != NFS4_OK) {
        pool_free(pool_default(), resp->cq_res_out.errstr);
    } else {
        cq_rpc_ok_t &ok = resp->cq_res_out.cq_ok;
        // A success without a known kind cannot be released safely.
        if (ok.cq_api < CQ_START_API || ok.cq_api > CQ_END_API)
            return;
        if (ok.cq_api == CQ_START_API && ok.cq_out_ok.start_res != nullptr)
            cq_start_result_free(ok.cq_out_ok.start_res);
        ok.cq_out_ok.start_res = nullptr;
        if (ok.cq_rpc_cookie != nullptr)
            cq_reply_freer()(static_cast<COMPOUND4res *>(ok.cq_rpc_cookie));
    }
    pool_free(pool_default(), resp);
    *cq_rpc_resp = nullptr;
}

} // extern "C"
