// Server handles: the record naming one API endpoint, its settings, and the
// life of the one connection it may hold (the stream socket in VAV style, a
// kept-alive HTTP connection otherwise).
//
// Setters return 1, or 0 with errno set and the handle as it was; the copies
// a setter needs are therefore made before anything is replaced.

#include "kr_server_internal.h"

#include "kr_startup.h"
#include "pool.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>

const shttpc_type_t kr_server_transport_map[4] = {SHTTPC_Type_Plain, SHTTPC_Type_SSL,
                                                  SHTTPC_Type_Plain, SHTTPC_Type_SSL};
const char *const kr_transport_prefix_map[4] = {"HTTP POST", "HTTP POST", "VAV", "VAV-S"};

namespace {

struct kr_server_url_t {
    const char *bracketed;
    const char *plain;
};

constexpr kr_server_url_t kr_server_url_filer = {
    "http://[%s]:%d/servlets/kovrel.servlets.admin.XMLrequest_filer",
    "http://%s:%d/servlets/kovrel.servlets.admin.XMLrequest_filer"};
constexpr kr_server_url_t kr_server_url_quarra = {
    "http://[%s]:%d/servlets/kovrel.servlets.admin.XMLrequest",
    "http://%s:%d/servlets/kovrel.servlets.admin.XMLrequest"};
constexpr kr_server_url_t kr_server_url_apis = {"http://[%s]:%d/apis/XMLrequest",
                                                "http://%s:%d/apis/XMLrequest"};
constexpr kr_server_url_t kr_server_url_zintar = {"https://[%s]:%d/apis/XMLrequest",
                                                  "https://%s:%d/apis/XMLrequest"};

// Indexed by kr_server_type_t.
constexpr std::array<kr_server_url_t, 6> kr_server_urls = {
    kr_server_url_filer,  // KR_SERVER_TYPE_STORAGE
    kr_server_url_quarra, // KR_SERVER_TYPE_QUARRA
    kr_server_url_apis,   // KR_SERVER_TYPE_HOSTAGENT
    kr_server_url_apis,   // KR_SERVER_TYPE_TOLLEN
    kr_server_url_filer,  // KR_SERVER_TYPE_CLUSTERED
    kr_server_url_zintar, // KR_SERVER_TYPE_ZINTAR
};

constexpr int kr_server_https_port = 443;

constexpr const char kr_msg_null_server[] = "server context cannot be NULL\n";
constexpr const char kr_msg_keep_alive_type[] =
    "keep alive option can only be enabled for TOLLEN or ZINTAR server type\n";
constexpr const char kr_msg_keep_alive_flag[] = "Invalid flag for keep alive enable\n";
constexpr const char kr_msg_server_cert_flag[] =
    "Invalid flag for server cert verification enable\n";
constexpr const char kr_msg_server_cert_transport[] =
    "Server certificate verification can only be enabled or disabled for HTTPS transport type.\n";
constexpr const char kr_msg_hostname_flag[] =
    "Invalid flag specified for server cert verification enable\n";
constexpr const char kr_msg_server_cert_off[] = "Server certificate verification is not enabled\n";
constexpr const char kr_msg_zintar_http[] =
    "'KR_SERVER_TYPE_ZINTAR' does not support 'KR_SERVER_TRANSPORT_HTTP'\n";
constexpr const char kr_msg_vtenant_version[] =
    "Error: ROVUDI version must be at least 1.7 to send API to a vtenant\n";
constexpr const char kr_msg_vserver_version[] =
    "Error: ROVUDI version must be at least 1.15 to send API to a vserver\n";

void kr_cert_info_free(cert_auth_info *ci) {
    if (ci == nullptr)
        return;
    for (char *text :
         {ci->cert_file, ci->key_file, ci->key_passwd, ci->ca_file, ci->ca_dir, ci->err_info})
        pool_free(pool_default(), text);
    pool_free(pool_default(), ci);
}

struct kr_cert_info_deleter {
    void operator()(cert_auth_info *ci) const { kr_cert_info_free(ci); }
};
using kr_cert_info_ptr = std::unique_ptr<cert_auth_info, kr_cert_info_deleter>;

// Zeroed settings whose host name for verification is the handle's host.
cert_auth_info *kr_cert_info_new(kr_server_t *s) {
    auto *ci = static_cast<cert_auth_info *>(pool_zalloc(pool_default(), sizeof(cert_auth_info)));
    if (ci != nullptr)
        ci->host = s->host;
    return ci;
}

// The handle's certificate settings, created when absent; null with ENOMEM.
cert_auth_info *kr_server_cert_info(kr_server_t *s) {
    if (s->cert_info == nullptr) {
        s->cert_info = kr_cert_info_new(s);
        if (s->cert_info == nullptr)
            errno = ENOMEM;
    }
    return s->cert_info;
}

void kr_server_release_cert_info(kr_server_t *s) {
    kr_cert_info_free(s->cert_info);
    s->cert_info = nullptr;
}

// Whatever connection the handle holds: a stream socket in VAV style,
// otherwise a kept-alive HTTP connection.
void kr_server_release_held(kr_server_t *s) {
    if (s->style == KR_STYLE_VAV)
        kr_server_close_stream_socket(s);
    else
        kr_server_drop_connection(s);
}

// A kept-alive connection was set up under the TLS settings in force at the
// time; after they change it must not be reused, or a caller who has just
// asked for verification (or a client certificate) would be served by a
// connection made without it.
void kr_server_tls_settings_changed(kr_server_t *s) {
    if (s->style != KR_STYLE_VAV && s->sock != nullptr)
        kr_server_drop_connection(s);
}

bool kr_server_version_at_least(const kr_server_t *s, int major, int minor) {
    return s->major > major || (s->major == major && s->minor >= minor);
}

// Replaces a string setting with a copy of `value`; ENOMEM leaves it as it was.
bool kr_server_replace(char **field, const char *value) {
    char *copy = pstrdup(pool_default(), value);
    if (copy == nullptr) {
        errno = ENOMEM;
        return false;
    }
    pool_free(pool_default(), *field);
    *field = copy;
    return true;
}

// The common shape of the plain string setters: null handle or value EINVAL,
// failed copy ENOMEM.
int kr_server_set_string(kr_server_t *s, char *kr_server_t::*field, const char *value) {
    if (s == nullptr || value == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return kr_server_replace(&(s->*field), value) ? 1 : 0;
}

// The caller-identity setters report a null value as ENOMEM, as they always
// have; the setting is then left as it was.
int kr_server_set_identity(kr_server_t *s, char *kr_server_t::*field, const char *value) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (value == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    return kr_server_replace(&(s->*field), value) ? 1 : 0;
}

// vtenant and vserver share one field; each needs its own minimum version.
int kr_server_set_vtenant_field(kr_server_t *s, const char *name, int minor, const char *message) {
    if (s == nullptr || name == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (!kr_server_version_at_least(s, 1, minor)) {
        fputs(message, stderr);
        return 0;
    }
    return kr_server_replace(&s->vtenant, name) ? 1 : 0;
}

// Getters of optional strings: a null handle gives null, errno untouched.
const char *kr_server_get_string(const kr_server_t *s, char *kr_server_t::*field) {
    return s != nullptr ? s->*field : nullptr;
}

// Releases everything the handle owns and the record itself.
void kr_server_free(kr_server_t *s) {
    if (s->sock != nullptr)
        kr_server_release_held(s);
    for (char *text : {s->host, s->username, s->password, s->ns, s->caller_app_name,
                       s->caller_intent, s->vtenant, s->raw_xml_output, s->originator_id,
                       s->target_cluster_uuid, s->target_vserver_name})
        pool_free(pool_default(), text);
    pool_free(pool_default(), s->transportarg);
    kr_server_release_cert_info(s);
    pool_free(pool_default(), s);
}

struct kr_server_deleter {
    void operator()(kr_server_t *s) const { kr_server_free(s); }
};

} // namespace

const char *kr_server_url_template(kr_server_type_t type, bool plain) {
    const auto index = static_cast<size_t>(type);
    if (index >= kr_server_urls.size())
        return nullptr;
    return plain ? kr_server_urls[index].plain : kr_server_urls[index].bracketed;
}

void kr_server_drop_connection(kr_server_t *s) {
    if (s->sock != nullptr)
        shttpc_delete(s->sock);
    s->sock = nullptr;
    s->last_time_used = 0;
}

void kr_server_close_stream_socket(kr_server_t *s) {
    if (s->sock != nullptr)
        shttpc_delete(s->sock);
    s->sock = nullptr;
}

extern "C" {

kr_server_t *kr_server_open(const char *host, int major, int minor) {
    if (host == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::unique_ptr<kr_server_t, kr_server_deleter> s(
        static_cast<kr_server_t *>(pool_zalloc(pool_default(), sizeof(kr_server_t))));
    if (s == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    s->host = pstrdup(pool_default(), host);
    s->ns = pstrdup(pool_default(), "");
    if (s->host == nullptr || s->ns == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    s->look_up_host = 1;
    s->major = major;
    s->minor = minor;
    s->style = KR_STYLE_LOGIN_PASSWORD;
    s->debugstyle = KR_NO_DEBUG;
    s->urlformat = kr_server_url_template(KR_SERVER_TYPE_STORAGE, false);
    s->transport = KR_SERVER_TRANSPORT_HTTPS;
    s->port = kr_server_https_port;
    s->servertype = KR_SERVER_TYPE_STORAGE;
    return s.release();
}

// Whatever connection is still held is released, also one that is neither a
// stream socket nor covered by keep-alive: closing must not leak a socket.
int kr_server_close(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    kr_server_free(s);
    return 1;
}

int kr_server_set_server_type(kr_server_t *s, kr_server_type_t type) {
    const char *urlformat = kr_server_url_template(type, false);
    if (s == nullptr || urlformat == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (type == KR_SERVER_TYPE_ZINTAR) {
        // The transport and port change without the transport setter's
        // checks, but a connection made to the old endpoint (perhaps in
        // plain text) must not be reused for the HTTPS one.
        if (s->sock != nullptr &&
            (s->transport != KR_SERVER_TRANSPORT_HTTPS || s->port != kr_server_https_port))
            kr_server_release_held(s);
        s->transport = KR_SERVER_TRANSPORT_HTTPS;
        s->port = kr_server_https_port;
    }
    s->servertype = type;
    s->urlformat = urlformat;
    return 1;
}

int kr_server_set_transport_type(kr_server_t *s, kr_server_transport_t transport,
                                 zfd_setopt_t *transportarg) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (s->sock != nullptr && s->style == KR_STYLE_VAV)
        kr_server_close_stream_socket(s);
    switch (transport) {
    case KR_SERVER_TRANSPORT_HTTP:
        if (s->servertype == KR_SERVER_TYPE_ZINTAR) {
            errno = EINVAL;
            fputs(kr_msg_zintar_http, stderr);
            return 0;
        }
        break;
    case KR_SERVER_TRANSPORT_HTTPS:
        if (s->timeout != 0) {
            errno = EINVAL;
            return 0;
        }
        break;
    case KR_SERVER_TRANSPORT_VAV:
    case KR_SERVER_TRANSPORT_ZSMS:
        break;
    default:
        errno = EINVAL;
        return 0;
    }
    // The copy is made before anything changes, so that running out of
    // memory leaves the handle, and its previous argument, as they were.
    pool_ptr<zfd_setopt_t> arg;
    if (transportarg != nullptr) {
        arg.reset(static_cast<zfd_setopt_t *>(pool_alloc(pool_default(), sizeof(zfd_setopt_t))));
        if (arg == nullptr) {
            errno = ENOMEM;
            return 0;
        }
        *arg = *transportarg;
    }
    if (transport == KR_SERVER_TRANSPORT_VAV || transport == KR_SERVER_TRANSPORT_ZSMS) {
        // The stream-socket transport uses a held connection as its own: a
        // kept-alive HTTP connection left here would be taken for one.
        if (s->sock != nullptr)
            kr_server_drop_connection(s);
        s->port = 0; // the caller sets the stream-socket port afterwards
        s->style = KR_STYLE_VAV;
        s->look_up_host = 0;
    } else {
        if (s->sock != nullptr && transport != s->transport)
            kr_server_drop_connection(s);
        if (transport != KR_SERVER_TRANSPORT_HTTPS)
            kr_server_release_cert_info(s);
    }
    pool_free(pool_default(), s->transportarg);
    s->transportarg = arg.release();
    s->transport = transport;
    return 1;
}

int kr_server_set_transport(kr_server_t *s, kr_server_transport_t transport,
                            zfd_setopt_t *transportarg, int port) {
    if (s == nullptr ||
        (transport != KR_SERVER_TRANSPORT_HTTP && transport != KR_SERVER_TRANSPORT_HTTPS) ||
        port < 1 || port > 65535) {
        errno = EINVAL;
        return 0;
    }
    return kr_server_set_transport_type(s, transport, transportarg) != 0 &&
                   kr_server_set_port(s, port) != 0
               ? 1
               : 0;
}

// A null handle has no transport; the default is returned with EINVAL so that
// a caller checking errno can tell.
kr_server_transport_t kr_server_get_transport_type(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return KR_SERVER_TRANSPORT_HTTPS;
    }
    return s->transport;
}

int kr_server_set_port(kr_server_t *s, int port) {
    if (s == nullptr || port < 1 || port > 65535) {
        errno = EINVAL;
        return 0;
    }
    if (port != s->port && s->sock != nullptr)
        kr_server_release_held(s);
    s->port = port;
    return 1;
}

int kr_server_get_port(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return s->port;
}

// The transports hand the time-out on in milliseconds as an int; a value
// whose thousandfold does not fit is refused rather than wrapped.
int kr_server_set_timeout(kr_server_t *s, int timeout) {
    if (s == nullptr || timeout < 0 || timeout > INT_MAX / 1000) {
        errno = EINVAL;
        return 0;
    }
    s->timeout = timeout;
    return 1;
}

int kr_server_get_timeout(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return s->timeout;
}

int kr_server_set_host_lookup(kr_server_t *s, int host_lookup_choice) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (s->style != KR_STYLE_VAV)
        return 0;
    kr_server_close_stream_socket(s);
    s->look_up_host = host_lookup_choice;
    return 1;
}

int kr_server_get_host_lookup(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return s->look_up_host;
}

int kr_server_set_keep_alive(kr_server_t *s, int enable) {
    const char *message = nullptr;
    if (s == nullptr)
        message = kr_msg_null_server;
    else if (s->servertype != KR_SERVER_TYPE_TOLLEN && s->servertype != KR_SERVER_TYPE_ZINTAR)
        message = kr_msg_keep_alive_type;
    else if (enable != 0 && enable != 1)
        message = kr_msg_keep_alive_flag;
    if (message != nullptr) {
        errno = EINVAL;
        fputs(message, stderr);
        return 0;
    }
    if (enable == 0 && s->sock != nullptr && s->style != KR_STYLE_VAV)
        kr_server_drop_connection(s);
    s->keep_alive = enable;
    return 1;
}

int kr_server_get_keep_alive(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        fputs(kr_msg_null_server, stderr);
        return 0;
    }
    return s->keep_alive;
}

void kr_server_set_style(kr_server_t *s, kr_style_t style) {
    if (s == nullptr) {
        errno = EINVAL;
        return;
    }
    // Made first: running out of memory leaves the handle as it was.
    kr_cert_info_ptr fresh;
    if (style == KR_STYLE_CERTIFICATE && s->cert_info == nullptr) {
        fresh.reset(kr_cert_info_new(s));
        if (fresh == nullptr) {
            errno = ENOMEM;
            return;
        }
    }
    // A held stream socket always goes. A kept-alive HTTP connection goes
    // whenever the style changes: it was set up for the old style's
    // authentication (or local port), and the stream-socket transport would
    // take it for its own socket.
    if (s->sock != nullptr && (s->style == KR_STYLE_VAV || style != s->style))
        kr_server_release_held(s);
    switch (style) {
    case KR_STYLE_VAV:
        kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_VAV, nullptr);
        return;
    case KR_STYLE_CERTIFICATE: {
        // The outcome is not looked at: with a time-out set the transport
        // stays as it was, and errno tells the caller.
        kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_HTTPS, nullptr);
        if (s->cert_info == nullptr)
            s->cert_info = fresh.release();
        cert_auth_info *ci = s->cert_info;
        if (!ci->need_client_auth || !ci->need_server_auth || !ci->need_hostname_verification)
            kr_server_tls_settings_changed(s);
        ci->need_client_auth = 1;
        ci->need_server_auth = 1;
        ci->need_hostname_verification = 1;
        break;
    }
    default:
        // Values above KR_STYLE_CERTIFICATE are kept; the invocation rejects them.
        kr_server_release_cert_info(s);
        break;
    }
    s->style = style;
}

// A null handle has no style; the default is returned with EINVAL.
kr_style_t kr_server_get_style(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return KR_STYLE_LOGIN_PASSWORD;
    }
    return s->style;
}

