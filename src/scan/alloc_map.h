// Allocation maps of FAT32, exFAT and NTFS volumes, read raw from the source.
//
// Load_AllocMap finds where a volume keeps its allocation map (the first FAT,
// the exFAT allocation bitmap or the NTFS $Bitmap data) and where its cluster 2
// lies; Get_ClusterState then answers cluster by cluster whether a cluster is
// allocated. Answers come through a 65,536-byte window onto the map that the
// map's description carries (a copy of the description starts with an empty
// window), so every scan reads its own map afresh.
//
// Everything here reads untrusted bytes: every structure is bounds-checked and
// a malformed one gives "not loaded" or "not found", never a read outside what
// was fetched.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/source_io.h"

namespace qrv {

// The window onto a map that answers the cluster queries. Queries of one scan
// come from one worker thread; the lock keeps a query from another thread
// from seeing a half-loaded window. A copy is an empty window.
struct TAllocWindow {
    TAllocWindow() = default;
    TAllocWindow(const TAllocWindow&) {}
    TAllocWindow& operator=(const TAllocWindow&) {
        Clear();
        return *this;
    }
    // Empties the window: the next query reads the map again.
    void Clear() {
        std::lock_guard<std::mutex> lock(Lock);
        Bytes.clear();
        Full = false;
        Start = 0;
        MapStart = -1;
        Src = nullptr;
    }
    std::mutex Lock;
    std::vector<uint8_t> Bytes;
    bool Full = false;
    int64_t Start = 0;            // map byte offset of Bytes[0]
    int64_t MapStart = -1;        // which map the window holds
    const TSource* Src = nullptr; // and from which source
};

// The file-system description of one scan.
struct TAllocMap {
    bool Loaded = false;
    int64_t MapStart = 0;      // absolute offset of the map (first FAT, bitmap, $Bitmap data)
    int64_t MapLength = 0;     // bytes of the map that can be consulted from MapStart
    int64_t MapExtent = 0;     // FAT32: reserved + 2 FATs; exFAT: MapStart - V; NTFS: $Bitmap data size
    int32_t MftRecordSize = 0; // NTFS: bytes per file record; 0 otherwise
    int64_t DataStart = 0;     // FAT32/exFAT: absolute offset of cluster 2; NTFS: 0
    // The part of the map read last (a cache: Get_ClusterState fills it).
    mutable TAllocWindow Window;
};

// Size of the map window: 16,384 FAT32 entries or 524,288 bitmap bits.
inline constexpr int64_t kAllocWindowBytes = 65536;

// Reads the boot sector at V and fills the description for "FAT32", "exFAT"
// and "NTFS"; any other name, or a volume whose map cannot be found, gives
// Loaded false.
TAllocMap Load_AllocMap(TSource& h, const std::string& fs, int64_t V);

// 1 allocated, 0 free, 255 unknown: another file system, a map that is not
// loaded, or a cluster whose entry lies outside the map.
int Get_ClusterState(TSource& h, const std::string& fs, const TAllocMap& map, int64_t cluster);

// Cluster number of the unit at absolute byte offset X: "NTFS" counts clusters
// from the volume start V, "FAT32" and "exFAT" number the cluster at DataStart
// as 2. -1 for an offset before that origin (it lies in no cluster), another
// file system or a cluster size that is not positive. The scan's allocation
// filter and the seam growth both number clusters with it.
int64_t Cluster_Of(const std::string& fs, const TAllocMap& map, int64_t V, int64_t clusterBytes, int64_t X);

// ---- parsers over byte buffers (also driven by the fuzz harnesses) ----

// Where an attribute lies inside an NTFS file record.
struct TNtfsAttr {
    int64_t Offset = -1; // offset of the attribute header inside the record, -1 when not found
    int64_t Length = 0;  // the attribute's length field; the whole attribute lies inside the record
    bool Found() const { return Offset >= 0; }
};

// Searches the file record for the first attribute of the given type. A record
// that starts with "FILE" has its first attribute at the 16-bit offset held at
// 0x14, anything else is searched from offset 0. The walk ends (not found) at
// type FFFFFFFF, at a length of 0, and at an attribute that does not fit in the
// record. With the name-space rule (used for file names, type 30), a file name
// whose name space is not 0, 1 or 3 is passed over, and a file name whose name
// runs past its attribute ends the search as not found.
TNtfsAttr Find_NtfsAttribute(std::span<const uint8_t> record, uint32_t type, bool nameSpaceRule);

// The file name of a file-name attribute (bytes of the attribute) as UTF-16
// code units narrowed to bytes when all of them are ASCII; empty when the name
// does not fit in the attribute or holds other characters.
std::string Ntfs_AsciiName(std::span<const uint8_t> attr);

// First run of a non-resident attribute's data-run list. The list starts at the
// 16-bit offset held at attribute offset 32 and ends at the attribute's length;
// Count is the number of runs read before the 0 header (or the end of the list).
struct TNtfsRun {
    bool Valid = false;
    uint64_t Cluster = 0; // the first run's cluster field, unsigned
    uint64_t Length = 0;  // the first run's length in clusters
    int32_t Count = 0;    // runs in the list
};
TNtfsRun Decode_FirstRun(std::span<const uint8_t> attr);

// The first allocation-bitmap entry (type 81) among the 32-byte directory
// entries of the buffer (the first 512 bytes of an exFAT root directory).
struct TExfatBitmapEntry {
    int64_t Offset = -1; // offset of the entry in the buffer, -1 when there is none
    uint32_t FirstCluster = 0;
    uint64_t DataLength = 0;
    bool Usable() const { return Offset >= 0 && FirstCluster != 0 && DataLength > 0; }
};
TExfatBitmapEntry Find_ExfatBitmapEntry(std::span<const uint8_t> dir);

// File record size from the boot sector byte at 0x40: a value above 127 is a
// negative power of two (F6 -> 1,024), otherwise a count of clusters. 0 when
// the result is not a usable size.
int64_t Ntfs_RecordSize(uint8_t f, int64_t sectorsPerCluster, int64_t bytesPerSector);

} // namespace qrv
