// The output guard: no output may be opened on a source (in any spelling of
// its path), on a block device, or on the disks behind a device source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::TTempDir;
namespace fs = std::filesystem;

namespace {

struct TFileMark {
    std::vector<uint8_t> Bytes;
    struct timespec Mtime {};
};

TFileMark Mark(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return {test::Read_File(path), st.st_mtim};
}

void Expect_Same(const TFileMark& a, const TFileMark& b, const std::string& what) {
    EXPECT_TRUE(a.Bytes == b.Bytes) << what << ": the source's bytes changed";
    EXPECT_EQ(a.Mtime.tv_sec, b.Mtime.tv_sec) << what;
    EXPECT_EQ(a.Mtime.tv_nsec, b.Mtime.tv_nsec) << what;
}

// A sysfs-like tree: <root>/block/<disk>[/<partition>] folders with "dev"
// files, <root>/dev/block/MAJ:MIN links to them, "slaves" links for devices
// built on others, and "loop/backing_file" for loop devices.
class TFakeSysfs {
  public:
    std::string Root() const { return dir_.Path(); }
    void Disk(const std::string& name, dev_t dev) { Add("block/" + name, dev, false); }
    void Partition(const std::string& disk, const std::string& name, dev_t dev) {
        Add("block/" + disk + "/" + name, dev, true);
    }
    // holder is built on the device at path ("sdb/sdb1" or "sdc").
    void Slave(const std::string& holder, const std::string& path) {
        const fs::path link = fs::path(Root()) / "block" / holder / "slaves" / fs::path(path).filename();
        fs::create_directories(link.parent_path());
        fs::create_symlink("../../" + path, link);
    }
    void Backing(const std::string& loop, const std::string& file) {
        Put("block/" + loop + "/loop/backing_file", file);
    }

  private:
    void Put(const std::string& rel, const std::string& text) {
        const fs::path p = fs::path(Root()) / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    }
    void Add(const std::string& rel, dev_t dev, bool partition) {
        const std::string num = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
        Put(rel + "/dev", num);
        if (partition) Put(rel + "/partition", "1");
        fs::create_directories(fs::path(Root()) / "dev" / "block");
        fs::create_symlink("../../" + rel, fs::path(Root()) / "dev" / "block" / num);
    }
    TTempDir dir_{"qrv-sysfs"};
};

constexpr int64_t kExt4 = EXT4_SUPER_MAGIC;
const dev_t kSdb = makedev(8, 16), kSdb1 = makedev(8, 17), kSdb2 = makedev(8, 18);
const dev_t kSdc = makedev(8, 32), kSdc1 = makedev(8, 33), kSdd = makedev(8, 48), kSdd1 = makedev(8, 49);
const dev_t kDm0 = makedev(253, 0), kMd0 = makedev(9, 0), kMd0p1 = makedev(259, 1);
const dev_t kLoop1 = makedev(7, 1), kLoop2 = makedev(7, 2), kLoop3 = makedev(7, 3);
const dev_t kLoop4 = makedev(7, 4), kLoop5 = makedev(7, 5), kDm1 = makedev(253, 1);
const dev_t kLoop6 = makedev(7, 6);
const dev_t kNowhere = makedev(65, 99);

} // namespace