int kr_server_set_admin_user(kr_server_t *s, const char *username, const char *password) {
    if (s == nullptr || username == nullptr || password == nullptr) {
        errno = EINVAL;
        return 0;
    }
    // An empty string means "no credentials": no Authorization is sent.
    pool_ptr<char> user(username[0] != '\0' ? pstrdup(pool_default(), username) : nullptr);
    pool_ptr<char> pass(password[0] != '\0' ? pstrdup(pool_default(), password) : nullptr);
    if ((username[0] != '\0' && user == nullptr) || (password[0] != '\0' && pass == nullptr)) {
        errno = ENOMEM;
        return 0;
    }
    pool_free(pool_default(), s->username);
    pool_free(pool_default(), s->password);
    s->username = user.release();
    s->password = pass.release();
    return 1;
}

int kr_server_set_client_cert_and_key(kr_server_t *s, const char *cert_file, const char *key_file,
                                      const char *key_passwd) {
    if (s == nullptr || cert_file == nullptr) {
        errno = EINVAL;
        return 0;
    }
    pool_ptr<char> cert(pstrdup(pool_default(), cert_file));
    pool_ptr<char> key(pstrdup(pool_default(), key_file != nullptr ? key_file : cert_file));
    pool_ptr<char> passwd(pstrdup(pool_default(), key_passwd != nullptr ? key_passwd : ""));
    if (cert == nullptr || key == nullptr || passwd == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    cert_auth_info *ci = kr_server_cert_info(s);
    if (ci == nullptr)
        return 0;
    pool_free(pool_default(), ci->cert_file);
    pool_free(pool_default(), ci->key_file);
    pool_free(pool_default(), ci->key_passwd);
    ci->cert_file = cert.release();
    ci->key_file = key.release();
    ci->key_passwd = passwd.release();
    kr_server_tls_settings_changed(s);
    return 1;
}

int kr_server_set_server_cert_verification(kr_server_t *s, int enable) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (enable != 0 && enable != 1) {
        errno = EINVAL;
        fputs(kr_msg_server_cert_flag, stderr);
        return 0;
    }
    if (s->transport != KR_SERVER_TRANSPORT_HTTPS) {
        errno = EINVAL;
        fputs(kr_msg_server_cert_transport, stderr);
        return 0;
    }
    if (enable == 0 && s->cert_info == nullptr)
        return 1;
    cert_auth_info *ci = kr_server_cert_info(s);
    if (ci == nullptr)
        return 0;
    if (ci->need_server_auth != enable || ci->need_hostname_verification != enable)
        kr_server_tls_settings_changed(s);
    ci->need_server_auth = enable;
    ci->need_hostname_verification = enable;
    return 1;
}

