// The completion stage of a scan: the alignment base and what is shown and
// written when analysis produced nothing.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/ui_message.h"
#include "pipeline/scan_completion.h"
#include "scan/alloc_map.h"
#include "scan/records.h"
#include "support/disk_image.h"
#include "support/test_env.h"

namespace qrv {
namespace {

// ---------------------------------------------------------------- completion

struct TCompletionFixture : testing::Test {
    void TearDown() override { Set_UISink(nullptr); }
    TScanSession session;
    void Head_At(int64_t off, bool head = true) {
        TScanResult s;
        s.Head_Flag = head;
        s.Fragmentype = head ? KIND_HEAD_MDAT : KIND_MOOV;
        s.FragmentOff = off;
        session.Scans.Append(s);
    }
};

TEST_F(TCompletionFixture, RawAlignmentEstimate) {
    const int64_t u = 512 * 64;
    Head_At(5 * u + 0);
    Head_At(7 * u + 4096);
    Head_At(9 * u + 4096);
    EXPECT_EQ(Estimate_RawAlignment(session, 512), 4096);

    session.Scans.Clear();
    for (int i = 0; i < 12; ++i) Head_At(i * u + 8192);
    Head_At(100 * u + 512); // the eleventh head on is not looked at
    EXPECT_EQ(Estimate_RawAlignment(session, 512), 8192);

    session.Scans.Clear();
    Head_At(u + 1536);
    Head_At(3 * u + 512);
    Head_At(4 * u + 1536);
    EXPECT_EQ(Estimate_RawAlignment(session, 512), 1536); // "1536" sorts before "512"

    session.Scans.Clear();
    Head_At(u + 2048);
    Head_At(3 * u + 1024);
    EXPECT_EQ(Estimate_RawAlignment(session, 512), 1024); // equal counts: the earlier text wins

    session.Scans.Clear();
    Head_At(777, false);
    EXPECT_EQ(Estimate_RawAlignment(session, 512), 0);

    TTreeData fat;
    fat.HddFs = "FAT32";
    fat.PerSecBytes = 512;
    TAllocMap map;
    map.DataStart = 4194304;
    Head_At(u + 2048);
    EXPECT_EQ(Get_AlignmentBase(session, fat, map, 0), 4194304);
    TTreeData ntfs = fat;
    ntfs.HddFs = "NTFS";
    EXPECT_EQ(Get_AlignmentBase(session, ntfs, map, 2048), 2048 * 512);
}

TEST_F(TCompletionFixture, NoResultsShowNothingAndWriteNothing) {
    auto sink = std::make_shared<TRecordingSink>();
    Set_UISink(sink);
    test::TTempDir dir;
    TMemorySource mem(std::vector<uint8_t>(4096, 0));
    TScanParams p;
    p.Node = test::Image_FileNode();
    p.SaveResults = true;
    p.ResultPath = dir.File("x.QRV");
    p.EndSec = 8;
    TAllocMap map;
    Scan_Completion(session, mem, p.Node, map, p);
    EXPECT_FALSE(std::filesystem::exists(p.ResultPath));
    EXPECT_TRUE(sink->OfType(MSG_ADD_ROW).empty());
    EXPECT_TRUE(sink->OfType(MSG_SHOW_RESULTS).empty());
    EXPECT_EQ(sink->OfType(MSG_SHOW_GAUGE2).size(), 1u);
    auto logs = sink->OfType(MSG_LOG);
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs[0].P[0], "分析失败");
    EXPECT_EQ(logs[0].P[2], "碎片数量为0无法进行分析!");
}

} // namespace
} // namespace qrv
