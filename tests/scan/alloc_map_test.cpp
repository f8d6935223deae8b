// Allocation maps over volumes crafted byte by byte: boot-sector geometry, the
// map window and its reloads, the NTFS record walk and malformed structures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_order.h"
#include "scan/alloc_map.h"
#include "media/boot_sector.h"

using namespace qrv;

namespace {

// A memory source that logs the offsets it was asked to read.
class TLogSource : public TSource {
  public:
    explicit TLogSource(std::vector<uint8_t> bytes) : mem(std::move(bytes)) {}
    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        reads.push_back(off);
        return mem.Read_At(buf, len, off);
    }
    int64_t Size() override { return mem.Size(); }
    const std::string& Path() const override { return mem.Path(); }
    std::vector<uint8_t>& Bytes() { return mem.Bytes(); }
    TMemorySource mem;
    std::vector<int64_t> reads;
};

void Sign(std::vector<uint8_t>& img, int64_t V) {
    img[size_t(V + 510)] = 0x55;
    img[size_t(V + 511)] = 0xAA;
}

// FAT32 boot sector at V.
void Put_Fat32Boot(std::vector<uint8_t>& img, int64_t V, uint16_t bps, uint16_t reserved, uint32_t spf) {
    Put_LE16(&img[size_t(V + 0x0B)], bps);
    img[size_t(V + 0x0D)] = 1;
    Put_LE16(&img[size_t(V + 0x0E)], reserved);
    Put_LE32(&img[size_t(V + 0x24)], spf);
    Sign(img, V);
}

// ---- NTFS file records ----

std::vector<uint8_t> Attr(uint32_t type, size_t len) {
    std::vector<uint8_t> a(len, 0);
    Put_LE32(&a[0], type);
    Put_LE32(&a[4], uint32_t(len));
    return a;
}

std::vector<uint8_t> FileNameAttr(const std::u16string& name, uint8_t nameSpace) {
    std::vector<uint8_t> a = Attr(0x30, (90 + 2 * name.size() + 7) / 8 * 8);
    a[88] = uint8_t(name.size());
    a[89] = nameSpace;
    for (size_t i = 0; i < name.size(); ++i)
        Put_LE16(&a[90 + 2 * i], uint16_t(name[i]));
    return a;
}

std::vector<uint8_t> DataAttr(const std::vector<uint8_t>& runs, uint64_t dataSize) {
    std::vector<uint8_t> a = Attr(0x80, (64 + runs.size() + 1 + 7) / 8 * 8);
    a[8] = 1; // non-resident
    Put_LE16(&a[32], 64);
    Put_LE64(&a[48], dataSize);
    std::copy(runs.begin(), runs.end(), a.begin() + 64);
    return a;
}

std::vector<uint8_t> Record(size_t size, const std::vector<std::vector<uint8_t>>& attrs, bool end = true) {
    std::vector<uint8_t> r(size, 0);
    std::memcpy(r.data(), "FILE", 4);
    Put_LE16(&r[0x14], 0x38);
    size_t pos = 0x38;
    for (const auto& a : attrs) {
        std::copy(a.begin(), a.end(), r.begin() + int64_t(pos));
        pos += a.size();
    }
    if (end) Put_LE32(&r[pos], 0xFFFFFFFF);
    return r;
}

// An NTFS volume in memory: 512-byte sectors, `spc` sectors per cluster, file
// record table at cluster 4, $Bitmap in record `slot` with its data in one run.
struct TNtfsVolume {
    int64_t V = 0;
    int64_t spc = 8;
    int64_t recSize = 1024;
    uint8_t f40 = 0xF6;
    int slot = 6;
    uint64_t runCluster = 64;
    uint64_t runLength = 24;
    uint64_t dataSize = 90000;
    std::vector<std::vector<uint8_t>> attrs; // empty: the usual $Bitmap record