// Every spelling of the source image is refused as the target of a file or a
// folder, and nothing is created, truncated or opened for writing; a file
// beside the image is fine (image sources do not bring the disk rule).
TEST(OutputGuard, RefusesTheSourceInEverySpelling) {
    TTempDir dir("qrv-guard");
    const std::string img = dir.File("card.img");
    test::Write_File(img, std::vector<uint8_t>(8192, 0x5A));
    fs::create_directories(dir.File("sub"));
    fs::create_symlink(img, dir.File("link.img"));
    fs::create_symlink("link.img", dir.File("chain.img"));
    ASSERT_EQ(::link(img.c_str(), dir.File("hard.img").c_str()), 0);
    const int fd = ::open(img.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string cwd = fs::current_path();
    ASSERT_EQ(::chdir(dir.Path().c_str()), 0);

    const TOutputGuard guard({img});
    const TFileMark before = Mark(img);
    const std::vector<std::string> spellings = {
        img,
        "card.img",
        "./sub/../card.img",
        dir.File("link.img"),
        dir.File("chain.img"),
        dir.File("hard.img"),
        "/proc/self/fd/" + std::to_string(fd),
        "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd),
    };
    for (const auto& path : spellings) {
        EXPECT_EQ(guard.Check_File(path).Cause, TGuardCause::SameFile) << path;
        EXPECT_EQ(guard.Check_Folder(path).Cause, TGuardCause::SameFile) << path;
        TGuardVerdict refusal;
        errno = 0;
        EXPECT_EQ(TOutputFile::Create(path, guard, &refusal), nullptr) << path;
        EXPECT_EQ(errno, EPERM) << path;
        EXPECT_EQ(refusal.Cause, TGuardCause::SameFile) << path;
        EXPECT_EQ(refusal.Reason, "为避免覆盖,不能写入源本身!");
        EXPECT_FALSE(Make_Folders(path + "/QRV/x", guard, &refusal)) << path;
        EXPECT_EQ(refusal.Cause, TGuardCause::SameFile) << path;
        Expect_Same(before, Mark(img), path);
    }

    // Beside the image: allowed, and an existing file is kept: its name is
    // refused at the commit, and the next free one is taken when asked for.
    test::Write_File(dir.File("r.QRV"), std::vector<uint8_t>(100, 1));
    auto out = TOutputFile::Create("r.QRV", guard);
    ASSERT_NE(out, nullptr);
    ASSERT_TRUE(out->Write("new", 3));
    EXPECT_FALSE(out->Commit());
    EXPECT_EQ(errno, EEXIST);
    ASSERT_TRUE(out->Commit(TTakenName::NextFree));
    EXPECT_EQ(out->Path(), "r-2.QRV");
    EXPECT_EQ(test::Read_File(dir.File("r.QRV")), std::vector<uint8_t>(100, 1));
    EXPECT_EQ(test::Read_File(dir.File("r-2.QRV")), (std::vector<uint8_t>{'n', 'e', 'w'}));
    EXPECT_TRUE(Make_Folders("sub/a/b", guard));
    EXPECT_TRUE(fs::is_directory(dir.File("sub/a/b")));
    // A dangling link is followed to where the file would be created.
    fs::create_symlink(dir.File("sub/new.QRV"), dir.File("dangling"));
    EXPECT_TRUE(guard.Check_File("dangling").Allowed());

    ASSERT_EQ(::chdir(cwd.c_str()), 0);
    ::close(fd);
    Expect_Same(before, Mark(img), "after the allowed writes");
}

// Block devices are never targets, whatever the sources; character devices
// (such as /dev/full) are.
TEST(OutputGuard, RefusesBlockDevices) {
    TTempDir dir("qrv-guard");
    const std::string node = dir.File("blk");
    if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(7, 200)) != 0)
        QRV_SKIP_WITHOUT("cannot make device nodes here (needs root)");
    fs::create_symlink(node, dir.File("blk-link"));
    for (const TOutputGuard& guard : {TOutputGuard::Without_Sources(), TOutputGuard({dir.File("blk")})}) {
        for (const std::string& path : {node, dir.File("blk-link")}) {
            TGuardVerdict refusal;
            EXPECT_EQ(TOutputFile::Create(path, guard, &refusal), nullptr) << path;
            EXPECT_EQ(refusal.Cause, TGuardCause::BlockDevice) << path;
            EXPECT_FALSE(guard.Check_Folder(path).Allowed()) << path;
        }
    }
    EXPECT_EQ(TOutputGuard::Without_Sources().Check_File(node).Reason, "为避免覆盖,不能写入块设备!");
    if (fs::exists("/dev/full")) {
        EXPECT_TRUE(TOutputGuard({node}).Check_File("/dev/full").Allowed());
    }
}

