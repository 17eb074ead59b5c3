#include "orchel/vostakcrypt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "port/module.h"
#include "port/profile.h"
#include "port/text.h"
#include "support/scratch.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;
using testsupport::TempFolder;

constexpr const char* kSection = "ProxySettings";
constexpr const char* kUserKey = "ProxyUserID";
constexpr const char* kPasswordKey = "ProxyPassword";
// Bytes the caller's buffer is followed by in these tests, to catch a write past its end.
constexpr std::size_t kGuardBytes = 16;
constexpr char kUnwritten = '#';

std::wstring Wide(const std::string& text) {
    std::wstring wide;
    EXPECT_TRUE(port::Utf8ToWide(text, wide)) << text;
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    std::string text;
    EXPECT_TRUE(port::WideToUtf8(wide, text));
    return text;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path;
}

std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    EXPECT_EQ(1,
              RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)));
    return bytes;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The stored form written out by hand from its description ("vc1:" + base64 of nonce,
// ciphertext and tag; AES-256-GCM; the additional data names the place), independently of
// the component's own code.
std::string SealByHand(const std::string& key, const std::string& foldedSection,
                       const std::string& foldedKey, const std::string& plaintext) {
    std::string aad = "orchel-credential-v1";
    aad.push_back('\0');
    aad += foldedSection;
    aad.push_back('\0');
    aad += foldedKey;
    const std::string nonce = RandomBytes(12);
    std::string ciphertext(plaintext.size(), '\0');
    unsigned char tag[16];
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int length = 0;
    const auto bytes = [](const std::string& text) {
        return reinterpret_cast<const unsigned char*>(text.data());
    };
    EXPECT_EQ(1, EVP_EncryptInit_ex(context, EVP_aes_256_gcm(), nullptr, bytes(key), bytes(nonce)));
    EXPECT_EQ(
        1, EVP_EncryptUpdate(context, nullptr, &length, bytes(aad), static_cast<int>(aad.size())));
    EXPECT_EQ(1, EVP_EncryptUpdate(context, reinterpret_cast<unsigned char*>(ciphertext.data()),
                                   &length, bytes(plaintext), static_cast<int>(plaintext.size())));
    EXPECT_EQ(1, EVP_EncryptFinal_ex(context, nullptr, &length));
    EXPECT_EQ(1, EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, 16, tag));
    EVP_CIPHER_CTX_free(context);
    const std::string sealed = nonce + ciphertext + std::string(reinterpret_cast<char*>(tag), 16);
    std::string text(4 * ((sealed.size() + 2) / 3) + 1, '\0');
    text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes(sealed),
                                static_cast<int>(sealed.size())));
    return "vc1:" + text;
}

struct ToolRun {
    int exitCode = -1;
    std::string errors;
};

// A temporary ORV folder and key file location (both named through the environment), the
// command that stores values and the component that reads them.
class CredentialStore : public ::testing::Test {
protected:
    CredentialStore()
        : orvFolder_(folder_.Path() / "orv"),
          keyFile_(folder_.Path() / "keys" / "credentials.key"),
          orvEnv_(port::kOrvFolderVariable, orvFolder_.string()),
          keyEnv_("ORCHEL_CREDENTIAL_KEY", keyFile_.string()) {
        fs::create_directory(orvFolder_);
    }

    fs::path Settings() const { return orvFolder_ / "ORVSettings.INI"; }

