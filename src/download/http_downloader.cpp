// Construction, the fixed slots and Initialise: everything a download needs from the settings
// file ORVSettings.INI and the client file ORVClient.xml.
#include "download/http_downloader.h"

#include <memory>
#include <optional>
#include <vector>

#include "download/downloader_log.h"
#include "orchel/globals.h"
#include "orchel/paths.h"
#include "orchel/vostakcrypt.h"
#include "platform/client_file.h"
#include "port/profile.h"
#include "port/text.h"

namespace {

constexpr int kDefaultProxyPort = 80;
constexpr DWORD kProxyServerCapacity = 128;  // 127 characters
// Five digits: every TCP port fits, where four would silently name another port (10080 would
// read as 1008).
constexpr DWORD kPortCapacity = 6;
constexpr DWORD kServerNameCapacity = 130;  // 129 characters
constexpr std::size_t kProtocolCapacity = 10;
constexpr DWORD kDefaultRetryCount = 3;
constexpr DWORD kMaximumRetryCount = 5;
constexpr DWORD kDefaultTimeOutMinutes = 60;
constexpr DWORD kMillisecondsPerMinute = 60000;
constexpr DWORD kLongestTimeOut = 0xFFFFFFFEu;  // one below an unbounded wait
constexpr DWORD kLongestTimeOutMinutes = kLongestTimeOut / kMillisecondsPerMinute;

// The three slots the library never calls answer with fixed values.
constexpr int kServerAvailableAnswer = 19;
constexpr int kProxyServerAvailableAnswer = 23;
constexpr int kSendRequestAnswer = 10;

std::wstring ReadSettingText(const wchar_t* section, const wchar_t* key,
                             const wchar_t* defaultValue, DWORD capacity,
                             const wchar_t* settingsFile) {
    std::vector<wchar_t> value(capacity);
    port::GetPrivateProfileStringW(section, key, defaultValue, value.data(), capacity,
                                   settingsFile);
    return std::wstring(value.data());
}

// A credential from the credential store, as wide text; none when it is not valid text.
std::optional<std::wstring> ReadProxyCredential(CVostakCrypt& store, const wchar_t* key) {
    char value[VOSTAKCRYPT_VALUE_CAPACITY] = "";
    if (!store.GetValue(L"ProxySettings", key, value)) {
        // Said once here, without the value: the proxy will refuse the empty credential.
        LogDownloader(ORV_LOG_LEVEL_WARNING,
                      L"Proxy setting %s could not be read from the credential store", key);
    }
    const std::unique_ptr<wchar_t[]> wide(TCHAR2WCHAR(value, sizeof value));
    if (!wide) {
        return std::nullopt;
    }
    return std::wstring(wide.get());
}

}  // namespace

CHTTPDownloader::CHTTPDownloader()
    : m_dwContentLength(0),
      m_hInternetSession(nullptr),
      m_hConnect(nullptr),
      m_hRequest(nullptr),
      m_dwTimeOutForEachTry(0),
      m_dwRetryCount(1),
      m_pFileManager(nullptr),
      m_iReturnStatus(-1),
      m_pDownloadBuffer(nullptr),
      m_bReadBlocked(FALSE),
      m_bTimedOut(FALSE),
      m_wsUserAgent(L"ORV_AutoUpdate"),
      m_szSettingsIniPath{},
      m_szClientXmlPath{},
      m_bUseProxy(FALSE),
      m_bAutoDetectProxy(FALSE),
      m_bProxyRequireAuth(FALSE),
      m_iProxyPort(kDefaultProxyPort),
      m_hDownloadThread(nullptr),
      m_dwDownloadThreadId(0),
      m_dwConfiguredRetryCount(1) {}

CHTTPDownloader::~CHTTPDownloader() {
    CloseAllWinHttpHandles();
}

int CHTTPDownloader::IsServerAvailable() {
    return kServerAvailableAnswer;
}

