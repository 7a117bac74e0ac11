// `kovrel sim`: starts the listeners, says when it is ready, and runs until a
// signal or the --seconds limit stops it.
#include "kovrel_tool.h"
#include "sim_api.h"
#include "sim_error.h"
#include "sim_http.h"
#include "sim_options.h"
#include "sim_rpc.h"
#include "sim_sessions.h"
#include "sim_stream.h"
#include "sim_tls_cert.h"
#include "sim_volumes.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <libxml/parser.h>
#include <memory>
#include <optional>
#include <pthread.h>

namespace sim {
namespace {

// Waits for SIGINT or SIGTERM, or until `seconds` have passed (0: no limit).
void wait_for_stop(const sigset_t &stop_signals, double seconds) {
    struct timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    double whole = std::floor(seconds);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        struct timespec wait {
            3600, 0
        };
        if (seconds > 0) {
            struct timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left_ns =
                (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
            if (left_ns <= 0)
                return;
            wait = {static_cast<time_t>(left_ns / 1000000000LL), left_ns % 1000000000LL};
        }
        int sig = sigtimedwait(&stop_signals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM)
            return;
    }
}

int run(const Options &o) {
    // Writes to clients that went away must fail, not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    // Every thread started from here inherits the blocked stop signals, so
    // they are taken only by the wait below.
    sigset_t stop_signals, previous;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
    xmlInitParser();

    int status = 0;
    {
        Volumes volumes(o.volumes);
        Sessions sessions(volumes, o.max_sessions, std::chrono::seconds(o.session_idle),
                          o.inode_offset);
        Api api(volumes, sessions, o.users);
        std::unique_ptr<HttpListener> http, https;
        std::unique_ptr<StreamListener> stream;
        std::unique_ptr<RpcListener> rpc;
        try {
            std::optional<TlsIdentity> identity;
            if (o.https_port != 0) {
                if (!o.cert_file.empty()) {
                    check_identity_files(o.cert_file, o.key_file);
                } else {
                    identity = make_self_signed(o.listen);
                    if (!o.cert_out.empty())
                        write_certificate(identity->cert.get(), o.cert_out);
                }
            }
            if (o.http_port != 0)
                http = std::make_unique<HttpListener>(api, o.listen, o.http_port, nullptr, "", "");
            if (o.https_port != 0)
                https = std::make_unique<HttpListener>(api, o.listen, o.https_port,
                                                       identity ? &*identity : nullptr, o.cert_file,
                                                       o.key_file);
            if (o.stream_port != 0)
                stream = std::make_unique<StreamListener>(api, o.listen, o.stream_port);
            if (o.rpc_port != 0)
                // A connection may serve one session after another; it is
                // closed when idle for as long as a session may be, at least
                // ten minutes.
                rpc = std::make_unique<RpcListener>(
                    sessions, o.listen, o.rpc_port,
                    std::chrono::seconds(std::max(o.session_idle, 600u)));
        } catch (const StartError &e) {
            std::fprintf(stderr, "kovrel sim: %s\n", e.what());
            status = 1;
        }
        if (status == 0) {
            std::fprintf(stderr, "kovrel sim: ready http=%d https=%d stream=%d rpc=%d\n",
                         o.http_port, o.https_port, o.stream_port, o.rpc_port);
            std::fflush(stderr);
            wait_for_stop(stop_signals, o.seconds);
        }
        // Stop in reverse order of starting: no API call arrives once the
        // sessions and volumes go away.
        rpc.reset();
        stream.reset();
        https.reset();
        http.reset();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

} // namespace
} // namespace sim

int kovrel_sim_main(int argc, char **argv) {
    sim::ParsedOptions parsed = sim::parse_options(argc, argv);
    if (!parsed.options)
        return parsed.exit_status;
    return sim::run(*parsed.options);
}
