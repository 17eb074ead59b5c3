#include "orchel/product.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A component that counts its destructions, to check who destroys what.
class CountedComponent : public CComponentInfo {
public:
    CountedComponent(const wchar_t* shortName, int& destroyed) : destroyed_(destroyed) {
        ShortName = shortName;
    }
    ~CountedComponent() override { ++destroyed_; }

private:
    int& destroyed_;
};

CComponentInfo* MakeComponent(const wchar_t* shortName, const wchar_t* name) {
    auto* component = new CComponentInfo();
    component->ShortName = shortName;
    wcscpy(component->Name, name);
    return component;
}

struct TextFieldCase {
    const wchar_t* attribute;
    wchar_t* (*field)(CPatchInfo&);
    std::size_t capacity;
};

#define TEXT_FIELD(name, capacity)                                            \
    {                                                                         \
        L"" #name, [](CPatchInfo& p) -> wchar_t* { return p.name; }, capacity \
    }

// Every text attribute lands in its own field and is cut to capacity-1 characters.
TEST(PatchAttributes, TextFieldsStoreAndCut) {
    const std::vector<TextFieldCase> cases = {
        TEXT_FIELD(PatchProductName, 50),
        TEXT_FIELD(PatchMajorVersion, 10),
        TEXT_FIELD(PatchMinorVersion, 10),
        TEXT_FIELD(PatchServicePack, 10),
        TEXT_FIELD(PublishedDate, 50),
        TEXT_FIELD(Desc, 250),
        TEXT_FIELD(PatchDownloadedDateTime, 50),
        TEXT_FIELD(PatchInstalledDateTime, 50),
        TEXT_FIELD(Path, 260),
        TEXT_FIELD(Downloadedlocation, 260),
        TEXT_FIELD(Patch, 50),
        TEXT_FIELD(PatchURL, 2048),
        TEXT_FIELD(PatchType, 50),
        TEXT_FIELD(Supersede, 250),
        TEXT_FIELD(Prerequisite, 250),
        TEXT_FIELD(Checksum, 100),
        TEXT_FIELD(ErrorMessage, 260),
        TEXT_FIELD(UninstalledDateTime, 50),
    };
    for (const TextFieldCase& c : cases) {
        CPatchInfo patch;
        patch.SetPatchAttributeValue(c.attribute, L"value");
        EXPECT_EQ(std::wstring(L"value"), c.field(patch)) << c.attribute;

        const std::wstring longValue(c.capacity + 10, L'x');
        patch.SetPatchAttributeValue(c.attribute, longValue.c_str());
        EXPECT_EQ(longValue.substr(0, c.capacity - 1), c.field(patch)) << c.attribute;
    }
}

TEST(PatchAttributes, IdentifiersAppendUntilInitialize) {
    CPatchInfo patch;
    patch.SetPatchAttributeValue(L"Id", L"KB1");
    patch.SetPatchAttributeValue(L"Id", L"KB2");
    patch.SetPatchAttributeValue(L"PatchProductID", L"P1");
    patch.SetPatchAttributeValue(L"PatchProductID", L"P2");
    EXPECT_EQ(L"KB1KB2", patch.GetPatchID());
    EXPECT_EQ(L"P1P2", patch.GetPatchProductID());

    EXPECT_EQ(1, patch.Initialize());
    patch.SetPatchAttributeValue(L"Id", L"KB3");
    EXPECT_EQ(L"KB3", patch.GetPatchID());
    EXPECT_EQ(L"", patch.GetPatchProductID());
}

TEST(PatchAttributes, SizeTakesTheLeadingInteger) {
    const std::vector<std::pair<const wchar_t*, long>> cases = {
        {L"12", 12},
        {L"12abc", 12},
        {L"abc", 0},
        {L"", 0},
        {L"  \t42", 42},
        {L"-5", -5},
        {L"+7kb", 7},
        {L"- 5", 0},
        {L"99999999999", 2147483647L},
        {L"-99999999999", -2147483648L},
    };
    for (const auto& [value, expected] : cases) {
        CPatchInfo patch;
        patch.Size = 77;
        patch.SetPatchAttributeValue(L"Size", value);
        EXPECT_EQ(expected, patch.GetPatchSize()) << "value \"" << testing::PrintToString(value);
    }
}

