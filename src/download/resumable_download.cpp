// The download of one resource into the patches tree: the local folders, the try loop, the
// wait for each try's worker with its time-out, and the worker that reads the body in packets.
//
// Who touches what while a try runs: the worker alone uses the request handle, the packet
// buffer and the local file. The calling thread takes them back only after the worker has
// signalled "DownLoadFileCompletedEvent", after the worker's thread has ended, after the worker
// acknowledged the stop message through "WriteFileCompletedEvent", or after the worker was
// stopped. A worker whose read outlives the try's time-out finds m_bTimedOut set when the read
// returns and ends without writing or signalling; stopping it interrupts the read and waits for
// its end, and the calling thread waits for every worker's end before the next try, so no
// abandoned worker ever writes again.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "download/downloader_log.h"
#include "download/handle_release.h"
#include "download/http_downloader.h"
#include "orchel/globals.h"
#include "orchel/paths.h"
#include "port/file_system.h"
#include "port/last_error.h"
#include "port/path.h"
#include "port/profile.h"
#include "port/threads.h"
#include "port/winhttp.h"

namespace {

constexpr int kMaxUriSegments = 260;
constexpr DWORD kDefaultPacketCount = 16;
constexpr DWORD kMaximumPacketCount = 64;
constexpr DWORD kPacketUnit = 1024;
constexpr DWORD kRetryPause = 10000;  // milliseconds

// A URI segment that would leave its folder, or that no file name may hold.
bool IsUnsafeSegment(const wchar_t* segment) {
    const std::wstring_view text(segment);
    return text == L"." || text == L".." || text.find_first_of(L"*?") != std::wstring_view::npos;
}

// The segments of a URI, released with the object.
class UriSegments {
public:
    explicit UriSegments(const std::wstring& uri)
        : count_(Split(uri.c_str(), entries_, kMaxUriSegments, L'/', 0)) {}
    ~UriSegments() { FreeSplitsOutput(entries_, kMaxUriSegments); }
    UriSegments(const UriSegments&) = delete;
    UriSegments& operator=(const UriSegments&) = delete;

    // Negative when the URI could not be split (too many segments, no memory).
    int Count() const { return count_; }
    const wchar_t* operator[](int index) const { return entries_[index]; }

private:
    wchar_t* entries_[kMaxUriSegments] = {};
    int count_;
};

// The worker's own references to the two events, so that signalling after the waiter has
// taken over (and perhaps closed the download's handles) still reaches the right objects.
class WorkerSignals {
public:
    WorkerSignals() {
        port::DuplicateHandle(g_hDownloadEvent[0], &completed_);
        port::DuplicateHandle(g_hWriteFileCompletedEvent, &acknowledged_);
    }
    ~WorkerSignals() {
        CloseKernelHandleIfSet(completed_);
        CloseKernelHandleIfSet(acknowledged_);
    }
    WorkerSignals(const WorkerSignals&) = delete;
    WorkerSignals& operator=(const WorkerSignals&) = delete;

    // The try is over with a result: the waiter takes over after the first signal.
    void Finished() const {
        port::SetEvent(completed_);
        port::SetEvent(acknowledged_);
    }
    // The worker stops without a result (the stop message, no buffer).
    void Acknowledged() const { port::SetEvent(acknowledged_); }

private:
    HANDLE completed_ = nullptr;
    HANDLE acknowledged_ = nullptr;
};

}  // namespace

