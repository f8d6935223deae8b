// Regions and enumeration on disk images made with the real partitioning and
// formatting tools.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/ui_message.h"
#include "platform/disk_enum.h"
#include "platform/source_io.h"
#include "sources/regions.h"
#include "sources/source_tree.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::Run_Command;
using qrv::test::TTempDir;

namespace {

bool Have_Tools(std::string& missing) {
    for (const char* t : {"sfdisk", "mkfs.fat", "mkfs.exfat", "mkntfs", "truncate"})
        if (!test::Have_Program(t)) missing += std::string(" ") + t;
    return missing.empty();
}

#define REQUIRE_TOOLS()                                                                                       \
    do {                                                                                                      \
        std::string missing;                                                                                  \
        if (!Have_Tools(missing)) QRV_SKIP_WITHOUT("missing tools:" << missing);                                \
    } while (0)

void Shell(const std::string& cmd) {
    std::string out;
    ASSERT_EQ(Run_Command(cmd + " 2>&1", &out), 0) << cmd << "\n" << out;
}

// Writes a partition-sized volume image into the disk image at a sector.
void Place(const std::string& disk, const std::string& part, int64_t sector) {
    Shell("dd if='" + part + "' of='" + disk + "' bs=512 seek=" + std::to_string(sector) +
        " conv=notrunc,sparse status=none");
}

void Make_Ntfs(const std::string& path, int64_t sectors, int64_t hidden) {
    Shell("truncate -s " + std::to_string(sectors * 512) + " '" + path + "'");
    Shell("mkntfs -F -Q -q -s 512 -c 4096 -p " + std::to_string(hidden) + " -H 255 -S 63 '" + path + "'");
}

std::vector<uint8_t> Boot_At(const std::string& path, int64_t sector) {
    auto src = Open_Source(path);
    std::vector<uint8_t> b(512, 0);
    if (src) src->Read_At(b.data(), 512, sector * 512);
    return b;
}

struct TImagesFixture : ::testing::Test {
    TTempDir Dir{"qrv-disk"};
    std::shared_ptr<TRecordingSink> Sink = std::make_shared<TRecordingSink>();
    std::shared_ptr<TUiSink> Prev;
    TSourceTree Tree;
    void SetUp() override { Prev = Set_UISink(Sink); }
    void TearDown() override { Set_UISink(Prev); }
};

} // namespace

TEST_F(TImagesFixture, PrimaryFat32AndNtfsPartitions) {
    REQUIRE_TOOLS();
    const std::string disk = Dir.File("primary.img");
    Shell("truncate -s 48M '" + disk + "'");
    Shell("printf 'label: dos\\nstart=2048, size=69632, type=c\\nstart=73728, size=16384, type=7\\n' | sfdisk -q '" +
        disk + "'");
    Shell("mkfs.fat -F 32 -s 2 -n PRIM --offset 2048 '" + disk + "' 34816");
    Make_Ntfs(Dir.File("p2.img"), 16384, 73728);
    Place(disk, Dir.File("p2.img"), 73728);

    auto r = Open_Image(Tree, disk);
    ASSERT_NE(r.Node, nullptr) << r.Message;
    ASSERT_EQ(r.Regions.size(), 2u);
    const TTreeData& fat = r.Regions[0]->Data;
    EXPECT_EQ(fat.Level, 2);
    EXPECT_EQ(fat.HddFs, "FAT32");
    EXPECT_EQ(fat.RegionSec, 2048);
    EXPECT_EQ(fat.PerSecBytes, 512);
    EXPECT_EQ(fat.LogPerClusec, 2u);
    EXPECT_EQ(fat.TotalSpace, 69632 * 512);
    EXPECT_EQ(fat.LogTotalClusters, 69632u / 2);
    EXPECT_EQ(fat.HddCap, "0.03 GB");
    EXPECT_EQ(fat.HddModel, r.Node->Data.HddModel);
    EXPECT_EQ(fat.HddNumber, "Image File");

    const TTreeData& ntfs = r.Regions[1]->Data;
    EXPECT_EQ(ntfs.HddFs, "NTFS");
    EXPECT_EQ(ntfs.RegionSec, 73728);
    EXPECT_EQ(ntfs.PerSecBytes, 512);
    EXPECT_EQ(ntfs.LogPerClusec, 8u);
    // NTFS counts its volume one sector short (the last holds the backup boot sector).
    const uint64_t total = LE64_At(Boot_At(disk, 73728), 40);
    EXPECT_EQ(total, 16383u);
    EXPECT_EQ(ntfs.TotalSpace, int64_t(total) * 512);
    EXPECT_EQ(ntfs.LogTotalClusters, uint32_t(total / 8));
    EXPECT_EQ(Sink->OfType(MSG_REGION_DONE).size(), 1u);

    // A region the user makes at the FAT32 boot sector is recognised from the boot sector itself.
    auto mine = Create_Region(*r.Node, 512, 2048, 2048 + 1000);
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0]->Data.HddFs, "FAT32");
    EXPECT_EQ(mine[0]->Data.LogTotalClusters, 500u); // the range over the cluster size
    EXPECT_EQ(mine[0]->Data.TotalSpace, 1000 * 512);
}

