#include "port/pe_image.h"

#include <algorithm>
#include <array>
#include <exception>
#include <fstream>

#include "port/text.h"

namespace port {
namespace {

// Microsoft PE/COFF format: sizes and field offsets of the headers read here.
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kLfanewOffset = 0x3C;  // e_lfanew: file offset of the PE signature
constexpr std::size_t kSignatureSize = 4;    // "PE\0\0"
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr WORD kMaxSections = 96;  // the Windows loader refuses images with more
constexpr std::size_t kOptionalHeaderFixedSize32 = 96;
constexpr std::size_t kOptionalHeaderFixedSize64 = 112;
constexpr std::size_t kDataDirectorySize = 8;

// Microsoft PE/COFF format, resource directory: a directory table (16 bytes) followed
// by its named entries and then its integer-ID entries (8 bytes each); the high bit of an
// entry's first word marks a name offset, of its second word a subdirectory offset. All
// offsets are relative to the start of the resource directory. Data entries are 16 bytes,
// starting with the data's RVA and size.
constexpr std::size_t kResourceDirectorySize = 16;
constexpr std::size_t kResourceEntrySize = 8;
constexpr std::size_t kResourceDataEntrySize = 16;
constexpr DWORD kHighBit = 0x80000000u;

bool Has(std::span<const BYTE> bytes, std::size_t offset, std::size_t size) {
    return offset <= bytes.size() && size <= bytes.size() - offset;
}

// Callers check the range with Has first.
WORD ReadU16(std::span<const BYTE> bytes, std::size_t offset) {
    return static_cast<WORD>(bytes[offset] | (bytes[offset + 1] << 8));
}

DWORD ReadU32(std::span<const BYTE> bytes, std::size_t offset) {
    return static_cast<DWORD>(bytes[offset]) | (static_cast<DWORD>(bytes[offset + 1]) << 8) |
           (static_cast<DWORD>(bytes[offset + 2]) << 16) |
           (static_cast<DWORD>(bytes[offset + 3]) << 24);
}

struct ResourceEntry {
    bool named = false;
    DWORD nameOrId = 0;  // name: offset of the length-prefixed UTF-16LE name
    bool subdirectory = false;
    DWORD target = 0;
};

// The entries of the resource directory table at `offset` of the resource tree; nothing when
// the table or any of its entries lies outside the tree.
std::optional<std::vector<ResourceEntry>> ReadResourceDirectory(std::span<const BYTE> tree,
                                                                DWORD offset) {
    if (!Has(tree, offset, kResourceDirectorySize)) {
        return std::nullopt;
    }
    const std::size_t count =
        std::size_t{ReadU16(tree, offset + 12)} + std::size_t{ReadU16(tree, offset + 14)};
    const std::size_t first = std::size_t{offset} + kResourceDirectorySize;
    if (!Has(tree, first, count * kResourceEntrySize)) {
        return std::nullopt;
    }
    std::vector<ResourceEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        const DWORD name = ReadU32(tree, first + i * kResourceEntrySize);
        const DWORD data = ReadU32(tree, first + i * kResourceEntrySize + 4);
        entries[i] = {(name & kHighBit) != 0, name & ~kHighBit, (data & kHighBit) != 0,
                      data & ~kHighBit};
    }
    return entries;
}

char16_t UpperAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// Resource names are compared as Windows compares them: ignoring ASCII letter case.
bool ResourceNameEquals(std::span<const BYTE> tree, DWORD offset, std::u16string_view name) {
    if (!Has(tree, offset, 2)) {
        return false;
    }
    const std::size_t length = ReadU16(tree, offset);
    if (length != name.size() || !Has(tree, std::size_t{offset} + 2, length * 2)) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<char16_t>(ReadU16(tree, offset + 2 + i * 2));
        if (UpperAscii(c) != UpperAscii(name[i])) {
            return false;
        }
    }
    return true;
}

// The subdirectory of the first entry that `matches`; nothing when none matches or the match
// is not a subdirectory.
template <typename Match>
std::optional<DWORD> FindSubdirectory(std::span<const BYTE> tree, DWORD directory, Match matches) {
    const auto entries = ReadResourceDirectory(tree, directory);
    if (!entries) {
        return std::nullopt;
    }
    const auto found = std::find_if(entries->begin(), entries->end(), matches);
    if (found == entries->end() || !found->subdirectory) {
        return std::nullopt;
    }
    return found->target;
}

// Reads the whole stream; false when it holds more than `maxSize` bytes or a read fails.
bool ReadAll(std::ifstream& in, std::size_t maxSize, std::vector<BYTE>& out) {
    std::array<char, 64 * 1024> chunk{};
    while (in) {
        in.read(chunk.data(), chunk.size());
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got > maxSize - out.size()) {
            return false;
        }
        out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    }
    return !in.bad();
}

