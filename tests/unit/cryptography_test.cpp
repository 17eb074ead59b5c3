#include "orchel/cryptography.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "orchel/corvlog.h"
#include "support/scratch.h"
#include "support/signing_fixtures.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned kCryptography = 7044;

std::wstring CheckSumOf(const std::string& bytes, const std::wstring& before = L"") {
    wchar_t checkSum[50] = {};
    std::wcsncpy(checkSum, before.c_str(), 49);
    CCryptography cryptography;
    std::vector<BYTE> content(bytes.begin(), bytes.end());
    EXPECT_EQ(1, cryptography.GetFileCheckSum(content.data(), static_cast<DWORD>(content.size()),
                                              checkSum));
    return checkSum;
}

TEST(CheckSum, Md5Vectors) {
    const std::vector<std::pair<std::string, std::wstring>> vectors = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e"},
        {"a", L"0cc175b9c0f1b6a831c399e269772661"},
        {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {"The quick brown fox jumps over the lazy dog", L"9e107d9d372bb6826bd81d3542a419d6"},
        {std::string(1000000, 'a'), L"7707d6ae4e027c70eea2a935c2296f21"},
    };
    CapturingLogSink log;
    for (const auto& [bytes, digest] : vectors) {
        EXPECT_EQ(digest, CheckSumOf(bytes)) << bytes.size() << " bytes";
    }
    EXPECT_TRUE(log.Contains(kCryptography, 4, L"Getting File Checksum ..."));
}

TEST(CheckSum, AppendsWithinFiftyCharacters) {
    EXPECT_EQ(L"md5:900150983cd24fb0d6963f7d28e17f72", CheckSumOf("abc", L"md5:"));
    // Text already in the buffer leaves room for only part of the digest: cut, never overrun.
    const std::wstring prefix(40, L'p');
    EXPECT_EQ(prefix + L"900150983", CheckSumOf("abc", prefix));

    CCryptography cryptography;
    EXPECT_EQ(0, cryptography.GetFileCheckSum(nullptr, 5, nullptr));
    wchar_t checkSum[50] = {};
    EXPECT_EQ(0, cryptography.GetFileCheckSum(nullptr, 5, checkSum));
}

// The signed modules are made once for the suite; only the test root is trusted.
class Signatures : public testing::Test {
protected:
    static void SetUpTestSuite() {
        fixtures_ = new testsupport::TempFolder();
        ready_ = testsupport::MakeSigningFixtures(fixtures_->Path());
    }
    static void TearDownTestSuite() {
        delete fixtures_;
        fixtures_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(ready_) << "fixtures not made; see script.log in "
                            << fixtures_->Path().string();
        trust_ = std::make_unique<testsupport::ScopedEnv>("SSL_CERT_FILE",
                                                          (fixtures_->Path() / "ca.pem").string());
    }

    static std::wstring Fixture(const char* name) { return (fixtures_->Path() / name).wstring(); }

    // Runs the verification and returns what it printed on the standard output.
    std::string Verify(const std::wstring& path, int expected) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(expected, cryptography_.VerifyEmbeddedSignature(path.c_str()))
            << fs::path(path).filename();
        return testing::internal::GetCapturedStdout();
    }

    static testsupport::TempFolder* fixtures_;
    static bool ready_;
    std::unique_ptr<testsupport::ScopedEnv> trust_;
    CCryptography cryptography_;
    CapturingLogSink log_;
};

testsupport::TempFolder* Signatures::fixtures_ = nullptr;
bool Signatures::ready_ = false;

TEST_F(Signatures, MakersModulesPassBothChecks) {
    for (const char* name : {"kelm-sha256.dll", "kelm-sha1.dll", "veltrane.dll"}) {
        std::wstring path = Fixture(name);
        const std::string printed = Verify(path, 1);
        EXPECT_EQ("The file \"" + fs::path(path).string() +
                      "\" is signed and the signature was verified.\n",
                  printed);
        EXPECT_TRUE(log_.Contains(
            kCryptography, 3, L"The file " + path + L" is signed and the signature was verified."));
        EXPECT_EQ(1, cryptography_.IsCertificateOrganizationNameValid(path.data())) << name;
    }
    EXPECT_TRUE(log_.Contains(kCryptography, 4, L"Verifying Embedded Signature ..."));
    EXPECT_TRUE(log_.Contains(kCryptography, 4, L"Verifying Certificate Organisation ..."));
}

