#include "port/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "port/file_replace.h"
#include "port/text.h"

// Notes on the Windows rules kept here, and on the choices where they say nothing:
// - The enumeration forms (null section or null key on reading) are not used by the library:
//   they give an empty buffer and 0.
// - Lines before the first section header belong to no section and are never found.
// - An empty value reads as itself, but GetPrivateProfileIntW gives the default for it, as
//   Windows does.
// - Numbers wrap modulo 2^32 as the 32-bit accumulator of the Windows parser does.
// - Deleting a key removes every line of it in the first section of that name, and deleting a
//   section removes every section of that name, so that afterwards reads give the default.
// - A section, key or value holding a line break, or a key that would read back as something
//   else ("=", or a leading ';' or '['), is refused: written out it would corrupt the file or
//   change another setting.
// - New files are UTF-8 without BOM with LF line ends; lines added to an existing file take its
//   first line end (CRLF stays CRLF) and its encoding.

namespace port {
namespace {

// A settings file larger than this reads as missing and is never rewritten, so a damaged or
// hostile file cannot exhaust memory.
constexpr std::size_t kMaxProfileFileBytes = 16u * 1024u * 1024u;

constexpr wchar_t kReplacementCharacter = 0xFFFD;
constexpr std::uint32_t kLineFeed = '\n';
constexpr std::uint32_t kCarriageReturn = '\r';
constexpr std::uint32_t kEquals = '=';
constexpr std::string_view kUtf8Bom("\xEF\xBB\xBF", 3);
constexpr std::string_view kUtf16LeBom("\xFF\xFE", 2);

// ---- files ----

enum class ReadStatus { kRead, kMissing, kFailed };

struct LoadedFile {
    ReadStatus status = ReadStatus::kFailed;
    std::string bytes;
    struct stat info {};
};

bool ReadAll(int descriptor, std::string& bytes) {
    std::array<char, 64 * 1024> chunk;
    for (;;) {
        const ssize_t count = ::read(descriptor, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return count == 0;
        }
        if (bytes.size() + static_cast<std::size_t>(count) > kMaxProfileFileBytes) {
            return false;
        }
        bytes.append(chunk.data(), static_cast<std::size_t>(count));
    }
}

// Only a regular file of bounded size is read; O_NONBLOCK keeps a FIFO from stalling the open.
LoadedFile LoadFile(const std::string& path) {
    LoadedFile loaded;
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.IsOpen()) {
        loaded.status = errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kFailed;
        return loaded;
    }
    if (::fstat(file.Get(), &loaded.info) != 0 || !S_ISREG(loaded.info.st_mode) ||
        static_cast<std::uint64_t>(loaded.info.st_size) > kMaxProfileFileBytes ||
        !ReadAll(file.Get(), loaded.bytes)) {
        return loaded;
    }
    loaded.status = ReadStatus::kRead;
    return loaded;
}

bool FolderExists(const std::string& path) {
    struct stat info {};
    return ::stat(FolderOf(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> NarrowFileName(const wchar_t* fileName) {
    std::string path;
    if (fileName == nullptr || *fileName == 0 || !WideToUtf8(fileName, path)) {
        return std::nullopt;
    }
    return path;
}

// A symbolic link is followed, so that the file it names is rewritten and the link stays.
std::optional<std::string> WriteTarget(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_symlink(path, error)) {
        return path;
    }
    const std::filesystem::path target = std::filesystem::canonical(path, error);
    return error ? std::nullopt : std::optional<std::string>(target.string());
}

// ---- encodings ----

enum class Encoding { kUtf8, kUtf16Le };

// A profile file as stored: its byte-order mark, kept as found, and the lines after it.
struct ProfileBytes {
    Encoding encoding = Encoding::kUtf8;
    std::string_view bom;
    std::string_view body;
};

ProfileBytes SplitEncoding(std::string_view bytes) {
    if (bytes.starts_with(kUtf16LeBom)) {
        return {Encoding::kUtf16Le, kUtf16LeBom, bytes.substr(kUtf16LeBom.size())};
    }
    if (bytes.starts_with(kUtf8Bom)) {
        return {Encoding::kUtf8, kUtf8Bom, bytes.substr(kUtf8Bom.size())};
    }
    return {Encoding::kUtf8, {}, bytes};
}

std::size_t UnitSize(Encoding encoding) {
    return encoding == Encoding::kUtf16Le ? 2 : 1;
}

// The code unit at `position`: a byte of UTF-8 or a little-endian 16-bit unit.
std::uint32_t UnitAt(std::string_view bytes, std::size_t position, Encoding encoding) {
    const auto low = static_cast<unsigned char>(bytes[position]);
    if (encoding == Encoding::kUtf8) {
        return low;
    }
    return low | (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[position + 1])) << 8);
}

std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    return (lead >= 0xF0 && lead <= 0xF4) ? 4 : 0;
}

