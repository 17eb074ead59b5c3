#include "port/winhttp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "port/last_error.h"
#include "port/threads.h"
#include "support/http_servers.h"
#include "support/loopback.h"
#include "support/scratch.h"

namespace {

using namespace port;
using testsupport::FaultServer;
using testsupport::FaultStep;
using testsupport::NginxServer;
using testsupport::ScopedEnv;
using testsupport::TempFolder;

struct CloseInternet {
    void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, CloseInternet>;

// Bytes that differ at every offset within a period longer than any read, so a lost or
// repeated piece shows.
std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

// A session, connection and request for one resource.
struct Exchange {
    Internet session;
    Internet connection;
    Internet request;

    Exchange(const std::wstring& host, int port, const std::wstring& object,
             DWORD accessType = WINHTTP_ACCESS_TYPE_NO_PROXY, DWORD flags = 0,
             const wchar_t* verb = L"GET") {
        session.reset(WinHttpOpen(L"Orchel-Test/1.0", accessType, nullptr, nullptr, 0));
        connection.reset(
            WinHttpConnect(session.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0));
        request.reset(WinHttpOpenRequest(connection.get(), verb, object.c_str(), nullptr, nullptr,
                                         nullptr, flags));
    }

    void UseProxy(int port) {
        const std::wstring name = L"127.0.0.1:" + std::to_wstring(port);
        WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NAMED_PROXY, name.c_str(), nullptr};
        ASSERT_TRUE(WinHttpSetOption(session.get(), WINHTTP_OPTION_PROXY, &info, sizeof(info)));
    }

    // ERROR_SUCCESS once the final response's headers are in, else the failing call's error.
    DWORD Send() {
        if (!WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0)) {
            return GetLastError();
        }
        return WinHttpReceiveResponse(request.get(), nullptr) ? ERROR_SUCCESS : GetLastError();
    }

    DWORD Number(DWORD level) {
        DWORD value = 0;
        DWORD length = sizeof(value);
        if (!WinHttpQueryHeaders(request.get(), level | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &value,
                                 &length, nullptr)) {
            return 0xDEAD0000u + GetLastError();
        }
        return value;
    }

    // Reads the body in pieces of `chunk` into `body`; the error that ended it, or
    // ERROR_SUCCESS at the end of the body.
    DWORD ReadAll(std::string& body, DWORD chunk) {
        std::vector<char> buffer(chunk);
        for (;;) {
            DWORD got = 0;
            if (!WinHttpReadData(request.get(), buffer.data(), chunk, &got)) {
                return GetLastError();
            }
            if (got > chunk) {
                return 0xBAD;
            }
            if (got == 0) {
                return ERROR_SUCCESS;
            }
            body.append(buffer.data(), got);
        }
    }
};

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// ---- Against nginx ----

class WinHttpNginxTest : public ::testing::Test {
protected:
    void SetUp() override {
        body_ = Pattern(700 * 1000 + 3);
        folder_.Write("a.bin", body_);
        server_ = std::make_unique<NginxServer>(folder_.Path());
    }

    TempFolder folder_;
    std::string body_;
    std::unique_ptr<NginxServer> server_;
};

TEST_F(WinHttpNginxTest, ReadsTheWholeBodyInPiecesOfAnySize) {
    for (const DWORD chunk : {1u, 7u, 4096u, 65536u, 1u << 20}) {
        SCOPED_TRACE(chunk);
        Exchange exchange(L"127.0.0.1", server_->Port(), L"/a.bin");
        ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
        EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 200u);
        EXPECT_EQ(exchange.Number(WINHTTP_QUERY_CONTENT_LENGTH), body_.size());
        std::string body;
        ASSERT_EQ(exchange.ReadAll(body, chunk), ERROR_SUCCESS);
        EXPECT_TRUE(body == body_) << "got " << body.size() << " bytes";
        // The end of the body stays the end.
        DWORD got = 1;
        char byte = 0;
        EXPECT_TRUE(WinHttpReadData(exchange.request.get(), &byte, 1, &got));
        EXPECT_EQ(got, 0u);
    }
}

