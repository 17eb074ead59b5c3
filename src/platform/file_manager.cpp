#include "orchel/file_manager.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "orchel/corvlog.h"
#include "orchel/dates.h"
#include "port/file_system.h"
#include "port/last_error.h"
#include "port/locale.h"
#include "port/text.h"
#include "port/wide_format.h"

namespace {

// Both property forms hand out a path-sized buffer.
constexpr std::size_t kPropertyCapacity = MAX_PATH;
// The long date and time is bounded as a buffer of 80 characters would bound it.
constexpr std::size_t kLongDateTimeCapacity = 80;
// A plain C mode has at most three characters ("a+b"); a longer text is not one.
constexpr std::size_t kMaxModeLength = 3;

// A property buffer, released with free() unless handed to the caller.
struct FreeDeleter {
    void operator()(wchar_t* buffer) const { std::free(buffer); }
};
using PropertyBuffer = std::unique_ptr<wchar_t, FreeDeleter>;

PropertyBuffer AllocatePropertyBuffer() {
    return PropertyBuffer(static_cast<wchar_t*>(std::calloc(kPropertyCapacity, sizeof(wchar_t))));
}

// ---- streams ----

// The narrow form of a caller's mode text. Only ASCII passes; whether it is a mode at all is
// decided where the stream is opened.
std::optional<std::string> NarrowMode(const wchar_t* mode) {
    if (mode == nullptr) {
        return std::nullopt;
    }
    std::string narrow;
    for (; *mode != L'\0'; ++mode) {
        if (narrow.size() == kMaxModeLength || *mode < 0 || *mode > 0x7F) {
            return std::nullopt;
        }
        narrow.push_back(static_cast<char>(*mode));
    }
    return narrow;
}

// Flushes and closes. The C library frees the stream whether or not closing succeeds
// (C11 7.21.5.1), so the caller forgets it either way.
void CloseStream(std::FILE* stream) {
    std::fflush(stream);
    std::fclose(stream);
}

// A count that a 32-bit read takes as it is; anything else would be cut or wrap around.
bool IsThirtyTwoBitCount(std::int64_t count) {
    return count >= 0 && count <= std::numeric_limits<std::uint32_t>::max();
}

DWORD ClampedToDword(std::uint64_t size) {
    return static_cast<DWORD>(std::min<std::uint64_t>(size, std::numeric_limits<DWORD>::max()));
}

// ---- property texts ----

std::optional<std::tm> LocalTimeOf(std::int64_t time) {
    const std::time_t calendarTime = static_cast<std::time_t>(time);
    std::tm local{};
    if (localtime_r(&calendarTime, &local) == nullptr) {
        return std::nullopt;
    }
    return local;
}

// The C runtime's fixed English form, "Wed Jan 02 02:03:55 1980", in local time; the process
// locale has no say in it.
// The runtime's fixed English time text is the library's unique date form: "Wed Jan 02
// 02:03:55 1980".
bool WriteRuntimeTimeText(std::int64_t time, wchar_t* buffer) {
    const std::optional<std::tm> local = LocalTimeOf(time);
    if (!local) {
        return false;
    }
    SYSTEMTIME fields{};
    fields.wYear = static_cast<WORD>(local->tm_year + 1900);
    fields.wMonth = static_cast<WORD>(local->tm_mon + 1);
    fields.wDayOfWeek = static_cast<WORD>(local->tm_wday);
    fields.wDay = static_cast<WORD>(local->tm_mday);
    fields.wHour = static_cast<WORD>(local->tm_hour);
    fields.wMinute = static_cast<WORD>(local->tm_min);
    fields.wSecond = static_cast<WORD>(local->tm_sec);
    GetUniqueDateFormat(fields, buffer);
    return true;
}

// The long date and time of the product's language, in local time.
bool WriteLongDateTimeText(port::LCID locale, std::int64_t time, wchar_t* buffer) {
    const std::optional<std::tm> local = LocalTimeOf(time);
    if (!local) {
        return false;
    }
    port::BoundedCopy(buffer, kLongDateTimeCapacity, port::FormatLongDateTime(locale, *local));
    return true;
}

void WriteSizeText(std::uint64_t size, wchar_t* buffer) {
    port::FormatWide(buffer, kPropertyCapacity, L"%llu", static_cast<unsigned long long>(size));
}

// The locale identifier is the low 16 bits of the product's language identifier.
port::LCID ProductLocale() {
    return static_cast<port::LCID>(GetProductLangID() & 0xFFFF);
}

}  // namespace

