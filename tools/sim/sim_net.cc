#include "sim_net.h"

#include "sim_error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>

namespace sim {

Socket listen_tcp(const std::string &address, int port, const char *what) {
    std::string where = address + " port " + std::to_string(port);
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo *list = nullptr;
    int rc = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0)
        throw StartError(std::string("cannot listen for ") + what + " on " + where + ": " +
                         ::gai_strerror(rc) + " (check --listen)");
    int err = 0;
    Socket s;
    for (struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        Socket candidate(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        int one = 1;
        if (candidate.get() >= 0 &&
            ::setsockopt(candidate.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            ::bind(candidate.get(), ai->ai_addr, ai->ai_addrlen) == 0 &&
            ::listen(candidate.get(), 64) == 0) {
            s = std::move(candidate);
            break;
        }
        err = errno;
    }
    ::freeaddrinfo(list);
    if (s.get() < 0)
        throw StartError(std::string("cannot listen for ") + what + " on " + where + ": " +
                         std::strerror(err) +
                         (err == EADDRINUSE ? " (another program uses the port; choose another)"
                          : err == EACCES   ? " (ports below 1024 need privileges; choose another "
                                              "port or run in a namespace of your own)"
                                            : ""));
    return s;
}

WakePipe::WakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw StartError(std::string("cannot create a pipe: ") + std::strerror(errno));
    read_ = Socket(fds[0]);
    write_ = Socket(fds[1]);
}

void WakePipe::wake() {
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(write_.get(), &c, 1);
}

} // namespace sim
