#include "port/pe_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "catalogue_module.h"
#include "support/scratch.h"

namespace {

using Bytes = std::vector<BYTE>;
using orchel_tools::BuildCatalogueModule;
using orchel_tools::CatalogueModuleLayout;

// Offsets of the PE32 module the packer builds (MS-DOS header, then the PE header at 0x40).
constexpr std::size_t kLfanew = 0x3C;
constexpr std::size_t kFileHeader = 0x44;
constexpr std::size_t kOptionalHeader = 0x58;
constexpr std::size_t kSectionHeader = kOptionalHeader + 224;
constexpr std::size_t kResourceDirectoryEntry = kOptionalHeader + 96 + 2 * 8;
constexpr std::size_t kRsrc = 0x200;
constexpr std::size_t kRootEntry = kRsrc + 16;
constexpr std::size_t kTypeEntry = kRsrc + 24 + 16;
constexpr std::size_t kLanguageEntry = kRsrc + 48 + 16;
constexpr std::size_t kDataEntry = kRsrc + 72;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string ToText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

Bytes Pack(const std::string& xml, const CatalogueModuleLayout& layout = {}) {
    const auto module = BuildCatalogueModule(ToBytes(xml), layout);
    EXPECT_TRUE(module.has_value());
    return module.value_or(Bytes{});
}

std::wstring WritePath(const testsupport::TempFolder& folder, const std::string& name,
                       const Bytes& bytes) {
    const std::string path = folder.Write(name, ToText(bytes));
    return std::wstring(path.begin(), path.end());
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put16(Bytes& bytes, std::size_t offset, WORD value) {
    bytes.at(offset) = static_cast<BYTE>(value);
    bytes.at(offset + 1) = static_cast<BYTE>(value >> 8);
}

void Put32(Bytes& bytes, std::size_t offset, DWORD value) {
    Put16(bytes, offset, static_cast<WORD>(value));
    Put16(bytes, offset + 2, static_cast<WORD>(value >> 16));
}

DWORD Get32(const Bytes& bytes, std::size_t offset) {
    return bytes.at(offset) | (bytes.at(offset + 1) << 8) | (bytes.at(offset + 2) << 16) |
           (static_cast<DWORD>(bytes.at(offset + 3)) << 24);
}

const std::string kCatalogue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Patches MajorVersion=\"7\"><PatchInfo><FixNumber>KB-1</FixNumber>"
    "<Title>Zweite \xC3\x9C"
    "berarbeitung</Title></PatchInfo></Patches>\n";

// ---- packing and reading back ----

TEST(PeImage, PackedModuleReadsBackExactlyInBothFormats) {
    // A catalogue spanning several file-alignment blocks, with bytes of every value.
    std::string large = kCatalogue;
    for (int i = 0; i < 3000; ++i) {
        large.push_back(static_cast<char>(i % 256));
    }
    for (const bool pe32Plus : {false, true}) {
        SCOPED_TRACE(pe32Plus ? "PE32+" : "PE32");
        testsupport::TempFolder folder;
        CatalogueModuleLayout layout;
        layout.Pe32Plus = pe32Plus;
        const Bytes module = Pack(large, layout);
        const std::wstring path = WritePath(folder, "AvailablePatchInfoDll.dll", module);

        const auto resource = port::LoadResourceBytes(path, L"XML", 101);
        ASSERT_TRUE(resource.has_value());
        EXPECT_EQ(large, ToText(*resource));

        const auto image = port::PeImage::FromBytes(module);
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(pe32Plus, image->IsPe32Plus());
        EXPECT_EQ(pe32Plus ? 0x8664 : 0x14C, image->Machine());
        EXPECT_EQ(pe32Plus ? 0x2022 : 0x2102, image->Characteristics());
        EXPECT_EQ(2, image->Subsystem());
        EXPECT_EQ(0x200u, image->SizeOfHeaders());
        ASSERT_EQ(1u, image->Sections().size());
        const port::PeSection& rsrc = image->Sections()[0];
        EXPECT_EQ(".rsrc", rsrc.Name);
        EXPECT_EQ(0x1000u, rsrc.VirtualAddress);
        EXPECT_EQ(0x200u, rsrc.PointerToRawData);
        EXPECT_EQ(0u, rsrc.SizeOfRawData % 0x200);
        EXPECT_EQ(module.size(), rsrc.PointerToRawData + rsrc.SizeOfRawData);
        EXPECT_EQ(0u, image->SizeOfImage() % 0x1000);
        EXPECT_GE(image->SizeOfImage(), rsrc.VirtualAddress + rsrc.VirtualSize);
        EXPECT_EQ(16u, image->NumberOfDataDirectories());
        const auto directory = image->DataDirectory(port::kPeDirectoryResource);
        ASSERT_TRUE(directory.has_value());
        EXPECT_EQ(rsrc.VirtualAddress, directory->VirtualAddress);
        EXPECT_NE(0u, image->CheckSum());
        EXPECT_FALSE(image->CertificateTable().has_value());
    }
}

TEST(PeImage, ResourceLookupMatchesTypeNameIgnoringCaseAndIdExactly) {
    struct Row {
        const char* name;
        std::u16string packedType;
        WORD packedId;
        const wchar_t* soughtType;
        bool found;
    };
    const Row rows[] = {
        {"the catalogue module", u"XML", 101, L"XML", true},
        // Windows compares resource names ignoring case.
        {"type packed in lower case", u"xml", 101, L"XML", true},
        {"type sought in mixed case", u"XML", 101, L"Xml", true},
        {"other identifier only", u"XML", 102, L"XML", false},
        {"longer type name", u"XMLS", 101, L"XML", false},
        {"shorter type name", u"XM", 101, L"XML", false},
        {"other type", u"HTML", 101, L"XML", false},
        {"empty type sought", u"XML", 101, L"", false},
        {"no type sought", u"XML", 101, nullptr, false},
    };
    testsupport::TempFolder folder;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueModuleLayout layout;
        layout.TypeName = row.packedType;
        layout.ResourceId = row.packedId;
        const std::wstring path = WritePath(folder, "module.dll", Pack(kCatalogue, layout));
        const auto resource = port::LoadResourceBytes(path, row.soughtType, 101);
        EXPECT_EQ(row.found, resource.has_value());
        if (resource) {
            EXPECT_EQ(kCatalogue, ToText(*resource));
        }
    }
}

TEST(PeImage, EmptyResourceIsFoundButLoadingItFails) {
    testsupport::TempFolder folder;
    const Bytes module = Pack("");
    const auto image = port::PeImage::FromBytes(module);
    ASSERT_TRUE(image.has_value());
    const auto resource = image->FindResource(u"XML", 101);
    ASSERT_TRUE(resource.has_value());
    EXPECT_TRUE(resource->empty());
    // As the check-updates command takes a size of 0 as a failure.
    EXPECT_FALSE(port::LoadResourceBytes(WritePath(folder, "m.dll", module), L"XML", 101));
}

TEST(PeImage, FileReadingIsBoundedAndFailsCleanly) {
    testsupport::TempFolder folder;
    const Bytes module = Pack(kCatalogue);
    const std::wstring path = WritePath(folder, "m.dll", module);
    EXPECT_TRUE(port::PeImage::FromFile(path, module.size()).has_value());
    EXPECT_FALSE(port::PeImage::FromFile(path, module.size() - 1).has_value());

    const std::string folderText = folder.Path().string();
    const std::wstring folderPath(folderText.begin(), folderText.end());
    EXPECT_FALSE(port::LoadResourceBytes(folderPath + L"/missing.dll", L"XML", 101));
    EXPECT_FALSE(port::LoadResourceBytes(folderPath, L"XML", 101));
    EXPECT_FALSE(port::LoadResourceBytes(path + std::wstring(1, L'\0') + L"x", L"XML", 101));
}

// ---- signed modules ----

bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

TEST(PeImage, ModuleSignedWithOsslsigncodeStillReadsAndShowsItsCertificateTable) {
    if (!HaveTool("osslsigncode") || !HaveTool("openssl")) {
        GTEST_SKIP() << "osslsigncode or openssl not installed";
    }
    testsupport::TempFolder folder;
    const std::string dir = folder.Path().string();
    const Bytes module = Pack(kCatalogue);
    WritePath(folder, "unsigned.dll", module);
    ASSERT_EQ(0, Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + dir +
                       "/key.pem' -out '" + dir +
                       "/cert.pem' -days 2 -subj '/CN=Throwaway Code Signer' -addext "
                       "extendedKeyUsage=codeSigning >'" +
                       dir + "/openssl.log' 2>&1"));
    ASSERT_EQ(0, Shell("osslsigncode sign -certs '" + dir + "/cert.pem' -key '" + dir +
                       "/key.pem' -h sha256 -in '" + dir + "/unsigned.dll' -out '" + dir +
                       "/signed.dll' >'" + dir + "/sign.log' 2>&1"));
    // An independent reader accepts the module and the signature over it.
    EXPECT_EQ(0, Shell("osslsigncode verify -CAfile '" + dir + "/cert.pem' -in '" + dir +
                       "/signed.dll' >'" + dir + "/verify.log' 2>&1"));