    std::vector<uint8_t> Build(int64_t bytes) const {
        std::vector<uint8_t> img(size_t(bytes), 0);
        const int64_t cb = 512 * spc;
        memcpy(&img[size_t(V + 3)], "NTFS    ", 8);
        Put_LE16(&img[size_t(V + 0x0B)], 512);
        img[size_t(V + 0x0D)] = uint8_t(spc);
        Put_LE64(&img[size_t(V + 0x30)], 4);
        img[size_t(V + 0x40)] = f40;
        Sign(img, V);
        std::vector<uint8_t> runs = {0x31,
                                     uint8_t(runLength),
                                     uint8_t(runCluster),
                                     uint8_t(runCluster >> 8),
                                     uint8_t(runCluster >> 16),
                                     0x00};
        auto list = attrs.empty()
                        ? std::vector<std::vector<uint8_t>>{Attr(0x10, 72), FileNameAttr(u"$Bitmap", 3),
                                                            DataAttr(runs, dataSize)}
                        : attrs;
        const std::vector<uint8_t> rec = Record(size_t(recSize), list);
        std::copy(rec.begin(), rec.end(), img.begin() + V + 4 * cb + slot * recSize);
        return img;
    }
};

} // namespace

TEST(AllocMapFat32, GeometryFollowsReservedSectorsAndTwoFats) {
    std::vector<uint8_t> img(4 << 20, 0);
    Put_Fat32Boot(img, 0, 512, 32, 1000);
    TMemorySource src(img);
    TAllocMap m = Load_AllocMap(src, "FAT32", 0);
    ASSERT_TRUE(m.Loaded);
    EXPECT_EQ(m.MapStart, 16384);
    EXPECT_EQ(m.MapLength, 512000);
    EXPECT_EQ(m.MapExtent, 1040384);
    EXPECT_EQ(m.DataStart, 1040384);
    EXPECT_EQ(m.MftRecordSize, 0);

    // The same volume one MiB into the medium: absolute offsets move, the extent does not.
    std::vector<uint8_t> img2(4 << 20, 0);
    Put_Fat32Boot(img2, 1 << 20, 512, 32, 1000);
    TMemorySource src2(img2);
    TAllocMap m2 = Load_AllocMap(src2, "FAT32", 1 << 20);
    ASSERT_TRUE(m2.Loaded);
    EXPECT_EQ(m2.MapStart, (1 << 20) + 16384);
    EXPECT_EQ(m2.DataStart, (1 << 20) + 1040384);
    EXPECT_EQ(m2.MapExtent, 1040384);
    EXPECT_FALSE(Load_AllocMap(src2, "FAT32", 0).Loaded); // no boot sector at 0
}

TEST(AllocMapBoot, EitherSignatureByteIsEnoughAndNoneRefuses) {
    for (const char* fs : {"FAT32", "exFAT", "NTFS"}) {
        SCOPED_TRACE(fs);
        std::vector<uint8_t> img(1 << 20, 0);
        Put_Fat32Boot(img, 0, 512, 32, 8);
        TNtfsVolume nv;
        if (std::string(fs) == "NTFS") img = nv.Build(1 << 20);
        if (std::string(fs) == "exFAT") {
            img[0x6C] = 9;
            img[0x6D] = 0;
            Put_LE32(&img[0x58], 64);
            Put_LE32(&img[0x60], 4);
            uint8_t* e = &img[size_t((64 + 2) * 512)];
            e[0] = 0x81;
            Put_LE32(e + 20, 2);
            Put_LE64(e + 24, 1000);
        }
        img[510] = 0x55;
        img[511] = 0;
        EXPECT_TRUE(Load_AllocMap(*std::make_unique<TMemorySource>(img), fs, 0).Loaded);
        img[510] = 0;
        img[511] = 0xAA;
        EXPECT_TRUE(Load_AllocMap(*std::make_unique<TMemorySource>(img), fs, 0).Loaded);
        img[511] = 0;
        EXPECT_FALSE(Load_AllocMap(*std::make_unique<TMemorySource>(img), fs, 0).Loaded);
    }
}

// A source is described as holding a boot sector only with both signature
// bytes; the map loader, which already knows the file system, takes either.
TEST(AllocMapBoot, TheTwoSignatureRules) {
    struct TCase {
        uint8_t B510, B511;
        size_t Size;
        bool Strict, Loose;
    };
    const TCase cases[] = {
        {0x55, 0xAA, 512, true, true}, {0x55, 0x00, 512, false, true}, {0x00, 0xAA, 512, false, true},
        {0x00, 0x00, 512, false, false}, {0x55, 0xAA, 511, false, false},
    };
    for (const TCase& c : cases) {
        std::vector<uint8_t> s(512, 0);
        s[510] = c.B510;
        s[511] = c.B511;
        const std::span<const uint8_t> sector(s.data(), c.Size);
        EXPECT_EQ(Has_BootSignature(sector), c.Strict) << int(c.B510) << " " << int(c.B511) << " " << c.Size;
        EXPECT_EQ(Has_LooseBootSignature(sector), c.Loose) << int(c.B510) << " " << int(c.B511) << " " << c.Size;
    }
}

