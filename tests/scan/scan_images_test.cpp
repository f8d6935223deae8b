// Whole scans of disk images made with the real file-system tools: a live
// recording written through the file system and a deleted one lying in free
// clusters; the three modes must find exactly the heads and movie boxes of the
// space they ask for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "platform/time_zone.h"
#include "scan/alloc_map.h"
#include "scan/metadata.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
using namespace qrv::test;

namespace {

using TFind = std::tuple<int, int64_t>; // kind, offset
using TFinds = std::set<TFind>;

TFinds Findings(TScanSession& session) {
    TFinds out;
    for (int64_t i = 0; i < session.Scans.Count(); ++i)
        out.insert({session.Scans.Get(i).Fragmentype, session.Scans.Get(i).FragmentOff});
    return out;
}

const TRecording& Live_Recording() { // front layout: the head reaches the movie box
    static const TRecording r = [] {
        TRecordingPlan s;
        s.Seed = 21;
        s.Layout = TLayout::Front;
        s.Model = "LIVE-CAM";
        s.CreationTime = 3600000000u; // 2018-01-28 08:00:00 at zone bias 0
        return Make_Recording(s);
    }();
    return r;
}

const TRecording& Deleted_Recording() { // tail layout: head reaches mdat, movie box at the end
    static const TRecording r = [] {
        TRecordingPlan s;
        s.Seed = 22;
        s.Layout = TLayout::Tail;
        s.Model = "GONE-CAM";
        s.CreationTime = 3700000000u;
        return Make_Recording(s);
    }();
    return r;
}

// Offset of the live file's first cluster, found by its bytes on a cluster start.
int64_t Find_Live(const TDiskImage& img) {
    const auto bytes = Read_File(img.Path);
    const auto& rec = Live_Recording().Bytes;
    for (int64_t c = img.FirstCluster; c <= img.Last_Cluster(); ++c) {
        int64_t off = img.Cluster_Offset(c);
        if (off + 4096 <= int64_t(bytes.size()) && std::memcmp(&bytes[size_t(off)], rec.data(), 4096) == 0)
            return off;
    }
    return -1;
}

class ScanImages : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        Set_UISink(std::make_shared<TRecordingSink>());
        Set_TimeZoneBiasOverride(0);
        session.Scans.Clear();
    }
    void TearDown() override {
        Set_UISink(nullptr);
        Set_TimeZoneBiasOverride(std::nullopt);
        session.Scans.Clear();
    }
    TFinds Scan(const TDiskImage& img, int mode, bool dateFilter = false, double from = 0, double to = 0) {
        session.Scans.Clear();
        TScanParams p;
        p.Node = img.Node();
        p.Mode = mode;
        p.StartSec = p.Node.RegionSec;
        p.EndSec = (img.V + img.VolumeBytes) / 512;
        p.DateFilter = dateFilter;
        p.DateFrom = from;
        p.DateTo = to;
        To_Scan(session, p);
        return Findings(session);
    }
    TTempDir dir{"qrv-scanimg"};
    TScanSession session;
};

} // namespace

