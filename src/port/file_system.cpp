#include "port/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "port/last_error.h"
#include "port/path.h"
#include "port/text.h"

namespace port {
namespace {

// ---- errors ----

bool ParentFolderExists(const std::string& path) {
    try {
        const std::size_t separator = path.find_last_of('/');
        const std::string parent = separator == std::string::npos ? std::string(".")
                                   : separator == 0               ? std::string("/")
                                                                  : path.substr(0, separator);
        struct stat status {};
        return ::stat(parent.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    } catch (...) {
        return true;
    }
}

// Windows tells a missing file in an existing folder (ERROR_FILE_NOT_FOUND) from a missing
// folder on the way (ERROR_PATH_NOT_FOUND).
DWORD SystemErrorOfMissing(const std::string& path) {
    return ParentFolderExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD SystemErrorOf(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// The error of a failed call on `path`, with a missing entry told apart by its folder.
void SetLastErrorOfPath(int error, const std::string& path) {
    SetLastError(error == ENOENT ? SystemErrorOfMissing(path) : SystemErrorOf(error));
}

// ---- stream modes ----

// 'r', 'w' or 'a', then at most one '+' and one 'b' in either order (C11 7.21.5.3 without
// the exclusive 'x').
bool IsPlainStreamMode(std::string_view mode) {
    if (mode.empty() || mode.size() > 3 || std::string_view("rwa").find(mode[0]) == mode.npos) {
        return false;
    }
    const std::string_view modifiers = mode.substr(1);
    const auto plus = std::count(modifiers.begin(), modifiers.end(), '+');
    const auto binary = std::count(modifiers.begin(), modifiers.end(), 'b');
    return plus <= 1 && binary <= 1 && static_cast<std::size_t>(plus + binary) == modifiers.size();
}

bool IsFolder(std::FILE* stream) {
    struct stat status {};
    return ::fstat(::fileno(stream), &status) == 0 && S_ISDIR(status.st_mode);
}

// ---- folders ----

// ERROR_SUCCESS when made, ERROR_ALREADY_EXISTS when a folder is there, else the error.
int MakeOneFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0755) == 0) {
        return ERROR_SUCCESS;
    }
    if (errno != EEXIST) {
        SetLastErrorOfPath(errno, folder);
        return static_cast<int>(GetLastError());
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return ERROR_FILE_EXISTS;
    }
    return ERROR_ALREADY_EXISTS;
}

// ---- wildcard search ----

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The path split at its last separator: the folder to search and the name pattern.
struct SearchPath {
    std::string folder;
    std::wstring pattern;
};

std::optional<SearchPath> SplitSearchPath(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(kPathSeparator);
    std::wstring folder = separator == std::wstring::npos ? std::wstring(L".")
                          : separator == 0                ? std::wstring(kPathSeparatorText)
                                                          : path.substr(0, separator);
    std::optional<std::string> narrowFolder = NarrowPath(folder);
    if (!narrowFolder) {
        return std::nullopt;
    }
    return SearchPath{std::move(*narrowFolder),
                      separator == std::wstring::npos ? path : path.substr(separator + 1)};
}

bool HasWildcard(std::wstring_view pattern) {
    return pattern.find_first_of(L"*?") != std::wstring_view::npos;
}

// '*' matches any run of characters (also none), '?' exactly one, anything else itself.
// Greedy with one resumption point: on a mismatch the last '*' takes one character more, so
// the work stays bounded by name length times pattern length.
bool MatchesPattern(std::wstring_view name, std::wstring_view pattern) {
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t starInPattern = std::wstring_view::npos;
    std::size_t starInName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starInPattern = p++;
            starInName = n;
        } else if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (starInPattern != std::wstring_view::npos) {
            p = starInPattern + 1;
            n = ++starInName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

// The size a directory search reports for an entry: a folder has none. A symbolic link is
// followed to its target; a dangling one is still an entry, of the link's own size.
std::optional<std::uint64_t> EntrySize(int folder, const char* name) {
    struct stat status {};
    if (::fstatat(folder, name, &status, 0) != 0 &&
        ::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return S_ISDIR(status.st_mode) ? 0 : static_cast<std::uint64_t>(status.st_size);
}

// The names of the folder that match the pattern, in code point order. Names that are not
// valid UTF-8 have no wide form and cannot be matched.
std::vector<std::string> MatchingNames(DIR* folder, std::wstring_view pattern) {
    std::vector<std::pair<std::wstring, std::string>> matches;
    std::wstring wideName;
    while (const dirent* entry = ::readdir(folder)) {
        if (Utf8ToWide(entry->d_name, wideName) && MatchesPattern(wideName, pattern)) {
            matches.emplace_back(wideName, entry->d_name);
        }
    }
    std::sort(matches.begin(), matches.end());
    std::vector<std::string> names;
    for (auto& match : matches) {
        names.push_back(std::move(match.second));
    }
    return names;
}

std::optional<std::uint64_t> FindByScan(const SearchPath& search) {
    const Directory folder(::opendir(search.folder.c_str()));
    if (folder == nullptr) {
        return std::nullopt;
    }
    for (const std::string& name : MatchingNames(folder.get(), search.pattern)) {
        // An entry removed since the scan read it is passed over.
        if (auto size = EntrySize(::dirfd(folder.get()), name.c_str())) {
            return size;
        }
    }
    return std::nullopt;
}

// A name without wildcards is looked up directly: the same answer as a scan, without reading
// the whole folder, and without needing the right to list it.
std::optional<std::uint64_t> FindByName(const SearchPath& search) {
    const std::optional<std::string> name = NarrowPath(search.pattern);
    if (!name) {
        return std::nullopt;
    }
    return EntrySize(AT_FDCWD, (search.folder + '/' + *name).c_str());
}

std::int32_t ClampedSize(off_t size) {
    return static_cast<std::int32_t>(
        std::min<off_t>(size, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::optional<std::string> NarrowPath(const std::wstring& path) {
    std::string narrow;
    try {
        if (path.find(L'\0') != std::wstring::npos || !WideToUtf8(path, narrow)) {
            return std::nullopt;
        }
    } catch (...) {
        return std::nullopt;
    }
    return narrow;
}

std::FILE* OpenFileStream(const std::wstring& path, const char* mode) {
    if (mode == nullptr || !IsPlainStreamMode(mode)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::optional<std::string> narrowPath = NarrowPath(path);
    if (!narrowPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char closeOnExecMode[8] = {};
    std::snprintf(closeOnExecMode, sizeof closeOnExecMode, "%se", mode);
    std::FILE* stream = std::fopen(narrowPath->c_str(), closeOnExecMode);
    if (stream == nullptr) {
        SetLastErrorOfPath(errno, *narrowPath);
        return nullptr;
    }
    if (IsFolder(stream)) {
        std::fclose(stream);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return stream;
}

std::optional<std::uint64_t> FindFirstMatch(const std::wstring& pattern) {
    try {
        const std::optional<SearchPath> search = SplitSearchPath(pattern);
        // A trailing separator leaves no name to look for: Windows finds nothing either.
        if (!search || search->pattern.empty()) {
            return std::nullopt;
        }
        return HasWildcard(search->pattern) ? FindByScan(*search) : FindByName(*search);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<ORCHEL_FILE_STATUS> StatFile(const std::wstring& path, std::uint64_t* fullSize) {
    const std::optional<std::string> narrowPath = NarrowPath(path);
    struct stat status {};
    if (!narrowPath || ::stat(narrowPath->c_str(), &status) != 0) {
        return std::nullopt;
    }
    if (fullSize != nullptr) {
        *fullSize = static_cast<std::uint64_t>(status.st_size);
    }
    return ORCHEL_FILE_STATUS{
        .uMode = status.st_mode,
        .iSize = ClampedSize(status.st_size),
        .llAccessTime = status.st_atime,
        .llModifiedTime = status.st_mtime,
        .llChangeTime = status.st_ctime,
    };
}

BOOL DeleteFileW(const wchar_t* path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::optional<std::string> narrowPath;
    try {
        narrowPath = NarrowPath(path);
    } catch (...) {
    }
    if (!narrowPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::unlink(narrowPath->c_str()) != 0) {
        SetLastErrorOfPath(errno, *narrowPath);
        return FALSE;
    }
    return TRUE;
}

void SetLastErrorFromErrno() {
    SetLastError(SystemErrorOf(errno));
}

int SHCreateDirectoryExW(void*, const wchar_t* path, const void*) {
    const auto fail = [](int error) {
        SetLastError(static_cast<DWORD>(error));
        return error;
    };
    if (path == nullptr || *path == L'\0') {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (BoundedLength(path, MAX_PATH) >= MAX_PATH) {
        return fail(ERROR_FILENAME_EXCED_RANGE);
    }
    std::optional<std::string> narrowPath;
    try {
        narrowPath = NarrowPath(path);
    } catch (...) {
    }
    if (!narrowPath) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // Each folder from the top down; only the last one's existence is reported.
    const char separator = static_cast<char>(kPathSeparator);
    std::string full = *narrowPath;
    while (full.size() > 1 && full.back() == separator) {
        full.pop_back();
    }
    int result = ERROR_SUCCESS;
    std::size_t end = 0;
    do {
        end = full.find(separator, end + 1);
        result = MakeOneFolder(full.substr(0, end));
        if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) {
            return fail(result);
        }
    } while (end != std::string::npos);
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : fail(result);
}

}  // namespace port
