#include "orchel/paths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "orchel/corvlog.h"
#include "orchel/error_registry.h"
#include "orchel/file_manager.h"
#include "orchel/globals.h"
#include "platform/xml_document.h"
#include "platform/xml_handle.h"
#include "platform/client_file.h"
#include "port/module.h"
#include "port/path.h"
#include "port/profile.h"
#include "port/registry.h"
#include "port/text.h"
#include "port/wide_format.h"

namespace {

using port::kPathSeparator;

constexpr std::size_t kPathCapacity = MAX_PATH;
constexpr std::size_t kProtocolCapacity = 10;
constexpr std::size_t kPathOnSourceCapacity = 520;
constexpr std::size_t kComponentCapacity = 25;
constexpr int kMaxSourceSegments = 50;
constexpr std::size_t kMaxSegmentLength = 517;
constexpr DWORD kOrvPathUnavailable = 0xFFFFFFFF;
constexpr DWORD kOrvScratchUnavailable = 1;

// Copies a composed path into a caller's buffer of MAX_PATH characters; refuses one that does
// not fit, since a cut path names another file.
int StorePath(wchar_t* buffer, std::wstring_view path) {
    if (path.size() >= kPathCapacity) {
        return 0;
    }
    port::BoundedCopy(buffer, kPathCapacity, path);
    return 1;
}

std::optional<std::wstring> OrvFolder() {
    wchar_t folder[kPathCapacity];
    if (GetORVPath(folder) == 0) {
        return std::nullopt;
    }
    return std::wstring(folder);
}

bool FileExists(const std::wstring& path) {
    return CFileManager::IsFileAlreadyExists(path) == FILE_EXISTS;
}

// A product name read no further than its field's width, even when a caller left it
// unterminated.
std::wstring_view ProductNameView(const wchar_t* name) {
    return std::wstring_view(name, port::BoundedLength(name, ORCHEL_PRODUCT_NAME_CAPACITY));
}

// A product name names a folder below the ORV folder: it must not climb out of it.
bool IsSafeFolderName(std::wstring_view name) {
    return name != L"." && name != L".." && name.find(kPathSeparator) == std::wstring_view::npos;
}

// ---- registry ----

using RegistryKey = port::ScopedRegistryKey;

// ---- settings file ----

std::optional<std::wstring> ExistingSettingsFile() {
    wchar_t settingsPath[kPathCapacity];
    if (GetORVSettingsINIPath(settingsPath) == 0) {
        return std::nullopt;
    }
    return std::wstring(settingsPath);
}

// ---- client file ----

using orchel::XmlAttribute;
using orchel::XmlDocument;
using orchel::XmlElement;

int ReadPathOnSource(void* protocolElement, wchar_t* out_szPathOnSource) {
    XmlElement pathElement(JobGetElementChildByName(protocolElement, L"pathonsource"));
    if (!pathElement) {
        return 0;
    }
    std::vector<wchar_t> value(kPathOnSourceCapacity);
    DWORD size = static_cast<DWORD>(kPathOnSourceCapacity);
    if (JobGetElementValue(pathElement.Get(), value.data(), &size) == 0) {
        return 0;
    }
    port::BoundedCopy(out_szPathOnSource, kPathCapacity, value.data());
    return 1;
}

// ---- composed files ----

// Appends ORV folder, product folder and file name to what the buffer already holds.
int AppendProductFile(wchar_t* buffer, const wchar_t* fileName) {
    const std::wstring_view product = ProductNameView(gszCurrentProduct);
    const std::optional<std::wstring> folder = OrvFolder();
    if (!folder || !IsSafeFolderName(product)) {
        return 0;
    }
    std::wstring path(buffer, port::BoundedLength(buffer, kPathCapacity - 1));
    path += *folder;
    path += product;
    path += kPathSeparator;
    path += fileName;
    return StorePath(buffer, path);
}

int PatchStatusFilePath(wchar_t* out_szPatchStatusXmlFilePath, const wchar_t* relativePath,
                        const wchar_t* missingMessage) {
    wchar_t programFiles[kPathCapacity];
    DWORD byteSize = sizeof programFiles;
    if (out_szPatchStatusXmlFilePath == nullptr ||
        GetProgramFilesDir(programFiles, &byteSize) != 1) {
        return 0;
    }
    const std::wstring path = std::wstring(programFiles) + relativePath;
    if (StorePath(out_szPatchStatusXmlFilePath, path) == 0) {
        return 0;
    }
    if (FileExists(path)) {
        return 1;
    }
    gCORVLog->WriteDebugMessages(ORV_LOG_SETTINGS, ORV_LOG_LEVEL_MILESTONE, missingMessage);
    return 0;
}

bool IsDirectoryTraversal(std::wstring_view segment) {
    return segment == L"." || segment == L"..";
}

}  // namespace

