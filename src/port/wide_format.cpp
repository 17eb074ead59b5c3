#include "port/wide_format.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "port/text.h"

namespace port {
namespace {

// Width and precision are clamped so that a hostile "%999999999d" cannot ask for gigabytes.
constexpr int kMaxFieldWidth = 65536;

enum class Size { Default, Char, Short, Bits32, Bits64 };

struct Conversion {
    bool leftAlign = false;  // '-'
    bool showSign = false;   // '+'
    bool spaceSign = false;  // ' '
    bool alternate = false;  // '#'
    bool zeroPad = false;    // '0'
    int width = -1;
    int precision = -1;
    Size size = Size::Default;
    bool narrowText = false;  // %hs, %S, %hc, %C
    wchar_t type = 0;
};

// Where the values of the placeholders come from: a C variable argument list, or a checked
// list of typed arguments. A source that cannot supply the asked type answers false and the
// placeholder formats as nothing.
class ArgumentSource {
public:
    virtual ~ArgumentSource() = default;
    virtual bool Integer(Size size, bool isSigned, long long& value) = 0;
    virtual bool WideText(const wchar_t*& value) = 0;
    virtual bool NarrowText(const char*& value) = 0;
    virtual bool Floating(double& value) = 0;
    virtual bool Pointer(const void*& value) = 0;
};

long long NarrowInteger(long long value, Size size, bool isSigned) {
    switch (size) {
        case Size::Char:
            return isSigned ? static_cast<long long>(static_cast<signed char>(value))
                            : static_cast<long long>(static_cast<unsigned char>(value));
        case Size::Short:
            return isSigned ? static_cast<long long>(static_cast<short>(value))
                            : static_cast<long long>(static_cast<unsigned short>(value));
        case Size::Default:
        case Size::Bits32:
            return isSigned ? static_cast<long long>(static_cast<std::int32_t>(value))
                            : static_cast<long long>(static_cast<std::uint32_t>(value));
        case Size::Bits64:
            return value;
    }
    return value;
}

class VaListSource final : public ArgumentSource {
public:
    explicit VaListSource(va_list& args) : args_(args) {}

    bool Integer(Size size, bool isSigned, long long& value) override {
        value = size == Size::Bits64 ? va_arg(args_, long long) : va_arg(args_, int);
        value = NarrowInteger(value, size, isSigned);
        return true;
    }
    bool WideText(const wchar_t*& value) override {
        value = va_arg(args_, const wchar_t*);
        return true;
    }
    bool NarrowText(const char*& value) override {
        value = va_arg(args_, const char*);
        return true;
    }
    bool Floating(double& value) override {
        value = va_arg(args_, double);
        return true;
    }
    bool Pointer(const void*& value) override {
        value = va_arg(args_, const void*);
        return true;
    }

private:
    va_list& args_;
};

class CheckedSource final : public ArgumentSource {
public:
    explicit CheckedSource(std::span<const FormatArg> args) : args_(args) {}

    bool Integer(Size size, bool isSigned, long long& value) override {
        const FormatArg* arg = Next();
        if (arg == nullptr || !arg->IsInteger()) {
            return false;
        }
        value = NarrowInteger(arg->Integer(), size, isSigned);
        return true;
    }
    bool WideText(const wchar_t*& value) override {
        const FormatArg* arg = Next();
        if (arg == nullptr || !arg->IsWideText()) {
            return false;
        }
        value = arg->WideText();
        return true;
    }
    bool NarrowText(const char*&) override { return Skip(); }
    bool Floating(double&) override { return Skip(); }
    bool Pointer(const void*&) override { return Skip(); }

private:
    const FormatArg* Next() { return next_ < args_.size() ? &args_[next_++] : nullptr; }
    bool Skip() {
        Next();
        return false;
    }

    std::span<const FormatArg> args_;
    std::size_t next_ = 0;
};

// Collects output up to a fixed number of characters and drops the rest.
class BoundedOutput {
public:
    explicit BoundedOutput(std::size_t limit) : limit_(limit) {}

