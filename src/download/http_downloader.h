// The HTTP downloader: the library's only IDownloader (type 500), on the WinHTTP seam.
//
// Its work is spread over four files: settings and fixed slots (http_downloader.cpp), the
// session and connection of a try (http_session.cpp), the request, its answer and the error
// mapping (http_request.cpp), and the try loop with its worker thread (resumable_download.cpp).
//
// One download runs in a process at a time: the events and the packet size are process-wide.
// While a try runs, the worker alone touches the request handle, the packet buffer and the
// local file; the calling thread takes them back only after the worker has signalled, after it
// acknowledged the stop message, or after it has been stopped (see resumable_download.cpp).
#ifndef ORCHEL_DOWNLOAD_HTTP_DOWNLOADER_H
#define ORCHEL_DOWNLOAD_HTTP_DOWNLOADER_H

#include <atomic>
#include <optional>
#include <string>

#include "orchel/downloader.h"
#include "orchel/file_manager.h"
#include "orchel/wintypes.h"

// Kinds of header AddHeaderToRequest adds.
enum HTTP_HEADERS {
    HTTP_HEADER_RANGE = 1,
};

// The thread message that asks the worker to stop between packets.
inline constexpr UINT DOWNLOAD_STOP_MESSAGE = 2033;

class CHTTPDownloader : public IDownloader {
public:
    CHTTPDownloader();
    ~CHTTPDownloader() override;
    CHTTPDownloader(const CHTTPDownloader&) = delete;
    CHTTPDownloader& operator=(const CHTTPDownloader&) = delete;

    // ---- IDownloader ----
    int IsServerAvailable() override;
    int IsProxyServerAvailable() override;
    int OpenInternet() override;
    int ConnectInternet() override;
    void SetConnectionOptions(HINTERNET const& in_OpenHandle) override;
    int SetDownloadServerAuthenticationInfo(HINTERNET const& in_Handle) override;
    int SetProxyAuthenticationInfo(HINTERNET const& in_Handle) override;
    int CreateRequest(std::wstring in_wsMethod, std::wstring in_wsResourceIdentifierURI) override;
    int DoPauseAndResumeSupported(HINTERNET const& in_hResourceHandle) override;
    int SendRequest(HINTERNET in_hResourceHandle) override;
    int Initialise(DownloadRequestStatus& out_stDownloadRequestStatusInfo) override;
    int DownLoadFile(std::wstring in_wsFileToDownLoadURI,
                     DownloadRequestStatus& out_stDownloadRequestStatusInfo) override;

    // ---- Settings (http_downloader.cpp) ----
    int InitializeHTTPDownloader();
    int FillProxyInfo();
    int FillServerInfo();
    int GetRetryConfigurationsFromORVSettingsINI();

    // ---- Session (http_session.cpp) ----
    void CloseAllWinHttpHandles();

    // ---- Request and answer (http_request.cpp) ----
    int AddHeaderToRequest(HTTP_HEADERS in_HeaderKind, void* in_Param);
    DWORD ProcessRequest();
    int CheckWhetherAvailablexmlExistsLocally();
    int IsFileModifiedSinceLastAccess(SYSTEMTIME& stLastModifiedDate);
    long GetDateInyyyymmddFormat(SYSTEMTIME& stLastModifiedDate);
    long GetTimeInhhmmssFormat(SYSTEMTIME& stLastModifiedDate);
    DWORD HandleInternetError(DWORD iLastError);
    void SetHttpDownloaderError(int m_iReturnStatus);

    // ---- The download (resumable_download.cpp) ----
    int Download(std::wstring in_wsFileToDownLoad);
    int CreateDownloadDirectory(std::wstring in_wsFileToDownLoad,
                                std::wstring& out_DownloadDirectory);
    DWORD DownloadFileThreadProc();
    static DWORD ReadFile(void* lpParam);

    // ---- Data ----
    DWORD m_dwContentLength;
    HINTERNET m_hInternetSession;
    HINTERNET m_hConnect;
    HINTERNET m_hRequest;
    DWORD m_dwTimeOutForEachTry;
    DWORD m_dwRetryCount;
    CFileManager* m_pFileManager;
    DownloadRequestStatus m_stDownloadRequestStatus;
    std::wstring m_wsFileToDownLoadURI;
    // Written by one thread and read by the other while a try runs; sequentially consistent so
    // the waiter's choice between the blocked and the not-blocked time-out and the worker's
    // check after each read always see each other's writes.
    std::atomic<int> m_iReturnStatus;
    BYTE* m_pDownloadBuffer;
    std::atomic<BOOL> m_bReadBlocked;
    std::atomic<BOOL> m_bTimedOut;
    std::wstring m_wsFileName;
    std::wstring m_wsUserAgent;
    wchar_t m_szSettingsIniPath[MAX_PATH];
    wchar_t m_szClientXmlPath[MAX_PATH];
    std::wstring m_wsProxyUserID;
    std::wstring m_wsProxyPassword;
    std::wstring m_wsProxyServer;
    BOOL m_bUseProxy;
    BOOL m_bAutoDetectProxy;
    BOOL m_bProxyRequireAuth;
    int m_iProxyPort;
    std::wstring m_wsProtocol;
    std::wstring m_wsServerPort;
    std::wstring m_wsServerName;
    std::wstring m_wsServerURL;
    HANDLE m_hDownloadThread;
    DWORD m_dwDownloadThreadId;

private:
    // The number of tries Initialise configured: every download starts with all of them.
    DWORD m_dwConfiguredRetryCount;

    // Settings (http_downloader.cpp).
    std::optional<std::wstring> ReadServerFromClientFile(const wchar_t* protocol);
    // The answer and the proxy's challenges (http_request.cpp).
    DWORD ClassifyStatus(DWORD status, DWORD& chosenScheme, bool& answered407, bool& answered403,
                         bool& sendAgain);
    bool AnswerChallenge(DWORD status, DWORD& chosenScheme, bool& answered);
    bool CatalogueCheckApplies();
    bool CheckCatalogueFreshness(DWORD& status, DWORD& failure);
    void StoreRecord(int statusCode, const std::wstring& message, const wchar_t* status);
    // The try loop (resumable_download.cpp).
    void StartFreshDownload();
    enum class TryOutcome { kCompleted, kNotModified, kNextTry };
    TryOutcome MakeTry(int& tryNumber);
    TryOutcome WaitForTry(int& tryNumber);
    TryOutcome OnWorkerFinished(int& tryNumber);
    void OnWorkerEnded(int& tryNumber);
    TryOutcome OnTryTimedOut(int& tryNumber);
    void OnWaitFailed(int& tryNumber, const wchar_t* logLine);
    void StopBlockedWorker(int tryNumber);
    void StopWorkerBetweenPackets();
    void TerminateWorker();
    void ReleaseWorker();
    void PauseBeforeRetry(const wchar_t* logLine);
    int EndUnsuccessfully(CFileManager& localFile);
    DWORD ReadBody();
    DWORD FinishBody(DWORD total);
};

#endif  // ORCHEL_DOWNLOAD_HTTP_DOWNLOADER_H
