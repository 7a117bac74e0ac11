/*
 * libkovrel change-scan sessions: list the files created, modified and
 * deleted between two snapshots of a volume.
 *
 * Calling order: cq_rpc_connect, cq_rpc_start, cq_rpc_next until the
 * end-of-difference flag is set (cq_rpc_status at any time), cq_rpc_end,
 * cq_rpc_disconnect. Every response is released with cq_rpc_free_resp.
 *
 * This header compiles as C11 and as C++.
 */
#ifndef KOVREL_CQ_API_H
#define KOVREL_CQ_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A C boolean, as in kovrel.h (C11 and C++ accept the repeated typedef). */
typedef int32_t bool_t;

/* An open RPC connection to the storage system's data address (opaque). */
typedef void *cq_connect_handle_t;

/*
 * Opens an RPC connection to the data address `svm_data_ip` (host name or
 * numeric IPv4/IPv6 address), TCP port 2049. `*cq_connect` is set to null
 * first and receives the handle on success. Returns 0; 11 on a temporary
 * name-resolution failure; 12 when out of memory; 22 for a null argument or
 * an unresolvable name; a system error number when the TCP connect fails;
 * 71 when the RPC client or its credentials cannot be made; an RPC status
 * shifted left by 16 bits when the server does not answer the NULL call
 * (for example 327680 time-out, 524288 program unavailable, 589824 version
 * mismatch).
 */
uint32_t cq_rpc_connect(char *svm_data_ip, cq_connect_handle_t *cq_connect);

/*
 * Closes the connection and sets `*cq_connect` to null. Returns 0, or 22 when
 * the handle variable is null (nothing else is done).
 */
uint32_t cq_rpc_disconnect(cq_connect_handle_t *cq_connect);

/* A C++ caller may hold any 32-bit code in a status field (responses carry
 * system and RPC error numbers there too), so the enumerations get a fixed
 * underlying type in C++; kovrel.h defines the same macro. */
#ifndef KOVREL_ENUM_BASE
#ifdef __cplusplus
#define KOVREL_ENUM_BASE : int
#else
#define KOVREL_ENUM_BASE
#endif
#endif

/* Status codes of the change-scan protocol: the NFSv4.0 and NFSv4.1 values
 * and the private ones. */