int CHTTPDownloader::IsProxyServerAvailable() {
    return kProxyServerAvailableAnswer;
}

void CHTTPDownloader::SetConnectionOptions(HINTERNET const&) {}

int CHTTPDownloader::SetDownloadServerAuthenticationInfo(HINTERNET const&) {
    return 0;
}

int CHTTPDownloader::SetProxyAuthenticationInfo(HINTERNET const&) {
    return 0;
}

int CHTTPDownloader::DoPauseAndResumeSupported(HINTERNET const&) {
    return 0;
}

int CHTTPDownloader::SendRequest(HINTERNET) {
    return kSendRequestAnswer;
}

int CHTTPDownloader::Initialise(DownloadRequestStatus&) {
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Initialising HTTP Downloader");
    return InitializeHTTPDownloader();
}

int CHTTPDownloader::InitializeHTTPDownloader() {
    // 1. The settings file.
    if (GetORVSettingsINIPath(m_szSettingsIniPath) == 0) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Cannot initialize the HTTP Downloader. ORVSettings.INI file not found.");
        return 0;
    }
    // 2. The client file beside it.
    if (GetORVPath(m_szClientXmlPath) == 0 ||
        port::BoundedAppend(m_szClientXmlPath, MAX_PATH, ORCHEL_CLIENT_FILE_NAME) == 0) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Cannot initialize the HTTP Downloader. Cannot get the ORV Path.");
        return 0;
    }
    // 3. The proxy, 4. the server, 5. the tries.
    if (FillProxyInfo() == 0) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Cannot initialize the HTTP Downloader. Failed to get proxy info");
        return 0;
    }
    if (FillServerInfo() == 0) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Cannot initialize the HTTP Downloader. Failed to get server info");
        return 0;
    }
    GetRetryConfigurationsFromORVSettingsINI();
    return DOWNLOAD_INITIALISED;
}

int CHTTPDownloader::FillProxyInfo() {
    // 1. The mode: 1 the system's proxy, 2 a named proxy, anything else none.
    const UINT mode =
        port::GetPrivateProfileIntW(L"ProxySettings", L"UseProxy", 0, m_szSettingsIniPath);
    if (mode == 1) {
        m_bUseProxy = TRUE;
        m_bAutoDetectProxy = TRUE;
        return 1;
    }
    if (mode != 2) {
        m_bUseProxy = FALSE;
        return 1;
    }
    // 2. The named proxy's host.
    m_bUseProxy = TRUE;
    m_bAutoDetectProxy = FALSE;
    const std::wstring server = ReadSettingText(L"ProxySettings", L"ProxyServer", L"",
                                                kProxyServerCapacity, m_szSettingsIniPath);
    if (server.empty()) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE, L"Failed to get proxy server name.");
        return 0;
    }
    m_wsProxyServer = server;
    // 3. Its port.
    const std::wstring port =
        ReadSettingText(L"ProxySettings", L"ProxyPort", L"80", kPortCapacity, m_szSettingsIniPath);
    m_iProxyPort = port.empty() ? kDefaultProxyPort : port::WideToInt(port.c_str());
    // 4. Its credentials, when it wants them.
    if (port::GetPrivateProfileIntW(L"ProxySettings", L"ProxyRequireAuth", 0,
                                    m_szSettingsIniPath) == 0) {
        return 1;
    }
    m_bProxyRequireAuth = TRUE;
    CVostakCrypt credentialStore;
    const std::optional<std::wstring> user = ReadProxyCredential(credentialStore, L"ProxyUserID");
    if (!user) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Failed to get proxy user Id from configuration file. Memory Allocation "
                      L"failed.");
        return 0;
    }
    const std::optional<std::wstring> password =
        ReadProxyCredential(credentialStore, L"ProxyPassword");
    if (!password) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Failed to get proxy password from configuration file. Memory Allocation "
                      L"failed.");
        return 0;
    }
    m_wsProxyUserID = *user;
    m_wsProxyPassword = *password;
    return 1;
}