TEST_F(WinHttpNginxTest, RangeRequestAnswersPartialContentFromTheOffset) {
    Exchange exchange(L"127.0.0.1", server_->Port(), L"/a.bin");
    ASSERT_TRUE(WinHttpAddRequestHeaders(exchange.request.get(), L"Range: bytes=1000-",
                                         static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 206u);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_CONTENT_LENGTH), body_.size() - 1000);
    std::string body;
    ASSERT_EQ(exchange.ReadAll(body, 65536), ERROR_SUCCESS);
    EXPECT_TRUE(body == body_.substr(1000));
    EXPECT_EQ(server_->AccessLog(), std::vector<std::string>{"GET /a.bin 206 bytes=1000-"});
}

TEST_F(WinHttpNginxTest, LastModifiedIsTheFilesTimeInUtc) {
    // 2021-03-04 05:06:07 UTC, a Thursday.
    const timespec times[2] = {{1614834367, 0}, {1614834367, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (folder_.Path() / "a.bin").c_str(), times, 0), 0);
    Exchange exchange(L"127.0.0.1", server_->Port(), L"/a.bin");
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    SYSTEMTIME time{};
    DWORD length = sizeof(time);
    ASSERT_TRUE(WinHttpQueryHeaders(exchange.request.get(),
                                    WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME,
                                    nullptr, &time, &length, nullptr));
    EXPECT_EQ(length, sizeof(time));
    EXPECT_EQ(time.wYear, 2021);
    EXPECT_EQ(time.wMonth, 3);
    EXPECT_EQ(time.wDay, 4);
    EXPECT_EQ(time.wDayOfWeek, 4);
    EXPECT_EQ(time.wHour, 5);
    EXPECT_EQ(time.wMinute, 6);
    EXPECT_EQ(time.wSecond, 7);
    EXPECT_EQ(time.wMilliseconds, 0);
}

TEST_F(WinHttpNginxTest, QueriesCheckTheCallersBuffer) {
    Exchange exchange(L"127.0.0.1", server_->Port(), L"/a.bin");
    DWORD status = 0;
    DWORD length = sizeof(status);
    EXPECT_FALSE(WinHttpQueryHeaders(exchange.request.get(),
                                     WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                     &status, &length, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);

    length = sizeof(status) - 1;
    EXPECT_FALSE(WinHttpQueryHeaders(exchange.request.get(),
                                     WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                     &status, &length, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, sizeof(DWORD));

    SYSTEMTIME time{};
    length = sizeof(time) - 2;
    EXPECT_FALSE(WinHttpQueryHeaders(exchange.request.get(),
                                     WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME,
                                     nullptr, &time, &length, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    wchar_t text[8] = {};
    length = sizeof(text);
    ASSERT_TRUE(WinHttpQueryHeaders(exchange.request.get(), WINHTTP_QUERY_STATUS_CODE, nullptr,
                                    text, &length, nullptr));
    EXPECT_EQ(std::wstring(text), L"200");
    EXPECT_EQ(length, 3 * sizeof(wchar_t));
}

TEST_F(WinHttpNginxTest, HeadAnswersHeadersWithoutABody) {
    Exchange exchange(L"127.0.0.1", server_->Port(), L"/a.bin", WINHTTP_ACCESS_TYPE_NO_PROXY, 0,
                      L"HEAD");
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 200u);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_CONTENT_LENGTH), body_.size());
    std::string body;
    EXPECT_EQ(exchange.ReadAll(body, 4096), ERROR_SUCCESS);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(server_->AccessLog(), std::vector<std::string>{"HEAD /a.bin 200 -"});
}

TEST_F(WinHttpNginxTest, MissingFileIsA404WithItsOwnBody) {
    Exchange exchange(L"127.0.0.1", server_->Port(), L"/missing.bin");
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 404u);
    std::string body;
    EXPECT_EQ(exchange.ReadAll(body, 4096), ERROR_SUCCESS);
    EXPECT_NE(body.find("404"), std::string::npos);
    EXPECT_EQ(server_->AccessLog(), std::vector<std::string>{"GET /missing.bin 404 -"});
}

TEST_F(WinHttpNginxTest, RequestOutlivesItsClosedSessionAndConnection) {
    Exchange exchange(L"127.0.0.1", server_->Port(), L"/a.bin");
    exchange.connection.reset();
    exchange.session.reset();
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    std::string body;
    ASSERT_EQ(exchange.ReadAll(body, 65536), ERROR_SUCCESS);
    EXPECT_TRUE(body == body_);
}

// ---- Against the fault server ----

const std::string kPath = "/patches/a.exe";

