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
#include <cstdint>
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
// Last errors of this file beyond those in wintypes.h (numbers as Windows gives them).
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;   // the waiting thread was asked to end
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;  // no running thread has this id

// ---- Clock ----

// Durations the product counts in milliseconds (pauses, per-try time-outs, the transfer
// time-outs of the HTTP layer) pass through here. Production runs at real speed; a test sets
// ORCHEL_CLOCK_SPEEDUP=N (read on every call) to run every such duration N times faster, so
// pauses of seconds and time-outs of minutes are tested without changing the product's values.
// N is a positive decimal integer; anything else counts as 1. INFINITE is never scaled.
std::chrono::milliseconds ScaledDuration(DWORD milliseconds);
// Sleeps ScaledDuration(milliseconds) (INFINITE: for good). A thread started by CreateThread
// wakes early once TerminateThread asks it to end, so a pause never holds up its end.
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
// not supported: null with ERROR_INVALID_PARAMETER). The handle becomes signalled when the
// routine has returned. Thread ids are small, never 0 and never reused within the process.
HANDLE CreateThread(void* threadAttributes, std::size_t stackSize, LPTHREAD_START_ROUTINE routine,
                    void* parameter, DWORD creationFlags, DWORD* threadId);

// Asks the thread to end and waits (without limit) until it has: see the file comment. TRUE
// once the thread has returned, also at once for a thread that had already returned; exitCode
// is not used. From the thread itself: FALSE with ERROR_INVALID_PARAMETER (it would wait for
// itself).
BOOL TerminateThread(HANDLE thread, DWORD exitCode);

// ---- Waits ----

// Waits for one object (an event that is set, a thread that has returned). WAIT_OBJECT_0,
// WAIT_TIMEOUT, or WAIT_FAILED with the last error set: ERROR_INVALID_HANDLE for a null or
// closed handle, ERROR_OPERATION_ABORTED when TerminateThread has asked the waiting thread to
// end and none of the objects is signalled (the wait wakes for it, so the thread can end).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits until any one of `count` objects is signalled (waitAll must be FALSE): WAIT_OBJECT_0 + i
// for the lowest such i, WAIT_TIMEOUT, or WAIT_FAILED (a null handle among them, count 0 or
// over MAXIMUM_WAIT_OBJECTS: ERROR_INVALID_PARAMETER), or ends like WaitForSingleObject.
// The time-out goes through the clock above.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// A second handle to the same event (the same-process form of Windows' DuplicateHandle): the
// event lives until both are closed. FALSE with ERROR_INVALID_HANDLE for anything but an event.
BOOL DuplicateHandle(HANDLE source, HANDLE* target);

// Closes an event or thread handle; FALSE with ERROR_INVALID_HANDLE for a null, foreign or
// already closed one. Closing a thread handle does not stop the thread: it runs on, keeps its
// object alive and releases it when its routine returns.
BOOL CloseHandle(HANDLE handle);

// ---- Thread messages ----

struct MSG {
    UINT message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

// Queues a message for a running thread started by CreateThread (FALSE with
// ERROR_INVALID_THREAD_ID for an unknown id or a thread whose routine has returned).
BOOL PostThreadMessageW(DWORD threadId, UINT message, std::uintptr_t wParam, std::intptr_t lParam);
// Looks at the calling thread's queue for the first message within [filterMin, filterMax]
// (both 0: any message); PM_REMOVE takes it out. FALSE when none is waiting, and always on a
// thread not started by CreateThread (it has no queue). hWnd must be null.
BOOL PeekMessageW(MSG* message, void* hWnd, UINT filterMin, UINT filterMax, UINT removeMessage);

// ---- Interruption of blocking operations ----

// A blocking operation on a thread started by CreateThread registers how to wake it for as
// long as it blocks; TerminateThread calls that function (from another thread) and marks the
// thread as asked to end; if that happened before the registration, the constructor calls
// `wake` at once. On other threads the registration does nothing.
//
// `wake` runs under the port thread's interruption lock (on the terminating thread, or in the
// constructor): it must not throw, and the operation registers before it takes any lock that
// `wake` takes. The object lives on the operation's stack, for exactly as long as it may block.
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
