// orchel-set-credential: stores one credential, encrypted, in ORVSettings.INI.
//
//   printf '%s\n' "$VALUE" | orchel-set-credential --section ProxySettings --key ProxyUserID
//
// The value is read from standard input (one line; the line end is dropped) and never from the
// command line, where any user could see it in the process list. A missing key file is created
// with 32 random bytes, mode 0600, in a folder created 0700 when missing.
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "credential_codec.h"
#include "port/file_replace.h"
#include "port/module.h"
#include "port/profile.h"
#include "port/text.h"

namespace {

using vostakcrypt::KeyFileStatus;
using vostakcrypt::SecretBytes;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// More input than this is refused without being kept; the limit on the value is far lower.
constexpr std::size_t kInputCapacity = 4096;

constexpr const char* kUsage =
    "usage: orchel-set-credential --section SECTION --key KEY [--orv-dir DIR] "
    "[--key-file PATH]\n"
    "\n"
    "Reads one value from standard input (one line, the line end dropped, at most 129 bytes),\n"
    "encrypts it and stores it as KEY in SECTION of ORVSettings.INI in the ORV folder.\n"
    "\n"
    "  --orv-dir DIR    the ORV folder (default: ORCHEL_ORV_DIR, else this command's folder)\n"
    "  --key-file PATH  the key file (default: ORCHEL_CREDENTIAL_KEY, else\n"
    "                   /etc/orchel/credentials.key); created with 32 random bytes, mode 0600,\n"
    "                   when missing\n"
    "\n"
    "Exit status: 0 stored, 1 failure, 2 wrong usage.\n";

struct Options {
    std::wstring section;
    std::wstring key;
    std::optional<std::string> orvFolder;
    std::optional<std::string> keyFile;
    bool help = false;
};

void Fail(const std::string& message) {
    std::fprintf(stderr, "orchel-set-credential: %s\n", message.c_str());
}

int UsageError(const std::string& message) {
    Fail(message);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// ---- arguments ----

bool TakeName(const char* text, std::wstring& name) {
    return port::Utf8ToWide(text, name) && !name.empty();
}

// Fills `options`; returns the message of the first mistake, empty when there is none.
std::string ParseArguments(int argc, char** argv, Options& options) {
    for (int index = 1; index < argc; ++index) {
        const std::string_view option = argv[index];
        if (option == "--help" || option == "-h") {
            options.help = true;
            return {};
        }
        if (option != "--section" && option != "--key" && option != "--orv-dir" &&
            option != "--key-file") {
            return "unknown argument '" + std::string(option) +
                   "' (the value is read from standard input)";
        }
        if (index + 1 >= argc) {
            return std::string(option) + " needs a value";
        }
        const char* value = argv[++index];
        if (option == "--section" && !TakeName(value, options.section)) {
            return "--section needs a non-empty UTF-8 name";
        }
        if (option == "--key" && !TakeName(value, options.key)) {
            return "--key needs a non-empty UTF-8 name";
        }
        if (option == "--orv-dir") {
            options.orvFolder = value;
        }
        if (option == "--key-file") {
            options.keyFile = value;
        }
    }
    if (options.section.empty() || options.key.empty()) {
        return "--section and --key are required";
    }
    if ((options.orvFolder && options.orvFolder->empty()) ||
        (options.keyFile && options.keyFile->empty())) {
        return "--orv-dir and --key-file need a non-empty path";
    }
    return {};
}

// ---- the value ----

// Echo is turned off while a value is typed at a terminal, and back on afterwards.
class HiddenTerminalInput {
public:
    HiddenTerminalInput() {
        if (::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
            struct termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
            std::fputs("Value: ", stderr);
        }
    }
    ~HiddenTerminalInput() {
        if (active_) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
            std::fputs("\n", stderr);
        }
    }
    HiddenTerminalInput(const HiddenTerminalInput&) = delete;
    HiddenTerminalInput& operator=(const HiddenTerminalInput&) = delete;

private:
    struct termios saved_ {};
    bool active_ = false;
};

// Reads standard input up to the first line end (a terminal) or its end (a pipe or file).
// False when it cannot be read or holds more than the buffer.
bool ReadInput(SecretBytes& input) {
    const HiddenTerminalInput hidden;
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    std::size_t total = 0;
    for (;;) {
        if (total == input.Size()) {
            return false;
        }
        const ssize_t count = ::read(STDIN_FILENO, input.Data() + total, input.Size() - total);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        total += static_cast<std::size_t>(count);
        if (count == 0 || (terminal && input.Data()[total - 1] == '\n')) {
            break;
        }
    }
    input.SetSize(total);
    return true;
}

// The value is the input less one line end (LF or CRLF).
std::string_view ValueOf(std::string_view input) {
    if (input.ends_with('\n')) {
        input.remove_suffix(1);
        if (input.ends_with('\r')) {
            input.remove_suffix(1);
        }
    }
    return input;
}

std::string CheckValue(std::string_view value) {
    if (value.size() > vostakcrypt::kMaxValueBytes) {
        return "the value is longer than 129 bytes";
    }
    if (value.find_first_of("\r\n") != std::string_view::npos) {
        return "the value must be a single line";
    }
    if (value.find('\0') != std::string_view::npos) {
        return "the value must not hold a NUL byte";
    }
    return {};
}

// ---- the key file ----

// Creates the missing folders of `folder`, each 0700.
bool CreateFolders(const std::string& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    const std::string parent = port::FolderOf(folder);
    if (parent != folder && parent != "." && !CreateFolders(parent)) {
        return false;
    }
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

bool WriteAll(int descriptor, const unsigned char* bytes, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const ssize_t count = ::write(descriptor, bytes + total, size - total);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        total += static_cast<std::size_t>(count);
    }
    return true;
}

// Creates a new key file; an existing one is never replaced (values sealed under it would be
// lost). A file that another process created meanwhile counts as created.
std::string CreateKeyFile(const std::string& path) {
    std::string folder = port::FolderOf(path);
    if (!CreateFolders(folder)) {
        return "cannot create the folder " + folder + ": " + std::strerror(errno);
    }
    port::FileDescriptor file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.IsOpen()) {
        return errno == EEXIST ? std::string()
                               : "cannot create the key file " + path + ": " + std::strerror(errno);
    }
    SecretBytes key(vostakcrypt::kKeyBytes);
    const bool written = ::fchmod(file.Get(), 0600) == 0 &&
                         RAND_bytes(key.Data(), static_cast<int>(key.Size())) == 1 &&
                         WriteAll(file.Get(), key.Data(), key.Size()) && ::fsync(file.Get()) == 0 &&
                         file.Close();
    if (!written) {
        const std::string reason = std::strerror(errno);
        ::unlink(path.c_str());
        return "cannot write the key file " + path + ": " + reason;
    }
    return {};
}

