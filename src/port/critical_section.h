// Scoped entry into a Windows-style critical section.
#ifndef ORCHEL_PORT_CRITICAL_SECTION_H
#define ORCHEL_PORT_CRITICAL_SECTION_H

#include "orchel/wintypes.h"

namespace port {

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~CriticalSectionLock() { LeaveCriticalSection(&section_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& section_;
};

}  // namespace port

#endif  // ORCHEL_PORT_CRITICAL_SECTION_H
