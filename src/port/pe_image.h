// Stand-in for loading a module as a data file and reading its resources: a read-only,
// bounds-checked reader of PE images (PE32 and PE32+). Nothing is mapped or executed; every
// offset and size read from the file is checked against the file before it is used.
// Layout: Microsoft PE/COFF format (MS-DOS stub, COFF file header, optional header,
// section table, ".rsrc" resource directory).
#ifndef ORCHEL_PORT_PE_IMAGE_H
#define ORCHEL_PORT_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orchel/wintypes.h"

namespace port {

// A catalogue module is small; larger files are not read at all.
inline constexpr std::size_t kMaxPeImageSize = 64u * 1024u * 1024u;

// Data directory indexes used here (PE/COFF optional header data directories).
inline constexpr unsigned kPeDirectoryResource = 2;
inline constexpr unsigned kPeDirectoryCertificate = 4;
inline constexpr unsigned kPeMaxDataDirectories = 16;

inline constexpr WORD kPeMagic32 = 0x10B;
inline constexpr WORD kPeMagic64 = 0x20B;

struct PeDataDirectory {
    DWORD VirtualAddress = 0;  // for the certificate table: a file offset
    DWORD Size = 0;
};

struct PeSection {
    std::string Name;  // up to 8 characters, NULs dropped
    DWORD VirtualSize = 0;
    DWORD VirtualAddress = 0;
    DWORD SizeOfRawData = 0;
    DWORD PointerToRawData = 0;
    DWORD Characteristics = 0;
};

// A byte range of the image file.
struct PeFileRange {
    std::size_t Offset = 0;
    std::size_t Size = 0;
};

class PeImage {
public:
    // Parses the headers and the section table; nothing when the bytes are not a well-formed
    // PE image. The image keeps its own copy of the bytes.
    static std::optional<PeImage> FromBytes(std::vector<BYTE> bytes);
    // Reads the file (at most `maxSize` bytes; a larger file is refused) and parses it.
    static std::optional<PeImage> FromFile(const std::wstring& path,
                                           std::size_t maxSize = kMaxPeImageSize);

    const std::vector<BYTE>& Bytes() const { return bytes_; }
    bool IsPe32Plus() const { return magic_ == kPeMagic64; }
    WORD Magic() const { return magic_; }
    WORD Machine() const { return machine_; }
    WORD Characteristics() const { return characteristics_; }
    WORD Subsystem() const { return subsystem_; }
    DWORD SizeOfImage() const { return sizeOfImage_; }
    DWORD SizeOfHeaders() const { return sizeOfHeaders_; }
    DWORD CheckSum() const;
    const std::vector<PeSection>& Sections() const { return sections_; }

    // File offsets of the header fields that an image hash leaves out (Authenticode PE image
    // hash): the CheckSum field of the optional header (4 bytes) and a data directory entry
    // (8 bytes; nothing when the header holds fewer directories than `index` + 1).
    std::size_t CheckSumOffset() const { return optionalHeaderOffset_ + 64; }
    std::optional<std::size_t> DataDirectoryEntryOffset(unsigned index) const;
    std::size_t SectionTableOffset() const { return sectionTableOffset_; }
    std::size_t NumberOfDataDirectories() const { return directories_.size(); }
    // Nothing when the header holds fewer directories than `index` + 1.
    std::optional<PeDataDirectory> DataDirectory(unsigned index) const;

    // The certificate table (data directory 4, whose address is a file offset): nothing when
    // the entry is absent or empty, or when it does not lie inside the file.
    std::optional<PeFileRange> CertificateTable() const;

    // The file range that holds `size` bytes at the relative virtual address `rva`: they must
    // lie inside one section's raw data and inside the file.
    std::optional<PeFileRange> RvaToFileRange(DWORD rva, DWORD size) const;

    // The data of the resource with the named type `typeName` (compared ignoring ASCII letter
    // case, as Windows compares resource names) and the integer identifier `id`, in its first
    // language. Nothing when the image has no such resource or its resource directory is
    // malformed. The range may be empty (a resource of size 0).
    std::optional<std::span<const BYTE>> FindResource(std::u16string_view typeName, WORD id) const;

private:
    PeImage() = default;
    bool Parse();
    bool ParseOptionalHeader(std::size_t offset, WORD size);
    bool ParseSections(std::size_t offset, WORD count);

    std::vector<BYTE> bytes_;
    WORD machine_ = 0;
    WORD characteristics_ = 0;
    WORD magic_ = 0;
    WORD subsystem_ = 0;
    DWORD sizeOfImage_ = 0;
    DWORD sizeOfHeaders_ = 0;
    std::size_t optionalHeaderOffset_ = 0;
    std::size_t directoriesOffset_ = 0;
    std::size_t sectionTableOffset_ = 0;
    std::vector<PeDataDirectory> directories_;
    std::vector<PeSection> sections_;
};

// FindResource + LoadResource + LockResource + SizeofResource on a module file in one step:
// the bytes of the resource with the named type `typeName` and the integer identifier `id`,
// any language. Nothing when the file cannot be read, is larger than kMaxPeImageSize, is not
// a PE image, has no such resource, or the resource is empty (a size of 0 counts as failure).
std::optional<std::vector<BYTE>> LoadResourceBytes(const std::wstring& modulePath,
                                                   const wchar_t* typeName, WORD id);

}  // namespace port

#endif  // ORCHEL_PORT_PE_IMAGE_H
