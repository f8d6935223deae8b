#include <gtest/gtest.h>

#include "media/raw_access.h"
#include "support/test_env.h"

using namespace qrv;

namespace {

// Records the reads it is asked for, so the alignment rule can be checked.
class TProbeSource : public TSource {
  public:
    explicit TProbeSource(int64_t size) : mem_(Pattern(size)) {}
    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        lastOff = off;
        lastLen = len;
        return mem_.Read_At(buf, len, off);
    }
    int64_t Size() override { return mem_.Size(); }
    const std::string& Path() const override { return mem_.Path(); }
    static std::vector<uint8_t> Pattern(int64_t n) {
        std::vector<uint8_t> v(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) v[size_t(i)] = uint8_t(i * 7 + (i >> 8));
        return v;
    }
    TMemorySource mem_;
    int64_t lastOff = -1;
    size_t lastLen = 0;
};

} // namespace

TEST(GetBytes, UnalignedAndAlignedReadsUseSectorAlignedWindows) {
    TProbeSource src(8192);
    auto ref = TProbeSource::Pattern(8192);

    auto a = Get_Bytes(src, 16, 1000);
    ASSERT_EQ(a.size(), 16u);
    EXPECT_EQ(src.lastOff, 512);
    EXPECT_EQ(src.lastLen, 1024u);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), ref.begin() + 1000));

    auto b = Get_Bytes(src, 512, 1024);
    ASSERT_EQ(b.size(), 512u);
    EXPECT_EQ(src.lastOff, 1024);
    EXPECT_EQ(src.lastLen, 1536u);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), ref.begin() + 1024));
}

TEST(GetBytes, EmptyAndAbsurdRequestsGiveEmptyArrays) {
    TProbeSource src(4096);
    EXPECT_TRUE(Get_Bytes(src, 0, 0).empty());
    EXPECT_TRUE(Get_Bytes(src, -5, 0).empty());
    EXPECT_TRUE(Get_Bytes(src, 16, -1).empty());
    EXPECT_TRUE(Get_Bytes(src, int64_t(1) << 40, 0).empty());
}

TEST(GetBytes, ReadInTheLastSectorIsPaddedWithZeros) {
    TProbeSource src(4096);
    auto ref = TProbeSource::Pattern(4096);
    auto v = Get_Bytes(src, 100, 4090);
    ASSERT_EQ(v.size(), 100u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(v[size_t(i)], ref[size_t(4090 + i)]);
    for (size_t i = 6; i < v.size(); ++i) EXPECT_EQ(v[i], 0) << i;
    auto past = Get_Bytes(src, 32, 1 << 20);
    ASSERT_EQ(past.size(), 32u);
    for (auto c : past) EXPECT_EQ(c, 0);
}

TEST(GetSourcePath, EachKindOpensItsDeviceOrFile) {
    TTreeData disk{.Level = 1, .Hddtype = HDD_PHYSICAL, .HddNumber = "/dev/sdb", .HddModel = "SanDisk"};
    EXPECT_EQ(Get_SourcePath(disk), "/dev/sdb");
    TTreeData vol{.Level = 2, .Hddtype = HDD_VOLUME, .HddNumber = "1", .HddModel = "/dev/sdb1"};
    EXPECT_EQ(Get_SourcePath(vol), "/dev/sdb1");
    TTreeData img{.Level = 1, .Hddtype = HDD_IMAGE, .HddNumber = "Image File", .HddModel = "/data/card.img"};
    EXPECT_EQ(Get_SourcePath(img), "/data/card.img");
    TTreeData regDisk{.Level = 2, .Hddtype = HDD_REGION, .HddNumber = "/dev/sdc", .HddModel = "Model X"};
    EXPECT_EQ(Get_SourcePath(regDisk), "/dev/sdc");
    TTreeData regVol{.Level = 3, .Hddtype = HDD_REGION, .HddNumber = "2", .HddModel = "/dev/sdc2"};
    EXPECT_EQ(Get_SourcePath(regVol), "/dev/sdc2");
    TTreeData regImg{.Level = 2, .Hddtype = HDD_REGION, .HddNumber = "Image File", .HddModel = "/data/card.img"};
    EXPECT_EQ(Get_SourcePath(regImg), "/data/card.img");
}
