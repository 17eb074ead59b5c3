// The session and the connection every download try begins with. No time-outs are set here:
// the HTTP layer's defaults govern connecting, sending and receiving.
#include "download/downloader_log.h"
#include "download/handle_release.h"
#include "download/http_downloader.h"
#include "port/last_error.h"
#include "port/text.h"
#include "port/wide_format.h"
#include "port/winhttp.h"

int CHTTPDownloader::OpenInternet() {
    // 1. The user agent.
    m_wsUserAgent = L"ORV_AutoUpdate";
    // 2.-4. The session, with the proxy mode of the settings.
    DWORD accessType = port::WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    if (!m_bUseProxy) {
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Not through proxy");
        accessType = port::WINHTTP_ACCESS_TYPE_NO_PROXY;
    } else if (m_bAutoDetectProxy) {
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Auto detection of proxy");
    } else {
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Through named proxy");
    }
    m_hInternetSession = port::WinHttpOpen(m_wsUserAgent.c_str(), accessType, nullptr, nullptr, 0);
    // 5. Failures are mapped to a status and a record.
    if (m_hInternetSession == nullptr) {
        const DWORD error = port::GetLastError();
        LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FAILED: Http open failed with code: %d",
                      static_cast<int>(error));
        return static_cast<int>(HandleInternetError(error));
    }
    if (m_bUseProxy && !m_bAutoDetectProxy) {
        const std::wstring proxy =
            port::FormatWideString(L"%s:%d", m_wsProxyServer.c_str(), m_iProxyPort);
        port::WINHTTP_PROXY_INFO proxyInfo{port::WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                                           L""};
        if (!port::WinHttpSetOption(m_hInternetSession, port::WINHTTP_OPTION_PROXY, &proxyInfo,
                                    sizeof proxyInfo)) {
            const DWORD error = port::GetLastError();
            LogDownloader(ORV_LOG_LEVEL_FAILURE,
                          L"FAILED: Setting http option failed with code: %d",
                          static_cast<int>(error));
            return static_cast<int>(HandleInternetError(error));
        }
    }
    // 6. Open.
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Internet open OK");
    return DOWNLOAD_INTERNET_OPENED;
}

int CHTTPDownloader::ConnectInternet() {
    m_hConnect = nullptr;
    // An empty port means the scheme's default; a number beyond 16 bits keeps its low bits, as
    // the connection's port field holds no more.
    const INTERNET_PORT port = static_cast<INTERNET_PORT>(port::WideToInt(m_wsServerPort.c_str()));
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Target server of an HTTP request : %s",
                  m_wsServerURL.c_str());
    HINTERNET connection =
        port::WinHttpConnect(m_hInternetSession, m_wsServerName.c_str(), port, 0);
    if (connection == nullptr) {
        const DWORD error = port::GetLastError();
        CloseInternetHandleIfSet(m_hInternetSession);
        LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FAILED: Http connection failed with code: %d",
                      static_cast<int>(error));
        return static_cast<int>(HandleInternetError(error));
    }
    m_hConnect = connection;
    return DOWNLOAD_CONNECTED;
}

void CHTTPDownloader::CloseAllWinHttpHandles() {
    CloseInternetHandleIfSet(m_hInternetSession);
    CloseInternetHandleIfSet(m_hConnect);
    CloseInternetHandleIfSet(m_hRequest);
}
