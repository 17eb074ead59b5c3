#include "port/last_error.h"

namespace port {
namespace {
thread_local DWORD threadLastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return threadLastError;
}

void SetLastError(DWORD error) {
    threadLastError = error;
}

}  // namespace port