// Loads the key, creating the key file first when it does not exist.
std::string ObtainKey(const std::string& path, SecretBytes& key) {
    KeyFileStatus status = vostakcrypt::LoadKey(path, key);
    if (status == KeyFileStatus::kMissing) {
        if (std::string error = CreateKeyFile(path); !error.empty()) {
            return error;
        }
        status = vostakcrypt::LoadKey(path, key);
    }
    if (status != KeyFileStatus::kLoaded) {
        return std::string(vostakcrypt::Describe(status)) + ": " + path;
    }
    return {};
}

// ---- storing ----

std::string Narrow(const std::wstring& wide) {
    std::string narrow;
    port::WideToUtf8(wide, narrow);
    return narrow;
}

// Writes the stored form and reads it back: a name that the settings file would read as
// another one must not leave a value nobody finds.
std::string StoreValue(const Options& options, const std::wstring& settings,
                       const std::string& stored) {
    std::wstring wideStored;
    port::Utf8ToWide(stored, wideStored);
    if (!port::WritePrivateProfileStringW(options.section.c_str(), options.key.c_str(),
                                          wideStored.c_str(), settings.c_str())) {
        return "cannot write " + Narrow(settings) +
               " (is the ORV folder there, and are the section and key valid names?)";
    }
    std::vector<wchar_t> readBack(wideStored.size() + 2);
    const DWORD length = port::GetPrivateProfileStringW(
        options.section.c_str(), options.key.c_str(), L"", readBack.data(),
        static_cast<DWORD>(readBack.size()), settings.c_str());
    if (std::wstring_view(readBack.data(), length) != wideStored) {
        return "the stored value does not read back from " + Narrow(settings) +
               " (another line of that section and key comes first?)";
    }
    return {};
}

int Run(const Options& options) {
    if (options.orvFolder) {
        ::setenv(port::kOrvFolderVariable, options.orvFolder->c_str(), 1);
    }
    SecretBytes input(kInputCapacity);
    if (!ReadInput(input)) {
        Fail("cannot read the value from standard input, or it is longer than 129 bytes");
        return kExitFailure;
    }
    const std::string_view value = ValueOf(input.View());
    if (const std::string error = CheckValue(value); !error.empty()) {
        Fail(error);
        return kExitFailure;
    }
    const std::optional<std::wstring> settings = vostakcrypt::SettingsFilePath();
    const std::optional<std::string> binding = vostakcrypt::Binding(options.section, options.key);
    if (!settings || !binding) {
        Fail("the ORV folder cannot be determined");
        return kExitFailure;
    }
    SecretBytes key(vostakcrypt::kKeyBytes);
    if (const std::string error =
            ObtainKey(options.keyFile.value_or(vostakcrypt::KeyFilePath()), key);
        !error.empty()) {
        Fail(error);
        return kExitFailure;
    }
    const std::optional<std::string> stored = vostakcrypt::Seal(key, *binding, value);
    if (!stored) {
        Fail("encryption failed");
        return kExitFailure;
    }
    if (const std::string error = StoreValue(options, *settings, *stored); !error.empty()) {
        Fail(error);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options options;
        if (const std::string error = ParseArguments(argc, argv, options); !error.empty()) {
            return UsageError(error);
        }
        if (options.help) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        return Run(options);
    } catch (const std::exception& error) {
        Fail(error.what());
        return kExitFailure;
    }
}
