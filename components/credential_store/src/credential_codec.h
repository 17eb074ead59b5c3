// What the credential store and its command share: the key file rules, the stored form of a
// value and the settings file that holds it.
//
// A stored value is one printable line: "vc1:" + base64(nonce | ciphertext | tag), AES-256-GCM
// with a 12-byte random nonce and a 16-byte tag. The additional authenticated data names the
// value's place, "orchel-credential-v1" NUL section NUL key, both names with blanks trimmed
// and ASCII letters folded to lower case as the settings lookup matches them; a value copied
// under another section or key therefore no longer decrypts.
#ifndef ORCHEL_VOSTAKCRYPT_CREDENTIAL_CODEC_H
#define ORCHEL_VOSTAKCRYPT_CREDENTIAL_CODEC_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vostakcrypt {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kTagBytes = 16;
// The caller's buffer holds 130 bytes: 129 of value and the terminator.
inline constexpr std::size_t kMaxValueBytes = 129;
inline constexpr std::string_view kStoredPrefix = "vc1:";
inline constexpr const char* kKeyFileVariable = "ORCHEL_CREDENTIAL_KEY";
inline constexpr const char* kDefaultKeyFile = "/etc/orchel/credentials.key";
inline constexpr const wchar_t* kSettingsFileName = L"ORVSettings.INI";

// Bytes that are wiped when they go out of scope. The size is fixed at construction so that
// no copy is ever left behind by a reallocation.
class SecretBytes {
public:
    explicit SecretBytes(std::size_t size) : bytes_(size) {}
    ~SecretBytes();
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    unsigned char* Data() { return bytes_.data(); }
    const unsigned char* Data() const { return bytes_.data(); }
    std::size_t Size() const { return size_; }
    // Keeps only the first `size` bytes as content (never more than the capacity).
    void SetSize(std::size_t size);
    std::string_view View() const { return {reinterpret_cast<const char*>(bytes_.data()), size_}; }

private:
    std::vector<unsigned char> bytes_;
    std::size_t size_ = bytes_.size();
};

// Why a key file was not loaded; each has a message for the command.
enum class KeyFileStatus {
    kLoaded,
    kMissing,
    kNotRegularFile,  // a folder, device, FIFO or symbolic link
    kOtherOwner,      // owned by another user than the process's effective user
    kOpenToOthers,    // group or others hold some permission
    kWrongSize,       // not exactly kKeyBytes bytes
    kUnreadable,
};

const char* Describe(KeyFileStatus status);

// The key file named by ORCHEL_CREDENTIAL_KEY, else kDefaultKeyFile.
std::string KeyFilePath();

// Loads the key after checking the file: a regular file (a symbolic link is refused), owned by
// the effective user, no permission for group or others, exactly kKeyBytes bytes.
KeyFileStatus LoadKey(const std::string& path, SecretBytes& key);

// The settings file of the ORV folder (the folder of the process's module, moved by
// ORCHEL_ORV_DIR), or nothing when the module's path is not available.
std::optional<std::wstring> SettingsFilePath();

// The additional data binding a value to its place; nothing when a name is not valid text.
std::optional<std::string> Binding(std::wstring_view section, std::wstring_view key);

// The stored form of `plaintext` under `key` (kKeyBytes) for the place named by `binding`;
// nothing when the cipher fails.
std::optional<std::string> Seal(const SecretBytes& key, const std::string& binding,
                                std::string_view plaintext);

// Decrypts a stored form into `plaintext` (whose capacity must be at least the stored form's
// length); false when the form is malformed, altered, or sealed for another place or key.
bool Open(const SecretBytes& key, const std::string& binding, std::string_view stored,
          SecretBytes& plaintext);

}  // namespace vostakcrypt

#endif  // ORCHEL_VOSTAKCRYPT_CREDENTIAL_CODEC_H
