#include "port/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "port/text.h"
#include "support/scratch.h"

namespace {

using testsupport::TempFolder;

constexpr const wchar_t* kDefault = L"<default>";

std::wstring Wide(const std::string& text) {
    std::wstring wide;
    EXPECT_TRUE(port::Utf8ToWide(text, wide)) << text;
    return wide;
}

std::string Utf16Le(std::wstring_view text) {
    std::string bytes;
    EXPECT_TRUE(port::WideToUtf16Le(text, bytes));
    return bytes;
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Read {
    std::wstring text;
    DWORD count = 0;
};

// Reads through a buffer of `size` characters; the count must match what the buffer holds.
Read GetString(const std::wstring& file, const wchar_t* section, const wchar_t* key,
               const wchar_t* defaultValue = kDefault, DWORD size = MAX_PATH) {
    std::vector<wchar_t> buffer(size + 1, L'#');
    Read result;
    result.count = port::GetPrivateProfileStringW(section, key, defaultValue, buffer.data(), size,
                                                  file.c_str());
    result.text = buffer.data();
    EXPECT_EQ(result.count, result.text.size());
    return result;
}

class Profile : public testing::Test {
protected:
    std::wstring WriteFile(const std::string& bytes, const std::string& name = "test.ini") {
        return Wide(folder_.Write(name, bytes));
    }
    std::wstring PathOf(const std::string& name) const { return Wide((folder_.Path() / name)); }
    std::string Bytes(const std::string& name = "test.ini") const {
        return ReadBytes(folder_.Path() / name);
    }

    TempFolder folder_;
};

// ---- reading ----

TEST_F(Profile, LookupFollowsTheWindowsRules) {
    const std::wstring file = WriteFile(
        "; leading comment\n"
        "orphan=before any section\n"
        "[Settings]\n"
        "Name=first\n"
        "name=second of the same key\n"
        "  Spaced   =   padded value   \n"
        "Quoted=\"quoted value\"\n"
        "Single='single'\n"
        "Mixed=\"a'\n"
        "LoneQuote=\"\n"
        "EmptyQuotes=\"\"\n"
        "Inner=a \"b\" c\n"
        "Empty=\n"
        "NoEquals line\n"
        ";Commented=hidden\n"
        "   ; Indented=hidden\n"
        "Equals=a=b\n"
        "[ Other ]\n"
        "Key=other\n"
        "\t[\tTabs ] trailing text\n"
        "\tTabbed\t=\tx\t\n"
        "[settings]\n"
        "Later=in the second section of that name\n"
        "Name=third\n");
    struct Row {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* expected;
    };
    const Row rows[] = {
        // names match without regard to case; the first key of the first section wins
        {L"Settings", L"Name", L"first"},
        {L"SETTINGS", L"nAME", L"first"},
        {L"  Settings\t", L" Name ", L"first"},
        {L"Settings", L"Later", kDefault},
        // blanks trimmed, one pair of matching quotes dropped
        {L"Settings", L"Spaced", L"padded value"},
        {L"Settings", L"Quoted", L"quoted value"},
        {L"Settings", L"Single", L"single"},
        {L"Settings", L"Mixed", L"\"a'"},
        {L"Settings", L"LoneQuote", L"\""},
        {L"Settings", L"EmptyQuotes", L""},
        {L"Settings", L"Inner", L"a \"b\" c"},
        {L"Settings", L"Empty", L""},
        {L"Settings", L"Equals", L"a=b"},
        // comments, lines without '=' and keys outside any section are never found
        {L"Settings", L"NoEquals line", kDefault},
        {L"Settings", L"Commented", kDefault},
        {L"Settings", L";Commented", kDefault},
        {L"Settings", L"Indented", kDefault},
        {L"Settings", L"orphan", kDefault},
        {L"", L"orphan", kDefault},
        // headers with blanks inside and around the brackets
        {L"Other", L"Key", L"other"},
        {L"Tabs", L"Tabbed", L"x"},
        {L"other", L"Name", kDefault},
        // missing section or key
        {L"Missing", L"Name", kDefault},
        {L"Settings", L"Missing", kDefault},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "[" << row.section << "] " << row.key);
        EXPECT_EQ(GetString(file, row.section, row.key).text, row.expected);
    }
}

TEST_F(Profile, DefaultsAndBufferBounds) {
    const std::wstring file = WriteFile("[S]\nLong=0123456789\n");
    struct Row {
        const char* name;
        const wchar_t* key;
        const wchar_t* defaultValue;
        DWORD size;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {"value fits", L"Long", kDefault, 11, L"0123456789"},
        {"value cut to size-1", L"Long", kDefault, 5, L"0123"},
        {"size 1 leaves room for the NUL only", L"Long", kDefault, 1, L""},
        {"missing key gives the default", L"Missing", L"fallback", 20, L"fallback"},
        {"null default reads as empty", L"Missing", nullptr, 20, L""},
        {"trailing spaces of the default dropped", L"Missing", L" pad  ", 20, L" pad"},
        {"default cut to size-1", L"Missing", L"fallback", 4, L"fal"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(GetString(file, L"S", row.key, row.defaultValue, row.size).text, row.expected);
    }
}

TEST_F(Profile, DegenerateCallsWriteNothingOrAnEmptyBuffer) {
    const std::wstring file = WriteFile("[S]\nK=value\n");
    wchar_t buffer[8] = L"keep";
    EXPECT_EQ(port::GetPrivateProfileStringW(L"S", L"K", kDefault, buffer, 0, file.c_str()), 0u);
    EXPECT_STREQ(buffer, L"keep");
    EXPECT_EQ(port::GetPrivateProfileStringW(L"S", L"K", kDefault, nullptr, 8, file.c_str()), 0u);

    // The enumeration forms (null section or key) are not supported: empty result.
    EXPECT_EQ(port::GetPrivateProfileStringW(nullptr, L"K", kDefault, buffer, 8, file.c_str()), 0u);
    EXPECT_STREQ(buffer, L"");
    wcscpy(buffer, L"keep");
    EXPECT_EQ(port::GetPrivateProfileStringW(L"S", nullptr, kDefault, buffer, 8, file.c_str()), 0u);
    EXPECT_STREQ(buffer, L"");
}

TEST_F(Profile, UnreadableFilesGiveTheDefault) {
    std::filesystem::create_directory(folder_.Path() / "folder.ini");
    std::string oversized = "[S]\nK=value\n";
    oversized.resize(16u * 1024u * 1024u + 1, ';');
    const std::wstring cases[] = {
        PathOf("missing.ini"), PathOf("no-such-folder/test.ini"),
        PathOf("folder.ini"),  WriteFile(oversized, "oversized.ini"),
        L"/tmp/\xD800.ini",    L"",
    };
    for (const std::wstring& file : cases) {
        SCOPED_TRACE(testing::Message() << "file " << file.size() << " chars: " << file);
        EXPECT_EQ(GetString(file, L"S", L"K", L"fallback").text, L"fallback");
        EXPECT_EQ(port::GetPrivateProfileIntW(L"S", L"K", 7, file.c_str()), 7u);
    }
    wchar_t buffer[16];
    EXPECT_EQ(port::GetPrivateProfileStringW(L"S", L"K", L"fallback", buffer, 16, nullptr), 8u);
    EXPECT_STREQ(buffer, L"fallback");
}

TEST_F(Profile, ReadsEveryEncodingAndLineEnd) {
    struct Row {
        const char* name;
        std::string bytes;
        const wchar_t* expected;
    };
    const std::wstring unicode = L"Gr\u00FC\u00DFe \U0001F600";
    const Row rows[] = {
        {"LF", "[S]\nK=v\n", L"v"},
        {"CRLF", "[S]\r\nK=v\r\n", L"v"},
        {"no final line end", "[S]\r\nK=v", L"v"},
        {"UTF-8 BOM before the first header", "\xEF\xBB\xBF[S]\nK=v\n", L"v"},
        {"UTF-8 text",
         "[S]\nK=Gr\xC3\xBC\xC3\x9F"
         "e \xF0\x9F\x98\x80\n",
         unicode.c_str()},
        {"UTF-16LE with BOM", "\xFF\xFE" + Utf16Le(L"[S]\r\nK=" + unicode + L"\r\n"),
         unicode.c_str()},
        {"UTF-16LE odd last byte", "\xFF\xFE" + Utf16Le(L"[S]\nK=v\n") + "\x41", L"v"},
        // invalid bytes become U+FFFD; the lines around them still read
        {"invalid UTF-8 before", "[S]\nBad=\xFF\xC0\xAF\nK=v\n", L"v"},
        {"invalid UTF-8 inside",
         "[S]\nK=a\xFF"
         "b\xE2\x82\n",
         L"a\uFFFDb\uFFFD\uFFFD"},
        {"invalid UTF-8 in a header", "[\xFE]\nK=x\n[S]\nK=v\n", L"v"},
        {"unpaired surrogate in UTF-16LE",
         "\xFF\xFE" + Utf16Le(L"[S]\nK=a") + std::string("\x00\xD8", 2) + Utf16Le(L"b\n"),
         L"a\uFFFDb"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring file = WriteFile(row.bytes);
        EXPECT_EQ(GetString(file, L"S", L"K").text, row.expected);
    }
}

TEST_F(Profile, LongLinesAreReadAndCutToTheBuffer) {
    const std::string megabyte(1u << 20, 'x');
    const std::wstring file =
        WriteFile("[S]\nFiller=" + megabyte + "\nK=" + megabyte + "\n" + megabyte + "\nAfter=1\n");
    const Read cut = GetString(file, L"S", L"K");
    EXPECT_EQ(cut.text, std::wstring(MAX_PATH - 1, L'x'));
    const Read whole = GetString(file, L"S", L"K", kDefault, (1u << 20) + 1);
    EXPECT_EQ(whole.count, 1u << 20);
    EXPECT_EQ(GetString(file, L"S", L"After").text, L"1");
}

TEST_F(Profile, IntegersFollowTheWindowsParsing) {
    struct Row {
        const char* line;  // nullptr: the key is missing
        int defaultValue;
        UINT expected;
    };
    const Row rows[] = {
        {"K= 42", 9, 42},
        {"K=42", 9, 42},
        {"K=-5", 9, static_cast<UINT>(-5)},
        {"K=+7", 9, 7},
        {"K=-1", 9, 0xFFFFFFFFu},
        {"K=0x10", 9, 16},
        {"K=0X1f", 9, 31},
        {"K=-0x10", 9, static_cast<UINT>(-16)},
        {"K=0x", 9, 0},
        {"K=12abc", 9, 12},
        {"K=abc", 9, 0},
        {"K=\"8\"", 9, 8},
        {"K=4294967295", 9, 0xFFFFFFFFu},
        // the 32-bit accumulator wraps, as the Windows one does
        {"K=4294967296", 9, 0},
        {"K=4294967297", 9, 1},
        // an empty value and a missing key give the default
        {"K=", 9, 9},
        {"K=\"\"", 9, 9},
        {nullptr, 16, 16},
        {nullptr, -1, 0xFFFFFFFFu},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line != nullptr ? row.line : "missing key");
        const std::wstring file =
            WriteFile(std::string("[S]\n") + (row.line != nullptr ? row.line : "Other=1") + "\n");
        EXPECT_EQ(port::GetPrivateProfileIntW(L"S", L"K", row.defaultValue, file.c_str()),
                  row.expected);
    }
    const std::wstring file = WriteFile("[S]\nK=5\n");
    EXPECT_EQ(port::GetPrivateProfileIntW(nullptr, L"K", 3, file.c_str()), 3u);
    EXPECT_EQ(port::GetPrivateProfileIntW(L"S", nullptr, 3, file.c_str()), 3u);
}

// The settings file as the library reads it, with each key's capacity and default.
TEST_F(Profile, ReadsTheSettingsFile) {
    const std::wstring file = WriteFile(
        "[DownloadServer]\r\n"
        "Protocol=https-extended\r\n"
        "ServerType=1\r\n"
        "ServerName=updates.example.com\r\n"
        "Port=80800\r\n"
        "[ProxySettings]\r\n"
        "UseProxy=2\r\n"
        "ProxyServer=proxy.example.com\r\n"
        "ProxyRequireAuth=1\r\n"
        "[downloadconfig]\r\n"
        "RetryCount=5\r\n"
        "TimeOutForEachTry=0\r\n"
        "[Veltrane]\r\n"
        "Date=20240131\r\n"
        "Time=235959\r\n"
        "[EMAIL]\r\n"
        "SMTPServer=\r\n"
        "EmailID=a@example.com;b@example.com\r\n");
    struct TextRow {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* defaultValue;
        DWORD capacity;
        const wchar_t* expected;
    };
    const TextRow texts[] = {
        {L"DownloadServer", L"Protocol", L"", 10, L"https-ext"},
        {L"DownloadServer", L"ServerName", L"", 130, L"updates.example.com"},
        {L"DownloadServer", L"Port", L"", 5, L"8080"},
        {L"ProxySettings", L"ProxyServer", L"", 128, L"proxy.example.com"},
        {L"ProxySettings", L"ProxyPort", L"80", 5, L"80"},
        {L"EMAIL", L"SMTPServer", L"MX", 130, L""},
        {L"EMAIL", L"EmailID", L"", 4097, L"a@example.com;b@example.com"},
    };
    for (const TextRow& row : texts) {
        SCOPED_TRACE(testing::Message() << row.section << "/" << row.key);
        EXPECT_EQ(GetString(file, row.section, row.key, row.defaultValue, row.capacity).text,
                  row.expected);
    }
    struct IntRow {
        const wchar_t* section;
        const wchar_t* key;
        int defaultValue;
        int expected;
    };
    const IntRow integers[] = {
        {L"DownloadServer", L"ServerType", 0, 1},
        {L"ProxySettings", L"UseProxy", 0, 2},
        {L"ProxySettings", L"ProxyRequireAuth", 0, 1},
        {L"DOWNLOADCONFIG", L"PacketCount", 16, 16},
        {L"DOWNLOADCONFIG", L"RetryCount", 3, 5},
        {L"DOWNLOADCONFIG", L"TimeOutForEachTry", 60, 0},
        {L"Veltrane", L"Date", 0, 20240131},
        {L"Veltrane", L"Time", 0, 235959},
        {L"EMAIL", L"SMTPPort", 25, 25},
        {L"EMAIL", L"SMTPAuthRequired", 0, 0},
        {L"SYNC", L"Import", 0, 0},
    };
    for (const IntRow& row : integers) {
        SCOPED_TRACE(testing::Message() << row.section << "/" << row.key);
        EXPECT_EQ(static_cast<int>(port::GetPrivateProfileIntW(row.section, row.key,
                                                               row.defaultValue, file.c_str())),
                  row.expected);
    }
}

// ---- writing ----

struct WriteRow {
    const char* name;
    std::string before;
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* value;
    std::string after;
};

TEST_F(Profile, WritesChangeOnlyWhatTheyMust) {
    const std::string settings =
        "; ORV settings\n"
        "\n"
        "[DownloadServer]\n"
        "  Protocol = HTTP   \n"
        "protocol=shadowed\n"
        "Port=80\n"
        ";Port=8080\n"
        "\n"
        "[ProxySettings]\n"
        "UseProxy=0\n"
        "[downloadserver]\n"
        "Protocol=later section\n";
    const WriteRow rows[] = {
        {"replace keeps the spelling and spacing; later duplicates untouched", settings,
         L"downloadserver", L"PROTOCOL", L"FTP",
         "; ORV settings\n\n[DownloadServer]\n  Protocol = FTP\nprotocol=shadowed\nPort=80\n"
         ";Port=8080\n\n[ProxySettings]\nUseProxy=0\n[downloadserver]\nProtocol=later section\n"},
        {"new key after the last non-blank line of the first section", settings, L"DownloadServer",
         L" ServerName ", L"host",
         "; ORV settings\n\n[DownloadServer]\n  Protocol = HTTP   \nprotocol=shadowed\nPort=80\n"
         ";Port=8080\nServerName=host\n\n[ProxySettings]\nUseProxy=0\n[downloadserver]\n"
         "Protocol=later section\n"},
        {"new key in a section that has only its header", settings, L"ProxySettings", L"Port",
         L"8080",
         "; ORV settings\n\n[DownloadServer]\n  Protocol = HTTP   \nprotocol=shadowed\nPort=80\n"
         ";Port=8080\n\n[ProxySettings]\nUseProxy=0\nPort=8080\n[downloadserver]\n"
         "Protocol=later section\n"},
        {"new section at the end", settings, L" EMAIL ", L"SMTPPort", L"25",
         settings + "[EMAIL]\nSMTPPort=25\n"},
        {"delete every line of the key in the first section", settings, L"DownloadServer",
         L"Protocol", nullptr,
         "; ORV settings\n\n[DownloadServer]\nPort=80\n;Port=8080\n\n[ProxySettings]\n"
         "UseProxy=0\n[downloadserver]\nProtocol=later section\n"},
        {"delete every section of the name", settings, L"DOWNLOADSERVER", nullptr, nullptr,
         "; ORV settings\n\n[ProxySettings]\nUseProxy=0\n"},
        {"delete a missing key", settings, L"ProxySettings", L"Missing", nullptr, settings},
        {"delete a missing section", settings, L"Missing", nullptr, nullptr, settings},
        {"same value again", settings, L"ProxySettings", L"UseProxy", L"0", settings},
        {"header only", "[S]", L"S", L"K", L"v", "[S]\nK=v\n"},
        {"empty value", "[S]\nK=v\n", L"S", L"K", L"", "[S]\nK=\n"},
        {"value of blanks only before", "[S]\nK=   \n", L"S", L"K", L"v", "[S]\nK=   v\n"},
        {"no final line end: key", "[S]\nK=v", L"S", L"N", L"w", "[S]\nK=v\nN=w\n"},
        {"no final line end: section", "[S]\nK=v", L"T", L"N", L"w", "[S]\nK=v\n[T]\nN=w\n"},
        {"no final line end: replace", "[S]\nK=v", L"S", L"K", L"w", "[S]\nK=w"},
        {"keys before any section are left alone", "K=v\n", L"S", L"K", L"w", "K=v\n[S]\nK=w\n"},
        {"empty file", "", L"S", L"K", L"v", "[S]\nK=v\n"},
        {"CRLF stays CRLF", "[S]\r\nK=v\r\n\r\n[T]\r\nX=1", L"S", L"N", L"w",
         "[S]\r\nK=v\r\nN=w\r\n\r\n[T]\r\nX=1"},
        {"CRLF new section", "[S]\r\nK=v", L"T", L"N", L"w", "[S]\r\nK=v\r\n[T]\r\nN=w\r\n"},
        {"UTF-8 BOM kept", "\xEF\xBB\xBF[S]\nK=v\n", L"S", L"K", L"\u00E9",
         "\xEF\xBB\xBF[S]\nK=\xC3\xA9\n"},
        {"invalid bytes elsewhere kept", "[S]\nBad=\xFF\xFE\nK=v\n", L"S", L"K", L"w",
         "[S]\nBad=\xFF\xFE\nK=w\n"},
    };
    for (const WriteRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring file = WriteFile(row.before);
        EXPECT_EQ(port::WritePrivateProfileStringW(row.section, row.key, row.value, file.c_str()),
                  TRUE);
        EXPECT_EQ(Bytes(), row.after);
    }
}

TEST_F(Profile, Utf16FilesStayUtf16) {
    const std::string bom = "\xFF\xFE";
    const std::wstring file = WriteFile(bom + Utf16Le(L"[S]\r\nK=v\r\n"));
    ASSERT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"\U0001F600", file.c_str()), TRUE);
    ASSERT_EQ(port::WritePrivateProfileStringW(L"S", L"N", L"\u00E9", file.c_str()), TRUE);
    ASSERT_EQ(port::WritePrivateProfileStringW(L"T", L"X", L"1", file.c_str()), TRUE);
    EXPECT_EQ(Bytes(), bom + Utf16Le(L"[S]\r\nK=\U0001F600\r\nN=\u00E9\r\n[T]\r\nX=1\r\n"));
    EXPECT_EQ(GetString(file, L"S", L"K").text, L"\U0001F600");
}

