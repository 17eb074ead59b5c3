// Closing the download's handles: each only when set, and cleared, so that a handle is never
// closed twice whichever step of a try ends first.
#ifndef ORCHEL_DOWNLOAD_HANDLE_RELEASE_H
#define ORCHEL_DOWNLOAD_HANDLE_RELEASE_H

#include "port/threads.h"
#include "port/winhttp.h"

inline void CloseInternetHandleIfSet(HINTERNET& handle) {
    if (handle != nullptr) {
        port::WinHttpCloseHandle(handle);
        handle = nullptr;
    }
}

inline void CloseKernelHandleIfSet(HANDLE& handle) {
    if (handle != nullptr) {
        port::CloseHandle(handle);
        handle = nullptr;
    }
}

#endif  // ORCHEL_DOWNLOAD_HANDLE_RELEASE_H
