// Signed test modules, made at test time: a packed catalogue module signed with osslsigncode
// under a test root ("Kelm Test Signing", "Veltrane Updates", "Other Company Ltd", expired,
// wrong usage, untrusted root; see tests/fixtures/make_signing_fixtures.sh), plus copies of
// the Kelm-signed module with one change each (flipped bytes, two certificate entries, a
// truncated or misplaced certificate table ...). Tests trust the root with SSL_CERT_FILE =
// <folder>/ca.pem.
#ifndef ORCHEL_TESTS_SIGNING_FIXTURES_H
#define ORCHEL_TESTS_SIGNING_FIXTURES_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "orchel/wintypes.h"

namespace testsupport {

using Bytes = std::vector<BYTE>;

// The catalogue text packed into every module.
extern const char kSignedCatalogue[];

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);

// Where the parts of a signed module lie, read with the PE reader.
struct SignedLayout {
    std::size_t firstSectionData = 0;
    std::size_t resourceData = 0;
    std::size_t checkSum = 0;
    std::size_t certificateDirectory = 0;
    std::size_t table = 0;
    std::size_t tableSize = 0;
};
SignedLayout LayoutOf(const Bytes& bytes);

// Makes every fixture in `folder`; false (with the script's output in script.log there) when
// the tools are missing or a step fails.
bool MakeSigningFixtures(const std::filesystem::path& folder);

}  // namespace testsupport

#endif  // ORCHEL_TESTS_SIGNING_FIXTURES_H
