#include "orchel/file_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "orchel/corvlog.h"
#include "port/file_system.h"
#include "port/last_error.h"
#include "port/locale.h"
#include "port/text.h"
#include "support/scratch.h"

namespace {

using testsupport::ScopedEnv;
using testsupport::TempFolder;

// Wednesday, 2 January 1980, 02:03:55 UTC.
constexpr std::time_t kOldTime = 315626635;
constexpr std::uint64_t kFiveGiB = 5ULL << 30;

std::wstring Wide(const std::string& text) {
    std::wstring wide;
    EXPECT_TRUE(port::Utf8ToWide(text, wide)) << text;
    return wide;
}

std::string Content(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::size_t OpenDescriptorCount() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

void SetModifiedTime(const std::string& path, std::time_t time) {
    const timespec times[2] = {{time, 0}, {time, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// A property buffer, released as its callers release it.
struct FreeDeleter {
    void operator()(wchar_t* buffer) const { std::free(buffer); }
};
using Property = std::unique_ptr<wchar_t, FreeDeleter>;

// Sets the local time zone for the length of a test; the C library reads it again each time.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> old_;
};

class FileManager : public testing::Test {
protected:
    std::string PathOf(const std::string& name) const { return (folder_.Path() / name).string(); }
    std::wstring WidePathOf(const std::string& name) const { return Wide(PathOf(name)); }

    TempFolder folder_;
    CapturingLogSink log_;
};

// ---- creating and opening ----

TEST_F(FileManager, CreateFileOpensForReadingAndAppending) {
    folder_.Write("existing.bin", "abc");
    CFileManager existing(WidePathOf("existing.bin"));
    EXPECT_EQ(FILE_CREATED, existing.CreateFileW());
    BYTE more[] = {'d', 'e'};
    EXPECT_EQ(FILE_WRITE_OK, existing.WriteToFile(more, 2));
    EXPECT_EQ(0, existing.SetFileOffset(0));
    BYTE buffer[8] = {};
    std::int64_t read = 0;
    EXPECT_EQ(FILE_READ_OK, existing.ReadFile(buffer, 5, read));
    EXPECT_EQ("abcde", std::string(reinterpret_cast<char*>(buffer), 5));

    CFileManager fresh(WidePathOf("fresh.bin"));
    EXPECT_EQ(FILE_CREATED, fresh.CreateFileW());
    EXPECT_TRUE(std::filesystem::exists(PathOf("fresh.bin")));
    std::FILE* const stream = fresh.m_pFile;
    EXPECT_EQ(0, fresh.CreateFileW());  // already open: nothing changes
    EXPECT_EQ(stream, fresh.m_pFile);
    EXPECT_TRUE(log_.Records().empty());
}

TEST_F(FileManager, CreateFileFailureIsLogged) {
    CFileManager manager(WidePathOf("no-folder/file.bin"));
    EXPECT_EQ(FILE_CREATION_FAILED, manager.CreateFileW());
    EXPECT_EQ(nullptr, manager.m_pFile);
    EXPECT_TRUE(log_.Contains(7045, 4, L"File creation failed"));
    EXPECT_EQ(1u, log_.Records().size());
}

TEST_F(FileManager, OpenFileTakesPlainModesOnly) {
    folder_.Write("existing.bin", "abc");
    CFileManager existing(WidePathOf("existing.bin"));
    EXPECT_EQ(FILE_OPENED, existing.OpenFile(L"rb"));
    std::FILE* const stream = existing.m_pFile;
    EXPECT_EQ(FILE_OPENED, existing.OpenFile(L"ab"));  // already open: kept as it is
    EXPECT_EQ(stream, existing.m_pFile);

    struct Row {
        const wchar_t* mode;
        int expected;
    };
    const std::vector<Row> rows = {
        {L"rb", FILE_OPEN_FAILED},  // the file is missing
        {nullptr, FILE_OPEN_FAILED},         {L"", FILE_OPEN_FAILED},
        {L"rw", FILE_OPEN_FAILED},           {L"wx", FILE_OPEN_FAILED},
        {L"ab,ccs=UTF-8", FILE_OPEN_FAILED}, {L"a\u00e9", FILE_OPEN_FAILED},
        {L"a\U0001F600", FILE_OPEN_FAILED},  {L"a+b", FILE_OPENED},  // creates it
    };
    for (std::size_t index = 0; index < rows.size(); ++index) {
        const Row& row = rows[index];
        CFileManager missing(WidePathOf("missing.bin"));
        EXPECT_EQ(row.expected, missing.OpenFile(row.mode)) << "row " << index;
        EXPECT_EQ(row.expected == FILE_OPENED, missing.m_pFile != nullptr) << "row " << index;
        EXPECT_EQ(row.expected == FILE_OPENED, std::filesystem::exists(PathOf("missing.bin")))
            << "row " << index;
    }
}

TEST_F(FileManager, SetModeAppendsOrReads) {
    folder_.Write("ten.bin", "0123456789");
    CFileManager writer(WidePathOf("ten.bin"));
    EXPECT_EQ(1, writer.SetMode(L"w"));
    BYTE more[] = {'a', 'b', 'c'};
    EXPECT_EQ(FILE_WRITE_OK, writer.WriteToFile(more, 3));
    EXPECT_EQ("0123456789abc", Content(PathOf("ten.bin")));

    // Switching to reading replaces the appending stream, which cannot read.
    EXPECT_EQ(1, writer.SetMode(L"r"));
    BYTE buffer[13] = {};
    std::int64_t read = 0;
    EXPECT_EQ(FILE_READ_OK, writer.ReadFile(buffer, 13, read));

    for (const wchar_t* mode : {L"x", L"", L"W", L"rb", L"w "}) {
        CFileManager other(WidePathOf("other.bin"));
        EXPECT_EQ(0, other.SetMode(mode));
        EXPECT_EQ(nullptr, other.m_pFile);
    }
    EXPECT_FALSE(std::filesystem::exists(PathOf("other.bin")));
    CFileManager missingFolder(WidePathOf("no-folder/file.bin"));
    EXPECT_EQ(0, missingFolder.SetMode(L"w"));
    CFileManager missingFile(WidePathOf("missing.bin"));
    EXPECT_EQ(0, missingFile.SetMode(L"r"));
}

TEST_F(FileManager, SetModeDoesNotLoseAnOpenStream) {
    folder_.Write("file.bin", "x");
    CFileManager manager(WidePathOf("file.bin"));
    const std::size_t before = OpenDescriptorCount();
    ASSERT_EQ(1, manager.SetMode(L"w"));
    ASSERT_EQ(1, manager.SetMode(L"r"));
    ASSERT_EQ(1, manager.SetMode(L"w"));
    EXPECT_EQ(before + 1, OpenDescriptorCount());
    manager.Close();
    EXPECT_EQ(before, OpenDescriptorCount());
}

// ---- writing ----

TEST_F(FileManager, WriteToFileCreatesAndAppends) {
    CFileManager manager(WidePathOf("new.bin"));
    BYTE first[] = {'o', 'n', 'e'};
    BYTE second[] = {'t', 'w', 'o'};
    EXPECT_EQ(FILE_WRITE_OK, manager.WriteToFile(first, 3));
    EXPECT_EQ("one", Content(PathOf("new.bin")));  // flushed at once
    EXPECT_EQ(FILE_WRITE_OK, manager.WriteToFile(second, 3));
    EXPECT_EQ("onetwo", Content(PathOf("new.bin")));
    EXPECT_EQ(FILE_WRITE_OK, manager.WriteToFile(second, 0));
    EXPECT_EQ(FILE_WRITE_OK, manager.WriteToFile(nullptr, 0));
    EXPECT_EQ("onetwo", Content(PathOf("new.bin")));
    // A later object on the same path appends too.
    CFileManager later(WidePathOf("new.bin"));
    EXPECT_EQ(FILE_WRITE_OK, later.WriteToFile(first, 3));
    EXPECT_EQ("onetwoone", Content(PathOf("new.bin")));
}

TEST_F(FileManager, WriteToFileFailures) {
    CFileManager nullBuffer(WidePathOf("null.bin"));
    EXPECT_EQ(FILE_WRITE_FAILED, nullBuffer.WriteToFile(nullptr, 5));
    EXPECT_FALSE(std::filesystem::exists(PathOf("null.bin")));

    CFileManager missingFolder(WidePathOf("no-folder/file.bin"));
    BYTE bytes[] = {1, 2, 3};
    EXPECT_EQ(FILE_OPEN_FAILED, missingFolder.WriteToFile(bytes, 3));
    EXPECT_TRUE(log_.Contains(7045, 4, L"File open failed"));

    // A device that is always full: the write fails and says why.
    std::filesystem::create_symlink("/dev/full", folder_.Path() / "full");
    CFileManager full(WidePathOf("full"));
    EXPECT_EQ(FILE_WRITE_FAILED, full.WriteToFile(bytes, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), port::GetLastError());
    // The error stays with the stream: no later write reports success over lost bytes.
    BYTE none[] = {0};
    EXPECT_EQ(FILE_WRITE_FAILED, full.WriteToFile(none, 1));
}

// ---- reading ----

TEST_F(FileManager, ReadFileSequencesReportEndOfFile) {
    std::string content;
    for (int i = 0; i < 60; ++i) {
        content.push_back(static_cast<char>('A' + i % 26));
    }
    folder_.Write("sixty.bin", content);
    struct Step {
        std::int64_t request;
        int result;
        std::int64_t count;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{100, FILE_READ_EOF, 60}},
        {{60, FILE_READ_OK, 60}, {1, FILE_READ_EOF, 0}},
        {{40, FILE_READ_OK, 40}, {40, FILE_READ_EOF, 20}, {10, FILE_READ_EOF, 0}},
        {{0, FILE_READ_OK, 0}, {59, FILE_READ_OK, 59}, {1, FILE_READ_OK, 1}},
    };
    for (std::size_t index = 0; index < sequences.size(); ++index) {
        SCOPED_TRACE("sequence " + std::to_string(index));
        CFileManager manager(WidePathOf("sixty.bin"));
        ASSERT_EQ(1, manager.SetMode(L"r"));
        std::int64_t offset = 0;
        for (const Step& step : sequences[index]) {
            std::vector<BYTE> buffer(static_cast<std::size_t>(step.request) + 1, 0xEE);
            std::int64_t read = -1;
            EXPECT_EQ(step.result, manager.ReadFile(buffer.data(), step.request, read));
            ASSERT_EQ(step.count, read);
            EXPECT_EQ(
                content.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(read)),
                std::string(buffer.begin(), buffer.begin() + read));
            EXPECT_EQ(0xEE, buffer[static_cast<std::size_t>(read)]);  // nothing beyond
            offset += read;
        }
    }
}

TEST_F(FileManager, ReadFileRefusesWhatItCannotReadSafely) {
    folder_.Write("ten.bin", "0123456789");
    CFileManager manager(WidePathOf("ten.bin"));
    BYTE buffer[16];
    std::int64_t read = -1;
    EXPECT_EQ(FILE_READ_FAILED, manager.ReadFile(buffer, 4, read));  // closed
    EXPECT_EQ(0, read);

    ASSERT_EQ(1, manager.SetMode(L"r"));
    // Counts that a 32-bit read would wrap: nothing is read, nothing is consumed.
    for (const std::int64_t count : {std::int64_t{-1}, std::int64_t{INT64_MIN},
                                     std::int64_t{1} << 32, std::int64_t{INT64_MAX}}) {
        std::fill(std::begin(buffer), std::end(buffer), 0xEE);
        read = -1;
        EXPECT_EQ(FILE_READ_FAILED, manager.ReadFile(buffer, count, read)) << count;
        EXPECT_EQ(0, read) << count;
        EXPECT_EQ(0xEE, buffer[0]) << count;
    }
    EXPECT_EQ(FILE_READ_FAILED, manager.ReadFile(nullptr, 4, read));
    EXPECT_EQ(FILE_READ_OK, manager.ReadFile(buffer, 4, read));
    EXPECT_EQ("0123", std::string(reinterpret_cast<char*>(buffer), 4));

    // A stream that cannot read reports an error, not the end of the file.
    CFileManager writeOnly(WidePathOf("ten.bin"));
    ASSERT_EQ(1, writeOnly.SetMode(L"w"));
    EXPECT_EQ(FILE_READ_FAILED, writeOnly.ReadFile(buffer, 4, read));
    EXPECT_EQ(0, read);
}

TEST_F(FileManager, SetFileOffsetPositionsFromTheStart) {
    folder_.Write("ten.bin", "0123456789");
    CFileManager manager(WidePathOf("ten.bin"));
    EXPECT_NE(0, manager.SetFileOffset(4));  // closed
    ASSERT_EQ(1, manager.SetMode(L"r"));
    BYTE buffer[4] = {};
    std::int64_t read = 0;
    ASSERT_EQ(FILE_READ_OK, manager.ReadFile(buffer, 2, read));
    EXPECT_EQ(0, manager.SetFileOffset(6));
    EXPECT_EQ(FILE_READ_OK, manager.ReadFile(buffer, 3, read));
    EXPECT_EQ("678", std::string(reinterpret_cast<char*>(buffer), 3));
    EXPECT_EQ(0, manager.SetFileOffset(0));
    EXPECT_EQ(FILE_READ_OK, manager.ReadFile(buffer, 3, read));
    EXPECT_EQ("012", std::string(reinterpret_cast<char*>(buffer), 3));
}

// ---- deleting ----

TEST_F(FileManager, DeleteFileClosesAnOpenStream) {
    const std::size_t before = OpenDescriptorCount();
    CFileManager manager(WidePathOf("open.bin"));
    ASSERT_EQ(FILE_CREATED, manager.CreateFileW());
    EXPECT_EQ(before + 1, OpenDescriptorCount());
    EXPECT_EQ(FILE_DELETED, manager.DeleteFile());
    EXPECT_EQ(nullptr, manager.m_pFile);
    EXPECT_FALSE(std::filesystem::exists(PathOf("open.bin")));
    EXPECT_EQ(before, OpenDescriptorCount());
    EXPECT_TRUE(log_.Records().empty());
    // The object is usable again afterwards.
    BYTE bytes[] = {'x'};
    EXPECT_EQ(FILE_WRITE_OK, manager.WriteToFile(bytes, 1));
    EXPECT_EQ("x", Content(PathOf("open.bin")));
}

TEST_F(FileManager, DeleteFileFailuresAreLoggedWithTheSystemError) {
    std::filesystem::create_directory(folder_.Path() / "folder");
    struct Row {
        std::string name;
        int error;
    };
    const std::vector<Row> rows = {
        {"missing.bin", 2},
        {"no-folder/file.bin", 3},
        {"folder", 5},
    };
    for (const Row& row : rows) {
        log_.Clear();
        CFileManager manager(WidePathOf(row.name));
        EXPECT_EQ(FILE_DELETE_FAILED, manager.DeleteFile()) << row.name;
        EXPECT_EQ(nullptr, manager.m_pFile);
        const std::wstring expected = WidePathOf(row.name) + L" :File delete failed: Error Code: " +
                                      std::to_wstring(row.error);
        EXPECT_TRUE(log_.Contains(7045, 4, expected)) << row.name;
        EXPECT_EQ(1u, log_.Records().size()) << row.name;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder_.Path() / "folder"));
}

// ---- existence ----

TEST_F(FileManager, ExistenceFollowsTheDirectorySearch) {
    folder_.Write("patch.dll", "12345");
    std::filesystem::create_directory(folder_.Path() / "folder");
    struct Row {
        std::string name;
        int result;
        DWORD size;
    };
    const std::vector<Row> rows = {
        {"patch.dll", FILE_EXISTS, 5},   {"*.dll", FILE_EXISTS, 5},
        {"p?tch.dll", FILE_EXISTS, 5},   {"folder", FILE_EXISTS, 0},
        {"*.exe", FILE_NOT_EXISTS, 0},   {"missing.dll", FILE_NOT_EXISTS, 0},
        {"folder/", FILE_NOT_EXISTS, 0}, {"no-folder/patch.dll", FILE_NOT_EXISTS, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.result, CFileManager::IsFileAlreadyExists(WidePathOf(row.name))) << row.name;
        CFileManager manager(WidePathOf(row.name));
        DWORD size = 0xDEADBEEF;
        EXPECT_EQ(row.result, manager.IsFileAlreadyExists(&size)) << row.name;
        EXPECT_EQ(row.size, size) << row.name;
        EXPECT_EQ(row.result, manager.IsFileAlreadyExists(nullptr)) << row.name;
    }
}

TEST_F(FileManager, SizesBeyondThirtyTwoBitsAreClampedNotWrapped) {
    const std::string path = folder_.Write("huge.bin", "");
    std::filesystem::resize_file(path, kFiveGiB);  // sparse: takes no space
    CFileManager manager(Wide(path));
    DWORD size = 0;
    EXPECT_EQ(FILE_EXISTS, manager.IsFileAlreadyExists(&size));
    EXPECT_EQ(0xFFFFFFFFu, size);

    const Property text(manager.GetFileProperty(FILE_SIZE));
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(L"5368709120", std::wstring(text.get()));
    EXPECT_EQ(INT32_MAX, manager.m_stFileStat.iSize);
    std::wstring widePath = Wide(path);
    const Property staticText(CFileManager::GetFileProperty(FILE_SIZE, widePath.data()));
    ASSERT_NE(nullptr, staticText);
    EXPECT_EQ(L"5368709120", std::wstring(staticText.get()));
}

// ---- copies ----

TEST_F(FileManager, CopiesStartClosedOnTheSamePath) {
    CFileManager original(WidePathOf("shared.bin"));
    ASSERT_EQ(FILE_CREATED, original.CreateFileW());
    const CFileManager copy(original);
    EXPECT_EQ(nullptr, copy.m_pFile);
    EXPECT_EQ(original.m_wsFilePath, copy.m_wsFilePath);

    folder_.Write("other.bin", "");
    const std::size_t before = OpenDescriptorCount();
    CFileManager target(WidePathOf("other.bin"));
    ASSERT_EQ(FILE_OPENED, target.OpenFile(L"rb"));
    target = copy;  // its own stream is closed, not lost
    EXPECT_EQ(nullptr, target.m_pFile);
    EXPECT_EQ(original.m_wsFilePath, target.m_wsFilePath);
    EXPECT_EQ(before, OpenDescriptorCount());

    CFileManager& self = original;
    original = self;
    EXPECT_NE(nullptr, original.m_pFile);  // assigning to itself keeps the stream

    BYTE first[] = {'a'};
    BYTE second[] = {'b'};
    EXPECT_EQ(FILE_WRITE_OK, original.WriteToFile(first, 1));
    EXPECT_EQ(FILE_WRITE_OK, target.WriteToFile(second, 1));
    EXPECT_EQ("ab", Content(PathOf("shared.bin")));
}

// ---- properties ----

class FileProperties : public FileManager {
protected:
    void SetUp() override {
        path_ = folder_.Write("patch.exe", std::string(999, 'p'));
        SetModifiedTime(path_, kOldTime);
        widePath_ = Wide(path_);
    }

