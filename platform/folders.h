#pragma once
// Files and folders as the event log, statistics and log retention use them.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace orvana::platform {

// A file written at its end, one write(2) per Append so a line survives a crash of the process;
// data reaches the disk at least once a second.
class AppendFile {
  public:
    // Created readable and writable by its owner only. nullptr with `error` set on failure.
    static std::unique_ptr<AppendFile> Open(const std::string& path, std::string* error);
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    // The bytes written: all of them, or fewer with `error` set (the system's reason).
    size_t Append(const void* data, size_t size, std::string* error);

  private:
    explicit AppendFile(int fd) : fd_(fd) {}
    int fd_;
    uint32_t last_sync_ms_ = 0;
};

// A file opened for positioned reads and writes (created when missing); closed on destruction.
class RandomFile {
  public:
    static std::unique_ptr<RandomFile> Open(const std::string& path);
    ~RandomFile();
    RandomFile(const RandomFile&) = delete;
    RandomFile& operator=(const RandomFile&) = delete;
    int64_t Size() const;
    bool WriteAt(int64_t offset, const void* data, size_t size);
    bool AppendAtEnd(const void* data, size_t size);
    // Bytes read (fewer at the end of the file), -1 on error.
    long ReadAt(int64_t offset, void* data, size_t size) const;

  private:
    explicit RandomFile(int fd) : fd_(fd) {}
    int fd_;
};

struct FileInfo {
    std::string path;
    std::time_t modified = 0;
};

// Regular files of `folder` whose names start with `prefix` and end with `suffix`.
std::vector<FileInfo> ListFiles(const std::string& folder, const std::string& prefix,
                                const std::string& suffix);
bool RemoveFile(const std::string& path);
// Replaces `to` by `from` in one step (same file system).
bool RenameFile(const std::string& from, const std::string& to);
// Creates the folder and its missing parents.
bool MakeFolder(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace orvana::platform
