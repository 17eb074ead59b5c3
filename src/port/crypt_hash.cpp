#include "port/crypt_hash.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>

#include "port/last_error.h"

namespace port {
namespace {

// A provider holds nothing: the digests live in their hash objects.
struct Provider {};

struct Hash {
    EVP_MD_CTX* context = nullptr;
    bool finished = false;
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int digestLength = 0;
};

Hash* HashOf(HCRYPTHASH handle) {
    return reinterpret_cast<Hash*>(handle);
}

}  // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, const wchar_t*, const wchar_t*, DWORD dwProvType,
                          DWORD) {
    if (phProv == nullptr || dwProvType != PROV_RSA_FULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* provider = new (std::nothrow) Provider();
    if (provider == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *phProv = reinterpret_cast<HCRYPTPROV>(provider);
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD) {
    if (hProv == 0) {
        return FALSE;
    }
    delete reinterpret_cast<Provider*>(hProv);
    return TRUE;
}

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD, HCRYPTHASH* phHash) {
    if (hProv == 0 || phHash == nullptr || Algid != CALG_MD5 || hKey != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* hash = new (std::nothrow) Hash();
    if (hash == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    hash->context = EVP_MD_CTX_new();
    if (hash->context == nullptr || EVP_DigestInit_ex(hash->context, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(hash->context);
        delete hash;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *phHash = reinterpret_cast<HCRYPTHASH>(hash);
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD) {
    Hash* hash = HashOf(hHash);
    if (hash == nullptr || hash->finished || (pbData == nullptr && dwDataLen != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return dwDataLen == 0 || EVP_DigestUpdate(hash->context, pbData, dwDataLen) == 1;
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD) {
    Hash* hash = HashOf(hHash);
    if (hash == nullptr || dwParam != HP_HASHVAL || pdwDataLen == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The digest is final once read, as a Windows hash object is.
    if (!hash->finished) {
        if (EVP_DigestFinal_ex(hash->context, hash->digest, &hash->digestLength) != 1) {
            return FALSE;
        }
        hash->finished = true;
    }
    if (pbData == nullptr || *pdwDataLen < hash->digestLength) {
        *pdwDataLen = hash->digestLength;
        if (pbData != nullptr) {
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        return TRUE;
    }
    std::copy(hash->digest, hash->digest + hash->digestLength, pbData);
    *pdwDataLen = hash->digestLength;
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
    Hash* hash = HashOf(hHash);
    if (hash == nullptr) {
        return FALSE;
    }
    EVP_MD_CTX_free(hash->context);
    delete hash;
    return TRUE;
}

}  // namespace port
