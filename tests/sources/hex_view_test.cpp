#include <gtest/gtest.h>

#include "common/ui_message.h"
#include "sources/hex_view.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::TTempDir;

TEST(HexView, RowFormatFullAndShortRows) {
    std::vector<uint8_t> b;
    for (int i = 0; i < 16; ++i) b.push_back(uint8_t(0x41 + i));
    b[3] = 0x00, b[4] = 0x7F, b[5] = 0x20, b[6] = 0x7E, b[7] = 0xFF;
    b.push_back(0x0A);
    b.push_back('z');
    const auto rows = Hex_Rows(b);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], "00000000  41 42 43 00 7F 20 7E FF  49 4A 4B 4C 4D 4E 4F 50  ABC.. ~.IJKLMNOP");
    EXPECT_EQ(rows[1], "00000010  0A 7A                                             .z              ");
    EXPECT_EQ(rows[0].size(), rows[1].size());
    // A short row longer than eight bytes keeps the extra gap after the eighth.
    std::vector<uint8_t> nine(9, 0x31);
    EXPECT_EQ(Hex_Row(nine, 0x20),
              "00000020  31 31 31 31 31 31 31 31  31                       111111111       ");
    EXPECT_EQ(Hex_Text(b), rows[0] + "\n" + rows[1] + "\n");
}

TEST(HexView, SectorOf4096BytesHas256Rows) {
    std::vector<uint8_t> s(4096, 0xAB);
    const auto rows = Hex_Rows(s);
    ASSERT_EQ(rows.size(), 256u);
    EXPECT_EQ(rows.front().substr(0, 10), "00000000  ");
    EXPECT_EQ(rows.back().substr(0, 10), "00000FF0  ");
    EXPECT_EQ(rows.back(), "00000FF0  AB AB AB AB AB AB AB AB  AB AB AB AB AB AB AB AB  ................");
}

TEST(HexView, JumpPreviousNextClamping) {
    TTreeData disk;
    disk.Hddtype = HDD_PHYSICAL;
    const int64_t total = 1000;
    EXPECT_EQ(Hex_PrevSector(disk, total, 0), 0);     // "<<" at 0 stays at 0
    EXPECT_EQ(Hex_PrevSector(disk, total, 10), 9);
    EXPECT_EQ(Hex_NextSector(disk, total, 999), 999); // ">>" at the last stays there
    EXPECT_EQ(Hex_NextSector(disk, total, 5), 6);
    EXPECT_EQ(Hex_JumpSector(disk, total, 5000), 999); // above the last: the last
    EXPECT_EQ(Hex_JumpSector(disk, total, 17), 17);
    EXPECT_EQ(Hex_JumpSector(disk, 0, 3), 0); // an empty source never asks for sector -1

    TTreeData region;
    region.Hddtype = HDD_REGION;
    region.RegionSec = 8192;
    EXPECT_EQ(Hex_PrevSector(region, total, 8192), 8192);
    EXPECT_EQ(Hex_NextSector(region, total, 9191), 9191);
    EXPECT_EQ(Hex_NextSector(region, total, 9000), 9001);
    EXPECT_EQ(Hex_JumpSector(region, total, 5), 5); // below the region: the parent's sector 5
    EXPECT_EQ(Hex_JumpSector(region, total, 20000), 9191);
    EXPECT_EQ(Hex_PrevSector(region, total, 100), 8192);
}

TEST(HexView, ReadsOneSectorOfTheNodeAndZerosPastTheEnd) {
    TTempDir dir;
    std::vector<uint8_t> bytes(8192 + 100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 512);
    test::Write_File(dir.File("a.img"), bytes);
    TTreeData n;
    n.Level = 1, n.Hddtype = HDD_IMAGE, n.HddModel = dir.File("a.img"), n.PerSecBytes = 512;
    auto s3 = Get_Hex(n, 3);
    ASSERT_TRUE(s3);
    EXPECT_EQ(*s3, std::vector<uint8_t>(bytes.begin() + 1536, bytes.begin() + 2048));

    n.PerSecBytes = 4096;
    auto s1 = Get_Hex(n, 1);
    ASSERT_TRUE(s1);
    EXPECT_EQ(*s1, std::vector<uint8_t>(bytes.begin() + 4096, bytes.begin() + 8192));
    auto s2 = Get_Hex(n, 2); // 100 bytes left, the rest zeros
    ASSERT_TRUE(s2);
    std::vector<uint8_t> want(4096, 0);
    std::copy(bytes.begin() + 8192, bytes.end(), want.begin());
    EXPECT_EQ(*s2, want);
    n.PerSecBytes = 0; // unset: 512
    EXPECT_EQ(Get_Hex(n, 0)->size(), 512u);
    EXPECT_EQ(Get_Hex(n, 1000000)->size(), 512u);
    EXPECT_EQ(*Get_Hex(n, 1000000), std::vector<uint8_t>(512, 0));
}

TEST(HexView, OpenFailureLogsTheFixedLine) {
    auto sink = std::make_shared<TRecordingSink>();
    auto prev = Set_UISink(sink);
    TTreeData n;
    n.Level = 1, n.Hddtype = HDD_IMAGE, n.HddModel = "/nonexistent/qrv/none.img";
    EXPECT_FALSE(Get_Hex(n, 0));
    Set_UISink(prev);
    const auto logs = sink->OfType(MSG_LOG);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].P[0], "错误");
    EXPECT_EQ(logs[0].P[1].front(), '[');
    EXPECT_EQ(logs[0].P[1].back(), ']');
    EXPECT_EQ(logs[0].P[2], "获取文件句柄出错，程序将退出!");
}