bool IsSurrogate(std::uint32_t value) {
    return value >= 0xD800 && value <= 0xDFFF;
}

// The well-formed UTF-8 sequence at `position` (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF); advances past it, or returns nothing and leaves `position`.
std::optional<wchar_t> DecodeUtf8Scalar(std::string_view bytes, std::size_t& position) {
    const auto lead = static_cast<unsigned char>(bytes[position]);
    const std::size_t length = Utf8SequenceLength(lead);
    if (length == 0 || bytes.size() - position < length) {
        return std::nullopt;
    }
    std::uint32_t value = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto continuation = static_cast<unsigned char>(bytes[position + i]);
        if ((continuation & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (continuation & 0x3F);
    }
    static constexpr std::array<std::uint32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || IsSurrogate(value)) {
        return std::nullopt;
    }
    position += length;
    return static_cast<wchar_t>(value);
}

// A stray byte does not make the file unreadable: it becomes U+FFFD and the rest still reads.
std::wstring DecodeUtf8Leniently(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    std::size_t position = 0;
    while (position < bytes.size()) {
        const std::optional<wchar_t> scalar = DecodeUtf8Scalar(bytes, position);
        if (!scalar) {
            ++position;
        }
        text.push_back(scalar.value_or(kReplacementCharacter));
    }
    return text;
}

// Unpaired surrogates and an odd last byte become U+FFFD.
std::wstring DecodeUtf16LeLeniently(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size() / 2 + 1);
    std::size_t position = 0;
    for (; position + 1 < bytes.size(); position += 2) {
        const std::uint32_t unit = UnitAt(bytes, position, Encoding::kUtf16Le);
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const std::uint32_t next =
            position + 3 < bytes.size() ? UnitAt(bytes, position + 2, Encoding::kUtf16Le) : 0;
        if (high && next >= 0xDC00 && next <= 0xDFFF) {
            text.push_back(
                static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00)));
            position += 2;
        } else {
            text.push_back(IsSurrogate(unit) ? kReplacementCharacter : static_cast<wchar_t>(unit));
        }
    }
    if (position < bytes.size()) {
        text.push_back(kReplacementCharacter);
    }
    return text;
}

std::wstring DecodeText(std::string_view bytes, Encoding encoding) {
    return encoding == Encoding::kUtf8 ? DecodeUtf8Leniently(bytes) : DecodeUtf16LeLeniently(bytes);
}

// Nothing when the text holds a character that is not a Unicode scalar value.
std::optional<std::string> EncodeText(std::wstring_view text, Encoding encoding) {
    std::string bytes;
    const bool encoded =
        encoding == Encoding::kUtf16Le ? WideToUtf16Le(text, bytes) : WideToUtf8(text, bytes);
    return encoded ? std::optional<std::string>(std::move(bytes)) : std::nullopt;
}

// ---- lines ----

bool IsBlank(wchar_t character) {
    return character == L' ' || character == L'\t' || character == L'\r';
}

