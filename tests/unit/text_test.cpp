#include "port/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Text, Utf8RoundTripsEveryPlane) {
    const std::wstring wide = L"ASCII é € 𝄞 日本";
    std::string utf8;
    ASSERT_TRUE(port::WideToUtf8(wide, utf8));
    EXPECT_EQ("ASCII \xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E \xE6\x97\xA5\xE6\x9C\xAC", utf8);
    std::wstring back;
    ASSERT_TRUE(port::Utf8ToWide(utf8, back));
    EXPECT_EQ(wide, back);
}

TEST(Text, InvalidUtf8FailsTheConversion) {
    const std::vector<std::string> invalid = {
        "\xC3",              // truncated sequence
        "\x80",              // lone continuation byte
        "\xC0\xAF",          // overlong '/'
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "ok\xFF",            // byte never valid in UTF-8
    };
    for (const std::string& bytes : invalid) {
        std::wstring out = L"stale";
        EXPECT_FALSE(port::Utf8ToWide(bytes, out)) << "bytes of length " << bytes.size();
        EXPECT_TRUE(out.empty());
    }
}

TEST(Text, WideTextThatIsNotUnicodeFailsTheConversion) {
    std::string out;
    EXPECT_FALSE(port::WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800)), out));
    EXPECT_FALSE(port::WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000)), out));
    EXPECT_TRUE(out.empty());
}

TEST(Text, Utf16LeDecodesPairsAndRejectsBrokenInput) {
    std::wstring out;
    ASSERT_TRUE(port::Utf16LeToWide(std::string("A\0\xE4\0\x34\xD8\x1E\xDD", 8), out));
    EXPECT_EQ(L"Aä𝄞", out);
    EXPECT_FALSE(port::Utf16LeToWide(std::string("A\0B", 3), out));  // odd byte count
    EXPECT_FALSE(port::Utf16LeToWide(std::string("\x34\xD8"
                                                 "A\0",
                                                 4),
                                     out));                              // lone high half
    EXPECT_FALSE(port::Utf16LeToWide(std::string("\x1E\xDD", 2), out));  // lone low half
}

TEST(Text, Utf16LeEncodingRoundTripsAndRejectsNonScalars) {
    std::string bytes;
    ASSERT_TRUE(port::WideToUtf16Le(L"Aä𝄞", bytes));
    EXPECT_EQ(std::string("A\0\xE4\0\x34\xD8\x1E\xDD", 8), bytes);
    std::wstring back;
    ASSERT_TRUE(port::Utf16LeToWide(bytes, back));
    EXPECT_EQ(L"Aä𝄞", back);
    EXPECT_FALSE(port::WideToUtf16Le(std::wstring(1, static_cast<wchar_t>(0xDC00)), bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(port::WideToUtf16Le(std::wstring(1, static_cast<wchar_t>(0x110000)), bytes));
}

TEST(Text, BoundedCopyKeepsAtMostCapacityMinusOne) {
    wchar_t field[5];
    EXPECT_EQ(4u, port::BoundedCopy(field, 5, L"abcdefgh"));
    EXPECT_EQ(std::wstring(L"abcd"), field);
    EXPECT_EQ(2u, port::BoundedCopy(field, 5, L"xy"));
    EXPECT_EQ(std::wstring(L"xy"), field);
    EXPECT_EQ(0u, port::BoundedCopy(field, 5, static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(std::wstring(), field);
    EXPECT_EQ(0u, port::BoundedCopy(nullptr, 5, L"abc"));

    wchar_t appended[8] = L"abc";
    EXPECT_EQ(7u, port::BoundedAppend(appended, 8, L"defghij"));
    EXPECT_EQ(std::wstring(L"abcdefg"), appended);
}

TEST(Text, CaseFoldingIsAsciiOnly) {
    EXPECT_TRUE(port::EqualsIgnoreCase(L"RemedorService.EXE", L"remedorservice.exe"));
    EXPECT_FALSE(port::EqualsIgnoreCase(L"Ä", L"ä"));
    EXPECT_FALSE(port::EqualsIgnoreCase(L"abc", L"abcd"));
}

}  // namespace
