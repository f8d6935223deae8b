#include <gtest/gtest.h>

#include "common/byte_order.h"
#include "common/ui_message.h"
#include "media/boot_sector.h"
#include "sources/regions.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::TTempDir;

namespace {

void Sig(std::vector<uint8_t>& img, int64_t off) {
    img[size_t(off + 510)] = 0x55;
    img[size_t(off + 511)] = 0xAA;
}

void Entry(std::vector<uint8_t>& img, int64_t off, int index, uint8_t type, uint32_t first, uint32_t count) {
    uint8_t* e = img.data() + off + 446 + index * 16;
    e[4] = type;
    Put_LE32(e + 8, first);
    Put_LE32(e + 12, count);
}

// A minimal NTFS boot sector: OEM text, 512 bytes per sector, spc, total sectors.
void Ntfs_Boot(std::vector<uint8_t>& img, int64_t off, uint8_t spc, uint64_t total) {
    std::memcpy(img.data() + off + 3, "NTFS    ", 8);
    Put_LE16(img.data() + off + 11, 512);
    img[size_t(off + 13)] = spc;
    Put_LE64(img.data() + off + 40, total);
    Sig(img, off);
}

struct TRegionFixture : ::testing::Test {
    TTempDir Dir{"qrv-reg"};
    std::shared_ptr<TRecordingSink> Sink = std::make_shared<TRecordingSink>();
    std::shared_ptr<TUiSink> Prev;
    TSourceTree Tree;
    void SetUp() override { Prev = Set_UISink(Sink); }
    void TearDown() override { Set_UISink(Prev); }
    TSourceNode* Image(const std::string& name, const std::vector<uint8_t>& bytes) {
        test::Write_File(Dir.File(name), bytes);
        auto r = Open_Image(Tree, Dir.File(name));
        EXPECT_NE(r.Node, nullptr) << r.Message;
        return r.Node;
    }
};

} // namespace

TEST(RegionSize, GigabytesElseMegabytesElseKilobytesTiesToEven) {
    EXPECT_EQ(Region_FormatSize(1610612736), "1.50 GB");
    EXPECT_EQ(Region_FormatSize(512), "0.50 KB");
    EXPECT_EQ(Region_FormatSize(0), "0.00 KB");
    EXPECT_EQ(Region_FormatSize(5368709), "5.12 MB");    // 0.005 GB rounds to 0.00 -> MB
    EXPECT_EQ(Region_FormatSize(5368710), "0.01 GB");    // just above half a hundredth
    EXPECT_EQ(Region_FormatSize(5242880 + 52429), "5.05 MB");
    EXPECT_EQ(Region_FormatSize(13), "0.01 KB"); // 0.0127 KB
    // Exactly half a hundredth: ties go to the even neighbour.
    EXPECT_EQ(Region_FormatSize(131072), "0.12 MB"); // 0.125 MB
    EXPECT_EQ(Region_FormatSize(393216), "0.38 MB"); // 0.375 MB
    EXPECT_EQ(Region_FormatSize(128), "0.12 KB");
    EXPECT_EQ(Region_FormatSize(384), "0.38 KB");
    EXPECT_EQ(Region_FormatSize(int64_t(1) << 40), "1024.00 GB");
}

