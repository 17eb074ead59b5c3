// WinHTTP's calls on libcurl's multi interface. Each request owns one easy handle in a multi
// handle of its own, so a blocked read can be woken from another thread (curl_multi_wakeup)
// and the body is pulled at the caller's pace: while no read is waiting, the transfer is
// paused, so memory stays bounded whatever the size of the body.
#include "port/winhttp.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "port/last_error.h"
#include "port/text.h"
#include "port/threads.h"

namespace port {
namespace {

using Clock = std::chrono::steady_clock;

// WinHTTP's default time-outs (milliseconds), run on the port clock.
constexpr DWORD kConnectTimeoutMs = 60000;
constexpr DWORD kReceiveTimeoutMs = 30000;
// One socket read per perform: a read of this size takes a whole chunk without an extra copy.
constexpr long kCurlBufferSize = 64 * 1024;
// Longest single wait in the transfer loop; checks for time-outs run at least this often.
constexpr int kLongestPollMs = 1000;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

HINTERNET FailHandle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

// The one place where libcurl's results become WinHTTP's error numbers.
DWORD ErrorFromCurl(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_WINHTTP_TIMEOUT;
        case CURLE_URL_MALFORMAT:
            return ERROR_WINHTTP_INVALID_URL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_WINHTTP_CANNOT_CONNECT;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return ERROR_WINHTTP_CONNECTION_ERROR;
        case CURLE_WEIRD_SERVER_REPLY:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_LOGIN_DENIED:
            return ERROR_WINHTTP_LOGIN_FAILURE;
        case CURLE_SSL_CERTPROBLEM:
            return ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED;
        case CURLE_ABORTED_BY_CALLBACK:
            return ERROR_WINHTTP_OPERATION_CANCELLED;
        default:
            return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

void InitializeCurlOnce() {
    static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)initialized;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), AsciiLower);
    return out;
}

bool EqualsNoCase(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// RFC 9110 token characters (header names, methods, auth schemes).
bool IsTokenChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return IsTokenChar(static_cast<unsigned char>(c));
    });
}

bool ToUtf8(const wchar_t* text, std::string& out) {
    return text != nullptr && WideToUtf8(text, out);
}

// The object name as a request target: sent as given, except that what RFC 3986 cannot carry
// (blanks, non-ASCII, and the few delimiters a URL parser would cut at) is percent-encoded.
// Control characters would split the request line and are refused.
bool EncodeObjectName(std::string_view name, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    out.clear();
    if (name.empty() || name.front() != '/') {
        out += '/';
    }
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsControl(c)) {
            return false;
        }
        if (c >= 0x80 || std::strchr(" \"<>\\^`{|}#", c) != nullptr) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        } else {
            out += ch;
        }
    }
    return true;
}

// A host name or address literal as it may stand in a URL's authority.
bool IsPlausibleHost(std::string_view host) {
    if (host.empty()) {
        return false;
    }
    return std::none_of(host.begin(), host.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return IsControl(c) || std::strchr(" /\\?#@%\"<>", c) != nullptr;
    });
}

std::string HostForUrl(const std::string& host) {
    const bool ipv6Literal = host.find(':') != std::string::npos && host.front() != '[';
    return ipv6Literal ? "[" + host + "]" : host;
}

