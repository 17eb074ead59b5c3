// Private-profile (INI) files with the Windows rules: sections in brackets, one key=value per
// line; section and key names match without regard to ASCII case; the first match wins; blanks
// around names and values are trimmed and one pair of surrounding quotes is dropped from a
// value. Files are UTF-8 (a UTF-8 BOM is skipped; UTF-16LE with a BOM is read as well). Writes
// keep the rest of the file as it was and replace it atomically (temporary file + rename),
// creating the file when it is missing.
#ifndef ORCHEL_PORT_PROFILE_H
#define ORCHEL_PORT_PROFILE_H

#include "orchel/wintypes.h"

namespace port {

// Copies the value of `key` in `section` (or `defaultValue`, null meaning "") into `buffer`,
// cut to size-1 characters. Returns the number of characters copied. A missing or unreadable
// file gives the default. The enumeration forms (null section or key) are not supported: they
// give an empty buffer and 0.
DWORD GetPrivateProfileStringW(const wchar_t* section, const wchar_t* key,
                               const wchar_t* defaultValue, wchar_t* buffer, DWORD size,
                               const wchar_t* fileName);

// The value as an unsigned integer with the Windows parsing: leading blanks skipped, an
// optional sign, decimal digits up to the first other character ("0x" hexadecimal accepted);
// no digits give 0; a missing key or an empty value gives `defaultValue`. The 32-bit result
// wraps as on Windows ("-1" and "4294967295" give 0xFFFFFFFF, "4294967296" gives 0).
UINT GetPrivateProfileIntW(const wchar_t* section, const wchar_t* key, int defaultValue,
                           const wchar_t* fileName);

// Sets `key` in `section` to `value`, adding the section or the key when missing; a null
// `value` deletes the key, a null `key` the whole section. Returns TRUE on success. A section,
// key or value holding a line break, or a key that would not read back as itself ('=', a
// leading ';' or '['), is refused with FALSE. Writers in one process take turns; between
// processes the last writer wins, and the file is always whole.
BOOL WritePrivateProfileStringW(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                                const wchar_t* fileName);

}  // namespace port

#endif  // ORCHEL_PORT_PROFILE_H
