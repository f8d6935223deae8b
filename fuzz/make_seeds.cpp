// Writes seed corpora for the fuzz harnesses from the test fixture writers:
// camera-format recordings, scan-result files and the like.
// usage: qrv-fuzz-seeds CORPUS_DIR   (one sub-folder per harness)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/language.h"
#include "results/result_file.h"
#include "scan/records.h"
#include "support/disk_image.h"
#include "support/generic_recording.h"
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
    test::TRecordingPlan plan;
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
        // The decode harness: movie box length, movie box, then a key and a non-key sample.
        for (size_t i : {size_t(0), size_t(1)}) {
            std::vector<uint8_t> seed(4);
            Put_BE32(seed.data(), uint32_t(rec.MoovLen));
            auto moov = Slice(rec.Bytes, rec.MoovOff, rec.MoovLen);
            auto sample = Slice(rec.Bytes, rec.Video[i].Offset, rec.Video[i].Size);
            seed.insert(seed.end(), moov.begin(), moov.end());
            seed.insert(seed.end(), sample.begin(), sample.end());
            Put(root / "fuzz_decode", tag + "-sample" + std::to_string(i) + ".bin", seed);
        }
    }
    plan.Layout = test::TLayout::Tail;
    plan.Co64 = true;
    plan.SamplesPerChunk = 3;
    Put(root / "fuzz_movie", "co64.mp4", test::Make_Recording(plan).Bytes);

    // Other makers' files for the generic type: H.265 (hvcC), and QuickTime
    // with maker strings, mvhd version 1 and udta first.
    const test::TTempDir scratch("qrv-seeds");
    const test::TGenericPlan generic[] = {
        {.Name = "hevc.mp4", .Video = "h265", .Seconds = 0.4, .Sound = false},
        {.Name = "maker.mov",
         .Seconds = 0.4,
         .QuickTime = true,
         .Make = "Acme",
         .Model = "Cam",
         .OtherMaker = true},
    };
    for (const test::TGenericPlan& g : generic)
        Put(root / "fuzz_movie", g.Name, test::Make_GenericRecording(scratch.Path(), g));
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
    TScanSession session;
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
        r.FragmenArray[0].FragmentLastErySoff = 4096;
        r.FragmenArray[1].FragmenType = ENTRY_DATA;
        r.FragmenArray[1].FragmentLastErySoff = 65536;
        r.FragmenArray[1].LastFragmenum = i;
        r.FragmenArray[1].LastFragmen.FragmentLastErySoff = 131072;
        session.Rebuilds.Append(std::move(r));
    }
    fs::create_directories(root / "fuzz_result_file");
    Result_To_Disk(session, (root / "fuzz_result_file" / "two.QRV").string(), node);
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
        test::TVolumeLayout plan;
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

// Language files: the shipped English table's first entries in each encoding
// the loader accepts, scrambled with the shipped key and plain.
std::vector<uint8_t> To_Utf16(const std::string& utf8, bool bigEndian) {
    std::vector<uint8_t> out = bigEndian ? std::vector<uint8_t>{0xFE, 0xFF} : std::vector<uint8_t>{0xFF, 0xFE};
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t c = uint8_t(utf8[i]);
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xF0) cp = c & 0x07, n = 4;
        else if (c >= 0xE0) cp = c & 0x0F, n = 3;
        else if (c >= 0xC0) cp = c & 0x1F, n = 2;
        for (size_t k = 1; k < n && i + k < utf8.size(); ++k) cp = (cp << 6) | (uint8_t(utf8[i + k]) & 0x3F);
        i += n;
        auto put = [&](uint32_t u) {
            out.push_back(uint8_t(bigEndian ? u >> 8 : u));
            out.push_back(uint8_t(bigEndian ? u : u >> 8));
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

void Language_Seeds(const fs::path& root) {
    auto all = test::Read_File(std::string(QRV_SOURCE_DIR_DEFAULT) + "/data/English.txt");
    std::string text(all.begin(), all.begin() + std::min<size_t>(all.size(), 1500));
    text = text.substr(0, text.rfind('\n') + 1);
    auto scrambled = [](std::vector<uint8_t> b) {
        for (auto& c : b) c ^= LANGUAGE_FILE_KEY;
        return b;
    };
    std::vector<uint8_t> utf8(text.begin(), text.end());
    std::vector<uint8_t> bom = {0xEF, 0xBB, 0xBF};
    bom.insert(bom.end(), utf8.begin(), utf8.end());
    // GB18030 bytes of a few entries (two-byte and four-byte sequences).
    const std::vector<uint8_t> gb = {0xC9, 0xA8, 0xC3, 0xE8, 0xBF, 0xAA, 0xCA, 0xBC, '=', 'S', 'c', 'a', 'n', '\r', '\n',
                                     0x81, 0x30, 0x81, 0x30, '=', 'x', '\n', 0xFF, 0xFF, '=', 'y'};
    const fs::path dir = root / "fuzz_language";
    Put(dir, "utf8.lng", scrambled(utf8));
    Put(dir, "bom.lng", scrambled(bom));
    Put(dir, "utf16le.lng", scrambled(To_Utf16(text, false)));
    Put(dir, "utf16be.lng", scrambled(To_Utf16(text, true)));
    Put(dir, "gb18030.lng", scrambled(gb));
    Put(dir, "plain.txt", utf8);
}

// Media for the analysis: small recordings alone, behind other bytes, and cut
// into pieces with other bytes between.
void Analysis_Seeds(const fs::path& root) {
    test::TRecordingPlan plan;
    plan.Seconds = 0.8;
    plan.Fps = 10;
    plan.Gop = 4;
    const fs::path dir = root / "fuzz_analysis";
    for (auto layout : {test::TLayout::Tail, test::TLayout::Front}) {
        plan.Layout = layout;
        auto rec = test::Make_Recording(plan).Bytes;
        const std::string tag = layout == test::TLayout::Tail ? "tail" : "front";
        Put(dir, tag + ".bin", rec);
        std::vector<uint8_t> shifted(4096, 0x5A);
        shifted.insert(shifted.end(), rec.begin(), rec.end());
        Put(dir, tag + "-at-4096.bin", shifted);
        // Pieces of 2048 bytes, the middle ones moved apart by a sector of other bytes.
        std::vector<uint8_t> cut;
        for (size_t at = 0; at < rec.size(); at += 2048) {
            cut.insert(cut.end(), rec.begin() + long(at), rec.begin() + long(std::min(rec.size(), at + 2048)));
            if (at / 2048 == 3) cut.insert(cut.end(), 512, 0xEE);
        }
        Put(dir, tag + "-cut.bin", cut);
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* usage = "usage: qrv-fuzz-seeds CORPUS_DIR\n"
                        "  writes the seed inputs of every fuzz harness under CORPUS_DIR/<harness>/\n";
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
    fs::path root = argv[1];
    try {
        Recording_Seeds(root);
        Result_File_Seeds(root);
        FileSystem_Seeds(root);
        Language_Seeds(root);
        Analysis_Seeds(root);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrv-fuzz-seeds: %s\n", e.what());
        return 1;
    }
    std::printf("seeds written to %s\n", root.c_str());
    return 0;
}
