// Keeps SIGPIPE away from the caller while a library it does not control
// (OpenSSL, libtirpc) writes to a socket whose peer may have gone.
//
// For the lifetime of a guard the signal is blocked in the calling thread; a
// SIGPIPE raised meanwhile is consumed before the previous mask comes back. A
// SIGPIPE already pending before the guard is the application's and is left
// alone; signal dispositions are never touched. errno is preserved.
#pragma once

#include <csignal>

class sigpipe_guard {
  public:
    sigpipe_guard();
    ~sigpipe_guard();
    sigpipe_guard(const sigpipe_guard &) = delete;
    sigpipe_guard &operator=(const sigpipe_guard &) = delete;

  private:
    sigset_t sg_pipe;
    sigset_t sg_old;
    bool sg_was_pending = false;
    bool sg_active = false;
};
