#include "results_json.h"

#include <cstring>

namespace kovrel_cli {
namespace {

int append_piece(const char *piece, void *out) {
    static_cast<std::string *>(out)->append(piece);
    return 1;
}

nlohmann::ordered_json text_of(kr_elem_t *e) {
    const char *text = kr_elem_get_content(e);
    return text != nullptr ? text : "";
}

} // namespace

std::vector<std::pair<std::string, std::string>> element_attributes(kr_elem_t *e) {
    std::vector<std::pair<std::string, std::string>> out;
    if (e == nullptr || e->attr == nullptr)
        return out;
    // The public interface reads attributes only by name. Their names come
    // from encoding an empty probe element that shares e's attribute table:
    // `<p a="v" b="w"/>`. Values are written exactly as stored, so each is
    // taken from kr_attr_get and skipped by its length, which stays correct
    // even when a value holds quotes or '=' (a hostile server's, say).
    kr_elem_t probe{};
    probe.name = "p";
    probe.name_is_const = 1;
    probe.attr = e->attr;
    std::string text;
    if (kr_elem_encode_cb(&probe, -1, "", append_piece, &text, 1) != 1)
        return out;
    size_t pos = 2; // after "<p"
    while (pos < text.size() && text[pos] == ' ') {
        const size_t eq = text.find("=\"", pos + 1);
        if (eq == std::string::npos)
            break;
        std::string name = text.substr(pos + 1, eq - pos - 1);
        const char *value = kr_attr_get(e, name.c_str());
        if (value == nullptr)
            break;
        const size_t start = eq + 2;
        const size_t length = std::strlen(value);
        if (text.compare(start, length, value) != 0 || start + length >= text.size() ||
            text[start + length] != '"')
            break;
        out.emplace_back(std::move(name), value);
        pos = start + length + 1;
    }
    return out;
}

nlohmann::ordered_json element_to_json(kr_elem_t *e) {
    const auto attributes = element_attributes(e);
    if (attributes.empty() && e->children == nullptr)
        return text_of(e);
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto &[name, value] : attributes)
        object["@" + name] = value;
    const char *text = kr_elem_get_content(e);
    if (text != nullptr && *text != '\0')
        object["#text"] = text;
    for (kr_elem_t *child = e->children; child != nullptr; child = child->next) {
        const std::string name = child->name != nullptr ? child->name : "";
        nlohmann::ordered_json value = element_to_json(child);
        auto found = object.find(name);
        if (found == object.end()) {
            object[name] = std::move(value);
        } else {
            // The second occurrence turns the entry into an array (a single
            // element's value is never an array, so an array means repeated).
            if (!found->is_array())
                *found = nlohmann::ordered_json::array({std::move(*found)});
            found->push_back(std::move(value));
        }
    }
    return object;
}

std::string results_to_json_text(kr_elem_t *results) {
    nlohmann::ordered_json json = element_to_json(results);
    if (json.is_object() && json.contains("@reason")) {
        const char *reason = kr_results_reason(results);
        if (reason != nullptr)
            json["@reason"] = reason;
    }
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

} // namespace kovrel_cli
