// What the transports need from the server-handle module: the per-type URL
// templates, the per-transport tables and the release of a held connection.
#pragma once

#include "kovrel.h"
#include "shttpc.h"

// Connection type handed to the socket layer, indexed by the transport value:
// plain for HTTP and VAV, TLS for HTTPS and ZSMS.
extern const shttpc_type_t kr_server_transport_map[4];
// Prefix of transport error texts, indexed by the transport value.
extern const char *const kr_transport_prefix_map[4];

// URL template of a server type with the host as %s and the port as %d: the
// bracketed form (stored at open and by kr_server_set_server_type) or, with
// `plain`, the form for an IPv4 address. Null for a value outside the type
// enumeration.
const char *kr_server_url_template(kr_server_type_t type, bool plain);

// Drops the kept-alive HTTP connection: deletes it (when one is held), clears
// sock and last_time_used.
void kr_server_drop_connection(kr_server_t *s);
// Closes a held stream socket (VAV style) and clears sock; nothing when none
// is held.
void kr_server_close_stream_socket(kr_server_t *s);
