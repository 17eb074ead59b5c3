#include "port/module.h"

#include <gtest/gtest.h>

#include <string>

#include "port/last_error.h"
#include "support/scratch.h"

namespace {

std::wstring ModuleFileName(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD length = port::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

TEST(Module, TheServiceModuleIsTheProcess) {
    const HMODULE service = port::GetModuleHandleW(L"RemedorService.exe");
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(service, port::GetModuleHandleW(L"remedorservice.EXE"));
    EXPECT_EQ(service, port::GetModuleHandleW(nullptr));

    port::SetLastError(0);
    EXPECT_EQ(nullptr, port::GetModuleHandleW(L"other.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), port::GetLastError());
}

TEST(Module, FileNameLiesInTheOrvFolderOverride) {
    testsupport::TempFolder folder;
    testsupport::ScopedEnv orv(port::kOrvFolderVariable, folder.Path().string() + "/");
    const std::wstring path = ModuleFileName(nullptr);
    std::wstring expectedFolder;
    for (char c : folder.Path().string() + "/") {
        expectedFolder.push_back(static_cast<wchar_t>(c));
    }
    ASSERT_GT(path.size(), expectedFolder.size());
    EXPECT_EQ(expectedFolder, path.substr(0, expectedFolder.size()));
    EXPECT_EQ(std::wstring::npos, path.find(L'/', expectedFolder.size()));
}

TEST(Module, FileNameWithoutOverrideIsTheExecutable) {
    unsetenv(port::kOrvFolderVariable);
    const std::wstring path = ModuleFileName(nullptr);
    EXPECT_NE(std::wstring::npos, path.find(L"orchel_unit_tests"));
}

TEST(Module, ShortBufferIsCutAndReported) {
    wchar_t path[8];
    port::SetLastError(0);
    EXPECT_EQ(8u, port::GetModuleFileNameW(nullptr, path, 8));
    EXPECT_EQ(7u, std::wstring(path).size());
    EXPECT_EQ(122u, port::GetLastError());  // ERROR_INSUFFICIENT_BUFFER
    EXPECT_EQ(0u, port::GetModuleFileNameW(reinterpret_cast<HMODULE>(&path), path, 8));
}

}  // namespace