// ---- Root folders ----

int GetORVPath(wchar_t* out_szORVPath) {
    std::unique_ptr<wchar_t[]> scratch;
    if (out_szORVPath == nullptr) {
        scratch.reset(new (std::nothrow) wchar_t[kPathCapacity]);
        if (!scratch) {
            SetLastOrchelError(kOrvScratchUnavailable);
            return 0;
        }
        out_szORVPath = scratch.get();
    }
    wchar_t executable[kPathCapacity];
    const DWORD length = port::GetModuleFileNameW(nullptr, executable, kPathCapacity);
    // A path cut to the buffer would give the wrong folder: that counts as unavailable.
    if (length == 0 || length >= kPathCapacity) {
        SetLastOrchelError(kOrvPathUnavailable);
        return 0;
    }
    const std::wstring_view path(executable, length);
    return StorePath(out_szORVPath, path.substr(0, path.rfind(kPathSeparator) + 1));
}

int GetORVSettingsINIPath(wchar_t* out_szINIFilePath) {
    if (out_szINIFilePath == nullptr) {
        return 0;
    }
    const std::optional<std::wstring> folder = OrvFolder();
    if (!folder) {
        return 0;
    }
    const std::wstring path = *folder + ORCHEL_SETTINGS_FILE_NAME;
    if (StorePath(out_szINIFilePath, path) == 0) {
        return 0;
    }
    return FileExists(path) ? 1 : 0;
}

int GetProtocolSelected(wchar_t* out_szProtocol) {
    if (out_szProtocol == nullptr) {
        return 0;
    }
    const std::optional<std::wstring> settings = ExistingSettingsFile();
    if (!settings) {
        return 0;
    }
    port::GetPrivateProfileStringW(L"DownloadServer", L"Protocol", L"", out_szProtocol,
                                   kProtocolCapacity, settings->c_str());
    return 1;
}

int GetPatchesRootPath(wchar_t* out_pszPatchesRootPath) {
    if (out_pszPatchesRootPath == nullptr) {
        return 0;
    }
    // 1. The registry value (an unopenable key goes on with an empty value).
    wchar_t value[kPathCapacity] = L"";
    {
        RegistryKey key(ORCHEL_PRODUCT_REGISTRY_KEY);
        if (key.IsOpen()) {
            gCORVLog->WriteDebugMessages(
                ORV_LOG_CHECKUPDATE, ORV_LOG_LEVEL_DETAIL,
                L"Regkey open SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor Key success");
            if (!key.ReadText(L"PATCHESROOT", value, sizeof value)) {
                gCORVLog->WriteDebugMessages(ORV_LOG_CHECKUPDATE, ORV_LOG_LEVEL_DETAIL,
                                             L"PATCHESROOT is missing from Registry");
                return 0;
            }
        }
    }
    // 2. It must name a folder by a path with a separator.
    const std::wstring_view path(value);
    const std::size_t lastSeparator = path.rfind(kPathSeparator);
    if (lastSeparator == std::wstring_view::npos) {
        gCORVLog->WriteDebugMessages(ORV_LOG_SETTINGS, ORV_LOG_LEVEL_FAILURE,
                                     L"FAILED: Invalid PATCHESROOT path [%s] found", value);
        return 0;
    }
    // 3. A trailing "kvba" folder is dropped; any other value gets a separator appended.
    std::wstring root;
    if (port::EqualsIgnoreCase(path.substr(lastSeparator + 1), L"kvba")) {
        root = path.substr(0, lastSeparator + 1);
    } else {
        root = std::wstring(path) + kPathSeparator;
    }
    // 4. Store and report it.
    if (StorePath(out_pszPatchesRootPath, root) == 0) {
        return 0;
    }
    gCORVLog->WriteDebugMessages(ORV_LOG_CHECKUPDATE, ORV_LOG_LEVEL_DETAIL,
                                 L"Registry value for patchesroot is: %s", out_pszPatchesRootPath);
    return 1;
}

