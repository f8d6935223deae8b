// Disk and volume enumeration on Linux: whole disks from sysfs (<sys>/block/*),
// their partitions, each volume's file system and label (libblkid, probing the
// device read-only) and its free space and block geometry (statvfs of its mount
// point, when mounted). The cluster geometry of the boot sector is decoded by
// the media layer (Apply_BootGeometry).
//
// The roots are parameters so that the enumeration can be run against a fake
// sysfs tree and a fake mountinfo file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv {

// One whole disk.
struct TPhysicalDisk {
    int Number = 0;        // position in sorted device-name order
    std::string Name;      // sysfs name, e.g. "sdb", "nvme0n1", "loop3"
    std::string DevPath;   // e.g. "/dev/sdb"
    std::string Model;     // device model, trimmed (may be empty)
    int64_t Size = 0;      // bytes
    bool Removable = false;
    int32_t LogicalSectorSize = 512;
};

// One logical volume found during a refresh: a partition, or a whole disk that
// carries a file system without a partition table.
struct TLogHDD {
    std::string LogPan;              // the volume's device path, e.g. "/dev/sdb1"
    uint8_t PhyNumber = 0;           // number of the disk holding it
    std::string FS;                  // "FAT32", "exFAT", "NTFS", other names upper-cased, "" unknown
    std::string LogVolum;            // label
    uint32_t SectorsPerCluster = 0;
    uint32_t BytesPerSector = 0;
    uint32_t NumFreeClusters = 0;
    uint32_t TotalClusters = 0;
    int64_t FreeSapce = -1;          // free bytes for the caller, -1 when not mounted / unknown
    int64_t TotalSpace = 0;          // bytes
    std::string MountPoint;          // empty when not mounted
    int64_t StartByte = -1;          // where the volume starts on its disk, -1 when unknown
    int64_t FsFreeBytes = -1;        // free bytes of the mounted file system, -1 when not mounted / unknown
};

struct TEnumRoots {
    std::string Sys = "/sys";
    std::string Dev = "/dev";
    std::string MountInfo = "/proc/self/mountinfo";
};

struct TDiskList {
    std::vector<TPhysicalDisk> Disks; // ascending Number
    std::vector<TLogHDD> Volumes;     // per disk in partition order
};

// Lists whole disks, skipping ram and zram devices, loop devices without a
// backing file, CD drives (sr*) and devices of size 0, then the volumes on them.
TDiskList Enumerate_Disks(const TEnumRoots& roots = {});

// File-system name as the tree shows it, from libblkid's type and version:
// vfat with version FAT32 -> "FAT32", exfat -> "exFAT", ntfs/ntfs3 -> "NTFS",
// empty -> "", anything else upper-cased.
std::string Map_FsName(const std::string& blkidType, const std::string& blkidVersion);

// Probes a device or file read-only with libblkid: file-system type, version
// and label. All empty when it cannot be opened or nothing is found.
struct TFsProbe {
    std::string Type, Version, Label;
};
TFsProbe Probe_FileSystem(const std::string& path);

// Where the device major:minor (or the device path) is mounted, from a mountinfo
// file; both empty when it is not mounted.
struct TMountInfo {
    std::string MountPoint;
    std::string FsType; // the kernel's name, e.g. "vfat", "ext4"
};
TMountInfo Find_MountPoint(const std::string& mountInfoPath, const std::string& majMin, const std::string& devPath);

// True when the device (a path such as "/dev/sdb1") is a partition of a disk:
// sysfs lists it with a "partition" attribute.
bool Is_PartitionDevice(const std::string& devPath, const std::string& sysRoot = "/sys");

// Host name for the tree's root: "QRV-Local PC" when it cannot be read.
std::string Get_ComputerLabel();

// Order of disk numbers: device names compared character by character, with
// runs of digits compared as numbers ("nvme0n2" before "nvme0n10").
bool Device_NameLess(const std::string& a, const std::string& b);

} // namespace qrv
