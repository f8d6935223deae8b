#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "common/op_state.h"
#include "common/ui_message.h"
#include "platform/time_zone.h"
#include "scan/classifier.h"
#include "scan/metadata.h"
#include "scan/movie_boxes.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "support/disk_image.h"
#include "support/test_env.h"

using namespace qrv;
using namespace qrv::test;

namespace {

std::atomic<int> g_completions{0};
void Count_Completion(TSource&, const TTreeData&, const TAllocMap&, const TScanParams&) {
    ++g_completions;
}
void Throwing_Completion(TSource&, const TTreeData&, const TAllocMap&, const TScanParams&) {
    throw std::runtime_error("analysis failed");
}

// Sets the stop flag when it sees the given status message (1-based).
class TStopSink : public TRecordingSink {
  public:
    explicit TStopSink(int stopAt) : stopAt_(stopAt) {}
    void Handle_UIMessage(const TUiMessage& m) override {
        TRecordingSink::Handle_UIMessage(m);
        if (m.MsgType == MSG_PROGRESS_STATUS && ++seen_ == stopAt_) Bound_OpState()->StopFlag = true;
    }

  private:
    int stopAt_;
    int seen_ = 0;
};

class ScanJob : public ::testing::Test {
  protected:
    void SetUp() override { Install(std::make_shared<TRecordingSink>()); }
    void Install(std::shared_ptr<TRecordingSink> s) {
        sink = s;
        Set_UISink(sink);
        session.Scans.Clear();
        Set_TimeZoneBiasOverride(0);
        g_completions = 0;
    }
    void TearDown() override {
        Set_UISink(nullptr);
        Set_TimeZoneBiasOverride(std::nullopt);
        session.Scans.Clear();
    }
    // The completion stage handed to To_Scan: counts its runs.
    TScanCompletion completion = Count_Completion;
    TScanSession session;
    std::vector<int> Types() const {
        std::vector<int> t;
        for (const auto& m : sink->Messages())
            t.push_back(m.MsgType);
        return t;
    }
    std::vector<std::string> Status_Texts() const {
        std::vector<std::string> t;
        for (const auto& m : sink->OfType(MSG_PROGRESS_STATUS))
            t.push_back(m.P[1]);
        return t;
    }
    // The last three messages are the closing sequence; its log line says
    // whether the scan did its work.
    void Expect_Closing(const char* closingLine = "扫描成功完成!") const {
        auto all = sink->Messages();
        ASSERT_GE(all.size(), 3u);
        const auto& log = all[all.size() - 3];
        EXPECT_EQ(log.MsgType, MSG_LOG);
        EXPECT_EQ(log.P[0], "扫描完成");
        EXPECT_EQ(log.P[2], closingLine);
        EXPECT_EQ(all[all.size() - 2].MsgType, MSG_PROGRESS_START);
        EXPECT_EQ(all[all.size() - 2].P[0], "0");
        EXPECT_EQ(all[all.size() - 2].P[1], "");
        EXPECT_EQ(all.back().MsgType, MSG_PROGRESS_END);
    }
    std::shared_ptr<TRecordingSink> sink;
    TTempDir dir{"qrv-scanjob"};
};

TScanParams Params(const TTreeData& node, int64_t start, int64_t end, int mode = 0) {
    TScanParams p;
    p.Node = node;
    p.Mode = mode;
    p.StartSec = start;
    p.EndSec = end;
    return p;
}

} // namespace

