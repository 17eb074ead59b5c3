#include "orchel/dates.h"

#include <gtest/gtest.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "orchel/corvlog.h"
#include "port/locale.h"
#include "support/scratch.h"

namespace {

using testsupport::ScopedEnv;
using testsupport::TempFolder;

constexpr port::LCID kEnglish = 1033;
constexpr port::LCID kGerman = 1031;
constexpr port::LCID kFrench = 1036;
constexpr port::LCID kJapanese = 1041;
constexpr port::LCID kChineseSimplified = 2052;
constexpr port::LCID kChineseTraditional = 1028;

constexpr wchar_t kSentinel = L'#';

// Saturday, 14 March 2009, 13:02:03.
std::tm FixedTime() {
    std::tm time{};
    time.tm_year = 2009 - 1900;
    time.tm_mon = 2;
    time.tm_mday = 14;
    time.tm_hour = 13;
    time.tm_min = 2;
    time.tm_sec = 3;
    return time;
}

bool Contains(const std::wstring& text, const std::wstring& piece) {
    return text.find(piece) != std::wstring::npos;
}

std::wstring LocaleInfo(port::LCID locale, DWORD type) {
    wchar_t info[80];
    std::fill(std::begin(info), std::end(info), kSentinel);
    const int written = port::GetLocaleInfoW(locale, type, info, 80);
    const std::wstring text(info);
    EXPECT_EQ(written, text.empty() ? 0 : static_cast<int>(text.size()) + 1) << text;
    return text;
}

// ---- port: locale information ----

TEST(LocaleInfo, NamesCountriesAndCodePagesOfKnownLanguages) {
    struct Row {
        port::LCID locale;
        std::wstring language, country, codePage, iso;
    };
    const std::vector<Row> rows = {
        {kEnglish, L"English", L"United States", L"1252", L"US"},
        {kGerman, L"German", L"Germany", L"1252", L"DE"},
        {kFrench, L"French", L"France", L"1252", L"FR"},
        {kJapanese, L"Japanese", L"Japan", L"932", L"JP"},
        {kChineseSimplified, L"Chinese", L"China", L"936", L"CN"},
        {kChineseTraditional, L"Chinese", L"Taiwan", L"950", L"TW"},
        // Hong Kong names no script: the likely one (traditional) decides the code page.
        {3076, L"Chinese", L"Hong Kong SAR China", L"950", L"HK"},
        {3082, L"Spanish", L"Spain", L"1252", L"ES"},
        {1034, L"Spanish", L"Spain", L"1252", L"ES"},
        {1045, L"Polish", L"Poland", L"1250", L"PL"},
        {1049, L"Russian", L"Russia", L"1251", L"RU"},
        {1032, L"Greek", L"Greece", L"1253", L"GR"},
        {1055, L"Turkish", L"Turkey", L"1254", L"TR"},
        {1037, L"Hebrew", L"Israel", L"1255", L"IL"},
        {1025, L"Arabic", L"Saudi Arabia", L"1256", L"SA"},
        {1062, L"Latvian", L"Latvia", L"1257", L"LV"},
        {1066, L"Vietnamese", L"Vietnam", L"1258", L"VN"},
        {1054, L"Thai", L"Thailand", L"874", L"TH"},
        {1042, L"Korean", L"South Korea", L"949", L"KR"},
        // Serbian in Latin and in Cyrillic script.
        {0x081A, L"Serbian", L"Serbia", L"1250", L"CS"},
        {0x0C1A, L"Serbian", L"Serbia", L"1251", L"CS"},
        // Windows serves Hindi only in Unicode.
        {1081, L"Hindi", L"India", L"0", L"IN"},
        // A language-neutral identifier names no country.
        {9, L"English", L"", L"1252", L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.locale);
        EXPECT_EQ(row.language, LocaleInfo(row.locale, port::LOCALE_SENGLANGUAGE));
        EXPECT_EQ(row.country, LocaleInfo(row.locale, port::LOCALE_SENGCOUNTRY));
        EXPECT_EQ(row.codePage, LocaleInfo(row.locale, port::LOCALE_IDEFAULTANSICODEPAGE));
        EXPECT_EQ(row.iso, LocaleInfo(row.locale, port::LOCALE_SISO3166CTRYNAME));
    }
}

TEST(LocaleInfo, UnknownIdentifiersGiveNothing) {
    const std::vector<port::LCID> unknown = {
        0,       // no language
        0x0400,  // the user-default placeholder
        0x0800,  // the system-default placeholder
        0x1234,  // no such language
        0xFFFF,
        0x100409,  // reserved bits set
        0xFFFFFFFF,
    };
    for (port::LCID locale : unknown) {
        SCOPED_TRACE(locale);
        for (DWORD type : {port::LOCALE_SENGLANGUAGE, port::LOCALE_SENGCOUNTRY,
                           port::LOCALE_IDEFAULTANSICODEPAGE, port::LOCALE_SISO3166CTRYNAME}) {
            EXPECT_EQ(L"", LocaleInfo(locale, type)) << type;
        }
    }
    EXPECT_EQ(L"", LocaleInfo(kEnglish, 0x9999)) << "unknown information type";
}

TEST(LocaleInfo, CutsToTheBufferAndToleratesNoBuffer) {
    wchar_t small[5];
    std::fill(std::begin(small), std::end(small), kSentinel);
    EXPECT_EQ(4, port::GetLocaleInfoW(kEnglish, port::LOCALE_SENGLANGUAGE, small, 4));
    EXPECT_EQ(std::wstring(L"Eng"), small);
    EXPECT_EQ(kSentinel, small[4]);

    EXPECT_EQ(0, port::GetLocaleInfoW(kEnglish, port::LOCALE_SENGLANGUAGE, nullptr, 80));
    EXPECT_EQ(0, port::GetLocaleInfoW(kEnglish, port::LOCALE_SENGLANGUAGE, small, 0));
    EXPECT_EQ(kSentinel, small[4]);
}

// ---- port: date formatting ----

struct DateRow {
    port::LCID locale;
    std::vector<std::wstring> longPieces;
    std::wstring shortDate;
};

// The pieces that make each long form recognisable, and the whole short form, whose year keeps
// its four digits.
const std::vector<DateRow>& DateRows() {
    static const std::vector<DateRow> rows = {
        {kEnglish, {L"Saturday", L"March 14, 2009", L"1:02:03", L"PM"}, L"3/14/2009"},
        {kGerman, {L"Samstag", L"14. März 2009", L"13:02:03"}, L"14.03.2009"},
        {kFrench, {L"samedi", L"14 mars 2009", L"13:02:03"}, L"14/03/2009"},
        {kJapanese, {L"2009年3月14日", L"土曜日", L"13:02:03"}, L"2009/03/14"},
        {kChineseSimplified, {L"2009年3月14日", L"星期六", L"13:02:03"}, L"2009/3/14"},
        {kChineseTraditional, {L"2009年3月14日", L"星期六", L"1:02:03"}, L"2009/3/14"},
        {1049, {L"суббота", L"14 марта 2009", L"13:02:03"}, L"14.03.2009"},
        {1042, {L"2009년 3월 14일", L"토요일", L"1:02:03"}, L"2009. 3. 14."},
        // Unknown identifiers format in English (United States).
        {0, {L"Saturday", L"March 14, 2009", L"1:02:03", L"PM"}, L"3/14/2009"},
        {0x1234, {L"Saturday", L"March 14, 2009", L"1:02:03", L"PM"}, L"3/14/2009"},
    };
    return rows;
}

TEST(LocaleDates, LongAndShortFormsInTheLanguage) {
    for (const DateRow& row : DateRows()) {
        SCOPED_TRACE(row.locale);
        const std::wstring longForm = port::FormatLongDateTime(row.locale, FixedTime());
        for (const std::wstring& piece : row.longPieces) {
            EXPECT_TRUE(Contains(longForm, piece)) << longForm << " lacks " << piece;
        }
        EXPECT_EQ(row.shortDate, port::FormatShortDate(row.locale, FixedTime()));
    }
}

// ICU reads the machine's time zone once; a test swaps its default for another and back.
class ScopedIcuDefaultZone {
public:
    explicit ScopedIcuDefaultZone(const char* id) : old_(icu::TimeZone::createDefault()) {
        icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(id));
    }
    ~ScopedIcuDefaultZone() { icu::TimeZone::adoptDefault(old_.release()); }
    ScopedIcuDefaultZone(const ScopedIcuDefaultZone&) = delete;
    ScopedIcuDefaultZone& operator=(const ScopedIcuDefaultZone&) = delete;

private:
    std::unique_ptr<icu::TimeZone> old_;
};