std::wstring_view Trim(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Where a line lies in the body, as byte offsets: the line ends (LF or CRLF) are not content.
struct LineSpan {
    std::size_t begin = 0;
    std::size_t contentEnd = 0;
    std::size_t end = 0;

    bool HasLineEnd() const { return end > contentEnd; }
};

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

struct ParsedLine {
    LineKind kind = LineKind::kOther;
    std::wstring_view name;   // section or key name, blanks trimmed
    std::wstring_view value;  // key value, blanks trimmed, quotes kept
};

// `[name]` (the last ']' closes it), `key=value` (the first '=' separates them), a ';' comment,
// a blank line, or anything else, which is ignored.
ParsedLine ParseLine(std::wstring_view text) {
    const std::wstring_view trimmed = Trim(text);
    if (trimmed.empty()) {
        return {LineKind::kBlank, {}, {}};
    }
    if (trimmed.front() == L';') {
        return {LineKind::kComment, {}, {}};
    }
    const std::size_t close = trimmed.rfind(L']');
    if (trimmed.front() == L'[' && close != std::wstring_view::npos) {
        return {LineKind::kSection, Trim(trimmed.substr(1, close - 1)), {}};
    }
    const std::size_t equals = trimmed.find(L'=');
    if (equals == std::wstring_view::npos) {
        return {LineKind::kOther, {}, {}};
    }
    return {LineKind::kKey, Trim(trimmed.substr(0, equals)), Trim(trimmed.substr(equals + 1))};
}

// One line of the body, decoded and parsed; the views of `parsed` point into `text`, so the
// object is filled in place and never copied.
struct ScannedLine {
    LineSpan span;
    std::wstring text;
    ParsedLine parsed;

    ScannedLine() = default;
    ScannedLine(const ScannedLine&) = delete;
    ScannedLine& operator=(const ScannedLine&) = delete;
};

// Walks the body line by line, decoding one line at a time so that memory follows the longest
// line, not the file.
class LineScanner {
public:
    LineScanner(std::string_view body, Encoding encoding, std::size_t from = 0)
        : body_(body), encoding_(encoding), position_(from) {}

    bool Next(ScannedLine& line) {
        if (position_ >= body_.size()) {
            return false;
        }
        line.span = SpanAt(position_);
        position_ = line.span.end;
        line.text = DecodeText(Content(line.span), encoding_);
        line.parsed = ParseLine(line.text);
        return true;
    }

    std::string_view Content(const LineSpan& span) const {
        return body_.substr(span.begin, span.contentEnd - span.begin);
    }

private:
    LineSpan SpanAt(std::size_t begin) const {
        const std::size_t unit = UnitSize(encoding_);
        std::size_t position = begin;
        while (position + unit <= body_.size() && UnitAt(body_, position, encoding_) != kLineFeed) {
            position += unit;
        }
        if (position + unit > body_.size()) {
            return {begin, body_.size(), body_.size()};
        }
        const bool crlf = position - begin >= unit &&
                          UnitAt(body_, position - unit, encoding_) == kCarriageReturn;
        return {begin, crlf ? position - unit : position, position + unit};
    }

    std::string_view body_;
    Encoding encoding_;
    std::size_t position_;
};

bool IsSectionNamed(const ParsedLine& line, std::wstring_view section) {
    return line.kind == LineKind::kSection && EqualsIgnoreCase(line.name, section);
}

bool IsKeyNamed(const ParsedLine& line, std::wstring_view key) {
    return line.kind == LineKind::kKey && EqualsIgnoreCase(line.name, key);
}

// ---- reading ----

// One pair of matching quotes around the whole value is dropped; a lone quote stays.
std::wstring_view DropQuotes(std::wstring_view value) {
    const bool quoted = value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
                        value.back() == value.front();
    return quoted ? value.substr(1, value.size() - 2) : value;
}

// The first key of that name in the first section of that name; later sections of the same
// name are never searched.
std::optional<std::wstring> FindValue(const ProfileBytes& file, std::wstring_view section,
                                      std::wstring_view key) {
    LineScanner scanner(file.body, file.encoding);
    ScannedLine line;
    bool inSection = false;
    while (scanner.Next(line)) {
        if (line.parsed.kind == LineKind::kSection) {
            if (inSection) {
                return std::nullopt;
            }
            inSection = IsSectionNamed(line.parsed, section);
        } else if (inSection && IsKeyNamed(line.parsed, key)) {
            return std::wstring(DropQuotes(line.parsed.value));
        }
    }
    return std::nullopt;
}

std::optional<std::wstring> LookUp(const wchar_t* section, const wchar_t* key,
                                   const wchar_t* fileName) {
    const std::optional<std::string> path = NarrowFileName(fileName);
    if (!path) {
        return std::nullopt;
    }
    const LoadedFile loaded = LoadFile(*path);
    if (loaded.status != ReadStatus::kRead) {
        return std::nullopt;
    }
    return FindValue(SplitEncoding(loaded.bytes), Trim(section), Trim(key));
}

// Windows drops trailing spaces from the default before copying it.
DWORD CopyDefault(const wchar_t* defaultValue, wchar_t* buffer, DWORD size) {
    std::wstring_view text = defaultValue != nullptr ? defaultValue : L"";
    while (!text.empty() && text.back() == L' ') {
        text.remove_suffix(1);
    }
    return static_cast<DWORD>(BoundedCopy(buffer, size, text));
}

std::optional<unsigned> DigitValue(wchar_t character, unsigned base) {
    unsigned digit = base;
    if (character >= L'0' && character <= L'9') {
        digit = static_cast<unsigned>(character - L'0');
    } else if (character >= L'a' && character <= L'f') {
        digit = static_cast<unsigned>(character - L'a' + 10);
    } else if (character >= L'A' && character <= L'F') {
        digit = static_cast<unsigned>(character - L'A' + 10);
    }
    return digit < base ? std::optional<unsigned>(digit) : std::nullopt;
}

// Blanks, an optional sign, then "0x" and hexadecimal digits or decimal digits, up to the
// first other character. The 32-bit accumulator wraps as the Windows one does, so
// "4294967296" gives 0 and "-1" gives 0xFFFFFFFF.
UINT ParseProfileInt(std::wstring_view text) {
    std::size_t position = 0;
    while (position < text.size() && IsBlank(text[position])) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == L'-' || text[position] == L'+')) {
        negative = text[position] == L'-';
        ++position;
    }
    unsigned base = 10;
    if (text.substr(position, 2) == L"0x" || text.substr(position, 2) == L"0X") {
        base = 16;
        position += 2;
    }
    UINT total = 0;
    for (; position < text.size(); ++position) {
        const std::optional<unsigned> digit = DigitValue(text[position], base);
        if (!digit) {
            break;
        }
        total = total * base + *digit;
    }
    return negative ? 0u - total : total;
}

