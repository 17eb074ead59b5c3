// Whole-file rewrites that a crash can never leave half done: the new content goes to a
// temporary file in the same folder, is flushed to disk, and is renamed over the old file.
// Readers see the old file or the new one, never a part.
#ifndef ORCHEL_PORT_FILE_REPLACE_H
#define ORCHEL_PORT_FILE_REPLACE_H

#include <string>
#include <string_view>

namespace port {

// A POSIX file descriptor, closed on every path out.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    bool IsOpen() const { return descriptor_ >= 0; }
    int Get() const { return descriptor_; }
    bool Close();
    void Reset(int descriptor);

private:
    int descriptor_;
};

// The folder part of a UTF-8 path ("." when it has none).
std::string FolderOf(const std::string& path);

// Replaces the file at `path` (UTF-8) with `bytes`, creating it when missing. The new file
// keeps the permissions of the one it replaces, and its owner where the process may (settings
// and records may hold protected values); a new file gets 0666 less the umask. False when the
// folder is missing or any step fails; the old file is then left as it was and no temporary
// file remains.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace port

#endif  // ORCHEL_PORT_FILE_REPLACE_H
