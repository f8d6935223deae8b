// Allocation maps against volumes made by the real tools: every cluster's
// answer must agree with the file system's own view, and live files must lie
// where the tools put them.
#include <gtest/gtest.h>

#include <regex>

#include "media/raw_access.h"
#include "scan/alloc_map.h"
#include "support/disk_image.h"
#include "support/test_env.h"

using namespace qrv;
using namespace qrv::test;

namespace {

struct TImageCase {
    const char* Fs;
    int64_t VolumeBytes;
    int64_t ClusterBytes;
    int64_t V;
    bool Files;
};

void PrintTo(const TImageCase& k, std::ostream* os) {
    *os << k.Fs << " clusters of " << k.ClusterBytes << " at " << k.V;
}

std::string Case_Name(const testing::TestParamInfo<TImageCase>& p) {
    return std::string(p.param.Fs) + "_c" + std::to_string(p.param.ClusterBytes) + "_v" +
           std::to_string(p.param.V / 512);
}

class AllocMapImage : public testing::TestWithParam<TImageCase> {};

// Files whose sizes give several clusters, one of them spanning many.
std::vector<std::pair<std::string, std::vector<uint8_t>>> Live_Files() {
    return {{"a.bin", Pattern_Bytes(100000, 1)},
            {"b.bin", Pattern_Bytes(3000, 2)},
            {"c.bin", Pattern_Bytes(1 << 20, 3)}};
}

// Cluster extents of a live file as the file system's own tools report them.
std::vector<std::pair<int64_t, int64_t>> File_Extents(const TDiskImage& img, const std::string& volumePath,
                                                      const std::string& name) {
    std::vector<std::pair<int64_t, int64_t>> out; // first cluster, count
    std::string text;
    if (img.Fs == "FAT32") {
        Run_Command("MTOOLS_SKIP_CHECK=1 mshowfat -i '" + volumePath + "' ::/" + name, &text);
        const std::regex range("<([0-9]+)(-([0-9]+))?>");
        for (std::sregex_iterator it(text.begin(), text.end(), range), end; it != end; ++it) {
            const int64_t a = std::stoll((*it)[1]);
            const int64_t b = (*it)[3].matched ? std::stoll((*it)[3]) : a;
            out.push_back({a, b - a + 1});
        }
    } else {
        Run_Command("ntfscluster -F " + name + " '" + volumePath + "'", &text);
        const std::regex run("\\n\\s+([0-9]+)\\s+([0-9]+)\\s+([0-9]+)");
        for (std::sregex_iterator it(text.begin(), text.end(), run), end; it != end; ++it)
            out.push_back({std::stoll((*it)[2]), std::stoll((*it)[3])});
    }
    return out;
}

} // namespace

TEST_P(AllocMapImage, EveryClusterAgreesWithTheFileSystem) {
    const TImageCase& k = GetParam();
    TTempDir dir("qrv-alloc");
    TVolumeLayout plan;
    plan.Fs = k.Fs;
    plan.VolumeBytes = k.VolumeBytes;
    plan.ClusterBytes = k.ClusterBytes;
    plan.Offset = k.V;
    if (k.Files) plan.Files = Live_Files();
    std::string skip;
    const std::optional<TDiskImage> made = Make_DiskImage(dir.File("vol.img"), plan, &skip);
    if (!made) QRV_SKIP_WITHOUT(skip);
    const TDiskImage& img = *made;
    ASSERT_EQ(img.ClusterBytes, k.ClusterBytes);

    TSourcePtr src = Open_Source(img.Path);
    ASSERT_TRUE(src);
    const TTreeData node = img.Node();
    const int64_t V = node.RegionSec * node.PerSecBytes;
    ASSERT_EQ(V, k.V);
    const TAllocMap map = Load_AllocMap(*src, img.Fs, V);
    ASSERT_TRUE(map.Loaded);
    if (img.Fs != "NTFS")
        EXPECT_EQ(map.DataStart, img.DataStart);
    else
        EXPECT_EQ(map.MftRecordSize, 1024);
    // The scan's own guard: the map must be large enough for the cluster total.
    EXPECT_GE(map.MapExtent * 8, int64_t(node.LogTotalClusters));

    map.Window.Clear();
    int64_t mismatches = 0, allocated = 0;
    std::string first;
    for (int64_t c = img.FirstCluster; c <= img.Last_Cluster(); ++c) {
        const int got = Get_ClusterState(*src, img.Fs, map, c);
        const int want = img.Is_Allocated(c) ? 1 : 0;
        allocated += want;
        if (got != want && mismatches++ < 5) first += " " + std::to_string(c) + ":" + std::to_string(got);
    }
    EXPECT_EQ(mismatches, 0) << "first differing clusters:" << first;
    EXPECT_GT(allocated, 0);
    EXPECT_LT(allocated, img.TotalClusters);

    // The unit at each cluster's offset is numbered as that cluster.
    const int64_t cb = int64_t(node.PerSecBytes) * node.LogPerClusec;
    for (int64_t c = img.FirstCluster; c <= img.Last_Cluster(); c += 997) {
        ASSERT_EQ(Cluster_Of(img.Fs, map, V, cb, img.Cluster_Offset(c)), c);
        ASSERT_EQ(Cluster_Of(img.Fs, map, V, cb, img.Cluster_Offset(c) + cb - 1), c);
    }
}

