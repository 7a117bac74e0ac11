// The record behind a cq_session_handle_t, and the request hash that proves
// each call of a session to the server.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t CQ_SESSION_MAGIC = 0x9a5f3c1b;

struct cq_rpc_session_t {
    uint32_t session_magic; // CQ_SESSION_MAGIC while the record is live
    char *session_hash;     // the request hash of the call in progress; null between calls
    char *session_handle;   // copy of the start reply's "session-handle"
    char *session_id;       // copy of the start reply's "session-id"
    uint32_t sequence;      // next calls made so far
};

// 64 lowercase hexadecimal characters and a NUL.
constexpr size_t CQ_REQUEST_HASH_SIZE = 65;

// Writes into `out` the SHA-256, in hexadecimal, of the text session id, "-"
// and `sequence` as 8 lowercase hexadecimal digits, the text cut to its first
// 45 characters. Returns false when the digest cannot be computed.
bool cq_request_hash(const char *session_id, uint32_t sequence, char out[CQ_REQUEST_HASH_SIZE]);
