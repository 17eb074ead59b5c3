// One request of a download try: the Range header for the bytes already on disk, the answer's
// classification, the proxy's challenges, the catalogue's freshness, and the two mappings of
// failures onto the status record.
#include <cwchar>
#include <string>

#include "download/downloader_log.h"
#include "download/handle_release.h"
#include "download/http_downloader.h"
#include "framework/service_messages.h"
#include "orchel/globals.h"
#include "orchel/paths.h"
#include "port/last_error.h"
#include "port/profile.h"
#include "port/text.h"
#include "port/wide_format.h"
#include "port/winhttp.h"

namespace {

constexpr const wchar_t* kCatalogueFileName = L"AvailablePatchInfoDll.dll";
constexpr const wchar_t* kSuccess = L"Success";
constexpr const wchar_t* kFailed = L"Failed";
constexpr int kRangeHeaderCapacity = 256;

// HTTP statuses the request step tells apart.
constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpPartialContent = 206;
constexpr DWORD kHttpNotModified = 304;
constexpr DWORD kHttpUnauthorized = 401;
constexpr DWORD kHttpForbidden = 403;
constexpr DWORD kHttpNotFound = 404;
constexpr DWORD kHttpProxyAuthenticationRequired = 407;
constexpr DWORD kHttpInternalServerError = 500;
constexpr DWORD kHttpServiceUnavailable = 503;

std::wstring ServiceMessage(UINT id) {
    wchar_t text[orchel::kStatusMessageCapacity];
    orchel::LoadServiceMessage(id, text, orchel::kStatusMessageCapacity);
    return text;
}

std::wstring ServiceMessage(UINT id, port::FormatArg argument) {
    wchar_t text[orchel::kStatusMessageCapacity];
    orchel::FormatServiceMessage(id, text, orchel::kStatusMessageCapacity, {argument});
    return text;
}

bool IsCatalogue(const std::wstring& fileName) {
    return port::EqualsIgnoreCase(fileName, kCatalogueFileName);
}

// The current product's name, read no further than its field.
std::wstring CurrentProduct() {
    return std::wstring(gszCurrentProduct,
                        port::BoundedLength(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY));
}

// Preference among the schemes a challenge offers; none of them: 0.
DWORD PreferredScheme(DWORD supportedSchemes) {
    for (const DWORD scheme : {port::WINHTTP_AUTH_SCHEME_NEGOTIATE, port::WINHTTP_AUTH_SCHEME_NTLM,
                               port::WINHTTP_AUTH_SCHEME_PASSPORT, port::WINHTTP_AUTH_SCHEME_DIGEST,
                               port::WINHTTP_AUTH_SCHEME_BASIC}) {
        if ((supportedSchemes & scheme) != 0) {
            return scheme;
        }
    }
    return 0;
}

// How HandleInternetError logs and records one code.
enum class LogArguments { kNone, kServer, kErrorText, kErrorTextAndServer };
enum class MessageForm { kPlain, kFormattedWithServer, kAfterServer };

struct InternetErrorRule {
    DWORD code;
    unsigned int level;
    const wchar_t* logLine;
    LogArguments logArguments;
    UINT messageId;
    MessageForm messageForm;
    const wchar_t* status;
};

constexpr InternetErrorRule kInternetErrorRules[] = {
    {kHttpOk, ORV_LOG_LEVEL_MILESTONE, L"SUCCESS: Status code 200. Successfully got response",
     LogArguments::kNone, 7148, MessageForm::kPlain, kSuccess},
    {kHttpUnauthorized, ORV_LOG_LEVEL_MILESTONE,
     L"FAILED: Status code <401>: The Server requires authentication.", LogArguments::kNone, 7150,
     MessageForm::kPlain, kFailed},
    {kHttpNotFound, ORV_LOG_LEVEL_MILESTONE, L"FAILED: Status code 404. Requested file not found",
     LogArguments::kNone, 7149, MessageForm::kPlain, kFailed},
    {kHttpInternalServerError, ORV_LOG_LEVEL_MILESTONE,
     L"FAILED: Status code <500>: The server encountered an unexpected condition which "
     L"prevented it from fulfilling the request.",
     LogArguments::kNone, 7161, MessageForm::kPlain, kFailed},
    {kHttpServiceUnavailable, ORV_LOG_LEVEL_MILESTONE,
     L"FAILED: Status code <503>: Server %s may be temporarily unavailable, or there could be a "
     L"network problem.",
     LogArguments::kServer, 7151, MessageForm::kAfterServer, kFailed},
    {ERROR_NOT_CONNECTED, ORV_LOG_LEVEL_FATAL, L"FAILED: %s. Network connection failed: %s",
     LogArguments::kErrorTextAndServer, 7146, MessageForm::kPlain, kFailed},
    {ERROR_WINHTTP_TIMEOUT, ORV_LOG_LEVEL_FATAL, L"FAILED: %s. The request has timed out.",
     LogArguments::kErrorText, 7130, MessageForm::kFormattedWithServer, kFailed},
    {ERROR_WINHTTP_INVALID_URL, ORV_LOG_LEVEL_MILESTONE,
     L"FAILED: Status code <12005>: Invalid URL: %s", LogArguments::kServer, 6010,
     MessageForm::kFormattedWithServer, kFailed},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, ORV_LOG_LEVEL_FATAL,
     L"FAILED: %s. The URL scheme could not be recognized, or is not supported: %s",
     LogArguments::kErrorTextAndServer, 7133, MessageForm::kPlain, kFailed},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, ORV_LOG_LEVEL_FATAL,
     L"FAILED: %s. The server name could not be resolved: %s, Reason could be usage of invalid "
     L"proxy server or Network error",
     LogArguments::kErrorTextAndServer, 7134, MessageForm::kAfterServer, kFailed},
    {ERROR_WINHTTP_LOGIN_FAILURE, ORV_LOG_LEVEL_FATAL,
     L"FAILED: %s. The request to connect and log on to an HTTP server %s failed",
     LogArguments::kErrorTextAndServer, 7138, MessageForm::kPlain, kFailed},
    {ERROR_WINHTTP_CANNOT_CONNECT, ORV_LOG_LEVEL_FATAL,
     L"FAILED: %s. The attempt to connect to the %s server failed. Reason could be either "
     L"Invalid Proxy configuration or Invalid Server IP/Name or Server is down.",
     LogArguments::kErrorTextAndServer, 7142, MessageForm::kFormattedWithServer, kFailed},
    {ERROR_WINHTTP_CONNECTION_ERROR, ORV_LOG_LEVEL_FATAL,
     L"FAILED: %s.The connection with the server has been terminated: %s",
     LogArguments::kErrorTextAndServer, 7159, MessageForm::kFormattedWithServer, kFailed},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, ORV_LOG_LEVEL_FATAL,
     L"FAILED: %s. The server is requesting client authentication : %s",
     LogArguments::kErrorTextAndServer, 7160, MessageForm::kFormattedWithServer, kFailed},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, ORV_LOG_LEVEL_FATAL,
     L"FAILED: %s. The server %s response could not be parsed. Please contact your server "
     L"administrator",
     LogArguments::kErrorTextAndServer, 7164, MessageForm::kFormattedWithServer, kFailed},
};