    void Append(wchar_t character) {
        if (text_.size() < limit_) {
            text_.push_back(character);
        }
    }
    void Append(std::wstring_view text) {
        text_.append(text.substr(0, limit_ - std::min(limit_, text_.size())));
    }
    void Pad(std::size_t count) { text_.append(std::min(count, limit_ - text_.size()), L' '); }
    std::wstring& Text() { return text_; }

private:
    std::size_t limit_;
    std::wstring text_;
};

void AppendAligned(BoundedOutput& output, std::wstring_view text, const Conversion& conversion) {
    const std::size_t width = conversion.width > 0 ? static_cast<std::size_t>(conversion.width) : 0;
    const std::size_t padding = width > text.size() ? width - text.size() : 0;
    if (!conversion.leftAlign) {
        output.Pad(padding);
    }
    output.Append(text);
    if (conversion.leftAlign) {
        output.Pad(padding);
    }
}

// Numbers are rendered by the C library's narrow snprintf, whose number rules match the
// Windows ones; only the text handling differs between the two conventions.
template <typename Value>
std::wstring RenderNumber(const Conversion& conversion, const char* sizePrefix, char type,
                          Value value) {
    // Width and precision travel as '*' arguments, so the narrow format stays a short, fixed
    // text: '%', each flag once, "*.*", the size prefix and the type.
    char format[16];
    std::size_t used = 0;
    format[used++] = '%';
    const std::pair<bool, char> flags[] = {{conversion.leftAlign, '-'},
                                           {conversion.showSign, '+'},
                                           {conversion.spaceSign, ' '},
                                           {conversion.alternate, '#'},
                                           {conversion.zeroPad, '0'}};
    for (const auto& [present, flag] : flags) {
        if (present) {
            format[used++] = flag;
        }
    }
    format[used++] = '*';
    format[used++] = '.';
    format[used++] = '*';
    for (const char* prefix = sizePrefix; *prefix != '\0'; ++prefix) {
        format[used++] = *prefix;
    }
    format[used++] = type;
    format[used] = '\0';
    const int width = std::max(conversion.width, 0);
    const int precision = conversion.precision;  // negative: as if none was given
    const int length = std::snprintf(nullptr, 0, format, width, precision, value);
    if (length <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::snprintf(buffer.data(), buffer.size(), format, width, precision, value);
    return std::wstring(buffer.begin(), buffer.end() - 1);
}

std::wstring WidenNarrowText(const char* text, int precision) {
    if (text == nullptr) {
        return L"(null)";
    }
    std::string_view narrow(text);
    std::wstring wide;
    if (!Utf8ToWide(narrow, wide)) {
        // Not UTF-8: show the bytes one character each rather than lose the text.
        wide.assign(narrow.begin(), narrow.end());
        std::transform(narrow.begin(), narrow.end(), wide.begin(),
                       [](char c) { return static_cast<wchar_t>(static_cast<unsigned char>(c)); });
    }
    if (precision >= 0 && wide.size() > static_cast<std::size_t>(precision)) {
        wide.resize(static_cast<std::size_t>(precision));
    }
    return wide;
}

std::wstring_view WideTextView(const wchar_t* text, int precision) {
    if (text == nullptr) {
        return L"(null)";
    }
    const std::size_t limit = precision >= 0 ? static_cast<std::size_t>(precision) : SIZE_MAX;
    return std::wstring_view(text, BoundedLength(text, limit));
}

int ClampField(long long value) {
    return static_cast<int>(std::clamp<long long>(value, -kMaxFieldWidth, kMaxFieldWidth));
}

// Reads the flags, width, precision and size prefix that follow '%'. `position` ends on the
// conversion character (or the end of the format).
Conversion ParseConversion(std::wstring_view format, std::size_t& position,
                           ArgumentSource& source) {
    Conversion conversion;
    auto at = [&](std::size_t index) { return index < format.size() ? format[index] : L'\0'; };
    for (wchar_t flag = at(position);
         flag == L'-' || flag == L'+' || flag == L' ' || flag == L'#' || flag == L'0';
         flag = at(++position)) {
        conversion.leftAlign = conversion.leftAlign || flag == L'-';
        conversion.showSign = conversion.showSign || flag == L'+';
        conversion.spaceSign = conversion.spaceSign || flag == L' ';
        conversion.alternate = conversion.alternate || flag == L'#';
        conversion.zeroPad = conversion.zeroPad || flag == L'0';
    }
    auto readField = [&]() {
        if (at(position) == L'*') {
            ++position;
            long long value = 0;
            source.Integer(Size::Default, true, value);
            return ClampField(value);
        }
        long long value = 0;
        while (at(position) >= L'0' && at(position) <= L'9') {
            value = std::min<long long>(value * 10 + (at(position++) - L'0'), kMaxFieldWidth);
        }
        return static_cast<int>(value);
    };
    if (at(position) == L'*' || (at(position) >= L'1' && at(position) <= L'9')) {
        conversion.width = readField();
        if (conversion.width < 0) {  // a negative '*' width means left alignment
            conversion.leftAlign = true;
            conversion.width = -conversion.width;
        }
    }
    if (at(position) == L'.') {
        ++position;
        conversion.precision = std::max(readField(), -1);
    }
    std::wstring_view rest = format.substr(std::min(position, format.size()));
    if (rest.starts_with(L"I64") || rest.starts_with(L"ll")) {
        conversion.size = Size::Bits64;
        position += rest.starts_with(L"I64") ? 3 : 2;
    } else if (rest.starts_with(L"I32")) {
        conversion.size = Size::Bits32;
        position += 3;
    } else if (rest.starts_with(L"hh")) {
        conversion.size = Size::Char;
        position += 2;
    } else if (!rest.empty() &&
               (rest[0] == L'I' || rest[0] == L'z' || rest[0] == L'j' || rest[0] == L't')) {
        conversion.size = Size::Bits64;
        ++position;
    } else if (!rest.empty() && rest[0] == L'h') {
        conversion.size = Size::Short;
        conversion.narrowText = true;
        ++position;
    } else if (!rest.empty() && (rest[0] == L'l' || rest[0] == L'w')) {
        conversion.size = Size::Bits32;
        ++position;
    }
    conversion.type = at(position);
    if (conversion.type == L'S' || conversion.type == L'C') {
        conversion.narrowText = true;
    }
    return conversion;
}

void FormatConversion(BoundedOutput& output, const Conversion& conversion, ArgumentSource& source) {
    switch (conversion.type) {
        case L'd':
        case L'i':
        case L'u':
        case L'o':
        case L'x':
        case L'X': {
            const bool isSigned = conversion.type == L'd' || conversion.type == L'i';
            long long value = 0;
            if (!source.Integer(conversion.size, isSigned, value)) {
                return;
            }
            const char type = static_cast<char>(conversion.type);
            output.Append(isSigned ? RenderNumber(conversion, "ll", type, value)
                                   : RenderNumber(conversion, "ll", type,
                                                  static_cast<unsigned long long>(value)));
            return;
        }
        case L'c':
        case L'C': {
            long long value = 0;
            if (!source.Integer(Size::Default, false, value)) {
                return;
            }
            const wchar_t character = conversion.narrowText
                                          ? static_cast<wchar_t>(static_cast<unsigned char>(value))
                                          : static_cast<wchar_t>(value);
            AppendAligned(output, std::wstring_view(&character, 1), conversion);
            return;
        }
        case L's':
        case L'S': {
            if (conversion.narrowText) {
                const char* text = nullptr;
                if (source.NarrowText(text)) {
                    AppendAligned(output, WidenNarrowText(text, conversion.precision), conversion);
                }
                return;
            }
            const wchar_t* text = nullptr;
            if (source.WideText(text)) {
                AppendAligned(output, WideTextView(text, conversion.precision), conversion);
            }
            return;
        }
        case L'e':
        case L'E':
        case L'f':
        case L'F':
        case L'g':
        case L'G': {
            double value = 0;
            if (source.Floating(value)) {
                output.Append(
                    RenderNumber(conversion, "", static_cast<char>(conversion.type), value));
            }
            return;
        }
        case L'p': {
            const void* value = nullptr;
            if (source.Pointer(value)) {
                Conversion hex;
                hex.zeroPad = true;
                hex.width = 2 * sizeof(void*);
                output.Append(RenderNumber(
                    hex, "ll", 'X',
                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value))));
            }
            return;
        }
        default:
            return;
    }
}

bool IsKnownConversion(wchar_t type) {
    return type != L'\0' &&
           std::wstring_view(L"diuoxXcCsSpeEfFgG").find(type) != std::wstring_view::npos;
}

std::wstring FormatWith(const wchar_t* format, std::size_t limit, ArgumentSource& source) {
    BoundedOutput output(limit);
    if (format == nullptr) {
        return {};
    }
    const std::wstring_view text(format);
    for (std::size_t position = 0; position < text.size(); ++position) {
        if (text[position] != L'%') {
            output.Append(text[position]);
            continue;
        }
        const std::size_t start = position++;
        if (position < text.size() && text[position] == L'%') {
            output.Append(L'%');
            continue;
        }
        const Conversion conversion = ParseConversion(text, position, source);
        if (!IsKnownConversion(conversion.type)) {
            // Copied as written (this also keeps "%n" from ever writing memory).
            output.Append(text.substr(start, position - start + (position < text.size())));
            continue;
        }
        FormatConversion(output, conversion, source);
    }
    return std::move(output.Text());
}

std::size_t StoreBounded(wchar_t* out, std::size_t capacity, const std::wstring& text) {
    return BoundedCopy(out, capacity, std::wstring_view(text));
}

}  // namespace

std::size_t FormatWide(wchar_t* out, std::size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::size_t length = FormatWideV(out, capacity, format, args);
    va_end(args);
    return length;
}

std::size_t FormatWideV(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args) {
    if (out == nullptr || capacity == 0) {
        return 0;
    }
    va_list copy;
    va_copy(copy, args);
    VaListSource source(copy);
    const std::wstring text = FormatWith(format, capacity - 1, source);
    va_end(copy);
    return StoreBounded(out, capacity, text);
}

std::wstring FormatWideString(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatWideStringV(format, args);
    va_end(args);
    return text;
}

std::wstring FormatWideStringV(const wchar_t* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    VaListSource source(copy);
    std::wstring text = FormatWith(format, kMaxFormattedLength, source);
    va_end(copy);
    return text;
}

std::size_t FormatWideChecked(wchar_t* out, std::size_t capacity, const wchar_t* format,
                              std::span<const FormatArg> args) {
    if (out == nullptr || capacity == 0) {
        return 0;
    }
    CheckedSource source(args);
    return StoreBounded(out, capacity, FormatWith(format, capacity - 1, source));
}

}  // namespace port
