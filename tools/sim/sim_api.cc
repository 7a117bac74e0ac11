// The API calls: a table from API name to handler. Each handler declares its
// inputs, so unknown, repeated and missing inputs are refused alike.
#include "sim_api.h"

#include "sim_error.h"
#include "sim_xml.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <map>
#include <openssl/crypto.h>
#include <optional>
#include <set>

namespace sim {
namespace {

class Inputs {
  public:
    Inputs(const ApiRequest &req, std::initializer_list<const char *> known) : api_(req.api) {
        std::set<std::string> allowed(known.begin(), known.end());
        for (const auto &[name, value] : req.inputs) {
            if (allowed.count(name) == 0)
                throw ApiError(SIM_EINVALIDINPUT, "\"" + name + "\" is not an input of API \"" +
                                                      api_ + "\"" + expected(known));
            if (!values_.emplace(name, value).second)
                throw ApiError(SIM_EINVALIDINPUT,
                               "input \"" + name + "\" of API \"" + api_ + "\" is given twice");
        }
    }

    std::optional<std::string> optional(const char *name) const {
        auto it = values_.find(name);
        return it == values_.end() ? std::nullopt : std::optional(it->second);
    }

    std::string required(const char *name) const {
        auto v = optional(name);
        if (!v)
            throw ApiError(SIM_EMISSINGINPUT,
                           "API \"" + api_ + "\" needs the input \"" + name + "\"");
        return *v;
    }

