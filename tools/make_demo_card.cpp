// qrv-make-demo-card: builds a demo memory card for qrv-cli. The card is a
// FAT32 volume (made with mkfs.fat) on which three camera recordings (real
// H.264 and AAC) were deleted: their clusters are free in the FAT but still
// hold the bytes. One lies in one piece, one is split into three pieces with
// other data between them, and one has its movie box in front. A live file
// stays on the card. The original recordings are written next to the image so
// that what QRV recovers can be compared byte for byte.
//
// usage: qrv-make-demo-card OUT_DIR    (writes OUT_DIR/card.img and OUT_DIR/originals/*.mp4)
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "support/disk_image.h"
#include "support/recording_writer.h"

using namespace qrv::test;

namespace {

struct TDemoFile {
    const char* Name;
    const char* Model;
    uint32_t Seed;
    uint32_t CreationTime; // seconds since 1904
    TLayout Layout;
    int Pieces;
};

// Shooting times are stored as seconds since 1904.
constexpr uint32_t kSince1904 = 2082844800u;
constexpr uint32_t kMay12 = 1557657201u + kSince1904; // 2019-05-12 10:33:21 UTC

const TDemoFile kFiles[] = {
    {"FILE0001.mp4", "DSJ-V8", 11, kMay12, TLayout::Tail, 1},
    {"FILE0002.mp4", "DSJ-V8", 12, kMay12 + 3600, TLayout::Tail, 3},
    {"FILE0003.mp4", "DSJ-T9", 13, kMay12 + 86400 + 120, TLayout::Front, 1},
};

} // namespace

int main(int argc, char** argv) {
    const char* usage = "usage: qrv-make-demo-card OUT_DIR\n"
                        "  writes OUT_DIR/card.img (a FAT32 card with three deleted recordings, made with\n"
                        "  mkfs.fat) and the original recordings under OUT_DIR/originals/\n";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(usage, stderr);
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path out = argv[1];
    try {
        fs::create_directories(out / "originals");
        TVolumeLayout plan;
        plan.Fs = "FAT32";
        plan.VolumeBytes = int64_t(288) << 20;
        plan.ClusterBytes = 4096;
        const std::string note = "This card was used by a body-worn camera.\n";
        plan.Files.push_back({"README.TXT", std::vector<uint8_t>(note.begin(), note.end())});
        std::string skip;
        auto img = Make_DiskImage((out / "card.img").string(), plan, &skip);
        if (!img) {
            std::fprintf(stderr, "qrv-make-demo-card: %s\n", skip.c_str());
            return 1;
        }
        int64_t next = img->Find_FreeRun(1);
        for (const auto& f : kFiles) {
            TRecordingPlan rs;
            rs.Seconds = 4;
            rs.Width = 320;
            rs.Height = 240;
            rs.Seed = f.Seed;
            rs.Model = f.Model;
            rs.CreationTime = f.CreationTime;
            rs.Layout = f.Layout;
            TRecording rec = Make_Recording(rs);
            Save_Recording(rec, (out / "originals" / f.Name).string());

            // Cut the recording into cluster-aligned pieces and put other data
            // (another program's bytes) between them.
            const int64_t cb = img->ClusterBytes;
            const int64_t clusters = (int64_t(rec.Bytes.size()) + cb - 1) / cb;
            std::vector<int64_t> cut = {0};
            for (int p = 1; p < f.Pieces; ++p)
                cut.push_back(clusters * p / f.Pieces);
            cut.push_back(clusters);
            const int64_t gap = 24;
            const int64_t need = clusters + gap * (f.Pieces - 1) + 8;
            const int64_t first = img->Find_FreeRun(need, next);
            if (first < 0) throw std::runtime_error("the card is too small");
            int64_t at = first;
            for (int p = 0; p < f.Pieces; ++p) {
                const size_t a = size_t(cut[size_t(p)] * cb);
                const size_t b = std::min(rec.Bytes.size(), size_t(cut[size_t(p) + 1] * cb));
                img->Write_Contiguous(
                    at, std::vector<uint8_t>(rec.Bytes.begin() + long(a), rec.Bytes.begin() + long(b)));
                at += cut[size_t(p) + 1] - cut[size_t(p)];
                if (p + 1 < f.Pieces) {
                    img->Write_Contiguous(at, Pattern_Bytes(size_t(gap * cb), f.Seed * 100 + uint32_t(p)));
                    at += gap;
                }
            }
            next = at + 8;
            std::printf("  %s  %s  %zu bytes, %d piece%s, deleted (clusters %lld..%lld free)\n", f.Name,
                        f.Model, rec.Bytes.size(), f.Pieces, f.Pieces > 1 ? "s" : "", (long long)first,
                        (long long)(at - 1));
        }
        std::printf("card image: %s (%s, %lld MB)\n", (out / "card.img").c_str(), img->Fs.c_str(),
                    (long long)(img->VolumeBytes >> 20));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrv-make-demo-card: %s\n", e.what());
        return 1;
    }
    return 0;
}
