// qrv-cli scan, run as a program.
#include <gtest/gtest.h>

#include <regex>

#include "platform/time_zone.h"
#include "scan/movie_boxes.h"
#include "support/quality_scenarios.h"
#include "support/test_env.h"

using namespace qrv::test;

namespace {

std::string Cli() {
    return Bin_Dir() + "/qrv-cli";
}

int Scan_Cli(const std::string& args, std::string* out) {
    return Run_Command("TZ=UTC " + Cli() + " scan " + args + " 2>&1", out);
}

bool Contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

size_t Count(const std::string& s, const std::string& part) {
    size_t n = 0;
    for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + part.size()))
        ++n;
    return n;
}

// Levels of the rows of the results table.
std::vector<int> Levels(const std::string& out) {
    std::vector<int> levels;
    const std::regex row("\\n[0-9]+ +([0-3]) +DSJ-T9 ");
    for (std::sregex_iterator it(out.begin(), out.end(), row), end; it != end; ++it)
        levels.push_back(std::stoi((*it)[1]));
    return levels;
}

} // namespace

TEST(ScanCli, ListsWhatTheScanFoundOnARawImage) {
    TTempDir dir("qrv-scancli");
    TBytes m = Noise(2 << 20, 11);
    Put(m, 1024 * 1024, Make_HeadMoov());
    Put(m, 1500 * 1024 + 3, Make_Moov());
    const std::string path = dir.File("card.img");
    Write_File(path, m);
    std::string out;
    ASSERT_EQ(Scan_Cli(path, &out), 0) << out;
    EXPECT_TRUE(Contains(out, "扫描对象:" + path + ";扫描类型:全部扫描;文件系统:RAW;扫描范围:0~4096")) << out;
    EXPECT_TRUE(Contains(out, "扫描成功完成!"));
    EXPECT_TRUE(Contains(out, "1048576  VANTO-X1             2018-01-28 08:00:00 61.5")) << out;
    EXPECT_TRUE(Contains(out, "1536003")) << out;
    EXPECT_TRUE(Contains(out, "2 found")) << out;

    // A range that leaves out the head: only the movie box.
    ASSERT_EQ(Scan_Cli(path + " --start 2049 --end 4096", &out), 0) << out;
    EXPECT_TRUE(Contains(out, "1 found")) << out;
    EXPECT_FALSE(Contains(out, "1048576")) << out;

    // The date filter drops the head, not the bare movie box.
    ASSERT_EQ(Scan_Cli(path + " --date-from '2019-01-01 00:00:00' --date-to '2019-02-01 00:00:00'", &out), 0)
        << out;
    EXPECT_TRUE(Contains(out, "1 found")) << out;
}

