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

// True when bytes 510 and 511 hold 0x55 0xAA.
bool Has_BootSignature(std::span<const uint8_t> sector);

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
