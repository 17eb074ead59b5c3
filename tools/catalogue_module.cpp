#include "catalogue_module.h"

#include <cstdint>
#include <exception>

namespace orchel_tools {
namespace {

// Microsoft PE/COFF format: the values and layout a resource-only DLL needs.
constexpr std::size_t kPeHeaderOffset = 0x40;  // right after the 64-byte MS-DOS header
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kOptionalHeaderSize32 = 224;
constexpr std::size_t kOptionalHeaderSize64 = 240;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr DWORD kFileAlignment = 0x200;
constexpr DWORD kSectionAlignment = 0x1000;
constexpr DWORD kResourceRva = kSectionAlignment;  // the one section follows the headers
constexpr WORD kMachineI386 = 0x14C;
constexpr WORD kMachineAmd64 = 0x8664;
constexpr WORD kExecutableImage = 0x0002;
constexpr WORD kLargeAddressAware = 0x0020;
constexpr WORD kMachine32Bit = 0x0100;
constexpr WORD kDll = 0x2000;
constexpr WORD kSubsystemWindowsGui = 2;
constexpr WORD kDllNxCompatNoSeh = 0x0100 | 0x0400;
constexpr DWORD kSectionInitializedDataRead = 0x00000040 | 0x40000000;
constexpr DWORD kNumberOfDirectories = 16;
constexpr DWORD kHighBit = 0x80000000u;
constexpr std::size_t kMaxTypeNameLength = 64;

// Offsets inside the resource section: three one-entry directory tables (type, name,
// language), the data entry, the type's name string, then the data.
constexpr DWORD kTypeTable = 0;
constexpr DWORD kNameTable = 24;
constexpr DWORD kLanguageTable = 48;
constexpr DWORD kDataEntry = 72;
constexpr DWORD kTypeNameString = 88;

constexpr std::size_t AlignUp(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

class ByteWriter {
public:
    explicit ByteWriter(std::size_t size) : bytes_(size, 0) {}
    void U8(std::size_t offset, BYTE value) { bytes_.at(offset) = value; }
    void U16(std::size_t offset, WORD value) {
        U8(offset, static_cast<BYTE>(value));
        U8(offset + 1, static_cast<BYTE>(value >> 8));
    }
    void U32(std::size_t offset, DWORD value) {
        U16(offset, static_cast<WORD>(value));
        U16(offset + 2, static_cast<WORD>(value >> 16));
    }
    void U64(std::size_t offset, std::uint64_t value) {
        U32(offset, static_cast<DWORD>(value));
        U32(offset + 4, static_cast<DWORD>(value >> 32));
    }
    std::vector<BYTE>& Bytes() { return bytes_; }

private:
    std::vector<BYTE> bytes_;
};

// A resource directory table with one entry.
void WriteOneEntryTable(ByteWriter& out, std::size_t table, bool named, DWORD name, DWORD target) {
    out.U16(table + 12, named ? 1 : 0);  // NumberOfNamedEntries
    out.U16(table + 14, named ? 0 : 1);  // NumberOfIdEntries
    out.U32(table + 16, name);
    out.U32(table + 20, target);
}

void WriteResourceSection(ByteWriter& out, std::size_t section, DWORD dataOffset,
                          std::span<const BYTE> data, const CatalogueModuleLayout& layout) {
    WriteOneEntryTable(out, section + kTypeTable, true, kHighBit | kTypeNameString,
                       kHighBit | kNameTable);
    WriteOneEntryTable(out, section + kNameTable, false, layout.ResourceId,
                       kHighBit | kLanguageTable);
    WriteOneEntryTable(out, section + kLanguageTable, false, layout.Language, kDataEntry);
    out.U32(section + kDataEntry, kResourceRva + dataOffset);
    out.U32(section + kDataEntry + 4, static_cast<DWORD>(data.size()));
    // Names are a length in characters followed by UTF-16LE characters, no terminator.
    out.U16(section + kTypeNameString, static_cast<WORD>(layout.TypeName.size()));
    for (std::size_t i = 0; i < layout.TypeName.size(); ++i) {
        out.U16(section + kTypeNameString + 2 + 2 * i, layout.TypeName[i]);
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
        out.U8(section + dataOffset + i, data[i]);
    }
}

void WriteHeaders(ByteWriter& out, const CatalogueModuleLayout& layout, DWORD sizeOfHeaders,
                  DWORD sectionSize, DWORD rawSize) {
    // MS-DOS header: only the signature and the offset of the PE header matter.
    out.U8(0, 'M');
    out.U8(1, 'Z');
    out.U32(0x3C, kPeHeaderOffset);
    out.U8(kPeHeaderOffset, 'P');
    out.U8(kPeHeaderOffset + 1, 'E');

    const std::size_t optionalSize =
        layout.Pe32Plus ? kOptionalHeaderSize64 : kOptionalHeaderSize32;
    const std::size_t file = kPeHeaderOffset + 4;
    out.U16(file, layout.Pe32Plus ? kMachineAmd64 : kMachineI386);
    out.U16(file + 2, 1);  // NumberOfSections
    out.U16(file + 16, static_cast<WORD>(optionalSize));
    out.U16(file + 18, layout.Pe32Plus ? (kDll | kExecutableImage | kLargeAddressAware)
                                       : (kDll | kExecutableImage | kMachine32Bit));

    const std::size_t optional = file + kFileHeaderSize;
    out.U16(optional, layout.Pe32Plus ? 0x20B : 0x10B);
    out.U8(optional + 2, 14);        // MajorLinkerVersion
    out.U32(optional + 8, rawSize);  // SizeOfInitializedData
    if (layout.Pe32Plus) {
        out.U64(optional + 24, 0x180000000);  // ImageBase
    } else {
        out.U32(optional + 24, kResourceRva);  // BaseOfData
        out.U32(optional + 28, 0x10000000);    // ImageBase
    }
    out.U32(optional + 32, kSectionAlignment);
    out.U32(optional + 36, kFileAlignment);
    out.U16(optional + 40, 6);  // MajorOperatingSystemVersion
    out.U16(optional + 48, 6);  // MajorSubsystemVersion
    out.U32(optional + 56, static_cast<DWORD>(AlignUp(kResourceRva + sectionSize,
                                                      kSectionAlignment)));  // SizeOfImage
    out.U32(optional + 60, sizeOfHeaders);
    out.U16(optional + 68, kSubsystemWindowsGui);
    out.U16(optional + 70, kDllNxCompatNoSeh);
    std::size_t directories = 0;
    if (layout.Pe32Plus) {
        out.U64(optional + 72, 0x100000);  // stack reserve, commit; heap reserve, commit
        out.U64(optional + 80, 0x1000);
        out.U64(optional + 88, 0x100000);
        out.U64(optional + 96, 0x1000);
        out.U32(optional + 108, kNumberOfDirectories);
        directories = optional + 112;
    } else {
        out.U32(optional + 72, 0x100000);
        out.U32(optional + 76, 0x1000);
        out.U32(optional + 80, 0x100000);
        out.U32(optional + 84, 0x1000);
        out.U32(optional + 92, kNumberOfDirectories);
        directories = optional + 96;
    }
    out.U32(directories + 2 * 8, kResourceRva);  // resource table
    out.U32(directories + 2 * 8 + 4, sectionSize);

    const std::size_t section = optional + optionalSize;
    const char name[] = ".rsrc";
    for (std::size_t i = 0; i + 1 < sizeof name; ++i) {
        out.U8(section + i, static_cast<BYTE>(name[i]));
    }
    out.U32(section + 8, sectionSize);  // VirtualSize
    out.U32(section + 12, kResourceRva);
    out.U32(section + 16, rawSize);
    out.U32(section + 20, sizeOfHeaders);  // PointerToRawData: the section follows the headers
    out.U32(section + 36, kSectionInitializedDataRead);
}

// The image checksum (the CheckSum field of the optional header): 16-bit one's-complement
// style sum of the file with the field itself taken as zero, plus the file length.
DWORD ImageCheckSum(const std::vector<BYTE>& bytes) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const DWORD word = bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<DWORD>(sum + bytes.size());
}

}  // namespace

std::optional<std::vector<BYTE>> BuildCatalogueModule(std::span<const BYTE> data,
                                                      const CatalogueModuleLayout& layout) {
    if (data.size() > kMaxCatalogueSize || layout.TypeName.empty() ||
        layout.TypeName.size() > kMaxTypeNameLength) {
        return std::nullopt;
    }
    try {
        const std::size_t optionalSize =
            layout.Pe32Plus ? kOptionalHeaderSize64 : kOptionalHeaderSize32;
        const auto sizeOfHeaders = static_cast<DWORD>(
            AlignUp(kPeHeaderOffset + 4 + kFileHeaderSize + optionalSize + kSectionHeaderSize,
                    kFileAlignment));
        const auto dataOffset =
            static_cast<DWORD>(AlignUp(kTypeNameString + 2 + 2 * layout.TypeName.size(), 8));
        const auto sectionSize = static_cast<DWORD>(dataOffset + data.size());
        const auto rawSize = static_cast<DWORD>(AlignUp(sectionSize, kFileAlignment));

        ByteWriter out(std::size_t{sizeOfHeaders} + rawSize);
        WriteHeaders(out, layout, sizeOfHeaders, sectionSize, rawSize);
        WriteResourceSection(out, sizeOfHeaders, dataOffset, data, layout);
        const std::size_t checkSumOffset = kPeHeaderOffset + 4 + kFileHeaderSize + 64;
        out.U32(checkSumOffset, ImageCheckSum(out.Bytes()));
        return std::move(out.Bytes());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace orchel_tools