TEST(LocaleDates, WallClockFieldsAreKeptAsGiven) {
    // 02:30 on 10 March 2024 does not exist in New York (clocks jump from 2:00 to 3:00): the
    // fields must still show as given, never moved by a zone.
    ScopedIcuDefaultZone zone("America/New_York");
    std::tm gap = FixedTime();
    gap.tm_year = 2024 - 1900;
    gap.tm_mon = 2;
    gap.tm_mday = 10;
    gap.tm_hour = 2;
    gap.tm_min = 30;
    gap.tm_sec = 0;
    const std::wstring longForm = port::FormatLongDateTime(kGerman, gap);
    EXPECT_TRUE(Contains(longForm, L"Sonntag, 10. März 2024")) << longForm;
    EXPECT_TRUE(Contains(longForm, L"02:30:00")) << longForm;
    EXPECT_EQ(L"3/10/2024", port::FormatShortDate(kEnglish, gap));
}

// ---- port: the machine's language ----

// Sets the three locale variables; an empty value counts as unset.
class MachineLanguage : public ::testing::Test {
protected:
    ScopedEnv all_{"LC_ALL", ""};
    ScopedEnv messages_{"LC_MESSAGES", ""};
    ScopedEnv lang_{"LANG", ""};
};

TEST_F(MachineLanguage, AppendsTheCodeOfTheLanguage) {
    struct Row {
        std::string lang;
        std::wstring code;
    };
    const std::vector<Row> rows = {
        {"de_DE", L"GRM"},
        {"de_DE.UTF-8", L"GRM"},
        {"ja_JP.UTF-8", L"JPN"},
        {"zh_CN", L"CHS"},
        {"zh_TW", L"CHT"},
        {"fr_FR", L"FRN"},
        {"it_IT", L"ITA"},
        {"pt_BR", L"PRB"},
        {"en_US", L"USA"},
        // Spanish with the modern sort counts as Spanish; Mexican Spanish is not in the table.
        {"es_ES", L"SPA"},
        {"es_MX", L"USA"},
        // Hong Kong and Macao Chinese count as traditional; Singapore's is not in the table.
        {"zh_HK", L"CHT"},
        {"zh_MO", L"CHT"},
        {"zh_SG", L"USA"},
        {"pt_PT", L"USA"},
        {"C", L"USA"},
        {"C.UTF-8", L"USA"},
        {"POSIX", L"USA"},
        {"", L"USA"},
        {"not a locale at all", L"USA"},
    };
    for (const Row& row : rows) {
        ScopedEnv lang("LANG", row.lang);
        std::wstring code = L"Lang=";
        GetLocalOSLangID(code);
        EXPECT_EQ(L"Lang=" + row.code, code) << "LANG=" << row.lang;
    }
}

