#include "orchel/dates.h"

#include <algorithm>
#include <climits>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "orchel/corvlog.h"
#include "orchel/paths.h"
#include "port/locale.h"
#include "port/registry.h"
#include "port/text.h"
#include "port/wide_format.h"

namespace {

constexpr const wchar_t* kCodepageValue = L"Codepage";

// The value is read into 50 bytes, which held 24 two-byte characters and the NUL.
constexpr std::size_t kCodepageCapacity = 25;
constexpr int kLocaleInfoCapacity = 80;
constexpr std::size_t kLocaleNameLimit = 78;
constexpr std::size_t kDateTimeCapacity = 80;
constexpr std::size_t kPublishedDateCapacity = 50;
constexpr std::size_t kMaxDatePartLength = 9;
constexpr std::size_t kUniqueDateCapacity = 25;
constexpr std::size_t kNamesCapacity = 8;  // "Sun Jan"

// The years a SYSTEMTIME holds, cut to four digits: all of them Gregorian.
constexpr int kFirstPublishedYear = 1601;
constexpr int kLastPublishedYear = 9999;

// ---- registry ----

int ReadProductLangID() {
    gCORVLog->WriteDebugMessages(ORV_LOG_SETTINGS, ORV_LOG_LEVEL_DETAIL,
                                 L"Reading the product Codepage from registry.");
    const port::ScopedRegistryKey key(ORCHEL_PRODUCT_REGISTRY_KEY);
    if (!key.IsOpen()) {
        return 0;
    }
    wchar_t codepage[kCodepageCapacity] = {};
    const int languageId =
        key.ReadText(kCodepageValue, codepage, sizeof codepage) ? port::WideToInt(codepage) : 0;
    gCORVLog->WriteDebugMessages(ORV_LOG_SETTINGS, ORV_LOG_LEVEL_DETAIL,
                                 L"CodePage of Kelm Veltrane Backup Remedor found to be %d",
                                 languageId);
    return languageId;
}

// ---- the product's locale ----

// The locale identifier is the low 16 bits of the product's language identifier.
port::LCID ProductLocale() {
    const auto locale = static_cast<port::LCID>(GetProductLangID() & 0xFFFF);
    gCORVLog->WriteDebugMessages(ORV_LOG_SETTINGS, ORV_LOG_LEVEL_DETAIL,
                                 L"DEBUG: Language Code of Remedor found as %d",
                                 static_cast<int>(locale));
    return locale;
}

std::wstring LocaleInfo(port::LCID locale, DWORD type) {
    wchar_t info[kLocaleInfoCapacity] = {};
    port::GetLocaleInfoW(locale, type, info, kLocaleInfoCapacity);
    return info;
}

std::wstring ProductLocaleName() {
    const port::LCID locale = ProductLocale();
    std::wstring name = LocaleInfo(locale, port::LOCALE_SENGLANGUAGE);
    const std::wstring country = LocaleInfo(locale, port::LOCALE_SENGCOUNTRY);
    if (!country.empty()) {
        name += L"_" + country;
    }
    const std::wstring codePage = LocaleInfo(locale, port::LOCALE_IDEFAULTANSICODEPAGE);
    if (!codePage.empty()) {
        name += L"." + codePage;
    }
    return name.substr(0, kLocaleNameLimit);
}

// ---- the machine's language ----

constexpr WORD PrimaryLanguage(port::LANGID language) {
    return language & 0x3FF;
}
constexpr WORD SubLanguage(port::LANGID language) {
    return language >> 10;
}

constexpr WORD kLanguageChinese = 4;
constexpr WORD kLanguageSpanish = 10;
constexpr WORD kSubLanguageSpanishModern = 3;
constexpr WORD kSubLanguageChineseHongKong = 3;
constexpr WORD kSubLanguageChineseMacao = 5;
constexpr port::LANGID kSpanishTraditional = 1034;
constexpr port::LANGID kChineseTraditional = 1028;

// Spanish with the modern sort counts as Spanish, Hong Kong and Macao Chinese as traditional
// Chinese.
port::LANGID NormalizedLanguage(port::LANGID language) {
    if (PrimaryLanguage(language) == kLanguageSpanish &&
        SubLanguage(language) == kSubLanguageSpanishModern) {
        return kSpanishTraditional;
    }
    if (PrimaryLanguage(language) == kLanguageChinese &&
        (SubLanguage(language) == kSubLanguageChineseHongKong ||
         SubLanguage(language) == kSubLanguageChineseMacao)) {
        return kChineseTraditional;
    }
    return language;
}

const wchar_t* LanguageCode(port::LANGID language) {
    switch (language) {
        case 1028:
            return L"CHT";
        case 1031:
            return L"GRM";
        case 1033:
            return L"USA";
        case 1034:
            return L"SPA";
        case 1036:
            return L"FRN";
        case 1040:
            return L"ITA";
        case 1041:
            return L"JPN";
        case 1046:
            return L"PRB";
        case 2052:
            return L"CHS";
        default:
            return L"USA";
    }
}

// ---- published dates ----

struct PublishedDate {
    int month;
    int day;
    int year;
};

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int month, int year) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsCalendarDay(const PublishedDate& date) {
    return date.year >= kFirstPublishedYear && date.year <= kLastPublishedYear && date.month >= 1 &&
           date.month <= 12 && date.day >= 1 && date.day <= DaysInMonth(date.month, date.year);
}

