#include "port/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "port/last_error.h"
#include "support/scratch.h"

namespace {

using port::CloseHandle;
using port::CreateEventW;
using port::CreateThread;
using port::INFINITE;
using port::MSG;
using port::PeekMessageW;
using port::PM_NOREMOVE;
using port::PM_REMOVE;
using port::PostThreadMessageW;
using port::ResetEvent;
using port::SetEvent;
using port::TerminateThread;
using port::WAIT_FAILED;
using port::WAIT_OBJECT_0;
using port::WAIT_TIMEOUT;
using port::WaitForMultipleObjects;
using port::WaitForSingleObject;

class Event {
public:
    explicit Event(bool initialState = false)
        : handle_(CreateEventW(nullptr, TRUE, initialState ? TRUE : FALSE, L"test")) {
        EXPECT_NE(nullptr, handle_);
    }
    ~Event() { CloseHandle(handle_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsSet() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
};

// A thread started through the port. Even when a test fails half-way, the thread is asked to
// end and has returned before the state it uses goes away.
class TestThread {
public:
    TestThread(port::LPTHREAD_START_ROUTINE routine, void* parameter)
        : handle_(CreateThread(nullptr, 0, routine, parameter, 0, &id_)) {
        EXPECT_NE(nullptr, handle_);
    }
    ~TestThread() {
        if (handle_ != nullptr) {
            TerminateThread(handle_, 0);
            CloseHandle(handle_);
        }
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    HANDLE Get() const { return handle_; }
    DWORD Id() const { return id_; }
    void WaitForEnd() const { ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handle_, INFINITE)); }
    // Leaves the thread running: the test checks that it ends on its own.
    void Close() {
        EXPECT_TRUE(CloseHandle(handle_));
        handle_ = nullptr;
    }

private:
    DWORD id_ = 0;
    HANDLE handle_;
};

// ---- Clock ----

TEST(ThreadsClock, ScaledDurationDividesByTheSpeedup) {
    struct Row {
        std::optional<std::string> speedup;  // nullopt: variable not set
        DWORD milliseconds;
        long long expected;
    };
    const std::vector<Row> rows = {
        // real speed
        {std::nullopt, 1500, 1500},
        {"1", 60000, 60000},
        // sped up
        {"1000", 60000, 60},
        {"1000", 999, 0},
        {"7", 100, 14},
        {"4294967295", 4294967294u, 0},
        // not a positive integer: real speed
        {"0", 500, 500},
        {"-5", 500, 500},
        {"", 500, 500},
        {"abc", 500, 500},
        {"10x", 500, 500},
        {" 10", 500, 500},
        {"99999999999999999999", 500, 500},
        // INFINITE is never scaled
        {"1000", INFINITE, INFINITE},
    };
    for (const Row& row : rows) {
        std::optional<testsupport::ScopedEnv> env;
        if (row.speedup) {
            env.emplace("ORCHEL_CLOCK_SPEEDUP", *row.speedup);
        }
        EXPECT_EQ(row.expected, port::ScaledDuration(row.milliseconds).count())
            << "speedup '" << row.speedup.value_or("(unset)") << "', " << row.milliseconds << " ms";
    }
}

// Unscaled, these would last a minute and a day: the test runner's time-out is the failure.
TEST(ThreadsClock, SleepAndWaitTimeOutsRunOnTheScaledClock) {
    testsupport::ScopedEnv speedup("ORCHEL_CLOCK_SPEEDUP", "1000");
    port::Sleep(60000);
    Event never;
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(never.Get(), 60000));
    testsupport::ScopedEnv faster("ORCHEL_CLOCK_SPEEDUP", "100000000");
    HANDLE one[] = {never.Get()};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(1, one, FALSE, 86400000));
}

// ---- Events ----

TEST(ThreadsEvents, ManualResetEventStaysSetUntilReset) {
    Event event;
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.Get(), 20));
    ASSERT_TRUE(SetEvent(event.Get()));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), INFINITE));  // not consumed
    ASSERT_TRUE(ResetEvent(event.Get()));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.Get(), 20));

    Event initiallySet(true);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(initiallySet.Get(), INFINITE));
}

TEST(ThreadsEvents, AutoResetIsRefused) {
    port::SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(nullptr, CreateEventW(nullptr, FALSE, FALSE, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), port::GetLastError());
}