TEST_P(AllocMapImage, LiveFilesAreAllocatedWhereTheToolsPutThem) {
    const TImageCase& k = GetParam();
    if (!k.Files) GTEST_SKIP() << "no live files on this volume";
    const std::string lister = std::string(k.Fs) == "FAT32" ? "mshowfat" : "ntfscluster";
    if (!Have_Program(lister)) QRV_SKIP_WITHOUT(lister << " is not installed");
    TTempDir dir("qrv-alloc");
    TVolumeLayout plan;
    plan.Fs = k.Fs;
    plan.VolumeBytes = k.VolumeBytes;
    plan.ClusterBytes = k.ClusterBytes;
    plan.Files = Live_Files(); // at V = 0 so the tools can list the files
    std::string skip;
    const std::optional<TDiskImage> made = Make_DiskImage(dir.File("vol.img"), plan, &skip);
    if (!made) QRV_SKIP_WITHOUT(skip);
    const TDiskImage& img = *made;
    TSourcePtr src = Open_Source(img.Path);
    ASSERT_TRUE(src);
    const TAllocMap map = Load_AllocMap(*src, img.Fs, 0);
    ASSERT_TRUE(map.Loaded);
    map.Window.Clear();

    for (const auto& [name, bytes] : plan.Files) {
        SCOPED_TRACE(name);
        const auto extents = File_Extents(img, img.Path, name);
        ASSERT_FALSE(extents.empty());
        int64_t fileOff = 0;
        for (const auto& [firstCluster, count] : extents) {
            for (int64_t c = firstCluster; c < firstCluster + count; ++c) {
                ASSERT_EQ(Get_ClusterState(*src, img.Fs, map, c), 1) << c;
                ASSERT_TRUE(img.Is_Allocated(c)) << c;
            }
            // The file's bytes start at the first cluster's offset.
            const int64_t n = std::min<int64_t>(512, int64_t(bytes.size()) - fileOff);
            const std::vector<uint8_t> got = Get_Bytes(*src, n, img.Cluster_Offset(firstCluster));
            ASSERT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + fileOff));
            fileOff += count * img.ClusterBytes;
        }
        EXPECT_GE(fileOff, int64_t(bytes.size()));
    }
}

TEST_P(AllocMapImage, DeletedDataLiesInFreeClusters) {
    const TImageCase& k = GetParam();
    TTempDir dir("qrv-alloc");
    TVolumeLayout plan;
    plan.Fs = k.Fs;
    plan.VolumeBytes = k.VolumeBytes;
    plan.ClusterBytes = k.ClusterBytes;
    plan.Offset = k.V;
    std::string skip;
    const std::optional<TDiskImage> made = Make_DiskImage(dir.File("vol.img"), plan, &skip);
    if (!made) QRV_SKIP_WITHOUT(skip);
    const TDiskImage& img = *made;

    const std::vector<uint8_t> data = Pattern_Bytes(size_t(5 * img.ClusterBytes + 100), 9);
    const int64_t run = img.Find_FreeRun(6);
    ASSERT_GE(run, img.FirstCluster);
    img.Write_Contiguous(run, data);
    const std::vector<int64_t> pieces = img.Pick_FreeClusters(6, 3, run + 6);
    ASSERT_EQ(pieces.size(), 6u);
    img.Write_Clusters(pieces, data);
    // Allocated clusters are refused.
    int64_t used = img.FirstCluster;
    while (!img.Is_Allocated(used))
        ++used;
    EXPECT_THROW(img.Write_Clusters({used}, {1, 2, 3}), std::runtime_error);

    TSourcePtr src = Open_Source(img.Path);
    ASSERT_TRUE(src);
    const TAllocMap map = Load_AllocMap(*src, img.Fs, k.V);
    ASSERT_TRUE(map.Loaded);
    map.Window.Clear();
    std::vector<int64_t> all(pieces);
    for (int64_t i = 0; i < 6; ++i)
        all.push_back(run + i);
    std::sort(all.begin(), all.end());
    for (int64_t c : all)
        EXPECT_EQ(Get_ClusterState(*src, img.Fs, map, c), 0) << c;
    for (size_t i = 0; i < 6; ++i) {
        const int64_t n =
            std::min<int64_t>(img.ClusterBytes, int64_t(data.size()) - int64_t(i) * img.ClusterBytes);
        const auto a = Get_Bytes(*src, n, img.Cluster_Offset(run + int64_t(i)));
        const auto b = Get_Bytes(*src, n, img.Cluster_Offset(pieces[i]));
        const auto want = data.begin() + int64_t(i) * img.ClusterBytes;
        EXPECT_TRUE(std::equal(a.begin(), a.end(), want)) << i;
        EXPECT_TRUE(std::equal(b.begin(), b.end(), want)) << i;
    }
    // The fragmented layout leaves free clusters between the pieces.
    for (size_t i = 1; i < pieces.size(); ++i)
        EXPECT_GT(pieces[i], pieces[i - 1] + 1);
}