const InternetErrorRule* FindInternetErrorRule(DWORD code) {
    for (const InternetErrorRule& rule : kInternetErrorRules) {
        if (rule.code == code) {
            return &rule;
        }
    }
    return nullptr;
}

// How SetHttpDownloaderError records a download status code at the end of a download.
struct DownloadErrorRule {
    int status;
    UINT messageId;
};

constexpr DownloadErrorRule kDownloadErrorRules[] = {
    {DOWNLOAD_WRITE_FAILED, 7126},
    {DOWNLOAD_FAILED, 7156},
    {DOWNLOAD_DIRECTORY_FAILED, 6038},
    {DOWNLOAD_IN_PROGRESS, 7155},
};

}  // namespace

int CHTTPDownloader::CreateRequest(std::wstring in_wsMethod,
                                   std::wstring in_wsResourceIdentifierURI) {
    // 1. A connection is needed.
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Getting/Creating Resource handle");
    if (m_hConnect == nullptr) {
        return 0;
    }
    // 2. The request, bypassing caches on the way.
    m_hRequest = port::WinHttpOpenRequest(m_hConnect, in_wsMethod.c_str(),
                                          in_wsResourceIdentifierURI.c_str(), nullptr, nullptr,
                                          nullptr, port::WINHTTP_FLAG_REFRESH);
    if (m_hRequest == nullptr) {
        const DWORD error = port::GetLastError();
        LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FAILED: Open Http request failed with code: %d",
                      static_cast<int>(error));
        return static_cast<int>(HandleInternetError(error));
    }
    // 3. Only the bytes not yet on disk; the catalogue is always fetched whole.
    if (!IsCatalogue(m_wsFileName) && AddHeaderToRequest(HTTP_HEADER_RANGE, nullptr) == 0) {
        const DWORD error = port::GetLastError();
        LogDownloader(ORV_LOG_LEVEL_DETAIL,
                      L"FAILED: Adding Range request to the header failed with code: %d",
                      static_cast<int>(error));
        return static_cast<int>(HandleInternetError(error));
    }
    // 4. Send it and judge the answer.
    return static_cast<int>(ProcessRequest());
}

