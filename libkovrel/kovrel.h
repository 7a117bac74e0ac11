/*
 * libkovrel: client library for the storage systems' XML API.
 *
 * The caller builds a request as a tree of named elements (kr_elem_t), opens
 * a server handle, invokes the request and reads the results element that
 * comes back. Every block the library hands to the caller is released with
 * kr_free (or, for trees, kr_elem_free).
 *
 * This header compiles as C11 and as C++.
 */
#ifndef KOVREL_KOVREL_H
#define KOVREL_KOVREL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The enumerations hold whatever int a C caller stores (a value outside the
 * list is rejected by the call that reads it); in C++ they get int as their
 * fixed base so that such values stay defined. */
#ifdef __cplusplus
#define KOVREL_ENUM_BASE : int
#else
#define KOVREL_ENUM_BASE
#endif

/* A C boolean: 0 is false, anything else true. */
typedef int32_t bool_t;

/* String table from case-insensitive keys to text values (opaque). */
typedef struct _hashstruct *stab_t;

/* Transport of a server handle; also selects the prefix of transport error
 * messages (kr_error_string). */
typedef enum kr_server_transport_t KOVREL_ENUM_BASE {
    KR_SERVER_TRANSPORT_HTTP = 0,
    KR_SERVER_TRANSPORT_HTTPS = 1,
    KR_SERVER_TRANSPORT_VAV = 2,
    KR_SERVER_TRANSPORT_ZSMS = 3
} kr_server_transport_t;

/* A connection of the secure-socket layer (opaque). */
typedef struct shttpc_s *shttpc_t;

/* Authentication style of a server handle; it also chooses the transport. */
typedef enum kr_style_t KOVREL_ENUM_BASE {
    KR_STYLE_LOGIN_PASSWORD = 0, /* HTTP Basic authentication */
    KR_STYLE_RPC = 1,            /* not available on this platform */
    KR_STYLE_HOSTSEQUIV = 2,     /* HTTP from a reserved local port */
    KR_STYLE_VAV = 3,            /* stream-socket protocol */
    KR_STYLE_CERTIFICATE = 4     /* HTTPS with a client certificate */
} kr_style_t;

/* Kind of server a handle talks to. */
typedef enum kr_server_type_t KOVREL_ENUM_BASE {
    KR_SERVER_TYPE_STORAGE = 0,
    KR_SERVER_TYPE_QUARRA = 1,
    KR_SERVER_TYPE_HOSTAGENT = 2,
    KR_SERVER_TYPE_TOLLEN = 3,
    KR_SERVER_TYPE_CLUSTERED = 4,
    KR_SERVER_TYPE_ZINTAR = 5
} kr_server_type_t;

/* What an invocation does with the request and the reply. */
typedef enum kr_debug_style_t KOVREL_ENUM_BASE {
    KR_NO_DEBUG = 0,             /* normal operation */
    KR_PRINT_DONT_PARSE = 1,     /* print request and reply, do not parse */
    KR_DONT_PRINT_DONT_PARSE = 2 /* consume the reply unprinted and unparsed */
} kr_debug_style_t;

/* A caller's transport argument: a TLS method and a TLS context. The handle
 * keeps a copy of the two pointers; no transport reads them. */
typedef struct zfd_setopt_t {
    const void *ssl_method;
    void *ssl_ctx;
} zfd_setopt_t;

/* Certificate settings of a server handle (read by the secure-connection
 * layer). Strings are owned by the handle, except host (borrowed from the
 * handle's host) and err_info (left by a failed connect for the caller). */
typedef struct cert_auth_info {
    bool_t need_client_auth;           /* present the client certificate and key */
    bool_t need_server_auth;           /* verify the server's certificate chain */
    bool_t need_hostname_verification; /* also compare the certificate's name with host */
    char *host;                        /* name used for host-name verification */
    char *cert_file;                   /* client certificate chain file (PEM) */
    char *key_file;                    /* private key file (PEM) */
    char *key_passwd;                  /* pass phrase of the key */
    char *ca_file;                     /* file of trusted CA certificates */
    char *ca_dir;                      /* directory of trusted CA certificates */
    char *err_info;                    /* out: text of the last certificate failure */
} cert_auth_info;

