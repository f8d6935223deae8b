#include "platform/output_file.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace qrv {

namespace {

bool Refused(const TGuardVerdict& v, TGuardVerdict* refusal) {
    if (v.Allowed()) return false;
    if (refusal) *refusal = v;
    errno = EPERM;
    return true;
}

} // namespace

std::unique_ptr<TOutputFile> TOutputFile::Create(const std::string& path, const TOutputGuard& guard,
                                                 TGuardVerdict* refusal) {
    if (refusal) *refusal = {};
    if (Refused(guard.Check_File(path), refusal)) return nullptr;
    // Opened without O_TRUNC: nothing is cut before what was opened is checked.
    bool created = true;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    }
    if (fd < 0) return nullptr;
    const TGuardVerdict again = guard.Check_Opened(fd);
    if (!again.Allowed()) {
        ::close(fd);
        if (created) ::unlink(path.c_str());
        Refused(again, refusal);
        return nullptr;
    }
    struct stat st {};
    if (!created && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TOutputFile>(new TOutputFile(fd, path));
}

TOutputFile::~TOutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool TOutputFile::Write_At(const void* buf, size_t len, int64_t off) {
    if (fd_ < 0) return false;
    const auto* p = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pwrite(fd_, p + done, len - done, off + int64_t(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += size_t(n);
    }
    if (tap_) tap_->On_Write(buf, len, off);
    if (off + int64_t(len) > length_) length_ = off + int64_t(len);
    // Sequential writes start going to the disk every few MiB, so that the
    // flush at Close waits for the last few only and the disk writes while
    // the rest is still being read (a hint: errors surface at Close).
    if (length_ - flushedTo_ >= kWritebackStep) {
        ::sync_file_range(fd_, flushedTo_, length_ - flushedTo_, SYNC_FILE_RANGE_WRITE);
        flushedTo_ = length_;
    }
    return true;
}

bool TOutputFile::Write(const void* buf, size_t len) { return Write_At(buf, len, length_); }

bool TOutputFile::Close() {
    if (fd_ < 0) return false;
    bool ok = ::fsync(fd_) == 0 || errno == EINVAL || errno == EROFS;
    ok = (::close(fd_) == 0) && ok;
    fd_ = -1;
    return ok;
}

int64_t Get_FreeBytes(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return -1;
    return int64_t(st.f_bavail) * int64_t(st.f_frsize);
}

bool Make_Folder(const std::string& path, const TOutputGuard& guard, TGuardVerdict* refusal) {
    if (refusal) *refusal = {};
    if (Refused(guard.Check_Folder(path), refusal)) return false;
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Make_Folders(const std::string& path, const TOutputGuard& guard, TGuardVerdict* refusal) {
    if (refusal) *refusal = {};
    if (path.empty()) return false;
    if (Refused(guard.Check_Folder(path), refusal)) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && parent != std::filesystem::path(path) &&
        !Make_Folders(parent.string(), guard, refusal))
        return false;
    return Make_Folder(path, guard, refusal);
}

} // namespace qrv
