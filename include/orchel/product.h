// The product model shared with the product plug-ins: a product list holds the releases of
// the current product, a release its patches, a patch its components. The plug-ins reach the
// fields directly, so field order, widths and virtual operations are part of the interface.
//
// A wide text[N] field holds at most N-1 characters and a terminating NUL; the setters cut a
// longer value silently. Maps are ordered by their wide-string keys (code-unit order,
// case-sensitive) and hold raw pointers.
#ifndef ORCHEL_PRODUCT_H
#define ORCHEL_PRODUCT_H

#include <cstdint>
#include <map>
#include <string>

#include "orchel/wintypes.h"

class CComponentInfo;
class CPatchInfo;
class CProduct;

// Capacities of the wide text fields, in characters including the NUL.
enum : std::size_t {
    ORCHEL_NAME_CAPACITY = 50,
    ORCHEL_VERSION_CAPACITY = 10,
    ORCHEL_TEXT_CAPACITY = 250,
    ORCHEL_PATH_CAPACITY = 260,
    ORCHEL_CHECKSUM_CAPACITY = 100,
    ORCHEL_URL_CAPACITY = 2048,
};

// Patch statuses: done, not done, undetermined (the last comes only from the XML files).
enum : std::int32_t {
    ORCHEL_STATUS_DONE = 1,
    ORCHEL_STATUS_NOT_DONE = 0,
    ORCHEL_STATUS_UNDETERMINED = -1,
};

// One component of a patch. The plug-ins fill the fields; the library only copies components.
class ORCHEL_API CComponentInfo {
public:
    CComponentInfo();
    CComponentInfo(const CComponentInfo& in_Source);
    CComponentInfo& operator=(const CComponentInfo& in_Source);
    virtual ~CComponentInfo();

    std::wstring GetComponentShtName() const;

    wchar_t Name[ORCHEL_NAME_CAPACITY];
    std::wstring ShortName;                      // key in the patch's component map
    wchar_t m_szFreeText[ORCHEL_TEXT_CAPACITY];  // the plug-ins' own; never read here
    std::int32_t m_iFreeWord;                    // the plug-ins' own; never read here
};

// One patch. Fields are named after the XML attributes that set them.
class ORCHEL_API CPatchInfo {
public:
    typedef std::map<std::wstring, CComponentInfo*> ComponentMap;

    // A new patch is empty, with every flag 0 and every status 0 (not done).
    CPatchInfo();
    // A fully independent copy: components are copied, AutoDownloadable becomes 0 or 1.
    CPatchInfo(const CPatchInfo& in_Source);
    CPatchInfo& operator=(const CPatchInfo& in_Source);
    // Destroys every component.
    virtual ~CPatchInfo();

    // Empties every text, sets Size and the three flags to 0; statuses and components stay.
    int Initialize();

    // Sets the field named by the attribute (exact, case-sensitive); any other name is ignored.
    void SetPatchAttributeValue(const wchar_t* in_szAttributeName,
                                const wchar_t* in_szAttributeValue);

    // Takes ownership; a component with the same short name is destroyed and replaced.
    void AddComponent(CComponentInfo* in_pComponentInfo);
    // Destroys the component stored under the given component's short name, if any.
    void DeleteComponent(CComponentInfo* in_pComponentInfo);

    std::wstring GetPatchProductID() const { return PatchProductID; }
    std::wstring GetPatchID() const { return Id; }
    wchar_t* GetPatchName() { return Patch; }
    wchar_t* GetPatchPath() { return Path; }
    wchar_t* GetPatchType() { return PatchType; }
    long GetPatchSize() const { return Size; }
    wchar_t* GetPatchDate() { return PublishedDate; }
    wchar_t* GetPatchDownloadedDateTime() { return PatchDownloadedDateTime; }
    wchar_t* GetDownloadedLocation() { return Downloadedlocation; }
    wchar_t* GetPatchDependency() { return Prerequisite; }
    wchar_t* GetPatchDescription() { return Desc; }
    wchar_t* GetPatchCheckSum() { return Checksum; }
    wchar_t* GetPatchSupersede() { return Supersede; }
    wchar_t* GetPatchReadMeURL() { return PatchURL; }
    int IsPatchAutoDownloadable() const { return AutoDownloadable; }
    int GetPatchDownloadStatus() const { return DownloadStatus; }
    wchar_t* GetPatchErrorMessage() { return ErrorMessage; }

