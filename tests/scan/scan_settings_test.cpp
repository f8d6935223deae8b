// What the scan settings derive from a source: the sector count and default
// range the dialog shows, the scan-result file's name, the range checks.
#include <gtest/gtest.h>

#include "scan/scan_settings.h"

namespace qrv {
namespace {

TTreeData Node(int32_t type, int64_t bytes, int32_t sector, int64_t regionSec = 0) {
    TTreeData n;
    n.Level = type == HDD_REGION ? 2 : 1;
    n.Hddtype = type;
    n.TotalSpace = bytes;
    n.PerSecBytes = sector;
    n.RegionSec = regionSec;
    return n;
}

TEST(ScanSettings, TotalSectorsAndDefaultRange) {
    struct {
        const char* what;
        TTreeData node;
        int64_t total, start, end;
    } const cases[] = {
        {"partial last sector counts", Node(HDD_IMAGE, 1000000001, 512), 1953126, 0, 1953126},
        {"whole sectors", Node(HDD_VOLUME, 1 << 20, 512), 2048, 0, 2048},
        {"4096-byte sectors", Node(HDD_VOLUME, (1 << 20) + 1, 4096), 257, 0, 257},
        {"region keeps its first sector", Node(HDD_REGION, 1000000LL * 512, 512, 2048), 1000000, 2048,
         1002048},
        {"no sector size: 512", Node(HDD_VOLUME, 1024, 0), 2, 0, 2},
        {"empty source", Node(HDD_PHYSICAL, 0, 512), 0, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Scan_TotalSectors(c.node), c.total) << c.what;
        const TSectorRange r = Default_ScanRange(c.node);
        EXPECT_EQ(r.Start, c.start) << c.what;
        EXPECT_EQ(r.End, c.end) << c.what;
    }
}

TEST(ScanSettings, ResultFileNameAndRangeChecks) {
    std::tm t{};
    t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 1, t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 7;
    TTreeData n;
    n.HddModel = "/dev/sdb1";
    EXPECT_EQ(Result_FileName(n, t), "devsdb1-20240301090507.QRV");
    n.HddModel = "E:";
    EXPECT_EQ(Result_FileName(n, t), "E-20240301090507.QRV");
    n.HddModel = "/tmp/cards/a?b<c>d\"e|f*g h.img";
    EXPECT_EQ(Result_FileName(n, t), "tmpcardsabcdefgh.img-20240301090507.QRV");

    EXPECT_EQ(Check_ScanRange(100, 100), "起始扇区和结束扇区相同,请重新设置!");
    EXPECT_EQ(Check_ScanRange(200, 100), "起始扇区大于结束扇区,请重新设置!");
    EXPECT_EQ(Check_ScanRange(0, 2048), "");
}

} // namespace
} // namespace qrv
