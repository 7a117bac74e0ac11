// The XML documents of the API: reading a request, writing a reply. libxml2
// does the parsing and the escaping; external entities and DTDs are never
// loaded.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// One API request: the element inside the "kovrel" envelope and its children
// with their text.
struct ApiRequest {
    std::string api;
    std::vector<std::pair<std::string, std::string>> inputs;
    std::string version; // of the envelope, echoed in the reply
};

// Parses a request document; ApiError (bad request) when it is not a
// well-formed "kovrel" envelope holding one API element whose children hold
// text only.
ApiRequest parse_request(std::string_view document);

// An output element of a passed reply: text or children.
struct OutElement {
    std::string name;
    std::string text;
    std::vector<OutElement> children;
};

std::string reply_passed(const std::vector<OutElement> &outputs, const std::string &version);
std::string reply_failed(int number, const std::string &reason, const std::string &version);

} // namespace sim