    void WriteProductLanguage(const std::string& codepage) {
        folder_.Write("registry.reg",
                      "Windows Registry Editor Version 5.00\n\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor]\n"
                      "\"Codepage\"=\"" +
                          codepage + "\"\n");
    }

    Property Static(FILE_PROPERTY_NAME property) {
        return Property(CFileManager::GetFileProperty(property, widePath_.data()));
    }

    // Local time two hours east of UTC, so that a time shown in UTC is caught.
    ScopedTimeZone zone_{"ORC-2"};
    ScopedEnv registry_{"ORCHEL_REGISTRY", (folder_.Path() / "registry.reg").string()};
    std::string path_;
    std::wstring widePath_;
};

// What the C library writes for a time in the "C" locale, to hold the runtime's form against.
std::wstring RuntimeForm(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    char text[64] = {};
    std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", &local);
    return Wide(text);
}

TEST_F(FileProperties, MemberFormsAreTheRuntimeTextsAndTheSize) {
    CFileManager manager(widePath_);
    const Property modified(manager.GetFileProperty(FILE_MODIFIED_TIME));
    ASSERT_NE(nullptr, modified);
    EXPECT_EQ(L"Wed Jan 02 04:03:55 1980", std::wstring(modified.get()));
    EXPECT_EQ(RuntimeForm(kOldTime), std::wstring(modified.get()));
    EXPECT_EQ(kOldTime, manager.m_stFileStat.llModifiedTime);
    EXPECT_EQ(999, manager.m_stFileStat.iSize);

    struct stat status {};
    ASSERT_EQ(0, ::stat(path_.c_str(), &status));
    const Property created(manager.GetFileProperty(FILE_CREATION_TIME));
    ASSERT_NE(nullptr, created);
    EXPECT_EQ(RuntimeForm(status.st_ctime), std::wstring(created.get()));
    EXPECT_EQ(24u, std::wstring(created.get()).size());

    const Property size(manager.GetFileProperty(FILE_SIZE));
    ASSERT_NE(nullptr, size);
    EXPECT_EQ(L"999", std::wstring(size.get()));

    // The buffer is a cleared path-sized one: everything past the text is zero.
    for (std::size_t index = 3; index < 260; ++index) {
        ASSERT_EQ(L'\0', size.get()[index]) << index;
    }
}

TEST_F(FileProperties, MemberFormFailures) {
    CFileManager manager(widePath_);
    EXPECT_EQ(nullptr, manager.GetFileProperty(static_cast<FILE_PROPERTY_NAME>(2)));
    EXPECT_EQ(nullptr, manager.GetFileProperty(static_cast<FILE_PROPERTY_NAME>(-1)));
    CFileManager missing(WidePathOf("missing.exe"));
    EXPECT_EQ(nullptr, missing.GetFileProperty(FILE_SIZE));
    EXPECT_EQ(nullptr, missing.GetFileProperty(FILE_MODIFIED_TIME));
}

TEST_F(FileProperties, StaticFormsUseTheProductLanguage) {
    const Property size(Static(FILE_SIZE));
    ASSERT_NE(nullptr, size);
    EXPECT_EQ(L"999", std::wstring(size.get()));

    // No product language: English (United States).
    const Property english(Static(FILE_MODIFIED_TIME));
    ASSERT_NE(nullptr, english);
    const std::wstring englishText = english.get();
    EXPECT_NE(std::wstring::npos, englishText.find(L"January 2, 1980")) << englishText;
    EXPECT_NE(std::wstring::npos, englishText.find(L"4:03:55")) << englishText;

    WriteProductLanguage("1031");
    const Property german(Static(FILE_MODIFIED_TIME));
    ASSERT_NE(nullptr, german);
    const std::wstring germanText = german.get();
    EXPECT_NE(std::wstring::npos, germanText.find(L"Mittwoch")) << germanText;
    EXPECT_NE(std::wstring::npos, germanText.find(L"2. Januar 1980")) << germanText;
    EXPECT_NE(std::wstring::npos, germanText.find(L"04:03:55")) << germanText;
    EXPECT_LT(germanText.size(), 80u);

    // The status change time: now, not the modification time set into the past.
    struct stat status {};
    ASSERT_EQ(0, ::stat(path_.c_str(), &status));
    std::tm local{};
    localtime_r(&status.st_ctime, &local);
    const Property created(Static(FILE_CREATION_TIME));
    ASSERT_NE(nullptr, created);
    EXPECT_EQ(port::FormatLongDateTime(1031, local), std::wstring(created.get()));
}

TEST_F(FileProperties, StaticFormFailures) {
    const Property other(Static(static_cast<FILE_PROPERTY_NAME>(2)));
    ASSERT_NE(nullptr, other);  // no such property: the empty text
    EXPECT_EQ(L"", std::wstring(other.get()));

    std::wstring missing = WidePathOf("missing.exe");
    EXPECT_EQ(nullptr, CFileManager::GetFileProperty(FILE_SIZE, missing.data()));
    EXPECT_EQ(nullptr, CFileManager::GetFileProperty(FILE_MODIFIED_TIME, missing.data()));
    EXPECT_EQ(nullptr, CFileManager::GetFileProperty(FILE_SIZE, nullptr));
}

}  // namespace
