#include "port/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "port/last_error.h"
#include "port/text.h"
#include "support/scratch.h"

namespace {

using testsupport::TempFolder;

constexpr std::uint64_t kFiveGiB = 5ULL << 30;

std::wstring Wide(const std::string& text) {
    std::wstring wide;
    EXPECT_TRUE(port::Utf8ToWide(text, wide)) << text;
    return wide;
}

// ---- the directory search ----

class DirectorySearch : public testing::Test {
protected:
    void SetUp() override {
        folder_.Write("a.dll", "aaa");
        folder_.Write("b.dll", "bbbbb");
        folder_.Write("kb1.exe", "1234567");
        folder_.Write("kb12.exe", "12345678901");
        folder_.Write("[a].txt", "xxxx");
        folder_.Write("a.txt", "");
        folder_.Write("name with spaces.txt", "sp");
        folder_.Write("back\\slash", "bs");
        folder_.Write("Grüße.txt", "umlaut");
        folder_.Write("*star.txt", "asterisk");  // POSIX names may hold the wildcards
        std::filesystem::create_directory(folder_.Path() / "sub");
        folder_.Write("sub/inner.txt", "inner");
        // A folder whose name holds a wildcard character, beside one the wildcard would match.
        std::filesystem::create_directory(folder_.Path() / "mid*");
        folder_.Write("mid*/f.txt", "literal");
        std::filesystem::create_directory(folder_.Path() / "middle");
        folder_.Write("middle/f.txt", "wildcard");
        std::filesystem::create_directory(folder_.Path() / "empty");
    }

    std::optional<std::uint64_t> Find(const std::string& relative) const {
        return port::FindFirstMatch(Wide(folder_.Path().string() + "/" + relative));
    }