// The disk rule for a device source against a target file system, on a fake
// sysfs: partitions map to their disk; device-mapper, md and LVM devices to
// the devices below them; a loop device to its backing file's file system;
// memory and network file systems lie on no disk; what cannot be mapped is
// unknown and refused, unless forced. A loop device stacked on a block device
// (another loop, a partition) is followed into it, from either side.
TEST(OutputGuard, DeviceSourcesRefuseTheirDisks) {
    TFakeSysfs sys;
    sys.Disk("sdb", kSdb);
    sys.Partition("sdb", "sdb1", kSdb1);
    sys.Partition("sdb", "sdb2", kSdb2);
    sys.Disk("sdc", kSdc);
    sys.Partition("sdc", "sdc1", kSdc1);
    sys.Disk("sdd", kSdd);
    sys.Partition("sdd", "sdd1", kSdd1);
    sys.Disk("dm-0", kDm0); // LVM volume on sdb1
    sys.Slave("dm-0", "sdb/sdb1");
    sys.Disk("md0", kMd0); // RAID 1 of sdc1 and sdd1, partitioned
    sys.Slave("md0", "sdc/sdc1");
    sys.Slave("md0", "sdd/sdd1");
    sys.Partition("md0", "md0p1", kMd0p1);
    TTempDir files("qrv-guard");
    sys.Disk("loop1", kLoop1); // backed by a file in memory
    sys.Disk("loop2", kLoop2); // backed by a file that is gone
    struct statfs shm {};
    const bool haveShm = ::statfs("/dev/shm", &shm) == 0 && shm.f_type == TMPFS_MAGIC;
    const std::string shmFile = "/dev/shm/qrv-guard-" + std::to_string(::getpid());
    if (haveShm) test::Write_File(shmFile, {1});
    sys.Backing("loop1", haveShm ? shmFile : files.File("gone"));
    sys.Backing("loop2", files.File("gone"));
    sys.Disk("loop3", kLoop3); // backed by the image source: the image mounted
    sys.Backing("loop3", files.File("card.img"));
    sys.Disk("loop4", kLoop4); // stacked on the partition sdb1
    sys.Backing("loop4", files.File("sdb1"));
    sys.Disk("loop5", kLoop5); // stacked on loop3, so two loops over the image
    sys.Backing("loop5", files.File("loop3"));
    sys.Disk("dm-1", kDm1); // a volume built on loop5
    sys.Slave("dm-1", "loop5");
    sys.Disk("loop6", kLoop6); // stacked on itself: the walk must end
    sys.Backing("loop6", files.File("loop6"));

    struct TNode {
        const char* Name;
        dev_t Dev;
    };
    const TNode nodes[] = {{"sdb", kSdb},     {"sdb2", kSdb2},   {"sdc", kSdc},         {"sdd1", kSdd1},
                           {"dm-0", kDm0},    {"loop1", kLoop1}, {"nowhere", kNowhere}, {"sdb1", kSdb1},
                           {"loop3", kLoop3}, {"loop4", kLoop4}, {"loop5", kLoop5},     {"dm-1", kDm1},
                           {"loop6", kLoop6}};
    for (const auto& n : nodes) {
        if (::mknod(files.File(n.Name).c_str(), S_IFBLK | 0600, n.Dev) != 0) {
            QRV_SKIP_WITHOUT("cannot make device nodes here (needs root)");
        }
    }
    test::Write_File(files.File("card.img"), {0});

    using C = TGuardCause;
    struct TCase {
        const char* Source;
        dev_t TargetDev;
        int64_t TargetType;
        C Want;
    };
    const TCase cases[] = {
        {"sdb", kSdb1, kExt4, C::SameDisk},        // a partition of the source disk
        {"sdb2", kSdb1, kExt4, C::SameDisk},       // another partition of the same disk
        {"sdc", kSdb1, kExt4, C::None},            // another disk
        {"sdb", kDm0, kExt4, C::SameDisk},         // LVM volume built on the source disk
        {"dm-0", kDm0, kExt4, C::SameDisk},        // the volume itself
        {"dm-0", kSdb2, kExt4, C::SameDisk},       // beside the volume on its disk
        {"sdc", kDm0, kExt4, C::None},             // LVM volume elsewhere
        {"sdd1", kMd0p1, kExt4, C::SameDisk},      // RAID partition over the source's disk
        {"sdb", kMd0p1, kExt4, C::None},           // RAID elsewhere
        {"loop1", kLoop1, kExt4, C::SameFile},     // file system stored in the loop's backing file
        {"sdb", kLoop2, kExt4, C::UnknownDisk},    // loop whose backing file is gone
        {"sdb", kNowhere, kExt4, C::UnknownDisk},  // device sysfs does not know
        {"nowhere", kSdb1, kExt4, C::UnknownDisk}, // source sysfs does not know
        {"sdb", makedev(0, 44), BTRFS_SUPER_MAGIC, C::UnknownDisk},
        {"sdb", makedev(0, 45), 0x794c7630 /* overlayfs */, C::UnknownDisk},
        {"sdb", makedev(0, 46), 0x2fc12fc1 /* zfs */, C::UnknownDisk},
        {"sdb", makedev(0, 47), TMPFS_MAGIC, C::None},
        {"sdb", makedev(0, 48), 0x6969 /* nfs */, C::None},
        {"card.img", kSdb1, kExt4, C::None}, // image sources keep folders beside them
        {"card.img", makedev(0, 44), BTRFS_SUPER_MAGIC, C::None},
        {"card.img", kLoop3, kExt4, C::SameFile}, // a file system kept in the image itself
        {"card.img", kLoop5, kExt4, C::SameFile}, // ... mounted two loops deep
        {"loop4", kSdb2, kExt4, C::SameDisk},     // a loop over sdb1 reads the disk sdb
        {"sdb", kLoop4, kExt4, C::SameDisk},      // a file system on a loop over sdb1
        {"sdc", kLoop4, kExt4, C::None},
        {"loop5", kLoop3, kExt4, C::SameFile}, // the image's own file system, one loop lower
        {"dm-1", kLoop3, kExt4, C::SameFile},  // a volume on loops over the image
        {"dm-1", kSdb1, kExt4, C::None},       // loops over a file keep the file's disk writable
        {"loop6", kSdb1, kExt4, C::None},      // a cycle of loops ends
        {"sdb", kLoop6, kExt4, C::None},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.Source) + " -> " + std::to_string(major(c.TargetDev)) + ":" +
                                 std::to_string(minor(c.TargetDev));
        if (!haveShm && std::string(c.Source) == "loop1") continue;
        TGuardOptions o;
        o.SysRoot = sys.Root();
        const TGuardVerdict v =
            TOutputGuard({files.File(c.Source)}, o).Check_FileSystem(c.TargetDev, c.TargetType);
        EXPECT_EQ(v.Cause, c.Want) << what << ": " << Guard_CauseName(v.Cause) << " " << v.Detail;
        if (c.Want == C::SameDisk) {
            EXPECT_EQ(v.Reason, "为避免覆盖,请不要设置保存路径到同一磁盘!") << what;
        }
        if (c.Want == C::UnknownDisk) {
            EXPECT_NE(v.Reason.find("无法确定"), std::string::npos) << what;
            EXPECT_FALSE(v.Detail.empty()) << what;
        }
        // A confirmed unknown disk passes only that refusal: the source's own
        // disk and the source itself stay refused.
        TGuardOptions accept = o;
        accept.AcceptUnknownDisk = true;
        EXPECT_EQ(
            TOutputGuard({files.File(c.Source)}, accept).Check_FileSystem(c.TargetDev, c.TargetType).Cause,
            c.Want == C::UnknownDisk ? C::None : c.Want)
            << what;
        // Forcing accepts the disk, never the source itself.
        o.ForceSameDisk = true;
        EXPECT_EQ(TOutputGuard({files.File(c.Source)}, o).Check_FileSystem(c.TargetDev, c.TargetType).Allowed(),
                  c.Want != C::SameFile)
            << what;
        EXPECT_EQ(TOutputGuard({files.File(c.Source)}, o).Check_File(files.File(c.Source)).Cause,
                  std::string(c.Source) == "card.img" ? C::SameFile : C::BlockDevice)
            << what;
        // A device stacked over the image protects the image itself.
        if (std::string(c.Source) == "loop5" || std::string(c.Source) == "dm-1") {
            EXPECT_EQ(TOutputGuard({files.File(c.Source)}, o).Check_File(files.File("card.img")).Cause,
                      C::SameFile)
                << what;
        }
    }
    if (haveShm) ::unlink(shmFile.c_str());
}
