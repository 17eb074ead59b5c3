#include "framework/service_messages.h"

#include <span>
#include <vector>

#include "port/module.h"
#include "port/string_table.h"

namespace orchel {

void LoadServiceMessage(UINT id, wchar_t* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) {
        return;
    }
    buffer[0] = L'\0';
    port::LoadStringW(port::GetModuleHandleW(port::kServiceModuleName), id, buffer, capacity);
}

void FormatServiceMessage(UINT id, wchar_t* buffer, int capacity,
                          std::initializer_list<port::FormatArg> args) {
    if (buffer == nullptr || capacity <= 0) {
        return;
    }
    std::vector<wchar_t> format(static_cast<std::size_t>(capacity));
    LoadServiceMessage(id, format.data(), capacity);
    port::FormatWideChecked(buffer, format.size(), format.data(),
                            std::span<const port::FormatArg>(args.begin(), args.size()));
}

}  // namespace orchel
