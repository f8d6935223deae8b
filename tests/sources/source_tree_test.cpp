#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/disk_enum.h"
#include "sources/source_tree.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::TTempDir;

namespace {

void Put(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

// A sysfs-like tree: two SCSI disks (one with two partitions, one removable
// without partitions), an NVMe pair whose names sort by number, a backed and an
// unbacked loop device, a RAM disk, a zram device, a CD drive and an empty reader.
struct TFakeSys {
    TTempDir Dir{"qrv-sys"};
    std::filesystem::path Block() const { return std::filesystem::path(Dir.Path()) / "sys" / "block"; }
    TEnumRoots Roots() const {
        return {Dir.Path() + "/sys", Dir.Path() + "/dev", Dir.Path() + "/mountinfo"};
    }
    TFakeSys() {
        const auto b = Block();
        Put(b / "sda" / "size", "2097152");
        Put(b / "sda" / "device" / "model", "  WDC WD10EZEX  ");
        Put(b / "sda" / "removable", "0");
        Put(b / "sda" / "dev", "8:0");
        Put(b / "sda" / "sda2" / "partition", "2");
        Put(b / "sda" / "sda2" / "size", "4096");
        Put(b / "sda" / "sda2" / "dev", "8:2");
        Put(b / "sda" / "sda1" / "partition", "1");
        Put(b / "sda" / "sda1" / "size", "2048");
        Put(b / "sda" / "sda1" / "dev", "8:1");
        std::filesystem::create_directories(b / "sda" / "queue"); // not a partition
        Put(b / "sdb" / "size", "30000");
        Put(b / "sdb" / "device" / "model", "Card Reader");
        Put(b / "sdb" / "removable", "1");
        Put(b / "nvme0n10" / "size", "100");
        Put(b / "nvme0n2" / "size", "200");
        Put(b / "nvme0n2" / "device" / "model", "Samsung SSD");
        Put(b / "loop0" / "size", "100"); // no backing file: not listed
        Put(b / "loop1" / "size", "64");
        Put(b / "loop1" / "loop" / "backing_file", "/images/card.img");
        Put(b / "ram0" / "size", "8192");
        Put(b / "zram0" / "size", "8192");
        Put(b / "sr0" / "size", "8192");
        Put(b / "sdc" / "size", "0"); // a reader without a card
        Put(b / "sdc" / "device" / "model", "Empty Reader");
        std::filesystem::create_directories(Dir.Path() + "/dev");
    }
};

} // namespace

TEST(DiskEnum, ListsWholeDisksInNameOrderAndSkipsWhatCannotBeImaged) {
    TFakeSys sys;
    Put(sys.Dir.Path() + "/mountinfo", "");
    const TDiskList list = Enumerate_Disks(sys.Roots());
    std::vector<std::string> names;
    for (const auto& d : list.Disks) names.push_back(d.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"loop1", "nvme0n2", "nvme0n10", "sda", "sdb"}));
    for (size_t i = 0; i < list.Disks.size(); ++i) EXPECT_EQ(list.Disks[i].Number, int(i));

    const TPhysicalDisk& sda = list.Disks[3];
    EXPECT_EQ(sda.DevPath, sys.Dir.Path() + "/dev/sda");
    EXPECT_EQ(sda.Model, "WDC WD10EZEX");
    EXPECT_EQ(sda.Size, 2097152LL * 512);
    EXPECT_FALSE(sda.Removable);
    EXPECT_TRUE(list.Disks[4].Removable);
    EXPECT_EQ(list.Disks[0].Model, "/images/card.img");
    EXPECT_EQ(list.Disks[2].Model, "nvme0n10"); // no model reported: its name

    // Partitions in partition-number order; devices that cannot be opened have
    // no file system or label, and no free space is known when not mounted.
    ASSERT_EQ(list.Volumes.size(), 2u);
    EXPECT_EQ(list.Volumes[0].LogPan, sys.Dir.Path() + "/dev/sda1");
    EXPECT_EQ(list.Volumes[1].LogPan, sys.Dir.Path() + "/dev/sda2");
    EXPECT_EQ(list.Volumes[0].PhyNumber, 3);
    EXPECT_EQ(list.Volumes[0].TotalSpace, 2048 * 512);
    EXPECT_EQ(list.Volumes[1].TotalSpace, 4096 * 512);
    EXPECT_EQ(list.Volumes[0].FS, "");
    EXPECT_EQ(list.Volumes[0].LogVolum, "");
    EXPECT_EQ(list.Volumes[0].FreeSapce, -1);
    EXPECT_EQ(list.Volumes[0].BytesPerSector, 512u);
}

