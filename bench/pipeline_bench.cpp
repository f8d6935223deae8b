// Whole-pipeline benchmark: scan + analysis of a raw image (1 GiB with 20
// camera recordings by default, some cut into pieces) written into random
// bytes, against a plain sequential read of the same image in the same run.
//
// The image is generated once into the temporary folder and reused by later
// runs. Usage: bench_pipeline [--scheme N] [--rounds N] [--no-widen]
//   [--size-gib N] [--recordings N] [--seconds N] [--sparse] [--export] [--rss] [--cold]
// (--no-widen: no second, whole-medium pass for incomplete rebuilds; with a
// scheme that misses the media data, e.g. --scheme 2, every header takes it.
// --sparse: the image is a sparse file of zeros with the recordings spread
// over it, not random bytes. --export: also writes every result and compares
// that with cp + sync of the same bytes. --rss: one scan + analysis only, then
// the process's peak resident memory; run it in a fresh process. --cold: the
// image's pages are dropped from the page cache before each timed contender,
// so that every one reads the disk as a scan of a real medium does.)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "analysis/output.h"

#include "platform/output_file.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "pipeline/scan_pipeline.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;

namespace {

constexpr int64_t kGiB = int64_t(1) << 30;
constexpr int64_t kCluster = 32768;
const char* kVersion = "pipeline-v1";

// The image: its size, how many recordings it holds, random or sparse.
int64_t kImageBytes = kGiB;
int kRecordings = 20;
int g_seconds = 20; // length of each recording
bool g_sparse = false;
bool g_cold = false;

std::string Bench_Folder() {
    const char* t = std::getenv("TMPDIR");
    std::string dir = std::string(t && *t ? t : "/tmp") + "/qrv-bench";
    std::filesystem::create_directories(dir);
    return dir;
}

void Fill_Random(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    if (g_sparse) {
        if (::ftruncate(fd, kImageBytes) != 0) throw std::runtime_error("cannot size " + path);
        ::close(fd);
        return;
    }
    std::vector<uint64_t> buf(1 << 17); // 1 MiB
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (int64_t done = 0; done < kImageBytes; done += int64_t(buf.size() * 8)) {
        for (auto& w : buf) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        if (::write(fd, buf.data(), buf.size() * 8) != ssize_t(buf.size() * 8))
            throw std::runtime_error("write failed");
    }
    ::close(fd);
}

// Makes the image unless a finished one from an earlier run is there.
std::string Prepare_Image() {
    const std::string dir = Bench_Folder();
    std::string path = dir + "/pipeline-1g.img";
    if (kImageBytes != kGiB || kRecordings != 20 || g_sparse || g_seconds != 20)
        path = dir + "/pipeline-" + std::to_string(kImageBytes / kGiB) + "g-" + std::to_string(kRecordings) + "x" +
               std::to_string(g_seconds) + "s" + (g_sparse ? "-sparse" : "") + ".img";
    const std::string ready = path + ".ready";
    if (std::filesystem::exists(ready) &&
        test::Read_File(ready) == std::vector<uint8_t>(kVersion, kVersion + 11) &&
        std::filesystem::file_size(path) == uint64_t(kImageBytes))
        return path;
    std::fprintf(stderr, "making %s (once)...\n", path.c_str());
    std::filesystem::remove(ready);
    Fill_Random(path);
    test::TDiskImage img;
    img.Path = path;
    img.Fs = "RAW";
    img.VolumeBytes = kImageBytes;
    img.ClusterBytes = kCluster;
    img.FirstCluster = 0;
    img.DataStart = 0;
    img.TotalClusters = kImageBytes / kCluster;
    const int64_t spacing = img.TotalClusters / kRecordings;
    for (int k = 0; k < kRecordings; ++k) {
        test::TRecordingPlan s;
        s.Seed = uint32_t(5000 + k);
        s.Seconds = g_seconds;
        s.Width = 640;
        s.Height = 368;
        s.Quality = 22;
        s.Layout = test::TLayout::Tail;
        test::TRecording rec = test::Make_Recording(s);
        const int64_t n = (int64_t(rec.Bytes.size()) + kCluster - 1) / kCluster;
        std::vector<int64_t> clusters;
        int64_t at = k * spacing + 16;
        for (int64_t c = 0; c < n; ++c) {
            if (k % 4 == 3 && (c == n / 3 || c == 2 * n / 3)) at += 5; // three pieces with other data between
            clusters.push_back(at++);
        }
        // Whole clusters: the tail of the last one keeps the random bytes.
        for (size_t c = 0; c < clusters.size(); ++c) {
            const size_t from = c * size_t(kCluster);
            const size_t len = std::min(size_t(kCluster), rec.Bytes.size() - from);
            test::Write_At(path, clusters[c] * kCluster,
                           std::vector<uint8_t>(rec.Bytes.begin() + from, rec.Bytes.begin() + from + len));
        }
        std::fprintf(stderr, "  recording %d: %zu bytes at cluster %lld\n", k, rec.Bytes.size(),
                     (long long)clusters[0]);
    }
    test::Write_File(ready, std::vector<uint8_t>(kVersion, kVersion + 11));
    return path;
}

double Seconds_Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Drops the image's pages from the page cache (with --cold).
void Drop_Cache(const std::string& path) {
    if (!g_cold) return;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

double Plain_Read(const std::string& path) {
    Drop_Cache(path);
    auto t0 = std::chrono::steady_clock::now();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> buf(524800);
    uint64_t sum = 0;
    for (int64_t off = 0;; off += 524288) {
        ssize_t n = ::pread(fd, buf.data(), buf.size(), off);
        if (n <= 0) break;
        sum += buf[size_t(n) / 2];
    }
    ::close(fd);
    const double s = Seconds_Since(t0);
    if (sum == 1) std::fprintf(stderr, " ");
    return s;
}

struct TPipelineRun {
    double Seconds = 0;
    int64_t Heads = 0, Results = 0, Level0 = 0, Widened = 0;
};

// Counts the log lines that say a wider pass's result was kept.
class TWidenCount : public TUiSink {
  public:
    void Handle_UIMessage(const TUiMessage& m) override {
        if (m.MsgType == MSG_LOG && m.P[0] == "扩大重组范围") ++n;
    }
    std::atomic<int64_t> n{0};
};

// The scan with its completion stage (analysis), or the scan alone.
TPipelineRun Pipeline(TScanSession& session, const std::string& path, int scheme, bool widen,
                      bool analyse = true) {
    session.Clear_Records();
    auto count = std::make_shared<TWidenCount>();
    Set_UISink(count);
    TScanParams p;
    p.Node.Level = 1;
    p.Node.Hddtype = HDD_IMAGE;
    p.Node.HddNumber = "Image File";
    p.Node.HddModel = path;
    p.Node.HddFs = "RAW";
    p.Node.PerSecBytes = 512;
    p.Node.TotalSpace = kImageBytes;
    p.EndSec = kImageBytes / 512;
    p.IntervalScheme = scheme;
    p.Widen = widen;
    Drop_Cache(path);
    auto t0 = std::chrono::steady_clock::now();
    if (analyse)
        Run_ScanPipeline(session, p);
    else
        To_Scan(session, p);
    TPipelineRun r;
    r.Seconds = Seconds_Since(t0);
    r.Heads = session.Scans.Count();
    r.Widened = count->n;
    Set_UISink(nullptr);
    for (int64_t i = 0; i < session.Rebuilds.Count(); ++i) {
        const TRebuildResult& x = session.Rebuilds.Get(i);
        if (x.Fragmenum < 2) continue;
        ++r.Results;
        r.Level0 += x.Leavelx == 0;
    }
    return r;
}

// Writes every listed result (more than its header entry) into dir through
// the output guard, each file closed (flushed) as an export closes it.
// Returns the bytes written.
int64_t Export_All(TScanSession& session, const std::string& image, const std::string& dir) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto src = Open_Source(image);
    if (!src) throw std::runtime_error("cannot open " + image);
    const TOutputGuard guard({image});
    int64_t bytes = 0;
    for (int64_t i = 0; i < session.Rebuilds.Count(); ++i) {
        const TRebuildResult& r = session.Rebuilds.Get(i);
        if (r.Fragmenum < 2) continue;
        auto out = TOutputFile::Create(dir + "/" + std::to_string(i) + ".mp4", guard);
        if (!out || !Write_Recording(r, *src, *out)) throw std::runtime_error("export failed");
        bytes += out->Length();
        if (!out->Commit_Replacing()) throw std::runtime_error("export close failed");
    }
    return bytes;
}

// cp of the exported files to another folder, then sync of the copies (the
// export flushes every file it closes).
double Copy_Files(const std::string& from, const std::string& to) {
    std::filesystem::remove_all(to);
    const std::string cmd = "cp -r '" + from + "' '" + to + "' && sync '" + to + "'/*";
    auto t0 = std::chrono::steady_clock::now();
    if (test::Run_Command(cmd) != 0) throw std::runtime_error("cp failed");
    return Seconds_Since(t0);
}

long Peak_RssKiB() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    int scheme = 0, rounds = 3;
    bool widen = true, doExport = false, rssOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::printf("usage: bench_pipeline [--scheme N] [--rounds N] [--no-widen] [--size-gib N]\n"
                        "                      [--recordings N] [--seconds N] [--sparse] [--export] [--rss] [--cold]\n"
                        "  scan and analysis of a generated image against a plain read of it, as ratios\n");
            return 0;
        }
        if (!std::strcmp(argv[i], "--no-widen")) widen = false;
        if (!std::strcmp(argv[i], "--sparse")) g_sparse = true;
        if (!std::strcmp(argv[i], "--export")) doExport = true;
        if (!std::strcmp(argv[i], "--rss")) rssOnly = true;
        if (!std::strcmp(argv[i], "--cold")) g_cold = true;
        if (i + 1 < argc && !std::strcmp(argv[i], "--scheme"))
            scheme = std::atoi(argv[++i]);
        else if (i + 1 < argc && !std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[++i]);
        else if (i + 1 < argc && !std::strcmp(argv[i], "--size-gib"))
            kImageBytes = std::atoll(argv[++i]) * kGiB;
        else if (i + 1 < argc && !std::strcmp(argv[i], "--recordings"))
            kRecordings = std::atoi(argv[++i]);
        else if (i + 1 < argc && !std::strcmp(argv[i], "--seconds"))
            g_seconds = std::atoi(argv[++i]);
    }
    const std::string path = Prepare_Image();
    TScanSession session;
    if (rssOnly) {
        const long before = Peak_RssKiB();
        const TPipelineRun r = Pipeline(session, path, scheme, widen);
        std::printf("image: %s (%lld bytes, %d recordings)\n", path.c_str(), (long long)kImageBytes, kRecordings);
        std::printf("scan + analysis (scheme %d): %.3f s, rebuilt: %lld, level 0: %lld\n", scheme, r.Seconds,
                    (long long)r.Results, (long long)r.Level0);
        std::printf("peak RSS: %ld KiB (before the scan: %ld KiB)\n", Peak_RssKiB(), before);
        return 0;
    }
    Plain_Read(path); // bring the image into the page cache for both contenders
    double best_plain = 1e9, best_pipe = 1e9, best_scan = 1e9, best_export = 1e9, best_cp = 1e9;
    int64_t exported = 0;
    TPipelineRun last;
    const std::string outDir = Bench_Folder() + "/export", cpDir = Bench_Folder() + "/export-cp";
    for (int k = 0; k < rounds; ++k) {
        best_plain = std::min(best_plain, Plain_Read(path));
        best_scan = std::min(best_scan, Pipeline(session, path, scheme, widen, false).Seconds);
        last = Pipeline(session, path, scheme, widen);
        best_pipe = std::min(best_pipe, last.Seconds);
        if (doExport) {
            auto t0 = std::chrono::steady_clock::now();
            exported = Export_All(session, path, outDir);
            best_export = std::min(best_export, Seconds_Since(t0));
            best_cp = std::min(best_cp, Copy_Files(outDir, cpDir));
        }
    }
    std::printf("image: %s (%lld bytes, %d recordings%s%s)\n", path.c_str(), (long long)kImageBytes, kRecordings,
                g_sparse ? ", sparse" : "", g_cold ? ", read from the disk each time" : "");
    std::printf("scan results: %lld, rebuilt: %lld, level 0: %lld, wider pass kept: %lld%s\n",
                (long long)last.Heads, (long long)last.Results, (long long)last.Level0,
                (long long)last.Widened, widen ? "" : " (wider pass off)");
    std::printf("plain sequential read: %.3f s (%.0f MB/s)\n", best_plain, kImageBytes / best_plain / 1e6);
    std::printf("scan alone: %.3f s (%.2fx the plain read's time, %.2fx its throughput)\n", best_scan,
                best_scan / best_plain, best_plain / best_scan);
    std::printf("scan + analysis (scheme %d): %.3f s (%.0f MB/s)\n", scheme, best_pipe,
                kImageBytes / best_pipe / 1e6);
    std::printf("ratio: %.2f\n", best_pipe / best_plain);
    if (doExport) {
        std::printf("export of all results: %lld bytes in %.3f s; cp + sync of them: %.3f s; throughput "
                    "%.2fx cp's\n",
                    (long long)exported, best_export, best_cp, best_cp / best_export);
        std::filesystem::remove_all(outDir);
        std::filesystem::remove_all(cpDir);
    }
    return 0;
}
