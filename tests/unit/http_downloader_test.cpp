// The HTTP downloader against real servers on 127.0.0.1: nginx for what a real server does,
// the scripted fault server for cuts, stalls and odd answers, tinyproxy for a real proxy.
// Every test here starts the download's worker thread, so every suite name carries
// "Concurrent" (CI runs them under ThreadSanitizer). Time-outs and pauses run on the sped-up
// clock; the product's values (minutes, 10-second pauses) are unchanged.
#include "download/http_downloader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orchel/corvlog.h"
#include "orchel/globals.h"
#include "port/module.h"
#include "port/text.h"
#include "support/http_servers.h"
#include "support/proxy_server.h"
#include "support/scratch.h"
#include "support/service_texts.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kHttp = ORV_LOG_HTTP_DOWNLOADER;

std::wstring Wide(const std::string& text) {
    std::wstring wide;
    port::Utf8ToWide(text, wide);
    return wide;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

// Compares without printing megabytes of binary on a mismatch.
testing::AssertionResult HoldsBytes(const fs::path& path, const std::string& expected) {
    const std::string actual = ReadAll(path);
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << path << " holds " << actual.size() << " bytes, not the expected " << expected.size();
}

std::string RandomBytes(std::size_t size, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

using testsupport::Message;

// An ORV folder with registry, settings, string table and patches root of its own.
class DownloadTest : public testing::Test {
protected:
    DownloadTest() {
        port::BoundedCopy(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY, L"Remedor");
        fs::copy_file(ORCHEL_SHIPPED_STRING_TABLE, orv_.Path() / "RemedorService.strings");
        fs::create_directories(PatchesRoot());
        orv_.Write("registry.reg",
                   "Windows Registry Editor Version 5.00\n\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor]\n"
                   "\"PATCHESROOT\"=\"" +
                       PatchesRoot().string() + "\"\n");
    }
    ~DownloadTest() override {
        gszCurrentProduct[0] = L'\0';
        if (HasFailure()) {  // the downloader's own account of what happened
            for (const std::wstring& line : log_.Messages()) {
                std::string narrow;
                port::WideToUtf8(line, narrow);
                std::fprintf(stderr, "log: %s\n", narrow.c_str());
            }
        }
    }

    fs::path PatchesRoot() const { return orv_.Path() / "patches"; }

    // Settings for a server named in the settings file; `extra` is appended as is.
    void WriteSettings(int port, const std::string& extra = "", int retryCount = 3) {
        orv_.Write(
            "ORVSettings.INI",
            "[DownloadServer]\nServerType=1\nServerName=127.0.0.1\nPort=" + std::to_string(port) +
                "\nProtocol=HTTP\n[DOWNLOADCONFIG]\nRetryCount=" + std::to_string(retryCount) +
                "\nTimeOutForEachTry=1\n" + extra);
    }

    // Initialise and DownLoadFile, as the commands call them.
    int Download(const std::wstring& uri) {
        EXPECT_EQ(1, downloader_.Initialise(record_));
        return downloader_.DownLoadFile(uri, record_);
    }

    void ExpectRecord(int code, const std::wstring& message, const std::wstring& status) const {
        EXPECT_EQ(code, record_.iStatusCode);
        EXPECT_EQ(message, record_.wsStatusMessage);
        EXPECT_EQ(status, record_.wsStatus);
    }

    bool Logged(unsigned level, const std::wstring& line) const {
        return log_.Contains(kHttp, level, line);
    }

    std::wstring ServerUrl(int port) const { return L"HTTP://127.0.0.1:" + std::to_wstring(port); }

    testsupport::TempFolder orv_;
    testsupport::ScopedEnv orvVariable_{port::kOrvFolderVariable, orv_.Path().string()};
    testsupport::ScopedEnv registryVariable_{"ORCHEL_REGISTRY",
                                             (orv_.Path() / "registry.reg").string()};
    testsupport::ScopedEnv noProxy_{"http_proxy", ""};
    CapturingLogSink log_;
    CHTTPDownloader downloader_;
    DownloadRequestStatus record_;
};

// Real time for the plain downloads; the fault tests speed the clock up 100 times (a try's
// minute is 0.6 s, the 10-second pause 0.1 s, the 30-second receive time-out 0.3 s).
class ConcurrentDownload : public DownloadTest {};
class ConcurrentDownloadFaults : public DownloadTest {
protected:
    testsupport::ScopedEnv speedUp_{"ORCHEL_CLOCK_SPEEDUP", "100"};
};

// ---- nginx ----

class ConcurrentDownloadFromNginx : public ConcurrentDownload {
protected:
    ConcurrentDownloadFromNginx() {
        fs::create_directories(site_.Path() / "Remedor" / "patches");
        patch_ = RandomBytes(300 * 1024 + 17);
        site_.Write("Remedor/patches/fix.exe", patch_);
        WriteSettings(nginx_.Port());
    }
    fs::path LocalPatch() const { return PatchesRoot() / "Remedor" / "patches" / "fix.exe"; }

    testsupport::TempFolder site_;
    testsupport::NginxServer nginx_{site_.Path()};
    std::string patch_;
};

TEST_F(ConcurrentDownloadFromNginx, WholeFileMirrorsTheUriBelowThePatchesRoot) {
    EXPECT_EQ(DOWNLOAD_COMPLETED, Download(L"/Remedor/patches/fix.exe"));
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    EXPECT_EQ(L"fix.exe", downloader_.m_wsFileName);
    EXPECT_EQ(patch_.size(), downloader_.m_dwContentLength);
    ExpectRecord(200, Message(7148), L"Success");
    EXPECT_EQ(std::vector<std::string>{"GET /Remedor/patches/fix.exe 200 -"}, nginx_.AccessLog());
    EXPECT_TRUE(Logged(3, L"SUCCESS: Download Completed : Download Complete Event triggered"));
    // Nothing of the download outlives it.
    EXPECT_EQ(nullptr, g_hDownloadEvent[0]);
    EXPECT_EQ(nullptr, g_hDownloadEvent[1]);
    EXPECT_EQ(nullptr, g_hWriteFileCompletedEvent);
    EXPECT_EQ(nullptr, downloader_.m_hRequest);
    EXPECT_EQ(nullptr, downloader_.m_pDownloadBuffer);
    EXPECT_EQ(nullptr, downloader_.m_pFileManager);
}

TEST_F(ConcurrentDownloadFromNginx, PacketCountSetsThePacketSize) {
    struct Row {
        std::string setting;
        DWORD packetBytes;
        bool invalid;
    };
    const Row rows[] = {
        {"", 16384, false},
        {"PacketCount=0\n", 16384, true},
        {"PacketCount=65\n", 16384, true},
        {"PacketCount=64\n", 65536, false},
        {"PacketCount=1\n", 1024, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.setting);
        log_.Clear();
        fs::remove(LocalPatch());
        WriteSettings(nginx_.Port(), row.setting);
        EXPECT_EQ(DOWNLOAD_COMPLETED, Download(L"/Remedor/patches/fix.exe"));
        EXPECT_EQ(row.packetBytes, g_DownloadBufSize);
        EXPECT_EQ(row.invalid, Logged(3, L"Invalid Packet count found. Default to 16 Packets"));
        EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    }
}

TEST_F(ConcurrentDownloadFromNginx, BytesAlreadyOnDiskAreAskedForWithARange) {
    // Without a 200 answer in this download the expected total is unknown (0), so a file
    // begun by an earlier run never completes: the callers remove such copies first.
    fs::create_directories(LocalPatch().parent_path());
    std::ofstream(LocalPatch(), std::ios::binary) << patch_.substr(0, 1000);
    WriteSettings(nginx_.Port(), "", 1);
    EXPECT_EQ(DOWNLOAD_FAILED, Download(L"/Remedor/patches/fix.exe"));
    EXPECT_EQ(std::vector<std::string>{"GET /Remedor/patches/fix.exe 206 bytes=1000-"},
              nginx_.AccessLog());
    EXPECT_TRUE(Logged(4, L"dwExistingLocalFileSize = 1000"));
    EXPECT_FALSE(fs::exists(LocalPatch()));  // an unsuccessful end leaves nothing behind
}

TEST_F(ConcurrentDownloadFromNginx, MissingFileIsTriedRetryCountTimesWithoutPauses) {
    EXPECT_EQ(DOWNLOAD_FAILED, Download(L"/Remedor/patches/absent.exe"));
    ExpectRecord(404, Message(7149), L"Failed");
    EXPECT_EQ(3u, nginx_.AccessLog().size());
    EXPECT_FALSE(Logged(4, L"Sleeping for 10 Sec before retrying"));
    EXPECT_FALSE(Logged(4, L"Sleeping for 10 Sec before retrying,"));
    EXPECT_TRUE(Logged(1, L"FAILED: Retrying Completed: Download Failed"));
    EXPECT_FALSE(fs::exists(PatchesRoot() / "Remedor" / "patches" / "absent.exe"));
}

TEST_F(ConcurrentDownloadFromNginx, UnsafeUrisAreRefusedBeforeAnythingIsCreated) {
    const std::wstring uris[] = {
        L"/Remedor/../../escape.exe",
        L"../escape.exe",
        L"/Remedor/./fix.exe",
        L"/Remedor/*.exe",
        L"/Remedor/fix?.exe",
        L"",
        L"///",
        L"/" + std::wstring(300, L'x') + L"/fix.exe",
    };
    for (const std::wstring& uri : uris) {
        std::string narrowUri;
        port::WideToUtf8(uri, narrowUri);
        SCOPED_TRACE(narrowUri);
        EXPECT_EQ(DOWNLOAD_DIRECTORY_FAILED, Download(uri));
        ExpectRecord(5002, Message(6038), L"Failed");
    }
    EXPECT_TRUE(nginx_.AccessLog().empty());
    EXPECT_TRUE(fs::is_empty(PatchesRoot()));
    EXPECT_FALSE(fs::exists(orv_.Path() / "escape.exe"));
}

TEST_F(ConcurrentDownloadFromNginx, NoPatchesRootFailsWithItsOwnMessage) {
    orv_.Write("registry.reg",
               "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor]\n");
    EXPECT_EQ(DOWNLOAD_FAILED, Download(L"/Remedor/patches/fix.exe"));
    ExpectRecord(5000, Message(7157) + L" " + Message(7158), L"Failed");
    EXPECT_TRUE(Logged(1, L"FAILED: PATCHESROOT Registry key not found"));
    EXPECT_TRUE(nginx_.AccessLog().empty());
}

TEST_F(ConcurrentDownloadFromNginx, AFullDiskEndsWithWriteFailed) {
    // The local file is the always-full device: every write fails with ENOSPC.
    fs::create_directories(LocalPatch().parent_path());
    fs::create_symlink("/dev/full", LocalPatch());
    WriteSettings(nginx_.Port(), "", 1);
    EXPECT_EQ(DOWNLOAD_WRITE_FAILED, Download(L"/Remedor/patches/fix.exe"));
    ExpectRecord(27, Message(7126), L"Failed");
    EXPECT_TRUE(
        Logged(1, L"FAILED: Write file failed. The reason could be insufficient disk space"));
}

TEST_F(ConcurrentDownloadFromNginx, AClosedPortIsACannotConnectFailure) {
    WriteSettings(1);  // nothing listens on port 1
    EXPECT_EQ(DOWNLOAD_FAILED, Download(L"/Remedor/patches/fix.exe"));
    ExpectRecord(12029, Message(7142, L"HTTP://127.0.0.1:1"), L"Failed");
    EXPECT_TRUE(nginx_.AccessLog().empty());
}

// ---- catalogue freshness ----

class ConcurrentCatalogueFreshness : public ConcurrentDownload {
protected:
    ConcurrentCatalogueFreshness() {
        fs::create_directories(site_.Path() / "Remedor");
        site_.Write("Remedor/AvailablePatchInfoDll.dll", "catalogue module");
        // Last-Modified: 2009-03-04 05:06:07 UTC.
        std::tm stamp{};
        stamp.tm_year = 2009 - 1900;
        stamp.tm_mon = 2;
        stamp.tm_mday = 4;
        stamp.tm_hour = 5;
        stamp.tm_min = 6;
        stamp.tm_sec = 7;
        const utimbuf times{timegm(&stamp), timegm(&stamp)};
        utime((site_.Path() / "Remedor/AvailablePatchInfoDll.dll").c_str(), &times);
        // The client file names the server; a local catalogue XML exists.
        orv_.Write("ORVClient.xml",
                   "<client><product Name=\"Remedor\"><downloadinfo><protocol Name=\"HTTP\">"
                   "<ServerName>127.0.0.1</ServerName><source>kelm</source></protocol>"
                   "</downloadinfo></product></client>");
        fs::create_directories(orv_.Path() / "Remedor");
        orv_.Write("Remedor/AvailablePatchInfo.xml", "<patches/>");
    }

    void WriteStamp(int serverType, const std::string& stored) {
        orv_.Write("ORVSettings.INI",
                   "[DownloadServer]\nServerType=" + std::to_string(serverType) +
                       "\nServerName=127.0.0.1\nPort=" + std::to_string(nginx_.Port()) +
                       "\nProtocol=HTTP\n[Remedor]\n" + stored);
    }

    fs::path LocalCatalogue() const {
        return PatchesRoot() / "Remedor" / "AvailablePatchInfoDll.dll";
    }

    testsupport::TempFolder site_;
    testsupport::NginxServer nginx_{site_.Path()};
};

TEST_F(ConcurrentCatalogueFreshness, SameStampIsNotModified) {
    WriteStamp(0, "Date=20090304\nTime=050607\n");
    EXPECT_EQ(DOWNLOAD_NOT_MODIFIED, Download(L"/Remedor/AvailablePatchInfoDll.dll"));
    ExpectRecord(304, Message(7143), L"Failed");
    EXPECT_EQ(L"20090304", record_.stLastModifiedDateTime.wsDate);
    EXPECT_EQ(L"050607", record_.stLastModifiedDateTime.wsTime);
    EXPECT_EQ(3u, downloader_.m_dwRetryCount);  // one try, none used up
    EXPECT_EQ(1u, nginx_.AccessLog().size());
    EXPECT_FALSE(fs::exists(LocalCatalogue()));
}

TEST_F(ConcurrentCatalogueFreshness, NewerOrUnknownStampsDownload) {
    struct Row {
        int serverType;
        std::string stored;
    };
    const Row rows[] = {
        {0, "Date=20090304\nTime=050606\n"},           // the server's copy is a second newer
        {0, "Date=20090303\nTime=235959\n"}, {0, ""},  // never downloaded: Date 0
        {1, "Date=20090304\nTime=050607\n"},           // a server from the settings: never checked
        {0, "Date=20090305\nTime=000000\n"},           // stored later than the server: not modified
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored);
        fs::remove(LocalCatalogue());
        WriteStamp(row.serverType, row.stored);
        const bool expectNotModified = row.stored.find("20090305") != std::string::npos;
        EXPECT_EQ(expectNotModified ? DOWNLOAD_NOT_MODIFIED : DOWNLOAD_COMPLETED,
                  Download(L"/Remedor/AvailablePatchInfoDll.dll"));
        EXPECT_EQ(!expectNotModified, fs::exists(LocalCatalogue()));
    }
    // The catalogue is always asked for whole.
    for (const std::string& line : nginx_.AccessLog()) {
        EXPECT_EQ('-', line.back()) << line;
    }
}

TEST_F(ConcurrentCatalogueFreshness, CatalogueNeverGetsARange) {
    WriteStamp(1, "");
    fs::create_directories(LocalCatalogue().parent_path());
    std::ofstream(LocalCatalogue(), std::ios::binary) << "stale";
    // The stale bytes stay in front: the total does not match and every try fails.
    EXPECT_EQ(DOWNLOAD_FAILED, Download(L"/Remedor/AvailablePatchInfoDll.dll"));
    for (const std::string& line : nginx_.AccessLog()) {
        EXPECT_EQ("GET /Remedor/AvailablePatchInfoDll.dll 200 -", line);
    }
}

// ---- the fault server ----

const std::string kPatchPath = "/Remedor/patches/fix.exe";

class ConcurrentDownloadFromFaultServer : public ConcurrentDownloadFaults {
protected:
    void Serve(std::vector<testsupport::FaultStep> steps, std::size_t size = 200 * 1024) {
        patch_ = RandomBytes(size);
        server_ = std::make_unique<testsupport::FaultServer>(
            std::map<std::string, std::string>{{kPatchPath, patch_}},
            std::map<std::string, std::vector<testsupport::FaultStep>>{{kPatchPath, steps}});
    }
    int DownloadPatch(int retryCount = 3) {
        WriteSettings(server_->Port(), "", retryCount);
        return Download(Wide(kPatchPath));
    }
    fs::path LocalPatch() const { return PatchesRoot() / "Remedor" / "patches" / "fix.exe"; }
    std::vector<std::string> RangesAsked() const {
        std::vector<std::string> ranges;
        for (const testsupport::RecordedRequest& request : server_->Requests()) {
            const auto range = request.headers.find("range");
            ranges.push_back(range == request.headers.end() ? "-" : range->second);
        }
        return ranges;
    }

    std::unique_ptr<testsupport::FaultServer> server_;
    std::string patch_;
};

testsupport::FaultStep Step(int status) {
    testsupport::FaultStep step;
    step.status = status;
    return step;
}

TEST_F(ConcurrentDownloadFromFaultServer, ACutBodyResumesAtOnceWithARange) {
    testsupport::FaultStep cut;
    cut.cut_after = 70000;
    Serve({cut, testsupport::FaultStep{}});
    EXPECT_EQ(DOWNLOAD_COMPLETED, DownloadPatch());
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    EXPECT_EQ((std::vector<std::string>{"-", "bytes=70000-"}), RangesAsked());
    // The 206 answer leaves the record of the first try's 200.
    ExpectRecord(200, Message(7148), L"Success");
    EXPECT_FALSE(Logged(4, L"Sleeping for 10 Sec before retrying"));
}

TEST_F(ConcurrentDownloadFromFaultServer, AStallLongerThanTheReceiveTimeOutResumes) {
    testsupport::FaultStep stall;
    stall.stall_after = 50000;
    Serve({stall, testsupport::FaultStep{}});
    EXPECT_EQ(DOWNLOAD_COMPLETED, DownloadPatch());
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    EXPECT_EQ((std::vector<std::string>{"-", "bytes=50000-"}), RangesAsked());
}

TEST_F(ConcurrentDownloadFromFaultServer, AServerThatNeverAnswersTimesOutAndIsTriedAgain) {
    // No status line within the receive time-out: the request step fails on the calling
    // thread, which costs a try at once (no worker, no pause).
    testsupport::FaultStep silent;
    silent.silent = true;
    Serve({silent, testsupport::FaultStep{}});
    EXPECT_EQ(DOWNLOAD_COMPLETED, DownloadPatch());
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    EXPECT_TRUE(
        log_.Contains(kHttp, 1, L"FAILED: Receiving HTTP response failed with code: 12002"));
    EXPECT_FALSE(Logged(4, L"Sleeping for 10 Sec before retrying"));

    Serve({silent});
    fs::remove(LocalPatch());
    EXPECT_EQ(DOWNLOAD_FAILED, DownloadPatch(1));
    ExpectRecord(12002, Message(7130, ServerUrl(server_->Port()).c_str()), L"Failed");
}

TEST_F(ConcurrentDownloadFromFaultServer, ATryTimedOutInsideAReadStartsAgainFromByteZero) {
    // A body that keeps trickling in: every read returns, but the try's minute runs out while
    // the worker waits in one.
    testsupport::FaultStep trickle;
    trickle.trickle_chunk = 512;
    trickle.trickle_interval_ms = 40;
    Serve({trickle, testsupport::FaultStep{}});
    EXPECT_EQ(DOWNLOAD_COMPLETED, DownloadPatch());
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    EXPECT_EQ((std::vector<std::string>{"-", "-"}), RangesAsked());
    EXPECT_TRUE(Logged(3, L"TimedOut And Blocked.. Retry 3"));
    EXPECT_TRUE(Logged(4, L"SUCCESS: Download Thread Terminated successfully"));
    EXPECT_TRUE(Logged(4, L"Sleeping for 10 Sec before retrying"));
}

TEST_F(ConcurrentDownloadFromFaultServer, ATryTimedOutBetweenPacketsIsAskedToStop) {
    // The local file is a pipe that nobody drains until the try has timed out: the worker
    // waits in a write, not in a read, when the time runs out.
    fs::create_directories(LocalPatch().parent_path());
    ASSERT_EQ(0, mkfifo(LocalPatch().c_str(), 0600));
    const int pipe = open(LocalPatch().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_LE(0, pipe);
    std::atomic<bool> downloadDone{false};
    std::string drained;
    std::thread drainer([&] {
        while (!log_.Contains(kHttp, 3, L"TimedOut And Not Blocked.. Retry 3") && !downloadDone) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        char buffer[65536];
        for (;;) {
            const ssize_t count = read(pipe, buffer, sizeof buffer);
            if (count > 0) {
                drained.append(buffer, static_cast<std::size_t>(count));
            } else if (downloadDone) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    Serve({testsupport::FaultStep{}});
    const int result = DownloadPatch();
    downloadDone = true;
    drainer.join();
    close(pipe);

    EXPECT_EQ(DOWNLOAD_COMPLETED, result);
    // The worker finished its packet, saw the stop message and acknowledged it: not stopped.
    EXPECT_TRUE(Logged(3, L"TimedOut And Not Blocked.. Retry 3"));
    EXPECT_FALSE(Logged(4, L"SUCCESS: Download Thread Terminated successfully"));
    EXPECT_TRUE(Logged(4, L"Sleeping for 10 Sec before retrying"));
    EXPECT_EQ(2u, server_->Requests().size());
    // What the first try wrote stays (a pipe has no size, so the second try asks for all).
    ASSERT_GT(drained.size(), patch_.size());
    EXPECT_EQ(patch_, drained.substr(drained.size() - patch_.size()));
    EXPECT_EQ(0, patch_.compare(0, drained.size() - patch_.size(), drained, 0,
                                drained.size() - patch_.size()));
}

TEST_F(ConcurrentDownloadFromFaultServer, AStopIsAnsweredOnlyByTheWorkerAskedToStop) {
    // Try 1 ends early on a cut body; try 2's worker then waits in a write to a pipe nobody
    // drains. The stop asked of it must wait for its own answer, not take try 1's signals.
    fs::create_directories(LocalPatch().parent_path());
    ASSERT_EQ(0, mkfifo(LocalPatch().c_str(), 0600));
    const int pipe = open(LocalPatch().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_LE(0, pipe);
    std::atomic<bool> downloadDone{false};
    std::atomic<bool> pausedBeforeTheAnswer{false};
    std::thread drainer([&] {
        char buffer[65536];
        const auto drain = [&] {
            while (read(pipe, buffer, sizeof buffer) > 0) {
            }
        };
        const auto waitFor = [&](const wchar_t* line, bool draining) {
            while (!log_.Contains(kHttp, 3, line) && !downloadDone) {
                if (draining) {
                    drain();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        waitFor(L"Retry count = 2", true);
        waitFor(L"TimedOut And Not Blocked.. Retry 2", false);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pausedBeforeTheAnswer = log_.Contains(kHttp, 4, L"Sleeping for 10 Sec before retrying");
        while (!downloadDone) {
            drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    testsupport::FaultStep cut;
    cut.cut_after = 70000;
    Serve({cut, testsupport::FaultStep{}});
    const int result = DownloadPatch();
    downloadDone = true;
    drainer.join();
    close(pipe);

    EXPECT_EQ(DOWNLOAD_COMPLETED, result);
    EXPECT_TRUE(Logged(3, L"TimedOut And Not Blocked.. Retry 2"));
    EXPECT_FALSE(pausedBeforeTheAnswer);
    EXPECT_EQ(3u, server_->Requests().size());
}

TEST_F(ConcurrentDownloadFromNginx, EveryDownloadStartsWithAllItsTries) {
    WriteSettings(nginx_.Port(), "", 2);
    EXPECT_EQ(1, downloader_.Initialise(record_));
    EXPECT_EQ(DOWNLOAD_FAILED, downloader_.DownLoadFile(L"/Remedor/patches/absent.exe", record_));
    // The same object, without Initialise: the tries are the configured ones again.
    EXPECT_EQ(DOWNLOAD_COMPLETED, downloader_.DownLoadFile(L"/Remedor/patches/fix.exe", record_));
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    EXPECT_EQ(3u, nginx_.AccessLog().size());
}

TEST_F(ConcurrentDownloadFromFaultServer, ALastTryTimedOutAfterProgressEndsInProgress) {
    testsupport::FaultStep trickle;
    trickle.trickle_chunk = 512;
    trickle.trickle_interval_ms = 40;
    Serve({trickle});
    EXPECT_EQ(DOWNLOAD_IN_PROGRESS, DownloadPatch(1));
    ExpectRecord(5004, Message(7155), L"Failed");
    EXPECT_EQ(1u, server_->Requests().size());
    EXPECT_FALSE(fs::exists(LocalPatch()));
}

TEST_F(ConcurrentDownloadFromFaultServer, BodiesOfTheWrongLength) {
    // Cut short on every try: each try fails at once, then the download.
    testsupport::FaultStep shortBody;
    shortBody.cut_after = 1000;
    shortBody.honour_range = false;
    Serve({shortBody});
    EXPECT_EQ(DOWNLOAD_FAILED, DownloadPatch(2));
    EXPECT_EQ(2u, server_->Requests().size());
    ExpectRecord(5000, Message(7156), L"Failed");
    EXPECT_FALSE(fs::exists(LocalPatch()));

    // Bytes after the announced length are not the resource's: the file is exact.
    testsupport::FaultStep longBody;
    longBody.extra_bytes = 5000;
    Serve({longBody});
    EXPECT_EQ(DOWNLOAD_COMPLETED, DownloadPatch());
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
}

TEST_F(ConcurrentDownloadFromFaultServer, AServerIgnoringRangesCannotCompleteAResume) {
    testsupport::FaultStep cut;
    cut.cut_after = 60000;
    testsupport::FaultStep whole;
    whole.honour_range = false;
    Serve({cut, whole});
    EXPECT_EQ(DOWNLOAD_FAILED, DownloadPatch(2));
    EXPECT_EQ((std::vector<std::string>{"-", "bytes=60000-"}), RangesAsked());
    EXPECT_FALSE(fs::exists(LocalPatch()));
}

TEST_F(ConcurrentDownloadFromFaultServer, AnswersAreMappedToTheRecord) {
    struct Row {
        int status;
        int code;
        std::wstring message;
    };
    Serve({Step(200)});
    // Every row's server listens on a port of its own: the message names the current one.
    const Row rows[] = {
        {401, 401, Message(7150)},
        {500, 500, Message(7161)},
        {503, 503, L"" /* the server, then message 7151 */},
        {418, 418, Message(7147, 418)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        Serve({Step(row.status)});
        const std::wstring expected =
            row.status == 503 ? ServerUrl(server_->Port()) + L" " + Message(7151) : row.message;
        EXPECT_EQ(DOWNLOAD_FAILED, DownloadPatch(1));
        ExpectRecord(row.code, expected, L"Failed");
    }
}

TEST_F(ConcurrentDownloadFromFaultServer, AProxyChallengeIsAnsweredOnceWithThePreferredScheme) {
    // The fault server plays a proxy that challenges every request.
    testsupport::FaultStep challenge = Step(407);
    challenge.headers = {{"Proxy-Authenticate", "Basic realm=\"kelm\""},
                         {"Proxy-Authenticate", "NTLM"}};
    Serve({challenge});
    WriteSettings(9, "", 1);  // the origin server is never reached
    orv_.Write("ORVSettings.INI",
               ReadAll(orv_.Path() / "ORVSettings.INI") +
                   "[ProxySettings]\nUseProxy=2\nProxyServer=127.0.0.1\nProxyPort=" +
                   std::to_string(server_->Port()) + "\nProxyRequireAuth=1\n");
    EXPECT_EQ(1, downloader_.Initialise(record_));
    downloader_.m_wsProxyUserID = L"kelm";  // as the credential store would give them
    downloader_.m_wsProxyPassword = L"secret";
    EXPECT_EQ(DOWNLOAD_FAILED, downloader_.DownLoadFile(Wide(kPatchPath), record_));
    ExpectRecord(407, Message(7152), L"Failed");
    // Sent twice: plainly, then with credentials (the NTLM handshake may take the HTTP layer
    // more than one exchange on the wire).
    int sends = 0;
    for (const std::wstring& line : log_.Messages()) {
        sends += line == L"SUCCESS: Send HTTP request OK" ? 1 : 0;
    }
    EXPECT_EQ(2, sends);
    const std::vector<testsupport::RecordedRequest> requests = server_->Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(0u, requests[0].headers.count("proxy-authorization"));
    for (std::size_t index = 1; index < requests.size(); ++index) {
        ASSERT_EQ(1u, requests[index].headers.count("proxy-authorization"));
        EXPECT_EQ(0u, requests[index].headers.at("proxy-authorization").rfind("NTLM ", 0));
    }
    EXPECT_EQ("http://127.0.0.1:9" + kPatchPath, requests[0].target);
}

TEST_F(ConcurrentDownloadFromFaultServer, WithoutProxyCredentialsA407EndsAfterOneSend) {
    testsupport::FaultStep challenge = Step(407);
    challenge.headers = {{"Proxy-Authenticate", "Basic realm=\"kelm\""}};
    Serve({challenge});
    WriteSettings(9,
                  "[ProxySettings]\nUseProxy=2\nProxyServer=127.0.0.1\nProxyPort=" +
                      std::to_string(server_->Port()) + "\n",
                  1);
    EXPECT_EQ(DOWNLOAD_FAILED, Download(Wide(kPatchPath)));
    ExpectRecord(407, Message(7152), L"Failed");
    EXPECT_EQ(1u, server_->Requests().size());
    EXPECT_TRUE(Logged(3, L"FAILED: Status code <407>: The proxy requires authentication."));
}

// ---- a real proxy ----

class ConcurrentDownloadThroughProxy : public ConcurrentDownloadFromNginx {
protected:
    // Stores a value as an administrator would, through the credential command (into the
    // settings file, which must be written first).
    void StoreCredential(const std::string& key, const std::string& value) {
        const std::string command = "printf '%s\\n' '" + value + "' | " +
                                    ORCHEL_SET_CREDENTIAL_TOOL + " --section ProxySettings --key " +
                                    key + " --orv-dir " + orv_.Path().string();
        ASSERT_EQ(0, std::system(command.c_str())) << command;
    }
    void WriteProxySettings(int mode, const std::string& extra) {
        WriteSettings(nginx_.Port(), "[ProxySettings]\nUseProxy=" + std::to_string(mode) +
                                         "\nProxyServer=127.0.0.1\nProxyPort=" +
                                         std::to_string(proxy_.Port()) + "\n" + extra);
    }
    std::string Forwarded() const {
        return "GET http://127.0.0.1:" + std::to_string(nginx_.Port()) + "/Remedor/patches/fix.exe";
    }

    testsupport::TempFolder keys_;
    testsupport::ScopedEnv keyFile_{"ORCHEL_CREDENTIAL_KEY", (keys_.Path() / "key").string()};
    testsupport::ProxyServer proxy_{"kelm", "s3cret-pass"};
};

TEST_F(ConcurrentDownloadThroughProxy, NamedProxyWithStoredCredentialsAnswersTheChallenge) {
    WriteProxySettings(2, "ProxyRequireAuth=1\n");
    StoreCredential("ProxyUserID", "kelm");
    StoreCredential("ProxyPassword", "s3cret-pass");
    EXPECT_EQ(DOWNLOAD_COMPLETED, Download(L"/Remedor/patches/fix.exe"));
    EXPECT_TRUE(HoldsBytes(LocalPatch(), patch_));
    EXPECT_EQ(std::vector<std::string>{Forwarded()}, proxy_.ForwardedRequests());
    EXPECT_TRUE(Logged(3, L"Setting proxy credentials OK"));
    // The credentials never reach the log.
    for (const std::wstring& line : log_.Messages()) {
        EXPECT_EQ(std::wstring::npos, line.find(L"s3cret")) << line.size();
    }
}

TEST_F(ConcurrentDownloadThroughProxy, WithoutRequireAuthTheChallengeEndsTheTry) {
    WriteProxySettings(2, "");
    StoreCredential("ProxyUserID", "kelm");
    StoreCredential("ProxyPassword", "s3cret-pass");
    EXPECT_EQ(DOWNLOAD_FAILED, Download(L"/Remedor/patches/fix.exe"));
    ExpectRecord(407, Message(7152), L"Failed");
    EXPECT_TRUE(proxy_.ForwardedRequests().empty());
    EXPECT_TRUE(nginx_.AccessLog().empty());
    EXPECT_FALSE(Logged(3, L"Setting proxy credentials OK"));
}

TEST_F(ConcurrentDownloadThroughProxy, WrongStoredCredentialsAreRefusedByTheProxy) {
    WriteProxySettings(2, "ProxyRequireAuth=1\n");
    StoreCredential("ProxyUserID", "kelm");
    StoreCredential("ProxyPassword", "wrong");
    EXPECT_EQ(DOWNLOAD_FAILED, Download(L"/Remedor/patches/fix.exe"));
    // tinyproxy answers wrong credentials with 401, which is then what the record says.
    ExpectRecord(401, Message(7150), L"Failed");
    EXPECT_TRUE(nginx_.AccessLog().empty());
}

TEST_F(ConcurrentDownloadThroughProxy, SystemProxyComesFromTheEnvironment) {
    testsupport::ProxyServer open;
    testsupport::ScopedEnv systemProxy("http_proxy",
                                       "http://127.0.0.1:" + std::to_string(open.Port()));
    WriteSettings(nginx_.Port(), "[ProxySettings]\nUseProxy=1\n");
    EXPECT_EQ(DOWNLOAD_COMPLETED, Download(L"/Remedor/patches/fix.exe"));
    EXPECT_EQ(std::vector<std::string>{Forwarded()}, open.ForwardedRequests());
    EXPECT_TRUE(Logged(4, L"Auto detection of proxy"));

    // Without a proxy mode the environment is not used.
    fs::remove(LocalPatch());
    WriteSettings(nginx_.Port());
    EXPECT_EQ(DOWNLOAD_COMPLETED, Download(L"/Remedor/patches/fix.exe"));
    EXPECT_EQ(1u, open.ForwardedRequests().size());
}

}  // namespace
