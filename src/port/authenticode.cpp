#include "port/authenticode.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/last_error.h"
#include "port/pe_image.h"
#include "port/text.h"

namespace port {
namespace {

// The PE headers (MS-DOS header, PE header, section table) lie at the start of the file; only
// this much is read to find them.
constexpr std::size_t kHeaderReadLimit = 64u * 1024u;
// An Authenticode signature takes a few kilobytes; a larger table is not read.
constexpr std::uint64_t kMaxCertificateTableSize = 4u * 1024u * 1024u;
constexpr std::size_t kWinCertificateHeaderSize = 8;
constexpr std::size_t kCheckSumSize = 4;
constexpr std::size_t kDataDirectoryEntrySize = 8;
constexpr std::size_t kHashBufferSize = 64u * 1024u;

constexpr const char* kSpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kSpcPeImageDataOid = "1.3.6.1.4.1.311.2.1.15";

// sk_X509_free and OPENSSL_free are macros; these give them an address.
void FreeCertificateStack(STACK_OF(X509) * stack) {
    sk_X509_free(stack);
}
void FreeOpenSslBytes(unsigned char* bytes) {
    OPENSSL_free(bytes);
}

template <auto Free>
struct OpenSslFree {
    template <typename T>
    void operator()(T* pointer) const {
        Free(pointer);
    }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslFree<PKCS7_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OpenSslFree<X509_SIG_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslFree<ASN1_OBJECT_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX_free>>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX_free>>;
using SignerStackPtr = std::unique_ptr<STACK_OF(X509), OpenSslFree<FreeCertificateStack>>;
using Utf8Ptr = std::unique_ptr<unsigned char, OpenSslFree<FreeOpenSslBytes>>;

// The outcome of a verification: the status returned and the thread's last error.
struct Verdict {
    LONG status = kTrustSuccess;
    LONG lastError = 0;
};

Verdict NotSigned(LONG lastError) {
    return {TRUST_E_NOSIGNATURE, lastError};
}

Verdict Refused(LONG status) {
    return {status, status};
}

// The header fields the verifier needs: where the CheckSum field and the certificate table's
// data directory entry lie, and that entry's value (a file offset and a size).
struct PeHeaderFields {
    std::size_t checkSum = 0;
    std::optional<std::size_t> certificateDirectory;
    std::uint32_t tableOffset = 0;
    std::uint32_t tableSize = 0;
};

// An opened image file: its stream, size and header fields (nothing: not a PE image).
struct ImageFile {
    std::ifstream stream;
    std::uint64_t size = 0;
    std::optional<PeHeaderFields> headers;
};

std::uint32_t ReadU32(std::span<const BYTE> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::uint16_t ReadU16(std::span<const BYTE> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

bool Has(std::span<const BYTE> bytes, std::size_t offset, std::size_t size) {
    return offset <= bytes.size() && size <= bytes.size() - offset;
}

// Reads the PE header fields from the start of the file (PE/COFF: MS-DOS header, "PE\0\0",
// COFF file header, optional header with its data directories). Only these fields are
// needed, so only the start of the file is read, however large the file is.
std::optional<PeHeaderFields> ParseHeaderFields(std::span<const BYTE> head) {
    constexpr std::size_t kLfanew = 0x3C;
    constexpr std::size_t kFileHeaderSize = 20;
    if (!Has(head, 0, 64) || head[0] != 'M' || head[1] != 'Z') {
        return std::nullopt;
    }
    const std::size_t signature = ReadU32(head, kLfanew);
    if (!Has(head, signature, 4 + kFileHeaderSize) || head[signature] != 'P' ||
        head[signature + 1] != 'E' || head[signature + 2] != 0 || head[signature + 3] != 0) {
        return std::nullopt;
    }
    const std::size_t optionalSize = ReadU16(head, signature + 4 + 16);
    const std::size_t optional = signature + 4 + kFileHeaderSize;
    if (optionalSize < 2 || !Has(head, optional, optionalSize)) {
        return std::nullopt;
    }
    const WORD magic = ReadU16(head, optional);
    if (magic != kPeMagic32 && magic != kPeMagic64) {
        return std::nullopt;
    }
    const std::size_t fixedSize = magic == kPeMagic32 ? 96 : 112;  // PE32 : PE32+
    if (optionalSize < fixedSize) {
        return std::nullopt;
    }
    PeHeaderFields fields;
    fields.checkSum = optional + 64;
    // NumberOfRvaAndSizes ends the fixed part; the directories are bounded by it and by the
    // optional header's declared size.
    const std::size_t directories =
        std::min<std::size_t>(ReadU32(head, optional + fixedSize - 4),
                              (optionalSize - fixedSize) / kDataDirectoryEntrySize);
    if (directories > kPeDirectoryCertificate) {
        const std::size_t entry =
            optional + fixedSize + kPeDirectoryCertificate * kDataDirectoryEntrySize;
        fields.certificateDirectory = entry;
        fields.tableOffset = ReadU32(head, entry);
        fields.tableSize = ReadU32(head, entry + 4);
    }
    return fields;
}

bool ReadAt(std::ifstream& stream, std::uint64_t offset, std::span<BYTE> out) {
    stream.clear();
    stream.seekg(static_cast<std::streamoff>(offset));
    stream.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return stream.gcount() == static_cast<std::streamsize>(out.size());
}

// Opens the file and parses its headers; the Windows error code when it cannot be read.
LONG OpenImage(const std::wstring& path, ImageFile& file) {
    std::string narrow;
    if (path.empty() || path.find(L'\0') != std::wstring::npos || !WideToUtf8(path, narrow)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::error_code code;
    const auto status = std::filesystem::status(narrow, code);
    if (!std::filesystem::exists(status)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!std::filesystem::is_regular_file(status)) {
        return ERROR_ACCESS_DENIED;
    }
    file.size = std::filesystem::file_size(narrow, code);
    file.stream.open(narrow, std::ios::binary);
    if (code || !file.stream) {
        return ERROR_ACCESS_DENIED;
    }
    std::vector<BYTE> head(
        static_cast<std::size_t>(std::min<std::uint64_t>(file.size, kHeaderReadLimit)));
    if (!ReadAt(file.stream, 0, head)) {
        return ERROR_ACCESS_DENIED;
    }
    file.headers = ParseHeaderFields(head);
    return ERROR_SUCCESS;
}

// Where the certificate table is, checked against the file and against the header fields
// the image hash leaves out (the table must follow them, or the hashed ranges would overlap).
enum class TableState { Absent, Outside, Present };

struct TableLocation {
    TableState state = TableState::Absent;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

TableLocation LocateCertificateTable(const ImageFile& file) {
    const PeHeaderFields& headers = *file.headers;
    if (!headers.certificateDirectory || headers.tableOffset == 0 || headers.tableSize == 0) {
        return {};
    }
    const std::uint64_t offset = headers.tableOffset;
    const std::uint64_t size = headers.tableSize;
    const std::uint64_t headerEnd = *headers.certificateDirectory + kDataDirectoryEntrySize;
    if (offset < headerEnd || offset > file.size || size > file.size - offset ||
        size > kMaxCertificateTableSize) {
        return {TableState::Outside, offset, size};
    }
    return {TableState::Present, offset, size};
}

struct CertificateEntry {
    WORD revision = 0;
    WORD type = 0;
    std::span<const BYTE> data;  // after the WIN_CERTIFICATE header
};

// The WIN_CERTIFICATE entries of a table; each starts on an 8-byte boundary. Nothing when an
// entry is shorter than its header or runs past the table.
std::optional<std::vector<CertificateEntry>> ParseEntries(std::span<const BYTE> table) {
    std::vector<CertificateEntry> entries;
    std::uint64_t position = 0;
    while (position < table.size()) {
        const std::size_t at = static_cast<std::size_t>(position);
        if (table.size() - at < kWinCertificateHeaderSize) {
            return std::nullopt;
        }
        const std::uint32_t length = ReadU32(table, at);
        if (length < kWinCertificateHeaderSize || length > table.size() - at) {
            return std::nullopt;
        }
        entries.push_back(
            {ReadU16(table, at + 4), ReadU16(table, at + 6),
             table.subspan(at + kWinCertificateHeaderSize, length - kWinCertificateHeaderSize)});
        position += (std::uint64_t{length} + 7) & ~std::uint64_t{7};
    }
    return entries;
}

std::optional<std::vector<BYTE>> ReadTable(ImageFile& file, const TableLocation& location) {
    std::vector<BYTE> table(static_cast<std::size_t>(location.size));
    if (!ReadAt(file.stream, location.offset, table)) {
        return std::nullopt;
    }
    return table;
}

Pkcs7Ptr DecodeSignedData(std::span<const BYTE> der) {
    if (der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return nullptr;
    }
    const unsigned char* cursor = der.data();
    Pkcs7Ptr message(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
    if (!message || !PKCS7_type_is_signed(message.get()) || message->d.sign == nullptr) {
        return nullptr;
    }
    return message;
}

std::string ObjectText(const ASN1_OBJECT* object) {
    std::array<char, 128> text{};
    const int length = OBJ_obj2txt(text.data(), static_cast<int>(text.size()), object, 1);
    return length > 0 ? std::string(text.data()) : std::string();
}

// One DER header (tag and definite length) at the start of `der`; the contents' span.
std::optional<std::span<const BYTE>> DerContents(std::span<const BYTE> der, int expectedTag,
                                                 std::size_t& headerAndContents) {
    const unsigned char* cursor = der.data();
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    const int flags =
        ASN1_get_object(&cursor, &length, &tag, &tagClass, static_cast<long>(der.size()));
    if ((flags & 0x80) != 0 || flags == 0x21 || tag != expectedTag ||
        tagClass != V_ASN1_UNIVERSAL) {
        return std::nullopt;
    }
    const auto header = static_cast<std::size_t>(cursor - der.data());
    if (static_cast<std::size_t>(length) > der.size() - header) {
        return std::nullopt;
    }
    headerAndContents = header + static_cast<std::size_t>(length);
    return der.subspan(header, static_cast<std::size_t>(length));
}

// The SpcIndirectDataContent of a SignedData: the bytes its signature covers (the contents of
// the SEQUENCE, without its own tag and length, as Authenticode signs them), and the image
// hash it asserts.
struct IndirectData {
    std::span<const BYTE> signedContent;
    const EVP_MD* digest = nullptr;
    std::vector<BYTE> imageHash;
};

std::optional<std::span<const BYTE>> SpcIndirectDataBytes(PKCS7* message) {
    PKCS7* inner = message->d.sign->contents;
    if (inner == nullptr || inner->type == nullptr ||
        ObjectText(inner->type) != kSpcIndirectDataOid || inner->d.other == nullptr ||
        inner->d.other->type != V_ASN1_SEQUENCE || inner->d.other->value.sequence == nullptr) {
        return std::nullopt;
    }
    const ASN1_STRING* sequence = inner->d.other->value.sequence;
    return std::span<const BYTE>(ASN1_STRING_get0_data(sequence),
                                 static_cast<std::size_t>(ASN1_STRING_length(sequence)));
}

// SpcAttributeTypeAndOptionalValue: its type must name PE image data.
bool IsPeImageData(std::span<const BYTE> attribute) {
    std::size_t used = 0;
    const auto contents = DerContents(attribute, V_ASN1_SEQUENCE, used);
    if (!contents) {
        return false;
    }
    const unsigned char* cursor = contents->data();
    Asn1ObjectPtr type(d2i_ASN1_OBJECT(nullptr, &cursor, static_cast<long>(contents->size())));
    return type && ObjectText(type.get()) == kSpcPeImageDataOid;
}

const EVP_MD* ImageHashAlgorithm(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    switch (OBJ_obj2nid(object)) {
        case NID_sha1:
            return EVP_sha1();
        case NID_sha256:
            return EVP_sha256();
        default:
            return nullptr;
    }
}

Verdict ReadIndirectData(PKCS7* message, IndirectData& out) {
    const auto der = SpcIndirectDataBytes(message);
    std::size_t used = 0;
    const auto contents = der ? DerContents(*der, V_ASN1_SEQUENCE, used) : std::nullopt;
    if (!contents) {
        return NotSigned(CRYPT_E_BAD_MSG);
    }
    out.signedContent = *contents;

    // SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
    //                                       messageDigest DigestInfo }
    std::size_t attributeSize = 0;
    if (!DerContents(*contents, V_ASN1_SEQUENCE, attributeSize) ||
        !IsPeImageData(contents->first(attributeSize))) {
        return NotSigned(CRYPT_E_BAD_MSG);
    }
    const auto digestInfo = contents->subspan(attributeSize);
    const unsigned char* cursor = digestInfo.data();
    X509SigPtr sig(d2i_X509_SIG(nullptr, &cursor, static_cast<long>(digestInfo.size())));
    if (!sig) {
        return NotSigned(CRYPT_E_BAD_MSG);
    }
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* hash = nullptr;
    X509_SIG_get0(sig.get(), &algorithm, &hash);
    out.digest = ImageHashAlgorithm(algorithm);
    if (out.digest == nullptr) {
        return Refused(NTE_BAD_ALGID);
    }
    const BYTE* hashBytes = ASN1_STRING_get0_data(hash);
    out.imageHash.assign(hashBytes, hashBytes + ASN1_STRING_length(hash));
    return {};
}

// The signer's certificate when the SignedData's one signer's signature over `content`
// verifies (signature only, no chain); `content` empty: the SignedData's own content.
X509* VerifiedSigner(PKCS7* message, std::optional<std::span<const BYTE>> content,
                     SignerStackPtr& signers) {
    // Every digest the message names must be one OpenSSL knows before it is verified: OpenSSL
    // 3.0 does not release the digest chain it has begun when it meets an unknown one.
    const STACK_OF(X509_ALGOR)* algorithms = message->d.sign->md_algs;
    for (int index = 0; index < sk_X509_ALGOR_num(algorithms); ++index) {
        const X509_ALGOR* algorithm = sk_X509_ALGOR_value(algorithms, index);
        if (algorithm == nullptr || EVP_get_digestbyobj(algorithm->algorithm) == nullptr) {
            return nullptr;
        }
    }
    BioPtr data;
    if (content) {
        if (content->size() > static_cast<std::size_t>(INT_MAX)) {
            return nullptr;
        }
        data.reset(BIO_new_mem_buf(content->data(), static_cast<int>(content->size())));
        if (!data) {
            return nullptr;
        }
    }
    if (PKCS7_verify(message, nullptr, nullptr, data.get(), nullptr, PKCS7_NOVERIFY) != 1) {
        return nullptr;
    }
    signers.reset(PKCS7_get0_signers(message, nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) < 1) {
        return nullptr;
    }
    return sk_X509_value(signers.get(), 0);
}

bool HashRange(ImageFile& file, EVP_MD_CTX* context, std::uint64_t from, std::uint64_t to) {
    std::vector<BYTE> buffer(kHashBufferSize);
    file.stream.clear();
    file.stream.seekg(static_cast<std::streamoff>(from));
    for (std::uint64_t left = to - from; left > 0;) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        file.stream.read(reinterpret_cast<char*>(buffer.data()),
                         static_cast<std::streamsize>(chunk));
        if (file.stream.gcount() != static_cast<std::streamsize>(chunk) ||
            EVP_DigestUpdate(context, buffer.data(), chunk) != 1) {
            return false;
        }
        left -= chunk;
    }
    return true;
}

// The Authenticode image hash, streamed: every byte before the certificate table except the
// optional header's CheckSum field and the certificate table's data directory entry. The
// table is the last thing in the file (checked before), and the signing tool padded the image
// to 8 bytes before it, so this is the whole image as signed.
std::optional<std::vector<BYTE>> ImageHash(ImageFile& file, const EVP_MD* digest,
                                           std::uint64_t tableOffset) {
    const std::uint64_t checkSum = file.headers->checkSum;
    const std::uint64_t directory = *file.headers->certificateDirectory;
    DigestContextPtr context(EVP_MD_CTX_new());
    std::vector<BYTE> hash(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), digest, nullptr) != 1 ||
        !HashRange(file, context.get(), 0, checkSum) ||
        !HashRange(file, context.get(), checkSum + kCheckSumSize, directory) ||
        !HashRange(file, context.get(), directory + kDataDirectoryEntrySize, tableOffset) ||
        EVP_DigestFinal_ex(context.get(), hash.data(), &length) != 1) {
        return std::nullopt;
    }
    hash.resize(length);
    return hash;
}

LONG ChainError(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return CERT_E_EXPIRED;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            return CERT_E_UNTRUSTEDROOT;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
            return CERT_E_CHAINING;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return TRUST_E_CERT_SIGNATURE;
        case X509_V_ERR_INVALID_PURPOSE:
            return CERT_E_WRONG_USAGE;
        default:
            return TRUST_E_SUBJECT_NOT_TRUSTED;
    }
}

// The signer's chain, built from the certificates the signature carries, must end in a root
// of OpenSSL's default trust store (read afresh, so SSL_CERT_FILE / SSL_CERT_DIR apply), each
// certificate valid at the current time.
Verdict VerifyChain(PKCS7* message, X509* signer) {
    StorePtr store(X509_STORE_new());
    StoreContextPtr context(X509_STORE_CTX_new());
    if (!store || !context || X509_STORE_set_default_paths(store.get()) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), signer, message->d.sign->cert) != 1) {
        return Refused(TRUST_E_SUBJECT_NOT_TRUSTED);
    }
    if (X509_verify_cert(context.get()) != 1) {
        return Refused(ChainError(X509_STORE_CTX_get_error(context.get())));
    }
    return {};
}

// A certificate without an extended key usage may be used for anything; one with it must
// name code signing.
bool MaySignCode(X509* certificate) {
    return (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) == 0 ||
           (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) != 0;
}

Verdict VerifySignature(ImageFile& file, const TableLocation& location) {
    const auto table = ReadTable(file, location);
    const auto entries = table ? ParseEntries(*table) : std::nullopt;
    // A second entry would be covered by no signature, like data after the table.
    if (!entries || entries->size() != 1) {
        return NotSigned(CRYPT_E_FILE_ERROR);
    }
    const CertificateEntry& first = entries->front();
    if (first.revision != WIN_CERT_REVISION_2_0 || first.type != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        return NotSigned(CRYPT_E_BAD_MSG);
    }
    const Pkcs7Ptr message = DecodeSignedData(first.data);
    if (!message) {
        return NotSigned(CRYPT_E_ASN1_BADTAG);
    }
    if (sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(message.get())) != 1) {
        return NotSigned(CRYPT_E_BAD_MSG);
    }
    IndirectData indirect;
    if (const Verdict verdict = ReadIndirectData(message.get(), indirect); verdict.status != 0) {
        return verdict;
    }
    SignerStackPtr signers;
    X509* signer = VerifiedSigner(message.get(), indirect.signedContent, signers);
    if (signer == nullptr) {
        return Refused(NTE_BAD_SIGNATURE);
    }
    const auto hash = ImageHash(file, indirect.digest, location.offset);
    if (!hash) {
        return NotSigned(CRYPT_E_FILE_ERROR);
    }
    if (*hash != indirect.imageHash) {
        return Refused(TRUST_E_BAD_DIGEST);
    }
    if (const Verdict verdict = VerifyChain(message.get(), signer); verdict.status != 0) {
        return verdict;
    }
    if (!MaySignCode(signer)) {
        return Refused(CERT_E_WRONG_USAGE);
    }
    return {};
}

Verdict VerifyFile(const std::wstring& path) {
    ImageFile file;
    if (const LONG error = OpenImage(path, file); error != ERROR_SUCCESS) {
        return NotSigned(error);
    }
    if (!file.headers) {
        return NotSigned(TRUST_E_SUBJECT_FORM_UNKNOWN);
    }
    const TableLocation location = LocateCertificateTable(file);
    if (location.state == TableState::Absent) {
        return NotSigned(TRUST_E_NOSIGNATURE);
    }
    // Bytes after the table would be covered by no hash: such a file is refused.
    if (location.state == TableState::Outside || location.offset + location.size != file.size) {
        return NotSigned(CRYPT_E_FILE_ERROR);
    }
    return VerifySignature(file, location);
}

// The entries of the file's certificate table (empty when it has none); nothing when the
// file cannot be read, is not a PE image, or its table is malformed.
std::optional<std::vector<std::vector<BYTE>>> ReadCertificateEntries(const std::wstring& path) {
    ImageFile file;
    if (OpenImage(path, file) != ERROR_SUCCESS || !file.headers) {
        return std::nullopt;
    }
    const TableLocation location = LocateCertificateTable(file);
    if (location.state == TableState::Absent) {
        return std::vector<std::vector<BYTE>>{};
    }
    if (location.state == TableState::Outside) {
        return std::nullopt;
    }
    const auto table = ReadTable(file, location);
    const auto entries = table ? ParseEntries(*table) : std::nullopt;
    if (!entries) {
        return std::nullopt;
    }
    std::vector<std::vector<BYTE>> result;
    for (const CertificateEntry& entry : *entries) {
        result.emplace_back(entry.data.begin(), entry.data.end());
    }
    return result;
}

std::optional<std::wstring> NameAttribute(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) {
        return std::nullopt;
    }
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        return std::nullopt;
    }
    const Utf8Ptr owned(utf8);
    std::wstring wide;
    if (!Utf8ToWide(
            std::string_view(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length)),
            wide)) {
        return std::nullopt;
    }
    return wide;
}