// ---- writing ----

bool HasLineBreak(std::wstring_view text) {
    return text.find_first_of(L"\r\n") != std::wstring_view::npos;
}

// A key line must read back as the same key: a '=' would end the name early, and a leading ';'
// or '[' would turn the line into a comment or a section header.
bool IsWritableKey(std::wstring_view key) {
    return !HasLineBreak(key) && key.find(L'=') == std::wstring_view::npos &&
           !key.starts_with(L';') && !key.starts_with(L'[');
}

// A change to the body: the bytes of [begin, end) replaced by `bytes`.
struct Splice {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string bytes;
};

// What a write needs to know about a section: its header, where it ends (at the next header or
// the end of the body), the lines of one key in it and its last line that is not blank.
struct SectionSpans {
    LineSpan header;
    std::size_t end = 0;
    std::vector<LineSpan> keyLines;
    LineSpan lastNonBlank;
};

// The first section named `section` at or after byte `from` (a line start).
std::optional<SectionSpans> FindSection(const ProfileBytes& file, std::size_t from,
                                        std::wstring_view section, std::wstring_view key) {
    LineScanner scanner(file.body, file.encoding, from);
    ScannedLine line;
    std::optional<SectionSpans> found;
    while (scanner.Next(line)) {
        if (found && line.parsed.kind == LineKind::kSection) {
            found->end = line.span.begin;
            return found;
        }
        if (found) {
            if (IsKeyNamed(line.parsed, key)) {
                found->keyLines.push_back(line.span);
            }
            if (line.parsed.kind != LineKind::kBlank) {
                found->lastNonBlank = line.span;
            }
        } else if (IsSectionNamed(line.parsed, section)) {
            found = SectionSpans{line.span, file.body.size(), {}, line.span};
        }
    }
    return found;
}