    TempFolder folder_;
};

TEST_F(DirectorySearch, MatchesWildcardsInTheLastComponentOnly) {
    struct Row {
        std::string pattern;
        std::optional<std::uint64_t> size;  // nothing: no entry matches
    };
    const std::vector<Row> rows = {
        // '*' matches any run, also none; of several matches the first name counts
        {"*.dll", 3},
        {"b*.dll", 5},
        {"**b.dll", 5},
        {"*b*l*", 5},
        {"a.dll*", 3},
        {"*.DLL", std::nullopt},  // names are compared exactly, as the file system keeps them
        {"*.dl", std::nullopt},
        {"a.dl", std::nullopt},
        // '?' matches exactly one character
        {"kb?.exe", 7},
        {"kb??.exe", 11},
        {"k?.exe", std::nullopt},
        {"kb???.exe", std::nullopt},
        {"Gr??e.txt", 6},  // one character each, not one byte of UTF-8
        {"*r.txt", 8},     // a '*' in a name is no shortcut for the pattern's '*'
        // everything else is literal: no character classes, no escapes
        {"[a].txt", 4},
        {"[a]*", 4},
        {"[ab].txt", std::nullopt},
        {"back\\slash", 2},
        {"back\\s*", 2},
        {"\\*", std::nullopt},
        {"name with spaces.txt", 2},
        {"name*spaces.txt", 2},
        {"name with spaces", std::nullopt},
        {"a.txt", 0},
        // folders count, with no size
        {"sub", 0},
        {"s?b", 0},
        {"sub/*.txt", 5},
        {"sub/inner.txt", 5},
        {"empty", 0},
        // a folder lists "." and ".." as Windows does, so '*' finds them even in an empty one
        {"empty/*", 0},
        {"empty/.", 0},
        {"empty/*.*", 0},
        // "*.*" asks for a dot: the old DOS reading of it as "*" is not followed
        {"su*.*", std::nullopt},
        // a trailing separator leaves no name to match
        {"sub/", std::nullopt},
        {"empty/", std::nullopt},
        // a missing parent folder
        {"missing/*.txt", std::nullopt},
        {"missing/file", std::nullopt},
        {"a.dll/x", std::nullopt},
        // wildcards in a middle component are literal
        {"mid*/f.txt", 7},
        {"mi*/f.txt", std::nullopt},
        {"midd?e/f.txt", std::nullopt},
        {"missing.txt", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.size, Find(row.pattern)) << row.pattern;
    }
}

TEST_F(DirectorySearch, EmptyAndUnrepresentablePathsMatchNothing) {
    EXPECT_EQ(std::nullopt, port::FindFirstMatch(L""));
    EXPECT_EQ(std::nullopt, port::FindFirstMatch(L"/"));
    const std::wstring folder = Wide(folder_.Path().string());
    EXPECT_EQ(std::nullopt, port::FindFirstMatch(folder + L"/\xD800*"));  // lone surrogate
    // A NUL would end the path early and name the folder itself.
    EXPECT_EQ(std::nullopt, port::FindFirstMatch(folder + std::wstring(L"/sub\0x", 6)));
}

TEST_F(DirectorySearch, SymbolicLinksAreEntries) {
    std::filesystem::create_symlink(folder_.Path() / "b.dll", folder_.Path() / "link.dll");
    std::filesystem::create_symlink(folder_.Path() / "gone", folder_.Path() / "dangling");
    EXPECT_EQ(5u, Find("link.dll"));  // the target's size
    EXPECT_EQ(5u, Find("lin?.dll"));
    EXPECT_TRUE(Find("dangling").has_value());
    EXPECT_TRUE(Find("dang*").has_value());
}

TEST_F(DirectorySearch, SizesBeyondThirtyTwoBitsAreKept) {
    std::filesystem::resize_file(folder_.Write("huge.bin", ""), kFiveGiB);
    EXPECT_EQ(kFiveGiB, Find("huge.bin"));
    EXPECT_EQ(kFiveGiB, Find("huge.*"));
}

TEST_F(DirectorySearch, LongPatternsDoNotBacktrackWithoutBound) {
    const std::string name(200, 'a');
    folder_.Write(name, "x");
    std::string pattern;
    for (int i = 0; i < 60; ++i) {
        pattern += "*a";
    }
    EXPECT_EQ(1u, Find(pattern));
    EXPECT_EQ(std::nullopt, Find(pattern + "*b"));
}

// ---- streams ----

TEST(FileStreams, OnlyPlainModesAreAccepted) {
    TempFolder folder;
    struct Row {
        const char* mode;
        bool accepted;
    };
    const std::vector<Row> rows = {
        {"r", true},   {"rb", true},           {"r+", true},   {"r+b", true},   {"rb+", true},
        {"w", true},   {"wb", true},           {"w+b", true},  {"a", true},     {"ab", true},
        {"a+b", true}, {"ab+", true},          {"", false},    {"x", false},    {"b", false},
        {"rw", false}, {"rbb", false},         {"r++", false}, {"r+b+", false}, {"wx", false},
        {"rt", false}, {"re", false},          {"rbe", false}, {"rm", false},   {"R", false},
        {" r", false}, {"a,ccs=UTF-8", false},
    };
    int index = 0;
    for (const Row& row : rows) {
        const std::string path = folder.Write("file" + std::to_string(index++), "content");
        std::FILE* stream = port::OpenFileStream(Wide(path), row.mode);
        EXPECT_EQ(row.accepted, stream != nullptr) << '"' << row.mode << '"';
        if (stream != nullptr) {
            std::fclose(stream);
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), port::GetLastError())
                << row.mode;
            EXPECT_EQ(7u, std::filesystem::file_size(path)) << "refused mode touched the file";
        }
    }
    EXPECT_EQ(nullptr, port::OpenFileStream(Wide(folder.Path().string() + "/f"), nullptr));
}

TEST(FileStreams, StreamsAreClosedOnExec) {
    TempFolder folder;
    std::FILE* stream = port::OpenFileStream(Wide(folder.Write("f", "x")), "rb");
    ASSERT_NE(nullptr, stream);
    EXPECT_NE(0, ::fcntl(::fileno(stream), F_GETFD) & FD_CLOEXEC);
    std::fclose(stream);
}

