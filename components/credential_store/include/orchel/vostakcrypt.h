// The credential store: secrets (the proxy user and password) kept encrypted in the settings
// file ORVSettings.INI of the ORV folder, an outside component of its own as the maker's
// VostakCrypt library is.
//
// A stored value is AES-256-GCM ciphertext bound to its section and key, under a 32-byte key
// file that only its owner (root) may read. The command orchel-set-credential stores a value;
// nothing here ever logs a value.
#ifndef ORCHEL_VOSTAKCRYPT_H
#define ORCHEL_VOSTAKCRYPT_H

#include "orchel/wintypes.h"

// Bytes of the caller's buffer for one value: at most 129 characters and the terminator.
inline constexpr int VOSTAKCRYPT_VALUE_CAPACITY = 130;

class ORCHEL_API CVostakCrypt {
public:
    CVostakCrypt();
    ~CVostakCrypt();

    // Decrypts the value of `in_szKey` in section `in_szSection` of ORVSettings.INI into
    // `out_szValue` (VOSTAKCRYPT_VALUE_CAPACITY bytes, UTF-8, terminated). TRUE when a stored
    // value was decrypted; FALSE with an empty buffer when it is missing, altered, stored under
    // another section or key, or the key file is missing or readable by others.
    BOOL GetValue(const wchar_t* in_szSection, const wchar_t* in_szKey, char* out_szValue);
};

#endif  // ORCHEL_VOSTAKCRYPT_H