// The first rfc822Name of the subject alternative names.
std::optional<std::wstring> AlternativeEmail(X509* certificate) {
    using NamesPtr = std::unique_ptr<GENERAL_NAMES, OpenSslFree<GENERAL_NAMES_free>>;
    const NamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_EMAIL) {
            const ASN1_IA5STRING* email = name->d.rfc822Name;
            std::wstring wide;
            if (Utf8ToWide(
                    std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(email)),
                                     static_cast<std::size_t>(ASN1_STRING_length(email))),
                    wide)) {
                return wide;
            }
        }
    }
    return std::nullopt;
}

// CERT_NAME_SIMPLE_DISPLAY_TYPE: the first of the subject's common name, organizational
// unit, organization and e-mail address, then an e-mail alternative name.
std::optional<std::wstring> SimpleDisplayName(X509* certificate) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                          NID_pkcs9_emailAddress}) {
        if (auto name = NameAttribute(subject, nid)) {
            return name;
        }
    }
    return AlternativeEmail(certificate);
}

}  // namespace

LONG WinVerifyTrustFile(const std::wstring& path) {
    Verdict verdict;
    try {
        verdict = VerifyFile(path);
    } catch (const std::exception&) {
        verdict = NotSigned(ERROR_NOT_ENOUGH_MEMORY);
    }
    SetLastError(static_cast<DWORD>(verdict.lastError));
    return verdict.status;
}

