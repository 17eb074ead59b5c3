// printf-style formatting of wide text with the Windows convention, which glibc does not
// follow: in a wide format `%s` takes a wide string (`%S` and `%hs` a narrow UTF-8 one),
// `%c` a wide character, and the `l` size prefix means 32 bits (a Windows long), `ll`/`I64`
// 64 bits. Supported: flags `-+ #0`, width and precision (digits or `*`), conversions
// d i u o x X c C s S p e E f F g G and `%%`. An unknown conversion is copied as it stands.
// Every log line, service message and query text is formatted here; never hand such a
// format to the C library.
#ifndef ORCHEL_PORT_WIDE_FORMAT_H
#define ORCHEL_PORT_WIDE_FORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace port {

// Formats into `out`, keeping at most capacity-1 characters and always terminating (when
// capacity > 0). Returns the number of characters stored. A null format gives the empty text.
std::size_t FormatWide(wchar_t* out, std::size_t capacity, const wchar_t* format, ...);
std::size_t FormatWideV(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args);

// Formats into a string; the result is cut at kMaxFormattedLength characters.
std::wstring FormatWideString(const wchar_t* format, ...);
std::wstring FormatWideStringV(const wchar_t* format, va_list args);
inline constexpr std::size_t kMaxFormattedLength = 1 << 20;

// One typed argument, for formats that come from outside the program (the service's string
// table): a placeholder that does not fit its argument, or has none, formats as the empty
// text instead of reading memory it was never given.
class FormatArg {
public:
    FormatArg(int value) : kind_(Kind::Integer), integer_(value) {}
    FormatArg(unsigned int value) : kind_(Kind::Integer), integer_(value) {}
    FormatArg(long long value) : kind_(Kind::Integer), integer_(value) {}
    FormatArg(const wchar_t* value) : kind_(Kind::WideText), text_(value) {}

    bool IsInteger() const { return kind_ == Kind::Integer; }
    bool IsWideText() const { return kind_ == Kind::WideText; }
    long long Integer() const { return integer_; }
    const wchar_t* WideText() const { return text_; }

private:
    enum class Kind { Integer, WideText };
    Kind kind_;
    long long integer_ = 0;
    const wchar_t* text_ = nullptr;
};

std::size_t FormatWideChecked(wchar_t* out, std::size_t capacity, const wchar_t* format,
                              std::span<const FormatArg> args);

}  // namespace port

#endif  // ORCHEL_PORT_WIDE_FORMAT_H