    const Bytes signedModule = ReadFile(folder.Path() / "signed.dll");
    const auto image = port::PeImage::FromBytes(signedModule);
    ASSERT_TRUE(image.has_value());
    const auto resource = image->FindResource(u"XML", 101);
    ASSERT_TRUE(resource.has_value());
    EXPECT_EQ(kCatalogue, std::string(resource->begin(), resource->end()));

    // The certificate table is appended after the image and ends the file; its data
    // directory entry and the checksum field sit where the image hash must skip them.
    const auto table = image->CertificateTable();
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(module.size(), table->Offset);
    EXPECT_EQ(signedModule.size(), table->Offset + table->Size);
    EXPECT_EQ(table->Size, Get32(signedModule, table->Offset));      // WIN_CERTIFICATE dwLength
    EXPECT_EQ(0x00020200u, Get32(signedModule, table->Offset + 4));  // revision 2.0, PKCS#7
    const auto entry = image->DataDirectoryEntryOffset(port::kPeDirectoryCertificate);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(table->Offset, Get32(signedModule, *entry));
    EXPECT_EQ(table->Size, Get32(signedModule, *entry + 4));
    EXPECT_EQ(image->CheckSum(), Get32(signedModule, image->CheckSumOffset()));
}

// ---- hostile input ----

