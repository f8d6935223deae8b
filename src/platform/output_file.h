// Output files: rebuilt recordings, disk images, scan-result files, logs.
// These are targets, never sources: every output is opened through an output
// guard (output_guard.h), which refuses the sources of the operation, block
// devices and, for device sources, their disks. Every write is checked so that
// a full disk or an I/O error is reported instead of being taken for success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/output_guard.h"

namespace qrv {

class TOutputFile {
  public:
    // Creates (or replaces) the file at path for writing, when the guard allows
    // it. nullptr on failure; a refusal by the guard is put into *refusal
    // (errno is then EPERM), and nothing is created, truncated or opened for
    // writing. What was opened is checked again before it is truncated, so a
    // path swapped between the check and the open is refused as well.
    static std::unique_ptr<TOutputFile> Create(const std::string& path, const TOutputGuard& guard,
                                               TGuardVerdict* refusal = nullptr);
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

// Creates a folder (one level) when the guard allows it; true when it exists
// afterwards. A refusal is put into *refusal and nothing is created.
bool Make_Folder(const std::string& path, const TOutputGuard& guard, TGuardVerdict* refusal = nullptr);

// Creates a folder with every missing parent, each allowed by the guard.
bool Make_Folders(const std::string& path, const TOutputGuard& guard, TGuardVerdict* refusal = nullptr);

} // namespace qrv
