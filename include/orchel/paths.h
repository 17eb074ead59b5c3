// Where every file of the library lives, and the small text helpers the path code shares.
//
// Three roots carry the layout: the ORV folder (the folder of the service's executable, always
// with a trailing separator), the patches root (registry value PATCHESROOT) and the Program
// Files folder (registry value ProgramFilesDir). Paths use '/' as separator; a function that
// fills a path buffer writes at most MAX_PATH-1 characters. A composed path that would not fit
// is refused (the function fails) rather than cut, since a cut path names another file.
//
// Nothing is cached: every call reads the registry, the settings file ORVSettings.INI and the
// client file ORVClient.xml afresh. Unless stated otherwise, functions return 1 for success and
// 0 for failure.
#ifndef ORCHEL_PATHS_H
#define ORCHEL_PATHS_H

#include <string>

#include "orchel/wintypes.h"

// The product key under HKEY_LOCAL_MACHINE and the file names of the layout.
#define ORCHEL_PRODUCT_REGISTRY_KEY L"SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor"
#define ORCHEL_SETTINGS_FILE_NAME L"ORVSettings.INI"
#define ORCHEL_CLIENT_FILE_NAME L"ORVClient.xml"
#define ORCHEL_AVAILABLE_PATCHES_FILE_NAME L"AvailablePatchInfo.xml"
#define ORCHEL_DOWNLOADED_PATCHES_FILE_NAME L"AlreadyDownloadedPatchInfo.xml"

// ---- Root folders ----

// The ORV folder, with a trailing separator. When the executable's path cannot be obtained,
// records the library error 0xFFFFFFFF and returns 0. A null buffer is answered from a scratch
// buffer (only the result tells anything).
ORCHEL_API int GetORVPath(wchar_t* out_szORVPath);

// The ORV folder followed by "ORVSettings.INI": 1 when that file exists, 0 when it does not
// (the buffer holds the path in both cases); 0 with the buffer untouched for a null buffer or
// an unknown ORV folder.
ORCHEL_API int GetORVSettingsINIPath(wchar_t* out_szINIFilePath);

// DownloadServer/Protocol of the settings file into a buffer of 10 characters; 0 when the
// buffer is null or the settings file is missing.
ORCHEL_API int GetProtocolSelected(wchar_t* out_szProtocol);

// The patches root: PATCHESROOT with its "kvba" folder dropped, or with a separator appended.
ORCHEL_API int GetPatchesRootPath(wchar_t* out_pszPatchesRootPath);

// The product's path on source: the pathonsource element of the client file for the product
// (gszCurrentProduct) and the selected protocol.
ORCHEL_API int GetPathOnSource(wchar_t* out_szPathOnSource);

// ProgramFilesDir with exactly one trailing separator. *lpdwSize is the byte size of the
// buffer for the registry read and receives the size read.
extern "C" ORCHEL_API int GetProgramFilesDir(wchar_t* lpPath, DWORD* lpdwSize);

// ---- Files ----

// The local folder of the signed catalogue module: the patches root followed by the segments of
// the path on source, each with a trailing separator.
ORCHEL_API int GetEncryptedLocalAvailableXMLFilePath(wchar_t* out_szAvailableXMLPath);

// Appends the ORV folder, the product's folder and "AvailablePatchInfo.xml" to the buffer.
// The product must equal gszCurrentProduct without regard to case.
ORCHEL_API int GetAvailablePatchesInfoXmlFilePath(wchar_t* out_szAvailablePatchesInfoXmlFilePath,
                                                  const wchar_t* in_szProductID);

// Appends the ORV folder, the product's folder and "AlreadyDownloadedPatchInfo.xml"; both the
// product and gszCurrentProduct must be 1 to 49 characters long and equal without regard to
// case.
ORCHEL_API int GetDownloadedPatchesInfoXmlFilePath(wchar_t* out_szDownloadedPatchesInfoXmlFilePath,
                                                   const wchar_t* in_szProductID);

// The patch status files of the installed products under the Program Files folder: 1 when the
// file exists; 0 with the path in the buffer (and a log line) when it does not.
ORCHEL_API int GetPatchStatusXmlFilePathForVeltrane(wchar_t* out_szPatchStatusXmlFilePath);
ORCHEL_API int GetPatchStatusXmlFilePathForRemedor(wchar_t* out_szPatchStatusXmlFilePath);

// ---- Environment ----

// 1 when the product key's Component value exists and is not "Client" (a staging server).
ORCHEL_API int IsKVBAInstalledAsStagingServer();

// The logger needs no set-up from the library.
extern "C" ORCHEL_API void InitLogging();

// ---- Text helpers ----

// Splits on one separator character into newly allocated (malloc) segments; empty segments
// give no entry, spaces are dropped when bIgnoreSpace is not 0, a segment keeps at most 517
// characters. Returns the number of entries stored, -1 when there are more segments than
// in_MaxTokenCount (the entries stored stay allocated), -2 when an allocation fails.
ORCHEL_API int Split(const wchar_t* in_szInput, wchar_t** pout_szOutPut, int in_MaxTokenCount,
                     wchar_t in_szSeparator, int bIgnoreSpace);

// Frees the first iSize entries (null entries are harmless) and sets each to null.
ORCHEL_API void FreeSplitsOutput(wchar_t** out_szOutPut, int iSize);

// Removes every trailing separator; returns 0. (The ANSI code page is UTF-8, which has no
// double-byte lead bytes, so no trailing separator is ever part of a character.)
ORCHEL_API int TrimTailBackSlash(std::wstring& sPath);

// Trims, then appends exactly one separator; returns 1.
ORCHEL_API int AppendBackSlash(std::wstring& sPath);

// Converts ANSI (UTF-8) text into a new zero-filled wide array of its length plus two, to
// release with delete[]; null when the text is null or not valid UTF-8. in_iBufSize is unused.
ORCHEL_API wchar_t* TCHAR2WCHAR(const char* in_pszRequiredValue, DWORD in_iBufSize);

#endif  // ORCHEL_PATHS_H