int kr_server_is_server_cert_verification_enabled(const kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return s->cert_info != nullptr ? s->cert_info->need_server_auth : 0;
}

int kr_server_set_ca_certs(kr_server_t *s, const char *CAfile) {
    if (s == nullptr || CAfile == nullptr) {
        errno = EINVAL;
        return 0;
    }
    pool_ptr<char> ca(pstrdup(pool_default(), CAfile));
    if (ca == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    cert_auth_info *ci = kr_server_cert_info(s);
    if (ci == nullptr)
        return 0;
    pool_free(pool_default(), ci->ca_file);
    pool_free(pool_default(), ci->ca_dir);
    ci->ca_dir = nullptr;
    ci->ca_file = ca.release();
    kr_server_tls_settings_changed(s);
    return 1;
}

int kr_server_set_hostname_verification(kr_server_t *s, int enable) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (enable != 0 && enable != 1) {
        errno = EINVAL;
        fputs(kr_msg_hostname_flag, stderr);
        return 0;
    }
    if (!kr_server_is_server_cert_verification_enabled(s)) {
        errno = EINVAL;
        fputs(kr_msg_server_cert_off, stderr);
        return 0;
    }
    if (s->cert_info->need_hostname_verification != enable)
        kr_server_tls_settings_changed(s);
    s->cert_info->need_hostname_verification = enable;
    return 1;
}