    // Runs the command with `input` on its standard input.
    ToolRun RunTool(const std::vector<std::string>& arguments, const std::string& input) {
        const fs::path inputFile = folder_.Path() / "stdin";
        const fs::path errorFile = folder_.Path() / "stderr";
        WriteBytes(inputFile, input);
        std::vector<std::string> words = {ORCHEL_SET_CREDENTIAL_TOOL};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t child = 0;
        const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ToolRun run;
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
            return run;
        }
        int status = 0;
        EXPECT_EQ(child, ::waitpid(child, &status, 0));
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.errors = ReadBytes(errorFile);
        return run;
    }

    // Stores through the command; the value is followed by a line end as `echo` gives it.
    void Store(const std::string& section, const std::string& key, const std::string& value) {
        const ToolRun run = RunTool({"--section", section, "--key", key}, value + "\n");
        ASSERT_EQ(0, run.exitCode) << run.errors;
        EXPECT_EQ("", run.errors);
    }

    // GetValue through a buffer of exactly 130 bytes followed by guard bytes; nothing when it
    // gives FALSE, which must leave the buffer empty.
    std::optional<std::string> Get(const std::wstring& section, const std::wstring& key) {
        std::vector<char> buffer(VOSTAKCRYPT_VALUE_CAPACITY + kGuardBytes, kUnwritten);
        const BOOL found = CVostakCrypt().GetValue(section.c_str(), key.c_str(), buffer.data());
        EXPECT_TRUE(std::all_of(buffer.begin() + VOSTAKCRYPT_VALUE_CAPACITY, buffer.end(),
                                [](char byte) { return byte == kUnwritten; }))
            << "written past the 130 bytes";
        if (found != TRUE) {
            EXPECT_EQ(FALSE, found);
            EXPECT_EQ('\0', buffer[0]) << "the buffer is not emptied";
            return std::nullopt;
        }
        const auto end =
            std::find(buffer.begin(), buffer.begin() + VOSTAKCRYPT_VALUE_CAPACITY, '\0');
        EXPECT_NE(buffer.begin() + VOSTAKCRYPT_VALUE_CAPACITY, end) << "not terminated";
        return std::string(buffer.begin(), end);
    }
    std::optional<std::string> Get(const std::string& section, const std::string& key) {
        return Get(Wide(section), Wide(key));
    }

    std::string Stored(const std::string& section, const std::string& key) const {
        wchar_t buffer[1024];
        const DWORD length =
            port::GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"", buffer,
                                           1024, Settings().wstring().c_str());
        return Narrow(std::wstring(buffer, length));
    }

    void SetStored(const std::string& section, const std::string& key, const char* stored) {
        const std::wstring wide = stored == nullptr ? L"" : Wide(stored);
        ASSERT_TRUE(port::WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(),
                                                     stored == nullptr ? nullptr : wide.c_str(),
                                                     Settings().wstring().c_str()));
    }

    TempFolder folder_;
    fs::path orvFolder_;
    fs::path keyFile_;
    ScopedEnv orvEnv_;
    ScopedEnv keyEnv_;
};

// ---- storing and reading back ----

