// The downloader factory, the HTTP downloader's settings and its two mapping tables: what can
// be checked without a server or a worker thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "download/http_downloader.h"
#include "orchel/corvlog.h"
#include "orchel/downloader.h"
#include "orchel/globals.h"
#include "port/module.h"
#include "port/text.h"
#include "support/scratch.h"
#include "support/service_texts.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kHttp = ORV_LOG_HTTP_DOWNLOADER;

using testsupport::Message;

TEST(DownloaderFactory, OnlyHttpHasADownloader) {
    CDownloadManager manager;
    std::unique_ptr<IDownloader> http(manager.CreateDownloader(DOWNLOADER_TYPE_HTTP));
    ASSERT_NE(nullptr, http);
    EXPECT_NE(nullptr, dynamic_cast<CHTTPDownloader*>(http.get()));
    EXPECT_EQ(nullptr, manager.CreateDownloader(DOWNLOADER_TYPE_OTHER));
    EXPECT_EQ(nullptr, manager.CreateDownloader(DOWNLOADER_TYPE_FTP));
    EXPECT_EQ(nullptr, manager.CreateDownloader(0));
}

TEST(DownloaderFactory, UnusedSlotsAnswerWithFixedValues) {
    CDownloadManager manager;
    // Deleted through the interface: the downloader's strings go with it (ASan checks).
    std::unique_ptr<IDownloader> downloader(manager.CreateDownloader(DOWNLOADER_TYPE_HTTP));
    HINTERNET none = nullptr;
    EXPECT_EQ(19, downloader->IsServerAvailable());
    EXPECT_EQ(23, downloader->IsProxyServerAvailable());
    EXPECT_EQ(0, downloader->SetDownloadServerAuthenticationInfo(none));
    EXPECT_EQ(0, downloader->SetProxyAuthenticationInfo(none));
    EXPECT_EQ(0, downloader->DoPauseAndResumeSupported(none));
    EXPECT_EQ(10, downloader->SendRequest(none));
    downloader->SetConnectionOptions(none);
    // Without a connection there is no request.
    EXPECT_EQ(0, downloader->CreateRequest(L"GET", L"/x"));
}

TEST(DownloaderFactory, ConstructionValues) {
    const CHTTPDownloader downloader;
    EXPECT_EQ(0u, downloader.m_dwContentLength);
    EXPECT_EQ(1u, downloader.m_dwRetryCount);
    EXPECT_EQ(0u, downloader.m_dwTimeOutForEachTry);
    EXPECT_EQ(-1, downloader.m_iReturnStatus.load());
    EXPECT_EQ(80, downloader.m_iProxyPort);
    EXPECT_EQ(L"ORV_AutoUpdate", downloader.m_wsUserAgent);
    EXPECT_FALSE(downloader.m_bUseProxy);
    EXPECT_EQ(nullptr, downloader.m_hInternetSession);
    const DownloadRequestStatus record;
    EXPECT_EQ(0, record.iStatusCode);
    EXPECT_TRUE(record.wsStatus.empty());
}

// An ORV folder with settings, client file and string table of its own.
class HttpDownloaderSettings : public testing::Test {
protected:
    HttpDownloaderSettings() {
        port::BoundedCopy(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY, L"Remedor");
        fs::copy_file(ORCHEL_SHIPPED_STRING_TABLE, orv_.Path() / "RemedorService.strings");
    }
    ~HttpDownloaderSettings() override { gszCurrentProduct[0] = L'\0'; }

    void WriteSettings(const std::string& content) { orv_.Write("ORVSettings.INI", content); }
    void WriteClientFile(const std::string& downloadInfo) {
        orv_.Write("ORVClient.xml", "<client><product Name=\"Remedor\"><downloadinfo>" +
                                        downloadInfo + "</downloadinfo></product></client>");
    }
    int Initialise() { return downloader_.Initialise(record_); }
    bool LoggedFailure(const std::wstring& line) const { return log_.Contains(kHttp, 1, line); }

