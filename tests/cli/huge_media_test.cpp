// Media past the 32-bit marks: sparse images whose apparent size is above
// 4 GiB and above 2 TiB (where sector numbers no longer fit 32 bits), with
// recordings lying across and beyond the mark. Scanning from near the mark,
// rebuilding, exporting, saving and loading the scan result and the hex view
// must all use full 64-bit offsets: every exported file equals its original.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kCluster = 32768;

test::TRecording Make(uint32_t seed) {
    test::TRecordingPlan s;
    s.Seed = seed;
    s.Seconds = 3;
    s.Width = 320;
    s.Height = 240;
    s.Quality = 26;
    return test::Make_Recording(s);
}

std::vector<std::string> Mp4_Under(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ".mp4") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Builds a sparse image of `size` bytes with recording A lying across `mark`
// and recording B after it in three cluster-aligned pieces with other bytes
// between; scans from 8 MiB below the mark, exports, saves, loads and
// exports again, and compares.
void Huge_Case(int64_t mark, int64_t size) {
    test::TTempDir dir("qrv-huge");
    const std::string img = dir.File("huge.img");
    {
        test::Write_File(img, {});
        std::error_code ec;
        fs::resize_file(img, uint64_t(size), ec);
        if (ec) QRV_SKIP_WITHOUT("this file system holds no sparse file of " << size << " bytes: " << ec.message());
    }
    const test::TRecording a = Make(91), b = Make(92);
    // A starts two clusters below the mark, so its samples cross it.
    const int64_t aAt = mark - 2 * kCluster;
    test::Write_At(img, aAt, a.Bytes);
    // B in three pieces, 7 clusters of other bytes between them.
    const int64_t bAt = (mark + (8 << 20)) / kCluster * kCluster;
    const int64_t n = (int64_t(b.Bytes.size()) + kCluster - 1) / kCluster;
    int64_t disk = bAt;
    for (int64_t c = 0; c < n; ++c) {
        if (c == n / 3 || c == 2 * n / 3) {
            test::Write_At(img, disk, test::Pattern_Bytes(size_t(7 * kCluster), uint32_t(c)));
            disk += 7 * kCluster;
        }
        const size_t from = size_t(c * kCluster), len = std::min<size_t>(size_t(kCluster), b.Bytes.size() - from);
        test::Write_At(img, disk, std::vector<uint8_t>(b.Bytes.begin() + long(from), b.Bytes.begin() + long(from + len)));
        disk += kCluster;
    }
    ASSERT_EQ(int64_t(fs::file_size(img)), size);

    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    const std::string start = std::to_string((mark - (8 << 20)) / 512);
    for (const char* sub : {"scan", "load"}) fs::create_directories(dir.File(sub));
    std::string said;
    ASSERT_EQ(test::Run_Command(cli + " scan '" + img + "' --start " + start + " --save '" + dir.File("r.QRV") +
                                    "' --export '" + dir.File("scan") + "' 2>&1",
                                &said),
              0)
        << said;
    ASSERT_EQ(test::Run_Command(cli + " load '" + dir.File("r.QRV") + "' --source '" + img + "' --export '" +
                                    dir.File("load") + "' 2>&1",
                                &said),
              0)
        << said;
    for (const char* sub : {"scan", "load"}) {
        const auto files = Mp4_Under(dir.File(sub));
        ASSERT_EQ(files.size(), 2u) << sub << "\n" << said;
        std::set<int> matched;
        for (const auto& f : files) {
            const auto got = test::Read_File(f);
            if (got == a.Bytes) matched.insert(0);
            if (got == b.Bytes) matched.insert(1);
        }
        EXPECT_EQ(matched.size(), 2u) << sub << ": exported files differ from the recordings";
    }

    // The hex view of the sector where B begins shows its "ftyp".
    ASSERT_EQ(test::Run_Command(cli + " hex '" + img + "' " + std::to_string(bAt / 512) + " 2>&1", &said), 0) << said;
    EXPECT_NE(said.find("66 74 79 70"), std::string::npos) << said;
}

} // namespace

TEST(HugeMedia, RecordingsAcrossAndBeyondFourGiB) { Huge_Case(int64_t(4) << 30, (int64_t(4) << 30) + (32 << 20)); }

TEST(HugeMedia, RecordingsAcrossAndBeyondTwoTiB) { Huge_Case(int64_t(2) << 40, (int64_t(2) << 40) + (32 << 20)); }