// "host:port" (an "http://" in front is tolerated) as libcurl's proxy URL.
bool ProxyUrl(const wchar_t* proxy, std::string& url) {
    std::string text;
    if (!ToUtf8(proxy, text)) {
        return false;
    }
    std::string_view rest = Trim(text);
    if (rest.size() >= 7 && EqualsNoCase(rest.substr(0, 7), "http://")) {
        rest.remove_prefix(7);
    }
    while (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    const std::size_t colon = rest.rfind(':');
    const std::string_view host = colon == std::string_view::npos ? rest : rest.substr(0, colon);
    if (!IsPlausibleHost(host)) {
        return false;
    }
    if (colon != std::string_view::npos) {
        const std::string_view port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
    }
    url = "http://" + std::string(rest);
    return true;
}

// ---- Handles ----

enum class HandleType { Session, Connection, Request };

class Handle {
public:
    explicit Handle(HandleType type) : type_(type) {}
    virtual ~Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HandleType Type() const { return type_; }

private:
    HandleType type_;
};

struct ProxySetting {
    DWORD accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    std::string url;  // for a named proxy
};

// Shared by the session handle and everything opened below it, so children outlive it.
struct SessionData {
    std::string userAgent;
    mutable std::mutex mutex;  // the proxy may be changed while requests of the session run
    ProxySetting proxy;

    ProxySetting Proxy() const {
        std::lock_guard<std::mutex> lock(mutex);
        return proxy;
    }
    void SetProxy(ProxySetting setting) {
        std::lock_guard<std::mutex> lock(mutex);
        proxy = std::move(setting);
    }
};

struct ConnectionData {
    std::shared_ptr<SessionData> session;
    std::string host;
    INTERNET_PORT port = 80;
};

class SessionHandle : public Handle {
public:
    explicit SessionHandle(std::shared_ptr<SessionData> data)
        : Handle(HandleType::Session), data_(std::move(data)) {}
    const std::shared_ptr<SessionData>& Data() const { return data_; }

private:
    std::shared_ptr<SessionData> data_;
};

class ConnectionHandle : public Handle {
public:
    explicit ConnectionHandle(std::shared_ptr<ConnectionData> data)
        : Handle(HandleType::Connection), data_(std::move(data)) {}
    const std::shared_ptr<ConnectionData>& Data() const { return data_; }

private:
    std::shared_ptr<ConnectionData> data_;
};

struct Credentials {
    long curlAuth = 0;  // CURLAUTH_*; 0: none set
    std::string user;
    std::string password;
};

struct ResponseHeader {
    std::string name;  // lower case
    std::string value;
};

struct CurlEasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CurlMultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

class RequestHandle : public Handle {
public:
    RequestHandle(std::shared_ptr<ConnectionData> connection, std::string verb, std::string target)
        : Handle(HandleType::Request),
          connection_(std::move(connection)),
          verb_(std::move(verb)),
          target_(std::move(target)) {}
    ~RequestHandle() override { Detach(); }

    void AddHeader(std::string name, std::string value, bool replace);
    void SetCredentials(bool proxy, Credentials credentials) {
        (proxy ? proxyCredentials_ : serverCredentials_) = std::move(credentials);
    }

    DWORD Send();
    DWORD ReceiveResponse();
    DWORD Read(char* buffer, DWORD capacity, DWORD* bytesRead);

    bool HasResponse() const { return headersComplete_; }
    long Status() const { return status_; }
    const ResponseHeader* FindHeader(std::string_view lowerName) const;
    const std::vector<ResponseHeader>& Headers() const { return responseHeaders_; }

private:
    enum class Goal { RequestSent, HeadersComplete, DataRead };

    void Detach();
    void ResetResponse();
    DWORD Configure(CURL* easy);
    DWORD Drive(Goal goal);
    bool Reached(Goal goal) const;
    void CollectResult();
    void Progress() { lastProgress_ = Clock::now(); }
    std::size_t DrainOverflow();

    static int OnPrereq(void* self, char*, char*, int, int);
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self);
    std::size_t TakeHeader(std::string_view line);
    std::size_t TakeBody(const char* data, std::size_t size);

    std::shared_ptr<ConnectionData> connection_;
    std::string verb_;
    std::string target_;
    std::vector<std::string> headers_;  // "Name: value"
    Credentials proxyCredentials_;
    Credentials serverCredentials_;

    CurlMulti multi_;
    CurlEasy easy_;
    CurlList headerList_;
    bool attached_ = false;

    // State of the current transfer.
    bool requestSent_ = false;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    DWORD failure_ = ERROR_SUCCESS;  // a time-out or cancellation that ended the transfer
    std::vector<ResponseHeader> responseHeaders_;
    long status_ = 0;
    bool blockEnded_ = false;  // the last header block seen is complete
    bool headersComplete_ = false;
    bool paused_ = false;
    Clock::time_point lastProgress_;

    // The read in progress: the caller's buffer and what it holds so far.
    char* readBuffer_ = nullptr;
    std::size_t readCapacity_ = 0;
    std::size_t readCount_ = 0;
    // What a body chunk brought beyond the caller's buffer; never more than one chunk.
    std::vector<char> overflow_;
    std::size_t overflowStart_ = 0;
};

template <typename T>
T* HandleAs(HINTERNET handle, HandleType type, DWORD& error) {
    auto* base = static_cast<Handle*>(handle);
    if (base == nullptr) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (base->Type() != type) {
        error = ERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
        return nullptr;
    }
    return static_cast<T*>(base);
}

