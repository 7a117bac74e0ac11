// Requests are read into a libxml2 tree with network access off and without
// entity substitution or DTD loading, so a document cannot make the
// simulator fetch or expand anything. Element names are compared without a
// namespace prefix: a client may prefix every name.
#include "sim_xml.h"

#include "sim_error.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <memory>

namespace sim {
namespace {

// Bounds an API element's inputs; the library's largest request has twelve.
constexpr size_t MAX_INPUTS = 64;

struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

struct CtxtFree {
    void operator()(xmlParserCtxt *c) const { xmlFreeParserCtxt(c); }
};

std::string local_name(const xmlNode *n) {
    std::string name = reinterpret_cast<const char *>(n->name);
    auto colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

[[noreturn]] void bad(const std::string &reason) {
    throw ApiError(SIM_EBADREQUEST, reason);
}

// The text of an input: its text and CDATA pieces. Anything else inside an
// input (elements, entity references) is refused.
std::string input_text(const xmlNode *input, const std::string &api) {
    std::string text;
    for (const xmlNode *c = input->children; c != nullptr; c = c->next) {
        if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE)
            text += reinterpret_cast<const char *>(c->content);
        else if (c->type == XML_ELEMENT_NODE)
            throw ApiError(SIM_EINVALIDINPUT, "input \"" + local_name(input) + "\" of API \"" +
                                                  api + "\" holds an element \"" + local_name(c) +
                                                  "\"; it takes text only");
        else if (c->type == XML_ENTITY_REF_NODE)
            bad("input \"" + local_name(input) +
                "\" uses an entity reference; only the "
                "predefined entities and character references "
                "are accepted");
    }
    return text;
}

std::string trim_message(std::string m) {
    while (!m.empty() && (m.back() == '\n' || m.back() == ' '))
        m.pop_back();
    return m;
}

} // namespace

ApiRequest parse_request(std::string_view document) {
    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt)
        throw std::bad_alloc();
    DocPtr doc(xmlCtxtReadMemory(ctxt.get(), document.data(), static_cast<int>(document.size()),
                                 "request.xml", nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        const xmlError *e = xmlCtxtGetLastError(ctxt.get());
        bad("the request is not well-formed XML" +
            (e && e->message
                 ? ": " + trim_message(e->message) + " (line " + std::to_string(e->line) + ")"
                 : std::string()));
    }
    const xmlNode *root = xmlDocGetRootElement(doc.get());
    if (root == nullptr)
        bad("the request document has no root element");
    if (local_name(root) != "kovrel")
        bad("the request's root element is \"" + local_name(root) + "\"; it must be \"kovrel\"");
    ApiRequest req;
    if (xmlChar *v = xmlGetProp(root, BAD_CAST "version")) {
        req.version = reinterpret_cast<const char *>(v);
        xmlFree(v);
    }
    const xmlNode *api = nullptr;
    for (const xmlNode *c = root->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE)
            continue;
        if (api != nullptr)
            bad("the \"kovrel\" element holds more than one API element (\"" + local_name(api) +
                "\" and \"" + local_name(c) + "\"); send one per request");
        api = c;
    }
    if (api == nullptr)
        bad("the \"kovrel\" element holds no API element");
    req.api = local_name(api);
    for (const xmlNode *c = api->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE)
            continue;
        if (req.inputs.size() == MAX_INPUTS)
            throw ApiError(SIM_EINVALIDINPUT, "API \"" + req.api + "\" was given more than " +
                                                  std::to_string(MAX_INPUTS) + " inputs");
        req.inputs.emplace_back(local_name(c), input_text(c, req.api));
    }
    return req;
}

namespace {

// Replies carry names from the file system and texts from requests; bytes
// that are not UTF-8, and control characters XML cannot carry, become "?" so
// that every reply is a well-formed document.
std::string xml_safe(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = len != 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k)
            ok = (static_cast<unsigned char>(s[i + k]) >> 6) == 2;
        if (ok && len == 1 && c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            ok = false;
        if (ok && len == 2 && c < 0xc2) // overlong
            ok = false;
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

void add_children(xmlNode *parent, const std::vector<OutElement> &elements) {
    for (const OutElement &e : elements) {
        xmlNode *n = xmlNewChild(parent, nullptr, BAD_CAST e.name.c_str(), nullptr);
        if (!e.text.empty())
            xmlNodeAddContent(n, BAD_CAST xml_safe(e.text).c_str()); // escapes
        add_children(n, e.children);
    }
}

std::string serialize(xmlDoc *doc) {
    xmlChar *buf = nullptr;
    int len = 0;
    xmlDocDumpMemoryEnc(doc, &buf, &len, "UTF-8");
    if (buf == nullptr)
        throw std::bad_alloc();
    std::string out(reinterpret_cast<const char *>(buf), static_cast<size_t>(len));
    xmlFree(buf);
    return out;
}

// The envelope of a reply, with its "results" element.
DocPtr new_reply(const std::string &version, xmlNode **results) {
    DocPtr doc(xmlNewDoc(BAD_CAST "1.0"));
    xmlNode *root = xmlNewNode(nullptr, BAD_CAST "kovrel");
    xmlDocSetRootElement(doc.get(), root);
    if (!version.empty())
        xmlNewProp(root, BAD_CAST "version", BAD_CAST xml_safe(version).c_str());
    *results = xmlNewChild(root, nullptr, BAD_CAST "results", nullptr);
    return doc;
}

} // namespace

std::string reply_passed(const std::vector<OutElement> &outputs, const std::string &version) {
    xmlNode *results = nullptr;
    DocPtr doc = new_reply(version, &results);
    xmlNewProp(results, BAD_CAST "status", BAD_CAST "passed");
    add_children(results, outputs);
    return serialize(doc.get());
}

std::string reply_failed(int number, const std::string &reason, const std::string &version) {
    xmlNode *results = nullptr;
    DocPtr doc = new_reply(version, &results);
    xmlNewProp(results, BAD_CAST "status", BAD_CAST "failed");
    xmlNewProp(results, BAD_CAST "errno", BAD_CAST std::to_string(number).c_str());
    xmlNewProp(results, BAD_CAST "reason", BAD_CAST xml_safe(reason).c_str()); // escapes
    return serialize(doc.get());
}

} // namespace sim
