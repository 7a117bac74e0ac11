// Ctrl-C and SIGTERM during `kovrel diff`: the first one asks the listing to
// stop after the call in progress so that the session is ended cleanly; the
// handler then steps aside, so a second one stops the process at once.
#pragma once

namespace kovrel_cli {

class InterruptWatch {
  public:
    // Installs the handlers for SIGINT and SIGTERM; the destructor restores
    // the earlier ones.
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;

    static bool requested();
    // The signal that asked to stop (0 when none did).
    static int signal_number();
};

} // namespace kovrel_cli
