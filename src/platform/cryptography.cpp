#include "orchel/cryptography.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "orchel/corvlog.h"
#include "port/authenticode.h"
#include "port/crypt_hash.h"
#include "port/file_system.h"
#include "port/last_error.h"
#include "port/text.h"
#include "port/wide_format.h"

namespace {

constexpr std::size_t kCheckSumCapacity = 50;
constexpr const wchar_t* kAcceptedSignerPrefixes[] = {L"Veltrane", L"Kelm"};

void Log(unsigned int level, const std::wstring& message) {
    gCORVLog->WriteDebugMessages(ORV_LOG_CRYPTOGRAPHY, level, L"%s", message.c_str());
}

// One line on the process's standard output, as the verification reports its outcome there.
void PrintLine(const std::wstring& line) {
    std::string text;
    if (!port::WideToUtf8(line, text)) {
        text.push_back('?');  // the conversion left it empty
    }
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::wstring Format(const wchar_t* format, const wchar_t* path) {
    return port::FormatWideString(format, path);
}

// The provider context and hash object of one checksum, released on every path out.
class Md5Hash {
public:
    Md5Hash() = default;
    ~Md5Hash() {
        if (hash_ != 0) {
            port::CryptDestroyHash(hash_);
        }
        if (provider_ != 0) {
            port::CryptReleaseContext(provider_, 0);
        }
    }
    Md5Hash(const Md5Hash&) = delete;
    Md5Hash& operator=(const Md5Hash&) = delete;

    port::HCRYPTPROV& Provider() { return provider_; }
    port::HCRYPTHASH& Hash() { return hash_; }

private:
    port::HCRYPTPROV provider_ = 0;
    port::HCRYPTHASH hash_ = 0;
};

bool IsAcceptedSigner(std::wstring_view name) {
    for (const wchar_t* accepted : kAcceptedSignerPrefixes) {
        if (name.starts_with(accepted)) {
            return true;
        }
    }
    return false;
}

bool IsNotSignedReason(DWORD lastError) {
    return static_cast<LONG>(lastError) == port::TRUST_E_NOSIGNATURE ||
           static_cast<LONG>(lastError) == port::TRUST_E_SUBJECT_FORM_UNKNOWN ||
           static_cast<LONG>(lastError) == port::TRUST_E_PROVIDER_UNKNOWN;
}

// Reports a verification result on the standard output and in the log; 1 only for success.
int ReportTrustResult(LONG status, DWORD lastError, const wchar_t* path) {
    using namespace port;
    switch (status) {
        case kTrustSuccess:
            PrintLine(Format(L"The file \"%s\" is signed and the signature was verified.", path));
            Log(ORV_LOG_LEVEL_MILESTONE,
                Format(L"The file %s is signed and the signature was verified.", path));
            return 1;
        case TRUST_E_NOSIGNATURE:
            if (IsNotSignedReason(lastError)) {
                PrintLine(Format(L"The file \"%s\" is not signed.", path));
                Log(ORV_LOG_LEVEL_FAILURE, Format(L"The file %s is not signed", path));
            } else {
                PrintLine(
                    Format(L"An unknown error occurred trying to verify the signature of "
                           L"the \"%s\" file.",
                           path));
                Log(ORV_LOG_LEVEL_FAILURE, Format(L"An unknown error occurred trying to verify "
                                                  L"the signature of the \"%s\" file",
                                                  path));
            }
            return 0;
        case TRUST_E_SUBJECT_NOT_TRUSTED:
            PrintLine(L"The signature is present, but not trusted.");
            Log(ORV_LOG_LEVEL_FAILURE,
                Format(L"The signature is present for file %s but not trusted.", path));
            return 0;
        case CRYPT_E_SECURITY_SETTINGS:
            PrintLine(
                L"CRYPT_E_SECURITY_SETTINGS - The hash representing the subject or the "
                L"publisher wasn't explicitly trusted by the admin and admin policy has "
                L"disabled user trust. No signature, publisher or timestamp errors.");
            Log(ORV_LOG_LEVEL_DETAIL,
                L"CRYPT_E_SECURITY_SETTINGS - The hash  representing the subject or the "
                L"publisher wasn't explicitly trusted by the admin and admin policy has "
                L"disabled user trust. No signature, publisher or timestamp errors.");
            return 0;
        case CERT_E_EXPIRED:
            Log(ORV_LOG_LEVEL_FAILURE,
                L"A required certificate is not within its validity period when verifying "
                L"against the current system clock or the timestamp in the signed file.");
            Log(ORV_LOG_LEVEL_FAILURE, L"Please contact Kelm Technical support");
            return 0;
        case TRUST_E_EXPLICIT_DISTRUST:
            PrintLine(L"The signature is present, but specifically disallowed.");
            Log(ORV_LOG_LEVEL_FAILURE,
                Format(L"The signature is present for file %s, but specifically disallowed.",
                       path));
            return 0;
        default:
            PrintLine(port::FormatWideString(L"Error is: 0x%x.", static_cast<DWORD>(status)));
            Log(ORV_LOG_LEVEL_FAILURE,
                L"FAILED: Digital signature validation failed. Please contact Kelm Technical "
                L"support.");
            Log(ORV_LOG_LEVEL_FAILURE,
                port::FormatWideString(L"FAILED: Error is: 0x%x.", static_cast<DWORD>(status)));
            return 0;
    }
}

}  // namespace

CCryptography::~CCryptography() = default;

int CCryptography::GetFileCheckSum(BYTE* in_FileContent, DWORD in_dwFileSize,
                                   wchar_t* out_FileCheckSum) {
    // 1. Announce.
    Log(ORV_LOG_LEVEL_DETAIL, L"Getting File Checksum ...");
    if (out_FileCheckSum == nullptr || (in_FileContent == nullptr && in_dwFileSize != 0)) {
        return 0;
    }
    Md5Hash md5;
    // 2. Provider context.
    if (!port::CryptAcquireContextW(&md5.Provider(), nullptr, nullptr, port::PROV_RSA_FULL,
                                    port::CRYPT_VERIFYCONTEXT | port::CRYPT_MACHINE_KEYSET)) {
        Log(ORV_LOG_LEVEL_DETAIL, L"Error acquiring context");
        return 0;
    }
    // 3. MD5 hash object.
    if (!port::CryptCreateHash(md5.Provider(), port::CALG_MD5, 0, 0, &md5.Hash())) {
        Log(ORV_LOG_LEVEL_DETAIL, L"Error creating hash");
        return 0;
    }
    // 4. The whole block.
    if (!port::CryptHashData(md5.Hash(), in_FileContent, in_dwFileSize, 0)) {
        Log(ORV_LOG_LEVEL_DETAIL, L"Error hashing data");
        return 0;
    }
    // 5. The digest.
    BYTE digest[port::kMd5DigestLength];
    DWORD digestLength = sizeof digest;
    if (!port::CryptGetHashParam(md5.Hash(), port::HP_HASHVAL, digest, &digestLength, 0)) {
        Log(ORV_LOG_LEVEL_DETAIL, L"Error getting hash param");
        return 0;
    }
    // 6. Two lower-case hexadecimal digits per byte, appended within 50 characters.
    for (DWORD index = 0; index < digestLength; ++index) {
        wchar_t digits[3];
        port::FormatWide(digits, 3, L"%02x", static_cast<unsigned int>(digest[index]));
        port::BoundedAppend(out_FileCheckSum, kCheckSumCapacity, digits);
    }
    return 1;
}

int CCryptography::VerifyEmbeddedSignature(const wchar_t* pwszSourceFile) {
    // 1. Announce.
    Log(ORV_LOG_LEVEL_DETAIL, L"Verifying Embedded Signature ...");
    const wchar_t* path = pwszSourceFile != nullptr ? pwszSourceFile : L"";
    // 2-3. Generic verification: no revocation check, no user interface.
    port::SetLastError(ERROR_SUCCESS);
    const LONG status = port::WinVerifyTrustFile(path);
    const DWORD lastError = port::GetLastError();
    // 4. Act on the result.
    return ReportTrustResult(status, lastError, path);
}

int CCryptography::IsCertificateOrganizationNameValid(wchar_t* file) {
    // 1. Announce; the file must exist.
    Log(ORV_LOG_LEVEL_DETAIL, L"Verifying Certificate Organisation ...");
    if (file == nullptr || !port::StatFile(file)) {
        return 0;
    }
    // 2-4. Exactly one certificate entry.
    if (port::ImageCertificateCount(file) != 1) {
        return 0;
    }
    // 5-6. Its signature verifies; the signer's simple display name.
    const std::optional<std::wstring> signer = port::SignerSimpleDisplayName(file);
    // 7. The maker's names, at the start, letter case counting.
    return signer && IsAcceptedSigner(*signer) ? 1 : 0;
}
