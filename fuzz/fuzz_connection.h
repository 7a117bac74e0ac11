// A connection whose peer has sent exactly the fuzzer's bytes and then shut
// down its sending side: the bytes sit in a socket pair's buffer, and the
// other end is wrapped in a plain connection record. What the code under test
// writes is accepted (and never read).
#pragma once

#include "shttpc.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

class FuzzConnection {
  public:
    FuzzConnection(const uint8_t *data, size_t size) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return;
        // Inputs are capped (-max_len) well below the socket buffer, so one
        // blocking write never waits for a reader.
        int buffer = 1 << 20;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        for (size_t done = 0; done < size;) {
            const ssize_t n = write(fds[0], data + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        shutdown(fds[0], SHUT_WR);
        peer_ = fds[0];
        sock_ = shttpc_new(SHTTPC_Type_Plain, 0);
        if (sock_ == nullptr) {
            close(fds[1]);
            return;
        }
        close(sock_->sh_socket);
        sock_->sh_socket = fds[1];
    }
    FuzzConnection(const FuzzConnection &) = delete;
    FuzzConnection &operator=(const FuzzConnection &) = delete;
    ~FuzzConnection() {
        if (sock_ != nullptr)
            shttpc_delete(sock_);
        if (peer_ >= 0)
            close(peer_);
    }
    shttpc_t get() const { return sock_; }

  private:
    shttpc_t sock_ = nullptr;
    int peer_ = -1;
};
