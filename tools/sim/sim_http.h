// The XML API over HTTP and HTTPS (cpp-httplib).
#pragma once

#include "sim_api.h"
#include "sim_tls_cert.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace sim {

class HttpListener {
  public:
    // Binds and starts serving; throws StartError. `tls` null: plain HTTP.
    HttpListener(Api &api, const std::string &address, int port, const TlsIdentity *tls,
                 const std::string &cert_file, const std::string &key_file);
    ~HttpListener(); // stops
    void stop();

  private:
    int port_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};

} // namespace sim
