#include "platform/source_io.h"

#include "platform/ewf_source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qrv {

TFileSource::~TFileSource() {
    if (fd_ >= 0) ::close(fd_);
}

int64_t TFileSource::Read_At(void* buf, size_t len, int64_t off) {
    if (off < 0) return -1;
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buf);
    while (done < len) {
        ssize_t n = ::pread(fd_, out + done, len - done, off + int64_t(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? int64_t(done) : -1;
        }
        if (n == 0) break; // end of the medium
        done += size_t(n);
    }
    return int64_t(done);
}

int64_t TFileSource::Size() { return Get_FdSize(fd_); }

int64_t TMemorySource::Read_At(void* buf, size_t len, int64_t off) {
    if (off < 0) return -1;
    if (uint64_t(off) >= bytes_.size()) return 0;
    size_t n = std::min<size_t>(len, bytes_.size() - size_t(off));
    std::memcpy(buf, bytes_.data() + off, n);
    return int64_t(n);
}

TSourcePtr Open_SourceWithFlags(const std::string& path, int flags) {
    constexpr int kWriteFlags = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
    if ((flags & kWriteFlags) != 0 || (flags & O_ACCMODE) != O_RDONLY) {
        errno = EPERM;
        return nullptr;
    }
    int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // An evidence container is read through its container format: its bytes
    // are the acquired media, not the segment file.
    struct stat st {};
    uint8_t head[8] = {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, head, sizeof head, 0) == 8 &&
        Is_EwfSignature(head, sizeof head)) {
        ::close(fd);
        return Open_EwfSource(path);
    }
    return TSourcePtr(new TFileSource(fd, path));
}

TSourcePtr Open_Source(const std::string& path) { return Open_Source(path, nullptr); }

int64_t Get_FdSize(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
        return int64_t(bytes);
    }
    if (S_ISREG(st.st_mode)) return int64_t(st.st_size);
    return -1;
}

int64_t Get_PathSize(const std::string& path) {
    auto src = Open_Source(path);
    return src ? src->Size() : -1;
}

} // namespace qrv
