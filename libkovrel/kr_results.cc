// Results elements: the "results" element every API call hands back, its
// accessors and constructors, and the transport error codes with their
// messages and API error numbers.

#include "kovrel.h"

#include "pool.h"
#include "stab.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

namespace {

constexpr const char *kr_passed = "passed";
constexpr const char *kr_unknown_reason = "Unknown";
constexpr const char *kr_undecodable_reason = "Can't decode error message.";
constexpr const char *kr_timed_out_reason = "Timed out";

// API error number of every transport code not in the table.
constexpr int kr_api_errno_default = 13011;

struct kr_transport_error_t {
    ssize_t code;
    // For 500 this is a format taking errno (unless errno is ETIMEDOUT).
    const char *reason;
    int api_errno;
};

constexpr kr_transport_error_t kr_transport_errors[] = {
    {204, "No content", kr_api_errno_default},
    {301, "Moved permanently", kr_api_errno_default},
    {400, "Bad request", kr_api_errno_default},
    {401, "Authorization failed", 13002},
    {402, "Payment required", kr_api_errno_default},
    {403, "Forbidden", kr_api_errno_default},
    {404, "URL not found", kr_api_errno_default},
    {405, "Method not allowed", kr_api_errno_default},
    {406, "Not acceptable", kr_api_errno_default},
    {407, "Proxy authentication required", 13002},
    {408, "Request timeout", kr_api_errno_default},
    {409, "Conflict", kr_api_errno_default},
    {410, "Gone", kr_api_errno_default},
    {411, "Length required", kr_api_errno_default},
    {412, "Precondition failed", kr_api_errno_default},
    {413, "Request entity too large", kr_api_errno_default},
    {414, "Request-URI too long", kr_api_errno_default},
    {415, "Unsupported media type", kr_api_errno_default},
    {500, "Unable to send the API request(err=%d).", kr_api_errno_default},
    {501, "Not implemented", kr_api_errno_default},
    {502, "Bad Gateway", kr_api_errno_default},
    {503, "Service unavailable", kr_api_errno_default},
    {504, "Gateway timeout", kr_api_errno_default},
    {505, "HTTP version not supported", kr_api_errno_default},
    {551, "Call succeeded, but can't allocate debugging parsing bypass buffer", 13922},
    {552, "Call succeeded, but can't allocate reply XML buffer", 13922},
    {553, "Can't allocate request XML buffer", 13922},
    {554, "Can't connect to host", 13055},
    {555, "Can't connect using 'hostequiv' (no permission, must be root)", 13055},
    {556, "Can't decode the embedded 'Content-length' value from the reply", kr_api_errno_default},
    {557, "Can't decode the embedded status/outcome value from the reply", kr_api_errno_default},
    {558, "Can't encode request", kr_api_errno_default},
    {559, "Can't read reply header (line 1)", 13057},
    {560, "Can't read reply header (line 2)", 13057},
    {561, "Can't read reply header (line 3)", 13057},
    {562, "Can't write request headers", kr_api_errno_default},
    {563, "Can't write request payload", kr_api_errno_default},
    {564, "Call succeeded, but reply was consumed by debugging code", 13057},
    {565, "Server unexpectedly dropped the connection for this request", kr_api_errno_default},
};

constexpr const kr_transport_error_t *kr_transport_error(ssize_t code) {
    const auto *it = std::ranges::find(kr_transport_errors, code, &kr_transport_error_t::code);
    return it == std::end(kr_transport_errors) ? nullptr : it;
}

// An out-of-range transport (a cast integer) is reported as the default
// transport, HTTP.
constexpr const char *kr_transport_prefix(kr_server_transport_t transport_type) {
    switch (transport_type) {
    case KR_SERVER_TRANSPORT_VAV:
        return "VAV";
    case KR_SERVER_TRANSPORT_ZSMS:
        return "VAV-S";
    default:
        return "HTTP POST";
    }
}

struct kr_pool_free {
    void operator()(char *p) const { pool_free(pool_default(), p); }
};
using kr_pool_string = std::unique_ptr<char, kr_pool_free>;

struct kr_elem_deleter {
    void operator()(kr_elem_t *e) const { kr_elem_free(e); }
};
using kr_elem_ptr = std::unique_ptr<kr_elem_t, kr_elem_deleter>;

using kr_escaper_t = char *(*)(const char *);

char *kr_escape_with_lf(const char *text) {
    return xml_encode_lf(text, 1);
}

// The attribute's value, or null when it is absent (stab_get would give "").
const char *kr_attr_or_null(kr_elem_t *e, const char *name) {
    return stab_get_def(e->attr, name, nullptr);
}

void kr_results_fail(kr_elem_t *o, int err, const char *reason, kr_escaper_t escape) {
    if (o == nullptr) {
        errno = EINVAL;
        return;
    }
    for (kr_elem_t *child = o->children; child != nullptr;) {
        kr_elem_t *next = child->next;
        kr_elem_free(child);
        child = next;
    }
    o->children = nullptr;
    o->lastchild = nullptr;
    char text[16];
    snprintf(text, sizeof text, "%d", err);
    kr_attr_set(o, "status", "failed");
    kr_attr_set(o, "errno", text);
    if (reason != nullptr) {
        kr_pool_string escaped(escape(reason));
        if (escaped)
            kr_attr_set(o, "reason", escaped.get());
    }
}

} // namespace