TEST_F(Profile, WritesCreateTheFileAndRoundTrip) {
    const std::wstring file = PathOf("ORVSettings.INI");
    // Deleting from a missing file succeeds and creates nothing.
    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", L"K", nullptr, file.c_str()), TRUE);
    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", nullptr, nullptr, file.c_str()), TRUE);
    EXPECT_FALSE(std::filesystem::exists(folder_.Path() / "ORVSettings.INI"));

    ASSERT_EQ(port::WritePrivateProfileStringW(L"Veltrane", L"Date", L"20240131", file.c_str()),
              TRUE);
    ASSERT_EQ(port::WritePrivateProfileStringW(L"Veltrane", L"Time", L"120000", file.c_str()),
              TRUE);
    ASSERT_EQ(port::WritePrivateProfileStringW(L"S", L"Text", L"Gr\u00FC\u00DFe", file.c_str()),
              TRUE);
    EXPECT_EQ(Bytes("ORVSettings.INI"),
              "[Veltrane]\nDate=20240131\nTime=120000\n[S]\nText=Gr\xC3\xBC\xC3\x9F"
              "e\n");
    EXPECT_EQ(port::GetPrivateProfileIntW(L"Veltrane", L"Date", 0, file.c_str()), 20240131u);
    EXPECT_EQ(GetString(file, L"S", L"Text").text, L"Gr\u00FC\u00DFe");
    // No temporary file is left behind.
    EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{"ORVSettings.INI"});
}