FaultStep Step(auto&& configure) {
    FaultStep step;
    configure(step);
    return step;
}

TEST(WinHttpFaultTest, BodyEndsAsTheServerEndsIt) {
    const std::string body = Pattern(200 * 1000);
    struct Case {
        const char* name;
        FaultStep step;
        DWORD readError;        // what ends the reading
        std::size_t delivered;  // bytes handed out before it
        DWORD contentLength;    // the query's value, or 0xDEAD0000 + error
    };
    const Case cases[] = {
        {"exact", Step([](FaultStep&) {}), ERROR_SUCCESS, body.size(),
         static_cast<DWORD>(body.size())},
        {"no Content-Length, ends at close", Step([](FaultStep& s) { s.content_length = -2; }),
         ERROR_SUCCESS, body.size(), 0xDEAD0000u + ERROR_WINHTTP_HEADER_NOT_FOUND},
        {"cut short", Step([](FaultStep& s) { s.cut_after = 150000; }),
         ERROR_WINHTTP_CONNECTION_ERROR, 150000, static_cast<DWORD>(body.size())},
        {"cut before the body", Step([](FaultStep& s) { s.cut_after = 0; }),
         ERROR_WINHTTP_CONNECTION_ERROR, 0, static_cast<DWORD>(body.size())},
        {"garbage after the body", Step([](FaultStep& s) { s.extra_bytes = 5000; }), ERROR_SUCCESS,
         body.size(), static_cast<DWORD>(body.size())},
        {"length beyond 32 bits", Step([](FaultStep& s) {
             s.content_length = 5000000000LL;
             s.cut_after = 10;
         }),
         ERROR_WINHTTP_CONNECTION_ERROR, 10, 0xDEAD0000u + ERROR_WINHTTP_INVALID_QUERY_REQUEST},
        {"shorter length announced", Step([](FaultStep& s) {
             s.content_length = 1000;
             s.extra_bytes = 0;
         }),
         ERROR_SUCCESS, 1000, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server({{kPath, body}}, {{kPath, {c.step}}});
        Exchange exchange(L"127.0.0.1", server.Port(), Wide(kPath));
        ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
        EXPECT_EQ(exchange.Number(WINHTTP_QUERY_CONTENT_LENGTH), c.contentLength);
        std::string received;
        EXPECT_EQ(exchange.ReadAll(received, 16384), c.readError);
        EXPECT_TRUE(received == body.substr(0, c.delivered)) << "got " << received.size();
    }
}

TEST(WinHttpFaultTest, InterimAnswerIsNotTheResponse) {
    FaultServer server({{kPath, "final"}},
                       {{kPath, {Step([](FaultStep& s) { s.interim_continue = true; })}}});
    Exchange exchange(L"127.0.0.1", server.Port(), Wide(kPath));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 200u);
    SYSTEMTIME time{};
    DWORD length = sizeof(time);
    EXPECT_FALSE(WinHttpQueryHeaders(exchange.request.get(),
                                     WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME,
                                     nullptr, &time, &length, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    std::string body;
    ASSERT_EQ(exchange.ReadAll(body, 3), ERROR_SUCCESS);
    EXPECT_EQ(body, "final");
}

TEST(WinHttpFaultTest, ConnectionFailuresAreMappedWhenSending) {
    struct Case {
        std::wstring host;
        int port;
        DWORD error;
    };
    const Case cases[] = {
        {L"127.0.0.1", testsupport::FreeLoopbackPort(), ERROR_WINHTTP_CANNOT_CONNECT},
        {L"nonexistent.invalid", 80, ERROR_WINHTTP_NAME_NOT_RESOLVED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host.begin(), c.host.end()));
        Exchange exchange(c.host, c.port, L"/x");
        EXPECT_FALSE(WinHttpSendRequest(exchange.request.get(), nullptr, 0, nullptr, 0, 0, 0));
        EXPECT_EQ(GetLastError(), c.error);
        // The request stays failed, not half-started.
        EXPECT_FALSE(WinHttpReceiveResponse(exchange.request.get(), nullptr));
    }
}

TEST(WinHttpFaultTest, ProxyChallengeThenCredentialsOnResend) {
    FaultStep challenge;
    challenge.status = 407;
    challenge.headers = {{"Proxy-Authenticate", "Basic realm=\"corp\""},
                         {"Proxy-Authenticate", "NTLM"}};
    FaultServer proxy({{kPath, "patch bytes"}}, {{kPath, {challenge, FaultStep{}}}});
    Exchange exchange(L"updates.example", 0, Wide(kPath));
    exchange.UseProxy(proxy.Port());
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 407u);
    DWORD schemes = 0, first = 0, target = 99;
    ASSERT_TRUE(WinHttpQueryAuthSchemes(exchange.request.get(), &schemes, &first, &target));
    EXPECT_EQ(schemes, WINHTTP_AUTH_SCHEME_BASIC | WINHTTP_AUTH_SCHEME_NTLM);
    EXPECT_EQ(first, WINHTTP_AUTH_SCHEME_BASIC);
    EXPECT_EQ(target, WINHTTP_AUTH_TARGET_PROXY);

    ASSERT_TRUE(WinHttpSetCredentials(exchange.request.get(), WINHTTP_AUTH_TARGET_PROXY,
                                      WINHTTP_AUTH_SCHEME_BASIC, L"alice", L"s3cret", nullptr));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 200u);
    std::string body;
    ASSERT_EQ(exchange.ReadAll(body, 4), ERROR_SUCCESS);
    EXPECT_EQ(body, "patch bytes");

    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "http://updates.example/patches/a.exe");
    EXPECT_EQ(requests[0].headers.count("proxy-authorization"), 0u);
    EXPECT_EQ(requests[1].headers.at("proxy-authorization"), "Basic YWxpY2U6czNjcmV0");
}