int GetPathOnSource(wchar_t* out_szPathOnSource) {
    if (out_szPathOnSource == nullptr) {
        return 0;
    }
    // 1. The client file in the ORV folder.
    const std::optional<std::wstring> folder = OrvFolder();
    if (!folder) {
        return 0;
    }
    const std::wstring clientFile = *folder + ORCHEL_CLIENT_FILE_NAME;
    if (!FileExists(clientFile)) {
        return 0;
    }
    // 2. The protocol (an unreadable setting leaves it empty).
    wchar_t protocol[kProtocolCapacity] = L"";
    GetProtocolSelected(protocol);
    // 3. The product's downloadinfo element.
    XmlDocument document(JobCreateDocumentFromXML(clientFile.c_str()));
    if (!document) {
        return 0;
    }
    XmlElement product = orchel::FindProductElement(document.Get());
    if (!product) {
        return 0;
    }
    XmlElement downloadInfo(JobGetElementChildByName(product.Get(), L"downloadinfo"));
    if (!downloadInfo) {
        return 0;
    }
    // 4. No protocol elements at all: an empty path.
    if (JobGetElementChildCount(downloadInfo.Get()) <= 0) {
        out_szPathOnSource[0] = L'\0';
        return 1;
    }
    // 5. The protocol element of the selected protocol.
    XmlElement protocolElement = orchel::FindProtocolElement(downloadInfo.Get(), protocol);
    if (!protocolElement) {
        return 0;
    }
    // 6. Its pathonsource text.
    return ReadPathOnSource(protocolElement.Get(), out_szPathOnSource);
}