TEST_F(ScanJob, RawImageBlocksMessagesAndClosingSequence) {
    TBytes m = Noise(1 << 20, 1);
    Put(m, kScanBlockStep + 5000, Make_Moov());
    const std::string path = dir.File("raw.img");
    Write_File(path, m);

    To_Scan(session, Params(Image_FileNode(path), 0, 2048), completion);

    EXPECT_EQ(Findings(session), (std::vector<TFinding>{{3, kScanBlockStep + 5000}}));
    EXPECT_EQ(Types(), (std::vector<int>{0, 1, 2, 2, 0, 1, 3}));
    auto all = sink->Messages();
    EXPECT_EQ(all[0].P[0], "扫描开始");
    EXPECT_EQ(all[0].P[2], "开始扫描,扫描对象:" + path + ";扫描类型:全部扫描;文件系统:RAW;扫描范围:0~2048");
    EXPECT_EQ(all[1].P[0], "2");
    EXPECT_EQ(all[1].P[1], "总块数:");
    EXPECT_EQ(all[2].P[1], "已扫描块数:0");
    EXPECT_EQ(all[2].P[2], "发现碎片数量:0");
    EXPECT_EQ(all[3].P[1], "已扫描块数:1");
    EXPECT_EQ(all[3].P[2], "发现碎片数量:1");
    Expect_Closing();
    EXPECT_EQ(session.SourcePath(), path);
    EXPECT_EQ(session.Op.Progress1.load(), 1);
    EXPECT_EQ(g_completions.load(), 1);
}

TEST_F(ScanJob, StartSectorPlacesTheFirstBlockAndItsIndex) {
    TBytes m = Noise(1536 * 1024, 2);
    Put(m, 511488, Make_HeadMdat(70000)); // one sector before the range
    Put(m, 512000, Make_HeadMdat(70000));
    const int64_t straddle = 512000 + kScanBlockStep - 10; // signature runs past the block's examined part
    Put(m, straddle - 4, Make_Moov());
    const std::string path = dir.File("raw.img");
    Write_File(path, m);

    To_Scan(session, Params(Image_FileNode(path), 1000, 3072), completion);

    EXPECT_EQ(Findings(session), (std::vector<TFinding>{{1, 512000}, {3, straddle - 4}}));
    EXPECT_EQ(Status_Texts(), (std::vector<std::string>{"已扫描块数:0", "已扫描块数:1", "已扫描块数:2"}));
    EXPECT_EQ(sink->OfType(MSG_PROGRESS_START)[0].P[0], "3");
}

TEST_F(ScanJob, StopDuringTheThirdBlockEndsTheLoopThenCompletesAndCloses) {
    Install(std::make_shared<TStopSink>(3));
    TBytes m = Noise(3 << 20, 3);
    Put(m, 3 * kScanBlockStep + 512, Make_HeadMdat(9000)); // in the fourth block: never read
    const std::string path = dir.File("raw.img");
    Write_File(path, m);

    const TOutcome outcome = To_Scan(session, Params(Image_FileNode(path), 0, 6144), completion);

    EXPECT_EQ(Status_Texts(), (std::vector<std::string>{"已扫描块数:0", "已扫描块数:1", "已扫描块数:2"}));
    EXPECT_TRUE(Findings(session).empty());
    EXPECT_EQ(g_completions.load(), 1);
    Expect_Closing("扫描已停止! 已扫描字节:1572864/3145728");
    EXPECT_EQ(outcome.Kind, TOutcomeKind::Cancelled);
    EXPECT_EQ(outcome.Offset, 3 * kScanBlockStep);
}

// An image file cut while it is scanned (as a card pulled halfway): the scan
// fails at the block where it noticed, with both sizes, and never closes as a
// success.
TEST_F(ScanJob, SourceThatShrinksDuringTheScanFailsIt) {
    const std::string path = dir.File("shrinking.img");
    Write_File(path, Noise(3 << 20, 8));
    class TCutSink : public TRecordingSink {
      public:
        explicit TCutSink(std::string p) : path_(std::move(p)) {}
        void Handle_UIMessage(const TUiMessage& m) override {
            TRecordingSink::Handle_UIMessage(m);
            if (m.MsgType == MSG_PROGRESS_STATUS && ++seen_ == 2) std::filesystem::resize_file(path_, 1 << 20);
        }

      private:
        std::string path_;
        int seen_ = 0;
    };
    Install(std::make_shared<TCutSink>(path));
    const TOutcome outcome = To_Scan(session, Params(Image_FileNode(path), 0, 6144), completion);
    EXPECT_EQ(outcome.Kind, TOutcomeKind::IoError);
    EXPECT_EQ(outcome.Offset, 2 * kScanBlockStep);
    EXPECT_EQ(g_completions.load(), 0);
    bool said = false;
    for (const auto& m : sink->OfType(MSG_LOG))
        said = said || (m.P[0] == "错误类型:Scan0005" && m.P[2] == "错误内容:扫描中源的大小改变:3145728 -> 1048576");
    EXPECT_TRUE(said);
    Expect_Closing("扫描未能完成!");
}