TEST(ThreadsWaits, ReturnTheLowestSignalledIndex) {
    Event events[4];
    const HANDLE handles[] = {events[0].Get(), events[1].Get(), events[2].Get(), events[3].Get()};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(4, handles, FALSE, 10));
    SetEvent(handles[3]);
    SetEvent(handles[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(4, handles, FALSE, INFINITE));
    ResetEvent(handles[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 3, WaitForMultipleObjects(4, handles, FALSE, 0));
    SetEvent(handles[0]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, handles, FALSE, 0));
}

// ---- Bad handles and arguments ----

struct FailedCall {
    const char* what;
    DWORD result;
    DWORD expectedResult;
    DWORD lastError;
    DWORD expectedLastError;
};

// Runs `call` with the last error cleared first, so a stale error cannot pass for a new one.
template <typename Function>
FailedCall Call(const char* what, DWORD expectedResult, DWORD expectedLastError,
                Function function) {
    port::SetLastError(ERROR_SUCCESS);
    const DWORD result = static_cast<DWORD>(function());
    return {what, result, expectedResult, port::GetLastError(), expectedLastError};
}

void ExpectFailures(const std::vector<FailedCall>& calls) {
    for (const FailedCall& call : calls) {
        EXPECT_EQ(call.expectedResult, call.result) << call.what;
        EXPECT_EQ(call.expectedLastError, call.lastError) << call.what;
    }
}

TEST(ThreadsHandles, NullClosedAndForeignHandlesFailCleanly) {
    HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    int notAHandle = 0;
    HANDLE foreign = &notAHandle;
    Event live(true);
    const HANDLE withNull[] = {live.Get(), nullptr};
    const HANDLE withClosed[] = {live.Get(), closed};
    const HANDLE many[port::MAXIMUM_WAIT_OBJECTS + 1] = {};
    const DWORD invalidHandle = ERROR_INVALID_HANDLE;
    const DWORD invalidParameter = ERROR_INVALID_PARAMETER;
    ExpectFailures({
        // handles that are not (or no longer) ours
        Call("wait on null", WAIT_FAILED, invalidHandle,
             [&] { return WaitForSingleObject(nullptr, 0); }),
        Call("wait on closed", WAIT_FAILED, invalidHandle,
             [&] { return WaitForSingleObject(closed, INFINITE); }),
        Call("wait on foreign", WAIT_FAILED, invalidHandle,
             [&] { return WaitForSingleObject(foreign, 0); }),
        Call("wait on a set event and null", WAIT_FAILED, invalidHandle,
             [&] { return WaitForMultipleObjects(2, withNull, FALSE, 0); }),
        Call("wait on a set event and closed", WAIT_FAILED, invalidHandle,
             [&] { return WaitForMultipleObjects(2, withClosed, FALSE, 0); }),
        Call("set closed", FALSE, invalidHandle, [&] { return SetEvent(closed); }),
        Call("reset foreign", FALSE, invalidHandle, [&] { return ResetEvent(foreign); }),
        Call("close again", FALSE, invalidHandle, [&] { return CloseHandle(closed); }),
        Call("close null", FALSE, invalidHandle, [&] { return CloseHandle(nullptr); }),
        Call("close foreign", FALSE, invalidHandle, [&] { return CloseHandle(foreign); }),
        Call("terminate an event", FALSE, invalidHandle,
             [&] { return TerminateThread(live.Get(), 0); }),
        Call("terminate closed", FALSE, invalidHandle, [&] { return TerminateThread(closed, 0); }),
        // waits the port does not offer
        Call("wait on none", WAIT_FAILED, invalidParameter,
             [&] { return WaitForMultipleObjects(0, withNull, FALSE, 0); }),
        Call(
            "wait on too many", WAIT_FAILED, invalidParameter,
            [&] { return WaitForMultipleObjects(port::MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0); }),
        Call("wait for all", WAIT_FAILED, invalidParameter,
             [&] { return WaitForMultipleObjects(1, withNull, TRUE, 0); }),
        Call("wait on a null array", WAIT_FAILED, invalidParameter,
             [&] { return WaitForMultipleObjects(1, nullptr, FALSE, 0); }),
        // threads the port cannot start
        Call("thread without routine", 0, invalidParameter,
             [&] { return CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr) != nullptr; }),
        Call("thread with a stack size", 0, invalidParameter,
             [&] {
                 return CreateThread(
                            nullptr, 65536, [](void*) -> DWORD { return 0; }, nullptr, 0,
                            nullptr) != nullptr;
             }),
        Call("suspended thread", 0, invalidParameter,
             [&] {
                 return CreateThread(
                            nullptr, 0, [](void*) -> DWORD { return 0; }, nullptr, 4, nullptr) !=
                        nullptr;
             }),
    });
    // The live event is untouched by all of this.
    EXPECT_TRUE(live.IsSet());
}