TEST_F(Profile, RewriteKeepsPermissionsAndFollowsLinks) {
    const std::wstring file = WriteFile("[S]\nK=v\n", "real.ini");
    ASSERT_EQ(::chmod((folder_.Path() / "real.ini").c_str(), 0600), 0);
    std::filesystem::create_symlink("real.ini", folder_.Path() / "link.ini");

    ASSERT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"w", PathOf("link.ini").c_str()), TRUE);
    EXPECT_TRUE(std::filesystem::is_symlink(folder_.Path() / "link.ini"));
    EXPECT_EQ(Bytes("real.ini"), "[S]\nK=w\n");
    struct stat info {};
    ASSERT_EQ(::stat((folder_.Path() / "real.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(Profile, RefusedWritesLeaveTheFileAlone) {
    const std::string original = "[S]\nK=v\n";
    const std::wstring file = WriteFile(original);
    struct Row {
        const char* name;
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* value;
    };
    // A line break would let a value add lines of its own; '=', ';' or '[' in a key would make
    // the line read back as another key, a comment or a header.
    const Row rows[] = {
        {"line feed in the value", L"S", L"K", L"v\n[Other]\nK=injected"},
        {"carriage return in the value", L"S", L"K", L"v\rw"},
        {"line break in the key", L"S", L"K\nX", L"v"},
        {"line break in the section", L"S]\n[T", L"K", L"v"},
        {"line break in a deleted section", L"S\n", nullptr, nullptr},
        {"'=' in the key", L"S", L"K=v", L"w"},
        {"key starting with ';'", L"S", L" ;K", L"w"},
        {"key starting with '['", L"S", L"[T]", L"w"},
        {"null section", nullptr, L"K", L"w"},
        {"value that is no Unicode text", L"S", L"K", L"\xD800"},
        {"key that is no Unicode text", L"S", L"\xDC00", L"w"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(port::WritePrivateProfileStringW(row.section, row.key, row.value, file.c_str()),
                  FALSE);
        EXPECT_EQ(Bytes(), original);
    }
    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"w", nullptr), FALSE);
    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"w", L""), FALSE);
    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"w", L"/tmp/\xD800.ini"), FALSE);
    EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{"test.ini"});
}