TEST_F(ScanJob, UnopenableSourceLogsTheErrorThenClosesAsFailed) {
    const TOutcome outcome =
        To_Scan(session, Params(Image_FileNode(dir.File("missing.img")), 0, 2048), completion);
    auto all = sink->Messages();
    ASSERT_EQ(Types(), (std::vector<int>{0, 0, 1, 3}));
    EXPECT_EQ(all[0].P[0], "错误类型:Scan0000");
    EXPECT_EQ(all[0].P[2], "错误内容:获取文件句柄出错，程序将退出!");
    Expect_Closing("扫描未能完成!");
    EXPECT_EQ(outcome.Kind, TOutcomeKind::IoError);
    EXPECT_EQ(g_completions.load(), 0);
}

TEST_F(ScanJob, UnusableGeometryIsRefusedBeforeTheScanStarts) {
    const std::string path = dir.File("raw.img");
    Write_File(path, Noise(1 << 20, 4));
    TTreeData zeroSector = Image_FileNode(path);
    zeroSector.PerSecBytes = 0;
    TTreeData noCluster = Image_FileNode(path, "NTFS");
    TTreeData hugeCluster = Image_FileNode(path, "exFAT");
    hugeCluster.LogPerClusec = 2048; // 1 MiB clusters
    TTreeData oddSector = Image_FileNode(path);
    oddSector.PerSecBytes = 520;
    for (const TTreeData& node : {zeroSector, noCluster, hugeCluster, oddSector}) {
        sink->Clear();
        const TOutcome outcome = To_Scan(session, Params(node, 0, 2048), completion);
        auto all = sink->Messages();
        ASSERT_EQ(Types(), (std::vector<int>{0, 0, 1, 3})) << node.HddFs;
        EXPECT_NE(all[0].P[0].find("错误类型:"), std::string::npos);
        EXPECT_NE(all[0].P[2].find("程序将退出!"), std::string::npos);
        Expect_Closing("扫描未能完成!");
        EXPECT_EQ(outcome.Kind, TOutcomeKind::Corrupt);
    }
    EXPECT_EQ(g_completions.load(), 0);
}

TEST_F(ScanJob, FailureInTheCompletionStageIsLoggedAndClosesAsFailed) {
    completion = Throwing_Completion;
    const std::string path = dir.File("raw.img");
    Write_File(path, Noise(1 << 20, 5));
    const TOutcome outcome = To_Scan(session, Params(Image_FileNode(path), 0, 2048), completion);
    EXPECT_EQ(Types(), (std::vector<int>{0, 1, 2, 2, 0, 0, 1, 3}));
    const auto logs = sink->OfType(MSG_LOG);
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[1].P[0], "错误类型:Scan0002");
    EXPECT_EQ(logs[1].P[2].rfind("错误内容:扫描中断;", 0), 0u) << logs[1].P[2];
    Expect_Closing("扫描未能完成!");
    EXPECT_EQ(outcome.Kind, TOutcomeKind::IoError);
}

TEST_F(ScanJob, UnloadableMapFallsBackToScanningEverything) {
    TBytes m = Noise(1 << 20, 6); // named NTFS, but no boot sector
    Put(m, 65536, Make_Moov());
    const std::string path = dir.File("ntfs.img");
    Write_File(path, m);
    TTreeData node = Image_FileNode(path, "NTFS");
    node.LogPerClusec = 8;

    To_Scan(session, Params(node, 0, 2048, 2), completion);

    EXPECT_NE(sink->Messages()[0].P[2].find("扫描类型:仅扫描已分配空间;"), std::string::npos);
    EXPECT_EQ(Findings(session), (std::vector<TFinding>{{3, 65536}}));
}