// ---- Request ----

void RequestHandle::AddHeader(std::string name, std::string value, bool replace) {
    if (replace) {
        std::erase_if(headers_, [&](const std::string& line) {
            return EqualsNoCase(std::string_view(line).substr(0, line.find(':')), name);
        });
        if (value.empty()) {
            return;
        }
    }
    headers_.push_back(name + ": " + value);
}

void RequestHandle::Detach() {
    if (attached_) {
        curl_multi_remove_handle(multi_.get(), easy_.get());
        attached_ = false;
    }
}

void RequestHandle::ResetResponse() {
    requestSent_ = false;
    done_ = false;
    result_ = CURLE_OK;
    failure_ = ERROR_SUCCESS;
    responseHeaders_.clear();
    status_ = 0;
    blockEnded_ = false;
    headersComplete_ = false;
    paused_ = false;
    readBuffer_ = nullptr;
    readCapacity_ = 0;
    readCount_ = 0;
    overflow_.clear();
    overflowStart_ = 0;
}

DWORD RequestHandle::Configure(CURL* easy) {
    const ProxySetting proxy = connection_->session->Proxy();
    const std::string url = "http://" + HostForUrl(connection_->host) + ":" +
                            std::to_string(connection_->port) + target_;
    curl_slist* list = nullptr;
    for (const std::string& line : headers_) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) {
            curl_slist_free_all(list);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        list = grown;
    }
    headerList_.reset(list);

    const long connectMs = std::max<long>(1, ScaledDuration(kConnectTimeoutMs).count());
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) {
            rc = curl_easy_setopt(easy, option, value);
        }
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http");
    set(CURLOPT_PATH_AS_IS, 1L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_BUFFERSIZE, kCurlBufferSize);
    set(CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    set(CURLOPT_USERAGENT, connection_->session->userAgent.c_str());
    set(CURLOPT_HTTPHEADER, headerList_.get());
    if (verb_ == "HEAD") {
        set(CURLOPT_NOBODY, 1L);
    } else if (verb_ != "GET") {
        set(CURLOPT_CUSTOMREQUEST, verb_.c_str());
    }
    switch (proxy.accessType) {
        case WINHTTP_ACCESS_TYPE_NO_PROXY:
            set(CURLOPT_PROXY, "");  // an empty proxy also hides http_proxy from libcurl
            break;
        case WINHTTP_ACCESS_TYPE_NAMED_PROXY:
            set(CURLOPT_PROXY, proxy.url.c_str());
            set(CURLOPT_NOPROXY, "");  // every host through it, whatever no_proxy says
            break;
        default:
            break;  // libcurl reads http_proxy / no_proxy itself
    }
    if (proxyCredentials_.curlAuth != 0) {
        set(CURLOPT_PROXYUSERNAME, proxyCredentials_.user.c_str());
        set(CURLOPT_PROXYPASSWORD, proxyCredentials_.password.c_str());
        set(CURLOPT_PROXYAUTH, proxyCredentials_.curlAuth);
    }
    if (serverCredentials_.curlAuth != 0) {
        set(CURLOPT_USERNAME, serverCredentials_.user.c_str());
        set(CURLOPT_PASSWORD, serverCredentials_.password.c_str());
        set(CURLOPT_HTTPAUTH, serverCredentials_.curlAuth);
    }
    set(CURLOPT_PREREQFUNCTION, &RequestHandle::OnPrereq);
    set(CURLOPT_PREREQDATA, static_cast<void*>(this));
    set(CURLOPT_HEADERFUNCTION, &RequestHandle::OnHeader);
    set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    set(CURLOPT_WRITEFUNCTION, &RequestHandle::OnBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    return rc == CURLE_OK ? ERROR_SUCCESS : ErrorFromCurl(rc);
}

DWORD RequestHandle::Send() {
    if (!multi_) {
        multi_.reset(curl_multi_init());
        easy_.reset(curl_easy_init());
        if (!multi_ || !easy_) {
            return ERROR_WINHTTP_OUT_OF_HANDLES;
        }
    }
    Detach();  // a resend discards the earlier response
    ResetResponse();
    curl_easy_reset(easy_.get());
    if (const DWORD error = Configure(easy_.get()); error != ERROR_SUCCESS) {
        return error;
    }
    if (curl_multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
        return ERROR_WINHTTP_INTERNAL_ERROR;
    }
    attached_ = true;
    Progress();
    if (const DWORD error = Drive(Goal::RequestSent); error != ERROR_SUCCESS) {
        return error;
    }
    if (done_ && !requestSent_ && result_ != CURLE_OK) {
        return ErrorFromCurl(result_);
    }
    return ERROR_SUCCESS;
}

DWORD RequestHandle::ReceiveResponse() {
    if (failure_ != ERROR_SUCCESS) {
        return failure_;
    }
    if (!attached_) {
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    }
    if (const DWORD error = Drive(Goal::HeadersComplete); error != ERROR_SUCCESS) {
        return error;
    }
    if (!headersComplete_ && done_ && result_ == CURLE_OK && blockEnded_ && status_ >= 200) {
        headersComplete_ = true;  // an authentication answer libcurl did not follow up
    }
    if (!headersComplete_) {
        return result_ != CURLE_OK ? ErrorFromCurl(result_) : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    }
    return ERROR_SUCCESS;
}

std::size_t RequestHandle::DrainOverflow() {
    const std::size_t available = overflow_.size() - overflowStart_;
    const std::size_t n = std::min(available, readCapacity_ - readCount_);
    if (n == 0) {
        return 0;
    }
    std::memcpy(readBuffer_ + readCount_, overflow_.data() + overflowStart_, n);
    readCount_ += n;
    overflowStart_ += n;
    if (overflowStart_ == overflow_.size()) {
        overflow_.clear();
        overflowStart_ = 0;
    }
    return n;
}

DWORD RequestHandle::Read(char* buffer, DWORD capacity, DWORD* bytesRead) {
    *bytesRead = 0;
    if (!headersComplete_) {
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    }
    if (capacity == 0) {
        return ERROR_SUCCESS;
    }
    readBuffer_ = buffer;
    readCapacity_ = capacity;
    readCount_ = 0;
    DrainOverflow();
    DWORD error = ERROR_SUCCESS;
    if (readCount_ == 0 && !done_ && failure_ == ERROR_SUCCESS) {
        Progress();  // the receive time-out counts from the moment a read waits
        if (paused_) {
            paused_ = false;
            // Hands the held chunk to OnBody, which now has the caller's buffer to fill.
            if (curl_easy_pause(easy_.get(), CURLPAUSE_CONT) != CURLE_OK) {
                error = ERROR_WINHTTP_INTERNAL_ERROR;
            }
        }
        if (error == ERROR_SUCCESS) {
            error = Drive(Goal::DataRead);
        }
    }
    *bytesRead = static_cast<DWORD>(readCount_);
    readBuffer_ = nullptr;
    readCapacity_ = 0;
    readCount_ = 0;
    if (*bytesRead > 0) {
        return ERROR_SUCCESS;  // an error behind these bytes comes with the next read
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (failure_ != ERROR_SUCCESS) {
        return failure_;
    }
    return result_ == CURLE_OK ? ERROR_SUCCESS : ErrorFromCurl(result_);
}

bool RequestHandle::Reached(Goal goal) const {
    switch (goal) {
        case Goal::RequestSent:
            return requestSent_;
        case Goal::HeadersComplete:
            return headersComplete_;
        case Goal::DataRead:
            return readCount_ > 0;
    }
    return false;
}

void RequestHandle::CollectResult() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_.get()) {
            done_ = true;
            result_ = message->data.result;
        }
    }
}