int kr_server_is_hostname_verification_enabled(const kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return s->cert_info != nullptr ? s->cert_info->need_hostname_verification : 0;
}

int kr_server_set_sslv3(kr_server_t *s, int enable) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (s->use_sslv3 != enable)
        kr_server_tls_settings_changed(s);
    s->use_sslv3 = enable;
    return 1;
}

int kr_server_is_sslv3_enabled(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return s->use_sslv3;
}

int kr_server_namespace(kr_server_t *s, const char *ns) {
    return kr_server_set_string(s, &kr_server_t::ns, ns);
}

int kr_server_set_vtenant(kr_server_t *s, const char *name) {
    return kr_server_set_vtenant_field(s, name, 7, kr_msg_vtenant_version);
}

int kr_server_set_vserver(kr_server_t *s, const char *vserver) {
    return kr_server_set_vtenant_field(s, vserver, 15, kr_msg_vserver_version);
}

const char *kr_server_get_vserver(kr_server_t *s) {
    return kr_server_get_string(s, &kr_server_t::vtenant);
}

int kr_server_set_originator_id(kr_server_t *s, const char *oid) {
    return kr_server_set_string(s, &kr_server_t::originator_id, oid);
}

const char *kr_server_get_originator_id(kr_server_t *s) {
    return kr_server_get_string(s, &kr_server_t::originator_id);
}