TEST(PeImage, HostileModulesFailWithoutReadingOutsideTheFile) {
    struct Row {
        const char* name;
        std::function<void(Bytes&)> damage;
        bool found;
    };
    const Row rows[] = {
        {"not a PE: text", [](Bytes& m) { m = ToBytes("just some text, not a module\n"); }, false},
        {"empty file", [](Bytes& m) { m.clear(); }, false},
        {"MS-DOS header only", [](Bytes& m) { m.resize(64); }, false},
        {"no MZ", [](Bytes& m) { m[0] = 'X'; }, false},
        {"e_lfanew far out", [](Bytes& m) { Put32(m, kLfanew, 0xFFFFFFF0); }, false},
        {"e_lfanew at the last bytes",
         [](Bytes& m) { Put32(m, kLfanew, static_cast<DWORD>(m.size() - 2)); }, false},
        {"no PE signature", [](Bytes& m) { m[0x41] = 'X'; }, false},
        {"unknown optional header magic", [](Bytes& m) { Put16(m, kOptionalHeader, 0x107); },
         false},
        {"optional header shorter than its fixed part",
         [](Bytes& m) { Put16(m, kFileHeader + 16, 90); }, false},
        {"optional header past the end", [](Bytes& m) { Put16(m, kFileHeader + 16, 0xFFFF); },
         false},
        {"huge NumberOfSections", [](Bytes& m) { Put16(m, kFileHeader + 2, 0xFFFF); }, false},
        {"no sections", [](Bytes& m) { Put16(m, kFileHeader + 2, 0); }, false},
        // Directories beyond 16 do not exist; the header's own size bounds them too.
        {"huge NumberOfRvaAndSizes", [](Bytes& m) { Put32(m, kOptionalHeader + 92, ~0u); }, true},
        {"resource directory not declared", [](Bytes& m) { Put32(m, kOptionalHeader + 92, 2); },
         false},
        {"section data past the end", [](Bytes& m) { Put32(m, kSectionHeader + 20, 0xFFFFFF00); },
         false},
        {"section raw size past the end",
         [](Bytes& m) {
             Put32(m, kSectionHeader + 8, 0);
             Put32(m, kSectionHeader + 16, 0xFFFFFFFF);
         },
         false},
        {"resource directory RVA outside every section",
         [](Bytes& m) { Put32(m, kResourceDirectoryEntry, 0xFFFFFFF8); }, false},
        {"resource directory size past its section",
         [](Bytes& m) { Put32(m, kResourceDirectoryEntry + 4, 0xFFFFFFFF); }, false},
        {"huge entry count in the root",
         [](Bytes& m) {
             Put16(m, kRsrc + 12, 0xFFFF);
             Put16(m, kRsrc + 14, 0xFFFF);
         },
         false},
        {"type name offset outside the resource directory",
         [](Bytes& m) { Put32(m, kRootEntry, 0xFFFFFFFF); }, false},
        {"type name length past the end", [](Bytes& m) { Put16(m, kRsrc + 88, 0xFFFF); }, false},
        {"type subdirectory outside the resource directory",
         [](Bytes& m) { Put32(m, kRootEntry + 4, 0xFFFFFFFF); }, false},
        {"type entry points at its own directory (loop)",
         [](Bytes& m) { Put32(m, kRootEntry + 4, 0x80000000); }, false},
        {"name entry points back at the root (loop)",
         [](Bytes& m) { Put32(m, kTypeEntry + 4, 0x80000000); }, false},
        {"language entry points at its own directory (loop)",
         [](Bytes& m) { Put32(m, kLanguageEntry + 4, 0x80000000 | 48); }, false},
        {"type entry is a data entry", [](Bytes& m) { Put32(m, kRootEntry + 4, 72); }, false},
        {"data entry outside the resource directory",
         [](Bytes& m) { Put32(m, kLanguageEntry + 4, 0x7FFFFFF0); }, false},
        {"data RVA outside the file", [](Bytes& m) { Put32(m, kDataEntry, 0x7FFFFFF0); }, false},
        {"data size past the end", [](Bytes& m) { Put32(m, kDataEntry + 4, 0xFFFFFFFF); }, false},
        {"data RVA and size wrap around",
         [](Bytes& m) {
             Put32(m, kDataEntry, 0x1010);
             Put32(m, kDataEntry + 4, 0xFFFFFFF8);
         },
         false},
        {"no languages", [](Bytes& m) { Put16(m, kRsrc + 48 + 14, 0); }, false},
    };
    testsupport::TempFolder folder;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes module = Pack(kCatalogue);
        row.damage(module);
        const auto resource =
            port::LoadResourceBytes(WritePath(folder, "hostile.dll", module), L"XML", 101);
        EXPECT_EQ(row.found, resource.has_value());
        if (resource) {
            EXPECT_EQ(kCatalogue, ToText(*resource));
        }
    }
}

