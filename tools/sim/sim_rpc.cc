// The RPC service: libtirpc accepts the connections, assembles the records
// and sends the replies; this file decodes the COMPOUND arguments, runs the
// one change-scan operation and builds its result.
//
// The loop is our own instead of svc_run so that it can stop, refuse
// connections beyond a limit and close idle ones. Connections are
// non-blocking with a bounded record size (RPC_SVC_CONNMAXREC_SET), so a
// client that sends half a record holds up nobody.
#include "sim_rpc.h"

#include "sim_chgscan.h"
#include "sim_error.h"

#include <algorithm>
#include <map>
#include <poll.h>
#include <rpc/rpc.h>
#include <rpc/rpc_com.h>
#include <rpc/svc.h>
#include <sys/socket.h>
#include <vector>

namespace sim {
namespace {

constexpr rpcprog_t CHGSCAN_PROGRAM = 400010;
constexpr rpcvers_t CHGSCAN_VERSION = 1;
constexpr rpcproc_t PROC_NULL = 0;
constexpr rpcproc_t PROC_COMPOUND = 1;

constexpr int MAX_RECORD_BYTES = 64 * 1024;
constexpr size_t MAX_CONNECTIONS = 64;
constexpr u_int MAX_TAG_BYTES = 1024;
constexpr size_t MAX_STATUS_TEXT = 128; // string<128> on the wire

// The service routine has no context argument; the sessions of the running
// listener are reached through this pointer, set while it runs.
Sessions *g_sessions = nullptr;

// The part of COMPOUND4args that is decoded: the tag, the minor version, the
// number of operations and the first operation. Decoding into fixed buffers
// keeps the memory bounded whatever the client announces.
struct CompoundArgs {
    char tag[MAX_TAG_BYTES];
    u_int tag_len = 0;
    uint32_t minorversion = 0;
    uint32_t count = 0;
    uint32_t opnum = 0;
    bool session_op = false;
    char handle[128];
    char hash[128];
    CQ_NEXT4args session_args{};
};

bool_t xdr_compound_args(XDR *x, void *ptr, ...) {
    auto *a = static_cast<CompoundArgs *>(ptr);
    if (x->x_op == XDR_FREE)
        return TRUE; // nothing was allocated
    char *tag = a->tag;
    if (!xdr_bytes(x, &tag, &a->tag_len, MAX_TAG_BYTES) || !xdr_uint32_t(x, &a->minorversion) ||
        !xdr_uint32_t(x, &a->count))
        return FALSE;
    if (a->count == 0)
        return TRUE;
    if (!xdr_uint32_t(x, &a->opnum))
        return FALSE;
    a->session_op = a->opnum == OP_CQ_STATUS || a->opnum == OP_CQ_NEXT || a->opnum == OP_CQ_END;
    if (!a->session_op)
        return TRUE; // answered without its arguments
    // Status, next and end take the same two fields.
    a->session_args.session_handle.session_handle_val = a->handle;
    a->session_args.session_id.session_id_val = a->hash;
    return xdr_CQ_NEXT4args(x, &a->session_args);
}

// Texts of string<128> fields are cut to fit; a longer one would fail the
// reply's encoding.
char *wire_text(std::string &s) {
    if (s.size() > MAX_STATUS_TEXT)
        s.resize(MAX_STATUS_TEXT);
    return s.data();
}

template <typename Rec> void fill_record(Rec &rec, BatchRecord &r) {
    rec.scr_inode_num = r.attrs.inode;
    rec.scr_change_type = static_cast<uint32_t>(r.type);
    rec.scr_ftype = static_cast<uint32_t>(r.attrs.type);
    rec.scr_crtime = r.attrs.crtime;
    rec.scr_mtime = r.attrs.mtime;
    rec.scr_atime = r.attrs.atime;
    rec.scr_ctime = r.attrs.ctime;
    rec.scr_owner = r.attrs.uid;
    rec.scr_group = r.attrs.gid;
    rec.scr_fattr = r.attrs.mode;
    rec.scr_dos_bits = 0;
    rec.scr_size = r.attrs.size;
    rec.scr_links = r.attrs.links;
    rec.scr_is_iofenced = 0;
    rec.scr_name.scr_name_len = static_cast<u_int>(r.name.size());
    rec.scr_name.scr_name_val = r.name.data();
}

template <typename Rec, typename ResOk>
void fill_batch(ResOk &ok, std::vector<Rec> &records, NextOutcome &out) {
    records.resize(out.records.size());
    for (size_t i = 0; i < records.size(); ++i)
        fill_record(records[i], out.records[i]);
    ok.num_changes = static_cast<uint32_t>(records.size());
    ok.progress = out.progress;
    ok.eof = out.eof;
    ok.crp.crp_len = static_cast<u_int>(records.size());
    ok.crp.crp_val = records.data();
    ok.restart_cookie.restart_cookie_len = static_cast<u_int>(out.restart_cookie.size());
    ok.restart_cookie.restart_cookie_val = out.restart_cookie.data();
}

// Status and end results have the same shape under different names.
char *&status_text(CQ_STATUS4res &r) {
    return r.CQ_STATUS4res_u.cq_status_resok.session_status;
}
char *&status_text(CQ_END4res &r) {
    return r.CQ_END4res_u.cq_end_resok.session_status;
}
char *&error_text(CQ_STATUS4res &r) {
    return r.CQ_STATUS4res_u.session_error;
}
char *&error_text(CQ_END4res &r) {
    return r.CQ_END4res_u.session_error;
}

template <typename Res> void fill_text_result(Res &r, OpOutcome &outcome) {
    r.status = static_cast<nfsstat4>(outcome.status);
    if (outcome.status == NFS4_OK)
        status_text(r) = wire_text(outcome.text);
    else
        error_text(r) = wire_text(outcome.text);
}

// What a result points into: it lives until the reply is sent.
struct ReplyStore {
    std::string text;
    OpOutcome outcome;
    NextOutcome next;
    std::vector<tessel_chgscan_change_rec_V1> v1;
    std::vector<tessel_chgscan_change_rec_V2> v2;
};

// Runs the COMPOUND's first operation into `op`; returns its status. With
// more than one operation none is run, and the first one's result says why.
uint32_t run_operation(const CompoundArgs &args, nfs_resop4 &op, ReplyStore &store) {
    op.resop = static_cast<nfs_opnum4>(args.opnum);
    std::string handle(args.handle,
                       args.session_op ? args.session_args.session_handle.session_handle_len : 0);
    std::string hash(args.hash, args.session_op ? args.session_args.session_id.session_id_len : 0);
    bool too_many = args.count > 1;
    if (too_many)
        store.text =
            "one change-scan operation per COMPOUND; this one holds " + std::to_string(args.count);
    switch (args.opnum) {
    case OP_CQ_START: {
        uint32_t status = too_many ? NFS4ERR_TOO_MANY_OPS : NFS4ERR_NOTSUPP;
        if (!too_many)
            store.text = "start change-scan sessions with the XML API call chgscan-iter-start";
        op.nfs_resop4_u.opcq_start.status = static_cast<nfsstat4>(status);
        op.nfs_resop4_u.opcq_start.CQ_START4res_u.session_error = wire_text(store.text);
        return status;
    }
    case OP_CQ_STATUS:
    case OP_CQ_END:
        if (too_many)
            store.outcome = {NFS4ERR_TOO_MANY_OPS, store.text};
        else if (args.opnum == OP_CQ_STATUS)
            store.outcome = g_sessions->status(handle, hash);
        else
            store.outcome = g_sessions->end(handle, hash);
        if (args.opnum == OP_CQ_STATUS)
            fill_text_result(op.nfs_resop4_u.opcq_status, store.outcome);
        else
            fill_text_result(op.nfs_resop4_u.opcq_end, store.outcome);
        return store.outcome.status;
    case OP_CQ_NEXT: {
        NextOutcome &next = store.next;
        if (too_many) {
            next.status = NFS4ERR_TOO_MANY_OPS;
            next.error = store.text;
        } else {
            next = g_sessions->next(handle, hash);
        }
        CQ_NEXT4res &r = op.nfs_resop4_u.opcq_next;
        r.status = static_cast<nfsstat4>(next.status);
        if (next.status == NFS4_OK)
            fill_batch(r.CQ_NEXT4res_u.cq_next_resok_V1, store.v1, next);
        else if (next.status == NFS4_CQ_SESSION_V2_OK)
            fill_batch(r.CQ_NEXT4res_u.cq_next_resok_V2, store.v2, next);
        else
            r.CQ_NEXT4res_u.session_error = wire_text(next.error);
        return next.status;
    }
    default:
        op.resop = OP_ILLEGAL;
        op.nfs_resop4_u.opillegal.status = NFS4ERR_OP_ILLEGAL;
        return NFS4ERR_OP_ILLEGAL;
    }
}

void answer_compound(SVCXPRT *xprt) {
    CompoundArgs args;
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_compound_args),
                     reinterpret_cast<caddr_t>(&args))) {
        svcerr_decode(xprt);
        return;
    }
    COMPOUND4res res{};
    res.tag.utf8string_len = args.tag_len;
    res.tag.utf8string_val = args.tag;
    nfs_resop4 op{};
    ReplyStore store;
    if (args.minorversion != 0) {
        res.status = NFS4ERR_MINOR_VERS_MISMATCH; // and no results, as NFSv4 has it
    } else if (args.count > 0) {
        res.resarray.resarray_len = 1;
        res.resarray.resarray_val = &op;
        // The COMPOUND carries its operation's status, 50091 included.
        res.status = static_cast<nfsstat4>(run_operation(args, op, store));
    }
    svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res),
                  reinterpret_cast<caddr_t>(&res));
    svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdr_compound_args),
                 reinterpret_cast<caddr_t>(&args));
}