TEST(BootSectors, ImplausibleGeometryIsNotAFileSystem) {
    std::vector<uint8_t> s(512, 0);
    Ntfs_Boot(s, 0, 8, 1000);
    ASSERT_TRUE(Parse_NtfsBoot(s));
    EXPECT_EQ(Parse_NtfsBoot(s)->SectorsPerCluster, 8u);
    s[13] = 0xF4; // 2^12 sectors per cluster, the encoding of large clusters
    EXPECT_EQ(Parse_NtfsBoot(s)->SectorsPerCluster, 4096u);
    s[13] = 0;
    EXPECT_FALSE(Parse_NtfsBoot(s)); // would divide by zero
    s[13] = 3;
    EXPECT_FALSE(Parse_NtfsBoot(s));
    s[13] = 8;
    Put_LE16(s.data() + 11, 0);
    EXPECT_FALSE(Parse_NtfsBoot(s));
    EXPECT_FALSE(Parse_NtfsBoot(std::span<const uint8_t>(s.data(), 100))); // too short
    // A sector count whose byte size overflows 64 bits (found by fuzzing the
    // partition-table walk: the volume size was multiplied out unchecked).
    Put_LE16(s.data() + 11, 512);
    ASSERT_TRUE(Parse_NtfsBoot(s));
    Put_LE64(s.data() + 40, 6872272240813435234ull);
    EXPECT_FALSE(Parse_NtfsBoot(s));
    Put_LE64(s.data() + 40, uint64_t(INT64_MAX) / 4096);
    EXPECT_TRUE(Parse_NtfsBoot(s));

    std::vector<uint8_t> e(512, 0);
    std::memcpy(e.data() + 3, "EXFAT   ", 8);
    e[108] = 9, e[109] = 3;
    Put_LE32(e.data() + 92, 777);
    ASSERT_TRUE(Parse_ExfatBoot(e));
    EXPECT_EQ(Parse_ExfatBoot(e)->SectorsPerCluster, 8u);
    EXPECT_EQ(Parse_ExfatBoot(e)->DataClusters, 777u);
    Put_LE64(e.data() + 72, ~0ull);
    EXPECT_FALSE(Parse_ExfatBoot(e));
    Put_LE64(e.data() + 72, 1000);
    e[109] = 200;
    EXPECT_FALSE(Parse_ExfatBoot(e));
}

TEST_F(TRegionFixture, ExtendedChainThatLoopsEnds) {
    // MBR: primary NTFS at sector 1, extended partition at sector 8. The first
    // record holds a logical NTFS volume and links to a second record, which
    // links back to the first.
    std::vector<uint8_t> img(64 * 512, 0);
    Sig(img, 0);
    Entry(img, 0, 0, 7, 1, 4);
    Entry(img, 0, 1, 5, 8, 40);
    Ntfs_Boot(img, 512, 1, 4);
    Entry(img, 8 * 512, 0, 7, 2, 10);   // logical volume at record + 2 sectors = sector 10
    Entry(img, 8 * 512, 1, 5, 12, 10);  // next record at 8 + 12 = sector 20
    Ntfs_Boot(img, 10 * 512, 2, 10);
    Entry(img, 20 * 512, 1, 5, 0, 10);  // back to sector 8
    TSourceNode* n = Image("loop.img", img);
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(n->Children().size(), 2u);
    EXPECT_EQ(n->Children()[0]->Data.RegionSec, 1);
    EXPECT_EQ(n->Children()[1]->Data.RegionSec, 10);
    EXPECT_EQ(n->Children()[1]->Data.LogPerClusec, 2u);
    EXPECT_EQ(n->Children()[1]->Data.LogTotalClusters, 5u);
    EXPECT_EQ(n->Children()[1]->Data.TotalSpace, 10 * 512);
}

TEST_F(TRegionFixture, ChainThatLinksToItselfAndRunawayChainsEnd) {
    std::vector<uint8_t> img(64 * 512, 0);
    Sig(img, 0);
    Entry(img, 0, 0, 7, 1, 4);
    Entry(img, 0, 1, 15, 8, 40);
    Entry(img, 8 * 512, 0, 7, 2, 10);
    Entry(img, 8 * 512, 1, 5, 0, 10); // links to itself
    Ntfs_Boot(img, 10 * 512, 2, 10);
    TSourceNode* n = Image("self.img", img);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->Children().size(), 1u); // the primary has no boot sector; the logical one once

    // 400 records, each naming a logical volume and linking to the next: the walk stops at the cap.
    const int recs = 400;
    std::vector<uint8_t> big(size_t(8 + 2 * recs + 4) * 512, 0);
    Sig(big, 0);
    Entry(big, 0, 0, 7, 1, 4);
    Entry(big, 0, 1, 5, 8, 2 * recs);
    for (int i = 0; i < recs; ++i) {
        const int64_t at = (8 + 2 * i) * 512;
        Entry(big, at, 0, 7, 1, 1);
        Entry(big, at, 1, 5, uint32_t(2 * (i + 1)), 2);
        Ntfs_Boot(big, at + 512, 1, 1);
    }
    TSourceNode* m = Image("runaway.img", big);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Children().size(), size_t(kMaxChainRecords));
}