TEST(AllocMapOther, Fat16AndRawGetNoMapAndNothingIsRead) {
    std::vector<uint8_t> img(1 << 20, 0);
    Put_Fat32Boot(img, 0, 512, 32, 8);
    TLogSource src(img);
    for (const char* fs : {"FAT", "RAW", "", "fat32"}) {
        EXPECT_FALSE(Load_AllocMap(src, fs, 0).Loaded) << fs;
        TAllocMap fake;
        fake.Loaded = true;
        fake.MapStart = 16384;
        fake.MapLength = 4096;
        for (int64_t c : {0, 2, 100, 1000000})
            EXPECT_EQ(Get_ClusterState(src, fs, fake, c), 255) << fs;
    }
    EXPECT_TRUE(src.reads.empty());
    // A map that did not load answers "unknown" too, for the three known systems.
    for (const char* fs : {"FAT32", "exFAT", "NTFS"})
        EXPECT_EQ(Get_ClusterState(src, fs, TAllocMap{}, 5), 255);
}

TEST(AllocMapFat32, WindowCoversSixteenThousandEntriesAndReloadsAtTheEdge) {
    // 32 reserved sectors, a FAT of 400 sectors (51,200 entries).
    std::vector<uint8_t> img(1 << 20, 0);
    Put_Fat32Boot(img, 0, 512, 32, 400);
    const int64_t fat = 16384;
    auto expected = [](int64_t c) { return (c % 3 == 0 || c % 7 == 1) ? 1 : 0; };
    for (int64_t c = 0; c < 51200; ++c) {
        // Alternate which bytes carry the value so all 32 bits are examined.
        const uint32_t v = expected(c) ? (uint32_t(1) << (c % 32)) : 0;
        Put_LE32(&img[size_t(fat + 4 * c)], v);
    }
    TLogSource src(img);
    TAllocMap m = Load_AllocMap(src, "FAT32", 0);
    ASSERT_TRUE(m.Loaded);
    m.Window.Clear();
    src.reads.clear();

    for (int64_t c = 2; c < 16384; ++c)
        ASSERT_EQ(Get_ClusterState(src, "FAT32", m, c), expected(c)) << c;
    ASSERT_EQ(src.reads.size(), 1u); // one window for entries 0 .. 16,383
    EXPECT_EQ(src.reads[0], fat);
    EXPECT_EQ(Get_ClusterState(src, "FAT32", m, 16384), expected(16384));
    ASSERT_EQ(src.reads.size(), 2u);
    EXPECT_EQ(src.reads[1], fat + 65536);
    for (int64_t c = 16385; c < 51200; ++c)
        ASSERT_EQ(Get_ClusterState(src, "FAT32", m, c), expected(c)) << c;
    EXPECT_EQ(src.reads.size(), 4u); // 51,200 entries span four windows
    // Past the FAT: unknown, not the second FAT's bytes.
    EXPECT_EQ(Get_ClusterState(src, "FAT32", m, 51200), 255);
    EXPECT_EQ(Get_ClusterState(src, "FAT32", m, -1), 255);
}

TEST(AllocMapFat32, HighBitsAloneMeanAllocatedAndWindowFollowsBackwardQueries) {
    std::vector<uint8_t> img(1 << 20, 0);
    Put_Fat32Boot(img, 0, 512, 32, 400);
    Put_LE32(&img[16384 + 4 * 5], 0xF0000000);
    Put_LE32(&img[16384 + 4 * 20000], 0x0FFFFFFF);
    TLogSource src(img);
    TAllocMap m = Load_AllocMap(src, "FAT32", 0);
    m.Window.Clear();
    src.reads.clear();
    EXPECT_EQ(Get_ClusterState(src, "FAT32", m, 5), 1);
    EXPECT_EQ(Get_ClusterState(src, "FAT32", m, 20000), 1); // another window without a drop
    ASSERT_EQ(src.reads.size(), 2u);
    EXPECT_EQ(src.reads[1], 16384 + 65536);
    EXPECT_EQ(Get_ClusterState(src, "FAT32", m, 6), 0); // and back again
    EXPECT_EQ(Get_ClusterState(src, "FAT32", m, 5), 1);
    ASSERT_EQ(src.reads.size(), 3u);
    EXPECT_EQ(src.reads[2], 16384);
    // Another source with the same map geometry must not be answered from the old window.
    std::vector<uint8_t> other = img;
    Put_LE32(&other[16384 + 4 * 5], 0);
    TLogSource src2(other);
    EXPECT_EQ(Get_ClusterState(src2, "FAT32", m, 5), 0);
}

