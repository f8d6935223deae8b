// What qrv-cli says and writes when the medium fails, when the operator stops
// it, and when the medium is not what its boot sector claims: unreadable
// sectors are read around (only they are lost), named once in the log, counted
// in the closing line and the JSON, and never let a recording pass as very
// good or complete; a stopped command exits 4 and says so.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using namespace qrv;

namespace {

std::string Cli() { return test::Bin_Dir() + "/qrv-cli"; }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

struct TCard {
    std::string Image;
    test::TRecording A, B;
    int64_t OffA = 1 << 20, OffB = 8 << 20;
};

TCard Make_Card(const test::TTempDir& dir) {
    TCard c;
    c.Image = dir.File("card.img");
    test::TRecordingPlan pa, pb;
    pa.Seconds = pb.Seconds = 2;
    pa.Seed = 51;
    pb.Seed = 52;
    c.A = test::Make_Recording(pa);
    c.B = test::Make_Recording(pb);
    test::Write_File(c.Image, std::vector<uint8_t>(16 << 20, 0));
    test::Write_At(c.Image, c.OffA, c.A.Bytes);
    test::Write_At(c.Image, c.OffB, c.B.Bytes);
    return c;
}

} // namespace

// The card image read as a damaged card: eight sectors in the middle of
// recording A's media fail with EIO (a preload library makes the reads of the
// image fail there, as a device's do). The scan logs them once and counts
// them; A is rated no better than 1 and exported as not complete, with zeros
// exactly there; B is untouched; the image of the card holds every readable
// byte. Both commands exit 1.
TEST(CliFaults, UnreadableSectorsAreReadAroundNamedAndNeverRatedVeryGood) {
    test::TTempDir dir("qrv-faults");
    const TCard card = Make_Card(dir);
    const int64_t badOff = ((card.OffA + int64_t(card.A.Bytes.size()) / 2) / 4096) * 4096;
    const std::string preload = test::Bin_Dir() + "/libqrv_fault_preload.so";
    ASSERT_TRUE(fs::exists(preload));
    // A sanitizer runtime would ask to be loaded first; the shim only forwards reads.
    auto faultyRead = [&](const std::string& file) {
        return "env LD_PRELOAD='" + preload + "' QRV_FAULT_FILE='" + file + "' QRV_FAULT_EIO=" +
               std::to_string(badOff) + ":4096 ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" ";
    };
    const std::string faulty = faultyRead(card.Image);
    const std::string run = "偏移:" + std::to_string(badOff) + ",长度:4096";

    std::string json, log;
    const int rc = test::Run_Command(faulty + "TZ=UTC " + Cli() + " scan '" + card.Image + "' --json --export '" +
                                         dir.File("out") + "' 2>'" + dir.File("log") + "'",
                                     &json);
    log = std::string(reinterpret_cast<const char*>(test::Read_File(dir.File("log")).data()),
                      test::Read_File(dir.File("log")).size());
    EXPECT_EQ(rc, 1) << log;
    EXPECT_EQ(Count(log, "错误类型:Scan0003"), 1u) << log;
    EXPECT_TRUE(Has(log, "扇区无法读取,以零填充," + run)) << log;
    EXPECT_TRUE(Has(log, "扫描成功完成! 无法读取的区域:1, 字节数:4096")) << log;
    EXPECT_TRUE(Has(json, "\"stopped\": false, \"failed\": false, \"unread_runs\": 1, \"unread_bytes\": 4096"))
        << json;

    // Two rows: the one holding the bad sectors is not level 0.
    EXPECT_EQ(Count(json, "{\"number\": "), 2u) << json;
    EXPECT_EQ(Count(json, "\"level\": 0,"), 1u) << json;
    EXPECT_TRUE(Has(log, "文件含有无法读取的字节,以零填充, 字节数:4096")) << log;
    EXPECT_TRUE(Has(json, "\"with_unread\": 1")) << json;

    std::vector<std::vector<uint8_t>> files;
    for (const auto& e : fs::recursive_directory_iterator(dir.File("out")))
        if (e.path().extension() == ".mp4") files.push_back(test::Read_File(e.path().string()));
    ASSERT_EQ(files.size(), 2u);
    auto wantA = card.A.Bytes;
    std::fill_n(wantA.begin() + (badOff - card.OffA), 4096, 0);
    EXPECT_TRUE((files[0] == wantA && files[1] == card.B.Bytes) || (files[1] == wantA && files[0] == card.B.Bytes));
    EXPECT_TRUE(Has(json, "\"complete\": false, \"level\": \"1\", \"unread_bytes\": 4096")) << json;
    EXPECT_TRUE(Has(json, "\"complete\": true, \"level\": \"0\", \"unread_bytes\": 0")) << json;
    std::string xml(reinterpret_cast<const char*>(test::Read_File(dir.File("out/QRV_凯墨视频恢复文件夹/report.xml")).data()),
                    test::Read_File(dir.File("out/QRV_凯墨视频恢复文件夹/report.xml")).size());
    EXPECT_EQ(Count(xml, "complete=\"false\""), 1u) << xml;
    // The decode check of the written files: B decodes cleanly, A (zeros inside a frame) does not.
    EXPECT_EQ(Count(xml, "<qrv:decode errors=\"0\"/>"), 1u) << xml;
    EXPECT_EQ(Count(json, "\"decode_errors\": 0,"), 1u) << json;
    EXPECT_TRUE(Has(xml, "qrv:unread_img_offset=\"" + std::to_string(badOff) + "\"")) << xml;

    // The image of the card as a device (a read-only loop device failing the
    // same way): every byte but the bad ones.
    struct TLoop {
        std::string Dev;
        ~TLoop() {
            if (!Dev.empty()) test::Run_Command("losetup -d '" + Dev + "'");
        }
    } loop;
    if (::geteuid() != 0 || test::Run_Command("losetup -r -f --show '" + card.Image + "' 2>/dev/null", &loop.Dev) != 0)
        QRV_SKIP_WITHOUT("no loop device available (needs root and /dev/loop-control)");
    while (!loop.Dev.empty() && (loop.Dev.back() == '\n' || loop.Dev.back() == ' '))
        loop.Dev.pop_back();
    fs::create_directories(dir.File("img"));
    EXPECT_EQ(test::Run_Command(faultyRead(loop.Dev) + Cli() + " image " + loop.Dev + " --out '" + dir.File("img") +
                                "' 2>'" + dir.File("log") + "' >/dev/null"),
              1);
    log = std::string(reinterpret_cast<const char*>(test::Read_File(dir.File("log")).data()),
                      test::Read_File(dir.File("log")).size());
    EXPECT_TRUE(Has(log, "读取源数据失败,以零填充," + run)) << log;
    EXPECT_TRUE(Has(log, "镜像成功完成! 无法读取的字节数:4096")) << log;
    std::vector<uint8_t> image;
    for (const auto& e : fs::directory_iterator(dir.File("img")))
        if (e.path().extension() == ".img") image = test::Read_File(e.path().string());
    auto want = test::Read_File(card.Image);
    std::fill_n(want.begin() + badOff, 4096, 0);
    EXPECT_TRUE(image == want);
}

