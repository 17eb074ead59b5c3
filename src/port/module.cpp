#include "port/module.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "port/last_error.h"
#include "port/text.h"

#define ERROR_INSUFFICIENT_BUFFER 122L

namespace port {
namespace {

// The process module's handle only has to be unique and non-null, as a Windows base address is.
const char processModuleTag = 0;

HMODULE ProcessModule() {
    return reinterpret_cast<HMODULE>(const_cast<char*>(&processModuleTag));
}

bool ReadExecutablePath(std::string& path) {
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return false;
    }
    path.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}

// The executable's path, moved into the ORV folder override when one is set.
bool ServiceExecutablePath(std::wstring& widePath) {
    std::string path;
    if (!ReadExecutablePath(path)) {
        return false;
    }
    if (const char* folder = std::getenv(kOrvFolderVariable); folder != nullptr && *folder != 0) {
        std::string baseName = path.substr(path.find_last_of('/') + 1);
        path = folder;
        if (path.back() != '/') {
            path.push_back('/');
        }
        path += baseName;
    }
    return Utf8ToWide(path, widePath);
}

}  // namespace

HMODULE GetModuleHandleW(const wchar_t* moduleName) {
    if (moduleName == nullptr || EqualsIgnoreCase(moduleName, kServiceModuleName)) {
        return ProcessModule();
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameW(HMODULE module, wchar_t* fileName, DWORD size) {
    if (module != nullptr && module != ProcessModule()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wstring path;
    if (!ServiceExecutablePath(path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const std::size_t stored = BoundedCopy(fileName, size, std::wstring_view(path));
    if (stored < path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return static_cast<DWORD>(stored);
}

}  // namespace port
