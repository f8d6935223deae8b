#include "platform/same_disk.h"

#include <dirent.h>
#include <fstream>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <vector>

namespace qrv {

namespace {

// Stacks of devices are shallow (LVM on md on partitions on a disk is four,
// loop devices stacked on each other rarely more); a deeper chain means a
// cycle in the tree (or a fake tree gone wrong).
constexpr int kMaxDepth = 32;

std::optional<dev_t> Read_DevFile(const std::string& path) {
    std::ifstream in(path);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':') return std::nullopt;
    return makedev(maj, min);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> List_Dir(const std::string& path) {
    std::vector<std::string> out;
    DIR* d = ::opendir(path.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") out.push_back(name);
    }
    ::closedir(d);
    return out;
}

std::string Dev_Text(dev_t dev) {
    return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// statfs magic numbers not every kernel header carries.
constexpr int64_t kZfsMagic = 0x2fc12fc1;
constexpr int64_t kCifsMagic = 0xff534d42;
constexpr int64_t kSmb2Magic = 0xfe534d42;
constexpr int64_t kFuseMagic = 0x65735546;
constexpr int64_t kOverlayMagic = 0x794c7630;
constexpr int64_t kNfsMagic = 0x6969;
constexpr int64_t kSmbMagic = 0x517b;
constexpr int64_t kV9fsMagic = 0x01021997;

struct TFsKind {
    int64_t Magic;
    const char* Name;
    TDiskSet::TState State;
};

const TFsKind kDevicelessKinds[] = {
    {TMPFS_MAGIC, "tmpfs", TDiskSet::NoDisk},
    {RAMFS_MAGIC, "ramfs", TDiskSet::NoDisk},
    {kNfsMagic, "nfs", TDiskSet::NoDisk},
    {kCifsMagic, "cifs", TDiskSet::NoDisk},
    {kSmb2Magic, "smb2", TDiskSet::NoDisk},
    {kSmbMagic, "smb", TDiskSet::NoDisk},
    {BTRFS_SUPER_MAGIC, "btrfs", TDiskSet::Unknown},
    {kOverlayMagic, "overlayfs", TDiskSet::Unknown},
    {kZfsMagic, "zfs", TDiskSet::Unknown},
    {kFuseMagic, "fuse", TDiskSet::Unknown},
    {kV9fsMagic, "9p", TDiskSet::Unknown},
};

} // namespace

TDiskSet::TState Classify_DevicelessFs(int64_t fsType, std::string& name) {
    for (const TFsKind& k : kDevicelessKinds) {
        if (k.Magic == fsType) {
            name = k.Name;
            return k.State;
        }
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(fsType));
    name = buf;
    return TDiskSet::Unknown;
}

std::optional<dev_t> TDiskMap::Whole_Disk(dev_t dev) const {
    const std::string base = sys_ + "/dev/block/" + Dev_Text(dev);
    if (!Exists(base + "/dev")) return std::nullopt;
    // A partition's sysfs folder sits inside its disk's folder.
    if (Exists(base + "/partition")) return Read_DevFile(base + "/../dev");
    return dev;
}

std::optional<std::string> TDiskMap::Loop_BackingFile(dev_t dev) const {
    std::ifstream in(sys_ + "/dev/block/" + Dev_Text(dev) + "/loop/backing_file");
    std::string line;
    if (!std::getline(in, line) || line.empty()) return std::nullopt;
    return line;
}

bool TDiskMap::Collect(dev_t dev, bool followLoops, int depth, TDiskSet& out) const {
    if (depth > kMaxDepth) {
        out.Why = "device stack deeper than " + std::to_string(kMaxDepth);
        return false;
    }
    auto disk = Whole_Disk(dev);
    if (!disk) {
        out.Why = "block device " + Dev_Text(dev) + " not found in " + sys_;
        return false;
    }
    if (!out.Disks.insert(*disk).second) return true; // already walked
    const std::string diskDir = sys_ + "/dev/block/" + Dev_Text(*disk);
    for (const std::string& slave : List_Dir(diskDir + "/slaves")) {
        auto s = Read_DevFile(diskDir + "/slaves/" + slave + "/dev");
        if (!s) {
            out.Why = "device " + slave + " below " + Dev_Text(*disk) + " has no number";
            return false;
        }
        if (!Collect(*s, followLoops, depth + 1, out)) return false;
    }
    if (auto file = Loop_BackingFile(*disk)) {
        struct stat st {};
        if (::stat(file->c_str(), &st) != 0) {
            // A backing file removed since (the kernel then adds " (deleted)"
            // to the name) cannot be followed: its disk is unknown. A source
            // keeps what it has: the file is gone, nothing is left to name.
            if (!followLoops) return true;
            out.Why = "backing file " + *file + " of loop device " + Dev_Text(*disk) + " not found";
            return false;
        }
        // A loop device stacked on a block device (losetup over /dev/loop0,
        // a partition, a dm volume) reads that device: its chain is followed
        // whichever side is asked, as a slave would be.
        if (S_ISBLK(st.st_mode)) return Collect(st.st_rdev, followLoops, depth + 1, out);
        out.BackingFiles.insert({st.st_dev, st.st_ino});
        if (!followLoops) return true;
        struct statfs fs {};
        if (::statfs(file->c_str(), &fs) != 0) {
            out.Why = "backing file " + *file + " of loop device " + Dev_Text(*disk) + " not found";
            return false;
        }
        if (major(st.st_dev) == 0) {
            std::string name;
            if (Classify_DevicelessFs(int64_t(fs.f_type), name) == TDiskSet::Unknown) {
                out.Why = "backing file " + *file + " on file system " + name;
                return false;
            }
        } else if (!Collect(st.st_dev, followLoops, depth + 1, out)) {
            return false;
        }
    }
    return true;
}

TDiskSet TDiskMap::Device_Disks(dev_t dev, bool followLoops) const {
    TDiskSet out;
    if (Collect(dev, followLoops, 0, out)) {
        out.State = TDiskSet::Known;
        out.Why.clear();
    } else {
        out.State = TDiskSet::Unknown;
        out.Disks.clear(); // the backing files found so far are kept
    }
    return out;
}

TDiskSet TDiskMap::FileSystem_Disks(dev_t stDev, int64_t fsType) const {
    if (major(stDev) == 0) {
        TDiskSet out;
        std::string name;
        out.State = Classify_DevicelessFs(fsType, name);
        if (out.State == TDiskSet::Unknown) out.Why = "file system " + name;
        return out;
    }
    return Device_Disks(stDev, true);
}

TDiskSet TDiskMap::Path_Disks(const std::string& path) const {
    struct stat st {};
    struct statfs fs {};
    if (::stat(path.c_str(), &st) != 0 || ::statfs(path.c_str(), &fs) != 0) {
        TDiskSet out;
        out.Why = "cannot query " + path;
        return out;
    }
    return FileSystem_Disks(st.st_dev, int64_t(fs.f_type));
}

std::optional<dev_t> Get_WholeDisk(dev_t dev) {
    return TDiskMap().Whole_Disk(dev);
}

std::optional<dev_t> Get_FolderDisk(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return std::nullopt;
    return Get_WholeDisk(st.st_dev);
}

} // namespace qrv
