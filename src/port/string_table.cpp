#include "port/string_table.h"

#include <charconv>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "port/module.h"
#include "port/text.h"

namespace port {
namespace {

// A string table is a few kilobytes; anything far larger is not one.
constexpr std::streamoff kMaxTableBytes = 4 << 20;

std::optional<std::string> StringTablePath(HMODULE module) {
    wchar_t modulePath[4096];
    const DWORD length = GetModuleFileNameW(module, modulePath, 4096);
    if (length == 0 || length >= 4096) {
        return std::nullopt;
    }
    std::string path;
    if (!WideToUtf8(std::wstring_view(modulePath, length), path)) {
        return std::nullopt;
    }
    return path.substr(0, path.find_last_of('/') + 1) + kServiceStringTableFile;
}

std::wstring Unescape(std::wstring_view text) {
    std::wstring result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size()) {
            const wchar_t next = text[i + 1];
            if (next == L'n' || next == L't' || next == L'\\') {
                result.push_back(next == L'n' ? L'\n' : next == L't' ? L'\t' : L'\\');
                ++i;
                continue;
            }
        }
        result.push_back(text[i]);
    }
    return result;
}

// The text of entry `id` on this line, if the line is that entry.
std::optional<std::wstring> EntryText(std::string_view line, UINT id) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const std::size_t separator = line.find('=');
    if (line.empty() || line.front() == '#' || separator == std::string_view::npos) {
        return std::nullopt;
    }
    UINT lineId = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + separator, lineId);
    if (error != std::errc() || end != line.data() + separator || lineId != id) {
        return std::nullopt;
    }
    std::wstring text;
    if (!Utf8ToWide(line.substr(separator + 1), text)) {
        return std::nullopt;
    }
    return Unescape(text);
}

std::optional<std::wstring> FindEntry(const std::string& tablePath, UINT id) {
    std::ifstream table(tablePath, std::ios::binary);
    if (!table) {
        return std::nullopt;
    }
    std::string line;
    std::streamoff bytesRead = 0;
    while (bytesRead < kMaxTableBytes && std::getline(table, line)) {
        bytesRead += static_cast<std::streamoff>(line.size()) + 1;
        if (auto text = EntryText(line, id)) {
            return text;
        }
    }
    return std::nullopt;
}

}  // namespace

int LoadStringW(HMODULE module, UINT id, wchar_t* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) {
        return 0;
    }
    buffer[0] = L'\0';
    try {
        const std::optional<std::string> tablePath = StringTablePath(module);
        if (!tablePath) {
            return 0;
        }
        const std::optional<std::wstring> text = FindEntry(*tablePath, id);
        if (!text) {
            return 0;
        }
        return static_cast<int>(BoundedCopy(buffer, static_cast<std::size_t>(capacity), *text));
    } catch (const std::exception&) {
        buffer[0] = L'\0';
        return 0;
    }
}

}  // namespace port