TEST_F(MachineLanguage, LcAllThenLcMessagesThenLang) {
    ScopedEnv lang("LANG", "de_DE.UTF-8");
    EXPECT_EQ(1031, port::GetSystemDefaultLangID());
    {
        ScopedEnv messages("LC_MESSAGES", "ja_JP.UTF-8");
        EXPECT_EQ(1041, port::GetSystemDefaultLangID());
        ScopedEnv all("LC_ALL", "fr_FR.UTF-8");
        EXPECT_EQ(1036, port::GetSystemDefaultLangID());
    }
    // The identifier itself is not normalised: that is the caller's table.
    ScopedEnv spanish("LANG", "es_ES.UTF-8");
    EXPECT_EQ(3082, port::GetSystemDefaultLangID());
}

// ---- exported functions on the product's registry value ----

const std::string kRegistryHeader =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor]\n";

// Each test has its own registry file, named by ORCHEL_REGISTRY.
class ProductLanguage : public ::testing::Test {
protected:
    void WriteRegistry(const std::string& text) { folder_.Write("registry.reg", text); }
    void WriteValues(const std::string& values) { WriteRegistry(kRegistryHeader + values); }
    void SetCodepage(const std::string& value) { WriteValues("\"Codepage\"=\"" + value + "\"\n"); }

    TempFolder folder_;
    ScopedEnv registry_{"ORCHEL_REGISTRY", (folder_.Path() / "registry.reg").string()};
};

void ExpectRecords(const CapturingLogSink& log, const std::vector<std::wstring>& expected) {
    const std::vector<LogRecord> records = log.Records();
    ASSERT_EQ(expected.size(), records.size());
    for (std::size_t index = 0; index < records.size(); ++index) {
        EXPECT_EQ(expected[index], records[index].message) << "line " << index;
        EXPECT_EQ(7001u, records[index].component) << "line " << index;
        EXPECT_EQ(4u, records[index].level) << "line " << index;
    }
}

