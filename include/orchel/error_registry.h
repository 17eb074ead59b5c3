// A process-wide store of error codes shared by the service, the plug-ins and the library: the
// last application error, the last library error and the whole history of library errors,
// oldest first. One critical section, g_ErrorHandleCrticalSection, guards all of it; each
// function enters it, does one thing and leaves it. Any thread may call them at any time.
//
// The host initialises the critical section before its first use of the library and deletes it
// after its last; it is usable from load time as well, so a host that forgets cannot corrupt
// the store.
#ifndef ORCHEL_ERROR_REGISTRY_H
#define ORCHEL_ERROR_REGISTRY_H

#include <vector>

#include "orchel/wintypes.h"

extern ORCHEL_API CRITICAL_SECTION g_ErrorHandleCrticalSection;
extern ORCHEL_API DWORD g_dwApplicationLastError;       // last code set through OrvSetLastError
extern ORCHEL_API DWORD g_dwOrchelLastError;            // last code pushed into the history
extern ORCHEL_API std::vector<DWORD> g_vecOrchelError;  // history, oldest first, never trimmed

extern "C" {

// Sets the last application error. The history and the last library error are untouched.
ORCHEL_API void OrvSetLastError(DWORD in_dwLastError);

// Writes the last application error through the pointer (a null pointer is ignored).
ORCHEL_API void OrvGetLastError(DWORD* out_dwLastError);

// Appends the code to the history, then makes it the last library error. Should the history
// be unable to grow for lack of memory, the code still becomes the last library error.
ORCHEL_API void SetLastOrchelError(DWORD in_dwLastError);

// Write the newest (resp. oldest) entry of the history through the pointer. With an empty
// history they write 0, "no error"; a null pointer is ignored.
ORCHEL_API void GetLastOrchelError(DWORD* out_pdwLastError);
ORCHEL_API void GetFirstOrchelError(DWORD* out_pdwLastError);
}

#endif  // ORCHEL_ERROR_REGISTRY_H