int CHTTPDownloader::AddHeaderToRequest(HTTP_HEADERS in_HeaderKind, void*) {
    if (in_HeaderKind != HTTP_HEADER_RANGE) {
        return 1;
    }
    // 1. The bytes already on disk.
    DWORD existingSize = 0;
    if (m_pFileManager != nullptr) {
        m_pFileManager->IsFileAlreadyExists(&existingSize);
    }
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"dwExistingLocalFileSize = %d",
                  static_cast<int>(existingSize));
    // 2. Nothing yet: the whole resource.
    if (existingSize == 0) {
        return 1;
    }
    // 3. The rest from there on (RFC 9110 section 14.1.2). The size is unsigned: a file past
    //    2 GiB must not ask for a negative offset.
    wchar_t range[kRangeHeaderCapacity];
    port::FormatWide(range, kRangeHeaderCapacity, L"Range: bytes=%u-", existingSize);
    if (!port::WinHttpAddRequestHeaders(
            m_hRequest, range, static_cast<DWORD>(-1),
            port::WINHTTP_ADDREQ_FLAG_ADD | port::WINHTTP_ADDREQ_FLAG_REPLACE)) {
        // 4. Refused.
        const DWORD error = port::GetLastError();
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"WinHttpAddRequestHeaders Error: [%d]",
                      static_cast<int>(error));
        HandleInternetError(error);
        return 0;
    }
    return 1;
}

DWORD CHTTPDownloader::ProcessRequest() {
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Starting to process request ......");
    DWORD chosenScheme = 0;
    bool answered407 = false;
    bool answered403 = false;
    for (;;) {
        // 2. Credentials for the proxy once a challenge has been answered.
        if (chosenScheme != 0) {
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"Proxy Authentication Challenge was responded. Setting the Proxy "
                          L"Credentials");
            if (!port::WinHttpSetCredentials(m_hRequest, port::WINHTTP_AUTH_TARGET_PROXY,
                                             chosenScheme, m_wsProxyUserID.c_str(),
                                             m_wsProxyPassword.c_str(), nullptr)) {
                const DWORD error = port::GetLastError();
                LogDownloader(ORV_LOG_LEVEL_FAILURE,
                              L"FAILED: Setting proxy credentials failed with code: %d",
                              static_cast<int>(error));
                return HandleInternetError(error);
            }
            LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Setting proxy credentials OK");
        }
        // 3. Send.
        if (!port::WinHttpSendRequest(m_hRequest, nullptr, 0, nullptr, 0, 0, 0)) {
            const DWORD error = port::GetLastError();
            LogDownloader(ORV_LOG_LEVEL_FAILURE,
                          L"FAILED: Sending HTTP request failed with code: %d",
                          static_cast<int>(error));
            return HandleInternetError(error);
        }
        LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"SUCCESS: Send HTTP request OK");
        // 4. Receive.
        if (!port::WinHttpReceiveResponse(m_hRequest, nullptr)) {
            const DWORD error = port::GetLastError();
            LogDownloader(ORV_LOG_LEVEL_FAILURE,
                          L"FAILED: Receiving HTTP response failed with code: %d",
                          static_cast<int>(error));
            return HandleInternetError(error);
        }
        LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Receive HTTP response OK");
        LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Querying status code ...");
        // 5. The status.
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!port::WinHttpQueryHeaders(
                m_hRequest, port::WINHTTP_QUERY_STATUS_CODE | port::WINHTTP_QUERY_FLAG_NUMBER,
                nullptr, &status, &size, nullptr)) {
            const DWORD error = port::GetLastError();
            LogDownloader(ORV_LOG_LEVEL_FAILURE,
                          L"FAILED: Querying Status code failed with Code: %d",
                          static_cast<int>(error));
            return HandleInternetError(error);
        }
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Successfully queried status code : %d",
                      static_cast<int>(status));
        // 6. The catalogue's freshness may turn a 200 into a 304.
        if (status == kHttpOk && IsCatalogue(m_wsFileName) && CatalogueCheckApplies()) {
            DWORD failure = 0;
            if (!CheckCatalogueFreshness(status, failure)) {
                return failure;
            }
        }
        // 7. Classify; a proxy's challenge may send the request again.
        bool sendAgain = false;
        const DWORD result =
            ClassifyStatus(status, chosenScheme, answered407, answered403, sendAgain);
        if (!sendAgain) {
            return result;
        }
    }
}

