// The XML API over the stream protocol "ROVUDI-D/1.0".
#pragma once

#include "sim_api.h"
#include "sim_net.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace sim {

class StreamListener {
  public:
    // Binds and starts accepting; throws StartError.
    StreamListener(Api &api, const std::string &address, int port);
    ~StreamListener(); // stops
    void stop();

  private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void accept_loop();
    void serve(int fd);
    void reap_finished();
    // Whether MAX_CONNECTIONS connections are being served.
    bool at_capacity();

    Api &api_;
    Socket listen_;
    WakePipe wake_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::set<int> open_fds_; // connections being served, to cut them at stop
    std::list<std::unique_ptr<Worker>> workers_;
};

} // namespace sim
