// The HTTP client the downloader is written against, shaped like WinHTTP and built on libcurl.
//
// Handles form WinHTTP's tree: a session (user agent, proxy mode), a connection (host and port
// of one server) and requests (one resource). A request is driven through libcurl's multi
// interface: WinHttpSendRequest starts the transfer, WinHttpReceiveResponse runs it until the
// final response's headers are in, and WinHttpReadData pulls the body in pieces of at most the
// caller's buffer size. A read blocks until data, the end of the body or an error arrives; a
// thread started by port::CreateThread that is blocked in it is woken by port::TerminateThread
// and fails the read with ERROR_WINHTTP_OPERATION_CANCELLED.
//
// Every call sets the thread's last error (port::GetLastError) on failure to one of the
// ERROR_WINHTTP_* numbers below; libcurl's results are mapped onto them. Time-outs follow
// WinHTTP's defaults (name resolution unbounded, connect 60 s, send 30 s, each receive 30 s)
// and run on the port clock (port::ScaledDuration), so tests can speed them up.
#ifndef ORCHEL_PORT_WINHTTP_H
#define ORCHEL_PORT_WINHTTP_H

#include <cstdint>

#include "orchel/wintypes.h"

typedef WORD INTERNET_PORT;

// Error numbers (as WinHTTP reports them).
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122L
#endif
#define ERROR_NOT_CONNECTED 2250L
#define ERROR_WINHTTP_OUT_OF_HANDLES 12001L
#define ERROR_WINHTTP_TIMEOUT 12002L
#define ERROR_WINHTTP_INTERNAL_ERROR 12004L
#define ERROR_WINHTTP_INVALID_URL 12005L
#define ERROR_WINHTTP_UNRECOGNIZED_SCHEME 12006L
#define ERROR_WINHTTP_NAME_NOT_RESOLVED 12007L
#define ERROR_WINHTTP_INVALID_OPTION 12009L
#define ERROR_WINHTTP_LOGIN_FAILURE 12015L
#define ERROR_WINHTTP_OPERATION_CANCELLED 12017L
#define ERROR_WINHTTP_INCORRECT_HANDLE_TYPE 12018L
#define ERROR_WINHTTP_INCORRECT_HANDLE_STATE 12019L
#define ERROR_WINHTTP_CANNOT_CONNECT 12029L
#define ERROR_WINHTTP_CONNECTION_ERROR 12030L
#define ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED 12044L
#define ERROR_WINHTTP_HEADER_NOT_FOUND 12150L
#define ERROR_WINHTTP_INVALID_SERVER_RESPONSE 12152L
#define ERROR_WINHTTP_INVALID_QUERY_REQUEST 12154L

