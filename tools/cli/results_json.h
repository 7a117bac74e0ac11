// Element trees as JSON, for `kovrel invoke --format json`.
#pragma once

#include <kovrel/kovrel.h>

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace kovrel_cli {

// The element's attributes in the library's order, values as stored.
std::vector<std::pair<std::string, std::string>> element_attributes(kr_elem_t *e);

// One element as a JSON value. A bare leaf (no attributes, no children) is its
// text ("" when it has none). Otherwise an object: "@name" for each attribute,
// "#text" for non-empty text, and each child by name; a name that occurs more
// than once becomes an array in document order.
nlohmann::ordered_json element_to_json(kr_elem_t *e);

// The results element as indented JSON text (with the reason decoded as
// kr_results_reason reads it). Bytes that are not UTF-8 become U+FFFD.
std::string results_to_json_text(kr_elem_t *results);

} // namespace kovrel_cli
