// The generic recovery type end to end through qrv-cli: MP4 and QuickTime
// recordings written by ffmpeg (H.264 all-intra, several samples per chunk,
// B-frames, two video tracks, H.265 with and without sound, the QuickTime
// brand with maker strings, the movie box at the front, mvhd version 1 with
// udta first, pieces past 2 GiB) are laid on a raw medium whole or in two
// pieces in the wrong order, scanned with --type 1 (and --type 0 where they
// are of the camera's kind), exported, and compared byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <regex>

#include "support/disk_image.h"
#include "support/generic_recording.h"
#include "support/test_env.h"

namespace qrv {
namespace {

using test::TGenericPlan;

struct TWritten {
    std::string Path;
    int Level = -1;
};

// The files a --json export lists, with their levels.
std::vector<TWritten> Written_Files(const std::string& json) {
    std::vector<TWritten> out;
    const size_t at = json.find("\"written\": [");
    if (at == std::string::npos) return out;
    static const std::regex kFile(
        R"re(\{"path": "([^"]+)", "number": \d+, "decode_errors": \d+, [^{}]*?"level": "(\d)")re");
    const std::string tail = json.substr(at);
    for (std::sregex_iterator it(tail.begin(), tail.end(), kFile), end; it != end; ++it)
        out.push_back({(*it)[1].str(), std::stoi((*it)[2].str())});
    return out;
}

// First top-level box of the type in a recording, as the ffmpeg muxer wrote it.
int64_t Box_Offset(const std::vector<uint8_t>& b, const char* type) {
    for (size_t at = 0; at + 8 <= b.size();) {
        const uint32_t size =
            uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
        if (std::memcmp(&b[at + 4], type, 4) == 0) return int64_t(at);
        if (size < 8) break;
        at += size;
    }
    return -1;
}

TEST(GenericType, RecordingsOfOtherMakersComeBackByteForByte) {
    if (!test::Have_Program("ffmpeg")) {
        QRV_SKIP_WITHOUT("ffmpeg is not installed");
    }
    test::TTempDir dir("qrv-generic");
    struct TCase {
        TGenericPlan Plan;
        std::string Model;      // the model the results list shows
        bool Camera = false;    // of the camera's kind: type 0 rebuilds it too
        int64_t Base = 1 << 20; // where on the medium its pieces lie
    };
    const int64_t k2G = int64_t(2) << 30;
    const TCase cases[] = {
        {{.Name = "intra.mp4", .Gop = 1}, "isom", true},
        {{.Name = "chunks.mp4", .Sound = false}, "isom", true},
        {{.Name = "bframes.mp4", .BFrames = 2}, "isom", true},
        {{.Name = "two-video.mp4", .SecondVideo = true}, "isom"},
        {{.Name = "hevc.mp4", .Video = "h265"}, "isom"},
        {{.Name = "hevc-silent.mp4", .Video = "h265", .Sound = false}, "isom"},
        {{.Name = "maker.mov", .QuickTime = true, .Make = "Acme", .Model = "Acme Cam 3"}, "Acme Cam 3"},
        {{.Name = "front.mp4", .FastStart = true}, "isom"},
        {{.Name = "v1.mov", .QuickTime = true, .Make = "Acme", .Model = "X1", .OtherMaker = true}, "Acme X1"},
        {{.Name = "far.mp4"}, "isom", false, k2G + (3 << 20)},
    };
    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    for (const TCase& c : cases) {
        const std::vector<uint8_t> rec = test::Make_GenericRecording(dir.Path(), c.Plan);
        // The second piece starts at a 4 KiB boundary halfway through the media data.
        const int64_t moov = Box_Offset(rec, "moov"), mdat = Box_Offset(rec, "mdat");
        ASSERT_GE(moov, 0);
        ASSERT_GE(mdat, 0);
        const int64_t from = std::max(moov < mdat ? moov + 8 : mdat + 8, int64_t(4096));
        const int64_t to = moov < mdat ? int64_t(rec.size()) : moov;
        const int64_t cut = (from + to) / 2 / 4096 * 4096;
        ASSERT_GT(cut, from - 4096) << c.Plan.Name << ": too short to cut";
        for (const bool pieces : {false, true}) {
            for (const int type : {1, 0}) {
                if (type == 0 && !c.Camera) continue;
                SCOPED_TRACE(c.Plan.Name + (pieces ? " in two pieces" : " whole") + " type " +
                             std::to_string(type));
                const std::string image = dir.File("card.img");
                std::filesystem::remove(image);
                const test::TDiskImage img = test::Make_RawImage(image, c.Base + (8 << 20), 4096);
                if (!pieces) {
                    img.Write_Raw(c.Base, rec);
                } else {
                    // The later piece lies first on the medium, the earlier one 1 MiB on.
                    img.Write_Raw(c.Base, std::vector<uint8_t>(rec.begin() + cut, rec.end()));
                    img.Write_Raw(c.Base + (1 << 20), std::vector<uint8_t>(rec.begin(), rec.begin() + cut));
                }
                const std::string out = dir.File("out");
                std::filesystem::remove_all(out);
                const int64_t start = std::max<int64_t>(c.Base - (1 << 20), 0) / 512;
                std::string json;
                const int rc = test::Run_Command(
                    "TZ=UTC " + cli + " scan " + image + " --type " + std::to_string(type) + " --start " +
                        std::to_string(start) + " --export " + out + " --json 2>/dev/null",
                    &json);
                EXPECT_EQ(rc, 0) << json;
                const std::vector<TWritten> files = Written_Files(json);
                bool exact = false;
                for (const TWritten& f : files) {
                    const bool same = test::Read_File(f.Path) == rec;
                    exact = exact || same;
                    // Level 0 is a promise: only for the bytes as they were.
                    if (f.Level == 0) {
                        EXPECT_TRUE(same) << f.Path << " rated 0 but not the recording";
                    }
                }
                EXPECT_TRUE(exact) << "no exported file is the recording: " << json;
                if (type == 1) {
                    EXPECT_NE(json.find("\"model\": \"" + c.Model + "\""), std::string::npos) << json;
                    EXPECT_NE(json.find("\"date\": \"2024-03-01T09:05:07\""), std::string::npos) << json;
                }
            }
        }
    }
}

TEST(GenericType, TheTypeIsCheckedAndTheCameraTypeLeavesOtherCodingsAlone) {
    if (!test::Have_Program("ffmpeg")) {
        QRV_SKIP_WITHOUT("ffmpeg is not installed");
    }
    test::TTempDir dir("qrv-generic");
    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    const std::vector<uint8_t> rec =
        test::Make_GenericRecording(dir.Path(), {.Name = "hevc.mp4", .Video = "h265", .Sound = false});
    const test::TDiskImage img = test::Make_RawImage(dir.File("card.img"), 4 << 20, 4096);
    img.Write_Raw(1 << 20, rec);
    std::string out;
    EXPECT_EQ(test::Run_Command(cli + " scan " + img.Path + " --type 2 2>&1", &out), 2);
    EXPECT_NE(out.find("--type must be 0"), std::string::npos) << out;
    // The scan's first log line names the generic type.
    ASSERT_EQ(test::Run_Command(cli + " scan " + img.Path + " --type 1 2>&1 >/dev/null", &out), 0);
    EXPECT_NE(out.find("恢复类型:类型2:MP4/MOV----通用(H.264/H.265)"), std::string::npos) << out;
    // The camera type finds the movie box but no H.264 frame of its kind: nothing is exported as whole.
    ASSERT_EQ(test::Run_Command(cli + " scan " + img.Path + " --type 0 --json 2>/dev/null", &out), 0);
    EXPECT_NE(out.find("\"recovery_type\": 0"), std::string::npos);
    EXPECT_EQ(out.find("\"level\": 0"), std::string::npos) << out;
}

} // namespace
} // namespace qrv