int CHTTPDownloader::DownLoadFile(std::wstring in_wsFileToDownLoadURI,
                                  DownloadRequestStatus& out_stDownloadRequestStatusInfo) {
    // 1. The resource. Nothing of an earlier download on this object decides this one.
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"File to Download: %s", in_wsFileToDownLoadURI.c_str());
    m_wsFileToDownLoadURI = in_wsFileToDownLoadURI;
    StartFreshDownload();
    // 2. The tries.
    const int result = Download(in_wsFileToDownLoadURI);
    // 3. Nothing of the download outlives it.
    CloseAllWinHttpHandles();
    CloseKernelHandleIfSet(g_hDownloadEvent[0]);
    CloseKernelHandleIfSet(g_hDownloadEvent[1]);
    CloseKernelHandleIfSet(g_hWriteFileCompletedEvent);
    m_hDownloadThread = nullptr;
    // 4. The caller's record.
    out_stDownloadRequestStatusInfo.iStatusCode = m_stDownloadRequestStatus.iStatusCode;
    out_stDownloadRequestStatusInfo.wsStatus = m_stDownloadRequestStatus.wsStatus;
    out_stDownloadRequestStatusInfo.wsStatusMessage = m_stDownloadRequestStatus.wsStatusMessage;
    out_stDownloadRequestStatusInfo.stLastModifiedDateTime.wsDate =
        m_stDownloadRequestStatus.stLastModifiedDateTime.wsDate;
    out_stDownloadRequestStatusInfo.stLastModifiedDateTime.wsTime =
        m_stDownloadRequestStatus.stLastModifiedDateTime.wsTime;
    return result;
}

void CHTTPDownloader::StartFreshDownload() {
    m_dwRetryCount = m_dwConfiguredRetryCount;
    m_dwContentLength = 0;
    m_bReadBlocked = FALSE;
    m_bTimedOut = FALSE;
}

int CHTTPDownloader::CreateDownloadDirectory(std::wstring in_wsFileToDownLoad,
                                             std::wstring& out_DownloadDirectory) {
    // 1. The patches root.
    wchar_t root[MAX_PATH] = L"";
    if (GetPatchesRootPath(root) == 0) {
        SetHttpDownloaderError(DOWNLOAD_ROOT_NOT_FOUND);
        return DOWNLOAD_FAILED;
    }
    // 2. The URI's segments: folders, then the file name. A URI that does not fit, has no
    //    file name, or climbs out of the patches root is refused before anything is created.
    const UriSegments segments(in_wsFileToDownLoad.size() < MAX_PATH ? in_wsFileToDownLoad
                                                                     : std::wstring());
    std::wstring localPath(root);
    bool refused = segments.Count() <= 0;
    for (int index = 0; !refused && index < segments.Count(); ++index) {
        refused = IsUnsafeSegment(segments[index]);
        localPath += segments[index];
        localPath += port::kPathSeparator;
    }
    if (refused || localPath.size() > MAX_PATH) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L"FAILED: The file to download does not name a file below the patches "
                      L"folder: %s",
                      in_wsFileToDownLoad.c_str());
        SetHttpDownloaderError(DOWNLOAD_DIRECTORY_FAILED);
        return DOWNLOAD_DIRECTORY_FAILED;
    }
    // 3. Each folder below the root.
    const int folderCount = segments.Count() - 1;
    std::wstring folder(root);
    for (int index = 0; index < folderCount; ++index) {
        folder += segments[index];
        if (port::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) != ERROR_SUCCESS &&
            port::GetLastError() != ERROR_ALREADY_EXISTS) {
            LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FALIED: Failed to create download directory");
            SetHttpDownloaderError(DOWNLOAD_DIRECTORY_FAILED);
            return DOWNLOAD_DIRECTORY_FAILED;
        }
        folder += port::kPathSeparator;
    }
    // 4. The file in the last folder.
    m_wsFileName = segments[folderCount];
    out_DownloadDirectory = folder + m_wsFileName;
    return DOWNLOAD_DIRECTORY_READY;
}

