// Narrow/wide text conversion and bounded copies. The "ANSI code page" is UTF-8 here, and
// wide text is UTF-32 wchar_t; nothing depends on the process locale.
#ifndef ORCHEL_PORT_TEXT_H
#define ORCHEL_PORT_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace port {

// Decodes UTF-8 into wide text. Invalid UTF-8 (bad sequences, overlong forms, surrogates,
// code points above U+10FFFF) makes the conversion fail: returns false, `out` is emptied.
bool Utf8ToWide(std::string_view utf8, std::wstring& out);

// Encodes wide text as UTF-8. A wide character that is not a Unicode scalar value makes the
// conversion fail: returns false, `out` is emptied.
bool WideToUtf8(std::wstring_view wide, std::string& out);

// Decodes UTF-16LE bytes (no BOM) into wide text; unpaired surrogates or an odd byte count
// make it fail.
bool Utf16LeToWide(std::string_view bytes, std::wstring& out);

// Encodes wide text as UTF-16LE bytes (no BOM). A wide character that is not a Unicode scalar
// value makes the conversion fail: returns false, `out` is emptied.
bool WideToUtf16Le(std::wstring_view wide, std::string& out);

// Copies at most capacity-1 characters of `source` into `destination` and terminates it.
// A null source copies the empty text; a null destination or zero capacity copies nothing.
// Returns the number of characters stored.
std::size_t BoundedCopy(wchar_t* destination, std::size_t capacity, const wchar_t* source);
std::size_t BoundedCopy(wchar_t* destination, std::size_t capacity, std::wstring_view source);

// Appends to the text already in `destination`, keeping the whole within capacity-1 characters.
std::size_t BoundedAppend(wchar_t* destination, std::size_t capacity, std::wstring_view source);

// Length of a wide text, counting at most `limit` characters (a null text has length 0).
std::size_t BoundedLength(const wchar_t* text, std::size_t limit);

// The leading decimal integer of a text, as _wtoi reads it: leading blanks skipped, an optional
// sign, digits up to the first other character, 0 without any digit (or for a null text).
// Values beyond 32 bits saturate instead of overflowing.
int WideToInt(const wchar_t* text);

// ASCII-only, locale-independent case folding, for names that Windows compares without
// regard to case (registry keys, module names).
bool EqualsIgnoreCase(std::wstring_view left, std::wstring_view right);
std::wstring ToLowerAscii(std::wstring_view text);

}  // namespace port

#endif  // ORCHEL_PORT_TEXT_H