TEST_F(Profile, WritesThatCannotReadTheOldFileFail) {
    // Missing folder: nothing is created.
    EXPECT_EQ(
        port::WritePrivateProfileStringW(L"S", L"K", L"v", PathOf("missing/test.ini").c_str()),
        FALSE);
    EXPECT_FALSE(std::filesystem::exists(folder_.Path() / "missing"));
    // Deleting from a file in a missing folder fails as well.
    EXPECT_EQ(
        port::WritePrivateProfileStringW(L"S", L"K", nullptr, PathOf("missing/test.ini").c_str()),
        FALSE);

    // A file too large to read, a folder and a damaged UTF-16 file are never replaced.
    std::string oversized = "[S]\nK=v\n";
    oversized.resize(16u * 1024u * 1024u + 1, ';');
    const std::string oddUtf16 = "\xFF\xFE" + Utf16Le(L"[S]\nK=v\n") + "\x41";
    WriteFile(oversized, "oversized.ini");
    WriteFile(oddUtf16, "odd.ini");
    std::filesystem::create_directory(folder_.Path() / "folder.ini");

    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"w", PathOf("oversized.ini").c_str()),
              FALSE);
    EXPECT_EQ(Bytes("oversized.ini"), oversized);
    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"w", PathOf("odd.ini").c_str()), FALSE);
    EXPECT_EQ(Bytes("odd.ini"), oddUtf16);
    EXPECT_EQ(port::WritePrivateProfileStringW(L"S", L"K", L"w", PathOf("folder.ini").c_str()),
              FALSE);
    EXPECT_TRUE(std::filesystem::is_directory(folder_.Path() / "folder.ini"));
    EXPECT_EQ(FolderEntries(folder_.Path()),
              (std::vector<std::string>{"folder.ini", "odd.ini", "oversized.ini"}));
}

