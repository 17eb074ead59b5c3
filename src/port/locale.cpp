#include "port/locale.h"

#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uloc.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "port/text.h"

namespace port {
namespace {

static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 here");

constexpr LANGID kEnglishUnitedStates = 1033;
// Bits 20-31 of a locale identifier are reserved: an identifier that sets them names nothing.
constexpr LCID kLargestLocaleIdentifier = 0xFFFFF;

// ---- ICU names ----

// ICU reports a result that filled its buffer exactly as a warning, with no terminating NUL.
bool Succeeded(UErrorCode status) {
    return U_SUCCESS(status) && status != U_STRING_NOT_TERMINATED_WARNING;
}

std::wstring ToWide(const icu::UnicodeString& text) {
    std::wstring wide;
    wide.reserve(static_cast<std::size_t>(text.length()));
    for (int32_t index = 0; index < text.length(); index = text.moveIndex32(index, 1)) {
        wide.push_back(static_cast<wchar_t>(text.char32At(index)));
    }
    return wide;
}

std::wstring ToWide(const char* ascii) {
    return std::wstring(ascii, ascii + std::strlen(ascii));
}

// The ICU locale of a Windows locale identifier. Identifiers that ICU maps only to its root
// locale (0, the user and system default placeholders) name no language, like unknown ones.
std::optional<icu::Locale> IcuLocaleOf(LCID locale) {
    if (locale > kLargestLocaleIdentifier) {
        return std::nullopt;
    }
    char name[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = uloc_getLocaleForLCID(locale, name, sizeof name, &status);
    if (!Succeeded(status) || length <= 0 || std::strcmp(name, "root") == 0) {
        return std::nullopt;
    }
    return icu::Locale(name);
}

// ---- locale information ----

std::wstring EnglishLanguageName(const icu::Locale& locale) {
    icu::UnicodeString name;
    locale.getDisplayLanguage(icu::Locale::getEnglish(), name);
    return ToWide(name);
}

std::wstring EnglishCountryName(const icu::Locale& locale) {
    if (*locale.getCountry() == '\0') {
        return {};
    }
    icu::UnicodeString name;
    locale.getDisplayCountry(icu::Locale::getEnglish(), name);
    return ToWide(name);
}

struct AnsiCodePage {
    const char* language;
    const char* script;  // "" for any script
    const wchar_t* codePage;
};

// Windows' default ANSI code page by language. Where a language is written in two scripts the
// row naming the script comes first. Languages that Windows serves only in Unicode (Hindi,
// Georgian, Armenian ...) are not listed: their code page is "0".
constexpr AnsiCodePage kAnsiCodePages[] = {
    // Chinese, Serbian, Bosnian, Azerbaijani, Uzbek: by script.
    {"zh", "Hant", L"950"},
    {"zh", "", L"936"},
    {"sr", "Latn", L"1250"},
    {"sr", "", L"1251"},
    {"bs", "Cyrl", L"1251"},
    {"bs", "", L"1250"},
    {"az", "Cyrl", L"1251"},
    {"az", "", L"1254"},
    {"uz", "Cyrl", L"1251"},
    {"uz", "", L"1254"},
    // Western European.
    {"af", "", L"1252"},
    {"br", "", L"1252"},
    {"ca", "", L"1252"},
    {"co", "", L"1252"},
    {"cy", "", L"1252"},
    {"da", "", L"1252"},
    {"de", "", L"1252"},
    {"en", "", L"1252"},
    {"es", "", L"1252"},
    {"eu", "", L"1252"},
    {"fi", "", L"1252"},
    {"fil", "", L"1252"},
    {"fo", "", L"1252"},
    {"fr", "", L"1252"},
    {"fy", "", L"1252"},
    {"ga", "", L"1252"},
    {"gd", "", L"1252"},
    {"gl", "", L"1252"},
    {"id", "", L"1252"},
    {"is", "", L"1252"},
    {"it", "", L"1252"},
    {"lb", "", L"1252"},
    {"ms", "", L"1252"},
    {"nb", "", L"1252"},
    {"nl", "", L"1252"},
    {"nn", "", L"1252"},
    {"no", "", L"1252"},
    {"oc", "", L"1252"},
    {"pt", "", L"1252"},
    {"rm", "", L"1252"},
    {"sv", "", L"1252"},
    {"sw", "", L"1252"},
    // Central European.
    {"cs", "", L"1250"},
    {"dsb", "", L"1250"},
    {"hr", "", L"1250"},
    {"hsb", "", L"1250"},
    {"hu", "", L"1250"},
    {"pl", "", L"1250"},
    {"ro", "", L"1250"},
    {"sk", "", L"1250"},
    {"sl", "", L"1250"},
    {"sq", "", L"1250"},
    {"tk", "", L"1250"},
    // Cyrillic.
    {"ba", "", L"1251"},
    {"be", "", L"1251"},
    {"bg", "", L"1251"},
    {"kk", "", L"1251"},
    {"ky", "", L"1251"},
    {"mk", "", L"1251"},
    {"mn", "", L"1251"},
    {"ru", "", L"1251"},
    {"sah", "", L"1251"},
    {"tg", "", L"1251"},
    {"tt", "", L"1251"},
    {"uk", "", L"1251"},
    // Greek, Turkish, Hebrew, Arabic, Baltic, Vietnamese.
    {"el", "", L"1253"},
    {"tr", "", L"1254"},
    {"he", "", L"1255"},
    {"ar", "", L"1256"},
    {"fa", "", L"1256"},
    {"ur", "", L"1256"},
    {"et", "", L"1257"},
    {"lt", "", L"1257"},
    {"lv", "", L"1257"},
    {"vi", "", L"1258"},
    // Thai and the East Asian double-byte code pages.
    {"th", "", L"874"},
    {"ja", "", L"932"},
    {"ko", "", L"949"},
};

std::wstring DefaultAnsiCodePage(const icu::Locale& locale) {
    // "zh_TW" and "sr_RS" name no script: the likely one decides (Hant, Cyrl).
    icu::Locale full(locale);
    UErrorCode status = U_ZERO_ERROR;
    full.addLikelySubtags(status);
    const std::string_view language = full.getLanguage();
    const std::string_view script = U_SUCCESS(status) ? full.getScript() : "";
    for (const AnsiCodePage& row : kAnsiCodePages) {
        if (language == row.language && (*row.script == '\0' || script == row.script)) {
            return row.codePage;
        }
    }
    return L"0";
}

std::wstring LocaleInfo(const icu::Locale& locale, DWORD type) {
    switch (type) {
        case LOCALE_SENGLANGUAGE:
            return EnglishLanguageName(locale);
        case LOCALE_SENGCOUNTRY:
            return EnglishCountryName(locale);
        case LOCALE_IDEFAULTANSICODEPAGE:
            return DefaultAnsiCodePage(locale);
        case LOCALE_SISO3166CTRYNAME:
            return ToWide(locale.getCountry());
        default:
            return {};
    }
}

// ---- the machine's language ----

// POSIX precedence for the language of messages; an empty variable counts as unset.
std::string MessagesLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

// ---- date formatting ----

// An unknown identifier formats as the product's own default, English (United States).
icu::Locale FormattingLocale(LCID locale) {
    return IcuLocaleOf(locale).value_or(icu::Locale::getUS());
}

// The fields are a wall-clock time. Reading them and formatting them both in UTC keeps them as
// they are, with no daylight-saving gap or overlap in between.
std::optional<UDate> InstantOf(const std::tm& time) {
    const long long year = static_cast<long long>(time.tm_year) + 1900;
    if (year < std::numeric_limits<int32_t>::min() || year > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::GregorianCalendar calendar(*icu::TimeZone::getGMT(), icu::Locale::getRoot(), status);
    calendar.clear();
    calendar.set(static_cast<int32_t>(year), time.tm_mon, time.tm_mday, time.tm_hour, time.tm_min,
                 time.tm_sec);
    const UDate instant = calendar.getTime(status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return instant;
}

std::wstring FormatWith(std::unique_ptr<icu::DateFormat> format, const std::tm& time) {
    const std::optional<UDate> instant = InstantOf(time);
    if (format == nullptr || !instant) {
        return {};
    }
    format->setTimeZone(*icu::TimeZone::getGMT());
    icu::UnicodeString text;
    format->format(*instant, text);
    return ToWide(text);
}

// A two-digit year field ("yy") becomes the full year ("y"); quoted text stays literal.
icu::UnicodeString WithFullYear(const icu::UnicodeString& pattern) {
    icu::UnicodeString widened;
    bool quoted = false;
    int32_t index = 0;
    while (index < pattern.length()) {
        const char16_t character = pattern.charAt(index);
        if (quoted || character != u'y') {
            quoted = quoted != (character == u'\'');
            widened.append(character);
            ++index;
            continue;
        }
        int32_t run = 1;
        while (index + run < pattern.length() && pattern.charAt(index + run) == u'y') {
            ++run;
        }
        widened.append(run == 2 ? icu::UnicodeString(u"y") : pattern.tempSubString(index, run));
        index += run;
    }
    return widened;
}

}  // namespace

int GetLocaleInfoW(LCID locale, DWORD type, wchar_t* data, int capacity) {
    if (data == nullptr || capacity <= 0) {
        return 0;
    }
    data[0] = L'\0';
    const std::optional<icu::Locale> icuLocale = IcuLocaleOf(locale);
    if (!icuLocale) {
        return 0;
    }
    const std::wstring info = LocaleInfo(*icuLocale, type);
    if (info.empty()) {
        return 0;
    }
    return static_cast<int>(BoundedCopy(data, static_cast<std::size_t>(capacity), info)) + 1;
}

LANGID GetSystemDefaultLangID() {
    const std::string name = MessagesLocaleName();
    // "de_DE.UTF-8" and "en_US.ISO8859-1": the canonical form drops the code set, which ICU's
    // mapping would otherwise read as part of the country and miss.
    char canonical[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_canonicalize(name.c_str(), canonical, sizeof canonical, &status);
    if (!Succeeded(status)) {
        return kEnglishUnitedStates;
    }
    // "C" and "POSIX" map to no identifier.
    const uint32_t locale = uloc_getLCID(canonical);
    if (locale == 0) {
        return kEnglishUnitedStates;
    }
    return static_cast<LANGID>(locale & 0xFFFF);
}

std::tm CurrentLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::wstring FormatLongDateTime(LCID locale, const std::tm& localTime) {
    // Full date and medium time: weekday, day, month name and year, then the time with seconds
    // and no time zone, as Windows writes "%#c".
    return FormatWith(
        std::unique_ptr<icu::DateFormat>(icu::DateFormat::createDateTimeInstance(
            icu::DateFormat::kFull, icu::DateFormat::kMedium, FormattingLocale(locale))),
        localTime);
}

std::wstring FormatShortDate(LCID locale, const std::tm& localTime) {
    std::unique_ptr<icu::DateFormat> format(
        icu::DateFormat::createDateInstance(icu::DateFormat::kShort, FormattingLocale(locale)));
    // The locale's short form with a four-digit year (3/14/2009, 14.03.2009), as Windows' own
    // short date formats write it: a patch date must not leave its century to guesswork.
    if (auto* simple = dynamic_cast<icu::SimpleDateFormat*>(format.get())) {
        icu::UnicodeString pattern;
        simple->toPattern(pattern);
        simple->applyPattern(WithFullYear(pattern));
    }
    return FormatWith(std::move(format), localTime);
}

}  // namespace port
