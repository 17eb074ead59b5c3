// The shared library exports the interface the service and the plug-ins link against, and
// nothing of its internals, as a DLL's export table would.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class SharedLibrary : public testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(ORCHEL_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, handle_) << dlerror();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    void* handle_ = nullptr;
};

TEST_F(SharedLibrary, ExportsTheCFunctionsAndGlobals) {
    const std::vector<std::string> exported = {
        "OrvSetLastError",
        "OrvGetLastError",
        "SetLastOrchelError",
        "GetLastOrchelError",
        "GetFirstOrchelError",
        "InitializeCriticalSection",
        "EnterCriticalSection",
        "LeaveCriticalSection",
        "DeleteCriticalSection",
        "gszCurrentProduct",
        "gszProductRelease",
        "gszDownloadServerName",
        "g_DownloadBufSize",
        "g_hDownloadEvent",
        "g_hWriteFileCompletedEvent",
        "giContext",
        "g_pfnRemedorServiceCallBack",
        "gszLastUpdatedDate",
        "gszLastUpdatedTime",
        "g_hUIResponseReceivedEvent",
        "giRebootRequired",
        "giUIResponseForScheduleJob",
        "gszReleaseAttributes",
        "gszPackageAttributes",
        "gszPatchElements",
        "gszComponentAttributes",
        "gszDownloadedOnAttributes",
        "g_ErrorHandleCrticalSection",
        "g_dwApplicationLastError",
        "g_dwOrchelLastError",
        "g_vecOrchelError",
    };
    for (const std::string& name : exported) {
        EXPECT_NE(nullptr, dlsym(handle_, name.c_str())) << name;
    }
}

TEST_F(SharedLibrary, KeepsInternalsHidden) {
    // C++ functions are exported under their decorated names; internal ones not at all.
    EXPECT_NE(nullptr, dlsym(handle_, "_Z17InitializeJobInfoP7JobInfo"));
    EXPECT_EQ(nullptr, dlsym(handle_, "_ZN6orchel13NotifyServiceER7JobInfo"));
    EXPECT_EQ(nullptr, dlsym(handle_, "_ZN4port10FormatWideEPwmPKwz"));
    // The downloader is reached through its interface and factory; the HTTP downloader itself
    // and the HTTP layer under it stay inside.
    EXPECT_NE(nullptr, dlsym(handle_, "_ZN16CDownloadManager16CreateDownloaderEi"));
    EXPECT_NE(nullptr, dlsym(handle_, "_ZN11IDownloaderC2Ev"));
    EXPECT_NE(nullptr, dlsym(handle_, "_ZN21DownloadRequestStatusC1Ev"));
    EXPECT_EQ(nullptr, dlsym(handle_,
                             "_ZN15CHTTPDownloader12DownLoadFileENSt7__cxx1112basic_"
                             "stringIwSt11char_traitsIwESaIwEEER21DownloadRequestStatus"));
    EXPECT_EQ(nullptr, dlsym(handle_, "_ZN4port11WinHttpOpenEPKwjS1_S1_j"));
}

}  // namespace