TEST(DiskEnum, MountedVolumeGetsItsMountPointFreeSpaceAndKernelTypeName) {
    TFakeSys sys;
    const std::string mnt = sys.Dir.Path() + "/mnt point";
    std::filesystem::create_directories(mnt);
    // Escaped blank in the mount point; a bind mount of a sub-folder listed first.
    Put(sys.Dir.Path() + "/mountinfo",
        "30 1 8:2 /sub /elsewhere rw - ext4 /dev/sda2 rw\n"
        "31 1 8:2 / " + sys.Dir.Path() + "/mnt\\040point rw,relatime shared:1 - ext4 /dev/sda2 rw\n");
    const TDiskList list = Enumerate_Disks(sys.Roots());
    ASSERT_EQ(list.Volumes.size(), 2u);
    const TLogHDD& v = list.Volumes[1];
    EXPECT_EQ(v.MountPoint, mnt);
    EXPECT_EQ(v.FS, "EXT4");
    EXPECT_GT(v.FreeSapce, 0);
    EXPECT_GT(v.SectorsPerCluster, 0u);
    EXPECT_GT(v.TotalClusters, 0u);
    EXPECT_EQ(list.Volumes[0].MountPoint, "");

    const TMountInfo byPath = Find_MountPoint(sys.Dir.Path() + "/mountinfo", "", "/dev/sda2");
    EXPECT_EQ(byPath.MountPoint, mnt);
    EXPECT_EQ(Find_MountPoint(sys.Dir.Path() + "/mountinfo", "8:9", "/dev/sdz").MountPoint, "");
    EXPECT_EQ(Find_MountPoint(sys.Dir.Path() + "/absent", "8:2", "").MountPoint, "");
}

TEST(DiskEnum, FileSystemNamesAsTheTreeShowsThem) {
    EXPECT_EQ(Map_FsName("vfat", "FAT32"), "FAT32");
    EXPECT_EQ(Map_FsName("vfat", "FAT16"), "VFAT");
    EXPECT_EQ(Map_FsName("exfat", "1.0"), "exFAT");
    EXPECT_EQ(Map_FsName("ntfs", ""), "NTFS");
    EXPECT_EQ(Map_FsName("ext4", "1.0"), "EXT4");
    EXPECT_EQ(Map_FsName("", ""), "");
    EXPECT_TRUE(Device_NameLess("nvme0n2", "nvme0n10"));
    EXPECT_TRUE(Device_NameLess("sda", "sdb"));
    EXPECT_FALSE(Device_NameLess("sdb", "sda"));
    EXPECT_TRUE(Device_NameLess("mmcblk0", "mmcblk1"));
}

namespace {

TDiskList Sample_List() {
    TDiskList l;
    TPhysicalDisk d0;
    d0.Number = 0, d0.Name = "sda", d0.DevPath = "/dev/sda", d0.Model = "Disk A", d0.Size = 15938355200;
    TPhysicalDisk d1 = d0;
    d1.Number = 1, d1.Name = "sdb", d1.DevPath = "/dev/sdb", d1.Model = "Card", d1.Size = 1073741824;
    l.Disks = {d0, d1};
    TLogHDD v;
    v.LogPan = "/dev/sdb1", v.PhyNumber = 1, v.FS = "FAT32", v.LogVolum = "CAM", v.SectorsPerCluster = 64;
    v.BytesPerSector = 4096, v.NumFreeClusters = 7, v.TotalClusters = 900, v.FreeSapce = 12345;
    v.TotalSpace = 1048576000, v.MountPoint = "/media/cam card", v.StartByte = 8192 * 512;
    TLogHDD lost = v;
    lost.LogPan = "/dev/sdz1", lost.PhyNumber = 5; // its disk is not listed
    l.Volumes = {v, lost};
    return l;
}

} // namespace