// Runs the transfer until the goal is reached or the transfer has ended. Fails on a receive
// time-out (no byte for the receive time-out once connected) or when the thread is asked to
// end; either ends the transfer for good.
DWORD RequestHandle::Drive(Goal goal) {
    if (failure_ != ERROR_SUCCESS) {
        return failure_;
    }
    CURLM* multi = multi_.get();
    const ThreadInterruption interruption([multi] { curl_multi_wakeup(multi); });
    const auto receiveTimeout = ScaledDuration(kReceiveTimeoutMs);
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            return ERROR_WINHTTP_INTERNAL_ERROR;
        }
        CollectResult();
        if (Reached(goal) || done_) {
            return ERROR_SUCCESS;
        }
        const auto idle = Clock::now() - lastProgress_;
        if (requestSent_ && idle >= receiveTimeout) {
            failure_ = ERROR_WINHTTP_TIMEOUT;
            break;
        }
        if (CurrentThreadAskedToEnd()) {
            failure_ = ERROR_WINHTTP_OPERATION_CANCELLED;
            break;
        }
        auto wait = std::chrono::milliseconds(kLongestPollMs);
        if (requestSent_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(receiveTimeout - idle);
            wait = std::clamp(left, std::chrono::milliseconds(1), wait);
        }
        if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr) !=
            CURLM_OK) {
            return ERROR_WINHTTP_INTERNAL_ERROR;
        }
        if (CurrentThreadAskedToEnd()) {
            failure_ = ERROR_WINHTTP_OPERATION_CANCELLED;
            break;
        }
    }
    Detach();  // closes the connection; the request answers with failure_ from now on
    return failure_;
}

