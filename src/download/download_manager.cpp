// The downloader interface's out-of-line members and the factory.
#include <new>

#include "download/http_downloader.h"
#include "orchel/downloader.h"

DownloadRequestStatus::DownloadRequestStatus() : iStatusCode(0) {}

IDownloader::IDownloader() = default;
IDownloader::IDownloader(const IDownloader&) = default;
IDownloader& IDownloader::operator=(const IDownloader&) = default;
IDownloader::~IDownloader() = default;

CDownloadManager::~CDownloadManager() = default;

IDownloader* CDownloadManager::CreateDownloader(int iDownloaderType) {
    if (iDownloaderType != DOWNLOADER_TYPE_HTTP) {
        return nullptr;
    }
    return new (std::nothrow) CHTTPDownloader();
}