int GetProgramFilesDir(wchar_t* lpPath, DWORD* lpdwSize) {
    if (lpPath == nullptr || lpdwSize == nullptr) {
        return 0;
    }
    lpPath[0] = L'\0';
    lpPath[1] = L'\0';
    // The caller's byte count may not exceed the buffer the value is read into.
    wchar_t value[kPathCapacity] = L"";
    *lpdwSize = std::min<DWORD>(*lpdwSize, sizeof value);
    RegistryKey key(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    if (!key.IsOpen() || !key.ReadText(L"ProgramFilesDir", value, *lpdwSize, lpdwSize)) {
        return 0;
    }
    std::wstring folder(value);
    if (folder.empty()) {
        return 0;
    }
    AppendBackSlash(folder);
    return StorePath(lpPath, folder);
}

// ---- Files ----

int GetEncryptedLocalAvailableXMLFilePath(wchar_t* out_szAvailableXMLPath) {
    if (out_szAvailableXMLPath == nullptr) {
        return 0;
    }
    // 1. The patches root.
    wchar_t root[kPathCapacity];
    if (GetPatchesRootPath(root) == 0) {
        return 0;
    }
    gCORVLog->WriteDebugMessages(ORV_LOG_CHECKUPDATE, ORV_LOG_LEVEL_DETAIL,
                                 L"Patches Root Path: %s", root);
    // 2. The path on source.
    wchar_t pathOnSource[kPathCapacity];
    if (GetPathOnSource(pathOnSource) == 0) {
        return 0;
    }
    gCORVLog->WriteDebugMessages(ORV_LOG_CHECKUPDATE, ORV_LOG_LEVEL_DETAIL, L"Path on source: %s",
                                 pathOnSource);
    // 3. Its segments; too many, or a single one, is no catalogue folder.
    wchar_t* segments[kMaxSourceSegments] = {};
    const int count = Split(pathOnSource, segments, kMaxSourceSegments, L'/', 0);
    struct SegmentsRelease {
        wchar_t** entries;
        ~SegmentsRelease() { FreeSplitsOutput(entries, kMaxSourceSegments); }
    } release{segments};
    if (count == -1 || count == 1) {
        return 0;
    }
    // 4. The root, then each segment as a folder. A segment that climbs out of the patches
    //    root is refused.
    std::wstring folder(root);
    for (int index = 0; index < count; ++index) {
        if (IsDirectoryTraversal(segments[index])) {
            return 0;
        }
        folder += segments[index];
        folder += kPathSeparator;
    }
    return StorePath(out_szAvailableXMLPath, folder);
}

int GetAvailablePatchesInfoXmlFilePath(wchar_t* out_szAvailablePatchesInfoXmlFilePath,
                                       const wchar_t* in_szProductID) {
    if (out_szAvailablePatchesInfoXmlFilePath == nullptr || in_szProductID == nullptr ||
        !port::EqualsIgnoreCase(ProductNameView(in_szProductID),
                                ProductNameView(gszCurrentProduct))) {
        return 0;
    }
    return AppendProductFile(out_szAvailablePatchesInfoXmlFilePath,
                             ORCHEL_AVAILABLE_PATCHES_FILE_NAME);
}

int GetDownloadedPatchesInfoXmlFilePath(wchar_t* out_szDownloadedPatchesInfoXmlFilePath,
                                        const wchar_t* in_szProductID) {
    if (out_szDownloadedPatchesInfoXmlFilePath == nullptr || in_szProductID == nullptr) {
        return 0;
    }
    const std::wstring_view product = ProductNameView(in_szProductID);
    const std::wstring_view current = ProductNameView(gszCurrentProduct);
    const auto validLength = [](std::wstring_view name) {
        return !name.empty() && name.size() < ORCHEL_PRODUCT_NAME_CAPACITY;
    };
    if (!validLength(product) || !validLength(current) ||
        !port::EqualsIgnoreCase(product, current)) {
        return 0;
    }
    return AppendProductFile(out_szDownloadedPatchesInfoXmlFilePath,
                             ORCHEL_DOWNLOADED_PATCHES_FILE_NAME);
}

int GetPatchStatusXmlFilePathForVeltrane(wchar_t* out_szPatchStatusXmlFilePath) {
    return PatchStatusFilePath(out_szPatchStatusXmlFilePath,
                               L"Kelm/SharedComponents/ORV/PatchStatus.xml",
                               L"FAILED: Patch Status Xml File Not Found");
}

int GetPatchStatusXmlFilePathForRemedor(wchar_t* out_szPatchStatusXmlFilePath) {
    return PatchStatusFilePath(out_szPatchStatusXmlFilePath,
                               L"Kelm/SharedComponents/ORV/RDPatchStatus.xml",
                               L"FAILED: RDPatchStatus Xml File Not Found");
}

// ---- Environment ----

int IsKVBAInstalledAsStagingServer() {
    RegistryKey key(ORCHEL_PRODUCT_REGISTRY_KEY);
    wchar_t component[kComponentCapacity] = L"";
    if (!key.IsOpen() || !key.ReadText(L"Component", component, sizeof component)) {
        return 0;
    }
    return std::wstring_view(component) != L"Client" ? 1 : 0;
}

void InitLogging() {}

// ---- Text helpers ----

int Split(const wchar_t* in_szInput, wchar_t** pout_szOutPut, int in_MaxTokenCount,
          wchar_t in_szSeparator, int bIgnoreSpace) {
    if (in_szInput == nullptr) {
        return 0;
    }
    const int capacity = pout_szOutPut == nullptr ? 0 : std::max(in_MaxTokenCount, 0);
    int stored = 0;
    std::wstring segment;
    // Ends the current segment; false when it cannot be stored.
    auto finishSegment = [&]() -> int {
        if (segment.empty()) {
            return 0;
        }
        if (stored >= capacity) {
            return -1;
        }
        segment.resize(std::min(segment.size(), kMaxSegmentLength));
        auto* entry = static_cast<wchar_t*>(std::malloc((segment.size() + 1) * sizeof(wchar_t)));
        if (entry == nullptr) {
            return -2;
        }
        std::wmemcpy(entry, segment.c_str(), segment.size() + 1);
        pout_szOutPut[stored++] = entry;
        segment.clear();
        return 0;
    };
    for (const wchar_t* character = in_szInput;; ++character) {
        if (*character == L'\0' || *character == in_szSeparator) {
            if (const int failure = finishSegment(); failure != 0) {
                return failure;
            }
            if (*character == L'\0') {
                return stored;
            }
        } else if (!(bIgnoreSpace != 0 && *character == L' ')) {
            segment.push_back(*character);
        }
    }
}

void FreeSplitsOutput(wchar_t** out_szOutPut, int iSize) {
    if (out_szOutPut == nullptr) {
        return;
    }
    for (int index = 0; index < iSize; ++index) {
        std::free(out_szOutPut[index]);
        out_szOutPut[index] = nullptr;
    }
}

int TrimTailBackSlash(std::wstring& sPath) {
    while (!sPath.empty() && sPath.back() == kPathSeparator) {
        sPath.pop_back();
    }
    return 0;
}

int AppendBackSlash(std::wstring& sPath) {
    TrimTailBackSlash(sPath);
    sPath += kPathSeparator;
    return 1;
}

wchar_t* TCHAR2WCHAR(const char* in_pszRequiredValue, DWORD /*in_iBufSize*/) {
    if (in_pszRequiredValue == nullptr) {
        return nullptr;
    }
    std::wstring converted;
    if (!port::Utf8ToWide(in_pszRequiredValue, converted)) {
        return nullptr;
    }
    auto* result = new (std::nothrow) wchar_t[converted.size() + 2]();
    if (result != nullptr) {
        std::wmemcpy(result, converted.data(), converted.size());
    }
    return result;
}