    std::wstring PatchProductID;
    wchar_t PatchProductName[ORCHEL_NAME_CAPACITY];
    wchar_t PatchMajorVersion[ORCHEL_VERSION_CAPACITY];
    wchar_t PatchMinorVersion[ORCHEL_VERSION_CAPACITY];
    wchar_t PatchServicePack[ORCHEL_VERSION_CAPACITY];
    std::wstring Id;  // key in the release's patch map
    wchar_t Patch[ORCHEL_NAME_CAPACITY];
    wchar_t Path[ORCHEL_PATH_CAPACITY];
    wchar_t PatchType[ORCHEL_NAME_CAPACITY];
    std::int32_t Size;  // kilobytes
    std::int32_t RebootRequired;
    wchar_t PublishedDate[ORCHEL_NAME_CAPACITY];
    wchar_t PatchDownloadedDateTime[ORCHEL_NAME_CAPACITY];
    wchar_t PatchInstalledDateTime[ORCHEL_NAME_CAPACITY];
    wchar_t UninstalledDateTime[ORCHEL_NAME_CAPACITY];
    wchar_t Downloadedlocation[ORCHEL_PATH_CAPACITY];
    wchar_t Prerequisite[ORCHEL_TEXT_CAPACITY];
    wchar_t Desc[ORCHEL_TEXT_CAPACITY];
    wchar_t Checksum[ORCHEL_CHECKSUM_CAPACITY];
    wchar_t Supersede[ORCHEL_TEXT_CAPACITY];
    wchar_t PatchURL[ORCHEL_URL_CAPACITY];
    std::int32_t AutoDownloadable;
    std::int32_t AlreadyDownloaded;
    std::int32_t AvailableStatus;
    std::int32_t DownloadStatus;
    std::int32_t InstallStatus;
    std::int32_t UninstallStatus;
    wchar_t ErrorMessage[ORCHEL_PATH_CAPACITY];
    ComponentMap m_mapComponents;

private:
    void CopyFrom(const CPatchInfo& in_Source);
    void DestroyComponents();
};

// One release of the current product. It owns its patches: they are destroyed with it.
class ORCHEL_API CProduct {
public:
    typedef std::map<std::wstring, CPatchInfo*> PatchMap;

    CProduct();
    ~CProduct();
    CProduct(const CProduct&) = delete;
    CProduct& operator=(const CProduct&) = delete;

    // Sets Name, MajorVersion, MinorVersion, ServicePack (cut to capacity) or appends to
    // ProductID; any other name (compared exactly) is ignored.
    void SetProductAttribute(const wchar_t* in_szProductAttributeName,
                             const wchar_t* in_szProductAttributeValue);
    std::wstring GetProductID() const { return ProductID; }
    PatchMap& GetPatches() { return m_mapPatches; }

    std::uint32_t m_uLeadingWord;  // the plug-ins' own; never read here
    wchar_t Name[ORCHEL_NAME_CAPACITY];
    std::wstring ProductID;                      // key in the product list
    wchar_t m_szFreeText[ORCHEL_TEXT_CAPACITY];  // the plug-ins' own; never read here
    wchar_t MajorVersion[ORCHEL_VERSION_CAPACITY];
    wchar_t MinorVersion[ORCHEL_VERSION_CAPACITY];
    wchar_t ServicePack[ORCHEL_VERSION_CAPACITY];
    PatchMap m_mapPatches;
    // Set by the plug-ins; a release whose value is 0 is left out of the install-request mail.
    std::int32_t m_iTrailingWord;
};

// The releases of the current product, keyed by ProductID. It owns its releases; the library
// deletes a list only through this virtual destructor.
class ORCHEL_API CProductList {
public:
    typedef std::map<std::wstring, CProduct*> ProductMap;

    CProductList() = default;
    virtual ~CProductList();
    CProductList(const CProductList&) = delete;
    CProductList& operator=(const CProductList&) = delete;

    ProductMap m_mapProducts;
};

// The element and attribute names of the patch XML files, for the plug-ins. Each table lists
// its names, then an empty string marking the end; the remaining entries are null.
enum : std::size_t { ORCHEL_NAME_TABLE_SIZE = 260 };
extern ORCHEL_API const wchar_t* const gszReleaseAttributes[ORCHEL_NAME_TABLE_SIZE];
extern ORCHEL_API const wchar_t* const gszPackageAttributes[ORCHEL_NAME_TABLE_SIZE];
extern ORCHEL_API const wchar_t* const gszPatchElements[ORCHEL_NAME_TABLE_SIZE];
extern ORCHEL_API const wchar_t* const gszComponentAttributes[ORCHEL_NAME_TABLE_SIZE];
extern ORCHEL_API const wchar_t* const gszDownloadedOnAttributes[ORCHEL_NAME_TABLE_SIZE];

#endif  // ORCHEL_PRODUCT_H
