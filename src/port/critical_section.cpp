#include "orchel/wintypes.h"

// A Windows critical section is recursive: the thread that holds it may enter it again.
extern "C" {

void InitializeCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
    if (lpCriticalSection == nullptr) {
        return;
    }
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void DeleteCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
    if (lpCriticalSection == nullptr) {
        return;
    }
    pthread_mutex_destroy(&lpCriticalSection->mutex);
    // Left usable, as at load time: a late caller must not meet a destroyed lock.
    *lpCriticalSection = CRITICAL_SECTION ORCHEL_CRITICAL_SECTION_INIT;
}

void EnterCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
    if (lpCriticalSection != nullptr) {
        pthread_mutex_lock(&lpCriticalSection->mutex);
    }
}

void LeaveCriticalSection(CRITICAL_SECTION* lpCriticalSection) {
    if (lpCriticalSection != nullptr) {
        pthread_mutex_unlock(&lpCriticalSection->mutex);
    }
}

}  // extern "C"
