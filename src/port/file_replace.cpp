#include "port/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <random>

namespace port {

bool FileDescriptor::Close() {
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor < 0 || ::close(descriptor) == 0;
}

void FileDescriptor::Reset(int descriptor) {
    Close();
    descriptor_ = descriptor;
}

std::string FolderOf(const std::string& path) {
    const std::size_t separator = path.rfind('/');
    if (separator == std::string::npos) {
        return ".";
    }
    return separator == 0 ? "/" : path.substr(0, separator);
}

namespace {

bool WriteAll(int descriptor, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(descriptor, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// A new file beside the one it will replace (rename only replaces atomically within one file
// system); removed again unless committed.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) {
        std::random_device random;
        for (int attempt = 0; attempt < 16; ++attempt) {
            std::array<char, 16> suffix{};
            const auto end =
                std::to_chars(suffix.data(), suffix.data() + suffix.size(), random(), 16).ptr;
            path_ = target + ".tmp-" + std::string(suffix.data(), end);
            // Mode 0666 lets the process umask decide for a new file.
            file_.Reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (file_.IsOpen() || errno != EEXIST) {
                break;
            }
        }
        created_ = file_.IsOpen();
    }
    ~TemporaryFile() {
        file_.Close();
        if (created_ && !committed_) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool IsOpen() const { return file_.IsOpen(); }
    int Get() const { return file_.Get(); }
    const std::string& Path() const { return path_; }
    bool Close() { return file_.Close(); }
    void Commit() { committed_ = true; }

private:
    FileDescriptor file_{-1};
    std::string path_;
    bool created_ = false;
    bool committed_ = false;
};

// The new file keeps the old one's permissions (a failure there is a failure of the write)
// and, where the process may, its owner.
bool KeepAttributes(int descriptor, const struct stat* old) {
    if (old == nullptr) {
        return true;
    }
    if (::fchown(descriptor, old->st_uid, old->st_gid) != 0) {
        // Only a privileged process may give a file away; the mode below still applies.
    }
    return ::fchmod(descriptor, old->st_mode & 07777) == 0;
}

void SyncFolder(const std::string& path) {
    FileDescriptor folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen()) {
        ::fsync(folder.Get());  // best effort: the rename itself has already succeeded
    }
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
    struct stat existing {};
    const bool replacesFile = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    const struct stat* old = replacesFile ? &existing : nullptr;
    TemporaryFile temporary(path);
    if (!temporary.IsOpen() || !WriteAll(temporary.Get(), bytes) ||
        !KeepAttributes(temporary.Get(), old) || ::fsync(temporary.Get()) != 0 ||
        !temporary.Close() || ::rename(temporary.Path().c_str(), path.c_str()) != 0) {
        return false;
    }
    temporary.Commit();
    SyncFolder(path);
    return true;
}

}  // namespace port