extern "C" {

int kr_results_status(kr_elem_t *e) {
    if (e == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const char *status = kr_attr_or_null(e, "status");
    return status != nullptr && strcmp(status, kr_passed) == 0;
}

// An attribute that is present but empty parses as 0.
int kr_results_errno(kr_elem_t *e) {
    if (e == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const char *text = kr_attr_or_null(e, "errno");
    if (text == nullptr)
        return -1;
    return static_cast<int>(static_cast<uint32_t>(strtol(text, nullptr, 10)));
}

// The decoded reason replaces the stored one, so the text returned belongs to
// the element; a later call decodes whatever is stored then.
const char *kr_results_reason(kr_elem_t *e) {
    if (e == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const char *status = kr_attr_or_null(e, "status");
    if (status != nullptr && strcmp(status, kr_passed) == 0)
        return nullptr;
    const char *reason = kr_attr_or_null(e, "reason");
    if (reason == nullptr || *reason == '\0')
        return kr_unknown_reason;
    // Text without an ampersand holds no entity and decodes to itself.
    if (strchr(reason, '&') == nullptr)
        return reason;
    const int saved_errno = errno;
    kr_pool_string decoded(xml_decode(reason));
    // Replacing the existing value with this short message needs no memory;
    // it also stands in when the decoded text cannot be stored.
    if (!decoded || !kr_attr_set(e, "reason", decoded.get()))
        kr_attr_set(e, "reason", kr_undecodable_reason);
    errno = saved_errno;
    return kr_attr_or_null(e, "reason");
}

kr_elem_t *kr_results_new(const char *status, const char *reason, int eno) {
    if (status == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    kr_elem_ptr results(kr_elem_new("results"));
    if (!results)
        return nullptr;
    if (!kr_attr_set(results.get(), "status", status)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (reason != nullptr) {
        // A reason that cannot be escaped is left out; that alone is no
        // failure, so errno stays as it was.
        const int saved_errno = errno;
        kr_pool_string escaped(xml_encode(reason));
        errno = saved_errno;
        if (escaped && !kr_attr_set(results.get(), "reason", escaped.get())) {
            errno = ENOMEM;
            return nullptr;
        }
    }
    if (eno >= 0) {
        char text[16];
        snprintf(text, sizeof text, "%d", eno);
        if (!kr_attr_set(results.get(), "errno", text)) {
            errno = ENOMEM;
            return nullptr;
        }
    }
    return results.release();
}

void kr_results_set_failed(kr_elem_t *o, int err, const char *reason) {
    kr_results_fail(o, err, reason, xml_encode);
}

void kr_results_set_failed_encode_lf(kr_elem_t *o, int err, const char *reason) {
    kr_results_fail(o, err, reason, kr_escape_with_lf);
}

// buffsz <= 0 (or a null buffer) leaves no room even for the terminator, so
// nothing is written.
void kr_error_string(ssize_t code, kr_server_transport_t transport_type, int extra_int_value,
                     char *buff, int buffsz) {
    const int saved_errno = errno;
    if (buff == nullptr || buffsz <= 0)
        return;
    const kr_transport_error_t *known = kr_transport_error(code);
    const char *reason = known != nullptr ? known->reason : nullptr;
    char unsent[256];
    if (code == 500) {
        if (saved_errno == ETIMEDOUT) {
            reason = kr_timed_out_reason;
        } else {
            snprintf(unsent, sizeof unsent, reason, saved_errno);
            reason = unsent;
        }
    }
    const char *prefix = kr_transport_prefix(transport_type);
    const size_t size = static_cast<size_t>(buffsz);
    if (reason == nullptr)
        snprintf(buff, size, "%s - failed, status code = %ld", prefix, static_cast<long>(code));
    else if (extra_int_value != 0)
        snprintf(buff, size, "%s - %s (%d)", prefix, reason, extra_int_value);
    else
        snprintf(buff, size, "%s - %s", prefix, reason);
    errno = saved_errno;
}

int kr_transport_errcode_to_api_errcode(ssize_t code) {
    const kr_transport_error_t *known = kr_transport_error(code);
    return known != nullptr ? known->api_errno : kr_api_errno_default;
}

} // extern "C"