TEST_F(CredentialStore, CommandStoresWhatGetValueReads) {
    const std::string before =
        "; settings of the ORV client\n"
        "[DownloadServer]\n"
        "Protocol=HTTP\n"
        "[ProxySettings]\n"
        "ProxyServer = proxy.example:3128\n"
        "[Other]\n"
        "Key=\"quoted\"\n";
    WriteBytes(Settings(), before, 0640);
    // The options name the folder and the key file even when the environment says otherwise.
    const fs::path keyFile = folder_.Path() / "private" / "store" / "credentials.key";
    const ScopedEnv elsewhere(port::kOrvFolderVariable, (folder_.Path() / "missing").string());
    for (const auto& [key, value] : {std::pair{kUserKey, "alice"}, {kPasswordKey, "s3cret!"}}) {
        const ToolRun run = RunTool({"--section", kSection, "--key", key, "--orv-dir",
                                     orvFolder_.string(), "--key-file", keyFile.string()},
                                    std::string(value) + "\n");
        ASSERT_EQ(0, run.exitCode) << run.errors;
    }

    const ScopedEnv orv(port::kOrvFolderVariable, orvFolder_.string());
    const ScopedEnv key("ORCHEL_CREDENTIAL_KEY", keyFile.string());
    EXPECT_EQ("alice", Get(L"ProxySettings", L"ProxyUserID"));
    EXPECT_EQ("s3cret!", Get(L"ProxySettings", L"ProxyPassword"));
    // Names are found without regard to case, as the settings file matches them.
    EXPECT_EQ("s3cret!", Get(L"proxysettings", L"PROXYPASSWORD"));

    const std::string after = ReadBytes(Settings());
    EXPECT_EQ(std::string::npos, after.find("alice"));
    EXPECT_EQ(std::string::npos, after.find("s3cret"));
    EXPECT_EQ(0, Stored(kSection, kUserKey).rfind("vc1:", 0)) << after;
    // Every other line is kept, in its order; only the two values are added.
    const std::vector<std::string> oldLines = Lines(before);
    std::vector<std::string> newLines = Lines(after);
    std::erase_if(newLines, [](const std::string& line) {
        return line.rfind("ProxyUserID=vc1:", 0) == 0 || line.rfind("ProxyPassword=vc1:", 0) == 0;
    });
    EXPECT_EQ(oldLines, newLines) << after;
    struct stat settingsInfo {};
    ASSERT_EQ(0, ::stat(Settings().c_str(), &settingsInfo));
    EXPECT_EQ(0640u, settingsInfo.st_mode & 07777);

    // The key file: 32 bytes only its owner may read, in a folder only its owner may enter.
    struct stat keyInfo {};
    ASSERT_EQ(0, ::lstat(keyFile.c_str(), &keyInfo));
    EXPECT_TRUE(S_ISREG(keyInfo.st_mode));
    EXPECT_EQ(0600u, keyInfo.st_mode & 07777);
    EXPECT_EQ(32, keyInfo.st_size);
    EXPECT_EQ(::geteuid(), keyInfo.st_uid);
    for (const fs::path& folder : {keyFile.parent_path(), keyFile.parent_path().parent_path()}) {
        struct stat folderInfo {};
        ASSERT_EQ(0, ::stat(folder.c_str(), &folderInfo));
        EXPECT_EQ(0700u, folderInfo.st_mode & 07777) << folder;
    }
}

TEST_F(CredentialStore, ValuesComeBackByteForByte) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        // {standard input, value read back}
        {"alice\n", "alice"},
        {"alice", "alice"},
        {"alice\r\n", "alice"},
        {"\n", ""},
        {"  blanks around  \n", "  blanks around  "},
        {"\"quoted\"\n", "\"quoted\""},
        {"a=b;c[d]#e\\f\n", "a=b;c[d]#e\\f"},
        {"p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC\n", "p\xC3\xA4ssw\xC3\xB6rd \xE2\x82\xAC"},
        {"raw \xFF\xFE bytes\n", "raw \xFF\xFE bytes"},
        {std::string(129, 'x') + "\n", std::string(129, 'x')},
    };
    for (const auto& [input, expected] : rows) {
        const ToolRun run = RunTool({"--section", kSection, "--key", kPasswordKey}, input);
        ASSERT_EQ(0, run.exitCode) << "input: " << input << "\n" << run.errors;
        EXPECT_EQ(expected, Get(kSection, kPasswordKey)) << "input: " << input;
    }
}

TEST_F(CredentialStore, CommandKeepsOneKeyFileForAllValues) {
    Store(kSection, kUserKey, "alice");
    const std::string key = ReadBytes(keyFile_);
    Store(kSection, kPasswordKey, "s3cret");
    Store("Mail", "SmtpPassword", "m41l");
    EXPECT_EQ(key, ReadBytes(keyFile_));
    EXPECT_EQ("alice", Get(kSection, kUserKey));
    EXPECT_EQ("s3cret", Get(kSection, kPasswordKey));
    EXPECT_EQ("m41l", Get("Mail", "SmtpPassword"));
}