TEST_F(Profile, LongLinesAreKeptAndWritten) {
    const std::string megabyte(1u << 20, 'x');
    const std::string before = "[S]\nFiller=" + megabyte + "\nK=v\n";
    const std::wstring file = WriteFile(before);
    const std::wstring longValue((1u << 20), L'y');
    ASSERT_EQ(port::WritePrivateProfileStringW(L"S", L"K", longValue.c_str(), file.c_str()), TRUE);
    EXPECT_EQ(Bytes(), "[S]\nFiller=" + megabyte + "\nK=" + std::string(1u << 20, 'y') + "\n");
}

// ---- several threads ----

TEST_F(Profile, ConcurrentWritersLoseNoKey) {
    const std::wstring file = WriteFile("[Shared]\nStable=1\n");
    constexpr int kThreads = 6;
    constexpr int kKeysPerThread = 15;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&file, thread] {
            for (int index = 0; index < kKeysPerThread; ++index) {
                const std::wstring key =
                    L"K" + std::to_wstring(thread) + L"_" + std::to_wstring(index);
                const std::wstring section =
                    index % 2 == 0 ? L"Shared" : L"Own" + std::to_wstring(thread);
                EXPECT_EQ(port::WritePrivateProfileStringW(section.c_str(), key.c_str(),
                                                           key.c_str(), file.c_str()),
                          TRUE);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int thread = 0; thread < kThreads; ++thread) {
        for (int index = 0; index < kKeysPerThread; ++index) {
            const std::wstring key = L"K" + std::to_wstring(thread) + L"_" + std::to_wstring(index);
            const std::wstring section =
                index % 2 == 0 ? L"Shared" : L"Own" + std::to_wstring(thread);
            EXPECT_EQ(GetString(file, section.c_str(), key.c_str()).text, key);
        }
    }
    EXPECT_EQ(FolderEntries(folder_.Path()), std::vector<std::string>{"test.ini"});
}

// Readers open the file while writers replace it: they see the old file or the new one, never
// a part, so a key that no writer touches reads the same throughout.
TEST_F(Profile, ConcurrentReadersNeverSeeAPartialFile) {
    const std::wstring file = WriteFile("[Shared]\nStable=kept\n");
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 2; ++thread) {
        threads.emplace_back([&file, thread] {
            for (int index = 0; index < 40; ++index) {
                const std::wstring value(static_cast<std::size_t>(index) * 100, L'v');
                const std::wstring key = L"Writer" + std::to_wstring(thread);
                EXPECT_EQ(port::WritePrivateProfileStringW(L"Shared", key.c_str(), value.c_str(),
                                                           file.c_str()),
                          TRUE);
            }
        });
    }
    for (int thread = 0; thread < 2; ++thread) {
        threads.emplace_back([&file] {
            for (int index = 0; index < 200; ++index) {
                EXPECT_EQ(GetString(file, L"Shared", L"Stable").text, L"kept");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace
