// A real forwarding proxy (tinyproxy) started on 127.0.0.1 with a free port for the length of
// one test, optionally demanding Basic authentication; stopped by the destructor.
#ifndef ORCHEL_TESTS_PROXY_SERVER_H
#define ORCHEL_TESTS_PROXY_SERVER_H

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class ProxyServer {
public:
    // An empty user: no authentication. Otherwise requests without these Basic credentials
    // are answered 407 with a Basic challenge (tinyproxy answers wrong ones 401 with a
    // WWW-Authenticate challenge); user and password may not hold blanks, quotes, ':' or '#'
    // (std::invalid_argument). Throws std::runtime_error when tinyproxy does not start.
    ProxyServer(const std::string& user = "", const std::string& password = "");
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    int Port() const;
    // The request lines the proxy has forwarded so far, e.g. "GET http://127.0.0.1:4711/a",
    // read from its log. Exact for requests made one after another; when a refused request
    // overlaps a forwarded one, the refused one may be listed too.
    std::vector<std::string> ForwardedRequests() const;

private:
    struct Running;
    std::unique_ptr<Running> running_;
};

}  // namespace testsupport

#endif  // ORCHEL_TESTS_PROXY_SERVER_H
