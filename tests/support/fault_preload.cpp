// Loaded with LD_PRELOAD into a test's child process: reads of one file fail
// the way a damaged card's do. pread/pread64 of the file named by
// QRV_FAULT_FILE that reach a byte of a range in QRV_FAULT_EIO
// ("offset:length,offset:length") deliver the bytes before that range and
// end there; a read that starts inside a range fails with EIO. With
// QRV_FAULT_DELAY_US every read of the file takes that long first, as a slow
// card's do (so that a test can stop an operation part way the way a person
// does). Every other call goes to the C library untouched.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct TRange {
    int64_t Off, Len;
};
TRange g_ranges[64];
int g_count = -1;
long g_delay = 0;
char g_file[PATH_MAX];

void Load() {
    if (g_count >= 0) return;
    g_count = 0;
    const char* file = std::getenv("QRV_FAULT_FILE");
    const char* list = std::getenv("QRV_FAULT_EIO");
    const char* delay = std::getenv("QRV_FAULT_DELAY_US");
    if (!file || !realpath(file, g_file)) return;
    if (delay) g_delay = std::strtol(delay, nullptr, 10);
    if (!list) return;
    while (*list && g_count < 64) {
        char* end = nullptr;
        const long long off = std::strtoll(list, &end, 10);
        if (*end != ':') break;
        const long long len = std::strtoll(end + 1, &end, 10);
        g_ranges[g_count++] = {off, len};
        if (*end != ',') break;
        list = end + 1;
    }
}

bool Is_Target(int fd) {
    char link[64], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return false;
    path[n] = 0;
    return std::strcmp(path, g_file) == 0;
}

// Bytes of [off, off + len) before the first failing byte; -1 when the read starts in a range.
int64_t Allowed(int64_t off, int64_t len) {
    int64_t allowed = len;
    for (int i = 0; i < g_count; ++i) {
        const TRange& r = g_ranges[i];
        if (r.Off + r.Len <= off || r.Off >= off + allowed) continue;
        if (r.Off <= off) return -1;
        allowed = r.Off - off;
    }
    return allowed;
}

using TPread = ssize_t (*)(int, void*, size_t, off_t);

ssize_t Faulty(const char* name, int fd, void* buf, size_t len, off_t off) {
    static TPread real = nullptr;
    static TPread real64 = nullptr;
    TPread& next = std::strcmp(name, "pread") == 0 ? real : real64;
    if (!next) next = reinterpret_cast<TPread>(dlsym(RTLD_NEXT, name));
    Load();
    if ((g_count > 0 || g_delay > 0) && Is_Target(fd)) {
        if (g_delay > 0) ::usleep(useconds_t(g_delay));
        const int64_t ok = Allowed(int64_t(off), int64_t(len));
        if (ok < 0) {
            errno = EIO;
            return -1;
        }
        len = size_t(ok);
    }
    return next(fd, buf, len, off);
}

} // namespace

extern "C" ssize_t pread(int fd, void* buf, size_t len, off_t off) { return Faulty("pread", fd, buf, len, off); }
extern "C" ssize_t pread64(int fd, void* buf, size_t len, off_t off) { return Faulty("pread64", fd, buf, len, off); }
