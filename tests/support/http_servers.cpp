#include "support/http_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/loopback.h"

namespace testsupport {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNginx = "/usr/sbin/nginx";
// Answered but not logged: see NginxServer::AccessLog.
constexpr const char* kSyncPath = "/.orchel-sync";
constexpr auto kStartTimeout = 10s;

std::filesystem::path MakePrivateFolder(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// Sends `request` and reads the answer until the server closes the connection.
void AskAndWait(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[512];
        while (recv(fd, buffer, sizeof(buffer), 0) > 0) {
        }
    }
    if (fd >= 0) {
        close(fd);
    }
}

// Starts `arguments` with stdout and stderr into `log`; the child dies with the test process.
pid_t Spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const std::string logName = log.string();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int fd = open(logName.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

void StopAndReap(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (Exited(pid)) {
            return;
        }
        std::this_thread::sleep_for(50ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::string ReadWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x80) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);  // bytes read as latin-1
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// Reads the JSON lines the fault server writes: objects whose values are strings or objects
// of strings, ASCII with \u escapes standing for latin-1 bytes.
class JsonLine {
public:
    explicit JsonLine(std::string_view text) : text_(text) {}

    RecordedRequest Request() {
        RecordedRequest request;
        Object([&](const std::string& key) {
            if (key == "headers") {
                Object([&](const std::string& name) { request.headers[name] = String(); });
            } else {
                const std::string value = String();
                if (key == "method") {
                    request.method = value;
                } else if (key == "target") {
                    request.target = value;
                } else if (key == "path") {
                    request.path = value;
                }
            }
        });
        return request;
    }

private:
    template <typename OnMember>
    void Object(OnMember onMember) {
        Expect('{');
        if (Peek() == '}') {
            ++at_;
            return;
        }
        for (;;) {
            const std::string key = String();
            Expect(':');
            onMember(key);
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            Expect('}');
            return;
        }
    }

    std::string String() {
        Expect('"');
        std::string out;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\' && at_ < text_.size()) {
                c = text_[at_++];
                if (c == 'u') {
                    out += static_cast<char>(
                        std::stoi(std::string(text_.substr(at_, 4)), nullptr, 16));
                    at_ += 4;
                    continue;
                }
                c = c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            }
            out += c;
        }
        Expect('"');
        return out;
    }

    char Peek() {
        while (at_ < text_.size() && text_[at_] == ' ') {
            ++at_;
        }
        return at_ < text_.size() ? text_[at_] : '\0';
    }

    void Expect(char c) {
        if (Peek() != c) {
            throw std::runtime_error("unexpected request record: " + std::string(text_));
        }
        ++at_;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

std::string StepJson(const FaultStep& step) {
    std::string headers = "[";
    for (const auto& [name, value] : step.headers) {
        headers += (headers.size() > 1 ? "," : "") + std::string("[") + JsonString(name) + "," +
                   JsonString(value) + "]";
    }
    headers += "]";
    return "{\"status\":" + std::to_string(step.status) + ",\"headers\":" + headers +
           ",\"honour_range\":" + (step.honour_range ? "true" : "false") +
           ",\"content_length\":" + std::to_string(step.content_length) +
           ",\"cut_after\":" + std::to_string(step.cut_after) +
           ",\"stall_after\":" + std::to_string(step.stall_after) +
           ",\"extra_bytes\":" + std::to_string(step.extra_bytes) +
           ",\"trickle_chunk\":" + std::to_string(step.trickle_chunk) +
           ",\"trickle_interval_ms\":" + std::to_string(step.trickle_interval_ms) +
           ",\"error_body\":" + JsonString(step.error_body) +
           ",\"interim_continue\":" + (step.interim_continue ? "true" : "false") +
           ",\"silent\":" + (step.silent ? "true" : "false") + "}";
}

}  // namespace

// ---- nginx ----

namespace {

std::string NginxConfig(const std::filesystem::path& home, const std::filesystem::path& root,
                        int port) {
    const std::string h = home.string();
    std::ostringstream conf;
    conf << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << h << "/nginx.pid;\n"
         << "error_log " << h << "/error.log;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n"
         << "  default_type application/octet-stream;\n"
         << "  sendfile on;\n"
         << "  keepalive_timeout 30s;\n"
         << "  log_format orchel '$request_method $uri $status $http_range';\n"
         << "  access_log " << h << "/access.log orchel;\n"
         << "  client_body_temp_path " << h << "/client_body;\n"
         << "  proxy_temp_path " << h << "/proxy;\n"
         << "  fastcgi_temp_path " << h << "/fastcgi;\n"
         << "  uwsgi_temp_path " << h << "/uwsgi;\n"
         << "  scgi_temp_path " << h << "/scgi;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port << ";\n"
         << "    server_name localhost;\n"
         << "    root " << std::filesystem::absolute(root).string() << ";\n"
         << "    location = " << kSyncPath << " { access_log off; return 204; }\n"
         << "  }\n"
         << "}\n";
    return conf.str();
}

}  // namespace

NginxServer::NginxServer(const std::filesystem::path& root)
    : home_(MakePrivateFolder("orchel-nginx-")) {
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
        const int port = FreeLoopbackPort();
        std::ofstream(home_ / "nginx.conf") << NginxConfig(home_, root, port);
        const pid_t pid =
            Spawn({kNginx, "-p", home_.string(), "-c", (home_ / "nginx.conf").string(), "-e",
                   (home_ / "error.log").string()},
                  home_ / "nginx.out");
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (LoopbackAccepts(port)) {
                pid_ = pid;
                port_ = port;
                return;
            }
            if (Exited(pid)) {
                break;  // the port was taken meanwhile: try another
            }
            std::this_thread::sleep_for(20ms);
        }
        if (!Exited(pid)) {
            StopAndReap(pid);
        }
    }
    const std::string log = ReadWhole(home_ / "error.log");
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
    throw std::runtime_error("nginx did not start: " + log);
}