// The NULL procedure's empty reply (xdr_void has no prototype to cast from).
bool_t xdr_nothing(XDR *, void *, ...) {
    return TRUE;
}

void dispatch(struct svc_req *request, SVCXPRT *xprt) {
    switch (request->rq_proc) {
    case PROC_NULL:
        svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_nothing), nullptr);
        break;
    case PROC_COMPOUND:
        answer_compound(xprt);
        break;
    default:
        svcerr_noproc(xprt);
        break;
    }
}

} // namespace

RpcListener::RpcListener(Sessions &sessions, const std::string &address, int port,
                         std::chrono::seconds connection_idle)
    : idle_(connection_idle) {
    Socket s = listen_tcp(address, port, "the change-scan RPC program");
    int maxrec = MAX_RECORD_BYTES;
    rpc_control(RPC_SVC_CONNMAXREC_SET, &maxrec);
    SVCXPRT *xprt = svc_vc_create(s.get(), 0, 0);
    if (xprt == nullptr)
        throw StartError("cannot set up the change-scan RPC service on " + address + " port " +
                         std::to_string(port));
    listen_fd_ = s.release(); // the transport owns it now
    // Protocol 0: nothing is registered with a port mapper.
    if (!svc_register(xprt, CHGSCAN_PROGRAM, CHGSCAN_VERSION, dispatch, 0)) {
        svc_destroy(xprt);
        throw StartError("cannot register the change-scan RPC program");
    }
    rendezvous_ = xprt;
    g_sessions = &sessions;
    thread_ = std::thread([this] { loop(); });
}