TEST(AllocMapNtfs, RecordSizeFromByte40) {
    EXPECT_EQ(Ntfs_RecordSize(0xF6, 8, 512), 1024);
    EXPECT_EQ(Ntfs_RecordSize(0x01, 8, 512), 4096);
    EXPECT_EQ(Ntfs_RecordSize(0xF4, 1, 512), 4096);
    EXPECT_EQ(Ntfs_RecordSize(0x00, 8, 512), 0);
    EXPECT_EQ(Ntfs_RecordSize(0x80, 8, 512), 0); // 2^128: not a size
    EXPECT_EQ(Ntfs_RecordSize(0x7F, 128, 65535), 0);

    TNtfsVolume v;
    v.f40 = 0x01; // one cluster per record: 4,096 bytes
    v.recSize = 4096;
    TMemorySource src(v.Build(2 << 20));
    TAllocMap m = Load_AllocMap(src, "NTFS", 0);
    ASSERT_TRUE(m.Loaded);
    EXPECT_EQ(m.MftRecordSize, 4096);
}

TEST(AllocMapNtfs, BitmapRecordGivesMapAndClusterSixHundredThousandIsInTheSecondWindow) {
    TNtfsVolume v;
    v.V = 1 << 20;
    v.slot = 15; // the last record searched
    std::vector<uint8_t> img = v.Build(4 << 20);
    const int64_t mapStart = v.V + 64 * 4096;
    img[size_t(mapStart + 75000)] = 0x01; // cluster 600,000
    img[size_t(mapStart + 74999)] = 0x80; // cluster 599,999
    img[size_t(mapStart + 65535)] = 0x80; // cluster 524,287: last of the first window
    TLogSource src(img);
    TAllocMap m = Load_AllocMap(src, "NTFS", v.V);
    ASSERT_TRUE(m.Loaded);
    EXPECT_EQ(m.MapStart, mapStart);
    EXPECT_EQ(m.MapLength, 24 * 4096);
    EXPECT_EQ(m.MapExtent, 90000);
    EXPECT_EQ(m.MftRecordSize, 1024);
    EXPECT_EQ(m.DataStart, 0);

    m.Window.Clear();
    src.reads.clear();
    EXPECT_EQ(Get_ClusterState(src, "NTFS", m, 524286), 0);
    EXPECT_EQ(Get_ClusterState(src, "NTFS", m, 524287), 1);
    ASSERT_EQ(src.reads.size(), 1u);
    EXPECT_EQ(src.reads[0], mapStart);
    EXPECT_EQ(Get_ClusterState(src, "NTFS", m, 524288), 0); // next window after the drop
    ASSERT_EQ(src.reads.size(), 2u);
    EXPECT_EQ(src.reads[1], mapStart + 65536);
    EXPECT_EQ(Get_ClusterState(src, "NTFS", m, 599999), 1);
    EXPECT_EQ(Get_ClusterState(src, "NTFS", m, 600000), 1);
    EXPECT_EQ(Get_ClusterState(src, "NTFS", m, 600001), 0);
    EXPECT_EQ(src.reads.size(), 2u); // byte 75,000 is index 9,464 of the window at 65,536
    // Cluster numbering counts from the volume start.
    EXPECT_EQ(Cluster_Of("NTFS", m, v.V, 4096, v.V + 600000LL * 4096 + 17), 600000);
    EXPECT_EQ(Cluster_Of("NTFS", m, v.V, 4096, v.V - 1), -1);
    // Beyond the run the map is not known.
    EXPECT_EQ(Get_ClusterState(src, "NTFS", m, 24 * 4096 * 8), 255);
}

