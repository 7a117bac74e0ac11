// Change-scan RPC connections: the record behind a cq_connect_handle_t.
#pragma once

#include "cq_api.h"

#include <cstdint>

enum plugin_state : uint32_t {
    PLUGIN_INIT = 0,
    PLUGIN_CAN_MOUNT = 1,
    PLUGIN_CAN_EXEC = 2,
    PLUGIN_INVALID = 3,
};

// The connection record a cq_connect_handle_t points at.
struct synclient_session_t {
    uint64_t ps_timeout_ms; // recorded only; the RPC calls use their own time-outs
    uint64_t ps_sess_id;
    void *ps_prot_session; // nfs4_session_t, owned
    char *ps_rem_ip;       // the caller's string, not copied; not read after connect
    char *ps_local_mount;
    char *ps_rem_mount;
    synclient_session_t *ps_next;
    synclient_session_t *ps_prev;
    uint32_t ps_use;
    uint32_t ps_state; // a plugin_state
    uint32_t ps_depth;
    unsigned long ps_prognum;
    unsigned long ps_version;
    unsigned long ps_minor_version;
};

constexpr uint64_t CQ_NPS_TIMEOUT_MS = 3000;
