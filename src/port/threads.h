// Threads, manual-reset events, waits with time-outs, per-thread stop messages and the clock,
// shaped like the Windows calls the download loop is written in.
//
// A HANDLE from this file is one of our kernel-object stand-ins (an event or a thread); every
// handle is released with CloseHandle, and an object lives until its last handle is closed and,
// for a thread, until the thread has returned.
//
// There is no forced thread termination on POSIX. TerminateThread instead asks the thread to
// end: it interrupts the blocking operation the thread is in (an interruptible read registers
// itself through ThreadInterruption) and waits until the thread has returned, so after it the
// thread touches nothing again.
#ifndef ORCHEL_PORT_THREADS_H
#define ORCHEL_PORT_THREADS_H

#include <chrono>
#include <cstddef>
#include <functional>

#include "orchel/wintypes.h"

namespace port {

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

// ---- Clock ----

// Durations the product counts in milliseconds (pauses, per-try time-outs, the transfer
// time-outs of the HTTP layer) pass through here. Production runs at real speed; a test sets
// ORCHEL_CLOCK_SPEEDUP=N (read on every call) to run every such duration N times faster, so
// pauses of seconds and time-outs of minutes are tested without changing the product's values.
std::chrono::milliseconds ScaledDuration(DWORD milliseconds);
void Sleep(DWORD milliseconds);

// ---- Events ----

// A manual-reset event (auto-reset is not supported: manualReset must be TRUE). The name is
// kept for diagnostics only: events are private to the process, so two processes downloading
// at once do not signal each other. Null on failure (last error set).
HANDLE CreateEventW(void* eventAttributes, BOOL manualReset, BOOL initialState,
                    const wchar_t* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// ---- Threads ----

typedef DWORD (*LPTHREAD_START_ROUTINE)(void* parameter);

// Starts `routine(parameter)` at once on a new thread (stack size and flags other than 0 are
// not supported). The handle becomes signalled when the routine has returned.
HANDLE CreateThread(void* threadAttributes, std::size_t stackSize, LPTHREAD_START_ROUTINE routine,
                    void* parameter, DWORD creationFlags, DWORD* threadId);

// Asks the thread to end and waits until it has: see the file comment. TRUE once the thread
// has returned; exitCode is not used (the routine's own result stays its exit code).
BOOL TerminateThread(HANDLE thread, DWORD exitCode);

// ---- Waits ----

// Waits for one object (an event that is set, a thread that has returned). WAIT_OBJECT_0,
// WAIT_TIMEOUT, or WAIT_FAILED with the last error set (null or closed handle).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits until any one of `count` objects is signalled (waitAll must be FALSE): WAIT_OBJECT_0 + i
// for the lowest such i, WAIT_TIMEOUT, or WAIT_FAILED (a null handle among them, count 0 or
// over MAXIMUM_WAIT_OBJECTS). The time-out goes through the clock above.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

// A second handle to the same object (the same-process form of Windows' DuplicateHandle): the
// object lives until both are closed. FALSE with the last error set for a bad source.
BOOL DuplicateHandle(HANDLE source, HANDLE* target);

// Closes an event or thread handle. Closing a thread handle does not stop the thread.
BOOL CloseHandle(HANDLE handle);

// ---- Thread messages ----

struct MSG {
    UINT message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

// Queues a message for a thread started by CreateThread (FALSE for an unknown thread id).
BOOL PostThreadMessageW(DWORD threadId, UINT message, std::uintptr_t wParam,
                        std::intptr_t lParam);
// Looks at the calling thread's queue for the first message within [filterMin, filterMax]
// (both 0: any message); PM_REMOVE takes it out. FALSE when none is waiting. hWnd must be null.
BOOL PeekMessageW(MSG* message, void* hWnd, UINT filterMin, UINT filterMax, UINT removeMessage);

// ---- Interruption of blocking operations ----

// A blocking operation on a thread started by CreateThread registers how to wake it for as
// long as it blocks; TerminateThread calls that function (from another thread) and marks the
// thread as asked to end. On other threads the registration does nothing.
class ThreadInterruption {
public:
    explicit ThreadInterruption(std::function<void()> wake);
    ~ThreadInterruption();
    ThreadInterruption(const ThreadInterruption&) = delete;
    ThreadInterruption& operator=(const ThreadInterruption&) = delete;
};

// True once TerminateThread has been called for the calling thread.
bool CurrentThreadAskedToEnd();

}  // namespace port

#endif  // ORCHEL_PORT_THREADS_H
