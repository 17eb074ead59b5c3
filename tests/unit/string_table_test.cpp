#include "port/string_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "framework/service_messages.h"
#include "port/module.h"
#include "support/scratch.h"

namespace {

class ServiceStrings : public testing::Test {
protected:
    void WriteTable(const std::string& content) {
        folder_.Write(port::kServiceStringTableFile, content);
    }
    std::wstring Load(UINT id, int capacity = 260) {
        std::vector<wchar_t> buffer(static_cast<std::size_t>(capacity), L'#');
        port::LoadStringW(port::GetModuleHandleW(L"RemedorService.exe"), id, buffer.data(),
                          capacity);
        return buffer.data();
    }

    testsupport::TempFolder folder_;
    testsupport::ScopedEnv orv_{port::kOrvFolderVariable, folder_.Path().string()};
};

TEST_F(ServiceStrings, EntriesAreFoundByIdentifier) {
    WriteTable(
        "# comment line\n"
        "7054=Plain text\n"
        "7055=Tab\\there, line\\nbreak, back\\\\slash, kept \\q\r\n"
        "7059=first\n"
        "7059=second\n"
        "7060=Grüße €\n"
        "7064=\n");
    const std::vector<std::pair<UINT, std::wstring>> cases = {
        {7054, L"Plain text"}, {7055, L"Tab\there, line\nbreak, back\\slash, kept \\q"},
        {7059, L"first"},  // the first entry wins
        {7060, L"Grüße €"},    {7064, L""},
        {9999, L""},  // missing identifier: the empty text
    };
    for (const auto& [id, expected] : cases) {
        EXPECT_EQ(expected, Load(id)) << "id " << id;
    }
}

TEST_F(ServiceStrings, LongTextsAreCutToTheCapacity) {
    WriteTable("7082=" + std::string(300, 'x') + "\n");
    EXPECT_EQ(std::wstring(259, L'x'), Load(7082, 260));
    EXPECT_EQ(std::wstring(9, L'x'), Load(7082, 10));
    wchar_t tiny[1] = {L'#'};
    EXPECT_EQ(0, port::LoadStringW(nullptr, 7082, tiny, 1));
    EXPECT_EQ(L'\0', tiny[0]);
    EXPECT_EQ(0, port::LoadStringW(nullptr, 7082, nullptr, 10));
}

TEST_F(ServiceStrings, MalformedLinesAreSkippedAndTheRestServes) {
    WriteTable(std::string("no separator\n"
                           "12x=bad number\n"
                           "=no number\n"
                           "99999999999=too large\n"
                           "7117=bad \xff utf-8\n") +
               std::string("\x00\x01\x02 binary\n", 11) + "7126=good\n");
    EXPECT_EQ(L"", Load(7117));
    EXPECT_EQ(L"good", Load(7126));
}

TEST_F(ServiceStrings, MissingTableGivesEmptyTexts) {
    EXPECT_EQ(L"", Load(7054));
    WriteTable("7054=back\n");
    EXPECT_EQ(L"back", Load(7054));  // read afresh, no stale cache
}

TEST_F(ServiceStrings, FormatsAreFilledWithTypedArguments) {
    WriteTable(
        "7130=Cannot reach %s.\n"
        "7147=Error %d occurred.\n"
        "7094=%s: %d patches for %s from %s\n"
        "7142=Swapped %d and %s\n");
    wchar_t message[orchel::kStatusMessageCapacity];
    orchel::FormatServiceMessage(7130, message, orchel::kStatusMessageCapacity, {L"http://srv:80"});
    EXPECT_EQ(std::wstring(L"Cannot reach http://srv:80."), message);
    orchel::FormatServiceMessage(7147, message, orchel::kStatusMessageCapacity, {12029});
    EXPECT_EQ(std::wstring(L"Error 12029 occurred."), message);
    orchel::FormatServiceMessage(7094, message, orchel::kMailTextCapacity,
                                 {L"Prod", 3, L"host", L"server"});
    EXPECT_EQ(std::wstring(L"Prod: 3 patches for host from server"), message);
    // A table whose placeholders do not fit the arguments cannot crash the service.
    orchel::FormatServiceMessage(7142, message, orchel::kStatusMessageCapacity, {L"http://srv:80"});
    EXPECT_EQ(std::wstring(L"Swapped  and "), message);
    // A missing entry formats as the empty text.
    orchel::FormatServiceMessage(7160, message, orchel::kStatusMessageCapacity, {L"x"});
    EXPECT_EQ(std::wstring(), message);
}

// The string table the service ships: every identifier the library asks for is there, and
// the formats carry exactly the placeholders the library fills, in order.
class ShippedStringTable : public testing::Test {
protected:
    static std::map<UINT, std::string> ReadEntries() {
        std::ifstream table(ORCHEL_SHIPPED_STRING_TABLE);
        std::map<UINT, std::string> entries;
        std::string line;
        while (std::getline(table, line)) {
            if (line.empty() || line[0] == '#') {
                continue;
            }
            const std::size_t separator = line.find('=');
            entries.emplace(static_cast<UINT>(std::stoul(line.substr(0, separator))),
                            line.substr(separator + 1));
        }
        return entries;
    }
    static std::string Placeholders(const std::string& text) {
        std::string found;
        for (std::size_t i = text.find('%'); i != std::string::npos; i = text.find('%', i + 2)) {
            found += text.substr(i, 2);
        }
        return found;
    }
};

TEST_F(ShippedStringTable, HoldsEveryIdentifierWithItsPlaceholders) {
    std::vector<UINT> identifiers = {6008, 6010, 6038, 7054, 7055, 7059, 7060, 7064, 7082, 7084,
                                     7117, 7122, 7123, 7124, 7126, 7130, 7133, 7134, 7138, 7142,
                                     7143, 7146, 7147, 7148, 7149, 7150, 7151, 7152, 7153, 7154,
                                     7155, 7156, 7157, 7158, 7159, 7160, 7161, 7162, 7163, 7164};
    for (UINT id = 7085; id <= 7113; ++id) {
        identifiers.push_back(id);
    }
    const std::map<UINT, std::string> formats = {
        {6010, "%s"},     {7130, "%s"},       {7142, "%s"},   {7159, "%s"},
        {7160, "%s"},     {7164, "%s"},       {7147, "%d"},   {7087, "%s"},
        {7097, "%s"},     {7107, "%s"},       {7093, "%s"},   {7094, "%s%d%s%s"},
        {7103, "%s%s%s"}, {7104, "%s%d%s%s"}, {7112, "%s%s"}, {7113, "%s%d%s"},
    };
    const std::map<UINT, std::string> entries = ReadEntries();
    for (UINT id : identifiers) {
        const auto entry = entries.find(id);
        ASSERT_NE(entries.end(), entry) << "missing identifier " << id;
        EXPECT_FALSE(entry->second.empty()) << id;
        const auto format = formats.find(id);
        EXPECT_EQ(format == formats.end() ? "" : format->second, Placeholders(entry->second))
            << "identifier " << id;
        EXPECT_LT(entry->second.size(), 260u) << id;
    }
}

}  // namespace
