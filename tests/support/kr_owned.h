// Owning pointers for what the library hands to a test: element trees
// (kr_elem_free) and text blocks (kr_free).
#pragma once

#include "kovrel.h"

#include <memory>

struct ElemDeleter {
    void operator()(kr_elem_t *e) const { kr_elem_free(e); }
};
using Elem = std::unique_ptr<kr_elem_t, ElemDeleter>;

struct TextDeleter {
    void operator()(char *s) const { kr_free(s); }
};
using Text = std::unique_ptr<char, TextDeleter>;