TEST_F(CredentialStore, ReadsTheFormAsDescribed) {
    const std::string key = RandomBytes(32);
    const fs::path keyFile = folder_.Path() / "credentials.key";
    WriteBytes(keyFile, key);
    const ScopedEnv keyEnv("ORCHEL_CREDENTIAL_KEY", keyFile.string());
    const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
        // {plaintext, value read back}
        {"", ""},
        {"alice", "alice"},
        {std::string(129, 'y'), std::string(129, 'y')},
        // Never cut: a value that does not fit the 130 bytes is not given at all.
        {std::string(130, 'y'), std::nullopt},
        {std::string(400, 'y'), std::nullopt},
        // A NUL would cut the value for the caller.
        {std::string("ab\0cd", 5), std::nullopt},
    };
    for (const auto& [plaintext, expected] : rows) {
        SetStored(kSection, kPasswordKey,
                  SealByHand(key, "proxysettings", "proxypassword", plaintext).c_str());
        EXPECT_EQ(expected, Get(kSection, kPasswordKey)) << plaintext.size() << " bytes";
    }
}

// Download threads read the proxy credentials while others do the same.
TEST_F(CredentialStore, ConcurrentReadersAllGetTheValue) {
    Store(kSection, kUserKey, "alice");
    Store(kSection, kPasswordKey, "s3cret");
    std::atomic<int> wrong = 0;
    std::vector<std::thread> readers;
    for (int reader = 0; reader < 4; ++reader) {
        readers.emplace_back([&wrong, reader] {
            CVostakCrypt store;
            char buffer[VOSTAKCRYPT_VALUE_CAPACITY];
            const bool user = reader % 2 == 0;
            for (int round = 0; round < 25; ++round) {
                const BOOL found = store.GetValue(L"ProxySettings",
                                                  user ? L"ProxyUserID" : L"ProxyPassword", buffer);
                if (found != TRUE || std::string(buffer) != (user ? "alice" : "s3cret")) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(0, wrong.load());
}

// ---- refusals of GetValue ----

TEST_F(CredentialStore, NullArgumentsGiveFalse) {
    Store(kSection, kUserKey, "alice");
    char buffer[VOSTAKCRYPT_VALUE_CAPACITY];
    CVostakCrypt store;
    std::strcpy(buffer, "stale");
    EXPECT_EQ(FALSE, store.GetValue(nullptr, L"ProxyUserID", buffer));
    EXPECT_STREQ("", buffer);
    std::strcpy(buffer, "stale");
    EXPECT_EQ(FALSE, store.GetValue(L"ProxySettings", nullptr, buffer));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(FALSE, store.GetValue(L"ProxySettings", L"ProxyUserID", nullptr));
    EXPECT_EQ(FALSE, store.GetValue(nullptr, nullptr, nullptr));
    EXPECT_EQ(TRUE, store.GetValue(L"ProxySettings", L"ProxyUserID", buffer));
    EXPECT_STREQ("alice", buffer);
}

TEST_F(CredentialStore, ValueMovedToAnotherPlaceDoesNotDecrypt) {
    Store(kSection, kPasswordKey, "s3cret");
    Store(kSection, kUserKey, "alice");
    const std::string password = Stored(kSection, kPasswordKey);
    SetStored(kSection, kUserKey, password.c_str());
    SetStored("OtherSection", kPasswordKey, password.c_str());
    SetStored("Proxy", "SettingsProxyPassword", password.c_str());
    EXPECT_EQ(std::nullopt, Get(kSection, kUserKey));
    EXPECT_EQ(std::nullopt, Get("OtherSection", kPasswordKey));
    // The boundary between section and key is part of what the value is bound to.
    EXPECT_EQ(std::nullopt, Get("Proxy", "SettingsProxyPassword"));
    EXPECT_EQ("s3cret", Get(kSection, kPasswordKey));
}

struct Damage {
    const char* name;
    std::function<void(const fs::path& settings, const fs::path& keyFile, std::string& stored)>
        apply;
};

void ReplaceKeyFile(const fs::path& keyFile, const std::string& bytes, mode_t mode = 0600) {
    fs::remove(keyFile);
    WriteBytes(keyFile, bytes, mode);
}

TEST_F(CredentialStore, DamagedValueOrKeyFileGivesFalse) {
    // `stored` is the stored form of the value; a damage may change it or the files.
    const std::vector<Damage> rows = {
        {"value missing", [](auto&, auto&, std::string& stored) { stored.clear(); }},
        {"settings file missing",
         [](const fs::path& settings, auto&, auto&) { fs::remove(settings); }},
        {"ciphertext altered",
         [](auto&, auto&, std::string& stored) {
             char& middle = stored[stored.size() / 2];
             middle = middle == 'A' ? 'B' : 'A';
         }},
        {"tag cut", [](auto&, auto&, std::string& stored) { stored.resize(stored.size() - 4); }},
        {"only the prefix", [](auto&, auto&, std::string& stored) { stored = "vc1:"; }},
        {"no prefix", [](auto&, auto&, std::string& stored) { stored.erase(0, 4); }},
        {"other prefix", [](auto&, auto&, std::string& stored) { stored[2] = '2'; }},
        {"not base64", [](auto&, auto&, std::string& stored) { stored.back() = '*'; }},
        {"nonce and tag only",
         [](auto&, auto&, std::string& stored) {
             stored = "vc1:" + std::string(36, 'A') + "AA==";
         }},
        {"shorter than nonce and tag",
         [](auto&, auto&, std::string& stored) { stored = "vc1:AAAA"; }},
        {"plain text", [](auto&, auto&, std::string& stored) { stored = "s3cret"; }},
        {"key file of another key",
         [](auto&, const fs::path& keyFile, auto&) { ReplaceKeyFile(keyFile, RandomBytes(32)); }},
        {"key file missing", [](auto&, const fs::path& keyFile, auto&) { fs::remove(keyFile); }},
        {"key file 31 bytes",
         [](auto&, const fs::path& keyFile, auto&) {
             ReplaceKeyFile(keyFile, ReadBytes(keyFile).substr(0, 31));
         }},
        {"key file 33 bytes", [](auto&, const fs::path& keyFile,
                                 auto&) { ReplaceKeyFile(keyFile, ReadBytes(keyFile) + "x"); }},
        {"key file empty",
         [](auto&, const fs::path& keyFile, auto&) { ReplaceKeyFile(keyFile, ""); }},
        {"key file mode 0644",
         [](auto&, const fs::path& keyFile, auto&) { ::chmod(keyFile.c_str(), 0644); }},
        {"key file mode 0640",
         [](auto&, const fs::path& keyFile, auto&) { ::chmod(keyFile.c_str(), 0640); }},
        {"key file mode 0601",
         [](auto&, const fs::path& keyFile, auto&) { ::chmod(keyFile.c_str(), 0601); }},
        {"key file mode 0610",
         [](auto&, const fs::path& keyFile, auto&) { ::chmod(keyFile.c_str(), 0610); }},
        {"key file is a folder",
         [](auto&, const fs::path& keyFile, auto&) {
             fs::remove(keyFile);
             fs::create_directory(keyFile);
         }},
        {"key file is a symbolic link",
         [](auto&, const fs::path& keyFile, auto&) {
             const fs::path target = keyFile.parent_path() / "real.key";
             fs::rename(keyFile, target);
             fs::create_symlink(target, keyFile);
         }},
    };
    for (const Damage& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(keyFile_.parent_path());
        fs::remove(Settings());
        Store(kSection, kPasswordKey, "s3cret");
        ASSERT_EQ("s3cret", Get(kSection, kPasswordKey));
        std::string stored = Stored(kSection, kPasswordKey);
        const std::string original = stored;
        row.apply(Settings(), keyFile_, stored);
        if (stored != original) {
            SetStored(kSection, kPasswordKey, stored.empty() ? nullptr : stored.c_str());
        }
        EXPECT_EQ(std::nullopt, Get(kSection, kPasswordKey));
    }
}

TEST_F(CredentialStore, KeyFileOfAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a file to another user";
    }
    Store(kSection, kPasswordKey, "s3cret");
    ASSERT_EQ(0, ::chown(keyFile_.c_str(), 65534, 65534));
    EXPECT_EQ(std::nullopt, Get(kSection, kPasswordKey));
    const ToolRun run = RunTool({"--section", kSection, "--key", kUserKey}, "alice\n");
    EXPECT_EQ(1, run.exitCode);
    EXPECT_NE(std::string::npos, run.errors.find("another user")) << run.errors;
}

// ---- refusals of the command ----

TEST_F(CredentialStore, CommandRefusesBadUsageAndValues) {
    struct Row {
        std::vector<std::string> arguments;
        std::string input;
        int exitCode;
        const char* message;
    };
    const std::vector<std::string> place = {"--section", kSection, "--key", kPasswordKey};
    const auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), place.begin(), place.end());
        return more;
    };
    // Refused before anything is written: no key file is made for a value that is not stored.
    for (const auto& [arguments, input] :
         {std::pair{with({}), std::string(130, 'z')}, {with({"--bad"}), std::string("x")}}) {
        EXPECT_NE(0, RunTool(arguments, input).exitCode);
        EXPECT_FALSE(fs::exists(keyFile_));
    }
    const std::vector<Row> rows = {
        {with({}), std::string(130, 'z') + "\n", 1, "longer than 129 bytes"},
        {with({}), std::string(5000, 'z'), 1, "longer than 129 bytes"},
        {with({}), "two\nlines\n", 1, "single line"},
        {with({}), "carriage\rreturn\n", 1, "single line"},
        {with({}), std::string("nul\0byte\n", 9), 1, "NUL"},
        {with({"--orv-dir", "/nonexistent/orv"}), "secret-value\n", 1, "cannot write"},
        {{"--section", kSection}, "secret-value\n", 2, "--key are required"},
        {{"--key", kPasswordKey}, "secret-value\n", 2, "--key are required"},
        {with({"--value", "secret-value"}), "", 2, "unknown argument '--value'"},
        {with({"--orv-dir"}), "secret-value\n", 2, "needs a value"},
        {{"--section", "", "--key", kPasswordKey}, "secret-value\n", 2, "non-empty"},
        {{"--section", kSection, "--key", "\xFF"}, "secret-value\n", 2, "UTF-8"},
        // A key that would read back as another one is refused by the settings file.
        {{"--section", kSection, "--key", "a=b"}, "secret-value\n", 1, "cannot write"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        const ToolRun run = RunTool(row.arguments, row.input);
        EXPECT_EQ(row.exitCode, run.exitCode);
        EXPECT_NE(std::string::npos, run.errors.find(row.message)) << run.errors;
        EXPECT_EQ(std::string::npos, run.errors.find("secret-value")) << run.errors;
        EXPECT_FALSE(fs::exists(Settings()));
    }
}

TEST_F(CredentialStore, CommandNeverReplacesAnUnusableKeyFile) {
    const std::string key = RandomBytes(32);
    struct Row {
        const char* name;
        std::string bytes;
        mode_t mode;
        const char* message;
    };
    const std::vector<Row> rows = {
        {"mode 0644", key, 0644, "group or others"},
        {"mode 0640", key, 0640, "group or others"},
        {"31 bytes", key.substr(0, 31), 0600, "exactly 32 bytes"},
        {"33 bytes", key + "x", 0600, "exactly 32 bytes"},
    };
    fs::create_directories(keyFile_.parent_path());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReplaceKeyFile(keyFile_, row.bytes, row.mode);
        const ToolRun run = RunTool({"--section", kSection, "--key", kUserKey}, "alice\n");
        EXPECT_EQ(1, run.exitCode);
        EXPECT_NE(std::string::npos, run.errors.find(row.message)) << run.errors;
        EXPECT_NE(std::string::npos, run.errors.find(keyFile_.string())) << run.errors;
        EXPECT_EQ(row.bytes, ReadBytes(keyFile_));
        EXPECT_FALSE(fs::exists(Settings()));
    }
}

}  // namespace