    testsupport::TempFolder orv_;
    testsupport::ScopedEnv orvVariable_{port::kOrvFolderVariable, orv_.Path().string()};
    CapturingLogSink log_;
    CHTTPDownloader downloader_;
    DownloadRequestStatus record_;
};

const std::string kServer = "[DownloadServer]\nServerName=kelm.example\nPort=8080\nProtocol=HTTP\n";

TEST_F(HttpDownloaderSettings, RetriesAndTimeOuts) {
    struct Row {
        std::string config;
        DWORD retries;
        DWORD timeOut;
    };
    const Row rows[] = {
        {"", 3, 3600000},
        {"RetryCount=0\n", 1, 3600000},
        {"RetryCount=9\n", 1, 3600000},
        {"RetryCount=-2\n", 1, 3600000},
        {"RetryCount=5\n", 5, 3600000},
        {"TimeOutForEachTry=2\n", 3, 120000},
        {"TimeOutForEachTry=0\n", 3, 3600000},
        // Too long for the milliseconds to hold: the longest bounded wait, never a short one.
        {"TimeOutForEachTry=100000\n", 3, 0xFFFFFFFEu},
        {"TimeOutForEachTry=-1\n", 3, 0xFFFFFFFEu},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.config);
        WriteSettings(kServer + "[DOWNLOADCONFIG]\n" + row.config);
        ASSERT_EQ(1, Initialise());
        EXPECT_EQ(row.retries, downloader_.m_dwRetryCount);
        EXPECT_EQ(row.timeOut, downloader_.m_dwTimeOutForEachTry);
    }
}

TEST_F(HttpDownloaderSettings, ServerFromTheSettingsFile) {
    WriteSettings(kServer);  // ServerType absent counts as 1
    WriteClientFile("<p Name=\"HTTP\"><ServerName>from.client</ServerName><source/></p>");
    ASSERT_EQ(1, Initialise());
    EXPECT_EQ(L"kelm.example", downloader_.m_wsServerName);
    EXPECT_EQ(L"HTTP://kelm.example:8080", downloader_.m_wsServerURL);
    EXPECT_EQ(std::wstring(L"kelm.example"), gszDownloadServerName);
    EXPECT_EQ(L"8080", downloader_.m_wsServerPort);

    WriteSettings("[DownloadServer]\nServerName=kelm.example\nProtocol=http\n");
    ASSERT_EQ(1, Initialise());
    EXPECT_EQ(L"http://kelm.example:", downloader_.m_wsServerURL);  // empty port
}

TEST_F(HttpDownloaderSettings, ServerFromTheClientFile) {
    WriteSettings("[DownloadServer]\nServerType=0\nProtocol=HTTP\nPort=81\n");
    WriteClientFile(
        "<p Name=\"FTP\"><ServerName>ftp.host</ServerName><source/></p>"
        "<p Name=\"http\"><ServerName>client.host</ServerName><source>x</source></p>");
    ASSERT_EQ(1, Initialise());
    EXPECT_EQ(L"client.host", downloader_.m_wsServerName);
    EXPECT_EQ(L"HTTP://client.host:81", downloader_.m_wsServerURL);
}

