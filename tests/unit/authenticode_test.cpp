#include "port/authenticode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_module.h"
#include "port/last_error.h"
#include "port/pe_image.h"
#include "support/scratch.h"
#include "support/signing_fixtures.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::LayoutOf;
using testsupport::ReadBytes;
using testsupport::SignedLayout;
using testsupport::WriteBytes;

std::wstring Wide(const fs::path& path) {
    return path.wstring();
}

class AuthenticodeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fixtures_ = new testsupport::TempFolder();
        if (!testsupport::MakeSigningFixtures(fixtures_->Path())) {
            return;
        }
        ready_ = true;
    }

    static void TearDownTestSuite() {
        delete fixtures_;
        fixtures_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(ready_) << "fixtures not made; see script.log in "
                            << fixtures_->Path().string();
        // Only the test root is trusted: no system roots.
        trustFile_ = std::make_unique<testsupport::ScopedEnv>("SSL_CERT_FILE", Fixture("ca.pem"));
        trustDir_ = std::make_unique<testsupport::ScopedEnv>("SSL_CERT_DIR", own_.Path().string());
    }

    static std::string Fixture(const std::string& name) {
        return (fixtures_->Path() / name).string();
    }

    static testsupport::TempFolder* fixtures_;
    static bool ready_;
    testsupport::TempFolder own_;
    std::unique_ptr<testsupport::ScopedEnv> trustFile_;
    std::unique_ptr<testsupport::ScopedEnv> trustDir_;
};

testsupport::TempFolder* AuthenticodeTest::fixtures_ = nullptr;
bool AuthenticodeTest::ready_ = false;

struct TrustRow {
    const char* fixture;
    LONG status;
    LONG lastError;
    bool osslsigncodeAccepts;
};

