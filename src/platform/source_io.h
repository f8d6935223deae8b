// Read-only access to sources (block devices and image files).
//
// A source is evidence: nothing in this header can open one for writing. The
// only way to open a path is Open_Source, which uses O_RDONLY | O_CLOEXEC;
// Open_SourceWithFlags exists so that a caller (or a test) asking for any write
// access is refused instead of silently downgraded.
//
// TSource is the interface every reader uses: a file or device (TFileSource),
// or bytes in memory (TMemorySource, used by tests and fuzz harnesses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/udisks.h"

namespace qrv {

struct TOpenFailure;

class TSource {
  public:
    virtual ~TSource() = default;
    // Reads up to len bytes at byte offset off. Returns the number of bytes read
    // (short at the end of the medium, 0 past it) or -1 on an I/O error. Bytes
    // not read are left untouched: callers zero their buffers first. Several
    // threads may read from one source at once (the frame-start search of the
    // analysis reads its window on a few threads).
    virtual int64_t Read_At(void* buf, size_t len, int64_t off) = 0;
    // Size of the medium in bytes, or -1 when it cannot be determined.
    virtual int64_t Size() = 0;
    virtual const std::string& Path() const = 0;
};

using TSourcePtr = std::unique_ptr<TSource>;

class TFileSource final : public TSource {
  public:
    ~TFileSource() override;
    TFileSource(const TFileSource&) = delete;
    TFileSource& operator=(const TFileSource&) = delete;
    int64_t Read_At(void* buf, size_t len, int64_t off) override;
    int64_t Size() override;
    const std::string& Path() const override { return path_; }
    int Fd() const { return fd_; }

  private:
    friend TSourcePtr Open_SourceWithFlags(const std::string& path, int flags);
    friend TSourcePtr Open_Source(const std::string& path, TOpenFailure* failure);
    TFileSource(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

class TMemorySource final : public TSource {
  public:
    explicit TMemorySource(std::vector<uint8_t> bytes, std::string path = "memory")
        : bytes_(std::move(bytes)), path_(std::move(path)) {}
    int64_t Read_At(void* buf, size_t len, int64_t off) override;
    int64_t Size() override { return int64_t(bytes_.size()); }
    const std::string& Path() const override { return path_; }
    std::vector<uint8_t>& Bytes() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
    std::string path_;
};

// Opens a file or block device read-only. Returns nullptr when it cannot be
// opened (errno is left as the direct open call set it). A block device the
// user may not open (not root, EACCES/EPERM) is asked of udisks2 instead
// (udisks.h), which hands out a read-only descriptor once polkit agrees.
TSourcePtr Open_Source(const std::string& path);

// Why an open failed, for the message that tells the user what to do.
struct TOpenFailure {
    int Error = 0;       // errno of the direct open
    bool Device = false; // the path is a block device
    TUdisksStatus Udisks = TUdisksStatus::NotTried;
    std::string UdisksError;
};
// Open_Source that also says why it failed (failure may be nullptr).
TSourcePtr Open_Source(const std::string& path, TOpenFailure* failure);

// What to tell the user about a failed open of path: empty when a hint would
// not help (the path is missing, or root was refused by something else);
// else who may read it and how to get there (run as root, join the disk
// group, let udisks2 and polkit grant it), in the interface language.
std::string Open_FailureHint(const std::string& path, const TOpenFailure& failure);

// Opens with caller-chosen open(2) flags, but only read-only ones: any flag that
// asks for write access (O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND) is refused
// with nullptr and errno = EPERM, and no open call is made.
TSourcePtr Open_SourceWithFlags(const std::string& path, int flags);

// Size in bytes of a regular file (fstat) or a block device (BLKGETSIZE64); -1 on failure.
int64_t Get_FdSize(int fd);

// Size of the file or device at path, opened read-only for the query; -1 on failure.
int64_t Get_PathSize(const std::string& path);

} // namespace qrv
