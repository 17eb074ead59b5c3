#include "orchel/product.h"

// Names first, then the empty end marker; the remaining entries are null.
const wchar_t* const gszReleaseAttributes[ORCHEL_NAME_TABLE_SIZE] = {
    L"MajorVersion", L"MinorVersion", L"ServicePack", L""};

const wchar_t* const gszPackageAttributes[ORCHEL_NAME_TABLE_SIZE] = {L"Id", L"PublishedDate", L""};

const wchar_t* const gszPatchElements[ORCHEL_NAME_TABLE_SIZE] = {L"Desc",
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
                                                                 L"PatchURL",
                                                                 L""};

const wchar_t* const gszComponentAttributes[ORCHEL_NAME_TABLE_SIZE] = {L"Name", L"ShortName", L""};

const wchar_t* const gszDownloadedOnAttributes[ORCHEL_NAME_TABLE_SIZE] = {L"Date", L"Time", L""};
