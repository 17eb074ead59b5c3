// CCryptography answers the three questions the commands ask of a downloaded file before they
// trust it: its MD5 checksum, whether its embedded Authenticode signature is valid, and whether
// the signer is the maker (the signer's name begins with "Veltrane" or "Kelm"). Each operation
// returns 1 (yes, success) or 0; nothing throws.
#ifndef ORCHEL_CRYPTOGRAPHY_H
#define ORCHEL_CRYPTOGRAPHY_H

#include "orchel/wintypes.h"

class ORCHEL_API CCryptography {
public:
    CCryptography() = default;
    virtual ~CCryptography();

    // Appends the MD5 of the block as 32 lower-case hexadecimal digits to out_FileCheckSum,
    // which holds at least 50 characters (the whole text stays within 49).
    int GetFileCheckSum(BYTE* in_FileContent, DWORD in_dwFileSize, wchar_t* out_FileCheckSum);

    // 1 when the file's embedded signature is valid and trusted; writes the outcome to the
    // standard output and the log.
    int VerifyEmbeddedSignature(const wchar_t* pwszSourceFile);

    // 1 when the file holds exactly one certificate entry whose signature verifies and whose
    // signer's display name begins with "Veltrane" or "Kelm" (letter case counts).
    int IsCertificateOrganizationNameValid(wchar_t* file);
};

#endif  // ORCHEL_CRYPTOGRAPHY_H
