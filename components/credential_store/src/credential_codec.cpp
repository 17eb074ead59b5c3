#include "credential_codec.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "orchel/wintypes.h"
#include "port/file_replace.h"
#include "port/module.h"
#include "port/text.h"

namespace vostakcrypt {
namespace {

constexpr std::string_view kBindingLabel = "orchel-credential-v1";
constexpr mode_t kGroupAndOthers = S_IRWXG | S_IRWXO;

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// ---- key file ----

KeyFileStatus StatusOfOpenFailure(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return KeyFileStatus::kMissing;
        case ELOOP:  // O_NOFOLLOW met a symbolic link
            return KeyFileStatus::kNotRegularFile;
        default:
            return KeyFileStatus::kUnreadable;
    }
}

KeyFileStatus CheckKeyFile(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) {
        return KeyFileStatus::kNotRegularFile;
    }
    if (info.st_uid != ::geteuid()) {
        return KeyFileStatus::kOtherOwner;
    }
    if ((info.st_mode & kGroupAndOthers) != 0) {
        return KeyFileStatus::kOpenToOthers;
    }
    if (info.st_size != static_cast<off_t>(kKeyBytes)) {
        return KeyFileStatus::kWrongSize;
    }
    return KeyFileStatus::kLoaded;
}

// Reads up to `size` bytes; fewer only at the end of the file. -1 on a read error.
ssize_t ReadFully(int descriptor, unsigned char* buffer, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const ssize_t count = ::read(descriptor, buffer + total, size - total);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return -1;
        }
        if (count == 0) {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(total);
}

// ---- base64 without line breaks, strict: a stored value is one line of the settings file ----

bool IsBase64Character(char character) {
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
           (character >= '0' && character <= '9') || character == '+' || character == '/';
}

std::string EncodeBase64(const std::vector<unsigned char>& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::optional<std::vector<unsigned char>> DecodeBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    const std::string_view digits = text.substr(0, text.size() - padding);
    if (!std::all_of(digits.begin(), digits.end(), IsBase64Character)) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(text.size() / 4 * 3);
    const int length = EVP_DecodeBlock(bytes.data(), Bytes(text), static_cast<int>(text.size()));
    if (length < 0 || static_cast<std::size_t>(length) != bytes.size()) {
        return std::nullopt;
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

// ---- AES-256-GCM ----

bool StartCipher(EVP_CIPHER_CTX* context, bool encrypt, const SecretBytes& key,
                 const unsigned char* nonce, const std::string& binding) {
    int ignored = 0;
    return EVP_CipherInit_ex(context, EVP_aes_256_gcm(), nullptr, nullptr, nullptr,
                             encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes),
                               nullptr) == 1 &&
           EVP_CipherInit_ex(context, nullptr, nullptr, key.Data(), nonce, encrypt ? 1 : 0) == 1 &&
           EVP_CipherUpdate(context, nullptr, &ignored, Bytes(binding),
                            static_cast<int>(binding.size())) == 1;
}

}  // namespace

