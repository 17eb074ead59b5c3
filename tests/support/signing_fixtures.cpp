#include "support/signing_fixtures.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>

#include "catalogue_module.h"
#include "port/pe_image.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

const fs::path kScript = ORCHEL_SIGNING_FIXTURES_SCRIPT;

}  // namespace

const char kSignedCatalogue[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Product Name=\"Kelm Veltrane Backup\"><Release MajorVersion=\"9\"/></Product>\n";

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t ReadU32(const Bytes& bytes, std::size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

void WriteU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<BYTE>(value >> (8 * i));
    }
}

bool WriteModule(const fs::path& path, const std::string& data,
                 const orchel_tools::CatalogueModuleLayout& layout = {}) {
    const auto module = orchel_tools::BuildCatalogueModule(
        std::span(reinterpret_cast<const BYTE*>(data.data()), data.size()), layout);
    if (!module) {
        return false;
    }
    WriteBytes(path, *module);
    return true;
}

SignedLayout LayoutOf(const Bytes& bytes) {
    const auto image = port::PeImage::FromBytes(bytes);
    const auto resource = image->FindResource(u"XML", 101);
    const auto table = image->CertificateTable();
    return {image->Sections().at(0).PointerToRawData,
            static_cast<std::size_t>(resource->data() - image->Bytes().data()),
            image->CheckSumOffset(),
            *image->DataDirectoryEntryOffset(port::kPeDirectoryCertificate),
            table->Offset,
            table->Size};
}

// The signed modules that the script does not make: each one a copy of the module signed for
// "Kelm Test Signing" with one change.
void WriteVariants(const fs::path& dir) {
    const Bytes signedModule = ReadBytes(dir / "kelm-sha256.dll");
    const SignedLayout layout = LayoutOf(signedModule);
    // DER SEQUENCE with a two-byte length: the end of the PKCS#7 lies in the signer's
    // signature value (the module carries no unsigned attributes).
    const std::size_t der = layout.table + 8;
    const std::size_t derEnd = der + 4 + (signedModule[der + 2] << 8 | signedModule[der + 3]);

    const auto variant = [&](const char* name, auto change) {
        Bytes bytes = signedModule;
        change(bytes);
        WriteBytes(dir / name, bytes);
    };
    variant("flip-header.dll", [&](Bytes& b) { b[0x48] ^= 0x01; });  // COFF TimeDateStamp
    variant("flip-section.dll", [&](Bytes& b) { b[layout.firstSectionData] ^= 0x01; });
    variant("flip-resource.dll", [&](Bytes& b) { b[layout.resourceData + 10] ^= 0x20; });
    variant("flip-signature.dll", [&](Bytes& b) { b[derEnd - 16] ^= 0x01; });
    variant("checksum-changed.dll", [&](Bytes& b) { WriteU32(b, layout.checkSum, 0x1234); });
    variant("signer-name-changed.dll", [&](Bytes& b) {
        const std::string name = "Kelm Test Signing";
        const auto found = std::search(b.begin() + layout.table, b.end(), name.begin(), name.end());
        *found = 'X';
    });
    variant("data-after-table.dll", [&](Bytes& b) { b.insert(b.end(), 8, 0xAB); });
    variant("two-entries.dll", [&](Bytes& b) {
        const std::size_t entry = (ReadU32(b, layout.table) + 7u) & ~7u;
        const Bytes copy(b.begin() + layout.table, b.begin() + layout.table + entry);
        b.insert(b.end(), copy.begin(), copy.end());
        WriteU32(b, layout.certificateDirectory + 4,
                 static_cast<std::uint32_t>(layout.tableSize + entry));
    });
    variant("truncated-table.dll", [&](Bytes& b) { b.resize(layout.table + 100); });
    variant("truncated-headers.dll", [&](Bytes& b) { b.resize(0x100); });
    variant("table-outside-file.dll",
            [&](Bytes& b) { WriteU32(b, layout.certificateDirectory, 0x7FFFFF00); });
    variant("table-over-headers.dll", [&](Bytes& b) {
        WriteU32(b, layout.certificateDirectory, 8);
        WriteU32(b, layout.certificateDirectory + 4, static_cast<std::uint32_t>(b.size() - 8));
    });
    variant("entry-length-too-long.dll",
            [&](Bytes& b) { WriteU32(b, layout.table, static_cast<std::uint32_t>(0x10000)); });
    variant("entry-wrong-revision.dll", [&](Bytes& b) { b[layout.table + 5] = 0x01; });
    variant("entry-not-der.dll", [&](Bytes& b) {
        std::fill(b.begin() + static_cast<std::ptrdiff_t>(der), b.end(), 0x00);
    });
    std::ofstream(dir / "not-a-pe.dll") << kSignedCatalogue;
    std::ofstream(dir / "empty.dll");
}

bool MakeSigningFixtures(const fs::path& dir) {
    orchel_tools::CatalogueModuleLayout pe32plus;
    pe32plus.Pe32Plus = true;
    // A resource larger than the hashing buffer and than the header read.
    const std::string large(3 * 1024 * 1024 + 17, 'k');
    if (!WriteModule(dir / "unsigned.dll", kSignedCatalogue) ||
        !WriteModule(dir / "unsigned-pe32plus.dll", kSignedCatalogue, pe32plus) ||
        !WriteModule(dir / "unsigned-large.dll", large)) {
        return false;
    }
    const std::string command = "bash '" + kScript.string() + "' '" + dir.string() + "' >'" +
                                (dir / "script.log").string() + "' 2>&1";
    if (std::system(command.c_str()) != 0) {
        return false;
    }
    WriteVariants(dir);
    return true;
}

}  // namespace testsupport