// ---- life cycle ----

CFileManager::CFileManager(std::wstring in_wsFileAbsolutePath)
    : m_pFile(nullptr), m_stFileStat{}, m_wsFilePath(std::move(in_wsFileAbsolutePath)) {}

CFileManager::CFileManager(const CFileManager& in_Source)
    : m_pFile(nullptr),
      m_stFileStat(in_Source.m_stFileStat),
      m_wsFilePath(in_Source.m_wsFilePath) {}

CFileManager& CFileManager::operator=(const CFileManager& in_Source) {
    if (this != &in_Source) {
        // The object now names another file: its own stream must not outlive that.
        Close();
        m_stFileStat = in_Source.m_stFileStat;
        m_wsFilePath = in_Source.m_wsFilePath;
    }
    return *this;
}

CFileManager::~CFileManager() {
    Close();
    m_pFile = nullptr;
    m_wsFilePath.clear();
}

void CFileManager::Close() {
    if (m_pFile != nullptr) {
        CloseStream(m_pFile);
        m_pFile = nullptr;
    }
}

// ---- opening ----

int CFileManager::OpenFile(const wchar_t* mode) {
    if (m_pFile == nullptr) {
        if (const std::optional<std::string> narrowMode = NarrowMode(mode)) {
            m_pFile = port::OpenFileStream(m_wsFilePath, narrowMode->c_str());
        }
    }
    return m_pFile == nullptr ? FILE_OPEN_FAILED : FILE_OPENED;
}

int CFileManager::CreateFileW() {
    if (m_pFile != nullptr) {
        return 0;
    }
    m_pFile = port::OpenFileStream(m_wsFilePath, "a+b");
    if (m_pFile == nullptr) {
        gCORVLog->WriteDebugMessages(ORV_LOG_FILE_MANAGER, ORV_LOG_LEVEL_DETAIL,
                                     L"File creation failed");
        return FILE_CREATION_FAILED;
    }
    return FILE_CREATED;
}

int CFileManager::SetMode(std::wstring in_wsMode) {
    const char* streamMode = in_wsMode == L"w" ? "ab" : in_wsMode == L"r" ? "rb" : nullptr;
    if (streamMode == nullptr) {
        return 0;
    }
    // A stream left open from before would be lost, with its descriptor, when the new one
    // takes its place.
    Close();
    m_pFile = port::OpenFileStream(m_wsFilePath, streamMode);
    return m_pFile != nullptr ? 1 : 0;
}

// ---- writing, reading, seeking ----

int CFileManager::WriteToFile(BYTE* in_pBuffer, const DWORD& in_dwBytesToWrite) {
    if (in_pBuffer == nullptr && in_dwBytesToWrite != 0) {
        port::SetLastError(ERROR_INVALID_PARAMETER);
        return FILE_WRITE_FAILED;
    }
    if (m_pFile == nullptr) {
        m_pFile = port::OpenFileStream(m_wsFilePath, "ab");
        if (m_pFile == nullptr) {
            gCORVLog->WriteDebugMessages(ORV_LOG_FILE_MANAGER, ORV_LOG_LEVEL_DETAIL,
                                         L"File open failed");
            return FILE_OPEN_FAILED;
        }
    }
    if (in_dwBytesToWrite == 0) {
        return FILE_WRITE_OK;
    }
    const std::size_t written = std::fwrite(in_pBuffer, 1, in_dwBytesToWrite, m_pFile);
    std::fflush(m_pFile);
    if (std::ferror(m_pFile) || written < in_dwBytesToWrite) {
        port::SetLastErrorFromErrno();
        return FILE_WRITE_FAILED;
    }
    return FILE_WRITE_OK;
}

int CFileManager::ReadFile(BYTE* out_pBuffer, std::int64_t in_SizeToRead,
                           std::int64_t& out_BytesRead) {
    out_BytesRead = 0;
    // A negative count or one beyond 32 bits reads nothing rather than a wrapped-around
    // amount that could run past the caller's buffer.
    if (m_pFile == nullptr || !IsThirtyTwoBitCount(in_SizeToRead) ||
        (out_pBuffer == nullptr && in_SizeToRead != 0)) {
        return FILE_READ_FAILED;
    }
    const auto requested = static_cast<std::size_t>(in_SizeToRead);
    const std::size_t read = std::fread(out_pBuffer, 1, requested, m_pFile);
    out_BytesRead = static_cast<std::int64_t>(read);
    if (std::ferror(m_pFile)) {
        port::SetLastErrorFromErrno();
        return FILE_READ_FAILED;
    }
    if (read < requested) {
        return std::feof(m_pFile) ? FILE_READ_EOF : FILE_READ_FAILED;
    }
    return FILE_READ_OK;
}

