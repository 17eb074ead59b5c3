// The credential store: secrets (the proxy user and password) kept encrypted in the settings
// file ORVSettings.INI of the ORV folder, an outside component of its own as the maker's
// VostakCrypt library is.
//
// A stored value is AES-256-GCM ciphertext bound to its section and key, under a 32-byte key
// file that only its owner (root) may read: the file named by ORCHEL_CREDENTIAL_KEY, else
// /etc/orchel/credentials.key. The command orchel-set-credential stores a value; nothing here
// ever logs a value.
#ifndef ORCHEL_VOSTAKCRYPT_H
#define ORCHEL_VOSTAKCRYPT_H

#include "orchel/wintypes.h"

// Bytes of the caller's buffer for one value: at most 129 characters and the terminator.
inline constexpr int VOSTAKCRYPT_VALUE_CAPACITY = 130;

class ORCHEL_API CVostakCrypt {
public:
    CVostakCrypt();
    ~CVostakCrypt();

    // Decrypts the value of `in_szKey` in section `in_szSection` of ORVSettings.INI in the ORV
    // folder into `out_szValue` (VOSTAKCRYPT_VALUE_CAPACITY bytes, UTF-8, terminated). Section
    // and key match without regard to ASCII case, as in the settings file. TRUE when a stored
    // value was decrypted; FALSE with an empty buffer when an argument is null, or the value is
    // missing, altered, stored under another section or key, longer than 129 bytes (a value is
    // never cut), or the key file is missing, not a regular file of exactly 32 bytes owned by
    // the process's user, or open to group or others. Safe to call from several threads.
    BOOL GetValue(const wchar_t* in_szSection, const wchar_t* in_szKey, char* out_szValue);
};

#endif  // ORCHEL_VOSTAKCRYPT_H