// Two cluster sizes per file system; the larger images have more than 16,384
// FAT entries or 524,288 bitmap bits, so the window is reloaded many times.
INSTANTIATE_TEST_SUITE_P(Volumes, AllocMapImage,
                         testing::Values(TImageCase{"FAT32", 48 << 20, 512, 0, true},
                                         TImageCase{"FAT32", 300 << 20, 4096, 1 << 20, true},
                                         TImageCase{"exFAT", 280 << 20, 512, 0, false},
                                         TImageCase{"exFAT", 64 << 20, 32768, 4 << 20, false},
                                         TImageCase{"NTFS", 280 << 20, 512, 0, true},
                                         TImageCase{"NTFS", 64 << 20, 4096, 2048 * 512, true}),
                         Case_Name);

TEST(DiskImage, RawImagesHaveNoFileSystem) {
    TTempDir dir("qrv-alloc");
    const TDiskImage img = Make_RawImage(dir.File("raw.img"), 4 << 20);
    const TTreeData n = img.Node();
    EXPECT_EQ(n.HddFs, "RAW");
    EXPECT_EQ(n.Hddtype, 2);
    EXPECT_EQ(n.TotalSpace, 4 << 20);
    EXPECT_EQ(Get_SourcePath(n), img.Path);
    TSourcePtr src = Open_Source(img.Path);
    ASSERT_TRUE(src);
    EXPECT_FALSE(Load_AllocMap(*src, "FAT32", 0).Loaded);
    EXPECT_FALSE(Load_AllocMap(*src, "NTFS", 0).Loaded);
    EXPECT_FALSE(Load_AllocMap(*src, "exFAT", 0).Loaded);
    EXPECT_FALSE(Load_AllocMap(*src, "RAW", 0).Loaded);
}

// Clusters marked in use by the fixture are allocated in the file system's own
// eyes (its tool's free count) and in the scan's.
TEST(DiskImage, ClustersMarkedInUseReadAsAllocated) {
    struct TCase {
        const char* Fs;
        int64_t VolumeBytes, ClusterBytes;
        const char* Report;  // prints the volume's free clusters, or its in-use clusters no file owns
        const char* Pattern; // that number
        bool Orphans;        // the number counts in-use clusters without a file
    };
    const TCase cases[] = {
        {"exFAT", 32 << 20, 4096, "dump.exfat", "Free Clusters:\\s+([0-9]+)", false},
        // fsck reads the FAT itself (mtools trusts the FSInfo hint).
        {"FAT32", 64 << 20, 4096, "fsck.fat -n", "Reclaimed ([0-9]+) unused clusters", true},
        {"NTFS", 32 << 20, 4096, "ntfsinfo -m", "Free Clusters:\\s+([0-9]+)", false},
    };
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Fs);
        TTempDir dir("qrv-alloc");
        TVolumeLayout plan;
        plan.Fs = k.Fs;
        plan.VolumeBytes = k.VolumeBytes;
        plan.ClusterBytes = k.ClusterBytes;
        std::string skip;
        std::optional<TDiskImage> made = Make_DiskImage(dir.File("v.img"), plan, &skip);
        ASSERT_TRUE(made) << skip;
        TDiskImage& img = *made;
        // The file system's own count of free (or of orphaned in-use) clusters.
        auto toolCount = [&]() -> int64_t {
            std::string report;
            Run_Command(std::string(k.Report) + " '" + img.Path + "' 2>&1", &report);
            std::smatch m;
            if (!std::regex_search(report, m, std::regex(k.Pattern))) return k.Orphans ? 0 : -1;
            return std::stoll(m[1]);
        };
        const int64_t before = toolCount();
        ASSERT_GE(before, 0);
        const int64_t first = img.Find_FreeRun(10, img.FirstCluster + 100);
        ASSERT_GT(first, 0);
        std::vector<int64_t> marked;
        for (int64_t i = 0; i < 10; ++i)
            marked.push_back(first + i);
        img.Mark_Allocated(marked);
        EXPECT_THROW(img.Write_Clusters({first}, {1}), std::runtime_error);
        EXPECT_EQ(toolCount(), k.Orphans ? before + 10 : before - 10);

        TSourcePtr src = Open_Source(img.Path);
        ASSERT_TRUE(src);
        const TAllocMap map = Load_AllocMap(*src, k.Fs, 0);
        ASSERT_TRUE(map.Loaded);
        map.Window.Clear();
        EXPECT_EQ(Get_ClusterState(*src, k.Fs, map, first - 1), img.Is_Allocated(first - 1) ? 1 : 0);
        for (int64_t c : marked)
            EXPECT_EQ(Get_ClusterState(*src, k.Fs, map, c), 1) << c;
        EXPECT_EQ(Get_ClusterState(*src, k.Fs, map, first + 10), 0);
    }
}