TEST(AllocMapNtfs, FileNameSpaceRuleAndWhereTheRecordIsSearched) {
    std::vector<uint8_t> runs = {0x31, 4, 0x40, 0, 0, 0};
    {
        // Short name first, then the long one: the long one counts.
        TNtfsVolume v;
        v.attrs = {Attr(0x10, 72), FileNameAttr(u"$BITMAP", 2), FileNameAttr(u"$Bitmap", 1),
                   DataAttr(runs, 100)};
        TMemorySource src(v.Build(2 << 20));
        EXPECT_TRUE(Load_AllocMap(src, "NTFS", 0).Loaded);
    }
    {
        // Only a short name: no $Bitmap.
        TNtfsVolume v;
        v.attrs = {FileNameAttr(u"$Bitmap", 2), DataAttr(runs, 100)};
        TMemorySource src(v.Build(2 << 20));
        EXPECT_FALSE(Load_AllocMap(src, "NTFS", 0).Loaded);
    }
    {
        // Another name, or no data attribute.
        TNtfsVolume v;
        v.attrs = {FileNameAttr(u"$Bitmap2", 3), DataAttr(runs, 100)};
        TMemorySource a(v.Build(2 << 20));
        EXPECT_FALSE(Load_AllocMap(a, "NTFS", 0).Loaded);
        v.attrs = {FileNameAttr(u"$Bitmap", 3), Attr(0x90, 64)};
        TMemorySource b(v.Build(2 << 20));
        EXPECT_FALSE(Load_AllocMap(b, "NTFS", 0).Loaded);
    }
    for (int slot : {5, 16}) {
        // Records outside 6 .. 15 are not searched.
        TNtfsVolume v;
        v.slot = slot;
        TMemorySource src(v.Build(2 << 20));
        EXPECT_FALSE(Load_AllocMap(src, "NTFS", 0).Loaded) << slot;
    }
}

TEST(AllocMapNtfs, MalformedRecordsEndTheWalkCleanly) {
    const std::vector<uint8_t> name = FileNameAttr(u"$Bitmap", 3);
    // Attribute length 0 before the file name.
    {
        std::vector<uint8_t> zero = Attr(0x10, 72);
        Put_LE32(&zero[4], 0);
        auto rec = Record(1024, {zero, name});
        EXPECT_FALSE(Find_NtfsAttribute(rec, 0x30, true).Found());
    }
    // Length running past the record.
    {
        std::vector<uint8_t> big = Attr(0x10, 72);
        Put_LE32(&big[4], 0x7FFFFFF0);
        auto rec = Record(1024, {big, name});
        EXPECT_FALSE(Find_NtfsAttribute(rec, 0x30, true).Found());
    }
    // Name length past the attribute and past the record.
    {
        std::vector<uint8_t> bad = name;
        bad[88] = 255;
        auto rec = Record(256, {bad}, false);
        EXPECT_FALSE(Find_NtfsAttribute(rec, 0x30, true).Found());
        EXPECT_EQ(Ntfs_AsciiName(bad), "");
        // A file-name attribute too short for its own header fields.
        auto tiny = Record(256, {Attr(0x30, 48)});
        EXPECT_FALSE(Find_NtfsAttribute(tiny, 0x30, true).Found());
    }
    // First-attribute offset beyond a short record, and records of a few bytes.
    {
        std::vector<uint8_t> rec(0x20, 0);
        memcpy(rec.data(), "FILE", 4);
        Put_LE16(&rec[0x14], 0x400);
        EXPECT_FALSE(Find_NtfsAttribute(rec, 0x30, true).Found());
        for (size_t n = 0; n < 12; ++n) {
            std::vector<uint8_t> r(rec.begin(), rec.begin() + int64_t(n));
            EXPECT_FALSE(Find_NtfsAttribute(r, 0x80, false).Found());
        }
    }
    // No "FILE": the walk starts at 0 (a remainder of a record).
    {
        std::vector<uint8_t> rest = name;
        rest.resize(rest.size() + 8, 0);
        Put_LE32(&rest[name.size()], 0xFFFFFFFF);
        TNtfsAttr a = Find_NtfsAttribute(rest, 0x30, true);
        ASSERT_TRUE(a.Found());
        EXPECT_EQ(a.Offset, 0);
        EXPECT_EQ(a.Length, int64_t(name.size()));
        EXPECT_EQ(Ntfs_AsciiName(rest), "$Bitmap");
        EXPECT_FALSE(Find_NtfsAttribute(rest, 0x80, false).Found()); // stops at FFFFFFFF
    }
    // A volume whose $Bitmap record is damaged loads nothing, without faults.
    {
        TNtfsVolume v;
        std::vector<uint8_t> zero = Attr(0x10, 72);
        Put_LE32(&zero[4], 0);
        v.attrs = {zero, name, DataAttr({0x31, 4, 0x40, 0, 0, 0}, 100)};
        TMemorySource src(v.Build(2 << 20));
        EXPECT_FALSE(Load_AllocMap(src, "NTFS", 0).Loaded);
    }
}

