// Owning wrappers for what the library hands out, so that every exit path of
// the subcommands releases it.
#pragma once

#include <kovrel/cq_api.h>
#include <kovrel/kovrel.h>

#include <memory>

namespace kovrel_cli {

struct ElemDeleter {
    void operator()(kr_elem_t *e) const { kr_elem_free(e); }
};
using ElemPtr = std::unique_ptr<kr_elem_t, ElemDeleter>;

struct ServerDeleter {
    void operator()(kr_server_t *s) const { kr_server_close(s); }
};
using ServerPtr = std::unique_ptr<kr_server_t, ServerDeleter>;

// A block the library allocated (encoded text, decoded values).
struct LibraryFree {
    void operator()(const void *p) const { kr_free(p); }
};
using LibraryText = std::unique_ptr<char, LibraryFree>;

struct ResponseDeleter {
    void operator()(cq_rpc_resp_t *r) const { cq_rpc_free_resp(&r); }
};
using ResponsePtr = std::unique_ptr<cq_rpc_resp_t, ResponseDeleter>;

// kr_startup for the life of a subcommand. A failed start-up only means the
// requests carry no platform attribute, so it is not an error for the tool.
class LibrarySession {
  public:
    LibrarySession() {
        char message[128] = "";
        started_ = kr_startup(message, sizeof message) == 1;
    }
    ~LibrarySession() {
        if (started_)
            kr_shutdown();
    }
    LibrarySession(const LibrarySession &) = delete;
    LibrarySession &operator=(const LibrarySession &) = delete;

  private:
    bool started_ = false;
};

} // namespace kovrel_cli
