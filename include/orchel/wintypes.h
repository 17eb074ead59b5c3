// The few Windows types, constants and calls that Orchel's exported interface is written in.
// These are Orchel's own definitions: on POSIX they stand in for the Windows headers, so the
// service, the plug-ins and the library share one vocabulary on either platform.
#ifndef ORCHEL_WINTYPES_H
#define ORCHEL_WINTYPES_H

#include <pthread.h>

#include <cstdint>

// Marks what leaves the library; everything else is built with hidden visibility.
#if defined(__GNUC__)
#define ORCHEL_API __attribute__((visibility("default")))
#else
#define ORCHEL_API
#endif

typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;  // 32 bits, as on Windows (a Linux unsigned long is 64)
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef void* HANDLE;
typedef void* HINTERNET;
typedef DWORD REGSAM;

typedef struct HKEY__* HKEY;
typedef struct HINSTANCE__* HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_PATH 260

// System error codes used by the stand-ins (numbers as Windows gives them).
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_MORE_DATA 234L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

// Registry: the predefined root, access rights and value types.
#define HKEY_LOCAL_MACHINE ((HKEY)(std::uintptr_t)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_DWORD 4u

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// A Windows critical section: a recursive lock that one thread may enter repeatedly.
// It is usable from load time, so a host that never calls InitializeCriticalSection
// still gets a working lock.
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
#define ORCHEL_CRITICAL_SECTION_INIT \
    { PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP }

extern "C" {
ORCHEL_API void InitializeCriticalSection(CRITICAL_SECTION* lpCriticalSection);
ORCHEL_API void DeleteCriticalSection(CRITICAL_SECTION* lpCriticalSection);
ORCHEL_API void EnterCriticalSection(CRITICAL_SECTION* lpCriticalSection);
ORCHEL_API void LeaveCriticalSection(CRITICAL_SECTION* lpCriticalSection);
}

#endif  // ORCHEL_WINTYPES_H
