// Read-only stand-in for the HKEY_LOCAL_MACHINE registry. The keys and values live in a
// registry file in the text format of .reg exports (UTF-8, or UTF-16LE with a BOM), named by
// the environment variable ORCHEL_REGISTRY (default /etc/orchel/registry.reg). The file is read
// afresh on every open and query, so a changed value takes effect at the next call, as it
// would in the registry.
#ifndef ORCHEL_PORT_REGISTRY_H
#define ORCHEL_PORT_REGISTRY_H

#include "orchel/wintypes.h"

namespace port {

// Opens `subKey` below `root` (HKEY_LOCAL_MACHINE or a key this function opened). A key exists
// when the file names it or one of its sub-keys. Names are compared without regard to ASCII
// case. Returns ERROR_SUCCESS and a handle to close with RegCloseKey, or ERROR_FILE_NOT_FOUND
// (also for a missing or malformed file), or ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER.
LONG RegOpenKeyExW(HKEY root, const wchar_t* subKey, DWORD options, REGSAM desired, HKEY* result);

// Reads a value of an open key ("" or null names the default value "@"). REG_SZ data is the
// wide text with its terminating NUL; REG_DWORD data is 4 bytes. `dataSize` holds the buffer's
// size in bytes and receives the size of the data. A null `data` only asks for the size. A
// buffer too small gives ERROR_MORE_DATA with the needed size and leaves the buffer untouched.
LONG RegQueryValueExW(HKEY key, const wchar_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize);

LONG RegCloseKey(HKEY key);

// A key of HKEY_LOCAL_MACHINE opened for reading and closed on every path out.
class ScopedRegistryKey {
public:
    explicit ScopedRegistryKey(const wchar_t* subKey);
    ~ScopedRegistryKey();
    ScopedRegistryKey(const ScopedRegistryKey&) = delete;
    ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

    bool IsOpen() const { return key_ != nullptr; }

    // Reads a text value into `buffer` of `byteSize` bytes; false when it is missing, is not a
    // text or does not fit. `bytesRead`, when given, receives the size the query reported.
    bool ReadText(const wchar_t* name, wchar_t* buffer, DWORD byteSize,
                  DWORD* bytesRead = nullptr) const;

private:
    HKEY key_ = nullptr;
};

}  // namespace port

#endif  // ORCHEL_PORT_REGISTRY_H
