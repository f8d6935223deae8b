// Scan throughput against a plain sequential read of the same image.
//
// usage: scan_bench [--image PATH] [--size-mib N] [--rounds N]
//
// The image (default <temp>/qrv-scan-bench-<N>MiB.img, 1,024 MiB) is random
// bytes written for real (not sparse) with camera recordings from the test
// recording writer placed on sector boundaries every 64 MiB; it is generated
// once and reused while its size and completion mark match. With the image in
// the page cache, each round times a plain read of the whole image with the
// scan's block geometry (524,800-byte reads at 524,288-byte steps into one
// buffer) and then a whole To_Scan over it. The best time of each kind is
// reported, with the ratio scan / plain read, and the process's memory before
// and after the scans.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/op_state.h"
#include "common/ui_message.h"
#include "scan/classifier.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "support/recording_writer.h"

using namespace qrv;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kRecordingEvery = 64 * kMiB;

uint64_t g_state = 0x9E3779B97F4A7C15ull;
uint64_t Next_Random() { // splitmix64
    uint64_t z = (g_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void Write_All(int fd, const uint8_t* p, size_t n, int64_t off) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, off);
        if (w <= 0) throw std::runtime_error("cannot write the bench image");
        p += w, n -= size_t(w), off += w;
    }
}

int64_t File_Size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// Returns the number of recordings placed.
int Make_Image(const std::string& path, int64_t size) {
    const std::string mark = path + ".done";
    const int count = int(size / kRecordingEvery);
    if (File_Size(path) == size && File_Size(mark) >= 0) return count;
    std::printf("generating %s (%lld MiB)...\n", path.c_str(), (long long)(size / kMiB));
    std::fflush(stdout);
    ::unlink(mark.c_str());
    std::vector<test::TRecording> recs;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        test::TRecordingPlan plan;
        plan.Seed = seed;
        plan.Seconds = 2.0;
        recs.push_back(test::Make_Recording(plan));
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    std::vector<uint8_t> chunk(size_t(8 * kMiB));
    for (int64_t off = 0; off < size; off += int64_t(chunk.size())) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            uint64_t r = Next_Random();
            std::memcpy(&chunk[i], &r, 8);
        }
        size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), size - off));
        Write_All(fd, chunk.data(), n, off);
    }
    // One recording in every 64 MiB, at a sector start a little into the stretch.
    for (int k = 0; k < count; ++k) {
        const auto& r = recs[size_t(k) % recs.size()];
        int64_t at = int64_t(k) * kRecordingEvery + int64_t(k % 7 + 1) * 4096 * 37;
        Write_All(fd, r.Bytes.data(), r.Bytes.size(), at);
    }
    ::fsync(fd);
    ::close(fd);
    int m = ::open(mark.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m >= 0) ::close(m);
    return count;
}

double Seconds_Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// CPU time of the calling thread: what the work itself costs, without the
// time the thread waits for a processor on a loaded machine.
double Thread_Cpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct TTimes {
    double Wall = 1e30, Cpu = 1e30;
    void Keep(double wall, double cpu) {
        Wall = std::min(Wall, wall);
        Cpu = std::min(Cpu, cpu);
    }
};

// The plain read: the scan's block geometry, nothing else.
void Plain_Read(const std::string& path, int64_t size, std::vector<uint8_t>& buf, uint64_t& sink,
                TTimes& times) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    auto t = Clock::now();
    double c = Thread_Cpu();
    for (int64_t off = 0; off < size; off += kScanBlockStep) {
        ssize_t n = ::pread(fd, buf.data(), buf.size(), off);
        if (n > 0) sink += buf[size_t(n) - 1];
    }
    times.Keep(Seconds_Since(t), Thread_Cpu() - c);
    ::close(fd);
}

long Max_RssKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

long Current_RssKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

int main(int argc, char** argv) {
    int64_t sizeMiB = 1024;
    int rounds = 3;
    std::string image;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::printf("usage: scan_bench [--image PATH] [--size-mib N>=64] [--rounds N]\n"
                        "  the scan's block loop against a plain read of the same image, as a ratio\n");
            return 0;
        }
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--image")
            image = argv[i + 1];
        else if (a == "--size-mib")
            sizeMiB = std::atoll(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
    }
    if (sizeMiB < 64 || rounds < 1) {
        std::fprintf(stderr, "usage: scan_bench [--image PATH] [--size-mib N>=64] [--rounds N]\n");
        return 2;
    }
    const int64_t size = sizeMiB * kMiB;
    if (image.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        image = std::string(tmp && *tmp ? tmp : "/tmp") + "/qrv-scan-bench-" + std::to_string(sizeMiB) +
                "MiB.img";
    }
    const int placed = Make_Image(image, size);

    std::vector<uint8_t> buf(static_cast<size_t>(kScanBlockRead));
    uint64_t sink = 0;
    TTimes warm, read, scan;
    Plain_Read(image, size, buf, sink, warm); // warm the page cache

    TTreeData node;
    node.Level = 1;
    node.Hddtype = HDD_IMAGE;
    node.HddNumber = "Image File";
    node.HddModel = image;
    node.HddFs = "RAW";
    node.PerSecBytes = 512;
    node.TotalSpace = size;
    TScanParams p;
    p.Node = node;
    p.EndSec = size / 512;
    TScanSession session;
    Set_UISink(nullptr);

    const long rssBefore = Current_RssKiB(), maxBefore = Max_RssKiB();
    int64_t found = 0;
    long maxAfterFirst = 0;
    for (int r = 0; r < rounds; ++r) {
        Plain_Read(image, size, buf, sink, read);
        session.Clear_Records();
        auto t = Clock::now();
        double c = Thread_Cpu();
        To_Scan(session, p);
        scan.Keep(Seconds_Since(t), Thread_Cpu() - c);
        found = session.Scans.Count();
        if (r == 0) maxAfterFirst = Max_RssKiB();
    }
    const long rssAfter = Current_RssKiB(), maxAfter = Max_RssKiB();

    const double mib = double(size) / double(kMiB);
    std::printf("image: %s, %.0f MiB, %d recordings placed, %lld findings per scan (expected %d)\n",
                image.c_str(), mib, placed, (long long)found, 2 * placed);
    std::printf("best of %d rounds          wall clock                  thread CPU time\n", rounds);
    std::printf(
        "plain read (524,800-byte pread at 524,288 steps): %8.1f MiB/s (%.3f s)   %8.1f MiB/s (%.3f s)\n",
        mib / read.Wall, read.Wall, mib / read.Cpu, read.Cpu);
    std::printf(
        "To_Scan:                                          %8.1f MiB/s (%.3f s)   %8.1f MiB/s (%.3f s)\n",
        mib / scan.Wall, scan.Wall, mib / scan.Cpu, scan.Cpu);
    std::printf("ratio scan / plain read: %.1f %% (wall clock), %.1f %% (CPU time)\n",
                100.0 * read.Wall / scan.Wall, 100.0 * read.Cpu / scan.Cpu);
    std::printf(
        "resident memory: %ld KiB before the scans, %ld KiB after; max RSS %ld KiB before, %ld KiB after the "
        "first scan, %ld KiB after the last\n",
        rssBefore, rssAfter, maxBefore, maxAfterFirst, maxAfter);
    return sink == 0xFFFFFFFFFFFFFFFFull ? 1 : 0; // keeps the plain read's bytes alive
}
