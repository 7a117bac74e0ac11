// The request of `kovrel invoke`: built from `API name=value ...` arguments or
// read as raw XML.
#pragma once

#include "kr_handles.h"

#include <string>
#include <string_view>
#include <vector>

namespace kovrel_cli {

// One `name=value` or `name.sub=value` argument.
struct RequestParam {
    std::string name;
    std::string sub; // empty: a value of `name` itself
    std::string value;
};

// A name an XML element can carry here: a letter or underscore, then
// letters, digits, '-' and '_' (the API names also use '.').
bool is_element_name(std::string_view name, bool allow_dots = false);

// UsageError for an argument without '=', an empty or invalid name, or more
// than one level of nesting.
RequestParam parse_request_param(std::string_view arg);

// The element API with one string child per name=value (in order; a repeated
// name adds several children) and, for name.sub=value, a child `name` that
// gathers all of its `sub` values. UsageError when a name is given both a
// value and sub-values, Failure when memory runs out.
ElemPtr build_request(const std::string &api, const std::vector<std::string> &args);

// Parses the XML text of a request. UsageError when it is not well-formed.
ElemPtr parse_xml_request(std::string text, const std::string &source);

// Reads the request from FILE, or from standard input for "-".
ElemPtr read_xml_request(const std::string &path);

} // namespace kovrel_cli