DWORD CHTTPDownloader::ClassifyStatus(DWORD status, DWORD& chosenScheme, bool& answered407,
                                      bool& answered403, bool& sendAgain) {
    sendAgain = false;
    switch (status) {
        case kHttpOk: {
            m_dwContentLength = 0;
            LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Querying the content Length ...");
            DWORD length = 0;
            DWORD size = sizeof length;
            if (port::WinHttpQueryHeaders(
                    m_hRequest,
                    port::WINHTTP_QUERY_CONTENT_LENGTH | port::WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                    &length, &size, nullptr)) {
                m_dwContentLength = length;
            }
            LogDownloader(ORV_LOG_LEVEL_DETAIL, L"File content length in bytes: %d",
                          static_cast<int>(m_dwContentLength));
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"SUCCESS: Status code 200. Successfully got response");
            StoreRecord(static_cast<int>(kHttpOk), ServiceMessage(7148), kSuccess);
            return DOWNLOAD_REQUEST_OK;
        }
        case kHttpPartialContent:
            // The total stays the length the earlier 200 answer announced.
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"SUCCESS: Status code 206. Continuing the partial download");
            LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Continuing the partial download");
            return DOWNLOAD_REQUEST_OK;
        case kHttpNotModified:
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"Status code <304>: Requested resource file has not been modified "
                          L"since it was retrieved last time");
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"Hence Available patch info file not downloaded");
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"Local Available patch info file is used for further processing");
            StoreRecord(static_cast<int>(kHttpNotModified), ServiceMessage(7143), kFailed);
            return DOWNLOAD_NOT_MODIFIED;
        case kHttpProxyAuthenticationRequired:
            StoreRecord(static_cast<int>(status), ServiceMessage(7152), kFailed);
            sendAgain = AnswerChallenge(status, chosenScheme, answered407);
            return status;
        case kHttpForbidden:
            StoreRecord(static_cast<int>(status), ServiceMessage(7153), kFailed);
            sendAgain = AnswerChallenge(status, chosenScheme, answered403);
            return status;
        default:
            return HandleInternetError(status);
    }
}

// A proxy's challenge (407, or a 403 that may stand for one): true when the request is to be
// sent again with credentials, false when the challenge cannot be answered.
bool CHTTPDownloader::AnswerChallenge(DWORD status, DWORD& chosenScheme, bool& answered) {
    const bool isProxyChallenge = status == kHttpProxyAuthenticationRequired;
    // 1. The schemes offered.
    DWORD supportedSchemes = 0;
    DWORD firstScheme = 0;
    DWORD target = 0;
    if (!port::WinHttpQueryAuthSchemes(m_hRequest, &supportedSchemes, &firstScheme, &target)) {
        LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                      isProxyChallenge ? L"FAILED: WinHttpQueryAuthSchemes() Failed with Code: %d"
                                       : L"FAILED: Querying authentication schemes failed with "
                                         L"code: %d",
                      static_cast<int>(port::GetLastError()));
        return false;
    }
    // 2. Our preference, not the server's.
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Got supported and preferred schemes <OK>");
    chosenScheme = PreferredScheme(supportedSchemes);
    // 3. One answer per kind of challenge, and only with credentials configured.
    if (answered || !m_bProxyRequireAuth) {
        if (isProxyChallenge) {
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"FAILED: Status code <407>: The proxy requires authentication.");
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"FAILED:Proxy Authentication is required OR Please Check your proxy "
                          L"settings and try again");
        } else {
            LogDownloader(ORV_LOG_LEVEL_DETAIL,
                          L"FAILED: Status code <%d>: Server denied the request",
                          static_cast<int>(status));
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"FAILED:Proxy Authentication is required OR Please Check your proxy "
                          L"settings/credentials and try again");
        }
        return false;
    }
    // 4. Answer it.
    answered = true;
    return true;
}

