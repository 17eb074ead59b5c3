#include "port/threads.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "port/last_error.h"

namespace port {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// ---- Waitable objects ----

// One waiting call. Every object it waits on wakes it when signalled; the call then looks at
// the objects again, so a wake-up that comes between its look and its sleep is not lost.
class Waiter {
public:
    void Wake() {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
        condition_.notify_all();
    }

    void SleepUntilWokenOr(const Deadline& deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto woken = [this] { return woken_; };
        if (deadline) {
            condition_.wait_until(lock, *deadline, woken);
        } else {
            condition_.wait(lock, woken);
        }
        woken_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool woken_ = false;
};

// What events and threads share: a signalled state and the waits to wake when it is set.
class WaitableObject {
public:
    virtual ~WaitableObject() = default;

    bool IsSignalled() {
        std::lock_guard<std::mutex> lock(mutex_);
        return signalled_;
    }
    void AddWaiter(Waiter* waiter) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiters_.push_back(waiter);
    }
    void RemoveWaiter(Waiter* waiter) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter));
    }

protected:
    explicit WaitableObject(bool signalled) : signalled_(signalled) {}

    // The caller holds mutex_, so no waiter can leave between the state change and its wake-up.
    void SignalLocked() {
        signalled_ = true;
        for (Waiter* waiter : waiters_) {
            waiter->Wake();
        }
    }

    std::mutex mutex_;
    bool signalled_;

private:
    std::vector<Waiter*> waiters_;
};

class EventObject final : public WaitableObject {
public:
    EventObject(bool initialState, const wchar_t* name)
        : WaitableObject(initialState), name_(name != nullptr ? name : L"") {}

    void Set() {
        std::lock_guard<std::mutex> lock(mutex_);
        SignalLocked();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

private:
    std::wstring name_;  // for diagnostics only: events are private to the process
};

class ThreadObject final : public WaitableObject {
public:
    explicit ThreadObject(DWORD id) : WaitableObject(false), id_(id) {}

    DWORD Id() const { return id_; }

    // Started by CreateThread, joined or detached by CloseHandle (a thread has one handle).
    std::thread thread;

    // A thread that has returned reads no more messages: refusing them tells the sender.
    bool Post(const MSG& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (signalled_) {
            return false;
        }
        queue_.push_back(message);
        return true;
    }

    bool Peek(MSG& message, UINT filterMin, UINT filterMax, bool remove) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool anyMessage = filterMin == 0 && filterMax == 0;
        const auto match = std::find_if(queue_.begin(), queue_.end(), [&](const MSG& queued) {
            return anyMessage || (queued.message >= filterMin && queued.message <= filterMax);
        });
        if (match == queue_.end()) {
            return false;
        }
        message = *match;
        if (remove) {
            queue_.erase(match);
        }
        return true;
    }

    // The routine has returned.
    void Finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
        SignalLocked();
    }

    // Wake functions run under interruptionMutex_, so an operation that unregisters has either
    // been woken already or will never be: its wake function never runs after it has gone.
    void AskToEnd() {
        askedToEnd_.store(true);
        std::lock_guard<std::mutex> lock(interruptionMutex_);
        for (auto& [key, wake] : wakes_) {
            wake();
        }
    }
    bool AskedToEnd() const { return askedToEnd_.load(); }

    void AddWake(const void* key, std::function<void()> wake) {
        std::lock_guard<std::mutex> lock(interruptionMutex_);
        wakes_.emplace_back(key, std::move(wake));
        // Asked before the operation began blocking: wake it now, or it would block for good.
        if (askedToEnd_.load()) {
            wakes_.back().second();
        }
    }
    void RemoveWake(const void* key) {
        std::lock_guard<std::mutex> lock(interruptionMutex_);
        const auto found = std::find_if(wakes_.begin(), wakes_.end(),
                                        [key](const auto& entry) { return entry.first == key; });
        if (found != wakes_.end()) {
            wakes_.erase(found);
        }
    }

private:
    const DWORD id_;
    std::deque<MSG> queue_;
    // Read without a lock, so an operation may ask it while holding the lock its wake takes.
    std::atomic<bool> askedToEnd_{false};
    std::mutex interruptionMutex_;
    std::vector<std::pair<const void*, std::function<void()>>> wakes_;
};

// The port thread the calling thread runs, null on threads not started by CreateThread.
ThreadObject*& CurrentThread() {
    thread_local ThreadObject* current = nullptr;
    return current;
}

// ---- The kernel's tables ----
// Both are created once and never destroyed: a detached thread may still be ending while the
// process exits and must not meet a destroyed table.

enum class Kind { kEvent, kThread };

