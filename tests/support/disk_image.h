// Disk images for tests, made at test time with the real file-system tools:
// FAT32 (mkfs.fat, files placed with mcopy), exFAT (mkfs.exfat), NTFS (mkntfs,
// files placed with ntfscp), and raw images without a file system.
//
// The geometry and the allocation state a builder returns come from the file
// system's own view (the tools' reports: minfo, dump.exfat, ntfsinfo; the FAT
// as mtools laid it out, the exFAT bitmap at the place dump.exfat names, the
// $Bitmap file as ntfscat returns it), never from the code under test.
//
// A volume can sit at a byte offset V inside a larger image (a partition of a
// disk image); its clusters are still numbered by its own file system. Images
// are sparse files.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "media/tree_data.h"

namespace qrv::test {

struct TVolumeLayout {
    std::string Fs = "FAT32"; // "FAT32", "exFAT", "NTFS" or "RAW"
    // Size of the volume (the whole image for "RAW"). mtools reads FAT32 only with
    // at least 65,525 clusters: 34 MB with 512-byte clusters, 270 MB with 4 KiB.
    int64_t VolumeBytes = 64 << 20;
    int64_t ClusterBytes = 4096; // cluster size asked of the tool ("RAW": the geometry's unit)
    int64_t Offset = 0;          // V: byte offset of the volume in the image, a multiple of 512
    int64_t ImageBytes = 0;      // size of the image file; 0 = Offset + VolumeBytes
    // Live files written through the file system (FAT32: mcopy, NTFS: ntfscp);
    // names are plain file names in the root folder.
    std::vector<std::pair<std::string, std::vector<uint8_t>>> Files;
    std::string Label; // volume label given to the tool ("" none)
};

struct TDiskImage {
    std::string Path; // the image file
    std::string Fs;   // "FAT32", "exFAT", "NTFS" or "RAW"
    int64_t V = 0;    // byte offset of the volume's first sector in the image
    int64_t VolumeBytes = 0;
    int64_t BytesPerSector = 512;
    int64_t SectorsPerCluster = 0;
    int64_t ClusterBytes = 0;
    int64_t FirstCluster = 2; // lowest cluster number of the data area: 2 (FAT32, exFAT), 0 (NTFS, RAW)
    int64_t DataStart = 0;    // absolute offset of cluster FirstCluster (cluster 2 on FAT32/exFAT, V on NTFS)
    int64_t TotalClusters = 0;   // clusters FirstCluster .. FirstCluster + TotalClusters - 1
    std::vector<bool> Allocated; // index cluster - FirstCluster; the file system's own answer

    // exFAT only: absolute offset of the allocation bitmap (where dump.exfat places it).
    int64_t BitmapOffset = 0;
    // FAT32 only (from minfo): reserved sectors, sectors per FAT and FATs.
    int64_t ReservedSectors = 0;
    int64_t SectorsPerFat = 0;
    int64_t Fats = 0;
    // NTFS only (from ntfsinfo): the runs of the $Bitmap file's data, as
    // {first cluster of the file, first cluster on the volume, clusters}.
    std::vector<std::array<int64_t, 3>> BitmapRuns;

    int64_t Cluster_Offset(int64_t cluster) const {
        return DataStart + (cluster - FirstCluster) * ClusterBytes;
    }
    bool Is_Allocated(int64_t cluster) const;
    int64_t Last_Cluster() const { return FirstCluster + TotalClusters - 1; }

    // First cluster (>= from) of `count` consecutive free clusters, -1 when none.
    int64_t Find_FreeRun(int64_t count, int64_t from = -1) const;
    // `count` free clusters starting at `from`, taking every `stride`-th free
    // cluster (stride 2 leaves one free cluster between pieces): a fragmented
    // layout. Empty when there are not enough.
    std::vector<int64_t> Pick_FreeClusters(int64_t count, int64_t stride, int64_t from = -1) const;

    // The state after deletion: writes bytes into the given clusters in order
    // (cluster i gets bytes [i x ClusterBytes, (i + 1) x ClusterBytes)); the map
    // is untouched, so the clusters stay free. Throws when a cluster is
    // allocated or out of range, or the bytes need more clusters than given.
    void Write_Clusters(const std::vector<int64_t>& clusters, const std::vector<uint8_t>& bytes) const;
    // Same into consecutive clusters from `first`.
    void Write_Contiguous(int64_t first, const std::vector<uint8_t>& bytes) const;
    // Marks clusters allocated in the file system's own map (a file whose
    // directory entry is gone but whose clusters are still in use): the exFAT
    // allocation bitmap, both FATs of FAT32 (end-of-chain entries), or the NTFS
    // $Bitmap where ntfsinfo places it. Updates Allocated.
    void Mark_Allocated(const std::vector<int64_t>& clusters);
    // Raw write at an absolute offset of the image (no allocation check).
    void Write_Raw(int64_t offset, const std::vector<uint8_t>& bytes) const;

    // Source node for the scan: a region of the image file (Hddtype 3,
    // RegionSec = V / 512) naming the file system, or, for "RAW", the image
    // file node itself (Hddtype 2).
    TTreeData Node() const;
    // The image file as the image command adds it ("RAW", 512-byte sectors).
    TTreeData Image_Node() const;
};

// Builds the image at `path`. Returns nothing and sets *skip to a message when a
// tool the file system needs is missing; throws std::runtime_error when a tool
// fails.
std::optional<TDiskImage> Make_DiskImage(const std::string& path, const TVolumeLayout& plan, std::string* skip);

// A sparse raw image of `bytes` bytes (no file system), with a 512-byte sector
// geometry and `unitBytes`-sized clusters numbered from 0.
TDiskImage Make_RawImage(const std::string& path, int64_t bytes, int64_t unitBytes = 32768);

// One entry of a DOS partition table: first sector, sector count, type byte.
struct TPartitionLayout {
    int64_t Start = 0;
    int64_t Sectors = 0;
    int Type = 0x0c;
};
// Writes a DOS partition table into the first sector of an image with sfdisk;
// the rest of the image is left as it is. Throws when sfdisk is missing or fails.
void Write_PartitionTable(const std::string& path, const std::vector<TPartitionLayout>& parts);

// An image-file node ("RAW", 512-byte sectors) for a medium at path, or for an
// in-memory medium when path is empty; fs names another file system to scan as.
TTreeData Image_FileNode(const std::string& path = "", const std::string& fs = "RAW");

// Deterministic filler bytes (a simple generator), handy for file contents.
std::vector<uint8_t> Pattern_Bytes(size_t n, uint32_t seed);

} // namespace qrv::test