// Edits one profile file; every byte that the edit does not touch is kept as it was.
class ProfileEditor {
public:
    explicit ProfileEditor(const ProfileBytes& file) : file_(file), lineEnd_(FirstLineEnd()) {}

    // The odd last byte of a damaged UTF-16 file would shift every unit written after it.
    bool IsEditable() const {
        return file_.encoding == Encoding::kUtf8 || file_.body.size() % 2 == 0;
    }

    bool SetValue(std::wstring_view section, std::wstring_view key, std::wstring_view value) {
        const std::optional<SectionSpans> found = FindSection(file_, 0, section, key);
        if (!found) {
            return AppendLines({L"[" + std::wstring(section) + L"]",
                                std::wstring(key) + L"=" + std::wstring(value)});
        }
        if (!found->keyLines.empty()) {
            return ReplaceValue(found->keyLines.front(), value);
        }
        return InsertLineAfter(found->lastNonBlank, std::wstring(key) + L"=" + std::wstring(value));
    }

    void DeleteKey(std::wstring_view section, std::wstring_view key) {
        if (const std::optional<SectionSpans> found = FindSection(file_, 0, section, key)) {
            for (const LineSpan& line : found->keyLines) {
                splices_.push_back({line.begin, line.end, {}});
            }
        }
    }

    void DeleteSection(std::wstring_view section) {
        std::size_t from = 0;
        while (const std::optional<SectionSpans> found = FindSection(file_, from, section, {})) {
            splices_.push_back({found->header.begin, found->end, {}});
            from = found->end;
        }
    }

    // The whole file after the edit, byte-order mark included.
    std::string Bytes() const {
        std::string bytes(file_.bom);
        std::size_t kept = 0;
        for (const Splice& splice : splices_) {
            bytes.append(file_.body.substr(kept, splice.begin - kept));
            bytes.append(splice.bytes);
            kept = splice.end;
        }
        bytes.append(file_.body.substr(kept));
        return bytes;
    }

private:
    // The file's own line end for added lines; LF for a file that has none yet.
    std::string FirstLineEnd() const {
        LineScanner scanner(file_.body, file_.encoding);
        ScannedLine line;
        if (scanner.Next(line) && line.span.HasLineEnd()) {
            return std::string(
                file_.body.substr(line.span.contentEnd, line.span.end - line.span.contentEnd));
        }
        return EncodeText(L"\n", file_.encoding).value_or("\n");
    }

    bool EndsWithLineEnd() const {
        const std::size_t unit = UnitSize(file_.encoding);
        return file_.body.size() < unit ||
               UnitAt(file_.body, file_.body.size() - unit, file_.encoding) == kLineFeed;
    }

    // The value starts after the first '=' and the blanks that follow it; everything before it
    // (indentation, the key's spelling, the spacing) stays.
    std::size_t ValueOffset(const LineSpan& line) const {
        const std::size_t unit = UnitSize(file_.encoding);
        std::size_t position = line.begin;
        while (position < line.contentEnd &&
               UnitAt(file_.body, position, file_.encoding) != kEquals) {
            position += unit;
        }
        position += unit;
        while (position < line.contentEnd &&
               IsBlank(static_cast<wchar_t>(UnitAt(file_.body, position, file_.encoding)))) {
            position += unit;
        }
        return position;
    }

    bool ReplaceValue(const LineSpan& line, std::wstring_view value) {
        std::optional<std::string> bytes = EncodeText(value, file_.encoding);
        if (!bytes) {
            return false;
        }
        splices_.push_back({ValueOffset(line), line.contentEnd, std::move(*bytes)});
        return true;
    }

    // Lines added after the last line of the file first end that line when it has no line end.
    bool InsertLineAfter(const LineSpan& line, const std::wstring& text) {
        std::optional<std::string> bytes = EncodeText(text, file_.encoding);
        if (!bytes) {
            return false;
        }
        const std::string before = line.HasLineEnd() ? std::string() : lineEnd_;
        splices_.push_back({line.end, line.end, before + *bytes + lineEnd_});
        return true;
    }