int CFileManager::SetFileOffset(const DWORD& in_dwOffsetToSeek) {
    if (m_pFile == nullptr) {
        return -1;
    }
    return std::fseek(m_pFile, static_cast<long>(in_dwOffsetToSeek), SEEK_SET);
}

// ---- deleting and existence ----

int CFileManager::DeleteFile() {
    // Deleting does not need the stream closed here, but forgetting an open one would lose
    // it and its descriptor.
    Close();
    if (port::DeleteFileW(m_wsFilePath.c_str())) {
        return FILE_DELETED;
    }
    gCORVLog->WriteDebugMessages(ORV_LOG_FILE_MANAGER, ORV_LOG_LEVEL_DETAIL,
                                 L"%s :File delete failed: Error Code: %d", m_wsFilePath.c_str(),
                                 static_cast<int>(port::GetLastError()));
    return FILE_DELETE_FAILED;
}

int CFileManager::IsFileAlreadyExists(std::wstring in_wsFilePath) {
    return port::FindFirstMatch(in_wsFilePath) ? FILE_EXISTS : FILE_NOT_EXISTS;
}

int CFileManager::IsFileAlreadyExists(DWORD* out_dwExistingLocalFileSize) {
    const std::optional<std::uint64_t> size = port::FindFirstMatch(m_wsFilePath);
    if (out_dwExistingLocalFileSize != nullptr) {
        // A size beyond 32 bits shows as the largest one rather than wrapping to a small one.
        *out_dwExistingLocalFileSize = size ? ClampedToDword(*size) : 0;
    }
    return size ? FILE_EXISTS : FILE_NOT_EXISTS;
}

// ---- properties ----

wchar_t* CFileManager::GetFileProperty(FILE_PROPERTY_NAME in_File_Property) {
    try {
        std::uint64_t size = 0;
        const std::optional<ORCHEL_FILE_STATUS> status = port::StatFile(m_wsFilePath, &size);
        if (!status) {
            return nullptr;
        }
        m_stFileStat = *status;
        PropertyBuffer buffer = AllocatePropertyBuffer();
        if (buffer == nullptr) {
            return nullptr;
        }
        switch (in_File_Property) {
            case FILE_CREATION_TIME:
                // POSIX keeps no creation time: the status change time stands for it.
                if (!WriteRuntimeTimeText(status->llChangeTime, buffer.get())) {
                    return nullptr;
                }
                break;
            case FILE_MODIFIED_TIME:
                if (!WriteRuntimeTimeText(status->llModifiedTime, buffer.get())) {
                    return nullptr;
                }
                break;
            case FILE_SIZE:
                WriteSizeText(size, buffer.get());
                break;
            default:
                return nullptr;
        }
        return buffer.release();
    } catch (...) {
        return nullptr;
    }
}

wchar_t* CFileManager::GetFileProperty(FILE_PROPERTY_NAME in_File_Property,
                                       wchar_t* in_pszFileAbsolutePath) {
    if (in_pszFileAbsolutePath == nullptr) {
        return nullptr;
    }
    try {
        const port::LCID locale = ProductLocale();
        std::uint64_t size = 0;
        const std::optional<ORCHEL_FILE_STATUS> status =
            port::StatFile(in_pszFileAbsolutePath, &size);
        if (!status) {
            return nullptr;
        }
        PropertyBuffer buffer = AllocatePropertyBuffer();
        if (buffer == nullptr) {
            return nullptr;
        }
        switch (in_File_Property) {
            case FILE_SIZE:
                WriteSizeText(size, buffer.get());
                break;
            case FILE_MODIFIED_TIME:
                if (!WriteLongDateTimeText(locale, status->llModifiedTime, buffer.get())) {
                    return nullptr;
                }
                break;
            case FILE_CREATION_TIME:
                // POSIX keeps no creation time: the status change time stands for it.
                if (!WriteLongDateTimeText(locale, status->llChangeTime, buffer.get())) {
                    return nullptr;
                }
                break;
            default:
                break;  // no such property: the empty text
        }
        return buffer.release();
    } catch (...) {
        return nullptr;
    }
}