int kr_server_set_target_cluster_uuid(kr_server_t *s, const char *uuid) {
    return kr_server_set_string(s, &kr_server_t::target_cluster_uuid, uuid);
}

const char *kr_server_get_target_cluster_uuid(kr_server_t *s) {
    return kr_server_get_string(s, &kr_server_t::target_cluster_uuid);
}

int kr_server_set_target_vserver_name(kr_server_t *s, const char *vserver_name) {
    if (s != nullptr && s->vtenant == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return kr_server_set_string(s, &kr_server_t::target_vserver_name, vserver_name);
}

const char *kr_server_get_target_vserver_name(kr_server_t *s) {
    return kr_server_get_string(s, &kr_server_t::target_vserver_name);
}

int kr_server_set_caller_app_name(kr_server_t *s, const char *name) {
    return kr_server_set_identity(s, &kr_server_t::caller_app_name, name);
}

int kr_server_set_caller_intent(kr_server_t *s, const char *caller_intent) {
    return kr_server_set_identity(s, &kr_server_t::caller_intent, caller_intent);
}

int kr_server_set_application_name(const char *app_name) {
    if (app_name == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return kr_server_replace(&krsdk_app_name, app_name) ? 1 : 0;
}

const char *kr_server_get_application_name(void) {
    return krsdk_app_name;
}

void kr_server_set_debugstyle(kr_server_t *s, kr_debug_style_t style) {
    if (s == nullptr) {
        errno = EINVAL;
        return;
    }
    s->debugstyle = style;
}

// A null handle has no debug style; the default is returned with EINVAL.
kr_debug_style_t kr_server_get_debugstyle(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return KR_NO_DEBUG;
    }
    return s->debugstyle;
}

// A failed copy sets ENOMEM and keeps the text captured before.
void kr_server_set_raw_xml_output(kr_server_t *s, char *xml) {
    if (s == nullptr || xml == nullptr) {
        errno = EINVAL;
        return;
    }
    kr_server_replace(&s->raw_xml_output, xml);
}

const char *kr_server_get_raw_xml_output(kr_server_t *s) {
    if (s == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return s->raw_xml_output;
}

} // extern "C"
