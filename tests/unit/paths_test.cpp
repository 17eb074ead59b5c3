#include "orchel/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "orchel/corvlog.h"
#include "orchel/error_registry.h"
#include "orchel/globals.h"
#include "port/module.h"
#include "port/text.h"
#include "support/scratch.h"

namespace {

std::wstring Wide(const std::string& text) {
    std::wstring wide;
    port::Utf8ToWide(text, wide);
    return wide;
}

// A service folder, registry file and product of its own for every test.
class Paths : public testing::Test {
protected:
    Paths() { port::BoundedCopy(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY, L"Remedor"); }
    ~Paths() override { gszCurrentProduct[0] = L'\0'; }

    std::wstring OrvFolder() const { return Wide(orv_.Path().string()) + L"/"; }

    void WriteRegistry(const std::string& productValues, const std::string& programFiles = "") {
        orv_.Write("registry.reg",
                   "Windows Registry Editor Version 5.00\n\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor]\n" +
                       productValues +
                       "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\n" +
                       programFiles + "\n");
    }
    void WriteRegistryWithoutProductKey() {
        orv_.Write(
            "registry.reg",
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n");
    }
    void WriteSettings(const std::string& content) { orv_.Write("ORVSettings.INI", content); }
    void WriteClientFile(const std::string& content) { orv_.Write("ORVClient.xml", content); }

    testsupport::TempFolder orv_;
    testsupport::ScopedEnv orvVariable_{port::kOrvFolderVariable, orv_.Path().string()};
    testsupport::ScopedEnv registryVariable_{"ORCHEL_REGISTRY",
                                             (orv_.Path() / "registry.reg").string()};
    CapturingLogSink log_;
};

TEST_F(Paths, OrvFolderAndSettingsFile) {
    wchar_t path[MAX_PATH];
    ASSERT_EQ(1, GetORVPath(path));
    EXPECT_EQ(OrvFolder(), path);
    EXPECT_EQ(1, GetORVPath(nullptr));

    // Without the settings file: 0, but the buffer names it.
    EXPECT_EQ(0, GetORVSettingsINIPath(path));
    EXPECT_EQ(OrvFolder() + L"ORVSettings.INI", path);
    WriteSettings("[DownloadServer]\nProtocol=HTTP\n");
    EXPECT_EQ(1, GetORVSettingsINIPath(path));
    EXPECT_EQ(0, GetORVSettingsINIPath(nullptr));
}

TEST_F(Paths, OrvFolderTooLongIsRecordedAsUnavailable) {
    const std::string deep = (orv_.Path() / std::string(260, 'd')).string();
    testsupport::ScopedEnv longFolder(port::kOrvFolderVariable, deep);
    wchar_t path[MAX_PATH] = L"untouched";
    EXPECT_EQ(0, GetORVPath(path));
    DWORD last = 0;
    GetLastOrchelError(&last);
    EXPECT_EQ(0xFFFFFFFFu, last);
    EXPECT_EQ(0, GetORVSettingsINIPath(path));
    EXPECT_EQ(std::wstring(L"untouched"), path);
}

TEST_F(Paths, ProtocolComesFromTheSettingsFile) {
    wchar_t protocol[10] = L"x";
    EXPECT_EQ(0, GetProtocolSelected(protocol));  // no settings file
    WriteSettings("[downloadserver]\nPROTOCOL = http\n");
    EXPECT_EQ(1, GetProtocolSelected(protocol));
    EXPECT_EQ(std::wstring(L"http"), protocol);
    WriteSettings("[DownloadServer]\nProtocol=HTTPSOVERLONG\n");
    EXPECT_EQ(1, GetProtocolSelected(protocol));
    EXPECT_EQ(std::wstring(L"HTTPSOVER"), protocol);  // cut to 9 characters
    WriteSettings("[Other]\n");
    EXPECT_EQ(1, GetProtocolSelected(protocol));
    EXPECT_EQ(std::wstring(), protocol);
    EXPECT_EQ(0, GetProtocolSelected(nullptr));
}

TEST_F(Paths, PatchesRootFollowsTheKvbaRule) {
    struct Case {
        std::string value;
        std::wstring root;
    };
    const std::vector<Case> cases = {
        {"/data/Patches/kvba", L"/data/Patches/"},      {"/data/Patches/KVBA", L"/data/Patches/"},
        {"/data/Patches", L"/data/Patches/"},           {"/data/Patches/", L"/data/Patches//"},
        {"/data/kvba/Patches", L"/data/kvba/Patches/"}, {"/data/Pätches", L"/data/Pätches/"},
    };
    for (const Case& c : cases) {
        WriteRegistry("\"PATCHESROOT\"=\"" + c.value + "\"");
        log_.Clear();
        wchar_t root[MAX_PATH] = L"";
        ASSERT_EQ(1, GetPatchesRootPath(root)) << c.value;
        EXPECT_EQ(c.root, root) << c.value;
        EXPECT_TRUE(log_.Contains(6002, 4, L"Registry value for patchesroot is: " + c.root));
        EXPECT_TRUE(log_.Contains(
            6002, 4, L"Regkey open SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor Key success"));
    }
}

TEST_F(Paths, PatchesRootFailures) {
    wchar_t root[MAX_PATH] = L"";
    WriteRegistry("\"PATCHESROOT\"=\"Patches\"");
    EXPECT_EQ(0, GetPatchesRootPath(root));
    EXPECT_TRUE(log_.Contains(7001, 1, L"FAILED: Invalid PATCHESROOT path [Patches] found"));

    log_.Clear();
    WriteRegistryWithoutProductKey();
    EXPECT_EQ(0, GetPatchesRootPath(root));
    EXPECT_TRUE(log_.Contains(7001, 1, L"FAILED: Invalid PATCHESROOT path [] found"));

    log_.Clear();
    WriteRegistry("\"Codepage\"=\"1033\"");
    EXPECT_EQ(0, GetPatchesRootPath(root));
    EXPECT_TRUE(log_.Contains(6002, 4, L"PATCHESROOT is missing from Registry"));

    // A value longer than the path buffer cannot be read whole: treated as missing, not cut.
    log_.Clear();
    WriteRegistry("\"PATCHESROOT\"=\"/" + std::string(300, 'p') + "\"");
    EXPECT_EQ(0, GetPatchesRootPath(root));
    EXPECT_TRUE(log_.Contains(6002, 4, L"PATCHESROOT is missing from Registry"));
    EXPECT_EQ(0, GetPatchesRootPath(nullptr));
}

constexpr const char* kClientFile = R"(<?xml version="1.0"?>
<client>
  <product Name="Other"><downloadinfo><p Name="HTTP"><pathonsource>other/x/</pathonsource></p></downloadinfo></product>
  <product Name="Remedor">
    <downloadinfo>
      <!-- protocols -->
      <ftp Name="FTP"><ServerName>ftp.example</ServerName><source>s</source><pathonsource>ftp/path/</pathonsource></ftp>
      <web Name="http"><ServerName>www.example</ServerName><source>s</source><pathonsource>kelm/remedor/</pathonsource></web>
      <long Name="HTTPxxxxxxx"><pathonsource>never/</pathonsource></long>
    </downloadinfo>
  </product>
  <product Name="Empty"><downloadinfo>text only</downloadinfo></product>
  <product Name="NoPath"><downloadinfo><p Name="HTTP"><source>s</source></p></downloadinfo></product>
</client>)";

TEST_F(Paths, PathOnSourceFromTheClientFile) {
    WriteSettings("[DownloadServer]\nProtocol=HTTP\n");
    wchar_t path[MAX_PATH] = L"x";
    EXPECT_EQ(0, GetPathOnSource(path));  // no client file
    WriteClientFile(kClientFile);
    ASSERT_EQ(1, GetPathOnSource(path));
    EXPECT_EQ(std::wstring(L"kelm/remedor/"), path);

    WriteSettings("[DownloadServer]\nProtocol=ftp\n");
    ASSERT_EQ(1, GetPathOnSource(path));
    EXPECT_EQ(std::wstring(L"ftp/path/"), path);

    // A protocol named by 10 or more characters never matches; nor does an unknown one.
    WriteSettings("[DownloadServer]\nProtocol=HTTPxxxxxxx\n");
    EXPECT_EQ(0, GetPathOnSource(path));
    WriteSettings("[DownloadServer]\nProtocol=GOPHER\n");
    EXPECT_EQ(0, GetPathOnSource(path));

    // downloadinfo without element children: an empty path.
    WriteSettings("[DownloadServer]\nProtocol=HTTP\n");
    port::BoundedCopy(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY, L"Empty");
    ASSERT_EQ(1, GetPathOnSource(path));
    EXPECT_EQ(std::wstring(), path);

    for (const wchar_t* product : {L"NoPath", L"remedor", L"Missing", L"x' or '1'='1"}) {
        port::BoundedCopy(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY, product);
        EXPECT_EQ(0, GetPathOnSource(path)) << testing::PrintToString(std::wstring(product));
    }
}

TEST_F(Paths, PathOnSourceIsCutToThePathBuffer) {
    WriteSettings("[DownloadServer]\nProtocol=HTTP\n");
    const std::string longPath(400, 'a');
    WriteClientFile(
        "<client><product Name=\"Remedor\"><downloadinfo><p Name=\"HTTP\"><pathonsource>" +
        longPath + "</pathonsource></p></downloadinfo></product></client>");
    wchar_t path[MAX_PATH];
    ASSERT_EQ(1, GetPathOnSource(path));
    EXPECT_EQ(std::wstring(259, L'a'), path);

    WriteClientFile(
        "<client><product Name=\"Remedor\"><downloadinfo><p Name=\"HTTP\"><pathonsource>" +
        std::string(600, 'a') + "</pathonsource></p></downloadinfo></product></client>");
    EXPECT_EQ(0, GetPathOnSource(path));  // beyond the 520-character read
}

TEST_F(Paths, CatalogueFolderJoinsRootAndPathOnSource) {
    WriteRegistry("\"PATCHESROOT\"=\"/data/P\"");
    WriteSettings("[DownloadServer]\nProtocol=HTTP\n");
    struct Case {
        std::string pathOnSource;
        int result;
        std::wstring folder;
    };
    std::string fiftyOne;
    for (int i = 0; i < 51; ++i) {
        fiftyOne += "s/";
    }
    const std::vector<Case> cases = {
        {"a/b/", 1, L"/data/P/a/b/"},
        {"/a//b", 1, L"/data/P/a/b/"},
        {"single", 0, L""},
        {"a/../b", 0, L""},
        {"./a", 0, L""},
        {fiftyOne, 0, L""},
    };
    for (const Case& c : cases) {
        WriteClientFile(
            "<client><product Name=\"Remedor\"><downloadinfo><p Name=\"HTTP\"><pathonsource>" +
            c.pathOnSource + "</pathonsource></p></downloadinfo></product></client>");
        wchar_t folder[MAX_PATH] = L"";
        EXPECT_EQ(c.result, GetEncryptedLocalAvailableXMLFilePath(folder)) << c.pathOnSource;
        if (c.result == 1) {
            EXPECT_EQ(c.folder, folder) << c.pathOnSource;
        }
    }
    EXPECT_TRUE(log_.Contains(6002, 4, L"Patches Root Path: /data/P/"));
    EXPECT_TRUE(log_.Contains(6002, 4, L"Path on source: a/b/"));

    // An empty path on source (no protocol elements at all) gives the root itself.
    WriteClientFile("<client><product Name=\"Remedor\"><downloadinfo/></product></client>");
    wchar_t folder[MAX_PATH] = L"";
    ASSERT_EQ(1, GetEncryptedLocalAvailableXMLFilePath(folder));
    EXPECT_EQ(std::wstring(L"/data/P/"), folder);
}

TEST_F(Paths, ProductFilesBelowTheOrvFolder) {
    wchar_t path[MAX_PATH] = L"";
    ASSERT_EQ(1, GetAvailablePatchesInfoXmlFilePath(path, L"REMEDOR"));  // case ignored
    EXPECT_EQ(OrvFolder() + L"Remedor/AvailablePatchInfo.xml", path);
    path[0] = L'\0';
    ASSERT_EQ(1, GetDownloadedPatchesInfoXmlFilePath(path, L"remedor"));
    EXPECT_EQ(OrvFolder() + L"Remedor/AlreadyDownloadedPatchInfo.xml", path);

    // Appended to what the buffer holds.
    wchar_t prefixed[MAX_PATH] = L"pre:";
    ASSERT_EQ(1, GetAvailablePatchesInfoXmlFilePath(prefixed, L"Remedor"));
    EXPECT_EQ(L"pre:" + OrvFolder() + L"Remedor/AvailablePatchInfo.xml", prefixed);

    for (const wchar_t* other : {L"Other", L"Remedor2", L""}) {
        EXPECT_EQ(0, GetAvailablePatchesInfoXmlFilePath(path, other));
        EXPECT_EQ(0, GetDownloadedPatchesInfoXmlFilePath(path, other));
    }
    EXPECT_EQ(0, GetAvailablePatchesInfoXmlFilePath(path, nullptr));
    EXPECT_EQ(0, GetDownloadedPatchesInfoXmlFilePath(nullptr, L"Remedor"));

    // A product name of 50 characters is refused by the download record's path.
    const std::wstring fifty(50, L'p');
    std::wcsncpy(gszCurrentProduct, fifty.c_str(), ORCHEL_PRODUCT_NAME_CAPACITY);  // no NUL
    EXPECT_EQ(0, GetDownloadedPatchesInfoXmlFilePath(path, fifty.c_str()));

    // A product name that would climb out of the ORV folder is refused.
    port::BoundedCopy(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY, L"..");
    EXPECT_EQ(0, GetAvailablePatchesInfoXmlFilePath(path, L".."));
    port::BoundedCopy(gszCurrentProduct, ORCHEL_PRODUCT_NAME_CAPACITY, L"a/../../etc");
    EXPECT_EQ(0, GetDownloadedPatchesInfoXmlFilePath(path, L"a/../../etc"));

    // The empty product matches the empty name and lands straight in the ORV folder.
    gszCurrentProduct[0] = L'\0';
    path[0] = L'\0';
    ASSERT_EQ(1, GetAvailablePatchesInfoXmlFilePath(path, L""));
    EXPECT_EQ(OrvFolder() + L"/AvailablePatchInfo.xml", path);
}

TEST_F(Paths, ProgramFilesAndPatchStatusFiles) {
    const std::string programFiles = orv_.Path().string() + "/Program Files";
    WriteRegistry("", "\"ProgramFilesDir\"=\"" + programFiles + "//\"");
    wchar_t folder[MAX_PATH] = L"xx";
    DWORD size = sizeof folder;
    ASSERT_EQ(1, GetProgramFilesDir(folder, &size));
    EXPECT_EQ(Wide(programFiles) + L"/", folder);
    EXPECT_EQ((programFiles.size() + 3) * sizeof(wchar_t), size);

    wchar_t status[MAX_PATH] = L"";
    EXPECT_EQ(0, GetPatchStatusXmlFilePathForVeltrane(status));
    EXPECT_EQ(Wide(programFiles) + L"/Kelm/SharedComponents/ORV/PatchStatus.xml", status);
    EXPECT_TRUE(log_.Contains(7001, 3, L"FAILED: Patch Status Xml File Not Found"));
    EXPECT_EQ(0, GetPatchStatusXmlFilePathForRemedor(status));
    EXPECT_TRUE(log_.Contains(7001, 3, L"FAILED: RDPatchStatus Xml File Not Found"));

    std::filesystem::create_directories(programFiles + "/Kelm/SharedComponents/ORV");
    orv_.Write("Program Files/Kelm/SharedComponents/ORV/RDPatchStatus.xml", "<Patches/>");
    EXPECT_EQ(1, GetPatchStatusXmlFilePathForRemedor(status));
    EXPECT_EQ(Wide(programFiles) + L"/Kelm/SharedComponents/ORV/RDPatchStatus.xml", status);
}

TEST_F(Paths, ProgramFilesFailuresLeaveTheBufferEmpty) {
    wchar_t folder[MAX_PATH] = L"xx";
    DWORD size = sizeof folder;
    WriteRegistryWithoutProductKey();
    EXPECT_EQ(0, GetProgramFilesDir(folder, &size));
    EXPECT_EQ(std::wstring(), folder);
    WriteRegistry("", "\"ProgramFilesDir\"=\"\"");
    size = sizeof folder;
    EXPECT_EQ(0, GetProgramFilesDir(folder, &size));
    // A byte count larger than the real buffer is bounded, never trusted.
    WriteRegistry("", "\"ProgramFilesDir\"=\"/opt/" + std::string(300, 'x') + "\"");
    size = 1u << 30;
    EXPECT_EQ(0, GetProgramFilesDir(folder, &size));
    EXPECT_EQ(0, GetProgramFilesDir(nullptr, &size));
    EXPECT_EQ(0, GetProgramFilesDir(folder, nullptr));
    wchar_t status[MAX_PATH] = L"untouched";
    EXPECT_EQ(0, GetPatchStatusXmlFilePathForVeltrane(status));
    EXPECT_EQ(std::wstring(L"untouched"), status);
}

TEST_F(Paths, StagingServerFromTheComponentValue) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"\"Component\"=\"Client\"", 0},  {"\"Component\"=\"client\"", 1},
        {"\"Component\"=\"Staging\"", 1}, {"\"Component\"=\"\"", 1},
        {"\"Codepage\"=\"1033\"", 0},     {"\"Component\"=dword:00000001", 0},
    };
    for (const auto& [values, expected] : cases) {
        WriteRegistry(values);
        EXPECT_EQ(expected, IsKVBAInstalledAsStagingServer()) << values;
    }
    WriteRegistryWithoutProductKey();
    EXPECT_EQ(0, IsKVBAInstalledAsStagingServer());
}

