// A compact, order-stable picture of an element tree for test assertions.
#pragma once

#include "kovrel.h"
#include "stab.h"

#include <algorithm>
#include <string>
#include <vector>

// Compact picture of a tree: name, sorted attributes, contents (quoted, only
// when set), children in order. a[k=v]"text"{b,c}
inline std::string describe(kr_elem_t *e) {
    if (e == nullptr)
        return "(none)";
    std::string out = kr_elem_get_name(e);
    if (e->attr != nullptr) {
        std::vector<std::string> attrs;
        stab_iter_t iter;
        for (const char *k = stab_first(e->attr, &iter); k != nullptr;
             k = stab_next(e->attr, &iter))
            attrs.push_back(std::string(k) + "=" + stab_get(e->attr, k));
        std::sort(attrs.begin(), attrs.end());
        out += "[";
        for (size_t i = 0; i < attrs.size(); ++i)
            out += (i ? "," : "") + attrs[i];
        out += "]";
    }
    if (e->contents != nullptr)
        out += "\"" + std::string(e->contents) + "\"";
    if (e->children != nullptr) {
        out += "{";
        for (kr_elem_t *c = e->children; c != nullptr; c = c->next)
            out += describe(c) + (c->next ? "," : "");
        out += "}";
    }
    return out;
}