    bool AppendLines(const std::vector<std::wstring>& lines) {
        std::string bytes;
        if (!EndsWithLineEnd()) {
            bytes = lineEnd_;
        }
        for (const std::wstring& line : lines) {
            const std::optional<std::string> encoded = EncodeText(line, file_.encoding);
            if (!encoded) {
                return false;
            }
            bytes += *encoded + lineEnd_;
        }
        splices_.push_back({file_.body.size(), file_.body.size(), std::move(bytes)});
        return true;
    }

    ProfileBytes file_;
    std::string lineEnd_;
    std::vector<Splice> splices_;  // in body order, not overlapping
};

bool ApplyChange(ProfileEditor& editor, std::wstring_view section, const wchar_t* key,
                 const wchar_t* value) {
    if (key == nullptr) {
        editor.DeleteSection(section);
        return true;
    }
    if (value == nullptr) {
        editor.DeleteKey(section, Trim(key));
        return true;
    }
    return editor.SetValue(section, Trim(key), value);
}

bool IsWritableChange(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return section != nullptr && !HasLineBreak(section) &&
           (key == nullptr || IsWritableKey(Trim(key))) &&
           (value == nullptr || !HasLineBreak(value));
}

// Writers of this process take turns, so that each rewrite starts from the file the previous
// one left and no thread's key is lost. The lock is function-local because it guards nothing
// but this sequence; other processes are kept apart only by the atomic rename (the last writer
// wins, the file always stays whole).
std::mutex& WriterTurn() {
    static std::mutex turn;
    return turn;
}

bool WriteProfile(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                  const wchar_t* fileName) {
    const std::optional<std::string> path = NarrowFileName(fileName);
    if (!IsWritableChange(section, key, value) || !path) {
        return false;
    }
    const std::lock_guard<std::mutex> turn(WriterTurn());
    const std::optional<std::string> target = WriteTarget(*path);
    if (!target) {
        return false;
    }
    // An existing file that cannot be read whole is never replaced.
    const LoadedFile loaded = LoadFile(*target);
    if (loaded.status == ReadStatus::kFailed ||
        (loaded.status == ReadStatus::kMissing && !FolderExists(*target))) {
        return false;
    }
    ProfileEditor editor(SplitEncoding(loaded.bytes));
    if (!editor.IsEditable() || !ApplyChange(editor, Trim(section), key, value)) {
        return false;
    }
    const std::string bytes = editor.Bytes();
    if (bytes == loaded.bytes) {
        return true;  // nothing changed (a missing file stays missing)
    }
    return ReplaceFileContents(*target, bytes);
}

}  // namespace

DWORD GetPrivateProfileStringW(const wchar_t* section, const wchar_t* key,
                               const wchar_t* defaultValue, wchar_t* buffer, DWORD size,
                               const wchar_t* fileName) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (section == nullptr || key == nullptr) {
        buffer[0] = L'\0';
        return 0;
    }
    try {
        if (const std::optional<std::wstring> value = LookUp(section, key, fileName)) {
            return static_cast<DWORD>(BoundedCopy(buffer, size, *value));
        }
    } catch (...) {
        // Only allocation can fail here: a setting that cannot be read reads as absent.
    }
    return CopyDefault(defaultValue, buffer, size);
}

UINT GetPrivateProfileIntW(const wchar_t* section, const wchar_t* key, int defaultValue,
                           const wchar_t* fileName) {
    try {
        if (section != nullptr && key != nullptr) {
            const std::optional<std::wstring> value = LookUp(section, key, fileName);
            if (value && !value->empty()) {
                return ParseProfileInt(*value);
            }
        }
    } catch (...) {
        // As above: unreadable reads as absent.
    }
    return static_cast<UINT>(defaultValue);
}

BOOL WritePrivateProfileStringW(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                                const wchar_t* fileName) {
    try {
        return WriteProfile(section, key, value, fileName) ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

}  // namespace port