SecretBytes::~SecretBytes() {
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

void SecretBytes::SetSize(std::size_t size) {
    size_ = std::min(size, bytes_.size());
}

const char* Describe(KeyFileStatus status) {
    switch (status) {
        case KeyFileStatus::kLoaded:
            return "loaded";
        case KeyFileStatus::kMissing:
            return "the key file does not exist";
        case KeyFileStatus::kNotRegularFile:
            return "the key file is not a regular file";
        case KeyFileStatus::kOtherOwner:
            return "the key file belongs to another user";
        case KeyFileStatus::kOpenToOthers:
            return "the key file grants permissions to group or others (it must be 0600)";
        case KeyFileStatus::kWrongSize:
            return "the key file does not hold exactly 32 bytes";
        case KeyFileStatus::kUnreadable:
            return "the key file cannot be read";
    }
    return "the key file cannot be used";
}

std::string KeyFilePath() {
    const char* path = std::getenv(kKeyFileVariable);
    return path != nullptr && *path != '\0' ? path : kDefaultKeyFile;
}

KeyFileStatus LoadKey(const std::string& path, SecretBytes& key) {
    // O_NONBLOCK keeps a FIFO from stalling the open; it is refused just after.
    port::FileDescriptor file(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.IsOpen()) {
        return StatusOfOpenFailure(errno);
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) {
        return KeyFileStatus::kUnreadable;
    }
    if (const KeyFileStatus status = CheckKeyFile(info); status != KeyFileStatus::kLoaded) {
        return status;
    }
    if (key.Size() != kKeyBytes) {
        return KeyFileStatus::kUnreadable;
    }
    // One byte more than the key tells a file that grew since fstat.
    SecretBytes content(kKeyBytes + 1);
    const ssize_t length = ReadFully(file.Get(), content.Data(), content.Size());
    if (length < 0) {
        return KeyFileStatus::kUnreadable;
    }
    if (static_cast<std::size_t>(length) != kKeyBytes) {
        return KeyFileStatus::kWrongSize;
    }
    std::copy_n(content.Data(), kKeyBytes, key.Data());
    return KeyFileStatus::kLoaded;
}

std::optional<std::wstring> SettingsFilePath() {
    wchar_t module[MAX_PATH];
    const DWORD length = port::GetModuleFileNameW(nullptr, module, MAX_PATH);
    // A cut path would name another folder.
    if (length == 0 || length >= MAX_PATH) {
        return std::nullopt;
    }
    const std::wstring_view path(module, length);
    return std::wstring(path.substr(0, path.rfind(L'/') + 1)) + kSettingsFileName;
}

std::optional<std::string> Binding(std::wstring_view section, std::wstring_view key) {
    // The names as the settings lookup compares them: blanks around them do not count, nor
    // the case of ASCII letters.
    const auto trim = [](std::wstring_view name) {
        constexpr std::wstring_view kBlanks = L" \t\r";
        const std::size_t first = name.find_first_not_of(kBlanks);
        if (first == std::wstring_view::npos) {
            return std::wstring_view();
        }
        return name.substr(first, name.find_last_not_of(kBlanks) - first + 1);
    };
    std::string sectionText;
    std::string keyText;
    if (!port::WideToUtf8(port::ToLowerAscii(trim(section)), sectionText) ||
        !port::WideToUtf8(port::ToLowerAscii(trim(key)), keyText)) {
        return std::nullopt;
    }
    std::string binding(kBindingLabel);
    binding.push_back('\0');
    binding += sectionText;
    binding.push_back('\0');
    binding += keyText;
    return binding;
}

std::optional<std::string> Seal(const SecretBytes& key, const std::string& binding,
                                std::string_view plaintext) {
    if (key.Size() != kKeyBytes) {
        return std::nullopt;
    }
    std::vector<unsigned char> sealed(kNonceBytes + plaintext.size() + kTagBytes);
    unsigned char* const nonce = sealed.data();
    unsigned char* const ciphertext = nonce + kNonceBytes;
    unsigned char* const tag = ciphertext + plaintext.size();
    const CipherContext context(EVP_CIPHER_CTX_new());
    int written = 0;
    int finalWritten = 0;
    if (!context || RAND_bytes(nonce, static_cast<int>(kNonceBytes)) != 1 ||
        !StartCipher(context.get(), true, key, nonce, binding) ||
        EVP_EncryptUpdate(context.get(), ciphertext, &written, Bytes(plaintext),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), ciphertext + written, &finalWritten) != 1 ||
        static_cast<std::size_t>(written + finalWritten) != plaintext.size() ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                            tag) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return std::string(kStoredPrefix) + EncodeBase64(sealed);
}

bool Open(const SecretBytes& key, const std::string& binding, std::string_view stored,
          SecretBytes& plaintext) {
    if (key.Size() != kKeyBytes || !stored.starts_with(kStoredPrefix)) {
        return false;
    }
    std::optional<std::vector<unsigned char>> sealed =
        DecodeBase64(stored.substr(kStoredPrefix.size()));
    if (!sealed || sealed->size() < kNonceBytes + kTagBytes) {
        return false;
    }
    const std::size_t ciphertextSize = sealed->size() - kNonceBytes - kTagBytes;
    if (plaintext.Size() < ciphertextSize) {
        return false;
    }
    const unsigned char* const nonce = sealed->data();
    const unsigned char* const ciphertext = nonce + kNonceBytes;
    unsigned char* const tag = sealed->data() + kNonceBytes + ciphertextSize;
    const CipherContext context(EVP_CIPHER_CTX_new());
    int written = 0;
    int finalWritten = 0;
    const bool opened =
        context && StartCipher(context.get(), false, key, nonce, binding) &&
        EVP_DecryptUpdate(context.get(), plaintext.Data(), &written, ciphertext,
                          static_cast<int>(ciphertextSize)) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                            tag) == 1 &&
        EVP_DecryptFinal_ex(context.get(), plaintext.Data() + written, &finalWritten) == 1 &&
        static_cast<std::size_t>(written + finalWritten) == ciphertextSize;
    if (!opened) {
        // Whatever was deciphered before the tag check failed must not stay behind.
        OPENSSL_cleanse(plaintext.Data(), plaintext.Size());
        ERR_clear_error();
        return false;
    }
    plaintext.SetSize(ciphertextSize);
    return true;
}

}  // namespace vostakcrypt