    bool boolean(const char *name) const {
        std::string v = required(name);
        std::transform(v.begin(), v.end(), v.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (v == "true")
            return true;
        if (v == "false")
            return false;
        throw invalid(name, v, "true or false");
    }

    uint64_t number(const char *name, uint64_t min, uint64_t max) const {
        std::string v = required(name);
        std::string range = std::to_string(min) + " to " + std::to_string(max);
        // 19 digits always fit in 64 bits; longer texts are out of range anyway.
        if (v.empty() || v.size() > 19 || v.find_first_not_of("0123456789") != std::string::npos)
            throw invalid(name, v, "a decimal number from " + range);
        uint64_t n = std::stoull(v);
        if (n < min || n > max)
            throw invalid(name, v, "a decimal number from " + range);
        return n;
    }

    ApiError invalid(const char *name, const std::string &value, const std::string &want) const {
        std::string shown = value.size() > 64 ? value.substr(0, 64) + "..." : value;
        return ApiError(SIM_EINVALIDINPUT, "input \"" + std::string(name) + "\" of API \"" + api_ +
                                               "\" is \"" + shown + "\"; it must be " + want);
    }

  private:
    static std::string expected(std::initializer_list<const char *> known) {
        if (known.size() == 0)
            return " (it takes none)";
        std::string list;
        for (const char *k : known)
            list += (list.empty() ? "" : ", ") + std::string(k);
        return " (its inputs: " + list + ")";
    }

    std::string api_;
    std::map<std::string, std::string> values_;
};

using Outputs = std::vector<OutElement>;

Outputs system_get_version(const ApiRequest &req, Volumes &, Sessions &) {
    Inputs in(req, {});
    return {{"version", "kovrel simulator 1.0", {}}};
}

Outputs volume_list_info(const ApiRequest &req, Volumes &volumes, Sessions &) {
    Inputs in(req, {});
    OutElement list{"volumes", "", {}};
    for (const VolumeDir &v : volumes.list())
        list.children.push_back({"volume-info", "", {{"name", v.name, {}}, {"path", v.dir, {}}}});
    return {list};
}

Outputs snapshot_list_info(const ApiRequest &req, Volumes &volumes, Sessions &) {
    Inputs in(req, {"volume"});
    OutElement list{"snapshots", "", {}};
    for (const SnapshotInfo &s : volumes.snapshots(in.required("volume")))
        list.children.push_back(
            {"snapshot-info",
             "",
             {{"name", s.name, {}}, {"create-time", std::to_string(s.create_time), {}}}});
    return {list};
}

Outputs snapshot_create(const ApiRequest &req, Volumes &volumes, Sessions &) {
    Inputs in(req, {"volume", "snapshot"});
    volumes.create_snapshot(in.required("volume"), in.required("snapshot"));
    return {};
}

Outputs snapshot_delete(const ApiRequest &req, Volumes &volumes, Sessions &) {
    Inputs in(req, {"volume", "snapshot"});
    volumes.delete_snapshot(in.required("volume"), in.required("snapshot"));
    return {};
}

Outputs chgscan_iter_start(const ApiRequest &req, Volumes &volumes, Sessions &sessions) {
    Inputs in(req, {"version", "volume", "base-snapshot", "diff-snapshot", "file-access-protocol",
                    "restart-cookie", "application-name", "application-type", "max-diffs", "atime",
                    "include-file-attributes", "checkpointing"});
    in.number("version", 1, 2);
    StartRequest start;
    start.volume = in.required("volume");
    volumes.dir_of(start.volume); // an unknown volume before any snapshot name
    start.base_snapshot = in.optional("base-snapshot");
    if (start.base_snapshot)
        Volumes::check_snapshot_name(*start.base_snapshot, "base-snapshot");
    start.diff_snapshot = in.required("diff-snapshot");
    Volumes::check_snapshot_name(start.diff_snapshot, "diff-snapshot");
    // Every protocol sees the same names here; the value is checked against
    // what the wire record can carry.
    std::string protocol = in.required("file-access-protocol");
    if (protocol.empty() || protocol.size() > 5 ||
        !std::all_of(protocol.begin(), protocol.end(),
                     [](unsigned char c) { return std::isalnum(c); }))
        throw in.invalid("file-access-protocol", protocol,
                         "a protocol name of 1 to 5 letters or digits, such as nfs or cifs");
    start.restart_cookie = in.optional("restart-cookie");
    if (start.restart_cookie && start.restart_cookie->size() > 8191)
        throw ApiError(SIM_EBADCOOKIE, "input \"restart-cookie\" is longer than 8191 bytes");
    in.required("application-name");
    in.required("application-type");
    start.max_diffs = static_cast<uint32_t>(in.number("max-diffs", 1, UINT32_MAX));
    start.atime = in.boolean("atime");
    // Records always carry the attributes (a client that did not ask for
    // them ignores them), and a restart cookie comes with every batch, so
    // these two change nothing; their values are still checked.
    in.boolean("include-file-attributes");
    in.boolean("checkpointing");
    StartReply reply = sessions.start(start);
    return {{"session-handle", reply.session_handle, {}},
            {"session-id", reply.session_id, {}},
            {"session-status", reply.session_status, {}}};
}

struct Call {
    const char *name;
    Outputs (*handler)(const ApiRequest &, Volumes &, Sessions &);
};

constexpr Call CALLS[] = {
    {"system-get-version", system_get_version}, {"volume-list-info", volume_list_info},
    {"snapshot-list-info", snapshot_list_info}, {"snapshot-create", snapshot_create},
    {"snapshot-delete", snapshot_delete},       {"chgscan-iter-start", chgscan_iter_start},
};

bool same_secret(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

bool Api::authorized(std::string_view user, std::string_view password) const {
    bool ok = false;
    for (const Credentials &c : users_)
        ok |= same_secret(c.user, user) && same_secret(c.password, password);
    return ok;
}

std::string Api::handle(std::string_view request) {
    std::string version;
    try {
        ApiRequest req = parse_request(request);
        version = req.version;
        for (const Call &call : CALLS)
            if (req.api == call.name)
                return reply_passed(call.handler(req, volumes_, sessions_), version);
        std::string known;
        for (const Call &call : CALLS)
            known += (known.empty() ? "" : ", ") + std::string(call.name);
        std::string shown = req.api.size() > 64 ? req.api.substr(0, 64) + "..." : req.api;
        return reply_failed(SIM_EUNKNOWNAPI,
                            "API \"" + shown + "\" is not answered by the simulator (it answers " +
                                known + ")",
                            version);
    } catch (const ApiError &e) {
        return reply_failed(e.number(), e.what(), version);
    } catch (const std::exception &e) {
        return reply_failed(SIM_EINTERNAL, std::string("internal error: ") + e.what(), version);
    }
}

} // namespace sim
