#include "diff_session.h"

#include "cli_errors.h"

#include <utility>

namespace kovrel_cli {

const CQ_NEXT4resok_V1 *Batch::v1() const {
    return response_->cq_res_out.cq_ok.cq_api == CQ_NEXT_API_V1
               ? response_->cq_res_out.cq_ok.cq_out_ok.next_res_V1
               : nullptr;
}

const CQ_NEXT4resok_V2 *Batch::v2() const {
    return response_->cq_res_out.cq_ok.cq_api == CQ_NEXT_API_V2
               ? response_->cq_res_out.cq_ok.cq_out_ok.next_res_V2
               : nullptr;
}

bool Batch::eof() const {
    return with_result([](const auto &r) { return r.eof != 0; });
}
uint32_t Batch::progress() const {
    return with_result([](const auto &r) { return r.progress; });
}
std::string_view Batch::restart_cookie() const {
    return with_result([](const auto &r) {
        const auto &cookie = r.restart_cookie;
        return cookie.restart_cookie_val == nullptr
                   ? std::string_view()
                   : std::string_view(cookie.restart_cookie_val, cookie.restart_cookie_len);
    });
}

ChangeScanSession::ChangeScanSession(const std::string &data_host, ScanTarget target)
    : target_(std::move(target)) {
    std::string address = data_host;
    const uint32_t code = cq_rpc_connect(address.data(), &connection_);
    if (code != 0 || connection_ == nullptr)
        throw Failure(describe_connect_failure(code, target_));
}

ChangeScanSession::~ChangeScanSession() {
    // A session still open here is ended now; one whose end already failed
    // gets this one more attempt.
    end();
    if (connection_ != nullptr)
        cq_rpc_disconnect(&connection_);
}

void ChangeScanSession::start(const StartRequest &r) {
    // The library takes non-const strings; these copies live for the call.
    std::string host = r.host, user = r.user, password = r.password, vserver = r.vserver,
                volume = r.volume, base = r.base, diff = r.diff, protocol = r.file_access_protocol,
                app_name = "kovrel", app_type = "cli";
    std::string cookie = r.restart_cookie.value_or("");
    cq_start_args_t args{};
    args.ip_addr = host.data();
    args.username = user.data();
    args.password = password.data();
    args.vserver = vserver.empty() ? nullptr : vserver.data();
    args.volname = volume.data();
    args.basesnap = base.empty() ? nullptr : base.data();
    args.diffsnap = diff.data();
    args.fileaccessproto = protocol.data();
    args.atime = r.atime ? 1 : 0;
    args.fattrs = r.file_attributes ? 1 : 0;
    args.maxdiffs = r.max_diffs;
    args.restartcookie = r.restart_cookie ? cookie.data() : nullptr;
    args.appname = app_name.data();
    args.apptype = app_type.data();

    cq_rpc_resp_t *raw = nullptr;
    const int32_t code = cq_rpc_start(connection_, &args, &session_, &raw);
    ResponsePtr response(raw);
    if (code != 0 || session_ == nullptr || !response || response->status != 0 ||
        response->cq_res_out.cq_ok.cq_api != CQ_START_API)
        throw Failure(describe_start_failure(code, response.get(), target_));
}

Batch ChangeScanSession::next() {
    cq_rpc_resp_t *raw = nullptr;
    const int32_t code = cq_rpc_next(connection_, session_, &raw);
    ResponsePtr response(raw);
    // Success is the response's status and kind, not the return value: a
    // version-2 batch comes back with NFS4_CQ_SESSION_V2_OK.
    const bool ok = response && response->status == 0 &&
                    (response->cq_res_out.cq_ok.cq_api == CQ_NEXT_API_V1 ||
                     response->cq_res_out.cq_ok.cq_api == CQ_NEXT_API_V2) &&
                    response->cq_res_out.cq_ok.cq_out_ok.next_res_V1 != nullptr;
    if (!ok)
        throw Failure(describe_session_failure("fetch the next batch of changes",
                                               code == 0 ? EPROTO : code, response.get()));
    return Batch(std::move(response));
}

std::string ChangeScanSession::end() {
    if (session_ == nullptr)
        return "";
    cq_rpc_resp_t *raw = nullptr;
    const int32_t code = cq_rpc_end(connection_, &session_, &raw);
    ResponsePtr response(raw);
    if (code == 0 && session_ == nullptr)
        return "";
    // After a failed end the session stays valid and can be ended again.
    return describe_session_failure("end the change-scan session", code, response.get());
}

} // namespace kovrel_cli