TEST_F(TRegionFixture, TableWhoseFirstEntryIsNotAVolumeIsNotWalked) {
    std::vector<uint8_t> img(64 * 512, 0);
    Sig(img, 0);
    Entry(img, 0, 0, 15, 8, 40); // extended partition first
    Entry(img, 0, 1, 7, 1, 4);
    Ntfs_Boot(img, 512, 1, 4);
    TSourceNode* n = Image("ext-first.img", img);
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->Children().empty());
    // Type 0x83 likewise: signature present but nothing recognised, nothing added.
    img[446 + 4] = 0x83;
    test::Write_File(Dir.File("linux.img"), img);
    EXPECT_TRUE(Open_Image(Tree, Dir.File("linux.img")).Regions.empty());
}

TEST_F(TRegionFixture, RawRegionWithoutSignatureAndMessageFourAtTheEnd) {
    std::vector<uint8_t> img(200 * 4096, 0x11);
    TSourceNode* n = Image("raw.img", img);
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->Children().empty()); // opening looks for regions only behind a signature
    n->Data.PerSecBytes = 4096;
    Sink->Clear();
    auto added = Create_Region(*n, 4096, 10, 110);
    ASSERT_EQ(added.size(), 1u);
    const TTreeData& r = added[0]->Data;
    EXPECT_EQ(r.Level, 2);
    EXPECT_EQ(r.Hddtype, HDD_REGION);
    EXPECT_EQ(r.HddNumber, "Image File");
    EXPECT_EQ(r.HddModel, Dir.File("raw.img"));
    EXPECT_EQ(r.HddLable, "创建区域");
    EXPECT_EQ(r.HddFs, "RAW");
    EXPECT_EQ(r.RegionSec, 10);
    EXPECT_EQ(r.PerSecBytes, 512); // 512 even for a 4096-byte parent
    EXPECT_EQ(r.TotalSpace, 100 * 4096);
    EXPECT_EQ(r.HddCap, "0.39 MB"); // 0.00 GB rounds to zero, so megabytes
    EXPECT_EQ(r.LogPerClusec, 0u);
    ASSERT_EQ(Sink->Messages().size(), 1u);
    EXPECT_EQ(Sink->Messages()[0].MsgType, MSG_REGION_DONE);
}

TEST_F(TRegionFixture, RangesWhoseOffsetsOverflowAddNothing) {
    TSourceNode* n = Image("small.img", std::vector<uint8_t>(64 * 512, 0x11));
    ASSERT_NE(n, nullptr);
    for (const auto& [first, end] : std::vector<std::pair<int64_t, int64_t>>{
             {0, int64_t(1) << 60}, {int64_t(1) << 54, (int64_t(1) << 54) + 64}, {-1, 64}, {10, 5}}) {
        Sink->Clear();
        EXPECT_TRUE(Create_Region(*n, 4096, first, end).empty()) << first << ".." << end;
        EXPECT_TRUE(n->Children().empty());
        ASSERT_EQ(Sink->Messages().size(), 1u);
        EXPECT_EQ(Sink->Messages()[0].MsgType, MSG_REGION_DONE);
    }
}

TEST_F(TRegionFixture, OpenFailureOfTheParentLogsAndAddsNothing) {
    TTreeData d;
    d.Hddtype = HDD_IMAGE, d.HddModel = Dir.File("gone.img"), d.PerSecBytes = 512;
    TSourceNode* n = Tree.Root()->Add_Child(d);
    EXPECT_TRUE(Create_Region(*n, 512, 0, 100).empty());
    EXPECT_TRUE(n->Children().empty());
    const auto msgs = Sink->Messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].MsgType, MSG_LOG);
    EXPECT_EQ(msgs[0].P[0], "错误类型:Create_Region0000");
    EXPECT_EQ(msgs[0].P[2], "错误内容:获取文件句柄出错，程序将退出!");
    EXPECT_EQ(msgs[1].MsgType, MSG_REGION_DONE);
}