struct IntegerRuleCase {
    const wchar_t* attribute;
    std::int32_t CPatchInfo::*field;
    bool acceptsMinusOne;  // statuses take -1, flags do not
};

TEST(PatchAttributes, FlagsAndStatusesAcceptOnlyTheirExactValues) {
    const std::vector<IntegerRuleCase> rules = {
        {L"RebootRequired", &CPatchInfo::RebootRequired, false},
        {L"AlreadyDownloaded", &CPatchInfo::AlreadyDownloaded, false},
        {L"AutoDownloadable", &CPatchInfo::AutoDownloadable, false},
        {L"AvailableStatus", &CPatchInfo::AvailableStatus, true},
        {L"DownloadStatus", &CPatchInfo::DownloadStatus, true},
        {L"InstallStatus", &CPatchInfo::InstallStatus, true},
        {L"UninstallStatus", &CPatchInfo::UninstallStatus, true},
    };
    for (const IntegerRuleCase& rule : rules) {
        CPatchInfo patch;
        patch.SetPatchAttributeValue(rule.attribute, L"1");
        EXPECT_EQ(1, patch.*rule.field) << rule.attribute;
        patch.SetPatchAttributeValue(rule.attribute, L"0");
        EXPECT_EQ(0, patch.*rule.field) << rule.attribute;
        patch.SetPatchAttributeValue(rule.attribute, L"1");
        // Anything but an exact accepted value keeps what was there.
        for (const wchar_t* rejected : {L"2", L"yes", L"", L" 1", L"1 ", L"01", L"+1"}) {
            patch.SetPatchAttributeValue(rule.attribute, rejected);
            EXPECT_EQ(1, patch.*rule.field) << rule.attribute << " set to " << rejected;
        }
        patch.SetPatchAttributeValue(rule.attribute, L"-1");
        EXPECT_EQ(rule.acceptsMinusOne ? -1 : 1, patch.*rule.field) << rule.attribute;
    }
}

TEST(PatchAttributes, UnknownNamesAndOtherLetterCasesChangeNothing) {
    CPatchInfo patch;
    patch.SetPatchAttributeValue(L"Checksum", L"abc");
    for (const wchar_t* name : {L"CheckSum", L"checksum", L"Checksum ", L"Components", L"", L"X"}) {
        patch.SetPatchAttributeValue(name, L"changed");
    }
    EXPECT_EQ(std::wstring(L"abc"), patch.GetPatchCheckSum());
    // Null arguments are ignored rather than crash the plug-in.
    patch.SetPatchAttributeValue(nullptr, L"x");
    patch.SetPatchAttributeValue(L"Checksum", nullptr);
    EXPECT_EQ(std::wstring(L"abc"), patch.GetPatchCheckSum());
}

TEST(PatchLifecycle, InitializeKeepsStatusesAndComponents) {
    CPatchInfo patch;
    patch.SetPatchAttributeValue(L"Desc", L"text");
    patch.SetPatchAttributeValue(L"Size", L"10");
    patch.SetPatchAttributeValue(L"RebootRequired", L"1");
    patch.SetPatchAttributeValue(L"DownloadStatus", L"-1");
    patch.SetPatchAttributeValue(L"InstallStatus", L"1");
    patch.AddComponent(MakeComponent(L"core", L"Core"));

    patch.Initialize();
    EXPECT_EQ(std::wstring(), patch.GetPatchDescription());
    EXPECT_EQ(0, patch.GetPatchSize());
    EXPECT_EQ(0, patch.RebootRequired);
    EXPECT_EQ(-1, patch.GetPatchDownloadStatus());
    EXPECT_EQ(1, patch.InstallStatus);
    EXPECT_EQ(1u, patch.m_mapComponents.size());
}