struct HandleRecord {
    Kind kind;
    std::shared_ptr<WaitableObject> object;
};

// Handles are looked up, never dereferenced, so a closed or foreign handle fails cleanly.
class HandleTable {
public:
    HANDLE Add(Kind kind, std::shared_ptr<WaitableObject> object) {
        auto record = std::make_unique<HandleRecord>(HandleRecord{kind, std::move(object)});
        HANDLE handle = record.get();
        std::lock_guard<std::mutex> lock(mutex_);
        records_.emplace(handle, std::move(record));
        return handle;
    }

    std::shared_ptr<WaitableObject> Find(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = records_.find(handle);
        return found != records_.end() ? found->second->object : nullptr;
    }

    template <typename Object>
    std::shared_ptr<Object> Find(HANDLE handle, Kind kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = records_.find(handle);
        if (found == records_.end() || found->second->kind != kind) {
            return nullptr;
        }
        return std::static_pointer_cast<Object>(found->second->object);
    }

    std::unique_ptr<HandleRecord> Remove(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = records_.find(handle);
        if (found == records_.end()) {
            return nullptr;
        }
        std::unique_ptr<HandleRecord> record = std::move(found->second);
        records_.erase(found);
        return record;
    }

private:
    std::mutex mutex_;
    std::unordered_map<HANDLE, std::unique_ptr<HandleRecord>> records_;
};

HandleTable& Handles() {
    static HandleTable* const table = new HandleTable;
    return *table;
}

// Running threads by id, for PostThreadMessageW. Ids count up from 1 and are never reused.
class ThreadTable {
public:
    std::shared_ptr<ThreadObject> Create() {
        std::lock_guard<std::mutex> lock(mutex_);
        auto thread = std::make_shared<ThreadObject>(nextId_++);
        running_.emplace(thread->Id(), thread);
        return thread;
    }

    std::shared_ptr<ThreadObject> Find(DWORD id) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = running_.find(id);
        return found != running_.end() ? found->second : nullptr;
    }

    void Remove(DWORD id) {
        std::lock_guard<std::mutex> lock(mutex_);
        running_.erase(id);
    }

private:
    std::mutex mutex_;
    DWORD nextId_ = 1;
    std::unordered_map<DWORD, std::shared_ptr<ThreadObject>> running_;
};

ThreadTable& Threads() {
    static ThreadTable* const table = new ThreadTable;
    return *table;
}

// ---- Waiting ----

// Registers one waiter with every object for as long as the wait lasts.
class WaiterRegistration {
public:
    WaiterRegistration(const std::vector<std::shared_ptr<WaitableObject>>& objects, Waiter& waiter)
        : objects_(objects), waiter_(waiter) {
        for (const auto& object : objects_) {
            object->AddWaiter(&waiter_);
        }
    }
    ~WaiterRegistration() {
        for (const auto& object : objects_) {
            object->RemoveWaiter(&waiter_);
        }
    }
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;

private:
    const std::vector<std::shared_ptr<WaitableObject>>& objects_;
    Waiter& waiter_;
};

enum class Interruptible { kNo, kYes };

Deadline DeadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return std::nullopt;
    }
    return Clock::now() + ScaledDuration(milliseconds);
}

DWORD WaitForAny(const std::vector<std::shared_ptr<WaitableObject>>& objects, DWORD milliseconds,
                 Interruptible interruptible) {
    const Deadline deadline = DeadlineAfter(milliseconds);
    Waiter waiter;
    WaiterRegistration registration(objects, waiter);
    std::optional<ThreadInterruption> interruption;
    if (interruptible == Interruptible::kYes) {
        interruption.emplace([&waiter] { waiter.Wake(); });
    }
    for (;;) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->IsSignalled()) {
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
        }
        if (interruptible == Interruptible::kYes && CurrentThreadAskedToEnd()) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return WAIT_FAILED;
        }
        if (deadline && Clock::now() >= *deadline) {
            return WAIT_TIMEOUT;
        }
        waiter.SleepUntilWokenOr(deadline);
    }
}

// ---- Clock ----

DWORD ClockSpeedup() {
    const char* text = std::getenv("ORCHEL_CLOCK_SPEEDUP");
    if (text == nullptr) {
        return 1;
    }
    const char* end = text + std::strlen(text);
    DWORD speedup = 0;
    const auto [stop, error] = std::from_chars(text, end, speedup);
    if (error != std::errc() || stop != end || speedup < 1) {
        return 1;
    }
    return speedup;
}

// ---- Threads ----

void RunThread(std::shared_ptr<ThreadObject> self, LPTHREAD_START_ROUTINE routine,
               void* parameter) {
    CurrentThread() = self.get();
    routine(parameter);
    CurrentThread() = nullptr;
    Threads().Remove(self->Id());
    self->Finish();
}

