#include "kr_envelope.h"

#include "pool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kr_document_template[] =
    "<?xml version='1.0' encoding='utf-8' ?>\n<!DOCTYPE kovrel SYSTEM '%s'>\n%s";
// Room for the declaration, the DOCTYPE line and the terminator.
constexpr size_t kr_document_overhead = 256;

} // namespace

int kr_envelope_open(kr_envelope_t *env, const kr_server_t *s, kr_elem_t *request) {
    *env = kr_envelope_t{};
    env->env_request = request;
    const char *ns = s->ns != nullptr ? s->ns : "";
    if (ns[0] != '\0')
        snprintf(env->env_prefix, sizeof env->env_prefix, "%s:", ns);
    if (strcmp(kr_elem_get_name(request), "kovrel") == 0) {
        env->env_root = request;
        return 1;
    }
    env->env_root = kr_elem_new("kovrel");
    if (env->env_root == nullptr)
        return 0;
    env->env_created = true;
    kr_child_add(env->env_root, request);
    return 1;
}

// The encoder writes attribute values as stored, so the value is stored
// escaped: a caller's setting holding a quote, "<" or "&" must neither break
// the document nor add attributes of its own.
int kr_envelope_set(kr_envelope_t *env, const char *name, const char *value) {
    if (value == nullptr)
        return 1;
    char *escaped = xml_encode(value);
    if (escaped == nullptr)
        return 0;
    const int stored = kr_attr_set(env->env_root, name, escaped);
    pool_free(pool_default(), escaped);
    return stored;
}

void kr_envelope_close(kr_envelope_t *env) {
    if (!env->env_created)
        return;
    kr_child_detach(env->env_root, env->env_request);
    kr_elem_free(env->env_root);
    env->env_root = nullptr;
    env->env_created = false;
}

const char *kr_server_doctype(kr_server_type_t type) {
    switch (type) {
    case KR_SERVER_TYPE_QUARRA:
        return "file:/etc/kovrel.dtd";
    case KR_SERVER_TYPE_HOSTAGENT:
        return "file:/etc/kovrel_agent.dtd";
    case KR_SERVER_TYPE_TOLLEN:
    case KR_SERVER_TYPE_ZINTAR:
        return "file:/etc/kovrel_tollen.dtd";
    case KR_SERVER_TYPE_CLUSTERED:
        return "file:/etc/kovrel_cluster.dtd";
    case KR_SERVER_TYPE_STORAGE:
    default:
        return "file:/etc/kovrel_filer.dtd";
    }
}

char *kr_envelope_document(const kr_envelope_t *env, kr_server_type_t type, size_t *length,
                           kr_document_failure_t *failure) {
    *length = 0;
    char *encoded = kr_elem_encode(env->env_root, -1, env->env_prefix);
    if (encoded == nullptr) {
        *failure = KR_DOCUMENT_NOT_ENCODABLE;
        return nullptr;
    }
    const size_t size = strlen(encoded) + kr_document_overhead;
    auto *document = static_cast<char *>(pool_zalloc(pool_default(), size));
    if (document == nullptr) {
        pool_free(pool_default(), encoded);
        *failure = KR_DOCUMENT_NO_BUFFER;
        return nullptr;
    }
    const int written =
        snprintf(document, size, kr_document_template, kr_server_doctype(type), encoded);
    pool_free(pool_default(), encoded);
    *length = static_cast<size_t>(written);
    *failure = KR_DOCUMENT_OK;
    return document;
}

unsigned kr_envelope_debug_style(const kr_server_t *s) {
    unsigned style;
    static_assert(sizeof style == sizeof s->debugstyle);
    memcpy(&style, &s->debugstyle, sizeof style);
    return style;
}

void kr_envelope_print_input(const kr_server_t *s, const char *document) {
    if (s->printinput || kr_envelope_debug_style(s) == KR_PRINT_DONT_PARSE)
        printf("INPUT:\n%s\n", document);
}

// The flag is written only when it changes: invocations on other threads
// read it, and without tracing nothing ever writes it, so they share no
// written state.
void kr_envelope_trace(const char *url, const char *document) {
    const char *trace = getenv("XMLDEBUG");
    if (trace == nullptr || trace[0] == '\0') {
        if (kr_xml_debug != 0)
            kr_xml_debug = 0;
        return;
    }
    if (url != nullptr)
        fprintf(stderr, "KR_SERVER_INVOKE_ELEM:\nURL=::%s::\nXML=::%s::\n\n", url, document);
    else
        fprintf(stderr, "KR_SERVER_INVOKE_ELEM:\nXML=::%s::\n\n", document);
    if (kr_xml_debug != 1)
        kr_xml_debug = 1;
}
