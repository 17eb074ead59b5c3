#include "orchel/error_registry.h"

#include <new>

#include "port/critical_section.h"

CRITICAL_SECTION g_ErrorHandleCrticalSection = ORCHEL_CRITICAL_SECTION_INIT;
DWORD g_dwApplicationLastError = 0;
DWORD g_dwOrchelLastError = 0;
std::vector<DWORD> g_vecOrchelError;

namespace {

using Lock = port::CriticalSectionLock;

void WriteIfPresent(DWORD* destination, DWORD value) {
    if (destination != nullptr) {
        *destination = value;
    }
}

}  // namespace

extern "C" {

void OrvSetLastError(DWORD in_dwLastError) {
    Lock lock(g_ErrorHandleCrticalSection);
    g_dwApplicationLastError = in_dwLastError;
}

void OrvGetLastError(DWORD* out_dwLastError) {
    Lock lock(g_ErrorHandleCrticalSection);
    WriteIfPresent(out_dwLastError, g_dwApplicationLastError);
}

void SetLastOrchelError(DWORD in_dwLastError) {
    Lock lock(g_ErrorHandleCrticalSection);
    try {
        g_vecOrchelError.push_back(in_dwLastError);
    } catch (const std::bad_alloc&) {
        // The history keeps what it has; the newest code is still known as the last error.
    }
    g_dwOrchelLastError = in_dwLastError;
}

void GetLastOrchelError(DWORD* out_pdwLastError) {
    Lock lock(g_ErrorHandleCrticalSection);
    WriteIfPresent(out_pdwLastError, g_vecOrchelError.empty() ? 0 : g_vecOrchelError.back());
}

void GetFirstOrchelError(DWORD* out_pdwLastError) {
    Lock lock(g_ErrorHandleCrticalSection);
    WriteIfPresent(out_pdwLastError, g_vecOrchelError.empty() ? 0 : g_vecOrchelError.front());
}

}  // extern "C"