TEST_F(HttpDownloaderSettings, ClientFileFailures) {
    struct Row {
        std::string downloadInfo;  // "absent": no client file at all
        std::wstring line;
    };
    const Row rows[] = {
        {"absent", L"Failed to get the Kelm HTTP Server information."},
        {"", L"Failed to get the download information from ORVClient.XML"},
        // No protocol element of the selected protocol: another one's server is not used.
        {"<p Name=\"FTP\"><ServerName>h</ServerName><source/></p>",
         L"Failed to get the download information from ORVClient.XML"},
        {"<p Name=\"HTTP\"><source/></p>",
         L"Failed to get the download server information from ORVClient.XML"},
        {"<p Name=\"HTTP\"><ServerName>h</ServerName></p>",
         L"Failed to get the download source information from ORVClient.XML"},
    };
    WriteSettings("[DownloadServer]\nServerType=0\nProtocol=HTTP\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.downloadInfo);
        fs::remove(orv_.Path() / "ORVClient.xml");
        if (row.downloadInfo != "absent") {
            WriteClientFile(row.downloadInfo);
        }
        log_.Clear();
        EXPECT_EQ(0, Initialise());
        EXPECT_TRUE(LoggedFailure(row.line));
        EXPECT_TRUE(
            LoggedFailure(L"Cannot initialize the HTTP Downloader. Failed to get server info"));
    }
    // Another product's element is not this product's.
    orv_.Write("ORVClient.xml",
               "<client><product Name=\"Other\"><downloadinfo><p Name=\"HTTP\"><ServerName>h"
               "</ServerName><source/></p></downloadinfo></product></client>");
    EXPECT_EQ(0, Initialise());
    EXPECT_TRUE(LoggedFailure(L"Failed to get the product information from ORVClient.XML"));
}

TEST_F(HttpDownloaderSettings, WithoutSettingsFileNothingIsGathered) {
    EXPECT_EQ(0, Initialise());
    EXPECT_TRUE(
        LoggedFailure(L"Cannot initialize the HTTP Downloader. ORVSettings.INI file not found."));
}

TEST_F(HttpDownloaderSettings, ProxyModes) {
    // A named proxy without a host cannot be used.
    WriteSettings(kServer + "[ProxySettings]\nUseProxy=2\n");
    EXPECT_EQ(0, Initialise());
    EXPECT_TRUE(LoggedFailure(L"Failed to get proxy server name."));
    EXPECT_TRUE(LoggedFailure(L"Cannot initialize the HTTP Downloader. Failed to get proxy info"));

    // Its port defaults to 80.
    WriteSettings(kServer + "[ProxySettings]\nUseProxy=2\nProxyServer=proxy.example\n");
    ASSERT_EQ(1, Initialise());
    EXPECT_TRUE(downloader_.m_bUseProxy);
    EXPECT_FALSE(downloader_.m_bAutoDetectProxy);
    EXPECT_EQ(L"proxy.example", downloader_.m_wsProxyServer);
    EXPECT_EQ(80, downloader_.m_iProxyPort);
    EXPECT_FALSE(downloader_.m_bProxyRequireAuth);

    // The system's proxy never gets credentials from the settings.
    CHTTPDownloader fresh;
    WriteSettings(kServer + "[ProxySettings]\nUseProxy=1\nProxyRequireAuth=1\n");
    ASSERT_EQ(1, fresh.Initialise(record_));
    EXPECT_TRUE(fresh.m_bUseProxy);
    EXPECT_TRUE(fresh.m_bAutoDetectProxy);
    EXPECT_FALSE(fresh.m_bProxyRequireAuth);
    EXPECT_TRUE(fresh.m_wsProxyUserID.empty());

    // Anything else: no proxy.
    WriteSettings(kServer + "[ProxySettings]\nUseProxy=7\nProxyPort=3128\n");
    ASSERT_EQ(1, Initialise());
    EXPECT_FALSE(downloader_.m_bUseProxy);
}

