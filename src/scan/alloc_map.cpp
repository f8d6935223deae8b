#include "scan/alloc_map.h"

#include <mutex>
#include <vector>

#include "common/byte_order.h"
#include "media/boot_sector.h"
#include "media/raw_access.h"
#include "media/tree_data.h"

namespace qrv {

namespace {

constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr int64_t kMaxRecordSize = int64_t(1) << 20; // far above any real file record

// Checked 64-bit arithmetic: false when the result does not fit.
bool Mul(int64_t a, int64_t b, int64_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}
bool Add(int64_t a, int64_t b, int64_t& out) {
    return !__builtin_add_overflow(a, b, &out);
}

// V + sectors x bytes per sector, checked; -1 when it overflows or is negative.
int64_t Sector_Offset(int64_t V, int64_t sectors, int64_t bytesPerSector) {
    int64_t rel = 0, abs = 0;
    if (!Mul(sectors, bytesPerSector, rel) || !Add(V, rel, abs) || rel < 0 || abs < 0) return -1;
    return abs;
}

TAllocMap Load_Fat32(std::span<const uint8_t> boot, int64_t V) {
    TAllocMap m;
    const TBootFields f = Read_BootFields(boot);
    const int64_t bps = f.BytesPerSector;
    const int64_t reservedBytes = int64_t(f.ReservedSectors) * bps;
    const int64_t fatBytes = int64_t(f.FatSectors) * bps; // at most 2^48: no overflow
    const int64_t extent = reservedBytes + 2 * fatBytes;
    int64_t start = 0, data = 0, end = 0;
    if (!Add(V, reservedBytes, start) || !Add(V, extent, data) || !Add(start, fatBytes, end)) return m;
    m.MapStart = start;
    m.MapLength = fatBytes;
    m.MapExtent = extent;
    m.DataStart = data; // the data area follows exactly two FATs
    m.Loaded = true;
    return m;
}

TAllocMap Load_Exfat(TSource& h, std::span<const uint8_t> boot, int64_t V) {
    TAllocMap m;
    const TBootFields f = Read_BootFields(boot);
    const unsigned bpsShift = f.ExfatBpsShift;
    const unsigned spcShift = f.ExfatSpcShift;
    if (bpsShift > 30 || spcShift > 30) return m;
    const int64_t bps = int64_t(1) << bpsShift;
    const int64_t spc = int64_t(1) << spcShift;
    const int64_t heap = f.ExfatHeapOffset;
    const int64_t root = f.ExfatRootCluster;
    if (root < 2) return m;

    // Sector of cluster c (c >= 2) relative to the volume start.
    auto clusterSector = [&](int64_t c, int64_t& sec) {
        int64_t t = 0;
        return Mul(c - 2, spc, t) && Add(t, heap, sec);
    };
    int64_t rootSec = 0;
    if (!clusterSector(root, rootSec)) return m;
    const int64_t R = Sector_Offset(V, rootSec, bps);
    if (R < 0) return m;

    const std::vector<uint8_t> dir = Get_Bytes(h, 512, R);
    const TExfatBitmapEntry e = Find_ExfatBitmapEntry(dir);
    if (!e.Usable() || e.FirstCluster < 2 || e.DataLength > uint64_t(INT64_MAX)) return m;

    int64_t mapSec = 0, rel = 0, heapStart = 0, mapEnd = 0;
    if (!clusterSector(e.FirstCluster, mapSec) || !Mul(mapSec, bps, rel)) return m;
    const int64_t mapStart = Sector_Offset(V, mapSec, bps);
    heapStart = Sector_Offset(V, heap, bps);
    if (mapStart < 0 || heapStart < 0 || !Add(mapStart, int64_t(e.DataLength), mapEnd)) return m;

    m.MapStart = mapStart;
    m.MapLength = int64_t(e.DataLength);
    m.MapExtent = rel;
    // Cluster 2 is the first cluster of the heap; the bitmap usually lives
    // there, but its own position does not define where the heap begins.
    m.DataStart = heapStart;
    m.Loaded = true;
    return m;
}

TAllocMap Load_Ntfs(TSource& h, std::span<const uint8_t> boot, int64_t V) {
    TAllocMap m;
    const TBootFields f = Read_BootFields(boot);
    const int64_t bps = f.BytesPerSector;
    const int64_t spc = f.SectorsPerCluster;
    const int64_t clusterBytes = bps * spc;
    const int64_t recSize = Ntfs_RecordSize(f.NtfsRecordSize, spc, bps);
    if (recSize <= 0 || clusterBytes <= 0) return m;

    int64_t mftRel = 0, T = 0;
    const uint64_t mftCluster = f.NtfsMftCluster;
    if (mftCluster > uint64_t(INT64_MAX) || !Mul(int64_t(mftCluster), clusterBytes, mftRel) ||
        !Add(V, mftRel, T) || T < 0)
        return m;

    std::vector<uint8_t> rec;
    TNtfsAttr data;
    for (int64_t i = 6; i < 16 && !data.Found(); ++i) {
        int64_t off = 0;
        if (!Add(T, i * recSize, off)) return m;
        rec = Get_Bytes(h, recSize, off);
        const std::span<const uint8_t> r(rec);
        const TNtfsAttr fn = Find_NtfsAttribute(r, kAttrFileName, true);
        if (!fn.Found() || Ntfs_AsciiName(r.subspan(size_t(fn.Offset), size_t(fn.Length))) != "$Bitmap")
            continue;
        data = Find_NtfsAttribute(r, kAttrData, false);
    }
    if (!data.Found()) return m;

    const std::span<const uint8_t> attr =
        std::span<const uint8_t>(rec).subspan(size_t(data.Offset), size_t(data.Length));
    if (U8_At(attr, 8) != 1) return m; // a resident data attribute has no run list
    const TNtfsRun run = Decode_FirstRun(attr);
    if (!run.Valid || run.Cluster > uint64_t(INT64_MAX) || run.Length > uint64_t(INT64_MAX)) return m;

    int64_t rel = 0, start = 0, len = 0, end = 0;
    if (!Mul(int64_t(run.Cluster), clusterBytes, rel) || !Add(V, rel, start) ||
        !Mul(int64_t(run.Length), clusterBytes, len) || !Add(start, len, end))
        return m;
    const uint64_t dataSize = LE64_At(attr, 48);
    m.MapStart = start;
    m.MapLength = len;
    m.MapExtent = dataSize > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(dataSize);
    m.MftRecordSize = int32_t(recSize);
    m.DataStart = 0;
    m.Loaded = true;
    return m;
}

} // namespace

int64_t Ntfs_RecordSize(uint8_t f, int64_t sectorsPerCluster, int64_t bytesPerSector) {
    int64_t size = 0;
    if (f > 127) {
        const int shift = 256 - int(f);
        if (shift > 20) return 0;
        size = int64_t(1) << shift;
    } else if (!Mul(int64_t(f) * sectorsPerCluster, bytesPerSector, size)) {
        return 0;
    }
    return size > 0 && size <= kMaxRecordSize ? size : 0;
}

TNtfsAttr Find_NtfsAttribute(std::span<const uint8_t> record, uint32_t type, bool nameSpaceRule) {
    int64_t pos = Tag_At(record, 0, "FILE") ? int64_t(LE16_At(record, 0x14)) : 0;
    while (Fits(record, pos, 8)) {
        const uint32_t t = LE32_At(record, pos);
        if (t == kAttrEnd) break;
        const int64_t len = LE32_At(record, pos + 4);
        if (len == 0 || !Fits(record, pos, len)) break; // no progress, or past the record
        if (t == type) {
            if (!(nameSpaceRule && type == kAttrFileName)) return {pos, len};
            // File name: length byte at 88, name space at 89, UTF-16 name from 90.
            if (len < 90) break;
            const int64_t nameBytes = 2 * int64_t(record[size_t(pos + 88)]);
            if (90 + nameBytes > len) break;
            const uint8_t ns = record[size_t(pos + 89)];
            if (ns == 0 || ns == 1 || ns == 3) return {pos, len};
            // A short (DOS) name: look at the rest of the record.
        }
        pos += len;
    }
    return {};
}

std::string Ntfs_AsciiName(std::span<const uint8_t> attr) {
    const int64_t count = U8_At(attr, 88);
    if (!Fits(attr, 90, 2 * count)) return {};
    std::string name;
    for (int64_t i = 0; i < count; ++i) {
        const uint16_t u = LE16_At(attr, 90 + 2 * i);
        if (u == 0 || u > 0x7F) return {};
        name.push_back(char(u));
    }
    return name;
}

TNtfsRun Decode_FirstRun(std::span<const uint8_t> attr) {
    TNtfsRun r;
    const int64_t end = int64_t(attr.size());
    int64_t pos = LE16_At(attr, 32);
    if (!Fits(attr, 32, 2)) return r;
    while (pos < end) {
        const uint8_t hdr = attr[size_t(pos)];
        if (hdr == 0) break;
        const int lenBytes = hdr & 0x0F;
        const int clusterBytes = hdr >> 4;
        if (lenBytes > 8 || clusterBytes > 8 || !Fits(attr, pos + 1, lenBytes + clusterBytes)) break;
        uint64_t len = 0, cl = 0;
        for (int i = 0; i < lenBytes; ++i)
            len |= uint64_t(attr[size_t(pos + 1 + i)]) << (8 * i);
        for (int i = 0; i < clusterBytes; ++i)
            cl |= uint64_t(attr[size_t(pos + 1 + lenBytes + i)]) << (8 * i);
        if (r.Count == 0) {
            // A first run without a length or without a cluster (sparse) places no map.
            if (lenBytes == 0 || clusterBytes == 0 || len == 0) return r;
            r.Length = len;
            r.Cluster = cl;
            r.Valid = true;
        }
        ++r.Count;
        pos += 1 + lenBytes + clusterBytes;
    }
    return r;
}

TExfatBitmapEntry Find_ExfatBitmapEntry(std::span<const uint8_t> dir) {
    TExfatBitmapEntry e;
    for (int64_t off = 0; off < 512 && Fits(dir, off, 32); off += 32) {
        if (dir[size_t(off)] != 0x81) continue;
        e.Offset = off;
        e.FirstCluster = LE32_At(dir, off + 20);
        e.DataLength = LE64_At(dir, off + 24);
        break;
    }
    return e;
}

TAllocMap Load_AllocMap(TSource& h, const std::string& fs, int64_t V) {
    if (!Is_KnownFs(fs) || V < 0) return {};
    const std::vector<uint8_t> boot = Get_Bytes(h, 512, V);
    if (!Has_LooseBootSignature(boot)) return {};
    if (fs == "FAT32") return Load_Fat32(boot, V);
    if (fs == "exFAT") return Load_Exfat(h, boot, V);
    return Load_Ntfs(h, boot, V);
}

int Get_ClusterState(TSource& h, const std::string& fs, const TAllocMap& map, int64_t cluster) {
    const bool fat = fs == "FAT32";
    if (!fat && fs != "exFAT" && fs != "NTFS") return 255;
    if (!map.Loaded || map.MapLength <= 0 || map.MapStart < 0) return 255;

    int64_t x = 0; // map byte offset of the entry
    int bit = 0;   // bitmaps: bit inside that byte
    int width = 1; // bytes of the entry
    if (fat) {
        if (cluster < 0 || !Mul(cluster, 4, x)) return 255;
        width = 4;
    } else {
        const int64_t b = fs == "exFAT" ? cluster - 2 : cluster;
        if (b < 0) return 255;
        x = b / 8;
        bit = int(b % 8);
    }
    // Entries outside the map would be read from whatever follows it.
    if (x > map.MapLength - width) return 255;

    TAllocWindow& w = map.Window;
    std::lock_guard<std::mutex> lock(w.Lock);
    if (!w.Full || w.Src != &h || w.MapStart != map.MapStart || x < w.Start ||
        x >= w.Start + kAllocWindowBytes) {
        w.Start = Round_Down(x, kAllocWindowBytes);
        w.Bytes = Get_Bytes(h, kAllocWindowBytes, map.MapStart + w.Start); // MapStart + MapLength fits
        if (int64_t(w.Bytes.size()) != kAllocWindowBytes) w.Bytes.assign(size_t(kAllocWindowBytes), 0);
        w.Src = &h;
        w.MapStart = map.MapStart;
        w.Full = true;
    }
    const int64_t i = x - w.Start;
    int answer;
    if (fat) {
        answer = Get_LE32(&w.Bytes[size_t(i)]) != 0 ? 1 : 0;
        if ((cluster + 1) * 4 % kAllocWindowBytes == 0) w.Full = false;
    } else {
        answer = (w.Bytes[size_t(i)] >> bit) & 1;
        if (i == kAllocWindowBytes - 1 && bit == 7) w.Full = false;
    }
    return answer;
}

int64_t Cluster_Of(const std::string& fs, const TAllocMap& map, int64_t V, int64_t clusterBytes, int64_t X) {
    if (clusterBytes <= 0) return -1;
    if (fs == "NTFS") return X < V ? -1 : (X - V) / clusterBytes;
    if (fs == "FAT32" || fs == "exFAT") return X < map.DataStart ? -1 : (X - map.DataStart) / clusterBytes + 2;
    return -1;
}

} // namespace qrv