// Refreshes while cards come and go: a disk keeps its number while present,
// a new one takes the lowest number free, its volumes follow it.
TEST(SourceTree, DisksKeepTheirNumbersAcrossRefreshes) {
    const auto disk = [](const char* name, int64_t size) {
        TPhysicalDisk d;
        d.Name = name, d.DevPath = std::string("/dev/") + name, d.Model = "M", d.Size = size;
        return d;
    };
    const struct {
        std::vector<TPhysicalDisk> present; // in device-name order, as enumerated
        std::vector<std::string> shown;     // "label name" in tree order
    } refreshes[] = {
        {{disk("sda", 100), disk("sdb", 200), disk("sdc", 300)}, {"HDD0 sda", "HDD1 sdb", "HDD2 sdc"}},
        {{disk("sda", 100), disk("sdc", 300)}, {"HDD0 sda", "HDD2 sdc"}}, // sdb pulled
        {{disk("sda", 100), disk("sdb", 999), disk("sdc", 300)},
         {"HDD0 sda", "HDD1 sdb", "HDD2 sdc"}}, // a new card
        {{disk("sdc", 300), disk("sdd", 400)}, {"HDD0 sdd", "HDD2 sdc"}},
    };
    TSourceTree tree;
    for (const auto& r : refreshes) {
        TDiskList list;
        list.Disks = r.present;
        for (size_t i = 0; i < list.Disks.size(); ++i) {
            list.Disks[i].Number = int(i);
            TLogHDD v;
            v.LogPan = list.Disks[i].DevPath + "1", v.PhyNumber = uint8_t(i), v.TotalSpace = 1;
            list.Volumes.push_back(v);
        }
        Keep_DiskNumbers(list, tree);
        Fill_SourceTree(tree, list, "host");
        std::vector<std::string> shown;
        for (const auto& d : tree.Root()->Children()) {
            shown.push_back(d->Data.HddLable + " " + d->Data.HddNumber.substr(5));
            ASSERT_EQ(d->Children().size(), 1u) << d->Data.HddNumber;
            EXPECT_EQ(d->Children()[0]->Data.HddModel, d->Data.HddNumber + "1");
            EXPECT_EQ("HDD" + d->Children()[0]->Data.HddNumber, d->Data.HddLable);
        }
        EXPECT_EQ(shown, r.shown);
    }
}

TEST(SourceTree, RefreshBuildsRootDisksAndVolumesWithTheirRecords) {
    TSourceTree tree;
    tree.Root()->Add_Child(TTreeData{}); // an image added earlier is discarded by a refresh
    Fill_SourceTree(tree, Sample_List(), "QRV-Local PC");
    auto nodes = tree.Nodes();
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[0]->Data.Level, 0);
    EXPECT_EQ(nodes[0]->Data.HddModel, "QRV-Local PC");

    const TTreeData& a = nodes[1]->Data;
    EXPECT_EQ(a.Level, 1);
    EXPECT_EQ(a.Hddtype, HDD_PHYSICAL);
    EXPECT_EQ(a.HddNumber, "/dev/sda");
    EXPECT_EQ(a.HddModel, "Disk A");
    EXPECT_EQ(a.HddLable, "HDD0");
    EXPECT_EQ(a.HddFs, "RAW");
    EXPECT_EQ(a.HddCap, "14.84 GB");
    EXPECT_EQ(a.PerSecBytes, 512);
    EXPECT_EQ(a.TotalSpace, 15938355200);
    EXPECT_EQ(nodes[2]->Data.HddLable, "HDD1");

    const TTreeData& v = nodes[3]->Data;
    EXPECT_EQ(nodes[3]->Parent(), nodes[2]);
    EXPECT_EQ(v.Level, 2);
    EXPECT_EQ(v.Hddtype, HDD_VOLUME);
    EXPECT_EQ(v.HddNumber, "1");
    EXPECT_EQ(v.HddModel, "/dev/sdb1");
    EXPECT_EQ(v.HddLable, "CAM");
    EXPECT_EQ(v.HddFs, "FAT32");
    EXPECT_EQ(v.HddCap, "0.98 GB");
    EXPECT_EQ(v.PerSecBytes, 4096);
    EXPECT_EQ(v.LogPerClusec, 64u);
    EXPECT_EQ(v.LogTotalClusters, 900u);
    EXPECT_EQ(v.LogNumFreeClusters, 7u);
    EXPECT_EQ(v.LogFreeSapce, 12345);
}

