// Change-scan sessions. The whole difference is computed when the session
// starts, so a start reports unreadable trees at once and the batches are
// cheap slices of it.
//
// The restart cookie is text: "simcq1:" then the volume, the base snapshot
// ("-" for none) and the diff snapshot in hex, "a1" or "a0" for the atime
// choice, the number of changes delivered, and a digest of the difference's
// change types and paths. A new session resumes after that many changes only
// when all of these match, so a cookie cannot silently skip changes of
// another difference.
#include "sim_sessions.h"

#include "sim_error.h"

#include <algorithm>
#include <cstdio>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sstream>

namespace sim {
namespace {

std::string to_hex(const unsigned char *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string to_hex(const std::string &s) {
    return to_hex(reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

std::optional<std::string> from_hex(const std::string &hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = hex[k];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0)
                return std::nullopt;
            v = v * 16 + d;
        }
        out += static_cast<char>(v);
    }
    return out;
}

std::string sha256_hex(const std::string &text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available from OpenSSL");
    return to_hex(digest, len);
}

std::string random_hex(size_t bytes) {
    std::vector<unsigned char> buf(bytes);
    if (RAND_bytes(buf.data(), static_cast<int>(bytes)) != 1)
        throw std::runtime_error("OpenSSL's random generator failed");
    return to_hex(buf.data(), bytes);
}

// A version-4 UUID in its 36-character text form.
std::string new_uuid() {
    std::string h = random_hex(16);
    h[12] = '4';
    h[16] = "89ab"[std::stoi(h.substr(16, 1), nullptr, 16) & 3];
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
           "-" + h.substr(20, 12);
}

std::string difference_digest(const std::vector<Change> &changes) {
    std::string text;
    for (const Change &c : changes) {
        text += std::to_string(static_cast<uint32_t>(c.type));
        text += c.path;
        text += '\0';
    }
    return sha256_hex(text).substr(0, 16);
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep))
        parts.push_back(part);
    if (!s.empty() && s.back() == sep)
        parts.emplace_back();
    return parts;
}

std::string describe(const std::string &volume, const std::optional<std::string> &base,
                     const std::string &diff) {
    return "volume \"" + volume + "\" from " + (base ? "snapshot \"" + *base + "\"" : "nothing") +
           " to snapshot \"" + diff + "\"";
}

} // namespace

std::string request_hash(const std::string &session_id, uint32_t sequence) {
    char seq[9];
    std::snprintf(seq, sizeof seq, "%08x", sequence);
    std::string text = session_id + "-" + seq;
    if (text.size() > 45)
        text.resize(45);
    return sha256_hex(text);
}

struct Sessions::Session {
    std::string handle;
    std::string id;
    std::string volume;
    std::optional<std::string> base;
    std::string diff;
    bool atime = false;
    uint32_t max_diffs = 1;
    std::vector<Change> changes;
    std::string digest;
    size_t delivered = 0;
    uint32_t next_calls = 0;
    Clock::time_point last_used;

    std::string cookie(size_t position) const {
        return "simcq1:" + to_hex(volume) + ":" + (base ? to_hex(*base) : "-") + ":" +
               to_hex(diff) + ":" + (atime ? "a1" : "a0") + ":" + std::to_string(position) + ":" +
               digest;
    }

    std::string progress_text(const char *state) const {
        return std::string(state) + ": " + std::to_string(delivered) + " of " +
               std::to_string(changes.size()) + " changes delivered";
    }
};

Sessions::Sessions(Volumes &volumes, unsigned max_sessions, std::chrono::seconds idle,
                   uint64_t inode_offset)
    : volumes_(volumes), max_sessions_(max_sessions), idle_(idle), inode_offset_(inode_offset) {}

void Sessions::expire_idle() {
    auto now = Clock::now();
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = now - it->second->last_used > idle_ ? sessions_.erase(it) : std::next(it);
}