TEST(ThreadsHandles, ConcurrentThreadHandleIsNoEvent) {
    TestThread thread([](void*) -> DWORD { return 0; }, nullptr);
    thread.WaitForEnd();
    ExpectFailures({
        Call("set a thread", FALSE, ERROR_INVALID_HANDLE, [&] { return SetEvent(thread.Get()); }),
        Call("reset a thread", FALSE, ERROR_INVALID_HANDLE,
             [&] { return ResetEvent(thread.Get()); }),
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), 0));
}

// ---- Threads ----

struct Gate {
    Event release;
    std::atomic<bool> returned{false};
};

DWORD WaitForReleaseThenReturn(void* parameter) {
    auto& gate = *static_cast<Gate*>(parameter);
    WaitForSingleObject(gate.release.Get(), INFINITE);
    gate.returned = true;
    return 0;
}

TEST(ThreadsCreate, ConcurrentHandleIsSignalledWhenTheRoutineReturns) {
    Gate gate;
    TestThread thread(WaitForReleaseThenReturn, &gate);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread.Get(), 20));
    SetEvent(gate.release.Get());
    Event never;
    const HANDLE handles[] = {never.Get(), thread.Get()};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, handles, FALSE, INFINITE));
    EXPECT_TRUE(gate.returned);
}

TEST(ThreadsCreate, ConcurrentIdsAreUniqueAndNeverZero) {
    std::set<DWORD> ids;
    for (int i = 0; i < 20; ++i) {
        TestThread thread([](void*) -> DWORD { return 0; }, nullptr);
        thread.WaitForEnd();
        EXPECT_NE(0u, thread.Id());
        EXPECT_TRUE(ids.insert(thread.Id()).second) << "id " << thread.Id() << " reused";
    }
}

TEST(ThreadsCreate, ConcurrentRunningThreadOutlivesItsClosedHandle) {
    struct State {
        Event release;
        Event finished;
        std::atomic<bool> sawMessage{false};
    } state;
    TestThread thread(
        [](void* parameter) -> DWORD {
            auto& state = *static_cast<State*>(parameter);
            WaitForSingleObject(state.release.Get(), INFINITE);
            MSG message{};
            state.sawMessage = PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE;
            SetEvent(state.finished.Get());
            return 0;
        },
        &state);
    const DWORD id = thread.Id();
    thread.Close();
    // The thread, its object and its queue live on without the handle.
    EXPECT_TRUE(PostThreadMessageW(id, 0x8001, 0, 0));
    SetEvent(state.release.Get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(state.finished.Get(), INFINITE));
    EXPECT_TRUE(state.sawMessage);
}

// ---- Thread messages ----

struct Mailbox {
    Event posted;
    Event firstLookDone;
    Event postedWhileRunning;
    std::vector<std::optional<MSG>> seen;  // written by the thread, read after it has returned
};

std::optional<MSG> Peek(UINT filterMin, UINT filterMax, UINT remove) {
    MSG message{};
    if (!PeekMessageW(&message, nullptr, filterMin, filterMax, remove)) {
        return std::nullopt;
    }
    return message;
}

DWORD ReadMailbox(void* parameter) {
    auto& box = *static_cast<Mailbox*>(parameter);
    WaitForSingleObject(box.posted.Get(), INFINITE);
    box.seen.push_back(Peek(15, 25, PM_NOREMOVE));  // 20, left in place
    box.seen.push_back(Peek(15, 25, PM_REMOVE));    // 20 again, taken out
    box.seen.push_back(Peek(15, 25, PM_REMOVE));    // none left in range
    box.seen.push_back(Peek(0, 0, PM_NOREMOVE));    // 10, the oldest
    box.seen.push_back(Peek(0, 0, PM_REMOVE));      // 10
    box.seen.push_back(Peek(30, 30, PM_REMOVE));    // 30, exact range
    box.seen.push_back(Peek(0, 0, PM_REMOVE));      // empty
    SetEvent(box.firstLookDone.Get());
    WaitForSingleObject(box.postedWhileRunning.Get(), INFINITE);
    box.seen.push_back(Peek(0, 0, PM_REMOVE));  // 40
    box.seen.push_back(Peek(0, 0, PM_REMOVE));  // empty
    return 0;
}

