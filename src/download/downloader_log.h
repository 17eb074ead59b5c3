// The HTTP downloader's log lines all belong to its component.
#ifndef ORCHEL_DOWNLOAD_DOWNLOADER_LOG_H
#define ORCHEL_DOWNLOAD_DOWNLOADER_LOG_H

#include "orchel/corvlog.h"

template <typename... Args>
void LogDownloader(unsigned int level, const wchar_t* format, Args... args) {
    gCORVLog->WriteDebugMessages(ORV_LOG_HTTP_DOWNLOADER, level, format, args...);
}

#endif  // ORCHEL_DOWNLOAD_DOWNLOADER_LOG_H
