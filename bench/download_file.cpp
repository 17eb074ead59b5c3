// Downloads one resource through the library's downloader, as a command does, and reports the
// result, the elapsed time and the process's peak memory. Used by download_vs_curl.sh.
//
//   orchel-download <uri>
//
// The service folder (ORCHEL_ORV_DIR) and the registry file (ORCHEL_REGISTRY) come from the
// environment; the settings there name the server.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

#include "orchel/downloader.h"
#include "orchel/globals.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orchel-download <uri>\n");
        return 2;
    }
    std::wstring uri;
    for (const char* c = argv[1]; *c != '\0'; ++c) {
        uri += static_cast<wchar_t>(static_cast<unsigned char>(*c));  // URIs are ASCII
    }
    std::wcsncpy(gszCurrentProduct, L"Remedor", ORCHEL_PRODUCT_NAME_CAPACITY - 1);

    CDownloadManager manager;
    const std::unique_ptr<IDownloader> downloader(manager.CreateDownloader(DOWNLOADER_TYPE_HTTP));
    DownloadRequestStatus record;
    if (!downloader || downloader->Initialise(record) != 1) {
        std::fprintf(stderr, "orchel-download: the downloader could not be initialised\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const int result = downloader->DownLoadFile(uri, record);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("result %d\nseconds %.3f\npeak_rss_kib %ld\n", result, elapsed.count(),
                usage.ru_maxrss);
    return result == DOWNLOAD_COMPLETED ? 0 : 1;
}