// The date window holds in the time standard the dates are shown in, for the
// recordings whose movie box lies apart from their head as for the others.
// The demo card's recordings were shot 2019-05-12 02:33:21 and 03:33:21 and
// 2019-05-13 02:35:21 universal time (eight hours later in China time).
TEST(ScanCli, DateWindowFollowsTheTimeStandard) {
    if (!Have_Program("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is missing";
    TTempDir dir("qrv-scancli");
    ASSERT_EQ(Run_Command(Bin_Dir() + "/qrv-make-demo-card " + dir.Path() + " >/dev/null 2>&1"), 0);
    struct TCase {
        const char* zone;
        const char* from;
        const char* to;
        const char* rows; // shooting dates of the recordings listed
    } cases[] = {
        {"", "2019-05-12 02:00:00", "2019-05-12 03:00:00", "2019-05-12 02:33:21;"},
        {"", "2019-05-12 10:00:00", "2019-05-12 11:00:00", ""},
        {" --china-time", "2019-05-12 10:00:00", "2019-05-12 11:00:00", "2019-05-12 10:33:21;"},
        {" --china-time", "2019-05-12 11:00:00", "2019-05-12 12:00:00", "2019-05-12 11:33:21;"},
        {" --china-time", "2019-05-12 02:00:00", "2019-05-12 04:00:00", ""},
        {" --china-time", "2019-05-13 10:35:21", "2019-05-13 10:35:21", "2019-05-13 10:35:21;"},
        {" --china-time", "2019-05-12 00:00:00", "2019-05-13 00:00:00",
         "2019-05-12 10:33:21;2019-05-12 11:33:21;"},
    };
    const std::regex row("\\n[0-9]+ +[0-3] +DSJ-[A-Z0-9]+ +([0-9-]+ [0-9:]+) ");
    for (const auto& k : cases) {
        std::string out;
        ASSERT_EQ(
            Scan_Cli(dir.File("card.img") + k.zone + " --date-from '" + k.from + "' --date-to '" + k.to + "'",
                     &out),
            0)
            << out;
        std::string rows;
        for (std::sregex_iterator it(out.begin(), out.end(), row), end; it != end; ++it)
            rows += (*it)[1].str() + ";";
        EXPECT_EQ(rows, k.rows) << k.zone << " " << k.from << "\n" << out;
    }
}

TEST(ScanCli, FailuresAndBadUsage) {
    TTempDir dir("qrv-scancli");
    std::string out;
    EXPECT_EQ(Scan_Cli(dir.File("missing.img"), &out), 1);
    EXPECT_TRUE(Contains(out, "错误类型:Scan0000")) << out;
    EXPECT_TRUE(Contains(out, "错误内容:获取文件句柄出错，程序将退出!"));
    EXPECT_FALSE(Contains(out, "扫描开始"));

    const std::string path = dir.File("card.img");
    Write_File(path, Noise(1 << 20, 12));
    EXPECT_EQ(Scan_Cli(path + " --fs NTFS --cluster-sectors 0", &out), 1);
    EXPECT_TRUE(Contains(out, "错误类型:")) << out;
    EXPECT_EQ(Scan_Cli(path + " --mode some", &out), 2);
    EXPECT_EQ(Scan_Cli(path + " --start 100 --end 100", &out), 2);
    EXPECT_TRUE(Contains(out, "起始扇区和结束扇区相同,请重新设置!"));
    EXPECT_EQ(Scan_Cli(path + " --start 200 --end 100", &out), 2);
    EXPECT_TRUE(Contains(out, "起始扇区大于结束扇区,请重新设置!"));
    EXPECT_EQ(Scan_Cli(path + " --date-from '2018-01-01 23:50:00' --date-to '2018-01-01 23:00:00'", &out), 2);
    EXPECT_EQ(Scan_Cli(path + " --sector-size 4096", &out), 2);
}

TEST(ScanCli, BareVolumeImagesAreRecognisedByTheirBootSector) {
    TTempDir dir("qrv-scancli");
    std::string out;
    if (Have_Program("mkfs.fat")) {
        const std::string fat = dir.File("fat.img");
        ASSERT_EQ(Run_Command("truncate -s 64M " + fat + " && mkfs.fat -F 32 -s 8 " + fat + " >/dev/null"),
                  0);
        ASSERT_EQ(Scan_Cli(fat + " --mode free", &out), 0) << out;
        EXPECT_TRUE(Contains(out, "扫描类型:仅扫描删除空间;文件系统:FAT32;扫描范围:0~131072")) << out;
    }
    if (Have_Program("mkfs.exfat")) {
        const std::string ex = dir.File("exfat.img");
        ASSERT_EQ(Run_Command("truncate -s 64M " + ex + " && mkfs.exfat " + ex + " >/dev/null 2>&1"), 0);
        ASSERT_EQ(Scan_Cli(ex, &out), 0) << out;
        EXPECT_TRUE(Contains(out, "文件系统:exFAT;")) << out;
    }
    if (Have_Program("mkntfs")) {
        const std::string nt = dir.File("ntfs.img");
        ASSERT_EQ(Run_Command("truncate -s 64M " + nt + " && mkntfs -F -q -Q " + nt + " >/dev/null 2>&1"), 0);
        ASSERT_EQ(Scan_Cli(nt + " --mode allocated", &out), 0) << out;
        EXPECT_TRUE(Contains(out, "文件系统:NTFS;")) << out;
    }
}

// The reassembly settings reach the analysis: the window scheme, the second
// pass over the whole medium for incomplete rebuilds, and the time standard of
// the shooting dates.
TEST(ScanCli, ReassemblySettings) {
    TTempDir dir("qrv-scancli");
    ASSERT_TRUE(Have_Program("ffmpeg"));
    // Three recordings with a piece outside the default window, and one whole.
    TQualityScenario s;
    std::string skip;
    ASSERT_TRUE(Build_QualityScenario(TFaultClass::D, TMedium::Raw, dir.Path(), s, &skip)) << skip;
    const std::string img = s.Img.Path;
    std::string out;
    const std::string widened = "扩大重组范围";

    ASSERT_EQ(Scan_Cli(img, &out), 0) << out;
    EXPECT_EQ(Count(out, widened), 3u) << out;
    EXPECT_EQ(Levels(out), (std::vector<int>{0, 0, 0, 0})) << out;
    EXPECT_TRUE(Contains(out, "2021-03-30 17:48:21")) << out;

    ASSERT_EQ(Scan_Cli(img + " --no-widen", &out), 0) << out;
    EXPECT_EQ(Count(out, widened), 0u) << out;
    std::vector<int> levels = Levels(out);
    ASSERT_EQ(levels.size(), 4u) << out;
    EXPECT_EQ(std::count(levels.begin(), levels.end(), 0), 1) << out;

    // The whole medium on both sides in the first place: nothing left to widen.
    ASSERT_EQ(Scan_Cli(img + " --no-widen --scheme 7 --interleave 1 --china-time", &out), 0) << out;
    EXPECT_EQ(Count(out, widened), 0u) << out;
    EXPECT_EQ(Levels(out), (std::vector<int>{0, 0, 0, 0})) << out;
    EXPECT_TRUE(Contains(out, "2021-03-31 01:48:21")) << out;
    EXPECT_FALSE(Contains(out, "2021-03-30 17:48:21")) << out;

    for (const char* bad :
         {"--scheme 8", "--scheme -1", "--scheme x", "--interleave 2", "--type 2", "--type x"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Scan_Cli(img + " " + bad, &out), 2) << out;
        EXPECT_FALSE(Contains(out, "扫描开始")) << out;
    }
    ASSERT_EQ(Run_Command(Cli() + " scan --help", &out), 0);
    for (const char* option : {"--scheme", "--interleave", "--china-time", "--no-widen", "--type"})
        EXPECT_TRUE(Contains(out, option));
}
