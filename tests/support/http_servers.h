// Real HTTP servers for the download tests, started on 127.0.0.1 with a free port for the
// length of one test and stopped (process killed and reaped) by the destructor.
#ifndef ORCHEL_TESTS_HTTP_SERVERS_H
#define ORCHEL_TESTS_HTTP_SERVERS_H

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// nginx serving the files below `root` (ranges, Last-Modified and 404 as nginx does them).
// Its configuration, logs and temporary folders live in a private folder of its own.
class NginxServer {
public:
    explicit NginxServer(const std::filesystem::path& root);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int Port() const;
    // One entry per request served so far, in order: "<METHOD> <uri> <status> <Range header
    // or '-'>", e.g. "GET /patches/a.exe 206 bytes=1000-".
    std::vector<std::string> AccessLog() const;

private:
    std::filesystem::path home_;  // configuration, logs and nginx's temporary folders
    pid_t pid_ = -1;
    int port_ = 0;
};

// One scripted answer of the fault server. Each request for a path takes the next step of
// that path's list; the last step repeats.
struct FaultStep {
    int status = 200;
    // Extra header lines, sent as given (e.g. {"Proxy-Authenticate", "Basic realm=\"x\""}).
    std::vector<std::pair<std::string, std::string>> headers;
    // Ranges: with status 200, a request carrying "Range: bytes=N-" is answered 206 with
    // Content-Range and the bytes from N on; false sends the whole body with 200 anyway.
    bool honour_range = true;
    // Content-Length announced: -1 means the true length of the body sent; -2 means no
    // Content-Length header at all (the body then ends when the connection closes).
    long long content_length = -1;
    // After this many body bytes, close the connection (a body cut short); -1: never.
    long long cut_after = -1;
    // After this many body bytes, stop sending and hold the connection open, silent, until
    // the client goes or the server stops; -1: never.
    long long stall_after = -1;
    // Sends the body in pieces of this many bytes with a pause of trickle_interval_ms (real
    // time) before each; 0: at once.
    long long trickle_chunk = 0;
    int trickle_interval_ms = 0;
    // Bytes of garbage sent after the body (beyond Content-Length).
    long long extra_bytes = 0;
    // Body for statuses without a resource body (404, 407, 500 ...): sent as is.
    std::string error_body = "error";
    // Send an interim "100 Continue" (carrying a Last-Modified header of its own) before the
    // answer, as servers may do at any time.
    bool interim_continue = false;
    // Answer nothing at all: no status line, no headers; the connection is held open.
    bool silent = false;
};

struct RecordedRequest {
    std::string method;
    std::string target;  // as on the request line (absolute form when asked as a proxy)
    std::string path;    // the path part of the target
    std::map<std::string, std::string> headers;  // names in lower case
};

// A scripted server (Python standard library, tests/servers/fault_server.py) for what real
// servers will not do on demand. It also answers requests sent to it as a proxy (absolute-form
// targets), so it can play a proxy's 407 challenges.
class FaultServer {
public:
    // `bodies`: path (e.g. "/patches/a.exe") -> the resource's bytes. `script`: path -> steps.
    // A path in neither answers 404.
    FaultServer(std::map<std::string, std::string> bodies,
                std::map<std::string, std::vector<FaultStep>> script);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    int Port() const;
    // Every request received so far, in order of arrival.
    std::vector<RecordedRequest> Requests() const;

private:
    std::filesystem::path home_;  // script, bodies, port and request record
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testsupport

#endif  // ORCHEL_TESTS_HTTP_SERVERS_H