/* ------------------------------------------------------------------------
 * Library start-up and server handles
 * ------------------------------------------------------------------------ */

/* One remote API endpoint and everything an invocation needs. Read it with
 * the getters; change it only with the setters. */
typedef struct kr_server_t {
    char *host;
    int look_up_host;
    int major;
    int minor;
    kr_style_t style;
    kr_debug_style_t debugstyle;
    int printinput;
    char *username;
    char *password;
    int ntlm;
    const char *urlformat;
    kr_server_transport_t transport;
    zfd_setopt_t *transportarg;
    int port;
    char *ns;
    void *userdata;
    kr_server_type_t servertype;
    int timeout;
    shttpc_t sock;
    char *vtenant;
    char *raw_xml_output;
    char *caller_app_name;
    char *caller_intent;
    char *originator_id;
    char *target_cluster_uuid;
    char *target_vserver_name;
    bool_t keep_alive;
    uint64_t last_time_used;
    cert_auth_info *cert_info;
    bool_t use_sslv3;
} kr_server_t;

int kr_startup(char *errbuff, int errbuffsize);
int kr_startup_without_kovradmin(char *errbuff, int errbuffsize);
int kr_is_started(void);
void kr_shutdown(void);

kr_server_t *kr_server_open(const char *host, int major, int minor);
int kr_server_close(kr_server_t *s);

int kr_server_set_server_type(kr_server_t *s, kr_server_type_t type);
int kr_server_set_transport_type(kr_server_t *s, kr_server_transport_t transport,
                                 zfd_setopt_t *transportarg);
int kr_server_set_transport(kr_server_t *s, kr_server_transport_t transport,
                            zfd_setopt_t *transportarg, int port);
kr_server_transport_t kr_server_get_transport_type(kr_server_t *s);
int kr_server_set_port(kr_server_t *s, int port);
int kr_server_get_port(kr_server_t *s);
int kr_server_set_timeout(kr_server_t *s, int timeout);
int kr_server_get_timeout(kr_server_t *s);
int kr_server_set_host_lookup(kr_server_t *s, int host_lookup_choice);
int kr_server_get_host_lookup(kr_server_t *s);
int kr_server_set_keep_alive(kr_server_t *s, int enable);
int kr_server_get_keep_alive(kr_server_t *s);

void kr_server_set_style(kr_server_t *s, kr_style_t style);
kr_style_t kr_server_get_style(kr_server_t *s);
int kr_server_set_admin_user(kr_server_t *s, const char *username, const char *password);
int kr_server_set_client_cert_and_key(kr_server_t *s, const char *cert_file, const char *key_file,
                                      const char *key_passwd);
int kr_server_set_server_cert_verification(kr_server_t *s, int enable);
int kr_server_is_server_cert_verification_enabled(const kr_server_t *s);
int kr_server_set_ca_certs(kr_server_t *s, const char *CAfile);
int kr_server_set_hostname_verification(kr_server_t *s, int enable);
int kr_server_is_hostname_verification_enabled(const kr_server_t *s);
int kr_server_set_sslv3(kr_server_t *s, int enable);
int kr_server_is_sslv3_enabled(kr_server_t *s);

int kr_server_namespace(kr_server_t *s, const char *ns);
int kr_server_set_vtenant(kr_server_t *s, const char *name);
int kr_server_set_vserver(kr_server_t *s, const char *vserver);
const char *kr_server_get_vserver(kr_server_t *s);
int kr_server_set_originator_id(kr_server_t *s, const char *oid);
const char *kr_server_get_originator_id(kr_server_t *s);
int kr_server_set_target_cluster_uuid(kr_server_t *s, const char *uuid);
const char *kr_server_get_target_cluster_uuid(kr_server_t *s);
int kr_server_set_target_vserver_name(kr_server_t *s, const char *vserver_name);
const char *kr_server_get_target_vserver_name(kr_server_t *s);
int kr_server_set_caller_app_name(kr_server_t *s, const char *name);
int kr_server_set_caller_intent(kr_server_t *s, const char *caller_intent);
int kr_server_set_application_name(const char *app_name);
const char *kr_server_get_application_name(void);