int CHTTPDownloader::FillServerInfo() {
    // 1. Protocol, server type (0 stays 0, anything else counts as 1) and port.
    wchar_t protocol[kProtocolCapacity] = L"";
    GetProtocolSelected(protocol);
    const bool serverFromClientFile =
        port::GetPrivateProfileIntW(L"DownloadServer", L"ServerType", -1, m_szSettingsIniPath) == 0;
    const std::wstring port =
        ReadSettingText(L"DownloadServer", L"Port", L"", kPortCapacity, m_szSettingsIniPath);
    // 2./3. The host, from the settings file or the client file.
    std::wstring host;
    if (!serverFromClientFile) {
        host = ReadSettingText(L"DownloadServer", L"ServerName", L"", kServerNameCapacity,
                               m_szSettingsIniPath);
    } else {
        const std::optional<std::wstring> clientHost = ReadServerFromClientFile(protocol);
        if (!clientHost) {
            return 0;
        }
        host = *clientHost;
    }
    // 4. Where the server's name goes.
    port::BoundedCopy(gszDownloadServerName, ORCHEL_SERVER_NAME_CAPACITY, host);
    m_wsProtocol = protocol;
    m_wsServerPort = port;
    m_wsServerName = host;
    m_wsServerURL = m_wsProtocol + L"://" + host + L":" + port;
    return 1;
}

std::optional<std::wstring> CHTTPDownloader::ReadServerFromClientFile(const wchar_t* protocol) {
    using orchel::XmlDocument;
    using orchel::XmlElement;
    XmlDocument document(JobCreateDocumentFromXML(m_szClientXmlPath));
    if (!document) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE, L"Failed to get the Kelm HTTP Server information.");
        return std::nullopt;
    }
    XmlElement product = orchel::FindProductElement(document.Get());
    if (!product) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Failed to get the product information from ORVClient.XML");
        return std::nullopt;
    }
    XmlElement downloadInfo(JobGetElementChildByName(product.Get(), L"downloadinfo"));
    XmlElement protocolElement;
    if (downloadInfo && JobGetElementChildCount(downloadInfo.Get()) > 0) {
        protocolElement = orchel::FindProtocolElement(downloadInfo.Get(), protocol);
    }
    if (!protocolElement) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Failed to get the download information from ORVClient.XML");
        return std::nullopt;
    }
    const std::optional<std::wstring> host =
        orchel::ChildElementText(protocolElement.Get(), L"ServerName", kServerNameCapacity);
    if (!host) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Failed to get the download server information from ORVClient.XML");
        return std::nullopt;
    }
    XmlElement source(JobGetElementChildByName(protocolElement.Get(), L"source"));
    if (!source) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"Failed to get the download source information from ORVClient.XML");
        return std::nullopt;
    }
    return host;
}

int CHTTPDownloader::GetRetryConfigurationsFromORVSettingsINI() {
    m_dwRetryCount = 1;
    const UINT retryCount = port::GetPrivateProfileIntW(L"DOWNLOADCONFIG", L"RetryCount",
                                                        kDefaultRetryCount, m_szSettingsIniPath);
    if (retryCount >= 1 && retryCount <= kMaximumRetryCount) {
        m_dwRetryCount = retryCount;
    }
    m_dwConfiguredRetryCount = m_dwRetryCount;
    m_dwTimeOutForEachTry = kDefaultTimeOutMinutes * kMillisecondsPerMinute;
    const UINT minutes = port::GetPrivateProfileIntW(L"DOWNLOADCONFIG", L"TimeOutForEachTry",
                                                     kDefaultTimeOutMinutes, m_szSettingsIniPath);
    if (minutes != 0) {
        // A time-out too long for the millisecond count would wrap into a short one.
        m_dwTimeOutForEachTry =
            minutes <= kLongestTimeOutMinutes ? minutes * kMillisecondsPerMinute : kLongestTimeOut;
    }
    return 1;
}