const std::wstring kReadingLine = L"Reading the product Codepage from registry.";

std::wstring FoundLine(int languageId) {
    return L"CodePage of Kelm Veltrane Backup Remedor found to be " + std::to_wstring(languageId);
}

TEST_F(ProductLanguage, ReadsTheLeadingNumberOfCodepage) {
    struct Row {
        std::string value;
        int expected;
    };
    const std::vector<Row> rows = {
        {"1033", 1033},
        {"2052", 2052},
        {"  1041", 1041},
        {"1036 French", 1036},
        {"French", 0},
        {"", 0},
        {"-5", -5},
        {"99999999999", 2147483647},
        // 24 characters fit the buffer; 25 do not, and the value cannot be read.
        {"000000000000000000001031", 1031},
        {"0000000000000000000001031", 0},
    };
    for (const Row& row : rows) {
        SetCodepage(row.value);
        CapturingLogSink log;
        EXPECT_EQ(row.expected, GetProductLangID()) << "Codepage=" << row.value;
        ExpectRecords(log, {kReadingLine, FoundLine(row.expected)});
    }
}

TEST_F(ProductLanguage, MissingKeyOrValue) {
    {
        SCOPED_TRACE("no registry file");
        CapturingLogSink log;
        EXPECT_EQ(0, GetProductLangID());
        ExpectRecords(log, {kReadingLine});
    }
    {
        SCOPED_TRACE("another key only");
        WriteRegistry(
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Other]\n\"Codepage\"=\"1033\"\n");
        CapturingLogSink log;
        EXPECT_EQ(0, GetProductLangID());
        ExpectRecords(log, {kReadingLine});
    }
    {
        SCOPED_TRACE("key without the value");
        WriteValues("\"PATCHESROOT\"=\"/srv/patches\"\n");
        CapturingLogSink log;
        EXPECT_EQ(0, GetProductLangID());
        ExpectRecords(log, {kReadingLine, FoundLine(0)});
    }
    {
        SCOPED_TRACE("a number, not a text");
        WriteValues("\"Codepage\"=dword:00000409\n");
        CapturingLogSink log;
        EXPECT_EQ(0, GetProductLangID());
        ExpectRecords(log, {kReadingLine, FoundLine(0)});
    }
}

TEST_F(ProductLanguage, LocaleNameAndCountryCodeAreAppended) {
    struct Row {
        std::string codepage;
        std::wstring localeName, country;
    };
    const std::vector<Row> rows = {
        {"1033", L"English_United States.1252", L"US"},
        {"1031", L"German_Germany.1252", L"DE"},
        {"1036", L"French_France.1252", L"FR"},
        {"1041", L"Japanese_Japan.932", L"JP"},
        {"2052", L"Chinese_China.936", L"CN"},
        {"1081", L"Hindi_India.0", L"IN"},
        // The locale name takes the low 16 bits (0x10409 is 1033); the country code asks about
        // the whole identifier, whose sort bits make it language-neutral.
        {"66569", L"English_United States.1252", L""},
        {"0", L"", L""},
        {"4660", L"", L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.codepage);
        SetCodepage(row.codepage);
        std::wstring localeName = L"was:";
        GetProductLanguageWithANSICodePage(localeName);
        EXPECT_EQ(L"was:" + row.localeName, localeName);
        std::wstring country = L"was:";
        GetISOABBRCountryCode(country);
        EXPECT_EQ(L"was:" + row.country, country);
    }
}

TEST_F(ProductLanguage, LocaleNameLogsTheLanguageCode) {
    SetCodepage("66569");
    CapturingLogSink log;
    std::wstring localeName;
    GetProductLanguageWithANSICodePage(localeName);
    ExpectRecords(
        log, {kReadingLine, FoundLine(66569), L"DEBUG: Language Code of Remedor found as 1033"});
}

// ---- ConvertPublishedDateToRDLocale ----

constexpr std::size_t kPublishedDateCapacity = 50;

// A buffer of 50 characters followed by a guard that must stay untouched.
struct GuardedBuffer {
    GuardedBuffer() { std::fill(std::begin(data), std::end(data), kSentinel); }
    std::wstring Text() const {
        return std::wstring(data, std::find(data, data + kPublishedDateCapacity, L'\0'));
    }
    bool GuardIntact() const {
        return std::all_of(data + kPublishedDateCapacity, std::end(data),
                           [](wchar_t c) { return c == kSentinel; });
    }
    wchar_t data[kPublishedDateCapacity + 16];
};