int CHTTPDownloader::Download(std::wstring in_wsFileToDownLoad) {
    // 1. The folders.
    std::wstring localPath;
    const int directoryResult = CreateDownloadDirectory(in_wsFileToDownLoad, localPath);
    if (directoryResult != DOWNLOAD_DIRECTORY_READY) {
        return directoryResult;
    }
    // 2. The local file, kept with its bytes: they are not downloaded again.
    CFileManager localFile(localPath);
    if (localFile.OpenFile(L"a+b") != FILE_OPENED) {
        gCORVLog->WriteDebugMessages(ORV_LOG_FILE_MANAGER, ORV_LOG_LEVEL_DETAIL,
                                     L"File creation failed");
    }
    // 3. Shared with the worker for the length of this call.
    m_pFileManager = &localFile;
    struct FileRelease {
        CHTTPDownloader* downloader;
        ~FileRelease() { downloader->m_pFileManager = nullptr; }
    } fileRelease{this};
    g_hDownloadEvent[0] = port::CreateEventW(nullptr, TRUE, FALSE, L"DownLoadFileCompletedEvent");
    int tryNumber = 1;
    // 4. The packet buffer.
    DWORD packetCount = port::GetPrivateProfileIntW(L"DOWNLOADCONFIG", L"PacketCount",
                                                    kDefaultPacketCount, m_szSettingsIniPath);
    if (packetCount == 0 || packetCount > kMaximumPacketCount) {
        LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                      L"Invalid Packet count found. Default to 16 Packets");
        packetCount = kDefaultPacketCount;
    }
    g_DownloadBufSize = packetCount * kPacketUnit;
    const std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[g_DownloadBufSize]);
    m_pDownloadBuffer = buffer.get();
    struct BufferRelease {
        CHTTPDownloader* downloader;
        ~BufferRelease() { downloader->m_pDownloadBuffer = nullptr; }
    } bufferRelease{this};
    // 5. The worker's acknowledgement.
    g_hWriteFileCompletedEvent =
        port::CreateEventW(nullptr, TRUE, FALSE, L"WriteFileCompletedEvent");
    // 6. The tries.
    while (m_dwRetryCount > 0) {
        const TryOutcome outcome = MakeTry(tryNumber);
        if (outcome == TryOutcome::kCompleted) {
            // 8. Success.
            LogDownloader(ORV_LOG_LEVEL_DETAIL,
                          L"Download Complete Event triggered with return Status: %d",
                          m_iReturnStatus.load());
            LogDownloader(ORV_LOG_LEVEL_MILESTONE,
                          L"SUCCESS: Download Completed : Download Complete Event triggered");
            return DOWNLOAD_COMPLETED;
        }
        if (outcome == TryOutcome::kNotModified) {
            break;
        }
    }
    // 7. No success.
    return EndUnsuccessfully(localFile);
}

int CHTTPDownloader::EndUnsuccessfully(CFileManager& localFile) {
    CloseAllWinHttpHandles();
    SetHttpDownloaderError(m_iReturnStatus);
    localFile.Close();
    if (m_iReturnStatus != DOWNLOAD_COMPLETED) {
        localFile.DeleteFile();
    }
    return m_iReturnStatus;
}

CHTTPDownloader::TryOutcome CHTTPDownloader::MakeTry(int& tryNumber) {
    // 1. A fresh session, connection and request for every try.
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Retry count = %d", static_cast<int>(m_dwRetryCount));
    CloseAllWinHttpHandles();
    // 2. Prepare the try and start its worker.
    const DWORD prepared = DownloadFileThreadProc();
    // 3. Not modified ends the download with tries left; any other failure costs a try.
    if (prepared == DOWNLOAD_NOT_MODIFIED) {
        return TryOutcome::kNotModified;
    }
    if (prepared != DOWNLOAD_THREAD_STARTED) {
        --m_dwRetryCount;
        return TryOutcome::kNextTry;
    }
    // 4. Wait for the worker.
    return WaitForTry(tryNumber);
}