bool CHTTPDownloader::CatalogueCheckApplies() {
    wchar_t settingsFile[MAX_PATH] = L"";
    GetORVSettingsINIPath(settingsFile);
    return port::GetPrivateProfileIntW(L"DownloadServer", L"ServerType", -1, settingsFile) == 0;
}

// Turns a 200 for the catalogue into a 304 when the server's copy is not newer than the one
// processed last. False when the server's stamp cannot be read; `failure` then holds the result.
bool CHTTPDownloader::CheckCatalogueFreshness(DWORD& status, DWORD& failure) {
    // 1. Without a local copy there is nothing to keep.
    if (CheckWhetherAvailablexmlExistsLocally() == 0) {
        LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Hence ignoring the since last modified check");
        return true;
    }
    // 2. The server's stamp.
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Querying last modified date ...");
    SYSTEMTIME lastModified{};
    DWORD size = sizeof lastModified;
    if (!port::WinHttpQueryHeaders(
            m_hRequest, port::WINHTTP_QUERY_LAST_MODIFIED | port::WINHTTP_QUERY_FLAG_SYSTEMTIME,
            nullptr, &lastModified, &size, nullptr)) {
        const DWORD error = port::GetLastError();
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"FAILED: Querying last modified date failed with code: %d",
                      static_cast<int>(error));
        failure = HandleInternetError(error);
        return false;
    }
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"SUCCESS: Successfully queried last modified date");
    // 3. Compare with the stamp stored after the last catalogue download.
    if (IsFileModifiedSinceLastAccess(lastModified) == 0) {
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"File is not updated since last access.");
        status = kHttpNotModified;
    } else {
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"File is updated since last access.");
    }
    return true;
}

int CHTTPDownloader::CheckWhetherAvailablexmlExistsLocally() {
    wchar_t catalogueXml[MAX_PATH] = L"";
    const std::wstring product = CurrentProduct();
    if (GetAvailablePatchesInfoXmlFilePath(catalogueXml, product.c_str()) == 0 ||
        CFileManager::IsFileAlreadyExists(catalogueXml) != FILE_EXISTS) {
        LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                      L"Existing local copy of AvailablePatchesInfo xml file is missing");
        return 0;
    }
    return 1;
}

int CHTTPDownloader::IsFileModifiedSinceLastAccess(SYSTEMTIME& stLastModifiedDate) {
    // 1. What was stored after the last catalogue download.
    LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                  L"Checking whether file is modified since last access ...");
    wchar_t settingsFile[MAX_PATH] = L"";
    GetORVSettingsINIPath(settingsFile);
    const std::wstring product = CurrentProduct();
    const long storedDate =
        static_cast<long>(port::GetPrivateProfileIntW(product.c_str(), L"Date", 0, settingsFile));
    const long storedTime =
        static_cast<long>(port::GetPrivateProfileIntW(product.c_str(), L"Time", 0, settingsFile));
    // 2. The server's stamp as the same numbers.
    const long serverDate = GetDateInyyyymmddFormat(stLastModifiedDate);
    const long serverTime = GetTimeInhhmmssFormat(stLastModifiedDate);
    // 3. Later date, or same date and later time.
    if (serverDate != storedDate) {
        return serverDate > storedDate ? 1 : 0;
    }
    return serverTime > storedTime ? 1 : 0;
}

long CHTTPDownloader::GetDateInyyyymmddFormat(SYSTEMTIME& stLastModifiedDate) {
    const std::wstring date = port::FormatWideString(
        L"%d%02d%02d", static_cast<int>(stLastModifiedDate.wYear),
        static_cast<int>(stLastModifiedDate.wMonth), static_cast<int>(stLastModifiedDate.wDay));
    m_stDownloadRequestStatus.stLastModifiedDateTime.wsDate = date;
    return std::wcstol(date.c_str(), nullptr, 10);
}

