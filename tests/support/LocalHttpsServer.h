#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <QTemporaryDir>

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace harbelle::testing {

// An HTTPS server on the loopback interface with a certificate made for the test run (valid for
// "127.0.0.1" and "localhost"); clients trust it through caFile(). Handlers run on its thread.
class LocalHttpsServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    LocalHttpsServer();
    ~LocalHttpsServer();

    void get(const std::string& pattern, Handler handler);
    // Starts listening; call after the handlers are in place.
    void start();
    int port() const { return port_; }
    // "https://127.0.0.1:PORT" + path, or the same under "localhost" (another host name).
    std::string url(const std::string& path) const;
    std::string localhostURL(const std::string& path) const;
    std::string caFile() const { return caFile_; }

private:
    QTemporaryDir dir_;
    std::string caFile_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace harbelle::testing
