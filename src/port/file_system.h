// File-system stand-ins: wide paths become UTF-8 paths; the Windows directory search with
// wildcards; status queries; deletion with the thread's last error set.
#ifndef ORCHEL_PORT_FILE_SYSTEM_H
#define ORCHEL_PORT_FILE_SYSTEM_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "orchel/file_manager.h"
#include "orchel/wintypes.h"

// System error codes of file calls beyond those of wintypes.h (numbers as Windows gives them).
#ifndef ERROR_PATH_NOT_FOUND
#define ERROR_PATH_NOT_FOUND 3L
#endif
#ifndef ERROR_FILE_EXISTS
#define ERROR_FILE_EXISTS 80L
#endif
#ifndef ERROR_ALREADY_EXISTS
#define ERROR_ALREADY_EXISTS 183L
#endif
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31L
#endif
#ifndef ERROR_SHARING_VIOLATION
#define ERROR_SHARING_VIOLATION 32L
#endif
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL 112L
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
#define ERROR_FILENAME_EXCED_RANGE 206L
#endif
#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223L
#endif

namespace port {

// The UTF-8 path of a wide path; nothing when the path is not valid Unicode or holds a NUL
// (which would silently name a shorter path).
std::optional<std::string> NarrowPath(const std::wstring& path);

// Opens a stream with a plain C mode: 'r', 'w' or 'a', then at most one '+' and one 'b' in
// either order ("rb", "ab", "a+b", "rb+" ...). Any other mode text is refused, so no glibc
// extension ("x", "m", ",ccs=") is ever reached through it. Streams are opened close-on-exec,
// and a folder is refused as the Windows runtime refuses it. Null on failure, with the
// thread's last error set.
std::FILE* OpenFileStream(const std::wstring& path, const char* mode);

// The first directory entry that the path matches, searched as Windows does: '*' and '?' in
// the last component are wildcards ('*' any run, '?' any one character), everything else is
// literal; folders count. Of several matches, the one whose name sorts first (by code point)
// is taken. Returns the entry's size (0 for a folder), or nothing when no entry matches,
// when the path ends with a separator or when its parent folder cannot be read.
std::optional<std::uint64_t> FindFirstMatch(const std::wstring& pattern);

// The status of a path (follows symbolic links); nothing on failure. The 32-bit size field
// holds at most INT32_MAX; `fullSize`, when given, receives the size without that bound.
std::optional<ORCHEL_FILE_STATUS> StatFile(const std::wstring& path,
                                           std::uint64_t* fullSize = nullptr);

// Deletes a file (not a folder). On failure returns FALSE with the thread's last error set
// (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED ...).
BOOL DeleteFileW(const wchar_t* path);

// Creates a folder and every missing folder above it (mode 0755 before the umask). Returns
// ERROR_SUCCESS, or the error it also sets as the thread's last error: ERROR_ALREADY_EXISTS
// when the folder is already there, ERROR_FILE_EXISTS when something that is no folder is in
// the way, ERROR_FILENAME_EXCED_RANGE for a path of MAX_PATH characters or more, or the system
// error of the failed creation. hwnd and securityAttributes are not used.
int SHCreateDirectoryExW(void* hwnd, const wchar_t* path, const void* securityAttributes);

// Sets the thread's last error from the C library's errno after a failed stream call, as the
// Windows runtime leaves the system error of the file call that failed underneath it.
void SetLastErrorFromErrno();

}  // namespace port

#endif  // ORCHEL_PORT_FILE_SYSTEM_H
