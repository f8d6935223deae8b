#include "platform/output_file.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace qrv {

namespace {

bool Refused(const TGuardVerdict& v, TGuardVerdict* refusal) {
    if (v.Allowed()) return false;
    if (refusal) *refusal = v;
    errno = EPERM;
    return true;
}

} // namespace

namespace {

// The folder part of path ("." when it has none) and its last part.
std::pair<std::string, std::string> Split_Path(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Flushes the folder holding path, so that a rename in it survives a crash.
void Sync_Folder(const std::string& path) {
    const int dfd = ::open(Split_Path(path).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    ::fsync(dfd);
    ::close(dfd);
}

// A new temporary file beside path, created exclusively; -1 on failure.
int Open_Temp(const std::string& path, std::string& temp) {
    static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> serial{0};
    const auto [folder, name] = Split_Path(path);
    std::mt19937_64 rnd(std::random_device{}() ^ (uint64_t(::getpid()) << 32) ^ serial.fetch_add(1));
    for (int tries = 0; tries < 100; ++tries) {
        std::string tag;
        for (int i = 0; i < 6; ++i)
            tag += kDigits[rnd() % (sizeof kDigits - 1)];
        temp = folder + "/." + name + ".qrv-part-" + tag;
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool Is_CharDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

} // namespace

std::unique_ptr<TOutputFile> TOutputFile::Create(const std::string& path, const TOutputGuard& guard,
                                                 TGuardVerdict* refusal, TOutputMode mode) {
    if (refusal) *refusal = {};
    if (Refused(guard.Check_File(path), refusal)) return nullptr;
    std::string temp;
    int fd = -1;
    bool direct = true;
    if (Is_CharDevice(path)) {
        // Nothing to replace or cut: written in place, without O_CREAT.
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    } else if (mode == TOutputMode::Direct) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd >= 0) temp = path; // removed again if the guard refuses what was opened
    } else {
        direct = false;
        fd = Open_Temp(path, temp);
        if (fd >= 0 && Refused(guard.Check_File(temp), refusal)) {
            ::close(fd);
            ::unlink(temp.c_str());
            return nullptr;
        }
    }
    if (fd < 0) return nullptr;
    const TGuardVerdict again = guard.Check_Opened(fd);
    if (!again.Allowed()) {
        ::close(fd);
        if (!temp.empty()) ::unlink(temp.c_str());
        Refused(again, refusal);
        return nullptr;
    }
    // A Direct file is its owner's to remove; only a Whole one keeps its temporary name.
    std::unique_ptr<TOutputFile> out(new TOutputFile(fd, path, direct ? "" : temp, guard));
    out->direct_ = direct;
    return out;
}

std::unique_ptr<TOutputFile> TOutputFile::Continue(const std::string& path, const TOutputGuard& guard,
                                                   TGuardVerdict* refusal) {
    if (refusal) *refusal = {};
    if (Refused(guard.Check_File(path), refusal)) return nullptr;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    const TGuardVerdict again = guard.Check_Opened(fd);
    if (!again.Allowed()) {
        ::close(fd);
        Refused(again, refusal);
        return nullptr;
    }
    std::unique_ptr<TOutputFile> out(new TOutputFile(fd, path, path, guard));
    out->keep_ = true;
    out->length_ = out->flushedTo_ = int64_t(st.st_size);
    return out;
}

TOutputFile::~TOutputFile() {
    if (!committed_ && !direct_) Discard();
    if (fd_ >= 0) ::close(fd_);
}

void TOutputFile::Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty() && !keep_) ::unlink(temp_.c_str());
    temp_.clear();
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

bool TOutputFile::Sync_Data() {
    if (fd_ < 0) return false;
    return ::fdatasync(fd_) == 0 || errno == EINVAL || errno == EROFS;
}

bool TOutputFile::Flush() {
    if (flushed_) return flushOk_;
    flushed_ = true;
    if (fd_ < 0) return flushOk_ = false;
    bool ok = ::fsync(fd_) == 0 || errno == EINVAL || errno == EROFS;
    ok = (::close(fd_) == 0) && ok;
    fd_ = -1;
    return flushOk_ = ok;
}

bool TOutputFile::Rename_Into(const std::string& path, bool replace) {
    if (replace) return ::rename(temp_.c_str(), path.c_str()) == 0;
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // No RENAME_NOREPLACE here (some FUSE and network file systems): link()
    // refuses a taken name just as well.
    if (::link(temp_.c_str(), path.c_str()) != 0) return false;
    ::unlink(temp_.c_str());
    return true;
}

bool TOutputFile::Commit_As(const std::string& path, TTakenName taken) {
    if (committed_) return path == path_;
    if (direct_) { // written in place: it keeps its name
        committed_ = Flush();
        return committed_;
    }
    if (temp_.empty() || !Flush()) return false;
    if (keep_ && path == temp_) { // a continued file that keeps its name
        path_ = path;
        temp_.clear();
        committed_ = true;
        return true;
    }
    for (int n = 1; n < 100000; ++n) {
        const std::string name = n == 1 ? path : Numbered_Name(path, n);
        if (!guard_.Check_File(name).Allowed()) {
            errno = EPERM;
            return false;
        }
        if (Rename_Into(name, false)) {
            path_ = name;
            temp_.clear();
            committed_ = true;
            Sync_Folder(name);
            return true;
        }
        if (errno != EEXIST || taken == TTakenName::Refuse) return false;
    }
    return false;
}

bool TOutputFile::Commit(TTakenName taken) {
    return Commit_As(path_, taken);
}

bool TOutputFile::Commit_Replacing() {
    if (committed_ || direct_) return Commit();
    if (temp_.empty() || !Flush()) return false;
    if (!guard_.Check_File(path_).Allowed()) {
        errno = EPERM;
        return false;
    }
    if (!Rename_Into(path_, true)) return false;
    temp_.clear();
    committed_ = true;
    Sync_Folder(path_);
    return true;
}

bool TOutputFile::Close() {
    if (committed_) return true;
    if (direct_) return Flush();
    Discard();
    return false;
}

std::string Numbered_Name(const std::string& path, int n) {
    const size_t slash = path.find_last_of('/');
    const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= nameAt) dot = path.size();
    return path.substr(0, dot) + "-" + std::to_string(n) + path.substr(dot);
}

bool Path_Taken(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
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