TEST_F(TRegionFixture, OpenImageRefusalsDuplicatesAndDelete) {
    std::vector<uint8_t> img(64 * 512, 0);
    TSourceNode* n = Image("a.img", img);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->Data.Level, 1);
    EXPECT_EQ(n->Data.Hddtype, HDD_IMAGE);
    EXPECT_EQ(n->Data.HddNumber, "Image File");
    EXPECT_EQ(n->Data.HddLable, "镜像文件");
    EXPECT_EQ(n->Data.HddFs, "RAW");
    EXPECT_EQ(n->Data.HddCap, "0.03 MB");
    EXPECT_EQ(n->Data.PerSecBytes, 512);
    EXPECT_EQ(n->Data.TotalSpace, 64 * 512);

    auto again = Open_Image(Tree, Dir.File("a.img"));
    EXPECT_EQ(again.Node, nullptr);
    EXPECT_EQ(again.Message, "已经添加过此镜像文件,请勿重复添加!");
    test::Write_File(Dir.File("b.img"), img); // same size, other path: added
    EXPECT_NE(Open_Image(Tree, Dir.File("b.img")).Node, nullptr);
    EXPECT_EQ(Open_Image(Tree, "").Message, "请选中要加载的镜像文件!");
    auto missing = Open_Image(Tree, Dir.File("missing.img"));
    EXPECT_EQ(missing.Node, nullptr);
    EXPECT_FALSE(missing.Message.empty());
    EXPECT_EQ(Open_Image(Tree, Dir.Path()).Node, nullptr); // a folder is not an image
    EXPECT_EQ(Tree.Root()->Children().size(), 2u);

    // Delete: disks, volumes and the root stay; an image goes with its regions.
    Create_Region(*n, 512, 0, 64);
    ASSERT_EQ(n->Children().size(), 1u);
    TSourceNode* region = n->Children()[0].get();
    TTreeData disk;
    disk.Hddtype = HDD_PHYSICAL;
    TSourceNode* dn = Tree.Root()->Add_Child(disk);
    EXPECT_FALSE(Delete_Node(Tree, dn));
    EXPECT_FALSE(Delete_Node(Tree, Tree.Root()));
    EXPECT_FALSE(Delete_Node(Tree, nullptr));
    EXPECT_TRUE(Delete_Node(Tree, region));
    EXPECT_TRUE(n->Children().empty());
    Create_Region(*n, 512, 0, 64);
    EXPECT_TRUE(Delete_Node(Tree, n));
    EXPECT_EQ(Tree.Nodes().size(), 3u); // root, b.img, disk
}

TEST(RegionDialog, ConfirmChecksInOrder) {
    auto r = Check_RegionRange("", "10", 1000);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Message, "起始扇区和扇区数量为空,请重新输入");
    EXPECT_EQ(r.StartText, "0");
    EXPECT_EQ(r.CountText, "64");

    r = Check_RegionRange("100", "200", 250);
    EXPECT_EQ(r.Message, "起始扇区值大于(或等于)结束扇区,请重新输入");
    EXPECT_EQ(r.StartText, "0");
    EXPECT_FALSE(r.CountText);
    EXPECT_EQ(Check_RegionRange("250", "1", 250).StartText, "0");

    r = Check_RegionRange("0", "63", 1000);
    EXPECT_EQ(r.Message, "扇区数量值小于64,请重新输入");
    EXPECT_EQ(r.CountText, "64");
    EXPECT_FALSE(r.StartText);
    EXPECT_TRUE(Check_RegionRange("0", "64", 1000).Ok);
    EXPECT_TRUE(Check_RegionRange("936", "64", 1000).Ok);

    // Outside the source however the numbers are written: negative, or a sum beyond 64 bits.
    for (const auto& [start, count] : std::vector<std::pair<const char*, const char*>>{
             {"-1", "64"}, {"1", "9223372036854775807"}, {"999", "9223372036854775000"}}) {
        r = Check_RegionRange(start, count, 1000);
        EXPECT_FALSE(r.Ok) << start << " + " << count;
        EXPECT_EQ(r.Message, "起始扇区值大于(或等于)结束扇区,请重新输入") << start << " + " << count;
    }

    r = Check_RegionRange("1.5", "64", 1000);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Message, "'1.5' is not a valid integer value");
    EXPECT_FALSE(r.StartText);
}

TEST(RegionDialog, DefaultCount) {
    auto r = Default_RegionCount("1000", "64", 10000);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.CountText, "9000");
    r = Default_RegionCount("1000", "10", 10000);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.CountText, "64");
    EXPECT_EQ(r.Message, "扇区数量值小于64,请重新输入");
}
