#include "invoke_request.h"

#include "cli_errors.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>

namespace kovrel_cli {
namespace {

bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-';
}

[[noreturn]] void out_of_memory(const char *what) {
    throw Failure(fmt::format("cannot build the request ({}): out of memory", what));
}

} // namespace

bool is_element_name(std::string_view name, bool allow_dots) {
    if (name.empty() || !is_name_start(name.front()))
        return false;
    for (char c : name)
        if (!is_name_char(c) && !(allow_dots && c == '.'))
            return false;
    return true;
}

RequestParam parse_request_param(std::string_view arg) {
    const auto eq = arg.find('=');
    if (eq == std::string_view::npos)
        throw UsageError(fmt::format("argument '{}' is not of the form name=value", arg));
    const std::string_view key = arg.substr(0, eq);
    RequestParam p;
    p.value = std::string(arg.substr(eq + 1));
    const auto dot = key.find('.');
    p.name = std::string(key.substr(0, dot));
    if (dot != std::string_view::npos) {
        p.sub = std::string(key.substr(dot + 1));
        if (p.sub.find('.') != std::string::npos)
            throw UsageError(
                fmt::format("argument '{}': only one level of nesting (name.sub=value) "
                            "is supported; use --xml for deeper requests",
                            arg));
        if (!is_element_name(p.sub))
            throw UsageError(
                fmt::format("argument '{}': '{}' is not a valid element name", arg, p.sub));
    }
    if (!is_element_name(p.name))
        throw UsageError(fmt::format("argument '{}': '{}' is not a valid element name "
                                     "(letters, digits, '-' and '_', starting with a letter)",
                                     arg, p.name));
    return p;
}

ElemPtr build_request(const std::string &api, const std::vector<std::string> &args) {
    if (!is_element_name(api, true))
        throw UsageError(fmt::format("'{}' is not a valid API name", api));
    // Parse everything first: a bad argument is reported before any work.
    std::vector<RequestParam> params;
    params.reserve(args.size());
    for (const std::string &arg : args)
        params.push_back(parse_request_param(arg));

    std::map<std::string, bool> has_subs; // name -> given as name.sub (else as name=value)
    for (const RequestParam &p : params) {
        const auto [it, added] = has_subs.emplace(p.name, !p.sub.empty());
        if (!added && it->second != !p.sub.empty())
            throw UsageError(fmt::format("'{}' is given both as {}=value and as {}.sub=value; "
                                         "use one form",
                                         p.name, p.name, p.name));
    }

    ElemPtr request(kr_elem_new(api.c_str()));
    if (!request)
        out_of_memory(api.c_str());
    std::map<std::string, kr_elem_t *> groups; // owned by the request tree
    for (const RequestParam &p : params) {
        kr_elem_t *parent = request.get();
        if (!p.sub.empty()) {
            auto found = groups.find(p.name);
            if (found == groups.end()) {
                ElemPtr group(kr_elem_new(p.name.c_str()));
                if (!group || kr_child_add(request.get(), group.get()) == nullptr)
                    out_of_memory(p.name.c_str());
                found = groups.emplace(p.name, group.release()).first;
            }
            parent = found->second;
        }
        const std::string &child = p.sub.empty() ? p.name : p.sub;
        if (kr_child_add_string(parent, child.c_str(), p.value.c_str()) == nullptr)
            out_of_memory(child.c_str());
    }
    return request;
}

ElemPtr parse_xml_request(std::string text, const std::string &source) {
    // The reader wants a writable, NUL-terminated buffer.
    ElemPtr request(kr_qapi_get_elem_from_raw_xmlinput(text.data()));
    if (!request)
        throw UsageError(fmt::format("{} does not hold a well-formed XML request", source));
    return request;
}

ElemPtr read_xml_request(const std::string &path) {
    std::string text;
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad())
            throw UsageError("cannot read the XML request from standard input");
        return parse_xml_request(std::move(text), "standard input");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError(fmt::format("cannot read --xml {}: {}", path, std::strerror(errno)));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        throw UsageError(fmt::format("cannot read --xml {}: {}", path, std::strerror(errno)));
    return parse_xml_request(buffer.str(), path);
}

} // namespace kovrel_cli