TEST_P(ScanImages, ModesFindExactlyTheRecordingsOfTheirSpace) {
    const std::string fs = GetParam();
    TVolumeLayout plan;
    plan.Fs = fs;
    plan.VolumeBytes = 64 << 20;
    plan.ClusterBytes = 4096;
    plan.Offset = 1 << 20; // a volume inside a larger image: clusters counted from its start
    if (fs == "FAT32") {
        // Enough clusters for the volume to be FAT32 in the eyes of the tools.
        plan.VolumeBytes = 144 << 20;
        plan.ClusterBytes = 2048;
    }
    if (fs == "exFAT") plan.ClusterBytes = 128 << 10; // the live recording fits in one cluster
    if (fs == "FAT32" || fs == "NTFS") plan.Files.push_back({"LIVE.MP4", Live_Recording().Bytes});
    std::string skip;
    auto made = fs == "RAW" ? std::optional<TDiskImage>(Make_RawImage(dir.File("raw.img"), 64 << 20, 4096))
                            : Make_DiskImage(dir.File(fs + ".img"), plan, &skip);
    if (!made) QRV_SKIP_WITHOUT(skip);
    const TDiskImage& img = *made;

    // The deleted recording: in free clusters, in the second half of the volume.
    const auto& del = Deleted_Recording();
    const int64_t need = (int64_t(del.Bytes.size()) + img.ClusterBytes - 1) / img.ClusterBytes;
    const int64_t first = img.Find_FreeRun(need, img.FirstCluster + img.TotalClusters / 2);
    ASSERT_GE(first, 0);
    img.Write_Contiguous(first, del.Bytes);
    const int64_t delOff = img.Cluster_Offset(first);
    const TFinds deleted = {{1, delOff}, {3, delOff + del.MoovOff}};

    if (fs == "RAW") {
        // Without a file system every mode scans everything.
        const int64_t liveOff = 5 * 1024 * 1024;
        img.Write_Raw(liveOff, Live_Recording().Bytes);
        TFinds all = deleted;
        all.insert({0, liveOff});
        for (int mode : {0, 1, 2})
            EXPECT_EQ(Scan(img, mode), all) << "mode " << mode;

        // The date filter drops the head whose movie box lies outside the window;
        // the deleted recording's pieces are a kind-1 head and a bare movie box.
        EXPECT_EQ(
            Scan(img, 0, true, Encode_DateTime(2019, 1, 1, 0, 0, 0), Encode_DateTime(2030, 1, 1, 0, 0, 0)),
            deleted);
        const TScanResult& movie = session.Scans.Get(1);
        EXPECT_EQ(movie.CamerModel, "GONE-CAM");
        EXPECT_EQ(movie.True_MdatLen, del.MediaEnd);
        EXPECT_EQ(movie.MoovLen, del.MoovLen);
        return;
    }

    if (fs == "exFAT") {
        // No tool writes files into an exFAT image without mounting it: the live
        // recording goes over an allocated cluster that the scan itself never
        // reads (not the allocation bitmap, not the root directory).
        auto src = Open_Source(img.Path);
        ASSERT_TRUE(src);
        const TAllocMap map = Load_AllocMap(*src, "exFAT", img.V);
        ASSERT_TRUE(map.Loaded);
        const auto boot = Get_Bytes(*src, 512, img.V);
        const int64_t rootCluster = Get_LE32(&boot[0x60]);
        int64_t target = -1;
        for (int64_t c = img.FirstCluster; c <= img.Last_Cluster() && target < 0; ++c) {
            const int64_t off = img.Cluster_Offset(c);
            const bool holdsMap = off < map.MapStart + map.MapLength && map.MapStart < off + img.ClusterBytes;
            if (img.Is_Allocated(c) && c != rootCluster && !holdsMap) target = c;
        }
        ASSERT_GE(target, 0);
        ASSERT_LE(int64_t(Live_Recording().Bytes.size()), img.ClusterBytes);
        img.Write_Raw(img.Cluster_Offset(target), Live_Recording().Bytes);
    }
    const int64_t liveOff = Find_Live(img);
    ASSERT_GE(liveOff, 0) << "live file not found on a cluster start";
    ASSERT_TRUE(img.Is_Allocated((liveOff - img.DataStart) / img.ClusterBytes + img.FirstCluster));
    const TFinds live = {{0, liveOff}};
    TFinds all = live;
    all.insert(deleted.begin(), deleted.end());

    EXPECT_EQ(Scan(img, 0), all);
    EXPECT_EQ(Scan(img, 1), deleted);
    EXPECT_EQ(Scan(img, 2), live);
    const TScanResult& head = session.Scans.Get(0);
    EXPECT_EQ(head.CamerModel, "LIVE-CAM");
    EXPECT_EQ(head.CreateTime, "2018-01-28 08:00:00");
    EXPECT_EQ(head.MoovOff, liveOff + Live_Recording().MoovOff);
    EXPECT_EQ(head.True_MdatLen, Live_Recording().MediaEnd);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ScanImages, ::testing::Values("FAT32", "exFAT", "NTFS", "RAW"));