void kr_server_set_debugstyle(kr_server_t *s, kr_debug_style_t style);
kr_debug_style_t kr_server_get_debugstyle(kr_server_t *s);
void kr_server_set_raw_xml_output(kr_server_t *s, char *xml);
const char *kr_server_get_raw_xml_output(kr_server_t *s);

/* ------------------------------------------------------------------------
 * Element trees
 *
 * Failing calls set errno (EINVAL for a null required argument, ENOMEM when
 * memory runs out) and return null or 0; succeeding calls leave errno alone.
 * Freeing an element frees its whole subtree. Strings returned by the getters
 * belong to the element.
 * ------------------------------------------------------------------------ */

/* One element of a request or reply tree. */
typedef struct kr_elem_t {
    const char *name;            /* owned, unless name_is_const */
    stab_t attr;                 /* attributes; null until the first is set */
    const char *contents;        /* text contents; null when never set */
    struct kr_elem_t *children;  /* first child, or null */
    struct kr_elem_t *lastchild; /* last child, or null */
    struct kr_elem_t *next;      /* next sibling, or null */
    bool_t name_is_const;        /* name points at caller storage */
} kr_elem_t;

/* Iterator over an element's children, returned by value. */
typedef struct kr_elem_iter_t {
    kr_elem_t *next;
} kr_elem_iter_t;

kr_elem_t *kr_elem_new(const char *name);
/* Keeps the caller's name pointer, which must outlive the element. */
kr_elem_t *kr_elem_new_const_name(const char *name);
void kr_elem_free(kr_elem_t *n);
const char *kr_elem_get_name(kr_elem_t *e);
const char *kr_elem_get_content(kr_elem_t *e);
int kr_elem_set_content(kr_elem_t *e, const char *value);
int kr_attr_set(kr_elem_t *e, const char *name, const char *value);
const char *kr_attr_get(kr_elem_t *e, const char *name);
kr_elem_t *kr_child_add(kr_elem_t *t, kr_elem_t *c);
kr_elem_t *kr_elem_child(kr_elem_t *e, const char *name);
int kr_elem_has_children(kr_elem_t *e);
kr_elem_iter_t kr_child_iterator(kr_elem_t *n);
kr_elem_t *kr_iterator_next(kr_elem_iter_t *i);
void kr_child_detach(kr_elem_t *parent, kr_elem_t *todetach);
void kr_child_reattach_all(kr_elem_t *parent, kr_elem_t *new_parent);

/* Releases a block the library handed to the caller; null is ignored. */
void kr_free(const void *ptr);

/* Request context of a server-side API dispatcher, and the part of the
 * dispatcher that kr_qapi_log needs: its logger callback and the flags it
 * wants to hear about. */
typedef void (*qapi_logger_t)(void *logger_arg, int flag, const char *message);
typedef struct qapi_server_t {
    qapi_logger_t logger; /* null: nothing is logged */
    void *logger_arg;     /* passed to the logger */
    int logger_flags;     /* a message is passed on when its flag shares a bit */
} qapi_server_t;
typedef struct qapi_t {
    qapi_server_t *server;
    char *username;
    char *appname;
    char *api_intent;
} qapi_t;

qapi_t *kr_apicontext_new(qapi_server_t *server, const char *username);
void kr_apicontext_free(qapi_t *n);
void kr_qapi_log(qapi_t *context, int flag, const char *message);

/* ------------------------------------------------------------------------
 * Typed child values: a child whose contents hold one value.
 * ------------------------------------------------------------------------ */

