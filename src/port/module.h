// Stand-ins for the module calls: the library runs inside the service process, so the
// process's own module is the service "RemedorService.exe". Its folder (the ORV folder) is the
// folder of /proc/self/exe, or the folder named by the environment variable ORCHEL_ORV_DIR
// when set (the service's --orv-dir, and every test, use it).
#ifndef ORCHEL_PORT_MODULE_H
#define ORCHEL_PORT_MODULE_H

#include "orchel/wintypes.h"

namespace port {

inline constexpr const wchar_t* kServiceModuleName = L"RemedorService.exe";
inline constexpr const char* kOrvFolderVariable = "ORCHEL_ORV_DIR";

// The handle of an already loaded module: null or "RemedorService.exe" (any letter case) name
// the process's module; any other name gives null with ERROR_MOD_NOT_FOUND. Nothing is loaded.
HMODULE GetModuleHandleW(const wchar_t* moduleName);

// Writes the full path of the module's file. Returns the length stored; a buffer too small
// receives the path cut to size-1 characters and the result is `size` with
// ERROR_INSUFFICIENT_BUFFER; 0 on failure (unknown module, path not available) with the
// thread's last error set.
DWORD GetModuleFileNameW(HMODULE module, wchar_t* fileName, DWORD size);

}  // namespace port

#endif  // ORCHEL_PORT_MODULE_H
