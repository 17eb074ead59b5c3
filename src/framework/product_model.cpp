#include <cwchar>
#include <string_view>

#include "orchel/product.h"
#include "port/text.h"

namespace {

template <std::size_t Capacity>
void StoreText(wchar_t (&field)[Capacity], const wchar_t* value) {
    port::BoundedCopy(field, Capacity, value);
}

template <std::size_t Capacity>
void ClearText(wchar_t (&field)[Capacity]) {
    field[0] = L'\0';
}

void AppendText(std::wstring& field, const wchar_t* value) {
    if (value != nullptr) {
        field.append(value);
    }
}

bool Is(const wchar_t* value, std::wstring_view expected) {
    return value != nullptr && std::wstring_view(value) == expected;
}

// Flags take exactly "1" or "0"; anything else leaves the field as it was.
void StoreFlag(std::int32_t& field, const wchar_t* value) {
    if (Is(value, L"1")) {
        field = 1;
    } else if (Is(value, L"0")) {
        field = 0;
    }
}

// Statuses take exactly "1", "0" or "-1"; anything else leaves the field as it was.
void StoreStatus(std::int32_t& field, const wchar_t* value) {
    if (Is(value, L"-1")) {
        field = ORCHEL_STATUS_UNDETERMINED;
    } else {
        StoreFlag(field, value);
    }
}

}  // namespace

// ---- CComponentInfo ----

CComponentInfo::CComponentInfo() : m_iFreeWord(0) {
    ClearText(Name);
    ClearText(m_szFreeText);
}

CComponentInfo::CComponentInfo(const CComponentInfo& in_Source)
    : ShortName(in_Source.ShortName), m_iFreeWord(in_Source.m_iFreeWord) {
    StoreText(Name, in_Source.Name);
    StoreText(m_szFreeText, in_Source.m_szFreeText);
}

CComponentInfo& CComponentInfo::operator=(const CComponentInfo& in_Source) {
    if (this != &in_Source) {
        StoreText(Name, in_Source.Name);
        ShortName = in_Source.ShortName;
        StoreText(m_szFreeText, in_Source.m_szFreeText);
        m_iFreeWord = in_Source.m_iFreeWord;
    }
    return *this;
}

CComponentInfo::~CComponentInfo() = default;

std::wstring CComponentInfo::GetComponentShtName() const {
    return ShortName;
}

// ---- CPatchInfo ----

CPatchInfo::CPatchInfo()
    : AvailableStatus(ORCHEL_STATUS_NOT_DONE),
      DownloadStatus(ORCHEL_STATUS_NOT_DONE),
      InstallStatus(ORCHEL_STATUS_NOT_DONE),
      UninstallStatus(ORCHEL_STATUS_NOT_DONE) {
    Initialize();
}

CPatchInfo::CPatchInfo(const CPatchInfo& in_Source) : CPatchInfo() {
    CopyFrom(in_Source);
}

CPatchInfo& CPatchInfo::operator=(const CPatchInfo& in_Source) {
    if (this != &in_Source) {
        DestroyComponents();
        Initialize();
        CopyFrom(in_Source);
    }
    return *this;
}

CPatchInfo::~CPatchInfo() {
    DestroyComponents();
}

int CPatchInfo::Initialize() {
    PatchProductID.clear();
    Id.clear();
    for (wchar_t* field : {PatchProductName, PatchMajorVersion, PatchMinorVersion, PatchServicePack,
                           Patch, Path, PatchType, PublishedDate, PatchDownloadedDateTime,
                           PatchInstalledDateTime, UninstalledDateTime, Downloadedlocation,
                           Prerequisite, Desc, Checksum, Supersede, PatchURL, ErrorMessage}) {
        field[0] = L'\0';
    }
    Size = 0;
    RebootRequired = 0;
    AutoDownloadable = 0;
    AlreadyDownloaded = 0;
    return 1;
}

void CPatchInfo::CopyFrom(const CPatchInfo& in_Source) {
    PatchProductID = in_Source.PatchProductID;
    StoreText(PatchProductName, in_Source.PatchProductName);
    StoreText(PatchMajorVersion, in_Source.PatchMajorVersion);
    StoreText(PatchMinorVersion, in_Source.PatchMinorVersion);
    StoreText(PatchServicePack, in_Source.PatchServicePack);
    Id = in_Source.Id;
    StoreText(Patch, in_Source.Patch);
    StoreText(Path, in_Source.Path);
    StoreText(PatchType, in_Source.PatchType);
    Size = in_Source.Size;
    RebootRequired = in_Source.RebootRequired;
    StoreText(PublishedDate, in_Source.PublishedDate);
    StoreText(PatchDownloadedDateTime, in_Source.PatchDownloadedDateTime);
    StoreText(PatchInstalledDateTime, in_Source.PatchInstalledDateTime);
    StoreText(UninstalledDateTime, in_Source.UninstalledDateTime);
    StoreText(Downloadedlocation, in_Source.Downloadedlocation);
    StoreText(Prerequisite, in_Source.Prerequisite);
    StoreText(Desc, in_Source.Desc);
    StoreText(Checksum, in_Source.Checksum);
    StoreText(Supersede, in_Source.Supersede);
    StoreText(PatchURL, in_Source.PatchURL);
    AutoDownloadable = in_Source.AutoDownloadable != 0 ? 1 : 0;
    AlreadyDownloaded = in_Source.AlreadyDownloaded;
    AvailableStatus = in_Source.AvailableStatus;
    DownloadStatus = in_Source.DownloadStatus;
    InstallStatus = in_Source.InstallStatus;
    UninstallStatus = in_Source.UninstallStatus;
    StoreText(ErrorMessage, in_Source.ErrorMessage);
    for (const auto& [shortName, component] : in_Source.m_mapComponents) {
        if (component != nullptr) {
            AddComponent(new CComponentInfo(*component));
        }
    }
}