long CHTTPDownloader::GetTimeInhhmmssFormat(SYSTEMTIME& stLastModifiedDate) {
    const std::wstring time = port::FormatWideString(
        L"%02d%02d%02d", static_cast<int>(stLastModifiedDate.wHour),
        static_cast<int>(stLastModifiedDate.wMinute), static_cast<int>(stLastModifiedDate.wSecond));
    m_stDownloadRequestStatus.stLastModifiedDateTime.wsTime = time;
    return std::wcstol(time.c_str(), nullptr, 10);
}

DWORD CHTTPDownloader::HandleInternetError(DWORD iLastError) {
    const std::wstring errorText =
        port::FormatWideString(L"Internet Error Code: %d", static_cast<int>(iLastError));
    const wchar_t* server = m_wsServerURL.c_str();
    const InternetErrorRule* rule = FindInternetErrorRule(iLastError);
    if (rule == nullptr) {
        LogDownloader(ORV_LOG_LEVEL_FATAL, L"FAILED: %s. Please contact Kelm Technical Support.",
                      errorText.c_str());
        StoreRecord(static_cast<int>(iLastError),
                    ServiceMessage(7147, static_cast<int>(iLastError)), kFailed);
    } else {
        switch (rule->logArguments) {
            case LogArguments::kNone:
                LogDownloader(rule->level, rule->logLine);
                break;
            case LogArguments::kServer:
                LogDownloader(rule->level, rule->logLine, server);
                break;
            case LogArguments::kErrorText:
                LogDownloader(rule->level, rule->logLine, errorText.c_str());
                break;
            case LogArguments::kErrorTextAndServer:
                LogDownloader(rule->level, rule->logLine, errorText.c_str(), server);
                break;
        }
        if (rule->code == kHttpInternalServerError) {
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"POSSIBLE CAUSE: The current machine might be referring to itself to "
                          L"get the available patches information/download patches.");
        }
        std::wstring message;
        switch (rule->messageForm) {
            case MessageForm::kPlain:
                message = ServiceMessage(rule->messageId);
                break;
            case MessageForm::kFormattedWithServer:
                message = ServiceMessage(rule->messageId, server);
                break;
            case MessageForm::kAfterServer:
                message = m_wsServerURL + L" " + ServiceMessage(rule->messageId);
                break;
        }
        StoreRecord(static_cast<int>(iLastError), message, rule->status);
    }
    // The try's handles are done with; the next try opens new ones.
    CloseInternetHandleIfSet(m_hRequest);
    CloseInternetHandleIfSet(m_hConnect);
    CloseInternetHandleIfSet(m_hInternetSession);
    return static_cast<DWORD>(m_stDownloadRequestStatus.iStatusCode);
}

void CHTTPDownloader::SetHttpDownloaderError(int iReturnStatus) {
    for (const DownloadErrorRule& rule : kDownloadErrorRules) {
        if (rule.status == iReturnStatus) {
            const std::wstring message = ServiceMessage(rule.messageId);
            LogDownloader(ORV_LOG_LEVEL_DETAIL, L"FAILED: %s", message.c_str());
            StoreRecord(iReturnStatus, message, kFailed);
            return;
        }
    }
    if (iReturnStatus == DOWNLOAD_COMPLETED) {
        StoreRecord(DOWNLOAD_COMPLETED, ServiceMessage(7154), kSuccess);
        return;
    }
    if (iReturnStatus == DOWNLOAD_ROOT_NOT_FOUND) {
        const std::wstring message = ServiceMessage(7157) + L" " + ServiceMessage(7158);
        LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FAILED: PATCHESROOT Registry key not found");
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"FAILED: %s", message.c_str());
        StoreRecord(DOWNLOAD_FAILED, message, kFailed);
        return;
    }
    // An HTTP or network failure of the last try: the record keeps its specific status, the
    // download's result becomes the generic failure. With tries left (31) it passes unchanged.
    if (m_dwRetryCount == 0) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FAILED: Retrying Completed: Download Failed");
        m_iReturnStatus = DOWNLOAD_FAILED;
    }
}

void CHTTPDownloader::StoreRecord(int statusCode, const std::wstring& message,
                                  const wchar_t* status) {
    m_stDownloadRequestStatus.iStatusCode = statusCode;
    m_stDownloadRequestStatus.wsStatusMessage = message;
    m_stDownloadRequestStatus.wsStatus = status;
}
