// The stream protocol: a request is the line "ROVUDI-D/1.0", header lines
// "User: ...", "Password: ..." and "Content-length: N", an empty line and N
// bytes of request document; the reply is "ROVUDI-D/1.0 200",
// "Content-length: N", an empty line and the reply document. Other statuses
// end the connection after the status line: 400 (not this protocol or a bad
// header), 401 (credentials), 411 (no length), 413 (too long). A connection
// may carry several requests one after another. Beyond MAX_CONNECTIONS being
// served, new connections wait in the listen backlog until a worker is free.
#include "sim_stream.h"

#include "sim_error.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace sim {
namespace {

constexpr size_t MAX_CONNECTIONS = 16;
constexpr size_t MAX_LINE = 1024;
constexpr size_t MAX_HEADER_LINES = 16;
constexpr size_t MAX_REQUEST_BYTES = 1 << 20;
constexpr int IO_TIMEOUT_MS = 10000;
constexpr const char *PROTOCOL = "ROVUDI-D/1.0";

// Buffered reading with a time-out per wait, so a silent or slow client
// cannot hold a worker for ever.
class Reader {
  public:
    explicit Reader(int fd) : fd_(fd) {}

    enum Result { OK, END, FAILED };

    // A line without its line feed (and a carriage return before it); END
    // when the connection ends before any byte of the line.
    Result line(std::string &out) {
        out.clear();
        for (;;) {
            if (pos_ == len_) {
                Result r = fill();
                if (r != OK)
                    return r == END && !out.empty() ? FAILED : r;
            }
            char c = buf_[pos_++];
            if (c == '\n') {
                if (!out.empty() && out.back() == '\r')
                    out.pop_back();
                return OK;
            }
            if (out.size() == MAX_LINE)
                return FAILED;
            out += c;
        }
    }

    Result bytes(std::string &out, size_t n) {
        out.clear();
        while (out.size() < n) {
            if (pos_ == len_ && fill() != OK)
                return FAILED;
            size_t take = std::min(n - out.size(), len_ - pos_);
            out.append(buf_ + pos_, take);
            pos_ += take;
        }
        return OK;
    }

  private:
    Result fill() {
        struct pollfd p {
            fd_, POLLIN, 0
        };
        int rc = ::poll(&p, 1, IO_TIMEOUT_MS);
        if (rc <= 0)
            return FAILED;
        ssize_t n = ::recv(fd_, buf_, sizeof buf_, 0);
        if (n < 0)
            return FAILED;
        if (n == 0)
            return END;
        pos_ = 0;
        len_ = static_cast<size_t>(n);
        return OK;
    }

    int fd_;
    char buf_[4096];
    size_t pos_ = 0, len_ = 0;
};

bool send_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        struct pollfd p {
            fd, POLLOUT, 0
        };
        if (::poll(&p, 1, IO_TIMEOUT_MS) <= 0)
            return false;
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void send_status(int fd, int status) {
    send_all(fd, std::string(PROTOCOL) + " " + std::to_string(status) + "\r\n");
}

// The value of a "Name: value" line when the name matches (ignoring case);
// one blank after the colon belongs to the separator, the rest to the value.
bool header_value(const std::string &line, const char *name, std::string &value) {
    size_t n = std::strlen(name);
    if (line.size() <= n || strncasecmp(line.c_str(), name, n) != 0 || line[n] != ':')
        return false;
    value = line.substr(n + 1);
    if (!value.empty() && value[0] == ' ')
        value.erase(0, 1);
    return true;
}

} // namespace

StreamListener::StreamListener(Api &api, const std::string &address, int port)
    : api_(api), listen_(listen_tcp(address, port, "the stream protocol")) {
    acceptor_ = std::thread([this] { accept_loop(); });
}

StreamListener::~StreamListener() {
    stop();
}

void StreamListener::reap_finished() {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

bool StreamListener::at_capacity() {
    std::lock_guard lock(mutex_);
    return workers_.size() >= MAX_CONNECTIONS;
}

void StreamListener::accept_loop() {
    while (!stopping_) {
        struct pollfd p[2] = {{listen_.get(), POLLIN, 0}, {wake_.read_fd(), POLLIN, 0}};
        if (::poll(p, 2, 1000) < 0 && errno != EINTR)
            break;
        reap_finished();
        if (stopping_ || !(p[0].revents & POLLIN))
            continue;
        if (at_capacity()) {
            // A client that has just closed may not have been noticed by its
            // worker yet; wait for a free worker instead of refusing.
            struct pollfd w = {wake_.read_fd(), POLLIN, 0};
            ::poll(&w, 1, 20);
            continue;
        }
        Socket conn(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (conn.get() < 0)
            continue;
        std::lock_guard lock(mutex_);
        int fd = conn.release();
        open_fds_.insert(fd);
        auto worker = std::make_unique<Worker>();
        Worker *w = worker.get();
        workers_.push_back(std::move(worker));
        w->thread = std::thread([this, fd, w] {
            serve(fd);
            {
                std::lock_guard lock(mutex_);
                open_fds_.erase(fd);
            }
            ::close(fd);
            w->done = true;
        });
    }
}

void StreamListener::serve(int fd) {
    Reader in(fd);
    std::string line;
    while (!stopping_) {
        Reader::Result r = in.line(line);
        if (r != Reader::OK)
            return; // the client is done (or silent for too long)
        if (line != PROTOCOL)
            return send_status(fd, 400);
        std::string user, password, length;
        bool has_user = false, has_password = false, has_length = false;
        size_t count = 0;
        for (;;) {
            if (in.line(line) != Reader::OK || ++count > MAX_HEADER_LINES)
                return send_status(fd, 400);
            if (line.empty())
                break;
            if (header_value(line, "User", user))
                has_user = true;
            else if (header_value(line, "Password", password))
                has_password = true;
            else if (header_value(line, "Content-length", length))
                has_length = true;
            // Other header lines are tolerated and ignored.
        }
        if (!has_length)
            return send_status(fd, 411);
        if (length.empty() || length.size() > 9 ||
            length.find_first_not_of("0123456789") != std::string::npos)
            return send_status(fd, 400);
        size_t size = std::stoul(length);
        if (size > MAX_REQUEST_BYTES)
            return send_status(fd, 413);
        std::string body;
        if (in.bytes(body, size) != Reader::OK)
            return;
        if (!has_user || !has_password || !api_.authorized(user, password))
            return send_status(fd, 401);
        std::string reply = api_.handle(body);
        if (!send_all(fd, std::string(PROTOCOL) + " 200\r\nContent-length: " +
                              std::to_string(reply.size()) + "\r\n\r\n" + reply))
            return;
    }
}

void StreamListener::stop() {
    if (!acceptor_.joinable())
        return;
    stopping_ = true;
    wake_.wake();
    acceptor_.join();
    {
        // Cut the connections being served so their reads end now.
        std::lock_guard lock(mutex_);
        for (int fd : open_fds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    std::list<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto &w : workers)
        w->thread.join();
    listen_.reset();
}

} // namespace sim
