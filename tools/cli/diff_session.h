// One change-scan session from connect to disconnect. The destructor always
// ends a started session and closes the connection, so every way out of
// `kovrel diff` (failures included) leaves nothing open on the server.
#pragma once

#include "change_record.h"
#include "diff_errors.h"
#include "kr_handles.h"

#include <optional>
#include <string>
#include <string_view>

namespace kovrel_cli {

struct StartRequest {
    std::string host; // management address (the XML API)
    std::string user;
    std::string password;
    std::string vserver;
    std::string volume;
    std::string base;
    std::string diff;
    std::string file_access_protocol = "nfs";
    bool atime = false;
    bool file_attributes = false; // sizes, times, owners and modes in the records
    uint32_t max_diffs = 1000;
    std::optional<std::string> restart_cookie;
};

// One batch; its records live as long as the batch.
class Batch {
  public:
    explicit Batch(ResponsePtr response) : response_(std::move(response)) {}

    bool eof() const;
    uint32_t progress() const;
    std::string_view restart_cookie() const;
    // Calls `visit(const Change &)` for each record in order; returns the
    // number of records whose change type is not one of the four kinds
    // (they are not passed on).
    template <typename Visit> size_t for_each_change(Visit visit) const;

  private:
    // The batch's result when it is of that version, else null.
    const CQ_NEXT4resok_V1 *v1() const;
    const CQ_NEXT4resok_V2 *v2() const;
    // f(the version-1 or version-2 result): the two share every field but
    // the records' type.
    template <typename F> auto with_result(F f) const {
        if (const auto *r = v1())
            return f(*r);
        return f(*v2());
    }
    ResponsePtr response_;
};

class ChangeScanSession {
  public:
    // Connects to the data address; Failure with a message when it cannot.
    ChangeScanSession(const std::string &data_host, ScanTarget target);
    ~ChangeScanSession();
    ChangeScanSession(const ChangeScanSession &) = delete;
    ChangeScanSession &operator=(const ChangeScanSession &) = delete;

    void start(const StartRequest &request);
    Batch next();
    // Ends the session; "" when it ended (or none was started), else what
    // went wrong (the session then stays open for one more attempt).
    std::string end();

  private:
    ScanTarget target_;
    cq_connect_handle_t connection_ = nullptr;
    cq_session_handle_t session_ = nullptr;
};

template <typename Visit> size_t Batch::for_each_change(Visit visit) const {
    size_t skipped = 0;
    auto walk = [&](const auto *res) {
        if (res == nullptr)
            return;
        for (unsigned int i = 0; i < res->crp.crp_len; ++i) {
            if (auto change = change_from_record(res->crp.crp_val[i]))
                visit(*change);
            else
                ++skipped;
        }
    };
    walk(v1());
    walk(v2());
    return skipped;
}

} // namespace kovrel_cli
