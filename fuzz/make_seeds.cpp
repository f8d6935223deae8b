// Writes seed corpora for the fuzz harnesses from the test fixture writers:
// camera-format recordings, scan-result files and the like.
// usage: qrv-fuzz-seeds CORPUS_DIR   (one sub-folder per harness)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/records.h"
#include "results/result_file.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
namespace fs = std::filesystem;

namespace {

void Put(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::create_directories(dir);
    test::Write_File((dir / name).string(), bytes);
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& b, int64_t off, int64_t len) {
    off = std::clamp<int64_t>(off, 0, int64_t(b.size()));
    len = std::clamp<int64_t>(len, 0, int64_t(b.size()) - off);
    return std::vector<uint8_t>(b.begin() + off, b.begin() + off + len);
}

void Recording_Seeds(const fs::path& root) {
    test::TRecordingSpec plan;
    plan.Seconds = 0.4;
    plan.Fps = 10;
    plan.Gop = 4;
    for (auto layout : {test::TLayout::Tail, test::TLayout::Front}) {
        plan.Layout = layout;
        auto rec = test::Make_Recording(plan);
        std::string tag = layout == test::TLayout::Tail ? "tail" : "front";
        Put(root / "fuzz_movie", tag + ".mp4", rec.Bytes);
        Put(root / "fuzz_movie", tag + "-moov.bin", Slice(rec.Bytes, rec.MoovOff, rec.MoovLen + 64));
        Put(root / "fuzz_classifier", tag + "-head.bin", Slice(rec.Bytes, 0, 8192));
        Put(root / "fuzz_classifier", tag + "-moov.bin", Slice(rec.Bytes, rec.MoovOff - 100, 8192));
        Put(root / "fuzz_classifier", tag + "-cluster.bin", Slice(rec.Bytes, rec.MdatDataOff, 4096 + 512));
    }
    plan.Layout = test::TLayout::Tail;
    plan.Co64 = true;
    plan.SamplesPerChunk = 3;
    Put(root / "fuzz_movie", "co64.mp4", test::Make_Recording(plan).Bytes);
}

void Result_File_Seeds(const fs::path& root) {
    TTreeData node;
    node.Level = 1;
    node.Hddtype = HDD_IMAGE;
    node.HddNumber = "Image File";
    node.HddModel = "/fuzz/card.img";
    node.HddFs = "RAW";
    node.PerSecBytes = 512;
    node.TotalSpace = 1 << 20;
    RebuildResultList.Clear();
    for (int i = 0; i < 2; ++i) {
        TRebuildResult r;
        r.CamerType = uint8_t(i * 2);
        r.CreateTime = "2019-05-12 10:33:21";
        r.Durting = "61.5";
        r.CarmerModel = "DSJ-T9";
        r.MdatLenx = 1000000;
        r.TrueFileLen = 900000;
        r.Fragmenum = 2;
        r.FragmenArray.resize(2);
        r.FragmenArray[0].FragmenType = ENTRY_MOVIE;
        r.FragmenArray[0].FragmentLastErySoff = "4096";
        r.FragmenArray[1].FragmenType = ENTRY_DATA;
        r.FragmenArray[1].FragmentLastErySoff = "65536";
        r.FragmenArray[1].LastFragmenum = i;
        r.FragmenArray[1].LastFragmen.FragmentLastErySoff = "131072";
        RebuildResultList.Append(std::move(r));
    }
    fs::create_directories(root / "fuzz_result_file");
    Result_To_Disk((root / "fuzz_result_file" / "two.QRV").string(), node);
    RebuildResultList.Clear();
}

std::vector<uint8_t> Read_Range(const std::string& path, int64_t off, int64_t len) {
    auto all = test::Read_File(path);
    return Slice(all, off, len);
}

// Boot sectors, partition tables, FAT and exFAT metadata from images made with
// the real file-system tools; the region harness gets whole small disk starts,
// the map harness the first sectors of each volume.
void FileSystem_Seeds(const fs::path& root) {
    test::TTempDir tmp("qrv-seeds");
    for (const char* fsName : {"FAT32", "exFAT", "NTFS"}) {
        test::TVolumeSpec plan;
        plan.Fs = fsName;
        plan.VolumeBytes = std::string(fsName) == "FAT32" ? (40 << 20) : (8 << 20);
        std::string skip;
        auto img = test::Make_DiskImage(tmp.File(std::string(fsName) + ".img"), plan, &skip);
        if (!img) continue; // the tool is missing on this machine
        auto head = Read_Range(img->Path, 0, 64 << 10);
        Put(root / "fuzz_regions", std::string(fsName) + "-volume.bin", head);
        Put(root / "fuzz_fs_maps", std::string(fsName) + "-start.bin", head);
    }
    // A disk start with an MBR naming a FAT32 and an NTFS partition and an
    // extended partition whose chain points back to itself.
    std::vector<uint8_t> mbr(64 << 10, 0);
    auto entry = [&](size_t at, uint8_t type, uint32_t first) {
        mbr[at + 4] = type;
        for (int i = 0; i < 4; ++i) mbr[at + 8 + size_t(i)] = uint8_t(first >> (8 * i));
    };
    entry(446, 0x07, 16);
    entry(462, 0x0F, 64);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    std::copy(mbr.begin(), mbr.begin() + 512, mbr.begin() + 64 * 512); // EBR = copy (links to itself)
    Put(root / "fuzz_regions", "mbr-loop.bin", mbr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qrv-fuzz-seeds CORPUS_DIR\n");
        return 2;
    }
    fs::path root = argv[1];
    try {
        Recording_Seeds(root);
        Result_File_Seeds(root);
        FileSystem_Seeds(root);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrv-fuzz-seeds: %s\n", e.what());
        return 1;
    }
    std::printf("seeds written to %s\n", root.c_str());
    return 0;
}