TEST(WinHttpFaultTest, AuthSchemesOfEveryChallengeForm) {
    struct Case {
        int status;
        std::vector<std::pair<std::string, std::string>> headers;
        DWORD schemes;  // 0: none offered
        DWORD first;
        DWORD target;
    };
    const Case cases[] = {
        {401,
         {{"WWW-Authenticate", "Negotiate"}, {"WWW-Authenticate", "NTLM"}},
         WINHTTP_AUTH_SCHEME_NEGOTIATE | WINHTTP_AUTH_SCHEME_NTLM,
         WINHTTP_AUTH_SCHEME_NEGOTIATE,
         WINHTTP_AUTH_TARGET_SERVER},
        {401,
         {{"WWW-Authenticate", "Digest realm=\"a, b\", nonce=\"x\", basic realm=\"c\""}},
         WINHTTP_AUTH_SCHEME_DIGEST | WINHTTP_AUTH_SCHEME_BASIC,
         WINHTTP_AUTH_SCHEME_DIGEST,
         WINHTTP_AUTH_TARGET_SERVER},
        {407,
         {{"Proxy-Authenticate", "Passport1.4 x"}, {"WWW-Authenticate", "Basic"}},
         WINHTTP_AUTH_SCHEME_PASSPORT,
         WINHTTP_AUTH_SCHEME_PASSPORT,
         WINHTTP_AUTH_TARGET_PROXY},
        {407, {{"WWW-Authenticate", "Basic"}}, 0, 0, 0},
        {401, {{"WWW-Authenticate", "Bearer realm=\"x\""}}, 0, 0, 0},
    };
    std::map<std::string, std::vector<FaultStep>> script;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        FaultStep step;
        step.status = cases[i].status;
        step.headers = cases[i].headers;
        script["/" + std::to_string(i)] = {step};
    }
    FaultServer server({}, script);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        Exchange exchange(L"127.0.0.1", server.Port(), L"/" + std::to_wstring(i));
        ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
        DWORD schemes = 0, first = 0, target = 0;
        const BOOL ok = WinHttpQueryAuthSchemes(exchange.request.get(), &schemes, &first, &target);
        if (cases[i].schemes == 0) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
            continue;
        }
        ASSERT_TRUE(ok);
        EXPECT_EQ(schemes, cases[i].schemes);
        EXPECT_EQ(first, cases[i].first);
        EXPECT_EQ(target, cases[i].target);
    }
}

TEST(WinHttpFaultTest, ServerCredentialsAreSentOnResend) {
    FaultStep challenge;
    challenge.status = 401;
    challenge.headers = {{"WWW-Authenticate", "Basic realm=\"files\""}};
    FaultServer server({{kPath, "ok"}}, {{kPath, {challenge, FaultStep{}}}});
    Exchange exchange(L"127.0.0.1", server.Port(), Wide(kPath));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 401u);
    ASSERT_TRUE(WinHttpSetCredentials(exchange.request.get(), WINHTTP_AUTH_TARGET_SERVER,
                                      WINHTTP_AUTH_SCHEME_BASIC, L"bob", L"pw", nullptr));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 200u);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].headers.at("authorization"), "Basic Ym9iOnB3");
}

