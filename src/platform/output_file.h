// Output files: rebuilt recordings, disk images, scan-result files, logs.
// These are targets, never sources; every write is checked so that a full disk
// or an I/O error is reported instead of being taken for success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qrv {

class TOutputFile {
  public:
    // Creates (or replaces) the file at path for writing. nullptr on failure.
    static std::unique_ptr<TOutputFile> Create(const std::string& path);
    ~TOutputFile();
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    // Appends len bytes at the end of the file. False when not all bytes were written.
    bool Write(const void* buf, size_t len);
    // Writes len bytes at byte offset off (used to patch length fields). False on a short write.
    bool Write_At(const void* buf, size_t len, int64_t off);
    // Bytes written so far (the current end of the file).
    int64_t Length() const { return length_; }
    // Flushes and closes; false when the data could not be committed.
    bool Close();
    const std::string& Path() const { return path_; }

  private:
    TOutputFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
    int64_t length_ = 0;
};

// Bytes available to the caller on the file system holding path (statvfs:
// f_bavail x f_frsize), or -1 when it cannot be queried.
int64_t Get_FreeBytes(const std::string& path);

// Creates a folder (one level); true when it exists afterwards.
bool Make_Folder(const std::string& path);

} // namespace qrv
