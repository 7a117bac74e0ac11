#include "diff_errors.h"

#include "api_failure.h"

#include <fmt/format.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>

namespace kovrel_cli {
namespace {

constexpr int CHGSCAN_PORT = 2049;
constexpr int64_t RPC_SHIFT = 16;
// The text the library gives failures that carry nothing but a code.
constexpr std::string_view GENERIC_TEXT = "Encountered error. Check status for errno.";

struct CodeName {
    int64_t code;
    std::string_view name;
    std::string_view meaning;
};

constexpr std::array<CodeName, 22> SERVER_STATUSES = {{
    {NFS4ERR_PERM, "NFS4ERR_PERM", "not permitted"},
    {NFS4ERR_NOENT, "NFS4ERR_NOENT", "no such volume, snapshot or file"},
    {NFS4ERR_IO, "NFS4ERR_IO", "I/O error on the server"},
    {NFS4ERR_ACCESS, "NFS4ERR_ACCESS", "access denied"},
    {NFS4ERR_INVAL, "NFS4ERR_INVAL", "the server found the request invalid"},
    {NFS4ERR_STALE, "NFS4ERR_STALE", "stale handle"},
    {NFS4ERR_BADHANDLE, "NFS4ERR_BADHANDLE", "the server does not know this session handle"},
    {NFS4ERR_BAD_COOKIE, "NFS4ERR_BAD_COOKIE", "the server did not accept the restart cookie"},
    {NFS4ERR_NOTSUPP, "NFS4ERR_NOTSUPP", "not supported by the server"},
    {NFS4ERR_SERVERFAULT, "NFS4ERR_SERVERFAULT", "the server failed"},
    {NFS4ERR_DELAY, "NFS4ERR_DELAY", "the server is busy"},
    {NFS4ERR_EXPIRED, "NFS4ERR_EXPIRED", "the session expired"},
    {NFS4ERR_RESOURCE, "NFS4ERR_RESOURCE", "the server is out of resources"},
    {NFS4ERR_BADXDR, "NFS4ERR_BADXDR", "the server could not decode the request"},
    {NFS4ERR_OP_ILLEGAL, "NFS4ERR_OP_ILLEGAL",
     "the server does not know the change-scan operations"},
    {NFS4ERR_BADSESSION, "NFS4ERR_BADSESSION", "the server does not know this session"},
    {NFS4ERR_WRONG_CRED, "NFS4ERR_WRONG_CRED", "the request hash or credentials were refused"},
    {NFS4ERR_COMMERROR, "NFS4ERR_COMMERROR", "communication error inside the storage system"},
    {NFS4ERR_MAX_CQ_SESSIONS, "NFS4ERR_MAX_CQ_SESSIONS", "too many change-scan sessions are open"},
    {NFS4ERR_CQ_SESSION_ABORTED, "NFS4ERR_CQ_SESSION_ABORTED", "the server aborted the session"},
    {NFS4_CQ_SESSION_V2_OK, "NFS4_CQ_SESSION_V2_OK", "version-2 records"},
    {NFS4ERR_CQ_SESSION_RETRY, "NFS4ERR_CQ_SESSION_RETRY", "the server asks to retry later"},
}};

// RPC statuses, as the ONC RPC library numbers them.
constexpr std::array<CodeName, 10> RPC_STATUSES = {{
    {1, "RPC_CANTENCODEARGS", "the request could not be encoded"},
    {2, "RPC_CANTDECODERES", "the reply could not be decoded"},
    {3, "RPC_CANTSEND", "the request could not be sent"},
    {4, "RPC_CANTRECV", "no reply could be received (the connection was lost)"},
    {5, "RPC_TIMEDOUT", "the server did not answer in time"},
    {6, "RPC_VERSMISMATCH", "RPC version mismatch"},
    {7, "RPC_AUTHERROR", "the server refused the RPC credentials"},
    {8, "RPC_PROGUNAVAIL", "the server does not offer the change-scan program 400010"},
    {9, "RPC_PROGVERSMISMATCH", "the server offers another version of the change-scan program"},
    {10, "RPC_PROCUNAVAIL", "the server does not offer the change-scan procedure"},
}};

const CodeName *find(std::span<const CodeName> table, int64_t code) {
    for (const CodeName &entry : table)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

bool classify_reason_mentions_cookie(const std::string &reason) {
    std::string lower = reason;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("cookie") != std::string::npos;
}

bool is_rpc_code(int64_t code) {
    return code >= (int64_t{1} << RPC_SHIFT);
}

// The server's or library's text, unless it is the generic placeholder.
std::string response_text(const cq_rpc_resp_t *response) {
    if (response == nullptr || response->status == 0 || response->cq_res_out.errstr == nullptr)
        return "";
    std::string text = response->cq_res_out.errstr;
    return text == GENERIC_TEXT ? "" : text;
}

} // namespace

std::string describe_code(int64_t code) {
    if (is_rpc_code(code)) {
        const int64_t rpc = code >> RPC_SHIFT;
        if (const CodeName *entry = find(RPC_STATUSES, rpc))
            return fmt::format("{} ({}, code {})", entry->meaning, entry->name, code);
        return fmt::format("RPC failure {} (code {})", rpc, code);
    }
    if (const CodeName *entry = find(SERVER_STATUSES, code); entry != nullptr && code >= 10000)
        return fmt::format("{} ({}, code {})", entry->meaning, entry->name, code);
    if (code > 0 && code < 4096)
        return fmt::format("{} (errno {})", std::strerror(static_cast<int>(code)), code);
    if (const CodeName *entry = find(SERVER_STATUSES, code))
        return fmt::format("{} ({}, code {})", entry->meaning, entry->name, code);
    return fmt::format("error code {}", code);
}

std::string describe_connect_failure(uint32_t code, const ScanTarget &t) {
    const std::string where =
        fmt::format("the data address {} (port {})", t.data_host, CHGSCAN_PORT);
    switch (code) {
    case EAGAIN:
        return fmt::format("cannot look up {}: temporary name-resolution failure (errno {}); try "
                           "again later",
                           where, code);
    case EINVAL:
        return fmt::format("cannot connect to {}: the name does not resolve (errno {}); check "
                           "--data-host (it defaults to --host)",
                           where, code);
    case ENOMEM:
        return fmt::format("cannot connect to {}: out of memory (errno {})", where, code);
    case EPROTO:
        return fmt::format("cannot set up the RPC client for {} (errno {})", where, code);
    case ECONNREFUSED:
        return fmt::format("connection refused by {} (errno {}); is the change-scan service "
                           "running there? Give the storage system's data interface with "
                           "--data-host",
                           where, code);
    default:
        break;
    }
    if (is_rpc_code(code))
        return fmt::format("{} does not answer as a change-scan server: {}; check --data-host",
                           where, describe_code(code));
    return fmt::format("cannot connect to {}: {}; check --data-host and that the address can be "
                       "reached from here",
                       where, describe_code(code));
}

std::string describe_start_failure(int32_t code, const cq_rpc_resp_t *response,
                                   const ScanTarget &t) {
    const std::string snapshots = t.base.empty()
                                      ? fmt::format("snapshot {}", t.diff)
                                      : fmt::format("snapshots {} and {}", t.base, t.diff);
    if (code == ENOMEM)
        return fmt::format("cannot start the change scan: out of memory (errno {})", code);
    if (code == EINVAL)
        return fmt::format("cannot start the change scan: the library refused the arguments "
                           "(errno {})",
                           code);
    const int api_error = response != nullptr ? static_cast<int>(response->status) : code;
    std::string reason =
        response != nullptr && response->status != 0 && response->cq_res_out.errstr != nullptr
            ? response->cq_res_out.errstr
            : "";
    if (reason.empty())
        reason = "no reason given";
    const Endpoint management{t.host, 443, KR_SERVER_TRANSPORT_HTTPS};
    const FailureCause cause = classify_failure(api_error, reason);
    switch (cause) {
    case FailureCause::authorization:
        return fmt::format("{} rejected the user name or password: {} (errno {}); check --user "
                           "and KOVREL_PASSWORD",
                           t.host, reason, api_error);
    case FailureCause::connection_refused:
    case FailureCause::unreachable:
    case FailureCause::unknown_host:
    case FailureCause::timeout:
    case FailureCause::certificate:
    case FailureCause::certificate_name:
    case FailureCause::client_certificate:
        return fmt::format("cannot reach the management interface of {} (HTTPS port 443) to "
                           "start the change scan: {} (errno {}); {}",
                           t.host, reason, api_error, failure_hint(cause, management));
    case FailureCause::other:
        break;
    }
    // The library's own texts for a request it could not make or send.
    if (api_error == EPROTO &&
        (reason == "Could not connect to server" || reason == "Could not create QAPI element"))
        return fmt::format("cannot start the change scan on {}: {} (errno {})", t.host, reason,
                           api_error);
    if (t.resuming && classify_reason_mentions_cookie(reason))
        return fmt::format("{} did not accept the restart cookie: {} (errno {}); pass it exactly "
                           "as kovrel diff printed it, with the same --volume, --base and "
                           "--diff, or start over without --restart-cookie",
                           t.host, reason, api_error);
    if (api_error == NFS4ERR_MAX_CQ_SESSIONS)
        return fmt::format("{} has too many change-scan sessions open: {} (errno {}); wait for "
                           "other listings to end and try again",
                           t.host, reason, api_error);
    return fmt::format("{} refused to start the change scan of volume {} ({}): {} (errno {}); "
                       "check that the volume and the snapshots exist (and --vserver, if the "
                       "volume belongs to one)",
                       t.host, t.volume, snapshots, reason, api_error);
}

std::string describe_session_failure(const char *action, int32_t code,
                                     const cq_rpc_resp_t *response) {
    const int64_t status = response != nullptr && response->status != 0
                               ? static_cast<int64_t>(response->status)
                               : code;
    const std::string text = response_text(response);
    std::string message = fmt::format("cannot {}: ", action);
    if (!text.empty())
        message += fmt::format("{}; {}", text, describe_code(status));
    else
        message += describe_code(status);
    if (status == NFS4ERR_MAX_CQ_SESSIONS || status == NFS4ERR_CQ_SESSION_RETRY ||
        status == NFS4ERR_DELAY)
        message += "; wait a little and try again";
    else if (status == EPROTO)
        message += "; the server's reply did not answer the request";
    return message;
}

} // namespace kovrel_cli
