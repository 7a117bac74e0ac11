#include "sigpipe.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

namespace {

bool sigpipe_pending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

sigpipe_guard::sigpipe_guard() {
    sigemptyset(&sg_pipe);
    sigaddset(&sg_pipe, SIGPIPE);
    sg_was_pending = sigpipe_pending();
    sg_active = pthread_sigmask(SIG_BLOCK, &sg_pipe, &sg_old) == 0;
}

sigpipe_guard::~sigpipe_guard() {
    if (!sg_active)
        return;
    const int saved_errno = errno;
    if (!sg_was_pending && sigpipe_pending()) {
        const struct timespec zero = {0, 0};
        sigtimedwait(&sg_pipe, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &sg_old, nullptr);
    errno = saved_errno;
}