// A volume whose boot sector puts its allocation map and data area outside
// the medium is scanned as RAW, with the reason in the log, instead of
// ending as "0 recordings, success".
TEST(CliFaults, ImpossibleFileSystemGeometryIsScannedAsRaw) {
    test::TTempDir dir("qrv-faults");
    test::TVolumeLayout plan;
    plan.Fs = "FAT32";
    plan.VolumeBytes = 40 << 20;
    plan.ClusterBytes = 512;
    std::string skip;
    auto vol = test::Make_DiskImage(dir.File("fat.img"), plan, &skip);
    if (!vol) QRV_SKIP_WITHOUT(skip);
    test::TRecordingPlan rp;
    rp.Seconds = 2;
    rp.Seed = 53;
    const auto rec = test::Make_Recording(rp);
    test::Write_At(vol->Path, 24 << 20, rec.Bytes);
    // Reserved sectors 0xFFFF, sectors per FAT 0xFFFFFFFF.
    test::Write_At(vol->Path, 14, {0xFF, 0xFF});
    test::Write_At(vol->Path, 36, {0xFF, 0xFF, 0xFF, 0xFF});
    std::string json;
    EXPECT_EQ(test::Run_Command(Cli() + " scan '" + vol->Path + "' --json 2>'" + dir.File("log") + "'", &json), 0);
    const auto raw = test::Read_File(dir.File("log"));
    const std::string log(raw.begin(), raw.end());
    EXPECT_TRUE(Has(log, "文件系统描述无效,按RAW扫描")) << log;
    EXPECT_TRUE(Has(json, "\"rebuilt\": 1,")) << json;
}

// Ctrl-C: the scan stops at its next block, says how far it got, exports
// nothing and exits 4 with "stopped": true.
TEST(CliFaults, InterruptedScanExitsAsStopped) {
    test::TTempDir dir("qrv-faults");
    const std::string img = dir.File("big.img");
    ASSERT_EQ(test::Run_Command("truncate -s 256G '" + img + "'"), 0);
    const std::string cmd = Cli() + " scan '" + img + "' --json --export '" + dir.File("out") + "' >'" +
                            dir.File("json") + "' 2>'" + dir.File("log") + "'";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setpgid(0, 0);
        ::execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Once the scan has started, as a person would press Ctrl-C.
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto log = test::Read_File(dir.File("log"));
        if (Has(std::string(log.begin(), log.end()), "扫描开始")) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 4);
    const auto raw = test::Read_File(dir.File("log")), out = test::Read_File(dir.File("json"));
    const std::string log(raw.begin(), raw.end()), json(out.begin(), out.end());
    EXPECT_TRUE(Has(log, "扫描已停止! 已扫描字节:")) << log;
    EXPECT_FALSE(Has(log, "扫描成功完成!")) << log;
    EXPECT_TRUE(Has(json, "\"stopped\": true")) << json;
    EXPECT_TRUE(Has(json, "\"export\": null")) << json;
}
