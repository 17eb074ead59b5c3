#include "support/proxy_server.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/scratch.h"

extern char** environ;

namespace {

using testsupport::ProxyServer;
using testsupport::TempFolder;
using namespace std::chrono_literals;

// Python's static file server on a free port of 127.0.0.1, serving one folder.
class FileServer {
public:
    explicit FileServer(const std::string& folder) {
        for (int attempt = 0; attempt < 5 && child_ < 0; ++attempt) {
            Start(folder, testsupport::FreeLoopbackPort());
        }
        if (child_ < 0) {
            throw std::runtime_error("the file server did not start");
        }
    }
    ~FileServer() {
        ::kill(child_, SIGTERM);
        int status = 0;
        ::waitpid(child_, &status, 0);
    }
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    void Start(const std::string& folder, int port) {
        std::vector<std::string> words = {
            "python3", "-m",        "http.server", std::to_string(port),
            "--bind",  "127.0.0.1", "--directory", folder};
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t child = -1;
        const int error = posix_spawnp(&child, "python3", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            return;
        }
        for (int wait = 0; wait < 500; ++wait) {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child) {
                return;  // the port was taken meanwhile
            }
            if (testsupport::LoopbackAccepts(port)) {
                child_ = child;
                port_ = port;
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
    }

    pid_t child_ = -1;
    int port_ = 0;
};

struct Response {
    long status = 0;
    std::string headers;
    std::string body;
};

std::size_t Append(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One GET through the proxy; `credentials` "user:password", or empty for none.
Response GetThroughProxy(int proxyPort, const std::string& url,
                         const std::string& credentials = "") {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   curl_easy_cleanup);
    Response response;
    const std::string proxy = "http://127.0.0.1:" + std::to_string(proxyPort);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROXY, proxy.c_str());
    // The environment's no_proxy must not send 127.0.0.1 around the proxy.
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "");
    if (!credentials.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_PROXYUSERPWD, credentials.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
    }
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, Append);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &response.headers);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    const CURLcode result = curl_easy_perform(curl.get());
    EXPECT_EQ(CURLE_OK, result) << curl_easy_strerror(result);
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &response.status);
    return response;
}

class ProxyServerTest : public ::testing::Test {
protected:
    ProxyServerTest() : files_(Served(folder_)) {}

    static std::string Served(const TempFolder& folder) {
        folder.Write("hello.txt", "hello through the proxy\n");
        return folder.Path().string();
    }

    std::string RequestLine(const std::string& path) const { return "GET " + files_.Url(path); }

    TempFolder folder_;
    FileServer files_;
};

TEST_F(ProxyServerTest, WithoutUserForwardsEveryRequest) {
    const ProxyServer proxy;
    ASSERT_GT(proxy.Port(), 0);
    EXPECT_EQ(std::vector<std::string>{}, proxy.ForwardedRequests());

    const Response hello = GetThroughProxy(proxy.Port(), files_.Url("/hello.txt"));
    EXPECT_EQ(200, hello.status);
    EXPECT_EQ("hello through the proxy\n", hello.body);
    const Response missing = GetThroughProxy(proxy.Port(), files_.Url("/missing.txt"));
    EXPECT_EQ(404, missing.status);
    EXPECT_EQ((std::vector<std::string>{RequestLine("/hello.txt"), RequestLine("/missing.txt")}),
              proxy.ForwardedRequests());
}

TEST_F(ProxyServerTest, DemandsItsBasicCredentials) {
    const ProxyServer proxy("proxyuser", "proxy-s3cret");

    const Response anonymous = GetThroughProxy(proxy.Port(), files_.Url("/hello.txt?anonymous"));
    EXPECT_EQ(407, anonymous.status);
    EXPECT_NE(std::string::npos, anonymous.headers.find("Proxy-Authenticate: Basic"))
        << anonymous.headers;
    // tinyproxy answers wrong credentials with 401; either way nothing is forwarded.
    const Response wrong =
        GetThroughProxy(proxy.Port(), files_.Url("/hello.txt?wrong"), "proxyuser:other");
    EXPECT_NE(200, wrong.status);
    EXPECT_NE("hello through the proxy\n", wrong.body);
    EXPECT_EQ(std::vector<std::string>{}, proxy.ForwardedRequests());

    const Response allowed =
        GetThroughProxy(proxy.Port(), files_.Url("/hello.txt?allowed"), "proxyuser:proxy-s3cret");
    EXPECT_EQ(200, allowed.status);
    EXPECT_EQ("hello through the proxy\n", allowed.body);
    const Response anonymousAgain = GetThroughProxy(proxy.Port(), files_.Url("/hello.txt?again"));
    EXPECT_EQ(407, anonymousAgain.status);
    EXPECT_EQ(std::vector<std::string>{RequestLine("/hello.txt?allowed")},
              proxy.ForwardedRequests());
}

TEST_F(ProxyServerTest, EachProxyHasItsPortUntilItEnds) {
    int firstPort = 0;
    {
        const ProxyServer first;
        const ProxyServer second("user", "password");
        firstPort = first.Port();
        EXPECT_NE(first.Port(), second.Port());
        EXPECT_EQ(200, GetThroughProxy(first.Port(), files_.Url("/hello.txt")).status);
        EXPECT_EQ(407, GetThroughProxy(second.Port(), files_.Url("/hello.txt")).status);
        EXPECT_EQ(1u, first.ForwardedRequests().size());
        EXPECT_EQ(0u, second.ForwardedRequests().size());
    }
    EXPECT_FALSE(testsupport::LoopbackAccepts(firstPort));
}

TEST(ProxyServer, RefusesCredentialsItCannotConfigure) {
    for (const auto& [user, password] :
         std::vector<std::pair<std::string, std::string>>{{"two words", "password"},
                                                          {"user", "pass word"},
                                                          {"us:er", "password"},
                                                          {"user", ""},
                                                          {"user", "quo\"te"}}) {
        EXPECT_THROW(ProxyServer(user, password), std::invalid_argument) << user << " " << password;
    }
}

}  // namespace
