// The change-scan RPC program 400010 version 1 (libtirpc's server side).
#pragma once

#include "sim_net.h"
#include "sim_sessions.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace sim {

class RpcListener {
  public:
    // Binds, registers the program (with no port mapper) and starts the
    // service loop; throws StartError. Only one may exist at a time: the RPC
    // library's service state is process-wide.
    RpcListener(Sessions &sessions, const std::string &address, int port,
                std::chrono::seconds connection_idle);
    ~RpcListener(); // stops
    void stop();

  private:
    void loop();

    WakePipe wake_;
    std::chrono::seconds idle_;
    std::atomic<bool> stopping_{false};
    void *rendezvous_ = nullptr; // the listening transport (SVCXPRT)
    int listen_fd_ = -1;
    std::thread thread_;
};

} // namespace sim