TEST(SourceTree, PropertyRowsPerKind) {
    TSourceTree tree;
    Fill_SourceTree(tree, Sample_List(), "host");
    auto nodes = tree.Nodes();
    EXPECT_TRUE(Node_Properties(nodes[0]->Data).empty()); // the root keeps the previous rows

    const auto disk = Node_Properties(nodes[1]->Data);
    ASSERT_EQ(disk.size(), 8u);
    const std::vector<std::pair<std::string, std::string>> wantDisk = {
        {"磁盘类型", "物理磁盘"}, {"型号/名称", "Disk A"},      {"挂载点", ""},
        {"卷标", ""},             {"文件系统", ""},             {"容量(GB)", "14.84 GB"},
        {"每扇区字节数", "512"},  {"总扇区数(Sector)", "31129600"}};
    EXPECT_EQ(disk, wantDisk);

    const auto vol = Node_Properties(nodes[3]->Data);
    ASSERT_EQ(vol.size(), 14u);
    EXPECT_EQ(vol[0].second, "逻辑磁盘");
    EXPECT_EQ(vol[1].second, "/dev/sdb1");
    EXPECT_EQ(vol[2].second, "/media/cam card");
    EXPECT_EQ(vol[3].second, "CAM");
    EXPECT_EQ(vol[4].second, "FAT32");
    EXPECT_EQ(vol[6].second, "4096");
    EXPECT_EQ(vol[7].second, "256000"); // size divided by 4096
    EXPECT_EQ(vol[8], std::make_pair(std::string("起始扇区"), std::string("1024"))); // 4096-byte sectors
    EXPECT_EQ(vol[9], std::make_pair(std::string("总容量(Byte)"), std::string("1048576000")));
    EXPECT_EQ(vol[10].second, "12345");
    EXPECT_EQ(vol[11].second, "64");
    EXPECT_EQ(vol[12].first, "总簇数");
    EXPECT_EQ(vol[12].second, "900");
    EXPECT_EQ(vol[13], std::make_pair(std::string("空闲簇数"), std::string("7")));

    TTreeData image;
    image.Level = 1, image.Hddtype = HDD_IMAGE, image.HddModel = "/x/card.img", image.TotalSpace = 1000;
    const auto img = Node_Properties(image);
    ASSERT_EQ(img.size(), 8u);
    EXPECT_EQ(img[0].second, "镜像文件");
    EXPECT_EQ(img[1].second, "/x/card.img");
    EXPECT_EQ(img[2].second, ""); // a file has no mount point
    EXPECT_EQ(img[7].second, ""); // PerSecBytes 0: no sector count

    TTreeData region;
    region.Level = 2, region.Hddtype = HDD_REGION, region.HddNumber = "/dev/sdb", region.HddModel = "Card";
    region.RegionSec = 2048;
    EXPECT_EQ(Node_Properties(region)[0].second, "用户创建的区域");
    EXPECT_EQ(Node_Properties(region)[2].second, "");
    EXPECT_EQ(Node_Properties(region).back(), std::make_pair(std::string("起始扇区"), std::string("2048")));
    region.ImageVolume = true;
    EXPECT_EQ(Node_Properties(region)[0].second, "镜像卷");
}

TEST(SourceTree, LevelsFollowDepthAndPreOrderWalk) {
    TSourceTree tree;
    TSourceNode* a = tree.Root()->Add_Child({});
    TSourceNode* a1 = a->Add_Child({});
    TSourceNode* a11 = a1->Add_Child({});
    TSourceNode* b = tree.Root()->Add_Child({});
    EXPECT_EQ(a11->Data.Level, 3);
    EXPECT_EQ(b->Data.Level, 1);
    EXPECT_EQ(tree.Nodes(), (std::vector<TSourceNode*>{tree.Root(), a, a1, a11, b}));
    EXPECT_TRUE(tree.Root()->Remove_Child(a));
    EXPECT_EQ(tree.Nodes(), (std::vector<TSourceNode*>{tree.Root(), b}));
}
