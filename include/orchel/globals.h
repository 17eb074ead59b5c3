// The process-wide variables through which the service, the plug-ins and the library share
// state. The service writes them between commands, never while a command runs; they are not
// locked.
#ifndef ORCHEL_GLOBALS_H
#define ORCHEL_GLOBALS_H

#include "orchel/command.h"
#include "orchel/wintypes.h"

enum : std::size_t {
    ORCHEL_PRODUCT_NAME_CAPACITY = 50,
    ORCHEL_SERVER_NAME_CAPACITY = 256,
    ORCHEL_LAST_UPDATED_CAPACITY = 15,
};

// The product every command works for: its folder, its settings section, its job records.
extern ORCHEL_API wchar_t gszCurrentProduct[ORCHEL_PRODUCT_NAME_CAPACITY];
// "All", or the ProductID of the one release the report covers.
extern ORCHEL_API wchar_t gszProductRelease[ORCHEL_PRODUCT_NAME_CAPACITY];
// Written by the HTTP downloader, read by the e-mail composition.
extern ORCHEL_API wchar_t gszDownloadServerName[ORCHEL_SERVER_NAME_CAPACITY];
// The download buffer size in bytes, and the download's events (one download at a time).
extern ORCHEL_API DWORD g_DownloadBufSize;
extern ORCHEL_API HANDLE g_hDownloadEvent[2];
extern ORCHEL_API HANDLE g_hWriteFileCompletedEvent;
// 2 makes the download command skip patches already downloaded or not auto-downloadable.
extern ORCHEL_API std::int32_t giContext;
extern ORCHEL_API PFNREMEDORSERVICECALLBACK g_pfnRemedorServiceCallBack;

// Shared by the service and the plug-ins; the library itself does not use them.
extern ORCHEL_API wchar_t gszLastUpdatedDate[ORCHEL_LAST_UPDATED_CAPACITY];
extern ORCHEL_API wchar_t gszLastUpdatedTime[ORCHEL_LAST_UPDATED_CAPACITY];
extern ORCHEL_API HANDLE g_hUIResponseReceivedEvent;
extern ORCHEL_API std::int32_t giRebootRequired;
extern ORCHEL_API std::int32_t giUIResponseForScheduleJob;

#endif  // ORCHEL_GLOBALS_H