TEST_F(ScanJob, DateFilterOfTheParametersDropsHeadsOnly) {
    TBytes m = Noise(1 << 20, 7);
    Put(m, 8192, Make_HeadMoov()); // shot 2018-01-28 08:00:00
    Put(m, 300000, Make_Moov());
    const std::string path = dir.File("raw.img");
    Write_File(path, m);
    TScanParams p = Params(Image_FileNode(path), 0, 2048);
    To_Scan(session, p, completion);
    EXPECT_EQ(Findings(session), (std::vector<TFinding>{{0, 8192}, {3, 300000}}));

    session.Scans.Clear();
    p.DateFilter = true;
    p.DateFrom = Encode_DateTime(2018, 1, 29, 0, 0, 0);
    p.DateTo = Encode_DateTime(2018, 2, 1, 0, 0, 0);
    To_Scan(session, p, completion);
    EXPECT_EQ(Findings(session), (std::vector<TFinding>{{3, 300000}}));
    EXPECT_EQ(sink->OfType(MSG_PROGRESS_STATUS).back().P[2], "发现碎片数量:1");
}

TEST(ScanGeometry, StartOffsetAndUnitPerFileSystem) {
    TAllocMap map;
    map.Loaded = true;
    map.MapStart = 4096;
    map.MapExtent = int64_t(1) << 40;

    TTreeData ntfs;
    ntfs.HddFs = "NTFS";
    ntfs.PerSecBytes = 512;
    ntfs.LogPerClusec = 8;
    auto g = Get_ScanGeometry(ntfs, 1, 1000000, 4000000, map, 0);
    EXPECT_EQ(g.StartOffset, 268435456); // cluster 65,536, not sector 1,000,000
    EXPECT_EQ(g.Unit, 4096);
    EXPECT_EQ(g.WalkStep, 4096);
    EXPECT_EQ(g.Mode, 1);
    // A region whose volume starts at V: clusters are counted from V.
    g = Get_ScanGeometry(ntfs, 0, 2048 + 1000000, 4000000, map, 2048 * 512);
    EXPECT_EQ(g.StartOffset, 2048 * 512 + 268435456);

    TTreeData fat = ntfs;
    fat.HddFs = "FAT32";
    map.DataStart = 4194304;
    EXPECT_EQ(Get_ScanGeometry(fat, 0, 0, 4000000, map, 0).StartOffset, 4194304);
    // Sector 100,000 is cluster 11,478: rounds down to 0, taken as cluster 2.
    EXPECT_EQ(Get_ScanGeometry(fat, 0, 100000, 4000000, map, 0).StartOffset, 4194304);
    // Sector 200,000 is cluster 23,978: rounds down to 16,384.
    EXPECT_EQ(Get_ScanGeometry(fat, 0, 200000, 4000000, map, 0).StartOffset, 4194304 + int64_t(16382) * 4096);
    TTreeData exfat = fat;
    exfat.HddFs = "exFAT";
    EXPECT_EQ(Get_ScanGeometry(exfat, 0, 200000, 4000000, map, 0).StartOffset, 4194304);
    EXPECT_EQ(Get_ScanGeometry(exfat, 0, 8192 + 8 * 70000, 4000000, map, 0).StartOffset,
              4194304 + int64_t(65534) * 4096);

    // A range that ends before the map, or a map too small for the volume: mode 0.
    g = Get_ScanGeometry(fat, 2, 0, 7, map, 0);
    EXPECT_EQ(g.Mode, 0);
    TAllocMap small = map;
    small.MapExtent = 10;
    fat.LogTotalClusters = 100;
    EXPECT_EQ(Get_ScanGeometry(fat, 1, 0, 4000000, small, 0).Mode, 0);

    TAllocMap none;
    g = Get_ScanGeometry(ntfs, 2, 1000000, 4000000, none, 0);
    EXPECT_EQ(g.Mode, 0);
    EXPECT_EQ(g.StartOffset, 512000000);
    EXPECT_EQ(g.Unit, 4096);

    TTreeData raw;
    raw.HddFs = "RAW";
    raw.PerSecBytes = 512;
    g = Get_ScanGeometry(raw, 1, 1000, 4000, none, 0);
    EXPECT_EQ(g.StartOffset, 512000);
    EXPECT_EQ(g.Unit, 512);
    EXPECT_EQ(g.WalkStep, 32768);
    EXPECT_EQ(g.Mode, 1);
}
