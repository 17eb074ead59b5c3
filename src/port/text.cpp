#include "port/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace port {
namespace {

bool IsScalarValue(char32_t codePoint) {
    return codePoint <= 0x10FFFF && (codePoint < 0xD800 || codePoint > 0xDFFF);
}

// Decodes one UTF-8 sequence starting at `position` (RFC 3629); rejects overlong forms.
bool DecodeUtf8Sequence(std::string_view text, std::size_t& position, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[position]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        ++position;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return false;
    }
    if (text.size() - position < length) {
        return false;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto continuation = static_cast<unsigned char>(text[position + i]);
        if ((continuation & 0xC0) != 0x80) {
            return false;
        }
        codePoint = (codePoint << 6) | (continuation & 0x3F);
    }
    position += length;
    return codePoint >= minimum && IsScalarValue(codePoint);
}

wchar_t FoldAscii(wchar_t character) {
    return (character >= L'A' && character <= L'Z') ? static_cast<wchar_t>(character + 32)
                                                    : character;
}

}  // namespace

bool Utf8ToWide(std::string_view utf8, std::wstring& out) {
    out.clear();
    out.reserve(utf8.size());
    std::size_t position = 0;
    while (position < utf8.size()) {
        char32_t codePoint = 0;
        if (!DecodeUtf8Sequence(utf8, position, codePoint)) {
            out.clear();
            return false;
        }
        out.push_back(static_cast<wchar_t>(codePoint));
    }
    return true;
}

bool WideToUtf8(std::wstring_view wide, std::string& out) {
    out.clear();
    out.reserve(wide.size());
    for (wchar_t character : wide) {
        const auto codePoint = static_cast<char32_t>(character);
        if (!IsScalarValue(codePoint)) {
            out.clear();
            return false;
        }
        if (codePoint < 0x80) {
            out.push_back(static_cast<char>(codePoint));
        } else if (codePoint < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
            out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else if (codePoint < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
            out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
            out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        }
    }
    return true;
}

bool Utf16LeToWide(std::string_view bytes, std::wstring& out) {
    out.clear();
    if (bytes.size() % 2 != 0) {
        return false;
    }
    auto unitAt = [&bytes](std::size_t index) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * index]) |
                                     (static_cast<unsigned char>(bytes[2 * index + 1]) << 8));
    };
    const std::size_t unitCount = bytes.size() / 2;
    out.reserve(unitCount);
    for (std::size_t index = 0; index < unitCount; ++index) {
        const char16_t unit = unitAt(index);
        if (unit >= 0xD800 && unit <= 0xDBFF && index + 1 < unitCount) {
            const char16_t low = unitAt(index + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.push_back(
                    static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
                ++index;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            out.clear();
            return false;
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    return true;
}

bool WideToUtf16Le(std::wstring_view wide, std::string& out) {
    out.clear();
    out.reserve(wide.size() * 2);
    auto unit = [&out](char32_t value) {
        out.push_back(static_cast<char>(value & 0xFF));
        out.push_back(static_cast<char>(value >> 8));
    };
    for (wchar_t character : wide) {
        const auto codePoint = static_cast<char32_t>(character);
        if (!IsScalarValue(codePoint)) {
            out.clear();
            return false;
        }
        if (codePoint >= 0x10000) {
            unit(0xD800 + ((codePoint - 0x10000) >> 10));
            unit(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
            unit(codePoint);
        }
    }
    return true;
}

std::size_t BoundedCopy(wchar_t* destination, std::size_t capacity, const wchar_t* source) {
    if (source == nullptr) {
        return BoundedCopy(destination, capacity, std::wstring_view());
    }
    return BoundedCopy(destination, capacity,
                       std::wstring_view(source, BoundedLength(source, capacity)));
}

std::size_t BoundedCopy(wchar_t* destination, std::size_t capacity, std::wstring_view source) {
    if (destination == nullptr || capacity == 0) {
        return 0;
    }
    const std::size_t count = std::min(source.size(), capacity - 1);
    if (count > 0) {
        // memmove: a caller may copy a field onto itself.
        std::memmove(destination, source.data(), count * sizeof(wchar_t));
    }
    destination[count] = L'\0';
    return count;
}

std::size_t BoundedAppend(wchar_t* destination, std::size_t capacity, std::wstring_view source) {
    if (destination == nullptr || capacity == 0) {
        return 0;
    }
    const std::size_t used = BoundedLength(destination, capacity - 1);
    return used + BoundedCopy(destination + used, capacity - used, source);
}

std::size_t BoundedLength(const wchar_t* text, std::size_t limit) {
    if (text == nullptr) {
        return 0;
    }
    std::size_t length = 0;
    while (length < limit && text[length] != L'\0') {
        ++length;
    }
    return length;
}

int WideToInt(const wchar_t* text) {
    if (text == nullptr) {
        return 0;
    }
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) {
        ++text;
    }
    const bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+') {
        ++text;
    }
    long long magnitude = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        magnitude = std::min<long long>(magnitude * 10 + (*text - L'0'), 1LL << 31);
    }
    const long long value = negative ? -magnitude : std::min<long long>(magnitude, INT32_MAX);
    return static_cast<int>(value);
}

bool EqualsIgnoreCase(std::wstring_view left, std::wstring_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [](wchar_t a, wchar_t b) { return FoldAscii(a) == FoldAscii(b); });
}

std::wstring ToLowerAscii(std::wstring_view text) {
    std::wstring lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), FoldAscii);
    return lowered;
}

}  // namespace port