TEST(ThreadsMessages, ConcurrentPeekFiltersAndRemovesInOrder) {
    Mailbox box;
    TestThread thread(ReadMailbox, &box);
    ASSERT_TRUE(PostThreadMessageW(thread.Id(), 10, 1, -1));
    ASSERT_TRUE(PostThreadMessageW(thread.Id(), 20, 2, -2));
    ASSERT_TRUE(PostThreadMessageW(thread.Id(), 30, 3, -3));
    SetEvent(box.posted.Get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(box.firstLookDone.Get(), INFINITE));
    ASSERT_TRUE(PostThreadMessageW(thread.Id(), 40, UINTPTR_MAX, INTPTR_MIN));
    SetEvent(box.postedWhileRunning.Get());
    thread.WaitForEnd();

    const std::vector<std::optional<UINT>> expected = {20,           20, std::nullopt, 10, 10, 30,
                                                       std::nullopt, 40, std::nullopt};
    ASSERT_EQ(expected.size(), box.seen.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(expected[i].has_value(), box.seen[i].has_value()) << "peek " << i;
        if (expected[i]) {
            EXPECT_EQ(*expected[i], box.seen[i]->message) << "peek " << i;
        }
    }
    EXPECT_EQ(2u, box.seen[1]->wParam);
    EXPECT_EQ(-2, box.seen[1]->lParam);
    EXPECT_EQ(UINTPTR_MAX, box.seen[7]->wParam);
    EXPECT_EQ(INTPTR_MIN, box.seen[7]->lParam);
}

TEST(ThreadsMessages, ConcurrentPostToAnUnknownOrFinishedThreadFails) {
    TestThread thread([](void*) -> DWORD { return 0; }, nullptr);
    thread.WaitForEnd();
    for (const DWORD id : {thread.Id(), 0u, thread.Id() + 1000000u}) {
        port::SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(PostThreadMessageW(id, 1, 0, 0)) << "id " << id;
        EXPECT_EQ(port::ERROR_INVALID_THREAD_ID, port::GetLastError()) << "id " << id;
    }
}

TEST(ThreadsMessages, ThreadsNotStartedByThePortHaveNoQueueAndCannotBeAskedToEnd) {
    MSG message{};
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    bool woken = false;
    {
        port::ThreadInterruption interruption([&] { woken = true; });
        EXPECT_FALSE(port::CurrentThreadAskedToEnd());
    }
    EXPECT_FALSE(woken);
}

// ---- TerminateThread ----

// An interruptible operation of the kind the HTTP layer has: it blocks on a condition
// variable, and its wake function notifies it.
struct BlockedOperation {
    Event blocking;
    std::mutex mutex;
    std::condition_variable condition;
    bool woken = false;
    std::atomic<bool> sawAskedToEnd{false};
    std::atomic<bool> returned{false};
};

DWORD BlockInInterruptibleOperation(void* parameter) {
    auto& operation = *static_cast<BlockedOperation*>(parameter);
    {
        port::ThreadInterruption interruption([&operation] {
            std::lock_guard<std::mutex> lock(operation.mutex);
            operation.woken = true;
            operation.condition.notify_all();
        });
        std::unique_lock<std::mutex> lock(operation.mutex);
        SetEvent(operation.blocking.Get());
        operation.condition.wait(lock, [&operation] { return operation.woken; });
    }
    operation.sawAskedToEnd = port::CurrentThreadAskedToEnd();
    // Some clean-up after the wake-up: TerminateThread must wait for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    operation.returned = true;
    return 0;
}

TEST(ThreadsTerminate, ConcurrentWakesTheBlockedOperationAndWaitsForTheRoutine) {
    BlockedOperation operation;
    TestThread thread(BlockInInterruptibleOperation, &operation);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(operation.blocking.Get(), INFINITE));
    EXPECT_FALSE(port::CurrentThreadAskedToEnd());
    ASSERT_TRUE(TerminateThread(thread.Get(), 0));
    EXPECT_TRUE(operation.returned);
    EXPECT_TRUE(operation.sawAskedToEnd);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), 0));
}

// After the request every blocking call of the port returns at once, and an operation that
// only registers afterwards is woken as it registers.
struct Sleeper {
    Event asleep;
    Event never;
    DWORD waitResult = 0;
    DWORD waitError = 0;
    bool wokenOnRegistration = false;
};

