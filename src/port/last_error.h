// The calling thread's last error, as Windows keeps it for each thread.
#ifndef ORCHEL_PORT_LAST_ERROR_H
#define ORCHEL_PORT_LAST_ERROR_H

#include "orchel/wintypes.h"

namespace port {

DWORD GetLastError();
void SetLastError(DWORD error);

}  // namespace port

#endif  // ORCHEL_PORT_LAST_ERROR_H
