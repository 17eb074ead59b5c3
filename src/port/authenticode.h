// Stand-in for WinVerifyTrust (generic verify action, no revocation, no user interface) and
// for the image-certificate, message-signature and certificate-name calls: an Authenticode
// verifier for PE images, built on OpenSSL.
//
// What is checked, in order (Authenticode PE signature format):
//   1. the file is a PE image (headers only are read);
//   2. it has a certificate table (data directory 4: a file offset and size) that lies inside
//      the file and ends exactly at its end, holding exactly one WIN_CERTIFICATE entry, a
//      PKCS#7 SignedData (revision 0x0200, type 0x0002). Bytes after the table or a second
//      entry would be covered by no signature, so such a file is refused;
//   3. the SignedData carries an SpcIndirectDataContent for a PE image, whose DigestInfo gives
//      the hash algorithm (SHA-1 or SHA-256) and the expected image hash;
//   4. the signer's signature over that content verifies;
//   5. the image hash of the file (streamed) equals the expected one;
//   6. the signer's certificate chains to a root of OpenSSL's default trust store
//      (SSL_CERT_FILE / SSL_CERT_DIR), every certificate valid now;
//   7. the signer's certificate may sign code (extended key usage codeSigning, or none).
// Time stamps (counter-signatures) are not read: a signer certificate that is not valid now
// is refused even when the signature was time-stamped while it was.
#ifndef ORCHEL_PORT_AUTHENTICODE_H
#define ORCHEL_PORT_AUTHENTICODE_H

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orchel/wintypes.h"

namespace port {

// Results of WinVerifyTrustFile and thread last errors it sets (numbers as Windows has them).
inline constexpr LONG kTrustSuccess = 0;
inline constexpr LONG TRUST_E_PROVIDER_UNKNOWN = static_cast<LONG>(0x800B0001);
inline constexpr LONG TRUST_E_SUBJECT_FORM_UNKNOWN = static_cast<LONG>(0x800B0003);
inline constexpr LONG TRUST_E_SUBJECT_NOT_TRUSTED = static_cast<LONG>(0x800B0004);
inline constexpr LONG TRUST_E_NOSIGNATURE = static_cast<LONG>(0x800B0100);
inline constexpr LONG CERT_E_EXPIRED = static_cast<LONG>(0x800B0101);
inline constexpr LONG CERT_E_UNTRUSTEDROOT = static_cast<LONG>(0x800B0109);
inline constexpr LONG CERT_E_CHAINING = static_cast<LONG>(0x800B010A);
inline constexpr LONG CERT_E_WRONG_USAGE = static_cast<LONG>(0x800B0110);
inline constexpr LONG TRUST_E_EXPLICIT_DISTRUST = static_cast<LONG>(0x800B0111);
inline constexpr LONG TRUST_E_CERT_SIGNATURE = static_cast<LONG>(0x80096004);
inline constexpr LONG TRUST_E_BAD_DIGEST = static_cast<LONG>(0x80096010);
inline constexpr LONG CRYPT_E_SECURITY_SETTINGS = static_cast<LONG>(0x80092026);
inline constexpr LONG CRYPT_E_FILE_ERROR = static_cast<LONG>(0x80092003);
inline constexpr LONG CRYPT_E_BAD_MSG = static_cast<LONG>(0x8009200D);
inline constexpr LONG CRYPT_E_ASN1_BADTAG = static_cast<LONG>(0x8009310B);
inline constexpr LONG NTE_BAD_SIGNATURE = static_cast<LONG>(0x80090006);
inline constexpr LONG NTE_BAD_ALGID = static_cast<LONG>(0x80090008);

// WIN_CERTIFICATE header values of an Authenticode entry.
inline constexpr WORD WIN_CERT_REVISION_2_0 = 0x0200;
inline constexpr WORD WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;

// Verifies the embedded Authenticode signature of the file. Returns 0 when it is signed and
// trusted; otherwise a Windows trust status:
//   TRUST_E_NOSIGNATURE, last error TRUST_E_NOSIGNATURE        no certificate table
//   TRUST_E_NOSIGNATURE, last error TRUST_E_SUBJECT_FORM_UNKNOWN  not a PE image
//   TRUST_E_NOSIGNATURE, last error ERROR_FILE_NOT_FOUND or ERROR_ACCESS_DENIED  unreadable
//   TRUST_E_NOSIGNATURE, last error CRYPT_E_FILE_ERROR          certificate table outside the
//       file, not ending at the end of the file, holding more than one entry, or with a
//       malformed entry
//   TRUST_E_NOSIGNATURE, last error CRYPT_E_ASN1_BADTAG or CRYPT_E_BAD_MSG  the entry is not
//       a decodable Authenticode SignedData
//   NTE_BAD_ALGID        image hash algorithm other than SHA-1 or SHA-256
//   NTE_BAD_SIGNATURE    the signer's signature does not verify
//   TRUST_E_BAD_DIGEST   the image hash differs (the file was changed after signing)
//   CERT_E_EXPIRED       a certificate of the chain is not valid now
//   CERT_E_UNTRUSTEDROOT the chain ends in a root that is not trusted
//   CERT_E_CHAINING      no chain can be built to any root
//   CERT_E_WRONG_USAGE   the signer's certificate is not for code signing
//   TRUST_E_CERT_SIGNATURE  a certificate's issuer signature does not verify (for example a
//       signer certificate changed after issue)
//   TRUST_E_SUBJECT_NOT_TRUSTED  any other chain failure
// The thread's last error is set to the result (or as listed above).
LONG WinVerifyTrustFile(const std::wstring& path);

// ImageEnumerateCertificates (any type): the number of entries in the file's certificate
// table, 0 when it has none, -1 when the file is unreadable, not a PE image, or its table
// lies outside the file or holds a malformed entry.
int ImageCertificateCount(const std::wstring& path);

// ImageGetCertificateData without the header: the certificate bytes of entry `index`
// (after the 8-byte WIN_CERTIFICATE header, padding included); nothing on failure.
std::optional<std::vector<BYTE>> ImageCertificateData(const std::wstring& path, unsigned index);

// CryptVerifyMessageSignature (signer 0) + CertGetNameStringW(CERT_NAME_SIMPLE_DISPLAY_TYPE):
// when the PKCS#7 SignedData's first signer's signature verifies (no chain or time checks),
// that signer certificate's simple display name: its subject's common name, else its
// organizational unit, organization, or e-mail address. Nothing when the signature does not
// verify or the certificate has none of these names.
std::optional<std::wstring> MessageSignerSimpleDisplayName(std::span<const BYTE> signedData);

// Both steps on the file's certificate entry 0.
std::optional<std::wstring> SignerSimpleDisplayName(const std::wstring& path);

}  // namespace port

#endif  // ORCHEL_PORT_AUTHENTICODE_H
