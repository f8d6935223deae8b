#include "media/boot_sector.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/byte_order.h"
#include "platform/source_io.h"

namespace qrv {

namespace {

bool Valid_SectorSize(uint32_t bps) { return bps == 512 || bps == 1024 || bps == 2048 || bps == 4096; }
bool Power_OfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A 64-bit sector count whose byte size (at the largest sector size) would not
// fit a signed 64-bit offset names no real volume.
bool Plausible_SectorCount(uint64_t n) { return n <= uint64_t(INT64_MAX) / 4096; }

} // namespace

bool Has_BootSignature(std::span<const uint8_t> sector) {
    return U8_At(sector, 510) == 0x55 && U8_At(sector, 511) == 0xAA && sector.size() >= 512;
}

bool Has_LooseBootSignature(std::span<const uint8_t> sector) {
    return sector.size() >= 512 && (sector[510] == 0x55 || sector[511] == 0xAA);
}

TBootFields Read_BootFields(std::span<const uint8_t> s) {
    TBootFields f;
    f.BytesPerSector = LE16_At(s, 0x0B);
    f.SectorsPerCluster = U8_At(s, 0x0D);
    f.ReservedSectors = LE16_At(s, 0x0E);
    f.FatCount = U8_At(s, 0x10);
    f.TotalSectors16 = LE16_At(s, 0x13);
    f.TotalSectors32 = LE32_At(s, 0x20);
    f.FatSectors = LE32_At(s, 0x24);
    f.NtfsTotalSectors = LE64_At(s, 0x28);
    f.NtfsMftCluster = LE64_At(s, 0x30);
    f.NtfsRecordSize = U8_At(s, 0x40);
    f.ExfatVolumeLength = LE64_At(s, 0x48);
    f.ExfatHeapOffset = LE32_At(s, 0x58);
    f.ExfatClusterCount = LE32_At(s, 0x5C);
    f.ExfatRootCluster = LE32_At(s, 0x60);
    f.ExfatBpsShift = U8_At(s, 0x6C);
    f.ExfatSpcShift = U8_At(s, 0x6D);
    return f;
}

std::optional<TBootGeometry> Parse_Fat32Boot(std::span<const uint8_t> s) {
    if (s.size() < 512 || !Bytes_Equal(s, 82, "FAT32", 5)) return std::nullopt;
    const TBootFields f = Read_BootFields(s);
    TBootGeometry g;
    g.Fs = "FAT32";
    g.BytesPerSector = f.BytesPerSector;
    g.SectorsPerCluster = f.SectorsPerCluster;
    if (!Valid_SectorSize(g.BytesPerSector) || !Power_OfTwo(g.SectorsPerCluster)) return std::nullopt;
    g.TotalSectors = f.TotalSectors32;
    // Small volumes keep their count in the 16-bit field at 19 and leave the 32-bit one 0.
    if (g.TotalSectors == 0) g.TotalSectors = f.TotalSectors16;
    const uint64_t reserved = f.ReservedSectors;
    const uint64_t fats = f.FatCount;
    const uint64_t fatSize = f.FatSectors;
    const uint64_t meta = reserved + fats * fatSize;
    g.DataClusters = g.TotalSectors > meta ? (g.TotalSectors - meta) / g.SectorsPerCluster : 0;
    return g;
}

std::optional<TBootGeometry> Parse_NtfsBoot(std::span<const uint8_t> s) {
    if (s.size() < 512 || !Bytes_Equal(s, 3, "NTFS", 4)) return std::nullopt;
    const TBootFields f = Read_BootFields(s);
    TBootGeometry g;
    g.Fs = "NTFS";
    g.BytesPerSector = f.BytesPerSector;
    const uint32_t raw = f.SectorsPerCluster;
    if (raw > 0x80) {
        const uint32_t shift = 256 - raw;
        if (shift > 24) return std::nullopt;
        g.SectorsPerCluster = 1u << shift;
    } else {
        g.SectorsPerCluster = raw;
    }
    if (!Valid_SectorSize(g.BytesPerSector) || !Power_OfTwo(g.SectorsPerCluster)) return std::nullopt;
    g.TotalSectors = f.NtfsTotalSectors;
    if (!Plausible_SectorCount(g.TotalSectors)) return std::nullopt;
    g.DataClusters = g.TotalSectors / g.SectorsPerCluster;
    return g;
}

std::optional<TBootGeometry> Parse_ExfatBoot(std::span<const uint8_t> s) {
    if (s.size() < 512 || !Bytes_Equal(s, 3, "EXFAT", 5)) return std::nullopt;
    const TBootFields f = Read_BootFields(s);
    const uint32_t bpsShift = f.ExfatBpsShift;
    const uint32_t spcShift = f.ExfatSpcShift;
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) return std::nullopt;
    TBootGeometry g;
    g.Fs = "exFAT";
    g.BytesPerSector = 1u << bpsShift;
    g.SectorsPerCluster = 1u << spcShift;
    g.TotalSectors = f.ExfatVolumeLength;
    if (!Plausible_SectorCount(g.TotalSectors)) return std::nullopt;
    g.DataClusters = f.ExfatClusterCount;
    return g;
}

std::optional<TBootGeometry> Parse_BootSector(std::span<const uint8_t> s) {
    if (auto g = Parse_NtfsBoot(s)) return g;
    if (auto g = Parse_Fat32Boot(s)) return g;
    return Parse_ExfatBoot(s);
}

TPartEntry Get_PartEntry(std::span<const uint8_t> s, int index) {
    TPartEntry e;
    if (index < 0 || index > 3) return e;
    const int64_t base = 446 + int64_t(index) * 16;
    e.Type = U8_At(s, base + 4);
    e.FirstSector = LE32_At(s, base + 8);
    e.SectorCount = LE32_At(s, base + 12);
    return e;
}

void Apply_BootGeometry(TLogHDD& v) {
    std::vector<uint8_t> boot(512, 0);
    // Listing never asks udisks2: no authorisation request before the user picks a source.
    if (auto src = Open_SourceWithFlags(v.LogPan, O_RDONLY)) src->Read_At(boot.data(), boot.size(), 0);
    const auto geo = Parse_BootSector(boot);
    if (!geo) return;
    v.BytesPerSector = geo->BytesPerSector;
    v.SectorsPerCluster = geo->SectorsPerCluster;
    v.TotalClusters = uint32_t(std::min<uint64_t>(geo->DataClusters, UINT32_MAX));
    v.NumFreeClusters = 0;
    const uint64_t cluster = uint64_t(v.BytesPerSector) * v.SectorsPerCluster;
    if (v.FsFreeBytes >= 0 && cluster > 0)
        v.NumFreeClusters = uint32_t(std::min<uint64_t>(uint64_t(v.FsFreeBytes) / cluster, UINT32_MAX));
}

} // namespace qrv