int RequestHandle::OnPrereq(void* self, char*, char*, int, int) {
    auto* request = static_cast<RequestHandle*>(self);
    request->requestSent_ = true;
    request->Progress();
    return CURL_PREREQFUNC_OK;
}

std::size_t RequestHandle::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<RequestHandle*>(self)->TakeHeader(std::string_view(data, size * count));
}

// Keeps the headers of the last block only: each status line (an interim 1xx answer, an
// authentication round libcurl follows up) starts the collection afresh.
std::size_t RequestHandle::TakeHeader(std::string_view line) {
    Progress();
    requestSent_ = true;
    const std::size_t length = line.size();
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
        responseHeaders_.clear();
        blockEnded_ = false;
        const std::size_t space = line.find(' ');
        status_ = space == std::string_view::npos
                      ? 0
                      : std::atol(std::string(line.substr(space + 1, 3)).c_str());
        return length;
    }
    const std::string_view content = Trim(line);
    if (content.empty()) {
        blockEnded_ = true;
        const bool interim = status_ < 200;
        // A challenge for which credentials are set is answered by libcurl with a new round;
        // that round, the body or the end of the transfer tells what is final.
        const bool challengeFollowed = (status_ == 401 && serverCredentials_.curlAuth != 0) ||
                                       (status_ == 407 && proxyCredentials_.curlAuth != 0);
        if (!interim && !challengeFollowed) {
            headersComplete_ = true;
        }
        return length;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !responseHeaders_.empty()) {
        responseHeaders_.back().value += ' ';
        responseHeaders_.back().value += content;  // an obsolete folded continuation
        return length;
    }
    const std::size_t colon = content.find(':');
    if (colon != std::string_view::npos) {
        responseHeaders_.push_back({LowerAscii(Trim(content.substr(0, colon))),
                                    std::string(Trim(content.substr(colon + 1)))});
    }
    return length;
}

std::size_t RequestHandle::OnBody(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<RequestHandle*>(self)->TakeBody(data, size * count);
}

// Fills the waiting read and keeps the rest of the chunk; with no read waiting (or one
// already served), holds the transfer so nothing more is buffered.
std::size_t RequestHandle::TakeBody(const char* data, std::size_t size) {
    headersComplete_ = true;
    if (size == 0) {
        return 0;
    }
    const std::size_t room = readBuffer_ != nullptr ? readCapacity_ - readCount_ : 0;
    if (room == 0 || !overflow_.empty()) {
        paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    Progress();
    const std::size_t n = std::min(room, size);
    std::memcpy(readBuffer_ + readCount_, data, n);
    readCount_ += n;
    overflow_.assign(data + n, data + size);
    overflowStart_ = 0;
    return size;
}

const ResponseHeader* RequestHandle::FindHeader(std::string_view lowerName) const {
    for (const ResponseHeader& header : responseHeaders_) {
        if (header.name == lowerName) {
            return &header;
        }
    }
    return nullptr;
}

// ---- Queries ----

template <typename T>
BOOL Store(const T& value, void* buffer, DWORD* bufferLength) {
    if (*bufferLength < sizeof(T) || buffer == nullptr) {
        *bufferLength = sizeof(T);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, &value, sizeof(T));
    *bufferLength = sizeof(T);
    return TRUE;
}

BOOL StoreText(std::string_view value, void* buffer, DWORD* bufferLength) {
    std::wstring wide;
    if (!Utf8ToWide(value, wide)) {
        return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
    }
    const DWORD needed = static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t));
    if (*bufferLength < needed || buffer == nullptr) {
        *bufferLength = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, wide.c_str(), needed);
    *bufferLength = needed - sizeof(wchar_t);  // as WinHTTP: the terminator is not counted
    return TRUE;
}

bool ParseDword(std::string_view text, DWORD& value) {
    text = Trim(text);
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<DWORD>(number);
    return true;
}