StartReply Sessions::start(const StartRequest &req) {
    // Resolve the trees first: unknown names are the caller's error whatever
    // the number of sessions.
    std::optional<std::string> base_dir;
    if (req.base_snapshot)
        base_dir = volumes_.snapshot_dir(req.volume, *req.base_snapshot);
    std::string diff_dir = volumes_.snapshot_dir(req.volume, req.diff_snapshot);

    {
        std::lock_guard lock(mutex_);
        expire_idle();
        if (sessions_.size() + starting_ >= max_sessions_)
            throw ApiError(SIM_EMAXSESSIONS,
                           "all " + std::to_string(max_sessions_) +
                               " change-scan sessions are in use (--max-sessions); "
                               "end one or wait until an idle one expires");
        ++starting_;
    }
    struct SlotGuard {
        Sessions &s;
        ~SlotGuard() {
            std::lock_guard lock(s.mutex_);
            --s.starting_;
        }
    } slot{*this};

    auto session = std::make_shared<Session>();
    session->volume = req.volume;
    session->base = req.base_snapshot;
    session->diff = req.diff_snapshot;
    session->atime = req.atime;
    session->max_diffs = req.max_diffs;
    session->changes = tree_difference(base_dir, diff_dir, req.atime);
    session->digest = difference_digest(session->changes);

    if (req.restart_cookie) {
        const std::string &c = *req.restart_cookie;
        auto parts = split(c, ':');
        std::optional<std::string> volume, base, diff;
        size_t position = 0;
        bool well_formed = parts.size() == 7 && parts[0] == "simcq1" &&
                           (parts[4] == "a0" || parts[4] == "a1") && !parts[5].empty() &&
                           parts[5].size() <= 12 &&
                           parts[5].find_first_not_of("0123456789") == std::string::npos;
        if (well_formed) {
            volume = from_hex(parts[1]);
            base = parts[2] == "-" ? std::optional<std::string>() : from_hex(parts[2]);
            diff = from_hex(parts[3]);
            position = std::stoull(parts[5]);
            well_formed = volume && diff && (parts[2] == "-" || base);
        }
        if (!well_formed)
            throw ApiError(SIM_EBADCOOKIE,
                           "input \"restart-cookie\" is not a restart cookie of this simulator");
        if (*volume != req.volume || base != req.base_snapshot || *diff != req.diff_snapshot)
            throw ApiError(SIM_EBADCOOKIE,
                           "the restart cookie belongs to a session of " +
                               describe(*volume, base, *diff) + ", not of " +
                               describe(req.volume, req.base_snapshot, req.diff_snapshot));
        if ((parts[4] == "a1") != req.atime)
            throw ApiError(SIM_EBADCOOKIE, std::string("the restart cookie belongs to a session "
                                                       "with atime ") +
                                               (parts[4] == "a1" ? "true" : "false") +
                                               "; start with the same atime to resume");
        if (parts[6] != session->digest || position > session->changes.size())
            throw ApiError(SIM_EBADCOOKIE,
                           "the restart cookie no longer matches: the difference of " +
                               describe(req.volume, req.base_snapshot, req.diff_snapshot) +
                               " changed since it was issued; start without it");
        session->delivered = position;
    }

    session->id = new_uuid();
    session->last_used = Clock::now();
    std::lock_guard lock(mutex_);
    do
        session->handle = "cqs-" + random_hex(16);
    while (sessions_.count(session->handle) != 0);
    sessions_[session->handle] = session;
    return {session->handle, session->id, "active"};
}

std::shared_ptr<Sessions::Session> Sessions::find(const std::string &handle,
                                                  const std::string &hash, bool is_next,
                                                  std::string &error, uint32_t &status) {
    expire_idle();
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        status = RPC_BADSESSION;
        // Handles are printable; anything else is cut out of the message.
        std::string shown = handle.substr(0, 40);
        for (char &ch : shown)
            if (ch < 0x20 || ch > 0x7e)
                ch = '?';
        error = "no change-scan session \"" + shown + "\" (never started, ended or expired)";
        return nullptr;
    }
    Session &s = *it->second;
    s.last_used = Clock::now();
    // Every next call counts, refused ones too: the client counts its calls
    // the same way, so both sides stay in step after a refusal.
    uint32_t sequence = is_next ? ++s.next_calls : 0;
    if (hash != request_hash(s.id, sequence)) {
        status = RPC_SEQ_MISORDERED;
        error = "request hash does not match session id and sequence " + std::to_string(sequence) +
                (is_next ? " (next calls count from 1)" : "");
        return nullptr;
    }
    return it->second;
}

OpOutcome Sessions::status(const std::string &handle, const std::string &hash) {
    std::lock_guard lock(mutex_);
    OpOutcome out;
    auto s = find(handle, hash, false, out.text, out.status);
    if (s)
        out.text = s->progress_text(s->delivered == s->changes.size() ? "complete" : "active");
    return out;
}

OpOutcome Sessions::end(const std::string &handle, const std::string &hash) {
    std::lock_guard lock(mutex_);
    OpOutcome out;
    auto s = find(handle, hash, false, out.text, out.status);
    if (s) {
        out.text = s->progress_text("ended");
        sessions_.erase(handle);
    }
    return out;
}

NextOutcome Sessions::next(const std::string &handle, const std::string &hash) {
    std::lock_guard lock(mutex_);
    NextOutcome out;
    auto s = find(handle, hash, true, out.error, out.status);
    if (!s)
        return out;
    size_t total = s->changes.size();
    size_t count =
        std::min<size_t>({size_t{s->max_diffs}, size_t{MAX_BATCH}, total - s->delivered});
    for (size_t i = s->delivered; i < s->delivered + count; ++i) {
        const Change &c = s->changes[i];
        BatchRecord r{c.type, c.attrs, c.path};
        r.attrs.inode += inode_offset_;
        if (r.attrs.inode > UINT32_MAX)
            out.status = RPC_V2_OK;
        out.records.push_back(std::move(r));
    }
    s->delivered += count;
    out.eof = s->delivered == total;
    out.progress = total == 0 ? 100 : static_cast<uint32_t>(s->delivered * 100 / total);
    out.restart_cookie = s->cookie(s->delivered);
    return out;
}

} // namespace sim