RpcListener::~RpcListener() {
    stop();
}

void RpcListener::stop() {
    if (!thread_.joinable())
        return;
    stopping_ = true;
    wake_.wake();
    thread_.join();
}

void RpcListener::loop() {
    using Clock = std::chrono::steady_clock;
    std::map<int, Clock::time_point> last_active; // connections by descriptor
    std::vector<struct pollfd> fds;
    auto connections = [&] {
        std::vector<int> list;
        for (int i = 0; i < svc_max_pollfd; ++i)
            if (svc_pollfd[i].fd >= 0 && svc_pollfd[i].fd != listen_fd_)
                list.push_back(svc_pollfd[i].fd);
        return list;
    };
    while (!stopping_) {
        // The service's own table first (svc_getreq_poll walks it by index),
        // then the wake-up pipe.
        int n = svc_max_pollfd;
        fds.assign(svc_pollfd, svc_pollfd + n);
        for (auto &p : fds)
            p.revents = 0;
        fds.push_back({wake_.read_fd(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 1000) < 0)
            continue; // interrupted
        if (stopping_)
            break;
        auto now = Clock::now();
        std::vector<int> open = connections();
        int ready = 0;
        for (int i = 0; i < n; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            if (fds[i].fd == listen_fd_ && open.size() >= MAX_CONNECTIONS) {
                // Over the limit: take the connection off the queue and close it.
                int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0)
                    ::close(c);
                fds[i].revents = 0;
                continue;
            }
            last_active[fds[i].fd] = now;
            ++ready;
        }
        if (ready > 0)
            svc_getreq_poll(fds.data(), ready);
        // Forget closed connections, note new ones, and end idle ones: shut
        // down, they read as closed and the service destroys them.
        open = connections();
        std::map<int, Clock::time_point> still;
        for (int fd : open) {
            auto it = last_active.find(fd);
            Clock::time_point t = it == last_active.end() ? now : it->second;
            if (now - t > idle_)
                ::shutdown(fd, SHUT_RDWR);
            still[fd] = t;
        }
        last_active.swap(still);
    }
    // Let the service close every connection, then the listener.
    std::vector<int> open = connections();
    for (int fd : open)
        ::shutdown(fd, SHUT_RDWR);
    if (!open.empty()) {
        fds.assign(svc_pollfd, svc_pollfd + svc_max_pollfd);
        int ready = 0;
        for (auto &p : fds) {
            p.revents = (p.fd >= 0 && p.fd != listen_fd_) ? POLLIN : 0;
            ready += p.revents != 0;
        }
        svc_getreq_poll(fds.data(), ready);
    }
    svc_unregister(CHGSCAN_PROGRAM, CHGSCAN_VERSION);
    svc_destroy(static_cast<SVCXPRT *>(rendezvous_));
    g_sessions = nullptr;
}

} // namespace sim
