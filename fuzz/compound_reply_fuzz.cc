// A COMPOUND reply's result body, decoded as the session calls decode the
// bytes they receive. Everything decoded is read once (so the sanitizers see
// any pointer or length that disagrees with the memory behind it) and
// released as a whole.
#include "nfs4_prot.h"
#include "nfs4_reply.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

volatile uint8_t sink;

void touch(const char *bytes, unsigned int len) {
    for (unsigned int i = 0; i < len; ++i)
        sink = static_cast<uint8_t>(sink + static_cast<uint8_t>(bytes[i]));
}

void touch(const char *text) {
    if (text != nullptr)
        touch(text, static_cast<unsigned int>(std::strlen(text)));
}

template <typename Batch> void touch_batch(const Batch &b) {
    for (unsigned int i = 0; i < b.crp.crp_len; ++i)
        touch(b.crp.crp_val[i].scr_name.scr_name_val, b.crp.crp_val[i].scr_name.scr_name_len);
    touch(b.restart_cookie.restart_cookie_val, b.restart_cookie.restart_cookie_len);
}

void touch_result(const nfs_resop4 &op) {
    switch (op.resop) {
    case OP_CQ_NEXT: {
        const CQ_NEXT4res &r = op.nfs_resop4_u.opcq_next;
        if (r.status == NFS4_OK)
            touch_batch(r.CQ_NEXT4res_u.cq_next_resok_V1);
        else if (r.status == NFS4_CQ_SESSION_V2_OK)
            touch_batch(r.CQ_NEXT4res_u.cq_next_resok_V2);
        else
            touch(r.CQ_NEXT4res_u.session_error);
        break;
    }
    case OP_CQ_STATUS: {
        const CQ_STATUS4res &r = op.nfs_resop4_u.opcq_status;
        touch(r.status == NFS4_OK ? r.CQ_STATUS4res_u.cq_status_resok.session_status
                                  : r.CQ_STATUS4res_u.session_error);
        break;
    }
    case OP_CQ_END: {
        const CQ_END4res &r = op.nfs_resop4_u.opcq_end;
        touch(r.status == NFS4_OK ? r.CQ_END4res_u.cq_end_resok.session_status
                                  : r.CQ_END4res_u.session_error);
        break;
    }
    case OP_CQ_START: {
        const CQ_START4res &r = op.nfs_resop4_u.opcq_start;
        if (r.status == NFS4_OK) {
            touch(r.CQ_START4res_u.cq_start_resok.session_handle);
            touch(r.CQ_START4res_u.cq_start_resok.session_id);
            touch(r.CQ_START4res_u.cq_start_resok.session_status);
        } else {
            touch(r.CQ_START4res_u.session_error);
        }
        break;
    }
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > NFS4_REPLY_MAX_BYTES)
        return 0;
    COMPOUND4res res{};
    if (!nfs4_decode_received(reinterpret_cast<const char *>(data), static_cast<uint32_t>(size),
                              reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res), &res, sizeof res))
        return 0;
    touch(res.tag.utf8string_val, res.tag.utf8string_len);
    for (unsigned int i = 0; i < res.resarray.resarray_len; ++i)
        touch_result(res.resarray.resarray_val[i]);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res), reinterpret_cast<char *>(&res));
    return 0;
}
