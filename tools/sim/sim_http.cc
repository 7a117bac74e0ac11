// HTTP and HTTPS front of the API. cpp-httplib parses the requests and bounds
// their lines and bodies; this file adds Basic authentication, the bounded
// worker pool and the answers.
#include "sim_http.h"

#include "sim_error.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <httplib.h>
#include <mutex>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>

namespace sim {
namespace {

// The paths of the URL templates of the server kinds; all reach the same API.
constexpr const char *PATHS[] = {
    R"(/servlets/kovrel\.servlets\.admin\.XMLrequest_filer)",
    R"(/servlets/kovrel\.servlets\.admin\.XMLrequest)",
    R"(/apis/XMLrequest)",
};

constexpr size_t MAX_REQUEST_BYTES = 1 << 20;
constexpr size_t WORKER_THREADS = 16;
constexpr size_t MAX_QUEUED_CONNECTIONS = 64;
// Clients that keep a connection for later calls reuse it within 25 seconds;
// the server keeps it a little longer.
constexpr time_t KEEP_ALIVE_SECONDS = 30;
constexpr size_t KEEP_ALIVE_REQUESTS = 1000;
constexpr time_t IO_TIMEOUT_SECONDS = 10;

// A fixed set of workers with a bounded queue: when it is full, accepting
// waits, so the number of connections held stays bounded and the kernel's
// listen queue absorbs (or refuses) the rest.
class BoundedPool : public httplib::TaskQueue {
  public:
    BoundedPool(size_t threads, size_t max_queued) : max_queued_(max_queued) {
        for (size_t i = 0; i < threads; ++i)
            threads_.emplace_back([this] { work(); });
    }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        not_full_.wait(lock, [&] { return jobs_.size() < max_queued_; });
        jobs_.push_back(std::move(fn));
        not_empty_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            shutdown_ = true;
        }
        not_empty_.notify_all();
        for (std::thread &t : threads_)
            t.join();
    }

  private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(mutex_);
                not_empty_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return; // shut down and drained
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                not_full_.notify_one();
            }
            fn();
        }
    }

    size_t max_queued_;
    std::mutex mutex_;
    std::condition_variable not_empty_, not_full_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool shutdown_ = false;
};

// The user and password of a Basic Authorization header, if it is one.
bool basic_credentials(const std::string &header, std::string &user, std::string &password) {
    if (header.size() < 6 || strncasecmp(header.c_str(), "Basic ", 6) != 0)
        return false;
    std::string b64 = header.substr(6);
    while (!b64.empty() && b64.front() == ' ')
        b64.erase(0, 1);
    while (!b64.empty() && b64.back() == ' ')
        b64.pop_back();
    if (b64.empty() || b64.size() % 4 != 0 || b64.size() > 4096)
        return false;
    std::string decoded(b64.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(decoded.data()),
                            reinterpret_cast<const unsigned char *>(b64.data()),
                            static_cast<int>(b64.size()));
    if (n < 0)
        return false;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t len = static_cast<size_t>(n);
    for (size_t i = b64.size(); i > 0 && b64[i - 1] == '='; --i)
        --len;
    decoded.resize(len);
    auto colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

void configure(httplib::Server &server, Api &api) {
    server.new_task_queue = [] { return new BoundedPool(WORKER_THREADS, MAX_QUEUED_CONNECTIONS); };
    server.set_payload_max_length(MAX_REQUEST_BYTES);
    server.set_read_timeout(IO_TIMEOUT_SECONDS);
    server.set_write_timeout(IO_TIMEOUT_SECONDS);
    server.set_keep_alive_timeout(KEEP_ALIVE_SECONDS);
    server.set_keep_alive_max_count(KEEP_ALIVE_REQUESTS);

    auto answer = [&api](const httplib::Request &req, httplib::Response &res) {
        std::string user, password;
        if (!basic_credentials(req.get_header_value("Authorization"), user, password) ||
            !api.authorized(user, password)) {
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"kovrel sim\"");
            res.set_content("wrong or missing user name or password\n", "text/plain");
            return;
        }
        res.set_content(api.handle(req.body), "text/xml; charset=utf-8");
    };
    auto post_only = [](const httplib::Request &, httplib::Response &res) {
        res.status = 405;
        res.set_header("Allow", "POST");
        res.set_content("API requests are POSTed\n", "text/plain");
    };
    for (const char *path : PATHS) {
        server.Post(path, answer);
        server.Get(path, post_only);
        server.Put(path, post_only);
        server.Delete(path, post_only);
        server.Patch(path, post_only);
    }
    server.set_exception_handler(
        [](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
            res.status = 500;
            res.set_content("internal error of the simulator\n", "text/plain");
        });
}

} // namespace

HttpListener::HttpListener(Api &api, const std::string &address, int port, const TlsIdentity *tls,
                           const std::string &cert_file, const std::string &key_file)
    : port_(port) {
    const char *what = tls || !cert_file.empty() ? "HTTPS" : "HTTP";
    if (!cert_file.empty())
        server_ = std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str());
    else if (tls)
        server_ = std::make_unique<httplib::SSLServer>(tls->cert.get(), tls->key.get());
    else
        server_ = std::make_unique<httplib::Server>();
    if (!server_->is_valid())
        throw StartError(std::string("cannot set up ") + what +
                         ": the certificate or key was refused by OpenSSL");
    configure(*server_, api);
    errno = 0;
    if (!server_->bind_to_port(address, port)) {
        int err = errno;
        throw StartError(
            std::string("cannot listen for ") + what + " on " + address + " port " +
            std::to_string(port) + ": " +
            (err != 0 ? std::strerror(err) : "the address cannot be bound") +
            (err == EADDRINUSE ? " (another program uses the port; choose another)" : ""));
    }
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        finished_ = true;
    });
}

namespace {

// The server's workers wait up to the keep-alive time for the next request
// of an idle connection, and the server offers no way to cut them short. On
// stop, the connections accepted on our port are found among the process's
// descriptors and shut down (not closed: the server still owns them), so
// their workers see the end at once.
void shut_down_connections(int port) {
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return; // the workers end with their time-outs instead
    while (struct dirent *e = ::readdir(dir)) {
        int fd = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == ::dirfd(dir))
            continue;
        struct sockaddr_storage addr {};
        socklen_t len = sizeof addr;
        int listening = 0;
        socklen_t optlen = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optlen) != 0 || listening)
            continue;
        int local_port = addr.ss_family == AF_INET
                             ? ntohs(reinterpret_cast<struct sockaddr_in *>(&addr)->sin_port)
                         : addr.ss_family == AF_INET6
                             ? ntohs(reinterpret_cast<struct sockaddr_in6 *>(&addr)->sin6_port)
                             : -1;
        if (local_port == port)
            ::shutdown(fd, SHUT_RDWR);
    }
    ::closedir(dir);
}

} // namespace

void HttpListener::stop() {
    if (thread_.joinable()) {
        // listen_after_bind may not have started to run yet; stop() only
        // takes effect on a running server.
        while (!server_->is_running() && !finished_)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server_->stop();
        shut_down_connections(port_);
        thread_.join();
    }
}

HttpListener::~HttpListener() {
    stop();
}

} // namespace sim
