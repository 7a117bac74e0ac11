#include "nfs4_reply.h"

#include "nfs4_prot.h"
#include "pool.h"

#include <climits>
#include <cstring>

namespace {

// The memory stream being decoded by nfs4_decode_received on this thread,
// and its length. Decoding is synchronous, so a thread has at most one.
struct received_stream {
    XDR *rs_xdrs;
    uint32_t rs_len;
};
thread_local received_stream current = {nullptr, 0};

struct current_stream_scope {
    current_stream_scope(XDR *xdrs, uint32_t len) { current = {xdrs, len}; }
    ~current_stream_scope() { current = {nullptr, 0}; }
};

// Reads what is left of the current reply record. Whole fragments that are
// already buffered are taken in large pieces, the rest four bytes at a time
// (XDR items are multiples of four bytes; a shorter tail cannot be part of a
// valid reply). Returns null when the record exceeds the limit or memory
// runs out.
char *read_rest_of_record(XDR *xdrs, uint32_t *len) {
    constexpr uint32_t PIECE = 4096;
    uint32_t capacity = PIECE;
    uint32_t used = 0;
    pool_ptr<char> buf(static_cast<char *>(pool_alloc(pool_default(), capacity)));
    if (buf == nullptr)
        return nullptr;
    for (;;) {
        if (capacity - used < PIECE) {
            if (capacity >= NFS4_REPLY_MAX_BYTES)
                return nullptr;
            capacity *= 2;
            char *grown = static_cast<char *>(pool_realloc(pool_default(), buf.get(), capacity));
            if (grown == nullptr)
                return nullptr;
            static_cast<void>(buf.release());
            buf.reset(grown);
        }
        if (const int32_t *inline_piece = XDR_INLINE(xdrs, PIECE); inline_piece != nullptr) {
            std::memcpy(buf.get() + used, inline_piece, PIECE);
            used += PIECE;
        } else if (XDR_GETBYTES(xdrs, buf.get() + used, 4)) {
            used += 4;
        } else {
            break;
        }
    }
    *len = used;
    return buf.release();
}

} // namespace

extern "C" u_int nfs4_reply_bound(XDR *xdrs, u_int item_wire_bytes) {
    if (xdrs->x_op != XDR_DECODE)
        return UINT_MAX;
    // Only a stream whose length is known can be decoded: anything else would
    // let the count in the data decide the allocation.
    if (xdrs != current.rs_xdrs)
        return 0;
    const u_int pos = XDR_GETPOS(xdrs);
    const u_int remaining = pos <= current.rs_len ? current.rs_len - pos : 0;
    return remaining / item_wire_bytes;
}

bool nfs4_decode_received(const char *buf, uint32_t len, xdrproc_t proc, void *obj,
                          size_t obj_size) {
    XDR mem;
    // The memory stream only reads when decoding; the cast is what its
    // interface asks for.
    xdrmem_create(&mem, const_cast<char *>(buf), len, XDR_DECODE);
    bool ok;
    {
        current_stream_scope scope(&mem, len);
        ok = proc(&mem, obj) != 0;
    }
    XDR_DESTROY(&mem);
    if (!ok) {
        xdr_free(proc, static_cast<char *>(obj));
        std::memset(obj, 0, obj_size);
    }
    return ok;
}

extern "C" bool_t xdr_COMPOUND4res_received(XDR *xdrs, COMPOUND4res *res) {
    if (xdrs->x_op != XDR_DECODE)
        return xdr_COMPOUND4res(xdrs, res);
    uint32_t len = 0;
    pool_ptr<char> received(read_rest_of_record(xdrs, &len));
    if (received == nullptr)
        return FALSE;
    return nfs4_decode_received(received.get(), len, reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res),
                                res, sizeof *res)
               ? TRUE
               : FALSE;
}