TEST_F(TImagesFixture, ExtendedPartitionLogicalVolumesInChainOrder) {
    REQUIRE_TOOLS();
    const std::string disk = Dir.File("extended.img");
    Shell("truncate -s 80M '" + disk + "'");
    // 1: NTFS primary; 2: extended (0x0f) holding a logical NTFS and a logical FAT32 (0x0b).
    Shell("printf 'label: dos\\nstart=2048, size=16384, type=7\\nstart=20480, size=141312, type=f\\n"
        "start=22528, size=16384, type=7\\nstart=40960, size=69632, type=b\\n' | sfdisk -q '" +
        disk + "'");
    Make_Ntfs(Dir.File("p1.img"), 16384, 2048);
    Place(disk, Dir.File("p1.img"), 2048);
    Make_Ntfs(Dir.File("l1.img"), 16384, 22528);
    Place(disk, Dir.File("l1.img"), 22528);
    Shell("mkfs.fat -F 32 -s 4 -n LOGI --offset 40960 '" + disk + "' 34816");

    auto r = Open_Image(Tree, disk);
    ASSERT_NE(r.Node, nullptr) << r.Message;
    ASSERT_EQ(r.Regions.size(), 3u);
    EXPECT_EQ(r.Regions[0]->Data.HddFs, "NTFS");
    EXPECT_EQ(r.Regions[0]->Data.RegionSec, 2048);
    EXPECT_EQ(r.Regions[1]->Data.HddFs, "NTFS");
    EXPECT_EQ(r.Regions[1]->Data.RegionSec, 22528);
    EXPECT_EQ(r.Regions[1]->Data.TotalSpace, 16383 * 512);
    EXPECT_EQ(r.Regions[2]->Data.HddFs, "FAT32");
    EXPECT_EQ(r.Regions[2]->Data.RegionSec, 40960);
    EXPECT_EQ(r.Regions[2]->Data.LogPerClusec, 4u);
    EXPECT_EQ(r.Regions[2]->Data.LogTotalClusters, 69632u / 4);
    EXPECT_EQ(r.Regions[2]->Data.TotalSpace, 69632 * 512);
}

TEST_F(TImagesFixture, BareVolumesCoverTheWholeImage) {
    REQUIRE_TOOLS();
    const std::string ntfs = Dir.File("bare-ntfs.img");
    Make_Ntfs(ntfs, 8192, 0);
    auto r = Open_Image(Tree, ntfs);
    ASSERT_NE(r.Node, nullptr);
    ASSERT_EQ(r.Regions.size(), 1u);
    EXPECT_EQ(r.Regions[0]->Data.HddFs, "NTFS");
    EXPECT_EQ(r.Regions[0]->Data.RegionSec, 0);
    EXPECT_EQ(r.Regions[0]->Data.TotalSpace, 8192 * 512);
    EXPECT_EQ(r.Regions[0]->Data.LogTotalClusters, 8192u / 8);

    const std::string exfat = Dir.File("bare-exfat.img");
    Shell("truncate -s 8M '" + exfat + "'");
    Shell("mkfs.exfat -c 4096 '" + exfat + "'");
    auto e = Open_Image(Tree, exfat);
    ASSERT_NE(e.Node, nullptr);
    ASSERT_EQ(e.Regions.size(), 1u);
    const TTreeData& x = e.Regions[0]->Data;
    EXPECT_EQ(x.HddFs, "exFAT");
    EXPECT_EQ(x.RegionSec, 0);
    EXPECT_EQ(x.PerSecBytes, 512);
    EXPECT_EQ(x.LogPerClusec, 8u);
    EXPECT_EQ(x.LogTotalClusters, LE32_At(Boot_At(exfat, 0), 92));
    EXPECT_GT(x.LogTotalClusters, 1000u);
    EXPECT_EQ(x.TotalSpace, 8 * 1024 * 1024);
    EXPECT_EQ(x.HddCap, "0.01 GB");
}

