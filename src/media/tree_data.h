// The source node record: the description of one source (the computer root, a
// physical disk, a logical volume, an image file, or a region of one of these).
// Every operation that reads a medium is given one of these and derives from it
// what to open (Get_SourcePath), how large a sector and a cluster are and which
// file system the range holds.
#pragma once

#include <cstdint>
#include <string>

namespace qrv {

enum THddType : int32_t {
    HDD_PHYSICAL = 0, // whole-disk block device, e.g. /dev/sdb
    HDD_VOLUME = 1,   // a partition or whole-disk file system, e.g. /dev/sdb1
    HDD_IMAGE = 2,    // an image file
    HDD_REGION = 3,   // a sector range of another source
};

struct TTreeData {
    int32_t Level = 0;     // depth in the source tree: 0 root, 1 disks and images, 2 volumes and regions...
    int32_t Hddtype = 0;   // THddType
    std::string HddNumber; // disk: its device path; volume: disk number in decimal; image: "Image File"; region: parent's
    std::string HddModel;  // root: computer name; disk: model; volume: its device path; image: file path; region: parent's
    int64_t RegionSec = 0; // regions only: first sector of the region on the opened device or file
    bool ImageVolume = false; // regions only: a volume found in an image file as it was opened, not one the user made
    std::string MountPoint;   // volumes only: where the file system is mounted, empty when it is not
    int64_t StartByte = -1;   // volumes only: where the volume starts on its disk, -1 when unknown
    std::string HddLable;  // disk: "HDD"+N; volume: label; image: "镜像文件"; region: "创建区域" or "镜像卷"
    std::string HddFs;     // "RAW", "FAT32", "NTFS", "exFAT" or what the volume reports
    std::string HddCap;    // capacity text shown in the tree
    int32_t PerSecBytes = 0;
    int64_t TotalSpace = 0;
    uint32_t LogPerClusec = 0; // sectors per cluster (volumes, regions with a recognised file system)
    uint32_t LogNumFreeClusters = 0;
    uint32_t LogTotalClusters = 0;
    int64_t LogFreeSapce = 0;
};

// True for the three file systems whose allocation maps and cluster geometry the
// scan understands.
inline bool Is_KnownFs(const std::string& fs) { return fs == "FAT32" || fs == "NTFS" || fs == "exFAT"; }

} // namespace qrv
