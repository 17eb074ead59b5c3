#include "orchel/globals.h"

wchar_t gszCurrentProduct[ORCHEL_PRODUCT_NAME_CAPACITY] = L"";
wchar_t gszProductRelease[ORCHEL_PRODUCT_NAME_CAPACITY] = L"";
wchar_t gszDownloadServerName[ORCHEL_SERVER_NAME_CAPACITY] = L"";
DWORD g_DownloadBufSize = 0;
HANDLE g_hDownloadEvent[2] = {nullptr, nullptr};
HANDLE g_hWriteFileCompletedEvent = nullptr;
std::int32_t giContext = -1;
PFNREMEDORSERVICECALLBACK g_pfnRemedorServiceCallBack = nullptr;

wchar_t gszLastUpdatedDate[ORCHEL_LAST_UPDATED_CAPACITY] = L"";
wchar_t gszLastUpdatedTime[ORCHEL_LAST_UPDATED_CAPACITY] = L"";
HANDLE g_hUIResponseReceivedEvent = nullptr;
std::int32_t giRebootRequired = 0;
std::int32_t giUIResponseForScheduleJob = 1;
