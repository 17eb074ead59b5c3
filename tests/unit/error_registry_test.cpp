#include "orchel/error_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

// The history is process-wide and never cleared; each test looks only at what it added.
class ErrorRegistry : public testing::Test {
protected:
    void SetUp() override {
        EnterCriticalSection(&g_ErrorHandleCrticalSection);
        historyBefore_ = g_vecOrchelError.size();
        LeaveCriticalSection(&g_ErrorHandleCrticalSection);
    }
    std::vector<DWORD> Added() const {
        return std::vector<DWORD>(g_vecOrchelError.begin() + historyBefore_,
                                  g_vecOrchelError.end());
    }
    std::size_t historyBefore_ = 0;
};

TEST_F(ErrorRegistry, FirstAndLastFollowThePushOrder) {
    SetLastOrchelError(5);
    SetLastOrchelError(7);
    SetLastOrchelError(7);  // the same code twice is stored twice
    DWORD last = 0;
    GetLastOrchelError(&last);
    EXPECT_EQ(7u, last);
    EXPECT_EQ(7u, g_dwOrchelLastError);
    EXPECT_EQ((std::vector<DWORD>{5, 7, 7}), Added());
    if (historyBefore_ == 0) {
        DWORD first = 0;
        GetFirstOrchelError(&first);
        EXPECT_EQ(5u, first);
    }
    SetLastOrchelError(0xFFFFFFFFu);
    GetLastOrchelError(&last);
    EXPECT_EQ(0xFFFFFFFFu, last);
}

TEST_F(ErrorRegistry, ApplicationAndLibraryErrorsAreIndependent) {
    const DWORD libraryBefore = g_dwOrchelLastError;
    OrvSetLastError(42);
    EXPECT_EQ(libraryBefore, g_dwOrchelLastError);
    EXPECT_TRUE(Added().empty());

    SetLastOrchelError(9);
    DWORD application = 0;
    OrvGetLastError(&application);
    EXPECT_EQ(42u, application);
    EXPECT_EQ(42u, g_dwApplicationLastError);

    // Null output pointers are ignored.
    OrvGetLastError(nullptr);
    GetLastOrchelError(nullptr);
    GetFirstOrchelError(nullptr);
}

TEST_F(ErrorRegistry, ConcurrentPushesAreAllKept) {
    constexpr int kThreads = 8;
    constexpr int kPushesPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPushesPerThread; ++i) {
                SetLastOrchelError(static_cast<DWORD>(t * 100000 + i));
                OrvSetLastError(static_cast<DWORD>(t));
                DWORD ignored;
                GetLastOrchelError(&ignored);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<DWORD> added = Added();
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kPushesPerThread), added.size());
    // Each thread's codes arrive complete and in that thread's order.
    for (int t = 0; t < kThreads; ++t) {
        std::vector<DWORD> ofThread;
        std::copy_if(added.begin(), added.end(), std::back_inserter(ofThread),
                     [t](DWORD code) { return code / 100000 == static_cast<DWORD>(t); });
        ASSERT_EQ(static_cast<std::size_t>(kPushesPerThread), ofThread.size());
        EXPECT_TRUE(std::is_sorted(ofThread.begin(), ofThread.end()));
    }
    EXPECT_EQ(added.back(), g_dwOrchelLastError);
}

TEST(ErrorRegistryLock, IsRecursiveAndSurvivesHostInitialisation) {
    // A host initialises the section; the same thread may then enter it twice.
    InitializeCriticalSection(&g_ErrorHandleCrticalSection);
    EnterCriticalSection(&g_ErrorHandleCrticalSection);
    SetLastOrchelError(11);  // enters again on the same thread
    LeaveCriticalSection(&g_ErrorHandleCrticalSection);
    DWORD last = 0;
    GetLastOrchelError(&last);
    EXPECT_EQ(11u, last);
}

}  // namespace

namespace {

// A fresh process, so the history is known to be empty.
TEST(ErrorRegistryFreshProcess, ReadsOfAnEmptyHistoryGiveZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            DWORD first = 99;
            DWORD last = 99;
            const bool empty = g_vecOrchelError.empty();
            GetFirstOrchelError(&first);
            GetLastOrchelError(&last);
            std::exit(empty && first == 0 && last == 0 && g_dwOrchelLastError == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
