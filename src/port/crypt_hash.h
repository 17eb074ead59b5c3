// Stand-in for the CryptoAPI hashing calls, on OpenSSL's EVP digests. Only MD5 is offered,
// the one algorithm the library asks for.
#ifndef ORCHEL_PORT_CRYPT_HASH_H
#define ORCHEL_PORT_CRYPT_HASH_H

#include <cstdint>

#include "orchel/wintypes.h"

namespace port {

typedef std::uintptr_t HCRYPTPROV;
typedef std::uintptr_t HCRYPTHASH;
typedef std::uintptr_t HCRYPTKEY;
typedef unsigned int ALG_ID;

inline constexpr DWORD PROV_RSA_FULL = 1;
inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
inline constexpr ALG_ID CALG_MD5 = 0x00008003;
inline constexpr DWORD HP_HASHVAL = 0x0002;
inline constexpr DWORD kMd5DigestLength = 16;

// A provider context (no key container is ever used). FALSE when it cannot be made.
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, const wchar_t* szContainer, const wchar_t* szProvider,
                          DWORD dwProvType, DWORD dwFlags);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

// A hash object of the provider; FALSE for any algorithm but CALG_MD5, or with a key.
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash);
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
// HP_HASHVAL: the digest into pbData; *pdwDataLen holds the buffer size and receives the
// digest size (FALSE with ERROR_MORE_DATA when the buffer is too small).
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
BOOL CryptDestroyHash(HCRYPTHASH hHash);

}  // namespace port

#endif  // ORCHEL_PORT_CRYPT_HASH_H
