// Volume boot sectors and partition-table entries, decoded from raw bytes.
// Every field is read with the checked little-endian helpers; a sector that is
// too short or whose geometry fields are implausible is simply "not this file
// system" (std::nullopt), never a crash or a division by zero later on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/disk_enum.h"

namespace qrv {

// True when bytes 510 and 511 hold 0x55 0xAA: what makes a sector a boot
// sector or a partition table when a source is described.
bool Has_BootSignature(std::span<const uint8_t> sector);
// True when byte 510 holds 0x55 or byte 511 holds 0xAA: the allocation-map
// loader accepts a volume's boot sector with one damaged signature byte, since
// the file system is already known from the source node.
bool Has_LooseBootSignature(std::span<const uint8_t> sector);

// The fields of a boot sector as stored, little-endian, not checked (0 when
// the sector is too short). The file-system parsers below and the
// allocation-map loader read them from here.
struct TBootFields {
    uint16_t BytesPerSector = 0;    // 0x0B
    uint8_t SectorsPerCluster = 0;  // 0x0D (NTFS: above 0x80, 2 to the power of 256 minus it)
    uint16_t ReservedSectors = 0;   // 0x0E (FAT32)
    uint8_t FatCount = 0;           // 0x10 (FAT32)
    uint16_t TotalSectors16 = 0;    // 0x13 (FAT32, small volumes)
    uint32_t TotalSectors32 = 0;    // 0x20 (FAT32)
    uint32_t FatSectors = 0;        // 0x24 (FAT32: sectors of one FAT)
    uint64_t NtfsTotalSectors = 0;  // 0x28
    uint64_t NtfsMftCluster = 0;    // 0x30
    uint8_t NtfsRecordSize = 0;     // 0x40 (clusters, or above 127 a power of two)
    uint64_t ExfatVolumeLength = 0; // 0x48 (sectors)
    uint32_t ExfatHeapOffset = 0;   // 0x58 (sectors)
    uint32_t ExfatClusterCount = 0; // 0x5C
    uint32_t ExfatRootCluster = 0;  // 0x60
    uint8_t ExfatBpsShift = 0;      // 0x6C
    uint8_t ExfatSpcShift = 0;      // 0x6D
};
TBootFields Read_BootFields(std::span<const uint8_t> sector);

struct TBootGeometry {
    std::string Fs;                 // "FAT32", "NTFS" or "exFAT"
    uint32_t BytesPerSector = 0;    // 512, 1024, 2048 or 4096
    uint32_t SectorsPerCluster = 0; // a power of two, at least 1
    uint64_t TotalSectors = 0;      // sector count the boot sector reports for the volume
    uint64_t DataClusters = 0;      // clusters of the data area (FAT32: after the FATs; exFAT: its count)
};

// "FAT32" at bytes 82..86, bytes per sector at 11, sectors per cluster at 13,
// 32-bit total sectors at 32 (the 16-bit count at 19 when that is 0).
std::optional<TBootGeometry> Parse_Fat32Boot(std::span<const uint8_t> sector);
// "NTFS" at bytes 3..6, bytes per sector at 11, sectors per cluster at 13
// (values above 0x80 mean 2 to the power of 256 minus the value), 64-bit total
// sectors at 40.
std::optional<TBootGeometry> Parse_NtfsBoot(std::span<const uint8_t> sector);
// "EXFAT" at bytes 3..7, volume length at 72, cluster count at 92, bytes-per-sector
// shift at 108, sectors-per-cluster shift at 109.
std::optional<TBootGeometry> Parse_ExfatBoot(std::span<const uint8_t> sector);
// The first of the three that matches.
std::optional<TBootGeometry> Parse_BootSector(std::span<const uint8_t> sector);

// One of the four 16-byte entries of a partition table (from byte 446).
struct TPartEntry {
    uint8_t Type = 0;
    uint32_t FirstSector = 0;
    uint32_t SectorCount = 0;
};
TPartEntry Get_PartEntry(std::span<const uint8_t> sector, int index);

// Completes a listed volume from its boot sector (read-only): bytes per sector,
// sectors per cluster and the data-cluster count of a FAT32, NTFS or exFAT boot
// sector replace what the kernel reported, and the free-cluster count follows
// the new cluster size. A volume without a recognised boot sector is left as is.
void Apply_BootGeometry(TLogHDD& v);

} // namespace qrv