CHTTPDownloader::TryOutcome CHTTPDownloader::WaitForTry(int& tryNumber) {
    const DWORD waitResult =
        port::WaitForMultipleObjects(2, g_hDownloadEvent, FALSE, m_dwTimeOutForEachTry);
    switch (waitResult) {
        case port::WAIT_OBJECT_0:
            return OnWorkerFinished(tryNumber);
        case port::WAIT_OBJECT_0 + 1:
            OnWorkerEnded(tryNumber);
            return TryOutcome::kNextTry;
        case port::WAIT_TIMEOUT:
            return OnTryTimedOut(tryNumber);
        case port::WAIT_FAILED:
            OnWaitFailed(tryNumber, L"FAILED: WaitForMultipleObjects wait failed with code: %d");
            return TryOutcome::kNextTry;
        default:
            OnWaitFailed(tryNumber, L"FAILED: WaitForMultipleObjects failed with code: %d");
            return TryOutcome::kNextTry;
    }
}

// The worker finished the try with a result.
CHTTPDownloader::TryOutcome CHTTPDownloader::OnWorkerFinished(int& tryNumber) {
    m_pFileManager->Close();
    ReleaseWorker();
    port::ResetEvent(g_hDownloadEvent[0]);
    if (m_iReturnStatus == DOWNLOAD_COMPLETED) {
        return TryOutcome::kCompleted;
    }
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Download Complete Event triggered with return Status: %d",
                  m_iReturnStatus.load());
    --m_dwRetryCount;
    ++tryNumber;
    return TryOutcome::kNextTry;
}

// The worker's thread ended without a result.
void CHTTPDownloader::OnWorkerEnded(int& tryNumber) {
    m_pFileManager->Close();
    ReleaseWorker();
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Tried for...%d time", tryNumber);
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Download Thread Exited");
    port::ResetEvent(g_hDownloadEvent[0]);
    port::ResetEvent(g_hWriteFileCompletedEvent);
    --m_dwRetryCount;
    ++tryNumber;
    PauseBeforeRetry(L"Sleeping for 10 Sec before retrying,");
}

CHTTPDownloader::TryOutcome CHTTPDownloader::OnTryTimedOut(int& tryNumber) {
    // 1. The worker is to give up this try.
    m_bTimedOut = TRUE;
    // 2./3. Stop it: inside a read the partial file goes, between packets it stays.
    if (m_bReadBlocked) {
        StopBlockedWorker(tryNumber);
    } else {
        StopWorkerBetweenPackets();
        // The worker may have finished the whole file just as the time ran out.
        if (m_iReturnStatus == DOWNLOAD_COMPLETED) {
            m_pFileManager->Close();
            ReleaseWorker();
            port::ResetEvent(g_hDownloadEvent[0]);
            return TryOutcome::kCompleted;
        }
    }
    // 4. The next try, after a pause.
    --m_dwRetryCount;
    ++tryNumber;
    port::ResetEvent(g_hDownloadEvent[0]);
    ReleaseWorker();
    PauseBeforeRetry(L"Sleeping for 10 Sec before retrying");
    m_bReadBlocked = FALSE;
    m_bTimedOut = FALSE;
    return TryOutcome::kNextTry;
}

void CHTTPDownloader::StopBlockedWorker(int tryNumber) {
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"TimedOut And Blocked.. Retry %d",
                  static_cast<int>(m_dwRetryCount));
    // A read cut off in the middle leaves no trustworthy end: the next try starts at byte 0.
    m_pFileManager->Close();
    m_pFileManager->DeleteFile();
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"TimeOut for the %d retry", tryNumber);
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Tried for...%d time", tryNumber);
    TerminateWorker();
    ReleaseWorker();
    m_bReadBlocked = FALSE;
}

void CHTTPDownloader::StopWorkerBetweenPackets() {
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"TimedOut And Not Blocked.. Retry %d",
                  static_cast<int>(m_dwRetryCount));
    port::PostThreadMessageW(m_dwDownloadThreadId, DOWNLOAD_STOP_MESSAGE, 0, 0);
    // A worker that met m_bTimedOut after its read ends without acknowledging: its end counts.
    const HANDLE acknowledgement[] = {g_hWriteFileCompletedEvent, m_hDownloadThread};
    const DWORD waitResult =
        port::WaitForMultipleObjects(2, acknowledgement, FALSE, m_dwTimeOutForEachTry);
    if (waitResult == port::WAIT_OBJECT_0 || waitResult == port::WAIT_OBJECT_0 + 1) {
        port::ResetEvent(g_hWriteFileCompletedEvent);
        return;
    }
    TerminateWorker();
    ReleaseWorker();
}

