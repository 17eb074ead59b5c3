// CFileManager: one file named by its absolute path, opened as a C stream in a few fixed
// modes, appended to and read in blocks, deleted, tested for existence, and its times and size
// rendered as text. Results are codes of one numbering (100 to 112); nothing throws.
#ifndef ORCHEL_FILE_MANAGER_H
#define ORCHEL_FILE_MANAGER_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "orchel/wintypes.h"

// Result codes shared by all operations.
enum : int {
    FILE_CREATED = 100,          // opened for appending (created if missing)
    FILE_CREATION_FAILED = 101,  // opening for appending failed
    FILE_EXISTS = 102,           // the path matches an existing entry
    FILE_NOT_EXISTS = 103,       // it does not
    FILE_WRITE_OK = 104,         // all bytes were written
    FILE_WRITE_FAILED = 105,     // a write error or a short write
    FILE_DELETED = 106,          // the file was deleted
    FILE_DELETE_FAILED = 107,    // deleting failed
    FILE_OPENED = 108,           // the stream is open
    FILE_OPEN_FAILED = 109,      // opening failed
    FILE_READ_OK = 110,          // exactly the requested number of bytes was read
    FILE_READ_EOF = 111,         // the end of the file came first
    FILE_READ_FAILED = 112,      // a read error, or fewer bytes without reaching the end
};

// What GetFileProperty renders.
enum FILE_PROPERTY_NAME {
    FILE_CREATION_TIME = 0,  // status change time
    FILE_MODIFIED_TIME = 1,  // time of the last write
    FILE_SIZE = 3,           // size in bytes
};

// A file's status as the C runtime's 64-bit-time, 32-bit-size status call gives it.
struct ORCHEL_FILE_STATUS {
    std::uint32_t uMode;
    std::int32_t iSize;
    std::int64_t llAccessTime;
    std::int64_t llModifiedTime;
    std::int64_t llChangeTime;
};

class ORCHEL_API CFileManager {
public:
    explicit CFileManager(std::wstring in_wsFileAbsolutePath);
    // Copies the path; the copy starts closed, so two objects never share one stream.
    CFileManager(const CFileManager& in_Source);
    CFileManager& operator=(const CFileManager& in_Source);
    // Flushes and closes an open stream.
    virtual ~CFileManager();

    // Flushes and closes an open stream; the object is closed afterwards even when closing
    // reported an error, since the C library frees the stream either way.
    void Close();
    // Takes a plain C mode ("rb", "ab", "a+b" ...); any other text gives FILE_OPEN_FAILED.
    int OpenFile(const wchar_t* mode);
    int CreateFileW();
    int WriteToFile(BYTE* in_pBuffer, const DWORD& in_dwBytesToWrite);
    // Closes an open stream first, then deletes the file.
    int DeleteFile();
    int SetFileOffset(const DWORD& in_dwOffsetToSeek);
    static int IsFileAlreadyExists(std::wstring in_wsFilePath);
    // Stores the entry's size; a size beyond 32 bits is stored as 0xFFFFFFFF.
    int IsFileAlreadyExists(DWORD* out_dwExistingLocalFileSize);
    // The count is a 32-bit one: a negative count or one above 0xFFFFFFFF reads nothing and
    // gives FILE_READ_FAILED, as do a closed stream and a null buffer for a non-zero count.
    int ReadFile(BYTE* out_pBuffer, std::int64_t in_SizeToRead, std::int64_t& out_BytesRead);
    // "w" appends, "r" reads; a stream still open is closed before the new one is opened.
    int SetMode(std::wstring in_wsMode);
    // Both return a buffer of 260 wide characters to release with free(); null on failure.
    // FILE_SIZE is written in full, also beyond the 32 bits of the status record's size.
    wchar_t* GetFileProperty(FILE_PROPERTY_NAME in_File_Property);
    static wchar_t* GetFileProperty(FILE_PROPERTY_NAME in_File_Property,
                                    wchar_t* in_pszFileAbsolutePath);

    std::FILE* m_pFile;
    ORCHEL_FILE_STATUS m_stFileStat;
    std::wstring m_wsFilePath;
};

#endif  // ORCHEL_FILE_MANAGER_H