typedef enum nfsstat4 KOVREL_ENUM_BASE {
    NFS4_OK = 0,
    NFS4ERR_PERM = 1,
    NFS4ERR_NOENT = 2,
    NFS4ERR_IO = 5,
    NFS4ERR_NXIO = 6,
    NFS4ERR_ACCESS = 13,
    NFS4ERR_EXIST = 17,
    NFS4ERR_XDEV = 18,
    NFS4ERR_NOTDIR = 20,
    NFS4ERR_ISDIR = 21,
    NFS4ERR_INVAL = 22,
    NFS4ERR_FBIG = 27,
    NFS4ERR_NOSPC = 28,
    NFS4ERR_ROFS = 30,
    NFS4ERR_MLINK = 31,
    NFS4ERR_NAMETOOLONG = 63,
    NFS4ERR_NOTEMPTY = 66,
    NFS4ERR_DQUOT = 69,
    NFS4ERR_STALE = 70,
    NFS4ERR_BADHANDLE = 10001,
    NFS4ERR_BAD_COOKIE = 10003,
    NFS4ERR_NOTSUPP = 10004,
    NFS4ERR_TOOSMALL = 10005,
    NFS4ERR_SERVERFAULT = 10006,
    NFS4ERR_BADTYPE = 10007,
    NFS4ERR_DELAY = 10008,
    NFS4ERR_SAME = 10009,
    NFS4ERR_DENIED = 10010,
    NFS4ERR_EXPIRED = 10011,
    NFS4ERR_LOCKED = 10012,
    NFS4ERR_GRACE = 10013,
    NFS4ERR_FHEXPIRED = 10014,
    NFS4ERR_SHARE_DENIED = 10015,
    NFS4ERR_WRONGSEC = 10016,
    NFS4ERR_CLID_INUSE = 10017,
    NFS4ERR_RESOURCE = 10018,
    NFS4ERR_MOVED = 10019,
    NFS4ERR_NOFILEHANDLE = 10020,
    NFS4ERR_MINOR_VERS_MISMATCH = 10021,
    NFS4ERR_STALE_CLIENTID = 10022,
    NFS4ERR_STALE_STATEID = 10023,
    NFS4ERR_OLD_STATEID = 10024,
    NFS4ERR_BAD_STATEID = 10025,
    NFS4ERR_BAD_SEQID = 10026,
    NFS4ERR_NOT_SAME = 10027,
    NFS4ERR_LOCK_RANGE = 10028,
    NFS4ERR_SYMLINK = 10029,
    NFS4ERR_RESTOREFH = 10030,
    NFS4ERR_LEASE_MOVED = 10031,
    NFS4ERR_ATTRNOTSUPP = 10032,
    NFS4ERR_NO_GRACE = 10033,
    NFS4ERR_RECLAIM_BAD = 10034,
    NFS4ERR_RECLAIM_CONFLICT = 10035,
    NFS4ERR_BADXDR = 10036,
    NFS4ERR_LOCKS_HELD = 10037,
    NFS4ERR_OPENMODE = 10038,
    NFS4ERR_BADOWNER = 10039,
    NFS4ERR_BADCHAR = 10040,
    NFS4ERR_BADNAME = 10041,
    NFS4ERR_BAD_RANGE = 10042,
    NFS4ERR_LOCK_NOTSUPP = 10043,
    NFS4ERR_OP_ILLEGAL = 10044,
    NFS4ERR_DEADLOCK = 10045,
    NFS4ERR_FILE_OPEN = 10046,
    NFS4ERR_ADMIN_REVOKED = 10047,
    NFS4ERR_CB_PATH_DOWN = 10048,
    NFS4ERR_BADIOMODE = 10049,
    NFS4ERR_BADLAYOUT = 10050,
    NFS4ERR_BAD_SESSION_DIGEST = 10051,
    NFS4ERR_BADSESSION = 10052,
    NFS4ERR_BADSLOT = 10053,
    NFS4ERR_COMPLETE_ALREADY = 10054,
    NFS4ERR_CONN_NOT_BOUND_TO_SESSION = 10055,
    NFS4ERR_DELEG_ALREADY_WANTED = 10056,
    NFS4ERR_BACK_CHAN_BUSY = 10057,
    NFS4ERR_LAYOUTTRYLATER = 10058,
    NFS4ERR_LAYOUTUNAVAILABLE = 10059,
    NFS4ERR_NOMATCHING_LAYOUT = 10060,
    NFS4ERR_RECALLCONFLICT = 10061,
    NFS4ERR_UNKNOWN_LAYOUTTYPE = 10062,
    NFS4ERR_SEQ_MISORDERED = 10063,
    NFS4ERR_SEQUENCE_POS = 10064,
    NFS4ERR_REQ_TOO_BIG = 10065,
    NFS4ERR_REP_TOO_BIG = 10066,
    NFS4ERR_REP_TOO_BIG_TO_CACHE = 10067,
    NFS4ERR_RETRY_UNCACHED_REP = 10068,
    NFS4ERR_UNSAFE_COMPOUND = 10069,
    NFS4ERR_TOO_MANY_OPS = 10070,
    NFS4ERR_OP_NOT_IN_SESSION = 10071,
    NFS4ERR_HASH_ALG_UNSUPP = 10072,
    /* 10073 is unassigned. */
    NFS4ERR_CLIENTID_BUSY = 10074,
    NFS4ERR_PNFS_IO_HOLE = 10075,
    NFS4ERR_SEQ_FALSE_RETRY = 10076,
    NFS4ERR_BAD_HIGH_SLOT = 10077,
    NFS4ERR_DEADSESSION = 10078,
    NFS4ERR_ENCR_ALG_UNSUPP = 10079,
    NFS4ERR_PNFS_NO_LAYOUT = 10080,
    NFS4ERR_NOT_ONLY_OP = 10081,
    NFS4ERR_WRONG_CRED = 10082,
    NFS4ERR_WRONG_TYPE = 10083,
    NFS4ERR_DIRDELEG_UNAVAIL = 10084,
    NFS4ERR_REJECT_DELEG = 10085,
    NFS4ERR_RETURNCONFLICT = 10086,
    NFS4ERR_DELEG_REVOKED = 10087,

    /* Change-scan private codes. */
    NFS4ERR_COMMERROR = 50088,
    NFS4ERR_MAX_CQ_SESSIONS = 50089,
    NFS4ERR_CQ_SESSION_ABORTED = 50090,
    NFS4_CQ_SESSION_V2_OK = 50091, /* next succeeded, version-2 records */
    NFS4ERR_CQ_SESSION_RETRY = 50092
} nfsstat4;