namespace port {

// Session access types.
inline constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;  // http_proxy / no_proxy
inline constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
inline constexpr DWORD WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;

// WinHttpSetOption.
inline constexpr DWORD WINHTTP_OPTION_PROXY = 38;
struct WINHTTP_PROXY_INFO {
    DWORD dwAccessType;              // WINHTTP_ACCESS_TYPE_NAMED_PROXY or _NO_PROXY
    const wchar_t* lpszProxy;        // "host:port"
    const wchar_t* lpszProxyBypass;  // must be null or empty: no host bypasses the proxy
};

// WinHttpOpenRequest flags: REFRESH asks caches on the way (proxies) not to answer from a
// stored copy ("Cache-Control: no-cache", "Pragma: no-cache").
inline constexpr DWORD WINHTTP_FLAG_REFRESH = 0x00000100;

// WinHttpAddRequestHeaders modifiers.
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_ADD = 0x20000000;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

// WinHttpQueryHeaders information levels and their modifiers.
inline constexpr DWORD WINHTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr DWORD WINHTTP_QUERY_LAST_MODIFIED = 11;
inline constexpr DWORD WINHTTP_QUERY_STATUS_CODE = 19;
inline constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER = 0x20000000;
inline constexpr DWORD WINHTTP_QUERY_FLAG_SYSTEMTIME = 0x40000000;

// Authentication schemes and targets.
inline constexpr DWORD WINHTTP_AUTH_SCHEME_BASIC = 0x00000001;
inline constexpr DWORD WINHTTP_AUTH_SCHEME_NTLM = 0x00000002;
inline constexpr DWORD WINHTTP_AUTH_SCHEME_PASSPORT = 0x00000004;
inline constexpr DWORD WINHTTP_AUTH_SCHEME_DIGEST = 0x00000008;
inline constexpr DWORD WINHTTP_AUTH_SCHEME_NEGOTIATE = 0x00000010;
inline constexpr DWORD WINHTTP_AUTH_TARGET_SERVER = 0x00000000;
inline constexpr DWORD WINHTTP_AUTH_TARGET_PROXY = 0x00000001;

// Opens a session with accessType DEFAULT_PROXY or NO_PROXY. proxyName and proxyBypass must be
// null (a named proxy is set afterwards with WINHTTP_OPTION_PROXY); flags must be 0
// (synchronous). Anything else fails with ERROR_INVALID_PARAMETER.
HINTERNET WinHttpOpen(const wchar_t* userAgent, DWORD accessType, const wchar_t* proxyName,
                      const wchar_t* proxyBypass, DWORD flags);

// WINHTTP_OPTION_PROXY on a session: buffer is a WINHTTP_PROXY_INFO, length its size.
BOOL WinHttpSetOption(HINTERNET session, DWORD option, void* buffer, DWORD bufferLength);

// A connection to serverName (host name or address) on port (0: 80, the default for http).
// Nothing is sent yet; name resolution and connecting happen when a request is sent.
HINTERNET WinHttpConnect(HINTERNET session, const wchar_t* serverName, INTERNET_PORT port,
                         DWORD reserved);

// A request for objectName ("/path" or "path"; sent as given, with characters outside URL
// syntax percent-encoded as UTF-8). verb "GET" (null means GET); version, referrer and
// acceptTypes must be null.
HINTERNET WinHttpOpenRequest(HINTERNET connect, const wchar_t* verb, const wchar_t* objectName,
                             const wchar_t* version, const wchar_t* referrer,
                             const wchar_t** acceptTypes, DWORD flags);

// Adds "Name: value" header lines (CRLF-separated; length -1 = up to the terminator).
// With REPLACE a header of the same name is replaced. A line without ':' is refused.
BOOL WinHttpAddRequestHeaders(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                              DWORD modifiers);

// Sends the request (extra headers and body not supported: null/0): returns once the
// connection is made and the request is going out, so an unknown host
// (ERROR_WINHTTP_NAME_NOT_RESOLVED) or a refused connection (ERROR_WINHTTP_CANNOT_CONNECT)
// fails here. May be called again on the same request, e.g. after WinHttpSetCredentials; the
// earlier response is discarded.
BOOL WinHttpSendRequest(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                        void* optional, DWORD optionalLength, DWORD totalLength,
                        std::uintptr_t context);

// Waits for the final response's status line and headers.
BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved);

// Queries the final response. With FLAG_NUMBER buffer is a DWORD; with FLAG_SYSTEMTIME a
// SYSTEMTIME (UTC, from an HTTP date); with neither, the value as terminated wide text.
// *bufferLength is the buffer size in bytes and receives the size written (for text without
// the terminator); a buffer too small fails with ERROR_INSUFFICIENT_BUFFER and *bufferLength
// receives the size needed. name and index must be null. A missing header fails with
// ERROR_WINHTTP_HEADER_NOT_FOUND; a value that is no number or date with
// ERROR_WINHTTP_INVALID_QUERY_REQUEST.
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, const wchar_t* name, void* buffer,
                         DWORD* bufferLength, DWORD* index);

// The schemes offered by the final response's challenge: Proxy-Authenticate for a 407, else
// WWW-Authenticate. firstScheme receives the first one offered, authTarget the target.
// Fails with ERROR_WINHTTP_HEADER_NOT_FOUND when no scheme is offered.
BOOL WinHttpQueryAuthSchemes(HINTERNET request, DWORD* supportedSchemes, DWORD* firstScheme,
                             DWORD* authTarget);

// Credentials for the next send of this request, for the proxy or the server, with one scheme.
// Passport is not supported (ERROR_INVALID_PARAMETER); params must be null.
BOOL WinHttpSetCredentials(HINTERNET request, DWORD authTargets, DWORD authScheme,
                           const wchar_t* userName, const wchar_t* password, void* params);

// Copies up to bytesToRead bytes of the body into buffer; *bytesRead = 0 at the end of the
// body. Blocks until at least one byte, the end or an error (see the file comment). A body cut
// short of its Content-Length fails with ERROR_WINHTTP_CONNECTION_ERROR; bytes past the
// Content-Length are not part of the response and are never delivered.
BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD bytesToRead, DWORD* bytesRead);

// Closes any handle. Closing a session or connection while its requests are open is allowed;
// each handle is released when it and its children are closed.
BOOL WinHttpCloseHandle(HINTERNET handle);

}  // namespace port

#endif  // ORCHEL_PORT_WINHTTP_H