TEST(AllocMapNtfs, RunListsAreBoundedByTheAttribute) {
    auto attrWith = [](std::vector<uint8_t> runs) { return DataAttr(runs, 4096); };
    TNtfsRun r = Decode_FirstRun(attrWith({0x21, 0x10, 0x34, 0x12, 0x11, 0x05, 0x20, 0x00}));
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Length, 0x10u);
    EXPECT_EQ(r.Cluster, 0x1234u);
    EXPECT_EQ(r.Count, 2);
    // Eight-byte fields are the widest; nine is malformed.
    r = Decode_FirstRun(attrWith({0x88, 1, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Length, 1u);
    EXPECT_EQ(r.Cluster, 7u);
    EXPECT_FALSE(Decode_FirstRun(attrWith({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 0})).Valid);
    // A sparse first run (no cluster field) or a zero length places no map.
    EXPECT_FALSE(Decode_FirstRun(attrWith({0x01, 0x10, 0x00})).Valid);
    EXPECT_FALSE(Decode_FirstRun(attrWith({0x11, 0x00, 0x10, 0x00})).Valid);
    // Fields running past the attribute's end.
    std::vector<uint8_t> a = attrWith({});
    a.back() = 0x44; // header in the last byte: its fields would lie outside
    Put_LE16(&a[32], uint16_t(a.size() - 1));
    EXPECT_FALSE(Decode_FirstRun(a).Valid);
    // Run-list offset past the attribute, and attributes shorter than the offset field.
    std::vector<uint8_t> b = attrWith({0x11, 1, 1});
    Put_LE16(&b[32], 0xFFF0);
    EXPECT_FALSE(Decode_FirstRun(b).Valid);
    EXPECT_FALSE(Decode_FirstRun(std::vector<uint8_t>(33, 0x11)).Valid);
}

namespace {

// exFAT volume in memory: 512-byte sectors, 2^spcShift sectors per cluster,
// heap at sector 64, root directory at cluster `root`.
std::vector<uint8_t> Exfat_Volume(int64_t bytes, int64_t V, uint8_t spcShift, uint32_t root,
                                  std::vector<std::vector<uint8_t>> entries) {
    std::vector<uint8_t> img(size_t(bytes), 0);
    memcpy(&img[size_t(V + 3)], "EXFAT   ", 8);
    img[size_t(V + 0x6C)] = 9;
    img[size_t(V + 0x6D)] = spcShift;
    Put_LE32(&img[size_t(V + 0x58)], 64);
    Put_LE32(&img[size_t(V + 0x60)], root);
    Sign(img, V);
    const int64_t R = V + ((int64_t(root) - 2) * (int64_t(1) << spcShift) + 64) * 512;
    for (size_t i = 0; i < entries.size(); ++i)
        std::copy(entries[i].begin(), entries[i].end(), img.begin() + R + 32 * int64_t(i));
    return img;
}

std::vector<uint8_t> Entry(uint8_t type, uint32_t firstCluster = 0, uint64_t length = 0) {
    std::vector<uint8_t> e(32, 0);
    e[0] = type;
    Put_LE32(&e[20], firstCluster);
    Put_LE64(&e[24], length);
    return e;
}

} // namespace

TEST(AllocMapExfat, BitmapEntryInTheFirstSectorOfTheRoot) {
    const int64_t V = 512 * 100;
    // Label entry, then the bitmap at cluster 3 (clusters of 8 sectors), root at cluster 5.
    auto img = Exfat_Volume(4 << 20, V, 3, 5, {Entry(0x83), Entry(0x81, 3, 70000), Entry(0x82, 12, 5836)});
    TLogSource src(img);
    TAllocMap m = Load_AllocMap(src, "exFAT", V);
    ASSERT_TRUE(m.Loaded);
    EXPECT_EQ(m.MapExtent, (8 + 64) * 512);
    EXPECT_EQ(m.MapStart, V + (8 + 64) * 512);
    EXPECT_EQ(m.MapLength, 70000);
    EXPECT_EQ(m.DataStart, V + 64 * 512); // cluster 2 is the start of the heap
    EXPECT_EQ(Cluster_Of("exFAT", m, V, 4096, m.DataStart), 2);
    EXPECT_EQ(Cluster_Of("exFAT", m, V, 4096, m.DataStart + 4096 * 10 + 4095), 12);
    EXPECT_EQ(Cluster_Of("exFAT", m, V, 4096, m.DataStart - 1), -1); // before the heap: no cluster

    // Bit b = cluster - 2; the window holds 524,288 bits.
    img[size_t(m.MapStart)] = 0x05;         // clusters 2 and 4
    img[size_t(m.MapStart + 65535)] = 0x80; // cluster 524,289
    img[size_t(m.MapStart + 65536)] = 0x01; // cluster 524,290
    TLogSource s2(img);
    m.Window.Clear();
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 2), 1);
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 3), 0);
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 4), 1);
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 524288), 0);
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 524289), 1);
    EXPECT_EQ(s2.reads.size(), 1u);
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 524290), 1);
    EXPECT_EQ(s2.reads.size(), 2u);
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 1), 255);             // before the heap
    EXPECT_EQ(Get_ClusterState(s2, "exFAT", m, 2 + 70000 * 8), 255); // past the bitmap
}