TEST(PathText, SplitTable) {
    struct Case {
        const wchar_t* input;
        wchar_t separator;
        int ignoreSpace;
        int maxTokens;
        int result;
        std::vector<std::wstring> entries;
    };
    const std::vector<Case> cases = {
        {L"/a//b/", L'/', 0, 50, 2, {L"a", L"b"}},
        {L"a b/c", L'/', 1, 50, 2, {L"ab", L"c"}},
        {L"a b/c", L'/', 0, 50, 2, {L"a b", L"c"}},
        {L"KB1, KB2,KB3", L',', 1, 50, 3, {L"KB1", L"KB2", L"KB3"}},
        {L"", L'/', 0, 50, 0, {}},
        {L"///", L'/', 0, 50, 0, {}},
        {L"/ /", L'/', 1, 50, 0, {}},
        {L"a/b/c", L'/', 0, 2, -1, {L"a", L"b"}},
        {L"03/14/2009 10:00", L' ', 0, 50, 2, {L"03/14/2009", L"10:00"}},
    };
    for (const Case& c : cases) {
        wchar_t* entries[50] = {};
        EXPECT_EQ(c.result, Split(c.input, entries, c.maxTokens, c.separator, c.ignoreSpace))
            << testing::PrintToString(std::wstring(c.input));
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            ASSERT_NE(nullptr, entries[i]);
            EXPECT_EQ(c.entries[i], entries[i]);
        }
        EXPECT_EQ(nullptr, entries[c.entries.size()]);
        FreeSplitsOutput(entries, 50);
        for (wchar_t* entry : entries) {
            EXPECT_EQ(nullptr, entry);
        }
    }
    std::string fiftyOne;
    for (int i = 0; i < 51; ++i) {
        fiftyOne += "s/";
    }
    wchar_t* entries[50] = {};
    EXPECT_EQ(-1, Split(Wide(fiftyOne).c_str(), entries, 50, L'/', 0));
    FreeSplitsOutput(entries, 50);

    // A segment keeps at most 517 characters.
    const std::wstring longSegment(600, L'x');
    ASSERT_EQ(1, Split(longSegment.c_str(), entries, 50, L'/', 0));
    EXPECT_EQ(517u, std::wstring(entries[0]).size());
    FreeSplitsOutput(entries, 1);
    EXPECT_EQ(0, Split(nullptr, entries, 50, L'/', 0));
    EXPECT_EQ(-1, Split(L"a", nullptr, 50, L'/', 0));
    FreeSplitsOutput(nullptr, 3);
}

