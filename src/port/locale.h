// Locale services on ICU, standing in for the Windows national-language functions and for
// time formatting under a locale. Nothing here touches the process locale (no setlocale), so
// formatting in different languages from several threads at once is safe.
#ifndef ORCHEL_PORT_LOCALE_H
#define ORCHEL_PORT_LOCALE_H

#include <ctime>
#include <string>

#include "orchel/wintypes.h"

namespace port {

typedef WORD LANGID;
typedef DWORD LCID;

// Locale information types (Windows numbering).
inline constexpr DWORD LOCALE_SENGLANGUAGE = 0x1001;          // "English"
inline constexpr DWORD LOCALE_SENGCOUNTRY = 0x1002;           // "United States"
inline constexpr DWORD LOCALE_IDEFAULTANSICODEPAGE = 0x1004;  // "1252"
inline constexpr DWORD LOCALE_SISO3166CTRYNAME = 0x5A;        // "US"

// Writes the asked information about a Windows locale identifier into `data` (cut to
// capacity-1 characters). Returns the number of characters written including the NUL, or 0
// when the identifier is unknown or the information is empty.
int GetLocaleInfoW(LCID locale, DWORD type, wchar_t* data, int capacity);

// The machine's default language: the locale of LC_ALL, else LC_MESSAGES, else LANG, mapped to
// its Windows language identifier; 1033 when none is set, "C" or "POSIX", or unknown.
LANGID GetSystemDefaultLangID();

// The current local time, as the runtime's _time64 and _localtime64 give it; safe to call from
// any thread.
std::tm CurrentLocalTime();

// The long date and time of the locale (the "%#c" form: weekday, month name, day, year and the
// time), and its short date (the "%x" form), in the locale's language. An unknown identifier
// formats in English (United States).
std::wstring FormatLongDateTime(LCID locale, const std::tm& localTime);
std::wstring FormatShortDate(LCID locale, const std::tm& localTime);

}  // namespace port

#endif  // ORCHEL_PORT_LOCALE_H
