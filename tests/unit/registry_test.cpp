#include "port/registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "port/text.h"
#include "support/scratch.h"

namespace {

constexpr const char* kVariable = "ORCHEL_REGISTRY";
const HKEY kCurrentUser = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));

struct KeyCloser {
    void operator()(HKEY key) const { EXPECT_EQ(port::RegCloseKey(key), ERROR_SUCCESS); }
};
using UniqueKey = std::unique_ptr<HKEY__, KeyCloser>;

using Expected = std::variant<std::wstring, DWORD>;

std::vector<BYTE> BytesOf(const Expected& value) {
    if (const auto* text = std::get_if<std::wstring>(&value)) {
        const auto* first = reinterpret_cast<const BYTE*>(text->c_str());
        return {first, first + (text->size() + 1) * sizeof(wchar_t)};
    }
    const auto* first = reinterpret_cast<const BYTE*>(&std::get<DWORD>(value));
    return {first, first + sizeof(DWORD)};
}

struct Queried {
    LONG status = -1;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

// Reads a value the way callers do: the size first, then the data into a buffer that fits.
Queried Query(HKEY key, const wchar_t* name) {
    Queried result;
    DWORD size = 0;
    result.status = port::RegQueryValueExW(key, name, nullptr, &result.type, nullptr, &size);
    if (result.status != ERROR_SUCCESS) {
        return result;
    }
    result.bytes.resize(size);
    DWORD written = size;
    result.status =
        port::RegQueryValueExW(key, name, nullptr, &result.type, result.bytes.data(), &written);
    EXPECT_EQ(written, size);
    return result;
}

void ExpectValue(HKEY key, const wchar_t* name, const Expected& expected) {
    const Queried got = Query(key, name);
    ASSERT_EQ(got.status, ERROR_SUCCESS);
    EXPECT_EQ(got.type, std::holds_alternative<std::wstring>(expected) ? REG_SZ : REG_DWORD);
    EXPECT_EQ(got.bytes, BytesOf(expected));
}

std::string ToUtf8(std::wstring_view text) {
    std::string utf8;
    EXPECT_TRUE(port::WideToUtf8(text, utf8));
    return utf8;
}

// Writes code units as they come, so a test can plant an unpaired surrogate.
std::string ToUtf16Le(std::wstring_view text) {
    std::string bytes;
    auto unit = [&bytes](std::uint32_t value) {
        bytes.push_back(static_cast<char>(value & 0xFF));
        bytes.push_back(static_cast<char>(value >> 8));
    };
    for (wchar_t character : text) {
        const auto value = static_cast<std::uint32_t>(character);
        if (value >= 0x10000) {
            unit(0xD800 + ((value - 0x10000) >> 10));
            unit(0xDC00 + ((value - 0x10000) & 0x3FF));
        } else {
            unit(value);
        }
    }
    return bytes;
}

std::wstring WithCrlf(std::wstring_view text) {
    std::wstring out;
    for (wchar_t character : text) {
        if (character == L'\n') {
            out.push_back(L'\r');
        }
        out.push_back(character);
    }
    return out;
}

const std::wstring kHeader = L"Windows Registry Editor Version 5.00\n\n";
const std::wstring kOrchelSection = L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelm\\Orchel]\n";

// Each test gets its own folder and registry file, and ORCHEL_REGISTRY names that file.
class RegistryTest : public ::testing::Test {
protected:
    void WriteBytes(const std::string& bytes) { folder_.Write("registry.reg", bytes); }
    void WriteUtf8(std::wstring_view text) { WriteBytes(ToUtf8(text)); }

    static LONG Open(const wchar_t* subKey, UniqueKey& key, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY raw = nullptr;
        const LONG status = port::RegOpenKeyExW(root, subKey, 0, KEY_READ, &raw);
        key.reset(raw);
        return status;
    }

    static UniqueKey OpenOrchel() {
        UniqueKey key;
        EXPECT_EQ(Open(L"SOFTWARE\\Kelm\\Orchel", key), ERROR_SUCCESS);
        return key;
    }

    testsupport::TempFolder folder_;
    testsupport::ScopedEnv registry_{kVariable, (folder_.Path() / "registry.reg").string()};
};