bool AppendUtf16(std::u16string& out, wchar_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return false;
    }
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
    } else {
        out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    }
    return true;
}

}  // namespace

std::optional<PeImage> PeImage::FromBytes(std::vector<BYTE> bytes) {
    PeImage image;
    image.bytes_ = std::move(bytes);
    if (!image.Parse()) {
        return std::nullopt;
    }
    return image;
}

std::optional<PeImage> PeImage::FromFile(const std::wstring& path, std::size_t maxSize) {
    try {
        std::string narrow;
        if (path.find(L'\0') != std::wstring::npos || !WideToUtf8(path, narrow)) {
            return std::nullopt;
        }
        std::ifstream in(narrow, std::ios::binary);
        std::vector<BYTE> bytes;
        if (!in || !ReadAll(in, maxSize, bytes)) {
            return std::nullopt;
        }
        return FromBytes(std::move(bytes));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool PeImage::Parse() {
    // MS-DOS header: "MZ", and e_lfanew naming the PE signature.
    if (!Has(bytes_, 0, kDosHeaderSize) || bytes_[0] != 'M' || bytes_[1] != 'Z') {
        return false;
    }
    const std::size_t signature = ReadU32(bytes_, kLfanewOffset);
    if (!Has(bytes_, signature, kSignatureSize + kFileHeaderSize) || bytes_[signature] != 'P' ||
        bytes_[signature + 1] != 'E' || bytes_[signature + 2] != 0 || bytes_[signature + 3] != 0) {
        return false;
    }
    // COFF file header.
    const std::size_t fileHeader = signature + kSignatureSize;
    machine_ = ReadU16(bytes_, fileHeader);
    const WORD numberOfSections = ReadU16(bytes_, fileHeader + 2);
    const WORD sizeOfOptionalHeader = ReadU16(bytes_, fileHeader + 16);
    characteristics_ = ReadU16(bytes_, fileHeader + 18);

    optionalHeaderOffset_ = fileHeader + kFileHeaderSize;
    return ParseOptionalHeader(optionalHeaderOffset_, sizeOfOptionalHeader) &&
           ParseSections(optionalHeaderOffset_ + sizeOfOptionalHeader, numberOfSections);
}

bool PeImage::ParseOptionalHeader(std::size_t offset, WORD size) {
    if (size < 2 || !Has(bytes_, offset, size)) {
        return false;
    }
    magic_ = ReadU16(bytes_, offset);
    std::size_t fixedSize = 0;
    if (magic_ == kPeMagic32) {
        fixedSize = kOptionalHeaderFixedSize32;
    } else if (magic_ == kPeMagic64) {
        fixedSize = kOptionalHeaderFixedSize64;
    } else {
        return false;
    }
    if (size < fixedSize) {
        return false;
    }
    sizeOfImage_ = ReadU32(bytes_, offset + 56);
    sizeOfHeaders_ = ReadU32(bytes_, offset + 60);
    subsystem_ = ReadU16(bytes_, offset + 68);

    // NumberOfRvaAndSizes is the last fixed field; the directories that follow are bounded by
    // the header's declared size and by the 16 that the format defines.
    const DWORD declared = ReadU32(bytes_, offset + fixedSize - 4);
    const std::size_t count = std::min<std::size_t>(
        {declared, kPeMaxDataDirectories, (size - fixedSize) / kDataDirectorySize});
    directoriesOffset_ = offset + fixedSize;
    directories_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = directoriesOffset_ + i * kDataDirectorySize;
        directories_[i] = {ReadU32(bytes_, entry), ReadU32(bytes_, entry + 4)};
    }
    return true;
}

bool PeImage::ParseSections(std::size_t offset, WORD count) {
    if (count > kMaxSections || !Has(bytes_, offset, std::size_t{count} * kSectionHeaderSize)) {
        return false;
    }
    sectionTableOffset_ = offset;
    sections_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t header = offset + i * kSectionHeaderSize;
        PeSection& section = sections_[i];
        const auto* name = reinterpret_cast<const char*>(&bytes_[header]);
        section.Name.assign(name, std::find(name, name + 8, '\0'));
        section.VirtualSize = ReadU32(bytes_, header + 8);
        section.VirtualAddress = ReadU32(bytes_, header + 12);
        section.SizeOfRawData = ReadU32(bytes_, header + 16);
        section.PointerToRawData = ReadU32(bytes_, header + 20);
        section.Characteristics = ReadU32(bytes_, header + 36);
        // As the Windows loader does, refuse a section whose raw data the file does not hold.
        if (!Has(bytes_, section.PointerToRawData, section.SizeOfRawData)) {
            return false;
        }
    }
    return true;
}