TEST(PathText, TrailingSeparators) {
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"/opt/dir//", L"/opt/dir"}, {L"/opt/dir", L"/opt/dir"}, {L"/", L""}, {L"", L""}};
    for (const auto& [input, trimmed] : cases) {
        std::wstring path = input;
        EXPECT_EQ(0, TrimTailBackSlash(path));
        EXPECT_EQ(trimmed, path);
        path = input;
        EXPECT_EQ(1, AppendBackSlash(path));
        EXPECT_EQ(trimmed + L"/", path);
    }
}

TEST(PathText, AnsiToWide) {
    wchar_t* converted = TCHAR2WCHAR(
        "Gr\xC3\xBC\xC3\x9F"
        "e",
        0);
    ASSERT_NE(nullptr, converted);
    EXPECT_EQ(std::wstring(L"Grüße"), converted);
    EXPECT_EQ(L'\0', converted[6]);  // zero-filled length plus two
    delete[] converted;
    EXPECT_EQ(nullptr, TCHAR2WCHAR("bad \xFF", 0));
    EXPECT_EQ(nullptr, TCHAR2WCHAR(nullptr, 0));
    converted = TCHAR2WCHAR("", 130);
    ASSERT_NE(nullptr, converted);
    EXPECT_EQ(std::wstring(), converted);
    delete[] converted;
}

}  // namespace