TEST(WinHttpFaultTest, StalledBodyTimesOutOnTheScaledClock) {
    ScopedEnv fast("ORCHEL_CLOCK_SPEEDUP", "1000");
    const std::string body = Pattern(10000);
    FaultServer server({{kPath, body}},
                       {{kPath, {Step([](FaultStep& s) { s.stall_after = 100; })}}});
    Exchange exchange(L"127.0.0.1", server.Port(), Wide(kPath));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    std::string received;
    EXPECT_EQ(exchange.ReadAll(received, 4096), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_TRUE(received == body.substr(0, 100));
    // A timed-out request stays failed.
    char byte = 0;
    DWORD got = 0;
    EXPECT_FALSE(WinHttpReadData(exchange.request.get(), &byte, 1, &got));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_FALSE(WinHttpReceiveResponse(exchange.request.get(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    // A new send starts afresh: the server's script repeats its stall.
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    received.clear();
    EXPECT_EQ(exchange.ReadAll(received, 4096), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_EQ(received.size(), 100u);
}

struct BlockedRead {
    HINTERNET request = nullptr;
    std::atomic<bool> reading{false};
    std::atomic<DWORD> error{0};
    std::atomic<DWORD> delivered{0};
};

DWORD ReadUntilStopped(void* parameter) {
    auto* state = static_cast<BlockedRead*>(parameter);
    std::vector<char> buffer(4096);
    for (;;) {
        DWORD got = 0;
        state->reading = true;
        if (!WinHttpReadData(state->request, buffer.data(), 4096, &got)) {
            state->error = GetLastError();
            return 0;
        }
        if (got == 0) {
            state->error = ERROR_SUCCESS;
            return 0;
        }
        state->delivered += got;
    }
}

TEST(WinHttpFaultTest, ConcurrentTerminateWakesABlockedRead) {
    FaultServer server({{kPath, Pattern(5000)}},
                       {{kPath, {Step([](FaultStep& s) { s.stall_after = 1000; })}}});
    Exchange exchange(L"127.0.0.1", server.Port(), Wide(kPath));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    BlockedRead state;
    state.request = exchange.request.get();
    state.error = 0xFFFF;
    HANDLE thread = CreateThread(nullptr, 0, ReadUntilStopped, &state, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    while (state.delivered < 1000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in the read
    EXPECT_TRUE(TerminateThread(thread, 1));
    EXPECT_EQ(state.error.load(), static_cast<DWORD>(ERROR_WINHTTP_OPERATION_CANCELLED));
    EXPECT_EQ(state.delivered.load(), 1000u);
    CloseHandle(thread);
}

TEST(WinHttpFaultTest, RefreshAndAddedHeadersReachTheServer) {
    FaultServer server({{kPath, "x"}}, {});
    Exchange exchange(L"127.0.0.1", server.Port(), Wide(kPath), WINHTTP_ACCESS_TYPE_NO_PROXY,
                      WINHTTP_FLAG_REFRESH);
    HINTERNET request = exchange.request.get();
    ASSERT_TRUE(WinHttpAddRequestHeaders(request, L"X-One: 1\r\nX-Two: 2\r\n",
                                         static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(WinHttpAddRequestHeaders(request, L"x-one: replaced", static_cast<DWORD>(-1),
                                         WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE));
    // Only the first 10 characters count.
    ASSERT_TRUE(
        WinHttpAddRequestHeaders(request, L"X-Three: 3garbage", 10, WINHTTP_ADDREQ_FLAG_ADD));
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& headers = requests[0].headers;
    EXPECT_EQ(headers.at("cache-control"), "no-cache");
    EXPECT_EQ(headers.at("pragma"), "no-cache");
    EXPECT_EQ(headers.at("x-one"), "replaced");
    EXPECT_EQ(headers.at("x-two"), "2");
    EXPECT_EQ(headers.at("x-three"), "3");
    EXPECT_EQ(headers.at("user-agent"), "Orchel-Test/1.0");
    EXPECT_EQ(requests[0].target, kPath);
}

TEST(WinHttpFaultTest, BadHeaderLinesAreRefusedWhole) {
    FaultServer server({{kPath, "x"}}, {});
    Exchange exchange(L"127.0.0.1", server.Port(), Wide(kPath));
    const wchar_t* bad[] = {
        L"no colon here", L"X-Ok: 1\r\nbroken", L"Bad Name: 1", L"X-Bell: \a", L": empty name",
    };
    for (const wchar_t* headers : bad) {
        SCOPED_TRACE(std::string(headers, headers + wcslen(headers)));
        EXPECT_FALSE(WinHttpAddRequestHeaders(exchange.request.get(), headers,
                                              static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    EXPECT_EQ(server.Requests().at(0).headers.count("x-ok"), 0u);
}

TEST(WinHttpFaultTest, ObjectNamesAreEncodedOrRefused) {
    FaultServer server({}, {});
    struct Case {
        std::wstring object;
        const char* target;  // null: refused with ERROR_WINHTTP_INVALID_URL
    };
    const Case cases[] = {
        {L"/dir/a b.exe", "/dir/a%20b.exe"},
        {L"relative.cab?x=1", "/relative.cab?x=1"},
        {L"/caf\u00e9#1", "/caf%C3%A9%231"},
        {L"/already%20encoded/../x", "/already%20encoded/../x"},
        {L"/a\r\nX-Injected: 1", nullptr},
        {L"/tab\there", nullptr},
    };
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.object.begin(), c.object.end()));
        Exchange exchange(L"127.0.0.1", server.Port(), c.object);
        if (c.target == nullptr) {
            EXPECT_EQ(exchange.request, nullptr);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_URL));
            continue;
        }
        ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
        EXPECT_EQ(exchange.Number(WINHTTP_QUERY_STATUS_CODE), 404u);
        expected.push_back(c.target);
    }
    std::vector<std::string> targets;
    for (const auto& request : server.Requests()) {
        targets.push_back(request.target);
    }
    EXPECT_EQ(targets, expected);
}

TEST(WinHttpFaultTest, DefaultProxyModeFollowsTheEnvironment) {
    FaultServer proxy({{kPath, "via proxy"}}, {});
    ScopedEnv httpProxy("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.Port()));
    ScopedEnv noProxy("no_proxy", "");
    Exchange exchange(L"updates.example", 8080, Wide(kPath), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    std::string body;
    ASSERT_EQ(exchange.ReadAll(body, 100), ERROR_SUCCESS);
    EXPECT_EQ(body, "via proxy");
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0].target, "http://updates.example:8080/patches/a.exe");
}

TEST(WinHttpFaultTest, NoProxyModeIgnoresTheEnvironment) {
    FaultServer proxy({}, {});
    FaultServer origin({{kPath, "direct"}}, {});
    ScopedEnv httpProxy("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.Port()));
    Exchange exchange(L"127.0.0.1", origin.Port(), Wide(kPath), WINHTTP_ACCESS_TYPE_NO_PROXY);
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    std::string body;
    ASSERT_EQ(exchange.ReadAll(body, 100), ERROR_SUCCESS);
    EXPECT_EQ(body, "direct");
    EXPECT_TRUE(proxy.Requests().empty());
    ASSERT_EQ(origin.Requests().size(), 1u);
    EXPECT_EQ(origin.Requests()[0].target, kPath);
}

TEST(WinHttpFaultTest, NamedProxyOverridesNoProxyEnvironment) {
    FaultServer proxy({{kPath, "p"}}, {});
    ScopedEnv noProxy("no_proxy", "*");
    Exchange exchange(L"127.0.0.1", 9, Wide(kPath), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
    exchange.UseProxy(proxy.Port());
    ASSERT_EQ(exchange.Send(), ERROR_SUCCESS);
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0].target, "http://127.0.0.1:9/patches/a.exe");
}

// ---- Handles and arguments ----

TEST(WinHttpHandleTest, WrongOrNullHandlesAreRefused) {
    Internet session(WinHttpOpen(L"ua", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    ASSERT_NE(session, nullptr);
    Internet connection(WinHttpConnect(session.get(), L"127.0.0.1", 80, 0));
    ASSERT_NE(connection, nullptr);
    Internet request(
        WinHttpOpenRequest(connection.get(), nullptr, L"/", nullptr, nullptr, nullptr, 0));
    ASSERT_NE(request, nullptr);
    DWORD number = 0, length = sizeof(number), a = 0, b = 0, c = 0;
    char buffer[4];
    WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    struct Case {
        const char* call;
        std::function<BOOL(HINTERNET)> invoke;
        HINTERNET wrong;
    };
    const Case cases[] = {
        {"SetOption",
         [&](HINTERNET h) {
             return WinHttpSetOption(h, WINHTTP_OPTION_PROXY, &info, sizeof(info));
         },
         request.get()},
        {"Connect", [&](HINTERNET h) { return WinHttpConnect(h, L"x", 80, 0) != nullptr; },
         connection.get()},
        {"OpenRequest",
         [&](HINTERNET h) {
             return WinHttpOpenRequest(h, nullptr, L"/", nullptr, nullptr, nullptr, 0) != nullptr;
         },
         session.get()},
        {"AddRequestHeaders",
         [&](HINTERNET h) {
             return WinHttpAddRequestHeaders(h, L"A: b", static_cast<DWORD>(-1),
                                             WINHTTP_ADDREQ_FLAG_ADD);
         },
         connection.get()},
        {"SendRequest",
         [&](HINTERNET h) { return WinHttpSendRequest(h, nullptr, 0, nullptr, 0, 0, 0); },
         session.get()},
        {"ReceiveResponse", [&](HINTERNET h) { return WinHttpReceiveResponse(h, nullptr); },
         connection.get()},
        {"QueryHeaders",
         [&](HINTERNET h) {
             return WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                        nullptr, &number, &length, nullptr);
         },
         session.get()},
        {"QueryAuthSchemes", [&](HINTERNET h) { return WinHttpQueryAuthSchemes(h, &a, &b, &c); },
         connection.get()},
        {"SetCredentials",
         [&](HINTERNET h) {
             return WinHttpSetCredentials(h, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC,
                                          L"u", L"p", nullptr);
         },
         session.get()},
        {"ReadData",
         [&](HINTERNET h) {
             DWORD got = 0;
             return WinHttpReadData(h, buffer, sizeof(buffer), &got);
         },
         connection.get()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        EXPECT_FALSE(c.invoke(c.wrong));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
        EXPECT_FALSE(c.invoke(nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_FALSE(WinHttpCloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WinHttpHandleTest, ArgumentsOutsideWhatIsSupportedAreRefused) {
    EXPECT_EQ(WinHttpOpen(L"ua", 2, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WinHttpOpen(L"ua", WINHTTP_ACCESS_TYPE_NO_PROXY, L"p:1", nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    Internet session(WinHttpOpen(L"ua", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    DWORD dummy = 0;
    EXPECT_FALSE(WinHttpSetOption(session.get(), 12345, &dummy, sizeof(dummy)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_OPTION));
    for (const wchar_t* proxy : {L"", L"bad host:80", L"host:80x", L"host:123456"}) {
        WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy, nullptr};
        EXPECT_FALSE(WinHttpSetOption(session.get(), WINHTTP_OPTION_PROXY, &info, sizeof(info)));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    WINHTTP_PROXY_INFO bypass{WINHTTP_ACCESS_TYPE_NAMED_PROXY, L"proxy:3128", L"*.local"};
    EXPECT_FALSE(WinHttpSetOption(session.get(), WINHTTP_OPTION_PROXY, &bypass, sizeof(bypass)));

    EXPECT_EQ(WinHttpConnect(session.get(), L"a/b", 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_URL));
    Internet connection(WinHttpConnect(session.get(), L"127.0.0.1", 80, 0));
    EXPECT_EQ(WinHttpOpenRequest(connection.get(), L"GE T", L"/", nullptr, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    Internet request(
        WinHttpOpenRequest(connection.get(), nullptr, L"/", nullptr, nullptr, nullptr, 0));
    EXPECT_FALSE(WinHttpSetCredentials(request.get(), WINHTTP_AUTH_TARGET_PROXY,
                                       WINHTTP_AUTH_SCHEME_PASSPORT, L"u", L"p", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(
        WinHttpSetCredentials(request.get(), 7, WINHTTP_AUTH_SCHEME_BASIC, L"u", L"p", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    char byte = 0;
    DWORD got = 0;
    EXPECT_FALSE(WinHttpReadData(request.get(), &byte, 1, &got));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    EXPECT_FALSE(WinHttpReceiveResponse(request.get(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
}

}  // namespace