TEST(PeImage, TruncatedModulesAreRefused) {
    // A cut anywhere leaves the section's raw data incomplete: the image is refused whole.
    testsupport::TempFolder folder;
    const Bytes module = Pack(kCatalogue);
    for (std::size_t size = 0; size < module.size(); size += 64) {
        SCOPED_TRACE(size);
        const Bytes cut(module.begin(), module.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(port::PeImage::FromBytes(cut).has_value());
        EXPECT_FALSE(port::LoadResourceBytes(WritePath(folder, "cut.dll", cut), L"XML", 101));
    }
}

TEST(PeImage, ResourceTreeCutShortIsReadOnlyWithinItsDeclaredSize) {
    // The section and the resource directory both declare the cut as their end, so the image
    // parses and every table, name and data entry must be checked against the shorter tree.
    const Bytes module = Pack(kCatalogue);
    const std::size_t dataEnd = Get32(module, kDataEntry) - 0x1000 + kCatalogue.size();
    for (DWORD size = 0; size <= dataEnd; size += 4) {
        SCOPED_TRACE(size);
        Bytes cut(module.begin(), module.begin() + static_cast<std::ptrdiff_t>(kRsrc + size));
        Put32(cut, kSectionHeader + 8, size);   // VirtualSize
        Put32(cut, kSectionHeader + 16, size);  // SizeOfRawData
        Put32(cut, kResourceDirectoryEntry + 4, size);
        const auto image = port::PeImage::FromBytes(cut);
        ASSERT_TRUE(image.has_value());
        const auto resource = image->FindResource(u"XML", 101);
        EXPECT_EQ(size == dataEnd, resource.has_value());
        if (resource) {
            EXPECT_EQ(kCatalogue, std::string(resource->begin(), resource->end()));
        }
    }
}

TEST(PeImage, CertificateTableMustLieInsideTheFile) {
    const Bytes module = Pack(kCatalogue);
    const std::size_t entry = kResourceDirectoryEntry + 2 * 8;  // directory 4
    struct Row {
        const char* name;
        DWORD offset;
        DWORD size;
        bool present;
    };
    const Row rows[] = {
        {"none", 0, 0, false},
        {"empty", 0x200, 0, false},
        {"inside, up to the end", 0x200, static_cast<DWORD>(module.size() - 0x200), true},
        {"one byte past the end", 0x200, static_cast<DWORD>(module.size() - 0x200 + 1), false},
        {"starts past the end", static_cast<DWORD>(module.size() + 8), 8, false},
        {"offset and size wrap around", 0x200, 0xFFFFFFF0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes damaged = module;
        Put32(damaged, entry, row.offset);
        Put32(damaged, entry + 4, row.size);
        const auto image = port::PeImage::FromBytes(damaged);
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(entry, image->DataDirectoryEntryOffset(port::kPeDirectoryCertificate));
        const auto table = image->CertificateTable();
        ASSERT_EQ(row.present, table.has_value());
        if (table) {
            EXPECT_EQ(row.offset, table->Offset);
            EXPECT_EQ(row.size, table->Size);
        }
    }
}

TEST(CatalogueModule, RefusesWhatCannotBePacked) {
    CatalogueModuleLayout noType;
    noType.TypeName.clear();
    CatalogueModuleLayout longType;
    longType.TypeName.assign(65, u'X');
    const Bytes xml = ToBytes(kCatalogue);
    EXPECT_FALSE(BuildCatalogueModule(xml, noType).has_value());
    EXPECT_FALSE(BuildCatalogueModule(xml, longType).has_value());
    longType.TypeName.pop_back();
    EXPECT_TRUE(BuildCatalogueModule(xml, longType).has_value());
    const Bytes tooLarge(orchel_tools::kMaxCatalogueSize + 1, 'x');
    EXPECT_FALSE(BuildCatalogueModule(tooLarge).has_value());
}

// ---- the packer command ----

struct ToolResult {
    int exitCode;
    std::string error;
};

ToolResult PackWithTool(const testsupport::TempFolder& folder, const std::string& input,
                        const std::string& output) {
    const std::string log = (folder.Path() / "tool.err").string();
    const int status = std::system((std::string("'") + ORCHEL_PACK_CATALOGUE_TOOL + "' '" + input +
                                    "' '" + output + "' 2>'" + log + "'")
                                       .c_str());
    return {status, ToText(ReadFile(log))};
}

TEST(PackCatalogueTool, PacksAnXmlFileIntoAReadableModule) {
    testsupport::TempFolder folder;
    const std::string input = folder.Write("AvailablePatchInfo.xml", kCatalogue);
    const std::string output = (folder.Path() / "AvailablePatchInfoDll.dll").string();
    const ToolResult result = PackWithTool(folder, input, output);
    ASSERT_EQ(0, result.exitCode) << result.error;
    const auto resource =
        port::LoadResourceBytes(std::wstring(output.begin(), output.end()), L"XML", 101);
    ASSERT_TRUE(resource.has_value());
    EXPECT_EQ(kCatalogue, ToText(*resource));
    EXPECT_FALSE(std::filesystem::exists(output + ".tmp"));
}

TEST(PackCatalogueTool, RefusesUnusableInputAndOutput) {
    testsupport::TempFolder folder;
    const std::string good = folder.Write("good.xml", kCatalogue);
    const std::string empty = folder.Write("empty.xml", "");
    const std::string dir = folder.Path().string();
    struct Row {
        const char* name;
        std::string input;
        std::string output;
        const char* message;
    };
    const Row rows[] = {
        {"missing input", dir + "/missing.xml", dir + "/out.dll", "input file not found"},
        {"input is a folder", dir, dir + "/out.dll", "input file not found"},
        {"empty input", empty, dir + "/out.dll", "input file is empty"},
        {"output folder missing", good, dir + "/nowhere/out.dll", "output folder not found"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ToolResult result = PackWithTool(folder, row.input, row.output);
        EXPECT_NE(0, result.exitCode);
        EXPECT_NE(std::string::npos, result.error.find(row.message)) << result.error;
        EXPECT_FALSE(std::filesystem::exists(row.output));
    }
}

}  // namespace
