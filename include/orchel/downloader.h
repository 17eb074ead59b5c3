// The downloader interface the commands fetch every file through, its factory, the status
// record a download fills and the codes that cross between the downloader and the commands.
#ifndef ORCHEL_DOWNLOADER_H
#define ORCHEL_DOWNLOADER_H

#include <string>

#include "orchel/wintypes.h"

// Downloader types, chosen from the settings' DownloadServer/Protocol text.
enum : int {
    DOWNLOADER_TYPE_HTTP = 500,   // "HTTP", any case
    DOWNLOADER_TYPE_OTHER = 501,  // anything but "HTTP" and "FTP": no downloader
    DOWNLOADER_TYPE_FTP = 502,    // "FTP", any case: no downloader
};

// Download status codes: results of the downloader's steps, its current status and the
// record's iStatusCode. Never renumbered.
enum : int {
    DOWNLOAD_INITIALISED = 1,          // Initialise gathered everything
    DOWNLOAD_INTERNET_OPENED = 4,      // session open
    DOWNLOAD_CONNECTED = 6,            // connection to the server open
    DOWNLOAD_REQUEST_OK = 8,           // 200 or 206: the body can be read
    DOWNLOAD_WRITE_FAILED = 27,        // a packet was not written completely (disk full)
    DOWNLOAD_THREAD_STARTED = 29,      // the worker reading the body runs
    DOWNLOAD_NOT_MODIFIED = 31,        // the catalogue on the server is not newer
    DOWNLOAD_FAILED = 5000,            // tries used up, worker or wait failure, no root
    DOWNLOAD_DIRECTORY_FAILED = 5002,  // the local folder could not be made (or was refused)
    DOWNLOAD_DIRECTORY_READY = 5003,   // internal: the local folder exists
    DOWNLOAD_IN_PROGRESS = 5004,       // the last try was cut off after writing a packet
    DOWNLOAD_COMPLETED = 5005,         // the whole file is on disk
    DOWNLOAD_ROOT_NOT_FOUND = 5006,    // no patches root configured (recorded as 5000)
};

// The server's Last-Modified stamp of the catalogue: "yyyymmdd" and "hhmmss".
struct ORCHEL_API LastModifiedDateTime {
    std::wstring wsDate;
    std::wstring wsTime;
};

// The outcome of a download as the commands pass it on to the service.
struct ORCHEL_API DownloadRequestStatus {
    DownloadRequestStatus();

    int iStatusCode;               // HTTP status, WinHTTP/system error or download status code
    std::wstring wsStatusMessage;  // for the user, from the service's message table
    std::wstring wsStatus;         // "Success" or "Failed"
    LastModifiedDateTime stLastModifiedDateTime;
};

// A downloader. The slot order is part of the library's interface.
class ORCHEL_API IDownloader {
public:
    IDownloader();
    IDownloader(const IDownloader&);
    IDownloader& operator=(const IDownloader&);

    virtual int IsServerAvailable() = 0;
    virtual int IsProxyServerAvailable() = 0;
    virtual int OpenInternet() = 0;
    virtual int ConnectInternet() = 0;
    virtual void SetConnectionOptions(HINTERNET const& in_OpenHandle) = 0;
    virtual int SetDownloadServerAuthenticationInfo(HINTERNET const& in_Handle) = 0;
    virtual int SetProxyAuthenticationInfo(HINTERNET const& in_Handle) = 0;
    virtual int CreateRequest(std::wstring in_wsMethod,
                              std::wstring in_wsResourceIdentifierURI) = 0;
    virtual int DoPauseAndResumeSupported(HINTERNET const& in_hResourceHandle) = 0;
    virtual int SendRequest(HINTERNET in_hResourceHandle) = 0;
    virtual int Initialise(DownloadRequestStatus& out_stDownloadRequestStatusInfo) = 0;
    virtual int DownLoadFile(std::wstring in_wsFileToDownLoadURI,
                             DownloadRequestStatus& out_stDownloadRequestStatusInfo) = 0;
    // Deleting through this interface destroys the concrete downloader completely.
    virtual ~IDownloader();
};

class ORCHEL_API CDownloadManager {
public:
    virtual ~CDownloadManager();
    // A new downloader of the type (the caller owns it), or null for a type without one.
    IDownloader* CreateDownloader(int iDownloaderType);
};

#endif  // ORCHEL_DOWNLOADER_H