TEST_F(ProductLanguage, PublishedDateInTheShortFormOfTheProductLanguage) {
    struct Row {
        std::string codepage;
        std::wstring published, expected;
    };
    const std::vector<Row> rows = {
        {"1033", L"03/14/2009", L"3/14/2009"},
        {"1033", L"3/4/2009", L"3/4/2009"},
        {"1033", L"12/31/1999", L"12/31/1999"},
        {"1033", L"02/29/2008", L"2/29/2008"},
        {"1031", L"03/14/2009", L"14.03.2009"},
        {"1036", L"03/14/2009", L"14/03/2009"},
        {"1041", L"03/14/2009", L"2009/03/14"},
        {"2052", L"03/14/2009", L"2009/3/14"},
        // An unknown product language writes English (United States).
        {"0", L"03/14/2009", L"3/14/2009"},
    };
    for (const Row& row : rows) {
        SetCodepage(row.codepage);
        GuardedBuffer out;
        ConvertPublishedDateToRDLocale(row.published.c_str(), out.data);
        EXPECT_EQ(row.expected, out.Text()) << row.codepage << " " << row.published;
        EXPECT_TRUE(out.GuardIntact());
    }
}

TEST_F(ProductLanguage, MalformedPublishedDateIsWrittenAsPublished) {
    SetCodepage("1031");
    const std::vector<std::wstring> malformed = {
        L"03-14-2009",           // no separator
        L"03/142009",            // one separator
        L"/14/2009",             // empty month
        L"03//2009",             // empty day
        L"03/14/",               // empty year
        L"13/14/2009",           // month out of range
        L"00/14/2009",           //
        L"02/29/2009",           // no such day
        L"04/31/2009",           //
        L"03/00/2009",           //
        L"03/14/0",              // year out of range
        L"03/14/10000",          //
        L"0000000003/14/2009",   // part longer than 9 characters
        L"03/14/2009 10:00:00",  //
        L"03/14/2009/1",         //
        L"March/14/2009",        // not numbers
        L"+3/14/2009",           //
        L" 3/14/2009",           //
        L"-1/14/2009",           //
        L"999999999/999999999/999999999",
    };
    for (const std::wstring& published : malformed) {
        GuardedBuffer out;
        ConvertPublishedDateToRDLocale(published.c_str(), out.data);
        EXPECT_EQ(published, out.Text());
        EXPECT_TRUE(out.GuardIntact()) << published;
    }
}

TEST_F(ProductLanguage, PublishedDateEdgeBuffers) {
    SetCodepage("1033");
    {
        SCOPED_TRACE("an empty date leaves the buffer untouched");
        GuardedBuffer out;
        ConvertPublishedDateToRDLocale(L"", out.data);
        EXPECT_TRUE(std::all_of(std::begin(out.data), std::end(out.data),
                                [](wchar_t c) { return c == kSentinel; }));
        ConvertPublishedDateToRDLocale(nullptr, out.data);
        EXPECT_TRUE(std::all_of(std::begin(out.data), std::end(out.data),
                                [](wchar_t c) { return c == kSentinel; }));
        ConvertPublishedDateToRDLocale(L"03/14/2009", nullptr);
    }
    {
        SCOPED_TRACE("a long text is cut to 49 characters");
        const std::wstring published(120, L'7');
        GuardedBuffer out;
        ConvertPublishedDateToRDLocale(published.c_str(), out.data);
        EXPECT_EQ(published.substr(0, 49), out.Text());
        EXPECT_EQ(L'\0', out.data[49]);
        EXPECT_TRUE(out.GuardIntact());
    }
}

// ---- GetRDLocaleSpecificCurrentDateTime ----