DWORD PeImage::CheckSum() const {
    return ReadU32(bytes_, CheckSumOffset());
}

std::optional<std::size_t> PeImage::DataDirectoryEntryOffset(unsigned index) const {
    if (index >= directories_.size()) {
        return std::nullopt;
    }
    return directoriesOffset_ + std::size_t{index} * kDataDirectorySize;
}

std::optional<PeDataDirectory> PeImage::DataDirectory(unsigned index) const {
    if (index >= directories_.size()) {
        return std::nullopt;
    }
    return directories_[index];
}

std::optional<PeFileRange> PeImage::CertificateTable() const {
    const auto directory = DataDirectory(kPeDirectoryCertificate);
    if (!directory || directory->VirtualAddress == 0 || directory->Size == 0 ||
        !Has(bytes_, directory->VirtualAddress, directory->Size)) {
        return std::nullopt;
    }
    return PeFileRange{directory->VirtualAddress, directory->Size};
}

std::optional<PeFileRange> PeImage::RvaToFileRange(DWORD rva, DWORD size) const {
    for (const PeSection& section : sections_) {
        // Only the bytes the file holds for the section can be read; what lies beyond them
        // in memory is zero fill that no resource here is expected to use.
        const std::uint64_t extent = section.VirtualSize == 0
                                         ? section.SizeOfRawData
                                         : std::min(section.VirtualSize, section.SizeOfRawData);
        if (rva < section.VirtualAddress) {
            continue;
        }
        const std::uint64_t delta = std::uint64_t{rva} - section.VirtualAddress;
        if (delta > extent || size > extent - delta) {
            continue;
        }
        const std::uint64_t offset = std::uint64_t{section.PointerToRawData} + delta;
        if (offset > bytes_.size() || size > bytes_.size() - offset) {
            return std::nullopt;
        }
        return PeFileRange{static_cast<std::size_t>(offset), size};
    }
    return std::nullopt;
}

std::optional<std::span<const BYTE>> PeImage::FindResource(std::u16string_view typeName,
                                                           WORD id) const {
    const auto directory = DataDirectory(kPeDirectoryResource);
    if (!directory || directory->Size == 0) {
        return std::nullopt;
    }
    const auto treeRange = RvaToFileRange(directory->VirtualAddress, directory->Size);
    if (!treeRange) {
        return std::nullopt;
    }
    const std::span<const BYTE> tree(bytes_.data() + treeRange->Offset, treeRange->Size);

    // The tree has exactly three levels (type, name, language); no more are ever followed,
    // so an entry that points back at its own directory cannot loop.
    const auto typeDirectory = FindSubdirectory(tree, 0, [&](const ResourceEntry& entry) {
        return entry.named && ResourceNameEquals(tree, entry.nameOrId, typeName);
    });
    if (!typeDirectory) {
        return std::nullopt;
    }
    const auto nameDirectory = FindSubdirectory(tree, *typeDirectory, [&](const auto& entry) {
        return !entry.named && entry.nameOrId == id;
    });
    if (!nameDirectory) {
        return std::nullopt;
    }
    // Any language will do: the first one.
    const auto languages = ReadResourceDirectory(tree, *nameDirectory);
    if (!languages || languages->empty() || languages->front().subdirectory) {
        return std::nullopt;
    }
    const DWORD dataEntry = languages->front().target;
    if (!Has(tree, dataEntry, kResourceDataEntrySize)) {
        return std::nullopt;
    }
    const auto data = RvaToFileRange(ReadU32(tree, dataEntry), ReadU32(tree, dataEntry + 4));
    if (!data) {
        return std::nullopt;
    }
    return std::span<const BYTE>(bytes_.data() + data->Offset, data->Size);
}

std::optional<std::vector<BYTE>> LoadResourceBytes(const std::wstring& modulePath,
                                                   const wchar_t* typeName, WORD id) {
    try {
        std::u16string type;
        for (const wchar_t* c = typeName; c != nullptr && *c != L'\0'; ++c) {
            if (!AppendUtf16(type, *c)) {
                return std::nullopt;
            }
        }
        if (type.empty()) {
            return std::nullopt;
        }
        const auto image = PeImage::FromFile(modulePath);
        if (!image) {
            return std::nullopt;
        }
        const auto resource = image->FindResource(type, id);
        if (!resource || resource->empty()) {
            return std::nullopt;
        }
        return std::vector<BYTE>(resource->begin(), resource->end());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace port
