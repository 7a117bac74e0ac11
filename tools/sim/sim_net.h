// Listening sockets and a descriptor owner shared by the stream and RPC
// listeners.
#pragma once

#include <string>
#include <unistd.h>
#include <utility>

namespace sim {

class Socket {
  public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Socket &operator=(Socket &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    Socket(const Socket &) = delete;
    ~Socket() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

  private:
    int fd_;
};

// A TCP socket bound to `address` and `port` and listening; throws StartError
// naming `what` (for example "the stream protocol") and the system error.
Socket listen_tcp(const std::string &address, int port, const char *what);

// A pipe whose write end wakes a poll loop when the simulator stops.
class WakePipe {
  public:
    WakePipe();
    int read_fd() const { return read_.get(); }
    void wake();

  private:
    Socket read_, write_;
};

} // namespace sim