TEST_F(TImagesFixture, EnumerationReadsFileSystemLabelAndGeometryReadOnly) {
    REQUIRE_TOOLS();
    // A fake sysfs whose device nodes are volume images: a partitioned disk with a
    // FAT32 partition, and a card with an exFAT file system on the whole device.
    namespace fs = std::filesystem;
    const fs::path sys = fs::path(Dir.Path()) / "sys" / "block";
    auto put = [](const fs::path& p, const std::string& t) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << t << "\n";
    };
    put(sys / "sdx" / "size", "200000");
    put(sys / "sdx" / "sdx1" / "partition", "1");
    put(sys / "sdx" / "sdx1" / "size", "69632");
    put(sys / "sdy" / "size", "16384");
    put(sys / "sdy" / "removable", "1");
    fs::create_directories(Dir.Path() + "/dev");
    const std::string part = Dir.Path() + "/dev/sdx1";
    Shell("truncate -s " + std::to_string(69632 * 512) + " '" + part + "'");
    Shell("mkfs.fat -F 32 -s 8 -n CAMERA '" + part + "'");
    const std::string card = Dir.Path() + "/dev/sdy";
    Shell("truncate -s 8M '" + card + "'");
    Shell("mkfs.exfat -L CARD -c 16384 '" + card + "'");
    const auto before = test::Read_File(part);

    const TDiskList list = List_Disks({Dir.Path() + "/sys", Dir.Path() + "/dev", Dir.Path() + "/none"});
    ASSERT_EQ(list.Disks.size(), 2u);
    ASSERT_EQ(list.Volumes.size(), 2u);
    const TLogHDD& f = list.Volumes[0];
    EXPECT_EQ(f.LogPan, part);
    EXPECT_EQ(f.PhyNumber, 0);
    EXPECT_EQ(f.FS, "FAT32");
    EXPECT_EQ(f.LogVolum, "CAMERA");
    EXPECT_EQ(f.BytesPerSector, 512u);
    EXPECT_EQ(f.SectorsPerCluster, 8u);
    EXPECT_GT(f.TotalClusters, 8000u);
    EXPECT_LT(f.TotalClusters, 69632u / 8);
    EXPECT_EQ(f.FreeSapce, -1);
    EXPECT_EQ(f.TotalSpace, 69632 * 512);
    const TLogHDD& c = list.Volumes[1];
    EXPECT_EQ(c.LogPan, card);
    EXPECT_EQ(c.PhyNumber, 1);
    EXPECT_EQ(c.FS, "exFAT");
    EXPECT_EQ(c.LogVolum, "CARD");
    EXPECT_EQ(c.SectorsPerCluster, 32u);
    EXPECT_EQ(c.TotalClusters, LE32_At(Boot_At(card, 0), 92));
    EXPECT_EQ(test::Read_File(part), before); // probing changed nothing
}

TEST_F(TImagesFixture, RealLoopDeviceIsListedWithItsBackingFile) {
    REQUIRE_TOOLS();
    const std::string img = Dir.File("loop.img");
    Shell("truncate -s 8M '" + img + "'");
    Shell("mkfs.exfat -L LOOPY '" + img + "'");
    std::string dev;
    if (::geteuid() != 0 || Run_Command("losetup -f --show '" + img + "' 2>/dev/null", &dev) != 0 || dev.empty())
        QRV_SKIP_WITHOUT("no loop device available (needs root and /dev/loop-control)");
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
    struct TDetach {
        std::string Dev;
        ~TDetach() { Run_Command("losetup -d '" + Dev + "'"); }
    } detach{dev};

    const TDiskList list = Enumerate_Disks();
    const TPhysicalDisk* found = nullptr;
    for (const auto& d : list.Disks)
        if (d.DevPath == dev) found = &d;
    ASSERT_NE(found, nullptr) << dev << " not listed";
    EXPECT_EQ(found->Model, std::filesystem::canonical(img).string());
    EXPECT_EQ(found->Size, 8 * 1024 * 1024);
    bool volume = false;
    for (const auto& v : list.Volumes) {
        if (v.LogPan != dev) continue;
        volume = true;
        EXPECT_EQ(v.PhyNumber, found->Number);
        EXPECT_EQ(v.FS, "exFAT");
        EXPECT_EQ(v.LogVolum, "LOOPY");
    }
    EXPECT_TRUE(volume);
}
