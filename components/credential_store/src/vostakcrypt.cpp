#include "orchel/vostakcrypt.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "credential_codec.h"
#include "port/profile.h"
#include "port/text.h"

namespace {

using vostakcrypt::SecretBytes;

// Room for the longest stored form with margin; a value that fills it was cut by the read and
// cannot be one of ours.
constexpr DWORD kStoredValueCapacity = 1024;

std::optional<std::string> StoredValue(const wchar_t* section, const wchar_t* key) {
    const std::optional<std::wstring> settings = vostakcrypt::SettingsFilePath();
    if (!settings) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(kStoredValueCapacity);
    const DWORD length = port::GetPrivateProfileStringW(section, key, L"", buffer.data(),
                                                        kStoredValueCapacity, settings->c_str());
    std::string stored;
    if (length == 0 || length >= kStoredValueCapacity - 1 ||
        !port::WideToUtf8(std::wstring_view(buffer.data(), length), stored)) {
        return std::nullopt;
    }
    return stored;
}

// The value is handed over whole or not at all: a cut secret is a wrong secret, and a NUL
// inside would cut it for the caller.
bool FitsCallerBuffer(std::string_view value) {
    return value.size() <= vostakcrypt::kMaxValueBytes &&
           value.find('\0') == std::string_view::npos;
}

bool Decrypt(const wchar_t* section, const wchar_t* key, char* value) {
    const std::optional<std::string> stored = StoredValue(section, key);
    const std::optional<std::string> binding = vostakcrypt::Binding(section, key);
    if (!stored || !binding) {
        return false;
    }
    SecretBytes secretKey(vostakcrypt::kKeyBytes);
    if (vostakcrypt::LoadKey(vostakcrypt::KeyFilePath(), secretKey) !=
        vostakcrypt::KeyFileStatus::kLoaded) {
        return false;
    }
    SecretBytes plaintext(stored->size());
    if (!vostakcrypt::Open(secretKey, *binding, *stored, plaintext) ||
        !FitsCallerBuffer(plaintext.View())) {
        return false;
    }
    std::copy_n(plaintext.Data(), plaintext.Size(), value);
    value[plaintext.Size()] = '\0';
    return true;
}

}  // namespace

CVostakCrypt::CVostakCrypt() = default;

CVostakCrypt::~CVostakCrypt() = default;

BOOL CVostakCrypt::GetValue(const wchar_t* in_szSection, const wchar_t* in_szKey,
                            char* out_szValue) {
    if (out_szValue == nullptr) {
        return FALSE;
    }
    out_szValue[0] = '\0';
    if (in_szSection == nullptr || in_szKey == nullptr) {
        return FALSE;
    }
    // Nothing may escape an exported call; a failed allocation is a value not obtained.
    try {
        return Decrypt(in_szSection, in_szKey, out_szValue) ? TRUE : FALSE;
    } catch (...) {
        out_szValue[0] = '\0';
        return FALSE;
    }
}