TEST(PatchComponents, AddReplacesSameShortNameAndDeleteRemoves) {
    int destroyed = 0;
    {
        CPatchInfo patch;
        patch.AddComponent(new CountedComponent(L"core", destroyed));
        patch.AddComponent(new CountedComponent(L"ui", destroyed));
        auto* replacement = new CountedComponent(L"core", destroyed);
        patch.AddComponent(replacement);
        EXPECT_EQ(1, destroyed);
        EXPECT_EQ(2u, patch.m_mapComponents.size());
        EXPECT_EQ(replacement, patch.m_mapComponents[L"core"]);

        // Deleting looks up by short name: the stored component goes, the probe stays ours.
        CComponentInfo probe;
        probe.ShortName = L"ui";
        patch.DeleteComponent(&probe);
        EXPECT_EQ(2, destroyed);
        probe.ShortName = L"missing";
        patch.DeleteComponent(&probe);
        patch.DeleteComponent(nullptr);
        patch.AddComponent(nullptr);
        EXPECT_EQ(1u, patch.m_mapComponents.size());
    }
    EXPECT_EQ(3, destroyed);  // the patch destroyed the last one
}

TEST(PatchCopy, CopyIsIndependentAndNormalisesAutoDownloadable) {
    auto source = std::make_unique<CPatchInfo>();
    source->SetPatchAttributeValue(L"Id", L"KB100");
    source->SetPatchAttributeValue(L"PatchProductID", L"REL1");
    source->SetPatchAttributeValue(L"Patch", L"kb100.exe");
    source->SetPatchAttributeValue(L"PatchURL", L"http://readme");
    source->SetPatchAttributeValue(L"Size", L"512");
    source->SetPatchAttributeValue(L"DownloadStatus", L"-1");
    source->SetPatchAttributeValue(L"AlreadyDownloaded", L"1");
    source->AutoDownloadable = 5;  // set directly by a plug-in
    source->AddComponent(MakeComponent(L"core", L"Core files"));

    CPatchInfo copy(*source);
    EXPECT_EQ(L"KB100", copy.GetPatchID());
    EXPECT_EQ(L"REL1", copy.GetPatchProductID());
    EXPECT_EQ(std::wstring(L"kb100.exe"), copy.GetPatchName());
    EXPECT_EQ(std::wstring(L"http://readme"), copy.GetPatchReadMeURL());
    EXPECT_EQ(512, copy.GetPatchSize());
    EXPECT_EQ(-1, copy.GetPatchDownloadStatus());
    EXPECT_EQ(1, copy.AlreadyDownloaded);
    EXPECT_EQ(1, copy.IsPatchAutoDownloadable());
    ASSERT_EQ(1u, copy.m_mapComponents.size());
    EXPECT_NE(source->m_mapComponents[L"core"], copy.m_mapComponents[L"core"]);

    // Destroying one side leaves the other's components intact.
    { CPatchInfo transient(*source); }
    EXPECT_EQ(std::wstring(L"Core files"), source->m_mapComponents[L"core"]->Name);
    source.reset();
    EXPECT_EQ(std::wstring(L"Core files"), copy.m_mapComponents[L"core"]->Name);

    CPatchInfo assigned;
    assigned.AddComponent(MakeComponent(L"old", L"Old"));
    assigned = copy;
    EXPECT_EQ(L"KB100", assigned.GetPatchID());
    EXPECT_EQ(1u, assigned.m_mapComponents.count(L"core"));
    EXPECT_EQ(0u, assigned.m_mapComponents.count(L"old"));
}

