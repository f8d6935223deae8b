// Imaging benchmark, as ratios measured in the same run (nothing is asserted):
//   - a raw acquisition of a generated 1 GiB image (written to a new image
//     file, with MD5, SHA-1 and SHA-256 computed in the same pass and the map
//     and digests written beside it) against the slowest of md5sum, sha1sum
//     and sha256sum over the same file;
//   - an E01 acquisition with fast compression against ewfacquire with the
//     same settings (fast compression, the same segment size, MD5 plus SHA-1
//     and SHA-256, unattended), when ewfacquire is installed.
// The acquisition writes what the tools only read, and ends with the image
// flushed to the disk: the raw ratio holds the disk's write speed too.
//
// The source is generated once into the temporary folder and reused by later
// runs. Usage: imaging_bench [--size-mib N] [--rounds N]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/op_state.h"
#include "media/tree_data.h"
#include "platform/source_io.h"
#include "sources/imaging.h"

using namespace qrv;
namespace fs = std::filesystem;

namespace {

std::string Bench_Folder() {
    const char* t = std::getenv("TMPDIR");
    std::string dir = std::string(t && *t ? t : "/tmp") + "/qrv-bench";
    fs::create_directories(dir);
    return dir;
}

// Pseudo-random bytes (xorshift), so that nothing compresses or is skipped.
void Make_Source(const std::string& path, int64_t bytes) {
    if (fs::exists(path) && int64_t(fs::file_size(path)) == bytes) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    std::vector<uint64_t> buf(1 << 17); // 1 MiB
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (int64_t done = 0; done < bytes; done += int64_t(buf.size() * 8)) {
        for (auto& w : buf) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        const size_t want = size_t(std::min<int64_t>(int64_t(buf.size() * 8), bytes - done));
        if (::write(fd, buf.data(), want) != ssize_t(want)) throw std::runtime_error("cannot write " + path);
    }
    ::close(fd);
}

double Seconds_Of(const std::string& cmd) {
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("failed: " + cmd);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    TOpState op;
    int64_t mib = 1024;
    int rounds = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size-mib")) mib = std::atoll(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    const std::string folder = Bench_Folder();
    const std::string src = folder + "/imaging-source.bin";
    Make_Source(src, mib << 20);
    const std::string out = folder + "/imaging-out";

    TTreeData node;
    node.Hddtype = HDD_VOLUME;
    node.HddModel = src;
    node.PerSecBytes = 512;
    const int64_t sectors = (mib << 20) / 512;

    double best = 1e30, slowestTool = 0;
    std::string slowestName;
    for (int r = 0; r < rounds; ++r) {
        fs::remove_all(out);
        fs::create_directories(out);
        auto h = Open_Source(src);
        const auto t0 = std::chrono::steady_clock::now();
        const TImageResult res = To_imageFrom(op, h.get(), node, out + "/bench.img", 0, sectors);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!res.Ok || !res.Hashes.Ok()) {
            std::fprintf(stderr, "imaging failed\n");
            return 1;
        }
        best = std::min(best, secs);
        for (const char* tool : {"md5sum", "sha1sum", "sha256sum"}) {
            const double t = Seconds_Of(std::string(tool) + " '" + src + "' >/dev/null");
            std::printf("  %-10s %.2f s\n", tool, t);
            if (t > slowestTool) {
                slowestTool = t;
                slowestName = tool;
            }
        }
        std::printf("  imaging (copy + MD5 + SHA-1 + SHA-256 + map): %.2f s\n", secs);
    }
    fs::remove_all(out);
    std::printf("imaging %lld MiB: %.2f s, slowest single digest tool (%s) %.2f s, ratio %.2f\n",
                static_cast<long long>(mib), best, slowestName.c_str(), slowestTool, best / slowestTool);

    // E01, fast compression, 1 GiB segments, against ewfacquire with the same settings.
    if (std::system("command -v ewfacquire >/dev/null 2>&1") != 0) {
        std::printf("e01: ewfacquire not installed, not measured\n");
        return 0;
    }
    const int64_t segment = int64_t(1) << 30;
    double bestE01 = 1e30, bestTool = 1e30;
    for (int r = 0; r < rounds; ++r) {
        fs::remove_all(out);
        fs::create_directories(out);
        TImageOptions opts;
        opts.Format = TImageFormat::E01;
        opts.Ewf.Compression = TEwfCompression::Fast;
        opts.Ewf.SegmentBytes = segment;
        auto h = Open_Source(src);
        const auto t0 = std::chrono::steady_clock::now();
        const TImageResult res = To_imageFrom(op, h.get(), node, out + "/bench.img", 0, sectors, {}, opts);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!res.Ok || res.Segments.empty()) {
            std::fprintf(stderr, "E01 imaging failed\n");
            return 1;
        }
        bestE01 = std::min(bestE01, secs);
        fs::remove_all(out);
        fs::create_directories(out);
        const double tool = Seconds_Of("ewfacquire -u -q -t '" + out + "/tool' -c fast -S " + std::to_string(segment) +
                                       " -d sha1 -d sha256 '" + src + "' >/dev/null 2>&1");
        bestTool = std::min(bestTool, tool);
        std::printf("  E01 fast: qrv %.2f s, ewfacquire %.2f s\n", secs, tool);
    }
    fs::remove_all(out);
    std::printf("E01 fast %lld MiB: %.2f s, ewfacquire %.2f s, ratio %.2f\n", static_cast<long long>(mib), bestE01,
                bestTool, bestE01 / bestTool);
    return 0;
}