TEST_F(ProductLanguage, CurrentDateTimeInTheLongFormOfTheProductLanguage) {
    struct Row {
        std::string codepage;
        std::vector<std::wstring> weekdays;
    };
    const std::vector<Row> rows = {
        {"1033",
         {L"Sunday", L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday"}},
        {"1031",
         {L"Sonntag", L"Montag", L"Dienstag", L"Mittwoch", L"Donnerstag", L"Freitag", L"Samstag"}},
        {"1041", {L"日曜日", L"月曜日", L"火曜日", L"水曜日", L"木曜日", L"金曜日", L"土曜日"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.codepage);
        SetCodepage(row.codepage);
        wchar_t out[80 + 16];
        std::fill(std::begin(out), std::end(out), kSentinel);
        GetRDLocaleSpecificCurrentDateTime(out);
        const std::wstring text(out, std::find(out, out + 80, L'\0'));
        ASSERT_LT(text.size(), 80u);
        EXPECT_TRUE(std::any_of(row.weekdays.begin(), row.weekdays.end(),
                                [&](const std::wstring& day) { return Contains(text, day); }))
            << text;
        EXPECT_TRUE(std::all_of(out + 80, std::end(out), [](wchar_t c) { return c == kSentinel; }));
    }
    GetRDLocaleSpecificCurrentDateTime(nullptr);
}

// ---- GetUniqueDateFormat ----

SYSTEMTIME Time(WORD year, WORD month, WORD dayOfWeek, WORD day, WORD hour, WORD minute,
                WORD second) {
    return SYSTEMTIME{year, month, dayOfWeek, day, hour, minute, second, 0};
}

TEST(UniqueDateFormat, FixedEnglishText) {
    struct Row {
        SYSTEMTIME time;
        std::wstring expected;
    };
    std::vector<Row> rows = {
        {Time(2025, 1, 0, 5, 13, 4, 5), L"Sun Jan 05 13:04:05 2025"},
        {Time(2009, 3, 6, 14, 0, 0, 0), L"Sat Mar 14 00:00:00 2009"},
        {Time(1999, 12, 5, 31, 23, 59, 59), L"Fri Dec 31 23:59:59 1999"},
        // Names out of range are written as "---".
        {Time(2025, 1, 7, 5, 13, 4, 5), L"--- Jan 05 13:04:05 2025"},
        {Time(2025, 0, 0, 5, 13, 4, 5), L"Sun --- 05 13:04:05 2025"},
        {Time(2025, 13, 65535, 5, 13, 4, 5), L"--- --- 05 13:04:05 2025"},
        // Fields out of range would need more than 25 characters: the text is cut.
        {Time(65535, 12, 6, 999, 999, 999, 999), L"Sat Dec 999 999:999:999 "},
        {Time(65535, 12, 6, 31, 23, 59, 59), L"Sat Dec 31 23:59:59 6553"},
    };
    for (Row& row : rows) {
        wchar_t out[25 + 16];
        std::fill(std::begin(out), std::end(out), kSentinel);
        GetUniqueDateFormat(row.time, out);
        EXPECT_EQ(row.expected, out);
        EXPECT_TRUE(std::all_of(out + 25, std::end(out), [](wchar_t c) { return c == kSentinel; }))
            << row.expected;
    }
    SYSTEMTIME time = Time(2025, 1, 0, 5, 13, 4, 5);
    GetUniqueDateFormat(time, nullptr);
}

// ---- threads ----

TEST(LocaleDatesConcurrent, ThreadsFormatInDifferentLanguagesAtOnce) {
    std::vector<std::wstring> longForms;
    for (const DateRow& row : DateRows()) {
        longForms.push_back(port::FormatLongDateTime(row.locale, FixedTime()));
    }
    constexpr int kRounds = 50;
    std::vector<int> mismatches(DateRows().size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t index = 0; index < DateRows().size(); ++index) {
        threads.emplace_back([&, index] {
            const DateRow& row = DateRows()[index];
            for (int round = 0; round < kRounds; ++round) {
                if (port::FormatLongDateTime(row.locale, FixedTime()) != longForms[index] ||
                    port::FormatShortDate(row.locale, FixedTime()) != row.shortDate) {
                    ++mismatches[index];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (std::size_t index = 0; index < DateRows().size(); ++index) {
        EXPECT_EQ(0, mismatches[index]) << DateRows()[index].locale;
    }
}

TEST_F(ProductLanguage, ConcurrentCallsOfTheExportedFunctions) {
    SetCodepage("1031");
    constexpr int kThreads = 6;
    constexpr int kRounds = 20;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int index = 0; index < kThreads; ++index) {
        threads.emplace_back([&, index] {
            for (int round = 0; round < kRounds; ++round) {
                wchar_t date[kPublishedDateCapacity];
                ConvertPublishedDateToRDLocale(L"03/14/2009", date);
                std::wstring localeName;
                GetProductLanguageWithANSICodePage(localeName);
                if (std::wstring(date) != L"14.03.2009" || localeName != L"German_Germany.1252") {
                    ++mismatches[index];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int index = 0; index < kThreads; ++index) {
        EXPECT_EQ(0, mismatches[index]) << "thread " << index;
    }
}

}  // namespace