TEST_F(Signatures, AnotherCompanyIsValidButNotTheMaker) {
    std::wstring path = Fixture("other.dll");
    Verify(path, 1);
    EXPECT_EQ(0, cryptography_.IsCertificateOrganizationNameValid(path.data()));
    // The checks leave nothing open: the rejected file can be deleted at once.
    EXPECT_TRUE(fs::remove(fs::path(path)));
    EXPECT_EQ(0, cryptography_.IsCertificateOrganizationNameValid(path.data()));
}

TEST_F(Signatures, UnsignedAndUnreadableFiles) {
    const std::wstring unsignedModule = Fixture("unsigned.dll");
    EXPECT_EQ("The file \"" + fs::path(unsignedModule).string() + "\" is not signed.\n",
              Verify(unsignedModule, 0));
    EXPECT_TRUE(log_.Contains(kCryptography, 1, L"The file " + unsignedModule + L" is not signed"));
    std::wstring path = unsignedModule;
    EXPECT_EQ(0, cryptography_.IsCertificateOrganizationNameValid(path.data()));

    const std::wstring notPe = Fixture("not-a-pe.dll");
    EXPECT_EQ("The file \"" + fs::path(notPe).string() + "\" is not signed.\n", Verify(notPe, 0));

    const std::wstring missing = Fixture("missing.dll");
    EXPECT_EQ("An unknown error occurred trying to verify the signature of the \"" +
                  fs::path(missing).string() + "\" file.\n",
              Verify(missing, 0));
    EXPECT_TRUE(log_.Contains(kCryptography, 1,
                              L"An unknown error occurred trying to verify the signature of the "
                              L"\"" +
                                  missing + L"\" file"));
    std::wstring missingPath = missing;
    EXPECT_EQ(0, cryptography_.IsCertificateOrganizationNameValid(missingPath.data()));
    EXPECT_EQ(0, cryptography_.IsCertificateOrganizationNameValid(nullptr));
}

TEST_F(Signatures, DamagedModulesAreRefusedWithTheirStatus) {
    struct Case {
        const char* fixture;
        const char* printed;
        const wchar_t* status;
    };
    const std::vector<Case> cases = {
        {"flip-section.dll", "Error is: 0x80096010.\n", L"FAILED: Error is: 0x80096010."},
        {"flip-resource.dll", "Error is: 0x80096010.\n", L"FAILED: Error is: 0x80096010."},
        {"untrusted.dll", "Error is: 0x800b0109.\n", L"FAILED: Error is: 0x800b0109."},
    };
    for (const Case& c : cases) {
        log_.Clear();
        EXPECT_EQ(c.printed, Verify(Fixture(c.fixture), 0)) << c.fixture;
        EXPECT_TRUE(log_.Contains(kCryptography, 1,
                                  L"FAILED: Digital signature validation failed. Please contact "
                                  L"Kelm Technical support."))
            << c.fixture;
        EXPECT_TRUE(log_.Contains(kCryptography, 1, c.status)) << c.fixture;
    }
    // A flipped byte in the certificate: refused, whatever the exact status.
    Verify(Fixture("flip-signature.dll"), 0);
}

TEST_F(Signatures, ExpiredCertificateGivesTheTwoExpiryLines) {
    EXPECT_EQ("", Verify(Fixture("expired.dll"), 0));
    EXPECT_TRUE(log_.Contains(kCryptography, 1,
                              L"A required certificate is not within its validity period when "
                              L"verifying against the current system clock or the timestamp in "
                              L"the signed file."));
    EXPECT_TRUE(log_.Contains(kCryptography, 1, L"Please contact Kelm Technical support"));
}

TEST_F(Signatures, TwoCertificateEntriesFailTheSignerCheck) {
    std::wstring path = Fixture("two-entries.dll");
    EXPECT_EQ(0, cryptography_.IsCertificateOrganizationNameValid(path.data()));
    // A signer whose name merely contains the maker's, or differs in letter case, is refused.
    std::wstring renamed = Fixture("signer-name-changed.dll");
    EXPECT_EQ(0, cryptography_.IsCertificateOrganizationNameValid(renamed.data()));
}

}  // namespace
