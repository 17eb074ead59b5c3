#include "port/registry.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "port/text.h"

// An open key: the path below HKEY_LOCAL_MACHINE, normalised (no leading, trailing or doubled
// backslash) and ASCII-lower-cased, so comparisons with the file are plain equality.
struct HKEY__ {
    std::wstring path;
};

namespace port {
namespace {

constexpr const char* kRegistryVariable = "ORCHEL_REGISTRY";
constexpr const char* kDefaultRegistryFile = "/etc/orchel/registry.reg";

// A registry file larger than this is refused whole, so a hostile file cannot exhaust memory.
// It also keeps every REG_SZ size well inside a DWORD.
constexpr std::size_t kMaxRegistryFileBytes = 16u * 1024u * 1024u;

// Predefined roots are small tagged numbers, never addresses that may be dereferenced.
constexpr std::uintptr_t kFirstPredefinedKey = 0x80000000u;
constexpr std::uintptr_t kLastPredefinedKey = 0x800000FFu;

using RegValue = std::variant<std::wstring, DWORD>;  // REG_SZ text or REG_DWORD number
using ValueMap = std::map<std::wstring, RegValue>;   // by ASCII-lower-cased name

struct ValueLine {
    std::wstring name;  // empty for the default value "@"
    RegValue value;
};

// What the file says about one key: whether it exists, and its values.
struct KeyContents {
    bool exists = false;
    ValueMap values;
};

// ---- reading and decoding the file ----

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

const char* RegistryFilePath() {
    const char* path = std::getenv(kRegistryVariable);
    return (path != nullptr && *path != 0) ? path : kDefaultRegistryFile;
}

// Reads at most kMaxRegistryFileBytes; a missing, unreadable or larger file gives nothing.
std::optional<std::string> ReadCappedFile(const char* path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) {
        return std::nullopt;
    }
    std::string bytes;
    std::array<char, 16 * 1024> chunk;
    std::size_t count = 0;
    while ((count = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0) {
        if (bytes.size() + count > kMaxRegistryFileBytes) {
            return std::nullopt;
        }
        bytes.append(chunk.data(), count);
    }
    if (std::ferror(file.get())) {
        return std::nullopt;
    }
    return bytes;
}

bool StartsWith(std::string_view bytes, std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
}

// UTF-16LE when the file opens with its BOM, UTF-8 (BOM optional) otherwise.
std::optional<std::wstring> DecodeRegistryText(std::string_view bytes) {
    static constexpr std::string_view kUtf16LeBom("\xFF\xFE", 2);
    static constexpr std::string_view kUtf8Bom("\xEF\xBB\xBF", 3);
    std::wstring text;
    bool decoded = false;
    if (StartsWith(bytes, kUtf16LeBom)) {
        decoded = Utf16LeToWide(bytes.substr(kUtf16LeBom.size()), text);
    } else if (StartsWith(bytes, kUtf8Bom)) {
        decoded = Utf8ToWide(bytes.substr(kUtf8Bom.size()), text);
    } else {
        decoded = Utf8ToWide(bytes, text);
    }
    return decoded ? std::optional<std::wstring>(std::move(text)) : std::nullopt;
}

std::optional<std::wstring> ReadRegistryText() {
    const std::optional<std::string> bytes = ReadCappedFile(RegistryFilePath());
    return bytes ? DecodeRegistryText(*bytes) : std::nullopt;
}

// ---- names and paths ----

// Drops leading and trailing backslashes and folds case. A doubled backslash inside, or a NUL,
// names no key at all.
std::optional<std::wstring> NormalizeKeyPath(std::wstring_view path) {
    const std::size_t first = path.find_first_not_of(L'\\');
    if (first == std::wstring_view::npos) {
        return std::wstring();
    }
    path = path.substr(first, path.find_last_not_of(L'\\') - first + 1);
    if (path.find(L"\\\\") != std::wstring_view::npos ||
        path.find(L'\0') != std::wstring_view::npos) {
        return std::nullopt;
    }
    return ToLowerAscii(path);
}

std::wstring JoinKeyPath(const std::wstring& parent, const std::wstring& child) {
    if (parent.empty() || child.empty()) {
        return parent + child;
    }
    return parent + L'\\' + child;
}

// True when `section` is `key` or lies below it: importing [A\B\C] creates A and A\B.
bool SectionCreatesKey(std::wstring_view section, std::wstring_view key) {
    if (key.empty() || section == key) {
        return true;
    }
    return section.size() > key.size() && section.substr(0, key.size()) == key &&
           section[key.size()] == L'\\';
}

// ---- the .reg text format ----

bool IsBlank(wchar_t character) {
    return character == L' ' || character == L'\t' || character == L'\r';
}

std::wstring_view TrimBlanks(std::wstring_view line) {
    while (!line.empty() && IsBlank(line.front())) {
        line.remove_prefix(1);
    }
    while (!line.empty() && IsBlank(line.back())) {
        line.remove_suffix(1);
    }
    return line;
}

void SkipBlanks(std::wstring_view line, std::size_t& position) {
    while (position < line.size() && IsBlank(line[position])) {
        ++position;
    }
}

bool IsHeader(std::wstring_view line) {
    return line == L"Windows Registry Editor Version 5.00" || line == L"REGEDIT4";
}

bool IsSectionLine(std::wstring_view line) {
    return line.front() == L'[';
}

// The HKLM path that a section line names, or nothing for a section whose values must not be
// served: another root, a malformed section line, or a deletion "[-HKEY_...]" (its root reads as
// "-HKEY_...", which is no root of ours).
std::optional<std::wstring> ParseSection(std::wstring_view line) {
    if (line.size() < 2 || line.back() != L']') {
        return std::nullopt;
    }
    const std::wstring_view inner = line.substr(1, line.size() - 2);
    const std::size_t separator = inner.find(L'\\');
    const std::wstring_view root = inner.substr(0, separator);
    if (!EqualsIgnoreCase(root, L"HKEY_LOCAL_MACHINE") && !EqualsIgnoreCase(root, L"HKLM")) {
        return std::nullopt;
    }
    if (separator == std::wstring_view::npos) {
        return std::wstring();
    }
    return NormalizeKeyPath(inner.substr(separator));
}

// A quoted string starting at `position`, with the \\ and \" escapes; any other backslash
// stays as written. On success `position` is just past the closing quote.
std::optional<std::wstring> ParseQuoted(std::wstring_view line, std::size_t& position) {
    if (position >= line.size() || line[position] != L'"') {
        return std::nullopt;
    }
    std::wstring text;
    for (std::size_t i = position + 1; i < line.size(); ++i) {
        const wchar_t character = line[i];
        if (character == L'"') {
            position = i + 1;
            return text;
        }
        if (character == L'\0') {
            return std::nullopt;
        }
        const bool escape = character == L'\\' && i + 1 < line.size() &&
                            (line[i + 1] == L'\\' || line[i + 1] == L'"');
        if (escape) {
            ++i;
        }
        text.push_back(line[i]);
    }
    return std::nullopt;  // unterminated
}

std::optional<unsigned> HexDigitValue(wchar_t character) {
    if (character >= L'0' && character <= L'9') {
        return static_cast<unsigned>(character - L'0');
    }
    const auto lower = static_cast<wchar_t>(character | 0x20);  // folds A-F onto a-f
    if (lower >= L'a' && lower <= L'f') {
        return static_cast<unsigned>(lower - L'a' + 10);
    }
    return std::nullopt;
}

// "dword:" followed by one to eight hex digits, and nothing else.
std::optional<DWORD> ParseDword(std::wstring_view data) {
    static constexpr std::wstring_view kPrefix = L"dword:";
    if (data.size() <= kPrefix.size() || data.size() > kPrefix.size() + 8 ||
        !EqualsIgnoreCase(data.substr(0, kPrefix.size()), kPrefix)) {
        return std::nullopt;
    }
    DWORD number = 0;
    for (wchar_t character : data.substr(kPrefix.size())) {
        const std::optional<unsigned> digit = HexDigitValue(character);
        if (!digit) {
            return std::nullopt;
        }
        number = (number << 4) | *digit;
    }
    return number;
}

// The data after "=": a quoted string or a dword. Other types (hex:, hex(2):, the "-" that
// deletes a value) are not served.
std::optional<RegValue> ParseData(std::wstring_view data) {
    std::size_t position = 0;
    if (std::optional<std::wstring> text = ParseQuoted(data, position)) {
        if (position != data.size()) {
            return std::nullopt;
        }
        return RegValue(std::move(*text));
    }
    if (std::optional<DWORD> number = ParseDword(data)) {
        return RegValue(*number);
    }
    return std::nullopt;
}

// `"name"=data` or `@=data`, blanks allowed around "=".
std::optional<ValueLine> ParseValueLine(std::wstring_view line) {
    std::size_t position = 0;
    std::wstring name;
    if (line.front() == L'@') {
        position = 1;
    } else if (std::optional<std::wstring> quoted = ParseQuoted(line, position)) {
        name = std::move(*quoted);
    } else {
        return std::nullopt;
    }
    SkipBlanks(line, position);
    if (position >= line.size() || line[position] != L'=') {
        return std::nullopt;
    }
    ++position;
    SkipBlanks(line, position);
    std::optional<RegValue> value = ParseData(line.substr(position));
    if (!value) {
        return std::nullopt;
    }
    return ValueLine{std::move(name), std::move(*value)};
}

// Walks the file as a .reg import would, gathering what it says about the key at `keyPath`.
// Sections naming the key merge, and a value given again replaces the earlier one.
KeyContents ScanForKey(std::wstring_view text, const std::wstring& keyPath) {
    KeyContents contents;
    bool headerSeen = false;
    bool inKey = false;
    while (!text.empty()) {
        const std::size_t end = text.find(L'\n');
        const std::wstring_view line = TrimBlanks(text.substr(0, end));
        text.remove_prefix(end == std::wstring_view::npos ? text.size() : end + 1);
        if (line.empty()) {
            continue;
        }
        if (!headerSeen) {
            if (!IsHeader(line)) {
                return KeyContents();
            }
            headerSeen = true;
        } else if (line.front() == L';') {
            continue;
        } else if (IsSectionLine(line)) {
            const std::optional<std::wstring> section = ParseSection(line);
            inKey = section && *section == keyPath;
            contents.exists = contents.exists || (section && SectionCreatesKey(*section, keyPath));
        } else if (inKey) {
            if (std::optional<ValueLine> entry = ParseValueLine(line)) {
                contents.values.insert_or_assign(ToLowerAscii(entry->name),
                                                 std::move(entry->value));
            }
        }
    }
    return contents;
}

KeyContents ReadKey(const std::wstring& keyPath) {
    const std::optional<std::wstring> text = ReadRegistryText();
    return text ? ScanForKey(*text, keyPath) : KeyContents();
}

// ---- handles and value copies ----

bool IsPredefinedKey(HKEY key) {
    const auto value = reinterpret_cast<std::uintptr_t>(key);
    return value >= kFirstPredefinedKey && value <= kLastPredefinedKey;
}

// The path of an open key: empty for HKLM; nothing for a null or unsupported root.
std::optional<std::wstring> KeyPathOf(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return std::wstring();
    }
    if (key == nullptr || IsPredefinedKey(key)) {
        return std::nullopt;
    }
    return key->path;
}

DWORD TypeOf(const RegValue& value) {
    return std::holds_alternative<std::wstring>(value) ? REG_SZ : REG_DWORD;
}

// The value's bytes as RegQueryValueExW hands them out; a REG_SZ keeps its terminating NUL.
std::string_view BytesOf(const RegValue& value) {
    if (const auto* text = std::get_if<std::wstring>(&value)) {
        return {reinterpret_cast<const char*>(text->c_str()), (text->size() + 1) * sizeof(wchar_t)};
    }
    return {reinterpret_cast<const char*>(&std::get<DWORD>(value)), sizeof(DWORD)};
}

LONG CopyValue(const RegValue& value, DWORD* type, BYTE* data, DWORD* dataSize) {
    const std::string_view bytes = BytesOf(value);
    const auto required = static_cast<DWORD>(bytes.size());
    if (type != nullptr) {
        *type = TypeOf(value);
    }
    if (data == nullptr) {
        if (dataSize != nullptr) {
            *dataSize = required;
        }
        return ERROR_SUCCESS;
    }
    const bool fits = *dataSize >= required;
    if (fits) {
        std::memcpy(data, bytes.data(), bytes.size());
    }
    *dataSize = required;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG OpenKey(HKEY root, const wchar_t* subKey, HKEY* result) {
    const std::optional<std::wstring> rootPath = KeyPathOf(root);
    if (!rootPath) {
        return ERROR_INVALID_HANDLE;
    }
    const std::optional<std::wstring> relative = NormalizeKeyPath(subKey ? subKey : L"");
    if (!relative) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::wstring path = JoinKeyPath(*rootPath, *relative);
    // HKLM itself always exists, as a predefined key does, whatever the file holds.
    if (!path.empty() && !ReadKey(path).exists) {
        return ERROR_FILE_NOT_FOUND;
    }
    *result = new HKEY__{std::move(path)};
    return ERROR_SUCCESS;
}

LONG QueryValue(HKEY key, const wchar_t* valueName, DWORD* type, BYTE* data, DWORD* dataSize) {
    const std::optional<std::wstring> keyPath = KeyPathOf(key);
    if (!keyPath) {
        return ERROR_INVALID_HANDLE;
    }
    if (data != nullptr && dataSize == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const KeyContents contents = ReadKey(*keyPath);
    if (!contents.exists) {
        return ERROR_FILE_NOT_FOUND;
    }
    const auto found = contents.values.find(ToLowerAscii(valueName ? valueName : L""));
    if (found == contents.values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    return CopyValue(found->second, type, data, dataSize);
}

}  // namespace

LONG RegOpenKeyExW(HKEY root, const wchar_t* subKey, DWORD /*options*/, REGSAM /*desired*/,
                   HKEY* result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    try {
        return OpenKey(root, subKey, result);
    } catch (...) {
        // Only allocation can throw here: file errors are results, not exceptions.
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegQueryValueExW(HKEY key, const wchar_t* valueName, DWORD* /*reserved*/, DWORD* type,
                      BYTE* data, DWORD* dataSize) {
    try {
        return QueryValue(key, valueName, type, data, dataSize);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    if (key == nullptr || IsPredefinedKey(key)) {
        return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}

ScopedRegistryKey::ScopedRegistryKey(const wchar_t* subKey) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key_) != ERROR_SUCCESS) {
        key_ = nullptr;
    }
}

ScopedRegistryKey::~ScopedRegistryKey() {
    if (key_ != nullptr) {
        RegCloseKey(key_);
    }
}

bool ScopedRegistryKey::ReadText(const wchar_t* name, wchar_t* buffer, DWORD byteSize,
                                 DWORD* bytesRead) const {
    DWORD type = REG_NONE;
    DWORD size = byteSize;
    const LONG result =
        RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (bytesRead != nullptr) {
        *bytesRead = size;
    }
    return result == ERROR_SUCCESS && type == REG_SZ;
}

}  // namespace port