// A part is a decimal number of 1 to 9 digits.
bool IsDatePart(std::wstring_view part) {
    return !part.empty() && part.size() <= kMaxDatePartLength &&
           part.find_first_not_of(L"0123456789") == std::wstring_view::npos;
}

int ReadDatePart(std::wstring_view part) {
    return port::WideToInt(std::wstring(part).c_str());
}

// month/day/year: the month before the first "/", the day before the next, the year after it.
std::optional<PublishedDate> ParsePublishedDate(std::wstring_view text) {
    const std::size_t first = text.find(L'/');
    if (first == std::wstring_view::npos) {
        return std::nullopt;
    }
    const std::wstring_view month = text.substr(0, first);
    const std::wstring_view rest = text.substr(first + 1);
    const std::size_t second = rest.find(L'/');
    if (second == std::wstring_view::npos) {
        return std::nullopt;
    }
    const std::wstring_view day = rest.substr(0, second);
    const std::wstring_view year = rest.substr(second + 1);
    if (!IsDatePart(month) || !IsDatePart(day) || !IsDatePart(year)) {
        return std::nullopt;
    }
    const PublishedDate date{ReadDatePart(month), ReadDatePart(day), ReadDatePart(year)};
    if (!IsCalendarDay(date)) {
        return std::nullopt;
    }
    return date;
}

// Only the date fields matter: the short form shows no time.
std::tm CalendarTimeOf(const PublishedDate& date) {
    std::tm time{};
    time.tm_year = date.year - 1900;
    time.tm_mon = date.month - 1;
    time.tm_mday = date.day;
    return time;
}

// ---- the fixed English form ----

const wchar_t* WeekdayName(WORD dayOfWeek) {
    constexpr const wchar_t* kNames[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    return dayOfWeek < 7 ? kNames[dayOfWeek] : L"---";
}

const wchar_t* MonthName(WORD month) {
    constexpr const wchar_t* kNames[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                         L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    return month >= 1 && month <= 12 ? kNames[month - 1] : L"---";
}

}  // namespace

int GetProductLangID() {
    try {
        return ReadProductLangID();
    } catch (...) {
        return 0;
    }
}

void GetProductLanguageWithANSICodePage(std::wstring& out_wsLocalOSID) {
    try {
        out_wsLocalOSID += ProductLocaleName();
    } catch (...) {
    }
}

void GetISOABBRCountryCode(std::wstring& out_wsISOCountryCode) {
    try {
        out_wsISOCountryCode +=
            LocaleInfo(static_cast<port::LCID>(GetProductLangID()), port::LOCALE_SISO3166CTRYNAME);
    } catch (...) {
    }
}

void GetLocalOSLangID(std::wstring& out_wsLocalOSID) {
    try {
        out_wsLocalOSID += LanguageCode(NormalizedLanguage(port::GetSystemDefaultLangID()));
    } catch (...) {
    }
}

void GetRDLocaleSpecificCurrentDateTime(wchar_t* out_szLocaleSpecificDateTime) {
    if (out_szLocaleSpecificDateTime == nullptr) {
        return;
    }
    try {
        const std::tm now = port::CurrentLocalTime();
        const std::wstring text = port::FormatLongDateTime(ProductLocale(), now);
        port::BoundedCopy(out_szLocaleSpecificDateTime, kDateTimeCapacity, text);
    } catch (...) {
    }
}

void ConvertPublishedDateToRDLocale(const wchar_t* in_szPublishedDate,
                                    wchar_t* out_RDLocaleSpecificPublishedDate) {
    if (in_szPublishedDate == nullptr || *in_szPublishedDate == L'\0' ||
        out_RDLocaleSpecificPublishedDate == nullptr) {
        return;
    }
    try {
        const std::wstring_view published(
            in_szPublishedDate, port::BoundedLength(in_szPublishedDate, kPublishedDateCapacity));
        const std::optional<PublishedDate> date = ParsePublishedDate(published);
        // A date that is not month/day/year of a real day is shown as it was published rather
        // than as some other day.
        const std::wstring text =
            date ? port::FormatShortDate(ProductLocale(), CalendarTimeOf(*date))
                 : std::wstring(published);
        port::BoundedCopy(out_RDLocaleSpecificPublishedDate, kPublishedDateCapacity, text);
    } catch (...) {
    }
}

void GetUniqueDateFormat(SYSTEMTIME& st, wchar_t* szTime) {
    if (szTime == nullptr) {
        return;
    }
    wchar_t names[kNamesCapacity];
    port::FormatWide(names, kNamesCapacity, L"%s %s", WeekdayName(st.wDayOfWeek),
                     MonthName(st.wMonth));
    // Fields beyond their range (a day of 999, a year of 65535) would need more than the 25
    // characters: the text is cut to the buffer instead of running past it.
    port::FormatWide(szTime, kUniqueDateCapacity, L"%s %02d %02d:%02d:%02d %d", names,
                     static_cast<int>(st.wDay), static_cast<int>(st.wHour),
                     static_cast<int>(st.wMinute), static_cast<int>(st.wSecond),
                     static_cast<int>(st.wYear));
}
