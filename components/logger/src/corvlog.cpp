#include "orchel/corvlog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <ctime>

#include "port/module.h"
#include "port/text.h"
#include "port/wide_format.h"

// Never destroyed: a thread that logs while the process exits must still find it.
CORVLog* gCORVLog = new CORVLog();

namespace {

constexpr const char* kDefaultLogFileName = "RemedorLog.log";

std::string TimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(milliseconds));
    return text;
}

// Text that is not valid Unicode is logged with U+FFFD in place of the bad characters.
std::string ToUtf8Lossy(const std::wstring& text) {
    std::string utf8;
    if (port::WideToUtf8(text, utf8)) {
        return utf8;
    }
    std::wstring cleaned = text;
    std::replace_if(
        cleaned.begin(), cleaned.end(),
        [](wchar_t c) {
            const auto value = static_cast<char32_t>(c);
            return value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF);
        },
        L'\uFFFD');
    port::WideToUtf8(cleaned, utf8);
    return utf8;
}

std::string DefaultLogFilePath() {
    wchar_t modulePath[4096];
    const DWORD length = port::GetModuleFileNameW(nullptr, modulePath, 4096);
    std::string path;
    if (length == 0 || length >= 4096 ||
        !port::WideToUtf8(std::wstring_view(modulePath, length), path)) {
        return {};
    }
    return path.substr(0, path.find_last_of('/') + 1) + kDefaultLogFileName;
}

}  // namespace

CORVLog::CORVLog() = default;

CORVLog::~CORVLog() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void CORVLog::WriteDebugMessages(unsigned int in_uiComponent, unsigned int in_uiLevel,
                                 const wchar_t* in_szFormat, ...) {
    try {
        va_list args;
        va_start(args, in_szFormat);
        LogRecord record{in_uiComponent, in_uiLevel, port::FormatWideStringV(in_szFormat, args)};
        va_end(args);

        std::lock_guard<std::mutex> lock(mutex_);
        for (LogSink* sink : sinks_) {
            sink->Write(record);
        }
        WriteToFile(record);
    } catch (...) {
        // Logging never fails its caller.
    }
}

void CORVLog::WriteToFile(const LogRecord& record) {
    if (record.level > fileLevel_) {
        return;
    }
    OpenDefaultFileOnce();
    if (file_ == nullptr) {
        return;
    }
    const std::string line = TimeStamp() + " [" + std::to_string(syscall(SYS_gettid)) + "] " +
                             ToUtf8Lossy(ComponentName(record.component)) + " " +
                             std::to_string(record.level) + " " + ToUtf8Lossy(record.message) +
                             "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

void CORVLog::OpenDefaultFileOnce() {
    if (fileChosen_) {
        return;
    }
    fileChosen_ = true;
    const std::string path = DefaultLogFilePath();
    file_ = path.empty() ? nullptr : std::fopen(path.c_str(), "ae");
}

bool CORVLog::SetLogFile(const char* in_szPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    fileChosen_ = true;
    if (in_szPath == nullptr || *in_szPath == '\0') {
        return true;
    }
    file_ = std::fopen(in_szPath, "ae");
    return file_ != nullptr;
}

void CORVLog::SetFileLevel(unsigned int in_uiMaxLevel) {
    std::lock_guard<std::mutex> lock(mutex_);
    fileLevel_ = in_uiMaxLevel;
}

void CORVLog::AddSink(LogSink* in_pSink) {
    if (in_pSink == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sinks_.push_back(in_pSink);
}

void CORVLog::RemoveSink(LogSink* in_pSink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), in_pSink), sinks_.end());
}

std::wstring CORVLog::ComponentName(unsigned int in_uiComponent) {
    switch (in_uiComponent) {
        case ORV_LOG_CHECKUPDATE:
            return L"CHECKUPDATE";
        case ORV_LOG_PRODUCT_MANAGER:
            return L"PRODUCT_MANAGER";
        case ORV_LOG_DOWNLOADER:
            return L"Downloader";
        case ORV_LOG_EMAIL:
            return L"EMAIL";
        case ORV_LOG_INSTALL:
            return L"INSTALL";
        default:
            return std::to_wstring(in_uiComponent);
    }
}

CapturingLogSink::CapturingLogSink() {
    gCORVLog->AddSink(this);
}

CapturingLogSink::~CapturingLogSink() {
    gCORVLog->RemoveSink(this);
}

void CapturingLogSink::Write(const LogRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
}

std::vector<LogRecord> CapturingLogSink::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<std::wstring> CapturingLogSink::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::wstring> messages;
    for (const LogRecord& record : records_) {
        messages.push_back(record.message);
    }
    return messages;
}

bool CapturingLogSink::Contains(unsigned int component, unsigned int level,
                                const std::wstring& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(records_.begin(), records_.end(), [&](const LogRecord& record) {
        return record.component == component && record.level == level && record.message == message;
    });
}

void CapturingLogSink::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}