NginxServer::~NginxServer() {
    StopAndReap(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}

int NginxServer::Port() const {
    return port_;
}

// nginx writes a log line just after the response's last bytes went out, so a client may hold
// its answer before the line is written. The single nginx process serves one event at a
// time: once it has answered a further request, every earlier answer has been logged.
std::vector<std::string> NginxServer::AccessLog() const {
    AskAndWait(port_, std::string("GET ") + kSyncPath +
                          " HTTP/1.1\r\nHost: localhost\r\n"
                          "Connection: close\r\n\r\n");
    std::vector<std::string> lines;
    std::istringstream in(ReadWhole(home_ / "access.log"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// ---- fault server ----

FaultServer::FaultServer(std::map<std::string, std::string> bodies,
                         std::map<std::string, std::vector<FaultStep>> script)
    : home_(MakePrivateFolder("orchel-fault-")) {
    std::string config = "{\"bodies\":{";
    int index = 0;
    for (const auto& [path, bytes] : bodies) {
        const std::filesystem::path file = home_ / ("body-" + std::to_string(index++));
        std::ofstream(file, std::ios::binary) << bytes;
        config += (index > 1 ? "," : "") + JsonString(path) + ":" + JsonString(file.string());
    }
    config += "},\"script\":{";
    bool firstPath = true;
    for (const auto& [path, steps] : script) {
        config += (firstPath ? "" : ",") + JsonString(path) + ":[";
        firstPath = false;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            config += (i > 0 ? "," : "") + StepJson(steps[i]);
        }
        config += "]";
    }
    config += "}}";
    std::ofstream(home_ / "config.json") << config;

    const std::filesystem::path portFile = home_ / "port";
    pid_ = Spawn({"/usr/bin/python3", ORCHEL_FAULT_SERVER_SCRIPT, (home_ / "config.json").string(),
                  portFile.string(), (home_ / "requests.jsonl").string()},
                 home_ / "server.log");
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(portFile)) {
            port_ = std::stoi(ReadWhole(portFile));
            return;
        }
        if (Exited(pid_)) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    const std::string log = ReadWhole(home_ / "server.log");
    StopAndReap(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
    throw std::runtime_error("fault server did not start: " + log);
}

FaultServer::~FaultServer() {
    StopAndReap(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}

int FaultServer::Port() const {
    return port_;
}

std::vector<RecordedRequest> FaultServer::Requests() const {
    std::vector<RecordedRequest> requests;
    std::istringstream in(ReadWhole(home_ / "requests.jsonl"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            requests.push_back(JsonLine(line).Request());
        }
    }
    return requests;
}

}  // namespace testsupport