DWORD SleepForGood(void* parameter) {
    auto& sleeper = *static_cast<Sleeper*>(parameter);
    SetEvent(sleeper.asleep.Get());
    port::Sleep(INFINITE);
    sleeper.waitResult = WaitForSingleObject(sleeper.never.Get(), INFINITE);
    sleeper.waitError = port::GetLastError();
    bool woken = false;
    port::ThreadInterruption interruption([&woken] { woken = true; });
    sleeper.wokenOnRegistration = woken;
    return 0;
}

TEST(ThreadsTerminate, ConcurrentEndsSleepsAndWaitsOfTheThread) {
    Sleeper sleeper;
    TestThread thread(SleepForGood, &sleeper);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sleeper.asleep.Get(), INFINITE));
    ASSERT_TRUE(TerminateThread(thread.Get(), 0));
    EXPECT_EQ(WAIT_FAILED, sleeper.waitResult);
    EXPECT_EQ(port::ERROR_OPERATION_ABORTED, sleeper.waitError);
    EXPECT_TRUE(sleeper.wokenOnRegistration);
}

TEST(ThreadsTerminate, ConcurrentOnAFinishedThreadSucceeds) {
    TestThread thread([](void*) -> DWORD { return 0; }, nullptr);
    thread.WaitForEnd();
    EXPECT_TRUE(TerminateThread(thread.Get(), 0));
    EXPECT_TRUE(TerminateThread(thread.Get(), 0));
}

TEST(ThreadsTerminate, ConcurrentFromTheThreadItselfIsRefused) {
    struct Self {
        Event handleKnown;
        HANDLE handle = nullptr;
        BOOL result = TRUE;
        DWORD error = 0;
    } self;
    TestThread thread(
        [](void* parameter) -> DWORD {
            auto& self = *static_cast<Self*>(parameter);
            WaitForSingleObject(self.handleKnown.Get(), INFINITE);
            port::SetLastError(ERROR_SUCCESS);
            self.result = TerminateThread(self.handle, 0);
            self.error = port::GetLastError();
            return 0;
        },
        &self);
    self.handle = thread.Get();
    SetEvent(self.handleKnown.Get());
    thread.WaitForEnd();
    EXPECT_FALSE(self.result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), self.error);
}

// ---- Many threads at once ----

constexpr int kWorkers = 16;

struct Rendezvous {
    Event start;
    Event arrived[kWorkers];
    std::atomic<int> next{0};
    std::atomic<int> sawEveryone{0};
};

// Each worker signals its own event, then waits until every worker has signalled.
DWORD MeetEveryone(void* parameter) {
    auto& meeting = *static_cast<Rendezvous*>(parameter);
    const int mine = meeting.next++;
    WaitForSingleObject(meeting.start.Get(), INFINITE);
    SetEvent(meeting.arrived[mine].Get());
    bool all = true;
    for (const Event& other : meeting.arrived) {
        all = all && WaitForSingleObject(other.Get(), INFINITE) == WAIT_OBJECT_0;
    }
    if (all) {
        ++meeting.sawEveryone;
    }
    return 0;
}

TEST(ThreadsWaits, ConcurrentManyThreadsSignalAndWait) {
    Rendezvous meeting;
    std::vector<std::unique_ptr<TestThread>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.push_back(std::make_unique<TestThread>(MeetEveryone, &meeting));
    }
    SetEvent(meeting.start.Get());
    // Waits on many thread handles at once until every one has returned.
    std::vector<HANDLE> running;
    for (const auto& worker : workers) {
        running.push_back(worker->Get());
    }
    while (!running.empty()) {
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(running.size()),
                                                    running.data(), FALSE, INFINITE);
        ASSERT_LT(result - WAIT_OBJECT_0, running.size());
        running.erase(running.begin() + (result - WAIT_OBJECT_0));
    }
    EXPECT_EQ(kWorkers, meeting.sawEveryone);
}

TEST(ThreadsWaits, ConcurrentOneSetWakesEveryWaiter) {
    struct Crowd {
        Event go;
        Event never;
        std::atomic<int> woken{0};
    } crowd;
    constexpr int kWaiters = 12;
    std::vector<std::unique_ptr<TestThread>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(std::make_unique<TestThread>(
            [](void* parameter) -> DWORD {
                auto& crowd = *static_cast<Crowd*>(parameter);
                const HANDLE handles[] = {crowd.never.Get(), crowd.go.Get()};
                if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                    ++crowd.woken;
                }
                return 0;
            },
            &crowd));
    }
    SetEvent(crowd.go.Get());
    for (const auto& waiter : waiters) {
        waiter->WaitForEnd();
    }
    EXPECT_EQ(kWaiters, crowd.woken);
}

}  // namespace
