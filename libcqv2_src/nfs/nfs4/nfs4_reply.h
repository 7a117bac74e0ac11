// Decoding replies from the bytes actually received.
//
// The XDR decoder allocates an array's count times its item size before it
// reads a single item, and an opaque's length before its bytes, so a count
// from a hostile or broken reply would otherwise decide how much the library
// allocates. Replies are therefore first read whole and then decoded from
// memory, where every array and opaque without a protocol bound is limited
// to what the remaining bytes can hold (nfs4_reply_bound, used by the
// generated routines).
#pragma once

#include <rpc/rpc.h>

#include <cstdint>

// The largest reply record accepted; a larger one fails to decode.
constexpr uint32_t NFS4_REPLY_MAX_BYTES = 256u << 20;

// Decodes `len` bytes at `buf` with `proc` into `obj`, which must be zeroed.
// On failure everything decoded so far is released and `obj` is zeroed
// again (`obj_size` bytes), so a caller never frees a half-decoded record.
bool nfs4_decode_received(const char *buf, uint32_t len, xdrproc_t proc, void *obj,
                          size_t obj_size);

// As xdr_COMPOUND4res, but a decode reads the rest of the reply record from
// the stream first and decodes it through nfs4_decode_received. Encoding and
// freeing are plain xdr_COMPOUND4res. This is the result routine of the
// COMPOUND call.
struct COMPOUND4res;
extern "C" bool_t xdr_COMPOUND4res_received(XDR *xdrs, COMPOUND4res *res);