// A wait that failed leaves the worker running: it is stopped before the next try so that
// two workers never write the same file.
void CHTTPDownloader::OnWaitFailed(int& tryNumber, const wchar_t* logLine) {
    const DWORD error = port::GetLastError();
    if (m_hDownloadThread != nullptr) {
        m_bTimedOut = TRUE;
        TerminateWorker();
        ReleaseWorker();
        m_bTimedOut = FALSE;
        m_bReadBlocked = FALSE;
    }
    LogDownloader(ORV_LOG_LEVEL_DETAIL, logLine, static_cast<int>(error));
    m_iReturnStatus = DOWNLOAD_FAILED;
    --m_dwRetryCount;
    ++tryNumber;
}

void CHTTPDownloader::TerminateWorker() {
    if (port::TerminateThread(m_hDownloadThread, 0)) {
        LogDownloader(ORV_LOG_LEVEL_DETAIL, L"SUCCESS: Download Thread Terminated successfully");
    } else {
        LogDownloader(ORV_LOG_LEVEL_DETAIL,
                      L"FAILED: Download Thread Terminatation falied,Error Code: %d",
                      static_cast<int>(port::GetLastError()));
    }
}

// The worker leaves the wait set. Every caller has seen it signal, end or be stopped, so at
// most its return is left: waiting for it means no signal of an old worker can reach a later
// try, and no old worker outlives the download.
void CHTTPDownloader::ReleaseWorker() {
    if (m_hDownloadThread != nullptr) {
        port::WaitForSingleObject(m_hDownloadThread, port::INFINITE);
    }
    CloseKernelHandleIfSet(m_hDownloadThread);
    g_hDownloadEvent[1] = nullptr;
}

void CHTTPDownloader::PauseBeforeRetry(const wchar_t* logLine) {
    LogDownloader(ORV_LOG_LEVEL_DETAIL, logLine);
    port::Sleep(kRetryPause);
}

DWORD CHTTPDownloader::DownloadFileThreadProc() {
    // 1.-4. Session, connection and request; the first step that fails ends the try.
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"in DownloadFileThreadProc....");
    m_iReturnStatus = OpenInternet();
    if (m_iReturnStatus != DOWNLOAD_INTERNET_OPENED) {
        return static_cast<DWORD>(m_iReturnStatus.load());
    }
    m_iReturnStatus = ConnectInternet();
    if (m_iReturnStatus != DOWNLOAD_CONNECTED) {
        return static_cast<DWORD>(m_iReturnStatus.load());
    }
    m_iReturnStatus = CreateRequest(L"GET", m_wsFileToDownLoadURI);
    if (m_iReturnStatus != DOWNLOAD_REQUEST_OK) {
        return static_cast<DWORD>(m_iReturnStatus.load());
    }
    // 5. The body is the worker's from here on.
    m_iReturnStatus = DOWNLOAD_FAILED;
    LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"SUCCESS: Resource handle created successfully");
    // 6. The worker, with both events cleared so that only its own signals count.
    port::ResetEvent(g_hDownloadEvent[0]);
    port::ResetEvent(g_hWriteFileCompletedEvent);
    DWORD threadId = 0;
    m_hDownloadThread = port::CreateThread(nullptr, 0, ReadFile, this, 0, &threadId);
    if (m_hDownloadThread == nullptr) {
        return static_cast<DWORD>(m_iReturnStatus.load());
    }
    m_dwDownloadThreadId = threadId;
    g_hDownloadEvent[1] = m_hDownloadThread;
    return DOWNLOAD_THREAD_STARTED;
}

DWORD CHTTPDownloader::ReadFile(void* lpParam) {
    return static_cast<CHTTPDownloader*>(lpParam)->ReadBody();
}

