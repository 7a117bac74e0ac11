// Owning pointers for what the library hands to a test: element trees
// (kr_elem_free), text blocks (kr_free) and server handles (kr_server_close).
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

struct ServerDeleter {
    void operator()(kr_server_t *s) const { kr_server_close(s); }
};
using Server = std::unique_ptr<kr_server_t, ServerDeleter>;
