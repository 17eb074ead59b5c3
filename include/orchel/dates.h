// Dates in the language of the installed product (the registry value Codepage of the product
// key, a Windows language identifier such as 1033), and two fixed, language-independent forms.
#ifndef ORCHEL_DATES_H
#define ORCHEL_DATES_H

#include <string>

#include "orchel/wintypes.h"

// The product's language identifier; 0 when the key or the value is missing.
ORCHEL_API int GetProductLangID();

// Appends the locale name of the product language, e.g. "English_United States.1252".
ORCHEL_API void GetProductLanguageWithANSICodePage(std::wstring& out_wsLocalOSID);

// Appends the two-letter ISO 3166 country code of the product language, e.g. "US".
ORCHEL_API void GetISOABBRCountryCode(std::wstring& out_wsISOCountryCode);

// Appends the three-letter code of the machine's language ("USA", "GRM", "JPN" ...).
ORCHEL_API void GetLocalOSLangID(std::wstring& out_wsLocalOSID);

// Writes the current local date and time in the long form of the product language into a
// buffer of 80 wide characters (cut to 79). An unknown product language writes English (United
// States), as do the other date functions.
ORCHEL_API void GetRDLocaleSpecificCurrentDateTime(wchar_t* out_szLocaleSpecificDateTime);

// Writes a published date (month/day/year, e.g. 03/14/2009) in the short date form of the
// product language into a buffer of 50 wide characters. An empty input leaves it untouched; a
// text that is not month/day/year of a real day (years 1601 to 9999, each part 1 to 9 digits)
// is written as it stands, cut to 49 characters.
ORCHEL_API void ConvertPublishedDateToRDLocale(const wchar_t* in_szPublishedDate,
                                               wchar_t* out_RDLocaleSpecificPublishedDate);

// Writes a fixed English text of the date and time, e.g. "Sun Jan 05 13:04:05 2025"; the
// buffer must hold 25 wide characters. Fields out of range are cut to that buffer.
ORCHEL_API void GetUniqueDateFormat(SYSTEMTIME& st, wchar_t* szTime);

#endif  // ORCHEL_DATES_H
