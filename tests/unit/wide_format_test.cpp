#include "port/wide_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using port::FormatArg;
using port::FormatWide;
using port::FormatWideString;

struct Case {
    std::wstring expected;
    std::wstring actual;
};

void ExpectAll(const std::vector<Case>& cases) {
    for (std::size_t row = 0; row < cases.size(); ++row) {
        EXPECT_EQ(cases[row].expected, cases[row].actual) << "row " << row;
    }
}

TEST(WideFormat, WindowsConventionForTextAndCharacters) {
    const wchar_t* nullText = nullptr;
    ExpectAll({
        // %s takes a wide string, %S and %hs a narrow UTF-8 one.
        {L"file a.dll", FormatWideString(L"file %s", L"a.dll")},
        {L"wide Zürich", FormatWideString(L"%ls %s", L"wide", L"Zürich")},
        {L"narrow Zürich", FormatWideString(L"%S %hs", "narrow", "Zürich")},
        {L"[(null)]", FormatWideString(L"[%s]", nullText)},
        {L"[  abc][abc  ][ab]", FormatWideString(L"[%5s][%-5s][%.2s]", L"abc", L"abc", L"abc")},
        {L"[   ab]", FormatWideString(L"[%*.*s]", 5, 2, L"abc")},
        {L"x€y", FormatWideString(L"x%cy", static_cast<wint_t>(L'€'))},
        {L"xAy", FormatWideString(L"x%Cy", 'A')},
        // Bytes that are not UTF-8 are shown one character each rather than dropped.
        {L"\u00ff\u00fe", FormatWideString(L"%S", "\xff\xfe")},
    });
}

TEST(WideFormat, IntegersFollowWindowsSizes) {
    ExpectAll({
        {L"-42 42 7", FormatWideString(L"%d %i %u", -42, 42, 7u)},
        {L"0x1f 0X1F", FormatWideString(L"0x%x 0X%X", 31u, 31u)},
        {L"05 2026", FormatWideString(L"%02d %02d", 5, 2026)},
        {L"[   42][42   ][00042]", FormatWideString(L"[%5d][%-5d][%05d]", 42, 42, 42)},
        {L"+7 017 0x1f", FormatWideString(L"%+d %#o %#x", 7, 15, 31)},
        // A Windows long is 32 bits: %lu of a DWORD, %lx of an error code.
        {L"4294967295 ffffffff",
         FormatWideString(L"%lu %lx", static_cast<std::uint32_t>(-1), 0xFFFFFFFFu)},
        {L"-9000000000 9000000000", FormatWideString(L"%I64d %llu", -9000000000LL, 9000000000ULL)},
        {L"-1", FormatWideString(L"%d", static_cast<std::int32_t>(0xFFFFFFFF))},
        {L"4294967295", FormatWideString(L"%u", static_cast<std::uint32_t>(0xFFFFFFFF))},
        {L"100% done", FormatWideString(L"%d%% done", 100)},
        {L"2.50", FormatWideString(L"%.2f", 2.5)},
    });
}

TEST(WideFormat, UnknownOrDangerousConversionsAreCopiedAsWritten) {
    int written = 0;
    ExpectAll({
        {L"a %n b", FormatWideString(L"a %n b", &written)},
        {L"50%", FormatWideString(L"50%")},
        {L"%y", FormatWideString(L"%y")},
    });
    EXPECT_EQ(0, written);
}

TEST(WideFormat, OutputIsBoundedAndAlwaysTerminated) {
    wchar_t buffer[6];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(5u, FormatWide(buffer, 6, L"%s-%d", L"abcdef", 12));
    EXPECT_EQ(std::wstring(L"abcde"), buffer);

    EXPECT_EQ(0u, FormatWide(buffer, 1, L"%s", L"abc"));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(0u, FormatWide(nullptr, 10, L"%s", L"abc"));
    EXPECT_EQ(0u, FormatWide(buffer, 6, nullptr));
    EXPECT_EQ(std::wstring(), buffer);

    // A huge width cannot make the formatter allocate without bound.
    const std::wstring wide = FormatWideString(L"%999999999d", 1);
    EXPECT_LE(wide.size(), 65536u);
    EXPECT_EQ(L'1', wide.back());
}

TEST(WideFormat, CheckedArgumentsNeverReadWhatTheyWereNotGiven) {
    wchar_t buffer[100];
    const std::vector<FormatArg> args = {FormatArg(L"http://server:80"), FormatArg(404)};
    ExpectAll({
        {L"Cannot reach http://server:80 (404)",
         (port::FormatWideChecked(buffer, 100, L"Cannot reach %s (%d)", args), buffer)},
        // Placeholders that do not fit their argument, or have none, stay empty.
        {L"[][][]", (port::FormatWideChecked(buffer, 100, L"[%d][%s][%s]", args), buffer)},
        {L"[]", (port::FormatWideChecked(buffer, 100, L"[%p]", {}), buffer)},
        {L"[ht", (port::FormatWideChecked(buffer, 4, L"[%s]", args), buffer)},
    });
}

}  // namespace