/* What a change record reports (its scr_change_type). */
typedef enum chgscan_change_types_s KOVREL_ENUM_BASE {
    CHGSCAN_OP_NONE = 0,
    CHGSCAN_OP_DIR_CREATE = 1,
    CHGSCAN_OP_DIR_DELETE = 2,
    CHGSCAN_OP_INODE_CREATE = 3,
    CHGSCAN_OP_INODE_ACCESSED = 4,
    CHGSCAN_OP_INODE_MODIFIED = 5,
    CHGSCAN_OP_INODE_DELETED = 6
} chgscan_change_types_s;

/*
 * Decoded change-scan results. These are the in-memory forms of the wire
 * records; every variable-length item is a length and a pointer named after
 * the item. The library decodes them; callers only read them and release
 * them with the response that holds them.
 */

/* One change, version 1: 32-bit inode numbers. */
typedef struct tessel_chgscan_change_rec_V1 {
    uint32_t scr_inode_num;
    uint32_t scr_change_type; /* a chgscan_change_types_s value */
    uint32_t scr_ftype;       /* file type */
    int64_t scr_crtime;       /* creation time */
    int64_t scr_mtime;        /* modification time */
    int64_t scr_atime;        /* access time */
    int64_t scr_ctime;        /* change time */
    uint32_t scr_owner;
    uint32_t scr_group;
    uint32_t scr_fattr;    /* file attributes */
    uint32_t scr_dos_bits; /* DOS attribute bits */
    uint64_t scr_size;     /* bytes */
    uint32_t scr_links;
    uint32_t scr_is_iofenced; /* non-zero when fenced against I/O */
    struct {
        unsigned int scr_name_len;
        char *scr_name_val; /* not NUL-terminated */
    } scr_name;
} tessel_chgscan_change_rec_V1;

/* One change, version 2: as version 1 but for the 64-bit inode number. */
typedef struct tessel_chgscan_change_rec_V2 {
    uint64_t scr_inode_num;
    uint32_t scr_change_type;
    uint32_t scr_ftype;
    int64_t scr_crtime;
    int64_t scr_mtime;
    int64_t scr_atime;
    int64_t scr_ctime;
    uint32_t scr_owner;
    uint32_t scr_group;
    uint32_t scr_fattr;
    uint32_t scr_dos_bits;
    uint64_t scr_size;
    uint32_t scr_links;
    uint32_t scr_is_iofenced;
    struct {
        unsigned int scr_name_len;
        char *scr_name_val;
    } scr_name;
} tessel_chgscan_change_rec_V2;

/* A started session, as the start reply names it. */
typedef struct CQ_START4resok {
    char *session_handle;
    char *session_id;
    char *session_status;
} CQ_START4resok;

/* A batch of changes. num_changes is the count the server reports; the
 * records are crp_val[0 .. crp_len - 1]. eof is set on the batch that
 * completes the difference; restart_cookie is the point from which a later
 * session can resume (opaque bytes). */
typedef struct CQ_NEXT4resok_V1 {
    uint32_t num_changes;
    uint32_t progress;
    bool_t eof;
    struct {
        unsigned int crp_len;
        tessel_chgscan_change_rec_V1 *crp_val;
    } crp;
    struct {
        unsigned int restart_cookie_len;
        char *restart_cookie_val;
    } restart_cookie;
} CQ_NEXT4resok_V1;

typedef struct CQ_NEXT4resok_V2 {
    uint32_t num_changes;
    uint32_t progress;
    bool_t eof;
    struct {
        unsigned int crp_len;
        tessel_chgscan_change_rec_V2 *crp_val;
    } crp;
    struct {
        unsigned int restart_cookie_len;
        char *restart_cookie_val;
    } restart_cookie;
} CQ_NEXT4resok_V2;

typedef struct CQ_STATUS4resok {
    char *session_status;
} CQ_STATUS4resok;

typedef struct CQ_END4resok {
    char *session_status;
} CQ_END4resok;

/* A started change-scan session, owned by the library until it ends (opaque). */
typedef void *cq_session_handle_t;

/* The caller's arguments to cq_rpc_start. */
typedef struct cq_start_args_t {
    char *ip_addr;         /* management address of the storage system; required */
    char *username;        /* administrator user name; required */
    char *password;        /* its password; required */
    char *vserver;         /* virtual storage server; optional */
    char *volname;         /* volume; required */
    char *diffsnap;        /* the later snapshot; required */
    char *basesnap;        /* the earlier snapshot; optional */
    char *fileaccessproto; /* file-access protocol for names; required */
    bool_t atime;          /* report access-time changes */
    bool_t fattrs;         /* include file attributes */
    bool_t checkpointing;  /* let the server keep checkpoints */
    bool_t i2p;            /* accepted, not sent */
    uint32_t maxdiffs;     /* most changes per batch; required non-zero */
    char *restartcookie;   /* resume point of an earlier session; optional */
    char *appname;         /* calling application's name; required */
    char *apptype;         /* calling application's type; required */
} cq_start_args_t;