TEST(FileStreams, FailuresSetTheLastError) {
    TempFolder folder;
    const std::string base = folder.Path().string();
    struct Row {
        std::string path;
        const char* mode;
        DWORD error;
    };
    const std::vector<Row> rows = {
        {base + "/missing", "rb", ERROR_FILE_NOT_FOUND},
        {base + "/no-folder/file", "ab", ERROR_PATH_NOT_FOUND},
        // A folder opens on POSIX but not through the Windows runtime; it never gives a stream.
        {base, "rb", ERROR_ACCESS_DENIED},
        {base, "ab", ERROR_ACCESS_DENIED},
    };
    for (const Row& row : rows) {
        port::SetLastError(0);
        EXPECT_EQ(nullptr, port::OpenFileStream(Wide(row.path), row.mode)) << row.path;
        EXPECT_EQ(row.error, port::GetLastError()) << row.path << " " << row.mode;
    }
    // A path that is no valid Unicode or holds a NUL is refused before anything is opened.
    const std::string prefix = folder.Write("prefix", "x");
    EXPECT_EQ(nullptr, port::OpenFileStream(Wide(prefix) + std::wstring(L"\0.tmp", 5), "rb"));
    EXPECT_EQ(nullptr, port::OpenFileStream(Wide(base) + L"/\xDC00", "ab"));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(folder.Path()),
                               std::filesystem::directory_iterator()));
}

// ---- status and deletion ----

TEST(FileStatus, ReadsTimesAndSizeOfTheTarget) {
    TempFolder folder;
    const std::string path = folder.Write("f.bin", std::string(999, 'x'));
    const timespec times[2] = {{315626635, 0}, {315626635, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
    std::filesystem::create_symlink(path, folder.Path() / "link");

    for (const std::string& name : {path, (folder.Path() / "link").string()}) {
        std::uint64_t fullSize = 0;
        const std::optional<ORCHEL_FILE_STATUS> status = port::StatFile(Wide(name), &fullSize);
        ASSERT_TRUE(status.has_value()) << name;
        EXPECT_EQ(999, status->iSize);
        EXPECT_EQ(999u, fullSize);
        EXPECT_EQ(315626635, status->llModifiedTime);
        EXPECT_EQ(315626635, status->llAccessTime);
        EXPECT_TRUE(S_ISREG(status->uMode));
    }
    EXPECT_EQ(std::nullopt, port::StatFile(Wide(folder.Path().string() + "/missing")));
    EXPECT_TRUE(S_ISDIR(port::StatFile(Wide(folder.Path().string()))->uMode));
}

TEST(FileStatus, SizesBeyondThirtyTwoBitsAreClampedInTheRecord) {
    TempFolder folder;
    const std::string path = folder.Write("huge.bin", "");
    std::filesystem::resize_file(path, kFiveGiB);
    std::uint64_t fullSize = 0;
    const std::optional<ORCHEL_FILE_STATUS> status = port::StatFile(Wide(path), &fullSize);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(INT32_MAX, status->iSize);
    EXPECT_EQ(kFiveGiB, fullSize);
}

TEST(FileDeletion, DeletesFilesAndReportsWhyNot) {
    TempFolder folder;
    const std::string base = folder.Path().string();
    const std::string file = folder.Write("f", "x");
    EXPECT_EQ(TRUE, port::DeleteFileW(Wide(file).c_str()));
    EXPECT_FALSE(std::filesystem::exists(file));

    std::filesystem::create_directory(base + "/sub");
    struct Row {
        std::string path;
        DWORD error;
    };
    const std::vector<Row> rows = {
        {file, ERROR_FILE_NOT_FOUND},
        {base + "/no-folder/f", ERROR_PATH_NOT_FOUND},
        {base + "/sub", ERROR_ACCESS_DENIED},  // a folder is not deleted as a file
    };
    for (const Row& row : rows) {
        port::SetLastError(0);
        EXPECT_EQ(FALSE, port::DeleteFileW(Wide(row.path).c_str())) << row.path;
        EXPECT_EQ(row.error, port::GetLastError()) << row.path;
    }
    EXPECT_TRUE(std::filesystem::is_directory(base + "/sub"));
    EXPECT_EQ(FALSE, port::DeleteFileW(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), port::GetLastError());
}

TEST(FileErrors, ErrnoMapsToTheSystemError) {
    const std::vector<std::pair<int, DWORD>> rows = {
        {ENOENT, ERROR_FILE_NOT_FOUND}, {ENOSPC, ERROR_DISK_FULL},
        {EACCES, ERROR_ACCESS_DENIED},  {EBADF, ERROR_INVALID_HANDLE},
        {EFBIG, ERROR_FILE_TOO_LARGE},  {EIO, ERROR_GEN_FAILURE},
    };
    for (const auto& [error, expected] : rows) {
        errno = error;
        port::SetLastErrorFromErrno();
        EXPECT_EQ(expected, port::GetLastError()) << error;
    }
}

}  // namespace