TEST_F(HttpDownloaderSettings, InternetErrorsAreMappedToTheRecord) {
    downloader_.m_wsServerURL = L"HTTP://kelm.example:80";
    const std::wstring server = downloader_.m_wsServerURL;
    struct Row {
        DWORD code;
        unsigned level;
        std::wstring line;
        std::wstring message;
        std::wstring status;
    };
    const Row rows[] = {
        {200, 3, L"SUCCESS: Status code 200. Successfully got response", Message(7148), L"Success"},
        {401, 3, L"FAILED: Status code <401>: The Server requires authentication.", Message(7150),
         L"Failed"},
        {404, 3, L"FAILED: Status code 404. Requested file not found", Message(7149), L"Failed"},
        {500, 3,
         L"POSSIBLE CAUSE: The current machine might be referring to itself to get the available "
         L"patches information/download patches.",
         Message(7161), L"Failed"},
        {503, 3,
         L"FAILED: Status code <503>: Server HTTP://kelm.example:80 may be temporarily "
         L"unavailable, or there could be a network problem.",
         server + L" " + Message(7151), L"Failed"},
        {2250, 0,
         L"FAILED: Internet Error Code: 2250. Network connection failed: HTTP://kelm.example:80",
         Message(7146), L"Failed"},
        {12002, 0, L"FAILED: Internet Error Code: 12002. The request has timed out.",
         Message(7130, server.c_str()), L"Failed"},
        {12005, 3, L"FAILED: Status code <12005>: Invalid URL: HTTP://kelm.example:80",
         Message(6010, server.c_str()), L"Failed"},
        {12006, 0,
         L"FAILED: Internet Error Code: 12006. The URL scheme could not be recognized, or is not "
         L"supported: HTTP://kelm.example:80",
         Message(7133), L"Failed"},
        {12007, 0,
         L"FAILED: Internet Error Code: 12007. The server name could not be resolved: "
         L"HTTP://kelm.example:80, Reason could be usage of invalid proxy server or Network error",
         server + L" " + Message(7134), L"Failed"},
        {12015, 0,
         L"FAILED: Internet Error Code: 12015. The request to connect and log on to an HTTP "
         L"server HTTP://kelm.example:80 failed",
         Message(7138), L"Failed"},
        {12029, 0,
         L"FAILED: Internet Error Code: 12029. The attempt to connect to the "
         L"HTTP://kelm.example:80 server failed. Reason could be either Invalid Proxy "
         L"configuration or Invalid Server IP/Name or Server is down.",
         Message(7142, server.c_str()), L"Failed"},
        {12030, 0,
         L"FAILED: Internet Error Code: 12030.The connection with the server has been "
         L"terminated: HTTP://kelm.example:80",
         Message(7159, server.c_str()), L"Failed"},
        {12044, 0,
         L"FAILED: Internet Error Code: 12044. The server is requesting client authentication : "
         L"HTTP://kelm.example:80",
         Message(7160, server.c_str()), L"Failed"},
        {12152, 0,
         L"FAILED: Internet Error Code: 12152. The server HTTP://kelm.example:80 response could "
         L"not be parsed. Please contact your server administrator",
         Message(7164, server.c_str()), L"Failed"},
        {12017, 0, L"FAILED: Internet Error Code: 12017. Please contact Kelm Technical Support.",
         Message(7147, 12017), L"Failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        log_.Clear();
        EXPECT_EQ(row.code, downloader_.HandleInternetError(row.code));
        EXPECT_TRUE(log_.Contains(kHttp, row.level, row.line));
        EXPECT_EQ(static_cast<int>(row.code), downloader_.m_stDownloadRequestStatus.iStatusCode);
        EXPECT_EQ(row.message, downloader_.m_stDownloadRequestStatus.wsStatusMessage);
        EXPECT_EQ(row.status, downloader_.m_stDownloadRequestStatus.wsStatus);
        EXPECT_FALSE(row.message.empty());
    }
}

TEST_F(HttpDownloaderSettings, DownloadEndingsAreMappedToTheRecord) {
    struct Row {
        int status;
        int code;
        std::wstring message;
        std::wstring result;
    };
    const Row rows[] = {
        {27, 27, Message(7126), L"Failed"},
        {5000, 5000, Message(7156), L"Failed"},
        {5002, 5002, Message(6038), L"Failed"},
        {5004, 5004, Message(7155), L"Failed"},
        {5005, 5005, Message(7154), L"Success"},
        {5006, 5000, Message(7157) + L" " + Message(7158), L"Failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        downloader_.SetHttpDownloaderError(row.status);
        EXPECT_EQ(row.code, downloader_.m_stDownloadRequestStatus.iStatusCode);
        EXPECT_EQ(row.message, downloader_.m_stDownloadRequestStatus.wsStatusMessage);
        EXPECT_EQ(row.result, downloader_.m_stDownloadRequestStatus.wsStatus);
    }
    // Any other status: with tries left it passes (31 does), with none it becomes 5000 while
    // the record keeps what the last failure stored.
    downloader_.m_dwRetryCount = 2;
    downloader_.m_iReturnStatus = DOWNLOAD_NOT_MODIFIED;
    downloader_.SetHttpDownloaderError(DOWNLOAD_NOT_MODIFIED);
    EXPECT_EQ(DOWNLOAD_NOT_MODIFIED, downloader_.m_iReturnStatus.load());
    downloader_.m_dwRetryCount = 0;
    downloader_.m_iReturnStatus = 404;
    downloader_.SetHttpDownloaderError(404);
    EXPECT_EQ(DOWNLOAD_FAILED, downloader_.m_iReturnStatus.load());
    EXPECT_EQ(5000, downloader_.m_stDownloadRequestStatus.iStatusCode);  // from the 5006 row
    EXPECT_TRUE(log_.Contains(kHttp, 1, L"FAILED: Retrying Completed: Download Failed"));
}

TEST_F(HttpDownloaderSettings, LastModifiedStampAgainstTheStoredOne) {
    SYSTEMTIME stamp{2009, 3, 3, 4, 5, 6, 7, 0};
    EXPECT_EQ(20090304, downloader_.GetDateInyyyymmddFormat(stamp));
    EXPECT_EQ(50607, downloader_.GetTimeInhhmmssFormat(stamp));
    EXPECT_EQ(L"20090304", downloader_.m_stDownloadRequestStatus.stLastModifiedDateTime.wsDate);
    EXPECT_EQ(L"050607", downloader_.m_stDownloadRequestStatus.stLastModifiedDateTime.wsTime);

    struct Row {
        std::string stored;
        int modified;
    };
    const Row rows[] = {
        {"", 1},
        {"Date=20090304\nTime=50607\n", 0},
        {"Date=20090304\nTime=50606\n", 1},
        {"Date=20090304\nTime=50608\n", 0},
        {"Date=20090303\nTime=235959\n", 1},
        {"Date=20090305\nTime=0\n", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored);
        WriteSettings("[Remedor]\n" + row.stored);
        EXPECT_EQ(row.modified, downloader_.IsFileModifiedSinceLastAccess(stamp));
    }
}

TEST_F(HttpDownloaderSettings, DirectoriesMirrorTheUri) {
    const fs::path root = orv_.Path() / "patches";
    fs::create_directories(root);
    orv_.Write("registry.reg",
               "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor]\n"
               "\"PATCHESROOT\"=\"" +
                   root.string() + "\"\n");
    testsupport::ScopedEnv registry("ORCHEL_REGISTRY", (orv_.Path() / "registry.reg").string());
    std::wstring localPath;
    EXPECT_EQ(DOWNLOAD_DIRECTORY_READY,
              downloader_.CreateDownloadDirectory(L"a/b/c.exe", localPath));
    std::wstring expected;
    port::Utf8ToWide((root / "a" / "b" / "c.exe").string(), expected);
    EXPECT_EQ(expected, localPath);
    EXPECT_EQ(L"c.exe", downloader_.m_wsFileName);
    EXPECT_TRUE(fs::is_directory(root / "a" / "b"));
    EXPECT_FALSE(fs::exists(root / "a" / "b" / "c.exe"));

    // A file where a folder should be cannot be made into one.
    std::ofstream(root / "blocked") << "x";
    EXPECT_EQ(DOWNLOAD_DIRECTORY_FAILED,
              downloader_.CreateDownloadDirectory(L"blocked/c.exe", localPath));
    EXPECT_TRUE(log_.Contains(kHttp, 1, L"FALIED: Failed to create download directory"));
}

}  // namespace
