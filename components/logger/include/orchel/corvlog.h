// The process-wide logger. Every diagnostic line goes through gCORVLog->WriteDebugMessages with
// a component identifier, a level (0 failures that end a command ... 5 per-packet progress) and
// a wide printf-style format in the Windows convention (%s takes a wide string).
//
// Lines are written, time-stamped and with the component's name, to a file: by default
// "RemedorLog.log" in the service's folder, opened at the first line; the service may name
// another file or none. Sinks attached to the logger receive every record, whatever its level;
// tests capture lines that way. Any thread may log at any time.
#ifndef ORCHEL_CORVLOG_H
#define ORCHEL_CORVLOG_H

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(__GNUC__)
#define ORCHEL_LOG_API __attribute__((visibility("default")))
#else
#define ORCHEL_LOG_API
#endif

// Component identifiers: which part of the library speaks.
enum : unsigned int {
    ORV_LOG_CHECKUPDATE = 6002,
    ORV_LOG_PRODUCT_MANAGER = 6004,
    ORV_LOG_DOWNLOADER = 6040,
    ORV_LOG_EMAIL = 6050,
    ORV_LOG_INSTALL = 6058,
    ORV_LOG_SETTINGS = 7001,
    ORV_LOG_CRYPTOGRAPHY = 7044,
    ORV_LOG_FILE_MANAGER = 7045,
    ORV_LOG_HTTP_DOWNLOADER = 7128,
    ORV_LOG_UNINSTALL = 7144,
};

// Levels, as the call sites use them.
enum : unsigned int {
    ORV_LOG_LEVEL_FATAL = 0,      // a failure that ends a command or a download
    ORV_LOG_LEVEL_FAILURE = 1,    // a failed check or step
    ORV_LOG_LEVEL_WARNING = 2,    // a failure the command goes on after
    ORV_LOG_LEVEL_MILESTONE = 3,  // banners and milestones
    ORV_LOG_LEVEL_DETAIL = 4,     // details and successes
    ORV_LOG_LEVEL_PROGRESS = 5,   // per-packet progress
};

struct LogRecord {
    unsigned int component;
    unsigned int level;
    std::wstring message;
};

class ORCHEL_LOG_API LogSink {
public:
    virtual ~LogSink() = default;
    // Called under the logger's lock, one record at a time.
    virtual void Write(const LogRecord& record) = 0;
};

class ORCHEL_LOG_API CORVLog {
public:
    CORVLog();
    ~CORVLog();
    CORVLog(const CORVLog&) = delete;
    CORVLog& operator=(const CORVLog&) = delete;

    void WriteDebugMessages(unsigned int in_uiComponent, unsigned int in_uiLevel,
                            const wchar_t* in_szFormat, ...);

    // Names the log file (UTF-8 path, appended to); null or "" writes no file. Returns false,
    // writing no file, when it cannot be opened.
    bool SetLogFile(const char* in_szPath);
    // Lines above this level are not written to the file (sinks still receive them). Default 4.
    void SetFileLevel(unsigned int in_uiMaxLevel);

    void AddSink(LogSink* in_pSink);
    void RemoveSink(LogSink* in_pSink);

    // "CHECKUPDATE", "Downloader" ... for the named components, the number for the others.
    static std::wstring ComponentName(unsigned int in_uiComponent);

private:
    void WriteToFile(const LogRecord& record);
    void OpenDefaultFileOnce();

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool fileChosen_ = false;
    unsigned int fileLevel_ = ORV_LOG_LEVEL_DETAIL;
    std::vector<LogSink*> sinks_;
};

// The process-wide logger; it lives as long as the process.
extern ORCHEL_LOG_API CORVLog* gCORVLog;

// Collects every record logged while it exists (attached to gCORVLog from construction to
// destruction), for tests that assert on exact lines and levels.
class ORCHEL_LOG_API CapturingLogSink final : public LogSink {
public:
    CapturingLogSink();
    ~CapturingLogSink() override;
    CapturingLogSink(const CapturingLogSink&) = delete;
    CapturingLogSink& operator=(const CapturingLogSink&) = delete;

    void Write(const LogRecord& record) override;

    std::vector<LogRecord> Records() const;
    std::vector<std::wstring> Messages() const;
    // True when a record with exactly this component, level and message was logged.
    bool Contains(unsigned int component, unsigned int level, const std::wstring& message) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

#endif  // ORCHEL_CORVLOG_H
