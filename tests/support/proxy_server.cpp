#include "support/proxy_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "support/loopback.h"

extern char** environ;

namespace testsupport {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kStartAttempts = 5;
constexpr auto kStartTimeout = 10s;
constexpr auto kStopTimeout = 5s;
constexpr auto kPollInterval = 20ms;

// ---- configuration ----

// tinyproxy reads its settings as blank-separated words; a name holding a blank, a quote or a
// colon (the Basic separator) cannot be configured faithfully.
void CheckCredential(const std::string& text, const char* what) {
    if (text.empty() || text.find_first_of(" \t\r\n\"':#") != std::string::npos) {
        throw std::invalid_argument(std::string("ProxyServer: unusable ") + what + " '" + text +
                                    "'");
    }
}

// Started as root, tinyproxy changes to the configured user; it stays root here so that it can
// keep writing its log in the test's root-owned folder. Other users run it as themselves.
std::string IdentityLines() {
    if (::geteuid() != 0) {
        return {};
    }
    const passwd* user = ::getpwuid(0);
    const group* group = ::getgrgid(0);
    return std::string("User ") + (user != nullptr ? user->pw_name : "root") + "\nGroup " +
           (group != nullptr ? group->gr_name : "root") + "\n";
}

std::string Configuration(int port, const fs::path& logFile, const std::string& user,
                          const std::string& password) {
    std::ostringstream text;
    text << "Port " << port << "\n"
         << "Listen 127.0.0.1\n"
         << "Allow 127.0.0.1\n"
         << "Timeout 30\n"
         << "MaxClients 16\n"
         << "DisableViaHeader Yes\n"
         // Connect-level lines name each request; Info adds the lines that tell forwarded
         // requests from refused ones.
         << "LogLevel Info\n"
         << "LogFile \"" << logFile.string() << "\"\n"
         << IdentityLines();
    if (!user.empty()) {
        text << "BasicAuth " << user << " " << password << "\n";
    }
    return text.str();
}

// ---- the process ----

pid_t Spawn(const fs::path& configFile, const fs::path& outputFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string program = "tinyproxy";
    std::string foreground = "-d";
    std::string configOption = "-c";
    std::string configPath = configFile.string();
    char* const argv[] = {program.data(), foreground.data(), configOption.data(), configPath.data(),
                          nullptr};
    pid_t child = -1;
    const int error = posix_spawnp(&child, "tinyproxy", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("ProxyServer: cannot start tinyproxy (is it installed?)");
    }
    return child;
}

bool HasExited(pid_t child) {
    int status = 0;
    return ::waitpid(child, &status, WNOHANG) == child;
}

// Stops the proxy and reaps it: a polite TERM first, KILL when it lingers.
void Stop(pid_t child) {
    ::kill(child, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (HasExited(child)) {
            return;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

std::string ReadText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Waits until this proxy accepts connections; false when it ended first (its port was taken
// meanwhile) or did not come up in time. Its own output must say it listens: a connection alone
// could reach whoever took the port.
bool AwaitListening(pid_t child, int port, const fs::path& outputFile, const fs::path& logFile) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (HasExited(child)) {
            return false;
        }
        // Messages go to the output until the log file is open.
        const std::string_view kListening = "Accepting connections";
        if ((ReadText(logFile).find(kListening) != std::string::npos ||
             ReadText(outputFile).find(kListening) != std::string::npos) &&
            LoopbackAccepts(port)) {
            return !HasExited(child);
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    Stop(child);
    return false;
}

// ---- the log ----

// The number after `marker` in `line`, or -1.
int NumberAfter(std::string_view line, std::string_view marker) {
    const std::size_t at = line.find(marker);
    if (at == std::string_view::npos) {
        return -1;
    }
    return std::atoi(std::string(line.substr(at + marker.size())).c_str());
}

// "GET http://host/a HTTP/1.1" without its protocol version.
std::string RequestLine(std::string_view line) {
    const std::size_t start = line.find("): ");
    std::string_view request = line.substr(start + 3);
    if (const std::size_t version = request.rfind(" HTTP/"); version != std::string_view::npos) {
        request = request.substr(0, version);
    }
    return std::string(request);
}

// tinyproxy logs each request line when it reads it, whether it forwards it or refuses it
// (407). A forwarded one is followed by the connection to the server, logged without the
// client's descriptor but by the same thread right after the request, and at its end by a
// line pairing the client's descriptor with the server's.
std::vector<std::string> ForwardedFromLog(const std::string& log) {
    struct Pending {
        std::string line;
        bool forwarded = false;
    };
    std::map<int, Pending> byClient;
    std::vector<std::string> forwarded;
    int lastClient = -1;
    const auto confirm = [&](int client) {
        const auto found = byClient.find(client);
        if (found != byClient.end() && !found->second.forwarded) {
            found->second.forwarded = true;
            forwarded.push_back(found->second.line);
        }
    };
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (const int client = NumberAfter(line, "]: Connect (file descriptor "); client >= 0) {
            byClient.erase(client);
        } else if (const int requester = NumberAfter(line, "]: Request (file descriptor ");
                   requester >= 0) {
            byClient[requester] = Pending{RequestLine(line), false};
            lastClient = requester;
        } else if (line.find("]: Established connection to host ") != std::string::npos) {
            confirm(lastClient);
        } else if (const int closed =
                       NumberAfter(line, "Closed connection between local client (fd:");
                   closed >= 0) {
            confirm(closed);
        }
    }
    return forwarded;
}

}  // namespace

struct ProxyServer::Running {
    fs::path folder;
    fs::path logFile;
    int port = 0;
    pid_t child = -1;

    ~Running() {
        if (child > 0) {
            Stop(child);
        }
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
};

ProxyServer::ProxyServer(const std::string& user, const std::string& password)
    : running_(std::make_unique<Running>()) {
    if (!user.empty()) {
        CheckCredential(user, "user");
        CheckCredential(password, "password");
    }
    std::string pattern = (fs::temp_directory_path() / "orchel-proxy-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("ProxyServer: cannot create its folder");
    }
    running_->folder = pattern;
    running_->logFile = running_->folder / "tinyproxy.log";
    const fs::path configFile = running_->folder / "tinyproxy.conf";
    const fs::path outputFile = running_->folder / "output.log";
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        const int port = FreeLoopbackPort();
        std::ofstream(configFile, std::ios::trunc)
            << Configuration(port, running_->logFile, user, password);
        fs::remove(outputFile);
        fs::remove(running_->logFile);
        const pid_t child = Spawn(configFile, outputFile);
        if (AwaitListening(child, port, outputFile, running_->logFile)) {
            running_->port = port;
            running_->child = child;
            return;
        }
    }
    throw std::runtime_error("ProxyServer: tinyproxy did not start:\n" + ReadText(outputFile) +
                             ReadText(running_->logFile));
}

ProxyServer::~ProxyServer() = default;

int ProxyServer::Port() const {
    return running_->port;
}

std::vector<std::string> ProxyServer::ForwardedRequests() const {
    return ForwardedFromLog(ReadText(running_->logFile));
}

}  // namespace testsupport