kr_elem_t *kr_child_add_string(kr_elem_t *parent, const char *name, const char *value);
kr_elem_t *kr_child_add_bool(kr_elem_t *parent, const char *name, bool_t value);
kr_elem_t *kr_child_add_int(kr_elem_t *parent, const char *name, int value);
kr_elem_t *kr_child_add_uint32(kr_elem_t *parent, const char *name, uint32_t value);
kr_elem_t *kr_child_add_int64(kr_elem_t *parent, const char *name, int64_t value);
kr_elem_t *kr_child_add_uint64(kr_elem_t *parent, const char *name, uint64_t value);
/* The const twins keep the caller's name pointer. */
kr_elem_t *kr_child_const_add_string(kr_elem_t *parent, const char *name, const char *value);
kr_elem_t *kr_child_const_add_bool(kr_elem_t *parent, const char *name, bool_t value);
kr_elem_t *kr_child_const_add_int(kr_elem_t *parent, const char *name, int value);
kr_elem_t *kr_child_const_add_uint32(kr_elem_t *parent, const char *name, uint32_t value);
kr_elem_t *kr_child_const_add_int64(kr_elem_t *parent, const char *name, int64_t value);
kr_elem_t *kr_child_const_add_uint64(kr_elem_t *parent, const char *name, uint64_t value);

const char *kr_child_get_string(kr_elem_t *parent, const char *name);
int kr_child_get_int(kr_elem_t *parent, const char *name, int deflt);
uint32_t kr_child_get_uint32(kr_elem_t *parent, const char *name, uint32_t deflt);
int64_t kr_child_get_int64(kr_elem_t *parent, const char *name, int64_t deflt);
uint64_t kr_child_get_uint64(kr_elem_t *parent, const char *name, uint64_t deflt);
bool_t kr_child_get_bool(kr_elem_t *parent, const char *name, bool_t deflt);
/* 1 for "true", "1", "t"; 0 for "false", "0", "f" (any case); else -1. */
int kr_validate_bool(const char *value_str);

/* ------------------------------------------------------------------------
 * Encrypted string values (RC4 under a 16-character key, as hexadecimal text)
 * ------------------------------------------------------------------------ */

typedef struct kr_rc4_context_t {
    unsigned char state[256];
    unsigned char x;
    unsigned char y;
} kr_rc4_context_t;

/* The key used whenever the caller passes none. */
extern const char kr_default_key[17];
/* "0123456789abcdef" */
extern const char *kr_hexchars;

/* RC4 of nbytes of input into output; the same call decrypts. */
void kr_encrypt_basic(const char *key, const char *input, char *output, size_t nbytes);
kr_elem_t *kr_child_add_string_encrypted(kr_elem_t *n, const char *name, const char *contents,
                                         const char *key);
/* A new string, released with kr_free. */
char *kr_child_get_string_encrypted(kr_elem_t *n, const char *name, const char *key);

/* ------------------------------------------------------------------------
 * XML text
 * ------------------------------------------------------------------------ */

/* Output function of the encoder: called with successive pieces of text;
 * returns non-zero to go on, 0 to stop. */
typedef int (*kr_elem_output_t)(const char *s, void *a);
/* Encoder called for each child (kr_elem_encode_cb has this shape). */
typedef int (*kr_elem_encoder_t)(kr_elem_t *e, int indent, const char *ns, kr_elem_output_t cb,
                                 void *a, bool_t encode_special_char);

/* Argument of the string-building output function. */
typedef struct kr_sprint_data_t {
    char **strp;           /* the heap string being built */
    size_t *sizep;         /* characters written so far */
    size_t *initial_sizep; /* allocated capacity */
} kr_sprint_data_t;

/* indent >= 0: indented output (8 more spaces per level); negative: compact.
 * ns: prefix written before every element and attribute name ("" for none). */
int kr_elem_encode_cb_common(kr_elem_t *e, int indent, const char *ns, kr_elem_output_t cb, void *a,
                             bool_t encode_special_char, kr_elem_encoder_t ecb);
int kr_elem_encode_cb(kr_elem_t *e, int indent, const char *ns, kr_elem_output_t cb, void *a,
                      bool_t encode_special_char);
/* New strings, released with kr_free. */
char *kr_elem_encode(kr_elem_t *e, int indent, const char *ns);
char *kr_elem_sprintf(kr_elem_t *e);
int kr_elem_sprintf_compact(char **strp, size_t *sizep, kr_elem_t *e);
int kr_elem_printf_pretty(FILE *f, kr_elem_t *e);
int kr_elem_printf_stdout(kr_elem_t *e);
char *xml_encode(const char *xml);
char *xml_encode_lf(const char *xml, int encode_lf);
char *xml_decode(const char *xml);

