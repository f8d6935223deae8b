// A source is evidence: every operation that reads it (scan with analysis,
// saving and loading a scan-result file, export, imaging, the hex view, the
// region listing and the box view) leaves the image file's bytes, size and
// times untouched, and nothing even opens it for writing (inotify would
// report the close of a writable descriptor).
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
namespace fs = std::filesystem;

namespace {

struct TFileState {
    std::vector<uint8_t> Bytes;
    struct timespec Mtime {}, Ctime{};
    off_t Size = 0;
    mode_t Mode = 0;
};

TFileState State_Of(const std::string& path) {
    TFileState s;
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    s.Mtime = st.st_mtim;
    s.Ctime = st.st_ctim;
    s.Size = st.st_size;
    s.Mode = st.st_mode;
    s.Bytes = test::Read_File(path);
    return s;
}

void Expect_Unchanged(const TFileState& a, const TFileState& b, const std::string& step) {
    EXPECT_EQ(a.Size, b.Size) << step;
    EXPECT_EQ(a.Mode, b.Mode) << step;
    EXPECT_EQ(a.Mtime.tv_sec, b.Mtime.tv_sec) << step;
    EXPECT_EQ(a.Mtime.tv_nsec, b.Mtime.tv_nsec) << step;
    EXPECT_EQ(a.Ctime.tv_sec, b.Ctime.tv_sec) << step;
    EXPECT_EQ(a.Ctime.tv_nsec, b.Ctime.tv_nsec) << step;
    EXPECT_TRUE(a.Bytes == b.Bytes) << step << ": the image's bytes changed";
}

std::vector<std::string> Files_Under(const std::string& dir, const std::string& ext) {
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path().string());
    return out;
}

} // namespace

TEST(Evidence, NoOperationWritesOrTouchesTheSource) {
    test::TTempDir dir("qrv-evidence");
    std::string skip;
    test::TVolumeSpec plan;
    plan.Fs = "FAT32";
    plan.VolumeBytes = 40 << 20;
    plan.ClusterBytes = 512;
    plan.Offset = 1 << 20; // behind a partition table, so the region listing has work
    plan.Files = {{"LIVE.TXT", test::Pattern_Bytes(30000, 3)}};
    auto made = test::Make_DiskImage(dir.File("card.img"), plan, &skip);
    if (!made) GTEST_SKIP() << skip;
    test::TRecordingSpec rs;
    rs.Seconds = 2;
    rs.Seed = 77;
    const auto rec = test::Make_Recording(rs);
    const int64_t first = made->Find_FreeRun((int64_t(rec.Bytes.size()) + made->ClusterBytes) / made->ClusterBytes + 4);
    ASSERT_GE(first, 0);
    made->Write_Contiguous(first + 2, rec.Bytes); // a deleted recording: data in free clusters
    const std::string img = made->Path;
    {
        // The partition table: one FAT32 (LBA) partition holding the volume.
        std::vector<uint8_t> mbr(512, 0);
        const uint32_t lba = uint32_t(plan.Offset / 512), count = uint32_t(plan.VolumeBytes / 512);
        mbr[446 + 4] = 0x0C;
        for (int i = 0; i < 4; ++i) {
            mbr[446 + 8 + size_t(i)] = uint8_t(lba >> (8 * i));
            mbr[446 + 12 + size_t(i)] = uint8_t(count >> (8 * i));
        }
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        test::Write_At(img, 0, mbr);
    }
    const int64_t recDisk = made->Cluster_Offset(first + 2);

    const TFileState before = State_Of(img);
    // Every access time and change from here on is the programs'.
    int ino = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(ino, 0);
    ASSERT_GE(::inotify_add_watch(ino, img.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF),
              0);

    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    const std::string out = dir.File("out");
    for (const char* sub : {"scan", "region", "load", "image", "range"}) fs::create_directories(out + "/" + sub);
    struct TStep {
        std::string Name, Cmd;
    };
    const std::vector<TStep> steps = {
        {"scan, analysis, save, export",
         cli + " scan '" + img + "' --quiet --save '" + dir.File("r.QRV") + "' --export '" + out + "/scan'"},
        {"scan of a region", cli + " scan '" + img + "' --quiet --region 1 --export '" + out + "/region'"},
        {"load and export", cli + " load '" + dir.File("r.QRV") + "' --source '" + img + "' --quiet --export '" + out +
                                "/load'"},
        {"imaging a region", cli + " image '" + img + "' --region 1 --out '" + out + "/image'"},
        {"imaging a range", cli + " image '" + img + "' --region 1 --out '" + out + "/range' --start 2048 --end 4096"},
        {"hex view", cli + " hex '" + img + "' 0 && " + cli + " hex '" + img + "' 2048"},
        {"regions", cli + " regions '" + img + "'"},
        {"box view", cli + " inspect '" + img + "' --offset " + std::to_string(recDisk)},
    };
    for (const auto& s : steps) {
        std::string said;
        EXPECT_EQ(test::Run_Command(s.Cmd + " 2>&1", &said), 0) << s.Name << ": " << s.Cmd << "\n" << said;
        Expect_Unchanged(before, State_Of(img), s.Name);
        alignas(struct inotify_event) char ev[4096];
        const ssize_t n = ::read(ino, ev, sizeof ev);
        EXPECT_LE(n, 0) << s.Name << ": the image was opened for writing or changed";
    }
    ::close(ino);

    // The operations did their work: recordings exported, image copies made.
    for (const char* sub : {"scan", "region", "load"}) {
        const auto mp4 = Files_Under(out + "/" + sub, ".mp4");
        ASSERT_EQ(mp4.size(), 1u) << sub;
        EXPECT_TRUE(test::Read_File(mp4[0]) == rec.Bytes) << sub;
    }
    const auto copies = Files_Under(out + "/image", ".img");
    ASSERT_EQ(copies.size(), 1u);
    const auto volume = std::vector<uint8_t>(before.Bytes.begin() + plan.Offset,
                                             before.Bytes.begin() + plan.Offset + plan.VolumeBytes);
    EXPECT_TRUE(test::Read_File(copies[0]) == volume);
    const auto range = Files_Under(out + "/range", ".img");
    ASSERT_EQ(range.size(), 1u);
    EXPECT_EQ(fs::file_size(range[0]), 2048u * 512u);
}