bool ParseHttpDate(const std::string& text, SYSTEMTIME& out) {
    const time_t seconds = curl_getdate(text.c_str(), nullptr);
    std::tm parts{};
    if (seconds == -1 || gmtime_r(&seconds, &parts) == nullptr) {
        return false;
    }
    out.wYear = static_cast<WORD>(parts.tm_year + 1900);
    out.wMonth = static_cast<WORD>(parts.tm_mon + 1);
    out.wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    out.wDay = static_cast<WORD>(parts.tm_mday);
    out.wHour = static_cast<WORD>(parts.tm_hour);
    out.wMinute = static_cast<WORD>(parts.tm_min);
    out.wSecond = static_cast<WORD>(parts.tm_sec);
    out.wMilliseconds = 0;
    return true;
}

BOOL QueryHeaderValue(const RequestHandle& request, const char* lowerName, DWORD modifiers,
                      void* buffer, DWORD* bufferLength) {
    const ResponseHeader* header = request.FindHeader(lowerName);
    if (header == nullptr) {
        return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
    }
    if (modifiers == WINHTTP_QUERY_FLAG_NUMBER) {
        DWORD number = 0;
        if (!ParseDword(header->value, number)) {
            return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        }
        return Store(number, buffer, bufferLength);
    }
    if (modifiers == WINHTTP_QUERY_FLAG_SYSTEMTIME) {
        SYSTEMTIME time{};
        if (!ParseHttpDate(header->value, time)) {
            return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        }
        return Store(time, buffer, bufferLength);
    }
    return StoreText(header->value, buffer, bufferLength);
}

DWORD AuthSchemeBit(std::string_view token) {
    static const std::pair<const char*, DWORD> kSchemes[] = {
        {"Basic", WINHTTP_AUTH_SCHEME_BASIC},
        {"Digest", WINHTTP_AUTH_SCHEME_DIGEST},
        {"NTLM", WINHTTP_AUTH_SCHEME_NTLM},
        {"Negotiate", WINHTTP_AUTH_SCHEME_NEGOTIATE},
        {"Passport1.4", WINHTTP_AUTH_SCHEME_PASSPORT},
    };
    for (const auto& [name, bit] : kSchemes) {
        if (EqualsNoCase(token, name)) {
            return bit;
        }
    }
    return 0;
}

// The schemes of one challenge header (RFC 9110 section 11.6.1): comma-separated challenges,
// each a scheme token followed by a blank and its parameters; parameters of the form a=b
// that follow a comma are not schemes.
void CollectSchemes(std::string_view value, DWORD& schemes, DWORD& first) {
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] == '"' && (i == 0 || value[i - 1] != '\\')) {
            quoted = !quoted;
        }
        if (i < value.size() && (quoted || value[i] != ',')) {
            continue;
        }
        const std::string_view piece = Trim(value.substr(start, i - start));
        start = i + 1;
        const std::string_view token = piece.substr(0, piece.find_first_of(" \t="));
        if (token.size() < piece.size() && piece[token.size()] == '=') {
            continue;
        }
        const DWORD bit = AuthSchemeBit(token);
        if (bit != 0 && first == 0) {
            first = bit;
        }
        schemes |= bit;
    }
}

long CurlAuthFor(DWORD scheme) {
    switch (scheme) {
        case WINHTTP_AUTH_SCHEME_BASIC:
            return static_cast<long>(CURLAUTH_BASIC);
        case WINHTTP_AUTH_SCHEME_DIGEST:
            return static_cast<long>(CURLAUTH_DIGEST);
        case WINHTTP_AUTH_SCHEME_NTLM:
            return static_cast<long>(CURLAUTH_NTLM);
        case WINHTTP_AUTH_SCHEME_NEGOTIATE:
            return static_cast<long>(CURLAUTH_NEGOTIATE);
        default:
            return 0;
    }
}

// Splits "Name: value" lines (CRLF or LF separated) after checking them all.
bool ParseHeaderLines(std::string_view text,
                      std::vector<std::pair<std::string, std::string>>& out) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = Trim(line.substr(colon + 1));
        const bool valueClean = std::none_of(value.begin(), value.end(), [](char c) {
            return c != '\t' && IsControl(static_cast<unsigned char>(c));
        });
        if (!IsToken(name) || !valueClean) {
            return false;
        }
        out.emplace_back(std::string(name), std::string(value));
    }
    return true;
}

}  // namespace