TEST(AllocMapExfat, UnusableOrMissingBitmapEntryLeavesTheMapUnloaded) {
    // First cluster 0, or a length of 0: not loaded, and the search stops there.
    for (auto bad : {Entry(0x81, 0, 70000), Entry(0x81, 3, 0)}) {
        auto img = Exfat_Volume(2 << 20, 0, 3, 5, {Entry(0x83), bad, Entry(0x81, 3, 70000)});
        TMemorySource src(img);
        EXPECT_FALSE(Load_AllocMap(src, "exFAT", 0).Loaded);
    }
    // The entry lies in the second sector of the root directory.
    std::vector<std::vector<uint8_t>> entries(16, Entry(0x85));
    entries.push_back(Entry(0x81, 3, 70000));
    auto img = Exfat_Volume(2 << 20, 0, 3, 5, entries);
    TMemorySource src(img);
    EXPECT_FALSE(Load_AllocMap(src, "exFAT", 0).Loaded);
    entries.erase(entries.begin());
    auto img2 = Exfat_Volume(2 << 20, 0, 3, 5, entries); // now the 16th entry
    TMemorySource src2(img2);
    EXPECT_TRUE(Load_AllocMap(src2, "exFAT", 0).Loaded);
    // Root cluster below 2, absurd shifts, a buffer shorter than an entry.
    auto img3 = Exfat_Volume(2 << 20, 0, 3, 5, {Entry(0x81, 3, 70000)});
    Put_LE32(&img3[0x60], 1);
    EXPECT_FALSE(Load_AllocMap(*std::make_unique<TMemorySource>(img3), "exFAT", 0).Loaded);
    Put_LE32(&img3[0x60], 5);
    img3[0x6D] = 200;
    EXPECT_FALSE(Load_AllocMap(*std::make_unique<TMemorySource>(img3), "exFAT", 0).Loaded);
    EXPECT_EQ(Find_ExfatBitmapEntry(std::vector<uint8_t>(31, 0x81)).Offset, -1);
}

TEST(AllocMapCluster, NumberingOfUnits) {
    TAllocMap m;
    m.DataStart = 1040384;
    EXPECT_EQ(Cluster_Of("FAT32", m, 0, 4096, 1040384), 2);
    EXPECT_EQ(Cluster_Of("FAT32", m, 0, 4096, 1040384 + 4096 * 16382), 16384);
    EXPECT_EQ(Cluster_Of("FAT32", m, 0, 4096, 1040383), -1);
    EXPECT_EQ(Cluster_Of("NTFS", m, 8192, 512, 8192 + 512 * 7), 7);
    EXPECT_EQ(Cluster_Of("FAT", m, 0, 4096, 1040384), -1);
    EXPECT_EQ(Cluster_Of("FAT32", m, 0, 0, 1040384), -1);
}
