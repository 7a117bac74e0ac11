// The caller's entry into an API call: dispatch on the handle's style to a
// transport, and the unwrapping of a parsed reply into the results element
// handed back.

#include "kovrel.h"

#include "kovrel_xml.h"
#include "kr_http.h"
#include "kr_vav.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

namespace {

constexpr int KR_ERRNO_BAD_STYLE = 13002;
constexpr int KR_ERRNO_NO_SUPPORT = 13011;
constexpr int KR_ERRNO_BAD_REPLY = 13011;
constexpr int KR_ERRNO_INCOMPLETE = 13001;

struct kr_elem_deleter {
    void operator()(kr_elem_t *e) const { kr_elem_free(e); }
};
using kr_elem_ptr = std::unique_ptr<kr_elem_t, kr_elem_deleter>;

bool kr_is_named(const kr_elem_t *e, const char *name) {
    return e->name != nullptr && strcmp(e->name, name) == 0;
}

// kr_qapi_get_result, also telling whether the result was made here.
kr_elem_t *kr_qapi_unwrap(kr_elem_stack_t *elemStack, int *local_errno) {
    *local_errno = KR_ERRNO_BAD_REPLY;
    if (elemStack == nullptr)
        return kr_results_failed("No elements in response", KR_ERRNO_BAD_REPLY);
    // The stack no longer owns the root, whatever the outcome.
    kr_elem_ptr root(elemStack[0].elem);
    elemStack[0].elem = nullptr;
    if (root == nullptr || !kr_is_named(root.get(), "kovrel"))
        return kr_results_failed("No kovrel element in response", KR_ERRNO_BAD_REPLY);
    kr_elem_t *results = kr_elem_child(root.get(), "results");
    if (results == nullptr)
        return kr_results_failed("No results element in response", KR_ERRNO_BAD_REPLY);
    *local_errno = 0;
    int children = 0;
    bool has_trace = false;
    for (kr_elem_t *c = root->children; c != nullptr; c = c->next) {
        ++children;
        has_trace = has_trace || kr_is_named(c, "trace-output");
    }
    // Any other company of "results" is output the caller must see, so the
    // whole envelope is handed over then.
    if (children > 2 || (children == 2 && !has_trace))
        return root.release();
    kr_child_detach(root.get(), results);
    return results;
}

} // namespace

kr_elem_t *kr_results_failed(const char *reason, int eno) {
    kr_elem_t *results = kr_results_new("failed", reason, eno);
    if (results == nullptr && reason != nullptr)
        results = kr_results_new("failed", nullptr, eno);
    if (results == nullptr)
        errno = ENOMEM;
    return results;
}

kr_elem_t *kr_reply_result(struct xml_ctx *r, int *local_errno) {
    if (r->parse_error != nullptr) {
        *local_errno = KR_ERRNO_INCOMPLETE;
        kr_elem_t *failed = kr_parse_error(r);
        return failed != nullptr
                   ? failed
                   : kr_results_failed("Memory allocation failure", KR_ERRNO_INCOMPLETE);
    }
    // A reply cut off inside an element holds a partial tree; handing part
    // of the server's answer over as if it were the whole would mislead the
    // caller, so it is a parse failure like any other broken reply.
    const bool open_below_root = r->elemStacksize > 1 && r->elemStack[1].elem != nullptr;
    if (r->elemDepth >= 0 || open_below_root) {
        *local_errno = KR_ERRNO_INCOMPLETE;
        return kr_results_failed("Parsing error in results: reply ended inside an element",
                                 KR_ERRNO_INCOMPLETE);
    }
    return kr_qapi_unwrap(r->elemStack, local_errno);
}

extern "C" {

kr_elem_t *kr_qapi_get_result(kr_elem_stack_t *elemStack) {
    int local_errno;
    return kr_qapi_unwrap(elemStack, &local_errno);
}

kr_elem_t *kr_server_invoke_elem(kr_server_t *s, kr_elem_t *i) {
    if (s == nullptr || i == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // The setter stores any value the caller casts to the enumeration, so the
    // field is read as its bits (a value outside the enumeration's range is
    // no valid kr_style_t) and compared unsigned: negative values are
    // unrecognized too.
    unsigned style;
    static_assert(sizeof style == sizeof s->style);
    memcpy(&style, &s->style, sizeof style);
    if (style > KR_STYLE_CERTIFICATE)
        return kr_results_failed("Unrecognized server authentication style", KR_ERRNO_BAD_STYLE);
    switch (style) {
    case KR_STYLE_RPC:
        return kr_results_failed("No RPC support on UNIX", KR_ERRNO_NO_SUPPORT);
    case KR_STYLE_VAV:
        return kr_server_invoke_elem_vav(s, i);
    default:
        return kr_server_invoke_elem_http(s, i);
    }
}

kr_elem_t *kr_server_invoke(kr_server_t *s, const char *api, ...) {
    if (s == nullptr || api == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    kr_elem_ptr request(kr_elem_new(api));
    if (request == nullptr)
        return nullptr;
    va_list ap;
    va_start(ap, api);
    bool complete = true;
    for (;;) {
        const char *name = va_arg(ap, const char *);
        if (name == nullptr)
            break;
        const char *value = va_arg(ap, const char *);
        if (value == nullptr)
            break;
        // A request missing one of the caller's values must not be sent: it
        // could do something else than the caller asked for.
        if (kr_child_add_string(request.get(), name, value) == nullptr) {
            complete = false;
            break;
        }
    }
    va_end(ap);
    if (!complete) {
        errno = ENOMEM;
        return nullptr;
    }
    return kr_server_invoke_elem(s, request.get());
}

} // extern "C"