void CPatchInfo::DestroyComponents() {
    for (auto& [shortName, component] : m_mapComponents) {
        delete component;
    }
    m_mapComponents.clear();
}

void CPatchInfo::AddComponent(CComponentInfo* in_pComponentInfo) {
    if (in_pComponentInfo == nullptr) {
        return;
    }
    auto [entry, inserted] =
        m_mapComponents.try_emplace(in_pComponentInfo->GetComponentShtName(), in_pComponentInfo);
    if (!inserted && entry->second != in_pComponentInfo) {
        delete entry->second;
        entry->second = in_pComponentInfo;
    }
}

void CPatchInfo::DeleteComponent(CComponentInfo* in_pComponentInfo) {
    if (in_pComponentInfo == nullptr) {
        return;
    }
    const auto entry = m_mapComponents.find(in_pComponentInfo->GetComponentShtName());
    if (entry != m_mapComponents.end()) {
        CComponentInfo* stored = entry->second;
        m_mapComponents.erase(entry);
        delete stored;
    }
}

void CPatchInfo::SetPatchAttributeValue(const wchar_t* in_szAttributeName,
                                        const wchar_t* in_szAttributeValue) {
    if (in_szAttributeName == nullptr || in_szAttributeValue == nullptr) {
        return;
    }
    const std::wstring_view name(in_szAttributeName);
    const wchar_t* value = in_szAttributeValue;
    if (name == L"PatchProductID") {
        AppendText(PatchProductID, value);
    } else if (name == L"PatchProductName") {
        StoreText(PatchProductName, value);
    } else if (name == L"PatchMajorVersion") {
        StoreText(PatchMajorVersion, value);
    } else if (name == L"PatchMinorVersion") {
        StoreText(PatchMinorVersion, value);
    } else if (name == L"PatchServicePack") {
        StoreText(PatchServicePack, value);
    } else if (name == L"Id") {
        AppendText(Id, value);
    } else if (name == L"PublishedDate") {
        StoreText(PublishedDate, value);
    } else if (name == L"Desc") {
        StoreText(Desc, value);
    } else if (name == L"PatchDownloadedDateTime") {
        StoreText(PatchDownloadedDateTime, value);
    } else if (name == L"PatchInstalledDateTime") {
        StoreText(PatchInstalledDateTime, value);
    } else if (name == L"Path") {
        StoreText(Path, value);
    } else if (name == L"Downloadedlocation") {
        StoreText(Downloadedlocation, value);
    } else if (name == L"Patch") {
        StoreText(Patch, value);
    } else if (name == L"PatchURL") {
        StoreText(PatchURL, value);
    } else if (name == L"PatchType") {
        StoreText(PatchType, value);
    } else if (name == L"RebootRequired") {
        StoreFlag(RebootRequired, value);
    } else if (name == L"AlreadyDownloaded") {
        StoreFlag(AlreadyDownloaded, value);
    } else if (name == L"Supersede") {
        StoreText(Supersede, value);
    } else if (name == L"Prerequisite") {
        StoreText(Prerequisite, value);
    } else if (name == L"Size") {
        Size = port::WideToInt(value);
    } else if (name == L"Checksum") {
        StoreText(Checksum, value);
    } else if (name == L"ErrorMessage") {
        StoreText(ErrorMessage, value);
    } else if (name == L"AutoDownloadable") {
        StoreFlag(AutoDownloadable, value);
    } else if (name == L"AvailableStatus") {
        StoreStatus(AvailableStatus, value);
    } else if (name == L"DownloadStatus") {
        StoreStatus(DownloadStatus, value);
    } else if (name == L"InstallStatus") {
        StoreStatus(InstallStatus, value);
    } else if (name == L"UninstallStatus") {
        StoreStatus(UninstallStatus, value);
    } else if (name == L"UninstalledDateTime") {
        StoreText(UninstalledDateTime, value);
    }
}

// ---- CProduct ----

CProduct::CProduct() : m_uLeadingWord(0), m_iTrailingWord(0) {
    for (wchar_t* field : {Name, m_szFreeText, MajorVersion, MinorVersion, ServicePack}) {
        field[0] = L'\0';
    }
}

CProduct::~CProduct() {
    for (auto& [id, patch] : m_mapPatches) {
        delete patch;
    }
}

void CProduct::SetProductAttribute(const wchar_t* in_szProductAttributeName,
                                   const wchar_t* in_szProductAttributeValue) {
    if (in_szProductAttributeName == nullptr || in_szProductAttributeValue == nullptr) {
        return;
    }
    const std::wstring_view name(in_szProductAttributeName);
    if (name == L"Name") {
        StoreText(Name, in_szProductAttributeValue);
    } else if (name == L"MajorVersion") {
        StoreText(MajorVersion, in_szProductAttributeValue);
    } else if (name == L"MinorVersion") {
        StoreText(MinorVersion, in_szProductAttributeValue);
    } else if (name == L"ProductID") {
        AppendText(ProductID, in_szProductAttributeValue);
    } else if (name == L"ServicePack") {
        StoreText(ServicePack, in_szProductAttributeValue);
    }
}

// ---- CProductList ----

CProductList::~CProductList() {
    for (auto& [id, product] : m_mapProducts) {
        delete product;
    }
}