// A finished thread is joined so nothing of it remains; a running one owns its object and
// ends on its own.
void ReleaseThread(ThreadObject& thread) {
    if (!thread.thread.joinable()) {
        return;
    }
    if (thread.IsSignalled()) {
        thread.thread.join();
    } else {
        thread.thread.detach();
    }
}

}  // namespace

// ---- Clock ----

std::chrono::milliseconds ScaledDuration(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return std::chrono::milliseconds(milliseconds);
    }
    return std::chrono::milliseconds(milliseconds / ClockSpeedup());
}

void Sleep(DWORD milliseconds) {
    std::mutex mutex;
    std::condition_variable condition;
    bool askedToEnd = false;
    // Registered before the lock is taken: the wake function takes it.
    ThreadInterruption interruption([&] {
        std::lock_guard<std::mutex> lock(mutex);
        askedToEnd = true;
        condition.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    const auto stop = [&] { return askedToEnd; };
    if (milliseconds == INFINITE) {
        condition.wait(lock, stop);
    } else {
        condition.wait_for(lock, ScaledDuration(milliseconds), stop);
    }
}

// ---- Events ----

HANDLE CreateEventW(void* /*eventAttributes*/, BOOL manualReset, BOOL initialState,
                    const wchar_t* name) {
    if (!manualReset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Handles().Add(Kind::kEvent, std::make_shared<EventObject>(initialState != FALSE, name));
}

BOOL SetEvent(HANDLE event) {
    const auto object = Handles().Find<EventObject>(event, Kind::kEvent);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    const auto object = Handles().Find<EventObject>(event, Kind::kEvent);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}

// ---- Threads ----

HANDLE CreateThread(void* /*threadAttributes*/, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE routine, void* parameter, DWORD creationFlags,
                    DWORD* threadId) {
    if (routine == nullptr || stackSize != 0 || creationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::shared_ptr<ThreadObject> thread = Threads().Create();
    try {
        thread->thread = std::thread(RunThread, thread, routine, parameter);
    } catch (const std::system_error&) {
        Threads().Remove(thread->Id());
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = thread->Id();
    }
    return Handles().Add(Kind::kThread, thread);
}

BOOL TerminateThread(HANDLE thread, DWORD /*exitCode*/) {
    const auto object = Handles().Find<ThreadObject>(thread, Kind::kThread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object.get() == CurrentThread()) {
        SetLastError(ERROR_INVALID_PARAMETER);  // it would wait for itself
        return FALSE;
    }
    object->AskToEnd();
    WaitForAny({object}, INFINITE, Interruptible::kNo);
    return TRUE;
}

// ---- Waits ----

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<WaitableObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto object = Handles().Find(handles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    return WaitForAny(objects, milliseconds, Interruptible::kYes);
}

BOOL DuplicateHandle(HANDLE source, HANDLE* target) {
    // Events only: a thread's handle also owns the thread's joining, which one handle does.
    const auto event = Handles().Find<WaitableObject>(source, Kind::kEvent);
    if (!event || target == nullptr) {
        SetLastError(event ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *target = Handles().Add(Kind::kEvent, event);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    const std::unique_ptr<HandleRecord> record = Handles().Remove(handle);
    if (!record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (record->kind == Kind::kThread) {
        ReleaseThread(static_cast<ThreadObject&>(*record->object));
    }
    return TRUE;
}

// ---- Thread messages ----

BOOL PostThreadMessageW(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
    const auto thread = Threads().Find(threadId);
    if (!thread || !thread->Post(MSG{message, wParam, lParam})) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return TRUE;
}

BOOL PeekMessageW(MSG* message, void* hWnd, UINT filterMin, UINT filterMax, UINT removeMessage) {
    if (message == nullptr || hWnd != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ThreadObject* self = CurrentThread();
    if (self == nullptr) {
        return FALSE;
    }
    return self->Peek(*message, filterMin, filterMax, (removeMessage & PM_REMOVE) != 0) ? TRUE
                                                                                        : FALSE;
}

// ---- Interruption of blocking operations ----

ThreadInterruption::ThreadInterruption(std::function<void()> wake) {
    ThreadObject* self = CurrentThread();
    if (self != nullptr && wake) {
        self->AddWake(this, std::move(wake));
    }
}

ThreadInterruption::~ThreadInterruption() {
    if (ThreadObject* self = CurrentThread()) {
        self->RemoveWake(this);
    }
}

bool CurrentThreadAskedToEnd() {
    const ThreadObject* self = CurrentThread();
    return self != nullptr && self->AskedToEnd();
}

}  // namespace port