const TrustRow kTrustRows[] = {
    // Signed and trusted, whoever the signer is; the CheckSum field is not part of the hash.
    {"kelm-sha256.dll", 0, 0, true},
    {"kelm-sha1.dll", 0, 0, true},
    {"kelm-pe32plus.dll", 0, 0, true},
    {"kelm-large.dll", 0, 0, true},
    {"veltrane.dll", 0, 0, true},
    {"other.dll", 0, 0, true},
    {"checksum-changed.dll", 0, 0, true},
    // Not signed.
    {"unsigned.dll", port::TRUST_E_NOSIGNATURE, port::TRUST_E_NOSIGNATURE, false},
    {"not-a-pe.dll", port::TRUST_E_NOSIGNATURE, port::TRUST_E_SUBJECT_FORM_UNKNOWN, false},
    {"empty.dll", port::TRUST_E_NOSIGNATURE, port::TRUST_E_SUBJECT_FORM_UNKNOWN, false},
    {"truncated-headers.dll", port::TRUST_E_NOSIGNATURE, port::TRUST_E_SUBJECT_FORM_UNKNOWN, false},
    // Changed after signing.
    {"flip-header.dll", port::TRUST_E_BAD_DIGEST, port::TRUST_E_BAD_DIGEST, false},
    {"flip-section.dll", port::TRUST_E_BAD_DIGEST, port::TRUST_E_BAD_DIGEST, false},
    {"flip-resource.dll", port::TRUST_E_BAD_DIGEST, port::TRUST_E_BAD_DIGEST, false},
    {"flip-signature.dll", port::NTE_BAD_SIGNATURE, port::NTE_BAD_SIGNATURE, false},
    {"signer-name-changed.dll", port::TRUST_E_CERT_SIGNATURE, port::TRUST_E_CERT_SIGNATURE, false},
    // Certificates that do not allow the signature.
    {"expired.dll", port::CERT_E_EXPIRED, port::CERT_E_EXPIRED, false},
    {"untrusted.dll", port::CERT_E_UNTRUSTEDROOT, port::CERT_E_UNTRUSTEDROOT, false},
    {"wrong-usage.dll", port::CERT_E_WRONG_USAGE, port::CERT_E_WRONG_USAGE, false},
    // A malformed certificate table or entry.
    {"data-after-table.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_FILE_ERROR, false},
    {"truncated-table.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_FILE_ERROR, false},
    {"table-outside-file.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_FILE_ERROR, false},
    {"table-over-headers.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_FILE_ERROR, false},
    {"two-entries.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_FILE_ERROR, false},
    {"entry-length-too-long.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_FILE_ERROR, false},
    {"entry-wrong-revision.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_BAD_MSG, false},
    {"entry-not-der.dll", port::TRUST_E_NOSIGNATURE, port::CRYPT_E_ASN1_BADTAG, false},
};

TEST_F(AuthenticodeTest, VerifyTrustStatusAndLastErrorPerFixture) {
    for (const TrustRow& row : kTrustRows) {
        SCOPED_TRACE(row.fixture);
        port::SetLastError(0xDEAD);
        EXPECT_EQ(port::WinVerifyTrustFile(Wide(Fixture(row.fixture))), row.status);
        EXPECT_EQ(port::GetLastError(), static_cast<DWORD>(row.lastError));
    }
}

// The reference tool decides accept or refuse the same way on every fixture.
TEST_F(AuthenticodeTest, OsslsigncodeAgreesOnAcceptOrRefuse) {
    for (const TrustRow& row : kTrustRows) {
        SCOPED_TRACE(row.fixture);
        const std::string command = "osslsigncode verify -CAfile '" + Fixture("ca.pem") +
                                    "' -in '" + Fixture(row.fixture) + "' >/dev/null 2>&1";
        const bool accepted = std::system(command.c_str()) == 0;
        EXPECT_EQ(accepted, row.osslsigncodeAccepts);
        EXPECT_EQ(port::WinVerifyTrustFile(Wide(Fixture(row.fixture))) == 0, accepted);
    }
}

TEST_F(AuthenticodeTest, UnreadableFileGivesNoSignatureWithItsSystemError) {
    EXPECT_EQ(port::WinVerifyTrustFile(Wide(own_.Path() / "missing.dll")),
              port::TRUST_E_NOSIGNATURE);
    EXPECT_EQ(port::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(port::WinVerifyTrustFile(Wide(own_.Path())), port::TRUST_E_NOSIGNATURE);
    EXPECT_EQ(port::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_EQ(port::WinVerifyTrustFile(L""), port::TRUST_E_NOSIGNATURE);
    EXPECT_EQ(port::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Each thread keeps its own last error while several verify at once.
TEST_F(AuthenticodeTest, ConcurrentVerificationsKeepTheirOwnLastError) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(std::size(kTrustRows), 0);
    for (std::size_t i = 0; i < std::size(kTrustRows); ++i) {
        threads.emplace_back([i, &mismatches] {
            const TrustRow& row = kTrustRows[i];
            for (int round = 0; round < 5; ++round) {
                const LONG status = port::WinVerifyTrustFile(Wide(Fixture(row.fixture)));
                if (status != row.status ||
                    port::GetLastError() != static_cast<DWORD>(row.lastError)) {
                    ++mismatches[i];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (std::size_t i = 0; i < std::size(kTrustRows); ++i) {
        EXPECT_EQ(mismatches[i], 0) << kTrustRows[i].fixture;
    }
}

// The trust store is OpenSSL's default one, read at every call: what SSL_CERT_FILE names.
TEST_F(AuthenticodeTest, TrustFollowsTheConfiguredStore) {
    {
        const std::string empty = own_.Write("empty.pem", "");
        testsupport::ScopedEnv trust("SSL_CERT_FILE", empty);
        EXPECT_EQ(port::WinVerifyTrustFile(Wide(Fixture("kelm-sha256.dll"))),
                  port::CERT_E_CHAINING);
    }
    {
        testsupport::ScopedEnv trust("SSL_CERT_FILE", Fixture("pki/rogue-ca.pem"));
        EXPECT_EQ(port::WinVerifyTrustFile(Wide(Fixture("untrusted.dll"))), 0);
        EXPECT_EQ(port::WinVerifyTrustFile(Wide(Fixture("kelm-sha256.dll"))),
                  port::CERT_E_CHAINING);
    }
    EXPECT_EQ(port::WinVerifyTrustFile(Wide(Fixture("kelm-sha256.dll"))), 0);
}

struct SignerRow {
    const char* fixture;
    int entries;
    std::optional<std::wstring> name;
};

TEST_F(AuthenticodeTest, CertificateCountAndSignerNamePerFixture) {
    const SignerRow rows[] = {
        {"kelm-sha256.dll", 1, L"Kelm Test Signing"},
        {"kelm-sha1.dll", 1, L"Kelm Test Signing"},
        {"veltrane.dll", 1, L"Veltrane Updates"},
        {"other.dll", 1, L"Other Company Ltd"},
        {"two-entries.dll", 2, L"Kelm Test Signing"},
        // The message signature alone: no image hash, chain, validity or usage check.
        {"flip-resource.dll", 1, L"Kelm Test Signing"},
        {"expired.dll", 1, L"Kelm Test Signing"},
        {"untrusted.dll", 1, L"Kelm Test Signing"},
        {"wrong-usage.dll", 1, L"Kelm Web Server"},
        {"data-after-table.dll", 1, L"Kelm Test Signing"},
        // The signer's certificate is not covered by the message signature: only the chain
        // check of the trust verification notices a changed name.
        {"signer-name-changed.dll", 1, L"Xelm Test Signing"},
        // No verified signer.
        {"flip-signature.dll", 1, std::nullopt},
        {"entry-not-der.dll", 1, std::nullopt},
        {"unsigned.dll", 0, std::nullopt},
        // No readable certificate table.
        {"not-a-pe.dll", -1, std::nullopt},
        {"truncated-headers.dll", -1, std::nullopt},
        {"truncated-table.dll", -1, std::nullopt},
        {"table-outside-file.dll", -1, std::nullopt},
        {"entry-length-too-long.dll", -1, std::nullopt},
    };
    for (const SignerRow& row : rows) {
        SCOPED_TRACE(row.fixture);
        const std::wstring path = Wide(Fixture(row.fixture));
        EXPECT_EQ(port::ImageCertificateCount(path), row.entries);
        EXPECT_EQ(port::SignerSimpleDisplayName(path), row.name);
    }
    EXPECT_EQ(port::ImageCertificateCount(Wide(own_.Path() / "missing.dll")), -1);
    EXPECT_EQ(port::SignerSimpleDisplayName(Wide(own_.Path() / "missing.dll")), std::nullopt);
}

TEST_F(AuthenticodeTest, CertificateDataIsTheEntryWithoutItsHeader) {
    const std::wstring path = Wide(Fixture("two-entries.dll"));
    const auto first = port::ImageCertificateData(path, 0);
    const auto second = port::ImageCertificateData(path, 1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second);
    ASSERT_GE(first->size(), 2u);
    EXPECT_EQ((*first)[0], 0x30);  // DER SEQUENCE of the SignedData
    EXPECT_EQ(first->size() % 8, 0u);
    EXPECT_EQ(port::ImageCertificateData(path, 2), std::nullopt);
    EXPECT_EQ(port::ImageCertificateData(Wide(Fixture("unsigned.dll")), 0), std::nullopt);
}

// Plain SignedData messages (content embedded) whose signers have no common name: the simple
// display name falls back to the organizational unit, the organization, the e-mail address.
TEST_F(AuthenticodeTest, SimpleDisplayNameFallsBackWithoutCommonName) {
    const struct {
        const char* fixture;
        std::wstring name;
    } rows[] = {
        {"message-ou.p7", L"Kelm Publishing"},
        {"message-o.p7", L"Veltrane Org"},
        {"message-email.p7", L"kelm@example.com"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fixture);
        Bytes message = ReadBytes(Fixture(row.fixture));
        EXPECT_EQ(port::MessageSignerSimpleDisplayName(message), row.name);
        // The embedded content changed: the signature no longer verifies.
        const std::string content = "catalogue";
        const auto found =
            std::search(message.begin(), message.end(), content.begin(), content.end());
        ASSERT_NE(found, message.end());
        *found = 'C';
        EXPECT_EQ(port::MessageSignerSimpleDisplayName(message), std::nullopt);
    }
    // A message naming a digest nobody knows is refused, and leaves nothing allocated behind
    // (the sanitizer build checks for leaks).
    Bytes unknownDigest = ReadBytes(Fixture("message-ou.p7"));
    const Bytes sha256 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    const auto digestOid =
        std::search(unknownDigest.begin(), unknownDigest.end(), sha256.begin(), sha256.end());
    ASSERT_NE(digestOid, unknownDigest.end());
    digestOid[5] = 0x02;
    EXPECT_EQ(port::MessageSignerSimpleDisplayName(unknownDigest), std::nullopt);

    EXPECT_EQ(port::MessageSignerSimpleDisplayName({}), std::nullopt);
    const Bytes garbage = {0x30, 0x82, 0xFF, 0xFF, 0x06};
    EXPECT_EQ(port::MessageSignerSimpleDisplayName(garbage), std::nullopt);
}

// Damage anywhere in the certificate table is survived, and what is accepted afterwards is
// what the reference tool accepts (a change in the padding after the SignedData is harmless).
TEST_F(AuthenticodeTest, DamagedCertificateTableIsJudgedLikeTheReferenceTool) {
    const Bytes original = ReadBytes(Fixture("kelm-sha256.dll"));
    const SignedLayout layout = LayoutOf(original);
    const fs::path damaged = own_.Path() / "damaged.dll";
    for (std::size_t offset = layout.table; offset < original.size(); offset += 13) {
        SCOPED_TRACE(offset);
        Bytes bytes = original;
        bytes[offset] ^= 0x5A;
        WriteBytes(damaged, bytes);
        const bool accepted = port::WinVerifyTrustFile(Wide(damaged)) == 0;
        const std::string command = "osslsigncode verify -CAfile '" + Fixture("ca.pem") +
                                    "' -in '" + damaged.string() + "' >/dev/null 2>&1";
        EXPECT_EQ(accepted, std::system(command.c_str()) == 0);
        port::SignerSimpleDisplayName(Wide(damaged));
    }
}

}  // namespace