TEST(ComponentCopy, CopiesEveryFieldCut) {
    CComponentInfo source;
    source.ShortName = L"core";
    wcscpy(source.Name, L"Core");
    wcscpy(source.m_szFreeText, L"free");
    source.m_iFreeWord = 9;
    CComponentInfo copy(source);
    EXPECT_EQ(L"core", copy.GetComponentShtName());
    EXPECT_EQ(std::wstring(L"Core"), copy.Name);
    EXPECT_EQ(std::wstring(L"free"), copy.m_szFreeText);
    EXPECT_EQ(9, copy.m_iFreeWord);
}

TEST(ProductAttributes, SettersStoreCutOrAppend) {
    CProduct release;
    release.SetProductAttribute(L"Name", std::wstring(60, L'n').c_str());
    release.SetProductAttribute(L"MajorVersion", L"12345678901");
    release.SetProductAttribute(L"MinorVersion", L"2");
    release.SetProductAttribute(L"ServicePack", L"SP1");
    release.SetProductAttribute(L"ProductID", L"REL");
    release.SetProductAttribute(L"ProductID", L"-1");
    release.SetProductAttribute(L"name", L"ignored");
    release.SetProductAttribute(L"Other", L"ignored");
    EXPECT_EQ(std::wstring(49, L'n'), release.Name);
    EXPECT_EQ(std::wstring(L"123456789"), release.MajorVersion);
    EXPECT_EQ(std::wstring(L"2"), release.MinorVersion);
    EXPECT_EQ(std::wstring(L"SP1"), release.ServicePack);
    EXPECT_EQ(L"REL-1", release.GetProductID());
}

TEST(ProductList, DestroyingTheListDestroysReleasesAndPatches) {
    int destroyed = 0;
    auto* list = new CProductList();
    auto* release = new CProduct();
    release->SetProductAttribute(L"ProductID", L"REL1");
    auto* patch = new CPatchInfo();
    patch->SetPatchAttributeValue(L"Id", L"KB1");
    patch->AddComponent(new CountedComponent(L"core", destroyed));
    release->GetPatches()[patch->GetPatchID()] = patch;
    list->m_mapProducts[release->GetProductID()] = release;
    EXPECT_EQ(patch, list->m_mapProducts[L"REL1"]->GetPatches()[L"KB1"]);

    delete list;  // through the virtual destructor, as the commands do
    EXPECT_EQ(1, destroyed);
}

TEST(NameTables, ListNamesThenEndMarkerThenNull) {
    struct TableCase {
        const wchar_t* const* table;
        std::vector<std::wstring> names;
    };
    const std::vector<TableCase> tables = {
        {gszReleaseAttributes, {L"MajorVersion", L"MinorVersion", L"ServicePack"}},
        {gszPackageAttributes, {L"Id", L"PublishedDate"}},
        {gszPatchElements,
         {L"Desc",
          L"Path",
          L"Patch",
          L"PatchType",
          L"Prerequisite",
          L"Size",
          L"Checksum",
          L"Components",
          L"AvailableStatus",
          L"DownloadStatus",
          L"PatchDownloadedDateTime",
          L"Downloadedlocation",
          L"InstallStatus",
          L"Supersede",
          L"AutoDownloadable",
          L"ErrorMessage",
          L"PatchInstalledDateTime",
          L"UninstallStatus",
          L"UninstalledDateTime",
          L"PatchURL"}},
        {gszComponentAttributes, {L"Name", L"ShortName"}},
        {gszDownloadedOnAttributes, {L"Date", L"Time"}},
    };
    for (const TableCase& c : tables) {
        std::size_t index = 0;
        for (; index < c.names.size(); ++index) {
            ASSERT_NE(nullptr, c.table[index]);
            EXPECT_EQ(c.names[index], c.table[index]);
        }
        ASSERT_NE(nullptr, c.table[index]);
        EXPECT_EQ(std::wstring(), c.table[index]);
        for (++index; index < ORCHEL_NAME_TABLE_SIZE; ++index) {
            EXPECT_EQ(nullptr, c.table[index]);
        }
    }
}

}  // namespace