// ---- one good file, served alike in every encoding the format allows ----

const std::wstring kGoodFile = kHeader + L"; Orchel settings\n" + kOrchelSection +
                               L"@=\"default text\"\n"
                               L"\"PatchRoot\"=\"D:\\\\P\u00e4tches\\\\\"\n"
                               L"\"Quoted\"=\"say \\\"hi\\\"\"\n"
                               L"\"Literal\"=\"C:\\temp\\new\"\n"
                               L"\"Level\"=dword:0000040a\n"
                               L"\"Upper\"=dword:FFFFFFFF\n"
                               L"\"Short\"=dword:7\n"
                               L"\"Empty\"=\"\"\n"
                               L"\"Spaced\" = \"x = y\"\n"
                               L"\"Tabbed\"\t=\tdword:1\n"
                               L"\"Smile\"=\"\U0001F642\"\n"
                               L"\n"
                               L"[HKLM\\SOFTWARE\\Kelm\\Abbreviated]\n"
                               L"\"Via\"=\"HKLM\"\n";

struct Encoding {
    const char* label;
    std::string (*encode)(const std::wstring&);
};

void PrintTo(const Encoding& encoding, std::ostream* out) {
    *out << encoding.label;
}

const Encoding kEncodings[] = {
    {"utf8", [](const std::wstring& text) { return ToUtf8(text); }},
    {"utf8_bom", [](const std::wstring& text) { return "\xEF\xBB\xBF" + ToUtf8(text); }},
    {"utf8_crlf", [](const std::wstring& text) { return ToUtf8(WithCrlf(text)); }},
    {"utf16le_bom", [](const std::wstring& text) { return "\xFF\xFE" + ToUtf16Le(text); }},
    {"utf16le_bom_crlf",
     [](const std::wstring& text) { return "\xFF\xFE" + ToUtf16Le(WithCrlf(text)); }},
};

class RegistryEncodingTest : public RegistryTest, public ::testing::WithParamInterface<Encoding> {};

TEST_P(RegistryEncodingTest, ServesStringsDwordsAndTheDefaultValue) {
    WriteBytes(GetParam().encode(kGoodFile));
    const UniqueKey key = OpenOrchel();
    ASSERT_TRUE(key);

    const struct {
        const wchar_t* name;
        Expected value;
    } rows[] = {
        {nullptr, L"default text"},
        {L"", L"default text"},
        {L"PatchRoot", L"D:\\P\u00e4tches\\"},  // \\ unescaped, non-ASCII kept
        {L"Quoted", L"say \"hi\""},
        {L"Literal", L"C:\\temp\\new"},  // a backslash before anything else stays
        {L"Level", DWORD{0x40A}},
        {L"Upper", DWORD{0xFFFFFFFF}},
        {L"Short", DWORD{7}},
        {L"Empty", L""},
        {L"Spaced", L"x = y"},
        {L"Tabbed", DWORD{1}},
        {L"Smile", L"\U0001F642"},  // a surrogate pair in UTF-16
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name ? ToUtf8(row.name) : "(null name)");
        ExpectValue(key.get(), row.name, row.value);
    }

    UniqueKey abbreviated;
    ASSERT_EQ(Open(L"SOFTWARE\\Kelm\\Abbreviated", abbreviated), ERROR_SUCCESS);
    ExpectValue(abbreviated.get(), L"Via", L"HKLM");
}