// ---- The calls ----

HINTERNET WinHttpOpen(const wchar_t* userAgent, DWORD accessType, const wchar_t* proxyName,
                      const wchar_t* proxyBypass, DWORD flags) {
    InitializeCurlOnce();
    const bool knownType = accessType == WINHTTP_ACCESS_TYPE_DEFAULT_PROXY ||
                           accessType == WINHTTP_ACCESS_TYPE_NO_PROXY;
    if (!knownType || proxyName != nullptr || proxyBypass != nullptr || flags != 0) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    auto data = std::make_shared<SessionData>();
    if (userAgent != nullptr && !WideToUtf8(userAgent, data->userAgent)) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    if (std::any_of(data->userAgent.begin(), data->userAgent.end(),
                    [](char c) { return IsControl(static_cast<unsigned char>(c)); })) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    data->proxy.accessType = accessType;
    return new SessionHandle(std::move(data));
}

BOOL WinHttpSetOption(HINTERNET session, DWORD option, void* buffer, DWORD bufferLength) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<SessionHandle>(session, HandleType::Session, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    if (option != WINHTTP_OPTION_PROXY) {
        return Fail(ERROR_WINHTTP_INVALID_OPTION);
    }
    if (buffer == nullptr || bufferLength < sizeof(WINHTTP_PROXY_INFO)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const auto* info = static_cast<const WINHTTP_PROXY_INFO*>(buffer);
    ProxySetting setting;
    setting.accessType = info->dwAccessType;
    if (info->dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        const bool bypassEmpty = info->lpszProxyBypass == nullptr || *info->lpszProxyBypass == 0;
        if (!bypassEmpty || !ProxyUrl(info->lpszProxy, setting.url)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
    } else if (info->dwAccessType != WINHTTP_ACCESS_TYPE_NO_PROXY) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    handle->Data()->SetProxy(std::move(setting));
    return TRUE;
}

HINTERNET WinHttpConnect(HINTERNET session, const wchar_t* serverName, INTERNET_PORT port,
                         DWORD reserved) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<SessionHandle>(session, HandleType::Session, error);
    if (handle == nullptr) {
        return FailHandle(error);
    }
    auto data = std::make_shared<ConnectionData>();
    if (!ToUtf8(serverName, data->host) || reserved != 0) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    if (!IsPlausibleHost(data->host)) {
        return FailHandle(ERROR_WINHTTP_INVALID_URL);
    }
    data->session = handle->Data();
    data->port = port == 0 ? 80 : port;
    return new ConnectionHandle(std::move(data));
}

HINTERNET WinHttpOpenRequest(HINTERNET connect, const wchar_t* verb, const wchar_t* objectName,
                             const wchar_t* version, const wchar_t* referrer,
                             const wchar_t** acceptTypes, DWORD flags) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<ConnectionHandle>(connect, HandleType::Connection, error);
    if (handle == nullptr) {
        return FailHandle(error);
    }
    std::string method = "GET";
    if (verb != nullptr && (!WideToUtf8(verb, method) || !IsToken(method))) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    if (version != nullptr || referrer != nullptr || acceptTypes != nullptr ||
        (flags & ~WINHTTP_FLAG_REFRESH) != 0) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    std::string name;
    if (objectName != nullptr && !WideToUtf8(objectName, name)) {
        return FailHandle(ERROR_WINHTTP_INVALID_URL);
    }
    std::string target;
    if (!EncodeObjectName(name, target)) {
        return FailHandle(ERROR_WINHTTP_INVALID_URL);
    }
    auto* request = new RequestHandle(handle->Data(), std::move(method), std::move(target));
    if ((flags & WINHTTP_FLAG_REFRESH) != 0) {
        request->AddHeader("Cache-Control", "no-cache", true);
        request->AddHeader("Pragma", "no-cache", true);
    }
    return request;
}