DWORD CHTTPDownloader::ReadBody() {
    const WorkerSignals signals;
    // 1. The packet size.
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Downloading file ...");
    const DWORD packetSize = g_DownloadBufSize;
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"Packet size = %d", static_cast<int>(packetSize));
    // 2. What is on disk already.
    DWORD total = 0;
    m_pFileManager->IsFileAlreadyExists(&total);
    LogDownloader(ORV_LOG_LEVEL_DETAIL, L"dwExistingLocalFileSize = %d", static_cast<int>(total));
    // 3. No buffer: end without a result.
    if (m_pDownloadBuffer == nullptr) {
        LogDownloader(ORV_LOG_LEVEL_FAILURE,
                      L" FAILED :Download failed due to failure of memory allocation");
        m_iReturnStatus = DOWNLOAD_FAILED;
        signals.Acknowledged();
        return DOWNLOAD_FAILED;
    }
    // 4. Packet by packet, each written and flushed before the next read.
    std::memset(m_pDownloadBuffer, 0, packetSize);
    for (;;) {
        // 4.1 Asked to stop between packets.
        port::MSG message{};
        if (port::PeekMessageW(&message, nullptr, DOWNLOAD_STOP_MESSAGE, DOWNLOAD_STOP_MESSAGE,
                               port::PM_NOREMOVE)) {
            signals.Acknowledged();
            return DOWNLOAD_FAILED;
        }
        // 4.2 Read one packet.
        DWORD bytesRead = 0;
        m_bReadBlocked = TRUE;
        const BOOL readOk =
            port::WinHttpReadData(m_hRequest, m_pDownloadBuffer, packetSize, &bytesRead);
        m_bReadBlocked = FALSE;
        // 4.3 The waiter gave this try up while the read ran: touch nothing more.
        if (m_bTimedOut) {
            m_bTimedOut = FALSE;
            return DOWNLOAD_FAILED;
        }
        // 4.4 The read failed.
        if (!readOk) {
            m_iReturnStatus = DOWNLOAD_FAILED;
            LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FAILED :Download failed");
            signals.Finished();
            return DOWNLOAD_FAILED;
        }
        // 4.5 The end of the body: complete only with exactly the announced length.
        if (bytesRead == 0) {
            const DWORD result = FinishBody(total);
            signals.Finished();
            return result;
        }
        // 4.6 Append the packet.
        if (m_pFileManager->WriteToFile(m_pDownloadBuffer, bytesRead) != FILE_WRITE_OK) {
            LogDownloader(ORV_LOG_LEVEL_FAILURE,
                          L"FAILED: Write file failed. The reason could be insufficient disk "
                          L"space");
            LogDownloader(ORV_LOG_LEVEL_DETAIL, L"FAILED: WriteFile failed with Error code : %d",
                          static_cast<int>(port::GetLastError()));
            m_iReturnStatus = DOWNLOAD_WRITE_FAILED;
            signals.Finished();
            return DOWNLOAD_FAILED;
        }
        // 4.7 Progress.
        total += bytesRead;
        LogDownloader(ORV_LOG_LEVEL_PROGRESS, L"As of now total Bytes downloaded %d",
                      static_cast<int>(total));
        m_iReturnStatus = DOWNLOAD_IN_PROGRESS;
        std::memset(m_pDownloadBuffer, 0, packetSize);
    }
}

DWORD CHTTPDownloader::FinishBody(DWORD total) {
    if (m_dwContentLength == total) {
        LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"SUCCESS: File downloaded successfully ");
        LogDownloader(ORV_LOG_LEVEL_MILESTONE, L"Total bytes downloaded: %d",
                      static_cast<int>(total));
        m_iReturnStatus = DOWNLOAD_COMPLETED;
        return DOWNLOAD_COMPLETED;
    }
    m_iReturnStatus = DOWNLOAD_FAILED;
    LogDownloader(ORV_LOG_LEVEL_FAILURE, L"FAILED :Download failed");
    return DOWNLOAD_FAILED;
}