INSTANTIATE_TEST_SUITE_P(Encodings, RegistryEncodingTest, ::testing::ValuesIn(kEncodings),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- which keys exist ----

TEST_F(RegistryTest, KeyExistsWhenNamedOrWhenADescendantIsNamed) {
    WriteUtf8(kHeader + L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelm\\Orchel\\Deep\\Leaf]\n" +
              L"[HKEY_LOCAL_MACHINE\\Doubled\\\\Name]\n");
    const struct {
        const wchar_t* path;
        LONG status;
    } rows[] = {
        {L"SOFTWARE", ERROR_SUCCESS},
        {L"SOFTWARE\\Kelm", ERROR_SUCCESS},
        {L"SOFTWARE\\Kelm\\Orchel\\Deep\\Leaf", ERROR_SUCCESS},
        {L"software\\KELM\\orchel", ERROR_SUCCESS},
        {L"\\SOFTWARE\\Kelm\\", ERROR_SUCCESS},  // outer separators ignored
        {L"", ERROR_SUCCESS},                    // HKLM itself
        {nullptr, ERROR_SUCCESS},
        // a name that is only a prefix of a segment is another key
        {L"SOFT", ERROR_FILE_NOT_FOUND},
        {L"SOFTWARE\\Kel", ERROR_FILE_NOT_FOUND},
        {L"SOFTWARE\\Kelm\\Orchel\\Deep\\Leaf\\More", ERROR_FILE_NOT_FOUND},
        {L"SOFTWARE\\Kelm\\Other", ERROR_FILE_NOT_FOUND},
        // a doubled separator names no key, in the file or in the call
        {L"SOFTWARE\\\\Kelm", ERROR_FILE_NOT_FOUND},
        {L"Doubled", ERROR_FILE_NOT_FOUND},
        {L"Doubled\\\\Name", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path ? ToUtf8(row.path) : "(null path)");
        UniqueKey key;
        EXPECT_EQ(Open(row.path, key), row.status);
        EXPECT_EQ(key != nullptr, row.status == ERROR_SUCCESS);
    }
}