/* ------------------------------------------------------------------------
 * Results elements and error codes
 * ------------------------------------------------------------------------ */

int kr_results_status(kr_elem_t *e);
int kr_results_errno(kr_elem_t *e);
const char *kr_results_reason(kr_elem_t *e);
kr_elem_t *kr_results_new(const char *status, const char *reason, int eno);
void kr_results_set_failed(kr_elem_t *o, int err, const char *reason);
void kr_results_set_failed_encode_lf(kr_elem_t *o, int err, const char *reason);
void kr_error_string(ssize_t code, kr_server_transport_t transport_type, int extra_int_value,
                     char *buff, int buffsz);
int kr_transport_errcode_to_api_errcode(ssize_t code);

/* ------------------------------------------------------------------------
 * Reading XML text into elements
 * ------------------------------------------------------------------------ */

/* One open element of a reader's stack; after a parse the root is in the
 * first entry. */
typedef struct kr_elem_stack_t {
    kr_elem_t *elem;
    char *pcdata;
    size_t pcdata_len;
} kr_elem_stack_t;

/* Context of the general reader. */
typedef struct kr_xml_ctx_t {
    char *parse_error;
    char *pcdata;
    size_t pcdata_len;
    kr_elem_stack_t *elemStack;
    int elemStacksize;
    int elemDepth;
    int include_cdata;
    struct _xmlParserCtxt *parserCtxt;
} kr_xml_ctx_t;

/* State of the string read function. */
typedef struct kr_xml_string_context_t {
    char *buff;
    int sofar;
    int left;
} kr_xml_string_context_t;

/* Read function: fills buff with up to buffsize bytes; 0 at the end,
 * negative on error. */
typedef int (*kr_reader_t)(void *context, char *buff, int buffsize);

/* The general reader's SAX handler table (a libxml2 xmlSAXHandler). */
extern struct _xmlSAXHandler kr_xml_sax_handler;
/* Debug flag: non-zero traces the readers (and the transports). */
extern int kr_xml_debug;

kr_xml_ctx_t *kr_xml_create(void);
void kr_xml_read_and_parse(kr_xml_ctx_t *r, int len, kr_reader_t reader, void *reader_context);
void kr_xml_release(kr_xml_ctx_t *ctx);
void kr_xml_global_init(void);
void kr_xml_global_free(void);
kr_xml_string_context_t *kr_xml_string_context_new(const char *s);
void kr_xml_string_context_free(kr_xml_string_context_t *c);
int kr_xml_string_reader(void *context, char *buff, int buffsize);
/* Parses an XML text into a tree owned by the caller; null with EINVAL when
 * the text does not parse or holds no element. */
kr_elem_t *kr_qapi_get_elem_from_raw_xmlinput(char *val);

/* ------------------------------------------------------------------------
 * Invoking an API
 *
 * Once the arguments are accepted, every outcome is a results element that
 * the caller frees with kr_elem_free; null only with errno EINVAL.
 * ------------------------------------------------------------------------ */

/* api, then name/value string pairs, ended by a null name. */
kr_elem_t *kr_server_invoke(kr_server_t *s, const char *api, ...);
kr_elem_t *kr_server_invoke_elem(kr_server_t *s, kr_elem_t *i);
kr_elem_t *kr_qapi_get_result(kr_elem_stack_t *elemStack);

/* The stream-socket protocol's building blocks. */
int kr_vav_socket_open(const char *usernameP, const char *userpassP, const char *host,
                       int look_up_host, kr_server_transport_t transport_type, int port,
                       int timeout, shttpc_t *new_socketP);
ssize_t kr_vav_send_request(shttpc_t dst_socket, const char *usernameP, const char *userpassP,
                            const void *QAPI_payloadP, size_t QAPI_payload_len,
                            int *reply_content_lenP);
void kr_vav_socket_close(shttpc_t doomed_socket);

#ifdef __cplusplus
}
#endif

#endif /* KOVREL_KOVREL_H */