/* The kind of a successful response (0 names none). */
typedef enum cq_rpc_api_t KOVREL_ENUM_BASE {
    CQ_START_API = 1,
    CQ_NEXT_API_V1 = 2,
    CQ_NEXT_API_V2 = 3,
    CQ_STATUS_API = 4,
    CQ_END_API = 5
} cq_rpc_api_t;

/* The decoded reply a result lives in (opaque; null for a start). */
typedef void *cq_rpc_cookie_t;

typedef struct cq_rpc_ok_t {
    cq_rpc_cookie_t cq_rpc_cookie;
    cq_rpc_api_t cq_api;
    union {
        CQ_START4resok *start_res;     /* CQ_START_API: owned by the response */
        CQ_NEXT4resok_V1 *next_res_V1; /* CQ_NEXT_API_V1 */
        CQ_NEXT4resok_V2 *next_res_V2; /* CQ_NEXT_API_V2 */
        CQ_STATUS4resok *status_res;   /* CQ_STATUS_API */
        CQ_END4resok *end_res;         /* CQ_END_API */
    } cq_out_ok;
} cq_rpc_ok_t;

/*
 * The response of every change-scan call. status 0 is success and cq_ok
 * holds the result; any other status is a failure code (a system error
 * number, an RPC status shifted left by 16 bits, a status from the server,
 * or an error number of the XML API) and errstr says what went wrong (it may
 * be null when even the text could not be allocated). Everything a response
 * points at lives exactly as long as the response.
 */
typedef struct cq_rpc_resp_t {
    nfsstat4 status;
    union {
        cq_rpc_ok_t cq_ok;
        char *errstr;
    } cq_res_out;
} cq_rpc_resp_t;

/*
 * Starts a session over the XML API (HTTPS, port 443, API version 1.15) at
 * the management address `ip_addr`. Sets `*cq_session` and `*cq_start_resp`
 * to null first; on success `*cq_session` receives the session and the
 * response has kind CQ_START_API. The connection handle is not used.
 * Returns 0; 12 out of memory; 22 when a required argument is missing or
 * maxdiffs is 0; 71 when the server cannot be reached, the request cannot be
 * made, the reply lacks the session's handle or id, or the API reports a
 * failure (the response status is then the API's error number and errstr
 * its reason).
 */
int32_t cq_rpc_start(const cq_connect_handle_t cq_connect, const cq_start_args_t *cq_start_args,
                     cq_session_handle_t *cq_session, cq_rpc_resp_t **cq_start_resp);

/*
 * Fetches the next batch (kind CQ_NEXT_API_V1 or CQ_NEXT_API_V2). Take
 * success from the response status and kind: a version-2 batch may come
 * with the return value 50091.
 * Returns 0; 22 (no response) for a null or foreign session or a null
 * connection; 12 out of memory; 71 when the reply does not answer the
 * operation sent; an RPC status shifted left by 16 bits when the call fails
 * (327680 after the 720-second time-out, 131072 for a reply that cannot be
 * decoded); the server's status when the operation fails.
 */
int32_t cq_rpc_next(const cq_connect_handle_t cq_connect, cq_session_handle_t cq_session,
                    cq_rpc_resp_t **cq_next_resp);

/* The session's status text (kind CQ_STATUS_API); codes as cq_rpc_next. */
int32_t cq_rpc_status(const cq_connect_handle_t cq_connect, cq_session_handle_t cq_session,
                      cq_rpc_resp_t **cq_status_resp);

/*
 * Ends the session (kind CQ_END_API). On success the session is released and
 * `*cq_session` set to null; after a failure the session stays valid and can
 * be ended again. Codes as cq_rpc_next, but a successful end returns 0.
 */
int32_t cq_rpc_end(const cq_connect_handle_t cq_connect, cq_session_handle_t *cq_session,
                   cq_rpc_resp_t **cq_end_resp);

/* Releases the response in `*cq_rpc_resp` and sets the variable to null; a
 * null argument or variable does nothing. */
void cq_rpc_free_resp(cq_rpc_resp_t **cq_rpc_resp);

#ifdef __cplusplus
}
#endif

#endif /* KOVREL_CQ_API_H */
