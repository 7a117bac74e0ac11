#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace kovrel_cli {
namespace {

volatile std::sig_atomic_t stop_signal = 0;
struct sigaction saved_int;
struct sigaction saved_term;

extern "C" void on_stop_signal(int signo) {
    stop_signal = signo;
}

void install(int signo, struct sigaction *saved) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Calls in progress go on (the library's waits retry after EINTR); the
    // flag is read between calls. SA_RESETHAND: a second signal is fatal.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(signo, &action, saved);
}

} // namespace

InterruptWatch::InterruptWatch() {
    stop_signal = 0;
    install(SIGINT, &saved_int);
    install(SIGTERM, &saved_term);
}

InterruptWatch::~InterruptWatch() {
    sigaction(SIGINT, &saved_int, nullptr);
    sigaction(SIGTERM, &saved_term, nullptr);
}

bool InterruptWatch::requested() {
    return stop_signal != 0;
}
int InterruptWatch::signal_number() {
    return stop_signal;
}

} // namespace kovrel_cli