TEST_F(RegistryTest, OpensRelativeToAnOpenKeyAndParentsHoldNoValues) {
    WriteUtf8(kHeader + L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelm\\Orchel\\Deep]\n\"Level\"=dword:5\n");
    UniqueKey kelm;
    ASSERT_EQ(Open(L"SOFTWARE\\Kelm", kelm), ERROR_SUCCESS);
    EXPECT_EQ(Query(kelm.get(), L"Level").status, ERROR_FILE_NOT_FOUND);

    UniqueKey deep;
    ASSERT_EQ(Open(L"orchel\\DEEP", deep, kelm.get()), ERROR_SUCCESS);
    ExpectValue(deep.get(), L"level", DWORD{5});

    UniqueKey same;
    ASSERT_EQ(Open(L"", same, deep.get()), ERROR_SUCCESS);
    ExpectValue(same.get(), L"Level", DWORD{5});

    UniqueKey missing;
    EXPECT_EQ(Open(L"Deep", missing, kelm.get()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ValuesOfTheRootSectionAreServedThroughHklm) {
    WriteUtf8(kHeader + L"[HKEY_LOCAL_MACHINE]\n\"Top\"=dword:3\n");
    ExpectValue(HKEY_LOCAL_MACHINE, L"Top", DWORD{3});
}

// ---- sections and lines ----

TEST_F(RegistryTest, RepeatedSectionsMergeAndTheLaterValueWins) {
    WriteUtf8(kHeader + kOrchelSection +
              L"\"Level\"=dword:1\n\"First\"=\"a\"\n\"Kind\"=dword:1\n"
              L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Level\"=dword:9\n"
              L"[hkey_local_machine\\software\\kelm\\ORCHEL]\n"
              L"\"LEVEL\"=dword:2\n\"Second\"=\"b\"\n\"Kind\"=\"now text\"\n");
    const UniqueKey key = OpenOrchel();
    ExpectValue(key.get(), L"Level", DWORD{2});
    ExpectValue(key.get(), L"First", L"a");
    ExpectValue(key.get(), L"Second", L"b");
    ExpectValue(key.get(), L"Kind", L"now text");
}

TEST_F(RegistryTest, MalformedValueLineIsSkippedAndTheRestServed) {
    const std::wstring nulInside(L"\"Bad\"=\"a\0b\"", 11);
    const std::wstring rows[] = {
        L"\"Bad\"=hex:01,02",
        L"\"Bad\"=hex(2):41,00,00,00",
        L"\"Bad\"=-",
        L"Bad=\"x\"",
        L"\"Bad\"=\"unterminated",
        L"\"Bad\"=\"ends in escaped quote\\\"",
        L"\"Bad\"=\"x\" trailing",
        L"\"Bad\"=\"x\" ; comment",
        L"\"Bad\"",
        L"\"Bad\"=",
        L"\"Bad\" \"x\"",
        L"\"Bad=\"x\"",
        L"\"Bad\"=str:\"x\"",
        L"\"Bad\"=dword:",
        L"\"Bad\"=dword:123456789",  // nine digits
        L"\"Bad\"=dword:12g4",
        L"\"Bad\"=dword:-1",
        L"\"Bad\"=dword: 1",
        L"\"Bad\"=dword:0x1",
        nulInside,
        L"@",
        L"garbage ] [ \" = \"",
    };
    for (const std::wstring& bad : rows) {
        SCOPED_TRACE(ToUtf8(bad));
        WriteUtf8(kHeader + kOrchelSection + L"\"Before\"=\"1\"\n" + bad +
                  L"\n\"After\"=dword:2\n");
        const UniqueKey key = OpenOrchel();
        ExpectValue(key.get(), L"Before", L"1");
        ExpectValue(key.get(), L"After", DWORD{2});
        EXPECT_EQ(Query(key.get(), L"Bad").status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Query(key.get(), nullptr).status, ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(RegistryTest, TruncatedLastLineIsSkipped) {
    WriteUtf8(kHeader + kOrchelSection + L"\"Before\"=\"1\"\n\"Bad\"=\"cut off");
    const UniqueKey key = OpenOrchel();
    ExpectValue(key.get(), L"Before", L"1");
    EXPECT_EQ(Query(key.get(), L"Bad").status, ERROR_FILE_NOT_FOUND);
}

// Values after a section that is not served must not land in the section before it.
TEST_F(RegistryTest, ValuesUnderAnUnservedSectionAreIgnored) {
    const wchar_t* rows[] = {
        L"[HKEY_CURRENT_USER\\SOFTWARE\\Kelm\\Elsewhere]",
        L"[HKCU\\SOFTWARE\\Kelm\\Elsewhere]",
        L"[SOFTWARE\\Kelm\\Elsewhere]",
        L"[HKEY_LOCAL_MACHINEX\\SOFTWARE\\Kelm\\Elsewhere]",
        L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelm\\Elsewhere]",
        L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelm\\Orchel]",
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelm\\Elsewhere",
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Kelm\\Elsewhere]",
        L"[]",
        L"[",
    };
    for (const wchar_t* section : rows) {
        SCOPED_TRACE(ToUtf8(section));
        WriteUtf8(kHeader + kOrchelSection + L"\"Level\"=dword:1\n" + section +
                  L"\n\"Level\"=dword:2\n\"Stray\"=\"x\"\n");
        const UniqueKey key = OpenOrchel();
        ExpectValue(key.get(), L"Level", DWORD{1});
        EXPECT_EQ(Query(key.get(), L"Stray").status, ERROR_FILE_NOT_FOUND);
        UniqueKey elsewhere;
        EXPECT_EQ(Open(L"SOFTWARE\\Kelm\\Elsewhere", elsewhere), ERROR_FILE_NOT_FOUND);
    }
}

// ---- files that read as holding no keys ----

TEST_F(RegistryTest, MalformedFileReadsAsHoldingNoKeys) {
    const std::wstring body = kOrchelSection + L"\"Level\"=dword:1\n";
    std::wstring unpaired = kHeader + body + L"\"Bad\"=\"";
    unpaired.push_back(static_cast<wchar_t>(0xD800));
    unpaired += L"x\"\n";
    std::wstring loneLow = kHeader + body;
    loneLow.push_back(static_cast<wchar_t>(0xDC00));
    std::string garbage;
    for (int byte = 0; byte < 256; ++byte) {
        garbage.push_back(static_cast<char>(byte));
    }
    std::string oversized = ToUtf8(kHeader + body);
    while (oversized.size() <= 16u * 1024u * 1024u) {
        oversized += std::string(1023, ';') + "\n";
    }

    // The well-formed file, for contrast: each row below differs from it in one fault.
    WriteUtf8(kHeader + body);
    ASSERT_TRUE(OpenOrchel());

    const struct {
        const char* label;
        std::string bytes;
    } rows[] = {
        {"empty file", ""},
        {"blank lines only", "\n\r\n  \n"},
        {"no header", ToUtf8(body)},
        {"comment before header", ToUtf8(L"; exported\n" + kHeader + body)},
        {"other header", ToUtf8(L"Windows Registry Editor Version 4.00\n" + body)},
        {"header in other case", ToUtf8(L"regedit4\n" + body)},
        {"invalid UTF-8", ToUtf8(kHeader + body) + "\"Bad\"=\"\xC3\x28\"\n"},
        {"overlong UTF-8", ToUtf8(kHeader + body) + "\"Bad\"=\"\xC0\xAF\"\n"},
        {"UTF-8 encoded surrogate", ToUtf8(kHeader + body) + "\"Bad\"=\"\xED\xA0\x80\"\n"},
        {"UTF-16 unpaired high surrogate", "\xFF\xFE" + ToUtf16Le(unpaired)},
        {"UTF-16 lone low surrogate at end", "\xFF\xFE" + ToUtf16Le(loneLow)},
        {"UTF-16 odd byte count", "\xFF\xFE" + ToUtf16Le(kHeader + body) + "A"},
        {"UTF-16 without BOM", ToUtf16Le(kHeader + body)},
        {"UTF-16 big-endian",
         "\xFE\xFF" + ToUtf16Le(kHeader + body).substr(1) + std::string(1, '\0')},
        {"binary garbage", garbage},
        {"larger than the cap", oversized},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        WriteBytes(row.bytes);
        UniqueKey key;
        EXPECT_EQ(Open(L"SOFTWARE\\Kelm\\Orchel", key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Open(L"SOFTWARE", key), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(RegistryTest, UnreadableFileReadsAsHoldingNoKeys) {
    // no file at the named path
    UniqueKey key;
    EXPECT_EQ(Open(L"SOFTWARE", key), ERROR_FILE_NOT_FOUND);
    // a folder where the file should be
    const testsupport::ScopedEnv folderAsFile(kVariable, folder_.Path().string());
    EXPECT_EQ(Open(L"SOFTWARE", key), ERROR_FILE_NOT_FOUND);
}

// Mutated files must only ever give ordinary results (the sanitizer build checks the rest).
TEST_F(RegistryTest, MutatedFilesNeverBreakTheReader) {
    const std::string sources[] = {ToUtf8(kGoodFile), "\xFF\xFE" + ToUtf16Le(kGoodFile)};
    const wchar_t* names[] = {nullptr, L"PatchRoot", L"Quoted", L"Level", L"Smile"};
    std::mt19937 random(20240611u);
    for (const std::string& source : sources) {
        for (int round = 0; round < 150; ++round) {
            std::string bytes = source;
            std::uniform_int_distribution<std::size_t> at(0, bytes.size() - 1);
            for (int change = 0; change < 3; ++change) {
                bytes[at(random)] = static_cast<char>(random());
            }
            if (round % 5 == 0) {
                bytes.resize(at(random));
            }
            WriteBytes(bytes);
            UniqueKey key;
            const LONG opened = Open(L"SOFTWARE\\Kelm\\Orchel", key);
            ASSERT_TRUE(opened == ERROR_SUCCESS || opened == ERROR_FILE_NOT_FOUND) << opened;
            for (const wchar_t* name : names) {
                BYTE small[6] = {};
                DWORD size = sizeof(small);
                const LONG status =
                    port::RegQueryValueExW(key.get(), name, nullptr, nullptr, small, &size);
                if (!key) {
                    EXPECT_EQ(status, ERROR_INVALID_HANDLE);
                } else {
                    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_MORE_DATA ||
                                status == ERROR_FILE_NOT_FOUND)
                        << status;
                }
            }
        }
    }
}

// ---- the file is read afresh at every call ----

TEST_F(RegistryTest, OpenKeySeesTheFileAsItIsAtEachQuery) {
    WriteUtf8(kHeader + kOrchelSection + L"\"Level\"=dword:1\n");
    const UniqueKey key = OpenOrchel();
    ExpectValue(key.get(), L"Level", DWORD{1});

    WriteUtf8(kHeader + kOrchelSection + L"\"Level\"=dword:2\n");
    ExpectValue(key.get(), L"Level", DWORD{2});

    WriteUtf8(kHeader + kOrchelSection);
    EXPECT_EQ(Query(key.get(), L"Level").status, ERROR_FILE_NOT_FOUND);

    WriteUtf8(kHeader + L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelm]\n\"Level\"=dword:3\n");
    EXPECT_EQ(Query(key.get(), L"Level").status, ERROR_FILE_NOT_FOUND);

    const testsupport::ScopedEnv otherFile(
        kVariable,
        folder_.Write("other.reg", ToUtf8(kHeader + kOrchelSection + L"\"Level\"=dword:4\n")));
    ExpectValue(key.get(), L"Level", DWORD{4});
}

// ---- the caller's buffer ----

TEST_F(RegistryTest, BufferSizesFollowTheQueryRules) {
    WriteUtf8(kHeader + kOrchelSection + L"\"Root\"=\"D:\\\\Patches\"\n\"Level\"=dword:10\n");
    const UniqueKey key = OpenOrchel();
    const std::vector<BYTE> expected = BytesOf(std::wstring(L"D:\\Patches"));
    const auto required = static_cast<DWORD>(expected.size());
    ASSERT_EQ(required, 11 * sizeof(wchar_t));

    // size only
    DWORD type = REG_NONE;
    DWORD size = 0;
    EXPECT_EQ(port::RegQueryValueExW(key.get(), L"Root", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, required);
    EXPECT_EQ(type, REG_SZ);

    // one byte short, and empty: the needed size comes back, the buffer stays as it was
    for (DWORD given : {required - 1, DWORD{0}}) {
        SCOPED_TRACE(given);
        std::vector<BYTE> buffer(required + 8, 0xAB);
        size = given;
        EXPECT_EQ(
            port::RegQueryValueExW(key.get(), L"Root", nullptr, nullptr, buffer.data(), &size),
            ERROR_MORE_DATA);
        EXPECT_EQ(size, required);
        EXPECT_EQ(buffer, std::vector<BYTE>(required + 8, 0xAB));
    }

    // larger than needed: the bytes written are reported, the rest is untouched
    std::vector<BYTE> buffer(required + 8, 0xAB);
    size = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(port::RegQueryValueExW(key.get(), L"Root", nullptr, nullptr, buffer.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, required);
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + required), expected);
    EXPECT_EQ(std::vector<BYTE>(buffer.begin() + required, buffer.end()),
              std::vector<BYTE>(8, 0xAB));

    // a dword needs four bytes
    BYTE three[3] = {0xAB, 0xAB, 0xAB};
    size = sizeof(three);
    EXPECT_EQ(port::RegQueryValueExW(key.get(), L"Level", nullptr, &type, three, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof(DWORD));
    EXPECT_EQ(three[0], 0xAB);

    // data without a size is refused; neither asks only whether the value exists
    BYTE any[64];
    EXPECT_EQ(port::RegQueryValueExW(key.get(), L"Root", nullptr, nullptr, any, nullptr),
              ERROR_INVALID_PARAMETER);
    type = REG_NONE;
    EXPECT_EQ(port::RegQueryValueExW(key.get(), L"Level", nullptr, &type, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(port::RegQueryValueExW(key.get(), L"Nothing", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

// ---- handles and arguments ----

TEST_F(RegistryTest, RejectsBadHandlesAndArguments) {
    WriteUtf8(kHeader + kOrchelSection + L"\"Level\"=dword:1\n");
    EXPECT_EQ(port::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);

    for (HKEY root : {HKEY{nullptr}, kCurrentUser}) {
        HKEY result = HKEY_LOCAL_MACHINE;  // must be cleared on failure
        EXPECT_EQ(port::RegOpenKeyExW(root, L"SOFTWARE", 0, KEY_READ, &result),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(result, nullptr);
        DWORD size = 0;
        EXPECT_EQ(port::RegQueryValueExW(root, L"Level", nullptr, nullptr, nullptr, &size),
                  ERROR_INVALID_HANDLE);
    }
    HKEY result = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(port::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Missing", 0, KEY_READ, &result),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(result, nullptr);

    EXPECT_EQ(port::RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port::RegCloseKey(kCurrentUser), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port::RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

}  // namespace