int ImageCertificateCount(const std::wstring& path) {
    try {
        const auto entries = ReadCertificateEntries(path);
        return entries ? static_cast<int>(entries->size()) : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

std::optional<std::vector<BYTE>> ImageCertificateData(const std::wstring& path, unsigned index) {
    try {
        auto entries = ReadCertificateEntries(path);
        if (!entries || index >= entries->size()) {
            return std::nullopt;
        }
        return std::move((*entries)[index]);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::wstring> MessageSignerSimpleDisplayName(std::span<const BYTE> signedData) {
    try {
        const Pkcs7Ptr message = DecodeSignedData(signedData);
        if (!message) {
            return std::nullopt;
        }
        // An Authenticode message signs the contents of its SpcIndirectDataContent; any other
        // SignedData is verified over its own embedded content.
        const auto indirect = SpcIndirectDataBytes(message.get());
        std::optional<std::span<const BYTE>> content;
        if (indirect) {
            std::size_t used = 0;
            content = DerContents(*indirect, V_ASN1_SEQUENCE, used);
            if (!content) {
                return std::nullopt;
            }
        }
        SignerStackPtr signers;
        X509* signer = VerifiedSigner(message.get(), content, signers);
        return signer != nullptr ? SimpleDisplayName(signer) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::wstring> SignerSimpleDisplayName(const std::wstring& path) {
    const auto entry = ImageCertificateData(path, 0);
    return entry ? MessageSignerSimpleDisplayName(*entry) : std::nullopt;
}

}  // namespace port