BOOL WinHttpAddRequestHeaders(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                              DWORD modifiers) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<RequestHandle>(request, HandleType::Request, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    constexpr DWORD kKnown = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;
    if (headers == nullptr || (modifiers & ~kKnown) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::wstring_view wide = headersLength == static_cast<DWORD>(-1)
                                       ? std::wstring_view(headers)
                                       : std::wstring_view(headers, headersLength);
    std::string text;
    std::vector<std::pair<std::string, std::string>> lines;
    if (!WideToUtf8(wide, text) || !ParseHeaderLines(text, lines) || lines.empty()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const bool replace = (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) != 0;
    for (auto& [name, value] : lines) {
        handle->AddHeader(std::move(name), std::move(value), replace);
    }
    return TRUE;
}

BOOL WinHttpSendRequest(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                        void* optional, DWORD optionalLength, DWORD totalLength,
                        std::uintptr_t context) {
    (void)context;
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<RequestHandle>(request, HandleType::Request, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    if ((headers != nullptr && headersLength != 0) || optional != nullptr || optionalLength != 0 ||
        totalLength != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    error = handle->Send();
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<RequestHandle>(request, HandleType::Request, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    if (reserved != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    error = handle->ReceiveResponse();
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, const wchar_t* name, void* buffer,
                         DWORD* bufferLength, DWORD* index) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<RequestHandle>(request, HandleType::Request, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    if (name != nullptr || index != nullptr || bufferLength == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!handle->HasResponse()) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    const DWORD level = infoLevel & 0xFFFF;
    const DWORD modifiers = infoLevel & ~0xFFFFu;
    if (modifiers != 0 && modifiers != WINHTTP_QUERY_FLAG_NUMBER &&
        modifiers != WINHTTP_QUERY_FLAG_SYSTEMTIME) {
        return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
    }
    switch (level) {
        case WINHTTP_QUERY_STATUS_CODE:
            if (modifiers == WINHTTP_QUERY_FLAG_NUMBER) {
                return Store(static_cast<DWORD>(handle->Status()), buffer, bufferLength);
            }
            if (modifiers == 0) {
                return StoreText(std::to_string(handle->Status()), buffer, bufferLength);
            }
            return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        case WINHTTP_QUERY_CONTENT_LENGTH:
            return QueryHeaderValue(*handle, "content-length", modifiers, buffer, bufferLength);
        case WINHTTP_QUERY_LAST_MODIFIED:
            return QueryHeaderValue(*handle, "last-modified", modifiers, buffer, bufferLength);
        default:
            return Fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
    }
}

BOOL WinHttpQueryAuthSchemes(HINTERNET request, DWORD* supportedSchemes, DWORD* firstScheme,
                             DWORD* authTarget) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<RequestHandle>(request, HandleType::Request, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    if (supportedSchemes == nullptr || firstScheme == nullptr || authTarget == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!handle->HasResponse()) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    const bool proxy = handle->Status() == 407;
    const char* challenge = proxy ? "proxy-authenticate" : "www-authenticate";
    DWORD schemes = 0;
    DWORD first = 0;
    for (const ResponseHeader& header : handle->Headers()) {
        if (header.name == challenge) {
            CollectSchemes(header.value, schemes, first);
        }
    }
    if (schemes == 0) {
        return Fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
    }
    *supportedSchemes = schemes;
    *firstScheme = first;
    *authTarget = proxy ? WINHTTP_AUTH_TARGET_PROXY : WINHTTP_AUTH_TARGET_SERVER;
    return TRUE;
}

BOOL WinHttpSetCredentials(HINTERNET request, DWORD authTargets, DWORD authScheme,
                           const wchar_t* userName, const wchar_t* password, void* params) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<RequestHandle>(request, HandleType::Request, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    Credentials credentials;
    credentials.curlAuth = CurlAuthFor(authScheme);
    const bool knownTarget =
        authTargets == WINHTTP_AUTH_TARGET_SERVER || authTargets == WINHTTP_AUTH_TARGET_PROXY;
    if (!knownTarget || credentials.curlAuth == 0 || params != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((userName != nullptr && !WideToUtf8(userName, credentials.user)) ||
        (password != nullptr && !WideToUtf8(password, credentials.password))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    handle->SetCredentials(authTargets == WINHTTP_AUTH_TARGET_PROXY, std::move(credentials));
    return TRUE;
}

BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD bytesToRead, DWORD* bytesRead) {
    DWORD error = ERROR_SUCCESS;
    auto* handle = HandleAs<RequestHandle>(request, HandleType::Request, error);
    if (handle == nullptr) {
        return Fail(error);
    }
    if (bytesRead == nullptr || (buffer == nullptr && bytesToRead != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    error = handle->Read(static_cast<char*>(buffer), bytesToRead, bytesRead);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    delete static_cast<Handle*>(handle);
    return TRUE;
}

}  // namespace port
